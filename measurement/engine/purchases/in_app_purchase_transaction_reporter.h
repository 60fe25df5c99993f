// In-app purchase reporting: the automatic events "_iap" (a purchase),
// "_iapx" (a purchase that cannot be reported as a plain one), "_assr" (an
// auto-renewable subscription renewed) and "_assc" (one converted from a free
// trial), origin "auto", logged through the analytics facade.
//
// Two roads lead here: the payment queue's purchased transactions, already
// free of duplicates (paymentQueue), and one transaction the app describes
// (reportTransactionWithProductID). Both find the product in the process's
// product cache (asking the store when it is missing), read the purchase
// items of the app's store receipt, classify the transaction against them
// and build the parameters (APMIAPTransactionParameters). Amounts are int64
// micros (millionths of the currency unit), computed in decimal.
//
// Purchase items. Each receipt read replaces the reporter's list; the
// explicit road puts its own item first when the receipt lacks it; a
// payment-queue pass clears the list when done. Every report classifies the
// snapshot of the list taken when its road read the receipt, so a receipt
// read on the other road while a report waits for the store cannot change
// what it reports.
//
// Threads: callable from any thread. Events are built and logged on the
// global default-priority queue. The list is guarded by itemsMutex_.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os/foundation/data.h"
#include "os/foundation/date.h"
#include "os/foundation/date_format.h"
#include "os/foundation/decimal.h"
#include "os/foundation/value.h"
#include "os/storekit/payment_queue.h"
#include "os/storekit/product.h"

// Event names and parameters.
inline constexpr const char* kAPMIAPEventName = "_iap";
inline constexpr const char* kAPMIAPInvalidEventName = "_iapx";
inline constexpr const char* kAPMSubscriptionRenewalEventName = "_assr";
inline constexpr const char* kAPMSubscriptionConversionEventName = "_assc";
inline constexpr const char* kAPMIAPOrigin = "auto";
inline constexpr const char* kAPMIAPProductIDParameter = "product_id";
inline constexpr const char* kAPMIAPPriceParameter = "price";
inline constexpr const char* kAPMIAPValueParameter = "value";
inline constexpr const char* kAPMIAPQuantityParameter = "quantity";
inline constexpr const char* kAPMIAPCurrencyParameter = "currency";
inline constexpr const char* kAPMIAPProductNameParameter = "product_name";
inline constexpr const char* kAPMIAPInvalidParameter = "invalid";
inline constexpr const char* kAPMIAPSandboxParameter = "sandbox";
inline constexpr const char* kAPMIAPSubscriptionParameter = "subscription";
inline constexpr const char* kAPMIAPDedupeIDParameter = "_did";
inline constexpr const char* kAPMIAPFreeTrialParameter = "free_trial";
inline constexpr const char* kAPMIAPPriceIsDiscountedParameter = "price_is_discounted";
inline constexpr const char* kAPMIAPOriginalPriceParameter = "original_price";
inline constexpr const char* kAPMIAPSubscriptionRenewParameter = "sub_renew";
inline constexpr const char* kAPMIAPSubscriptionConvertParameter = "sub_convert";
// Every IA5 date string: UTC, whole seconds.
inline constexpr const char* kAPMIAPDateFormat = "yyyy-MM-dd'T'HH:mm:ssZZZZZ";

// Monitor codes (level in the comment).
inline constexpr int64_t kAPMIAPCodeNilTransaction = 21014;          // 2
inline constexpr int64_t kAPMIAPCodeNilTransactionID = 21015;        // 2
inline constexpr int64_t kAPMIAPCodeEmptyTransactionID = 21016;      // 2
inline constexpr int64_t kAPMIAPCodeZeroTransactionID = 21017;       // 2
inline constexpr int64_t kAPMIAPCodeProductRequestFailed = 21027;    // 1
inline constexpr int64_t kAPMIAPCodeParsedReceipt = 21028;           // 7
// Classification, all level 8.
inline constexpr int64_t kAPMIAPCodeEmptyTransactionIDParameter = 40003;
inline constexpr int64_t kAPMIAPCodeRestoredNonConsumable = 40005;
inline constexpr int64_t kAPMIAPCodeMismatchedIDs = 40007;
inline constexpr int64_t kAPMIAPCodeAutoRenewable = 40008;
inline constexpr int64_t kAPMIAPCodeFreeTrial = 40009;
inline constexpr int64_t kAPMIAPCodeAutoRenewableRenewal = 40010;
inline constexpr int64_t kAPMIAPCodeFreeTrialRepurchase = 40011;
inline constexpr int64_t kAPMIAPCodeIntroductoryOffer = 40018;
inline constexpr int64_t kAPMIAPCodeMissingInReceipt = 40020;
inline constexpr int64_t kAPMIAPCodeConsumable = 40021;
inline constexpr int64_t kAPMIAPCodeNonConsumable = 40022;
inline constexpr int64_t kAPMIAPCodeSubscriptionMissingInReceipt = 40023;
inline constexpr int64_t kAPMIAPCodeDuplicateTransactionDate = 40024;
inline constexpr int64_t kAPMIAPCodeNonRenewingSubscription = 40025;
inline constexpr int64_t kAPMIAPCodeNilProduct = 40026;
inline constexpr int64_t kAPMIAPCodeEmptyProductID = 40027;

// Product types of purchase items.
enum APMInAppPurchaseType : int64_t {
  APMInAppPurchaseTypeNonConsumable = 0,
  APMInAppPurchaseTypeConsumable = 1,
  APMInAppPurchaseTypeNonRenewingSubscription = 2,
  APMInAppPurchaseTypeAutoRenewableSubscription = 3,
};

// One purchase as the receipt records it. Dates are IA5 strings
// (kAPMIAPDateFormat).
struct APMInAppPurchaseItem {
  bool freeTrial = false;
  bool introductoryOffer = false;
  std::optional<std::string> subscriptionExpirationDateIA5String{};
  std::string productID{};
  std::string originalTransactionID{};
  std::string transactionID{};
  // Subscriptions only.
  std::optional<int64_t> webOrderLineItemID{};
  std::optional<std::string> originalPurchaseDateIA5String{};
  std::optional<std::string> purchaseDateIA5String{};
  std::optional<std::string> cancellationDateIA5String{};
  // An APMInAppPurchaseType code.
  std::optional<int64_t> purchaseType{};

  bool isFreeTrial() const { return freeTrial; }
  bool isIntroductoryOffer() const { return introductoryOffer; }
  friend bool operator==(const APMInAppPurchaseItem&, const APMInAppPurchaseItem&) = default;
};
using APMInAppPurchaseItems = std::vector<APMInAppPurchaseItem>;

// The receipt reader: the store receipt file (os/storekit's format) to
// purchase items, and the two look-ups classification makes.
class APMInAppPurchaseReceiptReader {
 public:
  // The receipt's purchases in its order, dates as IA5 strings. A file that
  // does not decode gives none; damaged purchases are left out.
  static APMInAppPurchaseItems purchaseItemsFromReceiptData(const os::Data& data);
  // The items of the product, in order.
  static APMInAppPurchaseItems itemsWithProductID(const APMInAppPurchaseItems& items, std::string_view productID);
  // The items whose purchase date is the date as an IA5 string; none for no
  // date.
  static APMInAppPurchaseItems itemsWithPurchaseDate(const APMInAppPurchaseItems& items,
                                                     const std::optional<os::Date>& date);
};

// The formatter of every IA5 date string ("en_US_POSIX", UTC).
const os::DateFormatter& APMIAPDateFormatter();

// quantity x price x 1,000,000 in decimal, truncated to an int64; none when
// the product is no number or does not fit 64 bits.
std::optional<int64_t> APMIAPValueMicros(const os::Decimal& price, int64_t quantity);
// The low 64 bits of the MD5 of originalTransactionID, the line item's
// decimal text (when given) and productID; -1 when either ID is empty.
int64_t APMIAPDedupeID(std::string_view originalTransactionID, std::optional<int64_t> webOrderLineItemID,
                       std::string_view productID);
// "sub_convert" = 1 when the item before `x` among `items` was a free
// trial, else "sub_renew" = 1; nothing when `items` is empty or x is the
// first purchase of its subscription (same transaction and original
// transaction). No x: a renewal.
void APMIAPSetRenewalKind(const APMInAppPurchaseItems& items, const std::optional<APMInAppPurchaseItem>& x,
                          os::Dictionary& parameters);
// The event's parameters, or none when the product or its identifier is
// missing, or price, value, currency or product ID cannot be given (a
// product without price or currency, a quantity of 0).
std::optional<os::Dictionary> APMIAPTransactionParameters(const std::shared_ptr<SKProduct>& product, int64_t quantity,
                                                          const std::optional<std::string>& transactionIdentifier,
                                                          const std::optional<std::string>& originalTransactionIdentifier,
                                                          const std::optional<os::Date>& transactionDate,
                                                          const APMInAppPurchaseItems& items);

class APMInAppPurchaseTransactionReporter : public std::enable_shared_from_this<APMInAppPurchaseTransactionReporter> {
 public:
  using Transactions = std::vector<std::shared_ptr<SKPaymentTransaction>>;

  static std::shared_ptr<APMInAppPurchaseTransactionReporter> sharedInstance();

  // The payment-queue road: purchased transactions with a product
  // identifier are reported once their products are cached; a store
  // failure without products logs 21027 and reports none of them.
  void paymentQueue(const std::shared_ptr<SKPaymentQueue>& queue, const Transactions& updatedFilteredTransactions);
  // Reads the receipt, then reports each transaction whose product is cached.
  void reportTransactionsFromArray(const Transactions& transactions);
  // The explicit road. The web order line item identifier is read by its
  // integer value (null: none); the product type is an APMInAppPurchaseType
  // code.
  void reportTransactionWithProductID(const std::string& productID, const std::string& transactionID,
                                      const std::string& originalTransactionID, const os::Value& webOrderLineItemID,
                                      int64_t productType, bool isFreeTrial, bool isIntroductoryOffer,
                                      int64_t paymentQuantity, const std::optional<os::Date>& purchaseDate,
                                      const std::optional<os::Date>& originalPurchaseDate,
                                      const std::optional<os::Date>& subscriptionExpirationDate,
                                      const std::optional<os::Date>& cancellationDate);
  // Builds and logs one event, classified against the current purchase items.
  void reportTransactionWithProduct(const std::shared_ptr<SKProduct>& product, int64_t paymentQuantity,
                                    const std::optional<std::string>& transactionIdentifier,
                                    const std::optional<std::string>& originalTransactionIdentifier,
                                    const std::optional<os::Date>& transactionDate);
  // Replaces the purchase items by the receipt's when the receipt URL is set
  // and the file is not empty (21028); else leaves them.
  void parsePurchasedItemsFromReceipt();
  // The MD5 hex of a purchased transaction's identifier; none for another
  // state, and none with 21014 to 21017 for no transaction or an identifier
  // that is missing, empty or only "0" and "-".
  static std::optional<std::string> transactionFingerprint(const std::shared_ptr<SKPaymentTransaction>& transaction);
  std::optional<std::string> ia5StringFromDate(const std::optional<os::Date>& date) const;

  // ---- For tests ----
  APMInAppPurchaseItems TEST_purchaseItems();
  // A new shared instance with no purchase items.
  static void TEST_reset();

  APMInAppPurchaseTransactionReporter() = default;

 private:
  APMInAppPurchaseItems purchaseItemsSnapshot();
  // Builds and logs one event, classified against `items`.
  void reportTransactionWithProduct(const std::shared_ptr<SKProduct>& product, int64_t paymentQuantity,
                                    const std::optional<std::string>& transactionIdentifier,
                                    const std::optional<std::string>& originalTransactionIdentifier,
                                    const std::optional<os::Date>& transactionDate,
                                    const APMInAppPurchaseItems& items);

  std::mutex itemsMutex_;
  std::optional<APMInAppPurchaseItems> allPurchaseItems_;  // guarded by itemsMutex_
};
