#include "platform/utilities/url_session_uploader.h"

#include <cmath>
#include <map>

#include "os/dispatch/lock.h"
#include "os/dispatch/queue.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/format.h"
#include "os/foundation/sandbox.h"
#include "os/foundation/uuid.h"
#include "platform/utilities/logger.h"
#include "platform/utilities/mutable_dictionary.h"

namespace {

// Redirect answers that are not followed.
bool isRefusedRedirect(int status) { return status == 302 || status == 301 || status == 307 || status == 300; }

// Session ID -> object, held weakly. Guarded by registryLock().
std::map<std::string, std::weak_ptr<DAZNetworkURLSession>>& registry() {
  static auto* map = new std::map<std::string, std::weak_ptr<DAZNetworkURLSession>>();
  return *map;
}
os::Mutex& registryLock() {
  static auto* lock = new os::Mutex();
  return *lock;
}

// Objects made for a background event after a relaunch. Nothing else holds
// them, so they are kept here until their system completion handler has been
// called. Guarded by registryLock().
std::map<std::string, std::shared_ptr<DAZNetworkURLSession>>& standIns() {
  static auto* map = new std::map<std::string, std::shared_ptr<DAZNetworkURLSession>>();
  return *map;
}

DAZMutableDictionary<DAZNetworkSystemCompletionHandler>& systemCompletionHandlers() {
  static auto* handlers = new DAZMutableDictionary<DAZNetworkSystemCompletionHandler>();
  return *handlers;
}

// Trust evaluations run one at a time in the process.
std::mutex& trustEvaluationLock() {
  static std::mutex lock;
  return lock;
}

os::Error networkError(DAZNetworkErrorCode code, const char* context) {
  return os::Error(kDAZNetworkErrorDomain, static_cast<long>(code), os::Dictionary{{kDAZNetworkErrorContext, context}});
}

std::string newSessionID() {
  return os::format("%@-%@", kDAZNetworkBackgroundUploadSessionIDPrefix, os::UUID().UUIDString());
}

}  // namespace

DAZNetworkURLSession::DAZNetworkURLSession()
    : networkDirectoryURL_(os::URL::fileURLWithPath(os::Sandbox::current()->applicationSupportDirectory() + "/" +
                                                        kDAZNetworkDirectoryPath + "/" +
                                                        kDAZNetworkTemporaryDirectoryName,
                                                    true)) {}

DAZNetworkURLSession::~DAZNetworkURLSession() = default;

std::shared_ptr<DAZNetworkURLSession> DAZNetworkURLSession::initWithNetworkLoggerDelegate(
    std::weak_ptr<DAZNetworkLoggerDelegate> networkLoggerDelegate) {
  std::shared_ptr<DAZNetworkURLSession> session(new DAZNetworkURLSession());
  session->sessionID_ = newSessionID();
  session->loggerDelegate_ = std::move(networkLoggerDelegate);
  return session;
}

std::string DAZNetworkURLSession::sessionID() const {
  std::lock_guard lock(mutex_);
  return sessionID_;
}

void DAZNetworkURLSession::setSessionID(std::string sessionID) {
  std::lock_guard lock(mutex_);
  sessionID_ = std::move(sessionID);
}

os::URL DAZNetworkURLSession::uploadingFileURL() const {
  std::lock_guard lock(mutex_);
  return uploadingFileURL_;
}

// ---- Logging ----

void DAZNetworkURLSession::log(DAZNetworkLogLevel level, long code, const std::string& message) {
  if (auto delegate = loggerDelegate()) delegate->DAZNetwork_logWithLevelMessageCodeMessage(level, code, message);
}

void DAZNetworkURLSession::log(DAZNetworkLogLevel level, long code, const std::string& message,
                               const os::Value& context) {
  if (auto delegate = loggerDelegate()) {
    delegate->DAZNetwork_logWithLevelMessageCodeMessageContext(level, code, message, context);
  }
}

void DAZNetworkURLSession::log(DAZNetworkLogLevel level, long code, const std::string& message,
                               const std::vector<os::Value>& contexts) {
  if (auto delegate = loggerDelegate()) {
    delegate->DAZNetwork_logWithLevelMessageCodeMessageContexts(level, code, message, contexts);
  }
}

// ---- Requests ----

std::optional<std::string> DAZNetworkURLSession::sessionIDFromAsyncPOSTRequest(
    const os::URLRequest& request, DAZNetworkURLSessionCompletionHandler handler) {
  const std::string id = sessionID();
  const os::URL fileURL = temporaryFilePathWithSessionID(id);
  {
    std::lock_guard lock(mutex_);
    uploadingFileURL_ = fileURL;
  }
  maybeRemoveTempFilesAtURL(networkDirectoryURL_, kDAZNetworkTempFolderExpireTime);

  const os::Data body = request.HTTPBody().value_or(os::Data());
  auto config = os::URLSessionConfiguration::defaultSessionConfiguration();
  bool fromFile = false;
  if (backgroundNetworkEnabled_ && ensureTemporaryDirectoryExists()) {
    auto written = os::FileManager::defaultManager().createFileAtPath(fileURL.path(), body);
    if (!written) {
      log(DAZNetworkLogLevel::Error, kDAZNetworkMessageCodeURLSession000, "Failed to write request data to file",
          os::Value(written.error().description()));
    } else {
      excludeFromBackupForURL(fileURL);
      config = backgroundSessionConfigWithSessionID(id);
      fromFile = true;
    }
  }
  populateSessionConfig(config, request);
  return start(std::move(config), request, std::move(handler), true, body, fromFile);
}

std::optional<std::string> DAZNetworkURLSession::sessionIDFromAsyncGETRequest(
    const os::URLRequest& request, DAZNetworkURLSessionCompletionHandler handler) {
  auto config = backgroundNetworkEnabled_ ? backgroundSessionConfigWithSessionID(sessionID())
                                          : os::URLSessionConfiguration::defaultSessionConfiguration();
  populateSessionConfig(config, request);
  return start(std::move(config), request, std::move(handler), false, std::nullopt, false);
}

std::optional<std::string> DAZNetworkURLSession::start(os::URLSessionConfiguration config,
                                                       const os::URLRequest& request,
                                                       DAZNetworkURLSessionCompletionHandler handler, bool upload,
                                                       std::optional<os::Data> body, bool fromFile) {
  auto session = os::URLSession::sessionWithConfiguration(std::move(config), shared_from_this(),
                                                          os::OperationQueue::mainQueue());
  std::shared_ptr<os::URLSessionTask> task;
  if (upload) {
    os::URLRequest bodiless = request;
    bodiless.setHTTPBody(std::nullopt);
    task = fromFile ? std::shared_ptr<os::URLSessionTask>(session->uploadTaskWithRequest(bodiless, uploadingFileURL()))
                    : session->uploadTaskWithRequest(bodiless, body.value_or(os::Data()));
  } else {
    task = session->downloadTaskWithRequest(request);
  }
  if (!task) {
    callCompletionHandler(handler, std::nullopt, std::nullopt,
                          networkError(DAZNetworkErrorCode::SessionCreationFailed, "Cannot create network session"));
    // The session holds this object as its delegate until invalidated; the
    // upload file has no task to remove it.
    session->invalidateAndCancel();
    if (fromFile) removeTempItemAtURL(uploadingFileURL());
    return std::nullopt;
  }
  URLSession_ = session;
  const std::string id = sessionID();
  setSessionInFetcherMap(shared_from_this(), id);
  {
    std::lock_guard lock(mutex_);
    request_ = request;
    completionHandler_ = std::move(handler);
  }
  task->resume();
  return id;
}

void DAZNetworkURLSession::callCompletionHandler(const DAZNetworkURLSessionCompletionHandler& handler,
                                                 std::optional<os::HTTPURLResponse> response,
                                                 std::optional<os::Data> data, std::optional<os::Error> error) {
  if (error) {
    log(DAZNetworkLogLevel::Error, kDAZNetworkMessageCodeURLSession017, "Encounter network error. Code, error",
        std::vector<os::Value>{os::Value(static_cast<long long>(error->code())), os::Value(error->description())});
  }
  if (!handler) return;
  os::DispatchQueue::main()->async([handler, response = std::move(response), data = std::move(data),
                                    id = sessionID(), error = std::move(error)] { handler(response, data, id, error); });
}

// ---- URL-session delegate ----

void DAZNetworkURLSession::URLSessionDataTaskDidReceiveData(os::URLSession&, os::URLSessionDataTask&,
                                                            const os::Data& data) {
  std::lock_guard lock(dataMutex_);
  if (!downloadedData_) downloadedData_ = os::Data();
  downloadedData_->append(data);
}

void DAZNetworkURLSession::URLSessionDownloadTaskDidFinishDownloadingToURL(os::URLSession&, os::URLSessionDownloadTask&,
                                                                           const os::URL& location) {
  std::optional<os::Data> contents;
  if (location.path().empty()) {
    log(DAZNetworkLogLevel::Error, kDAZNetworkMessageCodeURLSession001,
        "Unable to read downloaded data from empty temp path");
  } else {
    auto read = os::FileManager::defaultManager().contentsAtPath(location.path());
    if (read) {
      contents = std::move(*read);
    } else {
      log(DAZNetworkLogLevel::Error, kDAZNetworkMessageCodeURLSession002, "Cannot read the content of downloaded data",
          os::Value(read.error().description()));
    }
  }
  std::lock_guard lock(dataMutex_);
  downloadedData_ = std::move(contents);
}

void DAZNetworkURLSession::URLSessionTaskDidCompleteWithError(os::URLSession& session, os::URLSessionTask& task,
                                                              const std::optional<os::Error>& taskError) {
  DAZNetworkURLSessionCompletionHandler handler;
  {
    std::lock_guard lock(mutex_);
    handler = std::move(completionHandler_);
    completionHandler_ = nullptr;
  }
  std::optional<os::HTTPURLResponse> response = task.response();
  // A transport error stands even when a response arrived: an answer that
  // broke off is not a success.
  std::optional<os::Error> error = taskError;
  if (!response && !error) {
    error = networkError(DAZNetworkErrorCode::EmptyResponse, "Network Error: Empty network response");
  }
  std::optional<os::Data> data;
  {
    std::lock_guard lock(dataMutex_);
    data = downloadedData_;
  }
  if (!data && !error) data = os::Data();
  callCompletionHandler(handler, std::move(response), std::move(data), std::move(error));

  removeTempItemAtURL(uploadingFileURL());
  maybeRemoveTempFilesAtURL(networkDirectoryURL_, kDAZNetworkTempFolderExpireTime);
  session.finishTasksAndInvalidate();
  if (const auto& identifier = session.configuration().identifier()) setSessionInFetcherMap(nullptr, *identifier);
}

void DAZNetworkURLSession::URLSessionTaskDidReceiveChallengeCompletionHandler(
    os::URLSession&, os::URLSessionTask& task, const os::URLAuthenticationChallenge& challenge,
    std::function<void(os::URLSessionAuthChallengeDisposition, std::optional<os::URLCredential>)> completionHandler) {
  using Disposition = os::URLSessionAuthChallengeDisposition;
  const os::URLProtectionSpace& space = challenge.protectionSpace;
  if (space.authenticationMethod != os::kURLAuthenticationMethodServerTrust) {
    completionHandler(Disposition::PerformDefaultHandling, std::nullopt);
    return;
  }
  const os::Value host(task.currentRequest().url().absoluteString());
  if (!space.serverTrust) {
    log(DAZNetworkLogLevel::Debug, kDAZNetworkMessageCodeURLSession004, "Received empty server trust for host. Host",
        host);
    completionHandler(Disposition::PerformDefaultHandling, std::nullopt);
    return;
  }
  auto credential = os::URLCredential::credentialForTrust(space.serverTrust);
  if (!credential) {
    log(DAZNetworkLogLevel::Warning, kDAZNetworkMessageCodeURLSession005, "Unable to verify server identity. Host",
        host);
    completionHandler(Disposition::CancelAuthenticationChallenge, std::nullopt);
    return;
  }
  log(DAZNetworkLogLevel::Debug, kDAZNetworkMessageCodeURLSession006, "Received SSL challenge for host. Host", host);
  os::DispatchQueue::global()->async([self = shared_from_this(), trust = space.serverTrust, credential, host,
                                      completionHandler = std::move(completionHandler)] {
    std::lock_guard lock(trustEvaluationLock());
    os::Error error;
    const bool trusted = os::SecTrustEvaluateWithError(trust, &error);
    if (!trusted && !error.domain().empty()) {
      self->log(DAZNetworkLogLevel::Error, kDAZNetworkMessageCodeURLSession008,
                "Cannot evaluate server trust. Error, host",
                std::vector<os::Value>{os::Value(static_cast<long long>(error.code())), host});
    }
    if (trusted) {
      completionHandler(Disposition::UseCredential, credential);
    } else {
      self->log(DAZNetworkLogLevel::Debug, kDAZNetworkMessageCodeURLSession007,
                "Cancelling authentication challenge for host. Host", host);
      completionHandler(Disposition::CancelAuthenticationChallenge, std::nullopt);
    }
  });
}

void DAZNetworkURLSession::URLSessionTaskWillPerformHTTPRedirectionNewRequestCompletionHandler(
    os::URLSession&, os::URLSessionTask&, const os::HTTPURLResponse& response, const os::URLRequest& request,
    std::function<void(std::optional<os::URLRequest>)> completionHandler) {
  if (isRefusedRedirect(response.statusCode())) {
    completionHandler(std::nullopt);
  } else {
    completionHandler(request);
  }
}

// ---- Background events ----

void DAZNetworkURLSession::handleEventsForBackgroundURLSessionID(
    const std::string& sessionID, DAZNetworkSystemCompletionHandler systemCompletionHandler) {
  if (!sessionID.starts_with(kDAZNetworkBackgroundUploadSessionIDPrefix)) return;
  auto fetcher = fetcherWithSessionIdentifier(sessionID);
  if (!fetcher) {
    DAZLogError(kDAZLoggerSubsystem, kDAZNetworkLogCategory, false,
                os::format(kDAZNetworkMessageCodeFormat, kDAZNetworkMessageCodeNetwork003),
                "Failed to retrieve background session with ID %@ after app is relaunched.", sessionID);
    return;
  }
  fetcher->addSystemCompletionHandler(std::move(systemCompletionHandler), sessionID);
}

std::shared_ptr<DAZNetworkURLSession> DAZNetworkURLSession::fetcherWithSessionIdentifier(
    const std::string& identifier) {
  if (auto existing = sessionFromFetcherMapForSessionID(identifier)) return existing;
  if (!identifier.starts_with(kDAZNetworkBackgroundUploadSessionIDPrefix)) return nullptr;
  auto fetcher = initWithNetworkLoggerDelegate({});
  fetcher->setSessionID(identifier);
  setSessionInFetcherMap(fetcher, identifier);
  {
    std::lock_guard lock(registryLock());
    standIns()[identifier] = fetcher;
  }
  return fetcher;
}

void DAZNetworkURLSession::setSessionInFetcherMap(const std::shared_ptr<DAZNetworkURLSession>& session,
                                                  const std::string& sessionID) {
  std::shared_ptr<os::URLSession> discarded;
  {
    std::lock_guard lock(registryLock());
    auto& map = registry();
    std::erase_if(map, [](const auto& entry) { return entry.second.expired(); });
    auto it = map.find(sessionID);
    if (it != map.end()) {
      auto old = it->second.lock();
      if (old && session && old != session) {
        old->log(DAZNetworkLogLevel::Info, kDAZNetworkMessageCodeURLSession019,
                 os::format("Discarding session: %@", os::format("<DAZNetworkURLSession: %p>", old.get())));
        discarded = old->URLSession();
      }
    }
    if (session) {
      map[sessionID] = session;
    } else if (it != map.end()) {
      map.erase(it);
    }
  }
  if (discarded) discarded->finishTasksAndInvalidate();
}

std::shared_ptr<DAZNetworkURLSession> DAZNetworkURLSession::sessionFromFetcherMapForSessionID(
    const std::string& sessionID) {
  std::lock_guard lock(registryLock());
  auto it = registry().find(sessionID);
  return it == registry().end() ? nullptr : it->second.lock();
}

void DAZNetworkURLSession::addSystemCompletionHandler(DAZNetworkSystemCompletionHandler handler,
                                                      const std::string& identifier) {
  if (!handler) {
    log(DAZNetworkLogLevel::Error, kDAZNetworkMessageCodeURLSession009,
        "Cannot store nil system completion handler in network");
    return;
  }
  if (identifier.empty()) {
    log(DAZNetworkLogLevel::Error, kDAZNetworkMessageCodeURLSession010,
        "Cannot store system completion handler with empty network session identifier");
    return;
  }
  if (systemCompletionHandlers().objectForKey(identifier)) {
    log(DAZNetworkLogLevel::Warning, kDAZNetworkMessageCodeURLSession011,
        "Got multiple system handlers for a single session ID", os::Value(identifier));
  }
  systemCompletionHandlers().setObjectForKey(std::move(handler), identifier);
}

void DAZNetworkURLSession::callSystemCompletionHandler(const std::string& identifier) {
  auto handler = systemCompletionHandlers().objectForKey(identifier);
  if (handler) {
    systemCompletionHandlers().removeObjectForKey(identifier);
    os::DispatchQueue::main()->async(std::move(*handler));
  }
  std::shared_ptr<DAZNetworkURLSession> standIn;  // released outside the lock
  {
    std::lock_guard lock(registryLock());
    if (auto it = standIns().find(identifier); it != standIns().end()) {
      standIn = std::move(it->second);
      standIns().erase(it);
    }
  }
}

void DAZNetworkURLSession::URLSessionDidFinishEventsForBackgroundURLSession(os::URLSession& session) {
  const std::string identifier = session.configuration().identifier().value_or("");
  log(DAZNetworkLogLevel::Debug, kDAZNetworkMessageCodeURLSession003, "Background session finished",
      os::Value(identifier));
  callSystemCompletionHandler(identifier);
}

// ---- Temporary files ----

os::URL DAZNetworkURLSession::temporaryFilePathWithSessionID(const std::string& sessionID) const {
  return networkDirectoryURL_.URLByAppendingPathComponent(os::format("%@%@", kDAZNetworkTemporaryFilePrefix, sessionID));
}

bool DAZNetworkURLSession::ensureTemporaryDirectoryExists() {
  auto& files = os::FileManager::defaultManager();
  const std::string path = networkDirectoryURL_.path();
  auto attributes = files.attributesOfItemAtPath(path);
  if (attributes) return true;
  if (attributes.error().code() != os::kFileReadNoSuchFileError) {
    log(DAZNetworkLogLevel::Warning, kDAZNetworkMessageCodeURLSession014,
        "Error while trying to access Network temp folder. Error", os::Value(attributes.error().description()));
  }
  auto created = files.createDirectoryAtPath(path, true);
  if (!created) {
    log(DAZNetworkLogLevel::Error, kDAZNetworkMessageCodeURLSession015, "Cannot create temporary directory. Error",
        os::Value(created.error().description()));
    return false;
  }
  excludeFromBackupForURL(networkDirectoryURL_);
  return true;
}

void DAZNetworkURLSession::excludeFromBackupForURL(const os::URL& url) {
  if (url.path().empty()) return;
  if (!os::FileManager::defaultManager().setResourceValue(url.path(), os::kURLIsExcludedFromBackupKey, true)) {
    log(DAZNetworkLogLevel::Error, kDAZNetworkMessageCodeURLSession016,
        "Cannot exclude temporary folder from iTunes backup");
  }
}

void DAZNetworkURLSession::maybeRemoveTempFilesAtURL(const os::URL& folderURL, double expiringTime) {
  if (folderURL.empty()) return;
  auto& files = os::FileManager::defaultManager();
  const std::string folder = folderURL.path();
  auto entries = files.contentsOfDirectoryAtPath(folder);
  if (!entries) {
    if (entries.error().code() != os::kFileReadNoSuchFileError) {
      log(DAZNetworkLogLevel::Debug, kDAZNetworkMessageCodeURLSession012,
          "Cannot get files from the temporary network folder. Error", os::Value(entries.error().description()));
    }
    return;
  }
  const os::Date now = os::Date::now();
  for (const std::string& name : *entries) {
    const std::string path = folder + "/" + name;
    auto attributes = files.attributesOfItemAtPath(path);
    if (!attributes) continue;
    auto it = attributes->find(os::kFileCreationDate);
    if (it == attributes->end() || !it->second.date()) continue;
    if (std::fabs(now.timeIntervalSinceDate(*it->second.date())) > expiringTime) {
      removeTempItemAtURL(os::URL::fileURLWithPath(path));
    }
  }
}

void DAZNetworkURLSession::removeTempItemAtURL(const os::URL& fileURL) {
  if (fileURL.empty()) return;
  auto removed = os::FileManager::defaultManager().removeItemAtPath(fileURL.path());
  if (!removed && removed.error().code() != os::kFileNoSuchFileError) {
    log(DAZNetworkLogLevel::Error, kDAZNetworkMessageCodeURLSession013,
        "Failed to remove temporary uploading data file. Error", os::Value(removed.error().localizedDescription()));
  }
}

os::URLSessionConfiguration DAZNetworkURLSession::backgroundSessionConfigWithSessionID(const std::string& sessionID) {
  return os::URLSessionConfiguration::backgroundSessionConfigurationWithIdentifier(sessionID);
}

void DAZNetworkURLSession::populateSessionConfig(os::URLSessionConfiguration& sessionConfig,
                                                 const os::URLRequest& request) {
  sessionConfig.setHTTPAdditionalHeaders(request.allHTTPHeaderFields());
  sessionConfig.setTimeoutIntervalForRequest(request.timeoutInterval());
  sessionConfig.setTimeoutIntervalForResource(request.timeoutInterval());
  sessionConfig.setRequestCachePolicy(request.cachePolicy());
}
