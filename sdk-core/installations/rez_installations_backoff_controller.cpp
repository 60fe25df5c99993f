#include "sdk-core/installations/rez_installations_backoff_controller.h"

#include <algorithm>
#include <cmath>

#include "os/foundation/crypto.h"

REZInstallationsBackoffController::REZInstallationsBackoffController()
    : REZInstallationsBackoffController([] { return os::Date::now(); }) {}

REZInstallationsBackoffController::REZInstallationsBackoffController(CurrentDateProvider currentDateProvider)
    : currentDateProvider_(std::move(currentDateProvider)) {}

double REZInstallationsBackoffController::backoffTimeIntervalForEvent(REZInstallationsBackoffEvent event,
                                                                      uint64_t count) {
  switch (event) {
    case REZInstallationsBackoffEvent::Success:
      return 0;
    case REZInstallationsBackoffEvent::RecoverableFailure: {
      const double jitter = os::randomUniform(1000) * 0.001;
      // In floating point: 2^count overflows no integer however long the run.
      return std::min(std::ldexp(1.0, static_cast<int>(std::min<uint64_t>(count, 64))) + jitter,
                      kREZInstallationsMaximumRecoverableBackoff);
    }
    case REZInstallationsBackoffEvent::UnrecoverableFailure:
      return kREZInstallationsUnrecoverableBackoff;
  }
  return 0;
}

bool REZInstallationsBackoffController::isNextRequestAllowed() {
  std::lock_guard lock(mutex_);
  if (!lastEventData_) return true;
  const double elapsed = currentDateProvider_().timeIntervalSinceDate(lastEventData_->lastEventDate);
  return elapsed >= lastEventData_->backoffTimeInterval;
}

void REZInstallationsBackoffController::registerEvent(REZInstallationsBackoffEvent event) {
  std::lock_guard lock(mutex_);
  const uint64_t count = lastEventData_ && lastEventData_->eventType == event ? lastEventData_->eventCount + 1 : 1;
  lastEventData_ = REZInstallationsBackoffEventData{event, currentDateProvider_(), count,
                                                    backoffTimeIntervalForEvent(event, count)};
}
