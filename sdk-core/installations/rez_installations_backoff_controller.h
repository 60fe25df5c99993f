// REZInstallationsBackoffController: whether the next registration or token
// request may be sent, from the outcome of the requests before it. Memory
// only, one per installation ID controller.
//
// After n recoverable errors in a row the next request waits
// min(2^n + r, 1800) seconds, r a random 0.000..0.999 s; after an
// unrecoverable error it waits 86,400 s whatever came before; a success
// clears the wait. Time comes from the date provider (os::Date::now(), so
// os::Clock, by default).
//
// Thread-safe: both operations run under the object's lock.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

#include "os/foundation/date.h"

enum class REZInstallationsBackoffEvent : int64_t {
  Success = 0,
  RecoverableFailure = 1,
  UnrecoverableFailure = 2,
};

inline constexpr double kREZInstallationsMaximumRecoverableBackoff = 1800;
inline constexpr double kREZInstallationsUnrecoverableBackoff = 86400;

struct REZInstallationsBackoffEventData {
  REZInstallationsBackoffEvent eventType;
  os::Date lastEventDate;
  uint64_t eventCount;  // consecutive events of this type
  double backoffTimeInterval;
};

class REZInstallationsBackoffController {
 public:
  using CurrentDateProvider = std::function<os::Date()>;

  REZInstallationsBackoffController();
  explicit REZInstallationsBackoffController(CurrentDateProvider currentDateProvider);

  bool isNextRequestAllowed();
  void registerEvent(REZInstallationsBackoffEvent event);

  // The seconds a backoff lasts after `count` events of the type.
  static double backoffTimeIntervalForEvent(REZInstallationsBackoffEvent event, uint64_t count);

 private:
  const CurrentDateProvider currentDateProvider_;
  std::mutex mutex_;
  std::optional<REZInstallationsBackoffEventData> lastEventData_;  // guarded by mutex_
};
