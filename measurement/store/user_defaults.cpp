#include "measurement/store/user_defaults.h"

#include "measurement/store/engine_services/asl_logger.h"
#include "measurement/store/engine_services/measurement_files.h"
#include "os/foundation/file_manager.h"

namespace {

template <class... Args>
void warn(int64_t code, std::string_view format, const Args&... args) {
  DAZLogWarning(kAPMAnalyticsSubsystem, kAPMLogTag, false, APMMessageCodeString(code), format, args...);
}

}  // namespace

std::shared_ptr<APMUserDefaults> APMUserDefaults::sharedUserDefaults() {
  static const auto* shared = new std::shared_ptr<APMUserDefaults>([] {
    auto defaults = std::make_shared<APMUserDefaults>();
    defaults->setIsPreferenceFileExcluded(true);
    return defaults;
  }());
  return *shared;
}

APMUserDefaults::APMUserDefaults(std::string_view suiteName) : suiteName_(suiteName) {}

std::shared_ptr<os::UserDefaults> APMUserDefaults::domain() const {
  return suiteName_.empty() ? os::UserDefaults::standardUserDefaults() : os::UserDefaults::initWithSuiteName(suiteName_);
}

os::Value APMUserDefaults::objectForKey(std::string_view key) {
  if (key.empty()) {
    warn(kAPMUserDefaultsCodeInvalidGetKey, "Cannot get object for invalid user default key.");
    return os::Value();
  }
  auto defaults = domain();
  return defaults ? defaults->objectForKey(std::string(key)) : os::Value();
}

void APMUserDefaults::setObject(const os::Value& object, std::string_view key) {
  if (key.empty()) {
    warn(kAPMUserDefaultsCodeInvalidSetKey, "Cannot set object for invalid user default key.");
    return;
  }
  auto defaults = domain();
  if (object.isNull()) {
    if (defaults) defaults->removeObjectForKey(std::string(key));
    return;
  }
  if (!isAcceptableObject(object)) {
    warn(kAPMUserDefaultsCodeInvalidObject,
         "Cannot set invalid object to user defaults. Must be a string or number or an array. Value %@", object);
    return;
  }
  if (defaults) defaults->setObject(object, std::string(key));
}

void APMUserDefaults::clearAllData() {
  auto defaults = domain();
  if (!defaults) return;
  auto keys = defaults->keyList();
  if (!keys.empty()) defaults->removeObjectsForKeys(keys);
}

void APMUserDefaults::synchronize() {
  auto defaults = domain();
  os::Status synced = defaults ? defaults->synchronize() : os::Status();
  if (!synced) {
    DAZLogError(kAPMAnalyticsSubsystem, kAPMLogTag, false, APMMessageCodeString(kAPMUserDefaultsCodeSynchronizeFailed),
                "Cannot synchronize user defaults to disk");
  }

  const std::string path = APMPreferencesPlistPath(suiteName_);
  std::lock_guard lock(mutex_);
  if (isPreferenceFileExcluded_ || path.empty() || !os::FileManager::defaultManager().fileExistsAtPath(path)) return;
  os::Status excluded = APMExcludePathFromBackup(path);
  if (excluded) {
    isPreferenceFileExcluded_ = true;
  } else {
    warn(kAPMUserDefaultsCodeExcludeFailed, "Failed to exclude preferences file from backup. Error code %@",
         excluded.error());
  }
}

bool APMUserDefaults::isPreferenceFileExcluded() const {
  std::lock_guard lock(mutex_);
  return isPreferenceFileExcluded_;
}

void APMUserDefaults::setIsPreferenceFileExcluded(bool excluded) {
  std::lock_guard lock(mutex_);
  isPreferenceFileExcluded_ = excluded;
}
