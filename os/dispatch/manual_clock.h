// os::ManualClock: virtual time for tests (and the program's virtual-clock
// mode). Time stands still until advanced; advancing first waits for the work
// under way to finish (os::dispatch::drainUntilIdle, which counts real I/O in
// flight as work: os::dispatch::OutsideWork), then fires every timer, delayed
// block, run-loop timer and display-link tick that falls due, one deadline at
// a time in deadline order, with the clock reading that deadline while it
// fires, and waits for the work each firing starts to finish before moving
// on. Called on the main thread, that includes main-queue and main-run-loop
// work.
//
// Uptime and wall time move together when advanced; setWallTime() jumps the
// wall clock alone (a user changing the date), leaving uptime as it is.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "os/foundation/clock.h"

namespace os {

class ManualClock final : public Clock {
 public:
  // Defaults: 2023-11-14T22:13:20Z, 1000 s since boot.
  explicit ManualClock(double wallTime = 1'700'000'000.0, int64_t uptimeNanos = 1000 * 1'000'000'000LL);

  double wallTime() const override;
  int64_t uptimeNanos() const override;
  bool isManual() const override { return true; }
  // Wall time in nanoseconds since 1970, exactly.
  int64_t wallNanos() const { return wallNanos_.load(); }

  // Moves time forward (negative or zero: only fires what is already due).
  void advance(double seconds);
  void advanceNanos(int64_t nanos);
  // Advances until the wall clock reads `wallTime` (no-op when already past).
  void advanceTo(double wallTime);
  // Jumps the wall clock (either way) without moving uptime; fires wall-clock
  // deadlines that fall due.
  void setWallTime(double wallTime);
  // Fires what is due now and drains; advance(0).
  void runDue() { advanceNanos(0); }

  // Installs a new manual clock as Clock::current() and wakes the timer
  // thread; returns it.
  static std::shared_ptr<ManualClock> install(double wallTime = 1'700'000'000.0,
                                              int64_t uptimeNanos = 1000 * 1'000'000'000LL);

 private:
  std::atomic<int64_t> uptime_;
  std::atomic<int64_t> wallNanos_;
};

// Installs a manual clock for a scope (a test) and restores the previous
// clock at its end.
class ManualClockScope {
 public:
  ManualClockScope();
  ~ManualClockScope();
  ManualClockScope(const ManualClockScope&) = delete;
  ManualClockScope& operator=(const ManualClockScope&) = delete;
  ManualClock& clock() { return *clock_; }
  ManualClock* operator->() { return clock_.get(); }

 private:
  std::shared_ptr<ManualClock> clock_;
  std::shared_ptr<Clock> previous_;
};

}  // namespace os
