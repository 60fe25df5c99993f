// The platform's diagnostics manager, stood in for: a shared manager that
// subscribers join, and diagnostic payloads (crashes, hangs, CPU and
// disk-write exceptions) that tests build and deliver.
//
// Delivery is asynchronous: TEST_deliverDiagnosticPayloads and
// TEST_deliverMetricPayloads return at once, and the manager's serial queue
// (kMXDeliveryQueueLabel) later calls the subscribers added by then, in the
// order they were added, with the payloads in the order given. The manager
// holds subscribers weakly: one that is gone by the time its call comes is
// skipped. Thread-safe.
//
// Payloads are records: built once, then only read (by any thread).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "os/dispatch/queue.h"
#include "os/foundation/data.h"
#include "os/foundation/date.h"
#include "os/foundation/value.h"

inline constexpr const char* kMXDeliveryQueueLabel = "os.metrickit.delivery";

// A measured value and its unit ("sec", "byte", ...).
struct MXMeasurement {
  double doubleValue = 0;
  std::string unit;
};

// A call-stack tree as the platform hands it over: JSON text of the shape
// {"callStackPerThread": bool, "callStacks": [{"threadAttributed": bool,
// "callStackRootFrames": [{"binaryUUID", "offsetIntoBinaryTextSegment",
// "sampleCount", "binaryName", "address", "subFrames": [...]}]}]}.
class MXCallStackTree {
 public:
  explicit MXCallStackTree(os::Data json) : json_(std::move(json)) {}
  // The tree written as JSON (empty text when it cannot be).
  static std::shared_ptr<MXCallStackTree> withTree(const os::Value& tree);
  const os::Data& JSONRepresentation() const { return json_; }

 private:
  os::Data json_;
};

// The device and app facts of a diagnostic.
class MXMetaData {
 public:
  explicit MXMetaData(os::Dictionary values) : values_(std::move(values)) {}
  const os::Dictionary& dictionaryRepresentation() const { return values_; }
  // The dictionary as JSON text.
  os::Data JSONRepresentation() const;

 private:
  os::Dictionary values_;
};

struct MXDiagnostic {
  virtual ~MXDiagnostic() = default;
  std::shared_ptr<MXMetaData> metaData;
  std::string applicationVersion;
};

struct MXCrashDiagnostic : MXDiagnostic {
  std::shared_ptr<MXCallStackTree> callStackTree;
  std::optional<std::string> terminationReason;
  std::optional<std::string> virtualMemoryRegionInfo;
  std::optional<int64_t> exceptionType;
  std::optional<int64_t> exceptionCode;
  std::optional<int64_t> signal;
};

struct MXHangDiagnostic : MXDiagnostic {
  std::shared_ptr<MXCallStackTree> callStackTree;
  MXMeasurement hangDuration;
};

struct MXCPUExceptionDiagnostic : MXDiagnostic {
  std::shared_ptr<MXCallStackTree> callStackTree;
  MXMeasurement totalCPUTime;
  MXMeasurement totalSampledTime;
};

struct MXDiskWriteExceptionDiagnostic : MXDiagnostic {
  std::shared_ptr<MXCallStackTree> callStackTree;
  MXMeasurement totalWritesCaused;
};

struct MXDiagnosticPayload {
  std::vector<std::shared_ptr<MXCrashDiagnostic>> crashDiagnostics;
  std::vector<std::shared_ptr<MXHangDiagnostic>> hangDiagnostics;
  std::vector<std::shared_ptr<MXCPUExceptionDiagnostic>> cpuExceptionDiagnostics;
  std::vector<std::shared_ptr<MXDiskWriteExceptionDiagnostic>> diskWriteExceptionDiagnostics;
  os::Date timeStampBegin;
  os::Date timeStampEnd;
};

struct MXMetricPayload {
  os::Date timeStampBegin;
  os::Date timeStampEnd;
};

class MXMetricManagerSubscriber {
 public:
  virtual ~MXMetricManagerSubscriber() = default;
  virtual void didReceiveMetricPayloads(const std::vector<std::shared_ptr<MXMetricPayload>>& payloads) {
    (void)payloads;
  }
  virtual void didReceiveDiagnosticPayloads(const std::vector<std::shared_ptr<MXDiagnosticPayload>>& payloads) {
    (void)payloads;
  }
};

class MXMetricManager {
 public:
  static std::shared_ptr<MXMetricManager> sharedManager();

  // Adding a subscriber twice keeps one entry.
  void addSubscriber(const std::shared_ptr<MXMetricManagerSubscriber>& subscriber);
  void removeSubscriber(const std::shared_ptr<MXMetricManagerSubscriber>& subscriber);

  void TEST_deliverDiagnosticPayloads(std::vector<std::shared_ptr<MXDiagnosticPayload>> payloads);
  void TEST_deliverMetricPayloads(std::vector<std::shared_ptr<MXMetricPayload>> payloads);

  MXMetricManager();

 private:
  std::vector<std::weak_ptr<MXMetricManagerSubscriber>> subscribers();

  std::shared_ptr<os::DispatchQueue> queue_;
  std::mutex mutex_;
  std::vector<std::weak_ptr<MXMetricManagerSubscriber>> subscribers_;  // guarded by mutex_
};
