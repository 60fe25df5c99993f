#include "measurement/store/persistent_dictionary.h"

#include "measurement/store/engine_services/asl_logger.h"
#include "measurement/store/engine_services/measurement_files.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/plist.h"

namespace {

std::string directoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

template <class... Args>
void warn(int64_t code, std::string_view format, const Args&... args) {
  DAZLogWarning(kAPMAnalyticsSubsystem, kAPMLogTag, false, APMMessageCodeString(code), format, args...);
}

template <class... Args>
void error(int64_t code, std::string_view format, const Args&... args) {
  DAZLogError(kAPMAnalyticsSubsystem, kAPMLogTag, false, APMMessageCodeString(code), format, args...);
}

void refuseChange() {
  error(kAPMPersistentDictionaryCodeChangeRefused, "Cannot change configs: the config plist file cannot be read.");
}

}  // namespace

std::shared_ptr<APMPersistentDictionary> APMPersistentDictionary::initWithFileName(std::string_view fileName) {
  if (fileName.empty()) return nullptr;
  std::string path = APMMeasurementPlistPath(fileName);
  if (path.empty()) return nullptr;
  auto& fm = os::FileManager::defaultManager();
  if (!fm.createDirectoryAtPath(directoryOf(path), true)) {
    error(kAPMPersistentDictionaryCodeCannotCreateDirectory, "Cannot create subdirectories for config plist files.");
    return nullptr;
  }
  std::shared_ptr<APMPersistentDictionary> store(new APMPersistentDictionary(std::move(path)));
  (void)store->ensureLoaded();
  return store;
}

bool APMPersistentDictionary::ensureLoaded() {
  {
    std::lock_guard lock(mutex_);
    if (loaded_) return true;
  }
  auto data = os::FileManager::defaultManager().contentsAtPath(filePath_);
  // Damaged bytes are no store worth keeping; a failed read may be passing.
  const bool unread = !data && data.error().code() != os::kFileReadNoSuchFileError &&
                      data.error().code() != os::kFileReadCorruptFileError;
  std::lock_guard lock(mutex_);
  if (loaded_) return true;
  if (unread) {
    if (!readFailureReported_) {
      error(kAPMPersistentDictionaryCodeReadFailed, "Cannot read config plist file. Error: %@",
            data.error().localizedDescription());
    }
    readFailureReported_ = true;
    return false;
  }
  if (data) {
    auto plist = os::PropertyListSerialization::propertyListWithData(*data);
    if (plist && plist->isDictionary()) content_ = std::move(*plist->dictionary());
  }
  loaded_ = true;
  return true;
}

APMPersistentDictionary::APMPersistentDictionary(std::string filePath)
    : filePath_(std::move(filePath)), serialQueue_(os::DispatchQueue::serial(kAPMPersistentDictionaryQueueLabel)) {}

APMPersistentDictionary::~APMPersistentDictionary() {
  // The scheduled write holds the store weakly and will find it gone.
  if (hasPendingPersistence_) writeContent(content_, filePath_);
}

os::Value APMPersistentDictionary::objectForKey(std::string_view key) {
  if (key.empty()) {
    warn(kAPMPersistentDictionaryCodeInvalidGetKey, "Cannot get object for invalid config key.");
    return os::Value();
  }
  if (!ensureLoaded()) return os::Value();
  std::lock_guard lock(mutex_);
  auto it = content_.find(key);
  return it == content_.end() ? os::Value() : it->second;
}

void APMPersistentDictionary::setObject(const os::Value& object, std::string_view key) {
  if (key.empty()) {
    warn(kAPMPersistentDictionaryCodeInvalidSetKey, "Cannot set object for invalid config key.");
    return;
  }
  if (!ensureLoaded()) {
    refuseChange();
    return;
  }
  if (object.isNull()) {
    std::lock_guard lock(mutex_);
    auto it = content_.find(key);
    if (it == content_.end()) return;
    content_.erase(it);
    schedulePersistToDisk();
    return;
  }
  if (!isAcceptableObject(object)) {
    warn(kAPMPersistentDictionaryCodeInvalidObject,
         "Cannot set invalid object to config. Must be a string, number, array, dictionary, date, or data. Value %@",
         object);
    return;
  }
  std::lock_guard lock(mutex_);
  auto it = content_.find(key);
  if (it != content_.end() && it->second == object) return;
  content_.insert_or_assign(std::string(key), object);
  schedulePersistToDisk();
}

void APMPersistentDictionary::clearAllData() {
  if (!ensureLoaded()) {
    refuseChange();
    return;
  }
  std::lock_guard lock(mutex_);
  if (content_.empty()) return;
  content_.clear();
  schedulePersistToDisk();
}

void APMPersistentDictionary::schedulePersistToDisk() {
  std::lock_guard lock(mutex_);
  if (hasPendingPersistence_) return;
  std::weak_ptr<APMPersistentDictionary> weak = weak_from_this();
  serialQueue_->after(os::DispatchTime::fromNowNanos(int64_t(kAPMPersistentDictionaryWriteDelay * os::kNanosPerSecond)),
                      [weak] {
                        if (auto self = weak.lock()) self->persistToDisk();
                      });
  hasPendingPersistence_ = true;
}

void APMPersistentDictionary::synchronize() {
  serialQueue_->sync([this] {
    bool pending;
    {
      std::lock_guard lock(mutex_);
      pending = hasPendingPersistence_;
    }
    if (pending) persistToDisk();
  });
}

void APMPersistentDictionary::persistToDisk() {
  os::Dictionary copy;
  {
    std::lock_guard lock(mutex_);
    copy = content_;
    hasPendingPersistence_ = false;
  }
  writeContent(copy, filePath_);
}

void APMPersistentDictionary::writeContent(const os::Dictionary& content, const std::string& path) {
  auto data = os::PropertyListSerialization::dataWithPropertyList(os::Value(content),
                                                                  os::PropertyListSerialization::Format::XML);
  os::Status written = data ? os::FileManager::defaultManager().createFileAtPath(path, *data) : os::Status(os::fail(data.error()));
  if (!written) error(kAPMPersistentDictionaryCodeWriteFailed, "Cannot persist configs to disk");
}

bool APMPersistentDictionary::TEST_hasPendingPersistence() const {
  std::lock_guard lock(mutex_);
  return hasPendingPersistence_;
}
