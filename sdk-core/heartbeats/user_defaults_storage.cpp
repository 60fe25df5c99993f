#include "sdk-core/heartbeats/user_defaults_storage.h"

namespace heartbeats {

std::expected<os::Data, StorageError> UserDefaultsStorage::readValue() {
  auto data = defaults_->dataForKey(key_);
  if (!data) return std::unexpected(StorageError::readError);
  return std::move(*data);
}

std::expected<void, StorageError> UserDefaultsStorage::writeValue(const std::optional<os::Data>& value) {
  if (value) {
    defaults_->setObject(os::Value(*value), key_);
  } else {
    defaults_->removeObjectForKey(key_);
  }
  return {};
}

}  // namespace heartbeats
