// Errors of the installations SDK, and the rule that turns any failure into
// an error of its public interface.
//
// Every error built here is in "com.vivuzuvu.installations" and carries a
// failure reason (NSLocalizedFailureReason):
//   0 unknown: parsing, validation, a missing item, corrupt migration data,
//     HTTP errors, and errors of other domains (a network error) wrapped as
//     the underlying error;
//   1 keychain: "<function> (<status>)";
//   2 server unreachable: "Too many server requests." while backing off.
// When no reason is given, the reason is "Underlying error: <description of
// the underlying error>".
//
// An HTTP error is an error of code 0 whose user info also holds the response
// (under "HTTPResponse": URL, status code, header fields) and the body (under
// "data"); REZInstallationsHTTPError reads it back and archives it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "os/foundation/data.h"
#include "os/foundation/error.h"
#include "os/foundation/keyed_archiver.h"
#include "os/net/url_request.h"
#include "os/security/keychain.h"

inline constexpr const char* kREZInstallationsErrorDomain = "com.vivuzuvu.installations";

enum class REZInstallationsErrorCode : int64_t {
  Unknown = 0,
  Keychain = 1,
  ServerUnreachable = 2,
};

// HTTP status codes the installations code acts on.
inline constexpr int kREZInstallationsHTTPCodeBadRequest = 400;
inline constexpr int kREZInstallationsHTTPCodeUnauthorized = 401;
inline constexpr int kREZInstallationsHTTPCodeForbidden = 403;
inline constexpr int kREZInstallationsHTTPCodeNotFound = 404;
inline constexpr int kREZInstallationsHTTPCodeInternalServerError = 500;

// User-info keys of an HTTP error (also its coding keys).
inline constexpr const char* kREZInstallationsHTTPErrorResponseKey = "HTTPResponse";
inline constexpr const char* kREZInstallationsHTTPErrorDataKey = "data";

class REZInstallationsErrorUtil {
 public:
  // An installations error; `failureReason` defaults to "Underlying error: %@".
  static os::Error installationsErrorWithCode(REZInstallationsErrorCode code,
                                              std::optional<std::string> failureReason,
                                              std::optional<os::Error> underlyingError = std::nullopt);
  // Code 0 with the reason.
  static os::Error errorWithFailureReason(std::string failureReason);

  // Code 1, "<function> (<status>)".
  static os::Error keychainErrorWithFunction(std::string_view keychainFunction, os::OSStatus status);
  // "Installation for appID %@ appName %@ not found".
  static os::Error installationItemNotFoundForAppID(const std::string& appID, const std::string& appName);
  // "Failed to serialize JSON data.", with the parser's error underneath.
  static os::Error JSONSerializationError(std::optional<os::Error> underlyingError);
  // "A required response field with name %@ is missing".
  static os::Error missingRequiredResponseField(std::string_view fieldName);
  // "IID token data stored in Keychain is corrupted or in an incompatible format."
  static os::Error corruptedIIDTokenData();
  // Code 2, "Too many server requests.".
  static os::Error backoffIntervalWaitError();

  // The HTTP error of a response with a status outside 200..299.
  static os::Error APIErrorWithHTTPResponse(const os::HTTPURLResponse& response, const os::Data& data);
  // The status code of an HTTP error; nullopt for any other error.
  static std::optional<int> HTTPStatusCodeOfError(const os::Error& error);
  static bool isAPIError(const os::Error& error, int HTTPCode) { return HTTPStatusCodeOfError(error) == HTTPCode; }

  // An installations error unchanged; any other error wrapped as code 0.
  static os::Error publicDomainError(const os::Error& error);
};

// The response and body of an HTTP error, archivable. Decoding fails when the
// archive holds no response.
class REZInstallationsHTTPError final : public os::SecureCoding {
 public:
  REZInstallationsHTTPError(os::HTTPURLResponse response, os::Data data)
      : HTTPResponse(std::move(response)), data(std::move(data)) {}

  // The HTTP error an error carries, or null.
  static std::shared_ptr<REZInstallationsHTTPError> fromError(const os::Error& error);
  // As REZInstallationsErrorUtil::APIErrorWithHTTPResponse.
  os::Error error() const;

  void encodeWithCoder(os::KeyedArchiver& coder) const override;
  static std::shared_ptr<REZInstallationsHTTPError> initWithCoder(os::KeyedUnarchiver& coder);

  os::HTTPURLResponse HTTPResponse;
  os::Data data;
};
