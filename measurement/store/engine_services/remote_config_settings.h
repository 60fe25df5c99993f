// APMRemoteConfigSettings: the tunables the store reads from the engine's
// remote configuration (APMMeasurementServices::remoteConfig()).
//
// The remote configuration (APMRemoteConfig, measurement/store/remote_config.h)
// implements this interface and answers each getter from the server's
// settings, falling back to the default below when a value is missing,
// unparsable or out of its bounds. Until there is one, the facade answers
// with APMDefaultRemoteConfigSettings. Getters are called from any thread;
// implementations are thread-safe and never fail. A later caller in the store
// that needs another setting adds its getter here.
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
// "measurement.ad_id_cache_time", in seconds: how long an identifier refresh
// is good for.
inline constexpr double kAPMDefaultAdIDCacheTime = 1;
// "measurement.attmas_gate": the advertising identifier only once tracking is
// authorised.
inline constexpr bool kAPMDefaultGateIDFAOnATTMASEnabled = false;

class APMRemoteConfigSettings {
 public:
  virtual ~APMRemoteConfigSettings() = default;

  virtual int32_t maxEventsStored() = 0;
  // Seconds.
  virtual double maxQueueTime() = 0;
  // Seconds.
  virtual double databaseDeleteStaleBundlesInterval() = 0;
  // Seconds.
  virtual double adIDCacheTime() = 0;
  virtual bool gateIDFAOnATTMASEnabled() = 0;
};

// Every setting at its default.
class APMDefaultRemoteConfigSettings final : public APMRemoteConfigSettings {
 public:
  int32_t maxEventsStored() override { return kAPMDefaultMaxEventsStored; }
  double maxQueueTime() override { return kAPMDefaultMaxQueueTime; }
  double databaseDeleteStaleBundlesInterval() override { return kAPMDefaultDatabaseDeleteStaleBundlesInterval; }
  double adIDCacheTime() override { return kAPMDefaultAdIDCacheTime; }
  bool gateIDFAOnATTMASEnabled() override { return kAPMDefaultGateIDFAOnATTMASEnabled; }
};
