// HeartbeatController: records at most one heartbeat per UTC day for an app
// and hands stored heartbeats out as payloads.
//
// All state is in the app's stored bundle (heartbeat_storage.h). The date is
// taken from the date source (by default os::Clock's wall time) on the
// caller's thread, reduced to the start of its UTC day.
//
// Thread-safety: log() may be called from any thread and returns at once;
// flush() and flushHeartbeatFromToday() wait for the storage queue (so they
// see every earlier log()) and must not be called from it.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "sdk-core/heartbeats/heartbeat_storage.h"

namespace heartbeats {

class HeartbeatController {
 public:
  using DateProvider = std::function<os::Date()>;

  // For the app id, with the current time as raw date source.
  explicit HeartbeatController(const std::string& id);
  HeartbeatController(const std::string& id, DateProvider rawDateSource);
  // Over a given storage (tests).
  HeartbeatController(std::shared_ptr<HeartbeatStorage> storage, DateProvider rawDateSource);

  // Stores a heartbeat of the agent when a day has passed since the last one.
  void log(const std::string& agent);
  // All stored heartbeats; the store keeps only the last-added dates. The
  // empty payload when nothing is stored or the write fails.
  HeartbeatsPayload flush();
  // Only today's heartbeat, taken out of the store.
  HeartbeatsPayload flushHeartbeatFromToday();

  const std::shared_ptr<HeartbeatStorage>& storage() const { return storage_; }

 private:
  std::shared_ptr<HeartbeatStorage> storage_;
  const int heartbeatsStorageCapacity_ = kHeartbeatsStorageCapacity;
  DateProvider dateProvider_;
};

}  // namespace heartbeats
