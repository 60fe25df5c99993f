// The app-delegate interceptor: what the proxy hands it reaches the facade,
// and it never changes the application's own answer.
#include "measurement/engine/interface/app_delegate_interceptor.h"

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "measurement/engine/tests/engine_test_support.h"
#include "os/uikit/app_host.h"
#include "os/uikit/user_activity.h"
#include "platform/utilities/app_delegate_swizzler.h"
#include "platform/utilities/url_session_uploader.h"

namespace {

namespace rt = os::runtime;
using engine_test::EngineTest;

// The application's own delegate: claims no URL, records what it is given.
class RecordingAppDelegate : public UIApplicationDelegate {
 public:
  static std::vector<std::string>& opened() {
    static std::vector<std::string> urls;
    return urls;
  }
  bool applicationOpenURLOptions(std::shared_ptr<UIApplication>, os::URL url, os::Dictionary) override {
    opened().push_back(url.absoluteString());
    return false;
  }
};
const UIApplicationDelegateRegistration<RecordingAppDelegate> kRecordingAppDelegate{"InterceptorTestAppDelegate"};

class AppDelegateInterceptorTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    DAZAppDelegateSwizzler::clearInterceptors();
    DAZAppDelegateSwizzler::resetProxyOriginalDelegateOnceToken();
    RecordingAppDelegate::opened().clear();
    APMAnalytics::setOpenURLListener([this](const os::URL& url) {
      std::lock_guard lock(mutex_);
      heard_.push_back(url.absoluteString());
    });
  }
  void TearDown() override {
    DAZAppDelegateSwizzler::clearInterceptors();
    EngineTest::TearDown();
  }

  // The campaign sources of the links the engine was handed, from the
  // stored "_cmp" events, after settling.
  std::vector<std::string> engineSources() {
    std::vector<std::string> sources;
    for (const auto& event : storedEvents()) {
      if (event.at("name").stringValue() != "_cmp") continue;
      sources.push_back(event.at("parameters").dictionary()->at("source").stringValue());
    }
    return sources;
  }
  std::vector<std::string> heard() {
    settle();
    std::lock_guard lock(mutex_);
    return heard_;
  }

  std::mutex mutex_;
  std::vector<std::string> heard_;
};

TEST_F(AppDelegateInterceptorTest, EveryMethodListensAndAnswersNo) {
  start();
  auto interceptor = APMAppDelegateInterceptor::sharedInstance();
  ASSERT_EQ(interceptor, APMAppDelegateInterceptor::sharedInstance());
  EXPECT_EQ(interceptor->getClass()->name(), kAPMAppDelegateInterceptorClassName);
  EXPECT_TRUE(interceptor->conformsToProtocol(kDAZUIApplicationDelegateProtocol));
  const auto app = std::make_shared<UIApplication>();
  const auto url = [](const char* text) { return *os::URL::URLWithString(text); };

  // Through the selectors, with the proxy's signatures.
  EXPECT_FALSE((rt::msgSend<bool, DAZApplicationRef, os::URL, os::Dictionary>(
      *interceptor, kDAZOpenURLOptionsSelector, app, url("drosil://options?utm_source=options"), os::Dictionary{})));
  EXPECT_FALSE((rt::msgSend<bool, DAZApplicationRef, os::URL, std::string, os::Value>(
      *interceptor, kDAZOpenURLSourceApplicationAnnotationSelector, app, url("drosil://source?utm_source=source"),
      std::string("com.example.other"), os::Value())));

  // An activity: the link derived from it goes on when it is not empty; the
  // restoration handler is never called.
  int restored = 0;
  const UIUserActivityRestorationHandler restoration = [&](const auto&) { ++restored; };
  const auto continueActivity = [&](const std::shared_ptr<NSUserActivity>& activity) {
    return rt::msgSend<bool, DAZApplicationRef, std::shared_ptr<NSUserActivity>, UIUserActivityRestorationHandler>(
        *interceptor, kDAZContinueUserActivitySelector, app, activity, restoration);
  };
  const auto activity = std::make_shared<NSUserActivity>(NSUserActivityTypeBrowsingWeb);
  EXPECT_FALSE(continueActivity(activity));  // no link
  EXPECT_FALSE(continueActivity(std::make_shared<NSUserActivity>("com.example.other")));
  EXPECT_FALSE(continueActivity(nullptr));
  activity->setWebpageURL(url("https://example.com/promo?utm_source=web"));
  EXPECT_FALSE(continueActivity(activity));
  EXPECT_EQ(restored, 0);

  EXPECT_EQ(engineSources(), (std::vector<std::string>{"options", "source", "web"}));
  EXPECT_EQ(heard(), (std::vector<std::string>{"drosil://options?utm_source=options", "drosil://source?utm_source=source",
                                               "https://example.com/promo?utm_source=web"}));

  // Background-session events reach the network client with the handler
  // unchanged: it runs when the session finishes.
  const std::string sessionID = std::string(kDAZNetworkBackgroundUploadSessionIDPrefix) + "-interceptor";
  int completed = 0;
  rt::msgSend<void, DAZApplicationRef, std::string, std::function<void()>>(
      *interceptor, kDAZHandleEventsForBackgroundURLSessionSelector, app, sessionID, [&] { ++completed; });
  auto fetcher = DAZNetworkURLSession::sessionFromFetcherMapForSessionID(sessionID);
  ASSERT_TRUE(fetcher);
  auto session = os::URLSession::sessionWithConfiguration(
      os::URLSessionConfiguration::backgroundSessionConfigurationWithIdentifier(sessionID));
  fetcher->URLSessionDidFinishEventsForBackgroundURLSession(*session);
  settle();
  EXPECT_EQ(completed, 1);
  DAZNetworkURLSession::setSessionInFetcherMap(nullptr, sessionID);
}

TEST_F(AppDelegateInterceptorTest, AURLOpenedThroughTheHostReachesTheEngineTheListenerAndTheDelegate) {
  os::uikit::ApplicationHost host;
  ASSERT_TRUE(host.launch("", "InterceptorTestAppDelegate"));
  start();  // the facade proxies the delegate on the main queue
  // The delegate's own answer (no) stands; both hear the URL.
  EXPECT_FALSE(host.openURL(*os::URL::URLWithString("drosil://opened?utm_source=spring")));
  EXPECT_EQ(RecordingAppDelegate::opened(), std::vector<std::string>{"drosil://opened?utm_source=spring"});
  EXPECT_EQ(engineSources(), std::vector<std::string>{"spring"});
  EXPECT_EQ(heard(), std::vector<std::string>{"drosil://opened?utm_source=spring"});
  ASSERT_TRUE(host.terminate());
}

TEST_F(AppDelegateInterceptorTest, NothingIsInterceptedWithTheProxyOffOrCollectionDeactivated) {
  struct Case {
    const char* what;
    os::Dictionary info;
    os::Dictionary startValues;
  };
  const Case cases[] = {
      {"proxy off", {{kDAZAppDelegateProxyEnabledPlistKey, false}}, {}},
      {"deactivated", {}, {{kAPMStartOptionCollectionDeactivated, true}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    APMAnalytics::TEST_reset();
    DAZAppDelegateSwizzler::resetProxyOriginalDelegateOnceToken();
    writeBundle(c.info);
    os::uikit::ApplicationHost host;
    ASSERT_TRUE(host.launch("", "InterceptorTestAppDelegate"));
    start(c.startValues);
    EXPECT_FALSE(host.openURL(*os::URL::URLWithString("drosil://unseen?utm_source=unseen")));
    EXPECT_TRUE(engineSources().empty());
    ASSERT_TRUE(host.terminate());
  }
}

}  // namespace
