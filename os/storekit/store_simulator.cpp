#include "os/storekit/store_simulator.h"

#include <map>
#include <mutex>

#include "os/dispatch/queue.h"
#include "os/foundation/bundle.h"
#include "os/foundation/file_manager.h"

namespace os {
namespace {

constexpr const char* kReceiptFolder = "StoreKit";
constexpr const char* kProductionReceiptName = "receipt";
constexpr const char* kSandboxReceiptName = "sandboxReceipt";

struct Store {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<SKProduct>> catalogue;  // guarded by mutex
  std::optional<Error> requestError;                             // guarded by mutex
  bool holding = false;                                          // guarded by mutex
  std::vector<std::shared_ptr<SKProductsRequest>> held;          // guarded by mutex
  std::vector<std::set<std::string>> log;                        // guarded by mutex
  std::shared_ptr<DispatchQueue> callbackQueue;                  // guarded by mutex; null: the main queue
};

Store& store() {
  static auto& s = *new Store();  // never destroyed: requests may be answered during exit
  return s;
}

// What the store answers a request now. Called with the store's mutex held.
SKProductsRequest::Answer answerFor(const Store& s, const SKProductsRequest& request) {
  SKProductsRequest::Answer answer;
  if (s.requestError) {
    answer.error = s.requestError;
    return answer;
  }
  for (auto& identifier : request.productIdentifiers()) {
    auto it = s.catalogue.find(identifier);
    if (it != s.catalogue.end()) {
      answer.products.push_back(it->second);
    } else {
      answer.invalidProductIdentifiers.push_back(identifier);
    }
  }
  return answer;
}

// Called with the store's mutex held.
std::shared_ptr<DispatchQueue> callbackQueueLocked(const Store& s) {
  return s.callbackQueue ? s.callbackQueue : DispatchQueue::main();
}

std::string receiptPath(StoreSimulator::ReceiptEnvironment environment) {
  return Bundle::mainBundle()->bundlePath() + "/" + kReceiptFolder + "/" +
         (environment == StoreSimulator::ReceiptEnvironment::Sandbox ? kSandboxReceiptName : kProductionReceiptName);
}

Status removeIfPresent(const std::string& path) {
  auto& files = FileManager::defaultManager();
  if (!files.fileExistsAtPath(path)) return {};
  return files.removeItemAtPath(path);
}

}  // namespace

void StoreSimulator::addProduct(std::shared_ptr<SKProduct> product) {
  if (!product) return;
  auto& s = store();
  std::lock_guard lock(s.mutex);
  s.catalogue[product->productIdentifier()] = std::move(product);
}

void StoreSimulator::removeAllProducts() {
  auto& s = store();
  std::lock_guard lock(s.mutex);
  s.catalogue.clear();
}

void StoreSimulator::setProductsRequestError(std::optional<Error> error) {
  auto& s = store();
  std::lock_guard lock(s.mutex);
  s.requestError = std::move(error);
}

void StoreSimulator::setHoldsProductsRequests(bool hold) {
  auto& s = store();
  std::lock_guard lock(s.mutex);
  s.holding = hold;
}

size_t StoreSimulator::heldProductsRequestCount() {
  auto& s = store();
  std::lock_guard lock(s.mutex);
  return s.held.size();
}

void StoreSimulator::answerHeldProductsRequests() {
  auto& s = store();
  std::lock_guard lock(s.mutex);
  auto queue = callbackQueueLocked(s);
  for (auto& request : s.held)
    queue->async([request, answer = answerFor(s, *request)] { request->deliver(answer); });
  s.held.clear();
}

std::vector<std::set<std::string>> StoreSimulator::productsRequestLog() {
  auto& s = store();
  std::lock_guard lock(s.mutex);
  return s.log;
}

void StoreSimulator::setCallbackQueue(std::shared_ptr<DispatchQueue> queue) {
  auto& s = store();
  std::lock_guard lock(s.mutex);
  s.callbackQueue = std::move(queue);
}

std::shared_ptr<DispatchQueue> StoreSimulator::callbackQueue() {
  auto& s = store();
  std::lock_guard lock(s.mutex);
  return callbackQueueLocked(s);
}

void StoreSimulator::submitProductsRequest(std::shared_ptr<SKProductsRequest> request) {
  if (!request) return;
  auto& s = store();
  std::lock_guard lock(s.mutex);
  s.log.push_back(request->productIdentifiers());
  if (s.holding) {
    s.held.push_back(std::move(request));
    return;
  }
  callbackQueueLocked(s)->async([request, answer = answerFor(s, *request)] { request->deliver(answer); });
}

Status StoreSimulator::writeReceipt(const SKReceipt& receipt, ReceiptEnvironment environment) {
  auto data = receipt.encoded();
  if (!data) return fail(data.error());
  return writeReceiptData(*data, environment);
}

Status StoreSimulator::writeReceiptData(const Data& data, ReceiptEnvironment environment) {
  auto& files = FileManager::defaultManager();
  const std::string path = receiptPath(environment);
  const std::string folder = path.substr(0, path.rfind('/'));
  if (auto made = files.createDirectoryAtPath(folder, true); !made) return made;
  if (auto written = files.createFileAtPath(path, data); !written) return written;
  return removeIfPresent(receiptPath(environment == ReceiptEnvironment::Sandbox ? ReceiptEnvironment::Production
                                                                                 : ReceiptEnvironment::Sandbox));
}

Status StoreSimulator::removeReceipt() {
  if (auto removed = removeIfPresent(receiptPath(ReceiptEnvironment::Sandbox)); !removed) return removed;
  return removeIfPresent(receiptPath(ReceiptEnvironment::Production));
}

void StoreSimulator::reset() {
  auto& s = store();
  std::vector<std::shared_ptr<SKProductsRequest>> dropped;  // released after the lock
  std::lock_guard lock(s.mutex);
  s.catalogue.clear();
  s.requestError.reset();
  s.holding = false;
  dropped.swap(s.held);
  s.log.clear();
  s.callbackQueue.reset();
}

}  // namespace os
