// The typed settings of the remote configuration: one getter per setting,
// each a call of the settings core (remote_config.cpp) with the setting's
// name, default and inclusive bounds. Time settings are delivered in
// milliseconds and answered in seconds.
#include <algorithm>

#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/foundation_extensions.h"
#include "measurement/store/monitor.h"
#include "measurement/store/remote_config.h"

// A flag value as a Boolean: a number is true when non-zero; a string, as the
// platform reads one, when its first character after white space, a sign
// and leading zeros is "Y", "y", "T", "t" or a digit 1 to 9. Nothing for
// other values (absent flags).
std::optional<bool> APMRemoteConfigFlagBoolValue(const os::Value& value) {
  if (const os::Number* number = value.number()) return number->boolValue();
  const std::string* text = value.string();
  if (text == nullptr) return std::nullopt;
  return apm_stringBoolValue(*text);
}

double APMRemoteConfig::uploadingBackoffInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.upload.backoff_period", 43200, 604800, 3600);
}

int32_t APMRemoteConfig::maxAudienceCount() {
  return intValueFromCacheWithKey("measurement.audience.max_count", 100, 500, 0);
}

int32_t APMRemoteConfig::maxFiltersPerAudience() {
  return intValueFromCacheWithKey("measurement.audience.filter_max_count_per_audience", 10, 100, 0);
}

int32_t APMRemoteConfig::maxFilterResultCount() {
  return intValueFromCacheWithKey("measurement.audience.filter_result_max_count", 200, 2000, 0);
}

int32_t APMRemoteConfig::maxParametersPerFilter() {
  return intValueFromCacheWithKey("measurement.audience.parameter_max_count_filter", 25, 250, 0);
}

double APMRemoteConfig::databaseDeleteStaleBundlesInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.upload.stale_data_deletion_interval", 86400, 604800, 3600);
}

double APMRemoteConfig::maxQueueTime() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.upload.max_queue_time", 2419200, 7862400, 604800);
}

double APMRemoteConfig::adIDCacheTime() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.ad_id_cache_time", 1, 86400, 0);
}

bool APMRemoteConfig::gateIDFAOnATTMASEnabled() {
  return boolValueFromCacheWithKey("measurement.attmas_gate", false);
}

double APMRemoteConfig::monitoringSamplePeriod() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.monitoring.sample_period_millis", 86400, 604800, 0);
}

bool APMRemoteConfig::isNetworkBackgroundSessionEnabled() {
  return boolValueFromCacheWithKey("measurement.network.background_session_enabled", false);
}

double APMRemoteConfig::networkTimeout() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.network.network_timeout", 60, 3600, 30);
}

double APMRemoteConfig::sessionDefaultMinimumInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.session.default_minimum_interval", 10, 86400, 0);
}

double APMRemoteConfig::sessionDefaultTimeoutInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.session.default_timeout_interval",
                                               kAPMDefaultSessionTimeoutInterval, 86400, 0);
}

double APMRemoteConfig::sessionEventUserEngagementInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.session.event_user_engagement_interval",
                                               kAPMDefaultSessionEventUserEngagementInterval, 86400, 0);
}

bool APMRemoteConfig::efficientEngagementReportingEnabled() {
  return boolValueFromCacheWithKey("measurement.collection.efficient_engagement_reporting_enabled",
                                   kAPMDefaultEfficientEngagementReportingEnabled);
}

bool APMRemoteConfig::redundantEngagementRemovalEnabled() {
  return boolValueFromCacheWithKey("measurement.collection.redundant_engagement_removal_enabled",
                                   kAPMDefaultRedundantEngagementRemovalEnabled);
}

int32_t APMRemoteConfig::maxConversionsPerDay() {
  return intValueFromCacheWithKey("measurement.upload.max_conversions_per_day", 10000, 1000000, 0);
}

int32_t APMRemoteConfig::maxEventsPerDay() {
  return intValueFromCacheWithKey("measurement.upload.max_events_per_day", 100000, 1000000, 0);
}

int32_t APMRemoteConfig::maxPublicEventsPerDay() {
  return intValueFromCacheWithKey("measurement.upload.max_public_events_per_day", 50000, 1000000, 0);
}

int32_t APMRemoteConfig::maxErrorEventsPerDay() {
  return intValueFromCacheWithKey("measurement.upload.max_error_events_per_day", 1000, 1000000, 0);
}

int32_t APMRemoteConfig::maxTrackedCurrencies() {
  return intValueFromCacheWithKey("measurement.lifetimevalue.max_currency_tracked", 4, 100, 1);
}

int32_t APMRemoteConfig::maxPublicUserProperties() {
  return intValueFromCacheWithKey("measurement.upload.max_public_user_properties", 100, 100, 25);
}

int32_t APMRemoteConfig::maxEventNameCardinality() {
  return intValueFromCacheWithKey("measurement.upload.max_event_name_cardinality", 2000, 2000, 500);
}

int32_t APMRemoteConfig::maxPublicEventParams() {
  return intValueFromCacheWithKey("measurement.upload.max_public_event_params", 100, 100, 25);
}

int32_t APMRemoteConfig::maxEventsStored() {
  return intValueFromCacheWithKey("measurement.store.max_stored_events_per_app", 100000, 1000000, 0);
}

double APMRemoteConfig::uploadingInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.upload.interval", 3600, 86400, 15);
}

double APMRemoteConfig::uploadingInitialDelayInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.upload.initial_upload_delay_time", 15, 86400, 1);
}

int64_t APMRemoteConfig::uploadMaxBundlesLimit() {
  return int64ValueFromCacheWithKey("measurement.upload.max_bundles", 100, 10000, 1);
}

int64_t APMRemoteConfig::uploadMaxEventsPerBundle() {
  return int64ValueFromCacheWithKey("measurement.upload.max_events_per_bundle", 1000, 1000000, 1);
}

int64_t APMRemoteConfig::uploadMaxSizeLimitBytes() {
  return int64ValueFromCacheWithKey("measurement.upload.max_batch_size", 65536, 10485760, 0);
}

int32_t APMRemoteConfig::uploadingRetryCount() {
  return intValueFromCacheWithKey("measurement.upload.retry_count", 6, 24, 1);
}

double APMRemoteConfig::uploadingRetryInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.upload.retry_time", 1800, 86400, 60);
}

int64_t APMRemoteConfig::maxBundlesCreatedPerIteration() {
  return int64_t(timeIntervalInSecondsFromCacheWithKey("measurement.upload.max_bundles_created_per_iteration", 100, 10000, 1));
}

int32_t APMRemoteConfig::maxRealtimeEventCountPerDay() {
  return intValueFromCacheWithKey("measurement.upload.max_realtime_events_per_day", 10, 10, 0);
}

double APMRemoteConfig::uploadingDebugModeInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.upload.debug_upload_interval", 1, 15, 1);
}

double APMRemoteConfig::uploadingRealTimeInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.upload.realtime_upload_interval", 10, 15, 10);
}

bool APMRemoteConfig::blocklistInternal() {
  return boolValueFromCacheWithKey("measurement.upload.blacklist_internal", false);
}

bool APMRemoteConfig::blocklistPublic() {
  return boolValueFromCacheWithKey("measurement.upload.blacklist_public", false);
}

bool APMRemoteConfig::isEventSamplingEnabled() {
  return boolValueFromCacheWithKey("measurement.event_sampling_enabled", false);
}

int32_t APMRemoteConfig::analyticsAccountTimeZoneOffsetMinutes() {
  return intValueFromCacheWithKey("measurement.account.time_zone_offset_minutes", 0, 900, -900);
}

bool APMRemoteConfig::checksumEnabled() {
  return boolValueFromCacheWithKey("measurement.quality.checksum", false);
}

bool APMRemoteConfig::appBackgroundedEventEnabled() {
  return boolValueFromCacheWithKey("measurement.lifecycle.app_backgrounded_tracking", kAPMDefaultAppBackgroundedEventEnabled);
}

bool APMRemoteConfig::appInBackgroundParameterEnabled() {
  return boolValueFromCacheWithKey("measurement.lifecycle.app_in_background_parameter", true);
}

bool APMRemoteConfig::itemScopedCustomParameterEnabled() {
  return boolValueFromCacheWithKey("measurement.item_scoped_custom_parameter_enabled", true);
}

int32_t APMRemoteConfig::maxItemScopedCustomParameters() {
  return intValueFromCacheWithKey("measurement.upload.max_item_scoped_custom_parameters", 27, 35, 10);
}

int32_t APMRemoteConfig::maxPublicEventParameterValueLength() {
  return intValueFromCacheWithKey("measurement.upload.max_event_parameter_value_length", 500, 500, 100);
}

int32_t APMRemoteConfig::maxInternalEventParameterValueLength() {
  return std::max(maxPublicEventParameterValueLength(), 256);
}

bool APMRemoteConfig::tcfFeatureEnabled() {
  return boolValueFromCacheWithKey("measurement.tcf_enabled", true);
}

bool APMRemoteConfig::dcuEventFeatureEnabled() {
  return boolValueFromCacheWithKey("measurement.dma.dcu_event_enabled", true);
}

int32_t APMRemoteConfig::maxRealtimeDCUEventCountPerDay() {
  return intValueFromCacheWithKey("measurement.dma.dcu_event_max_realtime_daily_count", 1, 10, 0);
}

bool APMRemoteConfig::PSMFeatureEnabled() {
  return boolValueFromCacheWithKey("measurement.psm_enabled", true);
}

int32_t APMRemoteConfig::maxPSMStartCount() {
  if (APMMeasurementServices::monitor()->isDebugModeEnabled()) return 10;
  return intValueFromCacheWithKey("measurement.psm_start_count", 3, 10, 0);
}

int32_t APMRemoteConfig::maxPSMRetryCount() {
  return intValueFromCacheWithKey("measurement.psm_retry_count", 5, 10, 0);
}

double APMRemoteConfig::PSMRetryInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.psm_retry_interval", 300, 1800, 30);
}

int32_t APMRemoteConfig::hashPrefixBitLengthEmail() {
  return intValueFromCacheWithKey("measurement.psm_prefix_email", 14, 20, 6);
}

int32_t APMRemoteConfig::hashPrefixBitLengthPhone() {
  return intValueFromCacheWithKey("measurement.psm_prefix_phone", 11, 18, 6);
}

int32_t APMRemoteConfig::maxSignInDelayInDays() {
  return intValueFromCacheWithKey("measurement.psm_signin_delay", 60, 90, 7);
}

bool APMRemoteConfig::isDeferredDeepLinkEnabled() {
  return boolValueFromCacheWithKey("measurement.ddl.enabled", true);
}

int32_t APMRemoteConfig::maxDeferredDeepLinkRetryCount() {
  return intValueFromCacheWithKey("measurement.ddl.retry_count", 5, 10, 0);
}

double APMRemoteConfig::attributionCacheTTLInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.attribution.cache.ttl", 604800, 2592000, 86400);
}

double APMRemoteConfig::remoteConfigCacheTimeInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.config.cache_time", 3600, 86400, 60);
}

bool APMRemoteConfig::isSessionIDEnabled() {
  return boolValueFromCacheWithKey("measurement.api.session_id", true);
}

bool APMRemoteConfig::sessionStitchingTokenFeatureEnabled() {
  if (experimentClient_) {
    const os::Value flag = experimentClient_->valueForFlag(kAPMSessionStitchingTokenFeatureEnabledFlag);
    if (auto enabled = APMRemoteConfigFlagBoolValue(flag)) return *enabled;
  }
  return boolValueFromCacheWithKey("measurement.session_stitching_token_enabled", false);
}

bool APMRemoteConfig::SKANUpdateConversionValueEnabled() {
  return boolValueFromCacheWithKey("measurement.skan.update_conversion_value_enabled", false);
}

double APMRemoteConfig::SKANInitialCVFetchDelay() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.skan.initial_cv_fetch_delay_sec", 120, 3600, 30);
}

double APMRemoteConfig::SKANCVFetchRetryInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.skan.cv_fetch_retry_interval_sec", 120, 3600, 30);
}

int32_t APMRemoteConfig::SKANCVFetchRetryLimit() {
  return intValueFromCacheWithKey("measurement.skan.cv_fetch_retry_limit", 4, 10, 1);
}

double APMRemoteConfig::SKANFirstWindowCVFetchDelay() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.skan.first_window.initial_cv_fetch_delay_sec", 20, 3600, 1);
}

double APMRemoteConfig::SKANFirstWindowCVFetchRetryInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.skan.first_window.cv_fetch_retry_interval_sec", 120, 3600, 30);
}

int32_t APMRemoteConfig::SKANFirstWindowCVFetchRetryLimit() {
  return intValueFromCacheWithKey("measurement.skan.first_window.cv_fetch_retry_limit", 4, 10, 1);
}

double APMRemoteConfig::SKANFirstWindowUploadInterval() {
  return timeIntervalInSecondsFromCacheWithKey("measurement.skan.first_window.upload_interval_sec", 1800, 86400, 15);
}

bool APMRemoteConfig::DMAConsentEnabled() {
  return boolValueFromCacheWithKey("measurement.upload.dma_consent_enabled", true);
}

bool APMRemoteConfig::regionalDefaultsEnabled() {
  if (auto flag = cachedExperimentFlags_.objectForKey(kAPMRegionalDefaultsEnabledFlag)) {
    if (auto enabled = APMRemoteConfigFlagBoolValue(*flag)) return *enabled;
  }
  return boolValueFromCacheWithKey("measurement.regional_defaults_enabled", true);
}
