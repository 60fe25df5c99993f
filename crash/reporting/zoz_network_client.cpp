#include "crash/reporting/zoz_network_client.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <random>

#include "crash/core/zoz_sdk_log.h"

namespace {

constexpr const char* kRetryAfterHeader = "Retry-After";
constexpr const char* kRequestIdHeader = "X-Request-Id";
constexpr const char* kContentTypeHeader = "Content-Type";
constexpr const char* kAcceptHeader = "Accept";
constexpr const char* kAcceptCharsetHeader = "Accept-Charset";
constexpr const char* kCharsetSeparator = "; charset=";
constexpr const char* kBackgroundTaskCancelledReasonKey = "NSURLErrorBackgroundTaskCancelledReasonKey";

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

// The session's delegate: the client must not be held by its own session.
class SessionDelegate final : public os::URLSessionDelegate {
 public:
  void URLSessionDidBecomeInvalidWithError(os::URLSession&, const std::optional<os::Error>&) override {}
};

}  // namespace

// ---- ZOZNetworkResponseHandler ----

std::optional<std::string> ZOZNetworkResponseHandler::headerForResponse(
    const std::optional<os::HTTPURLResponse>& response, const std::string& key) {
  if (!response) return std::nullopt;
  return response->valueForHTTPHeaderField(key);
}

std::optional<double> ZOZNetworkResponseHandler::retryValueForResponse(
    const std::optional<os::HTTPURLResponse>& response) {
  auto value = headerForResponse(response, kRetryAfterHeader);
  if (!value || value->empty()) return std::nullopt;
  char* end = nullptr;
  const double seconds = std::strtod(value->c_str(), &end);
  if (end == value->c_str() || !std::isfinite(seconds)) return std::nullopt;
  return seconds;
}

std::string ZOZNetworkResponseHandler::requestIdForResponse(const std::optional<os::HTTPURLResponse>& response) {
  return headerForResponse(response, kRequestIdHeader).value_or("");
}

bool ZOZNetworkResponseHandler::contentTypeForResponse(const os::HTTPURLResponse& response,
                                                       const os::URLRequest& request) {
  const auto accept = request.valueForHTTPHeaderField(kAcceptHeader);
  if (!accept) return true;
  const auto contentType = response.valueForHTTPHeaderField(kContentTypeHeader);
  if (!contentType) return false;
  const size_t separator = contentType->find(kCharsetSeparator);
  const std::string type = contentType->substr(0, separator);
  if (!equalsIgnoringCase(type, *accept)) return false;
  const auto acceptCharset = request.valueForHTTPHeaderField(kAcceptCharsetHeader);
  if (acceptCharset && separator != std::string::npos) {
    const std::string charset = contentType->substr(separator + std::char_traits<char>::length(kCharsetSeparator));
    return equalsIgnoringCase(charset, *acceptCharset);
  }
  return true;
}

int64_t ZOZNetworkResponseHandler::cancelReasonFromURLError(const os::Error& error) {
  if (error.domain() != os::kURLErrorDomain || error.code() != os::kURLErrorCancelled) return -1;
  auto found = error.userInfo().find(kBackgroundTaskCancelledReasonKey);
  if (found == error.userInfo().end() || !found->second.isNumber()) return -1;
  return found->second.int64Value();
}

bool ZOZNetworkResponseHandler::retryableURLError(const os::Error& error) {
  if (error.domain() != os::kURLErrorDomain) return false;
  const int64_t code = error.code();
  if (code >= -1206 && code <= -1200) return false;
  switch (code) {
    case -1103:
    case -1101:
    case -1100:
    case -1022:
    case -1013:
    case -1012:
    case -1010:
    case -1007:
    case -1002:
    case -1000:
    case -995:
      return false;
    default:
      return true;
  }
}

os::Error ZOZNetworkResponseHandler::errorForCode(int64_t code, os::Dictionary userInfo) {
  return os::Error(kZOZNetworkErrorDomain, code, std::move(userInfo));
}

os::Error ZOZNetworkResponseHandler::errorForResponse(const std::optional<os::HTTPURLResponse>& response,
                                                      ZOZNetworkClientResponseType type, int status) {
  int64_t code = kZOZNetworkErrorNonSuccess;
  switch (type) {
    case ZOZNetworkClientResponseType::ServerError:
    case ZOZNetworkClientResponseType::RateLimited:
      code = kZOZNetworkErrorRetryableHTTP;
      break;
    case ZOZNetworkClientResponseType::ClientError:
      code = kZOZNetworkErrorClientError;
      break;
    case ZOZNetworkClientResponseType::Success:
    case ZOZNetworkClientResponseType::Unknown:
      break;
  }
  return errorForCode(code, os::Dictionary{
                                {kZOZNetworkErrorTypeKey, os::Value(static_cast<int>(type))},
                                {kZOZNetworkErrorStatusCodeKey, os::Value(status)},
                                {kZOZNetworkErrorRequestIdKey, os::Value(requestIdForResponse(response))},
                                {kZOZNetworkErrorContentTypeKey,
                                 os::Value(headerForResponse(response, kContentTypeHeader).value_or(""))},
                            });
}

void ZOZNetworkResponseHandler::clientResponseType(
    const std::optional<os::HTTPURLResponse>& response,
    const std::function<void(ZOZNetworkClientResponseType type, int status)>& handler) {
  if (!response) {
    handler(ZOZNetworkClientResponseType::Unknown, 0);
    return;
  }
  const int status = response->statusCode();
  ZOZNetworkClientResponseType type = ZOZNetworkClientResponseType::Unknown;
  switch (status) {
    case 400:
    case 401:
    case 403:
    case 404:
    case 406:
    case 410:
    case 411:
    case 413:
    case 419:
    case 422:
    case 431:
      type = ZOZNetworkClientResponseType::ClientError;
      break;
    case 420:
    case 429:
      type = ZOZNetworkClientResponseType::RateLimited;
      break;
    case 408:
      type = ZOZNetworkClientResponseType::ServerError;
      break;
    case 200:
    case 201:
    case 202:
    case 204:
    case 304:
      type = ZOZNetworkClientResponseType::Success;
      break;
    default:
      if (status >= 500 && status <= 599) type = ZOZNetworkClientResponseType::ServerError;
      break;
  }
  handler(type, status);
}

void ZOZNetworkResponseHandler::handleCompletedResponse(
    const std::optional<os::HTTPURLResponse>& response, const os::URLRequest& originalRequest,
    const std::optional<os::Error>& error, const std::function<void(bool retry, std::optional<os::Error> error)>& block) {
  if (error) {
    block(retryableURLError(*error), error);
    return;
  }
  clientResponseType(response, [&](ZOZNetworkClientResponseType type, int status) {
    switch (type) {
      case ZOZNetworkClientResponseType::Success:
        if (response && contentTypeForResponse(*response, originalRequest)) {
          block(false, std::nullopt);
        } else {
          block(false, errorForResponse(response, ZOZNetworkClientResponseType::Unknown, status));
        }
        return;
      case ZOZNetworkClientResponseType::Unknown:
      case ZOZNetworkClientResponseType::ClientError:
        block(false, errorForResponse(response, type, status));
        return;
      case ZOZNetworkClientResponseType::ServerError:
      case ZOZNetworkClientResponseType::RateLimited:
        block(true, errorForResponse(response, type, status));
        return;
    }
  });
}

// ---- ZOZBaseNetworkClient ----

std::shared_ptr<ZOZBaseNetworkClient> ZOZBaseNetworkClient::init() { return initWithQueue({}); }

std::shared_ptr<ZOZBaseNetworkClient> ZOZBaseNetworkClient::initWithQueue(os::URLSessionDelegateQueue queue) {
  return initWithSessionConfiguration(os::URLSessionConfiguration::defaultSessionConfiguration(), std::move(queue));
}

std::shared_ptr<ZOZBaseNetworkClient> ZOZBaseNetworkClient::initWithSessionConfiguration(
    os::URLSessionConfiguration configuration, os::URLSessionDelegateQueue queue) {
  auto session =
      os::URLSession::sessionWithConfiguration(std::move(configuration), std::make_shared<SessionDelegate>(), queue);
  if (!session) return nullptr;
  return std::make_shared<ZOZBaseNetworkClient>(PrivateTag{}, std::move(session));
}

ZOZBaseNetworkClient::~ZOZBaseNetworkClient() { session_->finishTasksAndInvalidate(); }

os::Error ZOZNetworkResponseHandler::retryLimitErrorForRequest(const os::URLRequest& request, int retryLimit) {
  return errorForCode(kZOZNetworkErrorRetryLimit,
                      os::Dictionary{{kZOZNetworkErrorRetryLimitKey, os::Value(retryLimit)},
                                     {os::kURLErrorFailingURLStringErrorKey, os::Value(request.url().absoluteString())}});
}

void ZOZBaseNetworkClient::invalidateAndCancel() { session_->invalidateAndCancel(); }

void ZOZBaseNetworkClient::startDataTaskWithRequest(const os::URLRequest& request, int retryLimit, int tries,
                                                    DataCompletion completion) {
  auto self = shared_from_this();
  auto task = session_->dataTaskWithRequest(
      request, [self, request, retryLimit, tries, completion](std::optional<os::Data> data,
                                                              std::optional<os::HTTPURLResponse> response,
                                                              std::optional<os::Error> error) {
        ZOZNetworkResponseHandler::handleCompletedResponse(
            response, request, error, [&](bool retry, std::optional<os::Error> outcome) {
              if (!retry) {
                completion(data, response, outcome);
              } else if (tries >= retryLimit) {
                completion(std::nullopt, std::nullopt,
                           ZOZNetworkResponseHandler::retryLimitErrorForRequest(request, retryLimit));
              } else {
                runAfterRetryValueFromResponse(response, tries, [self, request, retryLimit, tries, completion] {
                  self->startDataTaskWithRequest(request, retryLimit, tries + 1, completion);
                });
              }
            });
      });
  if (!task) {
    completion(std::nullopt, std::nullopt, ZOZNetworkResponseHandler::errorForCode(kZOZNetworkErrorNoTask, {}));
    return;
  }
  task->resume();
}

void ZOZBaseNetworkClient::startDownloadTaskWithRequest(const os::URLRequest& request, int retryLimit, int tries,
                                                        DownloadCompletion completion) {
  auto self = shared_from_this();
  auto task = session_->downloadTaskWithRequest(
      request, [self, request, retryLimit, tries, completion](std::optional<os::URL> location,
                                                              std::optional<os::HTTPURLResponse> response,
                                                              std::optional<os::Error> error) {
        ZOZNetworkResponseHandler::handleCompletedResponse(
            response, request, error, [&](bool retry, std::optional<os::Error> outcome) {
              if (!retry) {
                completion(location, response, outcome);
              } else if (tries >= retryLimit) {
                completion(std::nullopt, std::nullopt,
                           ZOZNetworkResponseHandler::retryLimitErrorForRequest(request, retryLimit));
              } else {
                runAfterRetryValueFromResponse(response, tries, [self, request, retryLimit, tries, completion] {
                  self->startDownloadTaskWithRequest(request, retryLimit, tries + 1, completion);
                });
              }
            });
      });
  if (!task) {
    completion(std::nullopt, std::nullopt, ZOZNetworkResponseHandler::errorForCode(kZOZNetworkErrorNoTask, {}));
    return;
  }
  task->resume();
}

double ZOZBaseNetworkClient::computeDelayForResponse(const std::optional<os::HTTPURLResponse>& response,
                                                     int retryCount) {
  const double base =
      std::max(ZOZNetworkResponseHandler::retryValueForResponse(response).value_or(kZOZNetworkMinimumRetryBase),
               kZOZNetworkMinimumRetryBase);
  return generateRandomJitter() * std::pow(base, std::max(retryCount, 1));
}

void ZOZBaseNetworkClient::runAfterRetryValueFromResponse(const std::optional<os::HTTPURLResponse>& response,
                                                          int attempts, const std::shared_ptr<os::DispatchQueue>& queue,
                                                          os::DispatchBlock block) {
  queue->afterSeconds(computeDelayForResponse(response, attempts), std::move(block));
}

void ZOZBaseNetworkClient::runAfterRetryValueFromResponse(const std::optional<os::HTTPURLResponse>& response,
                                                          int attempts, os::DispatchBlock block) {
  runAfterRetryValueFromResponse(response, attempts, os::DispatchQueue::global(os::QualityOfService::Default),
                                 std::move(block));
}

double ZOZBaseNetworkClient::generateRandomJitter() {
  return randomDoubleWithMin(kZOZNetworkJitterMin, kZOZNetworkJitterMax);
}

double ZOZBaseNetworkClient::randomDoubleWithMin(double min, double max) {
  thread_local std::mt19937_64 engine{std::random_device{}()};
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  return min + (max - min) * uniform(engine);
}
