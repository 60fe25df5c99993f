// The labels by which validation messages name the datum they reject, the
// failure codes the checks report, and the check that an object is an
// APMValue. The engine's name and value validator (APMDataTypeValidator)
// builds its messages and checks on these. Thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "measurement/store/value.h"

// Data type indices: what is being validated.
inline constexpr uint64_t kAPMDataTypeEventName = 0;
inline constexpr uint64_t kAPMDataTypeEventOrigin = 1;
inline constexpr uint64_t kAPMDataTypeEventParameterName = 2;
inline constexpr uint64_t kAPMDataTypeEventParameterValue = 3;
inline constexpr uint64_t kAPMDataTypeUserPropertyName = 4;
inline constexpr uint64_t kAPMDataTypeUserPropertyValue = 5;
inline constexpr uint64_t kAPMDataTypeScreenParameterValue = 6;
inline constexpr uint64_t kAPMDataTypeConditionalUserPropertyOrigin = 7;
inline constexpr uint64_t kAPMDataTypeConditionalUserPropertyName = 8;
inline constexpr uint64_t kAPMDataTypeConditionalUserPropertyValue = 9;

// Failure codes of the checks (0: valid).
inline constexpr int64_t kAPMFailureCodeValid = 0;
inline constexpr int64_t kAPMFailureCodeMissing = 1;        // nil, or empty where a minimum applies
inline constexpr int64_t kAPMFailureCodeTooLong = 2;
inline constexpr int64_t kAPMFailureCodeInvalidCharacters = 3;
inline constexpr int64_t kAPMFailureCodeReserved = 4;
inline constexpr int64_t kAPMFailureCodeWrongClass = 5;     // not a string, not an APMValue
inline constexpr int64_t kAPMFailureCodeForwardedOrigin = 6;
inline constexpr int64_t kAPMFailureCodeTooShort = 7;
inline constexpr int64_t kAPMFailureCodeNotNumeric = 8;
inline constexpr int64_t kAPMFailureCodeNotCurrency = 9;
inline constexpr int64_t kAPMFailureCodeArrayNotEcommerce = 10;
inline constexpr int64_t kAPMFailureCodeArrayNotItems = 11;
inline constexpr int64_t kAPMFailureCodeTooManyItems = 12;
inline constexpr int64_t kAPMFailureCodeNestedArray = 13;
inline constexpr int64_t kAPMFailureCodeItemNotDictionary = 14;

// Monitor codes of the value check (level 3).
inline constexpr int64_t kAPMValueCheckCodeNil = 13004;
inline constexpr int64_t kAPMValueCheckCodeNotAValue = 13005;

// The label of the index ("Event name", ..., "Conditional user property
// value"; "Object" above 9) followed by the suffix. A suffix holding a format
// placeholder is filled by the caller afterwards.
std::string APMDataTypeDisplayName(uint64_t index, std::string_view suffix = {});

// True when the object is an APMValue (or of a subclass). Otherwise false,
// with the failure code (when asked for) 1 for nil (13004 logged) or 5 for
// another object (13005, with its class name); 0 when valid.
bool APMIsValidAPMValue(const APMObject& object, uint64_t index, int64_t* failureCode);
