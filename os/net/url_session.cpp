#include "os/net/url_session.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <thread>

#include "os/foundation/file_manager.h"

namespace os {
namespace {

std::atomic<uint64_t> gNextTaskIdentifier{1};
std::atomic<bool> gTaskCreationFails{false};

constexpr int kMaximumRedirects = 16;
constexpr const char* kDownloadFileTemplate = "CFNetworkDownload_XXXXXX.tmp";
constexpr int kDownloadFileSuffixLength = 4;  // ".tmp"

double steadyNow() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

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

int64_t codeForCurlResult(CURLcode result, long osErrno) {
  switch (result) {
    case CURLE_UNSUPPORTED_PROTOCOL: return kURLErrorUnsupportedURL;
    case CURLE_URL_MALFORMAT: return kURLErrorBadURL;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return kURLErrorCannotFindHost;
    case CURLE_COULDNT_CONNECT:
      return (osErrno == ENETUNREACH || osErrno == ENETDOWN) ? kURLErrorNotConnectedToInternet
                                                             : kURLErrorCannotConnectToHost;
    case CURLE_OPERATION_TIMEDOUT: return kURLErrorTimedOut;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING: return kURLErrorNetworkConnectionLost;
    case CURLE_SSL_CONNECT_ERROR: return kURLErrorSecureConnectionFailed;
    case CURLE_PEER_FAILED_VERIFICATION: return kURLErrorServerCertificateUntrusted;
    case CURLE_TOO_MANY_REDIRECTS: return kURLErrorHTTPTooManyRedirects;
    case CURLE_WRITE_ERROR: return kURLErrorCannotWriteToFile;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING: return kURLErrorBadServerResponse;
    default: return kURLErrorUnknown;
  }
}

bool isRedirectStatus(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
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

// ---- Session core ----

struct URLSession::Core {
  std::weak_ptr<URLSession> self;
  const bool shared;
  URLSessionDelegateQueue queue;  // never empty

  std::mutex mutex;
  std::shared_ptr<URLSessionDelegate> delegate;               // guarded by mutex
  bool invalidated = false;                                   // guarded by mutex
  bool invalidationTold = false;                              // guarded by mutex
  std::set<std::shared_ptr<URLSessionTask>> running;          // guarded by mutex

  // Delivery: blocks run one at a time, in order, on `queue`.
  std::mutex pumpMutex;
  std::deque<DispatchBlock> pending;  // guarded by pumpMutex
  bool pumping = false;               // guarded by pumpMutex

  Core(bool isShared, URLSessionDelegateQueue q) : shared(isShared), queue(std::move(q)) {}

  std::shared_ptr<URLSessionDelegate> currentDelegate() {
    std::lock_guard lock(mutex);
    return delegate;
  }

  void deliver(DispatchBlock block) {
    auto session = self.lock();
    if (!session) return;
    {
      std::lock_guard lock(pumpMutex);
      pending.push_back(std::move(block));
      if (pumping) return;
      pumping = true;
    }
    queue.async([session] { session->core().pump(); });
  }

  void pump() {
    for (;;) {
      DispatchBlock block;
      {
        std::lock_guard lock(pumpMutex);
        if (pending.empty()) {
          pumping = false;
          return;
        }
        block = std::move(pending.front());
        pending.pop_front();
      }
      block();
    }
  }

  void taskStarted(const std::shared_ptr<URLSessionTask>& task) {
    std::lock_guard lock(mutex);
    running.insert(task);
  }

  void taskFinished(const std::shared_ptr<URLSessionTask>& task) {
    bool tell = false;
    {
      std::lock_guard lock(mutex);
      running.erase(task);
      tell = invalidated && running.empty() && !invalidationTold;
      if (tell) invalidationTold = true;
    }
    if (tell) tellInvalidated();
  }

  void tellInvalidated() {
    deliver([this, session = self.lock()] {
      std::shared_ptr<URLSessionDelegate> d = currentDelegate();
      if (d) d->URLSessionDidBecomeInvalidWithError(*session, std::nullopt);
      std::lock_guard lock(mutex);
      delegate.reset();
    });
  }
};

// ---- Task core ----

struct URLSessionTask::Core {
  mutable std::mutex mutex;
  std::shared_ptr<URLSession> session;          // guarded by mutex; dropped at completion
  State state = State::Suspended;               // guarded by mutex
  URLRequest currentRequest;                    // guarded by mutex
  std::optional<HTTPURLResponse> response;      // guarded by mutex
  std::optional<Error> error;                   // guarded by mutex
  bool completed = false;                       // guarded by mutex
  std::atomic<int64_t> bytesReceived{0};
  double startedAt = 0;                         // set at resume, before the engine sees the task
  int redirects = 0;                            // guarded by mutex
  bool bodyDropped = false;                     // guarded by mutex
  // Held from resume until the outcome has been handed to the delivery
  // queue: a transfer in flight is work that virtual time waits for.
  std::unique_ptr<dispatch::OutsideWork> inFlight;  // guarded by mutex

  // Fixed when the task is made.
  std::optional<Data> uploadData;
  std::optional<std::string> uploadFile;
  URLSessionDataCompletionHandler dataHandler;
  URLSessionDownloadCompletionHandler downloadHandler;

  Core(std::shared_ptr<URLSession> s, URLRequest request) : session(std::move(s)), currentRequest(std::move(request)) {}

  bool hasHandler() const { return dataHandler != nullptr || downloadHandler != nullptr; }
  bool isCompleted() const {
    std::lock_guard lock(mutex);
    return completed;
  }
  std::shared_ptr<URLSession> currentSession() const {
    std::lock_guard lock(mutex);
    return session;
  }

  static Core& of(URLSessionTask& task) { return *task.core_; }

  static void setResponse(URLSessionTask& task, HTTPURLResponse response) {
    std::lock_guard lock(task.core_->mutex);
    task.core_->response = std::move(response);
  }

  // Completes the task once: records the outcome and delivers it. A download
  // that completed without error gets its body as a file at `downloadPath`
  // (written from `body` when no file was made); the file is removed after
  // the delivery.
  static void finish(const std::shared_ptr<URLSessionTask>& task, std::optional<HTTPURLResponse> response,
                     std::optional<Data> body, std::string downloadPath, std::optional<Error> error);

  // A redirect answer arrived: asks the delegate whether to follow.
  static void redirect(const std::shared_ptr<URLSessionTask>& task, HTTPURLResponse response, URLRequest newRequest,
                       bool dropsBody, Data body);
};

// ---- Engine ----

namespace {

class Engine;

// One HTTP exchange of a task; lives on the engine thread only.
struct Attempt {
  CURLM* multi = nullptr;
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  char errorBuffer[CURL_ERROR_SIZE] = {};
  std::shared_ptr<URLSessionTask> task;
  URLRequest request{URL()};

  int status = 0;
  HTTPHeaderFields responseHeaders;
  bool headersDone = false;
  bool redirectCandidate = false;
  bool buffering = false;  // body kept in memory (handler, or a redirect answer)
  Data body;

  std::string downloadPath;  // removed with the attempt unless handed on
  FILE* downloadFile = nullptr;

  std::optional<Data> uploadData;
  size_t uploadOffset = 0;
  int uploadFd = -1;

  double lastActivity = 0;
  double idleTimeout = 0;
  double resourceTimeout = 0;

  ~Attempt() {
    if (easy) {
      if (multi) curl_multi_remove_handle(multi, easy);
      curl_easy_cleanup(easy);
    }
    if (headers) curl_slist_free_all(headers);
    if (downloadFile) fclose(downloadFile);
    if (!downloadPath.empty()) unlink(downloadPath.c_str());
    if (uploadFd >= 0) close(uploadFd);
  }
};

std::string makeDownloadFile(FILE** file) {
  std::string dir = FileManager::defaultManager().temporaryDirectory();
  if (!dir.ends_with('/')) dir += '/';
  FileManager::defaultManager().createDirectoryAtPath(dir, true);
  std::string path = dir + kDownloadFileTemplate;
  int fd = mkstemps(path.data(), kDownloadFileSuffixLength);
  if (fd < 0) return {};
  *file = fdopen(fd, "wb");
  if (!*file) {
    close(fd);
    unlink(path.c_str());
    return {};
  }
  return path;
}

class Engine {
 public:
  static Engine& shared() {
    static Engine engine;
    return engine;
  }

  void start(std::shared_ptr<URLSessionTask> task, URLRequest request) {
    post(Command{Command::Kind::Start, std::move(task), std::move(request)});
  }
  void cancel(std::shared_ptr<URLSessionTask> task) {
    post(Command{Command::Kind::Cancel, std::move(task), std::nullopt});
  }

 private:
  struct Command {
    enum class Kind { Start, Cancel } kind;
    std::shared_ptr<URLSessionTask> task;
    std::optional<URLRequest> request;
  };

  Engine() {
    // The queues callbacks go to must outlive the engine at exit: make them
    // before it, so they are destroyed after it.
    DispatchQueue::global();
    OperationQueue::mainQueue();
    curl_global_init(CURL_GLOBAL_DEFAULT);
    multi_ = curl_multi_init();
    curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, 6L);
    curl_multi_setopt(multi_, CURLMOPT_MAX_TOTAL_CONNECTIONS, 32L);
    thread_ = std::thread([this] { run(); });
  }

  ~Engine() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    curl_multi_wakeup(multi_);
    if (thread_.joinable()) thread_.join();
    curl_multi_cleanup(multi_);
  }

  void post(Command command) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      commands_.push_back(std::move(command));
    }
    curl_multi_wakeup(multi_);
  }

  void run() {
    for (;;) {
      std::deque<Command> commands;
      {
        std::lock_guard lock(mutex_);
        if (stopping_) break;
        commands.swap(commands_);
      }
      for (Command& c : commands) {
        if (c.kind == Command::Kind::Start) {
          startAttempt(std::move(c.task), std::move(*c.request));
        } else {
          cancelAttempts(c.task);
        }
      }
      int running = 0;
      curl_multi_perform(multi_, &running);
      int left = 0;
      while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
        if (message->msg == CURLMSG_DONE) finishAttempt(message->easy_handle, message->data.result);
      }
      checkTimeouts();
      curl_multi_poll(multi_, nullptr, 0, attempts_.empty() ? 1000 : 20, nullptr);
    }
    // Stopping: transfers are dropped without callbacks.
    attempts_.clear();
  }

  void fail(std::unique_ptr<Attempt> attempt, int64_t code) {
    auto task = attempt->task;
    URL url = attempt->request.url();
    attempt.reset();
    URLSessionTask::Core::finish(task, std::nullopt, std::nullopt, {}, URLError(code, url));
  }

  void startAttempt(std::shared_ptr<URLSessionTask> task, URLRequest request) {
    auto& core = URLSessionTask::Core::of(*task);
    auto session = core.currentSession();
    if (core.isCompleted() || !session) return;

    auto a = std::make_unique<Attempt>();
    a->task = task;
    a->request = request;
    a->lastActivity = steadyNow();
    const URLSessionConfiguration& config = session->configuration();
    a->idleTimeout = request.timeoutInterval() > 0 ? request.timeoutInterval() : config.timeoutIntervalForRequest();
    a->resourceTimeout = config.timeoutIntervalForResource();

    bool bodyDropped;
    {
      std::lock_guard lock(core.mutex);
      bodyDropped = core.bodyDropped;
    }
    std::optional<long long> bodyLength;
    if (!bodyDropped && core.uploadFile) {
      a->uploadFd = open(core.uploadFile->c_str(), O_RDONLY | O_CLOEXEC);
      struct stat st {};
      if (a->uploadFd < 0 || fstat(a->uploadFd, &st) != 0) return fail(std::move(a), kURLErrorFileDoesNotExist);
      bodyLength = st.st_size;
    } else if (!bodyDropped && core.uploadData) {
      a->uploadData = core.uploadData;
    } else if (request.HTTPBody()) {
      a->uploadData = request.HTTPBody();
    }
    if (a->uploadData) bodyLength = static_cast<long long>(a->uploadData->size());

    if (task->kind() == URLSessionTask::Kind::Download) {
      a->downloadPath = makeDownloadFile(&a->downloadFile);
      if (a->downloadPath.empty()) return fail(std::move(a), kURLErrorCannotCreateFile);
    }

    CURL* easy = curl_easy_init();
    if (!easy) return fail(std::move(a), kURLErrorUnknown);
    a->easy = easy;
    Attempt* raw = a.get();
    curl_easy_setopt(easy, CURLOPT_URL, request.url().absoluteString().c_str());
    curl_easy_setopt(easy, CURLOPT_PRIVATE, raw);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, raw->errorBuffer);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Engine::onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, raw);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Engine::onWrite);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, raw);
    if (a->idleTimeout > 0) {
      curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(a->idleTimeout * 1000));
    }

    const std::string& method = request.HTTPMethod();
    if (bodyLength) {
      curl_easy_setopt(easy, CURLOPT_POST, 1L);
      curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(*bodyLength));
      curl_easy_setopt(easy, CURLOPT_READFUNCTION, &Engine::onRead);
      curl_easy_setopt(easy, CURLOPT_READDATA, raw);
      curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &Engine::onSeek);
      curl_easy_setopt(easy, CURLOPT_SEEKDATA, raw);
      if (method != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
    } else if (method == "HEAD") {
      curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    } else if (method == "GET") {
      curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    } else {
      curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
    }

    HTTPHeaderFields headers = config.HTTPAdditionalHeaders();
    for (const auto& [name, value] : request.allHTTPHeaderFields().fields()) headers.setValue(value, name);
    if (!headers.valueForHTTPHeaderField("Expect")) headers.setValue("", "Expect");
    for (const auto& [name, value] : headers.fields()) {
      // "Name;" sends a header with an empty value; "Name:" would remove it.
      std::string line = value.empty() && name != "Expect" ? name + ";" : name + ": " + value;
      raw->headers = curl_slist_append(raw->headers, line.c_str());
    }
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, raw->headers);

    if (curl_multi_add_handle(multi_, easy) != CURLM_OK) return fail(std::move(a), kURLErrorUnknown);
    a->multi = multi_;
    attempts_.emplace(easy, std::move(a));
  }

  void cancelAttempts(const std::shared_ptr<URLSessionTask>& task) {
    for (auto it = attempts_.begin(); it != attempts_.end();) {
      if (it->second->task == task) {
        it = attempts_.erase(it);
      } else {
        ++it;
      }
    }
  }

  static HTTPURLResponse responseOf(const Attempt& a) {
    return HTTPURLResponse(a.request.url(), a.status, a.responseHeaders);
  }

  static void headersComplete(Attempt& a) {
    a.headersDone = true;
    URLSessionTask::Core::setResponse(*a.task, responseOf(a));
    a.redirectCandidate = isRedirectStatus(a.status) && a.responseHeaders.valueForHTTPHeaderField("Location");
    const bool download = a.task->kind() == URLSessionTask::Kind::Download;
    a.buffering = a.redirectCandidate || (!download && URLSessionTask::Core::of(*a.task).hasHandler());
  }

  static size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto& a = *static_cast<Attempt*>(user);
    const size_t length = size * count;
    a.lastActivity = steadyNow();
    std::string_view line(data, length);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
    if (line.starts_with("HTTP/")) {
      // A new status line: an interim (1xx) answer ended, or a new one began.
      a.responseHeaders = HTTPHeaderFields();
      a.headersDone = false;
      auto space = line.find(' ');
      a.status = space == std::string_view::npos ? 0 : std::atoi(std::string(line.substr(space + 1, 3)).c_str());
      return length;
    }
    if (line.empty()) {
      if (a.status >= 200) headersComplete(a);
      return length;
    }
    auto colon = line.find(':');
    if (colon == std::string_view::npos) return length;
    std::string_view name = line.substr(0, colon);
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    a.responseHeaders.addValue(value, name);
    return length;
  }

  static size_t onWrite(char* data, size_t size, size_t count, void* user) {
    auto& a = *static_cast<Attempt*>(user);
    const size_t length = size * count;
    a.lastActivity = steadyNow();
    if (!a.headersDone) headersComplete(a);
    URLSessionTask::Core::of(*a.task).bytesReceived += static_cast<int64_t>(length);
    if (a.buffering) {
      a.body.append(data, length);
    } else if (a.downloadFile) {
      if (fwrite(data, 1, length, a.downloadFile) != length) return 0;
    } else {
      auto session = URLSessionTask::Core::of(*a.task).currentSession();
      if (!session) return length;
      auto delegate = session->core().currentDelegate();
      if (!delegate) return length;
      auto task = std::static_pointer_cast<URLSessionDataTask>(a.task);
      session->core().deliver([session, task, delegate, chunk = Data(data, length)] {
        delegate->URLSessionDataTaskDidReceiveData(*session, *task, chunk);
      });
    }
    return length;
  }

  static size_t onRead(char* buffer, size_t size, size_t count, void* user) {
    auto& a = *static_cast<Attempt*>(user);
    const size_t capacity = size * count;
    a.lastActivity = steadyNow();
    if (a.uploadFd >= 0) {
      ssize_t n = read(a.uploadFd, buffer, capacity);
      return n < 0 ? CURL_READFUNC_ABORT : static_cast<size_t>(n);
    }
    if (!a.uploadData) return 0;
    size_t n = std::min(capacity, a.uploadData->size() - a.uploadOffset);
    std::copy_n(a.uploadData->bytes() + a.uploadOffset, n, buffer);
    a.uploadOffset += n;
    return n;
  }

  static int onSeek(void* user, curl_off_t offset, int origin) {
    auto& a = *static_cast<Attempt*>(user);
    if (origin != SEEK_SET || offset < 0) return CURL_SEEKFUNC_CANTSEEK;
    if (a.uploadFd >= 0) return lseek(a.uploadFd, offset, SEEK_SET) < 0 ? CURL_SEEKFUNC_FAIL : CURL_SEEKFUNC_OK;
    if (!a.uploadData || static_cast<size_t>(offset) > a.uploadData->size()) return CURL_SEEKFUNC_FAIL;
    a.uploadOffset = static_cast<size_t>(offset);
    return CURL_SEEKFUNC_OK;
  }

  void finishAttempt(CURL* easy, CURLcode result) {
    auto node = attempts_.extract(easy);
    if (node.empty()) return;
    std::unique_ptr<Attempt> a = std::move(node.mapped());
    auto task = a->task;
    if (URLSessionTask::Core::of(*task).isCompleted()) return;
    if (a->downloadFile) {
      if (fclose(a->downloadFile) != 0 && result == CURLE_OK) result = CURLE_WRITE_ERROR;
      a->downloadFile = nullptr;
    }

    if (result != CURLE_OK) {
      long osErrno = 0;
      curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &osErrno);
      Error error = URLError(codeForCurlResult(result, osErrno), a->request.url());
      if (a->errorBuffer[0]) error.userInfo()[kDebugDescriptionErrorKey] = std::string(a->errorBuffer);
      // The response stays with the error: an answer that broke off is both.
      std::optional<HTTPURLResponse> response;
      if (a->headersDone) response = responseOf(*a);
      a.reset();
      URLSessionTask::Core::finish(task, std::move(response), std::nullopt, {}, std::move(error));
      return;
    }
    if (!a->headersDone) {
      URL url = a->request.url();
      a.reset();
      URLSessionTask::Core::finish(task, std::nullopt, std::nullopt, {}, URLError(kURLErrorBadServerResponse, url));
      return;
    }

    HTTPURLResponse response = responseOf(*a);
    if (a->redirectCandidate) {
      char* location = nullptr;
      curl_easy_getinfo(easy, CURLINFO_REDIRECT_URL, &location);
      std::optional<URL> target = location ? URL::URLWithString(location) : std::nullopt;
      if (target && !target->empty()) {
        URLRequest next = a->request;
        next.setURL(*target);
        const std::string& method = a->request.HTTPMethod();
        const bool toGet = (a->status == 303 && method != "HEAD") ||
                           ((a->status == 301 || a->status == 302) && method == "POST");
        if (toGet) {
          next.setHTTPMethod("GET");
          next.setHTTPBody(std::nullopt);
          next.setValue(std::nullopt, "Content-Type");
          next.setValue(std::nullopt, "Content-Length");
          next.setValue(std::nullopt, "Content-Encoding");
        }
        Data body = std::move(a->body);
        a.reset();
        URLSessionTask::Core::redirect(task, std::move(response), std::move(next), toGet, std::move(body));
        return;
      }
    }

    std::optional<Data> body;
    if (a->buffering) body = std::move(a->body);
    std::string path = std::move(a->downloadPath);
    a->downloadPath.clear();
    a.reset();
    URLSessionTask::Core::finish(task, std::move(response), std::move(body), std::move(path), std::nullopt);
  }

  void checkTimeouts() {
    const double now = steadyNow();
    for (auto it = attempts_.begin(); it != attempts_.end();) {
      Attempt& a = *it->second;
      const double started = URLSessionTask::Core::of(*a.task).startedAt;
      const bool idle = a.idleTimeout > 0 && now - a.lastActivity > a.idleTimeout;
      const bool tooLong = a.resourceTimeout > 0 && now - started > a.resourceTimeout;
      if (!idle && !tooLong) {
        ++it;
        continue;
      }
      std::unique_ptr<Attempt> attempt = std::move(it->second);
      it = attempts_.erase(it);
      std::optional<HTTPURLResponse> response;
      if (attempt->headersDone) response = responseOf(*attempt);
      auto task = attempt->task;
      URL url = attempt->request.url();
      attempt.reset();
      URLSessionTask::Core::finish(task, std::move(response), std::nullopt, {}, URLError(kURLErrorTimedOut, url));
    }
  }

  std::mutex mutex_;
  std::deque<Command> commands_;  // guarded by mutex_
  bool stopping_ = false;         // guarded by mutex_
  CURLM* multi_ = nullptr;
  std::thread thread_;
  std::map<CURL*, std::unique_ptr<Attempt>> attempts_;  // engine thread only
};

std::string writeDownloadFile(const Data& body) {
  FILE* file = nullptr;
  std::string path = makeDownloadFile(&file);
  if (path.empty()) return {};
  bool ok = body.empty() || fwrite(body.bytes(), 1, body.size(), file) == body.size();
  if (fclose(file) != 0) ok = false;
  if (!ok) {
    unlink(path.c_str());
    return {};
  }
  return path;
}

}  // namespace

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
    downloadPath = writeDownloadFile(body.value_or(Data()));
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
            Engine::shared().start(task, std::move(*request));
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
    core_->startedAt = steadyNow();
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
    Engine::shared().start(self, std::move(request));
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
          Engine::shared().start(self, request);
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
  Engine::shared().cancel(self);
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
