#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "os/dispatch/notification.h"
#include "os/dispatch/run_loop.h"
#include "os/uikit/uikit.h"

namespace {

std::vector<std::string>& journal() {
  static std::vector<std::string> j;
  return j;
}

class TinyAppDelegate : public UIApplicationDelegate {
 public:
  bool applicationDidFinishLaunchingWithOptions(std::shared_ptr<UIApplication> app, os::Dictionary) override {
    // The storyboard's window is in place, not yet key.
    journal().push_back(window() && !window()->isKeyWindow() ? "delegate:didFinishLaunching(window)"
                                                              : "delegate:didFinishLaunching");
    EXPECT_EQ(app->applicationState(), UIApplicationState::Inactive);
    return true;
  }
  void applicationDidBecomeActive(std::shared_ptr<UIApplication>) override { journal().push_back("delegate:didBecomeActive"); }
  void applicationWillResignActive(std::shared_ptr<UIApplication>) override { journal().push_back("delegate:willResignActive"); }
  void applicationDidEnterBackground(std::shared_ptr<UIApplication>) override {
    journal().push_back("delegate:didEnterBackground");
  }
  void applicationWillEnterForeground(std::shared_ptr<UIApplication>) override {
    journal().push_back("delegate:willEnterForeground");
  }
  void applicationWillTerminate(std::shared_ptr<UIApplication>) override { journal().push_back("delegate:willTerminate"); }
};
const UIApplicationDelegateRegistration<TinyAppDelegate> kTinyAppDelegate{"TinyAppDelegate"};

// Implements nothing: responds to no lifecycle selector.
class SilentAppDelegate : public UIApplicationDelegate {};
const UIApplicationDelegateRegistration<SilentAppDelegate> kSilentAppDelegate{"SilentAppDelegate"};

// Records what a prewarmed launch looks like from inside, and the URLs and
// activities it is handed.
class LinkAppDelegate : public UIApplicationDelegate {
 public:
  bool applicationDidFinishLaunchingWithOptions(std::shared_ptr<UIApplication> app, os::Dictionary) override {
    const char* prewarm = std::getenv(kActivePrewarmEnvironmentVariable);
    journal().push_back(std::string("delegate:didFinishLaunching prewarm=") + (prewarm ? prewarm : "unset") +
                        (app->applicationState() == UIApplicationState::Background ? " background" : ""));
    return true;
  }
  void applicationWillEnterForeground(std::shared_ptr<UIApplication>) override {
    journal().push_back("delegate:willEnterForeground");
  }
  void applicationDidBecomeActive(std::shared_ptr<UIApplication>) override { journal().push_back("delegate:didBecomeActive"); }
  bool applicationOpenURLOptions(std::shared_ptr<UIApplication>, os::URL url, os::Dictionary) override {
    journal().push_back("delegate:openURL " + url.absoluteString());
    return true;
  }
  bool applicationContinueUserActivityRestorationHandler(std::shared_ptr<UIApplication>,
                                                         std::shared_ptr<NSUserActivity> activity,
                                                         UIUserActivityRestorationHandler) override {
    journal().push_back("delegate:continue " + activity->activityType() + " " +
                        (activity->webpageURL() ? activity->webpageURL()->absoluteString() : "-"));
    return false;
  }
};
const UIApplicationDelegateRegistration<LinkAppDelegate> kLinkAppDelegate{"LinkAppDelegate"};

class JournalViewController : public UIViewController {
 public:
  void viewDidLoad() override { journal().push_back("vc:viewDidLoad"); }
  void viewWillAppear(bool) override { journal().push_back("vc:viewWillAppear"); }
  void viewDidAppear(bool) override { journal().push_back("vc:viewDidAppear"); }
  void viewWillTransitionToSize(CGSize size, UIViewControllerTransitionCoordinator& c) override {
    journal().push_back(size.width > size.height ? "vc:willTransitionToLandscape" : "vc:willTransitionToPortrait");
    UIViewController::viewWillTransitionToSize(size, c);
  }
  void traitCollectionDidChange(const UITraitCollection&) override {
    journal().push_back(traitCollection().verticalSizeClass == UIUserInterfaceSizeClass::Compact ? "vc:traits(compact)"
                                                                                                 : "vc:traits(regular)");
  }
};

class ApplicationHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UIApplication::setSharedApplication(std::make_shared<UIApplication>());
    UIStoryboard::TEST_reset();
    journal().clear();
    auto center = os::NotificationCenter::defaultCenter();
    for (const char* name :
         {os::kUIApplicationDidFinishLaunchingNotification, os::kUIApplicationDidBecomeActiveNotification,
          os::kUIApplicationWillResignActiveNotification, os::kUIApplicationDidEnterBackgroundNotification,
          os::kUIApplicationWillEnterForegroundNotification, os::kUIApplicationWillTerminateNotification,
          os::kUISceneWillConnectNotification, os::kUISceneDidDisconnectNotification})
      tokens_.push_back(center->addObserverForName(name, nullptr, std::shared_ptr<os::DispatchQueue>(),
                                                   [](const os::Notification& n) { journal().push_back(n.name); }));
  }
  void TearDown() override {
    for (auto& t : tokens_) os::NotificationCenter::defaultCenter()->removeObserver(t);
    UIApplication::setSharedApplication(std::make_shared<UIApplication>());
    UIStoryboard::TEST_reset();
  }
  std::vector<std::shared_ptr<os::NotificationObserverToken>> tokens_;
};

TEST_F(ApplicationHostTest, TinyAppStepsThroughItsLifeCycleInOrder) {
  UIStoryboard::storyboardWithName("Main")->setInitialViewController([] {
    return std::make_shared<JournalViewController>();
  });
  os::uikit::ApplicationHost host;
  ASSERT_TRUE(host.launch("", "TinyAppDelegate"));
  auto app = host.application();
  EXPECT_EQ(app->applicationState(), UIApplicationState::Active);
  auto delegate = std::dynamic_pointer_cast<TinyAppDelegate>(app->delegate());
  ASSERT_TRUE(delegate);
  ASSERT_TRUE(delegate->window());
  EXPECT_TRUE(delegate->window()->isKeyWindow());
  EXPECT_EQ(app->keyWindow()->windowScene(), host.windowScene());
  EXPECT_EQ(host.windowScene()->activationState(), UISceneActivationState::ForegroundActive);
  ASSERT_EQ(app->connectedScenes().size(), 1u);

  ASSERT_TRUE(host.moveToBackground());
  EXPECT_EQ(app->applicationState(), UIApplicationState::Background);
  EXPECT_EQ(host.windowScene()->activationState(), UISceneActivationState::Background);
  ASSERT_TRUE(host.moveToForeground());
  ASSERT_TRUE(host.terminate());
  EXPECT_TRUE(app->connectedScenes().empty());

  std::vector<std::string> expected = {
      "vc:viewDidLoad",
      "delegate:didFinishLaunching(window)",
      "UIApplicationDidFinishLaunchingNotification",
      "UISceneWillConnectNotification",
      "vc:viewWillAppear",
      "vc:viewDidAppear",
      "delegate:didBecomeActive",
      "UIApplicationDidBecomeActiveNotification",
      "delegate:willResignActive",
      "UIApplicationWillResignActiveNotification",
      "delegate:didEnterBackground",
      "UIApplicationDidEnterBackgroundNotification",
      "delegate:willEnterForeground",
      "UIApplicationWillEnterForegroundNotification",
      "delegate:didBecomeActive",
      "UIApplicationDidBecomeActiveNotification",
      "delegate:willResignActive",
      "UIApplicationWillResignActiveNotification",
      "delegate:willTerminate",
      "UIApplicationWillTerminateNotification",
      "UISceneDidDisconnectNotification",
  };
  EXPECT_EQ(journal(), expected);
}

TEST_F(ApplicationHostTest, DelegateCallsGoThroughTheRuntimeSoASwitchedClassIntercepts) {
  os::uikit::ApplicationHost host;
  ASSERT_TRUE(host.launch("UIApplication", "TinyAppDelegate"));
  auto delegate = host.application()->delegate();
  os::runtime::Class* real = delegate->getClass();
  // What the app-delegate proxy does: a run-time subclass whose method runs
  // first and then the real implementation.
  auto* proxy = os::runtime::allocateClassPair(real, "TEST_TinyAppDelegateProxy");
  ASSERT_NE(proxy, nullptr);
  auto realImp = real->instanceMethod(UIApplicationDelegateSelector::didEnterBackground);
  proxy->addMethod(UIApplicationDelegateSelector::didEnterBackground,
                   os::runtime::makeInstanceImp<void, std::shared_ptr<UIApplication>>(
                       [realImp](os::runtime::Object& self, std::shared_ptr<UIApplication> app) {
                         journal().push_back("proxy:didEnterBackground");
                         os::runtime::callImp<void>(realImp, self, app);
                       }));
  os::runtime::registerClassPair(proxy);
  delegate->setClass(proxy);
  journal().clear();
  ASSERT_TRUE(host.moveToBackground());
  std::vector<std::string> expected = {"delegate:willResignActive", "UIApplicationWillResignActiveNotification",
                                       "proxy:didEnterBackground", "delegate:didEnterBackground",
                                       "UIApplicationDidEnterBackgroundNotification"};
  EXPECT_EQ(journal(), expected);
  ASSERT_TRUE(host.terminate());
}

TEST_F(ApplicationHostTest, OnlyOverriddenSelectorsAreAnswered) {
  auto* tiny = os::runtime::classFromString("TinyAppDelegate");
  auto* silent = os::runtime::classFromString("SilentAppDelegate");
  ASSERT_TRUE(tiny && silent);
  EXPECT_TRUE(tiny->instancesRespondToSelector(UIApplicationDelegateSelector::didBecomeActive));
  EXPECT_FALSE(tiny->instancesRespondToSelector(UIApplicationDelegateSelector::openURLOptions));
  EXPECT_FALSE(silent->instancesRespondToSelector(UIApplicationDelegateSelector::didFinishLaunchingWithOptions));
  EXPECT_TRUE(silent->conformsToProtocol(kUIApplicationDelegateProtocol));

  // A delegate that implements nothing still launches; only notifications go out.
  os::uikit::ApplicationHost host;
  ASSERT_TRUE(host.launch("", "SilentAppDelegate"));
  EXPECT_EQ(journal(), (std::vector<std::string>{"UIApplicationDidFinishLaunchingNotification",
                                                 "UISceneWillConnectNotification",
                                                 "UIApplicationDidBecomeActiveNotification"}));
  ASSERT_TRUE(host.terminate());
}

TEST_F(ApplicationHostTest, StepsInTheWrongStateAreRefused) {
  os::uikit::ApplicationHost host;
  EXPECT_FALSE(host.moveToBackground());
  EXPECT_FALSE(host.launch("", "NoSuchDelegateClass"));
  EXPECT_FALSE(host.launch("MyApplication", "TinyAppDelegate"));
  EXPECT_FALSE(host.isLaunched());
  ASSERT_TRUE(host.launch("", "TinyAppDelegate"));
  EXPECT_FALSE(host.launch("", "TinyAppDelegate"));
  EXPECT_FALSE(host.moveToForeground());  // active, not in the background
  ASSERT_TRUE(host.terminate());
  EXPECT_FALSE(host.terminate());
  EXPECT_FALSE(host.moveToBackground());
}

TEST_F(ApplicationHostTest, UIApplicationMainReturnsWhenTheAppTerminates) {
  // Terminate from inside the loop, as the system would.
  os::DispatchQueue::main()->async([] { ASSERT_TRUE(os::uikit::ApplicationHost::current()->terminate()); });
  char arg0[] = "drosil";
  char* argv[] = {arg0, nullptr};
  EXPECT_EQ(UIApplicationMain(1, argv, std::nullopt, "TinyAppDelegate"), 0);
  EXPECT_EQ(journal().back(), "UISceneDidDisconnectNotification");
  EXPECT_EQ(UIApplicationMain(1, argv, std::nullopt, "NoSuchDelegateClass"), 1);
}

TEST_F(ApplicationHostTest, OpenURLIsRecordedAndAnsweredOnTheNextTurn) {
  auto app = UIApplication::sharedApplication();
  auto settings = os::URL::URLWithString(UIApplicationOpenSettingsURLString);
  auto social = os::URL::URLWithString("twitter://user?screen_name=someone");
  ASSERT_TRUE(settings && social);
  EXPECT_TRUE(app->canOpenURL(*settings));
  EXPECT_FALSE(app->canOpenURL(*social));
  app->TEST_setCanOpenScheme("twitter", true);
  EXPECT_TRUE(app->canOpenURL(*social));
  EXPECT_FALSE(app->canOpenURL(os::URL()));

  std::vector<bool> answers;
  app->openURL(*settings, {}, [&](bool ok) { answers.push_back(ok); });
  app->openURL(*os::URL::URLWithString("itms-apps://example/app"), {}, [&](bool ok) { answers.push_back(ok); });
  EXPECT_TRUE(answers.empty());
  os::RunLoop::main().runUntilIdle();
  EXPECT_EQ(answers, (std::vector<bool>{true, false}));
  auto opened = app->TEST_openedURLs();
  ASSERT_EQ(opened.size(), 2u);
  EXPECT_EQ(opened[0].url.absoluteString(), "app-settings:");
  EXPECT_FALSE(opened[1].success);
}

TEST_F(ApplicationHostTest, PrewarmedLaunchWaitsForTheUserToConnectTheFirstScene) {
  UIStoryboard::storyboardWithName("Main")->setInitialViewController([] {
    return std::make_shared<JournalViewController>();
  });
  ASSERT_EQ(std::getenv(kActivePrewarmEnvironmentVariable), nullptr);
  {
    os::uikit::ApplicationHost host;
    os::uikit::ApplicationHost::Options options;
    options.prewarm = true;
    ASSERT_TRUE(host.launch("", "LinkAppDelegate", options));
    auto app = host.application();
    EXPECT_TRUE(host.isPrewarmed());
    EXPECT_EQ(app->applicationState(), UIApplicationState::Background);
    EXPECT_TRUE(app->connectedScenes().empty());
    EXPECT_EQ(app->keyWindow(), nullptr);
    EXPECT_FALSE(host.moveToForeground());  // only the user's opening brings it forward
    EXPECT_EQ(journal(), (std::vector<std::string>{"vc:viewDidLoad", "delegate:didFinishLaunching prewarm=1 background",
                                                   "UIApplicationDidFinishLaunchingNotification"}));

    journal().clear();
    auto scene = host.connectScene();
    ASSERT_TRUE(scene);
    EXPECT_EQ(*scene, host.windowScene());
    EXPECT_FALSE(host.isPrewarmed());
    EXPECT_EQ(app->applicationState(), UIApplicationState::Active);
    ASSERT_NE(app->keyWindow(), nullptr);
    EXPECT_EQ(journal(), (std::vector<std::string>{"UISceneWillConnectNotification", "vc:viewWillAppear",
                                                   "vc:viewDidAppear", "delegate:willEnterForeground",
                                                   "UIApplicationWillEnterForegroundNotification",
                                                   "delegate:didBecomeActive",
                                                   "UIApplicationDidBecomeActiveNotification"}));

    // A later scene connects beside the first.
    journal().clear();
    auto second = host.connectScene();
    ASSERT_TRUE(second);
    EXPECT_NE(*second, host.windowScene());
    EXPECT_EQ((*second)->activationState(), UISceneActivationState::ForegroundActive);
    EXPECT_EQ(journal(), std::vector<std::string>{"UISceneWillConnectNotification"});
    ASSERT_TRUE(host.terminate());
    EXPECT_TRUE(app->connectedScenes().empty());
    EXPECT_FALSE(host.connectScene());
    EXPECT_STREQ(std::getenv(kActivePrewarmEnvironmentVariable), "1");  // for the life of the process
  }
  // The host leaves the test process's environment as it found it.
  EXPECT_EQ(std::getenv(kActivePrewarmEnvironmentVariable), nullptr);
}

TEST_F(ApplicationHostTest, URLsAndUserActivitiesReachTheDelegate) {
  auto url = *os::URL::URLWithString("drosil://open?utm_source=news");
  auto activity = std::make_shared<NSUserActivity>(NSUserActivityTypeBrowsingWeb);
  activity->setWebpageURL(os::URL::URLWithString("https://example.com/landing?utm_medium=email"));

  os::uikit::ApplicationHost host;
  EXPECT_FALSE(host.openURL(url));  // not running
  ASSERT_TRUE(host.launch("", "LinkAppDelegate"));
  journal().clear();
  EXPECT_TRUE(host.openURL(url));
  EXPECT_FALSE(host.continueUserActivity(activity));
  EXPECT_FALSE(host.continueUserActivity(nullptr));
  EXPECT_EQ(journal(), (std::vector<std::string>{
                           "delegate:openURL drosil://open?utm_source=news",
                           "delegate:continue NSUserActivityTypeBrowsingWeb https://example.com/landing?utm_medium=email"}));
  ASSERT_TRUE(host.terminate());

  os::uikit::ApplicationHost silent;
  ASSERT_TRUE(silent.launch("", "SilentAppDelegate"));
  EXPECT_FALSE(silent.openURL(url));
  ASSERT_TRUE(silent.terminate());
}

TEST(UserActivityTest, AnActivityInTheLaunchOptionsComesBackWhole) {
  auto* cls = os::runtime::classFromString("NSUserActivity");
  ASSERT_NE(cls, nullptr);
  EXPECT_TRUE(cls->instancesRespondToSelector("webpageURL"));
  EXPECT_TRUE(cls->instancesRespondToSelector("activityType"));

  NSUserActivity web(NSUserActivityTypeBrowsingWeb);
  web.setWebpageURL(os::URL::URLWithString("https://example.com/a?b=c"));
  EXPECT_EQ(os::runtime::msgSend<std::optional<os::URL>>(web, "webpageURL"), web.webpageURL());
  os::Value entry = web.launchOptionsDictionaryValue();
  EXPECT_EQ(entry[UIApplicationLaunchOptionsUserActivityTypeKey], os::Value(NSUserActivityTypeBrowsingWeb));
  auto back = NSUserActivity::fromLaunchOptionsValue(entry[UIApplicationLaunchOptionsUserActivityKey]);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->activityType(), web.activityType());
  EXPECT_EQ(back->webpageURL(), web.webpageURL());

  NSUserActivity handoff("com.example.edit");
  auto bare = NSUserActivity::fromLaunchOptionsValue(handoff.launchOptionsValue());
  ASSERT_NE(bare, nullptr);
  EXPECT_FALSE(bare->webpageURL());
  EXPECT_EQ(NSUserActivity::fromLaunchOptionsValue(os::Value("not an activity")), nullptr);
}

TEST_F(ApplicationHostTest, RotationTurnsTheWindowAndTellsTheScreen) {
  UIStoryboard::storyboardWithName("Main")->setInitialViewController([] {
    return std::make_shared<JournalViewController>();
  });
  os::uikit::ApplicationHost host;
  ASSERT_TRUE(host.launch("", "TinyAppDelegate"));
  auto window = host.keyWindow();
  CGSize portrait = window->bounds().size;
  journal().clear();
  host.rotate(UIDeviceOrientation::LandscapeLeft);
  EXPECT_EQ(host.application()->statusBarOrientation(), UIInterfaceOrientation::LandscapeRight);
  EXPECT_EQ(window->bounds().size.width, portrait.height);
  EXPECT_EQ(window->rootViewController()->view()->bounds().size.width, portrait.height);
  host.rotate(UIDeviceOrientation::FaceUp);  // no interface change
  host.rotate(UIDeviceOrientation::Portrait);
  EXPECT_EQ(journal(), (std::vector<std::string>{"vc:willTransitionToLandscape", "vc:traits(compact)",
                                                 "vc:willTransitionToPortrait", "vc:traits(regular)"}));
  ASSERT_TRUE(host.terminate());
}

}  // namespace
