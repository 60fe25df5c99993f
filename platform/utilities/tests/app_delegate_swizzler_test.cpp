#include "platform/utilities/app_delegate_swizzler.h"

#include <gtest/gtest.h>

#include <vector>

#include "os/foundation/bundle.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/plist.h"
#include "os/foundation/sandbox.h"
#include "os/foundation/system_log.h"
#include "os/testing/test_http_server.h"
#include "platform/utilities/logger.h"
#include "platform/utilities/scene_delegate_swizzler.h"

namespace {

namespace rt = os::runtime;

std::shared_ptr<UIApplication> application() { return UIApplication::sharedApplication(); }

std::vector<std::string> calls;

// An application delegate with openURL:options: (false) and a fetch handler
// (new data); an interceptor with openURL:options: (true) and a fetch handler
// (no data).
rt::Class* delegateClass() {
  static rt::Class* cls = [] {
    rt::Class* c = rt::registerClass("DAZTestAppDelegate");
    c->addProtocol(kDAZUIApplicationDelegateProtocol);
    c->addMethod(kDAZOpenURLOptionsSelector,
                 rt::Imp(std::function<DAZOpenURLOptionsImp>([](rt::Object&, DAZApplicationRef, os::URL, os::Dictionary) {
                   calls.push_back("delegate");
                   return false;
                 })));
    c->addMethod(kDAZDidReceiveRemoteNotificationSelector,
                 rt::Imp(std::function<DAZDidReceiveRemoteNotificationImp>(
                     [](rt::Object&, DAZApplicationRef, os::Dictionary, DAZFetchCompletionHandler done) {
                       done(UIBackgroundFetchResult::NewData);
                     })));
    return c;
  }();
  return cls;
}

rt::Class* interceptorClass() {
  static rt::Class* cls = [] {
    rt::Class* c = rt::registerClass("DAZTestAppInterceptor");
    c->addProtocol(kDAZUIApplicationDelegateProtocol);
    c->addMethod(kDAZOpenURLOptionsSelector,
                 rt::Imp(std::function<DAZOpenURLOptionsImp>([](rt::Object&, DAZApplicationRef, os::URL, os::Dictionary) {
                   calls.push_back("interceptor");
                   return true;
                 })));
    c->addMethod(kDAZDidReceiveRemoteNotificationSelector,
                 rt::Imp(std::function<DAZDidReceiveRemoteNotificationImp>(
                     [](rt::Object&, DAZApplicationRef, os::Dictionary, DAZFetchCompletionHandler done) {
                       done(UIBackgroundFetchResult::NoData);
                     })));
    return c;
  }();
  return cls;
}

bool openURL(rt::Object& delegate) {
  return rt::msgSend<bool, DAZApplicationRef, os::URL, os::Dictionary>(
      delegate, kDAZOpenURLOptionsSelector, application(), *os::URL::URLWithString("drosil://x"), os::Dictionary{});
}

class AppDelegateSwizzlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DAZLoggerTEST_reset();
    DAZSetLoggerLevel(DAZLoggerLevel::Debug);
    UIApplication::setSharedApplication(std::make_shared<UIApplication>());
    application()->setDelegate(std::make_shared<rt::Object>(delegateClass()));
    DAZAppDelegateSwizzler::clearInterceptors();
    DAZAppDelegateSwizzler::resetProxyOriginalDelegateOnceToken();
    calls.clear();
    setInfo({});
  }
  void TearDown() override {
    os::Bundle::setMainBundlePath("");
    UIApplication::setSharedApplication(std::make_shared<UIApplication>());
    DAZLoggerTEST_flush();
    DAZLoggerTEST_reset();
  }

  void setInfo(const os::Dictionary& info) {
    const std::string folder = sandbox.root() + "/Bundle" + std::to_string(++bundles_) + ".app";
    auto& files = os::FileManager::defaultManager();
    ASSERT_TRUE(files.createDirectoryAtPath(folder, true));
    auto data = os::PropertyListSerialization::dataWithPropertyList(os::Value(info),
                                                                    os::PropertyListSerialization::Format::XML);
    ASSERT_TRUE(data);
    ASSERT_TRUE(files.createFileAtPath(folder + "/Info.plist", *data));
    os::Bundle::setMainBundlePath(folder);
  }

  int linesWithCode(const std::string& code) {
    DAZLoggerTEST_flush();
    return static_cast<int>(capture.recordsContaining(code).size());
  }

  os::TemporarySandbox sandbox;
  os::LogCapture capture;
  int bundles_ = 0;
};

TEST_F(AppDelegateSwizzlerTest, InterceptorsRunBeforeTheDelegate) {
  auto interceptor = std::make_shared<rt::Object>(interceptorClass());
  auto id = DAZAppDelegateSwizzler::registerAppDelegateInterceptor(interceptor);
  ASSERT_TRUE(id);
  EXPECT_TRUE(id->starts_with("DAZ_0x"));
  EXPECT_EQ(DAZAppDelegateSwizzler::registerAppDelegateInterceptor(interceptor), id);
  EXPECT_EQ(DAZAppDelegateSwizzler::interceptors().count(), 1u);

  DAZAppDelegateSwizzler::proxyOriginalDelegate();
  auto delegate = application()->delegate();
  EXPECT_TRUE(delegate->getClass()->name().starts_with("DAZ_DAZTestAppDelegate-"));
  EXPECT_TRUE(delegate->isKindOfClass(delegateClass()));
  EXPECT_EQ(DAZAppDelegateSwizzler::originalDelegate(), delegate);
  EXPECT_EQ(linesWithCode("I-SWZ001008"), 1);

  EXPECT_TRUE(openURL(*delegate));
  EXPECT_EQ(calls, (std::vector<std::string>{"interceptor", "delegate"}));
  // Not implemented by the delegate and by no interceptor: false.
  EXPECT_FALSE((rt::msgSend<bool, DAZApplicationRef, os::URL, std::string, os::Value>(
      *delegate, kDAZOpenURLSourceApplicationAnnotationSelector, application(), os::URL(), "", os::Value())));
  EXPECT_EQ(rt::msgSend<std::string>(*delegate, kDAZDescriptionSelector).rfind("<DAZTestAppDelegate: 0x", 0), 0u);

  // Without interceptors the delegate's own answer comes back.
  DAZAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(*id);
  calls.clear();
  EXPECT_FALSE(openURL(*delegate));
  EXPECT_EQ(calls, (std::vector<std::string>{"delegate"}));

  // A second request in the same process changes nothing.
  DAZAppDelegateSwizzler::proxyOriginalDelegate();
  EXPECT_EQ(application()->delegate()->getClass(), delegate->getClass());
}

TEST_F(AppDelegateSwizzlerTest, DeadInterceptorIsDroppedOnce) {
  auto interceptor = std::make_shared<rt::Object>(interceptorClass());
  auto id = DAZAppDelegateSwizzler::registerAppDelegateInterceptor(interceptor);
  DAZAppDelegateSwizzler::proxyOriginalDelegate();
  interceptor.reset();

  EXPECT_FALSE(openURL(*application()->delegate()));
  EXPECT_FALSE(openURL(*application()->delegate()));
  EXPECT_EQ(linesWithCode("I-SWZ001010"), 1);
  EXPECT_EQ(DAZAppDelegateSwizzler::interceptors().count(), 0u);
  DAZAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(*id);
  EXPECT_EQ(linesWithCode("I-SWZ001004"), 1);

  // Refusals: null, non-conforming, empty ID.
  EXPECT_FALSE(DAZAppDelegateSwizzler::registerAppDelegateInterceptor(nullptr));
  EXPECT_FALSE(DAZAppDelegateSwizzler::registerAppDelegateInterceptor(
      std::make_shared<rt::Object>(rt::registerClass("DAZTestPlainObject"))));
  DAZAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID("");
  EXPECT_EQ(linesWithCode("I-SWZ001000"), 1);
  EXPECT_EQ(linesWithCode("I-SWZ001001"), 1);
  EXPECT_EQ(linesWithCode("I-SWZ001003"), 1);
}

TEST_F(AppDelegateSwizzlerTest, InfoPlistSwitchIsHonoured) {
  struct Case {
    os::Dictionary info;
    bool enabled;
  } cases[] = {
      {{}, true},
      {{{kDAZAppDelegateProxyEnabledPlistKey, false}}, false},
      {{{kDAZAppDelegateProxyEnabledLegacyPlistKey, false}}, false},
      {{{kDAZAppDelegateProxyEnabledPlistKey, "NO"}}, true},
      {{{kDAZAppDelegateProxyEnabledPlistKey, true}, {kDAZAppDelegateProxyEnabledLegacyPlistKey, 0}}, false},
  };
  for (const Case& c : cases) {
    setInfo(c.info);
    EXPECT_EQ(DAZAppDelegateSwizzler::isAppDelegateProxyEnabled(), c.enabled) << os::Value(c.info).description();
  }

  setInfo({{kDAZAppDelegateProxyEnabledPlistKey, false}});
  auto delegate = application()->delegate();
  rt::Class* before = delegate->getClass();
  DAZAppDelegateSwizzler::proxyOriginalDelegate();
  EXPECT_EQ(delegate->getClass(), before);
  EXPECT_EQ(linesWithCode("I-SWZ001011"), 1);
}

// A missing delegate was reported (1012) before conformance was asked; as no
// delegate conforms to nothing, it is the conformance refusal (1014), ahead of
// the Info.plist switch (1011).
TEST_F(AppDelegateSwizzlerTest, RefusalsComeInOrder) {
  static rt::Class* plainClass = rt::registerClass("DAZTestPlainObject");
  struct Case {
    const char* name;
    rt::Class* cls;  // null: no delegate
    bool enabled;
    const char* code;
  };
  const Case cases[] = {
      {"no delegate, proxy disabled", nullptr, false, "I-SWZ001014"},
      {"no delegate", nullptr, true, "I-SWZ001014"},
      {"not conforming, proxy disabled", plainClass, false, "I-SWZ001014"},
      {"conforming, proxy disabled", delegateClass(), false, "I-SWZ001011"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    setInfo(c.enabled ? os::Dictionary{} : os::Dictionary{{kDAZAppDelegateProxyEnabledPlistKey, false}});
    DAZAppDelegateSwizzler::resetProxyOriginalDelegateOnceToken();
    application()->setDelegate(c.cls ? std::make_shared<rt::Object>(c.cls) : nullptr);
    DAZLoggerTEST_flush();
    capture.clear();
    DAZAppDelegateSwizzler::proxyOriginalDelegate();
    DAZLoggerTEST_flush();
    const auto lines = capture.recordsContaining("I-SWZ");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].message.find(c.code), std::string::npos) << lines[0].message;
  }
}

TEST_F(AppDelegateSwizzlerTest, ReplacedDelegateIsForgotten) {
  DAZAppDelegateSwizzler::proxyOriginalDelegate();
  ASSERT_TRUE(DAZAppDelegateSwizzler::originalDelegate());
  ASSERT_TRUE(DAZAppDelegateObserver::sharedInstance()->isObserving());
  application()->setDelegate(std::make_shared<rt::Object>(delegateClass()));
  EXPECT_FALSE(DAZAppDelegateSwizzler::originalDelegate());
  EXPECT_FALSE(DAZAppDelegateObserver::sharedInstance()->isObserving());
}

TEST_F(AppDelegateSwizzlerTest, FetchResultsAreCombined) {
  auto interceptor = std::make_shared<rt::Object>(interceptorClass());
  DAZAppDelegateSwizzler::registerAppDelegateInterceptor(interceptor);
  DAZAppDelegateSwizzler::proxyOriginalDelegateIncludingAPNSMethods();
  std::optional<UIBackgroundFetchResult> result;
  rt::msgSend<void, DAZApplicationRef, os::Dictionary, DAZFetchCompletionHandler>(
      *application()->delegate(), kDAZDidReceiveRemoteNotificationSelector, application(), os::Dictionary{},
      [&](UIBackgroundFetchResult r) { result = r; });
  ASSERT_TRUE(os::testing::runMainUntil([&] { return result.has_value(); }));
  EXPECT_EQ(result, UIBackgroundFetchResult::NewData);  // interceptor "no data" + app "new data"
}

// ---- Scene delegates ----

using OpenURLContexts = std::function<DAZSceneOpenURLContextsImp>;

TEST(SceneDelegateSwizzlerTest, InterceptorsRunBeforeTheSceneDelegate) {
  static std::vector<std::string> order;
  rt::Class* delegateCls = rt::registerClass("DAZTestSceneDelegate");
  delegateCls->addProtocol(kDAZUISceneDelegateProtocol);
  delegateCls->addMethod(kDAZSceneOpenURLContextsSelector, rt::Imp(OpenURLContexts(
      [](rt::Object&, std::shared_ptr<UIScene>, os::Array) { order.push_back("delegate"); })));
  rt::Class* interceptorCls = rt::registerClass("DAZTestSceneInterceptor");
  interceptorCls->addProtocol(kDAZUISceneDelegateProtocol);
  interceptorCls->addMethod(kDAZSceneOpenURLContextsSelector, rt::Imp(OpenURLContexts(
      [](rt::Object&, std::shared_ptr<UIScene>, os::Array) { order.push_back("interceptor"); })));

  auto interceptor = std::make_shared<rt::Object>(interceptorCls);
  ASSERT_TRUE(DAZSceneDelegateSwizzler::registerSceneDelegateInterceptor(interceptor));
  DAZSceneDelegateSwizzler::proxyOriginalSceneDelegate();

  // A scene connects: its delegate is proxied.
  auto scene = std::make_shared<UIWindowScene>();
  scene->setDelegate(std::make_shared<rt::Object>(delegateCls));
  UIApplication::sharedApplication()->TEST_connectScene(scene);
  os::NotificationCenter::defaultCenter()->postNotificationName(kDAZUISceneWillConnectNotification, scene.get());
  rt::Class* proxied = scene->delegate()->getClass();
  EXPECT_TRUE(proxied->name().starts_with("DAZ_DAZTestSceneDelegate-"));
  DAZSceneDelegateSwizzler::proxySceneDelegateIfNeeded(scene);  // already proxied: left alone
  EXPECT_EQ(scene->delegate()->getClass(), proxied);

  rt::msgSend<void, std::shared_ptr<UIScene>, os::Array>(*scene->delegate(), kDAZSceneOpenURLContextsSelector,
                                                         scene, os::Array{});
  EXPECT_EQ(order, (std::vector<std::string>{"interceptor", "delegate"}));
  DAZSceneDelegateSwizzler::clearInterceptors();
  UIApplication::sharedApplication()->TEST_disconnectScene(scene);
}

}  // namespace
