#include "sdk-core/core/rez_options.h"

#include <cstdio>
#include <mutex>

#include "os/dispatch/notification.h"
#include "os/foundation/error.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/format.h"
#include "os/foundation/plist.h"
#include "os/foundation/user_defaults.h"
#include "platform/utilities/app_environment.h"
#include "sdk-core/core/rez_app.h"
#include "sdk-core/core/rez_logger.h"
#include "sdk-core/core/rez_user_agent.h"

namespace {
constexpr const char* kLockedOptionsReason =
    "Attempted to modify options after it's set on REZApp. Please modify all properties before initializing "
    "REZApp.";

std::mutex gDefaultOptionsMutex;
bool gDefaultOptionsRead = false;                       // guarded by gDefaultOptionsMutex
std::optional<os::Dictionary> gDefaultOptionsDictionary;  // guarded by gDefaultOptionsMutex
std::shared_ptr<REZOptions> gDefaultOptions;            // guarded by gDefaultOptionsMutex

std::optional<os::Dictionary> readDictionaryAtPath(const std::string& path) {
  auto data = os::FileManager::defaultManager().contentsAtPath(path);
  if (!data) return std::nullopt;
  auto plist = os::PropertyListSerialization::propertyListWithData(*data);
  if (!plist || !plist->isDictionary()) return std::nullopt;
  return *plist->dictionary();
}

std::optional<os::Dictionary> readDefaultOptionsDictionary() {
  auto path = REZOptions::plistFilePathWithName(kREZServiceInfoFileName);
  if (!path) {
    REZLogError(kREZLoggerCore, "I-COR000012", "Could not locate configuration file: '%@.%@'.",
                kREZServiceInfoFileName, kREZServiceInfoFileType);
    return std::nullopt;
  }
  auto dictionary = readDictionaryAtPath(*path);
  if (!dictionary) {
    REZLogError(kREZLoggerCore, "I-COR000011", "The configuration file is not a dictionary: '%@.%@'.",
                kREZServiceInfoFileName, kREZServiceInfoFileType);
  }
  return dictionary;
}

void loadDefaultsLocked() {
  if (gDefaultOptionsRead) return;
  gDefaultOptionsRead = true;
  gDefaultOptionsDictionary = readDefaultOptionsDictionary();
  if (gDefaultOptionsDictionary) {
    gDefaultOptions = std::make_shared<REZOptions>(*gDefaultOptionsDictionary);
  }
}
}  // namespace

// ---- REZOptions ----

REZOptions::REZOptions(os::Dictionary optionsDictionary) : optionsDictionary_(std::move(optionsDictionary)) {}

std::shared_ptr<REZOptions> REZOptions::defaultOptions() {
  std::lock_guard lock(gDefaultOptionsMutex);
  loadDefaultsLocked();
  if (gDefaultOptions) gDefaultOptions->usingOptionsFromDefaultPlist_ = true;
  return gDefaultOptions;
}

std::optional<os::Dictionary> REZOptions::defaultOptionsDictionary() {
  std::lock_guard lock(gDefaultOptionsMutex);
  loadDefaultsLocked();
  return gDefaultOptionsDictionary;
}

std::optional<std::string> REZOptions::plistFilePathWithName(const std::string& fileName) {
  return REZBundleUtil::optionsDictionaryPathWithResourceName(fileName, kREZServiceInfoFileType,
                                                              REZBundleUtil::relevantBundles());
}

void REZOptions::resetDefaultOptions() {
  std::lock_guard lock(gDefaultOptionsMutex);
  gDefaultOptionsRead = false;
  gDefaultOptionsDictionary.reset();
  gDefaultOptions.reset();
}

std::shared_ptr<REZOptions> REZOptions::initWithContentsOfFile(const std::string& path) {
  if (path.empty()) {
    REZLogError(kREZLoggerCore, "I-COR000013", "The plist file path is nil.");
    return nullptr;
  }
  auto dictionary = readDictionaryAtPath(path);
  if (!dictionary) {
    REZLogError(kREZLoggerCore, "I-COR000014",
                "The configuration file at %@ does not exist or is not a well-formed plist file.", path);
    return nullptr;
  }
  return std::make_shared<REZOptions>(std::move(*dictionary));
}

std::shared_ptr<REZOptions> REZOptions::initWithDevuvoAppID(const std::string& devuvoAppID,
                                                            const std::string& VCMSenderID) {
  auto options = std::make_shared<REZOptions>(os::Dictionary{});
  options->setDevuvoAppID(devuvoAppID);
  options->setVCMSenderID(VCMSenderID);
  options->setBundleID(os::Bundle::mainBundle()->bundleIdentifier());
  return options;
}

std::optional<std::string> REZOptions::stringFor(const char* key) const {
  auto it = optionsDictionary_.find(key);
  if (it == optionsDictionary_.end() || !it->second.isString()) return std::nullopt;
  return *it->second.string();
}

void REZOptions::checkEditingLocked() const {
  if (editingLocked_) throw os::Exception(kREZCoreExceptionName, kLockedOptionsReason);
}

void REZOptions::setString(const char* key, const std::string& value) {
  checkEditingLocked();
  optionsDictionary_[key] = value;
}

void REZOptions::setDeepLinkURLScheme(std::optional<std::string> v) {
  checkEditingLocked();
  deepLinkURLScheme_ = std::move(v);
}

void REZOptions::setAppGroupID(std::optional<std::string> v) {
  checkEditingLocked();
  appGroupID_ = std::move(v);
}

std::string REZOptions::libraryVersionID() const {
  static const std::string versionID = [] {
    int major = 0, minor = 0, patch = 0;
    std::sscanf(kREZVivuzuvuVersion, "%d.%d.%d", &major, &minor, &patch);
    return os::format("%@%@%@000", os::format("%02d", major), os::format("%02d", minor),
                      os::format("%02d", patch));
  }();
  return versionID;
}

std::shared_ptr<REZOptions> REZOptions::copy() const {
  auto copy = std::make_shared<REZOptions>(optionsDictionary_);
  copy->deepLinkURLScheme_ = deepLinkURLScheme_;
  copy->appGroupID_ = appGroupID_;
  copy->editingLocked_ = editingLocked_;
  copy->usingOptionsFromDefaultPlist_ = usingOptionsFromDefaultPlist_;
  return copy;
}

bool REZOptions::isEqualToOptions(const REZOptions& other) const {
  return optionsDictionary_ == other.optionsDictionary_ && deepLinkURLScheme_ == other.deepLinkURLScheme_ &&
         appGroupID_ == other.appGroupID_ && analyticsOptionsDictionary() == other.analyticsOptionsDictionary();
}

size_t REZOptions::hash() const {
  std::hash<std::string> h;
  return os::Value(optionsDictionary_).hash() ^ (deepLinkURLScheme_ ? h(*deepLinkURLScheme_) : 0) ^
         (appGroupID_ ? h(*appGroupID_) : 0);
}

os::Dictionary REZOptions::analyticsOptionsDictionary() const {
  std::lock_guard lock(analyticsMutex_);
  if (analyticsOptionsDictionary_) return *analyticsOptionsDictionary_;
  os::Dictionary result;
  const auto info = os::Bundle::mainBundle()->infoDictionary();
  for (const char* key : {kREZIsMeasurementEnabled, kREZIsAnalyticsCollectionEnabled,
                          kREZIsAnalyticsCollectionDeactivated}) {
    if (auto it = info.find(key); it != info.end()) {
      result[key] = it->second;
    } else if (auto jt = optionsDictionary_.find(key); jt != optionsDictionary_.end()) {
      result[key] = jt->second;
    }
  }
  analyticsOptionsDictionary_ = result;
  return result;
}

bool REZOptions::isAnalyticsCollectionDeactivated() const {
  auto analytics = analyticsOptionsDictionary();
  auto it = analytics.find(kREZIsAnalyticsCollectionDeactivated);
  return it != analytics.end() && it->second.boolValue();
}

bool REZOptions::isMeasurementEnabled() const {
  if (isAnalyticsCollectionDeactivated()) return false;
  auto analytics = analyticsOptionsDictionary();
  if (auto it = analytics.find(kREZIsMeasurementEnabled); it != analytics.end()) return it->second.boolValue();
  if (REZApp::isDefaultAppConfigured()) {
    if (auto app = REZApp::defaultApp()) return app->isDataCollectionDefaultEnabled();
  }
  return false;
}

bool REZOptions::isAnalyticsCollectionEnabled() const {
  if (isAnalyticsCollectionDeactivated()) return false;
  auto analytics = analyticsOptionsDictionary();
  if (auto it = analytics.find(kREZIsAnalyticsCollectionEnabled); it != analytics.end()) {
    return it->second.boolValue();
  }
  return isMeasurementEnabled();
}

bool REZOptions::isAnalyticsCollectionExplicitlySet() const {
  if (isAnalyticsCollectionDeactivated()) return true;
  auto analytics = analyticsOptionsDictionary();
  for (const char* key : {kREZIsAnalyticsCollectionEnabled, kREZIsMeasurementEnabled}) {
    if (auto it = analytics.find(key); it != analytics.end() && it->second.isNumber()) return true;
  }
  return false;
}

// ---- REZBundleUtil ----

std::vector<std::shared_ptr<os::Bundle>> REZBundleUtil::relevantBundles() {
  return {os::Bundle::mainBundle(), os::Bundle::bundleForClass("REZApp")};
}

std::optional<std::string> REZBundleUtil::optionsDictionaryPathWithResourceName(
    const std::string& resourceName, const std::string& fileType,
    const std::vector<std::shared_ptr<os::Bundle>>& bundles) {
  for (const auto& bundle : bundles) {
    if (!bundle) continue;
    if (auto path = bundle->pathForResource(resourceName, fileType)) return path;
  }
  return std::nullopt;
}

std::vector<std::string> REZBundleUtil::relevantURLSchemes() {
  std::vector<std::string> schemes;
  for (const auto& bundle : relevantBundles()) {
    const auto types = bundle->objectForInfoDictionaryKey("CFBundleURLTypes");
    if (!types.isArray()) continue;
    for (const auto& type : *types.array()) {
      const auto& list = type["CFBundleURLSchemes"];
      if (!list.isArray()) continue;
      for (const auto& scheme : *list.array()) {
        if (scheme.isString()) schemes.push_back(*scheme.string());
      }
    }
  }
  return schemes;
}

bool REZBundleUtil::hasBundleIdentifierPrefix(const std::string& bundleIdentifier,
                                              const std::vector<std::shared_ptr<os::Bundle>>& bundles) {
  const bool isExtension = DAZAppEnvironmentUtil::isAppExtension();
  for (const auto& bundle : bundles) {
    if (!bundle) continue;
    const auto identifier = bundle->bundleIdentifier();
    if (identifier == bundleIdentifier) return true;
    if (isExtension && bundleIdentifierByRemovingLastPartFrom(identifier) == bundleIdentifier) return true;
  }
  return false;
}

std::string REZBundleUtil::bundleIdentifierByRemovingLastPartFrom(const std::string& bundleIdentifier) {
  auto dot = bundleIdentifier.rfind('.');
  return dot == std::string::npos ? std::string() : bundleIdentifier.substr(0, dot);
}

// ---- REZAnalyticsConfiguration, REZConfiguration ----

std::shared_ptr<REZAnalyticsConfiguration> REZAnalyticsConfiguration::sharedInstance() {
  static const auto instance = std::make_shared<REZAnalyticsConfiguration>();
  return instance;
}

void REZAnalyticsConfiguration::setAnalyticsCollectionEnabled(bool enabled, bool persistSetting) {
  if (persistSetting) {
    auto defaults = os::UserDefaults::standardUserDefaults();
    defaults->setObject(os::Value(os::Number::int64(enabled ? 1 : 2)), kREZAnalyticsEnabledStateDefaultsKey);
    (void)defaults->synchronize();
  }
  postNotificationName(kREZAnalyticsConfigurationSetEnabledNotification, os::Value(enabled));
}

void REZAnalyticsConfiguration::postNotificationName(const std::string& name, const os::Value& value) {
  if (name.empty() || value.isNull()) return;
  os::NotificationCenter::defaultCenter()->postNotificationName(name, this, os::Dictionary{{name, value}});
}

std::shared_ptr<REZConfiguration> REZConfiguration::sharedInstance() {
  static const auto instance = std::make_shared<REZConfiguration>();
  return instance;
}

void REZConfiguration::setLoggerLevel(DAZLoggerLevel loggerLevel) {
  if (loggerLevel < DAZLoggerLevelMin || loggerLevel > DAZLoggerLevelMax) {
    os::handleAssertionFailure(os::format("Invalid logger level, %ld", static_cast<long>(loggerLevel)));
    return;
  }
  REZLoggerSetLevel(loggerLevel);
}
