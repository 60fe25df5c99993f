#include "measurement/store/engine_services/data_type_validator.h"

#include <algorithm>
#include <string>

#include "measurement/store/data_type_labels.h"
#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/foundation_extensions.h"
#include "measurement/store/monitor.h"
#include "os/foundation/encoding.h"
#include "os/foundation/format.h"

namespace {

bool isValueType(uint64_t type) { return type == kAPMDataTypeEventParameterValue || type == kAPMDataTypeUserPropertyValue; }

void setFailure(int64_t* failureCode, int64_t code) {
  if (failureCode != nullptr) *failureCode = code;
}

const os::CharacterSet& nameCharacters() {
  static const os::CharacterSet set = os::CharacterSet::letterCharacterSet()
                                          .subtracting(os::CharacterSet::nonBaseCharacterSet())
                                          .unioning(os::CharacterSet::decimalDigitCharacterSet())
                                          .addingCharactersInString("_");
  return set;
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
    return isValidString(os::Value(std::move(*text)), minLength, maxLength, type, failureCode);
  }
  return true;
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
