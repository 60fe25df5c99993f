// os::URLSession: HTTP transfers in the shape of the platform's URL session,
// over libcurl.
//
// Design note.
// - One process-wide transfer engine: a single worker thread with one libcurl
//   multi handle runs every transfer of every session. Commands (start,
//   cancel) reach it through a locked queue and curl_multi_wakeup, so no
//   caller blocks on the network. The engine stops at process exit: pending
//   transfers are dropped without callbacks.
// - A task runs one request to its end, possibly through several HTTP
//   exchanges (redirects). States: Suspended (made) -> Running (resume) ->
//   Canceling (cancel) -> Completed. It completes exactly once: with a
//   response, with an error, or both (an HTTP answer whose body broke off).
// - Redirects (301, 302, 303, 307, 308 with a Location) are offered to the
//   delegate, which may refuse (the redirect response is then the final one,
//   with its body) or follow; without a delegate they are followed. 303, and
//   301/302 after a POST, become a GET without body. More than 16 give -1007.
// - A host under the reserved top-level domain "invalid" fails with -1003 at
//   once; the resolver is not asked.
// - Time-outs: a request fails with -1001 after timeoutInterval seconds
//   without progress (the request's own value, or the configuration's when the
//   request has none), or after the configuration's resource time-out in all.
// - HTTPS: before the first exchange the delegate gets a server-trust
//   challenge. Cancelling it fails the task with -999. libcurl verifies the
//   peer certificate and host name on every HTTPS connection whatever the
//   delegate answers: a delegate can refuse a server, never accept a bad one.
// - Virtual time: a task counts as work (os::dispatch::OutsideWork) from
//   resume until its outcome is queued for delivery, so an os::ManualClock
//   does not move while an answer is on its way.
// - Delegate calls and completion handlers of one session run one at a time,
//   in order, on its delegate queue (a serial operation queue of its own when
//   none is given). The session holds its delegate strongly until it has been
//   invalidated and told so (URLSessionDidBecomeInvalidWithError).
//
// All functions are thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "os/dispatch/operation.h"
#include "os/dispatch/queue.h"
#include "os/foundation/data.h"
#include "os/foundation/error.h"
#include "os/foundation/url.h"
#include "os/net/url_request.h"

namespace os {

// NSURLErrorDomain codes.
inline constexpr int64_t kURLErrorUnknown = -1;
inline constexpr int64_t kURLErrorCancelled = -999;
inline constexpr int64_t kURLErrorBadURL = -1000;
inline constexpr int64_t kURLErrorTimedOut = -1001;
inline constexpr int64_t kURLErrorUnsupportedURL = -1002;
inline constexpr int64_t kURLErrorCannotFindHost = -1003;
inline constexpr int64_t kURLErrorCannotConnectToHost = -1004;
inline constexpr int64_t kURLErrorNetworkConnectionLost = -1005;
inline constexpr int64_t kURLErrorHTTPTooManyRedirects = -1007;
inline constexpr int64_t kURLErrorNotConnectedToInternet = -1009;
inline constexpr int64_t kURLErrorBadServerResponse = -1011;
inline constexpr int64_t kURLErrorFileDoesNotExist = -1100;
inline constexpr int64_t kURLErrorSecureConnectionFailed = -1200;
inline constexpr int64_t kURLErrorServerCertificateUntrusted = -1202;
inline constexpr int64_t kURLErrorCannotCreateFile = -3000;
inline constexpr int64_t kURLErrorCannotWriteToFile = -3003;

// An NSURLErrorDomain error with the platform's description ("cancelled",
// "The request timed out.", ...) and the failing URL's text under
// kURLErrorFailingURLStringErrorKey.
Error URLError(int64_t code, const URL& url);

inline constexpr double kURLSessionDefaultResourceTimeout = 604800.0;  // 7 days

class URLSessionConfiguration {
 public:
  static URLSessionConfiguration defaultSessionConfiguration();
  // Keeps nothing on disk; the same transfers otherwise.
  static URLSessionConfiguration ephemeralSessionConfiguration();
  // A background configuration keeps its identifier; its transfers run in the
  // engine like every other (the process is never suspended here).
  static URLSessionConfiguration backgroundSessionConfigurationWithIdentifier(std::string identifier);

  const std::optional<std::string>& identifier() const { return identifier_; }
  bool isEphemeral() const { return ephemeral_; }
  double timeoutIntervalForRequest() const { return timeoutIntervalForRequest_; }
  void setTimeoutIntervalForRequest(double seconds) { timeoutIntervalForRequest_ = seconds; }
  double timeoutIntervalForResource() const { return timeoutIntervalForResource_; }
  void setTimeoutIntervalForResource(double seconds) { timeoutIntervalForResource_ = seconds; }
  // Sent with every request unless the request sets the same field.
  const HTTPHeaderFields& HTTPAdditionalHeaders() const { return additionalHeaders_; }
  void setHTTPAdditionalHeaders(HTTPHeaderFields headers) { additionalHeaders_ = std::move(headers); }
  // Nothing is cached by this layer: every policy loads from the network.
  URLRequestCachePolicy requestCachePolicy() const { return cachePolicy_; }
  void setRequestCachePolicy(URLRequestCachePolicy policy) { cachePolicy_ = policy; }

 private:
  URLSessionConfiguration() = default;
  std::optional<std::string> identifier_;
  bool ephemeral_ = false;
  double timeoutIntervalForRequest_ = kURLRequestDefaultTimeoutInterval;
  double timeoutIntervalForResource_ = kURLSessionDefaultResourceTimeout;
  HTTPHeaderFields additionalHeaders_;
  URLRequestCachePolicy cachePolicy_ = URLRequestCachePolicy::UseProtocolCachePolicy;
};

// ---- Server trust ----

// The server's identity as presented to a challenge: host and port. The
// certificate chain itself is verified by the transfer.
struct SecTrust {
  std::string host;
  int port = 443;
};
using SecTrustRef = std::shared_ptr<const SecTrust>;

// errSecNotTrusted, in NSOSStatusErrorDomain.
inline constexpr int64_t kSecTrustNotTrustedStatus = -67843;
// True for a complete trust object (a host). The chain and host name are
// checked again by libcurl when the transfer connects, whatever this says.
bool SecTrustEvaluateWithError(const SecTrustRef& trust, Error* error);

inline constexpr const char* kURLAuthenticationMethodServerTrust = "NSURLAuthenticationMethodServerTrust";

struct URLProtectionSpace {
  std::string host;
  int port = 443;
  std::string protocol;              // "https"
  std::string authenticationMethod;  // kURLAuthenticationMethodServerTrust
  SecTrustRef serverTrust;
};

struct URLAuthenticationChallenge {
  URLProtectionSpace protectionSpace;
};

struct URLCredential {
  // nullopt for a null trust.
  static std::optional<URLCredential> credentialForTrust(const SecTrustRef& trust);
  SecTrustRef trust;
};

enum class URLSessionAuthChallengeDisposition : long {
  UseCredential = 0,
  PerformDefaultHandling = 1,
  CancelAuthenticationChallenge = 2,
  RejectProtectionSpace = 3,
};

// ---- Tasks ----

class URLSession;

class URLSessionTask : public std::enable_shared_from_this<URLSessionTask> {
 public:
  enum class State : long { Running = 0, Suspended = 1, Canceling = 2, Completed = 3 };
  enum class Kind { Data, Upload, Download };

  virtual ~URLSessionTask();
  URLSessionTask(const URLSessionTask&) = delete;
  URLSessionTask& operator=(const URLSessionTask&) = delete;

  // Unique within the process.
  uint64_t taskIdentifier() const { return identifier_; }
  Kind kind() const { return kind_; }
  const URLRequest& originalRequest() const { return originalRequest_; }
  // The request in flight (after redirects).
  URLRequest currentRequest() const;
  // The last response received, if any.
  std::optional<HTTPURLResponse> response() const;
  // Set when the task completed with an error.
  std::optional<Error> error() const;
  State state() const;
  int64_t countOfBytesReceived() const;

  // Starts a suspended task; later calls do nothing.
  void resume();
  // Completes a task that has not completed with -999 "cancelled" and stops its
  // transfer; later calls do nothing.
  void cancel();

  // Internal to os/net.
  struct Core;

 protected:
  URLSessionTask(Kind kind, std::shared_ptr<URLSession> session, URLRequest request);

 private:
  friend class URLSession;
  friend struct Core;
  const uint64_t identifier_;
  const Kind kind_;
  const URLRequest originalRequest_;
  std::unique_ptr<Core> core_;
};

class URLSessionDataTask : public URLSessionTask {
 protected:
  using URLSessionTask::URLSessionTask;
  friend class URLSession;
};
class URLSessionUploadTask : public URLSessionDataTask {
 protected:
  using URLSessionDataTask::URLSessionDataTask;
  friend class URLSession;
};
class URLSessionDownloadTask : public URLSessionTask {
 protected:
  using URLSessionTask::URLSessionTask;
  friend class URLSession;
};

// ---- Delegate ----

// Every method has a default; override what is needed. Calls arrive on the
// session's delegate queue, one at a time. Completion handlers given to the
// delegate may be called from any thread, once; later calls are ignored.
class URLSessionDelegate {
 public:
  virtual ~URLSessionDelegate() = default;

  // The last call a session makes to its delegate.
  virtual void URLSessionDidBecomeInvalidWithError(URLSession& session, const std::optional<Error>& error);
  virtual void URLSessionDidFinishEventsForBackgroundURLSession(URLSession& session);
  // Default: PerformDefaultHandling.
  virtual void URLSessionTaskDidReceiveChallengeCompletionHandler(
      URLSession& session, URLSessionTask& task, const URLAuthenticationChallenge& challenge,
      std::function<void(URLSessionAuthChallengeDisposition, std::optional<URLCredential>)> completionHandler);
  // Default: follows (passes the proposed request). nullopt refuses.
  virtual void URLSessionTaskWillPerformHTTPRedirectionNewRequestCompletionHandler(
      URLSession& session, URLSessionTask& task, const HTTPURLResponse& response, const URLRequest& request,
      std::function<void(std::optional<URLRequest>)> completionHandler);
  virtual void URLSessionTaskDidCompleteWithError(URLSession& session, URLSessionTask& task,
                                                  const std::optional<Error>& error);
  // Body bytes of data and upload tasks without a completion handler.
  virtual void URLSessionDataTaskDidReceiveData(URLSession& session, URLSessionDataTask& dataTask, const Data& data);
  // A download's body is in the file at `location` while this call runs; the
  // file is removed afterwards.
  virtual void URLSessionDownloadTaskDidFinishDownloadingToURL(URLSession& session,
                                                               URLSessionDownloadTask& downloadTask,
                                                               const URL& location);
};

// Where a session calls its delegate and completion handlers.
class URLSessionDelegateQueue {
 public:
  URLSessionDelegateQueue() = default;  // a serial operation queue of the session's own
  URLSessionDelegateQueue(std::nullptr_t) {}
  URLSessionDelegateQueue(std::shared_ptr<OperationQueue> queue) : operationQueue_(std::move(queue)) {}
  URLSessionDelegateQueue(std::shared_ptr<DispatchQueue> queue) : dispatchQueue_(std::move(queue)) {}

  const std::shared_ptr<OperationQueue>& operationQueue() const { return operationQueue_; }
  const std::shared_ptr<DispatchQueue>& dispatchQueue() const { return dispatchQueue_; }
  bool empty() const { return !operationQueue_ && !dispatchQueue_; }
  void async(DispatchBlock block) const;

 private:
  std::shared_ptr<OperationQueue> operationQueue_;
  std::shared_ptr<DispatchQueue> dispatchQueue_;
};

// (data or nullopt, response or nullopt, error or nullopt).
using URLSessionDataCompletionHandler =
    std::function<void(std::optional<Data>, std::optional<HTTPURLResponse>, std::optional<Error>)>;
// (file location or nullopt, response, error). The file is removed when the
// handler returns.
using URLSessionDownloadCompletionHandler =
    std::function<void(std::optional<URL>, std::optional<HTTPURLResponse>, std::optional<Error>)>;

class URLSession : public std::enable_shared_from_this<URLSession> {
 public:
  // The process-wide session: default configuration, no delegate. It cannot
  // be invalidated.
  static std::shared_ptr<URLSession> sharedSession();
  static std::shared_ptr<URLSession> sessionWithConfiguration(URLSessionConfiguration configuration);
  // The delegate is held strongly until the session is invalidated.
  static std::shared_ptr<URLSession> sessionWithConfiguration(URLSessionConfiguration configuration,
                                                              std::shared_ptr<URLSessionDelegate> delegate,
                                                              URLSessionDelegateQueue delegateQueue);
  ~URLSession();

  const URLSessionConfiguration& configuration() const { return configuration_; }
  std::shared_ptr<URLSessionDelegate> delegate() const;
  const URLSessionDelegateQueue& delegateQueue() const { return delegateQueue_; }

  // Tasks are made suspended; call resume(). After invalidation every factory
  // returns null. A handler replaces the delegate's data and completion calls
  // for that task (redirects and challenges still go to the delegate).
  std::shared_ptr<URLSessionDataTask> dataTaskWithRequest(const URLRequest& request,
                                                          URLSessionDataCompletionHandler completionHandler = {});
  std::shared_ptr<URLSessionDataTask> dataTaskWithURL(const URL& url,
                                                      URLSessionDataCompletionHandler completionHandler = {});
  // The body comes from `bodyData`; the request's own body is ignored.
  std::shared_ptr<URLSessionUploadTask> uploadTaskWithRequest(const URLRequest& request, const Data& bodyData,
                                                              URLSessionDataCompletionHandler completionHandler = {});
  // The body is read from the file when the transfer starts; a missing file
  // fails the task with -1100.
  std::shared_ptr<URLSessionUploadTask> uploadTaskWithRequest(const URLRequest& request, const URL& fileURL,
                                                              URLSessionDataCompletionHandler completionHandler = {});
  std::shared_ptr<URLSessionDownloadTask> downloadTaskWithRequest(
      const URLRequest& request, URLSessionDownloadCompletionHandler completionHandler = {});

  // No new tasks; running ones finish; then the delegate is told and released.
  void finishTasksAndInvalidate();
  // No new tasks; running ones are cancelled; then as above.
  void invalidateAndCancel();
  bool isInvalidated() const;

  // Internal to os/net.
  struct Core;
  Core& core() { return *core_; }

 private:
  URLSession(URLSessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate,
             URLSessionDelegateQueue delegateQueue, bool shared);
  template <class Task>
  std::shared_ptr<Task> makeTask(URLSessionTask::Kind kind, const URLRequest& request);

  const URLSessionConfiguration configuration_;
  const URLSessionDelegateQueue delegateQueue_;
  std::unique_ptr<Core> core_;
};

// Test support: while set, every task factory returns null, as when a task
// cannot be made.
void URLSessionTEST_setTaskCreationFails(bool fails);

}  // namespace os
