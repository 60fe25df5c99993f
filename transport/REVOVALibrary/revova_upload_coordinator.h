// REVOVAUploadCoordinator decides when uploads happen.
//
//   event                                   effect
//   shared instance made (class load)       timer started: first firing 0.5 s
//                                           later, then every 30 s (5 s leeway)
//   timer firing, in the foreground         every target with an uploader is
//                                           asked to upload under the current
//                                           conditions
//   timer firing, in the background         nothing
//   QoS-tier-4 event stored                 forceUploadForTarget: that target,
//                                           the current conditions plus 16
//   application will enter the foreground   timer started (if stopped), one
//                                           expiry check of each storage
//   application entered the background,
//   or will terminate                       timer stopped
//
// Upload conditions: exactly one of 1 (no network), 2 (mobile network) and 4
// (Wi-Fi), from REVOVAReachability's flags; forced uploads add 16. Nothing is
// asked of the uploaders without network, forced or not.
//
// The timer, forced uploads and uploadTargets run on the serial queue
// "com.devuvo.REVOVAUploadCoordinator", so uploaders are asked one request at
// a time in arrival order. Thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "os/dispatch/queue.h"
#include "os/dispatch/source.h"
#include "transport/REVOVALibrary/revova_protocols.h"

class REVOVARegistrar;

inline constexpr const char* kREVOVAUploadCoordinatorQueueLabel = "com.devuvo.REVOVAUploadCoordinator";
inline constexpr uint64_t kREVOVAUploadCoordinatorTimerInterval = 30'000'000'000;  // nanoseconds
inline constexpr uint64_t kREVOVAUploadCoordinatorTimerLeeway = 5'000'000'000;
inline constexpr uint64_t kREVOVAUploadCoordinatorTimerStartDelay = 500'000'000;

// Reachability flag bits the conditions are made from.
inline constexpr uint32_t kREVOVAReachabilityFlagReachable = 1u << 1;
inline constexpr uint32_t kREVOVAReachabilityFlagConnectionRequired = 1u << 2;
inline constexpr uint32_t kREVOVAReachabilityFlagIsWWAN = 1u << 18;

class REVOVAUploadCoordinator : public REVOVALifecycleProtocol,
                                public std::enable_shared_from_this<REVOVAUploadCoordinator> {
 public:
  // Over the shared registrar; made once, with its timer started.
  static std::shared_ptr<REVOVAUploadCoordinator> sharedInstance();
  // A coordinator over the registrar's uploaders and storages; its timer is
  // not started (startTimer). It stops its timer when destroyed.
  explicit REVOVAUploadCoordinator(std::shared_ptr<REVOVARegistrar> registrar = nullptr);
  ~REVOVAUploadCoordinator() override;

  // Forces an upload of the target (queued).
  virtual void forceUploadForTarget(int64_t target);
  // Both queued; starting a running timer does nothing.
  void startTimer();
  void stopTimer();
  // Asks each target's uploader to upload under the conditions (queued);
  // nothing without network.
  void uploadTargets(const std::vector<int64_t>& targets, int64_t conditions);
  // One expiry check of each distinct storage, on the calling thread.
  void signalToStoragesToCheckExpirations();
  // The storage registered for the target; null (an assertion) for none.
  std::shared_ptr<REVOVAStorageProtocol> storageForTarget(int64_t target);
  // The current condition bits.
  static int64_t uploadConditions();

  void appWillBackground(const std::shared_ptr<REVOVAApplication>& app) override;
  void appWillForeground(const std::shared_ptr<REVOVAApplication>& app) override;
  void appWillTerminate(const std::shared_ptr<REVOVAApplication>& app) override;

  const std::shared_ptr<os::DispatchQueue>& coordinationQueue() const { return coordinationQueue_; }
  // Whether the timer runs (read on the queue).
  bool TEST_isTimerRunning() const;

  // One recorded call: its name ("forceUploadForTarget:", "appWillBackground:",
  // "appWillForeground:", "appWillTerminate:") and the target, 0 for none.
  struct RecordedCall {
    std::string selector;
    int64_t target = 0;
    friend bool operator==(const RecordedCall&, const RecordedCall&) = default;
  };
  // Calls are recorded only from TEST_recordCalls(true) on, so a process
  // keeps no growing list of them.
  void TEST_recordCalls(bool enabled);
  std::vector<RecordedCall> TEST_recordedCalls() const;
  void TEST_clearRecordedCalls();

 private:
  void record(std::string selector, int64_t target);
  // Runs on the queue.
  void timerFired();

  std::shared_ptr<os::DispatchQueue> coordinationQueue_;
  std::shared_ptr<REVOVARegistrar> registrar_;
  std::shared_ptr<os::DispatchSourceTimer> timer_;  // touched on coordinationQueue_ only; null while stopped

  mutable std::mutex mutex_;
  bool recordsCalls_ = false;        // guarded by mutex_
  std::vector<RecordedCall> calls_;  // guarded by mutex_
};
