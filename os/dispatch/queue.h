// Dispatch queues, deadlines, once, groups and semaphores.
//
// Queues are reference types (std::shared_ptr). Work never gets its own
// thread: global queues feed one bounded worker pool, serial queues drain on
// pool workers through their target queue, and the main queue drains on the
// thread that runs os::RunLoop::main() (see run_loop.h).
//
// Time: every deadline is read against os::Clock::current(). With the system
// clock a timer thread waits for the next deadline; with an os::ManualClock
// (manual_clock.h) nothing fires until virtual time passes the deadline.
// Timed waits (group, semaphore) follow the same rule: under a manual clock a
// wait with a deadline returns kTimedOut only once virtual time has been
// advanced past it (by another thread), or at once when it is already past.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace os {

using DispatchBlock = std::function<void()>;

inline constexpr int64_t kNanosPerSecond = 1'000'000'000;
inline constexpr int64_t kNanosPerMillisecond = 1'000'000;
inline constexpr int64_t kNanosPerMicrosecond = 1'000;

// A deadline: a point on the clock's uptime (counts sleep), a point of wall
// time, or "forever". Value type.
class DispatchTime {
 public:
  enum class Kind { Uptime, Wall, Forever };

  // The clock's uptime now.
  static DispatchTime now();
  // The clock's wall time now; deadlines built from it follow wall-clock jumps.
  static DispatchTime wallNow();
  static constexpr DispatchTime forever() { return DispatchTime(Kind::Forever, 0); }
  static constexpr DispatchTime uptime(int64_t nanos) { return DispatchTime(Kind::Uptime, nanos); }
  // Wall time as seconds since 1970.
  static DispatchTime wall(double secondsSince1970);
  // now() + delta, the usual shape of a deadline.
  static DispatchTime fromNow(double seconds) { return now().afterSeconds(seconds); }
  static DispatchTime fromNowNanos(int64_t nanos) { return now().afterNanos(nanos); }

  // The deadline moved by delta; forever stays forever. Saturates instead of
  // overflowing.
  DispatchTime afterNanos(int64_t delta) const;
  DispatchTime afterSeconds(double seconds) const;

  Kind kind() const { return kind_; }
  bool isForever() const { return kind_ == Kind::Forever; }
  bool isWall() const { return kind_ == Kind::Wall; }
  // Uptime nanoseconds, or wall nanoseconds since 1970 for a wall deadline.
  int64_t nanos() const { return nanos_; }
  // Nanoseconds from now until the deadline on the current clock (negative
  // when past; INT64_MAX for forever).
  int64_t nanosFromNow() const;
  bool hasPassed() const { return !isForever() && nanosFromNow() <= 0; }

  friend constexpr bool operator==(DispatchTime, DispatchTime) = default;

 private:
  constexpr DispatchTime(Kind k, int64_t n) : kind_(k), nanos_(n) {}
  Kind kind_ = Kind::Uptime;
  int64_t nanos_ = 0;
};

// Quality of service of global queues, highest first. Raw values are the
// platform's.
enum class QualityOfService : int {
  UserInteractive = 0x21,
  UserInitiated = 0x19,
  Default = 0x15,
  Utility = 0x11,
  Background = 0x09,
  Unspecified = 0x00,
};

class DispatchGroup;

// A block that can be cancelled before it runs. Reference type. Cancelling
// drops the block (and what it captured) and makes every later perform() a
// no-op; a block already running finishes. Thread-safe.
class DispatchWorkItem {
 public:
  static std::shared_ptr<DispatchWorkItem> create(DispatchBlock block);

  // Runs the block on the calling thread unless the item was cancelled.
  void perform();
  void cancel();
  bool isCancelled() const;

 private:
  explicit DispatchWorkItem(DispatchBlock block) : block_(std::move(block)) {}
  mutable std::mutex mutex_;
  DispatchBlock block_;    // guarded by mutex_; empty once cancelled
  bool cancelled_ = false;  // guarded by mutex_
};

class DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
 public:
  enum class Attributes { Serial, Concurrent };

  // A new queue. A null target means the global queue of `qos` (Default when
  // Unspecified). Labels need not be unique.
  static std::shared_ptr<DispatchQueue> create(std::string label, Attributes attributes = Attributes::Serial,
                                               QualityOfService qos = QualityOfService::Unspecified,
                                               std::shared_ptr<DispatchQueue> target = nullptr);
  static std::shared_ptr<DispatchQueue> serial(std::string label) { return create(std::move(label)); }
  static std::shared_ptr<DispatchQueue> concurrent(std::string label) {
    return create(std::move(label), Attributes::Concurrent);
  }

  // The serial queue bound to the main thread; it runs only while that thread
  // runs os::RunLoop::main() (or drains with drainUntilIdle()). Label
  // "com.apple.main-thread".
  static std::shared_ptr<DispatchQueue> main();
  // The global concurrent queue of a quality of service (Unspecified gives
  // Default). Cannot be suspended.
  static std::shared_ptr<DispatchQueue> global(QualityOfService qos = QualityOfService::Default);

  // The innermost queue whose block is running on this thread; the main queue
  // on the main thread outside any other queue; null on other threads.
  static std::shared_ptr<DispatchQueue> current();
  // current()'s label, "" when there is none.
  static std::string currentLabel();
  // True on the process's main thread (the thread that ran static
  // initialisation of this library).
  static bool isMainThread();

  virtual ~DispatchQueue();

  const std::string& label() const { return label_; }
  bool isSerial() const { return serial_; }
  QualityOfService qos() const { return qos_; }
  // True while a block of this queue, or of a queue that targets it, runs on
  // the calling thread. For the main queue: the calling thread is the main
  // thread.
  bool isCurrent() const;

  // Runs the block later on this queue. Thread-safe; never runs the block
  // inside the call.
  void async(DispatchBlock block);
  // async as a task of the group: the group is entered now and left when the
  // block returns.
  void async(const std::shared_ptr<DispatchGroup>& group, DispatchBlock block);
  // Runs the block on this queue and returns when it has run. Calling it for a
  // serial queue from a block of that queue (or of a queue targeting it) is a
  // programmer error: the process aborts with a message instead of hanging.
  // From the main thread outside a main-queue block, sync onto the main queue
  // first runs the main queue's earlier blocks on this thread.
  void sync(const DispatchBlock& block);
  template <class F>
    requires(!std::is_void_v<std::invoke_result_t<F&>>)
  auto sync(F&& fn) -> std::invoke_result_t<F&> {
    std::optional<std::invoke_result_t<F&>> out;
    sync(DispatchBlock([&] { out.emplace(fn()); }));
    return std::move(*out);
  }
  // Runs the block on this queue once the deadline has passed. A past
  // deadline behaves as async.
  void after(DispatchTime deadline, DispatchBlock block);
  void afterSeconds(double seconds, DispatchBlock block) { after(DispatchTime::fromNow(seconds), std::move(block)); }
  // The same with a cancellable item: once the deadline has passed the item
  // is performed on this queue, which does nothing if it was cancelled.
  void after(DispatchTime deadline, std::shared_ptr<DispatchWorkItem> item);

  // Calls fn(i) for i in [0, iterations) on this queue (concurrently when it is
  // concurrent) and returns when all calls have returned.
  void apply(size_t iterations, const std::function<void(size_t)>& fn);

  // Suspension is counted: each suspend needs one resume. Blocks already
  // running finish; queued ones wait. Resuming more often than suspended is a
  // programmer error (aborts). No effect on global queues and the main queue.
  void suspend();
  void resume();
  bool isSuspended() const;

  // Redirects where this queue's blocks run. Meant for set-up before use;
  // null restores the default (the global queue of this queue's qos).
  void setTarget(std::shared_ptr<DispatchQueue> target);
  std::shared_ptr<DispatchQueue> target() const;

  // Internal to os/dispatch.
  struct Impl;
  Impl& impl() const { return *impl_; }

 protected:
  DispatchQueue(std::string label, bool serial, QualityOfService qos);

 private:
  friend struct Impl;
  std::string label_;
  bool serial_;
  QualityOfService qos_;
  std::unique_ptr<Impl> impl_;
};

// Label of the main queue.
inline constexpr const char* kMainQueueLabel = "com.apple.main-thread";

enum class DispatchWaitResult { Success, TimedOut };

// Counts outstanding work. Reference type.
class DispatchGroup : public std::enable_shared_from_this<DispatchGroup> {
 public:
  static std::shared_ptr<DispatchGroup> create();
  ~DispatchGroup();

  void enter();
  // Leaving more often than entered is a programmer error (aborts).
  void leave();
  // Blocks until the count is zero or the deadline passes (see the note on
  // time at the top of this file).
  DispatchWaitResult wait(DispatchTime deadline = DispatchTime::forever());
  // Submits the block to the queue once the count is zero (at once when it
  // already is). Each notification fires once.
  void notify(std::shared_ptr<DispatchQueue> queue, DispatchBlock block);
  // Current count; for diagnostics and tests.
  int64_t count() const;

 private:
  DispatchGroup() = default;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  int64_t count_ = 0;  // guarded by mutex_
  std::vector<std::pair<std::shared_ptr<DispatchQueue>, DispatchBlock>> notifications_;  // guarded by mutex_
};

// A counting semaphore. Reference type.
class DispatchSemaphore {
 public:
  // A negative value is a programmer error; create() returns null for it.
  static std::shared_ptr<DispatchSemaphore> create(long value);

  // Increments; returns true when it woke a waiter.
  bool signal();
  DispatchWaitResult wait(DispatchTime deadline = DispatchTime::forever());

 private:
  explicit DispatchSemaphore(long v) : value_(v) {}
  std::mutex mutex_;
  std::condition_variable cv_;
  long value_;      // guarded by mutex_
  long waiters_ = 0;  // guarded by mutex_
};

// Runs a function exactly once per flag, process-wide; concurrent callers wait
// for the first to return. A flag must have static storage or outlive all use.
class OnceFlag {
 public:
  constexpr OnceFlag() = default;
  OnceFlag(const OnceFlag&) = delete;
  OnceFlag& operator=(const OnceFlag&) = delete;
  bool isDone() const { return done_.load(std::memory_order_acquire); }

 private:
  friend void once(OnceFlag&, const std::function<void()>&);
  std::atomic<bool> done_{false};
  std::mutex mutex_;
};
void once(OnceFlag& flag, const std::function<void()>& fn);

namespace dispatch {

// Waits until no dispatch work is queued or running outside the main queue
// (blocks waiting in a group, semaphore, sync or operation-queue wait count
// as idle), and no OutsideWork is held, and, when called on the main thread,
// runs the main queue and main run loop until they are empty too. Timers not
// yet due are not waited for. Returns false when `realTimeoutSeconds` of real
// time passed first (a block that never ends, a wait on something outside
// dispatch).
bool drainUntilIdle(double realTimeoutSeconds = 30.0);

// For a test that ends a wait by moving virtual time from another thread:
// waits until at least `count` threads are blocked in a group or semaphore
// wait that a deadline ends. From then on one advance past that deadline
// ends it; advancing earlier may leave the wait to start after the advance.
// False when `realTimeoutSeconds` of real time passed first.
bool waitForDeadlineWaiters(size_t count, double realTimeoutSeconds = 30.0);

// Work outside dispatch whose answer the process waits for, such as a
// transfer in flight on a socket: while a token lives it counts as work for
// drainUntilIdle(), and so for virtual time, which drains before it moves
// (manual_clock.h). The holder hands the answer on (submits the block that
// delivers it) before releasing the token, so the work is never unaccounted.
class OutsideWork {
 public:
  OutsideWork();
  ~OutsideWork();
  OutsideWork(const OutsideWork&) = delete;
  OutsideWork& operator=(const OutsideWork&) = delete;
};

// The worker pool's bound on threads running work at once: max(4, 2 x cores).
// Threads blocked in a dispatch wait do not count towards it.
size_t maxActiveWorkers();

// Where thread `tid` (a kernel thread id) publishes its current queue: the
// address of a `const char*` slot that holds the label (a zero-terminated
// string) of the innermost queue whose block the thread runs, the main
// queue's label on the main thread outside any other queue, else null. A
// thread gets its slot when it first runs a queue's block (the main thread
// at start-up) and loses it when it exits; 0 for a thread without one.
//
// The slot belongs to the other thread and changes under the reader: read it,
// and then the label, with a fault-free read of memory (the kernel layer's),
// never by dereferencing. Async-signal-safe: no lock, no allocation.
uintptr_t queueLabelSlotAddress(int tid);

}  // namespace dispatch
}  // namespace os
