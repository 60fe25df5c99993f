// On-demand exception reports and the launch marker.
//
// ZOZOnDemandModel admits exceptions the app wants sent at once, within a
// quota taken from the settings: while fewer than `onDemandUploadRate`
// admitted exceptions still wait in its queue, an exception is written as a
// report of its own and queued; otherwise it is dropped (counted). Each
// queued block hands its report to the existing-report manager for an urgent
// upload (data collection on) or keeps it (off: at most four, the oldest
// removed), then waits out a back-off delay on os::Clock before the next
// block may run:
//   step  climbs by the elapsed steps (elapsed / step duration) while the
//         quota is exhausted, decays by them otherwise, within 0 ... 100;
//   delay = base^step x 60 / rate seconds, at most 3600.
// With the defaults (rate 10, base 1.5, step duration 6 s) the first delay
// is 6 seconds.
//
// ZOZLaunchMarkerModel keeps the empty file "launchmarker" in the reports
// directory from early start-up until set-up completes: a marker found at
// start-up means the previous launch never completed its set-up.
//
// Threads: recording may come from any thread; the decision, the counters
// and the step are guarded by `mutex_`; the queued blocks run one at a time
// on "com.devuvo.vivuzuvu.zoziduzuzud.on.demand".
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "crash/reporting/rez_exception_model.h"
#include "crash/reporting/zoz_file_manager.h"
#include "crash/reporting/zoz_settings.h"
#include "os/dispatch/operation.h"
#include "os/dispatch/queue.h"

class ZOZExistingReportManager;

inline constexpr const char* kZOZOnDemandQueueSuffix = ".on-demand-queue";
inline constexpr const char* kZOZOnDemandDispatchQueueLabel = "com.devuvo.vivuzuvu.zoziduzuzud.on.demand";
inline constexpr size_t kZOZMaxStoredOnDemandReports = 4;
inline constexpr double kZOZOnDemandMaxStep = 100;
inline constexpr double kZOZOnDemandMaxDelaySeconds = 3600;
inline constexpr const char* kZOZLaunchMarkerFileName = "launchmarker";

class ZOZOnDemandModel : public std::enable_shared_from_this<ZOZOnDemandModel> {
 public:
  // Writes the exception as a new report and gives its directory, or
  // nullopt. The default is the capture core's on-demand recorder.
  using Recorder =
      std::function<std::optional<std::string>(const REZExceptionModel& model, int recordedCount, int droppedCount)>;

  ZOZOnDemandModel(std::shared_ptr<ZOZSettings> settings, std::shared_ptr<ZOZFileManager> fileManager,
                   Recorder recorder = nullptr);

  // True when the exception was written and queued.
  bool recordOnDemandExceptionIfQuota(const std::shared_ptr<REZExceptionModel>& model, bool dataCollectionEnabled,
                                      const std::shared_ptr<ZOZExistingReportManager>& existingReportManager);

  bool isQueueFull() const;
  // Seconds; moves the step.
  double calculateUploadDelay();
  double calculateStepDuration();
  // Waits `seconds` of os::Clock time.
  void implementOnDemandUploadDelay(int seconds);
  std::optional<std::string> recordOnDemandExceptionWithModel(const REZExceptionModel& model);

  uint32_t recordedOnDemandExceptionCount() const;
  uint32_t droppedOnDemandExceptionCount() const;
  uint32_t queuedOperationsCount() const;
  double currentStep() const;
  // Newest first.
  std::vector<std::string> storedActiveReportPaths() const;
  void removeAllStoredActiveReportPaths();
  const std::shared_ptr<os::OperationQueue>& operationQueue() const { return operationQueue_; }

 private:
  bool isQueueFullLocked() const;  // requires mutex_

  const std::shared_ptr<ZOZSettings> settings_;
  const std::shared_ptr<ZOZFileManager> fileManager_;
  const Recorder recorder_;
  const std::shared_ptr<os::DispatchQueue> dispatchQueue_;
  const std::shared_ptr<os::OperationQueue> operationQueue_;
  mutable std::recursive_mutex mutex_;
  uint32_t recordedOnDemandExceptionCount_ = 0;   // guarded by mutex_
  uint32_t droppedOnDemandExceptionCount_ = 0;    // guarded by mutex_
  uint32_t queuedOperationsCount_ = 0;            // guarded by mutex_
  double lastUpdated_;                            // guarded by mutex_; seconds since 2001
  double currentStep_ = -1.0;                     // guarded by mutex_
  std::deque<std::string> storedActiveReportPaths_;  // guarded by mutex_
};

class ZOZLaunchMarkerModel {
 public:
  explicit ZOZLaunchMarkerModel(std::shared_ptr<ZOZFileManager> fileManager) : fileManager_(std::move(fileManager)) {}

  // True when the marker was there already (left as it is); otherwise makes
  // it and answers false.
  bool checkForAndCreateLaunchMarker();
  bool launchFailureMarkerPresent() const;
  // Created (0644) and closed at once.
  bool createLaunchFailureMarker();
  bool removeLaunchFailureMarker();
  std::string launchFailureMarkerPath() const;

 private:
  const std::shared_ptr<ZOZFileManager> fileManager_;
};
