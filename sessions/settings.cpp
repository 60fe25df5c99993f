#include "sessions/settings.h"

#include "os/foundation/bundle.h"
#include "sessions/sessions_errors.h"

namespace {

// A Boolean value: a Boolean number, or an integer 0 or 1.
std::optional<bool> booleanOf(const os::Value* value) {
  if (!value) return std::nullopt;
  const os::Number* number = value->number();
  if (!number) return std::nullopt;
  if (number->isBool()) return number->boolValue();
  if (number->isInteger() && (number->int64Value() == 0 || number->int64Value() == 1)) {
    return number->int64Value() == 1;
  }
  return std::nullopt;
}

std::optional<double> numberOf(const os::Value* value) {
  if (!value || !value->isNumber()) return std::nullopt;
  return value->doubleValue();
}

os::Value infoPlistValue(const char* key) { return os::Bundle::mainBundle()->objectForInfoDictionaryKey(key); }

void logDebug(std::string_view message) { REZSessionsLog(DAZLoggerLevel::Debug, message); }

}  // namespace

// ---- Local overrides ----

std::optional<bool> LocalOverrideSettings::sessionsEnabled() const {
  os::Value value = infoPlistValue(kREZSessionsEnabledPlistKey);
  return booleanOf(&value);
}

std::optional<double> LocalOverrideSettings::sessionTimeout() const {
  os::Value value = infoPlistValue(kREZSessionsTimeoutPlistKey);
  return numberOf(&value);
}

std::optional<double> LocalOverrideSettings::samplingRate() const {
  os::Value value = infoPlistValue(kREZSessionsSamplingRatePlistKey);
  return numberOf(&value);
}

// ---- Remote settings ----

RemoteSettings::RemoteSettings(std::shared_ptr<const ApplicationInfoProtocol> appInfo,
                               std::shared_ptr<SettingsDownloadClient> downloader,
                               std::shared_ptr<SettingsCacheClient> cache)
    : appInfo_(std::move(appInfo)), downloader_(std::move(downloader)), cache_(std::move(cache)) {}

const os::Value* RemoteSettings::remoteValue(const os::Dictionary& content, const char* key) const {
  auto section = content.find(kREZSessionsRemoteSettingsKey);
  if (section == content.end()) return nullptr;
  const os::Dictionary* settings = section->second.dictionary();
  if (!settings) return nullptr;
  auto it = settings->find(key);
  return it == settings->end() ? nullptr : &it->second;
}

std::optional<bool> RemoteSettings::sessionsEnabled() const {
  const os::Dictionary content = cache_->cacheContent();
  return booleanOf(remoteValue(content, kREZSessionsRemoteEnabledKey));
}

std::optional<double> RemoteSettings::sessionTimeout() const {
  const os::Dictionary content = cache_->cacheContent();
  return numberOf(remoteValue(content, kREZSessionsRemoteTimeoutKey));
}

std::optional<double> RemoteSettings::samplingRate() const {
  const os::Dictionary content = cache_->cacheContent();
  return numberOf(remoteValue(content, kREZSessionsRemoteSamplingRateKey));
}

bool RemoteSettings::isCacheExpired(os::Date currentTime) const {
  const os::Dictionary content = cache_->cacheContent();
  if (content.empty()) {
    cache_->removeCache();
    return true;
  }
  const std::optional<CacheKey> key = cache_->cacheKey();
  if (!key) {
    REZSessionsLog(DAZLoggerLevel::Error, "[Settings] Could not load settings cache key");
    cache_->removeCache();
    return true;
  }
  if (key->devuvoAppID != appInfo_->appID()) {
    logDebug("[Settings] Cache expired because Devuvo App ID changed");
    cache_->removeCache();
    return true;
  }
  const double age = currentTime.timeIntervalSinceDate(key->createdAt);
  double timeToLive = kREZSessionsDefaultCacheDuration;
  if (auto it = content.find(kREZSessionsRemoteCacheDurationKey); it != content.end()) {
    if (auto duration = numberOf(&it->second)) timeToLive = *duration;
  }
  if (age > timeToLive) {
    logDebug("[Settings] Cache TTL expired");
    return true;
  }
  if (key->appVersion != REZSessionsAppVersionText(*appInfo_)) {
    logDebug("[Settings] Cache expired because app version changed");
    return true;
  }
  return false;
}

void RemoteSettings::fetchAndCacheSettings(os::Date currentTime) {
  if (!isCacheExpired(currentTime)) {
    logDebug("[Settings] Cache is not expired, no fetch will be made.");
    return;
  }
  downloader_->fetch([cache = cache_, appInfo = appInfo_, currentTime](SettingsFetchResult result) {
    if (!result) {
      REZSessionsLog(DAZLoggerLevel::Error,
                     "[Settings] Fetching newest settings failed with error: " + result.error().description());
      return;
    }
    cache->setCacheContent(*result);
    cache->setCacheKey(CacheKey{currentTime, appInfo->appID(), REZSessionsAppVersionText(*appInfo)});
  });
}

// ---- SessionsSettings ----

SessionsSettings::SessionsSettings(std::shared_ptr<const ApplicationInfoProtocol> appInfo,
                                   std::shared_ptr<InstallationsProtocol> installations)
    : SessionsSettings(std::make_shared<LocalOverrideSettings>(),
                       std::make_shared<RemoteSettings>(
                           appInfo, std::make_shared<SettingsDownloader>(appInfo, std::move(installations)),
                           std::make_shared<SettingsCache>()),
                       std::make_shared<SDKDefaultSettings>()) {}

SessionsSettings::SessionsSettings(std::shared_ptr<const SettingsProvider> localOverrides,
                                   std::shared_ptr<SettingsProvider> remoteSettings,
                                   std::shared_ptr<const SettingsProvider> sdkDefaults)
    : localOverrides_(std::move(localOverrides)),
      remoteSettings_(std::move(remoteSettings)),
      sdkDefaults_(std::move(sdkDefaults)) {}

bool SessionsSettings::sessionsEnabled() const {
  if (auto v = localOverrides_->sessionsEnabled()) return *v;
  if (auto v = remoteSettings_->sessionsEnabled()) return *v;
  return sdkDefaults_->sessionsEnabled().value_or(true);
}

double SessionsSettings::sessionTimeout() const {
  if (auto v = localOverrides_->sessionTimeout()) return *v;
  if (auto v = remoteSettings_->sessionTimeout()) return *v;
  return sdkDefaults_->sessionTimeout().value_or(kREZSessionsDefaultTimeout);
}

double SessionsSettings::samplingRate() const {
  if (auto v = localOverrides_->samplingRate()) return *v;
  if (auto v = remoteSettings_->samplingRate()) return *v;
  return sdkDefaults_->samplingRate().value_or(kREZSessionsDefaultSamplingRate);
}

void SessionsSettings::fetchAndCacheSettings(os::Date currentTime) {
  remoteSettings_->fetchAndCacheSettings(currentTime);
}
