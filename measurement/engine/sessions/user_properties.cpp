// User properties, the ad-personalisation decision, the ad-network switch and
// the session-ID query of APMMeasurement (see user_properties.h).

#include "measurement/engine/sessions/user_properties.h"

#include <algorithm>
#include <cctype>

#include "measurement/engine/core/measurement.h"
#include "measurement/engine/interface/analytics.h"
#include "measurement/store/consent_settings.h"
#include "measurement/store/engine_services/debug_description.h"
#include "measurement/store/engine_services/event_parameters.h"
#include "measurement/store/engine_services/shorthands.h"
#include "measurement/store/errors.h"
#include "measurement/store/monitor.h"
#include "os/foundation/bundle.h"
#include "os/foundation/date.h"

namespace {

using apm_shorthands::now;

// Read callbacks never run on the caller's queue.
std::shared_ptr<os::DispatchQueue> callbackQueue() {
  return os::DispatchQueue::global(os::QualityOfService::Background);
}

os::Value nameContext(const std::string& name) { return os::Value(APMUserPropertyNameDebugDescription(name)); }

// An error with a domain counts; a failure without one is "nothing found".
bool isError(const os::Error& error) { return !error.domain().empty(); }

// The origin's stored non-public properties. The store's per-origin count
// takes public ones too, which have a limit of their own: counted here they
// would let an app's public properties ("app", and numbers as "auto") refuse
// the user ID and the engine's own properties. nullopt on a failed read.
std::optional<int64_t> nonPublicUserAttributeCount(APMDatabase& database, const std::string& origin,
                                                   os::Error* error) {
  const auto attributes = database.userAttributesIncludingInternal(true, error);
  if (!attributes) return std::nullopt;
  return std::count_if(attributes->begin(), attributes->end(), [&](const std::shared_ptr<APMUserAttribute>& stored) {
    return stored && !stored->isPublic() && stored->origin() == origin;
  });
}

}  // namespace

// =====================================================================
// Setting
// =====================================================================

void APMMeasurement::setUserAttribute(std::shared_ptr<APMUserAttribute> attribute) {
  if (!attribute) {
    monitor()->logWithLevel(3, kAPMUserPropertyCodeSetNil, "Attempted to set nil user property");
    return;
  }
  scheduleWeakly("APMMeasurement:2830",
                 [attribute](APMMeasurement& self) { self.setUserAttributeOnWorkerQueue(attribute); });
}

void APMMeasurement::setUserAttributeOnWorkerQueue(std::shared_ptr<APMUserAttribute> attribute) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("setUserAttributeOnWorkerQueue:");
  if (!attribute) return;
  if (!isEnabled()) {
    monitor()->logWithLevel(7, kAPMUserPropertyCodeSetDisabled, "Analytics is disabled. User property not set");
    return;
  }
  setUserPropertyInDatabaseOnWorkerQueue(attribute);
}

bool APMMeasurement::setUserPropertyInDatabaseOnWorkerQueue(const std::shared_ptr<APMUserAttribute>& attribute) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("setUserPropertyInDatabaseOnWorkerQueue:");
  auto database = this->database();
  if (!database || !attribute) return false;
  const std::string& name = attribute->name();

  os::Error error;
  const auto exists = database->containsUserAttributeWithName(name, &error);
  if (!exists && isError(error)) {
    monitor()->logWithLevel(1, kAPMUserPropertyCodeExistsQueryFailed,
                            "Unable to query existence of user property. Name, error", nameContext(name), error);
    return false;
  }
  const bool stored = exists.value_or(false);

  if (name == kAPMUserPropertyUserID && stored) {
    auto current = database->userAttributeWithName(name, nullptr);
    const auto currentID = current ? current->value().stringValue() : std::nullopt;
    if (currentID != attribute->value().stringValue()) {
      if (auto identity = this->identity()) identity->resetSessionStitchingToken();
      database->deleteUserAttributeWithName(kAPMUserPropertyLastAdvertisingIDReset, nullptr);
    }
  }
  if (name == kAPMNonPersonalizedAdsUserProperty && remoteConfigOrDefault()->DMAConsentEnabled()) {
    updateAdPersonalizationConsentFromNPAValue(os::Value(os::Number::int64(attribute->value().int64Value())));
  }

  if (!stored) {
    std::optional<int64_t> count;
    int64_t limit;
    os::Error countError;
    if (attribute->isPublic()) {
      count = database->publicUserAttributeCount(&countError);
      limit = remoteConfigOrDefault()->maxPublicUserProperties();
    } else {
      count = nonPublicUserAttributeCount(*database, attribute->origin(), &countError);
      limit = kAPMMaxUserPropertiesPerOrigin;
    }
    if (!count && isError(countError)) {
      monitor()->logWithLevel(1, kAPMUserPropertyCodeCountQueryFailed,
                              "Unable to query user property count. Origin, error", attribute->origin(), countError);
      return false;
    }
    if (!count || *count >= limit) {
      monitor()->logWithLevel(
          3, kAPMUserPropertyCodeLimitReached,
          "Unable to set user property. Reached limit on set user properties for origin. Origin, name, value",
          attribute->origin(), nameContext(name), attribute->value().value());
      APMLogErrorEvent(kAPMErrorCodeUserPropertyLimitReached);
      return false;
    }
  }

  os::Error writeError;
  if (!database->updateUserAttribute(attribute, &writeError) && isError(writeError)) {
    monitor()->logWithLevel(1, kAPMUserPropertyCodeSetFailed, "Unable to set user property. Name, value, error",
                            nameContext(name), attribute->value().value(), writeError);
    return false;
  }
  monitor()->logWithLevel(7, kAPMUserPropertyCodeSet, "User property set. Name, value", nameContext(name),
                          attribute->value().value());
  return true;
}

// =====================================================================
// Removing
// =====================================================================

void APMMeasurement::removeUserAttribute(std::shared_ptr<APMUserAttribute> attribute) {
  if (!attribute) {
    monitor()->logWithLevel(3, kAPMUserPropertyCodeRemoveNil, "Attempted to remove nil user property");
    return;
  }
  scheduleWeakly("APMMeasurement:2785",
                 [attribute](APMMeasurement& self) { self.removeUserAttributeOnWorkerQueue(attribute); });
}

void APMMeasurement::removeUserAttributeOnWorkerQueue(const std::shared_ptr<APMUserAttribute>& attribute) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("removeUserAttributeOnWorkerQueue:");
  if (!attribute) return;
  if (!isEnabled()) {
    monitor()->logWithLevel(7, kAPMUserPropertyCodeRemoveDisabled, "Analytics is disabled. User property not removed");
    return;
  }
  const std::string& name = attribute->name();
  if (name == kAPMUserPropertyUserID) {
    if (auto identity = this->identity()) identity->resetSessionStitchingToken();
  }
  auto database = this->database();
  if (!database) return;
  os::Error error;
  if (!database->deleteUserAttributeWithName(name, &error) && isError(error)) {
    monitor()->logWithLevel(1, kAPMUserPropertyCodeRemoveFailed, "Unable to remove user property. Name, error",
                            nameContext(name), error);
    return;
  }
  monitor()->logWithLevel(7, kAPMUserPropertyCodeRemoved, "User property removed. Name", nameContext(name));
}

// =====================================================================
// Reading
// =====================================================================

void APMMeasurement::userAttributeWithName(const std::string& name,
                                           std::function<void(std::shared_ptr<APMUserAttribute>)> callback) {
  if (!callback) {
    monitor()->logWithLevel(0, kAPMUserPropertyCodeNilAttributeCallback, "userAttributeWithName callback is nil");
    return;
  }
  scheduleWeakly("APMMeasurement:2972", [name, callback = std::move(callback)](APMMeasurement& self) {
    std::shared_ptr<APMUserAttribute> attribute;
    if (auto database = self.database()) {
      os::Error error;
      attribute = database->userAttributeWithName(name, &error);
      if (!attribute && isError(error)) {
        monitor()->logWithLevel(1, kAPMUserPropertyCodeReadFailed, "Unable to get user attribute by name. Name",
                                nameContext(name));
      }
    }
    callbackQueue()->async([callback, attribute] { callback(attribute); });
  });
}

void APMMeasurement::userPropertiesIncludingInternal(bool includeInternal,
                                                     std::function<void(os::Dictionary)> callback) {
  if (!callback) {
    monitor()->logWithLevel(0, kAPMUserPropertyCodeNilPropertiesCallback,
                            "Unable to retrieve user properties. Callback is nil");
    return;
  }
  scheduleWeakly("APMMeasurement:3027", [includeInternal, callback = std::move(callback)](APMMeasurement& self) {
    std::vector<std::shared_ptr<APMUserAttribute>> attributes;
    if (auto database = self.database()) {
      os::Error error;
      auto read = database->userAttributesIncludingInternal(includeInternal, &error);
      if (read) {
        attributes = std::move(*read);
      } else if (isError(error)) {
        monitor()->logWithLevel(1, kAPMUserPropertyCodeReadAllFailed, "Unable to retrieve user properties. Error",
                                error);
      }
    }
    os::Dictionary properties;
    for (const auto& attribute : attributes) {
      if (!attribute || attribute->name().empty()) {
        monitor()->logWithLevel(3, kAPMUserPropertyCodeInvalidStored,
                                "Cannot add invalid public user property name or value.");
        continue;
      }
      const APMValue& value = attribute->value();
      if (value.isString()) {
        properties[attribute->name()] = os::Value(value.stringValue().value_or(""));
      } else if (value.isDouble()) {
        properties[attribute->name()] = os::Value(os::Number::float64(value.doubleValue()));
      } else if (value.isInt64()) {
        properties[attribute->name()] = os::Value(os::Number::int64(value.int64Value()));
      }
    }
    callbackQueue()->async([callback, properties = std::move(properties)] { callback(properties); });
  });
}

void APMMeasurement::maxUserPropertiesForOrigin(const std::string& origin, std::function<void(int)> callback) {
  if (origin.empty()) {
    monitor()->logWithLevel(0, kAPMUserPropertyCodeEmptyMaxOrigin,
                            "Origin for querying MaxUserProperties cannot be nil");
    return;
  }
  if (!callback) {
    monitor()->logWithLevel(0, kAPMUserPropertyCodeNilMaxCallback, "MaxUserProperties callback cannot be nil. Origin",
                            origin);
    return;
  }
  callbackQueue()->async([callback = std::move(callback)] { callback(kAPMMaxUserPropertiesPerOrigin); });
}

// =====================================================================
// "_lair"
// =====================================================================

bool APMMeasurement::hasUserPropertyUserIDOnWorkerQueue() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("hasUserPropertyUserIDOnWorkerQueue");
  auto database = this->database();
  if (!database) return false;
  return database->containsUserAttributeWithName(kAPMUserPropertyUserID, nullptr).value_or(false);
}

void APMMeasurement::setLastAdvertisingIDResetUserPropertyOnWorkerQueue() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("setLastAdvertisingIDResetUserPropertyOnWorkerQueue");
  if (!hasUserPropertyUserIDOnWorkerQueue()) return;
  auto database = this->database();
  os::Error error;
  const auto stored = database->containsUserAttributeWithName(kAPMUserPropertyLastAdvertisingIDReset, &error);
  if (!stored && isError(error)) return;
  if (stored.value_or(false)) return;
  setUserAttributeOnWorkerQueue(APMUserAttribute::initWithOrigin(
      kAPMAutoOrigin, kAPMUserPropertyLastAdvertisingIDReset, APMValue::initWithInt64(1), now()));
  if (auto identity = this->identity()) identity->setShouldSetLastAdvertisingIDResetUserProperty(false);
}

// =====================================================================
// Ad personalisation and ad-network registration
// =====================================================================

os::Value APMMeasurement::shouldDisableAdPersonalization() {
  auto negation = [](bool allowed) { return os::Value(os::Number::int64(allowed ? 0 : 1)); };
  if (persistedConfig_) {
    const os::Value stored = persistedConfig_->allowPersonalizedAds();
    if (stored.isNumber()) return negation(stored.boolValue());
  }
  const bool dma = remoteConfigOrDefault()->DMAConsentEnabled();
  if (dma) {
    const auto settings = APMConsentSettingsUtil::consentSettings();
    if (settings && settings->contains(kAPMConsentTypeAdPersonalization)) {
      if (const auto allowed = APMConsentSettingsUtil::adPersonalization()) return negation(*allowed != 0);
    }
  }
  const os::Value plist = os::Bundle::mainBundle()->objectForInfoDictionaryKey(kAPMAllowAdPersonalizationSignalsPlistKey);
  if (plist.isNumber()) {
    foundAdPersonalizationPlistFlag_ = true;
    return negation(plist.boolValue());
  }
  if (!plist.isNull()) return os::Value(os::Number::int64(0));
  if (dma) {
    const auto defaults = APMConsentSettingsUtil::defaultSettings();
    if (defaults) {
      const auto found = defaults->find(kAPMConsentTypeAdPersonalization);
      if (found != defaults->end() && found->second.isString()) {
        std::string status = *found->second.string();
        for (char& c : status) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (status == kAPMConsentStatusDenied) return os::Value(os::Number::int64(1));
        if (status == kAPMConsentStatusGranted) return os::Value(os::Number::int64(0));
      }
    }
  }
  return os::Value();
}

bool APMMeasurement::shouldAllowAdNetworkRegistration() {
  const os::Value value =
      os::Bundle::mainBundle()->objectForInfoDictionaryKey(kAPMRegistrationWithAdNetworkEnabledPlistKey);
  return value.isNumber() ? value.boolValue() : true;
}

// =====================================================================
// Session ID
// =====================================================================

void APMMeasurement::sessionIDWithCompletion(
    std::function<void(int64_t sessionID, std::optional<os::Error> error)> completion) {
  if (!completion) return;
  std::weak_ptr<APMMeasurement> weakSelf = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("APMMeasurement:3183", [weakSelf, completion = std::move(completion)] {
    auto fail = [&](const char* description) { completion(0, apm_errorWithCode(kAPMSessionIDErrorCode, description)); };
    auto self = weakSelf.lock();
    if (!self) return fail(kAPMSessionIDDeallocatedDescription);
    if (!self->isEnabled()) return fail(kAPMSessionIDAnalyticsDisabledDescription);
    auto reporter = self->sessionReporter();
    if (reporter && reporter->isSessionExpired()) return fail(kAPMSessionIDExpiredDescription);
    auto database = self->database();
    auto stored = database ? database->userAttributeWithName(kAPMSessionIDProperty, nullptr) : nullptr;
    if (!stored) return fail(kAPMSessionIDNotFoundDescription);
    completion(stored->value().int64Value(), std::nullopt);
  });
}
