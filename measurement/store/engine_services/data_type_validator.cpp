#include "measurement/store/engine_services/data_type_validator.h"

#include <algorithm>
#include <string>

#include "measurement/store/data_type_labels.h"
#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/engine_services/event_names.h"
#include "measurement/store/foundation_extensions.h"
#include "measurement/store/monitor.h"
#include "measurement/store/records.h"
#include "os/foundation/encoding.h"
#include "os/foundation/format.h"
#include "os/foundation/text.h"

namespace {

bool isValueType(uint64_t type) { return type == kAPMDataTypeEventParameterValue || type == kAPMDataTypeUserPropertyValue; }

void setFailure(int64_t* failureCode, int64_t code) {
  if (failureCode != nullptr) *failureCode = code;
}

const os::CharacterSet& letters() {
  static const os::CharacterSet set =
      os::CharacterSet::letterCharacterSet().subtracting(os::CharacterSet::nonBaseCharacterSet());
  return set;
}

const os::CharacterSet& nameCharacters() {
  static const os::CharacterSet set =
      letters().unioning(os::CharacterSet::decimalDigitCharacterSet()).addingCharactersInString("_");
  return set;
}

bool hasOnlyLetters(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    char32_t c;
    const size_t n = os::nextUTF8(text, i, c);
    if (n == 0 || !letters().characterIsMember(c)) return false;
    i += n;
  }
  return true;
}

bool hasOnlyNameCharacters(std::string_view name) {
  for (size_t i = 0; i < name.size();) {
    char32_t c;
    const size_t n = os::nextUTF8(name, i, c);
    if (n == 0 || !nameCharacters().characterIsMember(c)) return false;
    i += n;
  }
  return true;
}

// Text that is not UTF-8 is no string the platform could hold: it is refused
// as not being one, where the store would keep it and upload it as "".
bool isUTF8String(const APMObject& object, uint64_t type, int64_t* failureCode) {
  const os::Value* value = object.value();
  const std::string* text = value != nullptr ? value->string() : nullptr;
  if (text == nullptr || os::isValidUTF8(*text)) return true;
  setFailure(failureCode, kAPMFailureCodeWrongClass);
  APMMeasurementServices::monitor()->logWithLevel(isValueType(type) ? 3 : 0, kAPMValidatorCodeInvalidString,
                                                  APMDataTypeDisplayName(type, " must be of type NSString"),
                                                  object.description());
  return false;
}

}  // namespace

bool APMDataTypeValidator::isValidString(const APMObject& object, int minLength, int maxLength, uint64_t type,
                                         int64_t* failureCode) {
  setFailure(failureCode, kAPMFailureCodeValid);
  auto monitor = APMMeasurementServices::monitor();
  const int64_t level = isValueType(type) ? 3 : 0;
  if (object.isNil()) {
    setFailure(failureCode, kAPMFailureCodeMissing);
    monitor->logWithLevel(level, kAPMValidatorCodeMissing, APMDataTypeDisplayName(type, " is required and can't be nil"));
    return false;
  }
  const os::Value* value = object.value();
  const std::string* text = value != nullptr ? value->string() : nullptr;
  if (text == nullptr) {
    setFailure(failureCode, kAPMFailureCodeWrongClass);
    monitor->logWithLevel(level, kAPMValidatorCodeInvalidString,
                          APMDataTypeDisplayName(type, " must be of type NSString"), object.description());
    return false;
  }
  if (text->empty() && minLength >= 1) {
    setFailure(failureCode, kAPMFailureCodeMissing);
    if (!isValueType(type)) {
      monitor->logWithLevel(level, kAPMValidatorCodeMissing,
                            APMDataTypeDisplayName(type, " is required and can't be empty"));
    }
    return false;
  }
  const size_t length = apm_UTF32Length(*text);
  if (length > static_cast<size_t>(maxLength)) {
    setFailure(failureCode, kAPMFailureCodeTooLong);
    monitor->logWithLevel(
        level, kAPMValidatorCodeInvalidString,
        os::format(APMDataTypeDisplayName(type, " is too long. The maximum supported length is %d"), maxLength), *text);
    return false;
  }
  if (length < static_cast<size_t>(std::max(minLength, 0))) {
    setFailure(failureCode, kAPMFailureCodeTooShort);
    monitor->logWithLevel(
        level, kAPMValidatorCodeInvalidString,
        os::format(APMDataTypeDisplayName(type, " is too short. The minimum supported length is %d"), minLength), *text);
    return false;
  }
  return true;
}

bool APMDataTypeValidator::isValidInternalName(const APMObject& name, int maxLength, uint64_t type,
                                               int64_t* failureCode) {
  if (!isValidString(name, 1, maxLength, type, failureCode)) return false;
  const std::string& text = *name.value()->string();
  if (hasOnlyNameCharacters(text)) return true;
  setFailure(failureCode, kAPMFailureCodeInvalidCharacters);
  APMMeasurementServices::monitor()->logWithLevel(
      0, kAPMValidatorCodeInvalidCharacters,
      APMDataTypeDisplayName(type, " must contain only letters, numbers, or underscores"), text);
  return false;
}

bool APMDataTypeValidator::isValidValue(const APMObject& value, int minLength, int maxLength, uint64_t type,
                                        int64_t* failureCode) {
  if (!APMIsValidAPMValue(value, type, failureCode)) return false;
  if (auto text = value.apmValue()->stringValue()) {
    os::Value string(std::move(*text));
    return isUTF8String(string, type, failureCode) && isValidString(string, minLength, maxLength, type, failureCode);
  }
  return true;
}

bool APMDataTypeValidator::isValidPublicUserAttributeName(const APMObject& name, int64_t* failureCode) {
  if (!isValidPublicName(name, kAPMUserAttributeNameMaxLength, kAPMDataTypeUserPropertyName, failureCode)) {
    return false;
  }
  const std::string& text = *name.value()->string();
  auto monitor = APMMeasurementServices::monitor();
  if (APMUserPropertyShortNames().contains(text)) {
    setFailure(failureCode, kAPMFailureCodeReserved);
    monitor->logWithLevel(0, kAPMValidatorCodeReservedUserPropertyName,
                          "User property name is reserved. Ignoring user property", text);
    return false;
  }
  if (hasReservedPrefixes(text)) {
    setFailure(failureCode, kAPMFailureCodeReserved);
    monitor->logWithLevel(0, kAPMValidatorCodeReservedUserPropertyNamePrefix,
                          "User property name uses reserved prefix. Ignoring user property", text);
    return false;
  }
  return true;
}

bool APMDataTypeValidator::isValidPublicUserAttributeValue(const APMObject& value, int64_t* failureCode) {
  return isValidValue(value, 1, kAPMUserAttributeValueMaxLength, kAPMDataTypeUserPropertyValue, failureCode);
}

bool APMDataTypeValidator::isValidInternalUserAttributeName(const APMObject& name, int64_t* failureCode) {
  return isValidInternalName(name, kAPMUserAttributeNameMaxLength, kAPMDataTypeUserPropertyName, failureCode);
}

bool APMDataTypeValidator::isValidInternalUserAttributeValue(const APMObject& value, std::string_view name,
                                                             int64_t* failureCode) {
  int maxLength = kAPMUserAttributeValueMaxLength;
  if (name == "_id" || name == "_dvbraid") {
    maxLength = kAPMUserIDValueMaxLength;
  } else if (name == "_psmvalue") {
    maxLength = kAPMPSMValueMaxLength;
  }
  return isValidValue(value, 1, maxLength, kAPMDataTypeUserPropertyValue, failureCode);
}

bool APMDataTypeValidator::hasReservedPrefixes(std::string_view name) {
  for (std::string_view prefix : {"vivuzuvu_", "devuvo_", "dv_"}) {
    if (name.starts_with(prefix)) return true;
  }
  return false;
}

bool APMDataTypeValidator::isValidConditionalUserPropertyOrigin(const APMObject& origin, int64_t* failureCode) {
  return isValidInternalName(origin, kAPMConditionalUserPropertyOriginMaxLength,
                             kAPMDataTypeConditionalUserPropertyOrigin, failureCode);
}

bool APMDataTypeValidator::isValidConditionalUserPropertyName(const APMObject& name, int64_t* failureCode) {
  return isValidInternalName(name, kAPMConditionalUserPropertyNameMaxLength, kAPMDataTypeConditionalUserPropertyName,
                             failureCode);
}

bool APMDataTypeValidator::isValidConditionalUserPropertyValue(const APMObject& value, int64_t* failureCode) {
  return isValidValue(value, 1, kAPMConditionalUserPropertyValueMaxLength, kAPMDataTypeConditionalUserPropertyValue,
                      failureCode);
}

bool APMDataTypeValidator::isValidPublicName(const APMObject& name, int maxLength, uint64_t type,
                                             int64_t* failureCode) {
  if (!isValidInternalName(name, maxLength, type, failureCode)) return false;
  const std::string& text = *name.value()->string();
  char32_t first = 0;
  if (os::nextUTF8(text, 0, first) != 0 && letters().characterIsMember(first)) return true;
  setFailure(failureCode, kAPMFailureCodeInvalidCharacters);
  APMMeasurementServices::monitor()->logWithLevel(0, kAPMValidatorCodeFirstCharacter,
                                                  APMDataTypeDisplayName(type, " must start with a letter"), text);
  return false;
}

int32_t APMDataTypeValidator::maxPublicEventParameterValueLength() {
  return APMMeasurementServices::remoteConfig()->maxPublicEventParameterValueLength();
}

int32_t APMDataTypeValidator::maxInternalEventParameterValueLength() {
  return std::max(maxPublicEventParameterValueLength(), kAPMMinInternalEventParameterValueLength);
}

bool APMDataTypeValidator::isValidPublicEventName(const APMObject& name, int64_t* failureCode) {
  if (!isValidPublicName(name, kAPMEventNameMaxLength, kAPMDataTypeEventName, failureCode)) return false;
  const std::string& text = *name.value()->string();
  if (text == "screen_view") return true;
  auto monitor = APMMeasurementServices::monitor();
  if (APMEventNameMap().contains(text) && !APMAdImpressionEventNameMap().contains(text)) {
    setFailure(failureCode, kAPMFailureCodeReserved);
    monitor->logWithLevel(0, kAPMValidatorCodeReservedEventName, "Event name is reserved. Ignoring event", text);
    return false;
  }
  if (hasReservedPrefixes(text)) {
    setFailure(failureCode, kAPMFailureCodeReserved);
    monitor->logWithLevel(0, kAPMValidatorCodeReservedEventNamePrefix,
                          "Event name uses reserved prefix. Ignoring event", text);
    return false;
  }
  return true;
}

bool APMDataTypeValidator::isValidInternalEventName(const APMObject& name, int64_t* failureCode) {
  return isValidInternalName(name, kAPMEventNameMaxLength, kAPMDataTypeEventName, failureCode);
}

bool APMDataTypeValidator::isValidInternalEventOrigin(const APMObject& origin, int64_t* failureCode) {
  return isValidInternalName(origin, kAPMEventOriginMaxLength, kAPMDataTypeEventOrigin, failureCode);
}

bool APMDataTypeValidator::isValidForwardedEventOrigin(const APMObject& origin, int64_t* failureCode) {
  setFailure(failureCode, kAPMFailureCodeValid);
  const os::Value* value = origin.value();
  const std::string* text = value != nullptr ? value->string() : nullptr;
  if (origin.isNil() || (text != nullptr && text->empty())) {
    setFailure(failureCode, kAPMFailureCodeMissing);
    return false;
  }
  if (text == nullptr) {
    setFailure(failureCode, kAPMFailureCodeWrongClass);
    return false;
  }
  const std::string_view suffix = kAPMForwardedOriginSuffix;
  if (!text->ends_with(suffix)) {
    setFailure(failureCode, kAPMFailureCodeForwardedOrigin);
    return false;
  }
  return isValidInternalEventOrigin(std::string_view(*text).substr(0, text->size() - suffix.size()), failureCode);
}

bool APMDataTypeValidator::isValidPublicEventParameterName(const APMObject& name, int64_t* failureCode) {
  if (!isValidPublicName(name, kAPMEventParameterNameMaxLength, kAPMDataTypeEventParameterName, failureCode)) {
    return false;
  }
  const std::string& text = *name.value()->string();
  if (!hasReservedPrefixes(text)) return true;
  setFailure(failureCode, kAPMFailureCodeReserved);
  APMMeasurementServices::monitor()->logWithLevel(
      0, kAPMValidatorCodeReservedParameterNamePrefix,
      APMDataTypeDisplayName(kAPMDataTypeEventParameterName, " uses reserved prefix. Ignoring parameter"), text);
  return false;
}

bool APMDataTypeValidator::isValidInternalEventParameterName(const APMObject& name, int64_t* failureCode) {
  return isValidInternalName(name, kAPMEventParameterNameMaxLength, kAPMDataTypeEventParameterName, failureCode);
}

bool APMDataTypeValidator::isValidPublicEventParameterValue(const APMObject& value, int64_t* failureCode) {
  return isValidValue(value, 0, maxPublicEventParameterValueLength(), kAPMDataTypeEventParameterValue, failureCode);
}

bool APMDataTypeValidator::isValidInternalEventParameterValue(const APMObject& value, int64_t* failureCode) {
  return isValidValue(value, 0, maxInternalEventParameterValueLength(), kAPMDataTypeEventParameterValue,
                      failureCode);
}

bool APMDataTypeValidator::isValidScreenParameterValue(const APMObject& value, int64_t* failureCode) {
  return isUTF8String(value, kAPMDataTypeScreenParameterValue, failureCode) &&
         isValidString(value, 1, maxPublicEventParameterValueLength(), kAPMDataTypeScreenParameterValue,
                       failureCode);
}

bool APMDataTypeValidator::isValidNumericValue(const APMObject& value, int64_t* failureCode) {
  setFailure(failureCode, kAPMFailureCodeValid);
  if (!APMIsValidAPMValue(value, kAPMDataTypeEventParameterValue, failureCode)) return false;
  const APMValue& number = *value.apmValue();
  if (number.isInt64() || number.isDouble()) return true;
  setFailure(failureCode, kAPMFailureCodeNotNumeric);
  APMMeasurementServices::monitor()->logWithLevel(
      3, kAPMValidatorCodeNotNumeric,
      APMDataTypeDisplayName(kAPMDataTypeEventParameterValue, " must be specified with a numeric type. value"),
      number.stringValue().value_or(number.description()));
  return false;
}

bool APMDataTypeValidator::isValidCurrencyCode(const APMObject& value, int64_t* failureCode) {
  setFailure(failureCode, kAPMFailureCodeValid);
  if (!APMIsValidAPMValue(value, kAPMDataTypeEventParameterValue, failureCode)) return false;
  const auto code = value.apmValue()->stringValue();
  constexpr int kLength = 3;
  if (code && os::utf16Length(*code) == kLength && hasOnlyLetters(*code)) return true;
  setFailure(failureCode, kAPMFailureCodeNotCurrency);
  APMMeasurementServices::monitor()->logWithLevel(
      3, kAPMValidatorCodeNotCurrency,
      os::format(APMDataTypeDisplayName(kAPMDataTypeEventParameterValue,
                                        " must contain a %d-letter ISO_4217 currency code. value"),
                 kLength),
      value.apmValue()->description());
  return false;
}

bool APMDataTypeValidator::isValidArrayParamForEvent(std::string_view eventName, std::string_view paramName,
                                                     int64_t arrayCount, bool isNestedArrayParam,
                                                     int64_t* failureCode) {
  setFailure(failureCode, kAPMFailureCodeValid);
  auto monitor = APMMeasurementServices::monitor();
  if (isNestedArrayParam) {
    setFailure(failureCode, kAPMFailureCodeNestedArray);
    monitor->logWithLevel(0, kAPMValidatorCodeInvalidArrayParameter, "Nested array parameters are not allowed. Name",
                          paramName);
    return false;
  }
  if (!APMIsEcommerceEventName(eventName)) {
    setFailure(failureCode, kAPMFailureCodeArrayNotEcommerce);
    monitor->logWithLevel(0, kAPMValidatorCodeInvalidArrayParameter,
                          "Only ecommerce events are allowed to contain array parameters. Invalid ecommerce name",
                          eventName);
    return false;
  }
  if (paramName != kAPMArrayParameterName) {
    setFailure(failureCode, kAPMFailureCodeArrayNotItems);
    monitor->logWithLevel(
        0, kAPMValidatorCodeInvalidArrayParameter,
        os::format(APMDataTypeDisplayName(kAPMDataTypeEventParameterName,
                                          " is an invalid ecommerce items. The name of array parameters for ecommerce "
                                          "should be \"%@\". Invalid parameter name"),
                   kAPMArrayParameterName),
        paramName);
    return false;
  }
  if (arrayCount > kAPMArrayParameterMaxItems) {
    setFailure(failureCode, kAPMFailureCodeTooManyItems);
    monitor->logWithLevel(0, kAPMValidatorCodeInvalidArrayParameter,
                          os::format("Array parameter has too many items. The maximum number of supported items is "
                                     "%d. Invalid array size",
                                     kAPMArrayParameterMaxItems),
                          arrayCount);
    return false;
  }
  return true;
}

bool APMDataTypeValidator::isValidArrayParamItem(const os::Value& item, int64_t* failureCode) {
  if (item.isDictionary()) return true;
  setFailure(failureCode, kAPMFailureCodeItemNotDictionary);
  APMMeasurementServices::monitor()->logWithLevel(0, kAPMValidatorCodeInvalidArrayItem,
                                                  "Array param must be a dictionary. Parameters", item);
  return false;
}
