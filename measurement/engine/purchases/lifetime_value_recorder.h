// APMLifetimeValueRecorder: the running total of money spent per currency,
// kept as the automatic user property "_ltv_" + the upper-case currency code
// (origin "auto", an int64 in micros). "_iap" events add their "value" as it
// is (already micros); "purchase" and "ecommerce_purchase" add theirs in
// currency units, "refund" subtracts it. At most maxTrackedCurrencies
// totals are kept; a new currency beyond them removes the one set least
// recently.
//
// A total never passes the int64 range: an amount or a sum outside it is
// refused (22002) and the total stays as it was.
//
// Runs inside the event pipeline's store transaction on the worker queue; a
// NO answer makes the pipeline roll the transaction back and drop the event.
#pragma once

#include <cstdint>

class APMDatabase;
class APMEvent;

inline constexpr const char* kAPMLifetimeValuePropertyPrefix = "_ltv_";
inline constexpr const char* kAPMLifetimeValueOrigin = "auto";
inline constexpr const char* kAPMPurchaseEventName = "purchase";
inline constexpr const char* kAPMEcommercePurchaseEventName = "ecommerce_purchase";
inline constexpr const char* kAPMRefundEventName = "refund";
inline constexpr const char* kAPMInAppPurchaseEventName = "_iap";
inline constexpr const char* kAPMLifetimeValueCurrencyParameter = "currency";
inline constexpr const char* kAPMLifetimeValueValueParameter = "value";

// Monitor codes (level in the comment).
inline constexpr int64_t kAPMLifetimeValueCodeInvalidCurrency = 22000;  // 1
inline constexpr int64_t kAPMLifetimeValueCodeInvalidValue = 22001;     // 1
inline constexpr int64_t kAPMLifetimeValueCodeOutOfBounds = 22002;      // 1
inline constexpr int64_t kAPMLifetimeValueCodeQueryFailed = 22003;      // 1
inline constexpr int64_t kAPMLifetimeValueCodeDeleteFailed = 22004;     // 1
inline constexpr int64_t kAPMLifetimeValueCodeUpsertFailed = 22005;     // 1
inline constexpr int64_t kAPMLifetimeValueCodeUpdated = 22006;          // 7

class APMLifetimeValueRecorder {
 public:
  // YES for an event that is not a purchase, one whose currency (not a
  // 3-character string) or value (not a number) is ignored (22000, 22001),
  // and a stored total; NO for an amount or total out of the int64 range
  // (22002) or a store step that failed (22003 to 22005).
  static bool recordLifetimeValueToDatabase(APMDatabase& database, const APMEvent& event);
  // "_iap", or an e-commerce purchase event.
  static bool isPurchaseEvent(const APMEvent& event);
  // "ecommerce_purchase", "purchase" or "refund".
  static bool isEcommercePurchaseEvent(const APMEvent& event);
};
