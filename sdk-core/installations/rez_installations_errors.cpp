#include "sdk-core/installations/rez_installations_errors.h"

#include "os/foundation/format.h"

namespace {

constexpr const char* kResponseURLKey = "URL";
constexpr const char* kResponseStatusCodeKey = "statusCode";
constexpr const char* kResponseHeaderFieldsKey = "allHeaderFields";

const os::CodingRegistration<REZInstallationsHTTPError> kCoding("REZInstallationsHTTPError");

os::Value responseValue(const os::HTTPURLResponse& response) {
  os::Dictionary headers;
  for (const auto& [name, value] : response.allHeaderFields().fields()) headers[name] = os::Value(value);
  return os::Value(os::Dictionary{{kResponseURLKey, os::Value(response.url().absoluteString())},
                                  {kResponseStatusCodeKey, os::Value(static_cast<int64_t>(response.statusCode()))},
                                  {kResponseHeaderFieldsKey, os::Value(std::move(headers))}});
}

std::optional<os::HTTPURLResponse> responseFromValue(const os::Value& value) {
  const os::Value* url = value.find(kResponseURLKey);
  const os::Value* status = value.find(kResponseStatusCodeKey);
  if (!url || !url->isString() || !status || !status->isNumber()) return std::nullopt;
  auto parsed = os::URL::URLWithString(*url->string());
  if (!parsed) return std::nullopt;
  os::HTTPHeaderFields headers;
  if (const os::Value* fields = value.find(kResponseHeaderFieldsKey); fields && fields->dictionary()) {
    for (const auto& [name, field] : *fields->dictionary()) {
      if (field.isString()) headers.setValue(*field.string(), name);
    }
  }
  return os::HTTPURLResponse(*parsed, static_cast<int>(status->number()->int64Value()), std::move(headers));
}

}  // namespace

os::Error REZInstallationsErrorUtil::installationsErrorWithCode(REZInstallationsErrorCode code,
                                                                std::optional<std::string> failureReason,
                                                                std::optional<os::Error> underlyingError) {
  std::string reason = failureReason ? std::move(*failureReason)
                       : underlyingError ? os::format("Underlying error: %@", *underlyingError)
                                         : std::string();
  os::Error error(kREZInstallationsErrorDomain, static_cast<int64_t>(code),
                  {{os::kLocalizedFailureReasonErrorKey, os::Value(std::move(reason))}});
  if (underlyingError) error.setUnderlyingError(std::move(*underlyingError));
  return error;
}

os::Error REZInstallationsErrorUtil::errorWithFailureReason(std::string failureReason) {
  return installationsErrorWithCode(REZInstallationsErrorCode::Unknown, std::move(failureReason));
}

os::Error REZInstallationsErrorUtil::keychainErrorWithFunction(std::string_view keychainFunction,
                                                               os::OSStatus status) {
  return installationsErrorWithCode(REZInstallationsErrorCode::Keychain,
                                    os::format("%@ (%li)", keychainFunction, static_cast<long>(status)));
}

os::Error REZInstallationsErrorUtil::installationItemNotFoundForAppID(const std::string& appID,
                                                                      const std::string& appName) {
  return errorWithFailureReason(os::format("Installation for appID %@ appName %@ not found", appID, appName));
}

os::Error REZInstallationsErrorUtil::JSONSerializationError(std::optional<os::Error> underlyingError) {
  return installationsErrorWithCode(REZInstallationsErrorCode::Unknown, "Failed to serialize JSON data.",
                                    std::move(underlyingError));
}

os::Error REZInstallationsErrorUtil::missingRequiredResponseField(std::string_view fieldName) {
  return errorWithFailureReason(os::format("A required response field with name %@ is missing", fieldName));
}

os::Error REZInstallationsErrorUtil::corruptedIIDTokenData() {
  return errorWithFailureReason("IID token data stored in Keychain is corrupted or in an incompatible format.");
}

os::Error REZInstallationsErrorUtil::backoffIntervalWaitError() {
  return installationsErrorWithCode(REZInstallationsErrorCode::ServerUnreachable, "Too many server requests.");
}

os::Error REZInstallationsErrorUtil::APIErrorWithHTTPResponse(const os::HTTPURLResponse& response,
                                                              const os::Data& data) {
  return REZInstallationsHTTPError(response, data).error();
}

std::optional<int> REZInstallationsErrorUtil::HTTPStatusCodeOfError(const os::Error& error) {
  if (error.domain() != kREZInstallationsErrorDomain) return std::nullopt;
  auto it = error.userInfo().find(kREZInstallationsHTTPErrorResponseKey);
  if (it == error.userInfo().end()) return std::nullopt;
  const os::Value* status = it->second.find(kResponseStatusCodeKey);
  if (!status || !status->isNumber()) return std::nullopt;
  return static_cast<int>(status->number()->int64Value());
}

os::Error REZInstallationsErrorUtil::publicDomainError(const os::Error& error) {
  if (error.domain() == kREZInstallationsErrorDomain) return error;
  return installationsErrorWithCode(REZInstallationsErrorCode::Unknown, std::nullopt, error);
}

// ---- REZInstallationsHTTPError ----

std::shared_ptr<REZInstallationsHTTPError> REZInstallationsHTTPError::fromError(const os::Error& error) {
  if (error.domain() != kREZInstallationsErrorDomain) return nullptr;
  const auto& info = error.userInfo();
  auto response = info.find(kREZInstallationsHTTPErrorResponseKey);
  if (response == info.end()) return nullptr;
  auto parsed = responseFromValue(response->second);
  if (!parsed) return nullptr;
  os::Data body;
  if (auto data = info.find(kREZInstallationsHTTPErrorDataKey); data != info.end() && data->second.isData()) {
    body = *data->second.data();
  }
  return std::make_shared<REZInstallationsHTTPError>(std::move(*parsed), std::move(body));
}

os::Error REZInstallationsHTTPError::error() const {
  const std::string reason =
      os::format("The server responded with an error: \n - URL: %@ \n - HTTP status code: %ld \n - Response body: %@",
                 HTTPResponse.url().absoluteString(), static_cast<long>(HTTPResponse.statusCode()), data.toString());
  return os::Error(kREZInstallationsErrorDomain, static_cast<int64_t>(REZInstallationsErrorCode::Unknown),
                   {{os::kLocalizedFailureReasonErrorKey, os::Value(reason)},
                    {kREZInstallationsHTTPErrorResponseKey, responseValue(HTTPResponse)},
                    {kREZInstallationsHTTPErrorDataKey, os::Value(data)}});
}

void REZInstallationsHTTPError::encodeWithCoder(os::KeyedArchiver& coder) const {
  coder.encodeValue(responseValue(HTTPResponse), kREZInstallationsHTTPErrorResponseKey);
  coder.encodeValue(os::Value(data), kREZInstallationsHTTPErrorDataKey);
}

std::shared_ptr<REZInstallationsHTTPError> REZInstallationsHTTPError::initWithCoder(os::KeyedUnarchiver& coder) {
  auto response = coder.decodeDictionaryForKey(kREZInstallationsHTTPErrorResponseKey);
  if (!response) {
    coder.failWithError(os::KeyedUnarchiver::corrupt("An HTTP error without a response."));
    return nullptr;
  }
  auto parsed = responseFromValue(os::Value(std::move(*response)));
  if (!parsed) {
    coder.failWithError(os::KeyedUnarchiver::corrupt("An HTTP error with a damaged response."));
    return nullptr;
  }
  auto data = coder.decodeDataForKey(kREZInstallationsHTTPErrorDataKey);
  if (coder.error()) return nullptr;
  return std::make_shared<REZInstallationsHTTPError>(std::move(*parsed), data.value_or(os::Data()));
}
