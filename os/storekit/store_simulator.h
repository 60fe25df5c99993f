// os::StoreSimulator: the store's side of StoreKit, played by tests and the
// program: the catalogue that products requests are answered from, how and
// when they are answered, the queue on which StoreKit calls the app back,
// and the receipt file in the app's bundle. The payment queue's
// transactions (SKPaymentQueue::TEST_updateTransactions) and SKAdNetwork
// (its TEST_ members) keep their own controls.
//
// Thread-safe.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "os/foundation/data.h"
#include "os/foundation/error.h"
#include "os/storekit/product.h"
#include "os/storekit/receipt.h"

namespace os {

class DispatchQueue;

class StoreSimulator {
 public:
  // ---- Products ----
  // A product the store sells; it replaces one with the same identifier.
  static void addProduct(std::shared_ptr<SKProduct> product);
  static void removeAllProducts();
  // While set, products requests fail with this error.
  static void setProductsRequestError(std::optional<Error> error);
  // While holding, started requests wait for answerHeldProductsRequests,
  // which answers them (from the catalogue and error of that time), oldest
  // first. Answering is asynchronous on the callback queue either way.
  static void setHoldsProductsRequests(bool hold);
  static size_t heldProductsRequestCount();
  static void answerHeldProductsRequests();
  // The identifiers of every products request started, oldest first.
  static std::vector<std::set<std::string>> productsRequestLog();

  // ---- Callbacks ----
  // Where request delegates and transaction observers are called: the main
  // queue unless set (null restores it).
  static void setCallbackQueue(std::shared_ptr<DispatchQueue> queue);
  static std::shared_ptr<DispatchQueue> callbackQueue();

  // ---- Receipt ----
  enum class ReceiptEnvironment { Production, Sandbox };
  // Writes the receipt file of the main bundle for the environment
  // ("StoreKit/receipt" or "StoreKit/sandboxReceipt", atomically), removing
  // the other environment's file so that the receipt URL names this one.
  static Status writeReceipt(const SKReceipt& receipt,
                             ReceiptEnvironment environment = ReceiptEnvironment::Production);
  // The same with bytes of the caller's (damaged files, other formats).
  static Status writeReceiptData(const Data& data, ReceiptEnvironment environment = ReceiptEnvironment::Production);
  // No receipt at all (success when there was none).
  static Status removeReceipt();

  // Back to an empty store: no products, no error, not holding (held
  // requests are dropped unanswered), an empty log, the main queue. The
  // receipt file is left alone.
  static void reset();

  // Internal to os/storekit: a products request was started.
  static void submitProductsRequest(std::shared_ptr<SKProductsRequest> request);
};

}  // namespace os
