// DAZSceneDelegateSwizzler: the app-delegate proxy's counterpart for scene
// delegates, for one method, "scene:openURLContexts:".
//
// Interceptors (runtime objects conforming to "UISceneDelegate") are held
// weakly in a registry of their own. Once proxyOriginalSceneDelegate has run,
// every scene that is about to connect ("UISceneWillConnectNotification",
// posted with the scene's runtime object as its object) has its delegate
// switched to a run-time subclass whose "scene:openURLContexts:" calls every
// live interceptor, then the delegate's own implementation. Delegates whose
// class name begins with "DAZ_" are taken as proxied already. Nothing is
// undone; refusals are log lines ("I-SWZ0011xx",
// "[DevuvoUtilities/SceneDelegateSwizzler]").
//
// Scenes exist from iOS 13 on; on an older system version nothing is
// observed or proxied.
//
// Registration on any thread; notifications and delegate calls on the main
// thread.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "os/dispatch/notification.h"
#include "os/foundation/value.h"
#include "os/runtime/runtime.h"
#include "platform/utilities/app_delegate_swizzler.h"

inline constexpr const char* kDAZUISceneDelegateProtocol = kUISceneDelegateProtocol;
inline constexpr const char* kDAZUISceneWillConnectNotification = "UISceneWillConnectNotification";

inline constexpr const char* kDAZSceneOpenURLContextsSelector = "scene:openURLContexts:";
// (self, scene, URL contexts: one dictionary per URL, with "URL" and
// "options").
using DAZSceneOpenURLContextsImp = void(os::runtime::Object&, std::shared_ptr<UIScene>, os::Array);

using DAZSceneZeroingWeakContainer = DAZZeroingWeakContainer;

class DAZSceneDelegateSwizzler {
 public:
  static std::optional<std::string> registerSceneDelegateInterceptor(
      const std::shared_ptr<os::runtime::Object>& interceptor);
  static void unregisterSceneDelegateInterceptorWithID(const std::string& interceptorID);

  // Outside app extensions, once per process, on iOS 13 or later with the
  // proxy enabled: observes scenes about to connect.
  static void proxyOriginalSceneDelegate();
  static void handleSceneWillConnectToNotification(const os::Notification& notification);
  static void proxySceneDelegateIfNeeded(const std::shared_ptr<UIScene>& scene);

  static bool isSceneDelegateProxyEnabled() { return DAZAppDelegateSwizzler::isAppDelegateProxyEnabled(); }
  static std::string correctSceneDelegateProxyKey() { return DAZAppDelegateSwizzler::correctAppDelegateProxyKey(); }
  static DAZInterceptorRegistry& interceptors();
  static void clearInterceptors();
  // Test hook: makes proxyOriginalSceneDelegate runnable again.
  static void TEST_resetProxyOnceToken();

  static os::runtime::Imp originalImplementationForSelector(const std::string& selector,
                                                            const os::runtime::Object& object) {
    return DAZAppDelegateSwizzler::originalImplementationForSelector(selector, object);
  }
  static void notifyInterceptorsWithMethodSelector(const std::string& selector,
                                                   const std::function<void(os::runtime::Object&)>& callback);
};
