// APMInAppPurchaseTransactionReporter: in-app purchase events from the
// store's transactions.
//
// Least form: the operations the engine facade calls. Their bodies are
// stand-ins in core/pending_parts.cpp until the reporter is built.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "os/foundation/date.h"
#include "os/foundation/value.h"
#include "os/storekit/payment_queue.h"

class APMInAppPurchaseTransactionReporter {
 public:
  static std::shared_ptr<APMInAppPurchaseTransactionReporter> sharedInstance();
  // The fingerprint the duplicate filter keys a purchased transaction by;
  // nullopt for another state or an unusable identifier.
  static std::optional<std::string> transactionFingerprint(const std::shared_ptr<SKPaymentTransaction>& transaction);
  // The payment-queue road: transactions already free of duplicates.
  void paymentQueue(const std::shared_ptr<SKPaymentQueue>& queue, const std::vector<std::shared_ptr<SKPaymentTransaction>>& updatedFilteredTransactions);
  // The explicit road: one transaction described by the app. The web order
  // line item identifier is read by its integer value; the product type is a
  // purchase-type code.
  void reportTransactionWithProductID(const std::string& productID, const std::string& transactionID,
                                      const std::string& originalTransactionID, const os::Value& webOrderLineItemID,
                                      int64_t productType, bool isFreeTrial, bool isIntroductoryOffer,
                                      int64_t paymentQuantity, const std::optional<os::Date>& purchaseDate,
                                      const std::optional<os::Date>& originalPurchaseDate,
                                      const std::optional<os::Date>& subscriptionExpirationDate,
                                      const std::optional<os::Date>& cancellationDate);
};
