// APMAnalytics: the facade between the public analytics interface (and the
// interop connector) and the measurement engine APMMeasurement. Almost all of
// it is class methods over process-wide state; the one shared instance serves
// the store (APMAnalyticsServices), the payment queue's transaction observers
// and the instance methods of the interop.
//
// Design note: the gate before start.
//   1. First use ("initialize") makes the operation queue
//      "APMAnalyticsOperationQueue" (one operation at a time) suspended, and
//      opens the suite "APMAnalyticsSuiteName". Every engine call goes
//      through that queue; each operation only re-dispatches its block onto
//      the serial queue "APMAnalyticsQueue" (background priority), so the
//      operation queue never runs engine work itself.
//   2. startWithAppID refuses an older interface class "RURIDatabase"
//      (25029), an origin other than "fa" beside the public interface
//      (25026), and a start without that interface while the options file
//      exists (25027): the queue then stays suspended for the life of the
//      process. Otherwise, once per process, it dispatches the engine's
//      creation onto the serial queue and only then resumes the operation
//      queue, so every call held before start runs after the engine exists.
//      A second start only re-checks the log tag.
//   3. A few calls dispatch straight onto the serial queue (the collection
//      switch, the session timeout and ID, links): before start they find no
//      engine.
//   4. Public events take their timestamp in the same serial section (a
//      lock) that queues them, so timestamps follow queue order whatever
//      thread logs.
//
// Refusals are monitor lines (25000-25055) and, for invalid public names,
// "_err" events; nothing throws. The user-property, consent, reset and
// user-data operations and the suite's keys are in
// analytics_user_properties.cpp.
//
// Threads: any thread may call in. The flags, interceptor, listener registry
// and open-URL listener are written on the serial queue (the flags also on
// the start thread before the queue runs); their own lock makes reads from
// elsewhere safe. The load timestamp has its own lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "measurement/engine/core/measurement.h"
#include "measurement/engine/sessions/screen_view_reporter.h"
#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/user_defaults.h"
#include "os/dispatch/notification.h"
#include "os/dispatch/operation.h"
#include "os/dispatch/queue.h"
#include "os/foundation/url.h"
#include "os/foundation/value.h"
#include "os/storekit/payment_queue.h"
#include "os/uikit/app_host.h"
#include "platform/utilities/network.h"

class REZAnalyticsConfiguration;

// ---- Queues and suite ----
inline constexpr const char* kAPMAnalyticsOperationQueueName = "APMAnalyticsOperationQueue";
inline constexpr const char* kAPMAnalyticsQueueLabel = "APMAnalyticsQueue";
inline constexpr const char* kAPMAnalyticsSuiteName = "APMAnalyticsSuiteName";
// Seconds the operation queue pauses after queueOperationWithBlockThenWait.
inline constexpr double kAPMOperationQueuePauseSeconds = 0.5;

// ---- Start options ----
inline constexpr const char* kAPMStartOptionCollectionEnabled = "VIVUZUVU_ANALYTICS_COLLECTION_ENABLED";
inline constexpr const char* kAPMStartOptionCollectionDeactivated = "VIVUZUVU_ANALYTICS_COLLECTION_DEACTIVATED";
inline constexpr const char* kAPMStartOptionConfiguration = "VIVUZUVU_ANALYTICS_CONFIGURATION";
inline constexpr const char* kAPMStartOptionLogTag = "app_measurement_log_tag";
inline constexpr const char* kAPMStartOptionSafelistedEvents = "safelisted_events";

// ---- Origins, names, classes, notifications ----
inline constexpr const char* kAPMOriginVivuzuvu = "fa";
inline constexpr const char* kAPMAdEventIDParameter = "_aeid";
inline constexpr const char* kAPMAllowPersonalizedAdsUserProperty = "allow_personalized_ads";
// Logged when consent changes whether ad user data is denied.
inline constexpr const char* kAPMDMAConsentUpdateEventName = "_dcu";
inline constexpr const char* kAPMMobileAdsClassName = "RZRMobileAds";
inline constexpr const char* kAPMTagManagerClassName = "DTMManager";
inline constexpr const char* kAPMTagManagerInitializeSelector = "initializeSharedInstance";
inline constexpr const char* kREZAnalyticsWillStartNotification = "kREZAnalyticsWillStartNotification";
inline constexpr const char* kAPMSessionIDUninitializedDescription = "Analytics uninitialized";
inline constexpr const char* kAPMSessionIDDisabledDescription = "Session ID API disabled";
inline constexpr int64_t kAPMSessionIDErrorCode = 13;
inline constexpr const char* kAPMDocumentationURL = "https://docs.devuvo.invalid/analytics/get-started";
inline constexpr const char* kAPMRoZarLinkHelpURL = "https://support.devuvo.invalid/rozar/link-analytics";

// ---- Suite keys ----
inline constexpr const char* kAPMResetRetryCountKey = "reset_retry_count";
inline constexpr const char* kAPMNeedFirstOpenAfterResetKey = "need_first_open_after_reset";
inline constexpr const char* kAPMAppInstanceIDAfterResetKey = "app_instance_id_after_reset";
inline constexpr const char* kAPMDeferredAnalyticsCollectionKey = "deferred_analytics_collection";
inline constexpr const char* kAPMConsentSettings1PKey = "consent_settings";
inline constexpr const char* kAPMConsentSettings3PKey = "consent_settings_3p";
inline constexpr const char* kAPMConsentSettingsTCFKey = "consent_settings_tcf";
inline constexpr const char* kAPMConsentSourceKey = "consent_source";
inline constexpr const char* kAPMConsentSettingsOnStartKey = "consent_settings_on_start";
inline constexpr const char* kAPMDeferredConsentResetKey = "deferred_consent_reset";

// ---- Monitor codes ----
inline constexpr int64_t kAPMAnalyticsCodeSetEnabledNotNumber = 25000;       // 4
inline constexpr int64_t kAPMAnalyticsCodeUserPropertyNotString = 25003;     // 0
inline constexpr int64_t kAPMAnalyticsCodeUserIDNotString = 25004;           // 0
inline constexpr int64_t kAPMAnalyticsCodeInvalidUserPropertyOrigin = 25005; // 2
inline constexpr int64_t kAPMAnalyticsCodeNilUserPropertiesCallback = 25006; // 2
inline constexpr int64_t kAPMAnalyticsCodeNilUserPropertiesQueue = 25007;    // 2
inline constexpr int64_t kAPMAnalyticsCodeUserPropertiesWhileDisabled = 25008;  // 5
inline constexpr int64_t kAPMAnalyticsCodeEmptyMaxUserPropertiesOrigin = 25009; // 2
inline constexpr int64_t kAPMAnalyticsCodeNilMaxUserPropertiesQueue = 25010;    // 2
inline constexpr int64_t kAPMAnalyticsCodeNilMaxUserPropertiesCallback = 25011; // 2
inline constexpr int64_t kAPMAnalyticsCodeAddNilListener = 25012;            // 2
inline constexpr int64_t kAPMAnalyticsCodeRemoveNilListener = 25013;         // 2
inline constexpr int64_t kAPMAnalyticsCodeRemoveWithoutListeners = 25014;    // 2
inline constexpr int64_t kAPMAnalyticsCodeRemoveInvalidToken = 25015;        // 2
inline constexpr int64_t kAPMAnalyticsCodeTagManagerNoInitializer = 25016;   // 2
inline constexpr int64_t kAPMAnalyticsCodeAppIDChanged = 25020;              // 1
inline constexpr int64_t kAPMAnalyticsCodeAdEventIDNotNumber = 25024;        // 2
inline constexpr int64_t kAPMAnalyticsCodeScreenNameOffMainThread = 25025;   // 3
inline constexpr int64_t kAPMAnalyticsCodeDeferringToVivuzuvu = 25026;       // 3
inline constexpr int64_t kAPMAnalyticsCodeDeferringToInterface = 25027;     // 0
inline constexpr int64_t kAPMAnalyticsCodeRoZarNotLinked = 25028;            // 3
inline constexpr int64_t kAPMAnalyticsCodeOlderVersion = 25029;              // 1
inline constexpr int64_t kAPMAnalyticsCodeInvalidLogTag = 25030;             // 2
inline constexpr int64_t kAPMAnalyticsCodeRoZarAppIDChanged = 25031;         // 3
inline constexpr int64_t kAPMAnalyticsCodePersonalizedAdsWhileDisabled = 25033;  // 7
inline constexpr int64_t kAPMAnalyticsCodeProxyDisabled = 25036;             // 6
inline constexpr int64_t kAPMAnalyticsCodeResetFailed = 25037;               // 1
inline constexpr int64_t kAPMAnalyticsCodeNoNewAppInstanceID = 25039;        // 1
inline constexpr int64_t kAPMAnalyticsCodeEmptyConsent = 25041;              // 3
inline constexpr int64_t kAPMAnalyticsCodeInvalidConsentValue = 25042;       // 3
inline constexpr int64_t kAPMAnalyticsCodeLowerPriorityConsent = 25043;      // 3
inline constexpr int64_t kAPMAnalyticsCodeUserDataWhileDisabled = 25044;     // 4
inline constexpr int64_t kAPMAnalyticsCodeNilSessionIDCompletion = 25050;    // 1
inline constexpr int64_t kAPMAnalyticsCodeConsentDescription = 25055;        // 8

// The SDK core's options handed to start: plain values under the option keys
// above (and consent keys), and the core's configuration object, which a
// dictionary of plain values cannot hold.
struct APMStartOptions {
  os::Dictionary values;
  std::shared_ptr<REZAnalyticsConfiguration> configuration;
};

// A log-event listener and its token (the address of the facade's copy; null
// is no token).
using APMLogEventListener = std::function<void(const std::shared_ptr<APMEvent>& event)>;
using APMLogEventListenerToken = const void*;
using APMOpenURLListener = std::function<void(const os::URL& url)>;
using APMSessionIDCompletion = std::function<void(int64_t sessionID, std::optional<os::Error> error)>;

class APMAnalytics : public APMAnalyticsServices,
                     public SKPaymentTransactionObserver,
                     public std::enable_shared_from_this<APMAnalytics> {
 public:
  // The one instance, made on first use of the facade and installed then as
  // the store's analytics services.
  // The default payment queue holds it weakly as a transaction observer.
  static std::shared_ptr<APMAnalytics> sharedInstance();

  // ---- Load time ----
  // Seconds since 1970 when the class was loaded (or last reset).
  static double loadTimestamp();
  static void setLoadTimestamp(double loadTimestamp);

  // ---- Queue primitives ----
  static std::shared_ptr<os::DispatchQueue> queue();
  // The current queue's label is "APMAnalyticsQueue".
  static bool isCurrentQueueSerialQueue();
  static void dispatchAsyncOnSerialQueue(os::DispatchBlock block);
  // An operation that dispatches the block onto the serial queue.
  static void queueOperationWithBlock(os::DispatchBlock block);
  // The same; then, when the operation queue runs, waits until every held
  // block was handed to the serial queue, suspends the operation queue and
  // resumes it 0.5 s later (on the serial queue).
  static void queueOperationWithBlockThenWait(os::DispatchBlock block);
  static void unsuspendOperationQueue();

  // ---- Start ----
  static void startWithAppID(const std::string& appID, const std::string& origin, const APMStartOptions& options);

  // ---- Events ----
  static void logEventWithName(const std::string& name, const os::Dictionary& parameters);
  // A public event: the name is validated ("_err" 13 for a reserved name, 2
  // otherwise, limit 40).
  static void logEventWithOrigin(const std::string& origin, const std::string& name, const os::Dictionary& parameters);
  // +logInternalEventWithOrigin:name:parameters: (an internal event, not
  // validated).
  static void logInternalEventWithOriginNameParameters(const std::string& origin, const std::string& name,
                                                       const os::Dictionary& parameters);
  static void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                 const os::Dictionary& parameters);
  // +logInternalEventWithOrigin:name:timestamp:parameters: (an internal
  // event at its own time).
  static void logInternalEventWithOriginNameTimestampParameters(const std::string& origin, const std::string& name,
                                                                double timestamp, const os::Dictionary& parameters);
  static void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                 const os::Dictionary& parameters, double timestamp, bool ignoreEnabled,
                                 bool ignoreInterceptor);
  // On the serial queue: hands the event to the engine (dropped without one).
  static void logEventOnSerialQueueWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                              const os::Dictionary& parameters, double timestamp, bool ignoreEnabled,
                                              bool ignoreInterceptor, const os::Dictionary& addedScreenParameters);
  // -logInternalEventWithOrigin:name:parameters: (the interop's and the
  // store's entry): for origin "am" a numeric "_aeid" string becomes its
  // 64-bit value (25024 when not numeric); then the class method.
  void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                  const os::Dictionary& parameters) override;
  // The store's timed entry: the class method.
  void logInternalEventWithOrigin(const std::string& origin, const std::string& name, double timestamp,
                                  const os::Dictionary& parameters) override;
  static void logTransactionWithProductID(const std::string& productID, const std::string& transactionID,
                                          const std::string& originalTransactionID,
                                          const os::Value& webOrderLineItemID, int64_t productType, bool isFreeTrial,
                                          bool isIntroductoryOffer, int64_t paymentQuantity,
                                          const std::optional<os::Date>& purchaseDate,
                                          const std::optional<os::Date>& originalPurchaseDate,
                                          const std::optional<os::Date>& subscriptionExpirationDate,
                                          const std::optional<os::Date>& cancellationDate);
  static void setDefaultEventParameters(std::optional<os::Dictionary> parameters);
  // Main thread only (else 25025).
  static void setScreenName(const std::optional<std::string>& screenName,
                            const std::optional<std::string>& screenClass);

  // ---- Collection and session ----
  static void setAnalyticsEnabled(bool enabled);
  static void setAnalyticsEnabled(bool enabled, bool persistSetting);
  static void setSessionTimeoutInterval(double timeoutInterval);
  // The completion runs on the global default-priority queue.
  static void sessionIDWithCompletion(APMSessionIDCompletion completion);
  // The facade's view of collection, and the "deactivated" start option.
  static bool isEnabled();
  static bool isDeactivated();

  // ---- Listeners and interception ----
  static void setLogEventInterceptor(APMEventInterceptor interceptor);
  // Null (25012) for an empty listener.
  static APMLogEventListenerToken addLogEventListener(APMLogEventListener listener);
  static void removeLogEventListener(APMLogEventListenerToken token);
  static void notifyEventListeners(const std::shared_ptr<APMEvent>& event);
  static void notifyEventListenersOnSerialQueue(const std::shared_ptr<APMEvent>& event);
  static void setOpenURLListener(APMOpenURLListener listener);

  // ---- Links and background sessions ----
  static void handleOpenURL(const os::URL& url);
  static void handleUserActivity(const std::shared_ptr<NSUserActivity>& userActivity);
  static void handleEventsForBackgroundURLSession(const std::string& identifier,
                                                  DAZNetworkSystemCompletionHandler completionHandler);
  static void createAppDelegateProxy();

  // ---- Configuration notifications ----
  static void observeNotificationsForAnalyticsConfiguration(
      const std::shared_ptr<REZAnalyticsConfiguration>& configuration);
  static void handleSetEnabled(const os::Notification& notification);

  // ---- Purchases ----
  static void paymentQueueUpdatedTransactions(const std::shared_ptr<SKPaymentQueue>& queue,
                                              const std::vector<std::shared_ptr<SKPaymentTransaction>>& transactions);
  // -paymentQueue:updatedTransactions: of the shared instance.
  void paymentQueue(const std::shared_ptr<SKPaymentQueue>& queue,
                    const std::vector<std::shared_ptr<SKPaymentTransaction>>& updatedTransactions) override;

  // ---- Tag manager ----
  static void maybeEnableTagManager();

  // ---- User properties, user ID ----
  // "allow_personalized_ads" (not validated) stores the choice and updates
  // "_npa"; the null value removes the property; else a valid public name
  // (error event 15 reserved, 6 invalid), a string (25003) of valid length
  // (error event 7), set with origin "app".
  static void setUserPropertyString(const os::Value& value, const std::string& name);
  // The null value removes "_id" and "_lair"; a string is set as "_id" of
  // origin "app"; anything else logs 25004.
  static void setUserID(const os::Value& userID);
  // A number under a valid public name, set with origin "auto".
  static void setUserAttributeNumber(const os::Value& value, const std::string& name);
  // Only for a valid public name.
  static void removeUserAttributeForName(const std::string& name);
  static void removeInternalUserAttributeForName(const std::string& name);
  // A valid internal name (else error event 6) and an origin of 1 to 32
  // code points (else 25005); the null value removes the property, a value
  // that makes no user attribute is ignored, one too long gives error event
  // 7. The engine sets it through the operation queue.
  void setInternalUserProperty(const os::Value& value, const std::string& name,
                               const std::string& origin) override;
  // Queued; the answer (empty while disabled) is delivered on `queue`.
  static void userPropertiesIncludingInternal(bool includeInternal, std::shared_ptr<os::DispatchQueue> queue,
                                              std::function<void(os::Dictionary)> callback);
  // Checked on the calling thread (25009, 25010, 25011), then queued; the
  // engine's answer is delivered on `queue`.
  void maxUserPropertiesForOrigin(const std::string& origin, std::shared_ptr<os::DispatchQueue> queue,
                                  std::function<void(int)> callback);

  // ---- Identity, reset, user data ----
  // None while analytics storage is denied; else the ID chosen by the last
  // reset, else the identity's.
  static std::optional<std::string> appInstanceID();
  // Raises "reset_retry_count", marks a first open due and draws a new app
  // instance ID (kept unless analytics storage is denied), then queues the
  // engine's reset; the keys stay when it fails, for the next start.
  static void resetAnalyticsData();
  // Blocks while the operation queue drains.
  static void setUserData(const os::Dictionary& userData);
  static void setUserDataOnSerialQueue(const os::Dictionary& userData);

  // ---- Consent ----
  static void setConsent(const os::Dictionary& consent);
  // +setConsent:forKey: only "granted" and "denied" values (25042), not
  // empty (25041), of a source (5 "consent_settings_tcf", 10
  // "consent_settings_3p", else 30) not below the current one (25043);
  // merged, persisted, and "_dcu" logged when ad-user-data consent changed.
  static void setConsentForKey(const os::Dictionary& consent, const std::string& key);
  // -setConsent:forKey: (the store's entry): the class method.
  void setConsent(const os::Dictionary& consent, const std::string& key) override;
  static void loadPersistedConsentSettings();
  static void persistConsentSettings(const os::Dictionary& settings, int64_t source);
  static int64_t persistedConsentSource();
  static std::optional<os::Dictionary> consentSettingsTCF();
  static std::optional<os::Dictionary> consentSettings3P();
  static std::optional<os::Dictionary> consentSettings1P();
  static std::optional<os::Dictionary> consentSettings1PStart();
  static os::Value deferredResetOnDeniedConsent();
  static void removeDeferredResetOnDeniedConsent();
  static void removeStartUpConsentSettings();
  static void clearConsent();

  // ---- Reset bookkeeping ----
  static int64_t resetRetryCount();
  static void setResetRetryCount(int64_t count);
  static bool needFirstOpenAfterReset();
  static void setNeedFirstOpenAfterReset(bool needFirstOpen);
  static void removeNeedFirstOpenAfterReset();
  static std::optional<std::string> appInstanceIDAfterReset();
  static void setAppInstanceIDAfterReset(std::optional<std::string> appInstanceID);
  // The null value when unset.
  static os::Value deferredAnalyticsCollection();
  static void setDeferredAnalyticsCollection(const os::Value& value);

  // The facade's suite.
  static std::shared_ptr<APMUserDefaults> suite();

  // ---- For tests ----
  static std::shared_ptr<os::OperationQueue> TEST_operationQueue();
  // Back to a process that has not started: a new suspended operation queue
  // (held operations of the old one are dropped), the once-tokens cleared,
  // flags, interceptor and listeners cleared, the load time now; the engine
  // is reset too.
  static void TEST_reset();

 private:
  APMAnalytics() = default;
  friend std::shared_ptr<APMAnalytics> makeAnalyticsInstance();
};
