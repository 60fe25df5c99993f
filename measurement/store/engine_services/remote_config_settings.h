// APMRemoteConfigSettings: the tunables the store reads from the engine's
// remote configuration (APMMeasurementServices::remoteConfig()).
//
// The remote configuration implements this interface and answers each getter
// from the server's settings, falling back to the default below when a value
// is missing, unparsable or out of its bounds. Until there is one, the facade
// answers with APMDefaultRemoteConfigSettings. Getters are called from any
// thread; implementations are thread-safe and never fail. A later caller that
// needs another setting adds its getter here.
#pragma once

#include <cstdint>

// "measurement.store.max_stored_events_per_app": raw events kept at most.
inline constexpr int32_t kAPMDefaultMaxEventsStored = 100'000;
// "measurement.upload.max_queue_time", in seconds (28 days): the age past
// which queued bundles and raw events are dropped.
inline constexpr double kAPMDefaultMaxQueueTime = 2'419'200;
// "measurement.upload.stale_data_deletion_interval", in seconds (one day):
// the least time between two passes that drop old data.
inline constexpr double kAPMDefaultDatabaseDeleteStaleBundlesInterval = 86'400;
// Audience limits: "measurement.audience.max_count",
// "measurement.audience.filter_max_count_per_audience",
// "measurement.audience.parameter_max_count_filter",
// "measurement.audience.filter_result_max_count".
inline constexpr int32_t kAPMDefaultMaxAudienceCount = 100;
inline constexpr int32_t kAPMDefaultMaxFiltersPerAudience = 10;
inline constexpr int32_t kAPMDefaultMaxParametersPerFilter = 25;
inline constexpr int32_t kAPMDefaultMaxFilterResultCount = 200;

class APMRemoteConfigSettings {
 public:
  virtual ~APMRemoteConfigSettings() = default;

  virtual int32_t maxEventsStored() = 0;
  // Seconds.
  virtual double maxQueueTime() = 0;
  // Seconds.
  virtual double databaseDeleteStaleBundlesInterval() = 0;
  // Audience definitions and results; the defaults unless overridden.
  virtual int32_t maxAudienceCount() { return kAPMDefaultMaxAudienceCount; }
  virtual int32_t maxFiltersPerAudience() { return kAPMDefaultMaxFiltersPerAudience; }
  virtual int32_t maxParametersPerFilter() { return kAPMDefaultMaxParametersPerFilter; }
  virtual int32_t maxFilterResultCount() { return kAPMDefaultMaxFilterResultCount; }
};

// Every setting at its default.
class APMDefaultRemoteConfigSettings final : public APMRemoteConfigSettings {
 public:
  int32_t maxEventsStored() override { return kAPMDefaultMaxEventsStored; }
  double maxQueueTime() override { return kAPMDefaultMaxQueueTime; }
  double databaseDeleteStaleBundlesInterval() override { return kAPMDefaultDatabaseDeleteStaleBundlesInterval; }
};
