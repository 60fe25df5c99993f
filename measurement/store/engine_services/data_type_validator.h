// APMDataTypeValidator: the measurement engine's rules on the names and
// values that enter measurement. Each check answers a Boolean, writes a
// failure code (data_type_labels.h) through an optional pointer, and logs
// its own refusal through the measurement monitor; a null pointer suppresses
// only the code.
//
// The building blocks, the reserved prefixes, the event rules (origins,
// names, parameter names and values, screen values, numbers, currencies, item
// arrays), the public and internal user-property rules and the three
// conditional-user-property checks. Remote settings are read at each call.
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
inline constexpr int64_t kAPMValidatorCodeFirstCharacter = 13003;
inline constexpr int64_t kAPMValidatorCodeReservedEventName = 13006;
inline constexpr int64_t kAPMValidatorCodeReservedEventNamePrefix = 13007;
inline constexpr int64_t kAPMValidatorCodeReservedParameterNamePrefix = 13008;
inline constexpr int64_t kAPMValidatorCodeReservedUserPropertyName = 13009;
inline constexpr int64_t kAPMValidatorCodeReservedUserPropertyNamePrefix = 13010;
inline constexpr int64_t kAPMValidatorCodeNotNumeric = 13011;
inline constexpr int64_t kAPMValidatorCodeNotCurrency = 13012;
inline constexpr int64_t kAPMValidatorCodeInvalidArrayParameter = 13013;
inline constexpr int64_t kAPMValidatorCodeInvalidArrayItem = 13014;

// Event origins, names and parameter names, in code points.
inline constexpr int kAPMEventOriginMaxLength = 32;
inline constexpr int kAPMEventNameMaxLength = 40;
inline constexpr int kAPMEventParameterNameMaxLength = 40;
// Items an array parameter may hold.
inline constexpr int64_t kAPMArrayParameterMaxItems = 200;
// The one name an array parameter may have.
inline constexpr const char* kAPMArrayParameterName = "items";
// Suffix of origins forwarded from another measurement library.
inline constexpr const char* kAPMForwardedOriginSuffix = "+dtm";
// The least maximum length of internal parameter values.
inline constexpr int32_t kAPMMinInternalEventParameterValueLength = 256;

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

  // An internal-name check, then the first code point must be a letter (3,
  // 13003).
  static bool isValidPublicName(const APMObject& name, int maxLength, uint64_t type, int64_t* failureCode);

  // Begins with "vivuzuvu_", "devuvo_" or "dv_" (case-sensitive).
  static bool hasReservedPrefixes(std::string_view name);

  // The longest public parameter value (the remote setting), and the longest
  // internal one (that, but at least 256).
  static int32_t maxPublicEventParameterValueLength();
  static int32_t maxInternalEventParameterValueLength();

  // ---- Events ----
  // A public name of at most 40; "screen_view" passes; another name of
  // APMEventNameMap but "ad_impression" fails (4, 13006), as does a
  // reserved prefix (4, 13007).
  static bool isValidPublicEventName(const APMObject& name, int64_t* failureCode);
  // An internal name of at most 40.
  static bool isValidInternalEventName(const APMObject& name, int64_t* failureCode);
  // An internal name of at most 32.
  static bool isValidInternalEventOrigin(const APMObject& origin, int64_t* failureCode);
  // "<internal origin>+dtm". nil or empty: 1; not a string: 5; without the
  // suffix: 6; none of these logged.
  static bool isValidForwardedEventOrigin(const APMObject& origin, int64_t* failureCode);
  // A public name of at most 40 without a reserved prefix (4, 13008).
  static bool isValidPublicEventParameterName(const APMObject& name, int64_t* failureCode);
  // An internal name of at most 40.
  static bool isValidInternalEventParameterName(const APMObject& name, int64_t* failureCode);
  // An APMValue whose string (may be empty) is at most the public or the
  // internal maximum long.
  static bool isValidPublicEventParameterValue(const APMObject& value, int64_t* failureCode);
  static bool isValidInternalEventParameterValue(const APMObject& value, int64_t* failureCode);
  // A string of 1 to the public maximum.
  static bool isValidScreenParameterValue(const APMObject& value, int64_t* failureCode);
  // An APMValue holding an int64 or a double (8, 13011).
  static bool isValidNumericValue(const APMObject& value, int64_t* failureCode);
  // An APMValue holding three letters of any script and case (9, 13012).
  static bool isValidCurrencyCode(const APMObject& value, int64_t* failureCode);
  // An array parameter, in this order: not inside an item (13), in an
  // e-commerce event (10), named "items" (11), at most 200 items (12); each
  // failure logs 13013.
  static bool isValidArrayParamForEvent(std::string_view eventName, std::string_view paramName, int64_t arrayCount,
                                        bool isNestedArrayParam, int64_t* failureCode);
  // A dictionary (14, 13014). Writes the failure code only on failure.
  static bool isValidArrayParamItem(const os::Value& item, int64_t* failureCode);

  // ---- User properties ----
  // A public name of at most 24 code points; a name of
  // APMUserPropertyShortNames (4, 13009) or with a reserved prefix (4, 13010)
  // fails.
  static bool isValidPublicUserAttributeName(const APMObject& name, int64_t* failureCode);
  // An APMValue; a string value of 1 to 36 code points.
  static bool isValidPublicUserAttributeValue(const APMObject& value, int64_t* failureCode);
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
