// APMMonitor: the measurement library's logger, and its sampled health
// record.
//
// Every call site logs with a level (0..8), a numeric message code, a text
// and any number of context objects. Per level the monitor decides whether
// the line is printed (through its APMLogging sink, at the platform logger's
// level for it) and whether it is monitorable (fed into the sampled record):
//
//   level  name       silent  monitorable  platform level  letter
//   0      ERROR      no      no           error          E
//   1      ERROR      no      yes          error          E
//   2      ERROR      yes     yes          error          E
//   3      WARNING    no      no           warning        W
//   4      WARNING    no      yes          warning        W
//   5      WARNING    yes     yes          warning        W
//   6      NOTICE     no      no           notice         ?
//   7      DEBUG      no      no           debug          ?
//   8      (none)     no      no           debug          ?
//   other  (none)     yes     yes          warning        ?
//
// Levels are looked up as unsigned, so a negative level falls in the last
// row; level 8 and above (compared signed) are dropped unless verbose
// logging is on.
//
// The sampled record keeps one monitorable message chosen uniformly at random
// among all offered since the record began, with their count ("population"),
// persisted under "/devuvo/measurement/health_monitor" in the suite
// "com.devuvo.zev.measurement.monitor". The engine collects it at upload time
// with monitoringDataForDispatchWithSamplePeriod.
//
// Debug mode and verbose logging come from launch arguments and from values
// persisted in the shared measurement defaults; a disabling argument beats
// the persisted value, which beats an enabling argument, and an enabling
// argument persists itself. In an App Store installation (APMAEU::isFAS) both
// stay off. Unless the SDK core sets the platform logger's level itself
// ("-REZDebugEnabled"/"-REZDebugDisabled" with a class "REZConfiguration"
// registered), the switches set it: notice normally, debug in either mode.
//
// Threads: logging may be called from any thread. The decision, the console
// line and the sample key are made on the caller's thread; the sink, the
// record and the monitor suite are touched only on the serial queue
// "APMMonitorQueue" (background priority), and each access checks it:
// asynchronously for logging, synchronously for
// monitoringDataForDispatchWithSamplePeriod and clearMonitoringData, which
// must therefore not be called from that queue.
// Queued work holds the monitor weakly and does nothing once it is gone.
//
// The monitor reports no failures to its callers.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "measurement/store/engine_services/asl_logger.h"
#include "measurement/store/user_defaults.h"
#include "os/dispatch/queue.h"
#include "os/dispatch/queue_confined.h"
#include "os/foundation/date.h"
#include "os/foundation/error.h"
#include "os/foundation/value.h"

inline constexpr const char* kAPMMonitorQueueLabel = "APMMonitorQueue";
inline constexpr const char* kAPMMonitorSuiteName = "com.devuvo.zev.measurement.monitor";
inline constexpr const char* kAPMDebugModeKey = "/devuvo/measurement/debug_mode";
inline constexpr const char* kAPMVerboseLoggingKey = "/devuvo/measurement/verbose_logging";
inline constexpr const char* kAPMHealthMonitorKey = "/devuvo/measurement/health_monitor";
inline constexpr const char* kAPMMonitorMigrationStateKey = "/devuvo/measurement/monitor_migration_state";
// Logged as the monitor's own lines.
inline constexpr int64_t kAPMMonitorCodeDebugModeOn = 24000;
inline constexpr int64_t kAPMMonitorCodeDebugModeOff = 24001;
inline constexpr int64_t kAPMMonitorCodeVerboseLoggingOn = 24003;

// One context object of a log line: nil (the null object), a value (string,
// number, date, data, collection), an error or an exception.
class APMLogContext {
 public:
  APMLogContext() = default;
  APMLogContext(std::nullptr_t) {}
  APMLogContext(os::Value value) {
    if (!value.isNull()) v_ = std::move(value);
  }
  APMLogContext(const char* text) : v_(os::Value(text)) {}
  APMLogContext(std::string text) : v_(os::Value(std::move(text))) {}
  APMLogContext(std::string_view text) : v_(os::Value(text)) {}
  template <class T>
    requires std::is_arithmetic_v<T>
  APMLogContext(T number) : v_(os::Value(number)) {}
  APMLogContext(os::Error error) : v_(std::move(error)) {}
  APMLogContext(os::Exception exception) : v_(std::move(exception)) {}

  bool isNull() const { return std::holds_alternative<std::monostate>(v_); }
  const os::Value* value() const { return std::get_if<os::Value>(&v_); }
  const os::Error* error() const { return std::get_if<os::Error>(&v_); }
  const os::Exception* exception() const { return std::get_if<os::Exception>(&v_); }

 private:
  std::variant<std::monostate, os::Value, os::Error, os::Exception> v_;
};

// The context of a caught exception: the os::Exception itself, a standard
// exception's what() text, or "unknown exception".
APMLogContext exceptionContext(const std::exception_ptr& thrown);

// The sampled health record: nothing, or one entry of four values (encoded
// context, population, sample key, creation date). Not thread-safe: the
// monitor uses it on its queue only.
class APMMonitoringSampledData {
 public:
  // A uniform random integer in [0, n); os::randomUniform by default.
  using RandomUniform = std::function<uint32_t(uint32_t)>;

  // Keeps the array when isValidUserDefaultsArrayEntry accepts it, else starts
  // empty.
  explicit APMMonitoringSampledData(const os::Value& array = {}, RandomUniform randomUniform = {});

  // No entry: a new one (context, 1, key, now). Else the population grows by
  // one and with probability 1/population the key and context are replaced;
  // the creation date stays.
  void insertOrUpdateSampledDataWithKey(const std::string& key, const std::string& encodedContext);
  // Without an entry: "0:" when lastSampledTimestamp > 0 and lies more than
  // samplePeriod seconds from now, else nullopt. With an entry created more
  // than samplePeriod seconds ago: its parameter, and the entry is dropped;
  // else nullopt.
  std::optional<std::string> monitoringDataForDispatchWithSamplePeriod(double samplePeriod,
                                                                       double lastSampledTimestamp);
  // A copy of the entry, or nullopt.
  std::optional<os::Array> sampledData() const { return sampledData_; }

  // An array of exactly four values: string, number, string, date.
  static bool isValidUserDefaultsArrayEntry(const os::Value& object);
  static os::Array sampledDataEntryWithKey(const std::string& key, os::Date timestamp, const std::string& context,
                                           int32_t population);
  // "population:key:context", or "population:key" for an empty context.
  static std::string monitoringURLParamWithKey(const std::string& key, int32_t population,
                                               const std::string& context);

 private:
  std::optional<os::Array> sampledData_;
  RandomUniform randomUniform_;
};

class APMMonitor : public std::enable_shared_from_this<APMMonitor> {
 public:
  // Level 6 and an APMASLLogger sink.
  static std::shared_ptr<APMMonitor> initWithLibraryVersion(int64_t libraryVersion);
  // Stores the values, queues the migration and then the load of the record,
  // and evaluates the launch switches.
  static std::shared_ptr<APMMonitor> initWithLogLevel(int64_t logLevel, std::shared_ptr<APMLogging> logger,
                                                      int64_t libraryVersion);
  APMMonitor(const APMMonitor&) = delete;
  APMMonitor& operator=(const APMMonitor&) = delete;

  // Logging; every form reaches the one with a context list.
  void logWithLevel(int64_t level, int64_t messageCode, std::string_view message) {
    logWithLevel(level, messageCode, message, std::vector<APMLogContext>{});
  }
  void logWithLevel(int64_t level, int64_t messageCode, std::string_view message, APMLogContext context) {
    logWithLevel(level, messageCode, message, std::vector<APMLogContext>{std::move(context)});
  }
  void logWithLevel(int64_t level, int64_t messageCode, std::string_view message, APMLogContext context1,
                    APMLogContext context2) {
    logWithLevel(level, messageCode, message, std::vector<APMLogContext>{std::move(context1), std::move(context2)});
  }
  void logWithLevel(int64_t level, int64_t messageCode, std::string_view message, APMLogContext context1,
                    APMLogContext context2, APMLogContext context3) {
    logWithLevel(level, messageCode, message,
                 std::vector<APMLogContext>{std::move(context1), std::move(context2), std::move(context3)});
  }
  void logWithLevel(int64_t level, int64_t messageCode, std::string_view message,
                    std::vector<APMLogContext> contexts);

  // Switches (see the header note). They log, and write the shared
  // measurement defaults.
  void setDebugModeEnabled(bool enabled);
  void setVerboseLoggingEnabled(bool enabled);
  bool isDebugModeEnabled() const { return debugModeEnabled_; }
  bool isVerboseLoggingEnabled() const { return verboseLoggingEnabled_; }
  // 6 normally, 7 in debug mode, 8 with verbose logging. Filtering follows
  // the platform logger's level, not this.
  int64_t logLevel() const { return logLevel_; }
  void setLogLevel(int64_t logLevel) { logLevel_ = logLevel; }
  // Console lines show contexts encoded (revealing no value) when on.
  bool encodeContexts() const { return encodeContexts_; }
  void setEncodeContexts(bool encodeContexts) { encodeContexts_ = encodeContexts; }
  std::string logTag() const;
  void setLogTag(std::string logTag);

  // The monitoring sample parameter for an upload bundle, or nullopt (see
  // APMMonitoringSampledData); a dispatched entry leaves the suite too.
  std::optional<std::string> monitoringDataForDispatchWithSamplePeriod(double samplePeriod,
                                                                       double lastSampledTimestamp);
  // Removes the persisted debug mode and record and empties the record.
  void clearMonitoringData();

  // ---- Pure functions ----
  // "ERROR", "WARNING", "NOTICE", "DEBUG" for 0..7; nullopt otherwise.
  static std::optional<std::string> logLevelDescriptionFromLogLevel(int64_t level);
  static bool isSilentLevel(int64_t level);
  static bool isMonitorableLevel(int64_t level);
  // "" for nil; "-" for a string; a number's decade ("345" gives
  // "100...999"); an exception's last measurement symbol; an error's domain;
  // "?" for anything else.
  static std::string encodedStringWithContextObject(const APMLogContext& context);
  static std::string encodedStringWithContextArray(const std::vector<APMLogContext>& contexts, bool insertSpaces);
  // The console line: the message ("(Message was empty)" for ""), then ": "
  // and the contexts, encoded or by their descriptions.
  static std::string stringWithLogMessage(std::string_view message, int64_t level,
                                          const std::vector<APMLogContext>& contexts, bool encodeContexts);
  // The first symbol from the third call-stack line on that names "APM"
  // (case-insensitive), else the exception's name.
  static std::string lastAPMSymbolFromException(const os::Exception& exception);
  static std::string lastAPMSymbolFromCallStackSymbols(const std::vector<std::string>& callStackSymbols,
                                                       const std::string& exceptionName);
  // "1", the level's letter, "_", the library version, ":", the message.
  static std::string monitoringDataKeyWithMessage(std::string_view message, int64_t level, int64_t libraryVersion);

  // ---- Helpers of logging ----
  // The platform logger would print the level's platform level, and the
  // level is not silent.
  bool isLoggableLevel(int64_t level) const;
  // Hands the line to the sink on the monitor queue.
  void logToConsole(int64_t messageCode, std::string line, int64_t level);
  void insertOrUpdateMonitoringDataWithMessage(std::string_view message, std::string encodedContext, int64_t level);

  // ---- For tests ----
  // Returns once every work item queued before the call has run.
  void TEST_flush();
  // The record's entry, read on the monitor queue.
  std::optional<os::Array> TEST_sampledData();
  // Called on the logging thread with every line, before its level decides
  // whether it is printed or sampled (so silent and verbose lines are seen
  // too). Empty removes it.
  using TEST_LogObserver =
      std::function<void(int64_t level, int64_t messageCode, const std::vector<APMLogContext>& contexts)>;
  void TEST_setLogObserver(TEST_LogObserver observer);

 private:
  APMMonitor(int64_t logLevel, std::shared_ptr<APMLogging> logger, int64_t libraryVersion);
  void evaluateLaunchSwitches();
  // Sets the platform logger's level unless the SDK core does.
  void setPlatformLoggerLevel(DAZLoggerLevel level);

  // Called on monitorQueue_ only.
  void loadMonitoringDataFromUserDefaultsOnMonitorQueue();
  void saveMonitoringDataToUserDefaultsOnMonitorQueue();
  void migrateMonitorDataOnMonitorQueue();
  void synchronizeToDiskOnMonitorQueue();

  std::atomic<int64_t> logLevel_;
  const std::shared_ptr<os::DispatchQueue> monitorQueue_;
  // The sink, the record and the monitor suite: monitorQueue_ only, checked.
  const os::QueueConfined<std::shared_ptr<APMLogging>> logger_;
  os::QueueConfined<APMMonitoringSampledData> monitoringSampledData_{monitorQueue_, "monitoringSampledData_"};
  const int64_t libraryVersion_;
  const os::QueueConfined<std::shared_ptr<APMUserDefaults>> monitorUserDefaults_;
  std::atomic<bool> deferToREZLogger_{false};
  std::atomic<bool> debugModeEnabled_{false};
  std::atomic<bool> verboseLoggingEnabled_{false};
  std::atomic<bool> encodeContexts_{false};
  mutable std::mutex logTagMutex_;
  std::string logTag_ = kAPMLogTag;  // guarded by logTagMutex_
  std::atomic<bool> hasTestLogObserver_{false};
  mutable std::mutex testLogObserverMutex_;
  std::shared_ptr<TEST_LogObserver> testLogObserver_;  // guarded by testLogObserverMutex_
};
