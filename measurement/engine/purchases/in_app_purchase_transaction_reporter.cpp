#include "measurement/engine/purchases/in_app_purchase_transaction_reporter.h"

#include <cmath>
#include <limits>
#include <set>
#include <utility>

#include "measurement/engine/purchases/in_app_purchase_product_cache.h"
#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/engine_services/install_environment.h"
#include "measurement/store/engine_services/shorthands.h"
#include "measurement/store/foundation_extensions.h"
#include "measurement/store/monitor.h"
#include "os/foundation/file_manager.h"
#include "os/runtime/runtime.h"
#include "os/storekit/receipt.h"

namespace {

using apm_shorthands::monitor;

std::shared_ptr<os::DispatchQueue> reportQueue() { return os::DispatchQueue::global(os::QualityOfService::Default); }

os::Value int64Value(int64_t value) { return os::Value(os::Number::int64(value)); }

bool isOne(const os::Dictionary& parameters, std::string_view key) {
  auto it = parameters.find(key);
  return it != parameters.end() && it->second.isNumber() && it->second.int64Value() == 1;
}

std::string stringOrEmpty(const std::optional<std::string>& text) { return text.value_or(std::string()); }

// price x 1,000,000, converted through a double as the platform's number
// would be, and truncated; none when not a finite number within int64.
std::optional<int64_t> microsFromDecimal(const os::Decimal& amount) {
  if (amount.isNaN()) return std::nullopt;
  const double micros = amount.multiplying(os::Decimal(1'000'000)).doubleValue();
  // 2^63 is the first double above the int64 range.
  constexpr double kLimit = 9223372036854775808.0;
  if (!std::isfinite(micros) || micros >= kLimit || micros < -kLimit) return std::nullopt;
  return static_cast<int64_t>(micros);
}

}  // namespace

// ---- Receipt reader ----

const os::DateFormatter& APMIAPDateFormatter() {
  static const auto* formatter = new os::DateFormatter(kAPMIAPDateFormat, os::kPOSIXLocaleIdentifier,
                                                       os::TimeZone::timeZoneForSecondsFromGMT(0));
  return *formatter;
}

APMInAppPurchaseItems APMInAppPurchaseReceiptReader::purchaseItemsFromReceiptData(const os::Data& data) {
  APMInAppPurchaseItems items;
  auto read = SKReceipt::decode(data);
  if (!read) return items;
  const os::DateFormatter& formatter = APMIAPDateFormatter();
  auto ia5 = [&](const std::optional<os::Date>& date) -> std::optional<std::string> {
    if (!date) return std::nullopt;
    return formatter.stringFromDate(*date);
  };
  for (const SKReceiptPurchase& purchase : read->receipt.purchases) {
    APMInAppPurchaseItem item;
    item.freeTrial = purchase.isTrialPeriod;
    item.introductoryOffer = purchase.isInIntroOfferPeriod;
    item.subscriptionExpirationDateIA5String = ia5(purchase.subscriptionExpirationDate);
    item.productID = purchase.productIdentifier;
    item.originalTransactionID = purchase.originalTransactionIdentifier;
    item.transactionID = purchase.transactionIdentifier;
    item.webOrderLineItemID = purchase.webOrderLineItemID;
    item.originalPurchaseDateIA5String = ia5(purchase.originalPurchaseDate);
    item.purchaseDateIA5String = ia5(purchase.purchaseDate);
    item.cancellationDateIA5String = ia5(purchase.cancellationDate);
    item.purchaseType = int64_t(purchase.productType);
    items.push_back(std::move(item));
  }
  return items;
}

APMInAppPurchaseItems APMInAppPurchaseReceiptReader::itemsWithProductID(const APMInAppPurchaseItems& items,
                                                                        std::string_view productID) {
  APMInAppPurchaseItems out;
  for (const auto& item : items) {
    if (item.productID == productID) out.push_back(item);
  }
  return out;
}

APMInAppPurchaseItems APMInAppPurchaseReceiptReader::itemsWithPurchaseDate(const APMInAppPurchaseItems& items,
                                                                           const std::optional<os::Date>& date) {
  APMInAppPurchaseItems out;
  if (!date) return out;
  const std::string text = APMIAPDateFormatter().stringFromDate(*date);
  for (const auto& item : items) {
    if (item.purchaseDateIA5String == text) out.push_back(item);
  }
  return out;
}

// ---- Parameters ----

std::optional<int64_t> APMIAPValueMicros(const os::Decimal& price, int64_t quantity) {
  return microsFromDecimal(price.multiplying(os::Decimal(quantity)));
}

int64_t APMIAPDedupeID(std::string_view originalTransactionID, std::optional<int64_t> webOrderLineItemID,
                       std::string_view productID) {
  if (originalTransactionID.empty() || productID.empty()) return -1;
  std::string text(originalTransactionID);
  if (webOrderLineItemID) text += std::to_string(*webOrderLineItemID);
  text += productID;
  return apm_64LSBMD5(os::Data::fromString(text));
}

void APMIAPSetRenewalKind(const APMInAppPurchaseItems& items, const std::optional<APMInAppPurchaseItem>& x,
                          os::Dictionary& parameters) {
  if (items.empty()) return;
  // Without x nothing matches, which counts as a renewal.
  if (x && x->originalTransactionID == x->transactionID) return;
  const APMInAppPurchaseItem* previous = nullptr;
  if (x) {
    for (size_t i = 1; i < items.size(); ++i) {
      if (items[i] == *x) {
        previous = &items[i - 1];
        break;
      }
    }
  }
  if (previous && previous->isFreeTrial()) {
    parameters[kAPMIAPSubscriptionConvertParameter] = int64Value(1);
  } else {
    parameters[kAPMIAPSubscriptionRenewParameter] = int64Value(1);
  }
}

namespace {

void log8(int64_t code, std::string_view message) { monitor()->logWithLevel(8, code, message); }

// The auto-renewable steps for x (none: no receipt item matched the date).
void classifyAutoRenewable(const std::optional<APMInAppPurchaseItem>& x, const APMInAppPurchaseItems& productItems,
                           const std::string& t, const std::string& o, os::Dictionary& parameters) {
  if (x && x->originalTransactionID == x->transactionID) {
    parameters[kAPMIAPSubscriptionParameter] = int64Value(1);
  }
  parameters[kAPMIAPDedupeIDParameter] =
      int64Value(x ? APMIAPDedupeID(x->originalTransactionID, x->webOrderLineItemID, x->productID) : -1);
  const bool freeTrial = x && x->isFreeTrial();
  const bool introductoryOffer = x && x->isIntroductoryOffer();
  if (!freeTrial && !introductoryOffer) {
    APMIAPSetRenewalKind(productItems, x, parameters);
    log8(kAPMIAPCodeAutoRenewable, "Transaction of auto-renewable subscription will be reported");
    return;
  }
  if (freeTrial) {
    parameters[kAPMIAPFreeTrialParameter] = int64Value(1);
    if (!t.empty() && !o.empty() && t != o) {
      parameters[kAPMIAPInvalidParameter] = int64Value(1);
      log8(kAPMIAPCodeFreeTrialRepurchase,
           "Repurchase of free-trial auto-renewable subscription will be reported as invalid");
      return;
    }
    log8(kAPMIAPCodeFreeTrial, "Transaction of free-trial auto-renewable subscription will be reported");
  }
  if (introductoryOffer) {
    parameters[kAPMIAPPriceIsDiscountedParameter] = int64Value(1);
    APMIAPSetRenewalKind(productItems, x, parameters);
    log8(kAPMIAPCodeIntroductoryOffer, "Transaction of introductory offer will be reported");
  }
  log8(kAPMIAPCodeAutoRenewableRenewal, "Transaction of auto-renewable subscription renewal will be reported");
}

// Adds the classification's keys to the base parameters.
void classify(const std::string& productID, const std::string& t, const std::string& o,
              const std::optional<os::Date>& d, const APMInAppPurchaseItems& items, os::Dictionary& parameters) {
  const APMInAppPurchaseItems productItems = APMInAppPurchaseReceiptReader::itemsWithProductID(items, productID);
  if (productItems.empty()) {
    parameters[kAPMIAPInvalidParameter] = int64Value(1);
    monitor()->logWithLevel(8, kAPMIAPCodeMissingInReceipt,
                            "Transaction missing in receipt will be reported as invalid", productID);
    return;
  }
  const APMInAppPurchaseItem& item = productItems.back();
  const size_t n = productItems.size();
  const int64_t type = item.purchaseType.value_or(-1);
  const bool sub = type == APMInAppPurchaseTypeNonRenewingSubscription ||
                   type == APMInAppPurchaseTypeAutoRenewableSubscription || item.webOrderLineItemID.has_value();
  const bool same = item.transactionID == item.originalTransactionID;

  if (type == APMInAppPurchaseTypeNonConsumable && !t.empty() && !o.empty() && t != o) {
    parameters[kAPMIAPInvalidParameter] = int64Value(1);
    log8(kAPMIAPCodeRestoredNonConsumable, "Restore/repurchase of non-consumable item will be reported as invalid");
    return;
  }
  if (n == 1 && same && !sub) {
    parameters[kAPMIAPDedupeIDParameter] =
        int64Value(APMIAPDedupeID(item.originalTransactionID, std::nullopt, item.productID));
    if (type == APMInAppPurchaseTypeConsumable) {
      log8(kAPMIAPCodeConsumable, "Transaction of consumable item will be reported");
    } else if (type == APMInAppPurchaseTypeNonConsumable) {
      log8(kAPMIAPCodeNonConsumable, "Transaction of non-consumable item will be reported");
    }
    return;
  }
  if (n == 1 && !same && !sub) {
    log8(kAPMIAPCodeMismatchedIDs,
         "Transaction with mismatched transaction ID and original transaction ID will be reported as consumable");
    return;
  }
  const APMInAppPurchaseItems dated = APMInAppPurchaseReceiptReader::itemsWithPurchaseDate(productItems, d);
  if (dated.empty() && sub) {
    parameters[kAPMIAPInvalidParameter] = int64Value(1);
    parameters[kAPMIAPSubscriptionParameter] = int64Value(1);
    monitor()->logWithLevel(8, kAPMIAPCodeSubscriptionMissingInReceipt,
                            "Subscription transaction missing in receipt will be reported as invalid", productID);
    return;
  }
  if (dated.size() >= 2) {
    parameters[kAPMIAPInvalidParameter] = int64Value(1);
    parameters[kAPMIAPSubscriptionParameter] = int64Value(1);
    monitor()->logWithLevel(8, kAPMIAPCodeDuplicateTransactionDate,
                            "Subscription transaction with duplicate transaction date will be reported as invalid",
                            productID, int64_t(dated.size()));
    return;
  }
  // One matching item, or (several items of a product that is no
  // subscription) none: the latter is handled as an auto-renewable renewal
  // without an item.
  std::optional<APMInAppPurchaseItem> x;
  if (!dated.empty()) x = dated.front();
  if (x && type == APMInAppPurchaseTypeNonRenewingSubscription) {
    parameters[kAPMIAPSubscriptionParameter] = int64Value(1);
    parameters[kAPMIAPDedupeIDParameter] =
        int64Value(APMIAPDedupeID(x->originalTransactionID, std::nullopt, x->productID));
    log8(kAPMIAPCodeNonRenewingSubscription, "Transaction of non-renewing subscription will be reported");
    return;
  }
  classifyAutoRenewable(x, productItems, t, o, parameters);
}

// The four entries of a discounted price: the regular price kept as
// "original_price", the paid one as "price" (and "value" when given).
// Nothing without a regular price (such parameters make no event).
void mergeDiscount(os::Dictionary& parameters, int64_t price, std::optional<int64_t> value) {
  auto regular = parameters.find(kAPMIAPPriceParameter);
  if (regular == parameters.end()) return;
  parameters[kAPMIAPOriginalPriceParameter] = regular->second;
  parameters[kAPMIAPPriceIsDiscountedParameter] = int64Value(1);
  parameters[kAPMIAPPriceParameter] = int64Value(price);
  if (value) parameters[kAPMIAPValueParameter] = int64Value(*value);
}

// The introductory price as the runtime offers it, when the discount class
// and the product's method are there.
std::shared_ptr<SKProductDiscount> introductoryPriceOf(const SKProduct& product) {
  const os::runtime::Class* discountClass = os::runtime::classFromString("SKProductDiscount");
  if (!discountClass || !discountClass->instancesRespondToSelector("price") ||
      !discountClass->instancesRespondToSelector("paymentMode") || !product.respondsToSelector("introductoryPrice")) {
    return nullptr;
  }
  return product.introductoryPrice();
}

}  // namespace

std::optional<os::Dictionary> APMIAPTransactionParameters(const std::shared_ptr<SKProduct>& product, int64_t quantity,
                                                          const std::optional<std::string>& transactionIdentifier,
                                                          const std::optional<std::string>& originalTransactionIdentifier,
                                                          const std::optional<os::Date>& transactionDate,
                                                          const APMInAppPurchaseItems& items) {
  if (!product) {
    log8(kAPMIAPCodeNilProduct, "IAP Transaction cannot be created from nil product");
    return std::nullopt;
  }
  const std::string& productID = product->productIdentifier();
  if (productID.empty()) {
    log8(kAPMIAPCodeEmptyProductID, "IAP Transaction cannot be created from empty or nil product ID");
    return std::nullopt;
  }

  os::Dictionary parameters;
  parameters[kAPMIAPProductIDParameter] = os::Value(productID);
  if (product->price()) {
    if (auto price = microsFromDecimal(*product->price())) {
      parameters[kAPMIAPPriceParameter] = int64Value(*price);
      if (quantity != 0) {
        if (auto value = APMIAPValueMicros(*product->price(), quantity)) {
          parameters[kAPMIAPValueParameter] = int64Value(*value);
        }
        parameters[kAPMIAPQuantityParameter] = int64Value(quantity);
      }
    }
  }
  if (const auto& currency = product->priceLocale().currencyCode) {
    parameters[kAPMIAPCurrencyParameter] = os::Value(*currency);
  }
  if (!product->localizedTitle().empty()) parameters[kAPMIAPProductNameParameter] = os::Value(product->localizedTitle());

  const std::string t = stringOrEmpty(transactionIdentifier), o = stringOrEmpty(originalTransactionIdentifier);
  if (t.empty()) log8(kAPMIAPCodeEmptyTransactionIDParameter, "Transaction ID cannot be nil or empty.");
  classify(productID, t, o, transactionDate, items, parameters);

  if (isOne(parameters, kAPMIAPFreeTrialParameter)) {
    mergeDiscount(parameters, 0, 0);
  } else if (isOne(parameters, kAPMIAPPriceIsDiscountedParameter)) {
    if (auto introductory = introductoryPriceOf(*product)) {
      if (introductory->paymentMode() == SKProductDiscountPaymentMode::FreeTrial) {
        mergeDiscount(parameters, 0, 0);
      } else if (auto price = microsFromDecimal(introductory->price())) {
        std::optional<int64_t> value;
        if (quantity != 0) {
          value = APMIAPValueMicros(introductory->price(), quantity);
          if (!value) parameters.erase(kAPMIAPValueParameter);  // no event rather than the regular value
        }
        mergeDiscount(parameters, *price, value);
      }
    }
  }

  for (const char* key : {kAPMIAPPriceParameter, kAPMIAPValueParameter, kAPMIAPCurrencyParameter,
                          kAPMIAPProductIDParameter}) {
    if (!parameters.contains(key)) return std::nullopt;
  }
  return parameters;
}

// ---- Reporter ----

namespace {

std::mutex& sharedReporterMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

std::shared_ptr<APMInAppPurchaseTransactionReporter>& sharedReporter() {
  // Never destroyed: reports may still run on global queues during exit.
  static auto* reporter = new std::shared_ptr<APMInAppPurchaseTransactionReporter>(
      std::make_shared<APMInAppPurchaseTransactionReporter>());
  return *reporter;
}

void logProductRequestFailure(const std::optional<os::Error>& error) {
  monitor()->logWithLevel(1, kAPMIAPCodeProductRequestFailed, "Cannot request product information. Error",
                          error ? APMLogContext(*error) : APMLogContext());
}

}  // namespace

std::shared_ptr<APMInAppPurchaseTransactionReporter> APMInAppPurchaseTransactionReporter::sharedInstance() {
  std::lock_guard lock(sharedReporterMutex());
  return sharedReporter();
}

void APMInAppPurchaseTransactionReporter::TEST_reset() {
  auto fresh = std::make_shared<APMInAppPurchaseTransactionReporter>();
  std::lock_guard lock(sharedReporterMutex());
  sharedReporter() = std::move(fresh);
}

APMInAppPurchaseItems APMInAppPurchaseTransactionReporter::TEST_purchaseItems() { return purchaseItemsSnapshot(); }

APMInAppPurchaseItems APMInAppPurchaseTransactionReporter::purchaseItemsSnapshot() {
  std::lock_guard lock(itemsMutex_);
  return allPurchaseItems_.value_or(APMInAppPurchaseItems{});
}

void APMInAppPurchaseTransactionReporter::paymentQueue(const std::shared_ptr<SKPaymentQueue>&,
                                                       const Transactions& updatedFilteredTransactions) {
  auto cache = APMInAppPurchaseProductCache::sharedInstance();
  Transactions kept;
  std::set<std::string> missing;
  for (const auto& transaction : updatedFilteredTransactions) {
    if (!transaction || transaction->transactionState() != SKPaymentTransactionState::Purchased) continue;
    const std::string productID = transaction->payment().productIdentifier;
    if (productID.empty()) continue;
    kept.push_back(transaction);
    if (!cache->cachedProductForProductIdentifier(productID)) missing.insert(productID);
  }
  if (kept.empty()) return;

  std::weak_ptr<APMInAppPurchaseTransactionReporter> weakSelf = shared_from_this();
  if (!missing.empty()) {
    cache->requestProductsWithProductIdentifiers(
        missing, reportQueue(),
        [weakSelf, kept](std::optional<APMProducts> products, std::optional<std::set<std::string>>,
                         std::optional<os::Error> error) {
          if (error && (!products || products->empty())) {
            logProductRequestFailure(error);
            return;
          }
          if (auto self = weakSelf.lock()) self->reportTransactionsFromArray(kept);
        });
    return;
  }
  reportQueue()->async([weakSelf, kept] {
    if (auto self = weakSelf.lock()) self->reportTransactionsFromArray(kept);
  });
}

void APMInAppPurchaseTransactionReporter::reportTransactionsFromArray(const Transactions& transactions) {
  parsePurchasedItemsFromReceipt();
  const APMInAppPurchaseItems items = purchaseItemsSnapshot();
  auto cache = APMInAppPurchaseProductCache::sharedInstance();
  for (const auto& transaction : transactions) {
    if (!transaction) continue;
    const auto product = cache->cachedProductForProductIdentifier(transaction->payment().productIdentifier);
    std::optional<std::string> originalIdentifier;
    if (const auto& original = transaction->originalTransaction()) originalIdentifier = original->transactionIdentifier();
    reportTransactionWithProduct(product, transaction->payment().quantity, transaction->transactionIdentifier(),
                                 originalIdentifier, transaction->transactionDate(), items);
  }
  std::lock_guard lock(itemsMutex_);
  allPurchaseItems_.reset();
}

void APMInAppPurchaseTransactionReporter::reportTransactionWithProductID(
    const std::string& productID, const std::string& transactionID, const std::string& originalTransactionID,
    const os::Value& webOrderLineItemID, int64_t productType, bool isFreeTrial, bool isIntroductoryOffer,
    int64_t paymentQuantity, const std::optional<os::Date>& purchaseDate,
    const std::optional<os::Date>& originalPurchaseDate, const std::optional<os::Date>& subscriptionExpirationDate,
    const std::optional<os::Date>& cancellationDate) {
  parsePurchasedItemsFromReceipt();

  APMInAppPurchaseItems items;
  {
    std::lock_guard lock(itemsMutex_);
    APMInAppPurchaseItems current = allPurchaseItems_.value_or(APMInAppPurchaseItems{});
    bool known = false;
    for (const auto& item : current) known = known || item.transactionID == transactionID;
    if (!known) {
      APMInAppPurchaseItem item;
      item.freeTrial = isFreeTrial;
      item.introductoryOffer = isIntroductoryOffer;
      item.purchaseDateIA5String = ia5StringFromDate(purchaseDate);
      item.originalPurchaseDateIA5String = ia5StringFromDate(originalPurchaseDate);
      item.subscriptionExpirationDateIA5String = ia5StringFromDate(subscriptionExpirationDate);
      item.cancellationDateIA5String = ia5StringFromDate(cancellationDate);
      item.productID = productID;
      item.originalTransactionID = originalTransactionID;
      item.transactionID = transactionID;
      if (!webOrderLineItemID.isNull()) item.webOrderLineItemID = webOrderLineItemID.int64Value();
      item.purchaseType = productType;
      current.insert(current.begin(), std::move(item));
      allPurchaseItems_ = current;
    }
    items = std::move(current);
  }

  // Whole seconds, as the receipt keeps them.
  std::optional<os::Date> transactionDate;
  if (purchaseDate) {
    const os::DateFormatter& formatter = APMIAPDateFormatter();
    transactionDate = formatter.dateFromString(formatter.stringFromDate(*purchaseDate));
  }

  std::weak_ptr<APMInAppPurchaseTransactionReporter> weakSelf = shared_from_this();
  auto report = [weakSelf, paymentQuantity, transactionID, originalTransactionID, transactionDate,
                 items](const std::shared_ptr<SKProduct>& product) {
    if (auto self = weakSelf.lock()) {
      self->reportTransactionWithProduct(product, paymentQuantity, transactionID, originalTransactionID,
                                         transactionDate, items);
    }
  };
  auto cache = APMInAppPurchaseProductCache::sharedInstance();
  if (auto product = cache->cachedProductForProductIdentifier(productID)) {
    reportQueue()->async([report, product] { report(product); });
    return;
  }
  cache->requestProductsWithProductIdentifiers(
      {productID}, reportQueue(),
      [report](std::optional<APMProducts> products, std::optional<std::set<std::string>>,
               std::optional<os::Error> error) {
        if (!products || products->empty()) {
          logProductRequestFailure(error);
          return;
        }
        report(products->begin()->second);
      });
}

void APMInAppPurchaseTransactionReporter::reportTransactionWithProduct(
    const std::shared_ptr<SKProduct>& product, int64_t paymentQuantity,
    const std::optional<std::string>& transactionIdentifier,
    const std::optional<std::string>& originalTransactionIdentifier, const std::optional<os::Date>& transactionDate) {
  reportTransactionWithProduct(product, paymentQuantity, transactionIdentifier, originalTransactionIdentifier,
                               transactionDate, purchaseItemsSnapshot());
}

void APMInAppPurchaseTransactionReporter::reportTransactionWithProduct(
    const std::shared_ptr<SKProduct>& product, int64_t paymentQuantity,
    const std::optional<std::string>& transactionIdentifier,
    const std::optional<std::string>& originalTransactionIdentifier, const std::optional<os::Date>& transactionDate,
    const APMInAppPurchaseItems& items) {
  auto built = APMIAPTransactionParameters(product, paymentQuantity, transactionIdentifier,
                                           originalTransactionIdentifier, transactionDate, items);
  if (!built || built->empty()) return;
  os::Dictionary parameters = std::move(*built);
  std::string name = kAPMIAPEventName;
  if (isOne(parameters, kAPMIAPInvalidParameter)) {
    name = kAPMIAPInvalidEventName;
    if (APMAEU::isASRS()) parameters[kAPMIAPSandboxParameter] = int64Value(1);
    parameters.erase(kAPMIAPInvalidParameter);
  }
  if (isOne(parameters, kAPMIAPSubscriptionRenewParameter)) {
    parameters.erase(kAPMIAPSubscriptionRenewParameter);
    name = kAPMSubscriptionRenewalEventName;
  }
  if (isOne(parameters, kAPMIAPSubscriptionConvertParameter)) {
    parameters.erase(kAPMIAPSubscriptionConvertParameter);
    name = kAPMSubscriptionConversionEventName;
  }
  if (auto analytics = APMAnalyticsServices::sharedInstance()) {
    analytics->logInternalEventWithOrigin(kAPMIAPOrigin, name, parameters);
  }
}

void APMInAppPurchaseTransactionReporter::parsePurchasedItemsFromReceipt() {
  const auto path = APMAEU::appStoreRURL();
  if (!path || path->empty()) return;
  auto data = os::FileManager::defaultManager().contentsAtPath(*path);
  if (!data || data->empty()) return;
  APMInAppPurchaseItems items = APMInAppPurchaseReceiptReader::purchaseItemsFromReceiptData(*data);
  {
    std::lock_guard lock(itemsMutex_);
    allPurchaseItems_ = std::move(items);
  }
  monitor()->logWithLevel(7, kAPMIAPCodeParsedReceipt, "Parsed purchase items from receipt");
}

std::optional<std::string> APMInAppPurchaseTransactionReporter::transactionFingerprint(
    const std::shared_ptr<SKPaymentTransaction>& transaction) {
  if (!transaction) {
    monitor()->logWithLevel(2, kAPMIAPCodeNilTransaction, "Transaction is nil");
    return std::nullopt;
  }
  if (transaction->transactionState() != SKPaymentTransactionState::Purchased) return std::nullopt;
  const int64_t errorCode = transaction->error() ? transaction->error()->code() : 0;
  const auto& identifier = transaction->transactionIdentifier();
  if (!identifier) {
    monitor()->logWithLevel(2, kAPMIAPCodeNilTransactionID, "Transaction identifier is nil. Code", errorCode);
    return std::nullopt;
  }
  if (identifier->empty()) {
    monitor()->logWithLevel(2, kAPMIAPCodeEmptyTransactionID, "Transaction identifier is empty. Code", errorCode);
    return std::nullopt;
  }
  if (identifier->find_first_not_of("0-") == std::string::npos) {
    monitor()->logWithLevel(2, kAPMIAPCodeZeroTransactionID, "Transaction identifier is only zeroes. Code",
                            errorCode);
    return std::nullopt;
  }
  return apm_MD5String(*identifier);
}

std::optional<std::string> APMInAppPurchaseTransactionReporter::ia5StringFromDate(
    const std::optional<os::Date>& date) const {
  if (!date) return std::nullopt;
  return APMIAPDateFormatter().stringFromDate(*date);
}
