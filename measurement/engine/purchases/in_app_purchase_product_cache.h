// The store's products as in-app purchase reporting needs them.
//
//   APMProductsRequest            one products request to the store, answered
//                                 once on the caller's queue.
//   APMInAppPurchaseProductCache  the process's products and invalid product
//                                 identifiers, filled from the store's
//                                 answers.
//
// Cache bound: the cache only grows until its products and invalid
// identifiers together reach kAPMInAppPurchaseProductCacheLimit entries; the
// answer that gets it there replaces both with what that answer holds.
//
// Threads: the cache's collections are touched only on its serial lock
// queue "com.devuvo.zev.measurement.iap-cache", and check it (reads by a
// synchronous dispatch, so they must not be made from that queue); answers
// reach callers asynchronously on their own queues.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "os/dispatch/queue.h"
#include "os/dispatch/queue_confined.h"
#include "os/foundation/error.h"
#include "os/storekit/product.h"

inline constexpr const char* kAPMInAppPurchaseProductCacheQueueLabel = "com.devuvo.zev.measurement.iap-cache";
// Products plus invalid identifiers at which an answer replaces the cache.
inline constexpr size_t kAPMInAppPurchaseProductCacheLimit = 101;
// The error of a request the store could not make (kAPMErrorDomain).
inline constexpr int64_t kAPMProductsRequestErrorCode = 1;
inline constexpr const char* kAPMProductsRequestErrorDescription = "Invalid product identifiers.";

// Product identifier -> product.
using APMProducts = std::map<std::string, std::shared_ptr<SKProduct>, std::less<>>;
// (products, invalid identifiers, error): the first two on success, the error
// alone on failure.
using APMProductsCompletionHandler = std::function<void(std::optional<APMProducts> products,
                                                        std::optional<std::set<std::string>> invalidIdentifiers,
                                                        std::optional<os::Error> error)>;

class APMProductsRequest : public SKProductsRequestDelegate, public std::enable_shared_from_this<APMProductsRequest> {
 public:
  // Asks the store for the products; the handler runs once, asynchronously
  // on the queue. A request the store cannot make answers (none, none, error
  // 1 "Invalid product identifiers."). Nothing without a queue or handler.
  static void requestProductsWithProductIdentifiers(const std::set<std::string>& productIdentifiers,
                                                    std::shared_ptr<os::DispatchQueue> queue,
                                                    APMProductsCompletionHandler completionHandler);
  // Null when the store cannot make the request: no identifiers to ask for.
  static std::shared_ptr<APMProductsRequest> initWithProductIdentifiers(const std::set<std::string>& productIdentifiers);

  // Keeps the handler and queue, becomes the store request's delegate and
  // starts it. Nothing unless both are given. The handler keeps whatever it
  // captures (the class method: this request) until it has run.
  void requestWithQueue(std::shared_ptr<os::DispatchQueue> queue, APMProductsCompletionHandler completionHandler);
  // The store's answers, on its callback queue: handed on to the handler
  // (products with an empty identifier are skipped), then clearInstance.
  // Nothing once cleared.
  void productsRequest(const std::shared_ptr<SKProductsRequest>& request,
                       const std::shared_ptr<SKProductsResponse>& response) override;
  void request(const std::shared_ptr<SKRequest>& request, const os::Error& error) override;
  // Releases the store request, the handler and the queue.
  void clearInstance();

  explicit APMProductsRequest(std::shared_ptr<SKProductsRequest> productsRequest);

 private:
  // Takes the handler and queue once; none after the first answer.
  std::pair<APMProductsCompletionHandler, std::shared_ptr<os::DispatchQueue>> takeHandler();

  std::mutex mutex_;
  std::shared_ptr<SKProductsRequest> productsRequest_;  // guarded by mutex_
  APMProductsCompletionHandler completionHandler_;      // guarded by mutex_
  std::shared_ptr<os::DispatchQueue> queue_;            // guarded by mutex_
};

class APMInAppPurchaseProductCache : public std::enable_shared_from_this<APMInAppPurchaseProductCache> {
 public:
  static std::shared_ptr<APMInAppPurchaseProductCache> sharedInstance();

  // The cached product, or null. Not from the lock queue.
  std::shared_ptr<SKProduct> cachedProductForProductIdentifier(const std::string& productIdentifier);
  // Asks the store; its answer updates the cache on the lock queue, then
  // reaches the handler asynchronously on `queue`. Nothing without a queue
  // or handler.
  void requestProductsWithProductIdentifiers(const std::set<std::string>& productIdentifiers,
                                             std::shared_ptr<os::DispatchQueue> queue,
                                             APMProductsCompletionHandler completionHandler);

  // ---- For tests ----
  // Products plus invalid identifiers held.
  size_t TEST_count();
  bool TEST_isInvalid(const std::string& productIdentifier);
  // A new empty shared instance.
  static void TEST_reset();

  APMInAppPurchaseProductCache();

 private:
  // On the lock queue.
  void addReply(const std::optional<APMProducts>& products, const std::optional<std::set<std::string>>& invalid);

  const std::shared_ptr<os::DispatchQueue> lockQueue_;
  // lockQueue_ only; each access checks it.
  os::QueueConfined<std::set<std::string, std::less<>>> invalidProductIdentifiers_{lockQueue_,
                                                                                   "invalidProductIdentifiers_"};
  os::QueueConfined<APMProducts> validProducts_{lockQueue_, "validProducts_"};
};
