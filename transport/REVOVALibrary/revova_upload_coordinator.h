// REVOVAUploadCoordinator decides when uploads happen: on its timer, at once
// for a target that just stored a QoS-tier-4 event, and it asks the storages
// to drop expired events when the application returns to the foreground.
//
// This is its least form: it records the calls the storage and the life-cycle
// fan-out make (forceUploadForTarget, appWillForeground, appWillBackground,
// appWillTerminate), in order, and does nothing else yet. Thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "transport/REVOVALibrary/revova_protocols.h"

inline constexpr const char* kREVOVAUploadCoordinatorQueueLabel = "com.devuvo.REVOVAUploadCoordinator";

class REVOVAUploadCoordinator : public REVOVALifecycleProtocol {
 public:
  static std::shared_ptr<REVOVAUploadCoordinator> sharedInstance();

  // Forces an upload of the target.
  virtual void forceUploadForTarget(int64_t target);

  void appWillBackground(const std::shared_ptr<REVOVAApplication>& app) override;
  void appWillForeground(const std::shared_ptr<REVOVAApplication>& app) override;
  void appWillTerminate(const std::shared_ptr<REVOVAApplication>& app) override;

  // One recorded call: its name ("forceUploadForTarget:", "appWillBackground:",
  // "appWillForeground:", "appWillTerminate:") and the target, 0 for none.
  struct RecordedCall {
    std::string selector;
    int64_t target = 0;
    friend bool operator==(const RecordedCall&, const RecordedCall&) = default;
  };
  std::vector<RecordedCall> TEST_recordedCalls() const;
  void TEST_clearRecordedCalls();

 private:
  void record(std::string selector, int64_t target);

  mutable std::mutex mutex_;
  std::vector<RecordedCall> calls_;  // guarded by mutex_
};
