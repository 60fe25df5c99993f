#include "platform/utilities/scene_delegate_swizzler.h"

#include <cstdlib>
#include <mutex>

#include "os/foundation/format.h"
#include "os/foundation/uuid.h"
#include "platform/utilities/app_environment.h"
#include "platform/utilities/logger.h"

namespace rt = os::runtime;

namespace {

constexpr const char* kCategory = "[DevuvoUtilities/SceneDelegateSwizzler]";
constexpr const char* kDonorClassName = "DAZSceneDelegateSwizzler";

std::string code(long number) { return os::format("I-SWZ%06ld", number); }

struct SceneProxyState {
  std::mutex mutex;
  bool observing = false;  // guarded by mutex
};
SceneProxyState& state() {
  static auto* s = new SceneProxyState();
  return *s;
}

bool hasScenes() { return std::atoi(DAZAppEnvironmentUtil::systemVersion().c_str()) >= 13; }

rt::Class* donorClass() {
  static rt::Class* donor = [] {
    rt::Class* c = rt::registerClass(kDonorClassName);
    c->addMethod(kDAZSceneOpenURLContextsSelector,
                 rt::Imp(std::function<DAZSceneOpenURLContextsImp>(
                     [](rt::Object& self, std::shared_ptr<UIScene> scene, os::Array contexts) {
                       if (!hasScenes()) return;
                       const std::string selector = kDAZSceneOpenURLContextsSelector;
                       rt::Imp real = DAZSceneDelegateSwizzler::originalImplementationForSelector(selector, self);
                       DAZSceneDelegateSwizzler::notifyInterceptorsWithMethodSelector(
                           selector, [&](rt::Object& interceptor) {
                             if (!interceptor.conformsToProtocol(kDAZUISceneDelegateProtocol)) return;
                             rt::msgSend<void, std::shared_ptr<UIScene>, os::Array>(interceptor, selector, scene,
                                                                                       contexts);
                           });
                       if (real) rt::callImp<void, std::shared_ptr<UIScene>, os::Array>(real, self, scene, contexts);
                     })));
    return c;
  }();
  return donor;
}

}  // namespace

DAZInterceptorRegistry& DAZSceneDelegateSwizzler::interceptors() {
  static auto* registry = new DAZInterceptorRegistry();
  return *registry;
}

void DAZSceneDelegateSwizzler::clearInterceptors() { interceptors().removeAllObjects(); }

void DAZSceneDelegateSwizzler::TEST_resetProxyOnceToken() {
  std::lock_guard lock(state().mutex);
  state().observing = false;
}

std::optional<std::string> DAZSceneDelegateSwizzler::registerSceneDelegateInterceptor(
    const std::shared_ptr<rt::Object>& interceptor) {
  if (!interceptor) {
    DAZLogError(kDAZLoggerSubsystem, kCategory, false, code(1100), "SceneDelegateProxy cannot add nil interceptor.");
    return std::nullopt;
  }
  if (!interceptor->conformsToProtocol(kDAZUISceneDelegateProtocol)) {
    DAZLogError(kDAZLoggerSubsystem, kCategory, false, code(1101),
                "SceneDelegateProxy interceptor does not conform to UISceneDelegate");
    return std::nullopt;
  }
  std::string id = daz_detail::interceptorID(interceptor.get());
  if (id.empty()) {
    DAZLogError(kDAZLoggerSubsystem, kCategory, false, code(1102), "SceneDelegateProxy cannot create Interceptor ID.");
    return std::nullopt;
  }
  interceptors().setObjectForKey(std::make_shared<DAZZeroingWeakContainer>(DAZZeroingWeakContainer{interceptor}), id);
  return id;
}

void DAZSceneDelegateSwizzler::unregisterSceneDelegateInterceptorWithID(const std::string& interceptorID) {
  if (interceptorID.empty()) {
    DAZLogError(kDAZLoggerSubsystem, kCategory, false, code(1103),
                "SceneDelegateProxy cannot unregister empty interceptor ID.");
    return;
  }
  auto container = interceptors().objectForKey(interceptorID);
  if (!container || !*container || (*container)->object.expired()) {
    DAZLogError(kDAZLoggerSubsystem, kCategory, false, code(1104),
                "SceneDelegateProxy cannot unregister interceptor that was not registered. Interceptor ID %@",
                interceptorID);
    return;
  }
  interceptors().removeObjectForKey(interceptorID);
}

void DAZSceneDelegateSwizzler::notifyInterceptorsWithMethodSelector(
    const std::string& selector, const std::function<void(rt::Object&)>& callback) {
  for (const auto& [id, container] : interceptors().dictionary()) {
    auto interceptor = container ? container->object.lock() : nullptr;
    if (!interceptor) {
      DAZLogWarning(kDAZLoggerSubsystem, kCategory, false, code(1110),
                    "SceneDelegateProxy cannot find interceptor with ID %@. Removing the interceptor.", id);
      interceptors().removeObjectForKey(id);
      continue;
    }
    if (interceptor->respondsToSelector(selector)) callback(*interceptor);
  }
}

void DAZSceneDelegateSwizzler::proxyOriginalSceneDelegate() {
  if (DAZAppEnvironmentUtil::isAppExtension() || !hasScenes() || !isSceneDelegateProxyEnabled()) return;
  {
    std::lock_guard lock(state().mutex);
    if (state().observing) return;
    state().observing = true;
  }
  os::NotificationCenter::defaultCenter()->addObserver(
      &state(), [](const os::Notification& notification) { handleSceneWillConnectToNotification(notification); },
      kDAZUISceneWillConnectNotification, nullptr);
}

void DAZSceneDelegateSwizzler::handleSceneWillConnectToNotification(const os::Notification& notification) {
  if (!hasScenes() || !notification.object) return;
  auto application = DAZAppDelegateSwizzler::sharedApplication();
  if (!application) return;
  // The object is known by address only: take the connected scene it names.
  for (const auto& scene : application->connectedScenes()) {
    if (scene.get() == notification.object) {
      proxySceneDelegateIfNeeded(scene);
      return;
    }
  }
}

void DAZSceneDelegateSwizzler::proxySceneDelegateIfNeeded(const std::shared_ptr<UIScene>& scene) {
  if (!scene) return;
  auto delegate = scene->delegate();
  if (!delegate || !delegate->getClass()) return;
  rt::Class* realClass = delegate->getClass();
  if (realClass->name().empty() || realClass->name().starts_with(kDAZProxyClassPrefix)) return;

  const std::string name =
      os::format("%@-%@", std::string(kDAZProxyClassPrefix) + realClass->name(), os::UUID().UUIDString());
  if (rt::Class* existing = rt::classFromString(name)) {
    DAZLogError(kDAZLoggerSubsystem, kCategory, false, code(1114),
                "Cannot create a proxy for Scene Delegate. Subclass already exists. Original Class: %@, subclass: %@",
                realClass->name(), existing->name());
    return;
  }
  rt::Class* subclass = rt::allocateClassPair(realClass, name);
  if (!subclass) {
    DAZLogError(kDAZLoggerSubsystem, kCategory, false, code(1114),
                "Cannot create a proxy for Scene Delegate. Subclass already exists. Original Class: %@, subclass: Nil",
                realClass->name());
    return;
  }
  DAZRealIMPBySelector implementations;
  if (!subclass->addMethod(kDAZSceneOpenURLContextsSelector,
                           donorClass()->instanceMethod(kDAZSceneOpenURLContextsSelector))) {
    DAZLogWarning(kDAZLoggerSubsystem, kCategory, false, code(1109),
                  "Cannot copy method to destination selector %@ as it already exists",
                  std::string(kDAZSceneOpenURLContextsSelector));
  }
  implementations[kDAZSceneOpenURLContextsSelector] = realClass->instanceMethod(kDAZSceneOpenURLContextsSelector);
  rt::setAssociatedObject(delegate.get(), kDAZRealIMPBySelectorKey,
                          std::make_shared<DAZRealIMPBySelector>(std::move(implementations)),
                          rt::AssociationPolicy::RetainNonatomic);
  rt::setAssociatedObject(delegate.get(), kDAZRealClassKey, std::make_shared<rt::Class*>(realClass),
                          rt::AssociationPolicy::RetainNonatomic);
  // No instance state is added, so the subclass has the real class's size.
  rt::registerClassPair(subclass);
  if (delegate->setClass(subclass)) {
    DAZLogDebug(kDAZLoggerSubsystem, kCategory, false, code(1114),
                "Successfully created Scene Delegate Proxy automatically. To disable the proxy, set the flag %@ to NO "
                "(Boolean) in the Info.plist",
                correctSceneDelegateProxyKey());
  }
}
