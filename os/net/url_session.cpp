#include "os/net/url_session.h"

#include <unistd.h>

#include <atomic>

#include "os/net/url_session_core.h"

namespace os {
namespace {

std::atomic<uint64_t> gNextTaskIdentifier{1};
std::atomic<bool> gTaskCreationFails{false};

constexpr int kMaximumRedirects = 16;

const char* descriptionForCode(int64_t code) {
  switch (code) {
    case kURLErrorCancelled: return "cancelled";
    case kURLErrorBadURL: return "bad URL";
    case kURLErrorTimedOut: return "The request timed out.";
    case kURLErrorUnsupportedURL: return "unsupported URL";
    case kURLErrorCannotFindHost: return "A server with the specified hostname could not be found.";
    case kURLErrorCannotConnectToHost: return "Could not connect to the server.";
    case kURLErrorNetworkConnectionLost: return "The network connection was lost.";
    case kURLErrorHTTPTooManyRedirects: return "too many HTTP redirects";
    case kURLErrorNotConnectedToInternet: return "The Internet connection appears to be offline.";
    case kURLErrorBadServerResponse: return "bad server response";
    case kURLErrorFileDoesNotExist: return "The requested URL was not found on this server.";
    case kURLErrorSecureConnectionFailed:
      return "An SSL error has occurred and a secure connection to the server cannot be made.";
    case kURLErrorServerCertificateUntrusted: return "The certificate for this server is invalid.";
    case kURLErrorCannotCreateFile: return "cannot create file";
    case kURLErrorCannotWriteToFile: return "cannot write file";
    default: return "unknown error";
  }
}

// Calls `fn` the first time only; completion handlers given to delegates are
// wrapped in it.
template <class... Args>
std::function<void(Args...)> callOnce(std::function<void(Args...)> fn) {
  auto called = std::make_shared<std::atomic<bool>>(false);
  return [called, fn = std::move(fn)](Args... args) {
    if (called->exchange(true)) return;
    fn(std::move(args)...);
  };
}

}  // namespace

Error URLError(int64_t code, const URL& url) {
  Dictionary userInfo;
  userInfo[kLocalizedDescriptionKey] = descriptionForCode(code);
  if (!url.empty()) userInfo[kURLErrorFailingURLStringErrorKey] = url.absoluteString();
  return Error(kURLErrorDomain, code, std::move(userInfo));
}

void URLSessionTEST_setTaskCreationFails(bool fails) { gTaskCreationFails = fails; }

// ---- Configuration, trust ----

URLSessionConfiguration URLSessionConfiguration::defaultSessionConfiguration() { return URLSessionConfiguration(); }

URLSessionConfiguration URLSessionConfiguration::ephemeralSessionConfiguration() {
  URLSessionConfiguration c;
  c.ephemeral_ = true;
  return c;
}

URLSessionConfiguration URLSessionConfiguration::backgroundSessionConfigurationWithIdentifier(std::string identifier) {
  URLSessionConfiguration c;
  c.identifier_ = std::move(identifier);
  return c;
}

bool SecTrustEvaluateWithError(const SecTrustRef& trust, Error* error) {
  if (trust && !trust->host.empty()) return true;
  if (error) *error = Error::withDescription(kOSStatusErrorDomain, kSecTrustNotTrustedStatus, "The trust has no host.");
  return false;
}

std::optional<URLCredential> URLCredential::credentialForTrust(const SecTrustRef& trust) {
  if (!trust) return std::nullopt;
  return URLCredential{trust};
}

// ---- Delegate defaults ----

void URLSessionDelegate::URLSessionDidBecomeInvalidWithError(URLSession&, const std::optional<Error>&) {}
void URLSessionDelegate::URLSessionDidFinishEventsForBackgroundURLSession(URLSession&) {}
void URLSessionDelegate::URLSessionTaskDidReceiveChallengeCompletionHandler(
    URLSession&, URLSessionTask&, const URLAuthenticationChallenge&,
    std::function<void(URLSessionAuthChallengeDisposition, std::optional<URLCredential>)> completionHandler) {
  completionHandler(URLSessionAuthChallengeDisposition::PerformDefaultHandling, std::nullopt);
}
void URLSessionDelegate::URLSessionTaskWillPerformHTTPRedirectionNewRequestCompletionHandler(
    URLSession&, URLSessionTask&, const HTTPURLResponse&, const URLRequest& request,
    std::function<void(std::optional<URLRequest>)> completionHandler) {
  completionHandler(request);
}
void URLSessionDelegate::URLSessionTaskDidCompleteWithError(URLSession&, URLSessionTask&,
                                                            const std::optional<Error>&) {}
void URLSessionDelegate::URLSessionDataTaskDidReceiveData(URLSession&, URLSessionDataTask&, const Data&) {}
void URLSessionDelegate::URLSessionDownloadTaskDidFinishDownloadingToURL(URLSession&, URLSessionDownloadTask&,
                                                                         const URL&) {}

void URLSessionDelegateQueue::async(DispatchBlock block) const {
  if (operationQueue_) {
    operationQueue_->addOperationWithBlock(std::move(block));
  } else if (dispatchQueue_) {
    dispatchQueue_->async(std::move(block));
  }
}

void URLSessionTask::Core::finish(const std::shared_ptr<URLSessionTask>& task, std::optional<HTTPURLResponse> response,
                                  std::optional<Data> body, std::string downloadPath, std::optional<Error> error) {
  Core& core = *task->core_;
  std::shared_ptr<URLSession> session;
  // Released at return, after the delivery below has been queued.
  std::unique_ptr<dispatch::OutsideWork> inFlight;
  {
    std::lock_guard lock(core.mutex);
    if (core.completed) {
      if (!downloadPath.empty()) unlink(downloadPath.c_str());
      return;
    }
    inFlight = std::move(core.inFlight);
    core.completed = true;
    core.state = State::Completed;
    if (response) core.response = response;
    response = core.response;
    core.error = error;
    session = std::move(core.session);
  }
  if (!session) return;
  const URL url = task->originalRequest().url();
  if (task->kind() == Kind::Download && !error && downloadPath.empty()) {
    downloadPath = net::detail::writeDownloadFile(body.value_or(Data()));
    if (downloadPath.empty()) error = URLError(kURLErrorCannotCreateFile, url);
  }
  auto delegate = session->core().currentDelegate();
  session->core().deliver([session, task, delegate, response = std::move(response), body = std::move(body),
                           path = std::move(downloadPath), error = std::move(error)] {
    Core& c = *task->core_;
    if (task->kind() == Kind::Download) {
      std::optional<URL> location;
      if (!error && !path.empty()) location = URL::fileURLWithPath(path);
      if (c.downloadHandler) {
        c.downloadHandler(location, response, error);
      } else if (delegate) {
        if (location) {
          delegate->URLSessionDownloadTaskDidFinishDownloadingToURL(
              *session, static_cast<URLSessionDownloadTask&>(*task), *location);
        }
        delegate->URLSessionTaskDidCompleteWithError(*session, *task, error);
      }
      if (!path.empty()) unlink(path.c_str());
    } else if (c.dataHandler) {
      std::optional<Data> data;
      if (!error) data = body.value_or(Data());
      c.dataHandler(std::move(data), response, error);
    } else if (delegate) {
      delegate->URLSessionTaskDidCompleteWithError(*session, *task, error);
    }
    // Handlers may hold what owns the task; drop them once used.
    c.dataHandler = nullptr;
    c.downloadHandler = nullptr;
    session->core().taskFinished(task);
  });
}

void URLSessionTask::Core::redirect(const std::shared_ptr<URLSessionTask>& task, HTTPURLResponse response,
                                    URLRequest newRequest, bool dropsBody, Data body) {
  Core& core = *task->core_;
  auto session = core.currentSession();
  if (!session) return;
  int redirects;
  {
    std::lock_guard lock(core.mutex);
    redirects = core.redirects;
  }
  if (redirects >= kMaximumRedirects) {
    finish(task, response, std::nullopt, {}, URLError(kURLErrorHTTPTooManyRedirects, newRequest.url()));
    return;
  }
  std::function<void(std::optional<URLRequest>)> answer =
      callOnce(std::function<void(std::optional<URLRequest>)>(
          [task, response, dropsBody, body = std::move(body)](std::optional<URLRequest> request) {
            Core& c = *task->core_;
            if (!request) {
              // A delegate-driven data task gets the redirect answer's body
              // as data, like any other body.
              auto session = c.currentSession();
              auto delegate = session ? session->core().currentDelegate() : nullptr;
              if (task->kind() != Kind::Download && !c.hasHandler() && delegate && !body.empty()) {
                auto dataTask = std::static_pointer_cast<URLSessionDataTask>(task);
                session->core().deliver([session, dataTask, delegate, body] {
                  delegate->URLSessionDataTaskDidReceiveData(*session, *dataTask, body);
                });
              }
              finish(task, response, body, {}, std::nullopt);
              return;
            }
            {
              std::lock_guard lock(c.mutex);
              if (c.completed) return;
              ++c.redirects;
              c.currentRequest = *request;
              if (dropsBody) c.bodyDropped = true;
            }
            net::detail::startTransfer(task, std::move(*request));
          }));
  auto delegate = session->core().currentDelegate();
  if (!delegate) {
    answer(std::move(newRequest));
    return;
  }
  session->core().deliver([session, task, delegate, response, newRequest, answer] {
    delegate->URLSessionTaskWillPerformHTTPRedirectionNewRequestCompletionHandler(*session, *task, response,
                                                                                  newRequest, answer);
  });
}

// ---- Task ----

URLSessionTask::URLSessionTask(Kind kind, std::shared_ptr<URLSession> session, URLRequest request)
    : identifier_(gNextTaskIdentifier++),
      kind_(kind),
      originalRequest_(request),
      core_(std::make_unique<Core>(std::move(session), std::move(request))) {}

URLSessionTask::~URLSessionTask() = default;

URLRequest URLSessionTask::currentRequest() const {
  std::lock_guard lock(core_->mutex);
  return core_->currentRequest;
}

std::optional<HTTPURLResponse> URLSessionTask::response() const {
  std::lock_guard lock(core_->mutex);
  return core_->response;
}

std::optional<Error> URLSessionTask::error() const {
  std::lock_guard lock(core_->mutex);
  return core_->error;
}

URLSessionTask::State URLSessionTask::state() const {
  std::lock_guard lock(core_->mutex);
  return core_->state;
}

int64_t URLSessionTask::countOfBytesReceived() const { return core_->bytesReceived.load(); }

void URLSessionTask::resume() {
  auto self = shared_from_this();
  std::shared_ptr<URLSession> session;
  URLRequest request(URL{});
  {
    std::lock_guard lock(core_->mutex);
    if (core_->state != State::Suspended || core_->completed || !core_->session) return;
    core_->state = State::Running;
    core_->startedAt = net::detail::steadyNow();
    core_->inFlight = std::make_unique<dispatch::OutsideWork>();
    session = core_->session;
    request = core_->currentRequest;
  }
  session->core().taskStarted(self);

  const URL& url = request.url();
  if (url.scheme() != "http" && url.scheme() != "https") {
    Core::finish(self, std::nullopt, std::nullopt, {}, URLError(kURLErrorUnsupportedURL, url));
    return;
  }
  if (url.host().empty()) {
    Core::finish(self, std::nullopt, std::nullopt, {}, URLError(kURLErrorBadURL, url));
    return;
  }
  auto delegate = session->core().currentDelegate();
  if (url.scheme() != "https" || !delegate) {
    net::detail::startTransfer(self, std::move(request));
    return;
  }
  auto trust = std::make_shared<const SecTrust>(SecTrust{url.host(), url.port().value_or(443)});
  URLAuthenticationChallenge challenge{
      URLProtectionSpace{url.host(), url.port().value_or(443), "https", kURLAuthenticationMethodServerTrust, trust}};
  auto answer = callOnce(std::function<void(URLSessionAuthChallengeDisposition, std::optional<URLCredential>)>(
      [self, request](URLSessionAuthChallengeDisposition disposition, std::optional<URLCredential>) {
        if (disposition == URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge) {
          Core::finish(self, std::nullopt, std::nullopt, {}, URLError(kURLErrorCancelled, request.url()));
        } else {
          net::detail::startTransfer(self, request);
        }
      }));
  session->core().deliver([session, self, delegate, challenge, answer] {
    delegate->URLSessionTaskDidReceiveChallengeCompletionHandler(*session, *self, challenge, answer);
  });
}

void URLSessionTask::cancel() {
  auto self = shared_from_this();
  {
    std::lock_guard lock(core_->mutex);
    if (core_->completed || core_->state == State::Canceling) return;
    core_->state = State::Canceling;
  }
  net::detail::cancelTransfers(self);
  Core::finish(self, std::nullopt, std::nullopt, {}, URLError(kURLErrorCancelled, currentRequest().url()));
}

// ---- Session ----

URLSession::URLSession(URLSessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate,
                       URLSessionDelegateQueue delegateQueue, bool shared)
    : configuration_(std::move(configuration)), delegateQueue_(std::move(delegateQueue)) {
  URLSessionDelegateQueue queue = delegateQueue_;
  if (queue.empty()) {
    auto own = OperationQueue::create("NSOperationQueue for URLSession");
    own->setMaxConcurrentOperationCount(1);
    queue = URLSessionDelegateQueue(own);
  }
  core_ = std::make_unique<Core>(shared, std::move(queue));
  core_->delegate = std::move(delegate);
}

URLSession::~URLSession() = default;

std::shared_ptr<URLSession> URLSession::sharedSession() {
  static auto& shared = *new std::shared_ptr<URLSession>([] {  // never destroyed
    std::shared_ptr<URLSession> s(new URLSession(URLSessionConfiguration::defaultSessionConfiguration(), nullptr,
                                                 nullptr, true));
    s->core_->self = s;
    return s;
  }());
  return shared;
}

std::shared_ptr<URLSession> URLSession::sessionWithConfiguration(URLSessionConfiguration configuration) {
  return sessionWithConfiguration(std::move(configuration), nullptr, nullptr);
}

std::shared_ptr<URLSession> URLSession::sessionWithConfiguration(URLSessionConfiguration configuration,
                                                                 std::shared_ptr<URLSessionDelegate> delegate,
                                                                 URLSessionDelegateQueue delegateQueue) {
  std::shared_ptr<URLSession> s(
      new URLSession(std::move(configuration), std::move(delegate), std::move(delegateQueue), false));
  s->core_->self = s;
  return s;
}

std::shared_ptr<URLSessionDelegate> URLSession::delegate() const { return core_->currentDelegate(); }

bool URLSession::isInvalidated() const {
  std::lock_guard lock(core_->mutex);
  return core_->invalidated;
}

template <class Task>
std::shared_ptr<Task> URLSession::makeTask(URLSessionTask::Kind kind, const URLRequest& request) {
  if (gTaskCreationFails || isInvalidated()) return nullptr;
  return std::shared_ptr<Task>(new Task(kind, shared_from_this(), request));
}

std::shared_ptr<URLSessionDataTask> URLSession::dataTaskWithRequest(const URLRequest& request,
                                                                    URLSessionDataCompletionHandler completionHandler) {
  auto task = makeTask<URLSessionDataTask>(URLSessionTask::Kind::Data, request);
  if (task) task->core_->dataHandler = std::move(completionHandler);
  return task;
}

std::shared_ptr<URLSessionDataTask> URLSession::dataTaskWithURL(const URL& url,
                                                                URLSessionDataCompletionHandler completionHandler) {
  return dataTaskWithRequest(
      URLRequest(url, configuration_.requestCachePolicy(), configuration_.timeoutIntervalForRequest()),
      std::move(completionHandler));
}

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithRequest(
    const URLRequest& request, const Data& bodyData, URLSessionDataCompletionHandler completionHandler) {
  auto task = makeTask<URLSessionUploadTask>(URLSessionTask::Kind::Upload, request);
  if (!task) return nullptr;
  task->core_->uploadData = bodyData;
  task->core_->dataHandler = std::move(completionHandler);
  return task;
}

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithRequest(
    const URLRequest& request, const URL& fileURL, URLSessionDataCompletionHandler completionHandler) {
  auto task = makeTask<URLSessionUploadTask>(URLSessionTask::Kind::Upload, request);
  if (!task) return nullptr;
  task->core_->uploadFile = fileURL.path();
  task->core_->dataHandler = std::move(completionHandler);
  return task;
}

std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTaskWithRequest(
    const URLRequest& request, URLSessionDownloadCompletionHandler completionHandler) {
  auto task = makeTask<URLSessionDownloadTask>(URLSessionTask::Kind::Download, request);
  if (task) task->core_->downloadHandler = std::move(completionHandler);
  return task;
}

void URLSession::finishTasksAndInvalidate() {
  if (core_->shared) return;
  bool tell = false;
  {
    std::lock_guard lock(core_->mutex);
    if (core_->invalidated) return;
    core_->invalidated = true;
    tell = core_->running.empty() && !core_->invalidationTold;
    if (tell) core_->invalidationTold = true;
  }
  if (tell) core_->tellInvalidated();
}

void URLSession::invalidateAndCancel() {
  if (core_->shared) return;
  std::set<std::shared_ptr<URLSessionTask>> running;
  {
    std::lock_guard lock(core_->mutex);
    running = core_->running;
  }
  finishTasksAndInvalidate();
  for (const auto& task : running) task->cancel();
}

}  // namespace os
