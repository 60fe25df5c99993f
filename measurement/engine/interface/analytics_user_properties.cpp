// The facade's user properties, user ID, consent, app instance ID, data reset
// and user data (APMAnalytics; the declarations are in analytics.h).
//
// Validation runs on the calling thread; every engine call is queued through
// the facade's operation queue. Consent runs synchronously on the consent
// state and the suite: a lower source number wins, 5 (TCF) and 10 count as
// one level, and persisted consent is reloaded with a source of at most 5, 20
// or 40 by the key it was kept under.

#include <cctype>

#include "measurement/engine/interface/analytics.h"
#include "measurement/engine/sessions/user_properties.h"
#include "measurement/store/consent_settings.h"
#include "measurement/store/engine_services/data_type_validator.h"
#include "measurement/store/engine_services/event_names.h"
#include "measurement/store/engine_services/event_parameters.h"
#include "measurement/store/engine_services/shorthands.h"
#include "measurement/store/foundation_extensions.h"
#include "measurement/store/identity.h"
#include "measurement/store/monitor.h"
#include "measurement/store/persisted_config.h"
#include "os/foundation/date.h"
#include "os/foundation/text.h"

namespace {

using apm_shorthands::monitor;

using apm_shorthands::now;

std::shared_ptr<APMMeasurement> engine() {
  return APMMeasurement::hasSharedInstance() ? APMMeasurement::sharedInstance() : nullptr;
}

// The public name check; error event 15 for a reserved name, 6 otherwise.
bool checkPublicUserPropertyName(const std::string& name) {
  int64_t failureCode = 0;
  if (APMDataTypeValidator::isValidPublicUserAttributeName(APMObject(name), &failureCode)) return true;
  const os::Value nameValue(name);
  APMLogErrorEventWithValue(failureCode == 4 ? kAPMErrorCodeUserPropertyNameIsReserved
                                             : kAPMErrorCodeInvalidUserPropertyName,
                            name, kAPMUserAttributeNameMaxLength, &nameValue);
  return false;
}

int64_t sourceForConsentKey(const std::string& key) {
  if (key == kAPMConsentSettingsTCFKey) return kAPMConsentSourceTCF;
  if (key == kAPMConsentSettings3PKey) return kAPMConsentSourceThirdParty;
  return kAPMConsentSourcePublicAPI;
}

}  // namespace

// =====================================================================
// User properties and user ID
// =====================================================================

void APMAnalytics::setUserPropertyString(const os::Value& value, const std::string& name) {
  if (name == kAPMAllowPersonalizedAdsUserProperty) {
    queueOperationWithBlock([value] {
      const bool enabled = isEnabled();
      if (!enabled) {
        monitor()->logWithLevel(7, kAPMAnalyticsCodePersonalizedAdsWhileDisabled,
                                "Personalized Ads property changed while Analytics is disabled");
      }
      if (auto persisted = APMPersistedConfig::sharedInstance()) {
        persisted->setAllowPersonalizedAds(value.isString() ? os::Value(apm_stringBoolValue(*value.string()))
                                                            : os::Value());
      }
      if (value.isNull() && APMMeasurement::remoteConfig()->DMAConsentEnabled() &&
          APMConsentSettingsUtil::adPersonalization()) {
        APMConsentSettingsUtil::unsetAdPersonalization();
      }
      auto engine = ::engine();
      if (!enabled || !engine) return;
      const os::Value npa = engine->shouldDisableAdPersonalization();
      auto attribute = APMUserAttribute::initWithOrigin(kAPMAutoOrigin, kAPMNonPersonalizedAdsUserProperty,
                                                        APMValue::initWithInt64(npa.int64Value()), now());
      if (npa.isNull()) {
        engine->removeUserAttribute(attribute);
      } else {
        engine->setUserAttribute(attribute);
      }
    });
    return;
  }
  if (value.isNull()) {
    removeUserAttributeForName(name);
    return;
  }
  if (!checkPublicUserPropertyName(name)) return;
  if (!value.isString()) {
    monitor()->logWithLevel(0, kAPMAnalyticsCodeUserPropertyNotString, "User property must be NSString. Value",
                            value);
    return;
  }
  int64_t failureCode = 0;
  const auto stringValue = APMValue::initWithString(APMObject(value));
  if (!stringValue || !APMDataTypeValidator::isValidPublicUserAttributeValue(APMObject(*stringValue), &failureCode)) {
    if (failureCode == 2) {
      APMLogErrorEventWithValue(kAPMErrorCodeUserPropertyValueTooLong, name, kAPMUserAttributeNameMaxLength, &value);
    }
    return;
  }
  sharedInstance()->setInternalUserProperty(value, name, kAPMAppOrigin);
}

void APMAnalytics::setUserAttributeNumber(const os::Value& value, const std::string& name) {
  if (!checkPublicUserPropertyName(name)) return;
  if (!value.isNumber()) return;
  const os::Value converted = value.number()->isFloatingPoint() ? os::Value(os::Number::float64(value.doubleValue()))
                                                                : os::Value(os::Number::int64(value.int64Value()));
  sharedInstance()->setInternalUserProperty(converted, name, kAPMAutoOrigin);
}

void APMAnalytics::setUserID(const os::Value& userID) {
  if (userID.isNull()) {
    removeInternalUserAttributeForName(kAPMUserPropertyUserID);
    removeInternalUserAttributeForName(kAPMUserPropertyLastAdvertisingIDReset);
    return;
  }
  if (!userID.isString()) {
    monitor()->logWithLevel(0, kAPMAnalyticsCodeUserIDNotString, "User ID must be NSString. User ID", userID);
    return;
  }
  sharedInstance()->setInternalUserProperty(userID, kAPMUserPropertyUserID, kAPMAppOrigin);
}

void APMAnalytics::removeUserAttributeForName(const std::string& name) {
  if (!APMDataTypeValidator::isValidPublicUserAttributeName(APMObject(name), nullptr)) return;
  removeInternalUserAttributeForName(name);
}

void APMAnalytics::removeInternalUserAttributeForName(const std::string& name) {
  auto attribute = APMUserAttribute::initWithOrigin("", name, APMValue::initWithDouble(0), now());
  queueOperationWithBlock([attribute] {
    if (auto engine = ::engine()) engine->removeUserAttribute(attribute);
  });
}

void APMAnalytics::userPropertiesIncludingInternal(bool includeInternal, std::shared_ptr<os::DispatchQueue> queue,
                                                   std::function<void(os::Dictionary)> callback) {
  queueOperationWithBlock([includeInternal, queue = std::move(queue), callback = std::move(callback)] {
    if (!callback) {
      monitor()->logWithLevel(2, kAPMAnalyticsCodeNilUserPropertiesCallback,
                              "Analytics userProperties callback cannot be nil");
      return;
    }
    if (!queue) {
      monitor()->logWithLevel(2, kAPMAnalyticsCodeNilUserPropertiesQueue,
                              "Cannot query for Analytics user properties. Queue cannot be nil");
      os::DispatchQueue::main()->async([callback] { callback({}); });
      return;
    }
    auto engine = ::engine();
    if (!isEnabled() || !engine) {
      monitor()->logWithLevel(5, kAPMAnalyticsCodeUserPropertiesWhileDisabled,
                              "Cannot query for public user properties when Analytics is disabled");
      queue->async([callback] { callback({}); });
      return;
    }
    engine->userPropertiesIncludingInternal(includeInternal, [queue, callback](os::Dictionary properties) {
      queue->async([callback, properties = std::move(properties)] { callback(properties); });
    });
  });
}

void APMAnalytics::maxUserPropertiesForOrigin(const std::string& origin, std::shared_ptr<os::DispatchQueue> queue,
                                              std::function<void(int)> callback) {
  if (origin.empty()) {
    monitor()->logWithLevel(2, kAPMAnalyticsCodeEmptyMaxUserPropertiesOrigin,
                            "Cannot query Analytics for max user properties. Origin must be a non-empty string");
    return;
  }
  if (!queue) {
    monitor()->logWithLevel(2, kAPMAnalyticsCodeNilMaxUserPropertiesQueue,
                            "Cannot query Analytics for max user properties. Queue cannot be nil. Origin", origin);
    return;
  }
  if (!callback) {
    monitor()->logWithLevel(
        2, kAPMAnalyticsCodeNilMaxUserPropertiesCallback,
        "Cannot query Analytics for max user properties. MaxUserProperties callback cannot be nil. Origin", origin);
    return;
  }
  queueOperationWithBlock([origin, queue = std::move(queue), callback = std::move(callback)] {
    auto engine = ::engine();
    if (!engine) return;
    engine->maxUserPropertiesForOrigin(origin, [queue, callback](int count) {
      queue->async([callback, count] { callback(count); });
    });
  });
}

// =====================================================================
// App instance ID, reset and user data
// =====================================================================

std::optional<std::string> APMAnalytics::appInstanceID() {
  if (APMConsentSettingsUtil::isAnalyticsStorageDenied()) return std::nullopt;
  if (auto afterReset = appInstanceIDAfterReset(); afterReset && !afterReset->empty()) return afterReset;
  auto identity = APMIdentity::sharedInstance();
  return identity ? identity->appInstanceID() : std::nullopt;
}

void APMAnalytics::resetAnalyticsData() {
  setLoadTimestamp(now());
  setResetRetryCount(resetRetryCount() + 1);
  setNeedFirstOpenAfterReset(true);
  std::optional<std::string> appInstanceID = APMIdentity::randomAppInstanceID();
  if (appInstanceID->empty()) {
    monitor()->logWithLevel(1, kAPMAnalyticsCodeNoNewAppInstanceID, "Cannot generate a new app instance ID");
    return;
  }
  if (APMConsentSettingsUtil::isAnalyticsStorageDenied()) {
    appInstanceID.reset();
  } else {
    setAppInstanceIDAfterReset(appInstanceID);
  }
  queueOperationWithBlock([appInstanceID] {
    auto engine = ::engine();
    if (!engine || !engine->resetAnalyticsDataWithAppInstanceID(appInstanceID)) {
      // The keys stay: the engine finishes the reset when it next starts.
      monitor()->logWithLevel(1, kAPMAnalyticsCodeResetFailed, "Failed to reset Analytics data");
      return;
    }
    setResetRetryCount(0);
    if (appInstanceID && appInstanceIDAfterReset() == appInstanceID) setAppInstanceIDAfterReset(std::nullopt);
  });
}

void APMAnalytics::setUserData(const os::Dictionary& userData) {
  queueOperationWithBlockThenWait([userData] { setUserDataOnSerialQueue(userData); });
}

void APMAnalytics::setUserDataOnSerialQueue(const os::Dictionary& userData) {
  if (!isEnabled()) {
    monitor()->logWithLevel(4, kAPMAnalyticsCodeUserDataWhileDisabled, "Analytics is disabled. User data not set.");
    return;
  }
  if (auto engine = ::engine()) engine->setUserData(userData);
}

// =====================================================================
// Consent
// =====================================================================

void APMAnalytics::setConsent(const os::Dictionary& consent) { setConsentForKey(consent, kAPMConsentSettings1PKey); }

void APMAnalytics::setConsentForKey(const os::Dictionary& consent, const std::string& key) {
  if (APMConsentSettingsUtil::consentSource() == kAPMConsentSourceNone) loadPersistedConsentSettings();

  os::Dictionary settings;
  for (const auto& [type, status] : APMConsentSettingsUtil::consentSettingsFromDictionary(consent)) {
    if (status == os::Value(kAPMConsentStatusGranted) || status == os::Value(kAPMConsentStatusDenied)) {
      settings.emplace(type, status);
    } else {
      monitor()->logWithLevel(3, kAPMAnalyticsCodeInvalidConsentValue,
                              "Valid consent values are 'granted' and 'denied'. Ignoring invalid consent setting",
                              status);
    }
  }
  if (settings.empty()) {
    monitor()->logWithLevel(3, kAPMAnalyticsCodeEmptyConsent, "Discarding empty consent settings");
    return;
  }
  const int64_t source = sourceForConsentKey(key);
  if (!APMConsentSettingsUtil::isConsentSourceHigherPriority(source)) {
    monitor()->logWithLevel(3, kAPMAnalyticsCodeLowerPriorityConsent, "Ignoring lower priority consent settings");
    return;
  }
  const bool wasAdUserDataDenied = APMConsentSettingsUtil::isAdUserDataDenied();
  APMConsentSettingsUtil::updateSettings(settings, source);
  persistConsentSettings(APMConsentSettingsUtil::consentSettings().value_or(os::Dictionary()), source);
  if (key == kAPMConsentSettings3PKey) {
    monitor()->logWithLevel(8, kAPMAnalyticsCodeConsentDescription, APMConsentSettingsUtil::description());
  }

  auto remoteConfig = APMMeasurement::remoteConfig();
  if (remoteConfig->dcuEventFeatureEnabled() && !remoteConfig->consentDefaults().empty() &&
      APMConsentSettingsUtil::didAdUserDataConsentChange(wasAdUserDataDenied)) {
    logInternalEventWithOriginNameParameters(kAPMAutoOrigin, kAPMDMAConsentUpdateEventName,
                                             {{kAPMEventRealtimeParameter, os::Value(os::Number::int64(1))}});
  }
  if (remoteConfig->DMAConsentEnabled() && settings.contains(kAPMConsentTypeAdPersonalization)) {
    if (const auto adPersonalization = APMConsentSettingsUtil::adPersonalization()) {
      setUserPropertyString(os::Value(*adPersonalization != 0 ? "YES" : "NO"), kAPMAllowPersonalizedAdsUserProperty);
    }
  }
}

void APMAnalytics::loadPersistedConsentSettings() {
  const int64_t persisted = persistedConsentSource();
  if (persisted == kAPMConsentSourceNone) return;
  int64_t source = persisted;
  const struct {
    std::optional<os::Dictionary> settings;
    int64_t bound;
  } candidates[] = {
      {consentSettingsTCF(), kAPMConsentSourceTCF},
      {consentSettings3P(), kAPMConsentSourceInfoPlist},
      {consentSettings1P(), kAPMConsentSourceOnStart},
  };
  for (const auto& candidate : candidates) {
    if (!candidate.settings) continue;
    APMConsentSettingsUtil::setConsentSettings(candidate.settings);
    source = std::min(persisted, candidate.bound);
    break;
  }
  APMConsentSettingsUtil::setConsentSource(source);
}

void APMAnalytics::persistConsentSettings(const os::Dictionary& settings, int64_t source) {
  const char* key = source == kAPMConsentSourceTCF ? kAPMConsentSettingsTCFKey
                    : source < 21                  ? kAPMConsentSettings3PKey
                                                   : kAPMConsentSettings1PKey;
  suite()->setObject(os::Value(settings), key);
  suite()->setObject(os::Value(os::Number::int64(source)), kAPMConsentSourceKey);
}

int64_t APMAnalytics::persistedConsentSource() {
  const os::Value stored = suite()->objectForKey(kAPMConsentSourceKey);
  return stored.isNumber() ? stored.int64Value() : kAPMConsentSourceNone;
}

std::optional<os::Dictionary> APMAnalytics::consentSettingsTCF() {
  return suite()->dictionaryForKey(kAPMConsentSettingsTCFKey);
}

std::optional<os::Dictionary> APMAnalytics::consentSettings3P() {
  return suite()->dictionaryForKey(kAPMConsentSettings3PKey);
}

std::optional<os::Dictionary> APMAnalytics::consentSettings1P() {
  return suite()->dictionaryForKey(kAPMConsentSettings1PKey);
}

std::optional<os::Dictionary> APMAnalytics::consentSettings1PStart() {
  return suite()->dictionaryForKey(kAPMConsentSettingsOnStartKey);
}

os::Value APMAnalytics::deferredResetOnDeniedConsent() { return suite()->objectForKey(kAPMDeferredConsentResetKey); }

void APMAnalytics::removeDeferredResetOnDeniedConsent() { suite()->removeObjectForKey(kAPMDeferredConsentResetKey); }

void APMAnalytics::removeStartUpConsentSettings() { suite()->removeObjectForKey(kAPMConsentSettingsOnStartKey); }

void APMAnalytics::clearConsent() {
  for (const char* key : {kAPMConsentSourceKey, kAPMConsentSettings3PKey, kAPMConsentSettings1PKey,
                          kAPMConsentSettingsOnStartKey, kAPMDeferredConsentResetKey, kAPMConsentSettingsTCFKey}) {
    suite()->removeObjectForKey(key);
  }
  APMConsentSettingsUtil::clearAllSettings();
}

// =====================================================================
// Reset bookkeeping
// =====================================================================

int64_t APMAnalytics::resetRetryCount() { return suite()->integerForKey(kAPMResetRetryCountKey); }

void APMAnalytics::setResetRetryCount(int64_t count) {
  if (count < 1) {
    suite()->removeObjectForKey(kAPMResetRetryCountKey);
  } else {
    suite()->setInteger(count, kAPMResetRetryCountKey);
  }
}

bool APMAnalytics::needFirstOpenAfterReset() { return suite()->boolForKey(kAPMNeedFirstOpenAfterResetKey); }

void APMAnalytics::setNeedFirstOpenAfterReset(bool needFirstOpen) {
  suite()->setBool(needFirstOpen, kAPMNeedFirstOpenAfterResetKey);
}

void APMAnalytics::removeNeedFirstOpenAfterReset() { suite()->removeObjectForKey(kAPMNeedFirstOpenAfterResetKey); }

std::optional<std::string> APMAnalytics::appInstanceIDAfterReset() {
  return suite()->stringForKey(kAPMAppInstanceIDAfterResetKey);
}

void APMAnalytics::setAppInstanceIDAfterReset(std::optional<std::string> appInstanceID) {
  if (appInstanceID) {
    suite()->setObject(os::Value(*appInstanceID), kAPMAppInstanceIDAfterResetKey);
  } else {
    suite()->removeObjectForKey(kAPMAppInstanceIDAfterResetKey);
  }
}

os::Value APMAnalytics::deferredAnalyticsCollection() {
  return suite()->objectForKey(kAPMDeferredAnalyticsCollectionKey);
}

void APMAnalytics::setDeferredAnalyticsCollection(const os::Value& value) {
  suite()->setObject(value, kAPMDeferredAnalyticsCollectionKey);
}
