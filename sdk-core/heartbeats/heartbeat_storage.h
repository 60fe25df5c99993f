// Heartbeat storage: the bundle of one app kept in one JSON file,
//   <Application Support>/devuvo-heartbeat-storage/heartbeats-<id with ":" as "_">
// with every read-modify-write serialised on the serial queue
// "com.heartbeat.storage.<id>". There is at most one live HeartbeatStorage per
// id in the process; controllers of the same app share it.
//
// A missing, empty, damaged or undecodable file reads as no bundle and is
// replaced by the next write. A file that exists but cannot be read now (too
// many open files, an I/O error) is left alone: the update that met it is
// dropped (exchange reports it), so the heartbeats it holds are not written
// over. Files are replaced atomically (temporary file renamed into place).
//
// Thread-safety: instance() may be called from any thread. updateSync and
// exchange block the caller and must not be called from the storage's queue.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "os/dispatch/queue.h"
#include "os/foundation/data.h"
#include "sdk-core/heartbeats/heartbeats_bundle.h"

namespace heartbeats {

inline constexpr const char* kHeartbeatStorageDirectoryName = "devuvo-heartbeat-storage";
inline constexpr const char* kHeartbeatStorageFilePrefix = "heartbeats-";
inline constexpr const char* kHeartbeatStorageQueuePrefix = "com.heartbeat.storage.";

// readError: nothing is stored (or nothing readable as a value: a missing or
// damaged file). unavailable: a value is stored but could not be read now; it
// must not be replaced.
enum class StorageError { readError, writeError, unavailable };

// A store of one byte string.
class Storage {
 public:
  virtual ~Storage() = default;
  // The stored bytes; readError or unavailable.
  virtual std::expected<os::Data, StorageError> readValue() = 0;
  // nullopt writes zero bytes.
  virtual std::expected<void, StorageError> writeValue(const std::optional<os::Data>& value) = 0;
};

class FileStorage final : public Storage {
 public:
  explicit FileStorage(std::string path) : path_(std::move(path)) {}
  // The file of an app id under Application Support.
  static std::shared_ptr<FileStorage> makeStorage(const std::string& id);

  std::expected<os::Data, StorageError> readValue() override;
  std::expected<void, StorageError> writeValue(const std::optional<os::Data>& value) override;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

using BundleTransform = std::function<std::optional<HeartbeatsBundle>(std::optional<HeartbeatsBundle>)>;

class HeartbeatStorage : public std::enable_shared_from_this<HeartbeatStorage> {
 public:
  // The live storage of the id, created on demand with a FileStorage.
  static std::shared_ptr<HeartbeatStorage> instance(const std::string& id);

  // Read, transform, write later on the queue; failures are ignored.
  void updateAsync(BundleTransform transform);
  // The same, finished before returning.
  void updateSync(const BundleTransform& transform);
  // The same; the old bundle (or nullopt), or the failure (writeError, or
  // unavailable when the stored bundle could not be read).
  std::expected<std::optional<HeartbeatsBundle>, StorageError> exchange(const BundleTransform& transform);

  std::expected<std::optional<HeartbeatsBundle>, os::Error> loadBundle();
  std::expected<void, os::Error> saveBundle(const std::optional<HeartbeatsBundle>& bundle);

  const std::string& id() const { return id_; }

  // Use instance(); public for std::make_shared.
  HeartbeatStorage(std::string id, std::shared_ptr<Storage> storage);
  ~HeartbeatStorage();

  // A storage over any byte store (not entered in the instance cache).
  static std::shared_ptr<HeartbeatStorage> TEST_make(const std::string& id, std::shared_ptr<Storage> storage);

 private:
  // The bundle an update starts from: the stored one, or nullopt when none is
  // stored or it cannot be decoded; unavailable when the stored bytes could
  // not be read.
  std::expected<std::optional<HeartbeatsBundle>, StorageError> loadForUpdate();

  const std::string id_;
  const std::shared_ptr<Storage> storage_;
  const std::shared_ptr<os::DispatchQueue> queue_;
  bool cached_ = false;  // entered in the instance cache
};

}  // namespace heartbeats
