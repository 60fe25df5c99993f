#include "measurement/store/engine_services/event.h"

#include <cstdint>
#include <optional>
#include <vector>

#include "measurement/messages/field_access.h"
#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/monitor.h"

namespace {

// Field indices of Event and EventParam.
constexpr int32_t kEventParams = 0;
constexpr int32_t kEventName = 1;
constexpr int32_t kEventTimestampMillis = 2;
constexpr int32_t kEventPreviousTimestampMillis = 3;
constexpr int32_t kParamName = 0;
constexpr int32_t kParamStringValue = 1;
constexpr int32_t kParamIntValue = 2;
constexpr int32_t kParamDoubleValue = 4;
constexpr int32_t kParamParamValue = 5;

int64_t milliseconds(double seconds) { return static_cast<int64_t>(seconds * 1000.0); }

void logSkipped(int64_t level, int64_t code, std::string_view message, const std::string& eventName,
                const std::string& parameterName) {
  APMMeasurementServices::monitor()->logWithLevel(level, code, message, eventName, parameterName);
}

// The parameters of one array item, as EventParams; nullopt for an item that
// is not a dictionary.
std::optional<std::vector<std::shared_ptr<APMPBEventParam>>> itemParams(const os::Value& item,
                                                                        const std::string& eventName,
                                                                        const std::string& parameterName) {
  const os::Dictionary* entries = item.dictionary();
  if (entries == nullptr) {
    logSkipped(2, kAPMEventCodeInvalidParameterValue, "Invalid event param value. Event name, param name", eventName,
               parameterName);
    return std::nullopt;
  }
  std::vector<std::shared_ptr<APMPBEventParam>> params;
  for (const auto& [name, value] : *entries) {
    auto param = APMPBEventParam::initWithMessageInfo(nullptr);
    APMPBSetString(param.get(), kParamName, name);
    if (const os::Number* number = value.number()) {
      if (number->isFloatingPoint()) {
        APMPBSetDouble(param.get(), kParamDoubleValue, number->doubleValue());
      } else {
        APMPBSetInt64(param.get(), kParamIntValue, number->int64Value());
      }
    } else if (const std::string* text = value.string()) {
      APMPBSetString(param.get(), kParamStringValue, *text);
    } else if (value.isArray()) {
      logSkipped(2, kAPMEventCodeNestedParameters, "Nested params cannot have more than 1 level. Event name, param name",
                 eventName, name);
      continue;
    } else {
      logSkipped(2, kAPMEventCodeInvalidParameterValue, "Invalid event param value. Event name, param name", eventName,
                 name);
      continue;
    }
    params.push_back(std::move(param));
  }
  return params;
}

}  // namespace

APMEvent::APMEvent(std::string origin, std::string name, double timestamp, double previousTimestamp,
                   APMEventParameters parameters)
    : origin_(std::move(origin)),
      name_(std::move(name)),
      timestamp_(timestamp),
      previousTimestamp_(previousTimestamp),
      parameters_(std::move(parameters)) {}

std::shared_ptr<APMEvent> APMEvent::initWithOrigin(std::string_view origin, bool /*isPublic*/, std::string_view name,
                                                   double timestamp, double previousTimestamp,
                                                   APMEventParameters parameters) {
  parameters.insert_or_assign(kAPMEventOriginParameter, *APMValue::initWithString(origin));
  return std::shared_ptr<APMEvent>(
      new APMEvent(std::string(origin), std::string(name), timestamp, previousTimestamp, std::move(parameters)));
}

std::shared_ptr<APMEvent> APMEvent::initWithEventProto(const APMPBEvent& proto) {
  const std::string name = APMPBGetString(&proto, kEventName).value_or("");
  std::optional<std::string> origin;
  APMEventParameters parameters;
  for (const auto& param : APMPBGetArray<APMPBEventParam>(&proto, kEventParams).value_or(
           std::vector<std::shared_ptr<APMPBEventParam>>{})) {
    auto parameterName = APMPBGetString(param.get(), kParamName);
    if (!parameterName) {
      APMMeasurementServices::monitor()->logWithLevel(2, kAPMEventCodeParameterNameNil,
                                                      "Ignoring parameter. Parameter name is nil. Event name", name);
      continue;
    }
    const bool hasString = APMPBHasField(param.get(), kParamStringValue);
    if (*parameterName == kAPMEventOriginParameter) {
      if (!hasString) {
        APMMeasurementServices::monitor()->logWithLevel(
            2, kAPMEventCodeOriginNotAString,
            "Cannot create an event from event proto. Origin parameter is not a string. Event name", name);
        return nullptr;
      }
      origin = APMPBGetString(param.get(), kParamStringValue).value_or("");
    } else if (hasString) {
      parameters.insert_or_assign(*parameterName,
                                  *APMValue::initWithString(APMPBGetString(param.get(), kParamStringValue).value_or("")));
    } else if (APMPBHasField(param.get(), kParamIntValue)) {
      parameters.insert_or_assign(*parameterName, APMValue::initWithInt64(APMPBGetInt64(param.get(), kParamIntValue)));
    } else if (APMPBHasField(param.get(), kParamDoubleValue)) {
      parameters.insert_or_assign(*parameterName,
                                  APMValue::initWithDouble(APMPBGetDouble(param.get(), kParamDoubleValue)));
    } else {
      APMMeasurementServices::monitor()->logWithLevel(
          5, kAPMEventCodeUnknownParameterType,
          "Unknown event parameter type from converting an event proto into APMEvent instance. Event param name",
          *parameterName);
    }
  }
  if (name.empty() || !origin || origin->empty()) return nullptr;
  return initWithOrigin(*origin, false, name, APMPBGetInt64(&proto, kEventTimestampMillis) / 1000.0,
                        APMPBGetInt64(&proto, kEventPreviousTimestampMillis) / 1000.0, std::move(parameters));
}

std::shared_ptr<APMPBEvent> APMEvent::protoEvent() const {
  auto event = APMPBEvent::initWithMessageInfo(nullptr);
  APMPBSetString(event.get(), kEventName, name_);
  if (previousTimestamp_ > kAPMEventPreviousTimestampEpsilon) {
    APMPBSetInt64(event.get(), kEventPreviousTimestampMillis, milliseconds(previousTimestamp_));
  }
  APMPBSetInt64(event.get(), kEventTimestampMillis, milliseconds(timestamp_));
  std::vector<std::shared_ptr<APMPBEventParam>> params;
  for (const auto& [parameterName, value] : parameters_) {
    auto param = APMPBEventParam::initWithMessageInfo(nullptr);
    APMPBSetString(param.get(), kParamName, parameterName);
    if (value.isDouble()) {
      APMPBSetDouble(param.get(), kParamDoubleValue, value.doubleValue());
    } else if (value.isInt64()) {
      APMPBSetInt64(param.get(), kParamIntValue, value.int64Value());
    } else if (auto text = value.stringValue()) {
      APMPBSetString(param.get(), kParamStringValue, *text);
    } else if (auto items = value.arrayValue()) {
      std::vector<std::shared_ptr<APMPBEventParam>> elements;
      for (const os::Value& item : *items) {
        auto entries = itemParams(item, name_, parameterName);
        if (!entries) continue;
        auto element = APMPBEventParam::initWithMessageInfo(nullptr);
        APMPBSetArray(element.get(), kParamParamValue, *entries);
        elements.push_back(std::move(element));
      }
      APMPBSetArray(param.get(), kParamParamValue, elements);
    }
    params.push_back(std::move(param));
  }
  APMPBSetArray(event.get(), kEventParams, params);
  return event;
}
