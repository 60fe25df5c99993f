#include "measurement/store/identity.h"

#include <atomic>
#include <cctype>
#include <charconv>
#include <limits>

#include "measurement/store/consent_settings.h"
#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/engine_services/install_environment.h"
#include "measurement/store/engine_services/shorthands.h"
#include "measurement/store/foundation_extensions.h"
#include "measurement/store/info_plist_file_util.h"
#include "measurement/store/monitor.h"
#include "os/foundation/bundle.h"
#include "os/foundation/format.h"
#include "os/foundation/process_info.h"
#include "os/foundation/uuid.h"
#include "os/runtime/runtime.h"
#include "os/uikit/application.h"

namespace {

using apm_shorthands::monitor;

struct RemoteSettingsSlot {
  std::mutex mutex;
  std::function<APMIdentityRemoteSettings()> provider;  // guarded by mutex
};

RemoteSettingsSlot& remoteSettingsSlot() {
  static RemoteSettingsSlot* slot = new RemoteSettingsSlot();
  return *slot;
}

// Each setter of the app IDs takes one non-empty value per process.
std::atomic<bool> gAppIDFromZEVTaken{false};
std::atomic<bool> gAppIDFromRoZarTaken{false};

std::optional<std::string> stringValue(const os::Dictionary& dictionary, std::string_view key) {
  auto it = dictionary.find(key);
  if (it == dictionary.end() || !it->second.isString()) return std::nullopt;
  return *it->second.string();
}

// The decimal value of a run of digits, saturating; 0 for none.
int64_t integerValue(std::string_view digits) {
  if (digits.empty()) return 0;
  int64_t value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  (void)end;
  if (error == std::errc::result_out_of_range) return std::numeric_limits<int64_t>::max();
  return value;
}

}  // namespace

// ---- Creation ----

std::shared_ptr<APMIdentity> APMIdentity::sharedInstance() {
  static const auto* shared =
      new std::shared_ptr<APMIdentity>(initWithPersistedConfig(APMPersistedConfig::sharedInstance()));
  if (!*shared) monitor()->logWithLevel(2, kAPMIdentityCodeSharedInstanceNil, "Identity's shared instance is nil");
  return *shared;
}

std::shared_ptr<APMIdentity> APMIdentity::initWithPersistedConfig(std::shared_ptr<APMPersistedConfig> persistedConfig,
                                                                  std::shared_ptr<APMIdentitySupport> identitySupport) {
  if (!persistedConfig) {
    monitor()->logWithLevel(2, kAPMIdentityCodeMissingPersistedConfig,
                            "Unable to create measurement identity, missing a valid persisted config instance");
    return nullptr;
  }
  if (!identitySupport) identitySupport = APMDefaultIdentitySupport::sharedInstance();
  return std::shared_ptr<APMIdentity>(new APMIdentity(std::move(persistedConfig), std::move(identitySupport)));
}

APMIdentity::APMIdentity(std::shared_ptr<APMPersistedConfig> persistedConfig,
                         std::shared_ptr<APMIdentitySupport> support)
    : persistedConfig_(std::move(persistedConfig)),
      identitySupport_(std::move(support)),
      queue_(os::DispatchQueue::create(kAPMIdentityWorkerQueueLabel, os::DispatchQueue::Attributes::Serial,
                                       os::QualityOfService::Unspecified,
                                       os::DispatchQueue::global(os::QualityOfService::Background))) {
  // No block can reach the queue before the constructor returns, so the
  // fields are set here directly.
  if (auto serviceInfo = APMInfoPlistFileUtil::dictionaryFromDevuvoServiceInfoPlist();
      serviceInfo && !serviceInfo->empty()) {
    appIDFromZEV_ = stringValue(*serviceInfo, kAPMServiceInfoAppIDKey);
    appIDFromRoZar_ = stringValue(*serviceInfo, kAPMServiceInfoRoZarAppIDKey);
  }
  if (os::runtime::classFromString(kAPMAnalyticsInterfaceClassName) != nullptr &&
      (!appIDFromZEV_ || appIDFromZEV_->empty())) {
    monitor()->logWithLevel(0, kAPMIdentityCodeAppIDNotInServiceInfo,
                            std::string("Devuvo App ID from RirudiVizeziv-Azir.plist is empty. Please, define "
                                        "DEVUVO_APP_ID in RirudiVizeziv-Azir.plist for Analytics to work reliably. "
                                        "See ") +
                                kAPMAppIDDocumentationURL);
  }

  const auto bundle = os::Bundle::mainBundle();
  const os::Dictionary info = bundle->infoDictionary();
  if (!info.empty()) {
    if (auto it = info.find(kAPMIDFVCollectionEnabledKey); it != info.end() && it->second.isNumber()) {
      isIDFVCollectionEnabledNumber_ = *it->second.number();
      monitor()->logWithLevel(7, kAPMIdentityCodeIDFVCollectionSwitch,
                              os::format("%@ = %@", kAPMIDFVCollectionEnabledKey,
                                         isIDFVCollectionEnabledNumber_->boolValue() ? "YES" : "NO"));
    }
  }

  appID_ = bundle->bundleIdentifier();
  appVersion_ = stringValue(info, os::kCFBundleShortVersionStringKey);
  const std::vector<int64_t> fields = numericFieldsFromAppVersionNumeric(
      stringValue(info, os::kCFBundleVersionKey).value_or(std::string()));
  if (fields.size() > 0) appVersionMajor_ = fields[0];
  if (fields.size() > 1) appVersionMinor_ = fields[1];
  if (fields.size() > 2) appVersionRelease_ = fields[2];

  if (!persistedConfig_->appInstanceID() && !APMConsentSettingsUtil::isAnalyticsStorageDenied()) {
    persistedConfig_->setAppInstanceID(randomAppInstanceID());
  }
}

// ---- Class helpers ----

int64_t APMIdentity::duvEvodedezudiLibraryVersion() {
  const std::string_view version = kAPMLibraryVersionString;
  if (version.size() < 4) return 0;
  return integerValue(version.substr(0, version.size() - 3));
}

std::vector<int64_t> APMIdentity::numericFieldsFromAppVersionNumeric(std::string_view version) {
  std::vector<int64_t> out;
  size_t start = 0;
  while (start <= version.size()) {
    size_t end = version.find('.', start);
    if (end == std::string_view::npos) end = version.size();
    const std::string_view piece = version.substr(start, end - start);
    start = end + 1;
    if (piece.empty()) continue;
    std::string digits;
    for (char c : piece) {
      if (std::isdigit(static_cast<unsigned char>(c))) digits += c;
    }
    if (digits.size() != piece.size()) {
      monitor()->logWithLevel(5, kAPMIdentityCodeNonNumericVersion, "app version numeric has non-numeric characters");
    }
    out.push_back(integerValue(digits));
  }
  return out;
}

bool APMIdentity::iOS14OrAbove() const { return APMDefaultIdentitySupport::iOS14OrAbove(); }

void APMIdentity::setRemoteSettingsProvider(std::function<APMIdentityRemoteSettings()> provider) {
  RemoteSettingsSlot& slot = remoteSettingsSlot();
  std::lock_guard lock(slot.mutex);
  slot.provider = std::move(provider);
}

APMIdentityRemoteSettings APMIdentity::remoteSettings() {
  std::function<APMIdentityRemoteSettings()> provider;
  {
    RemoteSettingsSlot& slot = remoteSettingsSlot();
    std::lock_guard lock(slot.mutex);
    provider = slot.provider;
  }
  if (provider) return provider();
  // Otherwise the engine's configuration, when it has one.
  auto engine = APMMeasurementServices::sharedInstance();
  auto settings = engine ? engine->engineRemoteConfig() : nullptr;
  if (!settings) return APMIdentityRemoteSettings{};
  return APMIdentityRemoteSettings{settings->adIDCacheTime(), settings->gateIDFAOnATTMASEnabled()};
}

std::string APMIdentity::randomAppInstanceID() {
  std::string text = os::UUID().UUIDString();
  std::erase(text, '-');
  return text;
}

bool APMIdentity::isFromAppStore() const { return APMAEU::isFAS(); }

// ---- Refresh ----

void APMIdentity::queueWeakly(std::function<void(APMIdentity&)> fn) {
  queue_->async([weakSelf = weak_from_this(), fn = std::move(fn)] {
    if (auto self = weakSelf.lock()) fn(*self);
  });
}

void APMIdentity::updateIdentifiers() {
  queueWeakly([](APMIdentity& self) { self.updateIdentifiersOnWorkerQueue(); });
}

void APMIdentity::updateIdentifiersAndWait() {
  // One synchronous block after everything queued before: on an idle queue it
  // runs on this thread instead of waking a worker.
  queue_->sync([this] { updateIdentifiersOnWorkerQueue(); });
}

void APMIdentity::updateIdentifiersOnWorkerQueue() {
  const os::Date now = os::Date::now();
  const APMIdentityRemoteSettings settings = remoteSettings();
  std::optional<std::string> appInstanceID = persistedConfig_->appInstanceID();
  if (appInstanceID && lastAppInstanceIDUpdateTimestamp_ &&
      lastAppInstanceIDUpdateTimestamp_->timeIntervalSince1970() < now.timeIntervalSince1970() &&
      now.timeIntervalSinceDate(*lastAppInstanceIDUpdateTimestamp_) < settings.adIDCacheTime) {
    return;
  }

  bool writeBack = !appInstanceID;
  std::optional<std::string> hashed = persistedConfig_->hashedResettableDeviceID();
  std::optional<std::string> cached = resettableDeviceID_;
  const bool limitedAdTracking = identitySupport_->limitedAdTracking();
  const bool adStorageDenied = APMConsentSettingsUtil::isAdStorageDenied();

  APMAppleConsentStatus status = APMAppleConsentStatus::unavailable;
  std::optional<std::string> identifier;
  if (iOS14OrAbove()) {
    bool authorized = false;
    if (!identitySupport_->hasLimitedAdTracking()) {
      status = APMAppleConsentStatus::unavailable;
    } else if (!identitySupport_->hasAppDataConsentStatus()) {
      status = APMAppleConsentStatus::noUsableStatus;
    } else {
      switch (identitySupport_->appDataConsentStatus()) {
        case uint64_t(APMAppDataConsentStatus::notDetermined): status = APMAppleConsentStatus::notDetermined; break;
        case uint64_t(APMAppDataConsentStatus::restricted): status = APMAppleConsentStatus::restricted; break;
        case uint64_t(APMAppDataConsentStatus::denied): status = APMAppleConsentStatus::denied; break;
        case uint64_t(APMAppDataConsentStatus::authorized):
          status = APMAppleConsentStatus::authorized;
          authorized = true;
          break;
        default: status = APMAppleConsentStatus::noUsableStatus; break;
      }
    }
    if (adStorageDenied) {
      cached.reset();
    } else if (authorized || !settings.gateIDFAOnATTMASEnabled) {
      identifier = identitySupport_->resettableDeviceID();
    }
    // Otherwise gated: no identifier, the cached one stays.
  } else {
    if (adStorageDenied) cached.reset();
    else identifier = identitySupport_->resettableDeviceID();
  }

  if (identifier && !identifier->empty()) {
    if (*identifier == kAPMZeroResettableDeviceID) {
      cached.reset();
    } else if (std::optional<std::string> digest = apm_MD5String(*identifier)) {
      if (digest != hashed) {
        if (hashed) {
          // Another device identity: the old app instance ID goes with it.
          appInstanceID = randomAppInstanceID();
          persistedConfig_->setShouldSetLastAdvertisingIDResetUserProperty(true);
        }
        hashed = digest;
        writeBack = true;
      }
      cached = identifier;
    }
  }

  if (writeBack) {
    if (!APMConsentSettingsUtil::isAnalyticsStorageDenied()) {
      persistedConfig_->setAppInstanceID(appInstanceID ? *appInstanceID : randomAppInstanceID());
    }
    if (!adStorageDenied) persistedConfig_->setHashedResettableDeviceID(hashed);
  }

  lastAppInstanceIDUpdateTimestamp_ = now;
  limitedAdTracking_ = limitedAdTracking;
  resettableDeviceID_ = std::move(cached);
  appleConsentStatus_ = status;
}

// ---- Readers with a refresh ----

// The refresh runs in the reader's own synchronous block, after everything
// queued before it, as a queued refresh would: one hop instead of a queued
// block and a wait for it.
APMAppleConsentStatus APMIdentity::appleConsentStatus() {
  return refreshedRead([this] { return appleConsentStatus_; });
}

bool APMIdentity::hasLimitedAdTracking() {
  return refreshedRead([this] { return identitySupport_->hasLimitedAdTracking(); });
}

bool APMIdentity::limitedAdTracking() {
  return refreshedRead([this] { return limitedAdTracking_; });
}

std::optional<std::string> APMIdentity::resettableDeviceID() {
  return refreshedRead([this] { return resettableDeviceID_; });
}

std::optional<std::string> APMIdentity::appInstanceID() {
  if (APMConsentSettingsUtil::isAnalyticsStorageDenied()) return std::nullopt;
  return refreshedRead([this] { return persistedConfig_->appInstanceID(); });
}

std::optional<std::string> APMIdentity::hashedResettableDeviceID() {
  if (APMConsentSettingsUtil::isAdStorageDenied()) return std::nullopt;
  return refreshedRead([this] { return persistedConfig_->hashedResettableDeviceID(); });
}

// ---- Readers on the worker queue ----

std::optional<std::string> APMIdentity::appIDFromZEV() {
  return queue_->sync([this] { return appIDFromZEV_; });
}

std::optional<std::string> APMIdentity::appIDFromRoZar() {
  return queue_->sync([this] { return appIDFromRoZar_; });
}

bool APMIdentity::shouldSetLastAdvertisingIDResetUserProperty() {
  return queue_->sync([this] { return persistedConfig_->shouldSetLastAdvertisingIDResetUserProperty(); });
}

std::string APMIdentity::diversionKey() {
  return queue_->sync([this] {
    if (std::optional<std::string> key = persistedConfig_->diversionKey();
        key && apm_UTF32Length(*key) == kAPMDiversionKeyLength) {
      return *key;
    }
    std::string key = randomAppInstanceID().substr(0, kAPMDiversionKeyLength);
    persistedConfig_->setDiversionKey(key);
    return key;
  });
}

std::string APMIdentity::ephemeralAppInstanceID() {
  return queue_->sync([this] {
    if (!ephemeralAppInstanceID_) ephemeralAppInstanceID_ = randomAppInstanceID();
    return *ephemeralAppInstanceID_;
  });
}

std::optional<std::string> APMIdentity::sessionStitchingTokenWithSessionNumber(int64_t sessionNumber,
                                                                               bool sessionExpired,
                                                                               bool userIDAvailable) {
  return queue_->sync([&]() -> std::optional<std::string> {
    if (APMConsentSettingsUtil::isAnalyticsStorageDenied()) return std::nullopt;
    const bool sameSession = sessionNumber == lastSessionNumber_ && sessionExpired == lastIsSessionExpired_;
    const bool resumedSession = lastSessionNumber_ != std::numeric_limits<int64_t>::max() &&
                                sessionNumber == lastSessionNumber_ + 1 && lastIsSessionExpired_ && !sessionExpired;
    if (!sameSession && !resumedSession) {
      sessionStitchingToken_.reset();
      sessionStitchingTokenExpirationTime_.reset();
    }
    lastSessionNumber_ = sessionNumber;
    lastIsSessionExpired_ = sessionExpired;
    const os::Date now = os::Date::now();
    if (!userIDAvailable && sessionStitchingTokenExpirationTime_ &&
        sessionStitchingTokenExpirationTime_->timeIntervalSince1970() <= now.timeIntervalSince1970()) {
      sessionStitchingToken_.reset();
      sessionStitchingTokenExpirationTime_.reset();
    }
    if (!sessionStitchingToken_) {
      sessionStitchingToken_ = randomAppInstanceID();
      if (!userIDAvailable) sessionStitchingTokenExpirationTime_ = now.addingTimeInterval(kAPMSessionStitchingTokenLifetime);
    }
    return sessionStitchingToken_;
  });
}

// ---- Writers ----

void APMIdentity::setAppInstanceID(std::optional<std::string> appInstanceID) {
  queue_->async([config = persistedConfig_, appInstanceID = std::move(appInstanceID)] {
    config->setAppInstanceID(appInstanceID);
  });
}

void APMIdentity::setAppIDFromZEV(std::optional<std::string> appID) {
  if (!appID || appID->empty()) {
    monitor()->logWithLevel(2, kAPMIdentityCodeEmptyAppID, "Cannot set empty Devuvo App ID");
    return;
  }
  if (gAppIDFromZEVTaken.exchange(true)) return;
  queue_->async([self = shared_from_this(), appID = std::move(appID)] { self->appIDFromZEV_ = appID; });
}

void APMIdentity::setAppIDFromRoZar(std::optional<std::string> appID) {
  if (!appID || appID->empty()) {
    monitor()->logWithLevel(2, kAPMIdentityCodeEmptyRoZarAppID, "Cannot set empty RoZar App ID");
    return;
  }
  if (gAppIDFromRoZarTaken.exchange(true)) return;
  queue_->async([self = shared_from_this(), appID = std::move(appID)] { self->appIDFromRoZar_ = appID; });
}

void APMIdentity::TEST_resetAppIDOnce() {
  gAppIDFromZEVTaken = false;
  gAppIDFromRoZarTaken = false;
}

void APMIdentity::setShouldSetLastAdvertisingIDResetUserProperty(bool shouldSet) {
  queue_->async([config = persistedConfig_, shouldSet] { config->setShouldSetLastAdvertisingIDResetUserProperty(shouldSet); });
}

void APMIdentity::resetSessionStitchingToken() {
  queueWeakly([](APMIdentity& self) { self.resetSessionStitchingTokenOnWorkerQueue(); });
}

void APMIdentity::resetSessionStitchingTokenOnWorkerQueue() {
  sessionStitchingToken_.reset();
  sessionStitchingTokenExpirationTime_.reset();
}

void APMIdentity::resetEphemeralAppInstanceID() {
  queueWeakly([](APMIdentity& self) { self.resetEphemeralAppInstanceIDOnWorkerQueue(); });
}

void APMIdentity::resetEphemeralAppInstanceIDOnWorkerQueue() { ephemeralAppInstanceID_.reset(); }

// ---- Vendor identifier and installation ID ----

std::optional<std::string> APMIdentity::identifierForVendor() {
  if (std::optional<std::string> advertising = resettableDeviceID(); advertising && !advertising->empty()) {
    return std::nullopt;
  }
  if (isIDFVCollectionEnabledNumber_ && !isIDFVCollectionEnabledNumber_->boolValue()) return std::nullopt;
  if (APMConsentSettingsUtil::isAnalyticsStorageDenied()) return std::nullopt;
  if (auto cached = queue_->sync([this] { return identifierForVendorString_; })) return cached;

  std::optional<std::string> vendor;
  const auto read = [&vendor] {
    if (auto identifier = UIDevice::currentDevice()->identifierForVendor()) vendor = identifier->UUIDString();
  };
  if (os::DispatchQueue::isMainThread()) read();
  else os::DispatchQueue::main()->sync(read);
  queueWeakly([vendor](APMIdentity& self) { self.identifierForVendorString_ = vendor; });
  return vendor;
}

std::optional<std::string> APMIdentity::vivuzuvuInstallationID() const {
  std::lock_guard lock(installationIDMutex_);
  return vivuzuvuInstallationID_;
}

void APMIdentity::setVivuzuvuInstallationID(std::optional<std::string> installationID) {
  std::lock_guard lock(installationIDMutex_);
  vivuzuvuInstallationID_ = std::move(installationID);
}
