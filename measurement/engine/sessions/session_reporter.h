// APMSessionReporter: when a session starts and expires, and the automatic
// events of sessions and engagement, all of origin "auto": session start
// "_s" ("_sid", "_sno"), user engagement "_e" ("_et" milliseconds, the
// screen's parameters, "_fr" = 1 for engagement a later report covers) and
// app backgrounded "_ab" ("_et" in the efficient mode).
//
// Design note.
// 1. Time bases. Engagement is measured on the uptime (seconds since boot,
//    counting sleep: APMCurrentUptime); session activity on the clock time
//    (seconds since 1970), persisted as the last session activity with the
//    session number in APMPersistedConfig.
// 2. A session has expired when the clock time lies more than the timeout
//    from the last activity, either way (a clock set back expires it too).
//    Logging engagement, extending the session and starting one record
//    activity.
// 3. Engagement runs from engagementStartUptime (the plain mode) or from
//    freerideEngagementStartUptime (the efficient mode, in which screen views
//    and backgrounding carry the time and "_e" may be redundant). One stretch
//    reports at most an hour.
// 4. The "Engagement timer" (an APMAlarm on the main queue) fires
//    sessionEventUserEngagementInterval seconds after the last engagement
//    report while the app is active: it posts
//    kAPMSessionReporterEngagementTimerDidFire and reports engagement.
// 5. The app is active when the shared screen-view reporter says so.
//
// Threads: becoming and resigning active and the timer arrive on the main
// thread, screen changes and freeride cuts on the screen-view reporter's
// queue, expiry tests and extensions on the engine's worker queue. Every
// public operation runs under one lock (`mutex_`), so the start uptimes and
// the persisted session values change together. Events and user properties
// leave through the analytics facade after the lock is released (the facade
// may ask the screen-view reporter for its screen on that reporter's queue,
// which may itself be waiting for this lock).
//
// Settings come from APMMeasurementServices::remoteConfig() at each use.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "measurement/store/engine_services/event.h"
#include "measurement/store/records.h"
#include "os/foundation/value.h"

class APMAlarm;
class APMPersistedConfig;
class APMScreen;

// Posted (object null) on the default notification center each time the
// engagement timer fires.
inline constexpr const char* kAPMSessionReporterEngagementTimerDidFire = "kAPMSessionReporterEngagementTimerDidFire";
inline constexpr const char* kAPMEngagementTimerName = "Engagement timer";

inline constexpr const char* kAPMAutoOrigin = "auto";
inline constexpr const char* kAPMSessionStartEventName = "_s";
inline constexpr const char* kAPMUserEngagementEventName = "_e";
inline constexpr const char* kAPMAppBackgroundEventName = "_ab";
inline constexpr const char* kAPMSessionIDParameter = "_sid";
inline constexpr const char* kAPMSessionNumberParameter = "_sno";
inline constexpr const char* kAPMAppInBackgroundParameter = "_aib";
inline constexpr const char* kAPMEngagementTimeParameter = "_et";
inline constexpr const char* kAPMFreerideParameter = "_fr";
// The user properties a session sets.
inline constexpr const char* kAPMSessionIDProperty = "_sid";
inline constexpr const char* kAPMSessionNumberProperty = "_sno";
// The longest stretch of engagement one report carries, in seconds.
inline constexpr double kAPMMaxEngagementTime = 3600;
// Screen changes report engagement of at least this many seconds.
inline constexpr double kAPMMinScreenEngagementTime = 1.0;

// Monitor codes.
inline constexpr int64_t kAPMSessionCodeNegativeTimeout = 33001;         // level 3
inline constexpr int64_t kAPMSessionCodeNegativeEngagement = 33004;      // level 4
inline constexpr int64_t kAPMSessionCodeStartNotActive = 33005;          // level 7
inline constexpr int64_t kAPMSessionCodeEngagementNotActive = 33006;     // level 7
inline constexpr int64_t kAPMSessionCodeBackgroundNotActive = 33008;     // level 7

// Seconds since boot, counting sleep: the clock time minus the boot time, to
// the microsecond; -1.0 when the boot time is unknown (zero or less).
double APMCurrentUptime();
// Seconds since 1970.
double APMCurrentClockTime();
// Whole milliseconds of a span of seconds, truncated; the span is first
// rounded to the microsecond, the resolution of the times it comes from.
int64_t APMMillisecondsFromSeconds(double seconds);

class APMSessionReporter : public std::enable_shared_from_this<APMSessionReporter> {
 public:
  // Timeout from the settings, both start uptimes now, reporting off, the
  // engagement timer made (not armed).
  static std::shared_ptr<APMSessionReporter> initWithPersistedConfig(std::shared_ptr<APMPersistedConfig> config);
  // Cancels the engagement timer.
  ~APMSessionReporter();
  APMSessionReporter(const APMSessionReporter&) = delete;
  APMSessionReporter& operator=(const APMSessionReporter&) = delete;

  // Off cancels the engagement timer; on arms it when the app is active and
  // it is not armed.
  void setReportingEnabled(bool enabled);
  bool isReportingEnabled() const;
  // A negative interval logs 33001 and is stored as 0.
  void setTimeoutSessionInterval(double seconds);
  double timeoutSessionInterval() const;

  // NO while the app is not active; else isSessionExpired.
  bool shouldStartNewSession();
  bool isSessionExpired();
  // NO, changing nothing, when the session has expired; else records
  // activity now and answers YES.
  bool extendSession();

  // "_sid" of origin "auto": the timestamp's whole seconds, set at it.
  std::shared_ptr<APMUserAttribute> sessionIDPropertyWithTimestamp(double timestamp);
  // "_sno" of origin "auto": the persisted session number, set now.
  std::shared_ptr<APMUserAttribute> sessionNumberProperty();

  // A new session, when the app is active (else 33005) and reporting is on:
  // the next number, activity now, "_sid" and "_sno" set, "_s" logged.
  void logSessionStartEvent();
  // logEngagementEventAndReturnTimeWithScreen(nullptr, false).
  void logUserEngagementEvent();
  // Reports the engagement since the last report (see the design note) and
  // restarts it; answers the milliseconds reported, 0 when reporting is off
  // or the app is not active (33006, nothing else changes).
  int64_t logEngagementEventAndReturnTimeWithScreen(const std::shared_ptr<APMScreen>& screen, bool isRedundant);
  // "_ab", with reporting and app-backgrounded tracking on and the app active
  // (else 33008).
  void logAppBackgroundEvent(int64_t milliseconds);

  // Restarts engagement and the timer; starts a session when one is due.
  void handleAppDidBecomeActive();
  // Reports engagement (or cuts the freeride time) and "_ab"; stops the
  // timer.
  void handleAppWillResignActiveWithScreen(const std::shared_ptr<APMScreen>& screen);
  // Reports the engagement of the screen left, when it lasted a second.
  void handleScreenDidChangeFromScreen(const std::shared_ptr<APMScreen>& fromScreen,
                                       const std::shared_ptr<APMScreen>& toScreen);
  // Arms the timer sessionEventUserEngagementInterval seconds from now.
  void rescheduleUserEngagementTimer();

  double currentUptime() const { return APMCurrentUptime(); }
  double currentClockTime() const { return APMCurrentClockTime(); }
  // Seconds since the start uptime of the mode in force; negative gives 0
  // (33004).
  double incurredEngagementTime();
  // 0 outside the efficient mode; else the incurred time in milliseconds,
  // and the freeride start moves to now.
  int64_t cutFreerideEngagementTimeMillis();
  // Session number + 1, activity now.
  void updatePropertiesForNewSessionStart();
  // Sets (or, for nullopt, removes) "_sid" and "_sno" through the facade.
  void setSessionID(std::optional<int64_t> sessionID, std::optional<int64_t> sessionNumber);

  // The engagement timer, for tests.
  const std::shared_ptr<APMAlarm>& TEST_userEngagementTimer() const { return userEngagementTimer_; }

 private:
  // Calls into the facade, made once the lock is released, in order.
  using Outbox = std::vector<std::function<void()>>;

  explicit APMSessionReporter(std::shared_ptr<APMPersistedConfig> config);
  static void send(Outbox& outbox);

  // Puts the facade calls of setSessionID into the outbox.
  static void queueSessionID(std::optional<int64_t> sessionID, std::optional<int64_t> sessionNumber, Outbox& outbox);
  // The same as the public operations, with `mutex_` held.
  bool isSessionExpiredLocked();
  bool isAppActiveLocked() const;
  double incurredEngagementTimeLocked();
  int64_t cutFreerideEngagementTimeMillisLocked();
  int64_t logEngagementEventLocked(const std::shared_ptr<APMScreen>& screen, bool isRedundant, Outbox& outbox);
  void logAppBackgroundEventLocked(int64_t milliseconds, Outbox& outbox);
  void logSessionStartEventLocked(Outbox& outbox);
  void updatePropertiesForNewSessionStartLocked();
  void rescheduleUserEngagementTimerLocked();

  const std::shared_ptr<APMPersistedConfig> persistedConfig_;
  const std::shared_ptr<APMAlarm> userEngagementTimer_;
  mutable std::mutex mutex_;
  double engagementStartUptime_ = 0;          // guarded by mutex_
  double freerideEngagementStartUptime_ = 0;  // guarded by mutex_
  bool reportingEnabled_ = false;             // guarded by mutex_
  double timeoutSessionInterval_ = 0;         // guarded by mutex_
};

// The session start the engine writes itself: "_s" of origin "auto" at the
// timestamp (previous time 0) with "_sid" (the timestamp's whole seconds),
// "_sno", and "_aib" = 1 for an app in the background, else the shared
// screen-view reporter's screen parameters.
std::shared_ptr<APMEvent> APMSessionStartEvent(int64_t sessionNumber, bool appInBackground, double timestamp);
