// Timer sources: a handler run on a queue at a start time and then at a fixed
// interval, until cancelled.
//
// A source is created suspended; set the timer and handlers, then resume().
// While resumed and not cancelled the system holds a reference to it (as the
// platform does), so dropping the last caller reference does not stop it:
// cancel() does.
//
// Firings: at the start deadline, then every `interval` after the previous
// deadline. Leeway is the slack the caller allows; this implementation fires
// at the deadline itself. A firing while the previous handler has not yet
// run is merged into it (data() counts merged firings). Under a manual clock
// every due deadline fires in order as time is advanced.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "os/dispatch/queue.h"

namespace os {

// Interval meaning "fire once".
inline constexpr int64_t kDispatchTimeForever = INT64_MAX;

class DispatchSourceTimer : public std::enable_shared_from_this<DispatchSourceTimer> {
 public:
  // A suspended timer source whose handlers run on `queue` (null: the global
  // default queue).
  static std::shared_ptr<DispatchSourceTimer> create(std::shared_ptr<DispatchQueue> queue);
  ~DispatchSourceTimer();

  // (Re)arms: first firing at `start`, then every `intervalNanos`
  // (kDispatchTimeForever or <= 0: once). Replaces any earlier arming.
  // A start of forever disarms.
  void setTimer(DispatchTime start, int64_t intervalNanos = kDispatchTimeForever, int64_t leewayNanos = 0);
  void setEventHandler(DispatchBlock handler);
  // Runs once on the queue after cancel(), after any handler in flight.
  void setCancelHandler(DispatchBlock handler);
  void setRegistrationHandler(DispatchBlock handler);

  // Counted like queue suspension; a new source starts with count 1.
  // Firings due while suspended are merged into one delivered on resume.
  void resume();
  void activate() { resume(); }
  void suspend();
  // Stops further firings; a handler already running finishes. Idempotent.
  void cancel();
  bool isCancelled() const;

  // Firings merged into the handler now running (valid inside the handler).
  uint64_t data() const;
  int64_t intervalNanos() const;
  int64_t leewayNanos() const;
  // The next deadline, or forever when disarmed, fired (one-shot) or cancelled.
  DispatchTime nextFireTime() const;

  struct Impl;

 private:
  explicit DispatchSourceTimer(std::shared_ptr<DispatchQueue> queue);
  std::shared_ptr<Impl> impl_;
};

}  // namespace os
