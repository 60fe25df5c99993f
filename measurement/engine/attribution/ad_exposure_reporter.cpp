#include "measurement/engine/attribution/ad_exposure_reporter.h"

#include <mutex>
#include <utility>

#include "measurement/engine/sessions/screen.h"
#include "measurement/engine/sessions/session_reporter.h"
#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/engine_services/event_parameters.h"
#include "measurement/store/engine_services/shorthands.h"
#include "measurement/store/monitor.h"
#include "os/runtime/runtime.h"

namespace {

using apm_shorthands::monitor;

// The screen-view reporter finds this reporter by name.
const os::runtime::ClassRegistration kRegistration{
    kAPMAdExposureReporterClassName, "NSObject", [](os::runtime::Class& c) {
      c.addClassMethod(kAPMSharedInstanceSelector,
                       os::runtime::makeClassImp<std::shared_ptr<APMScreenActivityObserver>>(
                           [](os::runtime::Class&) -> std::shared_ptr<APMScreenActivityObserver> {
                             return APMAdExposureReporter::sharedInstance();
                           }));
    }};

std::mutex& sharedMutex() {
  static std::mutex mutex;
  return mutex;
}
// Guarded by sharedMutex().
std::shared_ptr<APMAdExposureReporter>& sharedReporter() {
  static std::shared_ptr<APMAdExposureReporter> reporter;
  return reporter;
}

os::Dictionary currentScreenParameters() { return APMScreenViewReporter::sharedInstance()->screenParameters(); }

bool isAppActive() { return APMScreenViewReporter::sharedInstance()->isAppActive(); }

os::Value int64Value(int64_t value) { return os::Value(os::Number::int64(value)); }

}  // namespace

void APMAdExposureReporter::logEvents(const Events& events) {
  if (events.empty()) return;
  auto analytics = APMAnalyticsServices::sharedInstance();
  if (!analytics) return;
  for (const Event& event : events) {
    analytics->logInternalEventWithOrigin(kAPMAdExposureOrigin, event.name, event.parameters);
  }
}

// ---- Life ----

std::shared_ptr<APMAdExposureReporter> APMAdExposureReporter::sharedInstance() {
  std::lock_guard lock(sharedMutex());
  if (!sharedReporter()) {
    sharedReporter() = std::shared_ptr<APMAdExposureReporter>(new APMAdExposureReporter());
    sharedReporter()->observeNotifications();
  }
  return sharedReporter();
}

APMAdExposureReporter::APMAdExposureReporter()
    : queue_(os::DispatchQueue::serial(kAPMAdExposureReporterQueueLabel)),
      adExposureStartTime_(queue_, "adExposureStartTime_", currentTime()) {}

APMAdExposureReporter::~APMAdExposureReporter() { os::NotificationCenter::defaultCenter()->removeObserver(this); }

void APMAdExposureReporter::observeNotifications() {
  std::weak_ptr<APMAdExposureReporter> weak = weak_from_this();
  os::NotificationCenter::defaultCenter()->addObserver(
      this,
      [weak](const os::Notification& notification) {
        if (auto self = weak.lock()) self->handleEngagementTimer(notification);
      },
      kAPMSessionReporterEngagementTimerDidFire, nullptr);
}

double APMAdExposureReporter::currentTime() const { return APMCurrentUptime(); }

// ---- Begin and end ----

void APMAdExposureReporter::beginAdUnitExposure(std::string_view adUnitID) {
  if (adUnitID.empty()) {
    monitor()->logWithLevel(5, kAPMAdExposureCodeEmptyBeginID,
                            "Ignoring call to begin ad unit exposure. Received empty ad unit ID");
    return;
  }
  const double beginTime = currentTime();
  std::weak_ptr<APMAdExposureReporter> weak = weak_from_this();
  queue_->async([weak, id = std::string(adUnitID), beginTime] {
    auto self = weak.lock();
    if (!self) return;
    const bool tracked = self->adUnitCounts_.get().contains(id);
    // Only new units are refused at the limit: refusing a further begin of a
    // tracked unit would leave its count short and end it at the first end.
    if (!tracked && self->adUnitCounts_.get().size() >= kAPMMaxTrackedAdUnits) {
      monitor()->logWithLevel(5, kAPMAdExposureCodeUnitLimit, "Reached limit on ad units. Ignoring ad unit with ID",
                              id);
      return;
    }
    if (self->adUnitCounts_.get().empty()) self->adExposureStartTime_ = beginTime;
    if (!tracked) self->adUnitStartTimes_.get()[id] = beginTime;
    ++self->adUnitCounts_.get()[id];
  });
}

void APMAdExposureReporter::endAdUnitExposure(std::string_view adUnitID) {
  if (adUnitID.empty()) {
    monitor()->logWithLevel(5, kAPMAdExposureCodeEmptyEndID,
                            "Ignoring call to end ad unit exposure. Received empty ad unit ID");
    return;
  }
  const double endTime = currentTime();
  const os::Dictionary screenParameters = currentScreenParameters();
  const std::string id(adUnitID);
  Events events;
  queue_->sync([&] {
    auto count = adUnitCounts_.get().find(id);
    if (count == adUnitCounts_.get().end()) {
      monitor()->logWithLevel(5, kAPMAdExposureCodeUnknownUnit, "Unknown ad unit. Ignoring ad unit with ID", id);
      return;
    }
    if (count->second >= 2) {
      --count->second;
      return;
    }
    logAdUnitExposureEventOnSerialQueueWithID(id, endTime, screenParameters, events);
    adUnitCounts_.get().erase(count);
    adUnitStartTimes_.get().erase(id);
    if (adUnitCounts_.get().empty()) {
      logAdExposureEventOnSerialQueueWithEndTime(endTime, screenParameters, events);
      adExposureStartTime_ = endTime;
    }
  });
  logEvents(events);
}

// ---- Cuts ----

void APMAdExposureReporter::logExposureEventsWithScreenParameters(const os::Dictionary& screenParameters) {
  const double endTime = currentTime();
  Events events;
  queue_->sync([&] { logExposureEventsOnSerialQueueWithEndTime(endTime, screenParameters, events); });
  logEvents(events);
}

void APMAdExposureReporter::logExposureEventsOnSerialQueueWithEndTime(double endTime,
                                                                      const os::Dictionary& screenParameters,
                                                                      Events& events) {
  for (const auto& [id, count] : adUnitCounts_.get()) {
    logAdUnitExposureEventOnSerialQueueWithID(id, endTime, screenParameters, events);
  }
  if (adUnitCounts_.get().empty()) return;
  logAdExposureEventOnSerialQueueWithEndTime(endTime, screenParameters, events);
  updateStartTimesOnSerialQueue(endTime);
}

void APMAdExposureReporter::logAdExposureEventOnSerialQueueWithEndTime(double endTime,
                                                                       const os::Dictionary& screenParameters,
                                                                       Events& events) {
  if (!reportingEnabled_) {
    monitor()->logWithLevel(5, kAPMAdExposureCodeDisabled, "Ad exposure not logged. Reporting is disabled.");
    return;
  }
  if (!isAppActive()) {
    monitor()->logWithLevel(8, kAPMAdExposureCodeNotActive, "Ad exposure not logged. App is not active.");
    return;
  }
  const int64_t milliseconds = APMMillisecondsFromSeconds(endTime - adExposureStartTime_);
  if (milliseconds < kAPMMinExposureMilliseconds) {
    monitor()->logWithLevel(8, kAPMAdExposureCodeTooShort, "Ad exposure not logged. Exposure time was less than 1 sec");
    return;
  }
  os::Dictionary parameters = screenParameters;
  parameters.insert_or_assign(kAPMExposureTimeParameter, int64Value(milliseconds));
  events.push_back({kAPMAdExposureEventName, std::move(parameters)});
}

void APMAdExposureReporter::logAdUnitExposureEventOnSerialQueueWithID(const std::string& adUnitID, double endTime,
                                                                      const os::Dictionary& screenParameters,
                                                                      Events& events) {
  if (!reportingEnabled_) {
    monitor()->logWithLevel(5, kAPMAdUnitExposureCodeDisabled, "Ad unit exposure not logged. Reporting is disabled.");
    return;
  }
  if (adUnitID.empty()) {
    monitor()->logWithLevel(5, kAPMAdUnitExposureCodeEmptyID, "Ad unit exposure not logged. Received empty ad unit ID");
    return;
  }
  if (!isAppActive()) {
    monitor()->logWithLevel(8, kAPMAdUnitExposureCodeNotActive, "Ad unit exposure not logged. App is not active.");
    return;
  }
  const auto start = adUnitStartTimes_.get().find(adUnitID);
  const double startTime = start != adUnitStartTimes_.get().end() ? start->second : endTime;
  const int64_t milliseconds = APMMillisecondsFromSeconds(endTime - startTime);
  if (milliseconds < kAPMMinExposureMilliseconds) {
    monitor()->logWithLevel(8, kAPMAdUnitExposureCodeTooShort,
                            "Ad unit exposure not logged. Exposure time was less than 1 sec");
    return;
  }
  os::Dictionary parameters = screenParameters;
  parameters.insert_or_assign(kAPMAdUnitIDParameter, os::Value(adUnitID));
  parameters.insert_or_assign(kAPMExposureTimeParameter, int64Value(milliseconds));
  events.push_back({kAPMAdUnitExposureEventName, std::move(parameters)});
}

void APMAdExposureReporter::updateStartTimesOnSerialQueue(double startTime) {
  if (adUnitCounts_.get().empty()) return;
  for (auto& [id, start] : adUnitStartTimes_.get()) start = startTime;
  adExposureStartTime_ = startTime;
}

// ---- Triggers ----

void APMAdExposureReporter::handleScreenDidChangeFromScreen(const std::shared_ptr<APMScreen>& fromScreen,
                                                            const std::shared_ptr<APMScreen>&) {
  if (!fromScreen) return;
  logExposureEventsWithScreenParameters(APMScreenParametersForScreen(*fromScreen));
}

void APMAdExposureReporter::handleEngagementTimer(const os::Notification&) {
  logExposureEventsWithScreenParameters(currentScreenParameters());
}

void APMAdExposureReporter::handleAppWillResignActiveWithScreen(const std::shared_ptr<APMScreen>& screen) {
  logExposureEventsWithScreenParameters(screen ? APMScreenParametersForScreen(*screen) : currentScreenParameters());
}

void APMAdExposureReporter::handleAppDidBecomeActive() {
  const double now = currentTime();
  queue_->sync([&] { updateStartTimesOnSerialQueue(now); });
}

// ---- For tests ----

void APMAdExposureReporter::TEST_reset() {
  std::lock_guard lock(sharedMutex());
  sharedReporter().reset();
}

void APMAdExposureReporter::TEST_flush() {
  queue_->sync([] {});
}

size_t APMAdExposureReporter::TEST_trackedUnitCount() {
  return queue_->sync([this] { return adUnitCounts_.get().size(); });
}
