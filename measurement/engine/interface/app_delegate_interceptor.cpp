#include "measurement/engine/interface/app_delegate_interceptor.h"

#include <utility>

#include "measurement/engine/core/measurement.h"
#include "measurement/engine/interface/analytics.h"
#include "platform/utilities/app_delegate_swizzler.h"
#include "platform/utilities/network.h"

namespace {

namespace rt = os::runtime;

// The proxy finds the methods by selector on the runtime class; each forwards
// to the C++ member of the same name.
template <class R, class... Args, class Member>
rt::Imp forwardTo(Member member) {
  return rt::makeInstanceImp<R, Args...>([member](rt::Object& self, Args... args) -> R {
    auto* interceptor = dynamic_cast<APMAppDelegateInterceptor*>(&self);
    if constexpr (std::is_void_v<R>) {
      if (interceptor != nullptr) (interceptor->*member)(std::forward<Args>(args)...);
    } else {
      return interceptor != nullptr ? (interceptor->*member)(std::forward<Args>(args)...) : R{};
    }
  });
}

const rt::ClassRegistration kRegistration{
    kAPMAppDelegateInterceptorClassName, "NSObject", [](rt::Class& c) {
      c.addProtocol(kDAZUIApplicationDelegateProtocol);
      c.addMethod(kDAZOpenURLOptionsSelector,
                  forwardTo<bool, DAZApplicationRef, os::URL, os::Dictionary>(
                      &APMAppDelegateInterceptor::applicationOpenURLOptions));
      c.addMethod(kDAZOpenURLSourceApplicationAnnotationSelector,
                  forwardTo<bool, DAZApplicationRef, os::URL, std::string, os::Value>(
                      &APMAppDelegateInterceptor::applicationOpenURLSourceApplicationAnnotation));
      c.addMethod(kDAZContinueUserActivitySelector,
                  forwardTo<bool, DAZApplicationRef, std::shared_ptr<NSUserActivity>, UIUserActivityRestorationHandler>(
                      &APMAppDelegateInterceptor::applicationContinueUserActivityRestorationHandler));
      c.addMethod(kDAZHandleEventsForBackgroundURLSessionSelector,
                  forwardTo<void, DAZApplicationRef, std::string, std::function<void()>>(
                      &APMAppDelegateInterceptor::applicationHandleEventsForBackgroundURLSessionCompletionHandler));
    }};

}  // namespace

std::shared_ptr<APMAppDelegateInterceptor> APMAppDelegateInterceptor::sharedInstance() {
  // Never destroyed: the proxy may call it while the process exits.
  static const auto& instance = *new std::shared_ptr<APMAppDelegateInterceptor>(
      std::make_shared<APMAppDelegateInterceptor>());
  return instance;
}

APMAppDelegateInterceptor::APMAppDelegateInterceptor() : Object(kRegistration.cls()) {}

bool APMAppDelegateInterceptor::applicationOpenURLOptions(const std::shared_ptr<UIApplication>&, const os::URL& url,
                                                          const os::Dictionary&) {
  APMAnalytics::handleOpenURL(url);
  return false;
}

bool APMAppDelegateInterceptor::applicationOpenURLSourceApplicationAnnotation(const std::shared_ptr<UIApplication>&,
                                                                              const os::URL& url, const std::string&,
                                                                              const os::Value&) {
  APMAnalytics::handleOpenURL(url);
  return false;
}

bool APMAppDelegateInterceptor::applicationContinueUserActivityRestorationHandler(
    const std::shared_ptr<UIApplication>&, const std::shared_ptr<NSUserActivity>& userActivity,
    const UIUserActivityRestorationHandler&) {
  if (!userActivity) return false;
  const auto link = APMMeasurement::deepLinkFromUserActivity(userActivity);
  if (link && !link->absoluteString().empty()) APMAnalytics::handleOpenURL(*link);
  return false;
}

void APMAppDelegateInterceptor::applicationHandleEventsForBackgroundURLSessionCompletionHandler(
    const std::shared_ptr<UIApplication>&, const std::string& identifier, std::function<void()> completionHandler) {
  DAZNetwork::handleEventsForBackgroundURLSessionID(identifier, std::move(completionHandler));
}
