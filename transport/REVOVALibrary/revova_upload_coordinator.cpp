#include "transport/REVOVALibrary/revova_upload_coordinator.h"

#include "transport/REVOVALibrary/revova_platform.h"

std::shared_ptr<REVOVAUploadCoordinator> REVOVAUploadCoordinator::sharedInstance() {
  static auto* instance =
      new std::shared_ptr<REVOVAUploadCoordinator>(std::make_shared<REVOVAUploadCoordinator>());
  return *instance;
}

void REVOVAUploadCoordinator::forceUploadForTarget(int64_t target) {
  REVOVALogDebug("Forcing an upload of target %ld", target);
  record("forceUploadForTarget:", target);
}

void REVOVAUploadCoordinator::appWillBackground(const std::shared_ptr<REVOVAApplication>&) {
  record("appWillBackground:", 0);
}

void REVOVAUploadCoordinator::appWillForeground(const std::shared_ptr<REVOVAApplication>&) {
  record("appWillForeground:", 0);
}

void REVOVAUploadCoordinator::appWillTerminate(const std::shared_ptr<REVOVAApplication>&) {
  record("appWillTerminate:", 0);
}

void REVOVAUploadCoordinator::record(std::string selector, int64_t target) {
  std::lock_guard lock(mutex_);
  calls_.push_back({std::move(selector), target});
}

std::vector<REVOVAUploadCoordinator::RecordedCall> REVOVAUploadCoordinator::TEST_recordedCalls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

void REVOVAUploadCoordinator::TEST_clearRecordedCalls() {
  std::lock_guard lock(mutex_);
  calls_.clear();
}
