#include "os/uikit/app_host.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "os/dispatch/notification.h"
#include "os/dispatch/run_loop.h"
#include "os/foundation/format.h"
#include "os/uikit/view.h"
#include "os/uikit/view_controller.h"

using os::runtime::Class;
using os::runtime::Object;
namespace Sel = UIApplicationDelegateSelector;

namespace {

using AppPtr = std::shared_ptr<UIApplication>;

UIApplicationDelegate* asDelegate(Object& self) { return dynamic_cast<UIApplicationDelegate*>(&self); }

// One forwarding implementation per selector, with the signature the header
// documents.
os::runtime::Imp forwardingImp(const std::string& selector) {
  using os::runtime::makeInstanceImp;
  if (selector == Sel::didFinishLaunchingWithOptions)
    return makeInstanceImp<bool, AppPtr, os::Dictionary>([](Object& self, AppPtr app, os::Dictionary options) {
      auto* d = asDelegate(self);
      return d ? d->applicationDidFinishLaunchingWithOptions(std::move(app), std::move(options)) : true;
    });
  using Lifecycle = void (UIApplicationDelegate::*)(AppPtr);
  static const std::pair<const char*, Lifecycle> kLifecycle[] = {
      {Sel::didBecomeActive, &UIApplicationDelegate::applicationDidBecomeActive},
      {Sel::willResignActive, &UIApplicationDelegate::applicationWillResignActive},
      {Sel::didEnterBackground, &UIApplicationDelegate::applicationDidEnterBackground},
      {Sel::willEnterForeground, &UIApplicationDelegate::applicationWillEnterForeground},
      {Sel::willTerminate, &UIApplicationDelegate::applicationWillTerminate},
  };
  for (auto& [name, method] : kLifecycle)
    if (selector == name)
      return makeInstanceImp<void, AppPtr>([method = method](Object& self, AppPtr app) {
        if (auto* d = asDelegate(self)) (d->*method)(std::move(app));
      });
  if (selector == Sel::openURLOptions)
    return makeInstanceImp<bool, AppPtr, os::URL, os::Dictionary>(
        [](Object& self, AppPtr app, os::URL url, os::Dictionary options) {
          auto* d = asDelegate(self);
          return d && d->applicationOpenURLOptions(std::move(app), std::move(url), std::move(options));
        });
  if (selector == Sel::openURLSourceApplicationAnnotation)
    return makeInstanceImp<bool, AppPtr, os::URL, std::string, os::Value>(
        [](Object& self, AppPtr app, os::URL url, std::string source, os::Value annotation) {
          auto* d = asDelegate(self);
          return d && d->applicationOpenURLSourceApplicationAnnotation(std::move(app), std::move(url),
                                                                       std::move(source), std::move(annotation));
        });
  if (selector == Sel::continueUserActivityRestorationHandler)
    return makeInstanceImp<bool, AppPtr, std::shared_ptr<NSUserActivity>, UIUserActivityRestorationHandler>(
        [](Object& self, AppPtr app, std::shared_ptr<NSUserActivity> activity, UIUserActivityRestorationHandler h) {
          auto* d = asDelegate(self);
          return d && d->applicationContinueUserActivityRestorationHandler(std::move(app), std::move(activity),
                                                                           std::move(h));
        });
  if (selector == Sel::handleEventsForBackgroundURLSessionCompletionHandler)
    return makeInstanceImp<void, AppPtr, std::string, std::function<void()>>(
        [](Object& self, AppPtr app, std::string identifier, std::function<void()> completion) {
          if (auto* d = asDelegate(self))
            d->applicationHandleEventsForBackgroundURLSessionCompletionHandler(std::move(app), std::move(identifier),
                                                                              std::move(completion));
        });
  if (selector == Sel::didRegisterForRemoteNotificationsWithDeviceToken)
    return makeInstanceImp<void, AppPtr, os::Data>([](Object& self, AppPtr app, os::Data token) {
      if (auto* d = asDelegate(self))
        d->applicationDidRegisterForRemoteNotificationsWithDeviceToken(std::move(app), std::move(token));
    });
  if (selector == Sel::didFailToRegisterForRemoteNotificationsWithError)
    return makeInstanceImp<void, AppPtr, os::Error>([](Object& self, AppPtr app, os::Error error) {
      if (auto* d = asDelegate(self))
        d->applicationDidFailToRegisterForRemoteNotificationsWithError(std::move(app), std::move(error));
    });
  if (selector == Sel::didReceiveRemoteNotificationFetchCompletionHandler)
    return makeInstanceImp<void, AppPtr, os::Dictionary, std::function<void(UIBackgroundFetchResult)>>(
        [](Object& self, AppPtr app, os::Dictionary info, std::function<void(UIBackgroundFetchResult)> completion) {
          if (auto* d = asDelegate(self))
            d->applicationDidReceiveRemoteNotificationFetchCompletionHandler(std::move(app), std::move(info),
                                                                             std::move(completion));
        });
  return {};
}

const std::vector<std::string>& allSelectors() {
  static const std::vector<std::string> all = {
      Sel::didFinishLaunchingWithOptions,
      Sel::didBecomeActive,
      Sel::willResignActive,
      Sel::didEnterBackground,
      Sel::willEnterForeground,
      Sel::willTerminate,
      Sel::openURLOptions,
      Sel::openURLSourceApplicationAnnotation,
      Sel::continueUserActivityRestorationHandler,
      Sel::handleEventsForBackgroundURLSessionCompletionHandler,
      Sel::didRegisterForRemoteNotificationsWithDeviceToken,
      Sel::didFailToRegisterForRemoteNotificationsWithError,
      Sel::didReceiveRemoteNotificationFetchCompletionHandler,
  };
  return all;
}

// The class of delegates made outside a registration.
Class* genericDelegateClass() {
  static Class* cls = [] {
    os::runtime::registerClass("UIResponder", "NSObject");
    Class* c = os::runtime::registerClass("UIApplicationDelegate", "UIResponder");
    c->addProtocol(kUIApplicationDelegateProtocol);
    UIApplicationDelegate::addDelegateMethods(*c, allSelectors());
    return c;
  }();
  return cls;
}

const os::runtime::ClassRegistration kResponder{"UIResponder", "NSObject"};

void post(const char* name, const void* object, os::Dictionary userInfo = {}) {
  os::NotificationCenter::defaultCenter()->postNotificationName(name, object, std::move(userInfo));
}

// Sends a lifecycle message when the delegate responds to it.
void sendLifecycle(const AppPtr& app, const char* selector) {
  auto delegate = app->delegate();
  if (delegate && delegate->respondsToSelector(selector)) os::runtime::msgSend<void>(*delegate, selector, app);
}

os::Error hostError(int64_t code, const std::string& description) {
  return os::Error::withDescription(kApplicationHostErrorDomain, code, description);
}

os::uikit::ApplicationHost*& currentHost() {
  static os::uikit::ApplicationHost* host = nullptr;
  return host;
}

}  // namespace

// --- Delegate ------------------------------------------------------------------

UIApplicationDelegate::UIApplicationDelegate() : Object(genericDelegateClass()) {}
UIApplicationDelegate::~UIApplicationDelegate() = default;

void UIApplicationDelegate::addDelegateMethods(Class& cls, const std::vector<std::string>& selectors) {
  for (auto& selector : selectors)
    if (auto imp = forwardingImp(selector)) cls.addMethod(selector, imp);
}

// --- Scenes --------------------------------------------------------------------

std::vector<std::shared_ptr<UIWindow>> UIWindowScene::windows() const {
  std::vector<std::shared_ptr<UIWindow>> out;
  for (auto& w : UIApplication::sharedApplication()->windows())
    if (w->windowScene().get() == this) out.push_back(w);
  return out;
}

std::shared_ptr<UIWindow> UIWindowScene::keyWindow() const {
  auto key = UIApplication::sharedApplication()->keyWindow();
  return key && key->windowScene().get() == this ? key : nullptr;
}

std::shared_ptr<UIWindowScene> UIWindow::windowScene() const {
  if (auto s = windowScene_.lock()) return s;
  for (auto& scene : UIApplication::sharedApplication()->connectedScenes())
    if (auto ws = std::dynamic_pointer_cast<UIWindowScene>(scene)) return ws;
  return nullptr;
}

// --- Host ----------------------------------------------------------------------

namespace os::uikit {

ApplicationHost::ApplicationHost() = default;

ApplicationHost::~ApplicationHost() {
  if (currentHost() == this) currentHost() = nullptr;
  if (setPrewarmVariable_) {
    if (savedPrewarmVariable_) {
      ::setenv(kActivePrewarmEnvironmentVariable, savedPrewarmVariable_->c_str(), 1);
    } else {
      ::unsetenv(kActivePrewarmEnvironmentVariable);
    }
  }
}

ApplicationHost* ApplicationHost::current() { return currentHost(); }

os::Status ApplicationHost::launch(const std::string& principalClassName, const std::string& delegateClassName,
                                   const Options& options) {
  if (launched_) return os::fail(hostError(1, "The application was launched already."));
  if (!principalClassName.empty() && principalClassName != "UIApplication")
    return os::fail(hostError(2, os::format("Unable to instantiate the UIApplication subclass instance. No class named "
                                            "%@ is loaded.",
                                            principalClassName)));
  Class* cls = os::runtime::classFromString(delegateClassName);
  std::shared_ptr<Object> delegate = cls ? cls->createInstance() : nullptr;
  if (!delegate)
    return os::fail(hostError(3, os::format("Unable to instantiate the UIApplication delegate instance. No class "
                                            "named %@ is loaded.",
                                            delegateClassName)));
  return finishLaunch(std::move(delegate), options);
}

os::Status ApplicationHost::launchWithDelegate(std::shared_ptr<Object> delegate, const Options& options) {
  if (launched_) return os::fail(hostError(1, "The application was launched already."));
  if (!delegate) return os::fail(hostError(3, "No application delegate."));
  return finishLaunch(std::move(delegate), options);
}

os::Status ApplicationHost::finishLaunch(std::shared_ptr<Object> delegate, const Options& options) {
  std::shared_ptr<Object> sceneDelegate;
  if (!options.sceneDelegateClassName.empty()) {
    Class* cls = os::runtime::classFromString(options.sceneDelegateClassName);
    sceneDelegate = cls ? cls->createInstance() : nullptr;
    if (!sceneDelegate)
      return os::fail(hostError(3, os::format("No scene delegate class named %@ is loaded.",
                                              options.sceneDelegateClassName)));
  }
  if (options.prewarm) {
    if (const char* previous = std::getenv(kActivePrewarmEnvironmentVariable)) savedPrewarmVariable_ = previous;
    ::setenv(kActivePrewarmEnvironmentVariable, "1", 1);
    setPrewarmVariable_ = true;
  }
  launched_ = true;
  currentHost() = this;
  app_ = UIApplication::sharedApplication();
  app_->setApplicationState(options.prewarm ? UIApplicationState::Background : UIApplicationState::Inactive);
  app_->setDelegate(delegate);
  sceneDelegate_ = std::move(sceneDelegate);

  // The main storyboard's first screen, in a window the delegate owns.
  auto* appDelegate = dynamic_cast<UIApplicationDelegate*>(delegate.get());
  if (auto root = UIStoryboard::mainStoryboard()->instantiateInitialViewController()) {
    auto window = std::make_shared<UIWindow>();
    window->setRootViewController(root);
    if (appDelegate) appDelegate->setWindow(window);
  }

  bool responds = delegate->respondsToSelector(Sel::didFinishLaunchingWithOptions);
  if (responds)
    (void)os::runtime::msgSend<bool>(*delegate, Sel::didFinishLaunchingWithOptions, app_, options.launchOptions);
  post(kUIApplicationDidFinishLaunchingNotification, app_.get(), options.launchOptions);

  if (options.prewarm) {
    prewarmPending_ = true;
    return {};
  }
  connectFirstScene();
  becomeActive();
  return {};
}

void ApplicationHost::connectFirstScene() {
  scene_ = std::make_shared<UIWindowScene>();
  scene_->setDelegate(sceneDelegate_);
  app_->TEST_connectScene(scene_);
  scene_->setActivationState(UISceneActivationState::ForegroundInactive);
  post(kUISceneWillConnectNotification, scene_.get());

  if (auto* appDelegate = dynamic_cast<UIApplicationDelegate*>(app_->delegate().get())) {
    if (auto window = appDelegate->window()) {
      window->setWindowScene(scene_);
      if (!window->isKeyWindow() || !window->isVisible()) window->makeKeyAndVisible();
    }
  }
}

os::Result<std::shared_ptr<UIWindowScene>> ApplicationHost::connectScene() {
  if (!launched_ || terminated_) return os::fail(hostError(6, "The application is not running."));
  if (prewarmPending_) {
    prewarmPending_ = false;
    connectFirstScene();
    post(kUISceneWillEnterForegroundNotification, scene_.get());
    app_->setApplicationState(UIApplicationState::Inactive);
    sendLifecycle(app_, Sel::willEnterForeground);
    post(kUIApplicationWillEnterForegroundNotification, app_.get());
    becomeActive();
    return scene_;
  }
  auto scene = std::make_shared<UIWindowScene>();
  app_->TEST_connectScene(scene);
  scene->setActivationState(UISceneActivationState::ForegroundInactive);
  post(kUISceneWillConnectNotification, scene.get());
  if (app_->applicationState() == UIApplicationState::Active) {
    scene->setActivationState(UISceneActivationState::ForegroundActive);
    post(kUISceneDidActivateNotification, scene.get());
  }
  return scene;
}

bool ApplicationHost::openURL(const os::URL& url, const os::Dictionary& options) {
  if (!launched_ || terminated_) return false;
  auto delegate = app_->delegate();
  if (!delegate || !delegate->respondsToSelector(Sel::openURLOptions)) return false;
  return os::runtime::msgSend<bool>(*delegate, Sel::openURLOptions, app_, url, options);
}

bool ApplicationHost::continueUserActivity(const std::shared_ptr<NSUserActivity>& activity) {
  if (!launched_ || terminated_ || !activity) return false;
  auto delegate = app_->delegate();
  if (!delegate || !delegate->respondsToSelector(Sel::continueUserActivityRestorationHandler)) return false;
  UIUserActivityRestorationHandler ignore = [](const std::vector<std::shared_ptr<Object>>&) {};
  return os::runtime::msgSend<bool>(*delegate, Sel::continueUserActivityRestorationHandler, app_, activity, ignore);
}

void ApplicationHost::becomeActive() {
  app_->setApplicationState(UIApplicationState::Active);
  sendLifecycle(app_, Sel::didBecomeActive);
  post(kUIApplicationDidBecomeActiveNotification, app_.get());
  scene_->setActivationState(UISceneActivationState::ForegroundActive);
  post(kUISceneDidActivateNotification, scene_.get());
}

os::Status ApplicationHost::moveToBackground() {
  if (!launched_ || terminated_ || app_->applicationState() != UIApplicationState::Active)
    return os::fail(hostError(4, "The application is not active."));
  scene_->setActivationState(UISceneActivationState::ForegroundInactive);
  post(kUISceneWillDeactivateNotification, scene_.get());
  app_->setApplicationState(UIApplicationState::Inactive);
  sendLifecycle(app_, Sel::willResignActive);
  post(kUIApplicationWillResignActiveNotification, app_.get());
  app_->setApplicationState(UIApplicationState::Background);
  sendLifecycle(app_, Sel::didEnterBackground);
  post(kUIApplicationDidEnterBackgroundNotification, app_.get());
  scene_->setActivationState(UISceneActivationState::Background);
  post(kUISceneDidEnterBackgroundNotification, scene_.get());
  return {};
}

os::Status ApplicationHost::moveToForeground() {
  if (!launched_ || terminated_ || prewarmPending_ || app_->applicationState() != UIApplicationState::Background)
    return os::fail(hostError(5, "The application is not in the background."));
  scene_->setActivationState(UISceneActivationState::ForegroundInactive);
  post(kUISceneWillEnterForegroundNotification, scene_.get());
  app_->setApplicationState(UIApplicationState::Inactive);
  sendLifecycle(app_, Sel::willEnterForeground);
  post(kUIApplicationWillEnterForegroundNotification, app_.get());
  becomeActive();
  return {};
}

os::Status ApplicationHost::terminate() {
  if (!launched_ || terminated_) return os::fail(hostError(6, "The application is not running."));
  if (app_->applicationState() == UIApplicationState::Active) {
    scene_->setActivationState(UISceneActivationState::ForegroundInactive);
    post(kUISceneWillDeactivateNotification, scene_.get());
    app_->setApplicationState(UIApplicationState::Inactive);
    sendLifecycle(app_, Sel::willResignActive);
    post(kUIApplicationWillResignActiveNotification, app_.get());
  }
  sendLifecycle(app_, Sel::willTerminate);
  post(kUIApplicationWillTerminateNotification, app_.get());
  for (auto& scene : app_->connectedScenes()) {
    scene->setActivationState(UISceneActivationState::Unattached);
    post(kUISceneDidDisconnectNotification, scene.get());
    app_->TEST_disconnectScene(scene);
  }
  prewarmPending_ = false;
  terminated_ = true;
  if (currentHost() == this) currentHost() = nullptr;
  os::RunLoop::main().stop();
  return {};
}

std::shared_ptr<UIWindow> ApplicationHost::keyWindow() const { return app_ ? app_->keyWindow() : nullptr; }

namespace {
UIInterfaceOrientation interfaceOrientationFor(UIDeviceOrientation o) {
  switch (o) {
    case UIDeviceOrientation::Portrait: return UIInterfaceOrientation::Portrait;
    case UIDeviceOrientation::PortraitUpsideDown: return UIInterfaceOrientation::PortraitUpsideDown;
    // The interface turns against the device.
    case UIDeviceOrientation::LandscapeLeft: return UIInterfaceOrientation::LandscapeRight;
    case UIDeviceOrientation::LandscapeRight: return UIInterfaceOrientation::LandscapeLeft;
    default: return UIInterfaceOrientation::Unknown;
  }
}
}  // namespace

void ApplicationHost::rotate(UIDeviceOrientation orientation) {
  auto app = UIApplication::sharedApplication();
  UIDevice::currentDevice()->setOrientation(orientation);
  UIInterfaceOrientation next = interfaceOrientationFor(orientation);
  if (next == UIInterfaceOrientation::Unknown || next == app->statusBarOrientation()) return;
  bool landscape = UIInterfaceOrientationIsLandscape(next);
  app->TEST_setStatusBarOrientation(next);
  for (auto& window : app->windows()) {
    CGSize screen = UIScreen::mainScreen().bounds().size;
    CGFloat shortSide = std::min(screen.width, screen.height), longSide = std::max(screen.width, screen.height);
    CGSize size = landscape ? CGSize{longSide, shortSide} : CGSize{shortSide, longSide};
    UIViewControllerTransitionCoordinator coordinator;
    for (auto vc = window->rootViewController(); vc; vc = vc->presentedViewController())
      vc->viewWillTransitionToSize(size, coordinator);
    window->setFrame({{0, 0}, size});
    UITraitCollection traits = window->windowTraitCollection();
    bool pad = traits.userInterfaceIdiom == UIUserInterfaceIdiom::Pad;
    traits.verticalSizeClass =
        pad || !landscape ? UIUserInterfaceSizeClass::Regular : UIUserInterfaceSizeClass::Compact;
    window->setTraitCollection(traits);
    window->layoutIfNeeded();
  }
}

void ApplicationHost::run() {
  if (!terminated_) os::RunLoop::main().run();
}

void ApplicationHost::runFor(double seconds) { os::RunLoop::main().runUntil(os::DispatchTime::fromNow(seconds)); }

void ApplicationHost::runUntilIdle() { os::RunLoop::main().runUntilIdle(); }

}  // namespace os::uikit

int UIApplicationMain(int argc, char** argv, const std::optional<std::string>& principalClassName,
                      const std::string& delegateClassName) {
  (void)argc, (void)argv;
  static auto& host = *new os::uikit::ApplicationHost();  // never destroyed: statics hold its objects
  if (auto status = host.launch(principalClassName.value_or(""), delegateClassName); !status) {
    std::fprintf(stderr, "%s\n", status.error().localizedDescription().c_str());
    return 1;
  }
  host.run();
  return 0;
}
