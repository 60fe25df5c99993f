#include "measurement/store/engine_services/event.h"

#include <cstdint>
#include <optional>
#include <vector>

#include "measurement/messages/field_access.h"
#include "measurement/store/data_type_labels.h"
#include "measurement/store/engine_services/data_type_validator.h"
#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/engine_services/event_editing.h"
#include "measurement/store/engine_services/event_names.h"
#include "measurement/store/engine_services/event_parameters.h"
#include "measurement/store/monitor.h"

namespace {

using namespace apm_event_fields;

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

std::shared_ptr<APMEvent> APMEvent::initWithOrigin(std::string_view origin, bool isPublic, std::string_view name,
                                                   double timestamp, double previousTimestamp,
                                                   APMEventParameters parameters) {
  APMParameterObjects objects;
  for (auto& [parameterName, value] : parameters) objects.emplace(parameterName, std::move(value));
  return create(origin, isPublic, name, timestamp, previousTimestamp, objects);
}

APMParameterObjects APMEvent::objectsFromDictionary(const os::Dictionary& parameters) {
  APMParameterObjects objects;
  for (const auto& [parameterName, value] : parameters) objects.emplace(parameterName, value);
  return objects;
}

std::shared_ptr<APMEvent> APMEvent::create(std::string_view origin, bool isPublic, std::string_view name,
                                           double timestamp, double previousTimestamp,
                                           const APMParameterObjects& parameters) {
  int64_t failureCode = kAPMFailureCodeValid;
  if (!APMDataTypeValidator::isValidForwardedEventOrigin(origin, &failureCode) &&
      (failureCode != kAPMFailureCodeForwardedOrigin ||
       !APMDataTypeValidator::isValidInternalEventOrigin(origin, nullptr))) {
    return nullptr;
  }
  if (isPublic && !APMDataTypeValidator::isValidPublicEventName(name, nullptr)) return nullptr;
  if (!APMDataTypeValidator::isValidInternalEventName(name, nullptr)) return nullptr;
  if (previousTimestamp > timestamp) {
    APMMeasurementServices::monitor()->logWithLevel(5, kAPMEventCodePreviousTimestampLater,
                                                    "Event created with previous timestamp after current timestamp");
  }
  APMEventParameters cleaned = APMCleanParameters(parameters, name, isPublic, false);
  cleaned.insert_or_assign(kAPMEventOriginParameter, *APMValue::initWithString(origin));
  auto event = std::shared_ptr<APMEvent>(
      new APMEvent(std::string(origin), std::string(name), timestamp, previousTimestamp, std::move(cleaned)));
  if (event->shouldValidateParams() && !APMCheckValueAndCurrency(event->parameters_)) {
    event->parameters_.erase(kAPMEventConversionParameter);
  }
  return event;
}

std::shared_ptr<APMEvent> APMEvent::eventFromEditEvent(const APMPEvent& editEvent) {
  const APMNameMap& names = APMEventNameMap();
  auto shortName = names.find(editEvent.name());
  const std::string name = shortName != names.end() ? shortName->second : editEvent.name();
  const os::Value* origin = editEvent.parameterForName(kAPMEventOriginParameter);
  const std::string originName = origin != nullptr && origin->isString() ? *origin->string() : "app";
  return initWithOrigin(originName, false, name, editEvent.timestamp(), 0, editEvent.parameters());
}

std::shared_ptr<APMEvent> APMEvent::copyWithPreviousTimestamp(double previousTimestamp) const {
  return initWithOrigin(origin_, false, name_, timestamp_, previousTimestamp, parameters_);
}

std::shared_ptr<APMEvent> APMEvent::copyWithParameters(APMEventParameters parameters) const {
  return initWithOrigin(origin_, false, name_, timestamp_, previousTimestamp_, std::move(parameters));
}

std::shared_ptr<APMEvent> APMEvent::copy() const { return copyWithParameters(parameters_); }

bool APMEvent::hasInt64One(const char* name) const {
  auto found = parameters_.find(name);
  return found != parameters_.end() && found->second.isInt64() && found->second.int64Value() == 1;
}

bool APMEvent::isConversion() const { return hasInt64One(kAPMEventConversionParameter); }

bool APMEvent::isRealtime() const {
  auto found = parameters_.find(kAPMEventRealtimeParameter);
  if (found == parameters_.end()) return false;
  if (!found->second.isInt64()) {
    APMMeasurementServices::monitor()->logWithLevel(2, kAPMEventCodeRealtimeNotInt64,
                                                    "Realtime parameter must be an int64. Event name", name_);
    return false;
  }
  return found->second.int64Value() == 1;
}

bool APMEvent::isDebug() const { return hasInt64One(kAPMEventDebugParameter); }

void APMEvent::setConversion(bool conversion) {
  if (conversion) {
    if (!APMCheckValueAndCurrency(parameters_)) return;
    parameters_.insert_or_assign(kAPMEventConversionParameter, APMValue::initWithInt64(1));
    auto error = parameters_.find(kAPMErrorCodeParameter);
    if (error != parameters_.end() && error->second.isInt64() &&
        error->second.int64Value() == kAPMErrorCodeConversionEventLimitReached) {
      parameters_.erase(error);
    }
    return;
  }
  if (parameters_.erase(kAPMEventConversionParameter) > 0) {
    APMSetErrorCode(parameters_, kAPMErrorCodeConversionEventLimitReached);
  }
}

void APMEvent::setRealtime(bool realtime) {
  if (realtime) {
    parameters_.insert_or_assign(kAPMEventRealtimeParameter, APMValue::initWithInt64(1));
  } else {
    parameters_.erase(kAPMEventRealtimeParameter);
  }
}

void APMEvent::setDebug(bool debug) {
  if (debug) {
    parameters_.insert_or_assign(kAPMEventDebugParameter, APMValue::initWithInt64(1));
  } else {
    parameters_.erase(kAPMEventDebugParameter);
  }
}

bool APMEvent::shouldValidateParams() const { return isConversion() || name_ == "ad_impression" || name_ == "_ai"; }

void APMEvent::applyParameters(const APMParameterObjects& parameters) {
  // The event's own values win: emplace keeps what is there.
  for (auto& [parameterName, value] : APMCleanParameters(parameters, {}, true, false)) {
    parameters_.emplace(parameterName, value);
  }
}

namespace {

// A screen class or name: a plain or APMValue string the screen check takes.
// nullopt when absent; false when present and refused.
std::optional<bool> screenStringAccepted(const APMParameterObjects& screen, const char* name, int64_t code,
                                         std::string_view message) {
  auto found = screen.find(name);
  if (found == screen.end()) return std::nullopt;
  std::optional<std::string> text;
  if (const APMValue* value = std::get_if<APMValue>(&found->second)) {
    text = value->stringValue();
  } else if (const std::string* plain = std::get<os::Value>(found->second).string()) {
    text = *plain;
  }
  if (!text) return false;
  if (APMDataTypeValidator::isValidScreenParameterValue(*text, nullptr)) return true;
  APMMeasurementServices::monitor()->logWithLevel(3, code, message, *text);
  return false;
}

std::optional<APMValue> screenValue(const APMParameterObject& object) {
  if (const APMValue* value = std::get_if<APMValue>(&object)) return APMValue::valueFromObject(*value);
  return APMValue::valueFromObject(std::get<os::Value>(object));
}

}  // namespace

bool APMEvent::addScreenParameters(const APMParameterObjects& screenParameters) {
  if (screenParameters.empty()) return false;
  for (const char* name : {kAPMScreenNameParameter, kAPMScreenClassParameter, kAPMScreenInstanceIDParameter}) {
    if (parameters_.contains(name)) return false;
  }
  auto instanceID = screenParameters.find(kAPMScreenInstanceIDParameter);
  if (instanceID == screenParameters.end()) return false;
  if (const APMValue* value = std::get_if<APMValue>(&instanceID->second)) {
    if (!value->isInt64()) return false;
  } else {
    const os::Number* number = std::get<os::Value>(instanceID->second).number();
    if (number == nullptr || !number->isInteger()) return false;
  }
  auto screenClass = screenStringAccepted(screenParameters, kAPMScreenClassParameter, kAPMEventCodeInvalidScreenClass,
                                          "Received invalid screen class");
  if (screenClass == false) return false;
  auto screenName = screenStringAccepted(screenParameters, kAPMScreenNameParameter, kAPMEventCodeInvalidScreenName,
                                         "Received invalid screen name");
  if (screenName == false) return false;

  auto id = screenValue(instanceID->second);
  if (!id) return false;
  parameters_.insert_or_assign(kAPMScreenInstanceIDParameter, *id);
  for (const char* name : {kAPMScreenClassParameter, kAPMScreenNameParameter}) {
    auto found = screenParameters.find(name);
    if (found == screenParameters.end()) continue;
    if (auto value = screenValue(found->second)) parameters_.insert_or_assign(name, *value);
  }
  return true;
}

namespace {

// A plain value for the edit form; nullopt for what it leaves out.
std::optional<os::Value> editValue(const os::Value& value, bool insideItem) {
  if (const os::Number* number = value.number()) {
    return number->isFloatingPoint() ? os::Value(os::Number::float64(number->doubleValue()))
                                     : os::Value(os::Number::int64(number->int64Value()));
  }
  if (value.isString()) return value;
  const os::Array* items = value.array();
  if (items == nullptr || insideItem) return std::nullopt;
  os::Array converted;
  for (const os::Value& item : *items) {
    const os::Dictionary* entries = item.dictionary();
    if (entries == nullptr) continue;
    os::Dictionary convertedItem;
    for (const auto& [name, entry] : *entries) {
      if (auto plain = editValue(entry, true)) convertedItem.emplace(name, std::move(*plain));
    }
    converted.emplace_back(std::move(convertedItem));
  }
  return os::Value(std::move(converted));
}

}  // namespace

APMPEvent APMEvent::editEvent() const {
  const APMNameMap& longNames = APMEventShortToLongNameMap();
  auto longName = longNames.find(name_);
  os::Dictionary parameters;
  for (const auto& [parameterName, value] : parameters_) {
    if (auto plain = editValue(value.value(), false)) parameters.emplace(parameterName, std::move(*plain));
  }
  return APMPEvent(longName != longNames.end() ? longName->second : name_, timestamp_, std::move(parameters));
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
  if (!origin) return nullptr;
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
