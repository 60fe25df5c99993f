// The app's store receipt: the purchases the store has recorded for this
// installation, in a file the store writes into the app's bundle. The file
// is at os::Bundle::appStoreReceiptURL() of the main bundle:
// "<bundle>/StoreKit/receipt", or "<bundle>/StoreKit/sandboxReceipt" for a
// build that buys in the store's test environment. os::StoreSimulator writes
// it for tests and the program.
//
// File format (ours; the platform's signed container is not modelled). An
// XML property list holding one dictionary:
//   "format"     "drosil.receipt" (string)
//   "version"    1 (integer)
//   "bundle_id"  the app's bundle identifier (string)
//   "in_app"     array of purchases in the store's order, each a dictionary:
//     "product_id", "transaction_id", "original_transaction_id"   strings, required
//     "purchase_date", "original_purchase_date"                   dates, required
//     "expires_date", "cancellation_date"                          dates, optional
//     "web_order_line_item_id"                                     integer, optional (subscriptions)
//     "quantity"                                                   integer, default 1
//     "type"                                                       integer, SKReceiptProductType, default 1
//     "is_trial_period", "is_in_intro_offer_period"                Booleans, default false
// Dates are strings of UTC time in whole seconds, "2024-05-01T12:00:00Z"
// (ICU pattern "yyyy-MM-dd'T'HH:mm:ssZZZZZ", locale "en_US_POSIX").
//
// Reading: a file that is not such a dictionary (another format or version,
// no "in_app" array) is refused with an error; a purchase that lacks a
// required field or has a field of the wrong type (or a string with NUL, which
// the file cannot hold) is dropped and counted, the others are read.
// Whatever is read can be written again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "os/foundation/data.h"
#include "os/foundation/date.h"
#include "os/foundation/error.h"

inline constexpr const char* kSKReceiptFormat = "drosil.receipt";
inline constexpr int64_t kSKReceiptVersion = 1;
// Errors of reading a receipt file.
inline constexpr const char* kSKReceiptErrorDomain = "os.storekit.Receipt";
enum SKReceiptErrorCode : int64_t {
  SKReceiptErrorNotAPropertyList = 1,
  SKReceiptErrorUnknownFormat = 2,
};

enum class SKReceiptProductType : int64_t {
  NonConsumable = 0,
  Consumable = 1,
  NonRenewingSubscription = 2,
  AutoRenewableSubscription = 3,
};

struct SKReceiptPurchase {
  std::string productIdentifier{};
  std::string transactionIdentifier{};
  std::string originalTransactionIdentifier{};
  os::Date purchaseDate{};
  os::Date originalPurchaseDate{};
  std::optional<os::Date> subscriptionExpirationDate{};
  std::optional<os::Date> cancellationDate{};
  std::optional<int64_t> webOrderLineItemID{};
  int64_t quantity = 1;
  SKReceiptProductType productType = SKReceiptProductType::Consumable;
  bool isTrialPeriod = false;
  bool isInIntroOfferPeriod = false;
  friend bool operator==(const SKReceiptPurchase&, const SKReceiptPurchase&) = default;
};

struct SKReceipt {
  std::string bundleIdentifier{};
  std::vector<SKReceiptPurchase> purchases{};

  // The file's bytes. Dates lose what is below a second. Fails (the property
  // list's write error, NSCocoaErrorDomain 3851) for a string that is not
  // UTF-8 or holds NUL.
  os::Result<os::Data> encoded() const;

  struct Read;
  static os::Result<Read> decode(const os::Data& data);

  // The receipt's text of a date (whole seconds, UTC), and back; nullopt for
  // text of another shape.
  static std::string dateString(os::Date date);
  static std::optional<os::Date> dateFromString(const std::string& text);
};

struct SKReceipt::Read {
  SKReceipt receipt{};
  // Purchases left out because they were damaged.
  size_t droppedPurchases = 0;
};
