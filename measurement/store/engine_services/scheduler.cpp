#include "measurement/store/engine_services/scheduler.h"

#include <cxxabi.h>

#include <cmath>
#include <cstdlib>
#include <exception>
#include <limits>
#include <typeinfo>

#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/engine_services/shorthands.h"
#include "measurement/store/monitor.h"
#include "os/foundation/format.h"

namespace {

constexpr int64_t kCodeAsyncBlockThrew = 30000;
constexpr int64_t kCodeNotOnBackgroundThread = 30001;
constexpr int64_t kCodeNilSyncBlock = 30002;
constexpr int64_t kCodeSyncBlockThrew = 30003;
constexpr int64_t kCodeSyncBlockFailed = 30004;
constexpr int64_t kCodeNilAsyncBlock = 30005;
constexpr int64_t kCodeAlarmEmptyBlock = 2000;
constexpr int64_t kCodeAlarmFired = 2001;
constexpr int64_t kCodeAlarmScheduled = 2002;
constexpr int64_t kCodeAlarmCanceled = 2003;
constexpr int64_t kCodeAlarmNotActive = 2004;

using apm_shorthands::monitor;

std::string demangled(const char* name) {
  int status = 0;
  char* readable = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  std::string out = status == 0 && readable != nullptr ? readable : name;
  std::free(readable);
  return out;
}

// The exception being handled, as a log context: an os::Exception as it is,
// any other named by its type, with what() as its reason where it has one.
// Call only inside a catch block.
os::Exception currentException() {
  try {
    throw;
  } catch (const os::Exception& e) {
    return e;
  } catch (const std::exception& e) {
    return os::Exception(demangled(typeid(e).name()), e.what());
  } catch (...) {
    const std::type_info* type = abi::__cxa_current_exception_type();
    return os::Exception(type != nullptr ? demangled(type->name()) : "unknown exception", "");
  }
}

// Runs the block; a throw is logged as 30000 under the ID and goes no
// further.
void runCatching(const std::string& blockID, const std::function<void()>& block) {
  try {
    block();
  } catch (...) {
    monitor()->logWithLevel(1, kCodeAsyncBlockThrew,
                            os::format("Exception on worker queue. Block ID=%@. Exception", blockID),
                            currentException());
  }
}

int64_t nanosOf(double seconds) {
  if (std::isnan(seconds)) return 0;
  const double nanos = seconds * 1e9;
  if (nanos >= 9.2e18) return std::numeric_limits<int64_t>::max();
  if (nanos <= -9.2e18) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(nanos);
}

}  // namespace

// ---- APMScheduler ----

APMScheduler::APMScheduler(const std::string& workerQueueLabel)
    : workerQueue_(os::DispatchQueue::create(workerQueueLabel, os::DispatchQueue::Attributes::Serial,
                                             os::QualityOfService::Unspecified,
                                             os::DispatchQueue::global(os::QualityOfService::Background))) {}

bool APMScheduler::checkOnBackgroundThreadWithMethodName(std::string_view methodName) {
  if (!os::DispatchQueue::isMainThread()) return true;
  monitor()->logWithLevel(1, kCodeNotOnBackgroundThread,
                          os::format("Method %@ should execute on background thread",
                                     methodName.empty() ? std::string_view("<empty method name>") : methodName));
  return false;
}

void APMScheduler::scheduleOnWorkerQueueBlockID(std::string blockID, std::function<void()> block) {
  if (!block) {
    monitor()->logWithLevel(1, kCodeNilAsyncBlock,
                            os::format("Nil block dispatched asynchronously on worker queue. Block ID=%@.", blockID));
    return;
  }
  workerQueue_->async(
      [blockID = std::move(blockID), block = std::move(block)] { runCatching(blockID, block); });
}

void APMScheduler::dispatchSyncOnWorkerQueueBlockID(std::string blockID, const std::function<void()>& block) {
  if (!block) {
    monitor()->logWithLevel(1, kCodeNilSyncBlock,
                            os::format("Nil block dispatched synchronously on worker queue. Block ID=%@.", blockID));
    return;
  }
  bool completed = false;
  workerQueue_->sync([&] {
    try {
      block();
      completed = true;
    } catch (...) {
      monitor()->logWithLevel(
          1, kCodeSyncBlockThrew,
          os::format("Exception on worker queue when processing sync block. Block ID=%@. Exception", blockID),
          currentException());
    }
  });
  if (!completed) {
    monitor()->logWithLevel(4, kCodeSyncBlockFailed, os::format("Synchronous task failed. Block ID=%@", blockID));
  }
}

// ---- APMAlarm ----

std::shared_ptr<APMAlarm> APMAlarm::initWithDispatchQueue(std::shared_ptr<os::DispatchQueue> queue,
                                                          std::string_view name) {
  return std::shared_ptr<APMAlarm>(
      new APMAlarm(std::move(queue), name.empty() ? std::string(kAPMAlarmDefaultName) : std::string(name)));
}

APMAlarm::APMAlarm(std::shared_ptr<os::DispatchQueue> queue, std::string name)
    : queue_(std::move(queue)), name_(std::move(name)) {}

APMAlarm::~APMAlarm() { cancel(); }

void APMAlarm::runAfterDelay(double delay, std::function<void()> block) {
  if (!block) {
    monitor()->logWithLevel(1, kCodeAlarmEmptyBlock, name_ + " tried to schedule an empty block");
    return;
  }
  std::lock_guard lock(mutex_);
  cancel();
  scheduledTimestamp_ = os::Date::now().addingTimeInterval(delay);
  auto timer = os::DispatchSourceTimer::create(queue_);
  // The handler keeps the alarm alive until it fires; the timer lets go of
  // the handler once it is cancelled, which firing does.
  std::weak_ptr<os::DispatchSourceTimer> firing = timer;
  timer->setEventHandler([self = shared_from_this(), firing, block = std::move(block)] {
    {
      std::lock_guard lock(self->mutex_);
      if (self->timer_ != firing.lock()) return;  // replaced while this firing was queued
    }
    self->fire(block);
  });
  timer->setTimer(os::DispatchTime::wallNow().afterNanos(nanosOf(delay)), os::kDispatchTimeForever, 0);
  timer->resume();
  timer_ = std::move(timer);
  monitor()->logWithLevel(7, kCodeAlarmScheduled, name_ + " scheduled to fire in approx. (s)", delay);
}

void APMAlarm::fire(const std::function<void()>& block) {
  monitor()->logWithLevel(7, kCodeAlarmFired, name_ + " fired");
  cancel();
  // An alarm's block is a block like any other on its queue: a throw is
  // logged under the alarm's name and goes no further.
  runCatching(name_, block);
}

void APMAlarm::cancel() {
  std::lock_guard lock(mutex_);
  if (!scheduledTimestamp_) return;
  monitor()->logWithLevel(7, kCodeAlarmCanceled, name_ + " canceled");
  if (hasActiveTimer()) {
    timer_->cancel();
  } else {
    monitor()->logWithLevel(4, kCodeAlarmNotActive, name_ + " is not active");
  }
  scheduledTimestamp_.reset();
}

bool APMAlarm::hasActiveTimer() const {
  std::lock_guard lock(mutex_);
  return timer_ && !timer_->isCancelled();
}

std::optional<os::Date> APMAlarm::scheduledTimestamp() const {
  std::lock_guard lock(mutex_);
  return scheduledTimestamp_;
}

std::shared_ptr<os::DispatchSourceTimer> APMAlarm::TEST_timer() const {
  std::lock_guard lock(mutex_);
  return timer_;
}
