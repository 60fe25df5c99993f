#include "os/foundation/clock.h"

#include <time.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "os/foundation/date.h"

namespace os {

// The clock's state is never destroyed: detached threads (the timer thread
// of os/dispatch) may read the clock during static destruction.
namespace {
std::mutex& clockMutex() {
  static std::mutex* m = new std::mutex();
  return *m;
}
std::shared_ptr<Clock>& installedClock() {
  static std::shared_ptr<Clock>* c = new std::shared_ptr<Clock>(SystemClock::shared());
  return *c;
}
}  // namespace

double SystemClock::wallTime() const {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

int64_t SystemClock::uptimeNanos() const {
  timespec ts;
  clock_gettime(CLOCK_BOOTTIME, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::shared_ptr<SystemClock> SystemClock::shared() {
  static auto* c = new std::shared_ptr<SystemClock>(std::make_shared<SystemClock>());
  return *c;
}

Clock& Clock::current() {
  std::lock_guard<std::mutex> lock(clockMutex());
  // The installed clock lives until replaced; callers use it briefly.
  return *installedClock();
}

std::shared_ptr<Clock> Clock::currentShared() {
  std::lock_guard<std::mutex> lock(clockMutex());
  return installedClock();
}

static std::atomic<Clock::ChangeHandler>& changeHandler() {
  static std::atomic<Clock::ChangeHandler> h{nullptr};
  return h;
}

std::shared_ptr<Clock> Clock::setCurrent(std::shared_ptr<Clock> clock) {
  std::shared_ptr<Clock> previous;
  {
    std::lock_guard<std::mutex> lock(clockMutex());
    previous = installedClock();
    // Replaced clocks are kept alive: references from current() may outlive the swap.
    static auto* retired = new std::vector<std::shared_ptr<Clock>>();
    retired->push_back(previous);
    installedClock() = clock ? std::move(clock) : SystemClock::shared();
  }
  if (auto handler = changeHandler().load()) handler();
  return previous;
}

void Clock::setChangeHandler(ChangeHandler handler) { changeHandler().store(handler); }

Date Date::now() { return Date::fromTimeIntervalSince1970(Clock::current().wallTime()); }

double Date::timeIntervalSinceNow() const { return t_ - Clock::current().wallTime(); }

}  // namespace os
