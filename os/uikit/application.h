// The application object, the device and haptic feedback as the app and SDK
// see them. Main thread only, except where a member says otherwise.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "os/foundation/uuid.h"
#include "os/foundation/value.h"
#include "os/foundation/url.h"
#include "os/runtime/runtime.h"
#include "os/uikit/types.h"

class UIWindow;
class UIScene;

// Opens the app's own page in the system settings.
inline constexpr const char* UIApplicationOpenSettingsURLString = "app-settings:";

enum class UIInterfaceOrientation {
  Unknown = 0, Portrait = 1, PortraitUpsideDown = 2, LandscapeLeft = 4, LandscapeRight = 3
};
inline bool UIInterfaceOrientationIsLandscape(UIInterfaceOrientation o) {
  return o == UIInterfaceOrientation::LandscapeLeft || o == UIInterfaceOrientation::LandscapeRight;
}

// One call of openURL:options:completionHandler:, as recorded.
struct UIApplicationOpenedURL {
  os::URL url;
  os::Dictionary options;
  bool success = false;
};

enum class UIApplicationState { Active = 0, Inactive = 1, Background = 2 };
using UIBackgroundTaskIdentifier = uint64_t;
inline constexpr UIBackgroundTaskIdentifier UIBackgroundTaskInvalid = 0;

// The shared application. The lifecycle driver (launch, delegate, scenes,
// URLs) builds on it; install a subclass with setSharedApplication before
// first use to extend it.
class UIApplication {
 public:
  UIApplication() = default;
  virtual ~UIApplication() = default;
  // Thread-safe.
  static std::shared_ptr<UIApplication> sharedApplication();
  static void setSharedApplication(std::shared_ptr<UIApplication> app);

  UIApplicationState applicationState() const { return state_; }
  // For the lifecycle driver: sets the state (posts nothing).
  void setApplicationState(UIApplicationState state) { state_ = state; }

  bool isIdleTimerDisabled() const { return idleTimerDisabled_; }
  void setIdleTimerDisabled(bool disabled) { idleTimerDisabled_ = disabled; }

  // Background tasks: identifiers from 1 up; the expiration handler runs at
  // most once, when the driver expires the tasks (on the caller's thread,
  // outside any lock). Ending an unknown or already ended identifier does
  // nothing. Thread-safe, as the platform's are: SDK queues begin and end
  // tasks from their own threads.
  UIBackgroundTaskIdentifier beginBackgroundTask(const std::string& name, std::function<void()> expirationHandler);
  UIBackgroundTaskIdentifier beginBackgroundTask(std::function<void()> expirationHandler) {
    return beginBackgroundTask("", std::move(expirationHandler));
  }
  void endBackgroundTask(UIBackgroundTaskIdentifier identifier);
  std::vector<std::string> TEST_activeBackgroundTaskNames() const;
  // Runs the expiration handlers of every task still running (time is up).
  void TEST_expireBackgroundTasks();

  // Windows made key; only those still alive are answered.
  std::shared_ptr<UIWindow> keyWindow() const { return keyWindow_.lock(); }
  std::vector<std::shared_ptr<UIWindow>> windows() const;
  void TEST_setKeyWindow(const std::shared_ptr<UIWindow>& window);

  // The application delegate: any runtime object (usually a
  // UIApplicationDelegate). The application sends it its messages through
  // os::runtime::msgSend (see app_host.h), so a class switched at run time
  // intercepts them. Held strongly. Observers run after every change, with
  // the old and the new delegate.
  std::shared_ptr<os::runtime::Object> delegate() const { return delegate_; }
  void setDelegate(std::shared_ptr<os::runtime::Object> delegate);
  using DelegateObserver = std::function<void(const std::shared_ptr<os::runtime::Object>& oldDelegate,
                                              const std::shared_ptr<os::runtime::Object>& newDelegate)>;
  uint64_t addDelegateObserver(DelegateObserver observer);
  void removeDelegateObserver(uint64_t token);

  // Scenes connected by the application host, in connection order.
  std::vector<std::shared_ptr<UIScene>> connectedScenes() const { return scenes_; }
  void TEST_connectScene(const std::shared_ptr<UIScene>& scene);
  void TEST_disconnectScene(const std::shared_ptr<UIScene>& scene);

  UIInterfaceOrientation statusBarOrientation() const { return statusBarOrientation_; }
  void TEST_setStatusBarOrientation(UIInterfaceOrientation o) { statusBarOrientation_ = o; }

  // URLs. canOpenURL answers true for http, https and the settings URL, and
  // for schemes allowed with TEST_setCanOpenScheme (false for a scheme
  // refused there). openURL records the call and, on the next turn of the
  // main queue, calls the completion with whether the URL could be opened.
  // Opening hands the URL to the system: the app itself is not called.
  bool canOpenURL(const os::URL& url) const;
  void openURL(const os::URL& url, const os::Dictionary& options = {},
               std::function<void(bool success)> completionHandler = {});
  void TEST_setCanOpenScheme(const std::string& scheme, bool canOpen);
  // Every openURL call, in order (opened or not).
  std::vector<UIApplicationOpenedURL> TEST_openedURLs() const { return openedURLs_; }
  void TEST_clearOpenedURLs() { openedURLs_.clear(); }

 protected:
  UIApplicationState state_ = UIApplicationState::Active;
  bool idleTimerDisabled_ = false;

 private:
  struct Task {
    std::string name;
    std::function<void()> expiration;
  };
  mutable std::mutex tasksMutex_;
  UIBackgroundTaskIdentifier nextTask_ = 1;           // guarded by tasksMutex_
  std::map<UIBackgroundTaskIdentifier, Task> tasks_;  // guarded by tasksMutex_
  std::weak_ptr<UIWindow> keyWindow_;
  std::vector<std::weak_ptr<UIWindow>> windows_;
  std::shared_ptr<os::runtime::Object> delegate_;
  std::map<uint64_t, DelegateObserver> delegateObservers_;
  uint64_t nextDelegateObserver_ = 1;
  std::vector<std::shared_ptr<UIScene>> scenes_;
  UIInterfaceOrientation statusBarOrientation_ = UIInterfaceOrientation::Portrait;
  std::map<std::string, bool> openableSchemes_;
  std::vector<UIApplicationOpenedURL> openedURLs_;
};

enum class UIDeviceOrientation {
  Unknown = 0, Portrait = 1, PortraitUpsideDown = 2, LandscapeLeft = 3, LandscapeRight = 4, FaceUp = 5, FaceDown = 6
};

inline constexpr const char* UIDeviceOrientationDidChangeNotification = "UIDeviceOrientationDidChangeNotification";

class UIDevice {
 public:
  struct ScreenProfile {
    CGFloat width = 390, height = 844, scale = 3;
  };
  static std::shared_ptr<UIDevice> currentDevice();

  // Read from the device profile in force (os/foundation/device_profile.h).
  std::string model() const;
  std::string localizedModel() const { return model(); }
  std::string name() const;
  std::string systemName() const;
  std::string systemVersion() const;
  UIUserInterfaceIdiom userInterfaceIdiom() const;
  ScreenProfile screenProfile() const;
  // The vendor identifier: a random UUID made on first use for this install
  // and kept in the sandbox (Library/Device/identifierForVendor), so every
  // launch of the install reads the same one and a new install (a new
  // sandbox) reads another. nullopt when it can be neither read nor kept.
  // Callable from any thread; the platform hands it out on the main thread,
  // and callers read it there.
  std::optional<os::UUID> identifierForVendor() const;

  UIDeviceOrientation orientation() const { return orientation_; }
  bool isGeneratingDeviceOrientationNotifications() const { return generating_ > 0; }
  void beginGeneratingDeviceOrientationNotifications() { ++generating_; }
  void endGeneratingDeviceOrientationNotifications() { if (generating_ > 0) --generating_; }
  // For the program and tests: the device turned. Posts
  // UIDeviceOrientationDidChangeNotification (the device as object) when
  // notifications are being generated and the orientation changed.
  void setOrientation(UIDeviceOrientation orientation);

 private:
  UIDeviceOrientation orientation_ = UIDeviceOrientation::Portrait;
  int generating_ = 0;
};

// Haptics are recorded, in order, for tests and the program to read.
struct UIFeedbackEvent {
  enum class Kind { Impact, Notification, Selection };
  Kind kind;
  int style;         // impact style or notification type
  double intensity;  // impact intensity, 1 otherwise
  friend bool operator==(const UIFeedbackEvent&, const UIFeedbackEvent&) = default;
};
std::vector<UIFeedbackEvent> TEST_feedbackEvents();
void TEST_clearFeedbackEvents();

enum class UIImpactFeedbackStyle { Light = 0, Medium = 1, Heavy = 2, Soft = 3, Rigid = 4 };
enum class UINotificationFeedbackType { Success = 0, Warning = 1, Error = 2 };

class UIImpactFeedbackGenerator {
 public:
  explicit UIImpactFeedbackGenerator(UIImpactFeedbackStyle style = UIImpactFeedbackStyle::Medium) : style_(style) {}
  void prepare() {}
  void impactOccurred() { impactOccurred(1.0); }
  // Intensity is clamped to 0...1.
  void impactOccurred(double intensity);
  UIImpactFeedbackStyle style() const { return style_; }

 private:
  UIImpactFeedbackStyle style_;
};

class UINotificationFeedbackGenerator {
 public:
  void prepare() {}
  void notificationOccurred(UINotificationFeedbackType type);
};

class UISelectionFeedbackGenerator {
 public:
  void prepare() {}
  void selectionChanged();
};
