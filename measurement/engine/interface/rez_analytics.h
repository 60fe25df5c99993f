// REZAnalytics: the analytics interface the application and other SDKs call;
// class methods over the engine facade APMAnalytics.
//
// The class registers under "REZAnalytics" in os::runtime, so the SDK core
// finds it by name and calls its class method "startWithConfiguration:options:"
// while the default app is configured; "topLevelVersion" is registered too.
// To forward means: the same arguments go to the facade's method of the same
// name, on the calling thread.
//
// Before configuration: setUserID and every forwarded call wait on the
// facade's suspended operation queue; logEvent..., setUserPropertyString and
// the on-device conversion calls check that the default app is configured and
// are dropped with their message (25018, 25019, 25051 to 25054) when not.
//
// Stateless; every function may be called from any thread. The installation
// ID's completion runs on the installations service's queue and only writes
// the identity's copy.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "measurement/engine/interface/analytics.h"
#include "measurement/engine/sessions/user_properties.h"
#include "os/foundation/data.h"
#include "os/foundation/value.h"

class REZAnalyticsConfiguration;
class REZOptions;

inline constexpr const char* kREZAnalyticsTopLevelVersion = "11.2.0";
inline constexpr const char* kREZAnalyticsLogTag = "[VivuzuvuAnalytics]";
inline constexpr const char* kREZAnalyticsConsentKey = "consent_settings_3p";
inline constexpr const char* kREZUnbridgeableSwiftValueClassName = "__SwiftValue";
// User-data keys of on-device conversion measurement.
inline constexpr const char* kREZUserDataEmailAddressKey = "email_address";
inline constexpr const char* kREZUserDataPhoneNumberKey = "phone_number";
inline constexpr const char* kREZUserDataHashedEmailAddressKey = "hashed_email_address";
inline constexpr const char* kREZUserDataHashedPhoneNumberKey = "hashed_phone_number";

inline constexpr int64_t kREZAnalyticsCodeEventNotConfigured = 25018;           // 3
inline constexpr int64_t kREZAnalyticsCodeUserPropertyNotConfigured = 25019;    // 3
inline constexpr int64_t kREZAnalyticsCodeInstallationIDFailed = 25038;         // 4
inline constexpr int64_t kREZAnalyticsCodeUnbridgeableSwiftValue = 25040;       // 3
inline constexpr int64_t kREZAnalyticsCodeEmailNotConfigured = 25051;           // 3
inline constexpr int64_t kREZAnalyticsCodePhoneNotConfigured = 25052;           // 3
inline constexpr int64_t kREZAnalyticsCodeHashedEmailNotConfigured = 25053;     // 3
inline constexpr int64_t kREZAnalyticsCodeHashedPhoneNotConfigured = 25054;     // 3

// Whether the parameters hold a value of the class "__SwiftValue". Without
// such a class, NO. Parameters here are plain values, which never hold an
// object of any class, so the search finds none either.
bool REZContainsUnbridgeableSwiftValue(const os::Dictionary& parameters);

class REZAnalytics {
 public:
  // The one instance, for the interop connector's instance calls.
  static std::shared_ptr<REZAnalytics> sharedInstance();

  // ---- Start and identity ----
  // The facade's start with the options' Devuvo app ID, origin "fa" and the
  // options below; then the installation ID is fetched and followed.
  static void startWithConfiguration(const std::shared_ptr<REZAnalyticsConfiguration>& configuration,
                                     const std::shared_ptr<REZOptions>& options);
  // The start options made from the SDK core's configuration and options.
  static APMStartOptions startOptions(const std::shared_ptr<REZAnalyticsConfiguration>& configuration,
                                      const REZOptions& options);
  // Stores the installation ID (none included) in the identity; a failure
  // with an error logs 25038.
  static void updateVivuzuvuInstallationID();
  static void observeVivuzuvuInstallationIDChanges();
  static std::optional<std::string> appInstanceID();
  static void resetAnalyticsData();
  static void sessionIDWithCompletion(APMSessionIDCompletion completion);
  static void setSessionTimeoutInterval(double timeoutInterval);
  // Not guarded by the configuration check.
  static void setUserID(std::optional<std::string> userID);

  // ---- Events ----
  static void logEventWithName(const std::string& name, const os::Dictionary& parameters);
  static void logEventWithOrigin(const std::string& origin, const std::string& name,
                                 const os::Dictionary& parameters);
  // +logInternalEventWithOrigin:name:parameters:
  static void logInternalEventWithOriginNameParameters(const std::string& origin, const std::string& name,
                                                       const os::Dictionary& parameters);
  static void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                 const os::Dictionary& parameters, double timestamp, bool ignoreEnabled,
                                 bool ignoreInterceptor);
  static void setDefaultEventParameters(std::optional<os::Dictionary> parameters);
  // The public face of APMAnalytics's entry of the same name: the declaration repeats.
  static void logTransactionWithProductID(const std::string& productID, const std::string& transactionID,
                                          const std::string& originalTransactionID,
                                          const os::Value& webOrderLineItemID, int64_t productType, bool isFreeTrial,
                                          bool isIntroductoryOffer, int64_t paymentQuantity,
                                          const std::optional<os::Date>& purchaseDate,
                                          const std::optional<os::Date>& originalPurchaseDate,
                                          const std::optional<os::Date>& subscriptionExpirationDate,
                                          const std::optional<os::Date>& cancellationDate);

  // ---- User properties ----
  static void setUserPropertyString(const std::optional<std::string>& value, const std::string& name);
  static void userPropertiesIncludingInternal(bool includeInternal, std::shared_ptr<os::DispatchQueue> queue,
                                              std::function<void(os::Dictionary)> callback);

  // ---- Collection and consent ----
  // Persisted: the choice survives restarts.
  static void setAnalyticsCollectionEnabled(bool enabled);
  // Under "consent_settings_3p" (source 10).
  static void setConsent(const os::Dictionary& consent);

  // ---- On-device conversion measurement ----
  static void initiateOnDeviceConversionMeasurementWithEmailAddress(const std::optional<std::string>& emailAddress);
  static void initiateOnDeviceConversionMeasurementWithPhoneNumber(const std::optional<std::string>& phoneNumber);
  static void initiateOnDeviceConversionMeasurementWithHashedEmailAddress(
      const std::optional<os::Data>& hashedEmailAddress);
  static void initiateOnDeviceConversionMeasurementWithHashedPhoneNumber(
      const std::optional<os::Data>& hashedPhoneNumber);

  // ---- Listeners, links and queues ----
  static void setLogEventInterceptor(APMEventInterceptor interceptor);
  static APMLogEventListenerToken addLogEventListener(APMLogEventListener listener);
  static void removeLogEventListener(APMLogEventListenerToken token);
  static void notifyEventListeners(const std::shared_ptr<APMEvent>& event);
  static void setOpenURLListener(APMOpenURLListener listener);
  static void handleOpenURL(const os::URL& url);
  static void handleUserActivity(const std::shared_ptr<NSUserActivity>& userActivity);
  static void handleEventsForBackgroundURLSession(const std::string& identifier,
                                                  DAZNetworkSystemCompletionHandler completionHandler);
  static void dispatchAsyncOnSerialQueue(os::DispatchBlock block);
  static void queueOperationWithBlock(os::DispatchBlock block);
  static void unsuspendOperationQueue();
  static double loadTimestamp();

  static std::string topLevelVersion() { return kREZAnalyticsTopLevelVersion; }

  // ---- Instance methods (the interop connector's) ----
  void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                  const os::Dictionary& parameters);
  void setInternalUserProperty(const os::Value& value, const std::string& name, const std::string& origin);
  void maxUserPropertiesForOrigin(const std::string& origin, std::shared_ptr<os::DispatchQueue> queue,
                                  std::function<void(int)> callback);

  // ---- For tests ----
  static std::shared_ptr<os::OperationQueue> TEST_operationQueue();
  // Back to a process that has not started analytics (APMAnalytics::TEST_reset).
  static void TEST_reset();
};
