#include "measurement/store/engine_services/engine_services.h"

#include <mutex>

#include "measurement/store/monitor.h"

namespace {

// The measurement library's version number: its version string "110100000"
// without the last three digits, as the identity reports it.
constexpr int64_t kLibraryVersion = 110100;

// Process-wide slots; never destroyed, since work may still log at exit.
struct Slots {
  // Its own lock: making the monitor reads the defaults and logs, and must
  // not wait for the other slots.
  std::mutex monitorMutex;
  std::shared_ptr<APMMonitor> monitor;  // guarded by monitorMutex
  std::mutex mutex;
  std::shared_ptr<APMMeasurementServices> measurement;  // guarded by mutex
  std::shared_ptr<APMAnalyticsServices> analytics;      // guarded by mutex
};

Slots& slots() {
  static Slots* s = new Slots();
  return *s;
}

}  // namespace

std::shared_ptr<APMMonitor> APMMeasurementServices::monitor() {
  Slots& s = slots();
  std::lock_guard lock(s.monitorMutex);
  if (!s.monitor) s.monitor = APMMonitor::initWithLibraryVersion(kLibraryVersion);
  return s.monitor;
}

void APMMeasurementServices::TEST_setMonitor(std::shared_ptr<APMMonitor> monitor) {
  Slots& s = slots();
  std::lock_guard lock(s.monitorMutex);
  s.monitor = std::move(monitor);
}

std::shared_ptr<APMMeasurementServices> APMMeasurementServices::sharedInstance() {
  Slots& s = slots();
  std::lock_guard lock(s.mutex);
  return s.measurement;
}

void APMMeasurementServices::setSharedInstance(std::shared_ptr<APMMeasurementServices> engine) {
  Slots& s = slots();
  std::lock_guard lock(s.mutex);
  s.measurement = std::move(engine);
}

std::shared_ptr<APMRemoteConfigSettings> APMMeasurementServices::remoteConfig() {
  // Never destroyed, like the slots.
  static const auto* defaults =
      new std::shared_ptr<APMRemoteConfigSettings>(std::make_shared<APMDefaultRemoteConfigSettings>());
  auto engine = sharedInstance();
  auto settings = engine ? engine->engineRemoteConfig() : nullptr;
  return settings ? settings : *defaults;
}

std::shared_ptr<APMAnalyticsServices> APMAnalyticsServices::sharedInstance() {
  Slots& s = slots();
  std::lock_guard lock(s.mutex);
  return s.analytics;
}

void APMAnalyticsServices::setSharedInstance(std::shared_ptr<APMAnalyticsServices> analytics) {
  Slots& s = slots();
  std::lock_guard lock(s.mutex);
  s.analytics = std::move(analytics);
}
