// REZApp: the configured app of the SDK core.
//
// An app is a named object holding a locked copy of its options, its component
// container and its heartbeat logger. The application calls REZApp::configure()
// once while it finishes launching; that creates the default app
// "__REZAPP_DEFAULT", starts analytics (the class registered as "REZAnalytics"
// in os::runtime, when there is one), creates the eager components and posts
// "REZAppReadyToConfigureSDKNotification".
//
// Errors: configuration errors throw os::Exception named "com.vivuzuvu.core";
// registering a class that is not a library throws NSInvalidArgumentException.
//
// Thread-safety: the class-wide state (default app, app dictionary) is guarded
// by one recursive class lock; creation, eager instantiation and the ready
// notification run inside one hold of it, on the caller's thread.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "os/foundation/error.h"
#include "os/foundation/value.h"
#include "os/runtime/runtime.h"

namespace os {
class NotificationObserverToken;
}  // namespace os

class REZOptions;
class REZAnalyticsConfiguration;
class REZComponentContainer;
class REZHeartbeatLogger;
class REZVivuzuvuUserAgent;

inline constexpr const char* kREZDefaultAppName = "__REZAPP_DEFAULT";
inline constexpr const char* kREZAppReadyToConfigureSDKNotification = "REZAppReadyToConfigureSDKNotification";
inline constexpr const char* kREZAppDeleteNotification = "REZAppDeleteNotification";
inline constexpr const char* kREZAppNameKey = "REZAppNameKey";
inline constexpr const char* kREZAppIsDefaultAppKey = "REZAppIsDefaultAppKey";
inline constexpr const char* kREZDevuvoAppIDKey = "REZDevuvoAppIDKey";
inline constexpr const char* kREZErrorDomain = "com.vivuzuvu.core";
inline constexpr const char* kREZCoreExceptionName = "com.vivuzuvu.core";
inline constexpr int64_t kREZErrorCodeMissingOptions = -100;
inline constexpr int64_t kREZErrorCodeInvalidAppID = -101;
// The Info.plist switch read once per process.
inline constexpr const char* kREZDataCollectionDefaultEnabledPlistKey = "VivuzuvuDataCollectionDefaultEnabled";
// Format of the per-app data-collection key in the standard user defaults.
inline constexpr const char* kREZGlobalAppDataCollectionEnabledDefaultsKeyFormat =
    "/devuvo/vivuzuvu/global_data_collection_enabled:%@";
// Addresses that complete the configuration messages.
// The class method of the analytics class (registered as "REZAnalytics") that
// the default app calls while it is configured, and its signature.
inline constexpr const char* kREZAnalyticsClassName = "REZAnalytics";
inline constexpr const char* kREZAnalyticsStartSelector = "startWithConfiguration:options:";
using REZAnalyticsStartImp = void(os::runtime::Class&, std::shared_ptr<REZAnalyticsConfiguration>,
                                  std::shared_ptr<REZOptions>);
inline constexpr const char* kREZConsoleURL = "https://console.devuvo.example";
inline constexpr const char* kREZSetUpGuideURL = "https://devuvo.example/docs/ios/setup";

class REZApp : public std::enable_shared_from_this<REZApp> {
 public:
  // ---- Configuration ----

  // Configures the default app from REZOptions::defaultOptions(). Throws
  // "com.vivuzuvu.core" when there is no options file, when the default app
  // exists already ("Default app has already been configured."), or when the
  // options' Devuvo app ID is invalid.
  static void configure();
  static void configureWithOptions(std::shared_ptr<REZOptions> options);
  static void configureWithName(const std::string& name, std::shared_ptr<REZOptions> options);

  // The object of the ready and delete notifications (the class itself).
  static const void* classObject();

  // ---- Look-ups ----
  static std::shared_ptr<REZApp> defaultApp();  // logs "I-COR000003" when none
  static std::shared_ptr<REZApp> appNamed(const std::string& name);
  // A copy of the app dictionary; nullopt when no app was ever configured.
  static std::optional<std::map<std::string, std::shared_ptr<REZApp>>> allApps();
  static bool isDefaultAppConfigured();
  // Drops every app and resets the user agent.
  static void resetApps();

  // ---- Library registration (class-load time) ----

  // Records a library in the user agent; invalid characters only log
  // "I-COR000027".
  static void registerLibrary(const std::string& name, const std::string& version);
  // Registers an os::runtime class that adopts "REZLibrary" and answers
  // "componentsToRegister" as a component registrant, and records its name
  // with the SDK version (or the given one). Throws
  // NSInvalidArgumentException for a class that is not a library.
  static void registerInternalLibrary(os::runtime::Class* cls, const std::string& name);
  static void registerInternalLibrary(os::runtime::Class* cls, const std::string& name, const std::string& version);

  // The shared user agent ("rez-ios" set to the SDK version) and its string.
  static std::shared_ptr<REZVivuzuvuUserAgent> userAgent();
  static std::string vivuzuvuUserAgent();

  // ---- Devuvo app ID ----
  static bool validateAppID(const std::string& appID);
  static bool validateAppIDFormat(const std::string& appID, const std::string& version);
  static bool validateBundleIDHashWithinAppID(const std::string& appID, const std::string& version);
  static std::string actualBundleID();

  static os::Error errorForMissingOptions();
  static os::Error errorForInvalidAppID();

  // ---- Instance ----

  // Removes the app, its components and cached instances, posts
  // "REZAppDeleteNotification"; the completion (run inside the class lock)
  // gets false when the app was not configured.
  void deleteApp(const std::function<void(bool)>& completion);
  // A locked copy of the app's options.
  std::shared_ptr<REZOptions> options() const;
  const std::string& name() const { return name_; }
  bool isDefaultApp() const { return isDefaultApp_; }
  std::shared_ptr<REZComponentContainer> container() const { return container_; }
  std::shared_ptr<REZHeartbeatLogger> heartbeatLogger() const;

  void setDataCollectionDefaultEnabled(bool enabled);
  bool isDataCollectionDefaultEnabled() const;
  bool isAppIDValid() const;
  void checkExpectedBundleID() const;
  std::optional<std::string> expectedBundleID() const;
  // Validates the app ID, starts analytics (default app), observes
  // becoming active. False when the app ID is invalid.
  bool configureCore();
  // Logs a heartbeat when data collection is on.
  void appDidBecomeActive();

  ~REZApp();

  // Forgets every app, the one-time registration of components found by
  // class name and the cached options, so a test can configure again.
  static void TEST_reset();

  // Use configure...; public for std::make_shared.
  struct PrivateTag {};
  REZApp(PrivateTag, const std::string& name, const std::shared_ptr<REZOptions>& options);

 private:
  static std::shared_ptr<REZApp> initInstanceWithName(const std::string& name,
                                                      const std::shared_ptr<REZOptions>& options);
  static void addAppToAppDictionary(const std::shared_ptr<REZApp>& app);
  static void sendNotificationsToSDKs(const REZApp& app);
  // Throws, except for equal options in an app extension (logged, ignored).
  static void appWasConfiguredTwice(const std::shared_ptr<REZApp>& app, const std::shared_ptr<REZOptions>& options);
  static void registerSwiftComponents();
  void clearDataCollectionSwitchFromUserDefaults();
  std::string dataCollectionDefaultsKey() const;

  const bool isDefaultApp_;
  const std::shared_ptr<REZOptions> options_;  // locked
  const std::string name_;
  std::shared_ptr<REZComponentContainer> container_;
  std::shared_ptr<REZHeartbeatLogger> heartbeatLogger_;  // set once at creation
  std::shared_ptr<os::NotificationObserverToken> becomeActiveObserver_;
};
