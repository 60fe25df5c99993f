// APMMeasurement: the measurement engine, one object per process. It owns the
// worker scheduler, the upload alarm, the network client, the store, the
// remote configuration, identity, audiences, the session and search-ads
// reporters and the TCF client, and implements what the store asks of the
// engine (APMMeasurementServices).
//
// Design note: creation, enablement and the component start.
//   1. Creation. The facade calls initializeSharedInstanceWithAppID once, on
//      its queue "APMAnalyticsQueue". Under the engine mutex the once flag is
//      set whether or not an engine is built; an empty app ID (23170) leaves
//      the process without an engine for good. The initialisers decide
//      `enabled` (deactivated wins; else the persisted measurement-enabled
//      state 1 or 2; else the "collection enabled" option) and queue the
//      switch on the worker queue "com.devuvo.ruri.worker".
//   2. Switching (setEnabledOnWorkerQueue). Enabling while deactivated only
//      logs 23206. Enabling runs startMeasurementOnWorkerQueue; its failure
//      logs 23011 and queues a switch off. Disabling stops reporting and the
//      upload alarm; stored data and components stay.
//   3. Component start, once per process under initializeComponentsLock:
//      identity, consent at start, the wipe decision, identifiers, app IDs,
//      the store (two attempts), remote configuration, audiences, the
//      session reporter, then the start's automatic work (personalised-ads
//      property, session-number backfill, first open, the stored campaign
//      link, app and OS updates), the search-ads reporter and TCF consent. A
//      missing identity, store, configuration or audience answers NO, so a
//      later enable starts over; success sets didInitializeComponents, which
//      never returns to NO.
//   4. Every block the engine schedules holds it weakly and does nothing once
//      it is gone. Everything after the constructor runs on the worker queue.
//
// The engine is the logger delegate of its network client: the client's
// lines reach the monitor with their levels translated (3 to 1, 4 to 4, 5 to
// 3, 6 to 6, 7 to 7, any other to 3).
//
// Threads: the engine mutex guards the once flag and the singleton only;
// didInitializeComponents, enabled, backgroundUpdateTask and
// foundAdPersonalizationPlistFlag are atomics; the identity, store, remote
// configuration and session reporter, which accessors read from any thread,
// are set on the worker queue under componentsMutex_; the OnWorker fields
// (audiences, search-ads reporter, TCF client, load and upload-suspension
// times, PSM, SKAN, upload, bundling and configuration-fetch state) are
// touched on the worker queue only, and check it; every other field but the
// delegate is set by the initialisers before the engine is shared, and only
// read after.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/engine/attribution/ad_exposure_reporter.h"
#include "measurement/engine/audiences/audience.h"
#include "measurement/engine/sessions/session_reporter.h"
#include "measurement/messages/message_classes.h"
#include "measurement/store/daily_counts.h"
#include "measurement/store/database.h"
#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/engine_services/event.h"
#include "measurement/store/engine_services/scheduler.h"
#include "measurement/store/experiment_manager.h"
#include "measurement/store/identity.h"
#include "measurement/store/persisted_config.h"
#include "measurement/store/records.h"
#include "measurement/store/remote_config.h"
#include "measurement/store/tcf.h"
#include "measurement/store/user_defaults.h"
#include "os/foundation/error.h"
#include "os/foundation/url.h"
#include "os/foundation/value.h"
#include "os/net/url_request.h"
#include "os/dispatch/notification.h"
#include "os/dispatch/queue_confined.h"
#include "os/storekit/ad_network.h"
#include "os/storekit/payment_queue.h"
#include "os/uikit/app_host.h"
#include "os/uikit/application.h"
#include "platform/utilities/network.h"

class APMSearchAdReporter;

// ---- Names ----
inline constexpr const char* kAPMMeasurementClassName = "APMMeasurement";
inline constexpr const char* kAPMMeasurementTimerName = "Measurement timer";
inline constexpr const char* kAPMDefaultLibraryVersionText = "110100000";
inline constexpr const char* kAPMOlderInterfaceClassName = "RURIDatabase";
inline constexpr const char* kAPMRemoteConfigSDKClassName = "REZRemoteConfig";
inline constexpr const char* kAPMPrivateSetMembershipClientClassName = "APMPrivateSetMembershipClient";
inline constexpr const char* kAPMMeasurementDirectoryName = "Devuvo/Measurement";
inline constexpr const char* kAPMTopLevelVersionSelector = "topLevelVersion";
inline constexpr const char* kAPMAutomaticScreenReportingKey = "VivuzuvuAutomaticScreenReportingEnabled";
inline constexpr const char* kAPMDocumentationReference = "https://docs.devuvo.invalid/analytics/debugview";
// Origins: "am" is the origin of a start by the mobile-ads SDK and of ad-exposure events.
inline constexpr const char* kAPMOriginMobileAds = "am";
// Automatic events and their parameters.
inline constexpr const char* kAPMFirstOpenEventName = "_f";
inline constexpr const char* kAPMAppUpdateEventName = "_au";
inline constexpr const char* kAPMOSUpdateEventName = "_ou";
inline constexpr const char* kAPMPreviousZEVAppIDParameter = "_pdvp";
inline constexpr const char* kAPMPreviousFirstOpenCountParameter = "_pfo";
inline constexpr const char* kAPMUsedWithoutAnalyticsParameter = "_uwa";
inline constexpr const char* kAPMDeferredAnalyticsCollectionParameter = "_dac";
inline constexpr const char* kAPMPreviousAppVersionParameter = "_pv";
inline constexpr const char* kAPMPreviousOSVersionParameter = "_po";
inline constexpr const char* kAPMClickTimestampParameter = "_cc";
inline constexpr const char* kAPMUTMSourceParameter = "utm_source";
inline constexpr const char* kAPMUTMMediumParameter = "utm_medium";
inline constexpr const char* kAPMNotSetValue = "(not set)";
// Automatic user properties.
inline constexpr const char* kAPMFirstOpenAfterInstallUserProperty = "_fi";
inline constexpr const char* kAPMFirstOpenTimeUserProperty = "_fot";
inline constexpr const char* kAPMNonPersonalizedAdsUserProperty = "_npa";
// Stored campaign link, in the shared user defaults.
inline constexpr const char* kAPMStoredDeepLinkKey = "/devuvo/measurement/deep_link";
inline constexpr const char* kAPMStoredDeepLinkTimestampKey = "/devuvo/measurement/deep_link_timestamp_seconds";

// ---- Monitor codes ----
inline constexpr int64_t kAPMMeasurementCodeStarted = 23007;                    // 6
inline constexpr int64_t kAPMMeasurementCodeDebugHint = 23008;                  // 6
inline constexpr int64_t kAPMMeasurementCodeDebugLoggingEnabled = 23009;        // 7
inline constexpr int64_t kAPMMeasurementCodeNetworkFailed = 23010;              // 1
inline constexpr int64_t kAPMMeasurementCodeStartFailed = 23011;                // 0
inline constexpr int64_t kAPMMeasurementCodeCollectionEnabled = 23012;          // 6
inline constexpr int64_t kAPMMeasurementCodeCollectionDisabled = 23013;         // 6
inline constexpr int64_t kAPMMeasurementCodeExcludeFromBackupFailed = 23015;    // 5
inline constexpr int64_t kAPMMeasurementCodeReady = 23016;                      // 7
inline constexpr int64_t kAPMMeasurementCodeDeleteStaleDataFailed = 23018;      // 5
inline constexpr int64_t kAPMMeasurementCodeFirstOpenQueryFailed = 23019;       // 1
inline constexpr int64_t kAPMMeasurementCodeFirstOpenReadBackFailed = 23020;    // 1
inline constexpr int64_t kAPMMeasurementCodeFirstOpenNotSet = 23021;            // 1
inline constexpr int64_t kAPMMeasurementCodeFileAttributesFailed = 23022;       // 5
inline constexpr int64_t kAPMMeasurementCodeEventAggregatesQueryFailed = 23063; // 1
inline constexpr int64_t kAPMMeasurementCodeNotCreated = 23147;                 // platform logger
inline constexpr int64_t kAPMMeasurementCodeInstallReadBackFailed = 23161;      // 1
inline constexpr int64_t kAPMMeasurementCodeInstallNotSet = 23162;              // 1
inline constexpr int64_t kAPMMeasurementCodeEmptyAppID = 23170;                 // 1
inline constexpr int64_t kAPMMeasurementCodeNPAReadFailed = 23172;              // 1
inline constexpr int64_t kAPMMeasurementCodeNPARemoveFailed = 23173;            // 1
inline constexpr int64_t kAPMMeasurementCodeNPARemoved = 23180;                 // 4
inline constexpr int64_t kAPMMeasurementCodeCollectionDeactivated = 23206;      // 6
inline constexpr int64_t kAPMMeasurementCodeVerboseHint = 23207;                // 7
inline constexpr int64_t kAPMMeasurementCodeWipeFailed = 23208;                 // 4
inline constexpr int64_t kAPMMeasurementCodeOlderMeasurementDisabled = 23210;   // 1
inline constexpr int64_t kAPMMeasurementCodeAdNetworkOptedOut = 23217;          // 7
inline constexpr int64_t kAPMMeasurementCodeScreenReportingNotice = 23220;      // 6
inline constexpr int64_t kAPMMeasurementCodeBuild = 23222;                      // 8
inline constexpr int64_t kAPMMeasurementCodeSafelistNotArray = 25034;           // 0
inline constexpr int64_t kAPMMeasurementCodeSafelistInvalidName = 25035;        // 0

// The optional delegate of the engine; nothing in this system sets one.
class APMMeasurementDelegate {
 public:
  virtual ~APMMeasurementDelegate() = default;
};

// An event handed to the interceptor instead of the store: origin, name,
// parameters, time (seconds since 1970).
using APMEventInterceptor =
    std::function<void(const std::string& origin, const std::string& name, const os::Dictionary& parameters,
                       double timestamp)>;

// The "safelisted_events" start option: an array of valid internal event
// names (an empty one included). Not an array: 25034; an invalid name: 25035.
bool APMIsValidSafelistedEvents(const os::Value& safelistedEvents);
// Events of origin "am" and the ad-exposure events "_xa" and "_xu".
bool APMEventSkipsListeners(const APMEvent& event);

// The stored campaign link in `defaults`.
// Stores the link with the current time.
void APMStoreDeepLink(APMUserDefaults& defaults, const std::string& link);
void APMRemoveStoredDeepLink(APMUserDefaults& defaults);
// A stored time lies more than `age` seconds from now, either way.
bool APMIsStoredDeepLinkExpired(APMUserDefaults& defaults, double age);
// Removes the shared defaults' link when older than the configuration's
// attribution cache time; answers whether it did.
bool APMRemoveExpiredStoredDeepLink(APMRemoteConfig& remoteConfig);
// The start of the hour before the given time: (ms / 3600000) * 3600000 -
// 3600000.
int64_t APMClickTimestampMillisFromSeconds(int64_t milliseconds);

// The value of "_fi" for a first open without an earlier first-open count:
// 0 or 1. No install signal reaches apps on this platform, so the default
// source answers 1 (the first open is taken as the first launch after
// install). A process may set another source; answers other than 0 count as 1.
int64_t APMFirstOpenInstallValue();
void APMSetFirstOpenInstallSource(std::function<int64_t()> source);

class APMMeasurement : public APMMeasurementServices,
                       public DAZNetworkLoggerDelegate,
                       public DAZNetworkReachabilityDelegate,
                       public std::enable_shared_from_this<APMMeasurement> {
 public:
  // =====================================================================
  // Process-wide
  // =====================================================================

  // Once per process (whatever the arguments): builds the engine when the
  // app ID is non-empty and installs it as the store's engine.
  static void initializeSharedInstanceWithAppID(const std::string& appID, bool isAnalyticsCollectionEnabled,
                                                bool isAnalyticsCollectionDeactivated,
                                                std::optional<std::vector<std::string>> safelistedEvents);
  // The once flag is set and an engine exists.
  static bool hasSharedInstance();
  // The engine, or null. Asked before the once flag while the analytics
  // interface is in the process, warns on the platform logger (23147).
  static std::shared_ptr<APMMeasurement> sharedInstance();
  // The engine's remote configuration, else the default instance.
  static std::shared_ptr<APMRemoteConfig> remoteConfig();
  // Class-load work: observes the launch.
  static void load();

  // =====================================================================
  // Initialisers (the facade's queue)
  // =====================================================================

  // Null, logging 23170, for an empty app ID. Makes the network client for
  // the measurement host, the scheduler and the upload alarm.
  static std::shared_ptr<APMMeasurement> initWithAppID(const std::string& appID, bool isAnalyticsCollectionEnabled,
                                                       bool isAnalyticsCollectionDeactivated,
                                                       std::optional<std::vector<std::string>> safelistedEvents,
                                                       std::shared_ptr<APMEManager> experimentManager);
  // The designated initialiser: decides `enabled` and queues the switch.
  static std::shared_ptr<APMMeasurement> initWithDatabaseName(
      const std::string& databaseName, std::shared_ptr<APMPersistedConfig> persistedConfig,
      std::shared_ptr<DAZNetwork> network, std::shared_ptr<APMScheduler> scheduler, std::shared_ptr<APMAlarm> alarm,
      const std::string& appID, bool isAnalyticsCollectionEnabled, bool isAnalyticsCollectionDeactivated,
      std::optional<std::vector<std::string>> safelistedEvents, std::shared_ptr<APMEManager> experimentManager);
  ~APMMeasurement() override;
  APMMeasurement(const APMMeasurement&) = delete;
  APMMeasurement& operator=(const APMMeasurement&) = delete;

  // =====================================================================
  // Enablement and start-up
  // =====================================================================

  // NO when deactivated; else the persisted state 1 (YES) or 2 (NO); else
  // the "collection enabled" option.
  bool shouldEnableMeasurement();
  // Queues setEnabledOnWorkerQueue (block "APMMeasurement:622").
  void setEnabled(bool enabled);
  void setEnabledOnWorkerQueue(bool enabled);
  // Starts the components once, then the per-enable work; NO when the
  // component start failed.
  bool startMeasurementOnWorkerQueue();
  // The wipe table: the first matching row decides.
  bool shouldWipeDataWithAppID(const std::string& appID, const std::optional<std::string>& appIDFromZEV,
                               const std::optional<std::string>& appIDFromRoZar,
                               const std::optional<std::string>& persistedAppIDFromZEV,
                               const std::optional<std::string>& persistedAppIDFromRoZar);
  // Consent at start: TCF, Info.plist, cleared, first-party start or
  // third-party settings, by priority.
  void setProspectiveConsentSettings();
  void updatePersistedAppIDFromZEVAndRoZar();
  void updateConsentSettingsUtilWithRemoteConfig();
  void setPersonalizedAdsUserPropertyOnWorkerQueue();
  void updateAdPersonalizationConsentFromNPAValue(const os::Value& npaValue);
  void backfillSessionNumber();
  void reportFirstOpenOnWorkerQueue();
  void reportAppUpdateOnWorkerQueue();
  void reportOSUpdateOnWorkerQueue();
  // The stored campaign link as a campaign event; nullopt: no click time.
  void reportStoredCampaignEventOnWorkerQueue(std::optional<int64_t> clickTimestampInMillis);
  // (t / 3600000) * 3600000 + 3600000: an exact hour moves to the next one.
  int64_t timestampMillisRoundedUpToNextHour(int64_t timestampMillis);
  // nullopt for an empty path or unreadable attributes (23022 with an error).
  std::optional<os::Dictionary> fileAttributesForPath(const std::string& path);
  bool isVivuzuvuRemoteConfigSDKPresent();
  void tcfClientSetConsentFromData();

  // =====================================================================
  // Network log bridge
  // =====================================================================

  void DAZNetwork_logWithLevelMessageCodeMessageContexts(DAZNetworkLogLevel logLevel, long messageCode,
                                                         const std::string& message,
                                                         const std::vector<os::Value>& contexts) override;
  void DAZNetwork_logWithLevelMessageCodeMessageContext(DAZNetworkLogLevel logLevel, long messageCode,
                                                        const std::string& message,
                                                        const os::Value& context) override;
  void DAZNetwork_logWithLevelMessageCodeMessage(DAZNetworkLogLevel logLevel, long messageCode,
                                                 const std::string& message) override;
  // Network level -> monitor level.
  static int64_t monitorLevelFromNetworkLevel(DAZNetworkLogLevel logLevel);

  // =====================================================================
  // What the store asks of the engine
  // =====================================================================

  bool isEnabled() const override { return enabled_.load(); }
  std::shared_ptr<APMIdentity> identity() const override;
  std::shared_ptr<APMDatabase> database() const override;
  std::shared_ptr<APMRemoteConfigSettings> engineRemoteConfig() const override;
  std::shared_ptr<APMScheduler> scheduler() const override { return scheduler_; }
  void writeEventOnWorkerQueue(std::shared_ptr<APMEvent> event) override;
  void writeFilteredEventOnWorkerQueue(std::shared_ptr<APMEvent> event) override;

  // =====================================================================
  // Properties
  // =====================================================================

  bool wasEnabledDuringInitialization() const { return wasEnabledDuringInitialization_; }
  bool isAnalyticsCollectionEnabled() const { return isAnalyticsCollectionEnabled_; }
  bool isAnalyticsCollectionDeactivated() const { return isAnalyticsCollectionDeactivated_; }
  bool didInitializeComponents() const override { return didInitializeComponents_.load(); }
  const std::string& appID() const { return appID_; }
  const std::string& databaseName() const { return databaseName_; }
  // Worker queue.
  double initTimestamp() const { return initTimestamp_.get(); }
  const std::optional<std::vector<std::string>>& safelistedEvents() const { return safelistedEvents_; }
  std::shared_ptr<APMAlarm> alarm() const { return alarm_; }
  std::shared_ptr<DAZNetwork> network() const { return network_; }
  std::shared_ptr<APMPersistedConfig> persistedConfig() const { return persistedConfig_; }
  // Worker queue.
  std::shared_ptr<APMAudience> audience() const { return audience_.get(); }
  std::shared_ptr<APMRemoteConfig> remoteConfigInstance() const;
  // Any thread; null before the component start.
  std::shared_ptr<APMSessionReporter> sessionReporter() const override;
  // Worker queue.
  std::shared_ptr<APMTCFClient> tcfClient() const { return tcfClient_.get(); }
  bool isNetworkRequestPending() const { return isNetworkRequestPending_; }
  void setIsNetworkRequestPending(bool pending) { isNetworkRequestPending_ = pending; }
  // Set once the Info.plist's ad-personalisation default was a number.
  bool foundAdPersonalizationPlistFlag() const { return foundAdPersonalizationPlistFlag_.load(); }
  bool shouldUpdateNPAUserProperty() const { return shouldUpdateNPAUserProperty_; }
  void setShouldUpdateNPAUserProperty(bool value) { shouldUpdateNPAUserProperty_ = value; }
  bool isSKANRequestInProgress() const { return isSKANRequestInProgress_; }
  void setIsSKANRequestInProgress(bool value) { isSKANRequestInProgress_ = value; }
  bool fetchSKANWhenNetworkConnected() const { return fetchSKANWhenNetworkConnected_; }
  void setFetchSKANWhenNetworkConnected(bool value) { fetchSKANWhenNetworkConnected_ = value; }
  int64_t lastEventEndTimestampMsec() const { return lastEventEndTimestampMsec_; }
  void setLastEventEndTimestampMsec(int64_t value) { lastEventEndTimestampMsec_ = value; }
  int32_t SKANRetryCount() const { return SKANRetryCount_; }
  void setSKANRetryCount(int32_t value) { SKANRetryCount_ = value; }
  std::shared_ptr<APMAlarm> SKANRetryAlarm() const { return SKANRetryAlarm_; }
  void setSKANRetryAlarm(std::shared_ptr<APMAlarm> alarm) { SKANRetryAlarm_ = std::move(alarm); }
  std::shared_ptr<APMAlarm> SKANDelayAlarm() const { return SKANDelayAlarm_; }
  void setSKANDelayAlarm(std::shared_ptr<APMAlarm> alarm) { SKANDelayAlarm_ = std::move(alarm); }
  bool shouldRequestDeferredDeepLinkAfterConfigFetch() const { return shouldRequestDeferredDeepLinkAfterConfigFetch_; }
  const std::optional<std::string>& previousZEVAppID() const { return previousZEVAppID_; }
  void setPreviousZEVAppID(std::optional<std::string> appID) { previousZEVAppID_ = std::move(appID); }
  // Worker queue.
  void setSuspendedUploadTimestamp(double timestamp) { suspendedUploadTimestamp_ = timestamp; }
  std::shared_ptr<APMMeasurementDelegate> measurementDelegate() const { return measurementDelegate_.lock(); }
  void setMeasurementDelegate(std::weak_ptr<APMMeasurementDelegate> delegate) {
    measurementDelegate_ = std::move(delegate);
  }

  // =====================================================================
  // Application life cycle
  // =====================================================================

  static void subscribeForAppDidFinishLaunchingNotifications();
  static void handleAppDidFinishLaunching(const os::Notification& notification);
  void subscribeForAppForegroundBackgroundNotifications();
  void handleAppDidBecomeActiveEvent(const os::Notification& notification);
  void handleAppWillResignActiveEvent(const os::Notification& notification);
  void handleAppWillEnterForegroundNotification(const os::Notification& notification);
  void terminateBackgroundTask();
  void swapBackgroundTaskWithNewTaskID(UIBackgroundTaskIdentifier taskID);
  void reportSessionStart();
  void reportSessionStartOnWorkerQueueWithTimestamp(double timestamp, bool appInBackground);
  void reportSessionStartWhenSceneWillConnectOnWorkerQueue();
  void setSessionTimeoutInterval(double timeoutInterval);

  // =====================================================================
  // Event intake
  // =====================================================================

  void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                          const os::Dictionary& parameters, double timestamp, bool enabled, bool ignoreEnabled,
                          bool ignoreInterceptor, APMEventInterceptor interceptor,
                          const os::Dictionary& addedScreenParameters);
  void logEventOnWorkerQueueWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                       const os::Dictionary& parameters, double timestamp, bool enabled,
                                       bool ignoreEnabled, bool ignoreInterceptor, const APMEventInterceptor& interceptor,
                                       const os::Dictionary& addedScreenParameters);
  void logEventOnWorkerQueue(std::shared_ptr<APMEvent> event, bool notifyEventListeners);
  void logEvent(std::shared_ptr<APMEvent> event);
  void handleInternalEventOnWorkerQueue(std::shared_ptr<APMEvent> event);
  void setDefaultEventParameters(std::optional<os::Dictionary> parameters);
  void handleSetDefaultEventParametersOnWorkerQueue(std::optional<os::Dictionary> parameters, bool backfillEvents);
  os::Dictionary parametersWithAddedDefaultEventParameters(const os::Dictionary& parameters);
  // The count of earlier first opens kept in the keychain ("_pfo").
  std::optional<std::string> previousFirstOpenCount();
  void setPreviousFirstOpenCount(std::optional<std::string> count);

  // =====================================================================
  // Event pipeline
  // =====================================================================

  void handleEventOnWorkerQueue(std::shared_ptr<APMEvent> event);
  std::shared_ptr<APMEvent> eventAfterSafelistingEvent(std::shared_ptr<APMEvent> event);
  void processSessionFromEvent(const std::shared_ptr<APMEvent>& event);
  bool dedupeSubscriptionEvent(const std::shared_ptr<APMEvent>& event);
  bool shouldDropDuplicatedSessionStartWithRolloutEvent(const std::shared_ptr<APMEvent>& event);
  std::shared_ptr<APMEvent> appExceptionEventWithVivuzuvuFeatureRollouts(std::shared_ptr<APMEvent> event);
  void writeSessionStartEventOnWorkerQueue(std::shared_ptr<APMEvent> event);
  bool updateLifetimeValueWithEvent(const std::shared_ptr<APMEvent>& event);
  bool shouldProcessEvent(const std::shared_ptr<APMEvent>& event, APMDailyCounts& dailyCounts, bool isPublicEvent);
  bool isRealtimeEvent(const std::shared_ptr<APMEvent>& event, APMDailyCounts& dailyCounts);
  void maybeAddDebugAndRealtimeParameters(std::shared_ptr<APMEvent>& event);
  bool writeEvent(const std::shared_ptr<APMEvent>& event, bool isPublicEvent, bool isRealtime);
  std::shared_ptr<APMPBMeasurementBundle> createRawEventMetadataWithUserAttributes(
      const std::vector<std::shared_ptr<APMUserAttribute>>& userAttributes);
  std::shared_ptr<APMPBAdCampaignInfo> adCampaignInfoFromEvent(const std::shared_ptr<APMEvent>& event);
  void logFirstOpenConsentedEvent(double timestamp);

  // =====================================================================
  // Upload scheduling and upload
  // =====================================================================

  void updateSchedule();
  double nextUploadingTime();
  void uploadDataOrRegisterAlarm();
  void uploadData();
  bool isNetworkReadyForRequest();
  std::vector<APMQueuedBundle> filteredBundlesWithCompatibleAppID(const std::string& appID,
                                                                  const std::optional<std::string>& resettableDeviceID,
                                                                  const std::optional<std::string>& vendorDeviceID,
                                                                  const std::vector<APMQueuedBundle>& bundlesToUpload);
  void networkUploadCompletionHandlerWithResponse(const std::optional<os::HTTPURLResponse>& response,
                                                  const std::optional<os::Error>& error);
  void incrementRetryCounter();
  void setUploadInProgressWithBundleIDs(std::vector<int64_t> bundleIDs);
  bool shouldUseBackgroundSession();
  void reachabilityDidChange() override;

  // =====================================================================
  // Bundling
  // =====================================================================

  bool bundleRawEvents();
  std::optional<std::vector<std::shared_ptr<APMRawEventData>>> rawEventsWithMetadataFingerprint(int64_t fingerprint);
  std::optional<std::vector<std::shared_ptr<APMEvent>>> processRawEvents(
      const std::vector<std::shared_ptr<APMRawEventData>>& rawEvents, int64_t metadataFingerprint);
  std::shared_ptr<APMRawEventData> internalEventFromPublicEvent(const std::shared_ptr<APMRawEventData>& rawEvent);
  bool checkConversion(const std::shared_ptr<APMRawEventData>& rawEvent, APMDailyCounts& dailyCounts);
  bool checkRealtime(const std::shared_ptr<APMRawEventData>& rawEvent, APMDailyCounts& dailyCounts);
  std::shared_ptr<APMRawEventData> validatePurchaseEvent(const std::shared_ptr<APMRawEventData>& rawEvent);
  void evaluationTimeFromRawEvents(const std::vector<std::shared_ptr<APMRawEventData>>& rawEvents,
                                   const std::shared_ptr<APMPBMeasurementBundle>& bundle);
  void handleAnalyticsStorageConsentTransitions(const std::shared_ptr<APMPBMeasurementBundle>& bundle);
  std::optional<std::vector<std::shared_ptr<APMEvent>>> eventsAfterUpdatingEventAggregates(
      const std::vector<std::shared_ptr<APMEvent>>& events, APMAudienceTimestampsCache& audienceTimestampsCache,
      bool allowEventFilterEvaluation);
  bool updateAppMetadataForBundle(const std::shared_ptr<APMPBMeasurementBundle>& bundle, double bundleStartTimestamp,
                                  double bundleEndTimestamp);
  bool updateUserEngagement(int64_t engagementMillis, const std::shared_ptr<APMPBMeasurementBundle>& bundle,
                            bool sessionScoped);
  void addBundleMetadataIntoBundle(const std::shared_ptr<APMPBMeasurementBundle>& bundle, double bundleStartTimestamp,
                                   double bundleEndTimestamp);

  // =====================================================================
  // User properties, ad personalisation and session ID
  // =====================================================================

  void setUserAttribute(std::shared_ptr<APMUserAttribute> attribute);
  void setUserAttributeOnWorkerQueue(std::shared_ptr<APMUserAttribute> attribute);
  bool setUserPropertyInDatabaseOnWorkerQueue(const std::shared_ptr<APMUserAttribute>& attribute);
  void removeUserAttribute(std::shared_ptr<APMUserAttribute> attribute);
  void removeUserAttributeOnWorkerQueue(const std::shared_ptr<APMUserAttribute>& attribute);
  void userAttributeWithName(const std::string& name,
                             std::function<void(std::shared_ptr<APMUserAttribute>)> callback);
  void userPropertiesIncludingInternal(bool includeInternal, std::function<void(os::Dictionary)> callback);
  void maxUserPropertiesForOrigin(const std::string& origin, std::function<void(int)> callback);
  bool hasUserPropertyUserIDOnWorkerQueue();
  void setLastAdvertisingIDResetUserPropertyOnWorkerQueue();
  // 1 (disable), 0 (allow), or the null value (no decision).
  os::Value shouldDisableAdPersonalization();
  bool shouldAllowAdNetworkRegistration();
  void sessionIDWithCompletion(std::function<void(int64_t sessionID, std::optional<os::Error> error)> completion);

  // =====================================================================
  // Configuration fetch, data reset and queue queries
  // =====================================================================

  void fetchRemoteConfig();
  void networkRemoteConfigFetchCompletionHandler(const std::optional<os::HTTPURLResponse>& response,
                                                 const std::optional<os::Data>& data,
                                                 const std::optional<os::Error>& error);
  // Inside the configuration transaction: the fetched configuration and its
  // audiences replace the current ones; NO rolls the transaction back.
  bool applyFetchedConfiguration(const os::Data& body);
  bool resetAnalyticsDataWithAppInstanceID(const std::optional<std::string>& appInstanceID);
  bool wipeoutAnalyticsDataAndResetComponents();
  bool hasDataToUpload();
  bool removeBundlesFromDatabaseWithIDs(const std::vector<int64_t>& bundleIDs);
  double firstOpenTimestamp();
  void filterPurchaseTransactions(const std::vector<std::shared_ptr<SKPaymentTransaction>>& transactions,
                                  std::function<void(std::vector<std::shared_ptr<SKPaymentTransaction>>)> callback);

  // =====================================================================
  // On-device conversion measurement
  // =====================================================================

  void setUserData(const os::Dictionary& userData);
  void setUserDataOnWorkerQueue(const os::Dictionary& userData);
  os::runtime::Class* PSMClientClass();
  void checkPSMDependencyOnWorkerQueue();
  bool shouldRetrievePSMResponse();
  bool shouldRetrievePSMResponseWithEmailAddress(const std::string& emailAddress);
  bool shouldRetrievePSMResponseWithPhoneNumber(const std::string& phoneNumber);
  bool shouldRetrievePSMResponseWithHashedIdentifier(const std::string& hashedIdentifier);
  std::shared_ptr<os::runtime::Object> PSMClientWithEmailAddress(const std::string& emailAddress);
  std::shared_ptr<os::runtime::Object> PSMClientWithPhoneNumber(const std::string& phoneNumber);
  std::shared_ptr<os::runtime::Object> PSMClientWithHashedEmailAddress(const std::string& hashedEmailAddress);
  std::shared_ptr<os::runtime::Object> PSMClientWithHashedPhoneNumber(const std::string& hashedPhoneNumber);
  void retrievePSMResponse();
  void maybeSchedulePSMRetry();
  void handlePSMValueOnWorkerQueue(const std::string& value);
  void incrementPSMCountOnWorkerQueueWithName(const std::string& propertyName);
  void maybeDeleteExpiredPSMValueOnWorkerQueue();
  void resetPSMCounts();

  // =====================================================================
  // SKAdNetwork conversion values
  // =====================================================================

  std::string SKANVersion();
  bool isInFirstSKANPostbackWindow();
  bool isPastAllSKANPostbackWindows();
  bool isValidFineConversionValue(int value);
  SKAdNetworkCoarseConversionValue convertCoarseConversionValueFromProtoValue(int value);
  int64_t SKANFetchRetryLimit();
  bool shouldFetchSKANConversionValue();
  void scheduleSKANCVFetchAfterDataUpload();
  void fetchSKANCV();
  void maybeFetchSKANCVAfterReachabilityChange();
  void handleSKANFetchResponse(const std::optional<os::HTTPURLResponse>& response, const std::optional<os::Data>& data,
                               const std::optional<os::Error>& error);
  void updateSKANPostbackConversionValueFromResponse(
      const std::shared_ptr<APMPBSkAdNetworkConversionValueResponse>& response);
  void handleSKANUpdatePostbackCompletion(const std::shared_ptr<APMPBSkAdNetworkConversionValueResponse>& response,
                                          const std::optional<os::Error>& error);
  void maybeScheduleSKANCVFetchRetry();
  void stopProcessingSKANResponseAndResetRetryCount();

  // =====================================================================
  // Deep links, deferred deep links and campaign attribution
  // =====================================================================

  static std::optional<os::URL> deepLinkFromUserActivity(const std::shared_ptr<NSUserActivity>& userActivity);
  static void handleStoredURLAfterAppLaunchWithNotification(const os::Notification& notification);
  void handleNonFirstOpenEventURL(const os::URL& url, double eventTimestampInSeconds);
  void handleOpenURL(const os::URL& url, std::optional<int64_t> clickTimestampInMs, double eventTimestampInSeconds);
  void handleDeepLink(const os::URL& url, std::optional<int64_t> clickTimestampInMs, double eventTimestampInSeconds);
  // The link may be missing (text that makes no URL).
  void handleOpenURLOnWorkerQueue(const std::optional<os::URL>& url, std::optional<int64_t> clickTimestampInMs,
                                  double eventTimestampInSeconds, std::optional<os::Dictionary> extraParameters);
  void handleDebugModeWithURL(const os::URL& url);
  bool isValidCampaignURLParamDictionary(const os::Dictionary& parameters);
  bool shouldAllowClickID();
  bool shouldAllowRequestDeferredDeepLink();
  void requestDeferredDeepLink();
  std::optional<os::Dictionary> deepLinkInfoFromResponseData(const os::Data& data);
  void handleDeferredDeepLinkInfo(const os::Dictionary& deepLinkInfo);
  bool sendDeepLinkURLToAppDelegateOnMainThread(const os::URL& url, std::optional<os::Dictionary> extraInfo);

  // =====================================================================
  // For tests
  // =====================================================================

  // Back to a process without an engine: the once flag cleared, the engine
  // dropped (its worker queue drained first) and uninstalled from the store.
  static void TEST_reset();

 private:
  APMMeasurement(const std::string& databaseName, std::shared_ptr<APMPersistedConfig> persistedConfig,
                 std::shared_ptr<DAZNetwork> network, std::shared_ptr<APMScheduler> scheduler,
                 std::shared_ptr<APMAlarm> alarm, const std::string& appID, bool isAnalyticsCollectionEnabled,
                 bool isAnalyticsCollectionDeactivated, std::optional<std::vector<std::string>> safelistedEvents,
                 std::shared_ptr<APMEManager> experimentManager);
  // The component start; under initializeComponentsLock_.
  bool initializeComponentsOnWorkerQueue();
  // The engine's remote configuration, else the default instance.
  std::shared_ptr<APMRemoteConfig> remoteConfigOrDefault() const;
  // Schedules fn on the worker queue with the engine held weakly.
  void scheduleWeakly(std::string blockID, std::function<void(APMMeasurement&)> fn);
  // The scheduler's worker queue (null without a scheduler).
  std::shared_ptr<os::DispatchQueue> workerQueue() const { return scheduler_ ? scheduler_->workerQueue() : nullptr; }

  const std::string databaseName_;
  std::atomic<bool> didInitializeComponents_{false};
  std::mutex initializeComponentsLock_;
  const std::shared_ptr<APMAlarm> alarm_;
  mutable std::mutex componentsMutex_;
  std::shared_ptr<APMDatabase> database_;  // guarded by componentsMutex_
  std::shared_ptr<APMIdentity> identity_;  // guarded by componentsMutex_
  const std::shared_ptr<DAZNetwork> network_;
  const std::shared_ptr<APMPersistedConfig> persistedConfig_;
  std::shared_ptr<APMRemoteConfig> remoteConfig_;  // guarded by componentsMutex_
  const std::shared_ptr<APMScheduler> scheduler_;
  // Set on the worker queue under componentsMutex_; read there without it,
  // elsewhere (sessionReporter()) with it.
  std::shared_ptr<APMSessionReporter> sessionReporter_;
  const std::shared_ptr<APMEManager> experimentManager_;
  // Worker-queue-only state: each access checks the queue (see
  // os/dispatch/queue_confined.h).
  template <class T>
  using OnWorker = os::QueueConfined<T>;
  OnWorker<std::shared_ptr<APMAudience>> audience_{workerQueue(), "audience_"};
  OnWorker<std::shared_ptr<APMSearchAdReporter>> searchAdReporter_{workerQueue(), "searchAdReporter_"};
  OnWorker<std::shared_ptr<APMTCFClient>> tcfClient_{workerQueue(), "tcfClient_"};
  OnWorker<std::shared_ptr<os::runtime::Object>> privateSetMembershipClient_{workerQueue(),
                                                                             "privateSetMembershipClient_"};
  OnWorker<bool> isPSMRequestInProgress_{workerQueue(), "isPSMRequestInProgress_", false};
  OnWorker<bool> isPSMRequestPostponed_{workerQueue(), "isPSMRequestPostponed_", false};
  OnWorker<int32_t> PSMStartCount_{workerQueue(), "PSMStartCount_", 0};
  OnWorker<int32_t> PSMRetryCount_{workerQueue(), "PSMRetryCount_", 0};
  OnWorker<std::shared_ptr<APMAlarm>> PSMRetryAlarm_{workerQueue(), "PSMRetryAlarm_"};
  OnWorker<bool> isSKANRequestInProgress_{workerQueue(), "isSKANRequestInProgress_", false};
  OnWorker<bool> fetchSKANWhenNetworkConnected_{workerQueue(), "fetchSKANWhenNetworkConnected_", false};
  OnWorker<int64_t> lastEventEndTimestampMsec_{workerQueue(), "lastEventEndTimestampMsec_", 0};
  OnWorker<int32_t> SKANRetryCount_{workerQueue(), "SKANRetryCount_", 0};
  OnWorker<std::shared_ptr<APMAlarm>> SKANRetryAlarm_{workerQueue(), "SKANRetryAlarm_"};
  OnWorker<std::shared_ptr<APMAlarm>> SKANDelayAlarm_{workerQueue(), "SKANDelayAlarm_"};
  OnWorker<std::vector<int64_t>> uploadingBundleIDs_{workerQueue(), "uploadingBundleIDs_"};
  OnWorker<std::optional<std::string>> previousZEVAppID_{workerQueue(), "previousZEVAppID_"};
  std::atomic<UIBackgroundTaskIdentifier> backgroundUpdateTask_{UIBackgroundTaskInvalid};
  // Set at creation, again by a data reset.
  OnWorker<double> initTimestamp_;
  OnWorker<double> suspendedUploadTimestamp_{workerQueue(), "suspendedUploadTimestamp_", 0};
  const std::string appID_;
  const std::optional<std::vector<std::string>> safelistedEvents_;
  // Also set by the facade's queue (the personalised-ads property).
  std::atomic<bool> foundAdPersonalizationPlistFlag_{false};
  OnWorker<bool> shouldUpdateNPAUserProperty_{workerQueue(), "shouldUpdateNPAUserProperty_", false};
  OnWorker<bool> shouldRequestDeferredDeepLinkAfterConfigFetch_{
      workerQueue(), "shouldRequestDeferredDeepLinkAfterConfigFetch_", false};
  std::atomic<bool> enabled_{false};
  bool wasEnabledDuringInitialization_ = false;  // set by the initialiser, before the engine is shared
  const bool isAnalyticsCollectionEnabled_;
  const bool isAnalyticsCollectionDeactivated_;
  OnWorker<bool> isNetworkRequestPending_{workerQueue(), "isNetworkRequestPending_", false};
  // Bundling: the row ID of a head raw event that did not decode, found by
  // the last selection.
  OnWorker<std::optional<int64_t>> undecodableHeadRowID_{workerQueue(), "undecodableHeadRowID_"};
  std::weak_ptr<APMMeasurementDelegate> measurementDelegate_;  // unguarded; nothing sets it
};
