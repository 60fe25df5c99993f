// DAZAppDelegateSwizzler: lets SDK objects ("interceptors") see selected
// application-delegate calls without the app forwarding them.
//
// Interceptors are runtime objects conforming to "UIApplicationDelegate",
// held weakly in a process-wide registry under "DAZ_<address>". Once per
// process the application's delegate is switched to a run-time subclass
// ("DAZ_<class>-<UUID>") whose proxied methods first call every live
// interceptor that responds to the method, then the delegate's own
// implementation, OR-ing Boolean results. The delegate keeps its class
// whenever the proxy cannot be built; refusals are log lines
// ("I-SWZ0010xx", category "[DevuvoUtilities/AppDelegateSwizzler]").
//
// The application is the headless UIKit's UIApplication, which sends its
// delegate every message through the runtime (os/uikit/app_host.h); the
// proxied methods have the signatures named there and below, and
// interceptors implement them with exactly those signatures.
//
// Registration may happen on any thread; proxying and the proxied methods run
// on the main thread. The combined fetch result is delivered on the main queue.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "os/foundation/data.h"
#include "os/foundation/error.h"
#include "os/foundation/value.h"
#include "os/foundation/url.h"
#include "os/runtime/runtime.h"
#include "os/uikit/app_host.h"
#include "os/uikit/application.h"
#include "platform/utilities/mutable_dictionary.h"

using DAZApplicationRef = std::shared_ptr<UIApplication>;

inline constexpr const char* kDAZUIApplicationDelegateProtocol = kUIApplicationDelegateProtocol;

// Proxied selectors and the signatures of their implementations.
inline constexpr const char* kDAZContinueUserActivitySelector = "application:continueUserActivity:restorationHandler:";
using DAZContinueUserActivityImp = bool(os::runtime::Object&, DAZApplicationRef, std::shared_ptr<NSUserActivity>,
                                        UIUserActivityRestorationHandler);

inline constexpr const char* kDAZOpenURLOptionsSelector = "application:openURL:options:";
using DAZOpenURLOptionsImp = bool(os::runtime::Object&, DAZApplicationRef, os::URL, os::Dictionary);

inline constexpr const char* kDAZHandleEventsForBackgroundURLSessionSelector =
    "application:handleEventsForBackgroundURLSession:completionHandler:";
using DAZHandleEventsForBackgroundURLSessionImp = void(os::runtime::Object&, DAZApplicationRef, std::string,
                                                       std::function<void()>);

inline constexpr const char* kDAZOpenURLSourceApplicationAnnotationSelector =
    "application:openURL:sourceApplication:annotation:";
using DAZOpenURLSourceApplicationAnnotationImp = bool(os::runtime::Object&, DAZApplicationRef, os::URL, std::string,
                                                      os::Value);

inline constexpr const char* kDAZDescriptionSelector = "description";
using DAZDescriptionImp = std::string(os::runtime::Object&);

inline constexpr const char* kDAZDidRegisterForRemoteNotificationsSelector =
    "application:didRegisterForRemoteNotificationsWithDeviceToken:";
using DAZDidRegisterForRemoteNotificationsImp = void(os::runtime::Object&, DAZApplicationRef, os::Data);

inline constexpr const char* kDAZDidFailToRegisterForRemoteNotificationsSelector =
    "application:didFailToRegisterForRemoteNotificationsWithError:";
using DAZDidFailToRegisterForRemoteNotificationsImp = void(os::runtime::Object&, DAZApplicationRef, os::Error);

inline constexpr const char* kDAZDidReceiveRemoteNotificationSelector =
    "application:didReceiveRemoteNotification:fetchCompletionHandler:";
using DAZFetchCompletionHandler = std::function<void(UIBackgroundFetchResult)>;
using DAZDidReceiveRemoteNotificationImp = void(os::runtime::Object&, DAZApplicationRef, os::Dictionary,
                                                DAZFetchCompletionHandler);

// Info.plist switches: either one set to a false number disables the proxy.
inline constexpr const char* kDAZAppDelegateProxyEnabledPlistKey = "DevuvoUtilitiesAppDelegateProxyEnabled";
inline constexpr const char* kDAZAppDelegateProxyEnabledLegacyPlistKey = "VivuzuvuAppDelegateProxyEnabled";

// Associated-object keys on a proxied delegate.
inline constexpr const char* kDAZRealIMPBySelectorKey = "DAZ_realIMPBySelector";
inline constexpr const char* kDAZRealClassKey = "DAZ_realClass";
inline constexpr const char* kDAZProxyClassPrefix = "DAZ_";

// Selector name -> the real class's implementation (empty when it has none).
using DAZRealIMPBySelector = std::map<std::string, os::runtime::Imp>;

// One weak reference.
struct DAZZeroingWeakContainer {
  std::weak_ptr<os::runtime::Object> object;
};
using DAZInterceptorRegistry = DAZMutableDictionary<std::shared_ptr<DAZZeroingWeakContainer>>;

class DAZAppDelegateSwizzler {
 public:
  // The interceptor's ID, or nullopt (logged) for null or a non-conforming
  // object. The same object gives the same ID and one entry.
  static std::optional<std::string> registerAppDelegateInterceptor(
      const std::shared_ptr<os::runtime::Object>& interceptor);
  static void unregisterAppDelegateInterceptorWithID(const std::string& interceptorID);

  // Outside app extensions, once per process: proxies the application's
  // current delegate.
  static void proxyOriginalDelegate();
  // proxyOriginalDelegate, then once per process adds the remote-notification
  // methods to the generated subclass.
  static void proxyOriginalDelegateIncludingAPNSMethods();

  static bool isAppDelegateProxyEnabled();
  // The shared application, or null inside an app extension.
  static DAZApplicationRef sharedApplication();
  static std::shared_ptr<os::runtime::Object> originalDelegate();
  static std::string correctAppDelegateProxyKey();
  static std::string correctAlternativeWhenAppDelegateProxyNotCreated();

  // Test hooks.
  static void clearInterceptors();
  static void resetProxyOriginalDelegateOnceToken();

  // Internal steps, exposed for the scene-delegate proxy and tests.
  static void proxyAppDelegate(const std::shared_ptr<os::runtime::Object>& appDelegate);
  static os::runtime::Class* createSubclassWithObject(const std::shared_ptr<os::runtime::Object>& anObject);
  static os::runtime::Imp originalImplementationForSelector(const std::string& selector,
                                                            const os::runtime::Object& object);
  // Calls `callback` with each live interceptor that responds to the
  // selector; dead entries are logged (1010) and removed.
  static void notifyInterceptorsWithMethodSelector(const std::string& selector,
                                                   const std::function<void(os::runtime::Object&)>& callback);
  static void reassignAppDelegate();
  static DAZInterceptorRegistry& interceptors();

  // Internal: the delegate's replacement was observed.
  static void clearOriginalDelegate();
};

// Drops the library's reference to the proxied delegate when the application
// replaces its delegate.
class DAZAppDelegateObserver {
 public:
  static std::shared_ptr<DAZAppDelegateObserver> sharedInstance();
  // Starts observing the application's delegate, once until stopped.
  void observeUIApplication();
  // The observation callback.
  void observeValueForKeyPath(const std::shared_ptr<os::runtime::Object>& oldValue,
                              const std::shared_ptr<os::runtime::Object>& newValue);
  bool isObserving() const;

 private:
  mutable std::mutex mutex_;
  std::optional<uint64_t> token_;  // guarded by mutex_
  std::weak_ptr<UIApplication> application_;  // guarded by mutex_
};

// Shared by the delegate proxies.
namespace daz_detail {
// "DAZ_" and the address as "%p" prints it.
std::string interceptorID(const void* interceptor);
// The hint of log lines 1011 to 1014: a sentence when the analytics library
// ("REZCore") is linked, else "".
std::string proxyNotCreatedAlternative();
}  // namespace daz_detail
