// View controllers as runtime objects (classes, the appearance method
// table), the containers' choice of what is shown, presentation state and
// key-window changes: what screen tracking reads of UIKit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "os/dispatch/notification.h"
#include "os/dispatch/run_loop.h"
#include "os/foundation/bundle.h"
#include "os/runtime/runtime.h"
#include "os/uikit/uikit.h"

namespace {

using os::runtime::Class;
using os::runtime::Object;

std::vector<std::string>& appearances() {
  static std::vector<std::string> log;
  return log;
}

// Overrides and calls the base, as every app controller does.
class ScreenController : public UIViewController {
 public:
  void viewDidAppear(bool animated) override {
    appearances().push_back("ScreenController:override");
    UIViewController::viewDidAppear(animated);
  }
};
// Overrides without calling the base: the table is never reached.
class SelfishController : public UIViewController {
 public:
  void viewDidAppear(bool) override { appearances().push_back("SelfishController:override"); }
};
class PlainController : public UIViewController {};
class StackController : public UINavigationController {};

// A private controller of the system's, from another bundle.
class HostedController : public UIViewController {};
const UIViewControllerRegistration<HostedController> kHostedController{"_UIHostedViewController",
                                                                       kUIViewControllerClassName, "UIKitCore"};
// An app controller registered under a name of its own.
class RegisteredController : public UIViewController {};
const UIViewControllerRegistration<RegisteredController> kRegisteredController{"RegisteredScreen"};

class ControllerRuntimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UIApplication::setSharedApplication(std::make_shared<UIApplication>());
    appearances().clear();
    window = std::make_shared<UIWindow>(CGRect{0, 0, 200, 300});
    window->makeKeyAndVisible();
  }
  void TearDown() override { UIApplication::setSharedApplication(std::make_shared<UIApplication>()); }

  bool onScreen(const std::shared_ptr<UIViewController>& vc) const {
    return vc->isViewLoaded() && vc->viewIfLoaded()->window() == window;
  }

  std::shared_ptr<UIWindow> window;
};

TEST_F(ControllerRuntimeTest, OneReplacementInTheBaseTableWrapsEveryControllerThatReachesTheBase) {
  Class* base = os::runtime::classFromString(kUIViewControllerClassName);
  ASSERT_EQ(base, UIViewController::baseRuntimeClass());
  os::runtime::Imp original = base->instanceMethod(UIViewControllerSelector::viewDidAppear);
  ASSERT_TRUE(original.as<UIViewControllerAppearanceImp>());
  base->replaceMethod(UIViewControllerSelector::viewDidAppear,
                      os::runtime::makeInstanceImp<void, bool>([original](Object& self, bool animated) {
                        os::runtime::callImp<void>(original, self, animated);
                        auto& vc = dynamic_cast<UIViewController&>(self);
                        appearances().push_back("hook:" + vc.runtimeClass()->name());
                      }));
  struct Restore {
    Class* base;
    os::runtime::Imp imp;
    ~Restore() { base->replaceMethod(UIViewControllerSelector::viewDidAppear, imp); }
  } restore{base, original};

  window->setRootViewController(std::make_shared<ScreenController>());
  window->setRootViewController(std::make_shared<SelfishController>());
  window->setRootViewController(std::make_shared<PlainController>());
  EXPECT_EQ(appearances(), (std::vector<std::string>{"ScreenController:override", "hook:ScreenController",
                                                     "SelfishController:override", "hook:PlainController"}));
}

TEST_F(ControllerRuntimeTest, ControllersHaveTheClassesOfTheirTypes) {
  struct Case {
    std::shared_ptr<UIViewController> vc;
    std::string name, superclass;
  };
  const Case cases[] = {
      {std::make_shared<UIViewController>(), "UIViewController", "UIResponder"},
      {std::make_shared<PlainController>(), "PlainController", "UIViewController"},
      {std::make_shared<UINavigationController>(), "UINavigationController", "UIViewController"},
      // The nearest registered C++ base gives the superclass.
      {std::make_shared<StackController>(), "StackController", "UINavigationController"},
      {std::make_shared<UITabBarController>(), "UITabBarController", "UIViewController"},
      {std::make_shared<RegisteredController>(), "RegisteredScreen", "UIViewController"},
      {std::make_shared<HostedController>(), "_UIHostedViewController", "UIViewController"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Resolved once the view loads; asking earlier resolves too.
    c.vc->loadViewIfNeeded();
    ASSERT_NE(c.vc->getClass(), nullptr);
    EXPECT_EQ(c.vc->getClass()->name(), c.name);
    ASSERT_NE(c.vc->getClass()->superclass(), nullptr);
    EXPECT_EQ(c.vc->getClass()->superclass()->name(), c.superclass);
    EXPECT_TRUE(c.vc->respondsToSelector(UIViewControllerSelector::viewDidDisappear));
    EXPECT_EQ(c.vc->runtimeClass(), os::runtime::classFromString(c.name));
  }

  // Only the registration that names a bundle moves a class out of the main one.
  auto main = os::Bundle::mainBundle();
  EXPECT_EQ(os::runtime::bundleForClass(*kRegisteredController.cls()), main);
  EXPECT_EQ(os::runtime::bundleForClass(*cases[1].vc->getClass()), main);
  auto hosted = os::runtime::bundleForClass(*kHostedController.cls());
  ASSERT_NE(hosted, nullptr);
  EXPECT_NE(hosted, main);
  EXPECT_EQ(hosted, os::runtime::bundleForClass(*kHostedController.cls()));

  // A registered class makes its controllers by name.
  auto made = std::dynamic_pointer_cast<RegisteredController>(kRegisteredController.cls()->createInstance());
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(made->getClass(), kRegisteredController.cls());
}

TEST_F(ControllerRuntimeTest, AssociationsOfAViewGoWithIt) {
  const char* key = "apmStack";
  const void* address;
  {
    auto other = std::make_shared<UIWindow>();
    address = other.get();
    os::runtime::setAssociatedObject(address, key, std::make_shared<int>(7),
                                     os::runtime::AssociationPolicy::RetainNonatomic);
    ASSERT_NE(os::runtime::getAssociatedObject(address, key), nullptr);
  }
  EXPECT_EQ(os::runtime::getAssociatedObject(address, key), nullptr);
}

TEST_F(ControllerRuntimeTest, NavigationShowsItsTopOrWhatIsPresentedOverIt) {
  auto first = std::make_shared<PlainController>();
  auto second = std::make_shared<ScreenController>();
  auto nav = std::make_shared<UINavigationController>(first);
  window->setRootViewController(nav);
  EXPECT_EQ(nav->visibleViewController(), first);
  nav->pushViewController(second, false);
  EXPECT_EQ(nav->visibleViewController(), second);
  EXPECT_FALSE(onScreen(first));
  EXPECT_TRUE(onScreen(second));

  // A sheet presented from the top controller is carried by the navigation
  // controller and is what the user sees.
  bool presentedDuringAppearance = false;
  struct Sheet : UIViewController {
    bool* seen;
    explicit Sheet(bool* s) : seen(s) {}
    void viewDidAppear(bool animated) override {
      *seen = isBeingPresented();
      UIViewController::viewDidAppear(animated);
    }
  };
  auto modal = std::make_shared<Sheet>(&presentedDuringAppearance);
  second->presentViewController(modal, false);
  EXPECT_TRUE(presentedDuringAppearance);
  EXPECT_FALSE(modal->isBeingPresented());
  EXPECT_EQ(nav->visibleViewController(), modal);
  modal->dismissViewControllerAnimated(false);
  EXPECT_EQ(nav->visibleViewController(), second);
  os::RunLoop::main().runUntilIdle();
}

TEST_F(ControllerRuntimeTest, TabBarShowsOnlyTheSelectedTab) {
  auto a = std::make_shared<PlainController>();
  auto b = std::make_shared<ScreenController>();
  auto stray = std::make_shared<PlainController>();
  auto tabs = std::make_shared<UITabBarController>();
  EXPECT_EQ(tabs->selectedIndex(), UITabBarController::kNotFound);
  tabs->setViewControllers({a, b});
  window->setRootViewController(tabs);
  EXPECT_EQ(tabs->selectedViewController(), a);
  EXPECT_TRUE(onScreen(a));
  EXPECT_FALSE(b->isViewLoaded());  // a tab not yet shown has no view
  EXPECT_EQ(b->parentViewController(), tabs);

  tabs->setSelectedViewController(b);
  EXPECT_EQ(tabs->selectedIndex(), 1u);
  EXPECT_TRUE(onScreen(b));
  EXPECT_FALSE(onScreen(a));
  EXPECT_FALSE(a->isOnScreen());
  EXPECT_EQ(appearances(), (std::vector<std::string>{"ScreenController:override"}));

  tabs->setSelectedViewController(stray);  // not a tab
  tabs->setSelectedIndex(7);
  EXPECT_EQ(tabs->selectedViewController(), b);

  tabs->setViewControllers({stray});
  EXPECT_EQ(tabs->selectedViewController(), stray);
  EXPECT_EQ(a->parentViewController(), nullptr);
  EXPECT_FALSE(onScreen(b));
  EXPECT_TRUE(onScreen(stray));
}

TEST_F(ControllerRuntimeTest, PageViewControllerShowsThePagesItIsGiven) {
  auto one = std::make_shared<PlainController>();
  auto two = std::make_shared<PlainController>();
  auto pages = std::make_shared<UIPageViewController>();
  window->setRootViewController(pages);
  std::vector<bool> finished;
  pages->setViewControllers({one}, UIPageViewControllerNavigationDirection::Forward, false,
                            [&](bool done) { finished.push_back(done); });
  EXPECT_EQ(pages->viewControllers().front(), one);
  EXPECT_TRUE(onScreen(one));
  pages->setViewControllers({two}, UIPageViewControllerNavigationDirection::Reverse, true);
  EXPECT_EQ(pages->viewControllers(), (std::vector<std::shared_ptr<UIViewController>>{two}));
  EXPECT_FALSE(onScreen(one));
  EXPECT_EQ(one->parentViewController(), nullptr);
  EXPECT_TRUE(onScreen(two));
  EXPECT_TRUE(finished.empty());  // on the next turn
  os::RunLoop::main().runUntilIdle();
  EXPECT_EQ(finished, std::vector<bool>{true});
}

TEST_F(ControllerRuntimeTest, MakingAnotherWindowKeyPostsResignKeyForTheFormerOne) {
  std::vector<const void*> resigned;
  std::vector<const void*> keyAtResign;
  auto token = os::NotificationCenter::defaultCenter()->addObserverForName(
      kUIWindowDidResignKeyNotification, nullptr, std::shared_ptr<os::DispatchQueue>(), [&](const os::Notification& n) {
        resigned.push_back(n.object);
        keyAtResign.push_back(UIApplication::sharedApplication()->keyWindow().get());
      });
  auto other = std::make_shared<UIWindow>();
  window->makeKeyWindow();  // already key: nothing
  other->makeKeyAndVisible();
  window->makeKeyWindow();
  os::NotificationCenter::defaultCenter()->removeObserver(token);
  EXPECT_EQ(resigned, (std::vector<const void*>{window.get(), other.get()}));
  EXPECT_EQ(keyAtResign, (std::vector<const void*>{other.get(), window.get()}));
}

}  // namespace
