// The script runtime's errors: a domain and an integer code, nothing else
// (no description, no user information). The first error raised in an
// evaluation travels outward unchanged; no level catches or replaces it.
#pragma once

#include <cstdint>
#include <expected>

#include "os/foundation/error.h"

// Raised by the runtime, the values and the commands.
inline constexpr const char* kAPMPRovavErrorDomain = "com.devuvo.zev.measurement.rovav.ErrorDomain";
// Raised by the event-editing engine.
inline constexpr const char* kAPMPEditingErrorDomain = "com.devuvo.zev.measurement.rovav.editing.ErrorDomain";

// Codes of kAPMPRovavErrorDomain; codes not listed are never raised.
enum class APMPRovavError : int64_t {
  UndeclaredAssignment = 2,  // assignment to a name no scope in the chain declares
  NoBooleanForm = 3,
  NoNumberForm = 4,
  NoStringForm = 5,
  PropertyOfNothing = 6,  // a property written on null or undefined
  MethodOfNothing = 7,    // a method called on null or undefined
  EmptyReduction = 8,
  ArgumentCount = 9,
  ArgumentKind = 10,
  InvalidArrayLength = 11,  // not an array index, or past kAPMPMaxArraySlots
  UnknownEntityType = 12,
  UnsupportedObject = 13,  // a platform value of a kind scripts have no value for
  MissingOpcode = 14,
  ModuleMissing = 15,
  NotIterable = 16,
  UnknownMethod = 17,
  // The instruction budget is spent, or a cap of limits.h on depth or string
  // length was reached: the program is stopped.
  BudgetExhausted = 18,
};

// Codes of kAPMPEditingErrorDomain.
enum class APMPEditingError : int64_t {
  MissingCallbackType = 2,
  UnknownCallbackType = 3,
  TooManyCallbacks = 4,
  ControlValueAtTopLevel = 5,
  ActivityDataNotMap = 6,
  ActivityNotFunction = 7,
};

inline os::Error APMPRovavErrorWithCode(APMPRovavError code) {
  return os::Error(kAPMPRovavErrorDomain, static_cast<int64_t>(code));
}
inline os::Error APMPEditingErrorWithCode(APMPEditingError code) {
  return os::Error(kAPMPEditingErrorDomain, static_cast<int64_t>(code));
}
// For `return APMPFail(APMPRovavError::ArgumentCount);` in any os::Result.
inline std::unexpected<os::Error> APMPFail(APMPRovavError code) {
  return std::unexpected<os::Error>(APMPRovavErrorWithCode(code));
}
inline std::unexpected<os::Error> APMPFail(APMPEditingError code) {
  return std::unexpected<os::Error>(APMPEditingErrorWithCode(code));
}
