// ZOZReportManager: the crash reporter's start-up and what happens to the
// reports of earlier launches.
//
// Design note: start-up (startWithProfiling), on the thread that creates the
// crash reporter:
//   1. the reports of earlier launches are collected (before this launch's
//      directory exists);
//   2. the app's identifiers are checked (executable readable, bundle
//      identifier, no legacy collection key), and the report directories
//      made; a failure ends start-up with NO, and settles at once both
//      promises the app may wait on (`unsentReportsAvailable` with nil,
//      `unsentReportsHandled`), logged once;
//   3. the launch marker is checked and made: a marker left behind means the
//      previous launch never completed its set-up;
//   4. this launch's report directory is made and the capture core started
//      over it; set-up completes on the main queue (marker removed, handler
//      checks two seconds later);
//   5. MetricKit diagnostics are registered when the settings ask for them;
//   6. data collection on: the settings are refreshed when expired, and once
//      MetricKit data is in, the unsent reports are sent (urgently, blocking
//      the start-up queue, after a failed launch); data collection off: the
//      newest unsent report is offered to the app, and the reports wait for
//      sendUnsentReports, deleteUnsentReports or collection turned on.
//   The promise of start-up resolves with YES when this launch's report is
//   set up; `unsentReportsHandled` resolves (on the main queue) only after
//   every operation queued before it (sends and deletes) has run.
//
// Promises: `unsentReportsAvailable` (the newest unsent report when
// collection is off, nil when on), `reportActionProvided` (0 send, 1
// delete), `unsentReportsHandled`. checkForUnsentReports answers the first
// once per process; later calls are logged and get nil.
//
// Threads: continuations run on the serial start-up queue; the last step and
// set-up completion on the main queue.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "crash/reporting/zoz_analytics_manager.h"
#include "crash/reporting/zoz_existing_report_manager.h"
#include "crash/reporting/zoz_manager_data.h"
#include "crash/reporting/zoz_metrickit_manager.h"
#include "crash/reporting/zoz_notification_manager.h"
#include "crash/reporting/zoz_on_demand_model.h"
#include "crash/reporting/zoz_settings_manager.h"
#include "os/foundation/value.h"
#include "platform/promises/aravuvo.h"

inline constexpr int kZOZReportActionSend = 0;
inline constexpr int kZOZReportActionDelete = 1;
inline constexpr const char* kZOZKitStartTimeKey = "com.zoziduzuzud.kit-start-time";
inline constexpr const char* kZOZFirstRunLoopTimeKey = "com.zoziduzuzud.first-run-loop-time";
inline constexpr double kZOZHandlerCheckDelaySeconds = 2.0;

// The report action an NSNumber-like object carries: its int value.
int ZOZReportActionValue(const VUVAravuvo::Object& object);

class ZOZReportManager : public std::enable_shared_from_this<ZOZReportManager> {
 public:
  ZOZReportManager(std::shared_ptr<ZOZManagerData> managerData,
                   std::shared_ptr<ZOZExistingReportManager> existingReportManager,
                   std::shared_ptr<ZOZAnalyticsManager> analyticsManager);

  // A promise of an os::Number Boolean: this launch's report set up and
  // capture started.
  VUVAravuvoPtr startWithProfiling();
  VUVAravuvoPtr checkForUnsentReports();
  VUVAravuvoPtr sendUnsentReports();
  VUVAravuvoPtr deleteUnsentReports();
  // Provides the action (any integer) to a start-up that waits for one.
  VUVAravuvoPtr provideReportAction(int action);

  const std::shared_ptr<ZOZSettingsManager>& settingsManager() const { return settingsManager_; }
  const std::shared_ptr<ZOZMetricKitManager>& metricKitManager() const { return metricKitManager_; }
  const std::shared_ptr<ZOZLaunchMarkerModel>& launchMarker() const { return launchMarker_; }
  const VUVAravuvoPtr& unsentReportsHandled() const { return unsentReportsHandled_; }

 private:
  bool validateAppIdentifiers() const;
  // Logs, settles the unsent-report promises with no report; a promise of NO.
  VUVAravuvoPtr settleAfterFailedStart();
  std::shared_ptr<ZOZInternalReport> setupCurrentReport(const std::string& executionID);
  bool startCrashReporterWithProfilingReport(const std::shared_ptr<ZOZInternalReport>& report);
  void crashReportingSetupCompleted();
  bool metricKitApplies() const;
  VUVAravuvoPtr waitForReportAction();
  VUVAravuvoPtr waitForMetricKitData();
  void beginSettingsWithToken(const std::shared_ptr<ZOZDataCollectionToken>& token);
  void beginReportUploadsWithToken(const std::shared_ptr<ZOZDataCollectionToken>& token, bool blockingSend);

  const std::shared_ptr<ZOZManagerData> managerData_;
  const std::shared_ptr<ZOZExistingReportManager> existingReportManager_;
  const std::shared_ptr<ZOZAnalyticsManager> analyticsManager_;
  const VUVAravuvoPtr unsentReportsAvailable_;
  const VUVAravuvoPtr reportActionProvided_;
  const VUVAravuvoPtr unsentReportsHandled_;
  std::atomic<uint8_t> checkForUnsentReportsCalled_{0};
  std::once_flag settingsOnce_;
  std::shared_ptr<ZOZSettingsManager> settingsManager_;
  std::shared_ptr<ZOZNotificationManager> notificationManager_;
  std::shared_ptr<ZOZMetricKitManager> metricKitManager_;
  std::shared_ptr<ZOZLaunchMarkerModel> launchMarker_;
};
