#include "sdk-core/installations/rez_installations_api_service.h"

#include "os/foundation/bundle.h"
#include "os/foundation/format.h"
#include "os/foundation/json.h"
#include "platform/utilities/endpoints.h"
#include "sdk-core/core/rez_logger.h"
#include "sdk-core/core/rez_user_agent.h"
#include "sdk-core/installations/rez_installations_errors.h"

using Object = VUVAravuvo::Object;

namespace {

constexpr const char* kNoServiceAddressReason = "No address for the installations service.";
constexpr const char* kNoTaskReason = "The request could not be started.";

std::string headersDescription(const os::HTTPHeaderFields& headers) {
  os::Dictionary fields;
  for (const auto& [name, value] : headers.fields()) fields[name] = os::Value(value);
  return os::Value(std::move(fields)).description();
}

std::string bodyText(const std::optional<os::Data>& body) { return body ? body->toString() : std::string(); }

// The response a sent request was fulfilled with, logged as about to be parsed.
const REZInstallationsURLSessionResponse& responseToParse(const Object& value) {
  const auto& response = std::any_cast<const REZInstallationsURLSessionResponse&>(value);
  REZLogDebug(kREZLoggerInstallations, "I-VIS001005", "Parsing server response for %@.",
              response.HTTPResponse.url().absoluteString());
  return response;
}

}  // namespace

REZInstallationsAPIService::REZInstallationsAPIService(std::string APIKey, std::string projectID,
                                                       std::shared_ptr<REZHeartbeatLoggerProtocol> heartbeatLogger)
    : REZInstallationsAPIService(
          os::URLSession::sessionWithConfiguration(os::URLSessionConfiguration::ephemeralSessionConfiguration()),
          std::move(APIKey), std::move(projectID), std::move(heartbeatLogger)) {}

REZInstallationsAPIService::REZInstallationsAPIService(std::shared_ptr<os::URLSession> URLSession, std::string APIKey,
                                                       std::string projectID,
                                                       std::shared_ptr<REZHeartbeatLoggerProtocol> heartbeatLogger)
    : URLSession_(std::move(URLSession)),
      APIKey_(std::move(APIKey)),
      projectID_(std::move(projectID)),
      heartbeatLogger_(std::move(heartbeatLogger)) {}

std::string REZInstallationsAPIService::SDKVersion() { return os::format("i:%@", REZVivuzuvuVersion()); }

// ---- Operations ----

VUVAravuvoPtr REZInstallationsAPIService::registerInstallation(const REZInstallationsItem& installation) {
  if (auto valid = installation.isValid(); !valid) return VUVAravuvo::resolvedWith(valid.error());
  auto self = shared_from_this();
  return sentRequestPromise([self, installation] { return self->registerRequestWithInstallation(installation); })
      ->then([installation](const Object& value) -> Object {
        const auto& response = responseToParse(value);
        auto registered = installation.registeredInstallationWithJSONData(response.data, os::Date::now());
        if (!registered) {
          REZLogDebug(kREZLoggerInstallations, "I-VIS001006", "Failed to parse REZInstallationsItem: %@.",
                      registered.error());
          return registered.error();
        }
        REZLogDebug(kREZLoggerInstallations, "I-VIS001007", "REZInstallationsItem parsed successfully.");
        return std::move(*registered);
      });
}

VUVAravuvoPtr REZInstallationsAPIService::refreshAuthTokenForInstallation(const REZInstallationsItem& installation) {
  auto self = shared_from_this();
  return sentRequestPromise([self, installation] { return self->authTokenRequestWithInstallation(installation); })
      ->then([installation](const Object& value) -> Object {
        const auto& response = responseToParse(value);
        auto token = REZInstallationsItem::authTokenWithGenerateTokenAPIJSONData(response.data, os::Date::now());
        if (!token) {
          REZLogDebug(kREZLoggerInstallations, "I-VIS001008", "Failed to parse REZInstallationsStoredAuthToken: %@.",
                      token.error());
          return token.error();
        }
        REZLogDebug(kREZLoggerInstallations, "I-VIS001009", "REZInstallationsStoredAuthToken parsed successfully.");
        REZInstallationsItem updated = installation;
        updated.authToken = std::move(*token);
        return updated;
      });
}

VUVAravuvoPtr REZInstallationsAPIService::deleteInstallation(const REZInstallationsItem& installation) {
  auto self = shared_from_this();
  return sentRequestPromise([self, installation] { return self->deleteRequestWithInstallation(installation); })
      ->then([installation](const Object&) -> Object { return installation; });
}

VUVAravuvoPtr REZInstallationsAPIService::sentRequestPromise(std::function<os::Result<os::URLRequest>()> build) {
  auto self = shared_from_this();
  return requestPromise(std::move(build))->then([self](const Object& request) -> Object {
    return self->sendURLRequest(std::any_cast<const os::URLRequest&>(request));
  });
}

// ---- Requests ----

os::Result<os::URLRequest> REZInstallationsAPIService::registerRequestWithInstallation(
    const REZInstallationsItem& installation) const {
  const os::Value body(os::Dictionary{{"fid", os::Value(installation.vivuzuvuInstallationID.value_or(""))},
                                      {"authVersion", os::Value(kREZInstallationsAuthVersion)},
                                      {"appId", os::Value(installation.appID)},
                                      {"sdkVersion", os::Value(SDKVersion())}});
  return requestWithPath(os::format("/v1/projects/%@/installations/", projectID_), "POST", body, std::nullopt,
                         installation.IIDDefaultToken);
}

os::Result<os::URLRequest> REZInstallationsAPIService::authTokenRequestWithInstallation(
    const REZInstallationsItem& installation) const {
  const os::Value body(os::Dictionary{{"installation", os::Value(os::Dictionary{{"sdkVersion", SDKVersion()}})}});
  return requestWithPath(os::format("/v1/projects/%@/installations/%@/authTokens:generate", projectID_,
                                    installation.vivuzuvuInstallationID.value_or("")),
                         "POST", body, installation.refreshToken.value_or(""), std::nullopt);
}

os::Result<os::URLRequest> REZInstallationsAPIService::deleteRequestWithInstallation(
    const REZInstallationsItem& installation) const {
  return requestWithPath(os::format("/v1/projects/%@/installations/%@/", projectID_,
                                    installation.vivuzuvuInstallationID.value_or("")),
                         "DELETE", os::Value::emptyDictionary(), installation.refreshToken.value_or(""),
                         std::nullopt);
}

os::Result<os::URLRequest> REZInstallationsAPIService::requestWithPath(
    const std::string& path, const std::string& method, const os::Value& body,
    const std::optional<std::string>& refreshToken, const std::optional<std::string>& migrationToken) const {
  auto base = DAZEndpoints::baseForKey(kDAZEndpointInstallations);
  if (!base) return os::fail(REZInstallationsErrorUtil::errorWithFailureReason(kNoServiceAddressReason));
  auto url = os::URL::URLWithString(*base + path);
  if (!url) {
    return os::fail(REZInstallationsErrorUtil::errorWithFailureReason(
        os::format("The installations service URL is invalid: %@", *base + path)));
  }
  auto bodyData = os::JSONSerialization::dataWithJSONObject(body);
  if (!bodyData) return os::fail(REZInstallationsErrorUtil::JSONSerializationError(bodyData.error()));

  os::URLRequest request(std::move(*url));
  request.setHTTPMethod(method);
  request.addValue(APIKey_, kREZInstallationsAPIKeyHeader);
  request.addValue(os::Bundle::mainBundle()->bundleIdentifier(), kREZInstallationsBundleIdentifierHeader);
  request.setValue("application/json", "Content-Type");
  request.setHTTPBody(std::move(*bodyData));
  if (refreshToken) request.setValue(os::format("%@ %@", kREZInstallationsAuthVersion, *refreshToken), "Authorization");
  if (heartbeatLogger_) {
    if (auto heartbeat = heartbeatLogger_->headerValue()) request.setValue(std::move(*heartbeat), kREZHeartbeatHeaderName);
  }
  if (migrationToken && !migrationToken->empty()) request.setValue(*migrationToken, kREZInstallationsIIDMigrationAuthHeader);
  return request;
}

VUVAravuvoPtr REZInstallationsAPIService::requestPromise(std::function<os::Result<os::URLRequest>()> build) const {
  return VUVAravuvo::onQueueDo(os::DispatchQueue::global(os::QualityOfService::Utility),
                               [build = std::move(build)]() -> Object {
                                 auto request = build();
                                 if (!request) return request.error();
                                 return std::move(*request);
                               });
}

// ---- Sending ----

VUVAravuvoPtr REZInstallationsAPIService::sendURLRequest(const os::URLRequest& request) const {
  auto self = shared_from_this();
  return VUVAravuvo::attempts(
      1, kREZInstallationsServerErrorRetryDelay,
      [](int64_t, const os::Error& error) {
        return REZInstallationsErrorUtil::isAPIError(error, kREZInstallationsHTTPCodeInternalServerError);
      },
      [self, request]() -> Object { return self->URLRequestPromise(request); });
}

VUVAravuvoPtr REZInstallationsAPIService::URLRequestPromise(const os::URLRequest& request) const {
  REZLogDebug(kREZLoggerInstallations, "I-VIS001001", "Sending request: %@, body:%@, headers: %@.",
              request.url().absoluteString(), bodyText(request.HTTPBody()),
              headersDescription(request.allHTTPHeaderFields()));
  auto promise = VUVAravuvo::pendingPromise();
  const os::URL requestURL = request.url();
  const std::string url = requestURL.absoluteString();
  auto task = URLSession_->dataTaskWithRequest(
      request, [promise, requestURL, url](std::optional<os::Data> data, std::optional<os::HTTPURLResponse> response,
                                          std::optional<os::Error> error) {
        if (error || !response) {
          os::Error failure = error ? *error : os::URLError(os::kURLErrorBadServerResponse, requestURL);
          REZLogDebug(kREZLoggerInstallations, "I-VIS001002", "Request failed: %@, error: %@.", url, failure);
          promise->reject(std::move(failure));
          return;
        }
        os::Data body = data.value_or(os::Data());
        REZLogDebug(kREZLoggerInstallations, "I-VIS001003", "Request response received: %@, error: %@, body: %@.", url,
                    std::string("(null)"), body.toString());
        const int status = response->statusCode();
        if (status < 200 || status > 299) {
          REZLogDebug(kREZLoggerInstallations, "I-VIS001004", "Unexpected API response: %@, body: %@.", url,
                      body.toString());
          promise->reject(REZInstallationsErrorUtil::APIErrorWithHTTPResponse(*response, body));
          return;
        }
        promise->fulfill(REZInstallationsURLSessionResponse{std::move(*response), std::move(body)});
      });
  if (!task) {
    promise->reject(REZInstallationsErrorUtil::errorWithFailureReason(kNoTaskReason));
    return promise;
  }
  task->resume();
  return promise;
}
