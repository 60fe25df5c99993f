// APMRemoteConfig: the measurement configuration the server delivers for one
// Devuvo app ID (a MeasurementConfig message), turned into what the engine
// asks for: typed settings with defaults and bounds, per-event configuration,
// data-control names, the consent configuration, the event-editing program,
// the upload URL and the URL the configuration is fetched from.
//
// Design note.
// 1. Sources. A configuration becomes current through updateMeasurementConfig
//    (after the engine's fetch: app IDs checked, stored in the database, then
//    parsed) or at creation (loaded from the database and parsed). It stays
//    current until the next one or reset(). A refused configuration changes
//    nothing: the current one and every cache stay.
// 2. Parse order: settings list (none: stop, caches untouched); app ID check
//    (mismatch: stop silently); settings cache refilled with the delivered
//    strings; event configurations refilled; version logged; the first
//    program loaded into a new event-editing engine (failure: 29026, the
//    engine dropped and the parse ends, so data controls, consent and PSM
//    values keep their earlier contents); data controls; consent
//    configuration (only when present); PSM values (only when present).
// 3. Settings cache: setting name -> the delivered string, or the number a
//    getter settled on (defaults included). The first read after a parse
//    fixes the value until the next parse; a getter that races a parse
//    never replaces what the parse delivered (APMRemoteConfigSettingsCache). Strings are parsed in the fixed
//    locale "en_US", whatever the device's locale; a number that does not fit
//    a signed 64-bit integer counts as unparsable. Missing, unparsable and
//    out-of-bounds values give the default; nothing is clamped. PSM values
//    delivered as numbers are returned without the bounds check.
// 4. Experiments. Registered with the experiments manager as
//    "app_measurement"; the flag "regional_defaults_enabled" is copied at
//    activation, "session_stitching_token_feature_enabled" is read live.
//
// A default instance (defaultInstance(): no app ID, no database) never stores,
// loads or updates; its getters give defaults.
//
// Threads: updateMeasurementConfig, measurementConfigFromDatabase and the
// parse run on the engine's worker queue. Getters run on any thread: the
// caches are thread-safe dictionaries and the rest is guarded by mutex_, so a
// getter may read while a parse refills them.
//
// Messages go to the measurement monitor with the codes below (level in the
// comment).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/messages/message_classes.h"
#include "measurement/store/engine_services/event_editing.h"
#include "measurement/store/engine_services/remote_config_settings.h"
#include "measurement/store/experiment_manager.h"
#include "measurement/store/experiment_records.h"
#include "os/foundation/number_formatter.h"
#include "os/foundation/value.h"
#include "os/foundation/url.h"
#include "platform/utilities/mutable_dictionary.h"

class APMDatabase;
class APMIdentitySupport;

inline constexpr const char* kAPMRemoteConfigSDKName = "app_measurement";
inline constexpr const char* kAPMRegionalDefaultsEnabledFlag = "regional_defaults_enabled";
inline constexpr const char* kAPMSessionStitchingTokenFeatureEnabledFlag = "session_stitching_token_feature_enabled";
inline constexpr const char* kAPMRemoteConfigModuleName = "internal.remoteConfig";
inline constexpr const char* kAPMAppMetadataModuleName = "internal.appMetadata";
inline constexpr const char* kAPMLoggerModuleName = "internal.logger";
inline constexpr const char* kAPMUploadPath = "/a";
inline constexpr const char* kAPMRemoteConfigPathFormat = "/config/app/%@?";
// The locale setting strings are read in.
inline constexpr const char* kAPMRemoteConfigNumberLocale = "en_US";

inline constexpr int64_t kAPMRemoteConfigCodeEmptyAppID = 29000;              // 1
inline constexpr int64_t kAPMRemoteConfigCodeNoDatabase = 29001;              // 1
inline constexpr int64_t kAPMRemoteConfigCodeUpdateDefault = 29002;           // 2
inline constexpr int64_t kAPMRemoteConfigCodeNilConfig = 29003;               // 5
inline constexpr int64_t kAPMRemoteConfigCodeAppIDMismatch = 29004;           // 2
inline constexpr int64_t kAPMRemoteConfigCodeStoreFailed = 29005;             // 1
inline constexpr int64_t kAPMRemoteConfigCodeEmptyEventName = 29006;          // 5
inline constexpr int64_t kAPMRemoteConfigCodeExpiredDefault = 29007;          // 2
inline constexpr int64_t kAPMRemoteConfigCodeTimestampDefault = 29008;        // 2
inline constexpr int64_t kAPMRemoteConfigCodeTimestampFailed = 29009;         // 4
inline constexpr int64_t kAPMRemoteConfigCodeEmptyPlatform = 29010;           // 2
inline constexpr int64_t kAPMRemoteConfigCodeNoSettings = 29012;              // 2
inline constexpr int64_t kAPMRemoteConfigCodeEmptyEventConfigName = 29013;    // 5
inline constexpr int64_t kAPMRemoteConfigCodeParsed = 29014;                  // 7
inline constexpr int64_t kAPMRemoteConfigCodeLoadDefault = 29015;             // 2
inline constexpr int64_t kAPMRemoteConfigCodeLoadFailed = 29016;              // 2
inline constexpr int64_t kAPMRemoteConfigCodeNotStored = 29017;               // 7
inline constexpr int64_t kAPMRemoteConfigCodeNonStringNumber = 29018;         // 2
inline constexpr int64_t kAPMRemoteConfigCodeEmptyCacheValue = 29019;         // 5
inline constexpr int64_t kAPMRemoteConfigCodeEmptySettingKey = 29020;         // 7
inline constexpr int64_t kAPMRemoteConfigCodeRoZarAppIDMismatch = 29022;      // 2
inline constexpr int64_t kAPMRemoteConfigCodeStaleSnapshot = 29023;           // 2
inline constexpr int64_t kAPMRemoteConfigCodeActivateFailed = 29024;          // 2
inline constexpr int64_t kAPMRemoteConfigCodeFetchError = 29025;              // 2
inline constexpr int64_t kAPMRemoteConfigCodeEventEditingFailed = 29026;      // 1
inline constexpr int64_t kAPMRemoteConfigCodeEventEditingLoaded = 29027;      // 7

// The settings cache: setting name -> delivered string or settled number.
// Thread-safe. A parse replaces the whole contents in one step and a getter
// stores what it settled on only when the entry is still the one it read, so
// a getter racing a parse never puts its default or an old value over a newly
// delivered one.
class APMRemoteConfigSettingsCache {
 public:
  using Map = std::map<std::string, os::Value, std::less<>>;
  std::optional<os::Value> objectForKey(std::string_view key) const;
  void setObjectForKey(os::Value value, std::string key);
  void replaceAllObjects(Map objects);
  // Stores `value` when the entry is still `expected` (nullopt: absent) and
  // answers true; otherwise changes nothing and answers false.
  bool setObjectForKeyIfUnchanged(os::Value value, const std::string& key, const std::optional<os::Value>& expected);

 private:
  mutable std::mutex mutex_;
  Map objects_;  // guarded by mutex_
};

// An experiment flag's value as a Boolean (remote_config_settings.cpp);
// nothing for a value that is neither a number nor a string.
std::optional<bool> APMRemoteConfigFlagBoolValue(const os::Value& value);

class APMRemoteConfig final : public APMRemoteConfigSettings,
                              public APMEExperimentObserverDelegate,
                              public APMESDKPropertyProviderDelegate,
                              public std::enable_shared_from_this<APMRemoteConfig> {
 public:
  // Parses a setting's cached number; nullopt stays nullopt.
  using NumberBlock = std::function<std::optional<os::Number>(std::optional<os::Number>)>;

  // The shared default instance, made once.
  static std::shared_ptr<APMRemoteConfig> defaultInstance();
  // Null for an empty app ID (29000) or a null database (29001); otherwise
  // the configuration stored in the database is loaded and parsed.
  static std::shared_ptr<APMRemoteConfig> initWithAppID(const std::string& appID,
                                                        const std::shared_ptr<APMDatabase>& database,
                                                        std::shared_ptr<APMEManager> experimentManager);
  // With a configuration: it is applied with updateMeasurementConfig instead
  // of loading the stored one. No app ID and no database make a default
  // instance.
  static std::shared_ptr<APMRemoteConfig> initWithAppID(const std::string& appID,
                                                        const std::shared_ptr<APMDatabase>& database,
                                                        std::shared_ptr<APMPBMeasurementConfig> measurementConfig,
                                                        std::shared_ptr<APMEManager> experimentManager);
  ~APMRemoteConfig() override;
  APMRemoteConfig(const APMRemoteConfig&) = delete;
  APMRemoteConfig& operator=(const APMRemoteConfig&) = delete;

  // ---- Configuration (worker queue) ----
  // YES when the configuration was stored and parsed (design note 1). NO for
  // the default instance (29002), a null config (29003), a RoZar app ID that
  // differs while the identifiers' origin is "am" (29022), a Devuvo app ID
  // that differs (29004), or a store the database did not confirm (29005).
  bool updateMeasurementConfig(const std::shared_ptr<APMPBMeasurementConfig>& config);
  // The stored configuration, or null (29015 default instance, 29016 error,
  // 29017 none stored).
  std::shared_ptr<APMPBMeasurementConfig> measurementConfigFromDatabase();
  // Design note 2.
  void parseRemoteConfigFromMeasurementConfig(const std::shared_ptr<APMPBMeasurementConfig>& config);
  // Empties every cache but the event-editing engine, makes isDMARegion YES,
  // drops the current configuration and resets the experiments manager.
  void reset();

  // ---- Event configuration ----
  // Keyed by the internal short name when the event-name map has one
  // ("first_open" answers for "_f"). Null for an empty name (29006).
  std::shared_ptr<APMPBEventConfig> eventConfigWithName(std::string_view name) const;
  // The event's blocklisted field when YES, else blocklistPublic for a
  // public name and blocklistInternal for any other.
  bool isEventBlocklisted(std::string_view name);
  bool isEventCustomConversion(std::string_view name) const;
  bool eventHasSamplingRate(std::string_view name) override;
  // The delivered rate when in [2, 65535], else 1.
  int32_t samplingRateForEvent(std::string_view name) override;

  // ---- The configuration's values ----
  // The time since the last stored configuration is at least
  // remoteConfigCacheTimeInterval. NO for the default instance (29007).
  bool isExpired();
  // -1 without a configuration or version.
  int64_t version() const;
  std::optional<std::string> uploadSubdomain() const;
  // The upload endpoint with the path "/a" (the second endpoint when the
  // identity support's app-data consent status is 3), with the subdomain as
  // first host label when one is configured. Nullopt when the endpoints
  // resource has no usable entry.
  std::optional<os::URL> uploadURL() const;
  std::vector<std::string> dataControls() const;
  // Seconds since 1970 of the last stored configuration; 0 when unknown
  // (29008 default instance, 29009 error).
  double lastRemoteConfigUpdateTimestamp();
  // The configuration endpoint + "/config/app/<app ID>?" + the query
  // "platform=..&runtime_version=..&zev_version=..". Nullopt for a nil
  // platform (29010) or no endpoint.
  std::optional<os::URL> remoteConfigURLWithPlatform(const std::optional<std::string>& platform, int64_t SDKVersion,
                                                     int64_t runtimeVersion) const;
  std::vector<int64_t> experimentIDs() const;
  os::Dictionary consentDefaults() const;
  os::Dictionary consentDelegations() const;
  os::Dictionary regionalDefaults() const;
  std::set<std::string> corePlatformServices() const;
  // YES until a consent configuration says otherwise.
  bool isDMARegion() const;
  std::shared_ptr<APMPEventEditingInterface> eventEditing() const;

  // ---- Settings core ----
  // The number the "en_US" decimal formatter reads from a string value; a
  // non-string gives nullopt (29018).
  std::optional<os::Number> numberFromString(const os::Value& object) const;
  // Stores the value and returns it; nullopt for a nil value or empty key
  // (29019).
  std::optional<os::Value> cacheValue(std::optional<os::Value> value, std::string_view key);
  // Design note 3. Nullopt only for an empty key (29020) or a nil default.
  std::optional<os::Number> numberFromCacheWithKey(std::string_view key, std::optional<os::Number> defaultValue,
                                                   std::optional<os::Number> maxValue,
                                                   std::optional<os::Number> minValue, const NumberBlock& block = {});
  // Delivered in milliseconds, answered in seconds.
  double timeIntervalInSecondsFromCacheWithKey(std::string_view key, double defaultValue, double maxValue,
                                               double minValue);
  int32_t intValueFromCacheWithKey(std::string_view key, int32_t defaultValue, int32_t maxValue, int32_t minValue);
  int64_t int64ValueFromCacheWithKey(std::string_view key, int64_t defaultValue, int64_t maxValue, int64_t minValue);
  int64_t int64ValueFromCacheWithKey(std::string_view key, int64_t defaultValue);
  bool boolValueFromCacheWithKey(std::string_view key, bool defaultValue);

  // ---- Settings (remote_config_settings.cpp; seconds unless noted) ----
  double uploadingBackoffInterval();
  int32_t maxAudienceCount() override;
  int32_t maxFiltersPerAudience() override;
  int32_t maxFilterResultCount() override;
  int32_t maxParametersPerFilter() override;
  double databaseDeleteStaleBundlesInterval() override;
  double maxQueueTime() override;
  double adIDCacheTime() override;
  bool gateIDFAOnATTMASEnabled() override;
  double monitoringSamplePeriod();
  bool isNetworkBackgroundSessionEnabled();
  double networkTimeout();
  double sessionDefaultMinimumInterval();
  double sessionDefaultTimeoutInterval() override;
  double sessionEventUserEngagementInterval() override;
  bool efficientEngagementReportingEnabled() override;
  bool redundantEngagementRemovalEnabled() override;
  int32_t maxConversionsPerDay();
  int32_t maxEventsPerDay();
  int32_t maxPublicEventsPerDay();
  int32_t maxErrorEventsPerDay();
  int32_t maxTrackedCurrencies();
  int32_t maxPublicUserProperties();
  int32_t maxEventNameCardinality();
  int32_t maxPublicEventParams() override;
  int32_t maxEventsStored() override;
  double uploadingInterval();
  double uploadingInitialDelayInterval();
  int64_t uploadMaxBundlesLimit();
  int64_t uploadMaxEventsPerBundle();
  int64_t uploadMaxSizeLimitBytes();
  int32_t uploadingRetryCount();
  double uploadingRetryInterval();
  // A count delivered like a time (divided by 1000), then truncated.
  int64_t maxBundlesCreatedPerIteration();
  int32_t maxRealtimeEventCountPerDay();
  double uploadingDebugModeInterval();
  double uploadingRealTimeInterval();
  bool blocklistInternal();
  bool blocklistPublic();
  bool isEventSamplingEnabled() override;
  int32_t analyticsAccountTimeZoneOffsetMinutes() override;
  bool checksumEnabled();
  bool appBackgroundedEventEnabled() override;
  bool appInBackgroundParameterEnabled();
  bool itemScopedCustomParameterEnabled() override;
  int32_t maxItemScopedCustomParameters() override;
  int32_t maxPublicEventParameterValueLength() override;
  // The larger of maxPublicEventParameterValueLength and 256.
  int32_t maxInternalEventParameterValueLength();
  bool tcfFeatureEnabled();
  bool dcuEventFeatureEnabled();
  int32_t maxRealtimeDCUEventCountPerDay();
  bool PSMFeatureEnabled();
  // 10 while the monitor is in debug mode.
  int32_t maxPSMStartCount();
  int32_t maxPSMRetryCount();
  double PSMRetryInterval();
  int32_t hashPrefixBitLengthEmail();
  int32_t hashPrefixBitLengthPhone();
  // Days.
  int32_t maxSignInDelayInDays();
  bool isDeferredDeepLinkEnabled();
  int32_t maxDeferredDeepLinkRetryCount();
  double attributionCacheTTLInterval();
  double remoteConfigCacheTimeInterval();
  bool isSessionIDEnabled();
  // The live flag "session_stitching_token_feature_enabled" when the client
  // has it, else the setting.
  bool sessionStitchingTokenFeatureEnabled();
  bool SKANUpdateConversionValueEnabled();
  double SKANInitialCVFetchDelay();
  double SKANCVFetchRetryInterval();
  int32_t SKANCVFetchRetryLimit();
  double SKANFirstWindowCVFetchDelay();
  double SKANFirstWindowCVFetchRetryInterval();
  int32_t SKANFirstWindowCVFetchRetryLimit();
  double SKANFirstWindowUploadInterval();
  bool DMAConsentEnabled();
  // The flag "regional_defaults_enabled" copied at activation when present,
  // else the setting.
  bool regionalDefaultsEnabled();

  // ---- Experiments ----
  // NO without a new snapshot; else the client's activation (29024 on
  // failure), copying the flags when it succeeds.
  bool activateNewSnapshot();
  void updateCachedExperimentFlags();
  bool implementsClientDidReceiveNewSnapshot() const override { return true; }
  void clientDidReceiveNewSnapshot(const std::shared_ptr<APMEClient>& client) override;
  void clientDidReceiveFetchError(const std::shared_ptr<APMEClient>& client, const os::Error& error) override;
  // YES only while the engine exists and is enabled.
  bool shouldFetchExperimentsForClient(const std::shared_ptr<APMEClient>& client) override;
  // The SDK property's delegate adds no properties of its own.
  std::optional<std::map<std::string, std::string>> dynamicCustomPropertiesForSDKProperty(
      const APMESDKProperty& property) override;

  bool isDefaultInstance() const { return isDefaultInstance_; }
  const std::string& appID() const { return appID_; }
  std::shared_ptr<APMEClient> experimentClient() const { return experimentClient_; }

  // ---- For tests ----
  // The identity support whose app-data consent status uploadURL reads
  // (APMDefaultIdentitySupport::sharedInstance() until set).
  void TEST_setIdentitySupport(std::shared_ptr<APMIdentitySupport> support);

 private:
  APMRemoteConfig(std::string appID, const std::shared_ptr<APMDatabase>& database,
                  std::shared_ptr<APMEManager> experimentManager);
  void setUp(std::shared_ptr<APMPBMeasurementConfig> measurementConfig);
  std::shared_ptr<APMPBMeasurementConfig> currentConfig() const;
  // Parse steps 6 to 9; false when the program failed to load.
  bool loadEventEditing(const std::shared_ptr<APMPBMeasurementConfig>& config);
  void parseConsentConfig(const std::shared_ptr<APMPBConsentConfig>& consent);

  const std::string appID_;
  const std::weak_ptr<APMDatabase> database_;
  const std::shared_ptr<APMEManager> experimentManager_;
  bool isDefaultInstance_ = false;
  const os::NumberFormatter numberFormatter_{os::NumberFormatterStyle::Decimal, kAPMRemoteConfigNumberLocale};
  // Shared with the "internal.remoteConfig" module, which reads it live.
  const std::shared_ptr<APMRemoteConfigSettingsCache> cachedValueByRemoteConfigKeys_;
  DAZMutableDictionary<std::shared_ptr<APMPBEventConfig>> cachedEventConfigByEventName_;
  DAZMutableDictionary<os::Value> cachedExperimentFlags_;
  DAZMutableDictionary<os::Value> cachedConsentDefaults_;
  DAZMutableDictionary<os::Value> cachedConsentDelegations_;
  DAZMutableDictionary<os::Value> cachedRegionalDefaults_;
  // Set once at creation.
  std::shared_ptr<APMEClient> experimentClient_;

  mutable std::mutex mutex_;
  std::shared_ptr<APMPBMeasurementConfig> remoteConfigProto_;     // guarded by mutex_
  bool hasNewSnapshot_ = false;                                   // guarded by mutex_
  std::vector<std::string> cachedDataControls_;                   // guarded by mutex_
  std::set<std::string> cachedCorePlatformServices_;              // guarded by mutex_
  bool isDMARegion_ = true;                                       // guarded by mutex_
  std::shared_ptr<APMPEventEditingInterface> eventEditing_;       // guarded by mutex_
  std::shared_ptr<APMIdentitySupport> identitySupport_;           // guarded by mutex_
};
