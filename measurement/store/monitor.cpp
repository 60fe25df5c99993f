#include "measurement/store/monitor.h"

#include <algorithm>
#include <cctype>
#include <map>

#include "measurement/store/engine_services/install_environment.h"
#include "measurement/store/errors.h"
#include "os/foundation/crypto.h"
#include "os/foundation/format.h"
#include "os/foundation/process_info.h"
#include "os/runtime/runtime.h"

namespace {

struct LevelTraits {
  bool silent;
  bool monitorable;
  char letter;
};

constexpr LevelTraits kLevelTraits[9] = {
    {false, false, 'E'}, {false, true, 'E'}, {true, true, 'E'},  //
    {false, false, 'W'}, {false, true, 'W'}, {true, true, 'W'},  //
    {false, false, '?'}, {false, false, '?'}, {false, false, '?'},
};
constexpr LevelTraits kOtherLevelTraits = {true, true, '?'};

// Levels index the table as unsigned: a negative level is "any other".
const LevelTraits& traitsOf(int64_t level) {
  return static_cast<uint64_t>(level) <= 8 ? kLevelTraits[level] : kOtherLevelTraits;
}

// The SDK core registers this class when it is linked.
constexpr const char* kSDKCoreConfigurationClass = "REZConfiguration";

std::string int128ToString(__int128 value) {
  if (value == 0) return "0";
  const bool negative = value < 0;
  unsigned __int128 magnitude = negative ? -static_cast<unsigned __int128>(value) : value;
  std::string digits;
  while (magnitude > 0) {
    digits.insert(digits.begin(), char('0' + int(magnitude % 10)));
    magnitude /= 10;
  }
  return negative ? "-" + digits : digits;
}

std::string encodedNumber(int64_t value) {
  if (value >= -99 && value <= 99) return std::to_string(value);
  // The decade of the value, in integers wide enough for 10p - 1 of a
  // nineteen-digit value and for the magnitude of the most negative one.
  const unsigned __int128 magnitude =
      value < 0 ? static_cast<unsigned __int128>(-(static_cast<__int128>(value))) : value;
  unsigned __int128 p = 1;
  while (p * 10 <= magnitude) p *= 10;
  const __int128 low = static_cast<__int128>(p), high = static_cast<__int128>(p * 10) - 1;
  if (value > 0) return int128ToString(low) + "..." + int128ToString(high);
  return int128ToString(-high) + "..." + int128ToString(-low);
}

bool containsAPM(const std::string& symbol) {
  for (size_t i = 0; i + 3 <= symbol.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(symbol[i])) == 'A' &&
        std::toupper(static_cast<unsigned char>(symbol[i + 1])) == 'P' &&
        std::toupper(static_cast<unsigned char>(symbol[i + 2])) == 'M')
      return true;
  }
  return false;
}

std::vector<std::string> splitAtWhitespace(const std::string& line) {
  std::vector<std::string> pieces;
  std::string piece;
  for (char c : line) {
    if (std::isspace(static_cast<unsigned char>(c))) {
      if (!piece.empty()) pieces.push_back(std::move(piece));
      piece.clear();
    } else {
      piece += c;
    }
  }
  if (!piece.empty()) pieces.push_back(std::move(piece));
  return pieces;
}

std::string contextDescription(const APMLogContext& context) {
  if (context.isNull()) return "(nil)";
  if (const os::Value* value = context.value()) return value->description();
  if (const os::Error* error = context.error()) return error->description();
  const os::Exception& exception = *context.exception();
  return APMMonitor::lastAPMSymbolFromException(exception) + ": " + exception.reason();
}

bool argumentsContain(const std::vector<std::string>& arguments, std::initializer_list<const char*> names) {
  return std::any_of(names.begin(), names.end(), [&](const char* name) {
    return std::find(arguments.begin(), arguments.end(), name) != arguments.end();
  });
}

}  // namespace

APMLogContext exceptionContext(const std::exception_ptr& thrown) {
  try {
    std::rethrow_exception(thrown);
  } catch (const os::Exception& exception) {
    return APMLogContext(exception);
  } catch (const std::exception& exception) {
    return APMLogContext(std::string(exception.what()));
  } catch (...) {
    return APMLogContext("unknown exception");
  }
}

// ---- APMMonitoringSampledData ----

APMMonitoringSampledData::APMMonitoringSampledData(const os::Value& array, RandomUniform randomUniform)
    : randomUniform_(randomUniform ? std::move(randomUniform) : RandomUniform(os::randomUniform)) {
  if (isValidUserDefaultsArrayEntry(array)) sampledData_ = *array.array();
}

bool APMMonitoringSampledData::isValidUserDefaultsArrayEntry(const os::Value& object) {
  const os::Array* a = object.array();
  return a != nullptr && a->size() == 4 && (*a)[0].isString() && (*a)[1].isNumber() && (*a)[2].isString() &&
         (*a)[3].isDate();
}

os::Array APMMonitoringSampledData::sampledDataEntryWithKey(const std::string& key, os::Date timestamp,
                                                           const std::string& context, int32_t population) {
  return os::Array{os::Value(context), os::Value(os::Number::int32(population)), os::Value(key), os::Value(timestamp)};
}

std::string APMMonitoringSampledData::monitoringURLParamWithKey(const std::string& key, int32_t population,
                                                                const std::string& context) {
  if (context.empty()) return os::format("%d:%@", population, key);
  return os::format("%d:%@:%@", population, key, context);
}

void APMMonitoringSampledData::insertOrUpdateSampledDataWithKey(const std::string& key,
                                                                const std::string& encodedContext) {
  if (!sampledData_) {
    sampledData_ = sampledDataEntryWithKey(key, os::Date::now(), encodedContext, 1);
    return;
  }
  os::Array& entry = *sampledData_;
  const int32_t population = entry[1].number()->intValue() + 1;
  entry[1] = os::Value(os::Number::int32(population));
  // Reservoir sampling of one: every message offered has the same chance
  // of being the one kept.
  if (randomUniform_(static_cast<uint32_t>(population)) == 0) {
    entry[0] = os::Value(encodedContext);
    entry[2] = os::Value(key);
  }
}

std::optional<std::string> APMMonitoringSampledData::monitoringDataForDispatchWithSamplePeriod(
    double samplePeriod, double lastSampledTimestamp) {
  const double now = os::Date::now().timeIntervalSince1970();
  if (!sampledData_) {
    if (lastSampledTimestamp > 0 && std::abs(lastSampledTimestamp - now) > samplePeriod) return std::string("0:");
    return std::nullopt;
  }
  const os::Array& entry = *sampledData_;
  if (!(entry[3].date()->timeIntervalSince1970() < now - samplePeriod)) return std::nullopt;
  std::string parameter =
      monitoringURLParamWithKey(*entry[2].string(), entry[1].number()->intValue(), *entry[0].string());
  sampledData_.reset();
  return parameter;
}

// ---- APMMonitor: creation ----

std::shared_ptr<APMMonitor> APMMonitor::initWithLibraryVersion(int64_t libraryVersion) {
  return initWithLogLevel(6, std::make_shared<APMASLLogger>(), libraryVersion);
}

std::shared_ptr<APMMonitor> APMMonitor::initWithLogLevel(int64_t logLevel, std::shared_ptr<APMLogging> logger,
                                                         int64_t libraryVersion) {
  std::shared_ptr<APMMonitor> monitor(new APMMonitor(logLevel, std::move(logger), libraryVersion));
  std::weak_ptr<APMMonitor> weak = monitor;
  monitor->monitorQueue_->async([weak] {
    if (auto self = weak.lock()) {
      self->migrateMonitorDataOnMonitorQueue();
      self->loadMonitoringDataFromUserDefaultsOnMonitorQueue();
    }
  });
  monitor->evaluateLaunchSwitches();
  return monitor;
}

APMMonitor::APMMonitor(int64_t logLevel, std::shared_ptr<APMLogging> logger, int64_t libraryVersion)
    : logLevel_(logLevel),
      monitorQueue_(os::DispatchQueue::create(kAPMMonitorQueueLabel, os::DispatchQueue::Attributes::Serial,
                                              os::QualityOfService::Unspecified,
                                              os::DispatchQueue::global(os::QualityOfService::Background))),
      logger_(monitorQueue_, "logger_", std::move(logger)),
      libraryVersion_(libraryVersion),
      monitorUserDefaults_(monitorQueue_, "monitorUserDefaults_",
                           std::make_shared<APMUserDefaults>(kAPMMonitorSuiteName)) {}

void APMMonitor::evaluateLaunchSwitches() {
  if (APMAEU::isFAS()) return;
  const std::vector<std::string> arguments = os::ProcessInfo::processInfo().arguments();
  auto shared = APMUserDefaults::sharedUserDefaults();

  const os::Value storedDebugMode = shared->objectForKey(kAPMDebugModeKey);
  deferToREZLogger_ = argumentsContain(arguments, {"-REZDebugDisabled", "-REZDebugEnabled"}) &&
                      os::runtime::classFromString(kSDKCoreConfigurationClass) != nullptr;
  if (argumentsContain(arguments, {"-noAPMAnalyticsDebugEnabled", "-noREZAnalyticsDebugEnabled", "-REZDebugDisabled"})) {
    setDebugModeEnabled(false);
  } else if (storedDebugMode.boolValue()) {
    setDebugModeEnabled(true);
  } else if (argumentsContain(arguments, {"-APMAnalyticsDebugEnabled", "-REZAnalyticsDebugEnabled", "-REZDebugEnabled"})) {
    setDebugModeEnabled(true);
  }

  const os::Value storedVerboseLogging = shared->objectForKey(kAPMVerboseLoggingKey);
  if (argumentsContain(arguments, {"-APMAnalyticsVerboseLoggingDisabled", "-REZAnalyticsVerboseLoggingDisabled"})) {
    setVerboseLoggingEnabled(false);
  } else if (storedVerboseLogging.boolValue()) {
    setVerboseLoggingEnabled(true);
  } else if (argumentsContain(arguments,
                              {"-APMAnalyticsVerboseLoggingEnabled", "-REZAnalyticsVerboseLoggingEnabled"})) {
    setVerboseLoggingEnabled(true);
  }
}

// ---- Switches ----

void APMMonitor::setPlatformLoggerLevel(DAZLoggerLevel level) {
  if (!deferToREZLogger_) DAZSetLoggerLevel(level);
}

void APMMonitor::setDebugModeEnabled(bool enabled) {
  auto shared = APMUserDefaults::sharedUserDefaults();
  if (enabled && !APMAEU::isFAS()) {
    logLevel_ = 7;
    setPlatformLoggerLevel(DAZLoggerLevel::Debug);
    shared->setBool(true, kAPMDebugModeKey);
    logWithLevel(7, kAPMMonitorCodeDebugModeOn, "Debug mode is on");
    debugModeEnabled_ = true;
  } else {
    logLevel_ = 6;
    setPlatformLoggerLevel(DAZLoggerLevel::Notice);
    shared->removeObjectForKey(kAPMDebugModeKey);
    logWithLevel(7, kAPMMonitorCodeDebugModeOff, "Debug mode is off");
    debugModeEnabled_ = false;
  }
}

void APMMonitor::setVerboseLoggingEnabled(bool enabled) {
  auto shared = APMUserDefaults::sharedUserDefaults();
  if (enabled && !APMAEU::isFAS()) {
    logLevel_ = 8;
    setPlatformLoggerLevel(DAZLoggerLevel::Debug);
    shared->setBool(true, kAPMVerboseLoggingKey);
    // Before the flag: this line passes the verbose gate only when verbose
    // logging was already on.
    logWithLevel(8, kAPMMonitorCodeVerboseLoggingOn, "Verbose logging is on");
    verboseLoggingEnabled_ = true;
  } else {
    logLevel_ = debugModeEnabled_ ? 7 : 6;
    setPlatformLoggerLevel(APMASLLogger::DAZLoggerLevelFromLogLevel(logLevel_));
    shared->removeObjectForKey(kAPMVerboseLoggingKey);
    verboseLoggingEnabled_ = false;
  }
}

std::string APMMonitor::logTag() const {
  std::lock_guard lock(logTagMutex_);
  return logTag_;
}

void APMMonitor::setLogTag(std::string logTag) {
  std::lock_guard lock(logTagMutex_);
  logTag_ = std::move(logTag);
}

// ---- Logging ----

bool APMMonitor::isSilentLevel(int64_t level) { return traitsOf(level).silent; }

bool APMMonitor::isMonitorableLevel(int64_t level) { return traitsOf(level).monitorable; }

std::optional<std::string> APMMonitor::logLevelDescriptionFromLogLevel(int64_t level) {
  // Never destroyed: any thread may log during exit.
  static const auto& names = *new std::map<int64_t, std::string>{
      {0, "ERROR"}, {1, "ERROR"}, {2, "ERROR"}, {3, "WARNING"}, {4, "WARNING"}, {5, "WARNING"}, {6, "NOTICE"}, {7, "DEBUG"}};
  auto it = names.find(level);
  if (it == names.end()) return std::nullopt;
  return it->second;
}

bool APMMonitor::isLoggableLevel(int64_t level) const {
  return !isSilentLevel(level) && DAZIsLoggableLevel(APMASLLogger::DAZLoggerLevelFromLogLevel(level));
}

void APMMonitor::logWithLevel(int64_t level, int64_t messageCode, std::string_view message,
                              std::vector<APMLogContext> contexts) {
  if (hasTestLogObserver_.load(std::memory_order_relaxed)) {
    std::shared_ptr<TEST_LogObserver> observer;
    {
      std::lock_guard lock(testLogObserverMutex_);
      observer = testLogObserver_;
    }
    if (observer) (*observer)(level, messageCode, contexts);
  }
  const bool monitorable = isMonitorableLevel(level);
  const bool loggable = isLoggableLevel(level);
  if (!loggable && !monitorable) return;
  if (level >= 8 && !verboseLoggingEnabled_) return;

  if (loggable) logToConsole(messageCode, stringWithLogMessage(message, level, contexts, encodeContexts_), level);
  if (monitorable) {
    std::string encoded = encodedStringWithContextArray(contexts, false);
    std::string extra;
    for (const APMLogContext& context : contexts) {
      const os::Error* error = context.error();
      if (error == nullptr || error->domain() != kAPMErrorDomain) continue;
      const os::Value* monitorContext = error->userInfo().count(kAPMMonitorContextKey) > 0
                                            ? &error->userInfo().at(kAPMMonitorContextKey)
                                            : nullptr;
      if (monitorContext == nullptr || !monitorContext->isString() || monitorContext->string()->empty()) continue;
      if (!extra.empty()) extra += ",";
      extra += *monitorContext->string();
    }
    if (!extra.empty()) encoded += "," + extra;
    insertOrUpdateMonitoringDataWithMessage(message, std::move(encoded), level);
  }
}

void APMMonitor::logToConsole(int64_t messageCode, std::string line, int64_t level) {
  std::weak_ptr<APMMonitor> weak = weak_from_this();
  monitorQueue_->async([weak, messageCode, line = std::move(line), level] {
    if (auto self = weak.lock()) self->logger_->logMessage(line, self->logTag(), messageCode, level);
  });
}

void APMMonitor::insertOrUpdateMonitoringDataWithMessage(std::string_view message, std::string encodedContext,
                                                         int64_t level) {
  std::string key = monitoringDataKeyWithMessage(message, level, libraryVersion_);
  std::weak_ptr<APMMonitor> weak = weak_from_this();
  monitorQueue_->async([weak, key = std::move(key), encodedContext = std::move(encodedContext)] {
    if (auto self = weak.lock()) {
      self->monitoringSampledData_.get().insertOrUpdateSampledDataWithKey(key, encodedContext);
      self->saveMonitoringDataToUserDefaultsOnMonitorQueue();
    }
  });
}

// ---- Pure functions ----

std::string APMMonitor::encodedStringWithContextObject(const APMLogContext& context) {
  if (context.isNull()) return "";
  if (const os::Value* value = context.value()) {
    if (value->isString()) return "-";
    if (const os::Number* number = value->number()) return encodedNumber(number->int64Value());
    return "?";
  }
  if (const os::Exception* exception = context.exception()) {
    std::string symbol = lastAPMSymbolFromException(*exception);
    return symbol.empty() ? "-" : symbol;
  }
  const os::Error* error = context.error();
  return error->domain().empty() ? "-" : error->domain();
}

std::string APMMonitor::encodedStringWithContextArray(const std::vector<APMLogContext>& contexts,
                                                      bool insertSpaces) {
  std::string out;
  for (size_t i = 0; i < contexts.size(); ++i) {
    if (i > 0) out += insertSpaces ? ", " : ",";
    out += encodedStringWithContextObject(contexts[i]);
  }
  return out;
}

std::string APMMonitor::stringWithLogMessage(std::string_view message, int64_t, const std::vector<APMLogContext>& contexts,
                                             bool encodeContexts) {
  std::string line = message.empty() ? std::string("(Message was empty)") : std::string(message);
  if (contexts.empty()) return line;
  if (encodeContexts) return line + ": " + encodedStringWithContextArray(contexts, true);
  line += ": ";
  for (size_t i = 0; i < contexts.size(); ++i) {
    if (i > 0) line += ", ";
    line += contextDescription(contexts[i]);
  }
  return line;
}

std::string APMMonitor::lastAPMSymbolFromException(const os::Exception& exception) {
  return lastAPMSymbolFromCallStackSymbols(exception.callStackSymbols(), exception.name());
}

std::string APMMonitor::lastAPMSymbolFromCallStackSymbols(const std::vector<std::string>& callStackSymbols,
                                                          const std::string& exceptionName) {
  if (callStackSymbols.size() < 2) return exceptionName;
  for (size_t i = 2; i < callStackSymbols.size(); ++i) {
    const std::vector<std::string> pieces = splitAtWhitespace(callStackSymbols[i]);
    if (pieces.size() < 5) continue;
    const std::string symbol = pieces[4] == "+" ? pieces[3] : pieces[3] + " " + pieces[4];
    if (containsAPM(symbol)) return symbol;
  }
  return exceptionName;
}

std::string APMMonitor::monitoringDataKeyWithMessage(std::string_view message, int64_t level,
                                                     int64_t libraryVersion) {
  return "1" + std::string(1, traitsOf(level).letter) + "_" + std::to_string(libraryVersion) + ":" +
         std::string(message);
}

// ---- Health record ----

std::optional<std::string> APMMonitor::monitoringDataForDispatchWithSamplePeriod(double samplePeriod,
                                                                                 double lastSampledTimestamp) {
  return monitorQueue_->sync([&]() -> std::optional<std::string> {
    auto parameter =
        monitoringSampledData_.get().monitoringDataForDispatchWithSamplePeriod(samplePeriod, lastSampledTimestamp);
    if (parameter) saveMonitoringDataToUserDefaultsOnMonitorQueue();
    return parameter;
  });
}

void APMMonitor::clearMonitoringData() {
  monitorQueue_->sync([this] {
    auto shared = APMUserDefaults::sharedUserDefaults();
    shared->removeObjectForKey(kAPMDebugModeKey);
    shared->removeObjectForKey(kAPMHealthMonitorKey);
    monitorUserDefaults_->removeObjectForKey(kAPMHealthMonitorKey);
    loadMonitoringDataFromUserDefaultsOnMonitorQueue();
  });
}

void APMMonitor::loadMonitoringDataFromUserDefaultsOnMonitorQueue() {
  monitoringSampledData_ = APMMonitoringSampledData(monitorUserDefaults_->objectForKey(kAPMHealthMonitorKey));
}

void APMMonitor::saveMonitoringDataToUserDefaultsOnMonitorQueue() {
  auto entry = monitoringSampledData_.get().sampledData();
  monitorUserDefaults_->setObject(entry ? os::Value(*entry) : os::Value(), kAPMHealthMonitorKey);
  synchronizeToDiskOnMonitorQueue();
}

void APMMonitor::synchronizeToDiskOnMonitorQueue() { monitorUserDefaults_->synchronize(); }

void APMMonitor::migrateMonitorDataOnMonitorQueue() {
  auto shared = APMUserDefaults::sharedUserDefaults();
  int64_t state = monitorUserDefaults_->integerForKey(kAPMMonitorMigrationStateKey);
  if (state == 0) {
    const os::Value old = shared->objectForKey(kAPMHealthMonitorKey);
    if (old.isArray() && monitorUserDefaults_->objectForKey(kAPMHealthMonitorKey).isNull()) {
      monitorUserDefaults_->setObject(old, kAPMHealthMonitorKey);
    }
    monitorUserDefaults_->setInteger(1, kAPMMonitorMigrationStateKey);
    synchronizeToDiskOnMonitorQueue();
    state = 1;
  }
  if (state == 1) {
    shared->removeObjectForKey(kAPMHealthMonitorKey);
    shared->synchronize();
    monitorUserDefaults_->setInteger(2, kAPMMonitorMigrationStateKey);
    synchronizeToDiskOnMonitorQueue();
  }
}

// ---- For tests ----

void APMMonitor::TEST_flush() {
  monitorQueue_->sync([] {});
}

std::optional<os::Array> APMMonitor::TEST_sampledData() {
  return monitorQueue_->sync([this] { return monitoringSampledData_.get().sampledData(); });
}

void APMMonitor::TEST_setLogObserver(TEST_LogObserver observer) {
  std::lock_guard lock(testLogObserverMutex_);
  testLogObserver_ = observer ? std::make_shared<TEST_LogObserver>(std::move(observer)) : nullptr;
  hasTestLogObserver_ = testLogObserver_ != nullptr;
}
