#include "platform/utilities/logger.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>

#include "os/dispatch/queue.h"
#include "os/foundation/system_log.h"
#include "platform/utilities/app_environment.h"

namespace {

struct LoggerState {
  std::atomic<long> maxLevel{static_cast<long>(DAZLoggerLevel::Notice)};
  std::atomic<bool> forcedDebug{false};
  std::mutex versionMutex;
  std::string version;  // guarded by versionMutex
  std::shared_ptr<os::DispatchQueue> queue;
  // subsystem -> category -> system log; touched only on `queue`.
  std::map<std::string, std::map<std::string, std::shared_ptr<os::Log>>> logs;
};

os::OnceFlag gLoggerOnce;
// Never destroyed: lines may still be queued while the process exits.
LoggerState* gLogger = nullptr;

void DAZLoggerInitializeOnce() {
  gLogger = new LoggerState();
  gLogger->queue = os::DispatchQueue::create(kDAZLoggingQueueLabel, os::DispatchQueue::Attributes::Serial,
                                             os::QualityOfService::Unspecified,
                                             os::DispatchQueue::global(os::QualityOfService::Background));
}

LoggerState& state() {
  DAZLoggerInitialize();
  return *gLogger;
}

os::LogType logTypeForLevel(long level) {
  switch (level) {
    case 4:
    case 5:
      return os::LogType::Default;
    case 6:
      return os::LogType::Info;
    case 7:
      return os::LogType::Debug;
    default:
      return os::LogType::Error;
  }
}

}  // namespace

void DAZLoggerInitialize() { os::once(gLoggerOnce, DAZLoggerInitializeOnce); }

void DAZLoggerForceDebug() {
  if (DAZAppEnvironmentUtil::isFromAppStore()) return;
  state().forcedDebug.store(true);
  DAZSetLoggerLevel(DAZLoggerLevel::Debug);
}

void DAZSetLoggerLevel(DAZLoggerLevel loggerLevel) {
  if (loggerLevel < DAZLoggerLevelMin || loggerLevel > DAZLoggerLevelMax) {
    DAZLogError(kDAZLoggerSubsystem, kDAZLoggerCategory, true, kDAZLoggerMessageCodeInvalidLevel,
                "Invalid logger level, %ld", static_cast<long>(loggerLevel));
    return;
  }
  LoggerState& s = state();
  // A store build may lower the level to error or warning, never raise it.
  if (loggerLevel >= DAZLoggerLevel::Notice && DAZAppEnvironmentUtil::isFromAppStore()) return;
  s.maxLevel.store(static_cast<long>(loggerLevel));
}

bool DAZIsLoggableLevel(DAZLoggerLevel loggerLevel) {
  const LoggerState& s = state();
  return s.forcedDebug.load() || static_cast<long>(loggerLevel) <= s.maxLevel.load();
}

void DAZLoggerRegisterVersion(std::string version) {
  LoggerState& s = state();
  std::lock_guard lock(s.versionMutex);
  s.version = std::move(version);
}

bool daz_detail::loggerAccepts(DAZLoggerLevel level, bool forceLog) {
  const LoggerState& s = state();
  return forceLog || s.forcedDebug.load(std::memory_order_relaxed) ||
         static_cast<long>(level) <= s.maxLevel.load(std::memory_order_relaxed);
}

void DAZLogBasic(DAZLoggerLevel level, std::string_view subsystem, std::string_view category, bool forceLog,
                 std::string_view messageCode, std::string_view message, DAZLogArguments args) {
  if (!daz_detail::loggerAccepts(level, forceLog)) return;
  LoggerState& s = state();

  const std::string text = args.has_value() ? os::formatv(message, *args) : std::string(message);
  std::string line;
  {
    std::lock_guard lock(s.versionMutex);
    line.reserve(s.version.size() + category.size() + messageCode.size() + text.size() + 6);
    line += s.version;
  }
  line += " - ";
  line += category;
  line += '[';
  line += messageCode;
  line += "] ";
  line += text;

  s.queue->async([&s, subsystem = std::string(subsystem), category = std::string(category), line = std::move(line),
                  level = static_cast<long>(level)] {
    std::shared_ptr<os::Log>& log = s.logs[subsystem][category];
    if (!log) log = os::Log::create(subsystem, category);
    const os::LogType type = logTypeForLevel(level);
    if (log->isEnabled(type)) log->write(type, line);
  });
}

void DAZLoggerWrapper::logWithLevel(DAZLoggerLevel level, std::string_view subsystem, std::string_view category,
                                    std::string_view messageCode, std::string_view message,
                                    DAZLogArguments arguments) {
  DAZLogBasic(level, subsystem, category, false, messageCode, message, arguments);
}

void DAZLoggerWrapper::logWithLevel(DAZLoggerLevel level, std::string_view service, std::string_view code,
                                    std::string_view message, DAZLogArguments args) {
  DAZLogBasic(level, kDAZLoggerSubsystem, service, false, code, message, args);
}

void DAZLoggerTEST_flush() {
  state().queue->sync([] {});
}

void DAZLoggerTEST_reset() {
  LoggerState& s = state();
  s.maxLevel.store(static_cast<long>(DAZLoggerLevel::Notice));
  s.forcedDebug.store(false);
  std::lock_guard lock(s.versionMutex);
  s.version.clear();
}
