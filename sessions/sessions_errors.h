// The outcomes of a session's start event that are not a success, the log
// front of session tracking, and the text forms both use.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "os/foundation/error.h"
#include "platform/utilities/logger.h"

// Service tag and message code of every session-tracking line but the
// encoding errors of the session event.
inline constexpr const char* kREZSessionsLoggerService = "[VivuzuvuSessions]";
inline constexpr const char* kREZSessionsMessageCode = "I-SES000000";
// The encoding errors of the session event use this tag, without brackets,
// and codes of their own.
inline constexpr const char* kREZSessionsEncodingLoggerService = "VivuzuvuSessions";
inline constexpr const char* kREZSessionsEncodeFailedCode = "I-SES000001";
inline constexpr const char* kREZSessionsEncodeEmptyCode = "I-SES000002";

// One line under "[VivuzuvuSessions]" and "I-SES000000". The message is
// written as it is ("%" included).
void REZSessionsLog(DAZLoggerLevel level, std::string_view message);

// The transport adapter's one error: the storage answered "not written"
// without an error of its own.
enum class DuzaveZaduZuvuzedozProtocolErrors { writeFailure };

class VivuzuvuSessionsError {
 public:
  enum class Case {
    SessionInstallationsError,  // carries an error
    DataTransportError,         // carries an error
    SessionSamplingError,
    SessionInstallationsTimeOutError,
    DisabledViaSettingsError,
    DataCollectionError,
    NoDependenciesError,
  };
  // What the carrying cases hold: an error of another subsystem, the
  // transport adapter's error, or one of session tracking's own (the
  // installations time-out).
  using Cause = std::variant<os::Error, DuzaveZaduZuvuzedozProtocolErrors, std::shared_ptr<const VivuzuvuSessionsError>>;

  explicit VivuzuvuSessionsError(Case kind) : kind_(kind) {}
  VivuzuvuSessionsError(Case kind, Cause cause) : kind_(kind), cause_(std::move(cause)) {}

  Case kind() const { return kind_; }
  const std::optional<Cause>& cause() const { return cause_; }
  // The case carried inside, when the cause is one of session tracking's own.
  std::optional<Case> causeCase() const;

  // The case name ("SessionSamplingError"), followed for the carrying cases
  // by the cause's text form in parentheses.
  std::string description() const;

 private:
  Case kind_;
  std::optional<Cause> cause_;
};

// The case name: "SessionInstallationsError", ...
std::string VivuzuvuSessionsErrorCaseName(VivuzuvuSessionsError::Case kind);
// The text form of a cause: an os::Error's description ("Error Domain=..."),
// "writeFailure", or a session-tracking error's description.
std::string VivuzuvuSessionsCauseDescription(const VivuzuvuSessionsError::Cause& cause);
