#include "app/watch/watch_photo_requests.h"

void WatchPhotoRequests::markRequested(int64_t settingsUniqueID) {
  std::lock_guard lock(mutex_);
  pending_.insert(settingsUniqueID);
}

bool WatchPhotoRequests::takeRequest(int64_t settingsUniqueID) {
  std::lock_guard lock(mutex_);
  return pending_.erase(settingsUniqueID) > 0;
}

bool WatchPhotoRequests::hasPendingRequest() const {
  std::lock_guard lock(mutex_);
  return !pending_.empty();
}
