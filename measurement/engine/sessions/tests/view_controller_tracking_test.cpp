// View-controller tracking: the appearance methods replaced at load, the key
// window's screen stack and the choice of the controller the user looks at,
// on the headless UIKit.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "measurement/engine/sessions/screen.h"
#include "measurement/engine/sessions/screen_view_reporter.h"
#include "measurement/engine/sessions/testing/reporters_test_support.h"
#include "measurement/engine/sessions/view_controller_screens.h"
#include "measurement/store/engine_services/asl_logger.h"
#include "os/dispatch/run_loop.h"
#include "os/foundation/system_log.h"
#include "os/runtime/runtime.h"
#include "os/uikit/application.h"
#include "os/uikit/view.h"
#include "os/uikit/view_controller.h"
#include "platform/utilities/logger.h"
#include "platform/utilities/swizzler.h"

namespace {

using apm_reporters_test::stringParameter;

// App controllers override the appearance methods and call the base.
class HomeViewController : public UIViewController {
 public:
  void viewDidAppear(bool animated) override {
    ++appearances;
    UIViewController::viewDidAppear(animated);
  }
  int appearances = 0;
};
class DetailViewController : public UIViewController {};
class SheetViewController : public UIViewController {};
class SplitViewController : public UIViewController {};

// Controllers of the system's, from another bundle.
class HostedViewController : public UIViewController {};
class HostedChildViewController : public HostedViewController {};
class PublicKitViewController : public UIViewController {};
class AppPrivateViewController : public UIViewController {};
const UIViewControllerRegistration<HostedViewController> kHosted{"_UIHostedViewController",
                                                                 kUIViewControllerClassName, "UIKitCore"};
const UIViewControllerRegistration<HostedChildViewController> kHostedChild{"UIHostedChildViewController",
                                                                           "_UIHostedViewController", "UIKitCore"};
const UIViewControllerRegistration<PublicKitViewController> kPublicKit{"UIPublicKitViewController",
                                                                       kUIViewControllerClassName, "UIKitCore"};
const UIViewControllerRegistration<AppPrivateViewController> kAppPrivate{"_AppPrivateViewController"};

class RecordingDelegate : public APMScreenViewReporterDelegate {
 public:
  void viewControllerDidAppear(const std::shared_ptr<UIViewController>& viewController, bool tracked) override {
    appeared.emplace_back(viewController.get(), tracked);
  }
  void viewControllerDidDisappear(const std::shared_ptr<UIViewController>& viewController) override {
    disappeared.push_back(viewController.get());
  }
  std::vector<std::pair<const UIViewController*, bool>> appeared;
  std::vector<const UIViewController*> disappeared;
};

class ViewControllerTrackingTest : public apm_reporters_test::ReportersTest {
 protected:
  void SetUp() override {
    ReportersTest::SetUp();
    reporter_ = APMScreenViewReporter::sharedInstance();
  }
  void TearDown() override {
    reporter_.reset();
    ReportersTest::TearDown();
  }

  // The class of the current screen.
  std::optional<std::string> currentClass() {
    drain();
    auto screen = reporter_->TEST_currentScreen();
    return screen ? screen->className() : std::nullopt;
  }
  std::vector<apm_reporters_test::RecordingAnalytics::Event> screenViews() {
    drain();
    return analytics_->events(kAPMScreenViewEventName);
  }

  std::shared_ptr<APMScreenViewReporter> reporter_;
};

TEST_F(ViewControllerTrackingTest, WhatTheUserSeesBecomesCurrent) {
  struct Case {
    const char* what;
    // Builds the screen in the key window; returns the controller expected.
    std::function<std::shared_ptr<UIViewController>()> show;
  };
  const Case cases[] = {
      {"a plain root, through the bottom entry",
       [&] { return std::static_pointer_cast<UIViewController>(showRoot<HomeViewController>()); }},
      {"a controller pushed on a navigation controller",
       [&] {
         auto navigation = std::make_shared<UINavigationController>(std::make_shared<HomeViewController>());
         showRootController(navigation);
         auto detail = std::make_shared<DetailViewController>();
         navigation->pushViewController(detail, false);
         return std::static_pointer_cast<UIViewController>(detail);
       }},
      {"the tab selected",
       [&] {
         auto tabs = std::make_shared<UITabBarController>();
         auto detail = std::make_shared<DetailViewController>();
         tabs->setViewControllers({std::make_shared<HomeViewController>(), detail});
         showRootController(tabs);
         tabs->setSelectedViewController(detail);
         return std::static_pointer_cast<UIViewController>(detail);
       }},
      {"the page shown",
       [&] {
         auto pages = std::make_shared<UIPageViewController>();
         pages->setViewControllers({std::make_shared<HomeViewController>()},
                                   UIPageViewControllerNavigationDirection::Forward, false);
         showRootController(pages);
         auto detail = std::make_shared<DetailViewController>();
         pages->setViewControllers({detail}, UIPageViewControllerNavigationDirection::Forward, false);
         return std::static_pointer_cast<UIViewController>(detail);
       }},
      {"a sheet presented over the root",
       [&] {
         auto home = showRoot<HomeViewController>();
         auto sheet = std::make_shared<SheetViewController>();
         home->presentViewController(sheet, false);
         return std::static_pointer_cast<UIViewController>(sheet);
       }},
      {"children side by side: the top entry stands for itself, not for the container",
       [&] {
         auto split = std::make_shared<SplitViewController>();
         auto list = std::make_shared<HomeViewController>();
         auto detail = std::make_shared<DetailViewController>();
         auto navigation = std::make_shared<UINavigationController>(detail);
         for (const auto& child : std::vector<std::shared_ptr<UIViewController>>{list, navigation}) {
           split->addChildViewController(child);
           split->view()->addSubview(child->view());
         }
         showRootController(split);
         return std::static_pointer_cast<UIViewController>(detail);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto expected = c.show();
    drain();
    ASSERT_TRUE(apmScreen(*expected));
    EXPECT_EQ(reporter_->TEST_currentScreen(), apmScreen(*expected));
    EXPECT_EQ(currentClass(), APMViewControllerClassName(*expected));
  }
}

TEST_F(ViewControllerTrackingTest, PresentingAndDismissingReportsEachScreenWithItsPredecessor) {
  auto home = showRoot<HomeViewController>();
  auto sheet = std::make_shared<SheetViewController>();
  sheet->setModalPresentationStyle(UIModalPresentationStyle::FullScreen);
  home->presentViewController(sheet, false);
  // The root left the window but stays at the bottom of the stack.
  auto stack = APMKeyWindowScreenStack();
  EXPECT_EQ(APMIndexOfViewControllerInStack(*home, *stack), 0u);
  EXPECT_EQ(APMIndexOfViewControllerInStack(*sheet, *stack), 1u);
  sheet->dismissViewControllerAnimated(false);
  os::RunLoop::main().runUntilIdle();
  EXPECT_EQ(stack->count(), 1u);
  EXPECT_EQ(home->appearances, 2);  // the override ran each time, then the hook

  const auto views = screenViews();
  ASSERT_EQ(views.size(), 3u);
  const char* expected[][2] = {
      {"HomeViewController", nullptr}, {"SheetViewController", "HomeViewController"},
      {"HomeViewController", "SheetViewController"}};
  for (size_t i = 0; i < views.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(views[i].origin, "auto");
    EXPECT_EQ(stringParameter(views[i].parameters, "_sc"), expected[i][0]);
    EXPECT_EQ(stringParameter(views[i].parameters, "_pc"),
              expected[i][1] ? std::optional<std::string>(expected[i][1]) : std::nullopt);
  }
}

TEST_F(ViewControllerTrackingTest, PrivateSystemControllersAreNeverTracked) {
  auto delegate = std::make_shared<RecordingDelegate>();
  reporter_->setVivuzuvuPerfDelegate(delegate);
  struct Case {
    std::shared_ptr<UIViewController> controller;
    bool tracked;
  };
  const Case cases[] = {
      {std::make_shared<HostedViewController>(), false},
      {std::make_shared<HostedChildViewController>(), false},  // its superclass is private
      {std::make_shared<PublicKitViewController>(), true},
      {std::make_shared<AppPrivateViewController>(), true},  // the app's own
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.controller->runtimeClass()->name());
    auto home = showRoot<HomeViewController>();
    delegate->appeared.clear();
    home->presentViewController(c.controller, false);
    drain();
    ASSERT_FALSE(delegate->appeared.empty());
    EXPECT_EQ(delegate->appeared.back(), std::make_pair(static_cast<const UIViewController*>(c.controller.get()),
                                                        c.tracked));
    EXPECT_EQ(APMIsTrackableViewController(*c.controller), c.tracked);
    EXPECT_EQ(APMIndexOfViewControllerInStack(*c.controller, *APMKeyWindowScreenStack()) != APMScreenStack::npos,
              c.tracked);
    EXPECT_EQ(reporter_->TEST_currentScreen(), apmScreen(*(c.tracked ? c.controller : home)));
    c.controller->dismissViewControllerAnimated(false);
    os::RunLoop::main().runUntilIdle();
    EXPECT_EQ(delegate->disappeared.back(), c.controller.get());
  }
  reporter_->setVivuzuvuPerfDelegate(nullptr);
}

TEST_F(ViewControllerTrackingTest, AManuallyNamedScreenWinsOverControllersAboveIt) {
  for (bool named : {true, false}) {
    SCOPED_TRACE(named);
    auto home = showRoot<HomeViewController>();
    if (named) reporter_->setScreenName("Home", std::nullopt);
    auto sheet = std::make_shared<SheetViewController>();  // the root stays in the window beneath
    home->presentViewController(sheet, false);
    drain();
    EXPECT_EQ(reporter_->TEST_currentScreen(), named ? apmScreen(*home) : apmScreen(*sheet));
    sheet->dismissViewControllerAnimated(false);
    os::RunLoop::main().runUntilIdle();
  }
}

TEST_F(ViewControllerTrackingTest, AnotherKeyWindowBringsBackItsOwnScreen) {
  auto home = showRoot<HomeViewController>();
  auto homeWindow = window_;
  auto detail = showRoot<DetailViewController>();
  EXPECT_EQ(currentClass(), "DetailViewController");
  homeWindow->makeKeyWindow();
  EXPECT_EQ(currentClass(), "HomeViewController");
}

TEST_F(ViewControllerTrackingTest, ForeignAssociatedObjectsReadAsNone) {
  auto home = showRoot<HomeViewController>();
  os::runtime::setAssociatedObject(home.get(), kAPMScreenAssociationKey, std::make_shared<int>(1),
                                   os::runtime::AssociationPolicy::RetainNonatomic);
  os::runtime::setAssociatedObject(static_cast<const UIView*>(window_.get()), kAPMStackAssociationKey,
                                   std::make_shared<std::string>("stack"),
                                   os::runtime::AssociationPolicy::RetainNonatomic);
  clearLog();
  EXPECT_EQ(apmScreen(*home), nullptr);
  EXPECT_EQ(apmStack(*window_), nullptr);
  EXPECT_EQ(codes(), (std::vector<int64_t>{kAPMViewControllerCodeUnknownScreen, kAPMWindowCodeUnknownStack}));
  // Removed: read again, nothing is logged.
  EXPECT_EQ(os::runtime::getAssociatedObject(home.get(), kAPMScreenAssociationKey), nullptr);
  EXPECT_EQ(apmScreen(*home), nullptr);
  EXPECT_EQ(codes().size(), 2u);
  // An empty stack has no controller to choose.
  EXPECT_EQ(APMCurrentViewControllerFromStack(APMScreenStack()), nullptr);
  EXPECT_TRUE(logged(kAPMScreenCodeRootNotFound));
}

TEST_F(ViewControllerTrackingTest, TheReplacementIsRefusedWhenItMustNotBeMade) {
  os::runtime::Class* base = UIViewController::baseRuntimeClass();
  DAZSetLoggerLevel(DAZLoggerLevel::Debug);
  struct Case {
    const char* what;
    std::function<void()> arrange;
    int64_t code;
  };
  os::runtime::Imp savedAppear;
  const Case cases[] = {
      {"screen switch off", [&] { setInfo({{kAPMScreenReportingEnabledKey, "<false/>"}}); },
       kAPMViewControllerCodeReportingDisabled},
      {"no appearance method",
       [&] { savedAppear = base->replaceMethod(UIViewControllerSelector::viewDidAppear, os::runtime::Imp()); },
       kAPMViewControllerCodeNoAppearImp},
      // Last: a class once registered stays.
      {"an older library", [] { os::runtime::registerClass(kAPMOlderLibraryClassName, "NSObject"); },
       kAPMViewControllerCodeOlderLibrary},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    setInfo({});
    os::LogCapture capture;
    c.arrange();
    const os::runtime::Imp appear = base->instanceMethod(UIViewControllerSelector::viewDidAppear);
    const os::runtime::Imp disappear = base->instanceMethod(UIViewControllerSelector::viewDidDisappear);
    EXPECT_FALSE(APMSwizzleViewControllerTransitions());
    EXPECT_EQ(base->instanceMethod(UIViewControllerSelector::viewDidAppear), appear);
    EXPECT_EQ(base->instanceMethod(UIViewControllerSelector::viewDidDisappear), disappear);
    if (savedAppear) base->replaceMethod(UIViewControllerSelector::viewDidAppear, std::exchange(savedAppear, {}));
    DAZLoggerTEST_flush();
    EXPECT_EQ(capture.recordsContaining(APMMessageCodeString(c.code)).size(), 1u);
  }
}

}  // namespace
