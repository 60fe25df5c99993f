#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "measurement/messages/field_access.h"
#include "measurement/store/remote_config.h"
#include "measurement/store/tests/database_test_support.h"
#include "os/foundation/device_profile.h"

namespace {

using apm_test::DatabaseTest;

constexpr const char* kAppID = "1:1234567890:ios:abcdef";

enum class Kind { Seconds, Int32, Int64, Count, Bool };

struct Setting {
  const char* key;
  Kind kind;
  double defaultValue, minimum, maximum;  // seconds for time settings; 0 and 1 for Booleans
  std::function<double(APMRemoteConfig&)> read;
};

// Every setting, in the order of the getters.
const std::vector<Setting>& allSettings() {
  static const std::vector<Setting> settings = {
    {"measurement.upload.backoff_period", Kind::Seconds, 43200, 3600, 604800, [](APMRemoteConfig& c) { return double(c.uploadingBackoffInterval()); }},
    {"measurement.audience.max_count", Kind::Int32, 100, 0, 500, [](APMRemoteConfig& c) { return double(c.maxAudienceCount()); }},
    {"measurement.audience.filter_max_count_per_audience", Kind::Int32, 10, 0, 100, [](APMRemoteConfig& c) { return double(c.maxFiltersPerAudience()); }},
    {"measurement.audience.filter_result_max_count", Kind::Int32, 200, 0, 2000, [](APMRemoteConfig& c) { return double(c.maxFilterResultCount()); }},
    {"measurement.audience.parameter_max_count_filter", Kind::Int32, 25, 0, 250, [](APMRemoteConfig& c) { return double(c.maxParametersPerFilter()); }},
    {"measurement.upload.stale_data_deletion_interval", Kind::Seconds, 86400, 3600, 604800, [](APMRemoteConfig& c) { return double(c.databaseDeleteStaleBundlesInterval()); }},
    {"measurement.upload.max_queue_time", Kind::Seconds, 2419200, 604800, 7862400, [](APMRemoteConfig& c) { return double(c.maxQueueTime()); }},
    {"measurement.ad_id_cache_time", Kind::Seconds, 1, 0, 86400, [](APMRemoteConfig& c) { return double(c.adIDCacheTime()); }},
    {"measurement.attmas_gate", Kind::Bool, 0, 0, 1, [](APMRemoteConfig& c) { return double(c.gateIDFAOnATTMASEnabled()); }},
    {"measurement.monitoring.sample_period_millis", Kind::Seconds, 86400, 0, 604800, [](APMRemoteConfig& c) { return double(c.monitoringSamplePeriod()); }},
    {"measurement.network.background_session_enabled", Kind::Bool, 0, 0, 1, [](APMRemoteConfig& c) { return double(c.isNetworkBackgroundSessionEnabled()); }},
    {"measurement.network.network_timeout", Kind::Seconds, 60, 30, 3600, [](APMRemoteConfig& c) { return double(c.networkTimeout()); }},
    {"measurement.session.default_minimum_interval", Kind::Seconds, 10, 0, 86400, [](APMRemoteConfig& c) { return double(c.sessionDefaultMinimumInterval()); }},
    {"measurement.session.default_timeout_interval", Kind::Seconds, 1800, 0, 86400, [](APMRemoteConfig& c) { return double(c.sessionDefaultTimeoutInterval()); }},
    {"measurement.session.event_user_engagement_interval", Kind::Seconds, 3600, 0, 86400, [](APMRemoteConfig& c) { return double(c.sessionEventUserEngagementInterval()); }},
    {"measurement.collection.efficient_engagement_reporting_enabled", Kind::Bool, 0, 0, 1, [](APMRemoteConfig& c) { return double(c.efficientEngagementReportingEnabled()); }},
    {"measurement.collection.redundant_engagement_removal_enabled", Kind::Bool, 0, 0, 1, [](APMRemoteConfig& c) { return double(c.redundantEngagementRemovalEnabled()); }},
    {"measurement.upload.max_conversions_per_day", Kind::Int32, 10000, 0, 1000000, [](APMRemoteConfig& c) { return double(c.maxConversionsPerDay()); }},
    {"measurement.upload.max_events_per_day", Kind::Int32, 100000, 0, 1000000, [](APMRemoteConfig& c) { return double(c.maxEventsPerDay()); }},
    {"measurement.upload.max_public_events_per_day", Kind::Int32, 50000, 0, 1000000, [](APMRemoteConfig& c) { return double(c.maxPublicEventsPerDay()); }},
    {"measurement.upload.max_error_events_per_day", Kind::Int32, 1000, 0, 1000000, [](APMRemoteConfig& c) { return double(c.maxErrorEventsPerDay()); }},
    {"measurement.lifetimevalue.max_currency_tracked", Kind::Int32, 4, 1, 100, [](APMRemoteConfig& c) { return double(c.maxTrackedCurrencies()); }},
    {"measurement.upload.max_public_user_properties", Kind::Int32, 100, 25, 100, [](APMRemoteConfig& c) { return double(c.maxPublicUserProperties()); }},
    {"measurement.upload.max_event_name_cardinality", Kind::Int32, 2000, 500, 2000, [](APMRemoteConfig& c) { return double(c.maxEventNameCardinality()); }},
    {"measurement.upload.max_public_event_params", Kind::Int32, 100, 25, 100, [](APMRemoteConfig& c) { return double(c.maxPublicEventParams()); }},
    {"measurement.store.max_stored_events_per_app", Kind::Int32, 100000, 0, 1000000, [](APMRemoteConfig& c) { return double(c.maxEventsStored()); }},
    {"measurement.upload.interval", Kind::Seconds, 3600, 15, 86400, [](APMRemoteConfig& c) { return double(c.uploadingInterval()); }},
    {"measurement.upload.initial_upload_delay_time", Kind::Seconds, 15, 1, 86400, [](APMRemoteConfig& c) { return double(c.uploadingInitialDelayInterval()); }},
    {"measurement.upload.max_bundles", Kind::Int64, 100, 1, 10000, [](APMRemoteConfig& c) { return double(c.uploadMaxBundlesLimit()); }},
    {"measurement.upload.max_events_per_bundle", Kind::Int64, 1000, 1, 1000000, [](APMRemoteConfig& c) { return double(c.uploadMaxEventsPerBundle()); }},
    {"measurement.upload.max_batch_size", Kind::Int64, 65536, 0, 10485760, [](APMRemoteConfig& c) { return double(c.uploadMaxSizeLimitBytes()); }},
    {"measurement.upload.retry_count", Kind::Int32, 6, 1, 24, [](APMRemoteConfig& c) { return double(c.uploadingRetryCount()); }},
    {"measurement.upload.retry_time", Kind::Seconds, 1800, 60, 86400, [](APMRemoteConfig& c) { return double(c.uploadingRetryInterval()); }},
    {"measurement.upload.max_bundles_created_per_iteration", Kind::Count, 100, 1, 10000, [](APMRemoteConfig& c) { return double(c.maxBundlesCreatedPerIteration()); }},
    {"measurement.upload.max_realtime_events_per_day", Kind::Int32, 10, 0, 10, [](APMRemoteConfig& c) { return double(c.maxRealtimeEventCountPerDay()); }},
    {"measurement.upload.debug_upload_interval", Kind::Seconds, 1, 1, 15, [](APMRemoteConfig& c) { return double(c.uploadingDebugModeInterval()); }},
    {"measurement.upload.realtime_upload_interval", Kind::Seconds, 10, 10, 15, [](APMRemoteConfig& c) { return double(c.uploadingRealTimeInterval()); }},
    {"measurement.upload.blacklist_internal", Kind::Bool, 0, 0, 1, [](APMRemoteConfig& c) { return double(c.blocklistInternal()); }},
    {"measurement.upload.blacklist_public", Kind::Bool, 0, 0, 1, [](APMRemoteConfig& c) { return double(c.blocklistPublic()); }},
    {"measurement.event_sampling_enabled", Kind::Bool, 0, 0, 1, [](APMRemoteConfig& c) { return double(c.isEventSamplingEnabled()); }},
    {"measurement.account.time_zone_offset_minutes", Kind::Int32, 0, -900, 900, [](APMRemoteConfig& c) { return double(c.analyticsAccountTimeZoneOffsetMinutes()); }},
    {"measurement.quality.checksum", Kind::Bool, 0, 0, 1, [](APMRemoteConfig& c) { return double(c.checksumEnabled()); }},
    {"measurement.lifecycle.app_backgrounded_tracking", Kind::Bool, 0, 0, 1, [](APMRemoteConfig& c) { return double(c.appBackgroundedEventEnabled()); }},
    {"measurement.lifecycle.app_in_background_parameter", Kind::Bool, 1, 0, 1, [](APMRemoteConfig& c) { return double(c.appInBackgroundParameterEnabled()); }},
    {"measurement.item_scoped_custom_parameter_enabled", Kind::Bool, 1, 0, 1, [](APMRemoteConfig& c) { return double(c.itemScopedCustomParameterEnabled()); }},
    {"measurement.upload.max_item_scoped_custom_parameters", Kind::Int32, 27, 10, 35, [](APMRemoteConfig& c) { return double(c.maxItemScopedCustomParameters()); }},
    {"measurement.upload.max_event_parameter_value_length", Kind::Int32, 500, 100, 500, [](APMRemoteConfig& c) { return double(c.maxPublicEventParameterValueLength()); }},
    {"measurement.tcf_enabled", Kind::Bool, 1, 0, 1, [](APMRemoteConfig& c) { return double(c.tcfFeatureEnabled()); }},
    {"measurement.dma.dcu_event_enabled", Kind::Bool, 1, 0, 1, [](APMRemoteConfig& c) { return double(c.dcuEventFeatureEnabled()); }},
    {"measurement.dma.dcu_event_max_realtime_daily_count", Kind::Int32, 1, 0, 10, [](APMRemoteConfig& c) { return double(c.maxRealtimeDCUEventCountPerDay()); }},
    {"measurement.psm_enabled", Kind::Bool, 1, 0, 1, [](APMRemoteConfig& c) { return double(c.PSMFeatureEnabled()); }},
    {"measurement.psm_start_count", Kind::Int32, 3, 0, 10, [](APMRemoteConfig& c) { return double(c.maxPSMStartCount()); }},
    {"measurement.psm_retry_count", Kind::Int32, 5, 0, 10, [](APMRemoteConfig& c) { return double(c.maxPSMRetryCount()); }},
    {"measurement.psm_retry_interval", Kind::Seconds, 300, 30, 1800, [](APMRemoteConfig& c) { return double(c.PSMRetryInterval()); }},
    {"measurement.psm_prefix_email", Kind::Int32, 14, 6, 20, [](APMRemoteConfig& c) { return double(c.hashPrefixBitLengthEmail()); }},
    {"measurement.psm_prefix_phone", Kind::Int32, 11, 6, 18, [](APMRemoteConfig& c) { return double(c.hashPrefixBitLengthPhone()); }},
    {"measurement.psm_signin_delay", Kind::Int32, 60, 7, 90, [](APMRemoteConfig& c) { return double(c.maxSignInDelayInDays()); }},
    {"measurement.ddl.enabled", Kind::Bool, 1, 0, 1, [](APMRemoteConfig& c) { return double(c.isDeferredDeepLinkEnabled()); }},
    {"measurement.ddl.retry_count", Kind::Int32, 5, 0, 10, [](APMRemoteConfig& c) { return double(c.maxDeferredDeepLinkRetryCount()); }},
    {"measurement.attribution.cache.ttl", Kind::Seconds, 604800, 86400, 2592000, [](APMRemoteConfig& c) { return double(c.attributionCacheTTLInterval()); }},
    {"measurement.config.cache_time", Kind::Seconds, 3600, 60, 86400, [](APMRemoteConfig& c) { return double(c.remoteConfigCacheTimeInterval()); }},
    {"measurement.api.session_id", Kind::Bool, 1, 0, 1, [](APMRemoteConfig& c) { return double(c.isSessionIDEnabled()); }},
    {"measurement.session_stitching_token_enabled", Kind::Bool, 0, 0, 1, [](APMRemoteConfig& c) { return double(c.sessionStitchingTokenFeatureEnabled()); }},
    {"measurement.skan.update_conversion_value_enabled", Kind::Bool, 0, 0, 1, [](APMRemoteConfig& c) { return double(c.SKANUpdateConversionValueEnabled()); }},
    {"measurement.skan.initial_cv_fetch_delay_sec", Kind::Seconds, 120, 30, 3600, [](APMRemoteConfig& c) { return double(c.SKANInitialCVFetchDelay()); }},
    {"measurement.skan.cv_fetch_retry_interval_sec", Kind::Seconds, 120, 30, 3600, [](APMRemoteConfig& c) { return double(c.SKANCVFetchRetryInterval()); }},
    {"measurement.skan.cv_fetch_retry_limit", Kind::Int32, 4, 1, 10, [](APMRemoteConfig& c) { return double(c.SKANCVFetchRetryLimit()); }},
    {"measurement.skan.first_window.initial_cv_fetch_delay_sec", Kind::Seconds, 20, 1, 3600, [](APMRemoteConfig& c) { return double(c.SKANFirstWindowCVFetchDelay()); }},
    {"measurement.skan.first_window.cv_fetch_retry_interval_sec", Kind::Seconds, 120, 30, 3600, [](APMRemoteConfig& c) { return double(c.SKANFirstWindowCVFetchRetryInterval()); }},
    {"measurement.skan.first_window.cv_fetch_retry_limit", Kind::Int32, 4, 1, 10, [](APMRemoteConfig& c) { return double(c.SKANFirstWindowCVFetchRetryLimit()); }},
    {"measurement.skan.first_window.upload_interval_sec", Kind::Seconds, 1800, 15, 86400, [](APMRemoteConfig& c) { return double(c.SKANFirstWindowUploadInterval()); }},
    {"measurement.upload.dma_consent_enabled", Kind::Bool, 1, 0, 1, [](APMRemoteConfig& c) { return double(c.DMAConsentEnabled()); }},
    {"measurement.regional_defaults_enabled", Kind::Bool, 1, 0, 1, [](APMRemoteConfig& c) { return double(c.regionalDefaultsEnabled()); }},
  };
  return settings;
}

// The text the server sends for a value in the setting's unit (milliseconds
// for time settings and the count read like one).
std::string delivered(const Setting& s, double value) {
  const bool millis = s.kind == Kind::Seconds || s.kind == Kind::Count;
  return std::to_string(int64_t(millis ? value * 1000 : value));
}
// One unit of delivery past a bound: a millisecond, or one.
double step(const Setting& s) { return s.kind == Kind::Seconds || s.kind == Kind::Count ? 0.001 : 1; }

std::shared_ptr<APMPBMeasurementConfig> configWith(const std::vector<std::pair<std::string, std::string>>& settings) {
  return apm_test::measurementConfig(kAppID, settings);
}

class RemoteConfigSettingsTest : public DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    config_ = APMRemoteConfig::initWithAppID(kAppID, database_, nullptr);
    ASSERT_TRUE(config_);
  }
  void TearDown() override {
    config_.reset();
    DatabaseTest::TearDown();
  }
  // Parses a configuration holding only this setting (or none).
  void deliver(const std::vector<std::pair<std::string, std::string>>& settings) {
    config_->parseRemoteConfigFromMeasurementConfig(configWith(settings));
  }

  // Absent gives the default; the bounds are kept; one step past either gives
  // the default (no clamping).
  void checkEverySetting() {
    ASSERT_EQ(allSettings().size(), 73u);
    for (const Setting& s : allSettings()) {
      SCOPED_TRACE(s.key);
      deliver({});
      EXPECT_EQ(s.read(*config_), s.defaultValue);
      const struct {
        double value;
        double expected;
      } cases[] = {
          {s.minimum, s.minimum},
          {s.maximum, s.maximum},
          {s.minimum - step(s), s.defaultValue},
          {s.maximum + step(s), s.defaultValue},
      };
      for (const auto& c : cases) {
        SCOPED_TRACE(delivered(s, c.value));
        deliver({{s.key, delivered(s, c.value)}});
        EXPECT_EQ(s.read(*config_), c.expected);
        // The first read settles the value; the next answers the same.
        EXPECT_EQ(s.read(*config_), c.expected);
      }
    }
  }

  std::shared_ptr<APMRemoteConfig> config_;
};

TEST_F(RemoteConfigSettingsTest, EverySettingHasItsDefaultAndInclusiveBounds) { checkEverySetting(); }

// Setting strings used to be read in the device's locale: with a decimal
// comma "-900.0" read as -9000 and "2500.5" as 25005. They are read in "en_US".
TEST_F(RemoteConfigSettingsTest, AnswersDoNotDependOnTheDevicesLocale) {
  for (const char* locale : {"en_US", "de_DE", "fr_FR"}) {
    SCOPED_TRACE(locale);
    os::DeviceProfile profile;
    profile.localeIdentifier = locale;
    os::ScopedDeviceProfile scoped(profile);
    checkEverySetting();

    deliver({{"measurement.account.time_zone_offset_minutes", "-900.0"},
             {"measurement.upload.max_bundles_created_per_iteration", "2500.5"},
             {"measurement.upload.max_batch_size", "1,024"}});
    EXPECT_EQ(config_->analyticsAccountTimeZoneOffsetMinutes(), -900);
    EXPECT_EQ(config_->maxBundlesCreatedPerIteration(), 2);
    EXPECT_EQ(config_->uploadMaxSizeLimitBytes(), 1024);
  }
}

TEST_F(RemoteConfigSettingsTest, DeliveredTextsAndTheirAnswers) {
  const struct {
    const char* key;
    const char* text;
    std::function<double(APMRemoteConfig&)> read;
    double expected;
  } cases[] = {
      {"measurement.upload.interval", "60000", [](APMRemoteConfig& c) { return c.uploadingInterval(); }, 60},
      {"measurement.upload.interval", "10000", [](APMRemoteConfig& c) { return c.uploadingInterval(); }, 3600},
      {"measurement.upload.interval", "86400000", [](APMRemoteConfig& c) { return c.uploadingInterval(); }, 86400},
      {"measurement.upload.interval", "", [](APMRemoteConfig& c) { return c.uploadingInterval(); }, 3600},
      {"measurement.upload.interval", "soon", [](APMRemoteConfig& c) { return c.uploadingInterval(); }, 3600},
      {"measurement.account.time_zone_offset_minutes", "-900",
       [](APMRemoteConfig& c) { return double(c.analyticsAccountTimeZoneOffsetMinutes()); }, -900},
      {"measurement.account.time_zone_offset_minutes", "-901",
       [](APMRemoteConfig& c) { return double(c.analyticsAccountTimeZoneOffsetMinutes()); }, 0},
      {"measurement.upload.max_bundles_created_per_iteration", "500000",
       [](APMRemoteConfig& c) { return double(c.maxBundlesCreatedPerIteration()); }, 500},
      // 500 is read as 0.5, below the minimum of 1.
      {"measurement.upload.max_bundles_created_per_iteration", "500",
       [](APMRemoteConfig& c) { return double(c.maxBundlesCreatedPerIteration()); }, 100},
      // A fraction within bounds is truncated.
      {"measurement.audience.max_count", "7.9", [](APMRemoteConfig& c) { return double(c.maxAudienceCount()); }, 7},
      {"measurement.quality.checksum", "1", [](APMRemoteConfig& c) { return double(c.checksumEnabled()); }, 1},
      {"measurement.quality.checksum", "0", [](APMRemoteConfig& c) { return double(c.checksumEnabled()); }, 0},
      {"measurement.quality.checksum", "2", [](APMRemoteConfig& c) { return double(c.checksumEnabled()); }, 0},
      {"measurement.quality.checksum", "", [](APMRemoteConfig& c) { return double(c.checksumEnabled()); }, 0},
      {"measurement.quality.checksum", "true", [](APMRemoteConfig& c) { return double(c.checksumEnabled()); }, 0},
      {"measurement.tcf_enabled", "0", [](APMRemoteConfig& c) { return double(c.tcfFeatureEnabled()); }, 0},
      {"measurement.tcf_enabled", "yes", [](APMRemoteConfig& c) { return double(c.tcfFeatureEnabled()); }, 1},
      {"measurement.upload.max_event_parameter_value_length", "100",
       [](APMRemoteConfig& c) { return double(c.maxInternalEventParameterValueLength()); }, 256},
      {"measurement.upload.max_event_parameter_value_length", "300",
       [](APMRemoteConfig& c) { return double(c.maxInternalEventParameterValueLength()); }, 300},
      {"measurement.psm_start_count", "5", [](APMRemoteConfig& c) { return double(c.maxPSMStartCount()); }, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " = \"" + c.text + "\"");
    deliver({{c.key, c.text}});
    EXPECT_EQ(c.read(*config_), c.expected);
  }
  deliver({});
  EXPECT_EQ(config_->maxInternalEventParameterValueLength(), 500);
}

// A number past the 64-bit range has no integer value: it used to be
// converted anyway. It gives the default, also where no bound would catch it.
TEST_F(RemoteConfigSettingsTest, NumbersBeyondSixtyFourBitsGiveTheDefault) {
  deliver({{"measurement.test.unbounded", "99999999999999999999"},
           {"measurement.test.negative", "-99999999999999999999"},
           {"measurement.test.largest", "9223372036854775807"},
           {"measurement.upload.backoff_period", "99999999999999999999"}});
  EXPECT_EQ(config_->int64ValueFromCacheWithKey("measurement.test.unbounded", 7), 7);
  EXPECT_EQ(config_->int64ValueFromCacheWithKey("measurement.test.negative", 7), 7);
  EXPECT_EQ(config_->int64ValueFromCacheWithKey("measurement.test.largest", 7), INT64_MAX);
  EXPECT_EQ(config_->uploadingBackoffInterval(), 43200);
}

TEST_F(RemoteConfigSettingsTest, CoreEdges) {
  // An empty key gives nothing and caches nothing.
  EXPECT_FALSE(config_->numberFromCacheWithKey("", os::Number::int32(1), std::nullopt, std::nullopt));
  EXPECT_FALSE(config_->numberFromString(os::Value(os::Number::int32(3))));
  EXPECT_FALSE(config_->cacheValue(std::nullopt, "k"));
  EXPECT_FALSE(config_->cacheValue(os::Value("v"), ""));

  // Debug mode fixes the PSM start count at 10 whatever is delivered.
  deliver({{"measurement.psm_start_count", "2"}});
  monitor_->setDebugModeEnabled(true);
  EXPECT_EQ(config_->maxPSMStartCount(), 10);
  monitor_->setDebugModeEnabled(false);
  EXPECT_EQ(config_->maxPSMStartCount(), 2);

  // Read before any configuration: the default; after one: the delivered value.
  auto fresh = APMRemoteConfig::initWithAppID(kAppID, database_, nullptr);
  EXPECT_EQ(fresh->networkTimeout(), 60);
  fresh->parseRemoteConfigFromMeasurementConfig(configWith({{"measurement.network.network_timeout", "120000"}}));
  EXPECT_EQ(fresh->networkTimeout(), 120);

  // The default instance answers defaults.
  EXPECT_EQ(APMRemoteConfig::defaultInstance()->maxQueueTime(), kAPMDefaultMaxQueueTime);
  EXPECT_EQ(APMRemoteConfig::defaultInstance()->maxEventsStored(), kAPMDefaultMaxEventsStored);
}

}  // namespace
