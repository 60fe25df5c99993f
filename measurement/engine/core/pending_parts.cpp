// Stand-ins for engine work that is not built yet. Each block below stands
// for one method: it records its call in APMStandInRecord and answers what a
// test chose (APMStandInRecord::setAnswer) or a neutral answer. A block is
// deleted when its real method is written in its own file; the blocks do not
// depend on each other.

#include <chrono>

#include "measurement/engine/core/measurement.h"
#include "measurement/engine/core/stand_in_record.h"
#include "measurement/engine/interface/analytics.h"
#include "measurement/store/engine_services/event_parameters.h"
#include "os/foundation/date.h"

namespace {

// The value, or the null value for none.
template <class T>
os::Value valueOf(const std::optional<T>& optional) {
  os::Value out;
  if (optional) out = os::Value(*optional);
  return out;
}

os::Dictionary attributeArguments(const std::shared_ptr<APMUserAttribute>& attribute) {
  if (!attribute) return {};
  return {{"origin", attribute->origin()},
          {"name", attribute->name()},
          {"value", attribute->value().value()},
          {"lastSetTimestamp", attribute->lastSetTimestamp()}};
}

}  // namespace

// =====================================================================
// Event pipeline seams
// =====================================================================

// Stands for the user property of the last advertising-ID reset.
void APMMeasurement::setLastAdvertisingIDResetUserPropertyOnWorkerQueue() {
  APMStandInRecord::record("setLastAdvertisingIDResetUserPropertyOnWorkerQueue");
}

// Stands for the checked write of a user property: writes straight through
// the store.
bool APMMeasurement::setUserPropertyInDatabaseOnWorkerQueue(const std::shared_ptr<APMUserAttribute>& attribute) {
  APMStandInRecord::record("setUserPropertyInDatabaseOnWorkerQueue", attributeArguments(attribute));
  auto database = this->database();
  return database && attribute && database->updateUserAttribute(attribute, nullptr);
}

// =====================================================================
// User properties, ad personalisation and session ID
// =====================================================================

// Stands for setting a user property: moves it onto the worker queue.
void APMMeasurement::setUserAttribute(std::shared_ptr<APMUserAttribute> attribute) {
  APMStandInRecord::record("setUserAttribute", attributeArguments(attribute));
  scheduleWeakly("APMMeasurement:2830",
                 [attribute](APMMeasurement& self) { self.setUserAttributeOnWorkerQueue(attribute); });
}

// Stands for the user-property rules: writes straight through the store.
void APMMeasurement::setUserAttributeOnWorkerQueue(std::shared_ptr<APMUserAttribute> attribute) {
  APMStandInRecord::record("setUserAttributeOnWorkerQueue", attributeArguments(attribute));
  auto database = this->database();
  if (!database || !attribute) return;
  database->updateUserAttribute(attribute, nullptr);
}

// Stands for removing a user property.
void APMMeasurement::removeUserAttribute(std::shared_ptr<APMUserAttribute> attribute) {
  APMStandInRecord::record("removeUserAttribute", attributeArguments(attribute));
}

// Stands for the ad-personalisation decision: 1, 0 or none.
os::Value APMMeasurement::shouldDisableAdPersonalization() {
  return APMStandInRecord::answer("shouldDisableAdPersonalization").value_or(os::Value());
}

// Stands for the ad-network registration switch.
bool APMMeasurement::shouldAllowAdNetworkRegistration() {
  return APMStandInRecord::answer("shouldAllowAdNetworkRegistration").value_or(os::Value(true)).boolValue();
}

// Stands for answering the current session ID.
void APMMeasurement::sessionIDWithCompletion(
    std::function<void(int64_t sessionID, std::optional<os::Error> error)> completion) {
  APMStandInRecord::record("sessionIDWithCompletion");
  completion(APMStandInRecord::answer("sessionIDWithCompletion").value_or(os::Value(0)).int64Value(), std::nullopt);
}

// =====================================================================
// Facade user properties
// =====================================================================

// Stands for setting a public user property.
void APMAnalytics::setUserPropertyString(const std::optional<std::string>& value, const std::string& name) {
  APMStandInRecord::record("APMAnalytics.setUserPropertyString",
                           {{"value", valueOf(value)}, {"name", name}});
}

// Stands for setting the user ID: "_id" of origin "app", or removing "_id"
// and "_lair".
void APMAnalytics::setUserID(const std::optional<std::string>& userID) {
  APMStandInRecord::record("APMAnalytics.setUserID", {{"userID", valueOf(userID)}});
  if (!userID) {
    removeInternalUserAttributeForName("_id");
    removeInternalUserAttributeForName("_lair");
    return;
  }
  sharedInstance()->setInternalUserProperty(os::Value(*userID), "_id", kAPMAppOrigin);
}

// Stands for removing an internal user property through the engine.
void APMAnalytics::removeInternalUserAttributeForName(const std::string& name) {
  auto attribute = APMUserAttribute::initWithOrigin("", name, APMValue::initWithDouble(0),
                                                    os::Date::now().timeIntervalSince1970());
  queueOperationWithBlock([attribute] {
    if (auto engine = APMMeasurement::hasSharedInstance() ? APMMeasurement::sharedInstance() : nullptr) {
      engine->removeUserAttribute(attribute);
    }
  });
}

// Stands for the user-property query.
void APMAnalytics::userPropertiesIncludingInternal(bool includeInternal, std::shared_ptr<os::DispatchQueue>,
                                                   std::function<void(os::Dictionary)>) {
  APMStandInRecord::record("APMAnalytics.userPropertiesIncludingInternal", {{"includeInternal", includeInternal}});
}

// Stands for the query of the user-property limit of an origin.
void APMAnalytics::maxUserPropertiesForOrigin(const std::string& origin, std::shared_ptr<os::DispatchQueue>,
                                              std::function<void(int)>) {
  APMStandInRecord::record("APMAnalytics.maxUserPropertiesForOrigin", {{"origin", origin}});
}

// =====================================================================
// Facade identity, reset and user data
// =====================================================================

// Stands for the app instance ID.
std::optional<std::string> APMAnalytics::appInstanceID() {
  APMStandInRecord::record("APMAnalytics.appInstanceID");
  return std::nullopt;
}

// Stands for the data reset.
void APMAnalytics::resetAnalyticsData() { APMStandInRecord::record("APMAnalytics.resetAnalyticsData"); }

// Stands for handing on-device conversion user data to the engine.
void APMAnalytics::setUserData(const os::Dictionary& userData) {
  APMStandInRecord::record("APMAnalytics.setUserData", {{"userData", userData}});
}

// =====================================================================
// Facade consent
// =====================================================================

// Stands for applying consent under a persistence key.
void APMAnalytics::setConsentForKey(const os::Dictionary& consent, const std::string& key) {
  APMStandInRecord::record("APMAnalytics.setConsentForKey", {{"consent", consent}, {"key", key}});
}

// Stands for reloading persisted consent.
void APMAnalytics::loadPersistedConsentSettings() {
  APMStandInRecord::record("APMAnalytics.loadPersistedConsentSettings");
}

// Stands for persisting consent of a source under its key.
void APMAnalytics::persistConsentSettings(const os::Dictionary& settings, int64_t source) {
  APMStandInRecord::record("APMAnalytics.persistConsentSettings",
                           {{"settings", settings}, {"source", os::Value(os::Number::int64(source))}});
}

// Stands for the persisted TCF consent.
std::optional<os::Dictionary> APMAnalytics::consentSettingsTCF() {
  return suite()->dictionaryForKey(kAPMConsentSettingsTCFKey);
}

// Stands for the persisted third-party consent.
std::optional<os::Dictionary> APMAnalytics::consentSettings3P() {
  return suite()->dictionaryForKey(kAPMConsentSettings3PKey);
}

// Stands for the persisted first-party consent.
std::optional<os::Dictionary> APMAnalytics::consentSettings1P() {
  return suite()->dictionaryForKey(kAPMConsentSettings1PKey);
}

// Stands for the consent given in the start options.
std::optional<os::Dictionary> APMAnalytics::consentSettings1PStart() {
  return suite()->dictionaryForKey(kAPMConsentSettingsOnStartKey);
}

// Stands for dropping a reset deferred until consent is denied.
void APMAnalytics::removeDeferredResetOnDeniedConsent() {
  APMStandInRecord::record("APMAnalytics.removeDeferredResetOnDeniedConsent");
  suite()->removeObjectForKey(kAPMDeferredConsentResetKey);
}

// Stands for dropping the consent given in the start options.
void APMAnalytics::removeStartUpConsentSettings() {
  APMStandInRecord::record("APMAnalytics.removeStartUpConsentSettings");
  suite()->removeObjectForKey(kAPMConsentSettingsOnStartKey);
}

// Stands for clearing all consent.
void APMAnalytics::clearConsent() { APMStandInRecord::record("APMAnalytics.clearConsent"); }

// =====================================================================
// Facade reset bookkeeping
// =====================================================================

// Stands for the count of resets not yet completed.
int64_t APMAnalytics::resetRetryCount() { return suite()->integerForKey(kAPMResetRetryCountKey); }

// Stands for storing the count of resets not yet completed; below 1 removes it.
void APMAnalytics::setResetRetryCount(int64_t count) {
  APMStandInRecord::record("APMAnalytics.setResetRetryCount", {{"count", os::Value(os::Number::int64(count))}});
  if (count < 1) {
    suite()->removeObjectForKey(kAPMResetRetryCountKey);
  } else {
    suite()->setInteger(count, kAPMResetRetryCountKey);
  }
}

// Stands for whether a first open is due after a reset.
bool APMAnalytics::needFirstOpenAfterReset() { return suite()->boolForKey(kAPMNeedFirstOpenAfterResetKey); }

// Stands for dropping the first open due after a reset.
void APMAnalytics::removeNeedFirstOpenAfterReset() {
  APMStandInRecord::record("APMAnalytics.removeNeedFirstOpenAfterReset");
  suite()->removeObjectForKey(kAPMNeedFirstOpenAfterResetKey);
}

// Stands for the app instance ID chosen by the last reset.
std::optional<std::string> APMAnalytics::appInstanceIDAfterReset() {
  return suite()->stringForKey(kAPMAppInstanceIDAfterResetKey);
}

// Stands for storing the app instance ID chosen by a reset.
void APMAnalytics::setAppInstanceIDAfterReset(std::optional<std::string> appInstanceID) {
  APMStandInRecord::record("APMAnalytics.setAppInstanceIDAfterReset",
                           {{"appInstanceID", valueOf(appInstanceID)}});
  suite()->setObject(valueOf(appInstanceID), kAPMAppInstanceIDAfterResetKey);
}

// Stands for the deferred-collection value kept for the engine.
os::Value APMAnalytics::deferredAnalyticsCollection() {
  return suite()->objectForKey(kAPMDeferredAnalyticsCollectionKey);
}

// Stands for storing the deferred-collection value.
void APMAnalytics::setDeferredAnalyticsCollection(const os::Value& value) {
  APMStandInRecord::record("APMAnalytics.setDeferredAnalyticsCollection", {{"value", value}});
  suite()->setObject(value, kAPMDeferredAnalyticsCollectionKey);
}
