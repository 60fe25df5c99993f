// The engine's part in the application life cycle: a stale configuration
// refreshed and conversion values fetched when the app becomes active, a
// background task held and an upload queued when it resigns active, the task
// released when it returns to the foreground, and the session start of a
// prewarmed launch deferred to the first scene connection.
//
// Handlers run on the posting (main) thread and touch only the atomic
// background task and the persisted configuration; everything else is moved
// onto the worker queue with the engine held weakly.

#include <cmath>

#include "measurement/engine/core/measurement.h"
#include "measurement/engine/interface/analytics.h"
#include "measurement/engine/upload/upload_codes.h"
#include "measurement/store/engine_services/install_environment.h"
#include "measurement/store/monitor.h"
#include "os/foundation/date.h"

namespace {

constexpr const char* kBackgroundTaskName = "APMAnalyticsMeasurementBackgroundTask";
constexpr double kConfigurationRefreshAge = 604800;

}  // namespace

void APMMeasurement::subscribeForAppForegroundBackgroundNotifications() {
  auto center = os::NotificationCenter::defaultCenter();
  std::weak_ptr<APMMeasurement> weakSelf = weak_from_this();
  auto forward = [weakSelf](void (APMMeasurement::*handler)(const os::Notification&)) {
    return [weakSelf, handler](const os::Notification& notification) {
      if (auto self = weakSelf.lock()) ((*self).*handler)(notification);
    };
  };
  center->addObserver(this, forward(&APMMeasurement::handleAppDidBecomeActiveEvent),
                      os::kUIApplicationDidBecomeActiveNotification, nullptr);
  center->addObserver(this, forward(&APMMeasurement::handleAppWillResignActiveEvent),
                      os::kUIApplicationWillResignActiveNotification, nullptr);
  center->addObserver(this, forward(&APMMeasurement::handleAppWillEnterForegroundNotification),
                      os::kUIApplicationWillEnterForegroundNotification, nullptr);
}

void APMMeasurement::handleAppDidBecomeActiveEvent(const os::Notification&) {
  if (remoteConfigOrDefault()->blocklistInternal()) {
    scheduleWeakly("APMMeasurement:4289", [](APMMeasurement& self) {
      const double age = std::fabs(os::Date::now().timeIntervalSince1970() -
                                   self.remoteConfigOrDefault()->lastRemoteConfigUpdateTimestamp());
      if (age < kConfigurationRefreshAge) return;
      if (self.isNetworkReadyForRequest()) {
        self.fetchRemoteConfig();
      } else {
        monitor()->logWithLevel(8, kAPMMeasurementCodeConfigFetchNetworkPending,
                                "Network operation is pending. Ignoring request to fetch configuration");
      }
    });
  }
  scheduleWeakly("APMMeasurement:4296", [](APMMeasurement& self) { self.fetchSKANCV(); });
}

void APMMeasurement::handleAppWillResignActiveEvent(const os::Notification&) {
  persistedConfig_->synchronizeToDisk();
  monitor()->logWithLevel(8, kAPMMeasurementCodeWillResignActive, "App will resign active state. Scheduling data upload");
  auto application = APMAEU::sharedApplication();
  if (!application) return;
  std::weak_ptr<APMMeasurement> weakSelf = weak_from_this();
  const UIBackgroundTaskIdentifier taskID = application->beginBackgroundTask(kBackgroundTaskName, [weakSelf] {
    if (auto self = weakSelf.lock()) self->terminateBackgroundTask();
  });
  swapBackgroundTaskWithNewTaskID(taskID);
  monitor()->logWithLevel(8, kAPMMeasurementCodeBackgroundTaskStarted, "Background task started. Task ID",
                          static_cast<int64_t>(taskID));
  APMAnalytics::queueOperationWithBlock([weakSelf] {
    if (auto self = weakSelf.lock()) {
      self->scheduleWeakly("APMMeasurement:4342", [](APMMeasurement& engine) { engine.uploadData(); });
    }
  });
}

void APMMeasurement::handleAppWillEnterForegroundNotification(const os::Notification&) { terminateBackgroundTask(); }

void APMMeasurement::terminateBackgroundTask() {
  if (persistedConfig_) persistedConfig_->synchronizeToDisk();
  swapBackgroundTaskWithNewTaskID(UIBackgroundTaskInvalid);
}

void APMMeasurement::swapBackgroundTaskWithNewTaskID(UIBackgroundTaskIdentifier taskID) {
  const UIBackgroundTaskIdentifier previous = backgroundUpdateTask_.exchange(taskID);
  if (previous == UIBackgroundTaskInvalid) return;
  monitor()->logWithLevel(7, kAPMMeasurementCodeCancellingBackgroundTask, "Cancelling background upload task. Task ID ",
                          static_cast<int64_t>(previous));
  if (auto application = APMAEU::sharedApplication()) application->endBackgroundTask(previous);
}

void APMMeasurement::reportSessionStart() {
  scheduleWeakly("APMMeasurement:1149", [](APMMeasurement& self) {
    self.reportSessionStartOnWorkerQueueWithTimestamp(self.initTimestamp_, false);
  });
}

void APMMeasurement::reportSessionStartWhenSceneWillConnectOnWorkerQueue() {
  // One observer per process launch; its first delivery removes it.
  struct Registration {
    std::mutex mutex;
    std::shared_ptr<os::NotificationObserverToken> token;  // guarded by mutex
  };
  auto registration = std::make_shared<Registration>();
  auto center = os::NotificationCenter::defaultCenter();
  std::weak_ptr<APMMeasurement> weakSelf = weak_from_this();
  std::lock_guard lock(registration->mutex);
  registration->token = center->addObserverForName(
      os::kUISceneWillConnectNotification, nullptr, std::shared_ptr<os::DispatchQueue>(),
      [registration, weakSelf](const os::Notification&) {
        std::shared_ptr<os::NotificationObserverToken> token;
        {
          std::lock_guard lock(registration->mutex);
          token = std::move(registration->token);
        }
        if (!token) return;
        os::NotificationCenter::defaultCenter()->removeObserver(token);
        if (auto self = weakSelf.lock()) self->reportSessionStart();
      });
}
