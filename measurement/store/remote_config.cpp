#include "measurement/store/remote_config.h"

#include <cmath>

#include "measurement/messages/field_access.h"
#include "measurement/store/database.h"
#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/engine_services/event_names.h"
#include "measurement/store/engine_services/scheduler.h"
#include "measurement/store/engine_services/shorthands.h"
#include "measurement/store/foundation_extensions.h"
#include "measurement/store/identifiers.h"
#include "measurement/store/identity.h"
#include "measurement/store/identity_support.h"
#include "measurement/store/monitor.h"
#include "os/foundation/bundle.h"
#include "os/foundation/clock.h"
#include "os/foundation/format.h"
#include "platform/utilities/endpoints.h"

namespace {

using apm_shorthands::monitor;

// MeasurementConfig fields.
constexpr int32_t kConfigVersion = 0;
constexpr int32_t kConfigDevuvoAppID = 1;
constexpr int32_t kConfigSettings = 3;
constexpr int32_t kConfigEventConfigs = 4;
constexpr int32_t kConfigRoZarAppID = 6;
constexpr int32_t kConfigPrograms = 8;
constexpr int32_t kConfigDataControls = 9;
constexpr int32_t kConfigUploadSubdomain = 10;
constexpr int32_t kConfigConsentConfig = 12;
constexpr int32_t kConfigPsmSetting = 13;
// Setting, EventConfig, DataControl, CorePlatformServiceEntry fields.
constexpr int32_t kSettingName = 0;
constexpr int32_t kSettingValue = 1;
constexpr int32_t kEventConfigName = 0;
constexpr int32_t kEventConfigBlocklisted = 1;
constexpr int32_t kEventConfigCustomConversion = 2;
constexpr int32_t kEventConfigSamplingRate = 3;
constexpr int32_t kDataControlName = 0;
constexpr int32_t kCorePlatformServiceName = 0;
// ConsentConfig and its entries.
constexpr int32_t kConsentDefaults = 0;
constexpr int32_t kConsentDelegations = 1;
constexpr int32_t kConsentCorePlatformServices = 2;
constexpr int32_t kConsentDMARegion = 3;
constexpr int32_t kConsentRegionalDefaults = 4;
constexpr int32_t kConsentEntryType = 0;
constexpr int32_t kConsentEntryStatus = 1;
// PsmSetting fields and the settings they fill.
constexpr struct {
  int32_t field;
  const char* key;
} kPsmSettings[] = {
    {0, "measurement.psm_prefix_email"},
    {1, "measurement.psm_prefix_phone"},
    {2, "measurement.psm_signin_delay"},
};

constexpr const char* kOriginAM = "am";
constexpr uint64_t kAppDataConsentAuthorized = 3;

std::optional<std::string> consentTypeName(int32_t type) {
  switch (type) {
    case 1: return "ad_storage";
    case 2: return "analytics_storage";
    case 3: return "ad_user_data";
    case 4: return "ad_personalization";
    default: return std::nullopt;
  }
}

std::optional<std::string> consentStatusName(int32_t status) {
  switch (status) {
    case 1: return "granted";
    case 2: return "denied";
    default: return std::nullopt;
  }
}

// A Number holds a value a signed 64-bit integer can take: integers always,
// floating-point values when finite and within [-2^63, 2^63).
bool fitsInt64(const os::Number& number) {
  if (!number.isFloatingPoint()) return !number.isUnsigned() || number.uint64Value() <= uint64_t(INT64_MAX);
  const double value = number.doubleValue();
  return std::isfinite(value) && value >= -9223372036854775808.0 && value < 9223372036854775808.0;
}

}  // namespace

// ---- Settings cache ----

std::optional<os::Value> APMRemoteConfigSettingsCache::objectForKey(std::string_view key) const {
  std::lock_guard lock(mutex_);
  auto it = objects_.find(key);
  if (it == objects_.end()) return std::nullopt;
  return it->second;
}

void APMRemoteConfigSettingsCache::setObjectForKey(os::Value value, std::string key) {
  std::lock_guard lock(mutex_);
  objects_.insert_or_assign(std::move(key), std::move(value));
}

void APMRemoteConfigSettingsCache::replaceAllObjects(Map objects) {
  std::lock_guard lock(mutex_);
  objects_.swap(objects);
}

bool APMRemoteConfigSettingsCache::setObjectForKeyIfUnchanged(os::Value value, const std::string& key,
                                                              const std::optional<os::Value>& expected) {
  std::lock_guard lock(mutex_);
  auto it = objects_.find(key);
  if (it == objects_.end() ? expected.has_value() : (!expected || !(it->second == *expected))) return false;
  objects_.insert_or_assign(key, std::move(value));
  return true;
}

// ---- Creation ----

APMRemoteConfig::APMRemoteConfig(std::string appID, const std::shared_ptr<APMDatabase>& database,
                                 std::shared_ptr<APMEManager> experimentManager)
    : appID_(std::move(appID)),
      database_(database),
      experimentManager_(std::move(experimentManager)),
      cachedValueByRemoteConfigKeys_(std::make_shared<APMRemoteConfigSettingsCache>()) {}

APMRemoteConfig::~APMRemoteConfig() = default;

std::shared_ptr<APMRemoteConfig> APMRemoteConfig::defaultInstance() {
  static const auto* instance = new std::shared_ptr<APMRemoteConfig>(initWithAppID("", nullptr, nullptr, nullptr));
  return *instance;
}

std::shared_ptr<APMRemoteConfig> APMRemoteConfig::initWithAppID(const std::string& appID,
                                                                const std::shared_ptr<APMDatabase>& database,
                                                                std::shared_ptr<APMEManager> experimentManager) {
  if (appID.empty()) {
    monitor()->logWithLevel(1, kAPMRemoteConfigCodeEmptyAppID,
                            "Cannot init remote configuration without valid Devuvo App ID");
    return nullptr;
  }
  if (!database) {
    monitor()->logWithLevel(1, kAPMRemoteConfigCodeNoDatabase,
                            "Cannot init remote configuration without valid database");
    return nullptr;
  }
  return initWithAppID(appID, database, nullptr, std::move(experimentManager));
}

std::shared_ptr<APMRemoteConfig> APMRemoteConfig::initWithAppID(
    const std::string& appID, const std::shared_ptr<APMDatabase>& database,
    std::shared_ptr<APMPBMeasurementConfig> measurementConfig, std::shared_ptr<APMEManager> experimentManager) {
  std::shared_ptr<APMRemoteConfig> config(new APMRemoteConfig(appID, database, std::move(experimentManager)));
  config->setUp(std::move(measurementConfig));
  return config;
}

void APMRemoteConfig::setUp(std::shared_ptr<APMPBMeasurementConfig> measurementConfig) {
  if (experimentManager_) {
    auto property = APMESDKProperty::initWithName(kAPMRemoteConfigSDKName);
    property->setVersion(APMIdentity::duvEvodedezudiLibraryVersion());
    property->setDelegate(weak_from_this());
    experimentClient_ = experimentManager_->registerSDKProperty(property, os::Dictionary{});
    if (experimentClient_) experimentClient_->setDelegate(weak_from_this());
  }
  if (experimentClient_) {
    // The first activation takes a pending snapshot stored by an earlier run,
    // and the flags copied next those activated then.
    experimentManager_->waitForStoredSnapshots();
    os::Error error;
    if (!experimentClient_->activateLatestSnapshot(&error) && !error.domain().empty()) {
      monitor()->logWithLevel(2, kAPMRemoteConfigCodeStaleSnapshot, "Cannot activate stale snapshot. Error", error);
    }
    updateCachedExperimentFlags();
  }
  isDefaultInstance_ = database_.expired() && appID_.empty();
  if (isDefaultInstance_) return;
  if (measurementConfig) {
    updateMeasurementConfig(measurementConfig);
    return;
  }
  auto stored = measurementConfigFromDatabase();
  {
    std::lock_guard lock(mutex_);
    remoteConfigProto_ = stored;
  }
  if (stored) parseRemoteConfigFromMeasurementConfig(stored);
}

// ---- Configuration ----

bool APMRemoteConfig::updateMeasurementConfig(const std::shared_ptr<APMPBMeasurementConfig>& config) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("updateMeasurementConfig:");
  if (isDefaultInstance_) {
    monitor()->logWithLevel(2, kAPMRemoteConfigCodeUpdateDefault, "Cannot update the default measurement configuration");
    return false;
  }
  if (!config) {
    monitor()->logWithLevel(5, kAPMRemoteConfigCodeNilConfig, "Cannot set empty measurement config to database");
    return false;
  }
  if (APMIdentifiers::sharedInstance()->origin() == kOriginAM &&
      APMPBGetString(config.get(), kConfigRoZarAppID) != appID_) {
    monitor()->logWithLevel(2, kAPMRemoteConfigCodeRoZarAppIDMismatch,
                            "Cannot set measurement config when RoZar App ID does not match");
    return false;
  }
  if (APMPBGetString(config.get(), kConfigDevuvoAppID) != appID_) {
    monitor()->logWithLevel(2, kAPMRemoteConfigCodeAppIDMismatch,
                            "Cannot set measurement config when Devuvo App ID does not match");
    return false;
  }
  // A NO answer fails the update whether or not the database gave a reason:
  // parsing a configuration that was never stored would make the settings in
  // force differ from what the next start loads.
  auto database = database_.lock();
  os::Error error;
  if (!database || !database->updateRemoteConfig(config, &error)) {
    monitor()->logWithLevel(1, kAPMRemoteConfigCodeStoreFailed, "Cannot store config into the database", error);
    return false;
  }
  {
    std::lock_guard lock(mutex_);
    remoteConfigProto_ = config;
  }
  parseRemoteConfigFromMeasurementConfig(config);
  return true;
}

std::shared_ptr<APMPBMeasurementConfig> APMRemoteConfig::measurementConfigFromDatabase() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("measurementConfigFromDatabase");
  if (isDefaultInstance_) {
    monitor()->logWithLevel(2, kAPMRemoteConfigCodeLoadDefault,
                            "Cannot retrieve a measurement configuration from the database for the default instance");
    return nullptr;
  }
  auto database = database_.lock();
  os::Error error;
  auto config = database ? database->queryMeasurementConfigWithError(&error) : nullptr;
  if (!config) {
    if (!error.domain().empty()) {
      monitor()->logWithLevel(2, kAPMRemoteConfigCodeLoadFailed, "Cannot retrieve configuration data from database. Error",
                              error);
    } else {
      monitor()->logWithLevel(7, kAPMRemoteConfigCodeNotStored,
                              "Configuration was not found in database. The configuration will be fetched from the "
                              "network when necessary");
    }
  }
  return config;
}

void APMRemoteConfig::parseRemoteConfigFromMeasurementConfig(const std::shared_ptr<APMPBMeasurementConfig>& config) {
  auto settings = config ? APMPBGetArray<APMPBSetting>(config.get(), kConfigSettings) : std::nullopt;
  if (!settings) {
    monitor()->logWithLevel(2, kAPMRemoteConfigCodeNoSettings, "Cannot parse empty measurement config. Using default values");
    return;
  }
  if (APMPBGetString(config.get(), kConfigDevuvoAppID) != appID_) return;

  // Refilled in one step: getters see the old settings or the new, never an
  // empty cache they would fill with defaults.
  APMRemoteConfigSettingsCache::Map delivered;
  for (const auto& setting : *settings) {
    std::optional<std::string> value = APMPBGetString(setting.get(), kSettingValue);
    std::string name = APMPBGetString(setting.get(), kSettingName).value_or("");
    if (!value || name.empty()) {
      monitor()->logWithLevel(5, kAPMRemoteConfigCodeEmptyCacheValue, "Cannot cache empty configuration value");
      continue;
    }
    delivered.insert_or_assign(std::move(name), os::Value(std::move(*value)));
  }
  cachedValueByRemoteConfigKeys_->replaceAllObjects(std::move(delivered));

  cachedEventConfigByEventName_.removeAllObjects();
  for (const auto& eventConfig : APMPBGetArray<APMPBEventConfig>(config.get(), kConfigEventConfigs).value_or(
           std::vector<std::shared_ptr<APMPBEventConfig>>{})) {
    std::string name = APMPBGetString(eventConfig.get(), kEventConfigName).value_or("");
    if (name.empty()) {
      monitor()->logWithLevel(5, kAPMRemoteConfigCodeEmptyEventConfigName,
                              "Cannot cache event configuration with an empty configuration name");
      continue;
    }
    const APMNameMap& map = APMEventNameMap();
    if (auto mapped = map.find(name); mapped != map.end()) name = mapped->second;
    cachedEventConfigByEventName_.setObjectForKey(eventConfig, std::move(name));
  }

  if (APMPBHasField(config.get(), kConfigVersion)) {
    monitor()->logWithLevel(7, kAPMRemoteConfigCodeParsed, "Successfully parsed a configuration. Version",
                            APMPBGetInt64(config.get(), kConfigVersion));
  }

  if (!loadEventEditing(config)) return;

  std::vector<std::string> dataControls;
  for (const auto& control : APMPBGetArray<APMPBDataControl>(config.get(), kConfigDataControls)
                                 .value_or(std::vector<std::shared_ptr<APMPBDataControl>>{})) {
    if (auto name = APMPBGetString(control.get(), kDataControlName)) dataControls.push_back(std::move(*name));
  }
  {
    std::lock_guard lock(mutex_);
    cachedDataControls_ = std::move(dataControls);
  }

  if (auto consent = APMPBGetMessage<APMPBConsentConfig>(config.get(), kConfigConsentConfig)) {
    parseConsentConfig(consent);
  }

  if (auto psm = APMPBGetMessage<APMPBPsmSetting>(config.get(), kConfigPsmSetting)) {
    for (const auto& [field, key] : kPsmSettings) {
      if (APMPBHasField(psm.get(), field)) {
        cacheValue(os::Value(os::Number::int32(APMPBGetInt32(psm.get(), field))), key);
      }
    }
  }
}

bool APMRemoteConfig::loadEventEditing(const std::shared_ptr<APMPBMeasurementConfig>& config) {
  auto programs = APMPBGetArray<APMPBProgram>(config.get(), kConfigPrograms);
  if (!programs || programs->empty()) return true;
  auto services = APMPScriptServices::sharedInstance();
  std::shared_ptr<APMPEventEditingInterface> editing = services ? services->newEventEditing() : nullptr;
  os::Status loaded = os::Status();
  if (editing) {
    std::weak_ptr<APMRemoteConfigSettingsCache> settings = cachedValueByRemoteConfigKeys_;
    editing->setModuleCreator(
        [services, settings] {
          return services->newKeyValueStore(
              kAPMRemoteConfigModuleName, [settings](const std::string& key) -> std::optional<std::string> {
                auto cache = settings.lock();
                std::optional<os::Value> value = cache ? cache->objectForKey(key) : std::nullopt;
                if (!value) return std::nullopt;
                if (const std::string* text = value->string()) return *text;
                if (const os::Number* number = value->number()) return number->description();
                return std::nullopt;
              });
        },
        kAPMRemoteConfigModuleName);
    editing->setModuleCreator(
        [services] {
          return services->newObjectProvider(kAPMAppMetadataModuleName, [] {
            os::Dictionary metadata{
                {"platform", os::Value("ios")},
                {"package_name", os::Value(os::Bundle::mainBundle()->bundleIdentifier())},
                {"zev_version", os::Value(os::Number::int64(APMIdentity::duvEvodedezudiLibraryVersion()))},
            };
            auto engine = APMMeasurementServices::sharedInstance();
            auto identity = engine ? engine->identity() : nullptr;
            if (identity && identity->appVersion()) metadata.emplace("app_version", os::Value(*identity->appVersion()));
            return metadata;
          });
        },
        kAPMAppMetadataModuleName);
    editing->setModuleCreator([services] { return services->newMessageLogger(); }, kAPMLoggerModuleName);
    loaded = editing->loadProgram(*programs->front());
  }
  if (!editing || !loaded) {
    monitor()->logWithLevel(1, kAPMRemoteConfigCodeEventEditingFailed, "Failed to initiate event editing instance");
    std::lock_guard lock(mutex_);
    eventEditing_ = nullptr;
    return false;
  }
  monitor()->logWithLevel(7, kAPMRemoteConfigCodeEventEditingLoaded,
                          "Loading Event Modification and Creation programs", int64_t(programs->size()));
  std::lock_guard lock(mutex_);
  eventEditing_ = std::move(editing);
  return true;
}

void APMRemoteConfig::parseConsentConfig(const std::shared_ptr<APMPBConsentConfig>& consent) {
  auto fillStatuses = [&](DAZMutableDictionary<os::Value>& cache, int32_t field) {
    cache.removeAllObjects();
    for (const auto& entry : APMPBGetArray<APMPBConsentDefaultEntry>(consent.get(), field)
                                 .value_or(std::vector<std::shared_ptr<APMPBConsentDefaultEntry>>{})) {
      auto type = consentTypeName(APMPBGetInt32(entry.get(), kConsentEntryType));
      auto status = consentStatusName(APMPBGetInt32(entry.get(), kConsentEntryStatus));
      if (type && status) cache.setObjectForKey(os::Value(*status), *type);
    }
  };
  fillStatuses(cachedConsentDefaults_, kConsentDefaults);

  cachedConsentDelegations_.removeAllObjects();
  for (const auto& entry : APMPBGetArray<APMPBConsentDelegationEntry>(consent.get(), kConsentDelegations)
                               .value_or(std::vector<std::shared_ptr<APMPBConsentDelegationEntry>>{})) {
    auto type = consentTypeName(APMPBGetInt32(entry.get(), kConsentEntryType));
    auto delegate = consentTypeName(APMPBGetInt32(entry.get(), kConsentEntryStatus));
    if (type && delegate) cachedConsentDelegations_.setObjectForKey(os::Value(*delegate), *type);
  }

  std::set<std::string> services;
  for (const auto& entry : APMPBGetArray<APMPBCorePlatformServiceEntry>(consent.get(), kConsentCorePlatformServices)
                               .value_or(std::vector<std::shared_ptr<APMPBCorePlatformServiceEntry>>{})) {
    if (auto name = APMPBGetString(entry.get(), kCorePlatformServiceName)) services.insert(std::move(*name));
  }
  {
    std::lock_guard lock(mutex_);
    cachedCorePlatformServices_ = std::move(services);
    isDMARegion_ = APMPBGetBool(consent.get(), kConsentDMARegion);
  }
  fillStatuses(cachedRegionalDefaults_, kConsentRegionalDefaults);
}

void APMRemoteConfig::reset() {
  clearConfiguration();
  if (experimentManager_) experimentManager_->reset();
}

void APMRemoteConfig::restoreMeasurementConfig(const std::shared_ptr<APMPBMeasurementConfig>& config) {
  if (isDefaultInstance_) return;
  if (!config) {
    clearConfiguration();
    return;
  }
  {
    std::lock_guard lock(mutex_);
    remoteConfigProto_ = config;
  }
  parseRemoteConfigFromMeasurementConfig(config);
}

void APMRemoteConfig::clearConfiguration() {
  cachedValueByRemoteConfigKeys_->replaceAllObjects({});
  cachedEventConfigByEventName_.removeAllObjects();
  cachedExperimentFlags_.removeAllObjects();
  cachedConsentDefaults_.removeAllObjects();
  cachedConsentDelegations_.removeAllObjects();
  cachedRegionalDefaults_.removeAllObjects();
  {
    std::lock_guard lock(mutex_);
    cachedDataControls_.clear();
    cachedCorePlatformServices_.clear();
    isDMARegion_ = true;
    if (!isDefaultInstance_) remoteConfigProto_ = nullptr;
  }
}

std::shared_ptr<APMPBMeasurementConfig> APMRemoteConfig::currentConfig() const {
  std::lock_guard lock(mutex_);
  return remoteConfigProto_;
}

// ---- Event configuration ----

std::shared_ptr<APMPBEventConfig> APMRemoteConfig::eventConfigWithName(std::string_view name) const {
  if (name.empty()) {
    monitor()->logWithLevel(5, kAPMRemoteConfigCodeEmptyEventName, "Cannot find event config with empty event name");
    return nullptr;
  }
  return cachedEventConfigByEventName_.objectForKey(std::string(name)).value_or(nullptr);
}

bool APMRemoteConfig::isEventBlocklisted(std::string_view name) {
  auto config = eventConfigWithName(name);
  if (config && APMPBHasField(config.get(), kEventConfigBlocklisted) &&
      APMPBGetBool(config.get(), kEventConfigBlocklisted)) {
    return true;
  }
  return !name.empty() && !name.starts_with('_') ? blocklistPublic() : blocklistInternal();
}

bool APMRemoteConfig::isEventCustomConversion(std::string_view name) const {
  auto config = eventConfigWithName(name);
  return config && APMPBGetBool(config.get(), kEventConfigCustomConversion);
}

bool APMRemoteConfig::eventHasSamplingRate(std::string_view name) {
  auto config = eventConfigWithName(name);
  return config && APMPBHasField(config.get(), kEventConfigSamplingRate);
}

int32_t APMRemoteConfig::samplingRateForEvent(std::string_view name) {
  auto config = eventConfigWithName(name);
  if (!config || !APMPBHasField(config.get(), kEventConfigSamplingRate)) return 1;
  const int32_t rate = APMPBGetInt32(config.get(), kEventConfigSamplingRate);
  return rate >= 2 && rate <= 65535 ? rate : 1;
}

// ---- The configuration's values ----

bool APMRemoteConfig::isExpired() {
  if (isDefaultInstance_) {
    monitor()->logWithLevel(2, kAPMRemoteConfigCodeExpiredDefault,
                            "Cannot fetch the last update timestamp from the default configuration");
    return false;
  }
  const double elapsed = std::fabs(os::Clock::current().wallTime() - lastRemoteConfigUpdateTimestamp());
  return elapsed >= remoteConfigCacheTimeInterval();
}

int64_t APMRemoteConfig::version() const {
  auto config = currentConfig();
  if (!config || !APMPBHasField(config.get(), kConfigVersion)) return -1;
  return APMPBGetInt64(config.get(), kConfigVersion);
}

std::optional<std::string> APMRemoteConfig::uploadSubdomain() const {
  auto config = currentConfig();
  return config ? APMPBGetString(config.get(), kConfigUploadSubdomain) : std::nullopt;
}

std::optional<os::URL> APMRemoteConfig::uploadURL() const {
  std::shared_ptr<APMIdentitySupport> support;
  {
    std::lock_guard lock(mutex_);
    support = identitySupport_;
  }
  if (!support) support = APMDefaultIdentitySupport::sharedInstance();
  const char* key = support->appDataConsentStatus() == kAppDataConsentAuthorized
                        ? kDAZEndpointMeasurementUploadAuthorized
                        : kDAZEndpointMeasurementUpload;
  std::optional<std::string> base = DAZEndpoints::baseForKey(key);
  if (!base) return std::nullopt;
  std::string text = *base;
  const std::string subdomain = uploadSubdomain().value_or("");
  if (!subdomain.empty()) {
    // The pattern "scheme://%@.host...": the subdomain becomes the first host label.
    std::optional<os::URL> url = os::URL::URLWithString(text);
    if (!url || url->host().empty()) return std::nullopt;
    const size_t hostStart = text.find("://");
    if (hostStart == std::string::npos) return std::nullopt;
    text.insert(hostStart + 3, subdomain + ".");
  }
  return os::URL::URLWithString(text + kAPMUploadPath);
}

std::vector<std::string> APMRemoteConfig::dataControls() const {
  std::lock_guard lock(mutex_);
  return cachedDataControls_;
}

double APMRemoteConfig::lastRemoteConfigUpdateTimestamp() {
  if (isDefaultInstance_) {
    monitor()->logWithLevel(2, kAPMRemoteConfigCodeTimestampDefault,
                            "Cannot fetch the last configuration update timestamp from the default instance");
    return 0;
  }
  auto database = database_.lock();
  os::Error error;
  std::optional<double> timestamp = database ? database->lastRemoteConfigUpdateTimestamp(&error) : std::nullopt;
  if (!timestamp && !error.domain().empty()) {
    monitor()->logWithLevel(4, kAPMRemoteConfigCodeTimestampFailed,
                            "Failed to query last configuration update timestamp. Error", error);
  }
  return timestamp.value_or(0);
}

std::optional<os::URL> APMRemoteConfig::remoteConfigURLWithPlatform(const std::optional<std::string>& platform,
                                                                    int64_t SDKVersion, int64_t runtimeVersion) const {
  if (!platform) {
    monitor()->logWithLevel(2, kAPMRemoteConfigCodeEmptyPlatform,
                            "Cannot create a URL to fetch a configuration with empty platform");
    return std::nullopt;
  }
  std::optional<std::string> base = DAZEndpoints::baseForKey(kDAZEndpointMeasurementConfig);
  if (!base) return std::nullopt;
  const os::Dictionary query{
      {"platform", os::Value(*platform)},
      {"runtime_version", os::Value(std::to_string(runtimeVersion))},
      {"zev_version", os::Value(std::to_string(SDKVersion))},
  };
  return os::URL::URLWithString(*base + os::format(kAPMRemoteConfigPathFormat, appID_) + apm_queryString(query));
}

std::vector<int64_t> APMRemoteConfig::experimentIDs() const {
  return experimentManager_ ? experimentManager_->experimentIDs() : std::vector<int64_t>{};
}

os::Dictionary APMRemoteConfig::consentDefaults() const { return os::Dictionary(cachedConsentDefaults_.dictionary()); }
os::Dictionary APMRemoteConfig::consentDelegations() const {
  return os::Dictionary(cachedConsentDelegations_.dictionary());
}
os::Dictionary APMRemoteConfig::regionalDefaults() const {
  return os::Dictionary(cachedRegionalDefaults_.dictionary());
}

std::set<std::string> APMRemoteConfig::corePlatformServices() const {
  std::lock_guard lock(mutex_);
  return cachedCorePlatformServices_;
}

bool APMRemoteConfig::isDMARegion() const {
  std::lock_guard lock(mutex_);
  return isDMARegion_;
}

std::shared_ptr<APMPEventEditingInterface> APMRemoteConfig::eventEditing() const {
  std::lock_guard lock(mutex_);
  return eventEditing_;
}

void APMRemoteConfig::TEST_setIdentitySupport(std::shared_ptr<APMIdentitySupport> support) {
  std::lock_guard lock(mutex_);
  identitySupport_ = std::move(support);
}

// ---- Settings core ----

std::optional<os::Number> APMRemoteConfig::numberFromString(const os::Value& object) const {
  const std::string* text = object.string();
  if (text == nullptr) {
    monitor()->logWithLevel(2, kAPMRemoteConfigCodeNonStringNumber, "Cannot parse number from non-string", object);
    return std::nullopt;
  }
  return numberFormatter_.numberFromString(*text);
}

std::optional<os::Value> APMRemoteConfig::cacheValue(std::optional<os::Value> value, std::string_view key) {
  if (!value || value->isNull() || key.empty()) {
    monitor()->logWithLevel(5, kAPMRemoteConfigCodeEmptyCacheValue, "Cannot cache empty configuration value");
    return std::nullopt;
  }
  cachedValueByRemoteConfigKeys_->setObjectForKey(*value, std::string(key));
  return value;
}

std::optional<os::Number> APMRemoteConfig::numberFromCacheWithKey(std::string_view key,
                                                                  std::optional<os::Number> defaultValue,
                                                                  std::optional<os::Number> maxValue,
                                                                  std::optional<os::Number> minValue,
                                                                  const NumberBlock& block) {
  if (key.empty()) {
    monitor()->logWithLevel(7, kAPMRemoteConfigCodeEmptySettingKey, "Cannot get setting with empty key from cache");
    return std::nullopt;
  }
  if (!defaultValue) {
    monitor()->logWithLevel(5, kAPMRemoteConfigCodeEmptyCacheValue, "Cannot cache empty configuration value");
    return std::nullopt;
  }
  const std::string name(key);
  // Read, settle, store if unchanged; a parse in between starts it again.
  for (;;) {
    std::optional<os::Value> cached = cachedValueByRemoteConfigKeys_->objectForKey(name);
    if (cached) {
      if (const os::Number* number = cached->number()) return *number;
    }
    std::optional<os::Number> settled = defaultValue;
    if (cached) {
      std::optional<os::Number> parsed = numberFromString(*cached);
      // Beyond the 64-bit range a delivered number has no integer value to take.
      if (parsed && !fitsInt64(*parsed)) parsed.reset();
      if (block) parsed = block(parsed);
      if (parsed && (!minValue || parsed->compare(*minValue) >= 0) &&
          (!maxValue || parsed->compare(*maxValue) <= 0)) {
        settled = parsed;
      }
    }
    if (cachedValueByRemoteConfigKeys_->setObjectForKeyIfUnchanged(os::Value(*settled), name, cached)) return settled;
  }
}

double APMRemoteConfig::timeIntervalInSecondsFromCacheWithKey(std::string_view key, double defaultValue,
                                                              double maxValue, double minValue) {
  auto milliseconds = [](std::optional<os::Number> number) -> std::optional<os::Number> {
    if (!number) return std::nullopt;
    return os::Number::float64(double(number->int64Value()) / 1000.0);
  };
  auto result = numberFromCacheWithKey(key, os::Number::float64(defaultValue), os::Number::float64(maxValue),
                                       os::Number::float64(minValue), milliseconds);
  return result ? result->doubleValue() : 0;
}

int32_t APMRemoteConfig::intValueFromCacheWithKey(std::string_view key, int32_t defaultValue, int32_t maxValue,
                                                  int32_t minValue) {
  auto result = numberFromCacheWithKey(key, os::Number::int32(defaultValue), os::Number::int32(maxValue),
                                       os::Number::int32(minValue));
  return result ? result->intValue() : 0;
}

int64_t APMRemoteConfig::int64ValueFromCacheWithKey(std::string_view key, int64_t defaultValue, int64_t maxValue,
                                                    int64_t minValue) {
  auto result = numberFromCacheWithKey(key, os::Number::int64(defaultValue), os::Number::int64(maxValue),
                                       os::Number::int64(minValue));
  return result ? result->int64Value() : 0;
}

int64_t APMRemoteConfig::int64ValueFromCacheWithKey(std::string_view key, int64_t defaultValue) {
  auto result = numberFromCacheWithKey(key, os::Number::int64(defaultValue), std::nullopt, std::nullopt);
  return result ? result->int64Value() : 0;
}

bool APMRemoteConfig::boolValueFromCacheWithKey(std::string_view key, bool defaultValue) {
  return intValueFromCacheWithKey(key, defaultValue ? 1 : 0, 1, 0) == 1;
}

// ---- Experiments ----

bool APMRemoteConfig::activateNewSnapshot() {
  {
    std::lock_guard lock(mutex_);
    if (!hasNewSnapshot_) return false;
  }
  os::Error error;
  const bool activated = experimentClient_ && experimentClient_->activateLatestSnapshot(&error);
  if (activated) {
    updateCachedExperimentFlags();
    std::lock_guard lock(mutex_);
    hasNewSnapshot_ = false;
  } else {
    monitor()->logWithLevel(2, kAPMRemoteConfigCodeActivateFailed, "Cannot activate snapshot. Error", error);
  }
  return activated;
}

void APMRemoteConfig::updateCachedExperimentFlags() {
  if (!experimentClient_) return;
  cachedExperimentFlags_.setObjectForKey(experimentClient_->valueForFlag(kAPMRegionalDefaultsEnabledFlag),
                                         kAPMRegionalDefaultsEnabledFlag);
}

void APMRemoteConfig::clientDidReceiveNewSnapshot(const std::shared_ptr<APMEClient>&) {
  std::lock_guard lock(mutex_);
  hasNewSnapshot_ = true;
}

void APMRemoteConfig::clientDidReceiveFetchError(const std::shared_ptr<APMEClient>&, const os::Error& error) {
  monitor()->logWithLevel(2, kAPMRemoteConfigCodeFetchError, "Cannot fetch experiment. Error", error);
}

bool APMRemoteConfig::shouldFetchExperimentsForClient(const std::shared_ptr<APMEClient>&) {
  auto engine = APMMeasurementServices::sharedInstance();
  return engine && engine->isEnabled();
}

std::optional<std::map<std::string, std::string>> APMRemoteConfig::dynamicCustomPropertiesForSDKProperty(
    const APMESDKProperty&) {
  return std::nullopt;
}
