#include "platform/utilities/app_delegate_swizzler.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "os/dispatch/queue.h"
#include "os/foundation/bundle.h"
#include "os/foundation/format.h"
#include "os/foundation/uuid.h"
#include "platform/utilities/app_environment.h"
#include "platform/utilities/logger.h"

namespace rt = os::runtime;

namespace {

constexpr const char* kCategory = "[DevuvoUtilities/AppDelegateSwizzler]";
constexpr const char* kDonorClassName = "DAZAppDelegateSwizzler";
constexpr const char* kDonorDidRegisterSelector = "application:donor_didRegisterForRemoteNotificationsWithDeviceToken:";
constexpr const char* kDonorDidFailSelector = "application:donor_didFailToRegisterForRemoteNotificationsWithError:";
constexpr const char* kDonorDidReceiveSelector = "application:donor_didReceiveRemoteNotification:fetchCompletionHandler:";

std::string code(long number) { return os::format("I-SWZ%06ld", number); }

template <class... Args>
void logError(long number, std::string_view format, const Args&... args) {
  DAZLogError(kDAZLoggerSubsystem, kCategory, false, code(number), format, args...);
}

// Process-wide proxy state.
struct ProxyState {
  std::mutex mutex;
  bool proxied = false;                          // guarded by mutex
  bool proxiedAPNS = false;                      // guarded by mutex
  rt::Class* realClass = nullptr;                // guarded by mutex
  rt::Class* subclass = nullptr;                 // guarded by mutex
  std::shared_ptr<rt::Object> originalDelegate;  // guarded by mutex
};
ProxyState& state() {
  static auto* s = new ProxyState();
  return *s;
}

// Runs the interceptors, then the real implementation, for a method whose
// result is a Boolean (ORed) or nothing.
template <class R, class... Args>
rt::Imp makeProxiedMethod(std::string selector) {
  return rt::makeInstanceImp<R, Args...>([selector](rt::Object& self, Args... args) -> R {
    rt::Imp real = DAZAppDelegateSwizzler::originalImplementationForSelector(selector, self);
    if constexpr (std::is_same_v<R, bool>) {
      bool result = false;
      DAZAppDelegateSwizzler::notifyInterceptorsWithMethodSelector(selector, [&](rt::Object& interceptor) {
        result |= rt::msgSend<bool, Args...>(interceptor, selector, args...);
      });
      if (real) result |= rt::callImp<bool, Args...>(real, self, args...);
      return result;
    } else {
      DAZAppDelegateSwizzler::notifyInterceptorsWithMethodSelector(
          selector, [&](rt::Object& interceptor) { rt::msgSend<void, Args...>(interceptor, selector, args...); });
      if (real) rt::callImp<void, Args...>(real, self, args...);
    }
  });
}

// Every receiver gets its own completion; the app's completion gets the
// combined result on the main queue once all of them have answered.
rt::Imp makeDidReceiveRemoteNotification() {
  return rt::Imp(std::function<DAZDidReceiveRemoteNotificationImp>(
      [](rt::Object& self, DAZApplicationRef application, os::Dictionary userInfo,
         DAZFetchCompletionHandler completionHandler) {
        const std::string selector = kDAZDidReceiveRemoteNotificationSelector;
        rt::Imp real = DAZAppDelegateSwizzler::originalImplementationForSelector(selector, self);
        auto group = os::DispatchGroup::create();
        struct Results {
          std::mutex mutex;
          std::vector<UIBackgroundFetchResult> values;  // guarded by mutex
        };
        auto results = std::make_shared<Results>();
        auto receiverCompletion = [&]() -> DAZFetchCompletionHandler {
          group->enter();
          auto answered = std::make_shared<std::atomic<bool>>(false);
          // A receiver that answers twice must not leave the group twice.
          return [group, results, answered](UIBackgroundFetchResult result) {
            if (answered->exchange(true)) return;
            {
              std::lock_guard lock(results->mutex);
              results->values.push_back(result);
            }
            group->leave();
          };
        };
        DAZAppDelegateSwizzler::notifyInterceptorsWithMethodSelector(selector, [&](rt::Object& interceptor) {
          rt::msgSend<void, DAZApplicationRef, os::Dictionary, DAZFetchCompletionHandler>(
              interceptor, selector, application, userInfo, receiverCompletion());
        });
        if (real) {
          rt::callImp<void, DAZApplicationRef, os::Dictionary, DAZFetchCompletionHandler>(
              real, self, application, userInfo, receiverCompletion());
        }
        group->notify(os::DispatchQueue::main(), [results, completionHandler] {
          std::lock_guard lock(results->mutex);
          auto has = [&](UIBackgroundFetchResult r) {
            return std::find(results->values.begin(), results->values.end(), r) != results->values.end();
          };
          UIBackgroundFetchResult combined = UIBackgroundFetchResult::Failed;
          if (has(UIBackgroundFetchResult::NewData)) {
            combined = UIBackgroundFetchResult::NewData;
          } else if (has(UIBackgroundFetchResult::NoData)) {
            combined = UIBackgroundFetchResult::NoData;
          }
          if (completionHandler) completionHandler(combined);
        });
      }));
}

// The class whose methods are copied into generated subclasses.
rt::Class* donorClass() {
  static rt::Class* donor = [] {
    rt::Class* c = rt::registerClass(kDonorClassName);
    c->addMethod(kDAZContinueUserActivitySelector,
                 makeProxiedMethod<bool, DAZApplicationRef, std::shared_ptr<NSUserActivity>,
                                   UIUserActivityRestorationHandler>(
                     kDAZContinueUserActivitySelector));
    c->addMethod(kDAZOpenURLOptionsSelector,
                 makeProxiedMethod<bool, DAZApplicationRef, os::URL, os::Dictionary>(kDAZOpenURLOptionsSelector));
    c->addMethod(kDAZHandleEventsForBackgroundURLSessionSelector,
                 makeProxiedMethod<void, DAZApplicationRef, std::string, std::function<void()>>(
                     kDAZHandleEventsForBackgroundURLSessionSelector));
    c->addMethod(kDAZOpenURLSourceApplicationAnnotationSelector,
                 makeProxiedMethod<bool, DAZApplicationRef, os::URL, std::string, os::Value>(
                     kDAZOpenURLSourceApplicationAnnotationSelector));
    c->addMethod("fakeDescription", rt::Imp(std::function<DAZDescriptionImp>([](rt::Object& self) {
                   auto real = rt::getAssociatedObjectAs<rt::Class*>(&self, kDAZRealClassKey);
                   return os::format("<%@: %p>", real && *real ? (*real)->name() : std::string("?"),
                                     static_cast<const void*>(&self));
                 })));
    c->addMethod(kDonorDidRegisterSelector, makeProxiedMethod<void, DAZApplicationRef, os::Data>(
                                                kDAZDidRegisterForRemoteNotificationsSelector));
    c->addMethod(kDonorDidFailSelector, makeProxiedMethod<void, DAZApplicationRef, os::Error>(
                                            kDAZDidFailToRegisterForRemoteNotificationsSelector));
    c->addMethod(kDonorDidReceiveSelector, makeDidReceiveRemoteNotification());
    return c;
  }();
  return donor;
}

// Adds the donor's method for `source` under `destination`; an existing
// method is kept (1009).
void addInstanceMethod(const std::string& destination, const std::string& source, rt::Class* toClass) {
  if (!toClass->addMethod(destination, donorClass()->instanceMethod(source))) {
    DAZLogWarning(kDAZLoggerSubsystem, kCategory, false, code(1009),
                  "Cannot copy method to destination selector %@ as it already exists", destination);
  }
}

void proxySelector(const std::string& destination, const std::string& source, rt::Class* subclass,
                   rt::Class* realClass, DAZRealIMPBySelector& implementations) {
  addInstanceMethod(destination, source, subclass);
  implementations[destination] = realClass->instanceMethod(destination);
}

void attachImplementations(rt::Object& object, DAZRealIMPBySelector implementations, rt::Class* realClass) {
  rt::setAssociatedObject(&object, kDAZRealIMPBySelectorKey,
                          std::make_shared<DAZRealIMPBySelector>(std::move(implementations)),
                          rt::AssociationPolicy::RetainNonatomic);
  rt::setAssociatedObject(&object, kDAZRealClassKey, std::make_shared<rt::Class*>(realClass),
                          rt::AssociationPolicy::RetainNonatomic);
}

std::shared_ptr<rt::Object> delegateOf(UIApplication& application) { return application.delegate(); }

void setDelegateOf(UIApplication& application, std::shared_ptr<rt::Object> delegate) {
  application.setDelegate(std::move(delegate));
}

}  // namespace

namespace daz_detail {

std::string interceptorID(const void* interceptor) { return os::format("%@%p", kDAZProxyClassPrefix, interceptor); }

std::string proxyNotCreatedAlternative() {
  if (!rt::classFromString("REZCore")) return "";
  return "To log deep link campaigns manually, call the methods in REZAnalytics+AppDelegate.h.";
}

}  // namespace daz_detail

// ---- Registry ----

DAZInterceptorRegistry& DAZAppDelegateSwizzler::interceptors() {
  static auto* registry = new DAZInterceptorRegistry();
  return *registry;
}

std::optional<std::string> DAZAppDelegateSwizzler::registerAppDelegateInterceptor(
    const std::shared_ptr<rt::Object>& interceptor) {
  if (!interceptor) {
    logError(1000, "AppDelegateProxy cannot add nil interceptor.");
    return std::nullopt;
  }
  if (!interceptor->conformsToProtocol(kDAZUIApplicationDelegateProtocol)) {
    logError(1001, "AppDelegateProxy interceptor does not conform to UIApplicationDelegate");
    return std::nullopt;
  }
  std::string id = daz_detail::interceptorID(interceptor.get());
  if (id.empty()) {
    logError(1002, "AppDelegateProxy cannot create Interceptor ID.");
    return std::nullopt;
  }
  interceptors().setObjectForKey(std::make_shared<DAZZeroingWeakContainer>(DAZZeroingWeakContainer{interceptor}), id);
  return id;
}

void DAZAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(const std::string& interceptorID) {
  if (interceptorID.empty()) {
    logError(1003, "AppDelegateProxy cannot unregister empty interceptor ID.");
    return;
  }
  auto container = interceptors().objectForKey(interceptorID);
  if (!container || !*container || (*container)->object.expired()) {
    logError(1004, "AppDelegateProxy cannot unregister interceptor that was not registered. Interceptor ID %@",
             interceptorID);
    return;
  }
  interceptors().removeObjectForKey(interceptorID);
}

void DAZAppDelegateSwizzler::clearInterceptors() { interceptors().removeAllObjects(); }

void DAZAppDelegateSwizzler::notifyInterceptorsWithMethodSelector(
    const std::string& selector, const std::function<void(rt::Object&)>& callback) {
  for (const auto& [id, container] : interceptors().dictionary()) {
    auto interceptor = container ? container->object.lock() : nullptr;
    if (!interceptor) {
      DAZLogWarning(kDAZLoggerSubsystem, kCategory, false, code(1010),
                    "AppDelegateProxy cannot find interceptor with ID %@. Removing the interceptor.", id);
      interceptors().removeObjectForKey(id);
      continue;
    }
    if (interceptor->respondsToSelector(selector)) callback(*interceptor);
  }
}

// ---- Switches and names ----

bool DAZAppDelegateSwizzler::isAppDelegateProxyEnabled() {
  auto bundle = os::Bundle::mainBundle();
  auto counts = [&](const char* key) {
    os::Value value = bundle->objectForInfoDictionaryKey(key);
    return value.isNumber() ? value.boolValue() : true;
  };
  return counts(kDAZAppDelegateProxyEnabledPlistKey) && counts(kDAZAppDelegateProxyEnabledLegacyPlistKey);
}

std::string DAZAppDelegateSwizzler::correctAppDelegateProxyKey() {
  return rt::classFromString("REZCore") ? kDAZAppDelegateProxyEnabledLegacyPlistKey
                                        : kDAZAppDelegateProxyEnabledPlistKey;
}

std::string DAZAppDelegateSwizzler::correctAlternativeWhenAppDelegateProxyNotCreated() {
  return daz_detail::proxyNotCreatedAlternative();
}

DAZApplicationRef DAZAppDelegateSwizzler::sharedApplication() {
  if (DAZAppEnvironmentUtil::isAppExtension()) return nullptr;
  return UIApplication::sharedApplication();
}

std::shared_ptr<rt::Object> DAZAppDelegateSwizzler::originalDelegate() {
  std::lock_guard lock(state().mutex);
  return state().originalDelegate;
}

void DAZAppDelegateSwizzler::clearOriginalDelegate() {
  std::lock_guard lock(state().mutex);
  state().originalDelegate.reset();
}

void DAZAppDelegateSwizzler::resetProxyOriginalDelegateOnceToken() {
  std::lock_guard lock(state().mutex);
  state().proxied = false;
  state().proxiedAPNS = false;
}

// ---- Proxying ----

void DAZAppDelegateSwizzler::proxyOriginalDelegate() {
  if (DAZAppEnvironmentUtil::isAppExtension()) return;
  {
    std::lock_guard lock(state().mutex);
    if (state().proxied) return;
    state().proxied = true;
  }
  auto application = sharedApplication();
  proxyAppDelegate(application ? delegateOf(*application) : nullptr);
}

void DAZAppDelegateSwizzler::proxyAppDelegate(const std::shared_ptr<rt::Object>& appDelegate) {
  const std::string hint = correctAlternativeWhenAppDelegateProxyNotCreated();
  // Conformance is asked first, and no delegate conforms to nothing: a
  // missing delegate ends here, before the switch is read.
  if (!appDelegate || !appDelegate->conformsToProtocol(kDAZUIApplicationDelegateProtocol)) {
    DAZLogNotice(kDAZLoggerSubsystem, kCategory, false, code(1014),
                 "App Delegate does not conform to UIApplicationDelegate protocol. %@", hint);
    return;
  }
  if (!isAppDelegateProxyEnabled()) {
    DAZLogNotice(kDAZLoggerSubsystem, kCategory, false, code(1011), "App Delegate Proxy is disabled. %@", hint);
    return;
  }
  try {
    rt::Class* realClass = appDelegate->getClass();
    rt::Class* subclass = createSubclassWithObject(appDelegate);
    {
      std::lock_guard lock(state().mutex);
      state().realClass = realClass;
      state().subclass = subclass;
    }
    reassignAppDelegate();
  } catch (const std::exception&) {
    logError(1013, "Cannot create App Delegate Proxy. %@", hint);
  }
}

rt::Class* DAZAppDelegateSwizzler::createSubclassWithObject(const std::shared_ptr<rt::Object>& anObject) {
  rt::Class* realClass = anObject->getClass();
  const std::string name =
      os::format("%@-%@", std::string(kDAZProxyClassPrefix) + realClass->name(), os::UUID().UUIDString());
  if (rt::Class* existing = rt::classFromString(name)) {
    logError(1005, "Cannot create a proxy for App Delegate. Subclass already exists. Original Class: %@, subclass: %@",
             realClass->name(), existing->name());
    return nullptr;
  }
  rt::Class* subclass = rt::allocateClassPair(realClass, name);
  if (!subclass) {
    logError(1006, "Cannot create a proxy for App Delegate. Subclass already exists. Original Class: %@, subclass: Nil",
             realClass->name());
    return nullptr;
  }

  DAZRealIMPBySelector implementations;
  proxySelector(kDAZContinueUserActivitySelector, kDAZContinueUserActivitySelector, subclass, realClass,
                implementations);
  if (anObject->respondsToSelector(kDAZOpenURLOptionsSelector)) {
    proxySelector(kDAZOpenURLOptionsSelector, kDAZOpenURLOptionsSelector, subclass, realClass, implementations);
  }
  proxySelector(kDAZHandleEventsForBackgroundURLSessionSelector, kDAZHandleEventsForBackgroundURLSessionSelector,
                subclass, realClass, implementations);
  proxySelector(kDAZOpenURLSourceApplicationAnnotationSelector, kDAZOpenURLSourceApplicationAnnotationSelector,
                subclass, realClass, implementations);
  addInstanceMethod(kDAZDescriptionSelector, "fakeDescription", subclass);
  attachImplementations(*anObject, std::move(implementations), realClass);

  // The subclass adds no instance state, so it always has the real class's
  // size: the size check of the platform has nothing to compare here.
  rt::registerClassPair(subclass);
  if (anObject->setClass(subclass)) {
    DAZLogDebug(kDAZLoggerSubsystem, kCategory, false, code(1008),
                "Successfully created App Delegate Proxy automatically. To disable the proxy, set the flag %@ to NO "
                "(Boolean) in the Info.plist",
                correctAppDelegateProxyKey());
  }
  return subclass;
}

rt::Imp DAZAppDelegateSwizzler::originalImplementationForSelector(const std::string& selector,
                                                                  const rt::Object& object) {
  auto implementations = rt::getAssociatedObjectAs<const DAZRealIMPBySelector>(&object, kDAZRealIMPBySelectorKey);
  if (!implementations) return {};
  auto it = implementations->find(selector);
  return it == implementations->end() ? rt::Imp() : it->second;
}

void DAZAppDelegateSwizzler::reassignAppDelegate() {
  auto application = sharedApplication();
  if (!application) return;
  auto delegate = delegateOf(*application);
  // The application reads again which methods its delegate implements.
  setDelegateOf(*application, nullptr);
  setDelegateOf(*application, delegate);
  {
    std::lock_guard lock(state().mutex);
    state().originalDelegate = delegate;
  }
  DAZAppDelegateObserver::sharedInstance()->observeUIApplication();
}

void DAZAppDelegateSwizzler::proxyOriginalDelegateIncludingAPNSMethods() {
  if (DAZAppEnvironmentUtil::isAppExtension()) return;
  proxyOriginalDelegate();
  rt::Class* subclass;
  rt::Class* realClass;
  std::shared_ptr<rt::Object> delegate;
  {
    std::lock_guard lock(state().mutex);
    if (state().proxiedAPNS) return;
    state().proxiedAPNS = true;
    subclass = state().subclass;
    realClass = state().realClass;
    delegate = state().originalDelegate;
  }
  if (!subclass || !realClass || !delegate) return;
  auto stored = rt::getAssociatedObjectAs<const DAZRealIMPBySelector>(delegate.get(), kDAZRealIMPBySelectorKey);
  DAZRealIMPBySelector implementations = stored ? *stored : DAZRealIMPBySelector();
  proxySelector(kDAZDidRegisterForRemoteNotificationsSelector, kDonorDidRegisterSelector, subclass, realClass,
                implementations);
  proxySelector(kDAZDidFailToRegisterForRemoteNotificationsSelector, kDonorDidFailSelector, subclass, realClass,
                implementations);
  proxySelector(kDAZDidReceiveRemoteNotificationSelector, kDonorDidReceiveSelector, subclass, realClass,
                implementations);
  attachImplementations(*delegate, std::move(implementations), realClass);
  reassignAppDelegate();
}

// ---- Observer ----

std::shared_ptr<DAZAppDelegateObserver> DAZAppDelegateObserver::sharedInstance() {
  static auto& instance = *new std::shared_ptr<DAZAppDelegateObserver>(std::make_shared<DAZAppDelegateObserver>());
  return instance;
}

bool DAZAppDelegateObserver::isObserving() const {
  std::lock_guard lock(mutex_);
  return token_.has_value();
}

void DAZAppDelegateObserver::observeUIApplication() {
  auto application = DAZAppDelegateSwizzler::sharedApplication();
  if (!application) return;
  std::lock_guard lock(mutex_);
  // Observing the current application already; an application that has gone
  // away no longer reports.
  if (token_ && application_.lock() == application) return;
  std::weak_ptr<DAZAppDelegateObserver> weakSelf = sharedInstance();
  token_ = application->addDelegateObserver(
      [weakSelf](const std::shared_ptr<rt::Object>& oldValue, const std::shared_ptr<rt::Object>& newValue) {
        if (auto self = weakSelf.lock()) self->observeValueForKeyPath(oldValue, newValue);
      });
  application_ = application;
}

void DAZAppDelegateObserver::observeValueForKeyPath(const std::shared_ptr<rt::Object>& oldValue,
                                                    const std::shared_ptr<rt::Object>& newValue) {
  if (newValue == oldValue || oldValue != DAZAppDelegateSwizzler::originalDelegate()) return;
  DAZAppDelegateSwizzler::clearOriginalDelegate();
  std::optional<uint64_t> token;
  std::shared_ptr<UIApplication> application;
  {
    std::lock_guard lock(mutex_);
    token = token_;
    token_.reset();
    application = application_.lock();
  }
  if (token && application) application->removeDelegateObserver(*token);
}
