#include "measurement/engine/sessions/session_reporter.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "measurement/engine/sessions/screen.h"
#include "measurement/engine/sessions/screen_view_reporter.h"
#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/engine_services/scheduler.h"
#include "measurement/store/engine_services/shorthands.h"
#include "measurement/store/monitor.h"
#include "measurement/store/persisted_config.h"
#include "os/dispatch/notification.h"
#include "os/foundation/clock.h"

namespace {

using apm_shorthands::monitor;
std::shared_ptr<APMRemoteConfigSettings> settings() { return APMMeasurementServices::remoteConfig(); }

os::Value int64Value(int64_t value) { return os::Value(os::Number::int64(value)); }

void logEvent(const char* name, os::Dictionary parameters) {
  if (auto analytics = APMAnalyticsServices::sharedInstance()) {
    analytics->logInternalEventWithOrigin(kAPMAutoOrigin, name, parameters);
  }
}

}  // namespace

double APMCurrentUptime() {
  const os::Clock& clock = os::Clock::current();
  if (clock.bootTime() <= 0) return -1.0;
  // Read as whole microseconds: the boot time the clock time is taken from
  // has no finer resolution.
  const int64_t micros = clock.uptimeNanos() / os::kNanosPerMicrosecond;
  return static_cast<double>(micros) / 1e6;
}

double APMCurrentClockTime() { return os::Clock::current().wallTime(); }

int64_t APMMillisecondsFromSeconds(double seconds) {
  if (!std::isfinite(seconds)) return 0;
  return std::llround(seconds * 1e6) / 1000;
}

// ---- Life ----

std::shared_ptr<APMSessionReporter> APMSessionReporter::initWithPersistedConfig(
    std::shared_ptr<APMPersistedConfig> config) {
  return std::shared_ptr<APMSessionReporter>(new APMSessionReporter(std::move(config)));
}

APMSessionReporter::APMSessionReporter(std::shared_ptr<APMPersistedConfig> config)
    : persistedConfig_(std::move(config)),
      userEngagementTimer_(APMAlarm::initWithDispatchQueue(os::DispatchQueue::main(), kAPMEngagementTimerName)) {
  timeoutSessionInterval_ = settings()->sessionDefaultTimeoutInterval();
  engagementStartUptime_ = freerideEngagementStartUptime_ = currentUptime();
}

APMSessionReporter::~APMSessionReporter() { userEngagementTimer_->cancel(); }

void APMSessionReporter::send(Outbox& outbox) {
  for (auto& call : outbox) call();
}

// ---- Switches ----

void APMSessionReporter::setReportingEnabled(bool enabled) {
  std::lock_guard lock(mutex_);
  reportingEnabled_ = enabled;
  if (!enabled) {
    userEngagementTimer_->cancel();
  } else if (isAppActiveLocked() && !userEngagementTimer_->scheduledTimestamp()) {
    rescheduleUserEngagementTimerLocked();
  }
}

bool APMSessionReporter::isReportingEnabled() const {
  std::lock_guard lock(mutex_);
  return reportingEnabled_;
}

void APMSessionReporter::setTimeoutSessionInterval(double seconds) {
  std::lock_guard lock(mutex_);
  if (seconds < 0) {
    monitor()->logWithLevel(3, kAPMSessionCodeNegativeTimeout,
                            "Received negative timeout session duration. Setting to 0.0 instead.");
    seconds = 0.0;
  }
  timeoutSessionInterval_ = seconds;
}

double APMSessionReporter::timeoutSessionInterval() const {
  std::lock_guard lock(mutex_);
  return timeoutSessionInterval_;
}

// ---- Expiry ----

bool APMSessionReporter::isAppActiveLocked() const { return APMScreenViewReporter::sharedInstance()->isAppActive(); }

bool APMSessionReporter::isSessionExpiredLocked() {
  return std::fabs(currentClockTime() - persistedConfig_->lastSessionActivityClockTime()) > timeoutSessionInterval_;
}

bool APMSessionReporter::shouldStartNewSession() {
  std::lock_guard lock(mutex_);
  return isAppActiveLocked() && isSessionExpiredLocked();
}

bool APMSessionReporter::isSessionExpired() {
  std::lock_guard lock(mutex_);
  return isSessionExpiredLocked();
}

bool APMSessionReporter::extendSession() {
  std::lock_guard lock(mutex_);
  if (isSessionExpiredLocked()) return false;
  persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
  return true;
}

// ---- Session properties ----

std::shared_ptr<APMUserAttribute> APMSessionReporter::sessionIDPropertyWithTimestamp(double timestamp) {
  return APMUserAttribute::initWithOrigin(kAPMAutoOrigin, kAPMSessionIDProperty,
                                          APMValue::initWithInt64(static_cast<int64_t>(timestamp)), timestamp);
}

std::shared_ptr<APMUserAttribute> APMSessionReporter::sessionNumberProperty() {
  int64_t sessionNumber;
  {
    std::lock_guard lock(mutex_);
    sessionNumber = persistedConfig_->sessionNumber();
  }
  return APMUserAttribute::initWithOrigin(kAPMAutoOrigin, kAPMSessionNumberProperty,
                                          APMValue::initWithInt64(sessionNumber), currentClockTime());
}

void APMSessionReporter::updatePropertiesForNewSessionStart() {
  std::lock_guard lock(mutex_);
  updatePropertiesForNewSessionStartLocked();
}

void APMSessionReporter::updatePropertiesForNewSessionStartLocked() {
  persistedConfig_->setSessionNumber(persistedConfig_->sessionNumber() + 1);
  persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
}

void APMSessionReporter::setSessionID(std::optional<int64_t> sessionID, std::optional<int64_t> sessionNumber) {
  Outbox outbox;
  queueSessionID(sessionID, sessionNumber, outbox);
  send(outbox);
}

void APMSessionReporter::queueSessionID(std::optional<int64_t> sessionID, std::optional<int64_t> sessionNumber,
                                            Outbox& outbox) {
  outbox.push_back([sessionID, sessionNumber] {
    auto analytics = APMAnalyticsServices::sharedInstance();
    if (!analytics) return;
    analytics->setInternalUserProperty(sessionID ? int64Value(*sessionID) : os::Value(), kAPMSessionIDProperty,
                                       kAPMAutoOrigin);
    analytics->setInternalUserProperty(sessionNumber ? int64Value(*sessionNumber) : os::Value(),
                                       kAPMSessionNumberProperty, kAPMAutoOrigin);
  });
}

// ---- Engagement ----

double APMSessionReporter::incurredEngagementTime() {
  std::lock_guard lock(mutex_);
  return incurredEngagementTimeLocked();
}

double APMSessionReporter::incurredEngagementTimeLocked() {
  const double start = settings()->efficientEngagementReportingEnabled() ? freerideEngagementStartUptime_
                                                                         : engagementStartUptime_;
  const double incurred = currentUptime() - start;
  if (incurred < 0) {
    monitor()->logWithLevel(4, kAPMSessionCodeNegativeEngagement,
                            "Incurred engagement time is negative. Setting to 0.0 instead");
    return 0.0;
  }
  return incurred;
}

int64_t APMSessionReporter::cutFreerideEngagementTimeMillis() {
  std::lock_guard lock(mutex_);
  return cutFreerideEngagementTimeMillisLocked();
}

int64_t APMSessionReporter::cutFreerideEngagementTimeMillisLocked() {
  if (!settings()->efficientEngagementReportingEnabled()) return 0;
  const double incurred = incurredEngagementTimeLocked();
  freerideEngagementStartUptime_ = currentUptime();
  return APMMillisecondsFromSeconds(incurred);
}

void APMSessionReporter::logUserEngagementEvent() { logEngagementEventAndReturnTimeWithScreen(nullptr, false); }

int64_t APMSessionReporter::logEngagementEventAndReturnTimeWithScreen(const std::shared_ptr<APMScreen>& screen,
                                                                       bool isRedundant) {
  Outbox outbox;
  int64_t milliseconds;
  {
    std::lock_guard lock(mutex_);
    milliseconds = logEngagementEventLocked(screen, isRedundant, outbox);
  }
  send(outbox);
  return milliseconds;
}

int64_t APMSessionReporter::logEngagementEventLocked(const std::shared_ptr<APMScreen>& screen, bool isRedundant,
                                                     Outbox& outbox) {
  if (!isAppActiveLocked()) {
    monitor()->logWithLevel(7, kAPMSessionCodeEngagementNotActive,
                            "User engagement event not logged. Application is not active");
    return 0;
  }
  const bool efficient = settings()->efficientEngagementReportingEnabled();
  int64_t milliseconds = 0;
  if (reportingEnabled_) {
    milliseconds = APMMillisecondsFromSeconds(std::min(incurredEngagementTimeLocked(), kAPMMaxEngagementTime));
    os::Dictionary parameters{{kAPMEngagementTimeParameter, int64Value(milliseconds)}};
    if (screen) parameters.merge(APMScreenParametersForScreen(*screen));
    if (efficient && isRedundant) parameters.insert_or_assign(kAPMFreerideParameter, int64Value(1));
    outbox.push_back([parameters = std::move(parameters)] { logEvent(kAPMUserEngagementEventName, parameters); });
  }
  const double now = currentUptime();
  engagementStartUptime_ = now;
  if (efficient && !isRedundant) freerideEngagementStartUptime_ = now;
  persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
  rescheduleUserEngagementTimerLocked();
  return milliseconds;
}

void APMSessionReporter::logAppBackgroundEvent(int64_t milliseconds) {
  Outbox outbox;
  {
    std::lock_guard lock(mutex_);
    logAppBackgroundEventLocked(milliseconds, outbox);
  }
  send(outbox);
}

void APMSessionReporter::logAppBackgroundEventLocked(int64_t milliseconds, Outbox& outbox) {
  if (!reportingEnabled_ || !settings()->appBackgroundedEventEnabled()) return;
  if (!isAppActiveLocked()) {
    monitor()->logWithLevel(7, kAPMSessionCodeBackgroundNotActive,
                            "App backgrounded event not logged. Application is not active");
    return;
  }
  os::Dictionary parameters;
  if (settings()->efficientEngagementReportingEnabled() && milliseconds >= 1) {
    parameters.emplace(kAPMEngagementTimeParameter, int64Value(milliseconds));
  }
  outbox.push_back([parameters = std::move(parameters)] { logEvent(kAPMAppBackgroundEventName, parameters); });
}

void APMSessionReporter::rescheduleUserEngagementTimer() {
  std::lock_guard lock(mutex_);
  rescheduleUserEngagementTimerLocked();
}

void APMSessionReporter::rescheduleUserEngagementTimerLocked() {
  std::weak_ptr<APMSessionReporter> weak = weak_from_this();
  userEngagementTimer_->runAfterDelay(settings()->sessionEventUserEngagementInterval(), [weak] {
    os::NotificationCenter::defaultCenter()->postNotificationName(kAPMSessionReporterEngagementTimerDidFire, nullptr);
    if (auto self = weak.lock()) self->logUserEngagementEvent();
  });
}

// ---- Sessions ----

void APMSessionReporter::logSessionStartEvent() {
  Outbox outbox;
  {
    std::lock_guard lock(mutex_);
    logSessionStartEventLocked(outbox);
  }
  send(outbox);
}

void APMSessionReporter::logSessionStartEventLocked(Outbox& outbox) {
  if (!isAppActiveLocked()) {
    monitor()->logWithLevel(7, kAPMSessionCodeStartNotActive,
                            "Session start event not logged. Application is not active");
    return;
  }
  if (!reportingEnabled_) return;
  updatePropertiesForNewSessionStartLocked();
  const int64_t sessionID = static_cast<int64_t>(currentClockTime());
  const int64_t sessionNumber = persistedConfig_->sessionNumber();
  queueSessionID(sessionID, sessionNumber, outbox);
  outbox.push_back([sessionID, sessionNumber] {
    logEvent(kAPMSessionStartEventName, {{kAPMSessionIDParameter, int64Value(sessionID)},
                                         {kAPMSessionNumberParameter, int64Value(sessionNumber)}});
  });
}

// ---- The app's activity ----

void APMSessionReporter::handleAppDidBecomeActive() {
  Outbox outbox;
  {
    std::lock_guard lock(mutex_);
    engagementStartUptime_ = freerideEngagementStartUptime_ = currentUptime();
    rescheduleUserEngagementTimerLocked();
    if (isAppActiveLocked() && isSessionExpiredLocked() && reportingEnabled_) {
      queueSessionID(std::nullopt, std::nullopt, outbox);
      logSessionStartEventLocked(outbox);
    }
  }
  send(outbox);
}

void APMSessionReporter::handleAppWillResignActiveWithScreen(const std::shared_ptr<APMScreen>& screen) {
  Outbox outbox;
  {
    std::lock_guard lock(mutex_);
    const bool backgroundTracking = settings()->appBackgroundedEventEnabled();
    int64_t milliseconds;
    if (backgroundTracking && settings()->redundantEngagementRemovalEnabled()) {
      milliseconds = cutFreerideEngagementTimeMillisLocked();
    } else {
      milliseconds = logEngagementEventLocked(screen, backgroundTracking, outbox);
    }
    logAppBackgroundEventLocked(milliseconds, outbox);
    userEngagementTimer_->cancel();
  }
  send(outbox);
}

void APMSessionReporter::handleScreenDidChangeFromScreen(const std::shared_ptr<APMScreen>& fromScreen,
                                                         const std::shared_ptr<APMScreen>&) {
  if (!fromScreen) return;
  Outbox outbox;
  {
    std::lock_guard lock(mutex_);
    if (incurredEngagementTimeLocked() < kAPMMinScreenEngagementTime) return;
    const bool efficient = settings()->efficientEngagementReportingEnabled();
    if (efficient && settings()->redundantEngagementRemovalEnabled()) return;
    logEngagementEventLocked(fromScreen, efficient, outbox);
  }
  send(outbox);
}

// ---- The engine's session start ----

std::shared_ptr<APMEvent> APMSessionStartEvent(int64_t sessionNumber, bool appInBackground, double timestamp) {
  APMParameterObjects parameters{
      {kAPMSessionIDParameter, APMValue::initWithInt64(static_cast<int64_t>(timestamp))},
      {kAPMSessionNumberParameter, APMValue::initWithInt64(sessionNumber)},
  };
  if (appInBackground) {
    parameters.insert_or_assign(kAPMAppInBackgroundParameter, APMValue::initWithInt64(1));
  } else {
    for (auto& [name, value] : APMScreenViewReporter::sharedInstance()->screenParameters()) {
      parameters.insert_or_assign(name, APMParameterObject(std::move(value)));
    }
  }
  return APMEvent::initWithOrigin(kAPMAutoOrigin, false, kAPMSessionStartEventName, timestamp, 0, parameters);
}
