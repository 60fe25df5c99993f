// On-device conversion measurement: APMMeasurement's requests to the
// optional client's data set, their counts, retries and expiry.

#include "measurement/engine/attribution/on_device_conversion.h"

#include <algorithm>
#include <cmath>

#include "measurement/engine/core/measurement.h"
#include "measurement/store/engine_services/event.h"
#include "measurement/store/engine_services/install_environment.h"
#include "measurement/store/engine_services/shorthands.h"
#include "os/foundation/clock.h"
#include "os/foundation/format.h"
#include "os/foundation/process_info.h"

namespace {

using apm_shorthands::now;

const os::Value* entry(const os::Dictionary& dictionary, const char* key) {
  auto it = dictionary.find(key);
  return it == dictionary.end() ? nullptr : &it->second;
}

// A hashed identifier arrives as data (the digest) from the public interface;
// the client takes its bytes. Text is taken as it is.
std::string hashedIdentifier(const os::Value& value) {
  if (const os::Data* data = value.data()) return data->toString();
  return value.stringValue();
}

// The count property and query key of an input type.
std::pair<const char*, const char*> countFor(int64_t inputType) {
  switch (inputType) {
    case kAPMPSMInputTypePhone:
      return {kAPMPSMCountPhoneProperty, "psm_phone_count"};
    case kAPMPSMInputTypeHashedEmail:
      return {kAPMPSMCountHashedEmailProperty, "psm_count"};
    case kAPMPSMInputTypeHashedPhone:
      return {kAPMPSMCountHashedPhoneProperty, "psm_phone_count"};
    default:
      return {kAPMPSMCountEmailProperty, "psm_count"};
  }
}

int64_t inputTypeOf(os::runtime::Object& client) {
  if (!client.respondsToSelector(kAPMPSMInputTypeSelector)) return 0;
  return os::runtime::msgSend<int64_t>(client, kAPMPSMInputTypeSelector);
}

// A client set up by the initialiser, or null.
template <class... Args>
std::shared_ptr<os::runtime::Object> initialised(os::runtime::Class& cls, const char* selector, Args... args) {
  auto instance = cls.createInstance();
  if (!instance || !instance->respondsToSelector(selector)) return nullptr;
  return os::runtime::msgSend<bool>(*instance, selector, args...) ? instance : nullptr;
}

}  // namespace

void APMMeasurement::setUserData(const os::Dictionary& userData) {
  scheduleWeakly("APMMeasurement:3190", [userData](APMMeasurement& self) { self.setUserDataOnWorkerQueue(userData); });
}

void APMMeasurement::setUserDataOnWorkerQueue(const os::Dictionary& userData) {
  std::shared_ptr<os::runtime::Object> client;
  if (auto email = entry(userData, kAPMUserDataEmailAddress)) {
    const std::string text = email->stringValue();
    if (shouldRetrievePSMResponseWithEmailAddress(text)) client = PSMClientWithEmailAddress(text);
  }
  if (auto phone = entry(userData, kAPMUserDataPhoneNumber); !client && phone) {
    const std::string text = phone->stringValue();
    if (shouldRetrievePSMResponseWithPhoneNumber(text)) client = PSMClientWithPhoneNumber(text);
  }
  if (auto hashed = entry(userData, kAPMUserDataHashedEmailAddress); !client && hashed) {
    const std::string digest = hashedIdentifier(*hashed);
    if (shouldRetrievePSMResponseWithHashedIdentifier(digest)) client = PSMClientWithHashedEmailAddress(digest);
  }
  if (auto hashed = entry(userData, kAPMUserDataHashedPhoneNumber); !client && hashed) {
    const std::string digest = hashedIdentifier(*hashed);
    if (shouldRetrievePSMResponseWithHashedIdentifier(digest)) client = PSMClientWithHashedPhoneNumber(digest);
  }
  if (!client) return;
  privateSetMembershipClient_ = std::move(client);
  ++PSMStartCount_;
  PSMRetryCount_ = 0;
  retrievePSMResponse();
  monitor()->logWithLevel(7, kAPMPSMCodeInitiated, "Initiated on-device conversion measurement");
}

os::runtime::Class* APMMeasurement::PSMClientClass() {
  return os::runtime::classFromString(kAPMPrivateSetMembershipClientClassName);
}

void APMMeasurement::checkPSMDependencyOnWorkerQueue() {
  if (PSMClientClass()) {
    monitor()->logWithLevel(7, kAPMPSMCodeLinked,
                            "DevuvoDuvEvodedezudiOnDeviceConversion dependency is linked. On-device conversion "
                            "measurement is ready to initiate.");
    return;
  }
  auto database = this->database();
  if (!database) return;
  for (const char* name : {kAPMPSMCountEmailProperty, kAPMPSMCountPhoneProperty}) {
    if (database->containsUserAttributeWithName(name, nullptr).value_or(false)) {
      monitor()->logWithLevel(4, kAPMPSMCodeNotLinkedWithCounts,
                              "DevuvoDuvEvodedezudiOnDeviceConversion dependency is not currently linked. On-device "
                              "conversion measurement will fail to initiate.");
      return;
    }
  }
}

bool APMMeasurement::shouldRetrievePSMResponse() {
  if (!PSMClientClass()) {
    monitor()->logWithLevel(
        1, kAPMPSMCodeNotLinked,
        "Failed to initiate on-device conversion measurement. DevuvoDuvEvodedezudiOnDeviceConversion "
        "dependency not linked in.");
    return false;
  }
  auto config = remoteConfigOrDefault();
  if (!config->PSMFeatureEnabled()) return false;
  const int64_t firstOpenMillis = persistedConfig_->firstOpenTimestampMilliseconds();
  const double firstOpen = firstOpenMillis != 0 ? double(firstOpenMillis) / 1000 : initTimestamp_;
  if (std::fabs(now() - firstOpen) > double(config->maxSignInDelayInDays()) * 86'400) {
    monitor()->logWithLevel(
        1, kAPMPSMCodeOutsideWindow,
        "Failed to initiate on-device conversion measurement. Attempted to initiate outside the first "
        "open window.");
    return false;
  }
  if (isPSMRequestInProgress_) {
    monitor()->logWithLevel(
        1, kAPMPSMCodeInProgress,
        "Failed to initiate on-device conversion measurement. Request to query data set for on-device "
        "conversion measurement already in progress.");
    return false;
  }
  if (PSMStartCount_ >= config->maxPSMStartCount()) {
    monitor()->logWithLevel(1, kAPMPSMCodeStartLimit,
                            "Failed to initiate on-device conversion measurement. Exceeded limit per app run.");
    return false;
  }
  auto database = this->database();
  if (database && database->containsUserAttributeWithName(kAPMPSMValueProperty, nullptr).value_or(false)) {
    monitor()->logWithLevel(1, kAPMPSMCodeExistingMatch,
                            "Failed to initiate on-device conversion measurement. Found existing match.");
    return false;
  }
  if (PSMRetryCount_ >= config->maxPSMRetryCount()) {
    monitor()->logWithLevel(1, kAPMPSMCodeRetryLimit,
                            "Failed to initiate on-device conversion measurement. Exceeded retry limit.");
    return false;
  }
  return true;
}

bool APMMeasurement::shouldRetrievePSMResponseWithEmailAddress(const std::string& emailAddress) {
  if (emailAddress.empty()) {
    monitor()->logWithLevel(1, kAPMPSMCodeEmptyEmail,
                            "Failed to initiate on-device conversion measurement. Email address was empty.");
    return false;
  }
  return shouldRetrievePSMResponse();
}

bool APMMeasurement::shouldRetrievePSMResponseWithPhoneNumber(const std::string& phoneNumber) {
  if (phoneNumber.empty()) {
    monitor()->logWithLevel(1, kAPMPSMCodeEmptyPhone,
                            "Failed to initiate on-device conversion measurement. Phone number was empty.");
    return false;
  }
  // Without a class at all the general test says so (23233).
  if (auto* cls = PSMClientClass(); cls && !cls->instancesRespondToSelector(kAPMPSMInitPhone)) {
    monitor()->logWithLevel(1, kAPMPSMCodePhoneUnsupported,
                            "Failed to initiate on-device conversion measurement. Linked "
                            "DevuvoDuvEvodedezudiOnDeviceConversion dependency does not support phone numbers.");
    return false;
  }
  return shouldRetrievePSMResponse();
}

bool APMMeasurement::shouldRetrievePSMResponseWithHashedIdentifier(const std::string& hashedIdentifier) {
  if (hashedIdentifier.empty()) {
    monitor()->logWithLevel(1, kAPMPSMCodeEmptyHashed,
                            "Failed to initiate on-device conversion measurement. Hashed identifier was empty.");
    return false;
  }
  if (auto* cls = PSMClientClass(); cls && !cls->instancesRespondToSelector(kAPMPSMInitHashedEmail) &&
                                    !cls->instancesRespondToSelector(kAPMPSMInitHashedPhone)) {
    monitor()->logWithLevel(1, kAPMPSMCodeHashedUnsupported,
                            "Failed to initiate on-device conversion measurement. Linked "
                            "DevuvoDuvEvodedezudiOnDeviceConversion dependency does not support hashed identifiers.");
    return false;
  }
  return shouldRetrievePSMResponse();
}

std::shared_ptr<os::runtime::Object> APMMeasurement::PSMClientWithEmailAddress(const std::string& emailAddress) {
  auto* cls = PSMClientClass();
  if (!cls) return nullptr;
  const std::string appID = identity() ? identity()->appID() : std::string();
  if (cls->instancesRespondToSelector(kAPMPSMInitEmailWithPrefix)) {
    return initialised(*cls, kAPMPSMInitEmailWithPrefix, emailAddress, appID,
                       int64_t(remoteConfigOrDefault()->hashPrefixBitLengthEmail()));
  }
  return initialised(*cls, kAPMPSMInitEmail, emailAddress, appID);
}

std::shared_ptr<os::runtime::Object> APMMeasurement::PSMClientWithPhoneNumber(const std::string& phoneNumber) {
  auto* cls = PSMClientClass();
  if (!cls) return nullptr;
  const std::string appID = identity() ? identity()->appID() : std::string();
  if (cls->instancesRespondToSelector(kAPMPSMInitPhoneWithPrefix)) {
    return initialised(*cls, kAPMPSMInitPhoneWithPrefix, phoneNumber, appID,
                       int64_t(remoteConfigOrDefault()->hashPrefixBitLengthPhone()));
  }
  return initialised(*cls, kAPMPSMInitPhone, phoneNumber, appID);
}

std::shared_ptr<os::runtime::Object> APMMeasurement::PSMClientWithHashedEmailAddress(
    const std::string& hashedEmailAddress) {
  auto* cls = PSMClientClass();
  if (!cls || !cls->instancesRespondToSelector(kAPMPSMInitHashedEmail)) return nullptr;
  return initialised(*cls, kAPMPSMInitHashedEmail, hashedEmailAddress, identity() ? identity()->appID() : std::string(),
                     int64_t(remoteConfigOrDefault()->hashPrefixBitLengthEmail()));
}

std::shared_ptr<os::runtime::Object> APMMeasurement::PSMClientWithHashedPhoneNumber(
    const std::string& hashedPhoneNumber) {
  auto* cls = PSMClientClass();
  if (!cls || !cls->instancesRespondToSelector(kAPMPSMInitHashedPhone)) return nullptr;
  return initialised(*cls, kAPMPSMInitHashedPhone, hashedPhoneNumber, identity() ? identity()->appID() : std::string(),
                     int64_t(remoteConfigOrDefault()->hashPrefixBitLengthPhone()));
}

void APMMeasurement::retrievePSMResponse() {
  auto client = privateSetMembershipClient_.get();
  if (!client) return;
  std::optional<os::URL> base;
  if (client->respondsToSelector(kAPMPSMRequestURLSelector)) {
    base = os::runtime::msgSend<std::optional<os::URL>>(*client, kAPMPSMRequestURLSelector, int64_t(PSMRetryCount_));
  }
  if (!base) {
    monitor()->logWithLevel(1, kAPMPSMCodeInvalidURL,
                            "URL to query data set for on-device conversion measurement is invalid");
    return;
  }
  const auto [countProperty, countKey] = countFor(inputTypeOf(*client));
  int64_t count = 0;
  if (auto database = this->database()) {
    if (auto stored = database->userAttributeWithName(countProperty, nullptr)) count = stored->value().int64Value();
  }
  std::string text = base->absoluteString() + "&" + countKey + "=" + std::to_string(count);
  const int64_t firstOpenSeconds = persistedConfig_->firstOpenTimestampMilliseconds() / 1000;
  if (firstOpenSeconds > 0) {
    // The next whole minute; a whole minute also moves on to the next one.
    text += std::string("&") + kAPMPSMFirstOpenParameter + "=" + std::to_string((firstOpenSeconds / 60 + 1) * 60);
  }
  if (!APMAEU::isFAS() && (monitor()->isDebugModeEnabled() || monitor()->isVerboseLoggingEnabled()) &&
      client->respondsToSelector(kAPMPSMDebugKeySelector)) {
    const auto arguments = os::ProcessInfo::processInfo().arguments();
    const auto key = os::runtime::msgSend<std::optional<std::string>>(*client, kAPMPSMDebugKeySelector);
    if (key && std::find(arguments.begin(), arguments.end(), kAPMPSMDebugArgument) != arguments.end()) {
      text += std::string("&") + kAPMPSMDebugKeyParameter + "=" + *key;
    }
  }
  const auto url = os::URL::URLWithString(text);
  if (!url) {
    monitor()->logWithLevel(1, kAPMPSMCodeInvalidURL,
                            "URL to query data set for on-device conversion measurement is invalid");
    return;
  }
  if (!isNetworkReadyForRequest() || !network_) {
    monitor()->logWithLevel(7, kAPMPSMCodePostponed,
                            "Network operation is pending. Request to query data set for on-device conversion "
                            "measurement postponed.");
    isPSMRequestPostponed_ = true;
    return;
  }
  if (PSMRetryAlarm_) PSMRetryAlarm_->cancel();
  isPSMRequestInProgress_ = true;
  isPSMRequestPostponed_ = false;
  isNetworkRequestPending_ = true;
  network_->setTimeoutInterval(remoteConfigOrDefault()->networkTimeout());
  std::weak_ptr<APMMeasurement> weakSelf = weak_from_this();
  const std::string property = countProperty;
  network_->getURL(*url, {}, scheduler_->workerQueue(), shouldUseBackgroundSession(),
                   [weakSelf, client, property](std::optional<os::HTTPURLResponse> response,
                                                std::optional<os::Data> data, std::optional<os::Error> error) {
                     auto self = weakSelf.lock();
                     if (!self) return;
                     self->isNetworkRequestPending_ = false;
                     self->incrementPSMCountOnWorkerQueueWithName(property);
                     const int status = response ? response->statusCode() : 0;
                     if (!error && (status == 200 || status == 204 || status == 304)) {
                       std::optional<std::string> value;
                       if (client->respondsToSelector(kAPMPSMParseSelector)) {
                         value = os::runtime::msgSend<std::optional<std::string>>(*client, kAPMPSMParseSelector,
                                                                                  data.value_or(os::Data()));
                       }
                       if (value && !value->empty()) {
                         monitor()->logWithLevel(7, kAPMPSMCodeMatch, "On-device conversion measurement found a match");
                         self->handlePSMValueOnWorkerQueue(*value);
                       } else {
                         monitor()->logWithLevel(
                             7, kAPMPSMCodeNoMatch,
                             "On-device conversion measurement did not find a match. Will try again given new "
                             "user data.");
                       }
                       self->isPSMRequestInProgress_ = false;
                       self->privateSetMembershipClient_.get().reset();
                       self->updateSchedule();
                       return;
                     }
                     monitor()->logWithLevel(
                         1, kAPMPSMCodeRequestFailed,
                         "Failed to query data set for on-device conversion measurement. Will retry later. Code, "
                         "error",
                         int64_t(status), error ? APMLogContext(*error) : APMLogContext());
                     self->isPSMRequestInProgress_ = false;
                     self->maybeSchedulePSMRetry();
                     self->updateSchedule();
                   });
}

void APMMeasurement::maybeSchedulePSMRetry() {
  const int32_t n = PSMRetryCount_;
  PSMRetryCount_ = n + 1;
  auto config = remoteConfigOrDefault();
  if (n + 1 >= config->maxPSMRetryCount()) {
    monitor()->logWithLevel(4, kAPMPSMCodeRetryLimitReached,
                            "On-device conversion measurement failed to find a match. Reached retry limit.");
    return;
  }
  if (!PSMRetryAlarm_)
    PSMRetryAlarm_ = APMAlarm::initWithDispatchQueue(scheduler_->workerQueue(), kAPMPSMRetryAlarmName);
  std::weak_ptr<APMMeasurement> weakSelf = weak_from_this();
  PSMRetryAlarm_->runAfterDelay(config->PSMRetryInterval() * std::ldexp(1.0, n), [weakSelf] {
    if (auto self = weakSelf.lock()) self->retrievePSMResponse();
  });
}

void APMMeasurement::handlePSMValueOnWorkerQueue(const std::string& value) {
  if (value.empty()) return;
  const double time = now();
  if (auto text = APMValue::initWithString(value)) {
    setUserAttributeOnWorkerQueue(APMUserAttribute::initWithOrigin(kAPMPSMOrigin, kAPMPSMValueProperty, *text, time));
  }
  auto event = APMEvent::initWithOrigin(
      kAPMPSMOrigin, false, kAPMPSMMatchEventName, time, 0,
      APMEventParameters{{kAPMPSMMatchSourceParameter, *APMValue::initWithString(kAPMPSMMatchSource)}});
  if (!event) return;
  event->setRealtime(true);
  writeEventOnWorkerQueue(event);
}

void APMMeasurement::incrementPSMCountOnWorkerQueueWithName(const std::string& propertyName) {
  auto database = this->database();
  if (!database) return;
  int64_t count = 0;
  if (auto stored = database->userAttributeWithName(propertyName, nullptr)) count = stored->value().int64Value();
  setUserAttributeOnWorkerQueue(
      APMUserAttribute::initWithOrigin(kAPMPSMOrigin, propertyName, APMValue::initWithInt64(count + 1), now()));
}

void APMMeasurement::maybeDeleteExpiredPSMValueOnWorkerQueue() {
  auto database = this->database();
  if (!database) return;
  auto match = database->userAttributeWithName(kAPMPSMValueProperty, nullptr);
  if (!match || std::fabs(now() - match->lastSetTimestamp()) < kAPMPSMValueLifetime) return;
  for (const char* name : {kAPMPSMValueProperty, kAPMPSMCountEmailProperty, kAPMPSMCountPhoneProperty,
                           kAPMPSMCountHashedEmailProperty, kAPMPSMCountHashedPhoneProperty}) {
    if (database->containsUserAttributeWithName(name, nullptr).value_or(false)) {
      database->deleteUserAttributeWithName(name, nullptr);
    }
  }
}

void APMMeasurement::resetPSMCounts() {
  PSMStartCount_ = 0;
  PSMRetryCount_ = 0;
}
