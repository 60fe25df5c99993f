// os::RunLoop, run-loop timers (os::Timer) and the display link.
//
// A run loop belongs to one thread and runs only while that thread runs it.
// RunLoop::main() belongs to the main thread and also drains the main
// dispatch queue. Work is posted in a mode; a pass in mode M runs work of
// mode M and of kRunLoopCommonModes. Timers fire on their run loop's thread.
//
// Time: run-loop timers and display links take their deadlines from
// os::Clock::current(); under an os::ManualClock they fire as virtual time is
// advanced, and runUntil() advances virtual time itself.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "os/dispatch/queue.h"

namespace os {

inline constexpr const char* kDefaultRunLoopMode = "kCFRunLoopDefaultMode";
inline constexpr const char* kRunLoopCommonModes = "kCFRunLoopCommonModes";
inline constexpr const char* kTrackingRunLoopMode = "UITrackingRunLoopMode";

class Timer;

class RunLoop {
 public:
  // The main thread's run loop.
  static RunLoop& main();
  // The calling thread's run loop (created on first use, lives as long as the
  // thread; main() on the main thread).
  static RunLoop& current();

  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;
  ~RunLoop();

  // Runs passes in the default mode until stop(). Must be called on the
  // run loop's own thread.
  void run();
  // Runs until the clock passes `deadline` or stop(). Under a manual clock it
  // advances virtual time to the deadline (firing what falls due) and returns.
  void runUntil(DispatchTime deadline);
  // One pass in `mode`: runs what is ready now; when nothing is, waits up to
  // `deadline` (real clock; none under a manual clock) for work. Returns true
  // when something ran.
  bool runOnce(const std::string& mode = kDefaultRunLoopMode, DispatchTime deadline = DispatchTime::now());
  // Runs passes until nothing is left to do now; for the main run loop also
  // waits for background dispatch work (os::dispatch::drainUntilIdle).
  void runUntilIdle();
  // Makes run()/runUntil() return after the current item. Thread-safe.
  void stop();

  // The mode of the pass in progress, "" when not running.
  std::string currentMode() const;
  bool isCurrent() const;

  // Runs the block on this run loop in a later pass of `mode` (performBlock).
  // Thread-safe.
  void perform(DispatchBlock block, const std::string& mode = kRunLoopCommonModes);
  // Runs the block after a delay, in the default mode
  // (performSelector:withObject:afterDelay:). Returns the timer, which may be
  // invalidated to cancel.
  std::shared_ptr<Timer> performAfterDelay(double seconds, DispatchBlock block);

  // Schedules a timer in a mode. A timer belongs to one run loop.
  void addTimer(const std::shared_ptr<Timer>& timer, const std::string& mode = kDefaultRunLoopMode);

  // Internal to os/dispatch.
  struct Impl;
  Impl& impl() { return *impl_; }
  const std::shared_ptr<Impl>& sharedImpl() const { return impl_; }

 private:
  RunLoop();
  friend struct Impl;
  std::shared_ptr<Impl> impl_;
};

// A run-loop timer. Fires on its run loop's thread, in its mode, once or
// every `interval` seconds after the previous scheduled fire date. A
// repeating timer whose fire dates were missed (the loop busy or in another
// mode) fires once and goes on from the next future date.
class Timer : public std::enable_shared_from_this<Timer> {
 public:
  using Callback = std::function<void(Timer&)>;

  // A timer not yet scheduled: add it with RunLoop::addTimer.
  static std::shared_ptr<Timer> create(double interval, bool repeats, Callback callback);
  // Creates a timer and schedules it on the current run loop in the default mode.
  static std::shared_ptr<Timer> scheduledTimer(double interval, bool repeats, Callback callback);
  ~Timer();

  // Stops it for good; the run loop releases it. Safe from inside the callback.
  void invalidate();
  bool isValid() const;
  // Runs the callback now (a one-shot timer is then invalidated).
  void fire();
  double timeInterval() const { return interval_; }
  bool repeats() const { return repeats_; }
  // Wall-clock time of the next firing.
  double fireDate() const;
  double tolerance() const { return tolerance_; }
  void setTolerance(double seconds) { tolerance_ = seconds; }

  // Internal to os/dispatch.
  struct Impl;
  Impl& impl() const { return *impl_; }

 private:
  Timer(double interval, bool repeats, Callback callback);
  friend class RunLoop;
  double interval_;
  bool repeats_;
  double tolerance_ = 0;
  std::shared_ptr<Impl> impl_;
};

// Calls back once per frame, 60 frames per second of clock time, on the run
// loop it is added to. The timestamp is the frame's time and the target
// timestamp the next frame's, both in seconds of clock uptime.
class DisplayLink : public std::enable_shared_from_this<DisplayLink> {
 public:
  using Callback = std::function<void(DisplayLink&)>;
  static constexpr int kFramesPerSecond = 60;
  static constexpr int64_t kFrameNanos = 1'000'000'000 / kFramesPerSecond;

  static std::shared_ptr<DisplayLink> create(Callback callback);
  ~DisplayLink();

  // Starts ticking on `runLoop` in `mode`. A link runs on one run loop.
  void addToRunLoop(RunLoop& runLoop, const std::string& mode = kRunLoopCommonModes);
  // Stops ticking for good and releases the callback. Safe from inside it.
  void invalidate();
  bool isPaused() const;
  // A paused link skips frames until unpaused.
  void setPaused(bool paused);

  double timestamp() const;
  double targetTimestamp() const;
  double duration() const { return 1.0 / kFramesPerSecond; }

  // Internal to os/dispatch.
  struct Impl;
  Impl& impl() const { return *impl_; }

 private:
  explicit DisplayLink(Callback callback);
  std::shared_ptr<Impl> impl_;
};

}  // namespace os
