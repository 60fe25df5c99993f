// Internals of os/dispatch shared between its source files. Not for callers.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "os/dispatch/queue.h"
#include "os/foundation/clock.h"

namespace os::dispatch::detail {

using Job = std::function<void()>;
// A job told the deadline it fires for (after any move by a clock change).
using TimedJob = std::function<void(DispatchTime deadline)>;

// Aborts with a message: a programmer error that would otherwise hang or
// corrupt state.
[[noreturn]] void fatal(const char* what);

// A mutex for a queue's short critical sections: taking and releasing it
// uncontended is one atomic instruction each, inline; a thread that finds it
// held spins briefly, then sleeps on a futex. Not recursive.
class QueueLock {
 public:
  void lock() {
    int expected = 0;
    if (!state_.compare_exchange_strong(expected, 1, std::memory_order_acquire)) lockContended();
  }
  bool try_lock() {
    int expected = 0;
    return state_.compare_exchange_strong(expected, 1, std::memory_order_acquire);
  }
  void unlock() {
    if (state_.exchange(0, std::memory_order_release) == 2) wakeOne();
  }

 private:
  void lockContended();
  void wakeOne();
  std::atomic<int> state_{0};  // 0 free, 1 held, 2 held and a thread may sleep on it
};

// ---- worker pool ----
// A unit of pool work: an intrusive node, so that queuing it allocates
// nothing. `invoke` runs it and may free the node.
struct Work {
  Work* next = nullptr;
  void (*invoke)(Work*) = nullptr;
  int priority = 2;  // index of the priority list, 0 = UserInteractive
};

// Runs the work on a pool worker, higher priority first. With `mayDefer`, a
// worker submitting while it runs a job may keep the work to run next itself
// instead of waking another; the work still runs when that worker blocks or
// stays in its job (see the pool's design note). The node must stay valid
// until invoked.
void poolSubmit(Work* work, bool mayDefer = true);
// A serial queue going on draining after a block: work the calling worker
// deferred is handed to another worker instead of waiting behind the drain.
void releaseDeferredWork();

// Marks the calling thread as waiting (not working) for its lifetime: a pool
// worker stops counting towards the active bound and towards "busy", so the
// pool may start another worker and drainUntilIdle() does not wait for it.
//
// A wait ended by dispatch work (a sync block running) is "resumed by the
// waker": the thread that ends the wait counts the waiter busy again with
// countResumedWorker() before it wakes it, so "busy" cannot touch zero
// between the waker's job ending and the waiter running on.
class BlockingScope {
 public:
  enum class Resume { BySelf, ByWaker };
  explicit BlockingScope(Resume resume = Resume::BySelf);
  ~BlockingScope();
  BlockingScope(const BlockingScope&) = delete;
  BlockingScope& operator=(const BlockingScope&) = delete;

 private:
  bool worker_;
  Resume resume_;
};

// True on a pool worker thread.
bool isPoolWorker();
// Counts a worker blocked in a Resume::ByWaker scope busy again; called by
// the waker, before the waiter can wake.
void countResumedWorker();

// Wakes drainUntilIdle() waiters to re-check (main run loop got work).
void notifyActivity();
// True when the main run loop holds work a default-mode pass would run.
bool mainRunLoopHasReady();
bool isMainThreadId();

// ---- the current queue of this thread ----
class CurrentQueueScope {
 public:
  explicit CurrentQueueScope(DispatchQueue* queue);
  ~CurrentQueueScope();
  CurrentQueueScope(const CurrentQueueScope&) = delete;
  CurrentQueueScope& operator=(const CurrentQueueScope&) = delete;

 private:
  DispatchQueue* queue_;
  const char* previousLabel_;
};
// True when a block of `queue` is on this thread's stack of running queues.
bool onQueueStack(const DispatchQueue* queue);
DispatchQueue* innermostQueue();

// ---- timers ----
// Wall time of a clock in nanoseconds since 1970 (exact for a manual clock).
int64_t wallNanos(const Clock& clock);

// Holds every pending deadline of the process and fires each once, in
// deadline order, when the current clock passes it: a timer thread waits on
// the real clock; a manual clock steps through deadlines as it advances.
// Fire functions must be short and must not block: they submit work or wake
// a waiter. They run on the timer thread or on the advancing thread.
//
// Uptime deadlines belong to the clock that was current when they were
// scheduled. When another clock is installed, each pending one is moved so
// that it keeps the time it had left: a timer armed before a virtual clock is
// installed fires by the virtual clock. Wall deadlines are dates and stay.
class Scheduler {
 public:
  using Id = uint64_t;
  static Scheduler& shared();

  // `deadline` must not be forever.
  Id schedule(DispatchTime deadline, Job fire);
  // The same; `fire` is given the deadline as it stands when it fires.
  Id scheduleTimed(DispatchTime deadline, TimedJob fire);
  // The pending entry's deadline as it stands now, or nullopt.
  std::optional<DispatchTime> deadlineOf(Id id);
  // True when the entry was still pending (it will not fire).
  bool cancel(Id id);

  // Fires, in order, every entry due by `targetUptime` of the manual clock,
  // moving the clock to each deadline before firing and draining after.
  void advanceManual(class ManualClockAccess& clock, int64_t targetUptime);
  // Re-reads the clock (it was replaced).
  void clockChanged();
  size_t TEST_pendingCount();

  struct State;

 private:
  Scheduler();
  std::shared_ptr<State> state_;
};

// Lets the scheduler move a manual clock.
class ManualClockAccess {
 public:
  virtual ~ManualClockAccess() = default;
  virtual int64_t uptime() const = 0;
  virtual int64_t wall() const = 0;
  // Moves both forward by delta (>= 0).
  virtual void shift(int64_t delta) = 0;
};

}  // namespace os::dispatch::detail
