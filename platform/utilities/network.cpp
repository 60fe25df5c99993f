#include "platform/utilities/network.h"

#include "os/foundation/format.h"
#include "os/foundation/system_log.h"
#include "platform/utilities/gzip.h"
#include "platform/utilities/logger.h"

namespace {

constexpr const char* kFailedToCreateRequest = "Failed to create network request";

const char* levelName(DAZNetworkLogLevel level) {
  switch (level) {
    case DAZNetworkLogLevel::Error: return "ERROR";
    case DAZNetworkLogLevel::Warning: return "WARNING";
    case DAZNetworkLogLevel::Info: return "INFO";
    case DAZNetworkLogLevel::Debug: return "DEBUG";
  }
  return "";
}

std::shared_ptr<os::DispatchQueue> queueOrMain(const std::shared_ptr<os::DispatchQueue>& queue) {
  return queue ? queue : os::DispatchQueue::main();
}

}  // namespace

std::shared_ptr<DAZNetwork> DAZNetwork::init() { return initWithReachabilityHost(kDAZNetworkDefaultReachabilityHost); }

std::shared_ptr<DAZNetwork> DAZNetwork::initWithReachabilityHost(const std::string& reachabilityHost) {
  std::shared_ptr<DAZNetwork> network(new DAZNetwork());
  network->reachability_ = DAZReachabilityChecker::initWithReachabilityDelegate(
      std::weak_ptr<DAZReachabilityDelegate>(network), reachabilityHost);
  if (!network->reachability_ || !network->reachability_->start()) return nullptr;
  return network;
}

DAZNetwork::~DAZNetwork() {
  if (reachability_) {
    reachability_->setReachabilityDelegate({});
    reachability_->stop();
  }
}

std::shared_ptr<DAZNetworkReachabilityDelegate> DAZNetwork::reachabilityDelegate() const {
  std::lock_guard lock(delegateMutex_);
  return reachabilityDelegate_.lock();
}

void DAZNetwork::setReachabilityDelegate(std::weak_ptr<DAZNetworkReachabilityDelegate> delegate) {
  std::lock_guard lock(delegateMutex_);
  reachabilityDelegate_ = std::move(delegate);
}

std::shared_ptr<DAZNetworkLoggerDelegate> DAZNetwork::loggerDelegate() const {
  std::lock_guard lock(delegateMutex_);
  return loggerDelegate_.lock();
}

void DAZNetwork::setLoggerDelegate(std::weak_ptr<DAZNetworkLoggerDelegate> delegate) {
  std::lock_guard lock(delegateMutex_);
  loggerDelegate_ = std::move(delegate);
}

// ---- Requests ----

std::optional<os::URLRequest> DAZNetwork::makeRequest(const os::URL& url,
                                                      const std::shared_ptr<os::DispatchQueue>& queue,
                                                      const DAZNetworkCompletionHandler& handler) {
  if (url.absoluteString().empty()) {
    handleErrorWithCode(DAZNetworkErrorCode::InvalidURL, queue, handler);
    return std::nullopt;
  }
  const double timeout = timeoutInterval_ > 0 ? timeoutInterval_.load() : kDAZNetworkDefaultTimeoutInterval;
  return os::URLRequest(url, os::URLRequestCachePolicy::ReloadIgnoringLocalCacheData, timeout);
}

std::optional<std::string> DAZNetwork::postURL(const os::URL& url, const os::Data& payload,
                                               std::shared_ptr<os::DispatchQueue> queue, bool usingBackgroundSession,
                                               DAZNetworkCompletionHandler handler) {
  return postURL(url, {}, payload, std::move(queue), usingBackgroundSession, std::move(handler));
}

std::optional<std::string> DAZNetwork::postURL(const os::URL& url, const std::map<std::string, std::string>& headers,
                                               const os::Data& payload, std::shared_ptr<os::DispatchQueue> queue,
                                               bool usingBackgroundSession, DAZNetworkCompletionHandler handler) {
  auto request = makeRequest(url, queue, handler);
  if (!request) return std::nullopt;
  for (const auto& [name, value] : headers) request->setValue(value, name);

  auto compressed = DAZGzip::daz_dataByGzippingData(payload);
  if (!compressed || (!*compressed && !payload.empty())) {
    handleErrorWithCode(DAZNetworkErrorCode::CompressionFailed, queue, handler);
    return std::nullopt;
  }
  os::Data body = compressed->value_or(os::Data());
  request->setValue(std::to_string(body.size()), "Content-Length");
  request->setHTTPBody(std::move(body));
  request->setHTTPMethod("POST");
  request->setValue("application/x-www-form-urlencoded", "Content-Type");
  request->setValue("gzip", "Content-Encoding");

  return startTask(*request, &DAZNetworkURLSession::sessionIDFromAsyncPOSTRequest, queue, usingBackgroundSession,
                   std::move(handler), kDAZNetworkMessageCodeNetwork000, "Uploading data. Host");
}

std::optional<std::string> DAZNetwork::getURL(const os::URL& url, const std::map<std::string, std::string>& headers,
                                              std::shared_ptr<os::DispatchQueue> queue, bool usingBackgroundSession,
                                              DAZNetworkCompletionHandler handler) {
  auto request = makeRequest(url, queue, handler);
  if (!request) return std::nullopt;
  request->setHTTPMethod("GET");
  for (const auto& [name, value] : headers) request->setValue(value, name);

  return startTask(*request, &DAZNetworkURLSession::sessionIDFromAsyncGETRequest, queue, usingBackgroundSession,
                   std::move(handler), kDAZNetworkMessageCodeNetwork001, "Downloading data. Host");
}

std::optional<std::string> DAZNetwork::startTask(const os::URLRequest& request, StartTask start,
                                                 std::shared_ptr<os::DispatchQueue> queue, bool usingBackgroundSession,
                                                 DAZNetworkCompletionHandler handler, long startedCode,
                                                 const char* startedMessage) {
  auto session = DAZNetworkURLSession::initWithNetworkLoggerDelegate(
      std::weak_ptr<DAZNetworkLoggerDelegate>(shared_from_this()));
  session->setBackgroundNetworkEnabled(usingBackgroundSession);
  // In flight before the task starts: a request that finishes at once removes
  // its entry on completion, which must not come before the entry.
  const std::string entry = session->sessionID();
  requests_->setObjectForKey(session, entry);
  auto sessionID = ((*session).*start)(request, completionFor(queue, std::move(handler)));
  if (!sessionID) {
    requests_->removeObjectForKey(entry);
    // The session already gave the handler its error; a second one would
    // call the handler twice for one request.
    DAZNetwork_logWithLevelMessageCodeMessageContexts(
        DAZNetworkLogLevel::Warning, kDAZNetworkMessageCodeNetwork002, "Failed to create network request. Code, error",
        {os::Value(static_cast<long>(DAZNetworkErrorCode::RequestCreationFailed)), os::Value(kFailedToCreateRequest)});
    return std::nullopt;
  }
  DAZNetwork_logWithLevelMessageCodeMessageContext(DAZNetworkLogLevel::Debug, startedCode, startedMessage,
                                                   os::Value(request.url().absoluteString()));
  return sessionID;
}

DAZNetworkURLSessionCompletionHandler DAZNetwork::completionFor(std::shared_ptr<os::DispatchQueue> queue,
                                                                DAZNetworkCompletionHandler handler) {
  std::weak_ptr<DAZNetwork> weakSelf = shared_from_this();
  return [weakSelf, queue = queueOrMain(queue), handler = std::move(handler)](
             std::optional<os::HTTPURLResponse> response, std::optional<os::Data> data, const std::string& sessionID,
             std::optional<os::Error> error) {
    auto self = weakSelf.lock();
    if (!self) return;
    queue->async([self, handler, response = std::move(response), data = std::move(data), sessionID,
                  error = std::move(error)] {
      if (!sessionID.empty()) self->requests_->removeObjectForKey(sessionID);
      if (handler) handler(response, data, error);
    });
  };
}

void DAZNetwork::handleErrorWithCode(DAZNetworkErrorCode code, const std::shared_ptr<os::DispatchQueue>& queue,
                                     const DAZNetworkCompletionHandler& handler) {
  os::Error error(kDAZNetworkErrorDomain, static_cast<long>(code),
                  os::Dictionary{{kDAZNetworkErrorContext, kFailedToCreateRequest}});
  DAZNetwork_logWithLevelMessageCodeMessageContexts(DAZNetworkLogLevel::Warning, kDAZNetworkMessageCodeNetwork002,
                                                    "Failed to create network request. Code, error",
                                                    {os::Value(static_cast<long>(code)), os::Value(error.description())});
  if (!handler) return;
  queueOrMain(queue)->async([handler, error] { handler(std::nullopt, std::nullopt, error); });
}

void DAZNetwork::handleEventsForBackgroundURLSessionID(const std::string& sessionID,
                                                       DAZNetworkSystemCompletionHandler completionHandler) {
  DAZNetworkURLSession::handleEventsForBackgroundURLSessionID(sessionID, std::move(completionHandler));
}

// ---- Reachability ----

void DAZNetwork::reachability(DAZReachabilityChecker&, DAZReachabilityStatus status) {
  isNetworkConnected_ = status == DAZReachabilityStatus::ViaWifi || status == DAZReachabilityStatus::ViaCellular;
  if (auto delegate = reachabilityDelegate()) delegate->reachabilityDidChange();
}

// ---- Logging ----

void DAZNetwork::DAZNetwork_logWithLevelMessageCodeMessageContexts(DAZNetworkLogLevel logLevel, long messageCode,
                                                                   const std::string& message,
                                                                   const std::vector<os::Value>& contexts) {
  if (auto delegate = loggerDelegate()) {
    delegate->DAZNetwork_logWithLevelMessageCodeMessageContexts(logLevel, messageCode, message, contexts);
    return;
  }
  const bool written = logLevel == DAZNetworkLogLevel::Error || logLevel == DAZNetworkLogLevel::Warning ||
                       logLevel == DAZNetworkLogLevel::Info;
  if (!written && !isDebugModeEnabled_) return;

  std::string text = message.empty() ? "(Message was empty)" : message;
  std::string line = os::format("<%@/%@> %@", kDAZNetworkConsolePrefix, levelName(logLevel), text);
  if (!contexts.empty()) {
    line += ": ";
    for (size_t i = 0; i < contexts.size(); ++i) {
      if (i > 0) line += ", ";
      line += contexts[i].isNull() ? "(nil)" : contexts[i].description();
    }
  }
  os::Log::defaultLog()->log(line);
  DAZLogBasic(static_cast<DAZLoggerLevel>(logLevel), kDAZLoggerSubsystem, kDAZNetworkLogCategory, false,
              os::format(kDAZNetworkMessageCodeFormat, messageCode), line, std::nullopt);
}

void DAZNetwork::DAZNetwork_logWithLevelMessageCodeMessageContext(DAZNetworkLogLevel logLevel, long messageCode,
                                                                  const std::string& message,
                                                                  const os::Value& context) {
  if (auto delegate = loggerDelegate()) {
    delegate->DAZNetwork_logWithLevelMessageCodeMessageContext(logLevel, messageCode, message, context);
    return;
  }
  std::vector<os::Value> contexts;
  if (!context.isNull()) contexts.push_back(context);
  DAZNetwork_logWithLevelMessageCodeMessageContexts(logLevel, messageCode, message, contexts);
}

void DAZNetwork::DAZNetwork_logWithLevelMessageCodeMessage(DAZNetworkLogLevel logLevel, long messageCode,
                                                           const std::string& message) {
  if (auto delegate = loggerDelegate()) {
    delegate->DAZNetwork_logWithLevelMessageCodeMessage(logLevel, messageCode, message);
    return;
  }
  DAZNetwork_logWithLevelMessageCodeMessageContexts(logLevel, messageCode, message, {});
}
