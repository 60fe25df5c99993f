#include "measurement/engine/purchases/lifetime_value_recorder.h"

#include <cmath>
#include <optional>
#include <string>

#include "measurement/store/database.h"
#include "measurement/store/engine_services/debug_description.h"
#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/engine_services/event.h"
#include "measurement/store/engine_services/shorthands.h"
#include "measurement/store/monitor.h"
#include "measurement/store/records.h"
#include "os/foundation/clock.h"
#include "os/foundation/text.h"

namespace {

using apm_shorthands::monitor;

constexpr int kCurrencyCodeLength = 3;
constexpr double kMicrosPerUnit = 1'000'000;
// 2^63: the first double past the int64 range; -2^63 is its least value.
constexpr double kInt64Limit = 9223372036854775808.0;

const APMValue* parameter(const APMEvent& event, std::string_view name) {
  auto it = event.parameters().find(name);
  return it == event.parameters().end() ? nullptr : &it->second;
}

APMLogContext contextOf(const APMValue* value) {
  if (!value) return APMLogContext();
  return APMLogContext(value->value());
}

// The double as an int64 (truncated), none outside the range.
std::optional<int64_t> checkedInt64(double value) {
  if (!std::isfinite(value) || value >= kInt64Limit || value < -kInt64Limit) return std::nullopt;
  return static_cast<int64_t>(value);
}

// The event's amount in micros; none when out of the int64 range.
std::optional<int64_t> amountInMicros(const APMEvent& event, const APMValue& value) {
  if (event.name() == kAPMInAppPurchaseEventName) {
    if (value.isInt64()) return value.int64Value();
    return checkedInt64(value.doubleValue());
  }
  const double units = value.isInt64() ? double(value.int64Value()) : value.doubleValue();
  auto micros = checkedInt64(std::round(units * kMicrosPerUnit));
  if (!micros) return std::nullopt;
  if (event.name() == kAPMRefundEventName) {
    if (*micros == INT64_MIN) return std::nullopt;  // its negation is out of range
    return -*micros;
  }
  return micros;
}

}  // namespace

bool APMLifetimeValueRecorder::isEcommercePurchaseEvent(const APMEvent& event) {
  return event.name() == kAPMEcommercePurchaseEventName || event.name() == kAPMPurchaseEventName ||
         event.name() == kAPMRefundEventName;
}

bool APMLifetimeValueRecorder::isPurchaseEvent(const APMEvent& event) {
  return event.name() == kAPMInAppPurchaseEventName || isEcommercePurchaseEvent(event);
}

bool APMLifetimeValueRecorder::recordLifetimeValueToDatabase(APMDatabase& database, const APMEvent& event) {
  if (!isPurchaseEvent(event)) return true;

  const APMValue* currency = parameter(event, kAPMLifetimeValueCurrencyParameter);
  if (!currency || !currency->isString() || os::utf16Length(*currency->stringValue()) != kCurrencyCodeLength) {
    monitor()->logWithLevel(1, kAPMLifetimeValueCodeInvalidCurrency,
                            "Cannot record transaction with invalid currency code", contextOf(currency));
    return true;
  }
  const APMValue* value = parameter(event, kAPMLifetimeValueValueParameter);
  if (!value || !(value->isDouble() || value->isInt64())) {
    monitor()->logWithLevel(1, kAPMLifetimeValueCodeInvalidValue,
                            "Cannot record transaction with invalid transaction value", contextOf(value));
    return true;
  }
  const auto amount = amountInMicros(event, *value);
  if (!amount) {
    monitor()->logWithLevel(1, kAPMLifetimeValueCodeOutOfBounds,
                            "Cannot record transaction with value that is out of bounds", contextOf(value));
    return false;
  }

  const std::string name = kAPMLifetimeValuePropertyPrefix + os::uppercaseString(*currency->stringValue());
  os::Error error;
  const auto properties = database.allLifetimeValueUserAttributes(&error);
  if (!properties) {
    monitor()->logWithLevel(1, kAPMLifetimeValueCodeQueryFailed,
                            "Failed to query all Lifetime Value User properties. Error", error);
    return false;
  }

  std::shared_ptr<APMUserAttribute> existing;
  for (const auto& property : *properties) {
    if (property && property->name() == name) existing = property;
  }
  int64_t total = *amount;
  if (existing) {
    if (__builtin_add_overflow(existing->value().int64Value(), *amount, &total)) {
      monitor()->logWithLevel(1, kAPMLifetimeValueCodeOutOfBounds,
                              "Cannot record transaction with value that is out of bounds", contextOf(value));
      return false;
    }
  }
  const double now = os::Clock::current().wallTime();
  auto attribute =
      APMUserAttribute::initWithOrigin(kAPMLifetimeValueOrigin, name, APMValue::initWithInt64(total), now);
  if (!attribute) {
    // A 3-character code that makes no property name ("US$") is no currency.
    monitor()->logWithLevel(1, kAPMLifetimeValueCodeInvalidCurrency,
                            "Cannot record transaction with invalid currency code", contextOf(currency));
    return true;
  }

  const int32_t maxTrackedCurrencies = APMMeasurementServices::remoteConfig()->maxTrackedCurrencies();
  if (!existing && !properties->empty() && int64_t(properties->size()) >= maxTrackedCurrencies) {
    // Only the least recent goes, however long the list.
    const auto& leastRecent = properties->back();
    if (!database.deleteUserAttributeWithName(leastRecent->name(), &error)) {
      monitor()->logWithLevel(1, kAPMLifetimeValueCodeDeleteFailed, "Unable to delete Lifetime Value User property. Name, error",
                              APMUserPropertyNameDebugDescription(leastRecent->name()), error);
      return false;
    }
  }
  if (!database.updateUserAttribute(attribute, &error)) {
    monitor()->logWithLevel(1, kAPMLifetimeValueCodeUpsertFailed,
                            "Unable to upsert Lifetime Value User Attribute in database. Name, error",
                            APMUserPropertyNameDebugDescription(name), error);
    return false;
  }
  monitor()->logWithLevel(7, kAPMLifetimeValueCodeUpdated, "Lifetime value has been updated in database",
                          APMUserPropertyNameDebugDescription(name) + " = " + std::to_string(total));
  return true;
}
