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
#include <map>
#include <string>
#include <string_view>
#include <memory>
#include <mutex>
#include <vector>

#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/engine_services/remote_config_settings.h"

namespace apm_test {

class RemoteConfigSettingsDouble : public APMRemoteConfigSettings {
 public:
  int32_t maxEventsStored() override { return maxEventsStored_; }
  double maxQueueTime() override { return maxQueueTime_; }
  double databaseDeleteStaleBundlesInterval() override { return databaseDeleteStaleBundlesInterval_; }
  double adIDCacheTime() override { return kAPMDefaultAdIDCacheTime; }
  bool gateIDFAOnATTMASEnabled() override { return kAPMDefaultGateIDFAOnATTMASEnabled; }

  double sessionDefaultTimeoutInterval() override { return sessionDefaultTimeoutInterval_; }
  double sessionEventUserEngagementInterval() override { return sessionEventUserEngagementInterval_; }
  bool efficientEngagementReportingEnabled() override { return efficientEngagementReportingEnabled_; }
  bool redundantEngagementRemovalEnabled() override { return redundantEngagementRemovalEnabled_; }
  bool appBackgroundedEventEnabled() override { return appBackgroundedEventEnabled_; }
  int32_t maxTrackedCurrencies() override { return maxTrackedCurrencies_; }

  void setSessionDefaultTimeoutInterval(double value) { sessionDefaultTimeoutInterval_ = value; }
  void setSessionEventUserEngagementInterval(double value) { sessionEventUserEngagementInterval_ = value; }
  void setEfficientEngagementReportingEnabled(bool value) { efficientEngagementReportingEnabled_ = value; }
  void setRedundantEngagementRemovalEnabled(bool value) { redundantEngagementRemovalEnabled_ = value; }
  void setAppBackgroundedEventEnabled(bool value) { appBackgroundedEventEnabled_ = value; }
  void setMaxTrackedCurrencies(int32_t value) { maxTrackedCurrencies_ = value; }

  void setMaxEventsStored(int32_t value) { maxEventsStored_ = value; }
  void setMaxQueueTime(double value) { maxQueueTime_ = value; }
  void setDatabaseDeleteStaleBundlesInterval(double value) { databaseDeleteStaleBundlesInterval_ = value; }

  int32_t maxPublicEventParams() override { return maxPublicEventParams_; }
  int32_t maxPublicEventParameterValueLength() override { return maxPublicEventParameterValueLength_; }
  bool itemScopedCustomParameterEnabled() override { return itemScopedCustomParameterEnabled_; }
  int32_t maxItemScopedCustomParameters() override { return maxItemScopedCustomParameters_; }
  bool isEventSamplingEnabled() override { return eventSamplingEnabled_; }
  int32_t analyticsAccountTimeZoneOffsetMinutes() override { return timeZoneOffsetMinutes_; }
  bool eventHasSamplingRate(std::string_view eventName) override;
  int32_t samplingRateForEvent(std::string_view eventName) override;

  void setMaxPublicEventParams(int32_t value) { maxPublicEventParams_ = value; }
  void setMaxPublicEventParameterValueLength(int32_t value) { maxPublicEventParameterValueLength_ = value; }
  void setItemScopedCustomParameterEnabled(bool value) { itemScopedCustomParameterEnabled_ = value; }
  void setMaxItemScopedCustomParameters(int32_t value) { maxItemScopedCustomParameters_ = value; }
  void setEventSamplingEnabled(bool value) { eventSamplingEnabled_ = value; }
  void setAnalyticsAccountTimeZoneOffsetMinutes(int32_t value) { timeZoneOffsetMinutes_ = value; }
  // The configured rate, taken as given (no range check).
  void setSamplingRateForEvent(const std::string& eventName, int32_t rate);

 private:
  std::atomic<int32_t> maxEventsStored_{kAPMDefaultMaxEventsStored};
  std::atomic<double> maxQueueTime_{kAPMDefaultMaxQueueTime};
  std::atomic<double> databaseDeleteStaleBundlesInterval_{kAPMDefaultDatabaseDeleteStaleBundlesInterval};
  std::atomic<int32_t> maxPublicEventParams_{kAPMDefaultMaxPublicEventParams};
  std::atomic<int32_t> maxPublicEventParameterValueLength_{kAPMDefaultMaxPublicEventParameterValueLength};
  std::atomic<bool> itemScopedCustomParameterEnabled_{kAPMDefaultItemScopedCustomParameterEnabled};
  std::atomic<int32_t> maxItemScopedCustomParameters_{kAPMDefaultMaxItemScopedCustomParameters};
  std::atomic<bool> eventSamplingEnabled_{kAPMDefaultEventSamplingEnabled};
  std::atomic<int32_t> timeZoneOffsetMinutes_{kAPMDefaultAnalyticsAccountTimeZoneOffsetMinutes};
  std::atomic<double> sessionDefaultTimeoutInterval_{kAPMDefaultSessionTimeoutInterval};
  std::atomic<double> sessionEventUserEngagementInterval_{kAPMDefaultSessionEventUserEngagementInterval};
  std::atomic<bool> efficientEngagementReportingEnabled_{kAPMDefaultEfficientEngagementReportingEnabled};
  std::atomic<bool> redundantEngagementRemovalEnabled_{kAPMDefaultRedundantEngagementRemovalEnabled};
  std::atomic<bool> appBackgroundedEventEnabled_{kAPMDefaultAppBackgroundedEventEnabled};
  std::atomic<int32_t> maxTrackedCurrencies_{kAPMDefaultMaxTrackedCurrencies};
  std::mutex samplingRatesMutex_;
  std::map<std::string, int32_t, std::less<>> samplingRates_;  // guarded by samplingRatesMutex_
};

// Enabled and initialized, with the settings above, no identity, and the
// database, scheduler and session reporter a test hands in (none until
// then). Event writes are recorded, in
// order, with the kind of write; nothing else is done with them.
class MeasurementServicesDouble : public APMMeasurementServices {
 public:
  // A new double, installed as the shared instance.
  static std::shared_ptr<MeasurementServicesDouble> install();

  struct WrittenEvent {
    std::shared_ptr<APMEvent> event;
    bool filtered = false;  // writeFilteredEventOnWorkerQueue
  };

  bool isEnabled() const override { return enabled_; }
  bool didInitializeComponents() const override { return didInitializeComponents_; }
  std::shared_ptr<APMSessionReporter> sessionReporter() const override;
  std::shared_ptr<APMIdentity> identity() const override { return nullptr; }
  std::shared_ptr<APMDatabase> database() const override;
  std::shared_ptr<APMRemoteConfigSettings> engineRemoteConfig() const override { return settings_; }
  std::shared_ptr<APMScheduler> scheduler() const override;
  void writeEventOnWorkerQueue(std::shared_ptr<APMEvent> event) override;
  void writeFilteredEventOnWorkerQueue(std::shared_ptr<APMEvent> event) override;

  RemoteConfigSettingsDouble& settings() { return *settings_; }
  void setEnabled(bool enabled) { enabled_ = enabled; }
  // Components are initialized unless a test says otherwise.
  void setDidInitializeComponents(bool initialized) { didInitializeComponents_ = initialized; }
  void setSessionReporter(std::shared_ptr<APMSessionReporter> reporter);
  void setDatabase(std::shared_ptr<APMDatabase> database);
  void setScheduler(std::shared_ptr<APMScheduler> scheduler);
  // The writes so far; takeWrittenEvents also forgets them.
  std::vector<WrittenEvent> writtenEvents() const;
  std::vector<WrittenEvent> takeWrittenEvents();

 private:
  const std::shared_ptr<RemoteConfigSettingsDouble> settings_ = std::make_shared<RemoteConfigSettingsDouble>();
  std::atomic<bool> enabled_{true};
  std::atomic<bool> didInitializeComponents_{true};
  mutable std::mutex mutex_;
  std::shared_ptr<APMSessionReporter> sessionReporter_;  // guarded by mutex_
  std::shared_ptr<APMDatabase> database_;    // guarded by mutex_
  std::shared_ptr<APMScheduler> scheduler_;  // guarded by mutex_
  std::vector<WrittenEvent> writtenEvents_;  // guarded by mutex_
};

}  // namespace apm_test
