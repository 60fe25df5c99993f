// DAZNetwork: the HTTP client of the SDKs. POST bodies are gzip-compressed;
// each request runs on a DAZNetworkURLSession of its own, optionally as a
// background transfer. It follows the reachability of one host and logs
// through a logger delegate or, without one, to the console and the logger.
//
// Completion handlers run on the caller's queue (the main queue when none is
// given), exactly once per request that was accepted or refused; a request
// whose DAZNetwork has gone away before it finishes is dropped silently.
//
// Requests may be started from any thread. Reachability changes arrive on
// the main thread. A reference type: use the factories.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "os/dispatch/queue.h"
#include "os/net/url_session.h"
#include "platform/utilities/mutable_dictionary.h"
#include "platform/utilities/network_types.h"
#include "platform/utilities/reachability_checker.h"
#include "platform/utilities/url_session_uploader.h"

// The host whose reachability init() follows.
inline constexpr const char* kDAZNetworkDefaultReachabilityHost = "app-measurement.devuvo.com";
inline constexpr double kDAZNetworkDefaultTimeoutInterval = 60.0;
inline constexpr const char* kDAZNetworkConsolePrefix = "Devuvo/Utilities/Network";

class DAZNetworkReachabilityDelegate {
 public:
  virtual ~DAZNetworkReachabilityDelegate() = default;
  virtual void reachabilityDidChange() = 0;
};

// (HTTP response, data, error).
using DAZNetworkCompletionHandler =
    std::function<void(std::optional<os::HTTPURLResponse>, std::optional<os::Data>, std::optional<os::Error>)>;

class DAZNetwork : public DAZReachabilityDelegate,
                   public DAZNetworkLoggerDelegate,
                   public std::enable_shared_from_this<DAZNetwork> {
 public:
  // initWithReachabilityHost with kDAZNetworkDefaultReachabilityHost.
  static std::shared_ptr<DAZNetwork> init();
  // Null when the host is empty or its reachability cannot be watched.
  static std::shared_ptr<DAZNetwork> initWithReachabilityHost(const std::string& reachabilityHost);
  ~DAZNetwork() override;
  DAZNetwork(const DAZNetwork&) = delete;
  DAZNetwork& operator=(const DAZNetwork&) = delete;

  // Sends the payload gzip-compressed with "Content-Length", "Content-Type:
  // application/x-www-form-urlencoded" and "Content-Encoding: gzip" (these
  // replace caller headers of the same names). Returns the session ID, or
  // nullopt when the request could not be started (the handler then gets the
  // error in kDAZNetworkErrorDomain).
  std::optional<std::string> postURL(const os::URL& url, const std::map<std::string, std::string>& headers,
                                     const os::Data& payload, std::shared_ptr<os::DispatchQueue> queue,
                                     bool usingBackgroundSession, DAZNetworkCompletionHandler handler);
  std::optional<std::string> postURL(const os::URL& url, const os::Data& payload,
                                     std::shared_ptr<os::DispatchQueue> queue, bool usingBackgroundSession,
                                     DAZNetworkCompletionHandler handler);
  std::optional<std::string> getURL(const os::URL& url, const std::map<std::string, std::string>& headers,
                                    std::shared_ptr<os::DispatchQueue> queue, bool usingBackgroundSession,
                                    DAZNetworkCompletionHandler handler);

  // The application's background-session event, for DAZNetworkURLSession.
  static void handleEventsForBackgroundURLSessionID(const std::string& sessionID,
                                                    DAZNetworkSystemCompletionHandler completionHandler);

  // True from a request's start until its handler is called.
  bool hasUploadInProgress() const { return requests_->count() > 0; }
  bool isNetworkConnected() const { return isNetworkConnected_; }
  bool isDebugModeEnabled() const { return isDebugModeEnabled_; }
  void setIsDebugModeEnabled(bool enabled) { isDebugModeEnabled_ = enabled; }
  // Seconds; 0 means 60.
  double timeoutInterval() const { return timeoutInterval_; }
  void setTimeoutInterval(double seconds) { timeoutInterval_ = seconds; }
  std::shared_ptr<DAZNetworkReachabilityDelegate> reachabilityDelegate() const;
  void setReachabilityDelegate(std::weak_ptr<DAZNetworkReachabilityDelegate> delegate);
  std::shared_ptr<DAZNetworkLoggerDelegate> loggerDelegate() const;
  void setLoggerDelegate(std::weak_ptr<DAZNetworkLoggerDelegate> delegate);
  const std::shared_ptr<DAZReachabilityChecker>& reachabilityChecker() const { return reachability_; }

  // DAZReachabilityDelegate.
  void reachability(DAZReachabilityChecker& reachability, DAZReachabilityStatus status) override;

  // DAZNetworkLoggerDelegate: forwarded to the logger delegate when there is
  // one; else levels 3, 4 and 6 (all levels in debug mode) are written as
  // "<Devuvo/Utilities/Network/LEVEL> message: contexts" to the console and to
  // the logger (category "[DAZNetwork]", code "I-NET%06ld").
  // (Declared again by every logger delegate, as overrides must be.)
  void DAZNetwork_logWithLevelMessageCodeMessageContexts(DAZNetworkLogLevel logLevel, long messageCode,
                                                         const std::string& message,
                                                         const std::vector<os::Value>& contexts) override;
  void DAZNetwork_logWithLevelMessageCodeMessageContext(DAZNetworkLogLevel logLevel, long messageCode,
                                                        const std::string& message,
                                                        const os::Value& context) override;
  void DAZNetwork_logWithLevelMessageCodeMessage(DAZNetworkLogLevel logLevel, long messageCode,
                                                 const std::string& message) override;

 private:
  DAZNetwork() = default;
  // The request for the URL, or nullopt after reporting error 1.
  std::optional<os::URLRequest> makeRequest(const os::URL& url, const std::shared_ptr<os::DispatchQueue>& queue,
                                            const DAZNetworkCompletionHandler& handler);
  DAZNetworkURLSessionCompletionHandler completionFor(std::shared_ptr<os::DispatchQueue> queue,
                                                      DAZNetworkCompletionHandler handler);
  using StartTask = std::optional<std::string> (DAZNetworkURLSession::*)(const os::URLRequest&,
                                                                          DAZNetworkURLSessionCompletionHandler);
  // Starts the request on a new session kept in requests_ while in flight;
  // logs its start (startedCode, startedMessage with the URL) or its failure.
  std::optional<std::string> startTask(const os::URLRequest& request, StartTask start,
                                       std::shared_ptr<os::DispatchQueue> queue, bool usingBackgroundSession,
                                       DAZNetworkCompletionHandler handler, long startedCode,
                                       const char* startedMessage);
  void handleErrorWithCode(DAZNetworkErrorCode code, const std::shared_ptr<os::DispatchQueue>& queue,
                           const DAZNetworkCompletionHandler& handler);

  std::shared_ptr<DAZReachabilityChecker> reachability_;
  std::shared_ptr<DAZMutableDictionary<std::shared_ptr<DAZNetworkURLSession>>> requests_ =
      std::make_shared<DAZMutableDictionary<std::shared_ptr<DAZNetworkURLSession>>>();
  std::atomic<bool> isNetworkConnected_{false};
  std::atomic<bool> isDebugModeEnabled_{false};
  std::atomic<double> timeoutInterval_{kDAZNetworkDefaultTimeoutInterval};
  mutable std::mutex delegateMutex_;
  std::weak_ptr<DAZNetworkReachabilityDelegate> reachabilityDelegate_;  // guarded by delegateMutex_
  std::weak_ptr<DAZNetworkLoggerDelegate> loggerDelegate_;              // guarded by delegateMutex_
};
