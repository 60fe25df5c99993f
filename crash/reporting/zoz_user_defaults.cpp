#include "crash/reporting/zoz_user_defaults.h"

#include <mutex>

#include "crash/core/zoz_sdk_log.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/plist.h"
#include "os/foundation/sandbox.h"
#include "os/foundation/user_defaults.h"

namespace {

std::mutex& standardMutex() {
  static std::mutex mutex;
  return mutex;
}
std::shared_ptr<ZOZUserDefaults>& standardInstance() {
  static std::shared_ptr<ZOZUserDefaults> instance;  // guarded by standardMutex()
  return instance;
}

}  // namespace

std::shared_ptr<ZOZUserDefaults> ZOZUserDefaults::standardUserDefaults() {
  std::lock_guard lock(standardMutex());
  auto& instance = standardInstance();
  if (!instance) instance = std::make_shared<ZOZUserDefaults>(os::Sandbox::current()->applicationSupportDirectory());
  return instance;
}

void ZOZUserDefaults::TEST_resetStandardUserDefaults() {
  std::lock_guard lock(standardMutex());
  standardInstance().reset();
}

ZOZUserDefaults::ZOZUserDefaults(const std::string& applicationSupportPath)
    : directoryURL_(applicationSupportPath + "/" + kZOZUserDefaultsDirectoryName),
      fileURL_(directoryURL_ + "/" + kZOZUserDefaultsFileName + "." + kZOZUserDefaultsFileExtension),
      serialDictionaryQueue_(os::DispatchQueue::serial(kZOZUserDefaultsAccessQueueLabel)),
      synchronizationQueue_(os::DispatchQueue::serial(kZOZUserDefaultsIOQueueLabel)) {
  serialDictionaryQueue_->sync([this] { loadDefaults(); });
}

void ZOZUserDefaults::loadDefaults() {
  std::optional<os::Dictionary> loaded;
  synchronizationQueue_->sync([&] {
    auto& files = os::FileManager::defaultManager();
    bool isDirectory = false;
    if (!files.fileExistsAtPath(fileURL_, &isDirectory)) return;
    if (isDirectory) {
      ZOZErrorLog("Found directory where file expected. Removing conflicting directory");
      if (auto removed = files.removeItemAtPath(fileURL_); !removed)
        ZOZErrorLog("Error removing conflicting directory: %@", removed.error());
      return;
    }
    auto data = files.contentsAtPath(fileURL_);
    if (data) {
      auto plist = os::PropertyListSerialization::propertyListWithData(*data);
      if (plist && plist->dictionary()) loaded = *plist->dictionary();
    }
    if (!loaded) ZOZErrorLog("Failed to read existing UserDefaults file");
  });
  persistedDataDictionary_ = loaded.value_or(os::Dictionary{});
  dataDictionary_ = persistedDataDictionary_;
}

os::Value ZOZUserDefaults::objectForKey(const std::string& key) const {
  return serialDictionaryQueue_->sync([&] {
    auto found = dataDictionary_.find(key);
    return found == dataDictionary_.end() ? os::Value() : found->second;
  });
}

std::optional<std::string> ZOZUserDefaults::stringForKey(const std::string& key) const {
  os::Value value = objectForKey(key);
  if (!value.string()) return std::nullopt;
  return *value.string();
}

bool ZOZUserDefaults::boolForKey(const std::string& key) const {
  os::Value value = objectForKey(key);
  return value.number() ? value.number()->boolValue() : false;
}

int64_t ZOZUserDefaults::integerForKey(const std::string& key) const {
  os::Value value = objectForKey(key);
  return value.number() ? value.number()->int64Value() : 0;
}

void ZOZUserDefaults::setObject(const os::Value& value, const std::string& key) {
  serialDictionaryQueue_->sync([&] {
    if (value.isNull())
      dataDictionary_.erase(key);
    else
      dataDictionary_[key] = value;
  });
}

void ZOZUserDefaults::setString(const std::optional<std::string>& value, const std::string& key) {
  setObject(value ? os::Value(*value) : os::Value(), key);
}
void ZOZUserDefaults::setBool(bool value, const std::string& key) { setObject(os::Value(value), key); }
void ZOZUserDefaults::setInteger(int64_t value, const std::string& key) {
  setObject(os::Value(os::Number::int64(value)), key);
}
void ZOZUserDefaults::removeObjectForKey(const std::string& key) { setObject(os::Value(), key); }

void ZOZUserDefaults::removeAllObjects() {
  serialDictionaryQueue_->sync([&] { dataDictionary_.clear(); });
}

os::Dictionary ZOZUserDefaults::dictionaryRepresentation() const {
  return serialDictionaryQueue_->sync([&] { return dataDictionary_; });
}

bool ZOZUserDefaults::synchronizeWroteToDisk() const {
  return serialDictionaryQueue_->sync([&] { return synchronizeWroteToDisk_; });
}

void ZOZUserDefaults::synchronize() {
  std::optional<os::Dictionary> snapshot = serialDictionaryQueue_->sync([&]() -> std::optional<os::Dictionary> {
    synchronizeWroteToDisk_ = dataDictionary_ != persistedDataDictionary_;
    if (!synchronizeWroteToDisk_) return std::nullopt;
    return dataDictionary_;
  });
  if (!snapshot) return;

  bool written = false;
  synchronizationQueue_->sync([&] {
    auto& files = os::FileManager::defaultManager();
    if (!files.isDirectoryAtPath(directoryURL_)) {
      if (auto created = files.createDirectoryAtPath(directoryURL_, true); !created)
        ZOZErrorLog("Failed to create directory with error: %@", created.error());
    }
    auto data = os::PropertyListSerialization::dataWithPropertyList(os::Value(*snapshot),
                                                                    os::PropertyListSerialization::Format::XML);
    // There is no data protection class here: the file stays readable while
    // the device is locked, which is what the store needs.
    written = data && files.createFileAtPath(fileURL_, *data).has_value();
    if (!written) ZOZErrorLog("Unable to open file for writing at path %@", fileURL_);
  });
  // What reached the disk is what was persisted: a failed write leaves the
  // difference for the next synchronize.
  if (written) serialDictionaryQueue_->sync([&] { persistedDataDictionary_ = std::move(*snapshot); });
}

void ZOZUserDefaults::migrateFromNSUserDefaults(const std::vector<std::string>& keys) {
  auto standard = os::UserDefaults::standardUserDefaults();
  bool copied = false;
  for (const auto& key : keys) {
    os::Value value = standard->objectForKey(key);
    if (value.isNull()) continue;
    setObject(value, key);
    copied = true;
  }
  if (!copied) return;
  synchronize();
  standard->removeObjectsForKeys(keys);
}

os::Value ZOZUserDefaults::objectForKeyByMigratingFromNSUserDefaults(const std::optional<std::string>& key) {
  if (!key) return os::Value();
  os::Value value = objectForKey(*key);
  if (!value.isNull()) return value;
  auto standard = os::UserDefaults::standardUserDefaults();
  value = standard->objectForKey(*key);
  if (value.isNull()) return value;
  setObject(value, *key);
  synchronize();
  standard->removeObjectForKey(*key);
  return value;
}
