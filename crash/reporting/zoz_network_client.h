// The crash reporter's own HTTP client (ZOZBaseNetworkClient) and how it
// reads an answer (ZOZNetworkResponseHandler). Crash reports do not travel
// through it (they go through the event transport); the settings download
// does.
//
// An answer is one of: success (type 0: 200, 201, 202, 204, 304, and a
// content type that matches the request's "Accept"), unknown (type 1: any
// other status, or none), client error (type 2), server error or time-out
// (type 3: 408 and 5xx) and rate limited (type 4: 420, 429). Types 3 and 4,
// and transport errors of the URL-loading domain but a fixed list, are
// retried after jitter x base^max(tries, 1) seconds of os::Clock time, base
// being the "Retry-After" value but at least 2; a retry limit of n allows
// n + 1 attempts, after which the completion gets error -6.
//
// Errors: domain "ZOZNetworkError"; HTTP failures carry "type",
// "status_code", "request_id" and "content_type" in their user info.
//
// Threads: completions run on the session's delegate queue (its own serial
// queue when the client was made without one); retries start from the
// default-priority global queue. A pending retry keeps the client alive.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "os/dispatch/queue.h"
#include "os/foundation/data.h"
#include "os/foundation/error.h"
#include "os/net/url_request.h"
#include "os/net/url_session.h"

inline constexpr const char* kZOZNetworkErrorDomain = "ZOZNetworkError";
inline constexpr int64_t kZOZNetworkErrorRetryableHTTP = -1;
inline constexpr int64_t kZOZNetworkErrorNoTask = -3;
inline constexpr int64_t kZOZNetworkErrorNonSuccess = -4;
inline constexpr int64_t kZOZNetworkErrorClientError = -5;
inline constexpr int64_t kZOZNetworkErrorRetryLimit = -6;

inline constexpr const char* kZOZNetworkErrorTypeKey = "type";
inline constexpr const char* kZOZNetworkErrorStatusCodeKey = "status_code";
inline constexpr const char* kZOZNetworkErrorRequestIdKey = "request_id";
inline constexpr const char* kZOZNetworkErrorContentTypeKey = "content_type";
inline constexpr const char* kZOZNetworkErrorRetryLimitKey = "retryLimit";

inline constexpr int kZOZNetworkDefaultRetryLimit = 10;
inline constexpr double kZOZNetworkMinimumRetryBase = 2.0;
inline constexpr double kZOZNetworkJitterMin = 0.9;
inline constexpr double kZOZNetworkJitterMax = 1.1;

enum class ZOZNetworkClientResponseType : int {
  Success = 0,
  Unknown = 1,
  ClientError = 2,
  ServerError = 3,
  RateLimited = 4,
};

class ZOZNetworkResponseHandler {
 public:
  static std::optional<std::string> headerForResponse(const std::optional<os::HTTPURLResponse>& response,
                                                      const std::string& key);
  // The "Retry-After" value; nullopt when missing or not a number.
  static std::optional<double> retryValueForResponse(const std::optional<os::HTTPURLResponse>& response);
  // "X-Request-Id", or "".
  static std::string requestIdForResponse(const std::optional<os::HTTPURLResponse>& response);
  static bool contentTypeForResponse(const os::HTTPURLResponse& response, const os::URLRequest& request);
  // The background-task cancel reason of a cancelled URL-loading error, else -1.
  static int64_t cancelReasonFromURLError(const os::Error& error);
  static bool retryableURLError(const os::Error& error);
  static os::Error errorForCode(int64_t code, os::Dictionary userInfo);
  // The error of a request that ran out of tries.
  static os::Error retryLimitErrorForRequest(const os::URLRequest& request, int retryLimit);
  static os::Error errorForResponse(const std::optional<os::HTTPURLResponse>& response,
                                    ZOZNetworkClientResponseType type, int status);
  // Calls `handler` with the type and the status (0 without a response).
  static void clientResponseType(const std::optional<os::HTTPURLResponse>& response,
                                 const std::function<void(ZOZNetworkClientResponseType type, int status)>& handler);
  // Calls `block` with whether to retry and the error (nullopt on success).
  static void handleCompletedResponse(const std::optional<os::HTTPURLResponse>& response,
                                      const os::URLRequest& originalRequest, const std::optional<os::Error>& error,
                                      const std::function<void(bool retry, std::optional<os::Error> error)>& block);
};

class ZOZBaseNetworkClient : public std::enable_shared_from_this<ZOZBaseNetworkClient> {
 public:
  using DataCompletion = os::URLSessionDataCompletionHandler;
  using DownloadCompletion = os::URLSessionDownloadCompletionHandler;

  // Default configuration; the session's own serial queue.
  static std::shared_ptr<ZOZBaseNetworkClient> init();
  static std::shared_ptr<ZOZBaseNetworkClient> initWithQueue(os::URLSessionDelegateQueue queue);
  // Null when no session could be made.
  static std::shared_ptr<ZOZBaseNetworkClient> initWithSessionConfiguration(os::URLSessionConfiguration configuration,
                                                                            os::URLSessionDelegateQueue queue);
  ~ZOZBaseNetworkClient();
  ZOZBaseNetworkClient(const ZOZBaseNetworkClient&) = delete;
  ZOZBaseNetworkClient& operator=(const ZOZBaseNetworkClient&) = delete;

  void startDataTaskWithRequest(const os::URLRequest& request, int retryLimit, int tries, DataCompletion completion);
  void startDataTaskWithRequest(const os::URLRequest& request, int retryLimit, DataCompletion completion) {
    startDataTaskWithRequest(request, retryLimit, 0, std::move(completion));
  }
  void startDataTaskWithRequest(const os::URLRequest& request, DataCompletion completion) {
    startDataTaskWithRequest(request, kZOZNetworkDefaultRetryLimit, 0, std::move(completion));
  }
  void startDownloadTaskWithRequest(const os::URLRequest& request, int retryLimit, int tries,
                                    DownloadCompletion completion);
  void startDownloadTaskWithRequest(const os::URLRequest& request, int retryLimit, DownloadCompletion completion) {
    startDownloadTaskWithRequest(request, retryLimit, 0, std::move(completion));
  }

  // Cancels the session's tasks and invalidates it; later tasks fail with -3.
  void invalidateAndCancel();
  const std::shared_ptr<os::URLSession>& session() const { return session_; }

  // jitter x base^max(tries, 1) seconds (see the top of this file).
  static double computeDelayForResponse(const std::optional<os::HTTPURLResponse>& response, int retryCount);
  // Runs `block` on `queue` after that delay.
  static void runAfterRetryValueFromResponse(const std::optional<os::HTTPURLResponse>& response, int attempts,
                                             const std::shared_ptr<os::DispatchQueue>& queue, os::DispatchBlock block);
  static void runAfterRetryValueFromResponse(const std::optional<os::HTTPURLResponse>& response, int attempts,
                                             os::DispatchBlock block);
  static double generateRandomJitter();
  static double randomDoubleWithMin(double min, double max);

  struct PrivateTag {};
  ZOZBaseNetworkClient(PrivateTag, std::shared_ptr<os::URLSession> session) : session_(std::move(session)) {}

 private:
  const std::shared_ptr<os::URLSession> session_;
};
