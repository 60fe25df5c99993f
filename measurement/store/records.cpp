#include "measurement/store/records.h"

#include <algorithm>

#include "measurement/messages/field_access.h"
#include "measurement/store/engine_services/data_type_validator.h"
#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/monitor.h"

namespace {

// Field indices of UserAttribute and SequenceFilterResultTimestamp.
constexpr int32_t kAttributeSetTimestampMillis = 0;
constexpr int32_t kAttributeName = 1;
constexpr int32_t kAttributeStringValue = 2;
constexpr int32_t kAttributeIntValue = 3;
constexpr int32_t kAttributeDoubleValue = 5;
constexpr int32_t kSequenceFilterID = 0;
constexpr int32_t kSequenceEvalTimestamps = 1;

}  // namespace

const APMNameMap& APMUserPropertyShortNames() {
  static const APMNameMap names = {
      {"vivuzuvu_last_notification", "_ln"},
      {"first_open_after_install", "_fi"},
      {"first_open_time", "_fot"},
      {"dv_session_id", "_sid"},
      {"dv_session_number", "_sno"},
      {"last_advertising_id_reset", "_lair"},
      {"last_deep_link_referrer", "_ldl"},
      {"lifetime_user_engagement", "_lte"},
      {"session_user_engagement", "_se"},
      {"user_id", "_id"},
  };
  return names;
}

// ---- APMUserAttribute ----

std::shared_ptr<APMUserAttribute> APMUserAttribute::initWithOrigin(std::string_view origin, std::string_view name,
                                                                   const APMValue& value, double lastSetTimestamp) {
  if (!APMDataTypeValidator::isValidInternalUserAttributeName(name, nullptr) ||
      !APMDataTypeValidator::isValidInternalUserAttributeValue(value, name, nullptr)) {
    return nullptr;
  }
  return std::shared_ptr<APMUserAttribute>(
      new APMUserAttribute(std::string(origin), std::string(name), value, lastSetTimestamp));
}

bool APMUserAttribute::isPublic() const { return !name_.empty() && name_[0] != '_'; }

std::shared_ptr<APMPBUserAttribute> APMUserAttribute::protoUserAttribute() const {
  auto attribute = APMPBUserAttribute::initWithMessageInfo(nullptr);
  APMPBSetString(attribute.get(), kAttributeName, name_);
  if (value_.isDouble()) {
    APMPBSetDouble(attribute.get(), kAttributeDoubleValue, value_.doubleValue());
  } else if (value_.isInt64()) {
    APMPBSetInt64(attribute.get(), kAttributeIntValue, value_.int64Value());
  } else if (auto text = value_.stringValue()) {
    APMPBSetString(attribute.get(), kAttributeStringValue, *text);
  }
  APMPBSetInt64(attribute.get(), kAttributeSetTimestampMillis, static_cast<int64_t>(lastSetTimestamp_ * 1000.0));
  return attribute;
}

// ---- APMRawEventData ----

std::shared_ptr<APMRawEventData> APMRawEventData::initWithRawEvent(std::shared_ptr<APMEvent> rawEvent, int64_t rowID,
                                                                   int64_t metadataFingerprint) {
  if (!rawEvent) {
    APMMeasurementServices::monitor()->logWithLevel(4, kAPMRawEventDataCodeInvalidEvent,
                                                    "Failed to create raw event data. Received invalid raw event.");
    return nullptr;
  }
  if (rowID < 0) {
    APMMeasurementServices::monitor()->logWithLevel(
        4, kAPMRawEventDataCodeInvalidRowID, "Failed to create raw event data. Received invalid row ID. Row ID", rowID);
    return nullptr;
  }
  return std::shared_ptr<APMRawEventData>(new APMRawEventData(std::move(rawEvent), rowID, metadataFingerprint));
}

// ---- APMSequenceTimestampsCache ----

std::shared_ptr<APMSequenceTimestampsCache> APMSequenceTimestampsCache::initWithAudienceID(
    std::optional<int32_t> audienceID) {
  if (!audienceID) return nullptr;
  return std::shared_ptr<APMSequenceTimestampsCache>(new APMSequenceTimestampsCache(*audienceID));
}

std::optional<std::vector<double>> APMSequenceTimestampsCache::sequenceTimestampsForFilterID(
    std::optional<int32_t> filterID) const {
  if (!filterID) return std::nullopt;
  auto found = allSequenceTimestampsByFilterID_.find(*filterID);
  if (found == allSequenceTimestampsByFilterID_.end()) return std::nullopt;
  return found->second;
}

void APMSequenceTimestampsCache::addEventFilterTimestamp(double timestamp, std::optional<int32_t> filterID) {
  if (!filterID) return;
  std::vector<double>& timestamps = allSequenceTimestampsByFilterID_[*filterID];
  if (!timestamps.empty() && timestamps.back() > timestamp) {
    APMMeasurementServices::monitor()->logWithLevel(5, kAPMSequenceCodeEventTimestampOutOfOrder,
                                                    "Adding a sequence timestamp less than the last added timestamp");
  }
  if (timestamps.empty() || static_cast<int64_t>(timestamps.back()) != static_cast<int64_t>(timestamp)) {
    timestamps.push_back(timestamp);
  }
}

void APMSequenceTimestampsCache::setUserPropertyTimestamp(double timestamp, std::optional<int32_t> filterID) {
  if (!filterID) return;
  std::vector<double>& timestamps = allSequenceTimestampsByFilterID_[*filterID];
  if (!timestamps.empty() && timestamps.back() > timestamp) {
    APMMeasurementServices::monitor()->logWithLevel(5, kAPMSequenceCodePropertyTimestampOutOfOrder,
                                                    "Setting a sequence timestamp less than the last set timestamp");
  }
  timestamps.assign(1, timestamp);
}

std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>>
APMSequenceTimestampsCache::sequenceFilterResultTimestamps() const {
  std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>> results;
  for (const auto& [filterID, timestamps] : allSequenceTimestampsByFilterID_) {
    auto result = APMPBSequenceFilterResultTimestamp::initWithMessageInfo(nullptr);
    APMPBSetInt32(result.get(), kSequenceFilterID, filterID);
    if (!timestamps.empty()) {
      std::vector<double> sorted = timestamps;
      std::sort(sorted.begin(), sorted.end());
      os::Array values;
      for (double t : sorted) values.emplace_back(os::Number::float64(t));
      APMPBSetArray(result.get(), kSequenceEvalTimestamps, values);
    }
    results.push_back(std::move(result));
  }
  return results;
}
