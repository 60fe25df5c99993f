#include "measurement/engine/interface/rez_analytics.h"

#include "measurement/store/engine_services/debug_description.h"
#include "measurement/store/engine_services/shorthands.h"
#include "measurement/store/identity.h"
#include "measurement/store/monitor.h"
#include "os/runtime/runtime.h"
#include "sdk-core/core/rez_app.h"
#include "sdk-core/core/rez_options.h"
#include "sdk-core/installations/rez_installations.h"

namespace {

using apm_shorthands::monitor;

// The key under which the class observes installation ID changes.
const void* installationObserverKey() {
  static const char key = 0;
  return &key;
}

// The configuration guard of the calls that need the default app.
bool isConfigured(int64_t code, const char* message, std::optional<std::string> context = std::nullopt) {
  if (REZApp::isDefaultAppConfigured()) return true;
  if (context) {
    monitor()->logWithLevel(3, code, message, *context);
  } else {
    monitor()->logWithLevel(3, code, message);
  }
  return false;
}

void storeInstallationID(std::optional<std::string> installationID) {
  if (auto identity = APMIdentity::sharedInstance()) identity->setVivuzuvuInstallationID(std::move(installationID));
}

// Found by name by the SDK core, which calls "startWithConfiguration:options:".
const os::runtime::ClassRegistration kREZAnalyticsRegistration{
    kREZAnalyticsClassName, "NSObject", [](os::runtime::Class& c) {
      c.addClassMethod(kREZAnalyticsStartSelector,
                       os::runtime::Imp(std::function<REZAnalyticsStartImp>(
                           [](os::runtime::Class&, std::shared_ptr<REZAnalyticsConfiguration> configuration,
                              std::shared_ptr<REZOptions> options) {
                             REZAnalytics::startWithConfiguration(configuration, options);
                           })));
      c.addClassMethod(kAPMTopLevelVersionSelector,
                       os::runtime::Imp(std::function<std::string(os::runtime::Class&)>(
                           [](os::runtime::Class&) { return REZAnalytics::topLevelVersion(); })));
    }};

}  // namespace

bool REZContainsUnbridgeableSwiftValue(const os::Dictionary&) {
  // Without the class nothing is unbridgeable; with it, plain values still
  // hold no object of it.
  return false;
}

std::shared_ptr<REZAnalytics> REZAnalytics::sharedInstance() {
  static const auto* instance = new std::shared_ptr<REZAnalytics>(std::make_shared<REZAnalytics>());
  return *instance;
}

// ---- Start and identity ----

APMStartOptions REZAnalytics::startOptions(const std::shared_ptr<REZAnalyticsConfiguration>& configuration,
                                           const REZOptions& options) {
  APMStartOptions start;
  start.configuration = configuration;
  start.values = {{kAPMStartOptionCollectionDeactivated, options.isAnalyticsCollectionDeactivated()},
                  {kAPMStartOptionCollectionEnabled, options.isAnalyticsCollectionEnabled()},
                  {kAPMStartOptionLogTag, kREZAnalyticsLogTag}};
  return start;
}

void REZAnalytics::startWithConfiguration(const std::shared_ptr<REZAnalyticsConfiguration>& configuration,
                                          const std::shared_ptr<REZOptions>& options) {
  APMStartOptions start;
  std::string appID;
  if (options) {
    start = startOptions(configuration, *options);
    appID = options->devuvoAppID().value_or("");
  } else {
    start.configuration = configuration;
    start.values = {{kAPMStartOptionLogTag, kREZAnalyticsLogTag}};
  }
  APMAnalytics::startWithAppID(appID, kAPMOriginVivuzuvu, start);
  updateVivuzuvuInstallationID();
  observeVivuzuvuInstallationIDChanges();
}

void REZAnalytics::updateVivuzuvuInstallationID() {
  std::shared_ptr<REZInstallations> installations;
  try {
    installations = REZInstallations::installations();
  } catch (const os::Exception& exception) {
    // Options the installations service refuses: no installation ID.
    monitor()->logWithLevel(4, kREZAnalyticsCodeInstallationIDFailed, "Failed to get Installation ID.", exception);
    storeInstallationID(std::nullopt);
    return;
  }
  if (!installations) {
    storeInstallationID(std::nullopt);
    return;
  }
  installations->installationIDWithCompletion(
      [](std::optional<std::string> identifier, std::optional<os::Error> error) {
        if (!identifier && error) {
          monitor()->logWithLevel(4, kREZAnalyticsCodeInstallationIDFailed, "Failed to get Installation ID.", *error);
        }
        storeInstallationID(std::move(identifier));
      });
}

void REZAnalytics::observeVivuzuvuInstallationIDChanges() {
  auto center = os::NotificationCenter::defaultCenter();
  center->removeObserver(installationObserverKey(), kREZInstallationIDDidChangeNotification, nullptr);
  center->addObserver(installationObserverKey(), [](const os::Notification&) { updateVivuzuvuInstallationID(); },
                      kREZInstallationIDDidChangeNotification, nullptr);
}

std::optional<std::string> REZAnalytics::appInstanceID() { return APMAnalytics::appInstanceID(); }

void REZAnalytics::resetAnalyticsData() { APMAnalytics::resetAnalyticsData(); }

void REZAnalytics::sessionIDWithCompletion(APMSessionIDCompletion completion) {
  APMAnalytics::sessionIDWithCompletion(std::move(completion));
}

void REZAnalytics::setSessionTimeoutInterval(double timeoutInterval) {
  APMAnalytics::setSessionTimeoutInterval(timeoutInterval);
}

void REZAnalytics::setUserID(std::optional<std::string> userID) {
  APMAnalytics::setUserID(userID ? os::Value(*userID) : os::Value());
}

// ---- Events ----

void REZAnalytics::logEventWithName(const std::string& name, const os::Dictionary& parameters) {
  logEventWithOrigin(kAPMAppOrigin, name, parameters);
}

void REZAnalytics::logEventWithOrigin(const std::string& origin, const std::string& name,
                                      const os::Dictionary& parameters) {
  if (!isConfigured(kREZAnalyticsCodeEventNotConfigured, "Event not logged. Call +[REZApp configure]",
                    APMEventNameDebugDescription(name))) {
    return;
  }
  if (REZContainsUnbridgeableSwiftValue(parameters)) {
    monitor()->logWithLevel(3, kREZAnalyticsCodeUnbridgeableSwiftValue,
                            "Unbridgeable Swift type logged in parameters. Break on "
                            "__VIZUREROVUVA_UNBRIDGEABLE_SWIFT_VALUE_ERROR__ to debug.");
  }
  APMAnalytics::logEventWithOrigin(origin, name, parameters);
}

void REZAnalytics::logInternalEventWithOriginNameParameters(const std::string& origin, const std::string& name,
                                                            const os::Dictionary& parameters) {
  APMAnalytics::logInternalEventWithOriginNameParameters(origin, name, parameters);
}

void REZAnalytics::logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                      const os::Dictionary& parameters, double timestamp, bool ignoreEnabled,
                                      bool ignoreInterceptor) {
  APMAnalytics::logEventWithOrigin(origin, isPublicEvent, name, parameters, timestamp, ignoreEnabled,
                                   ignoreInterceptor);
}

void REZAnalytics::setDefaultEventParameters(std::optional<os::Dictionary> parameters) {
  APMAnalytics::setDefaultEventParameters(std::move(parameters));
}

// Forwards every parameter to APMAnalytics's entry, whose signature it repeats.
void REZAnalytics::logTransactionWithProductID(const std::string& productID, const std::string& transactionID,
                                               const std::string& originalTransactionID,
                                               const os::Value& webOrderLineItemID, int64_t productType,
                                               bool isFreeTrial, bool isIntroductoryOffer, int64_t paymentQuantity,
                                               const std::optional<os::Date>& purchaseDate,
                                               const std::optional<os::Date>& originalPurchaseDate,
                                               const std::optional<os::Date>& subscriptionExpirationDate,
                                               const std::optional<os::Date>& cancellationDate) {
  APMAnalytics::logTransactionWithProductID(productID, transactionID, originalTransactionID, webOrderLineItemID,
                                            productType, isFreeTrial, isIntroductoryOffer, paymentQuantity,
                                            purchaseDate, originalPurchaseDate, subscriptionExpirationDate,
                                            cancellationDate);
}

// ---- User properties ----

void REZAnalytics::setUserPropertyString(const std::optional<std::string>& value, const std::string& name) {
  if (!isConfigured(kREZAnalyticsCodeUserPropertyNotConfigured, "User property not set. Call +[REZApp configure]",
                    APMUserPropertyNameDebugDescription(name))) {
    return;
  }
  APMAnalytics::setUserPropertyString(value ? os::Value(*value) : os::Value(), name);
}

void REZAnalytics::userPropertiesIncludingInternal(bool includeInternal, std::shared_ptr<os::DispatchQueue> queue,
                                                   std::function<void(os::Dictionary)> callback) {
  APMAnalytics::userPropertiesIncludingInternal(includeInternal, std::move(queue), std::move(callback));
}

// ---- Collection and consent ----

void REZAnalytics::setAnalyticsCollectionEnabled(bool enabled) { APMAnalytics::setAnalyticsEnabled(enabled, true); }

void REZAnalytics::setConsent(const os::Dictionary& consent) {
  APMAnalytics::setConsentForKey(consent, kREZAnalyticsConsentKey);
}

// ---- On-device conversion measurement ----

void REZAnalytics::initiateOnDeviceConversionMeasurementWithEmailAddress(
    const std::optional<std::string>& emailAddress) {
  if (!isConfigured(kREZAnalyticsCodeEmailNotConfigured, "Email address not set. Call +[REZApp configure]")) return;
  APMAnalytics::setUserData({{kREZUserDataEmailAddressKey, emailAddress.value_or("")}});
}

void REZAnalytics::initiateOnDeviceConversionMeasurementWithPhoneNumber(const std::optional<std::string>& phoneNumber) {
  if (!isConfigured(kREZAnalyticsCodePhoneNotConfigured, "Phone number not set. Call +[REZApp configure]")) return;
  APMAnalytics::setUserData({{kREZUserDataPhoneNumberKey, phoneNumber.value_or("")}});
}

void REZAnalytics::initiateOnDeviceConversionMeasurementWithHashedEmailAddress(
    const std::optional<os::Data>& hashedEmailAddress) {
  if (!isConfigured(kREZAnalyticsCodeHashedEmailNotConfigured,
                    "Hashed email address not set. Call +[REZApp configure]")) {
    return;
  }
  APMAnalytics::setUserData({{kREZUserDataHashedEmailAddressKey, hashedEmailAddress.value_or(os::Data())}});
}

void REZAnalytics::initiateOnDeviceConversionMeasurementWithHashedPhoneNumber(
    const std::optional<os::Data>& hashedPhoneNumber) {
  if (!isConfigured(kREZAnalyticsCodeHashedPhoneNotConfigured,
                    "Hashed phone number not set. Call +[REZApp configure]")) {
    return;
  }
  APMAnalytics::setUserData({{kREZUserDataHashedPhoneNumberKey, hashedPhoneNumber.value_or(os::Data())}});
}

// ---- Listeners, links and queues ----

void REZAnalytics::setLogEventInterceptor(APMEventInterceptor interceptor) {
  APMAnalytics::setLogEventInterceptor(std::move(interceptor));
}

APMLogEventListenerToken REZAnalytics::addLogEventListener(APMLogEventListener listener) {
  return APMAnalytics::addLogEventListener(std::move(listener));
}

void REZAnalytics::removeLogEventListener(APMLogEventListenerToken token) { APMAnalytics::removeLogEventListener(token); }

void REZAnalytics::notifyEventListeners(const std::shared_ptr<APMEvent>& event) {
  APMAnalytics::notifyEventListeners(event);
}

void REZAnalytics::setOpenURLListener(APMOpenURLListener listener) {
  APMAnalytics::setOpenURLListener(std::move(listener));
}

void REZAnalytics::handleOpenURL(const os::URL& url) { APMAnalytics::handleOpenURL(url); }

void REZAnalytics::handleUserActivity(const std::shared_ptr<NSUserActivity>& userActivity) {
  APMAnalytics::handleUserActivity(userActivity);
}

void REZAnalytics::handleEventsForBackgroundURLSession(const std::string& identifier,
                                                       DAZNetworkSystemCompletionHandler completionHandler) {
  APMAnalytics::handleEventsForBackgroundURLSession(identifier, std::move(completionHandler));
}

void REZAnalytics::dispatchAsyncOnSerialQueue(os::DispatchBlock block) {
  APMAnalytics::dispatchAsyncOnSerialQueue(std::move(block));
}

void REZAnalytics::queueOperationWithBlock(os::DispatchBlock block) {
  APMAnalytics::queueOperationWithBlock(std::move(block));
}

void REZAnalytics::unsuspendOperationQueue() { APMAnalytics::unsuspendOperationQueue(); }

double REZAnalytics::loadTimestamp() { return APMAnalytics::loadTimestamp(); }

// ---- Instance methods ----

void REZAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                              const os::Dictionary& parameters) {
  APMAnalytics::sharedInstance()->logInternalEventWithOrigin(origin, name, parameters);
}

void REZAnalytics::setInternalUserProperty(const os::Value& value, const std::string& name,
                                           const std::string& origin) {
  APMAnalytics::sharedInstance()->setInternalUserProperty(value, name, origin);
}

void REZAnalytics::maxUserPropertiesForOrigin(const std::string& origin, std::shared_ptr<os::DispatchQueue> queue,
                                              std::function<void(int)> callback) {
  APMAnalytics::sharedInstance()->maxUserPropertiesForOrigin(origin, std::move(queue), std::move(callback));
}

// ---- For tests ----

std::shared_ptr<os::OperationQueue> REZAnalytics::TEST_operationQueue() { return APMAnalytics::TEST_operationQueue(); }

void REZAnalytics::TEST_reset() {
  os::NotificationCenter::defaultCenter()->removeObserver(installationObserverKey());
  APMAnalytics::TEST_reset();
}
