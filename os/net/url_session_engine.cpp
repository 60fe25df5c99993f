// The transfer engine of the URL sessions (see url_session_core.h).
#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <thread>

#include "os/foundation/file_manager.h"
#include "os/net/url_session_core.h"

namespace os::net::detail {
namespace {

constexpr const char* kDownloadFileTemplate = "CFNetworkDownload_XXXXXX.tmp";
constexpr int kDownloadFileSuffixLength = 4;  // ".tmp"

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

// Names under the reserved top-level domain "invalid" never resolve: they
// fail at once, without a resolver round trip that a lost datagram can
// stretch to seconds.
bool isReservedInvalidHost(std::string host) {
  if (host.ends_with('.')) host.pop_back();
  for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return host == "invalid" || host.ends_with(".invalid");
}

bool isRedirectStatus(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

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

    if (isReservedInvalidHost(request.url().host())) {
      Error error = URLError(kURLErrorCannotFindHost, request.url());
      error.userInfo()[kDebugDescriptionErrorKey] = "Could not resolve host: " + request.url().host();
      URLSessionTask::Core::finish(task, std::nullopt, std::nullopt, {}, std::move(error));
      return;
    }

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

}  // namespace

double steadyNow() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void startTransfer(std::shared_ptr<URLSessionTask> task, URLRequest request) {
  Engine::shared().start(std::move(task), std::move(request));
}

void cancelTransfers(std::shared_ptr<URLSessionTask> task) { Engine::shared().cancel(std::move(task)); }

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

}  // namespace os::net::detail
