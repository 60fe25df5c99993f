#include "measurement/store/errors.h"

os::Error apm_errorWithCode(int64_t code, std::string_view description, std::string_view monitorContext) {
  os::Dictionary userInfo;
  if (!description.empty()) userInfo[os::kLocalizedDescriptionKey] = os::Value(description);
  if (!monitorContext.empty()) userInfo[kAPMMonitorContextKey] = os::Value(monitorContext);
  return os::Error(kAPMErrorDomain, code, std::move(userInfo));
}

void APMSetError(os::Error* error, APMErrorCode code, std::string_view description) {
  if (error != nullptr) *error = apm_errorWithCode(code, description);
}

void APMSetErrorWithMonitorContext(os::Error* error, APMErrorCode code, std::string_view description,
                                   std::string_view monitorContext) {
  if (error != nullptr) *error = apm_errorWithCode(code, description, monitorContext);
}

bool APMCheck(bool condition, os::Error* error, APMErrorCode code, std::string_view description) {
  if (!condition) APMSetError(error, code, description);
  return condition;
}

bool APMCheckNotNULL(const void* pointer, os::Error* error, APMErrorCode code, std::string_view description) {
  return APMCheck(pointer != nullptr, error, code, description);
}

bool APMCheckNotZero(uint64_t value, os::Error* error, APMErrorCode code, std::string_view description) {
  return APMCheck(value != 0, error, code, description);
}
