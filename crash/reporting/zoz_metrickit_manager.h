// MetricKit diagnostics: the platform's diagnostic payloads written as
// record lines.
//
// Fatal diagnostics go to "metric_kit_fatal.zozrecord" of the newest unsent
// report when its directory is still there under "active" (the crash most
// likely belongs to it), else of this launch's report: for the first crash
// of a payload, {"metric_kit_fatal": {...}} then {"threads": [...]}. Only
// the first crash written in one delivery is kept. Non-fatal diagnostics go
// to this launch's "metric_kit_nonfatal.zozrecord": one {"exception": {...}}
// line for the first hang, CPU exception and disk-write exception in turn.
// Lines are appended, one JSON object each.
//
// Start-up waits (waitForMetricKitDataAvailable) until the first delivery,
// or three seconds of os::Clock time, or at once when the previous launch
// did not crash or no diagnostic is pending; the promise is fulfilled once.
//
// ZOZCallStackTree, ZOZThread and ZOZFrame turn a call-stack tree into the
// thread list: per thread the chain of first frames from the root down.
//
// Threads: deliveries come on the platform's queue; the promise and its flag
// are guarded by `mutex_`.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "crash/reporting/zoz_file_manager.h"
#include "crash/reporting/zoz_manager_data.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/value.h"
#include "os/metrickit/metric_manager.h"
#include "platform/promises/aravuvo.h"

class ZOZExistingReportManager;

inline constexpr const char* kZOZMetricKitFatalSection = "metric_kit_fatal";
inline constexpr const char* kZOZMetricKitNonfatalType = "metrickit_nonfatal";
inline constexpr double kZOZMetricKitWaitSeconds = 3.0;

struct ZOZFrame {
  int64_t address = 0;
  int64_t sampleCount = 0;
  int64_t offsetIntoBinaryTextSegment = 0;
  std::string binaryName;
  std::string binaryUUID;
};

struct ZOZThread {
  std::string threadName;
  bool threadBlamed = false;
  std::vector<ZOZFrame> frames;
};

class ZOZCallStackTree {
 public:
  // Null for an empty or unparseable tree.
  static std::shared_ptr<ZOZCallStackTree> initWithMXCallStackTree(const MXCallStackTree& tree);
  // Appends the first frame of `frames`, then its sub-frames' first, ...
  static void flattenSubFrames(const os::Array& frames, std::vector<ZOZFrame>& into);

  bool callStackPerThread = false;
  std::vector<ZOZThread> threads;

  // One {"registers": {}, "stacktrace": [...], "crashed": ...} per thread.
  os::Array getArrayRepresentation() const;
  static os::Dictionary getDictionaryRepresentation(const ZOZThread& thread);
  // {"pc", "offset", "line": 0} per frame of the first blamed thread (or the
  // first thread).
  os::Array getFramesOfBlamedThread() const;
};

class ZOZMetricKitManager final : public MXMetricManagerSubscriber,
                                  public std::enable_shared_from_this<ZOZMetricKitManager> {
 public:
  ZOZMetricKitManager(std::shared_ptr<ZOZManagerData> managerData,
                      std::shared_ptr<ZOZExistingReportManager> existingReportManager,
                      std::shared_ptr<ZOZFileManager> fileManager);

  // On the start-up thread.
  void registerMetricKitManager();
  VUVAravuvoPtr waitForMetricKitDataAvailable() const;

  void didReceiveDiagnosticPayloads(
      const std::vector<std::shared_ptr<MXDiagnosticPayload>>& payloads) override;
  void didReceiveMetricPayloads(const std::vector<std::shared_ptr<MXMetricPayload>>&) override {}

  bool processMetricKitPayload(const MXDiagnosticPayload& payload, bool skipCrashEvent);
  // Fulfils the promise once.
  void fulfillMetricKitPromise();
  bool writeDictionaryToFile(const os::Value& dictionary, os::FileHandle& file);

  static os::Array convertThreadsToArray(const std::shared_ptr<MXCallStackTree>& tree);
  static os::Array convertThreadsToArrayForNonfatal(const std::shared_ptr<MXCallStackTree>& tree);
  static os::Dictionary convertMetadataToDictionary(const std::shared_ptr<MXMetaData>& metadata);
  static std::string getSignalName(int64_t signal);

 private:
  const std::shared_ptr<ZOZManagerData> managerData_;
  const std::shared_ptr<ZOZExistingReportManager> existingReportManager_;
  const std::shared_ptr<ZOZFileManager> fileManager_;
  mutable std::recursive_mutex mutex_;
  bool metricKitPromiseFulfilled_ = false;  // guarded by mutex_
  VUVAravuvoPtr metricKitDataAvailable_;    // guarded by mutex_
};
