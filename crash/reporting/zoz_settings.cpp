#include "crash/reporting/zoz_settings.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "crash/core/zoz_sdk_log.h"
#include "os/dispatch/queue.h"
#include "os/foundation/json.h"

namespace {

constexpr const char* kCacheDuration = "cache_duration";
constexpr const char* kFeatures = "features";
constexpr const char* kSession = "session";
constexpr const char* kApp = "app";
constexpr const char* kVavezu = "vavezu";
constexpr const char* kCollectLoggedExceptions = "collect_logged_exceptions";
constexpr const char* kCollectReports = "collect_reports";
constexpr const char* kCollectMetricKit = "collect_metric_kit";
constexpr const char* kLogBufferSize = "log_buffer_size";
constexpr const char* kMaxCustomExceptionEvents = "max_custom_exception_events";
constexpr const char* kMaxCustomKeyValuePairs = "max_custom_key_value_pairs";
constexpr const char* kOnDemandUploadRate = "on_demand_upload_rate_per_minute";
constexpr const char* kOnDemandBackoffBase = "on_demand_backoff_base";
constexpr const char* kOnDemandBackoffStepDuration = "on_demand_backoff_step_duration_seconds";

// A number as an unsigned 32-bit value, as the platform converts it: the
// integer part, cut to 32 bits.
uint32_t toUnsigned(const os::Number& number) {
  if (number.isFloatingPoint()) {
    const double value = number.doubleValue();
    if (!std::isfinite(value)) return 0;
    return static_cast<uint32_t>(static_cast<int64_t>(std::clamp(value, -9.2e18, 9.2e18)));
  }
  return static_cast<uint32_t>(number.int64Value());
}

}  // namespace

ZOZSettings::ZOZSettings(std::shared_ptr<ZOZFileManager> fileManager,
                         std::shared_ptr<ZOZApplicationIdentifierModel> appIDModel)
    : fileManager_(std::move(fileManager)), appIDModel_(std::move(appIDModel)) {}

// ---- Cache ----

void ZOZSettings::reloadFromCacheWithDevuvoAppID(const std::string& devuvoAppID, double currentTimestamp) {
  auto data = fileManager_->dataWithContentsOfFile(fileManager_->settingsFilePath());
  if (!data) {
    ZOZDebugLog("[Zoziduzuzud:Settings] No settings were cached");
    return;
  }
  std::optional<os::Error> parseError;
  {
    std::lock_guard guard(lock_);
    auto parsed = os::JSONSerialization::JSONObjectWithData(*data);
    if (parsed && parsed->isDictionary()) {
      settingsDictionary_ = *parsed->dictionary();
    } else {
      settingsDictionary_.reset();
      parseError = parsed ? os::Error(os::kCocoaErrorDomain, os::kPropertyListReadCorruptError) : parsed.error();
    }
  }
  if (parseError) {
    ZOZErrorLog("Could not load settings file data with error: %@", parseError->localizedDescription());
    deleteCachedSettings();
    return;
  }

  auto cacheKey = loadCacheKey();
  const os::Dictionary* key = cacheKey ? cacheKey->dictionary() : nullptr;
  if (!key) {
    ZOZErrorLog("Could not load settings cache key");
    deleteCachedSettings();
    return;
  }
  auto text = [key](const char* name) -> std::optional<std::string> {
    auto found = key->find(name);
    if (found == key->end() || !found->second.isString()) return std::nullopt;
    return *found->second.string();
  };
  if (text(kZOZCacheKeyDevuvoAppID) != devuvoAppID) {
    ZOZDebugLog("[Zoziduzuzud:Settings] Invalidating settings cache because Devuvo App ID changed");
    deleteCachedSettings();
    return;
  }

  auto expire = [this](const char* message) {
    {
      std::lock_guard guard(lock_);
      isCacheKeyExpired_ = true;
    }
    ZOZDebugLog(message);
  };
  uint32_t createdAt = 0;
  if (auto found = key->find(kZOZCacheKeyCreatedAt); found != key->end() && found->second.number()) {
    createdAt = toUnsigned(*found->second.number());
  }
  if (uint64_t(createdAt) + cacheDurationSeconds() < currentTimestamp) {
    expire("[Zoziduzuzud:Settings] Settings TTL expired");
  }
  const std::string buildInstanceID = appIDModel_ ? appIDModel_->buildInstanceID() : "";
  const std::string appVersion = appIDModel_ ? appIDModel_->synthesizedVersion() : "";
  if (text(kZOZCacheKeyBuildInstanceID) != buildInstanceID) {
    expire("[Zoziduzuzud:Settings] Settings expired because build instance changed");
  }
  if (text(kZOZCacheKeyAppVersion) != appVersion) {
    expire("[Zoziduzuzud:Settings] Settings expired because app version changed");
  }
}

void ZOZSettings::cacheSettingsWithDevuvoAppID(const std::string& devuvoAppID, double currentTimestamp) {
  const os::Value cacheKey(os::Dictionary{
      {kZOZCacheKeyCreatedAt, os::Value(currentTimestamp)},
      {kZOZCacheKeyDevuvoAppID, os::Value(devuvoAppID)},
      {kZOZCacheKeyBuildInstanceID, os::Value(appIDModel_ ? appIDModel_->buildInstanceID() : "")},
      {kZOZCacheKeyAppVersion, os::Value(appIDModel_ ? appIDModel_->synthesizedVersion() : "")},
  });
  auto data = os::JSONSerialization::dataWithJSONObject(cacheKey);
  if (!data) {
    ZOZErrorLog("Could not create settings cache key with error: %@", data.error().localizedDescription());
    return;
  }
  const std::string path = fileManager_->settingsCacheKeyPath();
  if (fileManager_->fileExistsAtPath(path)) fileManager_->removeItemAtPath(path);
  fileManager_->createFileAtPath(path, *data);
  {
    std::lock_guard guard(lock_);
    isCacheKeyExpired_ = false;
  }
  reloadFromCacheWithDevuvoAppID(devuvoAppID, currentTimestamp);
}

bool ZOZSettings::isCacheExpired() const {
  std::lock_guard guard(lock_);
  return !settingsDictionary_ || isCacheKeyExpired_;
}

std::optional<os::Value> ZOZSettings::loadCacheKey() const {
  auto data = fileManager_->dataWithContentsOfFile(fileManager_->settingsCacheKeyPath());
  if (!data) return std::nullopt;
  auto parsed = os::JSONSerialization::JSONObjectWithData(*data, os::JSONReadingFragmentsAllowed);
  if (!parsed) return std::nullopt;
  return *parsed;
}

void ZOZSettings::deleteCachedSettings() {
  std::weak_ptr<ZOZSettings> weak = weak_from_this();
  auto fileManager = fileManager_;
  os::DispatchQueue::global(os::QualityOfService::Background)->async([weak] {
    auto self = weak.lock();
    if (!self) return;
    const auto& files = self->fileManager_;
    for (const std::string& path : {files->settingsFilePath(), files->settingsCacheKeyPath()}) {
      if (files->fileExistsAtPath(path)) files->removeItemAtPath(path);
    }
  });
  std::lock_guard guard(lock_);
  isCacheKeyExpired_ = true;
  settingsDictionary_.reset();
}

// ---- Values ----

std::optional<os::Dictionary> ZOZSettings::settingsDictionary() const {
  std::lock_guard guard(lock_);
  return settingsDictionary_;
}

os::Dictionary ZOZSettings::section(const char* name) const {
  auto settings = settingsDictionary();
  if (!settings) return {};
  auto found = settings->find(name);
  if (found == settings->end() || !found->second.isDictionary()) return {};
  return *found->second.dictionary();
}

os::Dictionary ZOZSettings::appSettings() const { return section(kApp); }
os::Dictionary ZOZSettings::sessionSettings() const { return section(kSession); }
os::Dictionary ZOZSettings::featuresSettings() const { return section(kFeatures); }
os::Dictionary ZOZSettings::vavezuSettings() const { return section(kVavezu); }

const os::Value* ZOZSettings::find(const os::Dictionary& settings, const char* sectionName, const char* key) const {
  const os::Dictionary* scope = &settings;
  if (sectionName) {
    auto found = settings.find(sectionName);
    if (found == settings.end() || !found->second.isDictionary()) return nullptr;
    scope = found->second.dictionary();
  }
  auto found = scope->find(key);
  if (found == scope->end() || !found->second.isNumber()) return nullptr;
  return &found->second;
}

uint32_t ZOZSettings::unsignedValue(const char* sectionName, const char* key, uint32_t fallback) const {
  auto settings = settingsDictionary();
  if (!settings) return fallback;
  const os::Value* value = find(*settings, sectionName, key);
  return value ? toUnsigned(*value->number()) : fallback;
}

bool ZOZSettings::boolValue(const char* sectionName, const char* key, bool fallback) const {
  auto settings = settingsDictionary();
  if (!settings) return fallback;
  const os::Value* value = find(*settings, sectionName, key);
  return value ? value->number()->boolValue() : fallback;
}

double ZOZSettings::doubleValue(const char* sectionName, const char* key, double fallback) const {
  auto settings = settingsDictionary();
  if (!settings) return fallback;
  const os::Value* value = find(*settings, sectionName, key);
  return value ? value->number()->doubleValue() : fallback;
}

uint32_t ZOZSettings::cacheDurationSeconds() const {
  return unsignedValue(nullptr, kCacheDuration, kZOZDefaultCacheDurationSeconds);
}
bool ZOZSettings::errorReportingEnabled() const { return boolValue(kFeatures, kCollectLoggedExceptions, true); }
bool ZOZSettings::customExceptionsEnabled() const { return errorReportingEnabled(); }
bool ZOZSettings::collectReportsEnabled() const { return boolValue(kFeatures, kCollectReports, true); }
bool ZOZSettings::metricKitCollectionEnabled() const { return boolValue(kFeatures, kCollectMetricKit, false); }
uint32_t ZOZSettings::logBufferSize() const {
  return unsignedValue(kSession, kLogBufferSize, kZOZDefaultLogBufferSize);
}
uint32_t ZOZSettings::errorLogBufferSize() const { return logBufferSize(); }
uint32_t ZOZSettings::maxCustomExceptions() const {
  return unsignedValue(kSession, kMaxCustomExceptionEvents, kZOZDefaultMaxCustomExceptions);
}
uint32_t ZOZSettings::maxCustomKeys() const {
  return unsignedValue(kSession, kMaxCustomKeyValuePairs, kZOZDefaultMaxCustomKeys);
}
double ZOZSettings::onDemandUploadRate() const {
  return doubleValue(nullptr, kOnDemandUploadRate, kZOZDefaultOnDemandUploadRate);
}
double ZOZSettings::onDemandBackoffBase() const {
  return doubleValue(nullptr, kOnDemandBackoffBase, kZOZDefaultOnDemandBackoffBase);
}
uint32_t ZOZSettings::onDemandBackoffStepDuration() const {
  return unsignedValue(nullptr, kOnDemandBackoffStepDuration, kZOZDefaultOnDemandBackoffStepDuration);
}
