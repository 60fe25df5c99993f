// APMPersistedConfig: the measurement library's small persistent values
// (upload and back-off times, identifiers, the configuration server's
// validators, session counters, deep-link and search-ad bookkeeping), each
// behind a typed accessor pair over the key "/devuvo/measurement/<name>".
//
// Storage: a persistent dictionary (APMPersistentDictionary) named after the
// suite, "<suite>.plist" under Application Support "Devuvo/Measurement",
// which writes itself one second after each change; an older copy in the
// preferences suite of the same name is moved there once, at creation. Only
// the measurement-enabled state lives in the application's user defaults, so
// clearValues leaves it alone.
//
// Reads of an absent key give the type's neutral value (0, 0.0, false,
// nullopt, the null value), never an error; bad keys and values are refused
// by the backing store with its own warnings.
//
// Synchronisation: every typed setter schedules one, one second later on the
// configuration's queue, replacing the one pending (a cancellable work item),
// so a burst of setters leaves one synchronisation, one second after the
// last. It asks the backing store to synchronize, which writes a change
// still pending at once.
//
// Threads: callable from any thread except the configuration's own serial
// queue "APMPersistedConfig", on which every typed read and write runs
// synchronously (os::DispatchQueue aborts on such a re-entry). The search-ad
// value bypasses the queue and relies on the store's lock. `mutex_` guards
// only the pending synchronisation.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "measurement/store/config_store.h"
#include "measurement/store/persistent_dictionary.h"
#include "os/dispatch/queue.h"
#include "os/foundation/value.h"

inline constexpr const char* kAPMPersistedConfigSuiteName = "com.devuvo.zev.measurement";
inline constexpr const char* kAPMPersistedConfigQueueLabel = "APMPersistedConfig";
inline constexpr double kAPMPersistedConfigSynchronizeDelay = 1.0;
// Milliseconds in a day: the midnight offset is drawn below it.
inline constexpr uint32_t kAPMMidnightOffsetRangeMilliseconds = 86'400'000;

inline constexpr int64_t kAPMPersistedConfigCodeSharedInstanceNil = 27001;   // level 1
inline constexpr int64_t kAPMPersistedConfigCodeUnsupportedValue = 27002;    // level 1

// Keys, "/devuvo/measurement/" and the name.
inline constexpr const char* kAPMLastDeleteStaleBundlesTimestampKey = "/devuvo/measurement/last_delete_stale";
inline constexpr const char* kAPMSearchAdCampaignValueKey = "/devuvo/measurement/is_search_ad_campaign";
inline constexpr const char* kAPMLastSearchAdLookUpTimestampKey = "/devuvo/measurement/search_ad_last_attempt_timestamp";
inline constexpr const char* kAPMSearchAdRetryCountKey = "/devuvo/measurement/search_ad_number_of_retries";
inline constexpr const char* kAPMAppInstanceIDKey = "/devuvo/measurement/app_instance_id";
inline constexpr const char* kAPMAppIDFromZEVKey = "/devuvo/measurement/zev_app_id";
inline constexpr const char* kAPMAppIDFromRoZarKey = "/devuvo/measurement/rozar_app_id";
inline constexpr const char* kAPMHashedResettableDeviceIDKey = "/devuvo/measurement/hashed_idfa";
inline constexpr const char* kAPMDiversionKeyKey = "/devuvo/measurement/diversion_key";
inline constexpr const char* kAPMMeasurementEnabledStateKey = "/devuvo/measurement/measurement_enabled_state";
inline constexpr const char* kAPMLastBackoffTimestampKey = "/devuvo/measurement/last_backoff";
inline constexpr const char* kAPMLastSuccessfulUploadTimestampKey = "/devuvo/measurement/last_successful_upload";
inline constexpr const char* kAPMLastFailedUploadTimestampKey = "/devuvo/measurement/last_failed_upload";
inline constexpr const char* kAPMAppVersionKey = "/devuvo/measurement/app_version";
inline constexpr const char* kAPMOSVersionKey = "/devuvo/measurement/os_version";
inline constexpr const char* kAPMMidnightOffsetKey = "/devuvo/measurement/midnight_offset";
inline constexpr const char* kAPMLastMonitorDataSampledTimestampKey =
    "/devuvo/measurement/last_monitor_data_sampled_timestamp";
inline constexpr const char* kAPMFirstOpenTimestampMillisecondsKey = "/devuvo/measurement/first_open_timestamp_ms";
inline constexpr const char* kAPMConfigServerLastModifiedStringKey = "/devuvo/measurement/last_modified_since_key";
inline constexpr const char* kAPMConfigServerETagKey = "/devuvo/measurement/config_etag";
inline constexpr const char* kAPMLoadTimestampValueKey = "/devuvo/measurement/load_timestamp";
inline constexpr const char* kAPMAllowPersonalizedAdsKey = "/devuvo/measurement/allow_personalized_ads";
inline constexpr const char* kAPMVivuzuvuFeatureRolloutsKey = "/devuvo/measurement/vivuzuvu_feature_rollouts";
inline constexpr const char* kAPMDeferredDeepLinkRetrievalCompleteKey = "/devuvo/measurement/deep_link_retrieval_complete";
inline constexpr const char* kAPMDeferredDeepLinkRetryCountKey = "/devuvo/measurement/deep_link_retry_count";
inline constexpr const char* kAPMShouldSetLastAdvertisingIDResetUserPropertyKey =
    "/devuvo/measurement/set_last_advertising_id_reset";
inline constexpr const char* kAPMUnmatchedFirstOpenWithoutIDFAKey = "/devuvo/measurement/unmatched_first_open";
inline constexpr const char* kAPMPreviousFirstOpenCountKey = "/devuvo/measurement/previous_first_open_count";
inline constexpr const char* kAPMPreviousBundledConsentSignalsKey = "/devuvo/measurement/previous_bundled_consent_signals";
inline constexpr const char* kAPMAdCampaignInfoBufferKey = "/devuvo/measurement/ad_campaign_info_buffer";
inline constexpr const char* kAPMLastSessionActivityClockTimeKey = "/devuvo/measurement/last_engagement_end";
inline constexpr const char* kAPMSessionNumberKey = "/devuvo/measurement/session_number";
inline constexpr const char* kAPMDefaultEventParametersKey = "/devuvo/measurement/default_event_parameters";
inline constexpr const char* kAPMLastUploadedEventTimestampMillisKey = "/devuvo/measurement/last_uploaded_event_millis";
inline constexpr const char* kAPMSKANEvaluationEventTimeMillisKey = "/devuvo/measurement/skan_evaluation_event_time_millis";
inline constexpr const char* kAPMSKANEvaluationUpdateBackoffMillisKey =
    "/devuvo/measurement/skan_evaluation_update_backoff_millis";

class APMPersistedConfig : public std::enable_shared_from_this<APMPersistedConfig> {
 public:
  // The one instance over kAPMPersistedConfigSuiteName, made on first use;
  // null (27001 logged) when it cannot be made.
  static std::shared_ptr<APMPersistedConfig> sharedInstance();
  // Null for an empty name or when the backing store cannot be made.
  static std::shared_ptr<APMPersistedConfig> initWithSuiteName(std::string_view suiteName);
  // Cancels the pending synchronisation.
  ~APMPersistedConfig();
  APMPersistedConfig(const APMPersistedConfig&) = delete;
  APMPersistedConfig& operator=(const APMPersistedConfig&) = delete;

  const std::string& name() const { return name_; }

  // ---- Generic accessors (an empty key reads as absent) ----
  bool boolForKey(std::string_view key);
  double doubleForKey(std::string_view key);
  std::optional<std::string> stringForKey(std::string_view key);
  std::optional<os::Dictionary> dictionaryForKey(std::string_view key);
  int64_t int64ForKey(std::string_view key);
  // The 64-bit value of a number stored under the key in `store`, else 0.
  int64_t int64ForKey(std::string_view key, APMConfigStore& store);
  // The stored object as it is.
  os::Value numberForKey(std::string_view key);
  void setBool(bool value, std::string_view key);
  void setInt64(int64_t value, std::string_view key);
  void setDouble(double value, std::string_view key);
  // nullopt removes the key.
  void setString(std::optional<std::string_view> value, std::string_view key);
  void setDictionary(std::optional<os::Dictionary> value, std::string_view key);
  // The object as it is; the null value removes the key.
  void setNumber(const os::Value& value, std::string_view key);

  // ---- Typed values ----
  double lastDeleteStaleBundlesTimestamp() { return doubleForKey(kAPMLastDeleteStaleBundlesTimestampKey); }
  void setLastDeleteStaleBundlesTimestamp(double v) { setDouble(v, kAPMLastDeleteStaleBundlesTimestampKey); }
  // Straight to the store, off the queue; a value that is not a number is
  // ignored.
  os::Value searchAdCampaignValue();
  void setSearchAdCampaignValue(const os::Value& value);
  double lastSearchAdLookUpTimestamp() { return doubleForKey(kAPMLastSearchAdLookUpTimestampKey); }
  void setLastSearchAdLookUpTimestamp(double v) { setDouble(v, kAPMLastSearchAdLookUpTimestampKey); }
  int64_t searchAdRetryCount() { return int64ForKey(kAPMSearchAdRetryCountKey); }
  void setSearchAdRetryCount(int64_t v) { setInt64(v, kAPMSearchAdRetryCountKey); }
  std::optional<std::string> appInstanceID() { return stringForKey(kAPMAppInstanceIDKey); }
  void setAppInstanceID(std::optional<std::string_view> v) { setString(v, kAPMAppInstanceIDKey); }
  std::optional<std::string> appIDFromZEV() { return stringForKey(kAPMAppIDFromZEVKey); }
  void setAppIDFromZEV(std::optional<std::string_view> v) { setString(v, kAPMAppIDFromZEVKey); }
  std::optional<std::string> appIDFromRoZar() { return stringForKey(kAPMAppIDFromRoZarKey); }
  void setAppIDFromRoZar(std::optional<std::string_view> v) { setString(v, kAPMAppIDFromRoZarKey); }
  std::optional<std::string> hashedResettableDeviceID() { return stringForKey(kAPMHashedResettableDeviceIDKey); }
  void setHashedResettableDeviceID(std::optional<std::string_view> v) { setString(v, kAPMHashedResettableDeviceIDKey); }
  std::optional<std::string> diversionKey() { return stringForKey(kAPMDiversionKeyKey); }
  void setDiversionKey(std::optional<std::string_view> v) { setString(v, kAPMDiversionKeyKey); }
  // In the application's user defaults (APMUserDefaults::sharedUserDefaults),
  // synchronized at once.
  int64_t measurementEnabledState();
  void setMeasurementEnabledState(int64_t state);
  double lastBackoffTimestamp() { return doubleForKey(kAPMLastBackoffTimestampKey); }
  void setLastBackoffTimestamp(double v) { setDouble(v, kAPMLastBackoffTimestampKey); }
  double lastSuccessfulUploadTimestamp() { return doubleForKey(kAPMLastSuccessfulUploadTimestampKey); }
  void setLastSuccessfulUploadTimestamp(double v) { setDouble(v, kAPMLastSuccessfulUploadTimestampKey); }
  double lastFailedUploadTimestamp() { return doubleForKey(kAPMLastFailedUploadTimestampKey); }
  void setLastFailedUploadTimestamp(double v) { setDouble(v, kAPMLastFailedUploadTimestampKey); }
  std::optional<std::string> appVersion() { return stringForKey(kAPMAppVersionKey); }
  void setAppVersion(std::optional<std::string_view> v) { setString(v, kAPMAppVersionKey); }
  std::optional<std::string> osVersion() { return stringForKey(kAPMOSVersionKey); }
  void setOSVersion(std::optional<std::string_view> v) { setString(v, kAPMOSVersionKey); }
  // Seconds in [0, 86400) in millisecond steps, drawn at random on the first
  // read and kept from then on.
  double midnightOffset();
  double lastMonitorDataSampledTimestamp() { return doubleForKey(kAPMLastMonitorDataSampledTimestampKey); }
  void setLastMonitorDataSampledTimestamp(double v) { setDouble(v, kAPMLastMonitorDataSampledTimestampKey); }
  int64_t firstOpenTimestampMilliseconds() { return int64ForKey(kAPMFirstOpenTimestampMillisecondsKey); }
  void setFirstOpenTimestampMilliseconds(int64_t v) { setInt64(v, kAPMFirstOpenTimestampMillisecondsKey); }
  os::Value configServerLastModifiedString() { return objectForKey(kAPMConfigServerLastModifiedStringKey); }
  void setConfigServerLastModifiedString(std::optional<std::string_view> v) {
    setString(v, kAPMConfigServerLastModifiedStringKey);
  }
  std::optional<std::string> configServerETag() { return stringForKey(kAPMConfigServerETagKey); }
  void setConfigServerETag(std::optional<std::string_view> v) { setString(v, kAPMConfigServerETagKey); }
  // Stored without a synchronisation of their own.
  os::Value loadTimestampValue() { return objectForKey(kAPMLoadTimestampValueKey); }
  void setLoadTimestampValue(const os::Value& v) { setObject(v, kAPMLoadTimestampValueKey, false); }
  os::Value allowPersonalizedAds() { return objectForKey(kAPMAllowPersonalizedAdsKey); }
  void setAllowPersonalizedAds(const os::Value& v) { setObject(v, kAPMAllowPersonalizedAdsKey, false); }
  std::optional<std::string> vivuzuvuFeatureRollouts() { return stringForKey(kAPMVivuzuvuFeatureRolloutsKey); }
  void setVivuzuvuFeatureRollouts(std::optional<std::string_view> v) { setString(v, kAPMVivuzuvuFeatureRolloutsKey); }
  os::Value deferredDeepLinkRetrievalComplete() { return objectForKey(kAPMDeferredDeepLinkRetrievalCompleteKey); }
  void setDeferredDeepLinkRetrievalComplete(const os::Value& v) {
    setObject(v, kAPMDeferredDeepLinkRetrievalCompleteKey, false);
  }
  int64_t deferredDeepLinkRetryCount() { return int64ForKey(kAPMDeferredDeepLinkRetryCountKey); }
  void setDeferredDeepLinkRetryCount(int64_t v) { setInt64(v, kAPMDeferredDeepLinkRetryCountKey); }
  // Stored as the number 1 or 0; any stored number other than 0 reads true.
  bool shouldSetLastAdvertisingIDResetUserProperty() {
    return int64ForKey(kAPMShouldSetLastAdvertisingIDResetUserPropertyKey) != 0;
  }
  void setShouldSetLastAdvertisingIDResetUserProperty(bool v) {
    setInt64(v ? 1 : 0, kAPMShouldSetLastAdvertisingIDResetUserPropertyKey);
  }
  bool unmatchedFirstOpenWithoutIDFA() { return int64ForKey(kAPMUnmatchedFirstOpenWithoutIDFAKey) != 0; }
  void setUnmatchedFirstOpenWithoutIDFA(bool v) { setInt64(v ? 1 : 0, kAPMUnmatchedFirstOpenWithoutIDFAKey); }
  os::Value previousFirstOpenCount() { return numberForKey(kAPMPreviousFirstOpenCountKey); }
  void setPreviousFirstOpenCount(const os::Value& v) { setNumber(v, kAPMPreviousFirstOpenCountKey); }
  std::optional<std::string> previousBundledConsentSignals() { return stringForKey(kAPMPreviousBundledConsentSignalsKey); }
  void setPreviousBundledConsentSignals(std::optional<std::string_view> v) {
    setString(v, kAPMPreviousBundledConsentSignalsKey);
  }
  os::Value adCampaignInfoBuffer() { return objectForKey(kAPMAdCampaignInfoBufferKey); }
  void setAdCampaignInfoBuffer(const os::Value& v) { setObject(v, kAPMAdCampaignInfoBufferKey, true); }
  double lastSessionActivityClockTime() { return doubleForKey(kAPMLastSessionActivityClockTimeKey); }
  void setLastSessionActivityClockTime(double v) { setDouble(v, kAPMLastSessionActivityClockTimeKey); }
  int64_t sessionNumber() { return int64ForKey(kAPMSessionNumberKey); }
  void setSessionNumber(int64_t v) { setInt64(v, kAPMSessionNumberKey); }
  std::optional<os::Dictionary> defaultEventParameters() { return dictionaryForKey(kAPMDefaultEventParametersKey); }
  void setDefaultEventParameters(std::optional<os::Dictionary> v) {
    setDictionary(std::move(v), kAPMDefaultEventParametersKey);
  }
  int64_t lastUploadedEventTimestampMillis() { return int64ForKey(kAPMLastUploadedEventTimestampMillisKey); }
  void setLastUploadedEventTimestampMillis(int64_t v) { setInt64(v, kAPMLastUploadedEventTimestampMillisKey); }
  int64_t SKANEvaluationEventTimeMillis() { return int64ForKey(kAPMSKANEvaluationEventTimeMillisKey); }
  void setSKANEvaluationEventTimeMillis(int64_t v) { setInt64(v, kAPMSKANEvaluationEventTimeMillisKey); }
  int64_t SKANEvaluationUpdateBackoffMillis() { return int64ForKey(kAPMSKANEvaluationUpdateBackoffMillisKey); }
  void setSKANEvaluationUpdateBackoffMillis(int64_t v) { setInt64(v, kAPMSKANEvaluationUpdateBackoffMillisKey); }

  // Empties the property-list store (not the measurement-enabled state).
  void clearValues();

  // ---- Synchronisation ----
  // Replaces the pending synchronisation with one a second from now.
  void scheduleSynchronizeToDisk();
  void cancelScheduledSynchronize();
  // On the main thread: schedules (the work leaves the main thread); else
  // asks the backing store to synchronize.
  void synchronizeToDisk();

  // ---- For tests ----
  // Synchronisations that reached the backing store.
  int TEST_synchronizeCount() const;
  bool TEST_hasPendingSynchronize() const;
  const std::string& TEST_filePath() const { return userDefaults_->filePath(); }

 private:
  APMPersistedConfig(std::string name, std::shared_ptr<APMPersistentDictionary> store);
  // The object under the key, read on the queue.
  os::Value objectForKey(std::string_view key);
  // Stores on the queue; schedules a synchronisation when asked.
  void setObject(const os::Value& value, std::string_view key, bool synchronize);

  const std::string name_;
  const std::shared_ptr<APMPersistentDictionary> userDefaults_;
  const std::shared_ptr<os::DispatchQueue> serialQueue_;
  mutable std::mutex mutex_;
  std::shared_ptr<os::DispatchWorkItem> synchronizeBlock_;  // guarded by mutex_; null once run
  uint64_t synchronizeGeneration_ = 0;                      // guarded by mutex_
  std::atomic<int> synchronizeCount_{0};
};
