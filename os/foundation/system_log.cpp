#include "os/foundation/system_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <map>

#include "os/foundation/clock.h"

namespace os {
namespace {

struct LogState {
  std::mutex mutex;  // guards logs, sinks, nextToken
  std::map<std::pair<std::string, std::string>, std::shared_ptr<Log>> logs;
  std::map<uint64_t, Log::Sink> sinks;
  uint64_t nextToken = 1;
  std::atomic<bool> infoEnabled{false};
  std::atomic<bool> debugEnabled{false};
  std::atomic<int> captures{0};
  std::atomic<bool> stderrEnabled{true};
  std::recursive_mutex outputMutex;  // orders lines across outputs; guards fileFd
  int fileFd = -1;
};

LogState& state() {
  static LogState* s = new LogState();  // never destroyed: logging may run during exit
  return *s;
}

std::string processName() {
  // Never destroyed, as the log state: lines are written during exit.
  static const std::string& name = *new std::string([] {
    char buf[256];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return std::string("drosil");
    std::string path(buf, size_t(n));
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
  }());
  return name;
}

void writeAll(int fd, const std::string& text) {
  size_t off = 0;
  while (off < text.size()) {
    ssize_t n = ::write(fd, text.data() + off, text.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    off += size_t(n);
  }
}

}  // namespace

const char* logTypeName(LogType type) {
  switch (type) {
    case LogType::Default: return "Default";
    case LogType::Info: return "Info";
    case LogType::Debug: return "Debug";
    case LogType::Error: return "Error";
    case LogType::Fault: return "Fault";
  }
  return "Default";
}

std::shared_ptr<Log> Log::create(const std::string& subsystem, const std::string& category) {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  auto& slot = s.logs[{subsystem, category}];
  if (!slot) slot = std::make_shared<Log>(subsystem, category);
  return slot;
}

std::shared_ptr<Log> Log::defaultLog() { return create("", ""); }

bool Log::isEnabled(LogType type) const {
  auto& s = state();
  if (s.captures.load() > 0) return true;
  switch (type) {
    case LogType::Info: return s.infoEnabled.load();
    case LogType::Debug: return s.debugEnabled.load();
    default: return true;
  }
}

void Log::setTypeEnabled(LogType type, bool enabled) {
  auto& s = state();
  if (type == LogType::Info) s.infoEnabled = enabled;
  if (type == LogType::Debug) s.debugEnabled = enabled;
  // Default, error and fault lines cannot be switched off, as on the platform.
}

void Log::setStandardErrorEnabled(bool enabled) { state().stderrEnabled = enabled; }

bool Log::setOutputFile(const std::string& path) {
  auto& s = state();
  std::lock_guard lock(s.outputMutex);
  if (s.fileFd >= 0) ::close(s.fileFd);
  s.fileFd = -1;
  if (path.empty()) return true;
  s.fileFd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  return s.fileFd >= 0;
}

uint64_t Log::addSink(Sink sink) {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  uint64_t token = s.nextToken++;
  s.sinks[token] = std::move(sink);
  return token;
}

void Log::removeSink(uint64_t token) {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  s.sinks.erase(token);
}

std::string Log::formatLine(const LogRecord& r) {
  double secs = std::floor(r.timestamp);
  time_t t = static_cast<time_t>(secs);
  int millis = static_cast<int>((r.timestamp - secs) * 1000.0);
  struct tm tm {};
  localtime_r(&t, &tm);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, millis);
  return std::string(stamp) + " " + processName() + "[" + std::to_string(getpid()) + "] " +
         logTypeName(r.type) + " [" + r.subsystem + ":" + r.category + "] " + r.message;
}

void Log::write(LogType type, const std::string& message) const {
  if (!isEnabled(type)) return;
  LogRecord record{subsystem_, category_, type, message, Clock::current().wallTime()};
  auto& s = state();
  std::vector<Sink> sinks;
  {
    std::lock_guard lock(s.mutex);
    sinks.reserve(s.sinks.size());
    for (auto& [token, sink] : s.sinks) sinks.push_back(sink);
  }
  std::lock_guard out(s.outputMutex);
  if (s.stderrEnabled.load() || s.fileFd >= 0) {
    std::string line = formatLine(record) + "\n";
    if (s.stderrEnabled.load()) writeAll(STDERR_FILENO, line);
    if (s.fileFd >= 0) writeAll(s.fileFd, line);
  }
  for (auto& sink : sinks) sink(record);
}

LogCapture::LogCapture() {
  state().captures.fetch_add(1);
  token_ = Log::addSink([store = store_](const LogRecord& r) {
    std::lock_guard lock(store->mutex);
    store->records.push_back(r);
  });
}

LogCapture::~LogCapture() {
  Log::removeSink(token_);
  state().captures.fetch_sub(1);
}

std::vector<LogRecord> LogCapture::records() const {
  std::lock_guard lock(store_->mutex);
  return store_->records;
}

std::vector<LogRecord> LogCapture::recordsContaining(const std::string& text) const {
  std::lock_guard lock(store_->mutex);
  std::vector<LogRecord> out;
  for (auto& r : store_->records)
    if (r.message.find(text) != std::string::npos) out.push_back(r);
  return out;
}

void LogCapture::clear() {
  std::lock_guard lock(store_->mutex);
  store_->records.clear();
}

}  // namespace os
