// Timer sources.
//
// State (guarded by Impl::mutex): armed with `next` while a scheduler entry
// is pending; each deadline adds to `pendingFires` and re-arms a repeating
// timer; a delivery job is queued when fires are pending, the source is
// resumed and none is queued yet (`handlerQueued`), so firings that come
// while the handler waits are merged. After cancel() nothing is delivered;
// the cancel handler runs once no handler is queued or running, and then all
// handlers are released (which breaks cycles through captured references).
#include "os/dispatch/source.h"

#include "os/dispatch/detail.h"

namespace os {

namespace dd = dispatch::detail;

struct DispatchSourceTimer::Impl : std::enable_shared_from_this<DispatchSourceTimer::Impl> {
  std::mutex mutex;
  std::shared_ptr<DispatchQueue> queue;
  DispatchBlock eventHandler;         // guarded by mutex
  DispatchBlock cancelHandler;        // guarded by mutex
  DispatchBlock registrationHandler;  // guarded by mutex
  int suspendCount = 1;               // guarded by mutex
  bool everResumed = false;           // guarded by mutex
  bool cancelled = false;             // guarded by mutex
  bool cancelDelivered = false;       // guarded by mutex
  bool armed = false;                 // guarded by mutex
  DispatchTime next = DispatchTime::forever();  // guarded by mutex
  int64_t interval = kDispatchTimeForever;      // guarded by mutex
  int64_t leeway = 0;                           // guarded by mutex
  dd::Scheduler::Id entry = 0;                  // guarded by mutex
  uint64_t pendingFires = 0;                    // guarded by mutex
  uint64_t currentData = 0;                     // guarded by mutex
  bool handlerQueued = false;                   // guarded by mutex
  bool handlerRunning = false;                  // guarded by mutex
  uint64_t armGeneration = 0;                   // guarded by mutex; stale entries ignore themselves

  bool repeating() const { return interval > 0 && interval != kDispatchTimeForever; }

  // Requires mutex.
  void arm() {
    auto self = shared_from_this();
    uint64_t generation = ++armGeneration;
    entry = dd::Scheduler::shared().scheduleTimed(
        next, [self, generation](DispatchTime deadline) { self->onDeadline(generation, deadline); });
  }

  // Requires mutex. Returns the entry to cancel outside the lock.
  dd::Scheduler::Id disarm() {
    armed = false;
    ++armGeneration;
    auto e = entry;
    entry = 0;
    return e;
  }

  // `deadline` is `next` as the scheduler holds it: moved when another clock
  // was installed meanwhile, so the following deadlines are of that clock.
  void onDeadline(uint64_t generation, DispatchTime deadline) {
    std::lock_guard<std::mutex> lock(mutex);
    if (generation != armGeneration || cancelled || !armed) return;
    entry = 0;
    next = deadline;
    ++pendingFires;
    if (repeating()) {
      DispatchTime following = next.afterNanos(interval);
      int64_t late = -following.nanosFromNow();
      if (late >= 0) {
        // Deadlines already missed (real clock, a busy system) are merged.
        int64_t missed = late / interval + 1;
        pendingFires += uint64_t(missed);
        following = following.afterNanos(missed * interval);
      }
      next = following;
      arm();
    } else {
      armed = false;
      next = DispatchTime::forever();
    }
    maybeDeliver();
  }

  // Requires mutex.
  void maybeDeliver() {
    if (cancelled || suspendCount > 0 || pendingFires == 0 || handlerQueued) return;
    handlerQueued = true;
    auto self = shared_from_this();
    queue->async([self] { self->deliver(); });
  }

  void deliver() {
    DispatchBlock handler;
    {
      std::lock_guard<std::mutex> lock(mutex);
      handlerQueued = false;
      if (cancelled || suspendCount > 0) {
        finishIfCancelled();
        return;
      }
      currentData = pendingFires;
      pendingFires = 0;
      handler = eventHandler;
      handlerRunning = true;
    }
    if (handler) handler();
    std::lock_guard<std::mutex> lock(mutex);
    handlerRunning = false;
    finishIfCancelled();
  }

  // Requires mutex. Queues the cancel handler once nothing else is in flight.
  void finishIfCancelled() {
    if (!cancelled || cancelDelivered || handlerQueued || handlerRunning) return;
    cancelDelivered = true;
    auto self = shared_from_this();
    queue->async([self] {
      DispatchBlock cancelH, event, registration;
      {
        std::lock_guard<std::mutex> lock(self->mutex);
        cancelH = std::move(self->cancelHandler);
        event = std::move(self->eventHandler);
        registration = std::move(self->registrationHandler);
      }
      if (cancelH) cancelH();
    });
  }
};

DispatchSourceTimer::DispatchSourceTimer(std::shared_ptr<DispatchQueue> queue) : impl_(std::make_shared<Impl>()) {
  impl_->queue = queue ? std::move(queue) : DispatchQueue::global();
}

// A resumed source lives on in its scheduler entry and queued jobs until
// cancelled, as the platform's does.
DispatchSourceTimer::~DispatchSourceTimer() = default;

std::shared_ptr<DispatchSourceTimer> DispatchSourceTimer::create(std::shared_ptr<DispatchQueue> queue) {
  return std::shared_ptr<DispatchSourceTimer>(new DispatchSourceTimer(std::move(queue)));
}

void DispatchSourceTimer::setTimer(DispatchTime start, int64_t intervalNanos, int64_t leewayNanos) {
  dd::Scheduler::Id old;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    old = impl_->disarm();
    if (impl_->cancelled) return;
    impl_->interval = intervalNanos <= 0 ? kDispatchTimeForever : intervalNanos;
    impl_->leeway = leewayNanos < 0 ? 0 : leewayNanos;
    impl_->next = start;
    if (!start.isForever()) {
      impl_->armed = true;
      impl_->arm();
    }
  }
  if (old) dd::Scheduler::shared().cancel(old);
}

void DispatchSourceTimer::setEventHandler(DispatchBlock handler) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (!impl_->cancelled) impl_->eventHandler = std::move(handler);
}

void DispatchSourceTimer::setCancelHandler(DispatchBlock handler) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (!impl_->cancelled) impl_->cancelHandler = std::move(handler);
}

void DispatchSourceTimer::setRegistrationHandler(DispatchBlock handler) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (!impl_->cancelled) impl_->registrationHandler = std::move(handler);
}

void DispatchSourceTimer::resume() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->suspendCount == 0) dd::fatal("DispatchSourceTimer::resume without a matching suspend");
  if (--impl_->suspendCount > 0) return;
  if (!impl_->everResumed) {
    impl_->everResumed = true;
    if (impl_->registrationHandler && !impl_->cancelled) impl_->queue->async(impl_->registrationHandler);
  }
  impl_->maybeDeliver();
}

void DispatchSourceTimer::suspend() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  ++impl_->suspendCount;
}

void DispatchSourceTimer::cancel() {
  dd::Scheduler::Id old;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->cancelled) return;
    impl_->cancelled = true;
    impl_->pendingFires = 0;
    impl_->next = DispatchTime::forever();
    old = impl_->disarm();
    impl_->finishIfCancelled();
  }
  if (old) dd::Scheduler::shared().cancel(old);
}

bool DispatchSourceTimer::isCancelled() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->cancelled;
}

uint64_t DispatchSourceTimer::data() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->currentData;
}

int64_t DispatchSourceTimer::intervalNanos() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->interval;
}

int64_t DispatchSourceTimer::leewayNanos() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->leeway;
}

DispatchTime DispatchSourceTimer::nextFireTime() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (!impl_->armed) return DispatchTime::forever();
  if (impl_->entry) {
    if (auto deadline = dd::Scheduler::shared().deadlineOf(impl_->entry)) return *deadline;
  }
  return impl_->next;
}

}  // namespace os
