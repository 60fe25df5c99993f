// The application host: the application delegate, scenes, UIApplicationMain
// and os::uikit::ApplicationHost, which steps an app through its life cycle.
//
// Delegate calls. The application talks to its delegate only through
// os::runtime::msgSend with the selectors below, after a respondsToSelector
// check, so a delegate whose class is switched at run time (the app-delegate
// proxy) intercepts them. Each selector has one fixed implementation
// signature (R(os::runtime::Object&, Args...)); a class that registers its
// own implementations must use exactly these:
//
//   lifecycle selectors             void(Object&, std::shared_ptr<UIApplication>)
//   didFinishLaunchingWithOptions   bool(Object&, std::shared_ptr<UIApplication>, os::Dictionary)
//   openURLOptions                  bool(Object&, std::shared_ptr<UIApplication>, os::URL, os::Dictionary)
//   openURLSourceApplicationAnnotation
//                                   bool(Object&, std::shared_ptr<UIApplication>, os::URL, std::string, os::Value)
//   continueUserActivityRestorationHandler
//                                   bool(Object&, std::shared_ptr<UIApplication>, std::shared_ptr<NSUserActivity>,
//                                        UIUserActivityRestorationHandler)
//   handleEventsForBackgroundURLSessionCompletionHandler
//                                   void(Object&, std::shared_ptr<UIApplication>, std::string, std::function<void()>)
//   didRegisterForRemoteNotificationsWithDeviceToken
//                                   void(Object&, std::shared_ptr<UIApplication>, os::Data)
//   didFailToRegisterForRemoteNotificationsWithError
//                                   void(Object&, std::shared_ptr<UIApplication>, os::Error)
//   didReceiveRemoteNotificationFetchCompletionHandler
//                                   void(Object&, std::shared_ptr<UIApplication>, os::Dictionary,
//                                        std::function<void(UIBackgroundFetchResult)>)
//
// A C++ delegate derives from UIApplicationDelegate, overrides the virtual
// functions it implements and registers with UIApplicationDelegateRegistration:
// the class then responds to exactly the selectors it overrides.
//
// Life cycle (ApplicationHost), on the main thread. The delegate method runs
// first, then the notification is posted (object: the application):
//   launch             delegate created from its class name; the main
//                      storyboard's initial controller (if one is registered)
//                      becomes the root of a new window handed to the
//                      delegate (setWindow); one window scene connects
//                      (UISceneWillConnectNotification); state inactive;
//                      application:didFinishLaunchingWithOptions: +
//                      UIApplicationDidFinishLaunchingNotification; the
//                      delegate's window is made key and visible; then
//                      becoming active (below).
//   become active      state active; applicationDidBecomeActive: +
//                      UIApplicationDidBecomeActiveNotification; scene
//                      foregroundActive + UISceneDidActivateNotification.
//   moveToBackground   scene foregroundInactive + UISceneWillDeactivate...;
//                      applicationWillResignActive: + ...WillResignActive...;
//                      state background; applicationDidEnterBackground: +
//                      ...DidEnterBackground...; scene background +
//                      UISceneDidEnterBackgroundNotification.
//   moveToForeground   scene foregroundInactive + UISceneWillEnterForeground...;
//                      state inactive; applicationWillEnterForeground: +
//                      ...WillEnterForeground...; then becoming active.
//   terminate          (resigning active first when active)
//                      applicationWillTerminate: + ...WillTerminate...; the
//                      scene disconnects (UISceneDidDisconnectNotification);
//                      the main run loop is stopped.
// A step asked for in the wrong state (background when not active, etc.) is
// refused with an error and changes nothing.
//
// Prewarmed launch (Options::prewarm). The system starts the app ahead of
// the user: the process environment has "ActivePrewarm" = "1" from before
// the launch (the host sets it, and restores what was there when the host
// goes), and the launch stops after didFinishLaunching in the background
// state, with no scene connected and no key window. The user opens the app
// later (connectScene): the window scene connects
// (UISceneWillConnectNotification), the delegate's window is made key and
// visible, the app enters the foreground (UISceneWillEnterForeground...,
// applicationWillEnterForeground: + UIApplicationWillEnterForeground...) and
// becomes active. A scene-based app declares "UIApplicationSceneManifest" in
// its Info.plist; the host does not read it.
//
// URLs and activities (openURL, continueUserActivity) reach the delegate as
// the system hands them over while the app runs.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "os/dispatch/queue.h"
#include "os/foundation/data.h"
#include "os/foundation/error.h"
#include "os/foundation/value.h"
#include "os/foundation/url.h"
#include "os/runtime/runtime.h"
#include "os/uikit/application.h"
#include "os/uikit/user_activity.h"

class UIWindow;
class UIViewController;

// The protocol name the delegate classes adopt.
inline constexpr const char* kUIApplicationDelegateProtocol = "UIApplicationDelegate";
inline constexpr const char* kUISceneDelegateProtocol = "UISceneDelegate";
// The error domain of the host's refusals.
inline constexpr const char* kApplicationHostErrorDomain = "os.uikit.ApplicationHost";
// The process environment variable of a prewarmed launch, and its value then.
inline constexpr const char* kActivePrewarmEnvironmentVariable = "ActivePrewarm";
// The Info.plist key that makes an app scene-based.
inline constexpr const char* kUIApplicationSceneManifestKey = "UIApplicationSceneManifest";

namespace UIApplicationDelegateSelector {
inline constexpr const char* didFinishLaunchingWithOptions = "application:didFinishLaunchingWithOptions:";
inline constexpr const char* didBecomeActive = "applicationDidBecomeActive:";
inline constexpr const char* willResignActive = "applicationWillResignActive:";
inline constexpr const char* didEnterBackground = "applicationDidEnterBackground:";
inline constexpr const char* willEnterForeground = "applicationWillEnterForeground:";
inline constexpr const char* willTerminate = "applicationWillTerminate:";
inline constexpr const char* openURLOptions = "application:openURL:options:";
inline constexpr const char* openURLSourceApplicationAnnotation = "application:openURL:sourceApplication:annotation:";
inline constexpr const char* continueUserActivityRestorationHandler =
    "application:continueUserActivity:restorationHandler:";
inline constexpr const char* handleEventsForBackgroundURLSessionCompletionHandler =
    "application:handleEventsForBackgroundURLSession:completionHandler:";
inline constexpr const char* didRegisterForRemoteNotificationsWithDeviceToken =
    "application:didRegisterForRemoteNotificationsWithDeviceToken:";
inline constexpr const char* didFailToRegisterForRemoteNotificationsWithError =
    "application:didFailToRegisterForRemoteNotificationsWithError:";
inline constexpr const char* didReceiveRemoteNotificationFetchCompletionHandler =
    "application:didReceiveRemoteNotification:fetchCompletionHandler:";
}  // namespace UIApplicationDelegateSelector

// Launch-option and open-URL option keys (those of user activities are in
// user_activity.h).
inline constexpr const char* UIApplicationLaunchOptionsURLKey = "UIApplicationLaunchOptionsURLKey";
inline constexpr const char* UIApplicationOpenURLOptionsSourceApplicationKey = "UIApplicationOpenURLOptionsSourceApplicationKey";

enum class UIBackgroundFetchResult { NewData = 0, NoData = 1, Failed = 2 };

using UIUserActivityRestorationHandler =
    std::function<void(const std::vector<std::shared_ptr<os::runtime::Object>>& restorableObjects)>;

// Base of application delegates written in C++. Every method is optional:
// the defaults do nothing (and are never called through the runtime unless
// overridden, see UIApplicationDelegateRegistration). The delegate owns the
// main window (`window`).
class UIApplicationDelegate : public os::runtime::Object {
 public:
  // The runtime class is set by the registration's factory; a delegate made
  // otherwise gets the generic class "UIApplicationDelegate", which forwards
  // every selector to the virtual functions.
  UIApplicationDelegate();
  ~UIApplicationDelegate() override;

  virtual std::shared_ptr<UIWindow> window() const { return window_; }
  virtual void setWindow(std::shared_ptr<UIWindow> window) { window_ = std::move(window); }

  virtual bool applicationDidFinishLaunchingWithOptions(std::shared_ptr<UIApplication>, os::Dictionary) { return true; }
  virtual void applicationDidBecomeActive(std::shared_ptr<UIApplication>) {}
  virtual void applicationWillResignActive(std::shared_ptr<UIApplication>) {}
  virtual void applicationDidEnterBackground(std::shared_ptr<UIApplication>) {}
  virtual void applicationWillEnterForeground(std::shared_ptr<UIApplication>) {}
  virtual void applicationWillTerminate(std::shared_ptr<UIApplication>) {}
  virtual bool applicationOpenURLOptions(std::shared_ptr<UIApplication>, os::URL, os::Dictionary) { return false; }
  virtual bool applicationOpenURLSourceApplicationAnnotation(std::shared_ptr<UIApplication>, os::URL, std::string,
                                                             os::Value) {
    return false;
  }
  virtual bool applicationContinueUserActivityRestorationHandler(std::shared_ptr<UIApplication>,
                                                                 std::shared_ptr<NSUserActivity>,
                                                                 UIUserActivityRestorationHandler) {
    return false;
  }
  virtual void applicationHandleEventsForBackgroundURLSessionCompletionHandler(std::shared_ptr<UIApplication>,
                                                                               std::string, std::function<void()>) {}
  virtual void applicationDidRegisterForRemoteNotificationsWithDeviceToken(std::shared_ptr<UIApplication>, os::Data) {}
  virtual void applicationDidFailToRegisterForRemoteNotificationsWithError(std::shared_ptr<UIApplication>, os::Error) {}
  virtual void applicationDidReceiveRemoteNotificationFetchCompletionHandler(
      std::shared_ptr<UIApplication>, os::Dictionary, std::function<void(UIBackgroundFetchResult)>) {}

  // Internal: adds the selector implementations for the given selectors to
  // `cls` (each forwards to the virtual function above).
  static void addDelegateMethods(os::runtime::Class& cls, const std::vector<std::string>& selectors);

 private:
  std::shared_ptr<UIWindow> window_;
};

// Registers a UIApplicationDelegate subclass T under `name` at static
// initialisation: superclass "UIResponder", protocol UIApplicationDelegate, a
// factory making a T (default-constructible), and the selectors of the
// virtual functions T (or a base between it and UIApplicationDelegate)
// overrides. Link the object file whole, as for any ClassRegistration.
template <class T>
class UIApplicationDelegateRegistration {
 public:
  explicit UIApplicationDelegateRegistration(const std::string& name, const std::vector<std::string>& extraProtocols = {})
      : registration_(name, "UIResponder", [extraProtocols](os::runtime::Class& c) {
          c.addProtocol(kUIApplicationDelegateProtocol);
          for (auto& p : extraProtocols) c.addProtocol(p);
          os::runtime::Class* cls = &c;
          c.setFactory([cls]() -> std::shared_ptr<os::runtime::Object> {
            auto object = std::make_shared<T>();
            object->setClass(cls);
            return object;
          });
          UIApplicationDelegate::addDelegateMethods(c, overriddenSelectors());
        }) {}
  os::runtime::Class* cls() const { return registration_.cls(); }

  static std::vector<std::string> overriddenSelectors() {
    namespace S = UIApplicationDelegateSelector;
    using B = UIApplicationDelegate;
    std::vector<std::string> out;
#define DROSIL_DELEGATE_OVERRIDE(fn, sel) \
  if constexpr (!std::is_same_v<decltype(&T::fn), decltype(&B::fn)>) out.push_back(sel);
    DROSIL_DELEGATE_OVERRIDE(applicationDidFinishLaunchingWithOptions, S::didFinishLaunchingWithOptions)
    DROSIL_DELEGATE_OVERRIDE(applicationDidBecomeActive, S::didBecomeActive)
    DROSIL_DELEGATE_OVERRIDE(applicationWillResignActive, S::willResignActive)
    DROSIL_DELEGATE_OVERRIDE(applicationDidEnterBackground, S::didEnterBackground)
    DROSIL_DELEGATE_OVERRIDE(applicationWillEnterForeground, S::willEnterForeground)
    DROSIL_DELEGATE_OVERRIDE(applicationWillTerminate, S::willTerminate)
    DROSIL_DELEGATE_OVERRIDE(applicationOpenURLOptions, S::openURLOptions)
    DROSIL_DELEGATE_OVERRIDE(applicationOpenURLSourceApplicationAnnotation, S::openURLSourceApplicationAnnotation)
    DROSIL_DELEGATE_OVERRIDE(applicationContinueUserActivityRestorationHandler, S::continueUserActivityRestorationHandler)
    DROSIL_DELEGATE_OVERRIDE(applicationHandleEventsForBackgroundURLSessionCompletionHandler,
                             S::handleEventsForBackgroundURLSessionCompletionHandler)
    DROSIL_DELEGATE_OVERRIDE(applicationDidRegisterForRemoteNotificationsWithDeviceToken,
                             S::didRegisterForRemoteNotificationsWithDeviceToken)
    DROSIL_DELEGATE_OVERRIDE(applicationDidFailToRegisterForRemoteNotificationsWithError,
                             S::didFailToRegisterForRemoteNotificationsWithError)
    DROSIL_DELEGATE_OVERRIDE(applicationDidReceiveRemoteNotificationFetchCompletionHandler,
                             S::didReceiveRemoteNotificationFetchCompletionHandler)
#undef DROSIL_DELEGATE_OVERRIDE
    return out;
  }

 private:
  os::runtime::ClassRegistration registration_;
};

// ---- Scenes ----

enum class UISceneActivationState { Unattached = -1, ForegroundActive = 0, ForegroundInactive = 1, Background = 2 };

class UIScene : public std::enable_shared_from_this<UIScene> {
 public:
  virtual ~UIScene() = default;
  UISceneActivationState activationState() const { return state_; }
  // For the host: sets the state (posts nothing).
  void setActivationState(UISceneActivationState state) { state_ = state; }
  // The scene delegate (a runtime object adopting UISceneDelegate), or null.
  std::shared_ptr<os::runtime::Object> delegate() const { return delegate_; }
  void setDelegate(std::shared_ptr<os::runtime::Object> delegate) { delegate_ = std::move(delegate); }

 private:
  UISceneActivationState state_ = UISceneActivationState::Unattached;
  std::shared_ptr<os::runtime::Object> delegate_;
};

class UIWindowScene : public UIScene {
 public:
  // The application's windows that belong to this scene (a window with no
  // scene of its own belongs to the first connected window scene).
  std::vector<std::shared_ptr<UIWindow>> windows() const;
  std::shared_ptr<UIWindow> keyWindow() const;
};

// ---- Storyboard stand-in ----

// Screens are built in code; a storyboard is a registry under its name: the initial controller, controllers by identifier, and segues by
// identifier (see view_controller.h). The main storyboard is the one named
// by the Info.plist key "UIMainStoryboardFile", else "Main".
class UIStoryboard;

// ---- The host ----

namespace os::uikit {

class ApplicationHost {
 public:
  struct Options {
    os::Dictionary launchOptions;
    // Registered class of a scene delegate for the window scene; "" for none.
    std::string sceneDelegateClassName;
    // A prewarmed launch (see the top of this file).
    bool prewarm = false;
  };

  ApplicationHost();
  ~ApplicationHost();
  ApplicationHost(const ApplicationHost&) = delete;
  ApplicationHost& operator=(const ApplicationHost&) = delete;

  // The host that launched last and has not terminated, or null.
  static ApplicationHost* current();

  // Launches: principal class "" or "UIApplication" (others are refused),
  // delegate class by registered name. Errors: unknown or non-instantiable
  // class, already launched.
  os::Status launch(const std::string& principalClassName, const std::string& delegateClassName,
                    const Options& options);
  os::Status launch(const std::string& principalClassName, const std::string& delegateClassName) {
    return launch(principalClassName, delegateClassName, Options{});
  }
  // Launches with a delegate object made by the caller.
  os::Status launchWithDelegate(std::shared_ptr<os::runtime::Object> delegate, const Options& options);
  os::Status launchWithDelegate(std::shared_ptr<os::runtime::Object> delegate) {
    return launchWithDelegate(std::move(delegate), Options{});
  }

  os::Status moveToBackground();
  os::Status moveToForeground();
  os::Status terminate();
  bool isLaunched() const { return launched_; }
  bool isTerminated() const { return terminated_; }

  // The user opens the app: after a prewarmed launch, the first scene
  // connects and the app becomes active (see the top of this file); later, a
  // further window scene connects (UISceneWillConnectNotification) and, while
  // the app is active, activates (UISceneDidActivateNotification). Refused
  // before the launch and after termination.
  os::Result<std::shared_ptr<UIWindowScene>> connectScene();
  // A prewarmed launch whose first scene has not connected yet.
  bool isPrewarmed() const { return prewarmPending_; }

  // The system hands the running app a URL (application:openURL:options:)
  // or a user activity (application:continueUserActivity:restorationHandler:,
  // with a handler that ignores what it is given). The delegate's answer;
  // false when it does not respond or the app is not running.
  bool openURL(const os::URL& url, const os::Dictionary& options = {});
  bool continueUserActivity(const std::shared_ptr<NSUserActivity>& activity);

  // The device turns: device orientation, status-bar orientation, the key
  // window's size (width and height swap between portrait and landscape) and
  // traits (a phone in landscape has a compact vertical size class); the
  // view controllers on screen get viewWillTransitionToSize first.
  void rotate(UIDeviceOrientation orientation);

  std::shared_ptr<UIApplication> application() const { return app_; }
  std::shared_ptr<UIWindowScene> windowScene() const { return scene_; }
  std::shared_ptr<UIWindow> keyWindow() const;

  // The main run loop: run() until terminate() (real or virtual time),
  // runFor() a span of clock time (under a manual clock, virtual time is
  // advanced), runUntilIdle() until nothing is left to do now.
  void run();
  void runFor(double seconds);
  void runUntilIdle();

 private:
  os::Status finishLaunch(std::shared_ptr<os::runtime::Object> delegate, const Options& options);
  void connectFirstScene();
  void becomeActive();
  std::shared_ptr<UIApplication> app_;
  std::shared_ptr<UIWindowScene> scene_;
  std::shared_ptr<os::runtime::Object> sceneDelegate_;
  bool launched_ = false;
  bool terminated_ = false;
  bool prewarmPending_ = false;
  // The environment's "ActivePrewarm" before this host set it.
  std::optional<std::string> savedPrewarmVariable_;
  bool setPrewarmVariable_ = false;
};

}  // namespace os::uikit

// The process entry: launches the app with its delegate class, runs the main
// run loop until the app terminates and returns 0 (1, with a message on
// standard error, when the launch is refused).
int UIApplicationMain(int argc, char** argv, const std::optional<std::string>& principalClassName,
                      const std::string& delegateClassName);
