// Measurement errors and the check chain.
//
// Every failure of the measurement library is an os::Error in
// kAPMErrorDomain with one of the codes below. Its user info holds the
// description under os::kLocalizedDescriptionKey and the monitor context
// under kAPMMonitorContextKey, each only when it is a non-empty string: a
// short comma-separated text that the measurement monitor appends to the
// sampled health record when the error is logged as a context.
//
// Store operations report through an error out-parameter that may be null.
// The check functions set it exactly when their check fails, so callers chain
// them with && and the first failing check decides:
//
//   return APMCheckNotZero(name.size(), error, APMErrorCode::InvalidArgument, "Received empty table name") &&
//          APMCheckNotNULL(db, error, APMErrorCode::InvalidState, "Database not open") && ...;
//
// All functions are pure and thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "os/foundation/error.h"

inline constexpr const char* kAPMErrorDomain = "com.devuvo.zev.measurement.ErrorDomain";
inline constexpr const char* kAPMMonitorContextKey = "APMMonitorContext";

enum class APMErrorCode : int64_t {
  InvalidArgument = 1,
  InvalidState = 2,  // database not open, table missing, schema not acceptable
  DatabaseOperationFailed = 3,
  InvalidAudience = 9,
  InvalidEventFilter = 10,
  InvalidPropertyFilter = 11,
  SessionIDUnavailable = 13,
};

// A new measurement error. Never fails.
os::Error apm_errorWithCode(int64_t code, std::string_view description, std::string_view monitorContext = {});
inline os::Error apm_errorWithCode(APMErrorCode code, std::string_view description,
                                   std::string_view monitorContext = {}) {
  return apm_errorWithCode(int64_t(code), description, monitorContext);
}

// Store a new error in *error unless error is null.
void APMSetError(os::Error* error, APMErrorCode code, std::string_view description);
void APMSetErrorWithMonitorContext(os::Error* error, APMErrorCode code, std::string_view description,
                                   std::string_view monitorContext);

// Each returns whether its check passes and sets *error (when error is not
// null) exactly when it fails.
bool APMCheck(bool condition, os::Error* error, APMErrorCode code, std::string_view description);
// Passes for an object that is not nil: a non-null pointer, a set optional, a
// non-null os::Value.
template <class T>
bool APMCheckNotNil(const T& object, os::Error* error, APMErrorCode code, std::string_view description) {
  bool present;
  if constexpr (requires { object.isNull(); }) {
    present = !object.isNull();
  } else if constexpr (requires { object.has_value(); }) {
    present = object.has_value();
  } else {
    present = object != nullptr;
  }
  return APMCheck(present, error, code, description);
}
// A C handle: a database connection, a prepared statement.
bool APMCheckNotNULL(const void* pointer, os::Error* error, APMErrorCode code, std::string_view description);
// A count or length.
bool APMCheckNotZero(uint64_t value, os::Error* error, APMErrorCode code, std::string_view description);
