#include "measurement/engine/purchases/in_app_purchase_product_cache.h"

#include <utility>

#include "measurement/store/errors.h"

// ---- APMProductsRequest ----

APMProductsRequest::APMProductsRequest(std::shared_ptr<SKProductsRequest> productsRequest)
    : productsRequest_(std::move(productsRequest)) {}

void APMProductsRequest::requestProductsWithProductIdentifiers(const std::set<std::string>& productIdentifiers,
                                                               std::shared_ptr<os::DispatchQueue> queue,
                                                               APMProductsCompletionHandler completionHandler) {
  if (!queue || !completionHandler) return;
  auto request = initWithProductIdentifiers(productIdentifiers);
  if (!request) {
    queue->async([completionHandler] {
      completionHandler(std::nullopt, std::nullopt,
                        apm_errorWithCode(kAPMProductsRequestErrorCode, kAPMProductsRequestErrorDescription));
    });
    return;
  }
  // The handler holds the request until it has run; clearInstance then
  // drops the handler and with it the request.
  request->requestWithQueue(std::move(queue),
                            [request, completionHandler](std::optional<APMProducts> products,
                                                         std::optional<std::set<std::string>> invalidIdentifiers,
                                                         std::optional<os::Error> error) {
                              completionHandler(std::move(products), std::move(invalidIdentifiers), std::move(error));
                            });
}

std::shared_ptr<APMProductsRequest> APMProductsRequest::initWithProductIdentifiers(
    const std::set<std::string>& productIdentifiers) {
  if (productIdentifiers.empty()) return nullptr;
  return std::make_shared<APMProductsRequest>(std::make_shared<SKProductsRequest>(productIdentifiers));
}

void APMProductsRequest::requestWithQueue(std::shared_ptr<os::DispatchQueue> queue,
                                          APMProductsCompletionHandler completionHandler) {
  if (!queue || !completionHandler) return;
  std::shared_ptr<SKProductsRequest> request;
  {
    std::lock_guard lock(mutex_);
    if (!productsRequest_) return;
    completionHandler_ = std::move(completionHandler);
    queue_ = std::move(queue);
    request = productsRequest_;
  }
  request->setDelegate(shared_from_this());
  request->start();
}

std::pair<APMProductsCompletionHandler, std::shared_ptr<os::DispatchQueue>> APMProductsRequest::takeHandler() {
  std::lock_guard lock(mutex_);
  if (!completionHandler_ || !queue_) return {};
  return {std::exchange(completionHandler_, nullptr), std::exchange(queue_, nullptr)};
}

void APMProductsRequest::productsRequest(const std::shared_ptr<SKProductsRequest>&,
                                         const std::shared_ptr<SKProductsResponse>& response) {
  auto [handler, queue] = takeHandler();
  if (!handler) return;
  APMProducts products;
  std::set<std::string> invalid;
  if (response) {
    for (const auto& product : response->products()) {
      if (product && !product->productIdentifier().empty()) products.emplace(product->productIdentifier(), product);
    }
    invalid.insert(response->invalidProductIdentifiers().begin(), response->invalidProductIdentifiers().end());
  }
  queue->async([handler, products = std::move(products), invalid = std::move(invalid)] {
    handler(products, invalid, std::nullopt);
  });
  clearInstance();
}

void APMProductsRequest::request(const std::shared_ptr<SKRequest>&, const os::Error& error) {
  auto [handler, queue] = takeHandler();
  if (!handler) return;
  queue->async([handler, error] { handler(std::nullopt, std::nullopt, error); });
  clearInstance();
}

void APMProductsRequest::clearInstance() {
  std::shared_ptr<SKProductsRequest> request;
  APMProductsCompletionHandler handler;
  std::shared_ptr<os::DispatchQueue> queue;
  {
    std::lock_guard lock(mutex_);
    request = std::move(productsRequest_);
    handler = std::move(completionHandler_);
    queue = std::move(queue_);
  }
  // Released outside the lock: the handler may hold the last reference to
  // this request.
}

// ---- APMInAppPurchaseProductCache ----

namespace {

std::mutex& sharedCacheMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

std::shared_ptr<APMInAppPurchaseProductCache>& sharedCache() {
  // Never destroyed: reporting may run on global queues during exit.
  static auto* cache = new std::shared_ptr<APMInAppPurchaseProductCache>(std::make_shared<APMInAppPurchaseProductCache>());
  return *cache;
}

}  // namespace

APMInAppPurchaseProductCache::APMInAppPurchaseProductCache()
    : lockQueue_(os::DispatchQueue::serial(kAPMInAppPurchaseProductCacheQueueLabel)) {}

std::shared_ptr<APMInAppPurchaseProductCache> APMInAppPurchaseProductCache::sharedInstance() {
  std::lock_guard lock(sharedCacheMutex());
  return sharedCache();
}

void APMInAppPurchaseProductCache::TEST_reset() {
  auto fresh = std::make_shared<APMInAppPurchaseProductCache>();
  std::lock_guard lock(sharedCacheMutex());
  sharedCache() = std::move(fresh);
}

std::shared_ptr<SKProduct> APMInAppPurchaseProductCache::cachedProductForProductIdentifier(
    const std::string& productIdentifier) {
  std::shared_ptr<SKProduct> product;
  lockQueue_->sync([&] {
    const auto& products = validProducts_.get();
    if (auto it = products.find(productIdentifier); it != products.end()) product = it->second;
  });
  return product;
}

void APMInAppPurchaseProductCache::requestProductsWithProductIdentifiers(
    const std::set<std::string>& productIdentifiers, std::shared_ptr<os::DispatchQueue> queue,
    APMProductsCompletionHandler completionHandler) {
  if (!queue || !completionHandler) return;
  std::weak_ptr<APMInAppPurchaseProductCache> weakSelf = shared_from_this();
  APMProductsRequest::requestProductsWithProductIdentifiers(
      productIdentifiers, lockQueue_,
      [weakSelf, queue, completionHandler](std::optional<APMProducts> products,
                                           std::optional<std::set<std::string>> invalidIdentifiers,
                                           std::optional<os::Error> error) {
        auto self = weakSelf.lock();
        if (!self) return;
        self->addReply(products, invalidIdentifiers);
        queue->async([completionHandler, products = std::move(products),
                      invalidIdentifiers = std::move(invalidIdentifiers), error = std::move(error)] {
          completionHandler(products, invalidIdentifiers, error);
        });
      });
}

void APMInAppPurchaseProductCache::addReply(const std::optional<APMProducts>& products,
                                            const std::optional<std::set<std::string>>& invalid) {
  if (products) {
    for (const auto& [identifier, product] : *products) validProducts_.get()[identifier] = product;
  }
  if (invalid) {
    for (const auto& identifier : *invalid) validProducts_.get().erase(identifier);
    invalidProductIdentifiers_.get().insert(invalid->begin(), invalid->end());
  }
  if (products) {
    for (const auto& [identifier, product] : *products) invalidProductIdentifiers_.get().erase(identifier);
  }
  if (validProducts_.get().size() + invalidProductIdentifiers_.get().size() >= kAPMInAppPurchaseProductCacheLimit) {
    validProducts_ = products.value_or(APMProducts{});
    invalidProductIdentifiers_.get().clear();
    if (invalid) invalidProductIdentifiers_.get().insert(invalid->begin(), invalid->end());
  }
}

size_t APMInAppPurchaseProductCache::TEST_count() {
  size_t count = 0;
  lockQueue_->sync([&] { count = validProducts_.get().size() + invalidProductIdentifiers_.get().size(); });
  return count;
}

bool APMInAppPurchaseProductCache::TEST_isInvalid(const std::string& productIdentifier) {
  bool invalid = false;
  lockQueue_->sync([&] { invalid = invalidProductIdentifiers_.get().contains(productIdentifier); });
  return invalid;
}
