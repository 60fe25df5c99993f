#include "transport/REVOVALibrary/revova_upload_coordinator.h"

#include <set>

#include "transport/REVOVALibrary/revova_application.h"
#include "transport/REVOVALibrary/revova_platform.h"
#include "transport/REVOVALibrary/revova_reachability.h"
#include "transport/REVOVALibrary/revova_registrar.h"

std::shared_ptr<REVOVAUploadCoordinator> REVOVAUploadCoordinator::sharedInstance() {
  static auto* instance = new std::shared_ptr<REVOVAUploadCoordinator>([] {
    auto coordinator = std::make_shared<REVOVAUploadCoordinator>(REVOVARegistrar::sharedInstance());
    coordinator->startTimer();
    return coordinator;
  }());
  return *instance;
}

REVOVAUploadCoordinator::REVOVAUploadCoordinator(std::shared_ptr<REVOVARegistrar> registrar)
    : coordinationQueue_(os::DispatchQueue::serial(kREVOVAUploadCoordinatorQueueLabel)),
      registrar_(registrar ? std::move(registrar) : REVOVARegistrar::sharedInstance()) {}

REVOVAUploadCoordinator::~REVOVAUploadCoordinator() {
  // The handler holds the coordinator weakly; a cancelled source runs no more.
  if (timer_) timer_->cancel();
}

int64_t REVOVAUploadCoordinator::uploadConditions() {
  const uint32_t flags = REVOVAReachability::currentFlags();
  const uint32_t relevant = flags & (kREVOVAReachabilityFlagReachable | kREVOVAReachabilityFlagConnectionRequired);
  if (relevant != kREVOVAReachabilityFlagReachable) return kREVOVAUploadConditionNoNetwork;
  if (flags & kREVOVAReachabilityFlagIsWWAN) return kREVOVAUploadConditionMobileData;
  return kREVOVAUploadConditionWifiData;
}

void REVOVAUploadCoordinator::forceUploadForTarget(int64_t target) {
  record("forceUploadForTarget:", target);
  auto self = shared_from_this();
  coordinationQueue_->async([self, target] {
    REVOVALogDebug("Forcing an upload of target %ld", target);
    self->uploadTargets({target}, uploadConditions() | kREVOVAUploadConditionHighPriority);
  });
}

void REVOVAUploadCoordinator::startTimer() {
  std::weak_ptr<REVOVAUploadCoordinator> weak = weak_from_this();
  coordinationQueue_->async([this, weak] {
    auto self = weak.lock();
    if (!self || timer_) return;
    timer_ = os::DispatchSourceTimer::create(coordinationQueue_);
    timer_->setTimer(os::DispatchTime::fromNowNanos(kREVOVAUploadCoordinatorTimerStartDelay),
                     kREVOVAUploadCoordinatorTimerInterval, kREVOVAUploadCoordinatorTimerLeeway);
    timer_->setEventHandler([weak] {
      if (auto coordinator = weak.lock()) coordinator->timerFired();
    });
    REVOVALogDebug("Upload timer started");
    timer_->resume();
  });
}

void REVOVAUploadCoordinator::stopTimer() {
  std::weak_ptr<REVOVAUploadCoordinator> weak = weak_from_this();
  coordinationQueue_->async([this, weak] {
    auto self = weak.lock();
    if (!self || !timer_) return;
    timer_->cancel();
    timer_.reset();
  });
}

void REVOVAUploadCoordinator::timerFired() {
  if (REVOVAApplication::sharedApplication()->isRunningInBackground()) return;
  const int64_t conditions = uploadConditions();
  REVOVALogDebug("Upload timer fired");
  std::vector<int64_t> targets;
  for (const auto& [target, uploader] : registrar_->targetToUploader()) targets.push_back(target);
  uploadTargets(targets, conditions);
}

void REVOVAUploadCoordinator::uploadTargets(const std::vector<int64_t>& targets, int64_t conditions) {
  auto self = shared_from_this();
  coordinationQueue_->async([self, targets, conditions] {
    if (conditions & kREVOVAUploadConditionNoNetwork) return;
    auto uploaders = self->registrar_->targetToUploader();
    for (int64_t target : targets) {
      auto uploader = uploaders.find(target);
      if (uploader != uploaders.end() && uploader->second)
        uploader->second->uploadTarget(static_cast<int32_t>(target), conditions);
    }
  });
}

void REVOVAUploadCoordinator::signalToStoragesToCheckExpirations() {
  std::set<std::shared_ptr<REVOVAStorageProtocol>> storages;
  for (const auto& [target, storage] : registrar_->targetToStorage())
    if (storage) storages.insert(storage);
  for (const auto& storage : storages) storage->checkForExpirations();
}

std::shared_ptr<REVOVAStorageProtocol> REVOVAUploadCoordinator::storageForTarget(int64_t target) {
  auto storages = registrar_->targetToStorage();
  auto it = storages.find(target);
  std::shared_ptr<REVOVAStorageProtocol> storage = it == storages.end() ? nullptr : it->second;
  REVOVAAssert(storage != nullptr, "A storage must be registered for target %@", target);
  return storage;
}

void REVOVAUploadCoordinator::appWillBackground(const std::shared_ptr<REVOVAApplication>&) {
  record("appWillBackground:", 0);
  stopTimer();
}

void REVOVAUploadCoordinator::appWillForeground(const std::shared_ptr<REVOVAApplication>&) {
  record("appWillForeground:", 0);
  startTimer();
  signalToStoragesToCheckExpirations();
}

void REVOVAUploadCoordinator::appWillTerminate(const std::shared_ptr<REVOVAApplication>&) {
  record("appWillTerminate:", 0);
  stopTimer();
}

bool REVOVAUploadCoordinator::TEST_isTimerRunning() const {
  return coordinationQueue_->sync([this] { return timer_ != nullptr; });
}

void REVOVAUploadCoordinator::record(std::string selector, int64_t target) {
  std::lock_guard lock(mutex_);
  if (recordsCalls_) calls_.push_back({std::move(selector), target});
}

void REVOVAUploadCoordinator::TEST_recordCalls(bool enabled) {
  std::lock_guard lock(mutex_);
  recordsCalls_ = enabled;
}

std::vector<REVOVAUploadCoordinator::RecordedCall> REVOVAUploadCoordinator::TEST_recordedCalls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

void REVOVAUploadCoordinator::TEST_clearRecordedCalls() {
  std::lock_guard lock(mutex_);
  calls_.clear();
}
