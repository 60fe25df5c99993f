// os::Clock: the one source of time. The real clocks by default; tests install
// a manual clock (os/dispatch) that advances virtual time.
#pragma once

#include <cstdint>
#include <memory>

namespace os {

class Clock {
 public:
  virtual ~Clock() = default;
  // Wall time, seconds since 1970.
  virtual double wallTime() const = 0;
  // Time since boot in nanoseconds, counting sleep (CLOCK_BOOTTIME).
  virtual int64_t uptimeNanos() const = 0;
  // Kernel boot time as wall seconds since 1970.
  virtual double bootTime() const { return wallTime() - uptimeNanos() / 1e9; }
  // True for a virtual clock that moves only when advanced (os::ManualClock):
  // timers then wait for it instead of for real time.
  virtual bool isManual() const { return false; }

  // The clock in force. Thread-safe; never null.
  static Clock& current();
  static std::shared_ptr<Clock> currentShared();
  // Installs a clock (null restores the system clock). Returns the previous.
  static std::shared_ptr<Clock> setCurrent(std::shared_ptr<Clock> clock);
  // Called after every setCurrent() (the timer scheduler re-reads the clock).
  // One handler; installing replaces the previous.
  using ChangeHandler = void (*)();
  static void setChangeHandler(ChangeHandler handler);
};

// The real clocks of the host.
class SystemClock final : public Clock {
 public:
  double wallTime() const override;
  int64_t uptimeNanos() const override;
  static std::shared_ptr<SystemClock> shared();
};

}  // namespace os
