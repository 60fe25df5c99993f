// os::Error, os::Result and os::Exception: how failures travel.
//
// A failure is an Error (domain, code, user info). An operation that can fail
// returns Result<T>. An exception raised by name ("com.vivuzuvu.core") is an
// os::Exception; nothing else throws across a subsystem boundary.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "os/foundation/value.h"

namespace os {

// User-info keys of the platform.
inline constexpr const char* kLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr const char* kLocalizedFailureReasonErrorKey = "NSLocalizedFailureReason";
inline constexpr const char* kLocalizedRecoverySuggestionErrorKey = "NSLocalizedRecoverySuggestion";
inline constexpr const char* kFilePathErrorKey = "NSFilePath";
inline constexpr const char* kURLErrorFailingURLStringErrorKey = "NSErrorFailingURLStringKey";
inline constexpr const char* kDebugDescriptionErrorKey = "NSDebugDescription";

// Error domains of the platform.
inline constexpr const char* kCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr const char* kPOSIXErrorDomain = "NSPOSIXErrorDomain";
inline constexpr const char* kOSStatusErrorDomain = "NSOSStatusErrorDomain";
inline constexpr const char* kURLErrorDomain = "NSURLErrorDomain";

// Codes in kCocoaErrorDomain for malformed JSON or property-list input, and
// for a value that cannot be written as a property list.
inline constexpr int64_t kPropertyListReadCorruptError = 3840;
inline constexpr int64_t kPropertyListWriteInvalidError = 3851;

class Error {
 public:
  Error() = default;
  Error(std::string domain, int64_t code, Dictionary userInfo = {})
      : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)) {}
  // An error whose user info holds a localized description.
  static Error withDescription(std::string domain, int64_t code, std::string description);

  const std::string& domain() const { return domain_; }
  int64_t code() const { return code_; }
  const Dictionary& userInfo() const { return userInfo_; }
  Dictionary& userInfo() { return userInfo_; }

  // The NSLocalizedDescription entry, else "The operation couldn’t be completed.
  // (<domain> error <code>.)" as the platform words it.
  std::string localizedDescription() const;
  std::string localizedFailureReason() const;

  const Error* underlyingError() const { return underlying_.get(); }
  Error& setUnderlyingError(Error e) {
    underlying_ = std::make_shared<const Error>(std::move(e));
    return *this;
  }

  // "Error Domain=<domain> Code=<code> \"<description>\" UserInfo={...}"
  std::string description() const;

  friend bool operator==(const Error& a, const Error& b) {
    return a.domain_ == b.domain_ && a.code_ == b.code_;
  }

 private:
  std::string domain_;
  int64_t code_ = 0;
  Dictionary userInfo_;
  std::shared_ptr<const Error> underlying_;
};

template <class T>
using Result = std::expected<T, Error>;
using Status = std::expected<void, Error>;

inline std::unexpected<Error> fail(Error e) { return std::unexpected<Error>(std::move(e)); }
inline std::unexpected<Error> fail(std::string domain, int64_t code, std::string description = {}) {
  return std::unexpected<Error>(description.empty() ? Error(std::move(domain), code)
                                                    : Error::withDescription(std::move(domain), code,
                                                                             std::move(description)));
}

// An exception raised by name ("com.vivuzuvu.core", ...): a configuration
// error that callers may catch, with a reason and user info.
class Exception : public std::runtime_error {
 public:
  Exception(std::string name, std::string reason, Dictionary userInfo = {});
  const std::string& name() const { return name_; }
  const std::string& reason() const { return reason_; }
  const Dictionary& userInfo() const { return userInfo_; }
  // Symbolised frames of the stack where the exception was made, when known.
  const std::vector<std::string>& callStackSymbols() const { return callStackSymbols_; }
  const std::vector<uintptr_t>& callStackReturnAddresses() const { return callStackReturnAddresses_; }

  // The process-wide uncaught-exception handler slot: a plain function, so
  // that a check can name it (dladdr) and a terminate path can call it
  // without allocating. Null until set. Thread-safe; reading it is
  // async-signal-safe. Only the slot: whoever finds an exception uncaught
  // calls the handler.
  using UncaughtExceptionHandler = void (*)(const Exception& exception);
  static UncaughtExceptionHandler getUncaughtExceptionHandler();
  static void setUncaughtExceptionHandler(UncaughtExceptionHandler handler);

 private:
  std::string name_;
  std::string reason_;
  Dictionary userInfo_;
  std::vector<std::string> callStackSymbols_;
  std::vector<uintptr_t> callStackReturnAddresses_;
};

// The platform's assertion handler: where a caller's programming error (an
// argument outside its documented range) is reported. The default handler
// raises os::Exception kInternalInconsistencyException with the description.
// Thread-safe.
using AssertionHandler = std::function<void(const std::string& description)>;
// Reports the description to the current handler.
void handleAssertionFailure(const std::string& description);
// Replaces the handler (an empty one restores the default) and returns the
// previous one. For tests.
AssertionHandler setAssertionHandler(AssertionHandler handler);

// Names of exceptions of the platform.
inline constexpr const char* kInvalidArgumentException = "NSInvalidArgumentException";
inline constexpr const char* kInternalInconsistencyException = "NSInternalInconsistencyException";
inline constexpr const char* kRangeException = "NSRangeException";
inline constexpr const char* kGenericException = "NSGenericException";

}  // namespace os
