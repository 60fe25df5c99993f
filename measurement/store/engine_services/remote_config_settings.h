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
#include <string_view>

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
// Audience limits: "measurement.audience.max_count",
// "measurement.audience.filter_max_count_per_audience",
// "measurement.audience.parameter_max_count_filter",
// "measurement.audience.filter_result_max_count".
inline constexpr int32_t kAPMDefaultMaxAudienceCount = 100;
inline constexpr int32_t kAPMDefaultMaxFiltersPerAudience = 10;
inline constexpr int32_t kAPMDefaultMaxParametersPerFilter = 25;
inline constexpr int32_t kAPMDefaultMaxFilterResultCount = 200;
// "measurement.upload.max_public_event_params": custom parameters an event
// keeps.
inline constexpr int32_t kAPMDefaultMaxPublicEventParams = 100;
// "measurement.upload.max_event_parameter_value_length": the longest public
// parameter value, in code points.
inline constexpr int32_t kAPMDefaultMaxPublicEventParameterValueLength = 500;
// "measurement.item_scoped_custom_parameter_enabled".
inline constexpr bool kAPMDefaultItemScopedCustomParameterEnabled = true;
// "measurement.upload.max_item_scoped_custom_parameters": custom parameters
// an item keeps while they are enabled.
inline constexpr int32_t kAPMDefaultMaxItemScopedCustomParameters = 27;
// "measurement.event_sampling_enabled".
inline constexpr bool kAPMDefaultEventSamplingEnabled = false;
// "measurement.account.time_zone_offset_minutes": where the account's day
// begins.
inline constexpr int32_t kAPMDefaultAnalyticsAccountTimeZoneOffsetMinutes = 0;

// "measurement.session.default_timeout_interval", in seconds: the inactivity
// after which a session expires.
inline constexpr double kAPMDefaultSessionTimeoutInterval = 1800;
// "measurement.session.event_user_engagement_interval", in seconds: how often
// engagement is reported while the app stays active.
inline constexpr double kAPMDefaultSessionEventUserEngagementInterval = 3600;
// "measurement.collection.efficient_engagement_reporting_enabled",
// "measurement.collection.redundant_engagement_removal_enabled",
// "measurement.lifecycle.app_backgrounded_tracking".
inline constexpr bool kAPMDefaultEfficientEngagementReportingEnabled = false;
inline constexpr bool kAPMDefaultRedundantEngagementRemovalEnabled = false;
inline constexpr bool kAPMDefaultAppBackgroundedEventEnabled = false;

// "measurement.lifetimevalue.max_currency_tracked": lifetime-value totals
// kept, one per currency.
inline constexpr int32_t kAPMDefaultMaxTrackedCurrencies = 4;

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
  // Audience definitions and results; the defaults unless overridden.
  virtual int32_t maxAudienceCount() { return kAPMDefaultMaxAudienceCount; }
  virtual int32_t maxFiltersPerAudience() { return kAPMDefaultMaxFiltersPerAudience; }
  virtual int32_t maxParametersPerFilter() { return kAPMDefaultMaxParametersPerFilter; }
  virtual int32_t maxFilterResultCount() { return kAPMDefaultMaxFilterResultCount; }
  // Sessions and engagement; the defaults unless overridden.
  virtual double sessionDefaultTimeoutInterval() { return kAPMDefaultSessionTimeoutInterval; }
  virtual double sessionEventUserEngagementInterval() { return kAPMDefaultSessionEventUserEngagementInterval; }
  virtual bool efficientEngagementReportingEnabled() { return kAPMDefaultEfficientEngagementReportingEnabled; }
  virtual bool redundantEngagementRemovalEnabled() { return kAPMDefaultRedundantEngagementRemovalEnabled; }
  virtual bool appBackgroundedEventEnabled() { return kAPMDefaultAppBackgroundedEventEnabled; }
  // Lifetime value; the default unless overridden.
  virtual int32_t maxTrackedCurrencies() { return kAPMDefaultMaxTrackedCurrencies; }

  // ---- Events ----
  virtual int32_t maxPublicEventParams() = 0;
  virtual int32_t maxPublicEventParameterValueLength() = 0;
  virtual bool itemScopedCustomParameterEnabled() = 0;
  virtual int32_t maxItemScopedCustomParameters() = 0;
  virtual bool isEventSamplingEnabled() = 0;
  virtual int32_t analyticsAccountTimeZoneOffsetMinutes() = 0;
  // Whether the event's configuration names a sampling rate; the rate (2 to
  // 65535), else 1.
  virtual bool eventHasSamplingRate(std::string_view eventName) = 0;
  virtual int32_t samplingRateForEvent(std::string_view eventName) = 0;
};

// Every setting at its default.
class APMDefaultRemoteConfigSettings final : public APMRemoteConfigSettings {
 public:
  int32_t maxEventsStored() override { return kAPMDefaultMaxEventsStored; }
  double maxQueueTime() override { return kAPMDefaultMaxQueueTime; }
  double databaseDeleteStaleBundlesInterval() override { return kAPMDefaultDatabaseDeleteStaleBundlesInterval; }
  double adIDCacheTime() override { return kAPMDefaultAdIDCacheTime; }
  bool gateIDFAOnATTMASEnabled() override { return kAPMDefaultGateIDFAOnATTMASEnabled; }
  int32_t maxPublicEventParams() override { return kAPMDefaultMaxPublicEventParams; }
  int32_t maxPublicEventParameterValueLength() override { return kAPMDefaultMaxPublicEventParameterValueLength; }
  bool itemScopedCustomParameterEnabled() override { return kAPMDefaultItemScopedCustomParameterEnabled; }
  int32_t maxItemScopedCustomParameters() override { return kAPMDefaultMaxItemScopedCustomParameters; }
  bool isEventSamplingEnabled() override { return kAPMDefaultEventSamplingEnabled; }
  int32_t analyticsAccountTimeZoneOffsetMinutes() override { return kAPMDefaultAnalyticsAccountTimeZoneOffsetMinutes; }
  bool eventHasSamplingRate(std::string_view) override { return false; }
  int32_t samplingRateForEvent(std::string_view) override { return 1; }
};
