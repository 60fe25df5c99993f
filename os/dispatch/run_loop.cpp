// Run loops, run-loop timers and the display link.
//
// A run loop is a list of (mode, block) items guarded by its mutex; a pass
// takes the items its mode may run, in order, and runs them on the owning
// thread. Timers and display links are scheduler entries that post an item
// to their run loop when due; the item re-arms the next deadline. While
// armed, the scheduler entry holds the timer (or link) strongly: a run loop
// keeps its timers until they are invalidated.
#include "os/dispatch/run_loop.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "os/dispatch/detail.h"
#include "os/dispatch/manual_clock.h"

namespace os {

namespace dd = dispatch::detail;

struct RunLoop::Impl {
  struct Item {
    std::string mode;
    DispatchBlock block;
  };

  std::thread::id owner;
  bool isMain = false;
  mutable std::mutex mutex;
  std::condition_variable cv;
  std::deque<Item> items;           // guarded by mutex
  bool stopRequested = false;       // guarded by mutex
  std::vector<std::string> modes;   // guarded by mutex; modes of the passes in progress

  static bool matches(const std::string& itemMode, const std::string& passMode) {
    return itemMode == kRunLoopCommonModes || itemMode == passMode;
  }

  void post(std::string mode, DispatchBlock block) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      items.push_back({std::move(mode), std::move(block)});
      cv.notify_all();
    }
    if (isMain) dd::notifyActivity();
  }

  // Requires mutex.
  bool hasReadyLocked(const std::string& mode) const {
    return std::any_of(items.begin(), items.end(), [&](const Item& i) { return matches(i.mode, mode); });
  }

  // Runs the items of `mode` present now. Returns true when any ran.
  bool runPending(const std::string& mode) {
    std::vector<DispatchBlock> ready;
    {
      std::lock_guard<std::mutex> lock(mutex);
      for (auto it = items.begin(); it != items.end();) {
        if (matches(it->mode, mode)) {
          ready.push_back(std::move(it->block));
          it = items.erase(it);
        } else {
          ++it;
        }
      }
      if (ready.empty()) return false;
      modes.push_back(mode);
    }
    for (auto& b : ready) b();
    std::lock_guard<std::mutex> lock(mutex);
    modes.pop_back();
    return true;
  }
};

namespace dispatch::detail {
bool mainRunLoopHasReady() {
  auto& im = RunLoop::main().impl();
  std::lock_guard<std::mutex> lock(im.mutex);
  return im.hasReadyLocked(kDefaultRunLoopMode);
}
}  // namespace dispatch::detail

RunLoop::RunLoop() : impl_(std::make_shared<Impl>()) { impl_->owner = std::this_thread::get_id(); }

RunLoop::~RunLoop() = default;

RunLoop& RunLoop::main() {
  static RunLoop* loop = [] {
    auto* l = new RunLoop();
    l->impl_->isMain = true;
    // Owned by the main thread, whoever asks first (see isCurrent()).
    return l;
  }();
  return *loop;
}

RunLoop& RunLoop::current() {
  if (dd::isMainThreadId()) return main();
  thread_local std::unique_ptr<RunLoop> loop(new RunLoop());
  return *loop;
}

bool RunLoop::isCurrent() const {
  if (impl_->isMain) return dd::isMainThreadId();
  return std::this_thread::get_id() == impl_->owner;
}

std::string RunLoop::currentMode() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->modes.empty() ? std::string() : impl_->modes.back();
}

void RunLoop::perform(DispatchBlock block, const std::string& mode) {
  if (!block) return;
  impl_->post(mode, std::move(block));
}

namespace {
void checkRunner(const RunLoop& loop) {
  if (!loop.isCurrent()) dd::fatal("a run loop was run from a thread that does not own it");
}
ManualClock* manualClock() { return dynamic_cast<ManualClock*>(&Clock::current()); }
}  // namespace

bool RunLoop::runOnce(const std::string& mode, DispatchTime deadline) {
  checkRunner(*this);
  if (impl_->runPending(mode)) return true;
  if (deadline.isForever() || manualClock()) {
    if (!deadline.isForever()) return false;
  } else if (deadline.hasPassed()) {
    return false;
  }
  {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    auto pred = [&] { return impl_->hasReadyLocked(mode) || impl_->stopRequested; };
    if (deadline.isForever()) {
      impl_->cv.wait(lock, pred);
    } else {
      impl_->cv.wait_for(lock, std::chrono::nanoseconds(std::max<int64_t>(deadline.nanosFromNow(), 0)), pred);
    }
  }
  return impl_->runPending(mode);
}

void RunLoop::run() {
  checkRunner(*this);
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->stopRequested = false;
  }
  for (;;) {
    impl_->runPending(kDefaultRunLoopMode);
    std::unique_lock<std::mutex> lock(impl_->mutex);
    if (impl_->stopRequested) return;
    impl_->cv.wait(lock, [&] { return impl_->hasReadyLocked(kDefaultRunLoopMode) || impl_->stopRequested; });
    if (impl_->stopRequested) return;
  }
}

void RunLoop::runUntil(DispatchTime deadline) {
  checkRunner(*this);
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->stopRequested = false;
  }
  if (auto* manual = manualClock()) {
    if (!deadline.isForever()) manual->advanceNanos(deadline.nanosFromNow());
    while (impl_->runPending(kDefaultRunLoopMode)) {
    }
    return;
  }
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(impl_->mutex);
      if (impl_->stopRequested) return;
    }
    if (deadline.hasPassed()) return;
    runOnce(kDefaultRunLoopMode, deadline);
  }
}

void RunLoop::runUntilIdle() {
  checkRunner(*this);
  if (impl_->isMain) {
    dispatch::drainUntilIdle();
    return;
  }
  while (impl_->runPending(kDefaultRunLoopMode)) {
  }
}

void RunLoop::stop() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->stopRequested = true;
  impl_->cv.notify_all();
}

// ---- Timer ----

namespace {
// Marks a timer or display link invalid and cancels its pending firing. The
// callback is released outside the lock, since it may own the item itself.
template <class Impl>
void invalidateArmed(Impl& impl) {
  decltype(impl.callback) release;
  dd::Scheduler::Id entry;
  {
    std::lock_guard<std::mutex> lock(impl.mutex);
    impl.valid = false;
    release = std::move(impl.callback);
    entry = impl.entry;
    impl.entry = 0;
  }
  if (entry) dd::Scheduler::shared().cancel(entry);
}
}  // namespace

struct Timer::Impl {
  std::mutex mutex;
  bool valid = true;                     // guarded by mutex
  bool added = false;                    // guarded by mutex
  Callback callback;                     // guarded by mutex
  std::weak_ptr<RunLoop::Impl> loop;     // guarded by mutex
  std::string mode;                      // guarded by mutex
  int64_t nextFire = 0;                  // uptime nanos; guarded by mutex
  dd::Scheduler::Id entry = 0;           // guarded by mutex; 0: not armed
};

namespace {
int64_t intervalNanos(double seconds) {
  if (!(seconds > 0)) return 0;
  return seconds >= 9e9 ? INT64_MAX / 2 : int64_t(seconds * 1e9);
}
}  // namespace

Timer::Timer(double interval, bool repeats, Callback callback)
    : interval_(repeats ? std::max(interval, 0.0001) : std::max(interval, 0.0)),
      repeats_(repeats),
      impl_(std::make_shared<Impl>()) {
  impl_->callback = std::move(callback);
  impl_->nextFire = Clock::current().uptimeNanos() + intervalNanos(interval_);
}

Timer::~Timer() = default;

std::shared_ptr<Timer> Timer::create(double interval, bool repeats, Callback callback) {
  return std::shared_ptr<Timer>(new Timer(interval, repeats, std::move(callback)));
}

std::shared_ptr<Timer> Timer::scheduledTimer(double interval, bool repeats, Callback callback) {
  auto t = create(interval, repeats, std::move(callback));
  RunLoop::current().addTimer(t);
  return t;
}

namespace {
// Requires timer->impl mutex. Posts the firing to the run loop when due.
void armTimer(const std::shared_ptr<Timer>& timer, Timer::Impl& im);

void fireTimer(const std::shared_ptr<Timer>& timer, Timer::Impl& im) {
  Timer::Callback cb;
  {
    std::lock_guard<std::mutex> lock(im.mutex);
    if (!im.valid) return;
    cb = im.callback;
  }
  if (cb) cb(*timer);
  Timer::Callback release;
  std::lock_guard<std::mutex> lock(im.mutex);
  if (!im.valid) return;
  if (!timer->repeats()) {
    im.valid = false;
    release = std::move(im.callback);
    return;
  }
  int64_t interval = intervalNanos(timer->timeInterval());
  int64_t now = Clock::current().uptimeNanos();
  int64_t next = im.nextFire + interval;
  // Missed fire dates are dropped: go on from the next one in the future.
  if (next <= now) next += ((now - next) / interval + 1) * interval;
  im.nextFire = next;
  armTimer(timer, im);
}

void armTimer(const std::shared_ptr<Timer>& timer, Timer::Impl& im) {
  std::weak_ptr<RunLoop::Impl> loop = im.loop;
  std::string mode = im.mode;
  im.entry = dd::Scheduler::shared().scheduleTimed(DispatchTime::uptime(im.nextFire), [timer, loop, mode](
                                                                                          DispatchTime deadline) {
    {
      // The deadline moves when another clock is installed; the next one follows it.
      std::lock_guard<std::mutex> lock(timer->impl().mutex);
      timer->impl().nextFire = deadline.nanos();
    }
    auto l = loop.lock();
    if (!l) return;
    l->post(mode, [timer] { fireTimer(timer, timer->impl()); });
  });
}
}  // namespace

void RunLoop::addTimer(const std::shared_ptr<Timer>& timer, const std::string& mode) {
  if (!timer) return;
  auto& im = *timer->impl_;
  std::lock_guard<std::mutex> lock(im.mutex);
  if (!im.valid || im.added) return;
  im.added = true;
  im.loop = impl_;
  im.mode = mode;
  armTimer(timer, im);
}

std::shared_ptr<Timer> RunLoop::performAfterDelay(double seconds, DispatchBlock block) {
  auto timer = Timer::create(seconds, false, [block = std::move(block)](Timer&) {
    if (block) block();
  });
  addTimer(timer, kDefaultRunLoopMode);
  return timer;
}

void Timer::invalidate() { invalidateArmed(*impl_); }

bool Timer::isValid() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->valid;
}

void Timer::fire() {
  Callback cb;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (!impl_->valid) return;
    cb = impl_->callback;
  }
  if (cb) cb(*this);
  if (!repeats_) invalidate();
}

double Timer::fireDate() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  auto& clock = Clock::current();
  return clock.wallTime() + double(impl_->nextFire - clock.uptimeNanos()) / 1e9;
}

// ---- DisplayLink ----

struct DisplayLink::Impl {
  std::mutex mutex;
  Callback callback;                  // guarded by mutex
  bool valid = true;                  // guarded by mutex
  bool paused = false;                // guarded by mutex
  bool added = false;                 // guarded by mutex
  std::weak_ptr<RunLoop::Impl> loop;  // guarded by mutex
  std::string mode;                   // guarded by mutex
  int64_t nextFrame = 0;              // uptime nanos; guarded by mutex
  dd::Scheduler::Id entry = 0;        // guarded by mutex
  int64_t timestamp = 0;              // guarded by mutex
  uint64_t generation = 0;            // guarded by mutex; stale ticks ignore themselves
};

namespace {
void armLink(const std::shared_ptr<DisplayLink>& link, DisplayLink::Impl& im);

void tickLink(const std::shared_ptr<DisplayLink>& link, DisplayLink::Impl& im, uint64_t generation) {
  DisplayLink::Callback cb;
  {
    std::lock_guard<std::mutex> lock(im.mutex);
    if (!im.valid || im.paused || generation != im.generation) return;
    im.timestamp = im.nextFrame;
    int64_t now = Clock::current().uptimeNanos();
    int64_t next = im.nextFrame + DisplayLink::kFrameNanos;
    if (next <= now) next += ((now - next) / DisplayLink::kFrameNanos + 1) * DisplayLink::kFrameNanos;
    im.nextFrame = next;
    armLink(link, im);
    cb = im.callback;
  }
  if (cb) cb(*link);
}

void armLink(const std::shared_ptr<DisplayLink>& link, DisplayLink::Impl& im) {
  std::weak_ptr<RunLoop::Impl> loop = im.loop;
  std::string mode = im.mode;
  uint64_t generation = ++im.generation;
  im.entry = dd::Scheduler::shared().scheduleTimed(DispatchTime::uptime(im.nextFrame), [link, loop, mode, generation](
                                                                                             DispatchTime deadline) {
    {
      // The deadline moves when another clock is installed; the next one follows it.
      std::lock_guard<std::mutex> lock(link->impl().mutex);
      if (generation == link->impl().generation) link->impl().nextFrame = deadline.nanos();
    }
    auto l = loop.lock();
    if (!l) return;
    l->post(mode, [link, generation] { tickLink(link, link->impl(), generation); });
  });
}
}  // namespace

DisplayLink::DisplayLink(Callback callback) : impl_(std::make_shared<Impl>()) {
  impl_->callback = std::move(callback);
}

DisplayLink::~DisplayLink() = default;

std::shared_ptr<DisplayLink> DisplayLink::create(Callback callback) {
  return std::shared_ptr<DisplayLink>(new DisplayLink(std::move(callback)));
}

void DisplayLink::addToRunLoop(RunLoop& runLoop, const std::string& mode) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (!impl_->valid || impl_->added) return;
  impl_->added = true;
  impl_->loop = runLoop.sharedImpl();
  impl_->mode = mode;
  impl_->nextFrame = Clock::current().uptimeNanos() + kFrameNanos;
  if (!impl_->paused) armLink(shared_from_this(), *impl_);
}

void DisplayLink::invalidate() { invalidateArmed(*impl_); }

bool DisplayLink::isPaused() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->paused;
}

void DisplayLink::setPaused(bool paused) {
  dd::Scheduler::Id cancelEntry = 0;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->paused == paused) return;
    impl_->paused = paused;
    if (paused) {
      ++impl_->generation;
      cancelEntry = impl_->entry;
      impl_->entry = 0;
    } else if (impl_->valid && impl_->added) {
      impl_->nextFrame = Clock::current().uptimeNanos() + kFrameNanos;
      armLink(shared_from_this(), *impl_);
    }
  }
  if (cancelEntry) dd::Scheduler::shared().cancel(cancelEntry);
}

double DisplayLink::timestamp() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return double(impl_->timestamp) / 1e9;
}

double DisplayLink::targetTimestamp() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return double(impl_->timestamp + kFrameNanos) / 1e9;
}

}  // namespace os
