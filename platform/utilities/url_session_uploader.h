// DAZNetworkURLSession: runs one HTTP request of the network client on a URL
// session of its own: an upload task for a POST, a download task for a GET.
//
// With background transfers on, a POST body is first written to
// "DAZUpload_temp_<session ID>" in the network directory (Application Support/
// DAZ/Network/DAZNetworkTemporaryDirectory) and uploaded from there by a
// background session whose identifier is the session ID
// ("com.daz.network.background-upload-<UUID>"). The file is removed when the
// task completes; files of that directory older (or newer) than 3600 seconds
// by the clock are removed when a POST starts and when any request completes.
// When the file cannot be written the request runs from memory.
//
// Redirects answered 300, 301, 302 or 307 are not followed; other redirects
// are. The completion block runs once, on the main queue, with (response,
// data, session ID, error); a transport error is reported even when a
// response arrived.
//
// URL-session delegate calls arrive on the main operation queue. The class
// registry (session ID -> object, weak) is guarded by a lock; the system
// completion handlers are kept in a locked dictionary.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "os/foundation/data.h"
#include "os/foundation/error.h"
#include "os/net/url_session.h"
#include "platform/utilities/network_types.h"

inline constexpr const char* kDAZNetworkBackgroundUploadSessionIDPrefix = "com.daz.network.background-upload";
inline constexpr const char* kDAZNetworkTemporaryFilePrefix = "DAZUpload_temp_";
inline constexpr const char* kDAZNetworkTemporaryDirectoryName = "DAZNetworkTemporaryDirectory";
inline constexpr const char* kDAZNetworkDirectoryPath = "DAZ/Network";
inline constexpr double kDAZNetworkTempFolderExpireTime = 3600.0;

// (response, data, session ID, error).
using DAZNetworkURLSessionCompletionHandler = std::function<void(
    std::optional<os::HTTPURLResponse>, std::optional<os::Data>, const std::string&, std::optional<os::Error>)>;
using DAZNetworkSystemCompletionHandler = std::function<void()>;

class DAZNetworkURLSession : public os::URLSessionDelegate,
                             public std::enable_shared_from_this<DAZNetworkURLSession> {
 public:
  // A new object with a new session ID; the delegate is held weakly.
  static std::shared_ptr<DAZNetworkURLSession> initWithNetworkLoggerDelegate(
      std::weak_ptr<DAZNetworkLoggerDelegate> networkLoggerDelegate);
  ~DAZNetworkURLSession() override;

  // Starts the POST (the request's body is the payload). Returns the session
  // ID, or nullopt after the completion block got error 2.
  std::optional<std::string> sessionIDFromAsyncPOSTRequest(const os::URLRequest& request,
                                                           DAZNetworkURLSessionCompletionHandler handler);
  // Starts the GET as a download. Returns the session ID, or nullopt after the
  // completion block got error 2.
  std::optional<std::string> sessionIDFromAsyncGETRequest(const os::URLRequest& request,
                                                          DAZNetworkURLSessionCompletionHandler handler);

  // The application's background-session event: keeps the system completion
  // handler until the session says its events are done. Identifiers of other
  // components are ignored.
  static void handleEventsForBackgroundURLSessionID(const std::string& sessionID,
                                                    DAZNetworkSystemCompletionHandler systemCompletionHandler);
  // The registered object, else a new one for an identifier of this component
  // (registered), else null.
  static std::shared_ptr<DAZNetworkURLSession> fetcherWithSessionIdentifier(const std::string& identifier);
  // Null removes the entry. Replacing an object invalidates its URL session.
  static void setSessionInFetcherMap(const std::shared_ptr<DAZNetworkURLSession>& session,
                                     const std::string& sessionID);
  static std::shared_ptr<DAZNetworkURLSession> sessionFromFetcherMapForSessionID(const std::string& sessionID);

  void addSystemCompletionHandler(DAZNetworkSystemCompletionHandler handler, const std::string& identifier);
  // Calls (on the main queue) and forgets the stored handler, if any.
  void callSystemCompletionHandler(const std::string& identifier);

  // URL-session delegate.
  void URLSessionDataTaskDidReceiveData(os::URLSession& session, os::URLSessionDataTask& dataTask,
                                        const os::Data& data) override;
  void URLSessionDownloadTaskDidFinishDownloadingToURL(os::URLSession& session,
                                                       os::URLSessionDownloadTask& downloadTask,
                                                       const os::URL& location) override;
  void URLSessionDidFinishEventsForBackgroundURLSession(os::URLSession& session) override;
  void URLSessionTaskDidCompleteWithError(os::URLSession& session, os::URLSessionTask& task,
                                          const std::optional<os::Error>& error) override;
  void URLSessionTaskDidReceiveChallengeCompletionHandler(
      os::URLSession& session, os::URLSessionTask& task, const os::URLAuthenticationChallenge& challenge,
      std::function<void(os::URLSessionAuthChallengeDisposition, std::optional<os::URLCredential>)>
          completionHandler) override;
  void URLSessionTaskWillPerformHTTPRedirectionNewRequestCompletionHandler(
      os::URLSession& session, os::URLSessionTask& task, const os::HTTPURLResponse& response,
      const os::URLRequest& request, std::function<void(std::optional<os::URLRequest>)> completionHandler) override;

  // Supporting steps.
  os::URL temporaryFilePathWithSessionID(const std::string& sessionID) const;
  bool ensureTemporaryDirectoryExists();
  void excludeFromBackupForURL(const os::URL& url);
  void maybeRemoveTempFilesAtURL(const os::URL& folderURL, double expiringTime);
  void removeTempItemAtURL(const os::URL& fileURL);
  static os::URLSessionConfiguration backgroundSessionConfigWithSessionID(const std::string& sessionID);
  static void populateSessionConfig(os::URLSessionConfiguration& sessionConfig, const os::URLRequest& request);
  void callCompletionHandler(const DAZNetworkURLSessionCompletionHandler& handler,
                             std::optional<os::HTTPURLResponse> response, std::optional<os::Data> data,
                             std::optional<os::Error> error);

  std::string sessionID() const;
  void setSessionID(std::string sessionID);
  bool backgroundNetworkEnabled() const { return backgroundNetworkEnabled_; }
  void setBackgroundNetworkEnabled(bool enabled) { backgroundNetworkEnabled_ = enabled; }
  std::shared_ptr<DAZNetworkLoggerDelegate> loggerDelegate() const { return loggerDelegate_.lock(); }
  void setLoggerDelegate(std::weak_ptr<DAZNetworkLoggerDelegate> delegate) { loggerDelegate_ = std::move(delegate); }
  const os::URL& networkDirectoryURL() const { return networkDirectoryURL_; }
  os::URL uploadingFileURL() const;
  std::shared_ptr<os::URLSession> URLSession() const { return URLSession_.lock(); }

 private:
  DAZNetworkURLSession();
  // Makes the session and task, keeps them, registers this object and starts.
  std::optional<std::string> start(os::URLSessionConfiguration config, const os::URLRequest& request,
                                   DAZNetworkURLSessionCompletionHandler handler, bool upload,
                                   std::optional<os::Data> body, bool fromFile);
  void log(DAZNetworkLogLevel level, long code, const std::string& message);
  void log(DAZNetworkLogLevel level, long code, const std::string& message, const os::Value& context);
  void log(DAZNetworkLogLevel level, long code, const std::string& message, const std::vector<os::Value>& contexts);

  mutable std::mutex mutex_;
  DAZNetworkURLSessionCompletionHandler completionHandler_;  // guarded by mutex_
  std::string sessionID_;                                    // guarded by mutex_
  os::URL uploadingFileURL_;                                 // guarded by mutex_
  std::optional<os::URLRequest> request_;                    // guarded by mutex_
  std::weak_ptr<os::URLSession> URLSession_;
  os::URL networkDirectoryURL_;
  std::mutex dataMutex_;
  std::optional<os::Data> downloadedData_;  // guarded by dataMutex_
  bool backgroundNetworkEnabled_ = false;
  std::weak_ptr<DAZNetworkLoggerDelegate> loggerDelegate_;
};
