// APMScheduler: the measurement engine's serial worker queue, the only way
// work is put on it. APMAlarm: a named one-shot timer on a dispatch queue.
// Both log through the measurement monitor.
//
// Every hop onto the worker queue carries a block ID naming its call site
// ("APMMeasurement:1773"). A block that throws (an os::Exception or any other
// C++ exception) is logged under its ID (30000; an alarm's block under the
// alarm's name) and its queue goes on with the next block; nothing the block
// did is rolled back.
//
// Alarm states: not armed -> armed (runAfterDelay) -> fired or cancelled ->
// not armed. Re-arming cancels the earlier arming first, so at most one is
// pending and only the last block runs. The delay counts on the wall clock
// (time asleep counts). An armed alarm is kept alive by its timer until it
// fires or is cancelled; destroying an alarm cancels it. An alarm is meant
// to be armed, cancelled and fired on its one queue; a lock keeps calls from
// other threads safe as well.
//
// Codes (level): 30000 (1) a block threw; 30001 (1) a worker-queue method ran
// on the main thread; 30002 (1) and 30005 (1) no block, sync and async;
// 30003 (1) a sync block threw; 30004 (4) a sync block did not complete;
// 2000 (1) arming without a block; 2001 (7) fired; 2002 (7) armed;
// 2003 (7) cancelled; 2004 (4) cancelling a timer no longer active.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "os/dispatch/queue.h"
#include "os/dispatch/source.h"
#include "os/foundation/date.h"

inline constexpr const char* kAPMWorkerQueueLabel = "com.devuvo.ruri.worker";
inline constexpr const char* kAPMAlarmDefaultName = "Timer";

class APMScheduler {
 public:
  // A serial queue with the label, targeting the background-priority global
  // queue.
  explicit APMScheduler(const std::string& workerQueueLabel);

  // On the main thread logs 30001 and answers false; elsewhere answers true.
  // Callers go on either way.
  static bool checkOnBackgroundThreadWithMethodName(std::string_view methodName);

  // Runs the block later on the worker queue.
  void scheduleOnWorkerQueueBlockID(std::string blockID, std::function<void()> block);
  // Runs the block on the worker queue and returns when it has run. Must not
  // be called from the worker queue (os::DispatchQueue aborts).
  void dispatchSyncOnWorkerQueueBlockID(std::string blockID, const std::function<void()>& block);

  const std::shared_ptr<os::DispatchQueue>& workerQueue() const { return workerQueue_; }

 private:
  const std::shared_ptr<os::DispatchQueue> workerQueue_;
};

class APMAlarm : public std::enable_shared_from_this<APMAlarm> {
 public:
  // An empty name becomes "Timer".
  static std::shared_ptr<APMAlarm> initWithDispatchQueue(std::shared_ptr<os::DispatchQueue> queue,
                                                         std::string_view name);
  ~APMAlarm();
  APMAlarm(const APMAlarm&) = delete;
  APMAlarm& operator=(const APMAlarm&) = delete;

  // Arms the alarm to run the block on its queue once, `delay` seconds from
  // now (at once for zero or less), replacing any earlier arming. An empty
  // block is refused (2000) and leaves an earlier arming in force.
  void runAfterDelay(double delay, std::function<void()> block);
  // Disarms; nothing (and no log line) when not armed.
  void cancel();
  // A timer exists and has not been cancelled.
  bool hasActiveTimer() const;
  // When the armed alarm fires; nullopt when not armed.
  std::optional<os::Date> scheduledTimestamp() const;
  const std::string& name() const { return name_; }

  // The timer of the last arming (kept after it fired or was cancelled).
  std::shared_ptr<os::DispatchSourceTimer> TEST_timer() const;

 private:
  APMAlarm(std::shared_ptr<os::DispatchQueue> queue, std::string name);
  void fire(const std::function<void()>& block);

  const std::shared_ptr<os::DispatchQueue> queue_;
  const std::string name_;
  mutable std::recursive_mutex mutex_;
  std::shared_ptr<os::DispatchSourceTimer> timer_;  // guarded by mutex_
  std::optional<os::Date> scheduledTimestamp_;      // guarded by mutex_
};
