// APMScreenViewReporter: which screen of the app is current, and the screen
// view event "_vs" at every change of screen.
//
// Design note.
// 1. Sources of screens: view controllers that appear (setCurrentViewController,
//    automatic), setScreenName (a name and class for the controller on top),
//    and the app's own "screen_view" events (trackScreenWithParameters, which
//    the facade hands over instead of logging them).
// 2. "_vs" carries the new screen's "_si", "_sc", "_sn", the previous
//    screen's "_pi", "_pc", "_pn", in the efficient engagement mode "_et"
//    (the engagement since the last screen change), and "_mst" = 1 when the
//    Info.plist turns screen reporting off. Origin "auto", or "app" with the
//    app's own time for an app-logged screen.
// 3. Activity: the app is active from UIApplicationDidBecomeActive to
//    UIApplicationDidEnterBackground. Once it has been active, screen events
//    are held while it is not; the screen changed meanwhile is reported at
//    the next activation. Before the first activation they are not held.
// 4. Relays: screen changes and activity go to the engine's session reporter
//    (once the engine has started its components) and to the ad-exposure
//    reporter; engagement-timer notifications go to the latter directly.
// 5. Screen switch (APMScreenReportingEnabledInInfoPlist), read at every use.
//
// Threads: `queue_` (serial, "APMScreenViewReporter") guards the current and
// previous screens and the current controller, and runs the event logging.
// setScreenName and setCurrentViewController do their work synchronously on
// it, the app-logged screen's event is posted to it. Notifications and
// controller transitions arrive on the main thread. The activity flags are
// atomics. Reads that take the queue synchronously (screenParameters,
// getScreenName) run in place when called on the queue itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "measurement/store/engine_services/event.h"
#include "measurement/store/engine_services/install_environment.h"
#include "os/dispatch/notification.h"
#include "os/dispatch/queue.h"
#include "os/foundation/value.h"

class APMScreen;
class APMSessionReporter;
class UIViewController;
namespace os::runtime {
class Class;
}

inline constexpr const char* kAPMScreenViewReporterQueueLabel = "APMScreenViewReporter";
inline constexpr const char* kAPMScreenViewEventName = "_vs";
inline constexpr const char* kAPMScreenViewPublicEventName = "screen_view";
inline constexpr const char* kAPMScreenViewScreenNameParameter = "screen_name";
inline constexpr const char* kAPMScreenViewScreenClassParameter = "screen_class";
inline constexpr const char* kAPMManualScreenTrackingParameter = "_mst";
inline constexpr const char* kAPMAppOrigin = "app";
// Info.plist: the screen switch, and the older key read in its absence.
inline constexpr const char* kAPMScreenReportingEnabledKey = "VivuzuvuScreenReportingEnabled";
inline constexpr const char* kAPMAutomaticScreenReportingEnabledKey = "VivuzuvuAutomaticScreenReportingEnabled";
// The runtime class of the ad-exposure reporter.
inline constexpr const char* kAPMAdExposureReporterClassName = "APMAdExposureReporter";
inline constexpr const char* kAPMSharedInstanceSelector = "sharedInstance";

// Monitor codes (level in the comment).
inline constexpr int64_t kAPMScreenCodeReportingDisabled = 31000;          // 3
inline constexpr int64_t kAPMScreenCodeInvalidScreenName = 31001;          // 3
inline constexpr int64_t kAPMScreenCodeInvalidScreenClass = 31002;         // 3
inline constexpr int64_t kAPMScreenCodeNoViewController = 31003;           // 3
inline constexpr int64_t kAPMScreenCodeDuplicateScreen = 31004;            // 7
inline constexpr int64_t kAPMScreenCodeNilViewController = 31005;          // 3
inline constexpr int64_t kAPMScreenCodeAlreadyTracked = 31006;             // 7
inline constexpr int64_t kAPMScreenCodeTrimmedClassName = 31007;           // 7
inline constexpr int64_t kAPMScreenCodeInvalidDefaultClass = 31008;        // 3
inline constexpr int64_t kAPMScreenCodeSetScreenName = 31009;              // 7
inline constexpr int64_t kAPMScreenCodeTrackingViewController = 31010;     // 7
inline constexpr int64_t kAPMScreenCodeEmptyParameters = 31012;            // 1
inline constexpr int64_t kAPMScreenCodeNotActive = 31013;                  // 7
inline constexpr int64_t kAPMScreenCodeDelegateOverride = 31016;           // 3
inline constexpr int64_t kAPMScreenCodeTrackNotActive = 31026;             // 3
inline constexpr int64_t kAPMScreenCodeTrackInvalidName = 31027;           // 3
inline constexpr int64_t kAPMScreenCodeTrackInvalidClass = 31028;          // 3
inline constexpr int64_t kAPMScreenCodeTrackLogging = 31029;               // 7

// The Info.plist's screen switch: the value of kAPMScreenReportingEnabledKey,
// else of kAPMAutomaticScreenReportingEnabledKey; a number gives its Boolean
// value, anything else (absence included) YES.
bool APMScreenReportingEnabledInInfoPlist();

// Told of the appearances and disappearances of view controllers.
class APMScreenViewReporterDelegate {
 public:
  virtual ~APMScreenViewReporterDelegate() = default;
  virtual void viewControllerDidAppear(const std::shared_ptr<UIViewController>& viewController,
                                       bool trackedByAnalytics) = 0;
  virtual void viewControllerDidDisappear(const std::shared_ptr<UIViewController>& viewController) = 0;
};

// What the screen-view reporter tells the ad-exposure reporter. That reporter
// lives above this module: it registers the runtime class
// kAPMAdExposureReporterClassName, whose class method "sharedInstance" (of
// the signature APMScreenActivityObserverSharedInstanceImp) answers it.
class APMScreenActivityObserver {
 public:
  virtual ~APMScreenActivityObserver() = default;
  // On the screen-view reporter's queue.
  virtual void handleScreenDidChangeFromScreen(const std::shared_ptr<APMScreen>& fromScreen,
                                               const std::shared_ptr<APMScreen>& toScreen) = 0;
  // On the main thread.
  virtual void handleAppDidBecomeActive() = 0;
  virtual void handleAppWillResignActiveWithScreen(const std::shared_ptr<APMScreen>& screen) = 0;
};
using APMScreenActivityObserverSharedInstanceImp = std::shared_ptr<APMScreenActivityObserver>(os::runtime::Class&);

class APMScreenViewReporter : public APMAppActivityServices,
                              public std::enable_shared_from_this<APMScreenViewReporter> {
 public:
  // The one instance, made on first use: it observes the application's
  // activity notifications and installs itself as APMAppActivityServices.
  static std::shared_ptr<APMScreenViewReporter> sharedInstance();
  // Stops observing.
  ~APMScreenViewReporter() override;
  APMScreenViewReporter(const APMScreenViewReporter&) = delete;
  APMScreenViewReporter& operator=(const APMScreenViewReporter&) = delete;

  bool isAppActive() override { return isAppActive_; }

  // Copies of the current screen's name and class (nullopt without one).
  // Either pointer may be null.
  void getScreenName(std::optional<std::string>* name, std::optional<std::string>* screenClass);
  // For other events, as plain values: "_si" (an int64), and "_sc" and "_sn"
  // when not empty, of the current screen; empty without one or while screen
  // events are held.
  os::Dictionary screenParameters();

  // The app logged "screen_view" with these parameters (public names to
  // objects) at `timestamp` (seconds since 1970): the screen it names becomes
  // current and is reported with the rest of its parameters, cleaned, whether
  // the switch is on or off.
  void trackScreenWithParameters(const os::Dictionary& parameters, double timestamp);
  // A name and class for the controller on top of the key window's screen
  // stack; the class defaults to that controller's short class name.
  void setScreenName(std::optional<std::string> name, std::optional<std::string> screenClass);
  // The controller the user now sees (automatic screens).
  void setCurrentViewController(const std::shared_ptr<UIViewController>& viewController);

  // Refused (31016) while another is set; null clears. Held weakly.
  void setVivuzuvuPerfDelegate(const std::shared_ptr<APMScreenViewReporterDelegate>& delegate);
  std::shared_ptr<APMScreenViewReporterDelegate> vivuzuvuPerfDelegate() const;

  // On `queue_`: relays the change to the session reporter (when there is a
  // previous screen) and the ad-exposure reporter, while the app is active.
  void postScreenDidChangeNotificationWithPreviousScreen(const std::shared_ptr<APMScreen>& previousScreen,
                                                         const std::shared_ptr<APMScreen>& newScreen);
  // On `queue_`: logs "_vs" for the new screen with the extra parameters.
  void logViewScreenEventWithPreviousScreen(const std::shared_ptr<APMScreen>& previousScreen,
                                            const std::shared_ptr<APMScreen>& newScreen,
                                            const os::Dictionary& parameters);

  // The application's notifications (main thread).
  void handleApplicationDidBecomeActive(const os::Notification& notification);
  void handleApplicationWillResignActive(const os::Notification& notification);
  void handleApplicationDidEnterBackground(const os::Notification& notification);

  // The next screen instance ID (the last one given + 1). Thread-safe.
  int64_t incrementScreenInstanceID();

  // ---- For tests ----
  // Forgets the shared instance (the next sharedInstance() makes a new one)
  // and uninstalls it as APMAppActivityServices.
  static void TEST_reset();
  // Returns once every block queued on `queue_` before the call has run.
  void TEST_flush();
  std::shared_ptr<APMScreen> TEST_currentScreen();
  std::shared_ptr<APMScreen> TEST_previousScreen();

 private:
  APMScreenViewReporter();
  void observeNotifications();

  // Screen events are held: the app has been active and is not now.
  bool isInactiveForScreenEvents() const { return !isAppActive_ && appHasBeenInitialized_; }
  // Runs `block` on `queue_` and waits; in place when already on it.
  void syncOnQueue(const std::function<void()>& block);

  const std::shared_ptr<os::DispatchQueue> queue_;
  std::atomic<bool> isAppActive_{false};
  std::atomic<bool> appHasBeenInitialized_{false};
  std::atomic<int64_t> currentScreenInstanceID_;
  std::weak_ptr<UIViewController> currentViewController_;  // guarded by queue_
  std::shared_ptr<APMScreen> currentScreen_;               // guarded by queue_
  std::shared_ptr<APMScreen> previousScreen_;              // guarded by queue_
  mutable std::mutex delegateMutex_;
  std::weak_ptr<APMScreenViewReporterDelegate> delegate_;  // guarded by delegateMutex_
};
