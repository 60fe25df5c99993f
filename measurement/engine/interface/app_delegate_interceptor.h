// APMAppDelegateInterceptor: the object the app-delegate proxy calls beside
// the application's delegate, so the engine sees the URLs that open the app,
// the universal links it continues and the background URL-session events of
// its own uploads without the application forwarding them.
//
// A runtime object of the class "APMAppDelegateInterceptor" (protocol
// "UIApplicationDelegate") whose four methods have the proxy's signatures.
// It has no state. The facade registers the shared instance once, on the main
// queue, when the proxy is enabled and collection is not deactivated.
//
// Every method that answers a Boolean answers false: the interceptor only
// listens, the application's own answer stands. Main thread, as the proxy
// calls it; the link handling it triggers moves to the facade's queue.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "os/foundation/value.h"
#include "os/foundation/url.h"
#include "os/runtime/runtime.h"
#include "os/uikit/app_host.h"
#include "os/uikit/application.h"

inline constexpr const char* kAPMAppDelegateInterceptorClassName = "APMAppDelegateInterceptor";

class APMAppDelegateInterceptor : public os::runtime::Object {
 public:
  // The one instance, made on first use.
  static std::shared_ptr<APMAppDelegateInterceptor> sharedInstance();
  APMAppDelegateInterceptor();

  // application:openURL:options: and application:openURL:sourceApplication:annotation:
  // hand the URL to the facade (handleOpenURL).
  bool applicationOpenURLOptions(const std::shared_ptr<UIApplication>& application, const os::URL& url,
                                 const os::Dictionary& options);
  bool applicationOpenURLSourceApplicationAnnotation(const std::shared_ptr<UIApplication>& application,
                                                     const os::URL& url, const std::string& sourceApplication,
                                                     const os::Value& annotation);
  // The link derived from the activity goes to the facade when its absolute
  // string is not empty. The restoration handler is not called.
  bool applicationContinueUserActivityRestorationHandler(const std::shared_ptr<UIApplication>& application,
                                                         const std::shared_ptr<NSUserActivity>& userActivity,
                                                         const UIUserActivityRestorationHandler& restorationHandler);
  // Hands the session identifier and the completion handler, unchanged, to
  // the network client.
  void applicationHandleEventsForBackgroundURLSessionCompletionHandler(const std::shared_ptr<UIApplication>& application,
                                                                       const std::string& identifier,
                                                                       std::function<void()> completionHandler);
};
