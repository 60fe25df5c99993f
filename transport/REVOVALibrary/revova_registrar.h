// REVOVARegistrar: per target number, the uploader, the storage and the
// metrics controller of the event transport. Components register themselves
// at class-load time, before the application starts (revova_load.cpp).
//
// Registrations are queued, in call order, on the serial queue
// "com.devuvo.REVOVARegistrar"; a later registration for a target replaces
// the earlier one. After each storage or metrics-controller registration
// (still on that queue) the storage of that target gets the target's metrics
// controller, or none, as its delegate: one storage serving several targets
// ends with the delegate of the last such registration.
//
// The look-ups run synchronously on the queue, so a look-up sees every
// registration made before it; they return copies. They must not be called
// from the registrar's queue.
//
// The life-cycle calls fan out on the calling thread to every registered
// uploader, then every registered storage, once per registration.
#pragma once

#include <cstdint>
#include <map>
#include <memory>

#include "os/dispatch/queue.h"
#include "transport/REVOVALibrary/revova_metrics.h"
#include "transport/REVOVALibrary/revova_protocols.h"

inline constexpr const char* kREVOVARegistrarQueueLabel = "com.devuvo.REVOVARegistrar";

class REVOVARegistrar : public REVOVALifecycleProtocol {
 public:
  static std::shared_ptr<REVOVARegistrar> sharedInstance();

  void registerUploader(std::shared_ptr<REVOVAUploader> uploader, int64_t target);
  void registerStorage(std::shared_ptr<REVOVAStorageProtocol> storage, int64_t target);
  void registerMetricsController(std::shared_ptr<REVOVAMetricsControllerProtocol> metricsController, int64_t target);

  std::map<int64_t, std::shared_ptr<REVOVAUploader>> targetToUploader() const;
  std::map<int64_t, std::shared_ptr<REVOVAStorageProtocol>> targetToStorage() const;
  std::map<int64_t, std::shared_ptr<REVOVAMetricsControllerProtocol>> targetToMetricsController() const;

  void appWillBackground(const std::shared_ptr<REVOVAApplication>& app) override;
  void appWillForeground(const std::shared_ptr<REVOVAApplication>& app) override;
  void appWillTerminate(const std::shared_ptr<REVOVAApplication>& app) override;

  REVOVARegistrar();

 private:
  // Runs on registrarQueue_.
  void setMetricsControllerAsStorageDelegateForTarget(int64_t target);
  template <class Call>
  void fanOut(Call call);

  std::shared_ptr<os::DispatchQueue> registrarQueue_;
  // All three guarded by running on registrarQueue_.
  std::map<int64_t, std::shared_ptr<REVOVAUploader>> targetToUploader_;
  std::map<int64_t, std::shared_ptr<REVOVAStorageProtocol>> targetToStorage_;
  std::map<int64_t, std::shared_ptr<REVOVAMetricsControllerProtocol>> targetToMetricsController_;
};
