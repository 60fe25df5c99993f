// UserDefaultsStorage: a byte store (heartbeats::Storage) kept as one data
// value under a key of a user-defaults store. The heartbeat storage itself
// always uses FileStorage; this is the alternative store for callers that
// keep their bytes in user defaults.
//
// Thread-safe as the user-defaults store is.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "os/foundation/user_defaults.h"
#include "sdk-core/heartbeats/heartbeat_storage.h"

namespace heartbeats {

class UserDefaultsStorage final : public Storage {
 public:
  UserDefaultsStorage(std::shared_ptr<os::UserDefaults> defaults, std::string key)
      : defaults_(std::move(defaults)), key_(std::move(key)) {}

  // The data under the key; readError when the key holds no data.
  std::expected<os::Data, StorageError> readValue() override;
  // Stores the bytes under the key; nullopt removes the key. Never fails.
  std::expected<void, StorageError> writeValue(const std::optional<os::Data>& value) override;

  const std::shared_ptr<os::UserDefaults>& defaults() const { return defaults_; }
  const std::string& key() const { return key_; }

 private:
  const std::shared_ptr<os::UserDefaults> defaults_;
  const std::string key_;
};

}  // namespace heartbeats
