#include "os/storekit/receipt.h"

#include <cmath>

#include "os/foundation/date_format.h"
#include "os/foundation/plist.h"
#include "os/foundation/value.h"

namespace {

constexpr const char* kFormatKey = "format";
constexpr const char* kVersionKey = "version";
constexpr const char* kBundleIDKey = "bundle_id";
constexpr const char* kInAppKey = "in_app";
constexpr const char* kProductIDKey = "product_id";
constexpr const char* kTransactionIDKey = "transaction_id";
constexpr const char* kOriginalTransactionIDKey = "original_transaction_id";
constexpr const char* kPurchaseDateKey = "purchase_date";
constexpr const char* kOriginalPurchaseDateKey = "original_purchase_date";
constexpr const char* kExpiresDateKey = "expires_date";
constexpr const char* kCancellationDateKey = "cancellation_date";
constexpr const char* kWebOrderLineItemIDKey = "web_order_line_item_id";
constexpr const char* kQuantityKey = "quantity";
constexpr const char* kTypeKey = "type";
constexpr const char* kTrialKey = "is_trial_period";
constexpr const char* kIntroOfferKey = "is_in_intro_offer_period";

constexpr const char* kDatePattern = "yyyy-MM-dd'T'HH:mm:ssZZZZZ";

const os::DateFormatter& dateFormatter() {
  // DateFormatter is thread-safe; made once.
  static const auto& formatter =
      *new os::DateFormatter(kDatePattern, os::kPOSIXLocaleIdentifier, os::TimeZone::UTC());  // never destroyed
  return formatter;
}

os::Value integer(int64_t v) { return os::Value(os::Number::int64(v)); }

// Whether the file can hold `s` (a property list read from binary may hold
// NUL, which the XML file cannot).
bool isWritable(const std::string& s) {
  return os::PropertyListSerialization::propertyList(os::Value(s), os::PropertyListSerialization::Format::XML);
}

// Field readers: nullopt when the field is there but of the wrong type, or
// missing where required.
std::optional<std::string> requiredString(const os::Value& item, const char* key) {
  const std::string* s = item[key].string();
  if (!s || !isWritable(*s)) return std::nullopt;
  return *s;
}

// Outer nullopt: damaged; inner nullopt: absent.
std::optional<std::optional<os::Date>> optionalDate(const os::Value& item, const char* key) {
  const os::Value* v = item.find(key);
  if (!v) return std::optional<os::Date>();
  const std::string* s = v->string();
  if (!s) return std::nullopt;
  auto date = SKReceipt::dateFromString(*s);
  if (!date) return std::nullopt;
  return std::optional<os::Date>(*date);
}

std::optional<std::optional<int64_t>> optionalInteger(const os::Value& item, const char* key) {
  const os::Value* v = item.find(key);
  if (!v) return std::optional<int64_t>();
  const os::Number* n = v->number();
  if (!n || !n->isInteger() || n->isBool()) return std::nullopt;
  return std::optional<int64_t>(n->int64Value());
}

std::optional<bool> optionalBoolean(const os::Value& item, const char* key) {
  const os::Value* v = item.find(key);
  if (!v) return false;
  if (!v->isBool()) return std::nullopt;
  return v->boolValue();
}

std::optional<SKReceiptPurchase> readPurchase(const os::Value& item) {
  if (!item.isDictionary()) return std::nullopt;
  SKReceiptPurchase p;
  auto product = requiredString(item, kProductIDKey);
  auto transaction = requiredString(item, kTransactionIDKey);
  auto original = requiredString(item, kOriginalTransactionIDKey);
  auto purchased = optionalDate(item, kPurchaseDateKey);
  auto originallyPurchased = optionalDate(item, kOriginalPurchaseDateKey);
  auto expires = optionalDate(item, kExpiresDateKey);
  auto cancelled = optionalDate(item, kCancellationDateKey);
  auto lineItem = optionalInteger(item, kWebOrderLineItemIDKey);
  auto quantity = optionalInteger(item, kQuantityKey);
  auto type = optionalInteger(item, kTypeKey);
  auto trial = optionalBoolean(item, kTrialKey);
  auto intro = optionalBoolean(item, kIntroOfferKey);
  if (!product || !transaction || !original || !purchased || !*purchased || !originallyPurchased ||
      !*originallyPurchased || !expires || !cancelled || !lineItem || !quantity || !type || !trial || !intro)
    return std::nullopt;
  const int64_t typeValue = type->value_or(static_cast<int64_t>(SKReceiptProductType::Consumable));
  if (typeValue < 0 || typeValue > static_cast<int64_t>(SKReceiptProductType::AutoRenewableSubscription))
    return std::nullopt;
  p.productIdentifier = *product;
  p.transactionIdentifier = *transaction;
  p.originalTransactionIdentifier = *original;
  p.purchaseDate = **purchased;
  p.originalPurchaseDate = **originallyPurchased;
  p.subscriptionExpirationDate = *expires;
  p.cancellationDate = *cancelled;
  p.webOrderLineItemID = *lineItem;
  p.quantity = quantity->value_or(1);
  p.productType = static_cast<SKReceiptProductType>(typeValue);
  p.isTrialPeriod = *trial;
  p.isInIntroOfferPeriod = *intro;
  return p;
}

os::Error receiptError(int64_t code, const std::string& description) {
  return os::Error::withDescription(kSKReceiptErrorDomain, code, description);
}

}  // namespace

std::string SKReceipt::dateString(os::Date date) {
  return dateFormatter().stringFromDate(os::Date::fromTimeIntervalSince1970(std::floor(date.timeIntervalSince1970())));
}

std::optional<os::Date> SKReceipt::dateFromString(const std::string& text) {
  return dateFormatter().dateFromString(text);
}

os::Result<os::Data> SKReceipt::encoded() const {
  os::Array items;
  for (const auto& p : purchases) {
    os::Dictionary item{
        {kProductIDKey, p.productIdentifier},
        {kTransactionIDKey, p.transactionIdentifier},
        {kOriginalTransactionIDKey, p.originalTransactionIdentifier},
        {kPurchaseDateKey, dateString(p.purchaseDate)},
        {kOriginalPurchaseDateKey, dateString(p.originalPurchaseDate)},
        {kQuantityKey, integer(p.quantity)},
        {kTypeKey, integer(static_cast<int64_t>(p.productType))},
        {kTrialKey, p.isTrialPeriod},
        {kIntroOfferKey, p.isInIntroOfferPeriod},
    };
    if (p.subscriptionExpirationDate) item[kExpiresDateKey] = dateString(*p.subscriptionExpirationDate);
    if (p.cancellationDate) item[kCancellationDateKey] = dateString(*p.cancellationDate);
    if (p.webOrderLineItemID) item[kWebOrderLineItemIDKey] = integer(*p.webOrderLineItemID);
    items.emplace_back(std::move(item));
  }
  os::Value root(os::Dictionary{{kFormatKey, kSKReceiptFormat},
                                {kVersionKey, integer(kSKReceiptVersion)},
                                {kBundleIDKey, bundleIdentifier},
                                {kInAppKey, os::Value(std::move(items))}});
  // Fails only for a string the file cannot hold (not UTF-8, or with NUL).
  return os::PropertyListSerialization::dataWithPropertyList(root, os::PropertyListSerialization::Format::XML);
}

os::Result<SKReceipt::Read> SKReceipt::decode(const os::Data& data) {
  auto plist = os::PropertyListSerialization::propertyListWithData(data);
  if (!plist) return os::fail(receiptError(SKReceiptErrorNotAPropertyList, "The receipt is not a property list."));
  const os::Value& root = *plist;
  const std::string* format = root[kFormatKey].string();
  const os::Number* version = root[kVersionKey].number();
  const os::Array* items = root[kInAppKey].array();
  if (!format || *format != kSKReceiptFormat || !version || version->int64Value() != kSKReceiptVersion || !items)
    return os::fail(receiptError(SKReceiptErrorUnknownFormat, "The receipt is of an unknown format or version."));
  Read read;
  // Lenient, as the purchases are what counts: an identifier the file cannot
  // hold reads as none.
  read.receipt.bundleIdentifier = root[kBundleIDKey].stringValue();
  if (!isWritable(read.receipt.bundleIdentifier)) read.receipt.bundleIdentifier.clear();
  for (const auto& item : *items) {
    if (auto purchase = readPurchase(item)) {
      read.receipt.purchases.push_back(std::move(*purchase));
    } else {
      ++read.droppedPurchases;
    }
  }
  return read;
}
