#include "sdk-core/heartbeats/heartbeat_storage.h"

#include <algorithm>
#include <map>
#include <mutex>

#include "os/foundation/file_manager.h"
#include "os/foundation/json.h"

namespace heartbeats {

namespace {
// The instance cache. Guarded by its own mutex: storages are created and
// destroyed on any thread. Never destroyed: storages held by other statics
// (the app objects) erase their entries at exit.
std::mutex& cacheMutex() {
  static auto& mutex = *new std::mutex();
  return mutex;
}
std::map<std::string, std::weak_ptr<HeartbeatStorage>>& instanceCache() {  // guarded by cacheMutex()
  static auto& cache = *new std::map<std::string, std::weak_ptr<HeartbeatStorage>>();
  return cache;
}
}  // namespace

// ---- FileStorage ----

std::shared_ptr<FileStorage> FileStorage::makeStorage(const std::string& id) {
  std::string fileName = id;
  std::replace(fileName.begin(), fileName.end(), ':', '_');
  const auto directory = os::FileManager::defaultManager().URLForDirectory(os::SearchPathDirectory::ApplicationSupport);
  return std::make_shared<FileStorage>(directory + "/" + kHeartbeatStorageDirectoryName + "/" +
                                       kHeartbeatStorageFilePrefix + fileName);
}

std::expected<os::Data, StorageError> FileStorage::readValue() {
  auto data = os::FileManager::defaultManager().contentsAtPath(path_);
  if (!data) {
    const auto code = data.error().code();
    const bool nothingStored = code == os::kFileReadNoSuchFileError || code == os::kFileReadCorruptFileError;
    return std::unexpected(nothingStored ? StorageError::readError : StorageError::unavailable);
  }
  return std::move(*data);
}

std::expected<void, StorageError> FileStorage::writeValue(const std::optional<os::Data>& value) {
  auto& fileManager = os::FileManager::defaultManager();
  const auto slash = path_.rfind('/');
  if (slash != std::string::npos) {
    // With intermediates an existing folder is success.
    if (!fileManager.createDirectoryAtPath(path_.substr(0, slash), true)) {
      return std::unexpected(StorageError::writeError);
    }
  }
  if (!fileManager.createFileAtPath(path_, value.value_or(os::Data()))) {
    return std::unexpected(StorageError::writeError);
  }
  return {};
}

// ---- HeartbeatStorage ----

HeartbeatStorage::HeartbeatStorage(std::string id, std::shared_ptr<Storage> storage)
    : id_(std::move(id)),
      storage_(std::move(storage)),
      queue_(os::DispatchQueue::serial(kHeartbeatStorageQueuePrefix + id_)) {}

HeartbeatStorage::~HeartbeatStorage() {
  if (!cached_) return;
  std::lock_guard lock(cacheMutex());
  auto& cache = instanceCache();
  // Only our own entry: a new storage may already have replaced it.
  if (auto it = cache.find(id_); it != cache.end() && it->second.expired()) cache.erase(it);
}

std::shared_ptr<HeartbeatStorage> HeartbeatStorage::instance(const std::string& id) {
  std::lock_guard lock(cacheMutex());
  auto& cache = instanceCache();
  if (auto it = cache.find(id); it != cache.end()) {
    if (auto live = it->second.lock()) return live;
  }
  auto storage = std::make_shared<HeartbeatStorage>(id, FileStorage::makeStorage(id));
  storage->cached_ = true;
  cache[id] = storage;
  return storage;
}

std::shared_ptr<HeartbeatStorage> HeartbeatStorage::TEST_make(const std::string& id,
                                                              std::shared_ptr<Storage> storage) {
  return std::make_shared<HeartbeatStorage>(id, std::move(storage));
}

namespace {
std::expected<std::optional<HeartbeatsBundle>, os::Error> decodeBundle(const os::Data& bytes) {
  if (bytes.empty()) return std::optional<HeartbeatsBundle>();
  auto json = os::JSONSerialization::JSONObjectWithData(bytes);
  if (!json) return std::unexpected(json.error());
  auto bundle = HeartbeatsBundle::fromJSONValue(*json);
  if (!bundle) return std::unexpected(bundle.error());
  return std::optional<HeartbeatsBundle>(std::move(*bundle));
}
}  // namespace

std::expected<std::optional<HeartbeatsBundle>, os::Error> HeartbeatStorage::loadBundle() {
  auto bytes = storage_->readValue();
  if (!bytes) return std::unexpected(os::Error(os::kCocoaErrorDomain, os::kFileReadUnknownError));
  return decodeBundle(*bytes);
}

std::expected<std::optional<HeartbeatsBundle>, StorageError> HeartbeatStorage::loadForUpdate() {
  auto bytes = storage_->readValue();
  if (!bytes) {
    if (bytes.error() == StorageError::unavailable) return std::unexpected(StorageError::unavailable);
    return std::optional<HeartbeatsBundle>();
  }
  auto bundle = decodeBundle(*bytes);
  return bundle ? std::move(*bundle) : std::nullopt;
}

std::expected<void, os::Error> HeartbeatStorage::saveBundle(const std::optional<HeartbeatsBundle>& bundle) {
  std::optional<os::Data> bytes;
  if (bundle) {
    auto json = os::JSONSerialization::dataWithJSONObject(bundle->jsonValue());
    if (!json) return std::unexpected(json.error());
    bytes = std::move(*json);
  }
  if (!storage_->writeValue(bytes)) return std::unexpected(os::Error(os::kCocoaErrorDomain, os::kFileWriteUnknownError));
  return {};
}

void HeartbeatStorage::updateAsync(BundleTransform transform) {
  queue_->async([self = shared_from_this(), transform = std::move(transform)] {
    auto old = self->loadForUpdate();
    if (!old) return;
    (void)self->saveBundle(transform(std::move(*old)));
  });
}

void HeartbeatStorage::updateSync(const BundleTransform& transform) {
  queue_->sync([&] {
    auto old = loadForUpdate();
    if (!old) return;
    (void)saveBundle(transform(std::move(*old)));
  });
}

std::expected<std::optional<HeartbeatsBundle>, StorageError> HeartbeatStorage::exchange(
    const BundleTransform& transform) {
  std::expected<std::optional<HeartbeatsBundle>, StorageError> result;
  queue_->sync([&] {
    auto loaded = loadForUpdate();
    if (!loaded) {
      result = std::unexpected(loaded.error());
      return;
    }
    std::optional<HeartbeatsBundle> old = std::move(*loaded);
    if (!saveBundle(transform(old))) {
      result = std::unexpected(StorageError::writeError);
    } else {
      result = std::move(old);
    }
  });
  return result;
}

}  // namespace heartbeats
