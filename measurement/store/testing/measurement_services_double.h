// apm_test::MeasurementServicesDouble: an engine stand-in for tests of the
// measurement store, installed as APMMeasurementServices::sharedInstance(),
// with settings whose values tests choose (apm_test::RemoteConfigSettingsDouble,
// at their defaults until changed).
//
// Install with MeasurementServicesDouble::install(); remove with
// APMMeasurementServices::setSharedInstance(nullptr). The setters are for the
// test's own thread; set them before the code under test runs.
#pragma once

#include <atomic>
#include <memory>

#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/engine_services/remote_config_settings.h"

namespace apm_test {

class RemoteConfigSettingsDouble : public APMRemoteConfigSettings {
 public:
  int32_t maxEventsStored() override { return maxEventsStored_; }
  double maxQueueTime() override { return maxQueueTime_; }
  double databaseDeleteStaleBundlesInterval() override { return databaseDeleteStaleBundlesInterval_; }

  void setMaxEventsStored(int32_t value) { maxEventsStored_ = value; }
  void setMaxQueueTime(double value) { maxQueueTime_ = value; }
  void setDatabaseDeleteStaleBundlesInterval(double value) { databaseDeleteStaleBundlesInterval_ = value; }

 private:
  std::atomic<int32_t> maxEventsStored_{kAPMDefaultMaxEventsStored};
  std::atomic<double> maxQueueTime_{kAPMDefaultMaxQueueTime};
  std::atomic<double> databaseDeleteStaleBundlesInterval_{kAPMDefaultDatabaseDeleteStaleBundlesInterval};
};

// Enabled, with the settings above and no identity, database, scheduler or
// event writes of its own (the writes are dropped).
class MeasurementServicesDouble : public APMMeasurementServices {
 public:
  // A new double, installed as the shared instance.
  static std::shared_ptr<MeasurementServicesDouble> install();

  bool isEnabled() const override { return true; }
  std::shared_ptr<APMIdentity> identity() const override { return nullptr; }
  std::shared_ptr<APMDatabase> database() const override { return nullptr; }
  std::shared_ptr<APMRemoteConfigSettings> engineRemoteConfig() const override { return settings_; }
  std::shared_ptr<APMScheduler> scheduler() const override { return nullptr; }
  void writeEventOnWorkerQueue(std::shared_ptr<APMEvent>) override {}
  void writeFilteredEventOnWorkerQueue(std::shared_ptr<APMEvent>) override {}

  RemoteConfigSettingsDouble& settings() { return *settings_; }

 private:
  const std::shared_ptr<RemoteConfigSettingsDouble> settings_ = std::make_shared<RemoteConfigSettingsDouble>();
};

}  // namespace apm_test
