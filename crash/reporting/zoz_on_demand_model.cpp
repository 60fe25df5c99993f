#include "crash/reporting/zoz_on_demand_model.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "crash/core/zoz_application.h"
#include "crash/core/zoz_sdk_log.h"
#include "crash/reporting/zoz_data_collection_arbiter.h"
#include "crash/reporting/zoz_exception_model_record.h"
#include "crash/reporting/zoz_existing_report_manager.h"
#include "os/foundation/date.h"

namespace {

double now() { return os::Date::now().timeIntervalSinceReferenceDate(); }

std::shared_ptr<os::OperationQueue> makeQueue(const std::shared_ptr<os::DispatchQueue>& underlying) {
  auto queue = os::OperationQueue::create(ZOZApplicationGetSDKBundleID() + kZOZOnDemandQueueSuffix);
  queue->setMaxConcurrentOperationCount(1);
  queue->setUnderlyingQueue(underlying);
  return queue;
}

}  // namespace

ZOZOnDemandModel::ZOZOnDemandModel(std::shared_ptr<ZOZSettings> settings, std::shared_ptr<ZOZFileManager> fileManager,
                                   Recorder recorder)
    : settings_(std::move(settings)),
      fileManager_(std::move(fileManager)),
      recorder_(recorder ? std::move(recorder) : Recorder(ZOZExceptionRecordOnDemandModel)),
      dispatchQueue_(os::DispatchQueue::serial(kZOZOnDemandDispatchQueueLabel)),
      operationQueue_(makeQueue(dispatchQueue_)),
      lastUpdated_(now()) {}

bool ZOZOnDemandModel::recordOnDemandExceptionIfQuota(
    const std::shared_ptr<REZExceptionModel>& model, bool dataCollectionEnabled,
    const std::shared_ptr<ZOZExistingReportManager>& existingReportManager) {
  std::lock_guard lock(mutex_);
  if (isQueueFullLocked()) {
    ZOZDebugLog("No available on-demand quota, dropping report");
    ++droppedOnDemandExceptionCount_;
    ++recordedOnDemandExceptionCount_;
    return false;
  }
  auto token = ZOZDataCollectionToken::validToken();
  auto path = model ? recordOnDemandExceptionWithModel(*model) : std::nullopt;
  if (!path) {
    ZOZErrorLog("Error recording on-demand exception");
    return false;
  }
  ++queuedOperationsCount_;
  ++recordedOnDemandExceptionCount_;
  droppedOnDemandExceptionCount_ = 0;

  auto self = shared_from_this();
  operationQueue_->addOperationWithBlock([self, path = *path, token, dataCollectionEnabled, existingReportManager] {
    const double delay = self->calculateUploadDelay();
    if (dataCollectionEnabled) {
      if (existingReportManager) existingReportManager->handleOnDemandReportUpload(path, token, true);
      ZOZDebugLog("Submitted an on-demand exception, starting delay %.20f", delay);
    } else {
      {
        std::lock_guard lock(self->mutex_);
        self->storedActiveReportPaths_.push_front(path);
        if (self->storedActiveReportPaths_.size() > kZOZMaxStoredOnDemandReports) {
          self->fileManager_->removeItemAtPath(self->storedActiveReportPaths_.back());
          self->storedActiveReportPaths_.pop_back();
          --self->recordedOnDemandExceptionCount_;
          ++self->droppedOnDemandExceptionCount_;
        }
      }
      ZOZDebugLog("Stored an on-demand exception, starting delay %.20f", delay);
    }
    self->implementOnDemandUploadDelay(static_cast<int>(delay));
    std::lock_guard lock(self->mutex_);
    --self->queuedOperationsCount_;
  });
  return true;
}

bool ZOZOnDemandModel::isQueueFull() const {
  std::lock_guard lock(mutex_);
  return isQueueFullLocked();
}

bool ZOZOnDemandModel::isQueueFullLocked() const {
  return static_cast<double>(static_cast<int32_t>(queuedOperationsCount_)) >= settings_->onDemandUploadRate();
}

double ZOZOnDemandModel::calculateStepDuration() {
  std::lock_guard lock(mutex_);
  const double time = now();
  const bool full = isQueueFullLocked();
  if (currentStep_ == -1.0) {
    currentStep_ = 0;
    lastUpdated_ = time;
  }
  const double stepDuration = settings_->onDemandBackoffStepDuration();
  const double elapsedSteps = stepDuration > 0 ? (time - lastUpdated_) / stepDuration : 0;
  const double step = full ? std::min(currentStep_ + elapsedSteps, kZOZOnDemandMaxStep)
                           : std::max(currentStep_ - elapsedSteps, 0.0);
  if (step != currentStep_) {
    currentStep_ = step;
    lastUpdated_ = time;
  }
  return step;
}

double ZOZOnDemandModel::calculateUploadDelay() {
  const double step = calculateStepDuration();
  const double delay = std::pow(settings_->onDemandBackoffBase(), step) * 60.0 / settings_->onDemandUploadRate();
  if (!(delay <= kZOZOnDemandMaxDelaySeconds)) return kZOZOnDemandMaxDelaySeconds;  // also NaN
  return delay;
}

void ZOZOnDemandModel::implementOnDemandUploadDelay(int seconds) {
  if (seconds <= 0) return;
  os::DispatchSemaphore::create(0)->wait(os::DispatchTime::fromNow(seconds));
}

std::optional<std::string> ZOZOnDemandModel::recordOnDemandExceptionWithModel(const REZExceptionModel& model) {
  std::lock_guard lock(mutex_);
  return recorder_(model, static_cast<int>(recordedOnDemandExceptionCount_),
                   static_cast<int>(droppedOnDemandExceptionCount_));
}

uint32_t ZOZOnDemandModel::recordedOnDemandExceptionCount() const {
  std::lock_guard lock(mutex_);
  return recordedOnDemandExceptionCount_;
}
uint32_t ZOZOnDemandModel::droppedOnDemandExceptionCount() const {
  std::lock_guard lock(mutex_);
  return droppedOnDemandExceptionCount_;
}
uint32_t ZOZOnDemandModel::queuedOperationsCount() const {
  std::lock_guard lock(mutex_);
  return queuedOperationsCount_;
}
double ZOZOnDemandModel::currentStep() const {
  std::lock_guard lock(mutex_);
  return currentStep_;
}
std::vector<std::string> ZOZOnDemandModel::storedActiveReportPaths() const {
  std::lock_guard lock(mutex_);
  return {storedActiveReportPaths_.begin(), storedActiveReportPaths_.end()};
}
void ZOZOnDemandModel::removeAllStoredActiveReportPaths() {
  std::lock_guard lock(mutex_);
  storedActiveReportPaths_.clear();
}

// ---- ZOZLaunchMarkerModel ----

std::string ZOZLaunchMarkerModel::launchFailureMarkerPath() const {
  return fileManager_->structurePath() + "/" + kZOZLaunchMarkerFileName;
}

bool ZOZLaunchMarkerModel::checkForAndCreateLaunchMarker() {
  if (launchFailureMarkerPresent()) {
    ZOZDebugLog("[Zoziduzuzud:Crash] Last launch failed: this may indicate a crash shortly after app launch.");
    return true;
  }
  createLaunchFailureMarker();
  return false;
}

bool ZOZLaunchMarkerModel::launchFailureMarkerPresent() const {
  return fileManager_->fileExistsAtPath(launchFailureMarkerPath());
}

bool ZOZLaunchMarkerModel::createLaunchFailureMarker() {
  const std::string path = launchFailureMarkerPath();
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  return ::close(fd) == 0;
}

bool ZOZLaunchMarkerModel::removeLaunchFailureMarker() { return fileManager_->removeItemAtPath(launchFailureMarkerPath()); }
