// The deadline scheduler, DispatchTime and os::ManualClock.
//
// Invariants:
//  1. Every pending entry sits in exactly one of `uptimeEntries` and
//     `wallEntries`, and in `index`; an entry is fired at most once and only
//     after being removed from both (under `mutex`).
//  2. Entries are fired while holding `fireMutex`, so firings never overlap
//     and follow pop order: the earliest deadline first, ties in scheduling
//     order.
//  3. While a manual clock steps (`stepping` > 0) the timer thread fires
//     nothing; the stepping thread fires everything that falls due.
//  4. Every uptime entry is measured by `clock`. Whoever reads the clock under
//     `mutex` first calls syncClockLocked(), which moves the uptime entries
//     to a newly installed clock before anything is compared with it.
#include <algorithm>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <map>
#include <thread>
#include <unordered_map>

#include "os/dispatch/detail.h"
#include "os/dispatch/manual_clock.h"

namespace os {
namespace dispatch::detail {

int64_t wallNanos(const Clock& clock) {
  if (auto* manual = dynamic_cast<const ManualClock*>(&clock)) return manual->wallNanos();
  return static_cast<int64_t>(std::llround(clock.wallTime() * 1e9));
}

struct Scheduler::State {
  using Key = std::pair<int64_t, Id>;  // (deadline, id): ids grow, so ties keep order
  struct Entry {
    TimedJob fire;
  };
  struct Popped {
    TimedJob fire;
    int64_t dueUptime;
    DispatchTime deadline;
  };

  std::recursive_mutex fireMutex;  // recursive: a firing may advance a manual clock
  std::mutex mutex;
  std::condition_variable cv;
  std::map<Key, Entry> uptimeEntries;           // guarded by mutex
  std::map<Key, Entry> wallEntries;             // guarded by mutex
  std::unordered_map<Id, std::pair<bool, int64_t>> index;  // id -> (isWall, deadline); guarded by mutex
  Id nextId = 0;                                // guarded by mutex
  bool threadStarted = false;                   // guarded by mutex
  int stepping = 0;                             // guarded by mutex
  uint64_t generation = 0;                      // guarded by mutex; bumped to wake the timer thread
  std::shared_ptr<Clock> clock;                 // guarded by mutex; the clock of the uptime entries

  // The current clock. When it is not the one the uptime entries were
  // scheduled by, each is moved by the difference of the two clocks' uptimes,
  // so that it keeps the time it had left. Requires mutex.
  std::shared_ptr<Clock> syncClockLocked() {
    auto current = Clock::currentShared();
    if (current == clock) return current;
    const int64_t delta = clock ? current->uptimeNanos() - clock->uptimeNanos() : 0;
    clock = current;
    if (delta == 0 || uptimeEntries.empty()) return current;
    std::map<Key, Entry> moved;
    for (auto& [key, entry] : uptimeEntries) {
      const int64_t due = shifted(key.first, delta);
      index[key.second].second = due;
      moved.emplace(Key{due, key.second}, std::move(entry));
    }
    uptimeEntries = std::move(moved);
    return current;
  }

  static int64_t shifted(int64_t nanos, int64_t delta) {
    if (delta > 0 && nanos > INT64_MAX - delta) return INT64_MAX;
    if (delta < 0 && nanos < INT64_MIN - delta) return INT64_MIN;
    return nanos + delta;
  }

  // The earliest entry as an uptime deadline, given the clock's readings.
  // Requires mutex.
  std::optional<std::pair<int64_t, Key>> earliest(int64_t upNow, int64_t wallNow, bool* isWall) const {
    std::optional<std::pair<int64_t, Key>> best;
    if (!uptimeEntries.empty()) {
      auto& k = uptimeEntries.begin()->first;
      best = {k.first, k};
      *isWall = false;
    }
    if (!wallEntries.empty()) {
      auto& k = wallEntries.begin()->first;
      int64_t delta = k.first - wallNow;
      int64_t due = delta > INT64_MAX - upNow ? INT64_MAX : upNow + delta;
      if (!best || due < best->first || (due == best->first && k.second < best->second.second)) {
        best = {due, k};
        *isWall = true;
      }
    }
    return best;
  }

  // Removes and returns the earliest entry when it is due by `limit`.
  // Requires mutex.
  std::optional<Popped> popDue(int64_t upNow, int64_t wallNow, int64_t limit) {
    bool isWall = false;
    auto e = earliest(upNow, wallNow, &isWall);
    if (!e || e->first > limit) return std::nullopt;
    auto& map = isWall ? wallEntries : uptimeEntries;
    auto it = map.find(e->second);
    const int64_t nanos = e->second.first;
    DispatchTime deadline = isWall ? DispatchTime::wall(0).afterNanos(nanos) : DispatchTime::uptime(nanos);
    Popped p{std::move(it->second.fire), e->first, deadline};
    map.erase(it);
    index.erase(e->second.second);
    return p;
  }

  void timerThread() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      auto clock = syncClockLocked();
      bool manual = clock->isManual();
      if (stepping > 0) {
        cv.wait(lock);
        continue;
      }
      int64_t up = clock->uptimeNanos();
      int64_t wall = wallNanos(*clock);
      bool isWall = false;
      auto next = earliest(up, wall, &isWall);
      if (next && next->first <= up) {
        lock.unlock();
        {
          std::lock_guard<std::recursive_mutex> fire(fireMutex);
          std::optional<Popped> p;
          {
            std::lock_guard<std::mutex> relock(mutex);
            auto now = syncClockLocked();
            if (stepping == 0) p = popDue(now->uptimeNanos(), wallNanos(*now), now->uptimeNanos());
          }
          if (p) p->fire(p->deadline);
        }
        lock.lock();
        continue;
      }
      uint64_t seen = generation;
      if (manual || !next) {
        // Only a new entry, a clock change or the end of a step can make
        // something due.
        cv.wait(lock, [&] { return generation != seen; });
      } else {
        // Capped so that a wall-clock jump or time asleep is noticed.
        int64_t wait = std::min<int64_t>(next->first - up, kNanosPerSecond);
        cv.wait_for(lock, std::chrono::nanoseconds(wait), [&] { return generation != seen; });
      }
    }
  }

  void wake() {
    ++generation;
    cv.notify_all();
  }
};

Scheduler::Scheduler() : state_(std::make_shared<State>()) { state_->clock = Clock::currentShared(); }

Scheduler& Scheduler::shared() {
  // Never destroyed: the timer thread may outlive static destruction.
  static Scheduler* s = [] {
    auto* sched = new Scheduler();
    Clock::setChangeHandler([] { Scheduler::shared().clockChanged(); });
    return sched;
  }();
  return *s;
}

Scheduler::Id Scheduler::schedule(DispatchTime deadline, Job fire) {
  return scheduleTimed(deadline, [fire = std::move(fire)](DispatchTime) { fire(); });
}

Scheduler::Id Scheduler::scheduleTimed(DispatchTime deadline, TimedJob fire) {
  if (deadline.isForever()) fatal("Scheduler::schedule: a deadline of forever never fires");
  std::lock_guard<std::mutex> lock(state_->mutex);
  // The deadline is of the current clock: entries of an earlier one move first.
  state_->syncClockLocked();
  Id id = ++state_->nextId;
  bool isWall = deadline.isWall();
  (isWall ? state_->wallEntries : state_->uptimeEntries)
      .emplace(State::Key{deadline.nanos(), id}, State::Entry{std::move(fire)});
  state_->index.emplace(id, std::make_pair(isWall, deadline.nanos()));
  if (!state_->threadStarted) {
    state_->threadStarted = true;
    auto st = state_;
    std::thread([st] { st->timerThread(); }).detach();
  }
  state_->wake();
  return id;
}

bool Scheduler::cancel(Id id) {
  TimedJob dropped;  // destroyed outside the lock: it may own arbitrary objects
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto it = state_->index.find(id);
  if (it == state_->index.end()) return false;
  auto& map = it->second.first ? state_->wallEntries : state_->uptimeEntries;
  auto e = map.find(State::Key{it->second.second, id});
  if (e != map.end()) {
    dropped = std::move(e->second.fire);
    map.erase(e);
  }
  state_->index.erase(it);
  return true;
}

std::optional<DispatchTime> Scheduler::deadlineOf(Id id) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->syncClockLocked();
  auto it = state_->index.find(id);
  if (it == state_->index.end()) return std::nullopt;
  if (it->second.first) return DispatchTime::wall(0).afterNanos(it->second.second);
  return DispatchTime::uptime(it->second.second);
}

void Scheduler::clockChanged() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->syncClockLocked();
  state_->wake();
}

size_t Scheduler::TEST_pendingCount() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->index.size();
}

void Scheduler::advanceManual(ManualClockAccess& clock, int64_t targetUptime) {
  // Time does not move while work is under way, real I/O in flight included:
  // its answer belongs to the present, not to the time after the advance.
  dispatch::drainUntilIdle();
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    ++state_->stepping;
  }
  for (;;) {
    std::optional<State::Popped> p;
    {
      std::lock_guard<std::recursive_mutex> fire(state_->fireMutex);
      {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->syncClockLocked();
        p = state_->popDue(clock.uptime(), clock.wall(), targetUptime);
        // The clock reads the deadline while its entry fires.
        if (p && p->dueUptime > clock.uptime()) clock.shift(p->dueUptime - clock.uptime());
      }
      if (p) p->fire(p->deadline);
    }
    if (!p) break;
    dispatch::drainUntilIdle();
  }
  if (targetUptime > clock.uptime()) clock.shift(targetUptime - clock.uptime());
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    --state_->stepping;
    state_->wake();
  }
  dispatch::drainUntilIdle();
}

}  // namespace dispatch::detail

// ---- DispatchTime ----

namespace {
int64_t saturatingAdd(int64_t a, int64_t b) {
  if (b > 0 && a > INT64_MAX - b) return INT64_MAX;
  if (b < 0 && a < INT64_MIN - b) return INT64_MIN;
  return a + b;
}
int64_t secondsToNanos(double seconds) {
  if (std::isnan(seconds)) return 0;
  double n = seconds * 1e9;
  if (n >= 9.2e18) return INT64_MAX;
  if (n <= -9.2e18) return INT64_MIN;
  // Rounded, not truncated: advance(0.05) must reach a deadline set 0.05 s ahead.
  return std::llround(n);
}
}  // namespace

DispatchTime DispatchTime::now() { return uptime(Clock::current().uptimeNanos()); }

DispatchTime DispatchTime::wallNow() {
  return DispatchTime(Kind::Wall, dispatch::detail::wallNanos(Clock::current()));
}

DispatchTime DispatchTime::wall(double secondsSince1970) {
  return DispatchTime(Kind::Wall, secondsToNanos(secondsSince1970));
}

DispatchTime DispatchTime::afterNanos(int64_t delta) const {
  if (isForever()) return *this;
  return DispatchTime(kind_, saturatingAdd(nanos_, delta));
}

DispatchTime DispatchTime::afterSeconds(double seconds) const { return afterNanos(secondsToNanos(seconds)); }

int64_t DispatchTime::nanosFromNow() const {
  switch (kind_) {
    case Kind::Forever:
      return INT64_MAX;
    case Kind::Wall:
      return saturatingAdd(nanos_, -dispatch::detail::wallNanos(Clock::current()));
    case Kind::Uptime:
      break;
  }
  return saturatingAdd(nanos_, -Clock::current().uptimeNanos());
}

// ---- ManualClock ----

ManualClock::ManualClock(double wallTime, int64_t uptimeNanos)
    : uptime_(uptimeNanos), wallNanos_(secondsToNanos(wallTime)) {}

double ManualClock::wallTime() const { return double(wallNanos_.load()) / 1e9; }
int64_t ManualClock::uptimeNanos() const { return uptime_.load(); }

namespace {
class Access final : public dispatch::detail::ManualClockAccess {
 public:
  Access(std::atomic<int64_t>& up, std::atomic<int64_t>& wall) : up_(up), wall_(wall) {}
  int64_t uptime() const override { return up_.load(); }
  int64_t wall() const override { return wall_.load(); }
  void shift(int64_t delta) override {
    up_.fetch_add(delta);
    wall_.fetch_add(delta);
  }

 private:
  std::atomic<int64_t>& up_;
  std::atomic<int64_t>& wall_;
};
}  // namespace

void ManualClock::advanceNanos(int64_t nanos) {
  Access access(uptime_, wallNanos_);
  int64_t target = saturatingAdd(uptime_.load(), std::max<int64_t>(nanos, 0));
  dispatch::detail::Scheduler::shared().advanceManual(access, target);
}

void ManualClock::advance(double seconds) { advanceNanos(secondsToNanos(seconds)); }

void ManualClock::advanceTo(double wallTime) {
  advanceNanos(saturatingAdd(secondsToNanos(wallTime), -wallNanos_.load()));
}

void ManualClock::setWallTime(double wallTime) {
  wallNanos_.store(secondsToNanos(wallTime));
  advanceNanos(0);
}

std::shared_ptr<ManualClock> ManualClock::install(double wallTime, int64_t uptimeNanos) {
  auto clock = std::make_shared<ManualClock>(wallTime, uptimeNanos);
  dispatch::detail::Scheduler::shared();  // registers the clock-change handler
  Clock::setCurrent(clock);
  return clock;
}

ManualClockScope::ManualClockScope() {
  clock_ = std::make_shared<ManualClock>();
  dispatch::detail::Scheduler::shared();
  previous_ = Clock::setCurrent(clock_);
}

ManualClockScope::~ManualClockScope() { Clock::setCurrent(previous_); }

}  // namespace os
