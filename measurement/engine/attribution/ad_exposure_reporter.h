// APMAdExposureReporter: how long ad units are on screen. The app's
// advertising component calls beginAdUnitExposure and endAdUnitExposure with
// an ad-unit ID (nested calls for one unit are counted); the reporter logs,
// with origin "am" and the parameters of the screen the interval ran on,
// "_xu" (one unit: "_ai" the ID, "_xt" milliseconds) and "_xa" (any ad:
// "_xt").
//
// Design note.
// 1. Intervals run on the uptime (APMCurrentUptime): one per tracked unit,
//    and one for "any ad" from the moment the first unit was tracked.
// 2. Cuts: a screen change (with the screen left), the session reporter's
//    engagement timer and resigning active end every open interval (logging
//    it) and start the next at the same time; becoming active restarts them,
//    so background time never counts and each logged interval lies on one
//    screen within one active period.
// 3. Intervals under a second are not logged; nothing is logged while
//    reporting is off or the app is not active.
// 4. At most kAPMMaxTrackedAdUnits units are tracked; a begin for a further
//    unit is refused, one for a unit already tracked is counted.
//
// Threads: the reporting switch is atomic; every other field is touched only
// on `queue_` (serial, "APMAdExposureReporter"), and checks it. Begins are queued asynchronously; ends and the
// triggers run synchronously on it, so an end that follows a begin on the
// same thread always sees it. Screen parameters are taken before the queue;
// events leave through the analytics facade after it.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/engine/sessions/screen_view_reporter.h"
#include "os/dispatch/notification.h"
#include "os/dispatch/queue.h"
#include "os/dispatch/queue_confined.h"
#include "os/foundation/value.h"

class APMScreen;

inline constexpr const char* kAPMAdExposureReporterQueueLabel = "APMAdExposureReporter";
inline constexpr const char* kAPMAdExposureOrigin = "am";
inline constexpr const char* kAPMAdUnitExposureEventName = "_xu";
inline constexpr const char* kAPMAdExposureEventName = "_xa";
inline constexpr const char* kAPMAdUnitIDParameter = "_ai";
inline constexpr const char* kAPMExposureTimeParameter = "_xt";
inline constexpr size_t kAPMMaxTrackedAdUnits = 100;
// Shorter exposures are not logged, in milliseconds.
inline constexpr int64_t kAPMMinExposureMilliseconds = 1000;

// Monitor codes (level in the comment).
inline constexpr int64_t kAPMAdExposureCodeEmptyBeginID = 1000;      // 5
inline constexpr int64_t kAPMAdExposureCodeUnitLimit = 1002;         // 5
inline constexpr int64_t kAPMAdExposureCodeEmptyEndID = 1003;        // 5
inline constexpr int64_t kAPMAdExposureCodeUnknownUnit = 1004;       // 5
inline constexpr int64_t kAPMAdExposureCodeDisabled = 1005;          // 5
inline constexpr int64_t kAPMAdExposureCodeTooShort = 1006;          // 8
inline constexpr int64_t kAPMAdUnitExposureCodeDisabled = 1007;      // 5
inline constexpr int64_t kAPMAdUnitExposureCodeEmptyID = 1008;       // 5
inline constexpr int64_t kAPMAdUnitExposureCodeTooShort = 1009;      // 8
inline constexpr int64_t kAPMAdExposureCodeNotActive = 1010;         // 8
inline constexpr int64_t kAPMAdUnitExposureCodeNotActive = 1011;     // 8

class APMAdExposureReporter : public APMScreenActivityObserver,
                              public std::enable_shared_from_this<APMAdExposureReporter> {
 public:
  // The one instance, made on first use (reporting on, the "any ad" interval
  // starting now, the engagement timer's notification observed). Also found
  // by the screen-view reporter as the runtime class "APMAdExposureReporter".
  static std::shared_ptr<APMAdExposureReporter> sharedInstance();
  // Stops observing.
  ~APMAdExposureReporter() override;
  APMAdExposureReporter(const APMAdExposureReporter&) = delete;
  APMAdExposureReporter& operator=(const APMAdExposureReporter&) = delete;

  // Any thread. An empty ID is refused (1000, 1003).
  void beginAdUnitExposure(std::string_view adUnitID);
  void endAdUnitExposure(std::string_view adUnitID);

  // Set by the engine with analytics collection. Thread-safe.
  bool isReportingEnabled() const { return reportingEnabled_; }
  void setReportingEnabled(bool enabled) { reportingEnabled_ = enabled; }

  // Triggers (APMScreenActivityObserver, and the engagement timer).
  void handleScreenDidChangeFromScreen(const std::shared_ptr<APMScreen>& fromScreen,
                                       const std::shared_ptr<APMScreen>& toScreen) override;
  void handleAppDidBecomeActive() override;
  void handleAppWillResignActiveWithScreen(const std::shared_ptr<APMScreen>& screen) override;
  void handleEngagementTimer(const os::Notification& notification);

  // Cuts every open interval now, with those screen parameters.
  void logExposureEventsWithScreenParameters(const os::Dictionary& screenParameters);
  // Seconds since boot (APMCurrentUptime).
  double currentTime() const;

  // ---- For tests ----
  // Forgets the shared instance (the next sharedInstance() makes a new one).
  static void TEST_reset();
  // Returns once every block queued on `queue_` before the call has run.
  void TEST_flush();
  size_t TEST_trackedUnitCount();

 private:
  APMAdExposureReporter();
  void observeNotifications();

  // Events decided on `queue_` and logged once off it: the facade may take
  // the screen-view reporter's queue, which may be waiting for this one.
  struct Event {
    const char* name;
    os::Dictionary parameters;
  };
  using Events = std::vector<Event>;
  static void logEvents(const Events& events);

  // On `queue_` only.
  void logExposureEventsOnSerialQueueWithEndTime(double endTime, const os::Dictionary& screenParameters,
                                                 Events& events);
  void logAdExposureEventOnSerialQueueWithEndTime(double endTime, const os::Dictionary& screenParameters,
                                                  Events& events);
  void logAdUnitExposureEventOnSerialQueueWithID(const std::string& adUnitID, double endTime,
                                                 const os::Dictionary& screenParameters, Events& events);
  void updateStartTimesOnSerialQueue(double startTime);

  const std::shared_ptr<os::DispatchQueue> queue_;
  std::atomic<bool> reportingEnabled_{true};
  // On queue_; each access checks it.
  os::QueueConfined<std::map<std::string, int, std::less<>>> adUnitCounts_{queue_, "adUnitCounts_"};
  os::QueueConfined<std::map<std::string, double, std::less<>>> adUnitStartTimes_{queue_, "adUnitStartTimes_"};
  os::QueueConfined<double> adExposureStartTime_;
};
