#include "crash/reporting/zoz_metrickit_manager.h"

#include "crash/core/zoz_mach_exception.h"
#include "crash/core/zoz_sdk_log.h"
#include "crash/core/zoz_signal.h"
#include "crash/reporting/zoz_existing_report_manager.h"
#include "os/foundation/json.h"
#include "os/foundation/system_log.h"

namespace {

int64_t seconds(const os::Date& date) { return static_cast<int64_t>(date.timeIntervalSince1970()); }

int64_t integer(const os::Dictionary& dict, const char* key) {
  auto found = dict.find(key);
  return found == dict.end() ? 0 : found->second.int64Value();
}

std::string text(const os::Dictionary& dict, const char* key) {
  auto found = dict.find(key);
  return found == dict.end() || !found->second.isString() ? std::string() : *found->second.string();
}

bool flag(const os::Dictionary& dict, const char* key) {
  auto found = dict.find(key);
  return found != dict.end() && found->second.boolValue();
}

// The first diagnostic of a kind as its non-fatal line.
template <class Diagnostic>
os::Value nonfatalLine(const Diagnostic& diagnostic, const char* name, int64_t begin, int64_t end,
                       os::Dictionary extra) {
  os::Dictionary exception{
      {"type", os::Value(kZOZMetricKitNonfatalType)},
      {"name", os::Value(name)},
      {"time", os::Value(begin)},
      {"end_time", os::Value(end)},
      {"threads", os::Value(ZOZMetricKitManager::convertThreadsToArray(diagnostic.callStackTree))},
      {"metadata", os::Value(ZOZMetricKitManager::convertMetadataToDictionary(diagnostic.metaData))},
      {"app_version", os::Value(diagnostic.applicationVersion)},
  };
  exception.merge(extra);
  return os::Value(os::Dictionary{{"exception", os::Value(std::move(exception))}});
}

}  // namespace

// ---- ZOZCallStackTree ----

std::shared_ptr<ZOZCallStackTree> ZOZCallStackTree::initWithMXCallStackTree(const MXCallStackTree& tree) {
  const os::Data& json = tree.JSONRepresentation();
  if (json.empty()) return nullptr;
  auto parsed = os::JSONSerialization::JSONObjectWithData(json);
  if (!parsed || !parsed->isDictionary()) {
    os::Log::defaultLog()->error("Zoziduzuzud: error creating json");
    return nullptr;
  }
  const os::Dictionary& root = *parsed->dictionary();
  auto result = std::make_shared<ZOZCallStackTree>();
  result->callStackPerThread = flag(root, "callStackPerThread");
  auto stacks = root.find("callStacks");
  if (stacks == root.end() || !stacks->second.isArray()) return result;
  for (const auto& stack : *stacks->second.array()) {
    if (!stack.isDictionary()) continue;
    ZOZThread thread;
    thread.threadBlamed = flag(*stack.dictionary(), "threadAttributed");
    auto roots = stack.dictionary()->find("callStackRootFrames");
    if (roots != stack.dictionary()->end() && roots->second.isArray()) flattenSubFrames(*roots->second.array(), thread.frames);
    result->threads.push_back(std::move(thread));
  }
  return result;
}

void ZOZCallStackTree::flattenSubFrames(const os::Array& frames, std::vector<ZOZFrame>& into) {
  // Iterative: a deep tree must not exhaust the stack.
  const os::Array* level = &frames;
  while (level && !level->empty() && level->front().isDictionary()) {
    const os::Dictionary& first = *level->front().dictionary();
    ZOZFrame frame;
    frame.offsetIntoBinaryTextSegment = integer(first, "offsetIntoBinaryTextSegment");
    frame.address = integer(first, "address");
    frame.sampleCount = integer(first, "sampleCount");
    frame.binaryUUID = text(first, "binaryUUID");
    frame.binaryName = text(first, "binaryName");
    into.push_back(std::move(frame));
    auto sub = first.find("subFrames");
    level = sub != first.end() && sub->second.isArray() ? sub->second.array() : nullptr;
  }
}

os::Dictionary ZOZCallStackTree::getDictionaryRepresentation(const ZOZThread& thread) {
  os::Array stacktrace;
  for (const auto& frame : thread.frames) stacktrace.emplace_back(frame.address);
  return os::Dictionary{{"registers", os::Value::emptyDictionary()},
                        {"stacktrace", os::Value(std::move(stacktrace))},
                        {"crashed", os::Value(thread.threadBlamed)}};
}

os::Array ZOZCallStackTree::getArrayRepresentation() const {
  os::Array out;
  for (const auto& thread : threads) out.emplace_back(getDictionaryRepresentation(thread));
  return out;
}

os::Array ZOZCallStackTree::getFramesOfBlamedThread() const {
  if (threads.empty()) return {};
  const ZOZThread* chosen = &threads.front();
  for (const auto& thread : threads) {
    if (thread.threadBlamed) {
      chosen = &thread;
      break;
    }
  }
  os::Array frames;
  for (const auto& frame : chosen->frames) {
    frames.emplace_back(os::Dictionary{{"pc", os::Value(frame.address)},
                                       {"offset", os::Value(frame.offsetIntoBinaryTextSegment)},
                                       {"line", os::Value(0)}});
  }
  return frames;
}

// ---- ZOZMetricKitManager ----

ZOZMetricKitManager::ZOZMetricKitManager(std::shared_ptr<ZOZManagerData> managerData,
                                         std::shared_ptr<ZOZExistingReportManager> existingReportManager,
                                         std::shared_ptr<ZOZFileManager> fileManager)
    : managerData_(std::move(managerData)),
      existingReportManager_(std::move(existingReportManager)),
      fileManager_(std::move(fileManager)),
      metricKitDataAvailable_(VUVAravuvo::pendingPromise()) {}

void ZOZMetricKitManager::registerMetricKitManager() {
  MXMetricManager::sharedManager()->addSubscriber(shared_from_this());
  {
    std::lock_guard lock(mutex_);
    metricKitDataAvailable_ = VUVAravuvo::pendingPromise();
    metricKitPromiseFulfilled_ = false;
  }
  if (!(fileManager_->didCrashOnPreviousExecution() && fileManager_->metricKitDiagnosticFileExists())) {
    std::lock_guard lock(mutex_);
    fulfillMetricKitPromise();
  }
  std::weak_ptr<ZOZMetricKitManager> weak = weak_from_this();
  managerData_->dispatchQueue->afterSeconds(kZOZMetricKitWaitSeconds, [weak] {
    auto self = weak.lock();
    if (!self) return;
    std::lock_guard lock(self->mutex_);
    if (self->metricKitPromiseFulfilled_) return;
    ZOZDebugLog("Resolving MetricKit promise after three seconds");
    self->fulfillMetricKitPromise();
  });
  ZOZDebugLog("Finished registering metrickit manager");
}

VUVAravuvoPtr ZOZMetricKitManager::waitForMetricKitDataAvailable() const {
  std::lock_guard lock(mutex_);
  return metricKitDataAvailable_;
}

void ZOZMetricKitManager::fulfillMetricKitPromise() {
  std::lock_guard lock(mutex_);
  if (metricKitPromiseFulfilled_) return;
  metricKitPromiseFulfilled_ = true;
  metricKitDataAvailable_->fulfill(VUVAravuvo::Object());
}

void ZOZMetricKitManager::didReceiveDiagnosticPayloads(const std::vector<std::shared_ptr<MXDiagnosticPayload>>& payloads) {
  bool skipCrash = false;
  for (const auto& payload : payloads) {
    if (!payload) continue;
    if (processMetricKitPayload(*payload, skipCrash) && !payload->crashDiagnostics.empty()) skipCrash = true;
  }
  std::lock_guard lock(mutex_);
  fulfillMetricKitPromise();
}

bool ZOZMetricKitManager::processMetricKitPayload(const MXDiagnosticPayload& payload, bool skipCrashEvent) {
  const bool hasCrash = !payload.crashDiagnostics.empty();
  const bool hasNonfatal = !payload.hangDiagnostics.empty() || !payload.cpuExceptionDiagnostics.empty() ||
                           !payload.diskWriteExceptionDiagnostics.empty();
  if (!hasCrash && !hasNonfatal) return false;
  const int64_t begin = seconds(payload.timeStampBegin);
  const int64_t end = seconds(payload.timeStampEnd);

  const std::string base = fileManager_->activePath() + "/";
  const std::string current = managerData_->executionIDModel->executionID();
  std::string fatalDirectory = current;
  if (hasCrash && existingReportManager_) {
    if (auto newest = existingReportManager_->newestUnsentReport()) {
      if (fileManager_->fileExistsAtPath(base + newest->reportID())) fatalDirectory = newest->reportID();
    }
  }
  if (current.empty() || fatalDirectory.empty()) {
    ZOZDebugLog("Error finding MetricKit files");
    return false;
  }
  const std::string fatalPath = base + fatalDirectory + "/" + kZOZMetricKitFatalFileName;
  const std::string nonfatalPath = base + current + "/" + kZOZMetricKitNonfatalFileName;
  ZOZDebugLog("File paths for MetricKit report:  %@, %@", fatalPath, nonfatalPath);

  if (hasCrash && !fileManager_->fileExistsAtPath(fatalPath)) fileManager_->createFileAtPath(fatalPath, os::Data());
  if (hasNonfatal && !fileManager_->fileExistsAtPath(nonfatalPath)) {
    fileManager_->createFileAtPath(nonfatalPath, os::Data());
  }
  auto nonfatalFile = os::FileHandle::fileHandleForUpdatingAtPath(nonfatalPath);
  if (hasNonfatal && !nonfatalFile) {
    ZOZDebugLog("Unable to create or open nonfatal MetricKit file.");
    return false;
  }
  auto fatalFile = os::FileHandle::fileHandleForUpdatingAtPath(fatalPath);
  if (hasCrash && !fatalFile) {
    ZOZDebugLog("Unable to create or open fatal MetricKit file.");
    return false;
  }

  bool written = true;
  if (hasCrash && !skipCrashEvent) {
    const auto& crash = *payload.crashDiagnostics.front();
    const int64_t signal = crash.signal.value_or(0);
    const char* signalName = nullptr;
    const char* signalCodeName = nullptr;
    ZOZSignalNameLookup(static_cast<int>(signal), &signalName, &signalCodeName);
    const char* machName = nullptr;
    const char* machCodeName = nullptr;
    ZOZMachExceptionNameLookup(static_cast<os::kernel::exception_type_t>(crash.exceptionType.value_or(0)),
                               crash.exceptionCode.value_or(0), &machName, &machCodeName);
    const std::string name = machName ? machName : (signalName ? signalName : "UNKNOWN");
    const std::string codeName = machName ? (machCodeName ? machCodeName : "") : (signalCodeName ? signalCodeName : "");
    const os::Value fatal(os::Dictionary{{kZOZMetricKitFatalSection, os::Value(os::Dictionary{
        {"time", os::Value(begin)},
        {"end_time", os::Value(end)},
        {"metadata", os::Value(convertMetadataToDictionary(crash.metaData))},
        {"termination_reason", os::Value(crash.terminationReason.value_or(""))},
        {"virtual_memory_region_info", os::Value(crash.virtualMemoryRegionInfo.value_or(""))},
        {"exception_type", os::Value(crash.exceptionType.value_or(0))},
        {"exception_code", os::Value(crash.exceptionCode.value_or(0))},
        {"signal", os::Value(signal)},
        {"app_version", os::Value(crash.applicationVersion)},
        {"name", os::Value(name)},
        {"code_name", os::Value(codeName)},
    })}});
    const os::Value threads(os::Dictionary{{"threads", os::Value(convertThreadsToArray(crash.callStackTree))}});
    const bool first = writeDictionaryToFile(fatal, **fatalFile);
    const bool second = writeDictionaryToFile(threads, **fatalFile);
    written = first && second;
  }
  if (!payload.hangDiagnostics.empty()) {
    const auto& hang = *payload.hangDiagnostics.front();
    written = writeDictionaryToFile(
        nonfatalLine(hang, "hang_event", begin, end, {{"hang_duration", os::Value(hang.hangDuration.doubleValue)}}),
        **nonfatalFile);
  }
  if (!payload.cpuExceptionDiagnostics.empty()) {
    const auto& cpu = *payload.cpuExceptionDiagnostics.front();
    written = writeDictionaryToFile(
        nonfatalLine(cpu, "cpu_exception_event", begin, end,
                     {{"total_cpu_time", os::Value(cpu.totalCPUTime.doubleValue)},
                      {"total_sampled_time", os::Value(cpu.totalSampledTime.doubleValue)}}),
        **nonfatalFile);
  }
  if (!payload.diskWriteExceptionDiagnostics.empty()) {
    const auto& disk = *payload.diskWriteExceptionDiagnostics.front();
    written = writeDictionaryToFile(
        nonfatalLine(disk, "disk_write_exception_event", begin, end,
                     {{"total_writes_caused", os::Value(disk.totalWritesCaused.doubleValue)}}),
        **nonfatalFile);
  }
  return written;
}

bool ZOZMetricKitManager::writeDictionaryToFile(const os::Value& dictionary, os::FileHandle& file) {
  auto json = os::JSONSerialization::dataWithJSONObject(dictionary);
  if (!json) {
    ZOZDebugLog("Unable to write out dictionary.");
    return false;
  }
  os::Data line = *json;
  line.append(os::Data::fromString("\n"));
  return file.seekToEndOfFile().has_value() && file.writeData(line).has_value();
}

os::Array ZOZMetricKitManager::convertThreadsToArray(const std::shared_ptr<MXCallStackTree>& tree) {
  if (!tree) return {};
  auto parsed = ZOZCallStackTree::initWithMXCallStackTree(*tree);
  return parsed ? parsed->getArrayRepresentation() : os::Array{};
}

os::Array ZOZMetricKitManager::convertThreadsToArrayForNonfatal(const std::shared_ptr<MXCallStackTree>& tree) {
  if (!tree) return {};
  auto parsed = ZOZCallStackTree::initWithMXCallStackTree(*tree);
  return parsed ? parsed->getFramesOfBlamedThread() : os::Array{};
}

os::Dictionary ZOZMetricKitManager::convertMetadataToDictionary(const std::shared_ptr<MXMetaData>& metadata) {
  if (!metadata) return {};
  auto parsed = os::JSONSerialization::JSONObjectWithData(metadata->JSONRepresentation());
  if (!parsed || !parsed->isDictionary()) return {};
  return *parsed->dictionary();
}

std::string ZOZMetricKitManager::getSignalName(int64_t signal) {
  switch (signal) {
    case 4: return "SIGILL";
    case 5: return "SIGTRAP";
    case 6: return "SIGABRT";
    case 8: return "SIGFPE";
    case 10: return "SIGBUS";
    case 11: return "SIGSEGV";
    case 12: return "SIGSYS";
    default: return "UNKNOWN";
  }
}
