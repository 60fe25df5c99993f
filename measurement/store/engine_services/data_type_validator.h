// APMDataTypeValidator: the measurement engine's rules on the names and
// values that enter measurement. Each check answers a Boolean, writes a
// failure code (data_type_labels.h) through an optional pointer, and logs
// its own refusal through the measurement monitor; a null pointer suppresses
// only the code.
//
// Here are the building blocks, the reserved prefixes, the two internal
// user-property checks the store's user attributes rely on and the three
// conditional-user-property checks; the engine's other rules (event names,
// origins, parameters, screen values, numbers, currencies, item arrays) join
// them in this class.
//
// Lengths count code points (apm_UTF32Length). Name characters are letters
// without combining marks, decimal digits and "_", in any script.
// Thread-safe.
#pragma once

#include <cstdint>
#include <string_view>

#include "measurement/store/value.h"

// Monitor codes.
inline constexpr int64_t kAPMValidatorCodeInvalidString = 13000;
inline constexpr int64_t kAPMValidatorCodeMissing = 13001;
inline constexpr int64_t kAPMValidatorCodeInvalidCharacters = 13002;

// Longest internal user-property name, and values by property name.
inline constexpr int kAPMUserAttributeNameMaxLength = 24;
inline constexpr int kAPMUserAttributeValueMaxLength = 36;
inline constexpr int kAPMUserIDValueMaxLength = 256;        // "_id", "_dvbraid"
inline constexpr int kAPMPSMValueMaxLength = 512;           // "_psmvalue"
// Conditional user properties: origin, name, value.
inline constexpr int kAPMConditionalUserPropertyOriginMaxLength = 32;
inline constexpr int kAPMConditionalUserPropertyNameMaxLength = 24;
inline constexpr int kAPMConditionalUserPropertyValueMaxLength = 36;

class APMDataTypeValidator {
 public:
  // A string of minLength..maxLength code points. Failures: 1 nil (13001),
  // 5 not a string (13000), 1 empty with a minimum of 1 or more (13001; no
  // message for values, types 3 and 5), 2 too long, 7 too short (13000).
  // Logged at level 3 for values (types 3 and 5), else level 0.
  static bool isValidString(const APMObject& object, int minLength, int maxLength, uint64_t type,
                            int64_t* failureCode);
  // A string check with minimum 1, then name characters only (3, 13002).
  // Internal names may begin with "_" or a digit.
  static bool isValidInternalName(const APMObject& name, int maxLength, uint64_t type, int64_t* failureCode);
  // An APMValue (APMIsValidAPMValue), whose string, when it holds one, passes
  // the string check; numbers and arrays pass.
  static bool isValidValue(const APMObject& value, int minLength, int maxLength, uint64_t type,
                           int64_t* failureCode);

  // Begins with "vivuzuvu_", "devuvo_" or "dv_" (case-sensitive).
  static bool hasReservedPrefixes(std::string_view name);

  // An internal name of at most 24 code points.
  static bool isValidInternalUserAttributeName(const APMObject& name, int64_t* failureCode);
  // A value of 1 to 36 code points for most names; 256 for "_id" and
  // "_dvbraid", 512 for "_psmvalue".
  static bool isValidInternalUserAttributeValue(const APMObject& value, std::string_view name,
                                                int64_t* failureCode);

  // An internal name of at most 32 code points.
  static bool isValidConditionalUserPropertyOrigin(const APMObject& origin, int64_t* failureCode);
  // An internal name of at most 24 code points.
  static bool isValidConditionalUserPropertyName(const APMObject& name, int64_t* failureCode);
  // An APMValue; a string value of 1 to 36 code points.
  static bool isValidConditionalUserPropertyValue(const APMObject& value, int64_t* failureCode);
};
