#include "measurement/engine/sessions/screen_view_reporter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "measurement/engine/sessions/screen.h"
#include "measurement/engine/sessions/session_reporter.h"
#include "measurement/engine/sessions/testing/reporters_test_support.h"
#include "measurement/engine/sessions/view_controller_screens.h"
#include "os/uikit/view_controller.h"

namespace {

using apm_reporters_test::int64Parameter;
using apm_reporters_test::stringParameter;

class CartViewController : public UIViewController {};
class PayViewController : public UIViewController {};
class MeterRootViewController : public UIViewController {};

class ScreenViewReporterTest : public apm_reporters_test::ReportersTest {
 protected:
  void SetUp() override {
    ReportersTest::SetUp();
    reporter_ = APMScreenViewReporter::sharedInstance();
  }
  void TearDown() override {
    reporter_.reset();
    ReportersTest::TearDown();
  }

  std::vector<apm_reporters_test::RecordingAnalytics::Event> screenViews() {
    drain();
    return analytics_->events(kAPMScreenViewEventName);
  }
  // A controller on top of the key window's screen stack.
  template <class T>
  std::shared_ptr<T> pushOnStack() {
    auto controller = std::make_shared<T>();
    APMKeyWindowScreenStack()->append(controller);
    controllers_.push_back(controller);
    return controller;
  }

  std::shared_ptr<APMScreenViewReporter> reporter_;
  std::vector<std::shared_ptr<UIViewController>> controllers_;
};

TEST_F(ScreenViewReporterTest, AControllerAppearingTwiceIsOneScreenView) {
  for (bool engine : {true, false}) {
    SCOPED_TRACE(engine);
    if (!engine) APMMeasurementServices::setSharedInstance(nullptr);
    analytics_->clear();
    clearLog();
    auto cart = std::make_shared<CartViewController>();
    reporter_->setCurrentViewController(cart);
    reporter_->setCurrentViewController(cart);
    const auto views = screenViews();
    ASSERT_EQ(views.size(), 1u);
    EXPECT_EQ(views[0].origin, "auto");
    EXPECT_FALSE(views[0].timestamp.has_value());
    EXPECT_EQ(stringParameter(views[0].parameters, "_sc"), "CartViewController");
    EXPECT_EQ(int64Parameter(views[0].parameters, "_si"), apmScreen(*cart)->instanceID());
    EXPECT_EQ(logged(kAPMScreenCodeAlreadyTracked), engine);
  }
}

TEST_F(ScreenViewReporterTest, ScreenNamesForTheControllerOnTop) {
  showRoot<MeterRootViewController>();
  auto cart = pushOnStack<CartViewController>();
  reporter_->setCurrentViewController(cart);
  const int64_t first = apmScreen(*cart)->instanceID();

  reporter_->setScreenName("Basket", std::nullopt);
  auto views = screenViews();
  ASSERT_EQ(views.size(), 2u);
  const auto& named = views[1].parameters;
  EXPECT_EQ(views[1].origin, "auto");
  EXPECT_EQ(stringParameter(named, "_sn"), "Basket");
  EXPECT_EQ(stringParameter(named, "_sc"), "CartViewController");
  EXPECT_EQ(int64Parameter(named, "_si"), first + 1);
  EXPECT_EQ(int64Parameter(named, "_pi"), first);
  EXPECT_EQ(stringParameter(named, "_pc"), "CartViewController");
  EXPECT_FALSE(named.contains("_pn"));
  EXPECT_TRUE(apmScreen(*cart)->isManuallySet());

  reporter_->setScreenName("Basket", "CartViewController");  // the current pair
  EXPECT_TRUE(logged(kAPMScreenCodeDuplicateScreen));
  reporter_->setScreenName("Checkout", "Till");
  views = screenViews();
  ASSERT_EQ(views.size(), 3u);
  EXPECT_EQ(stringParameter(views[2].parameters, "_pn"), "Basket");
  EXPECT_EQ(stringParameter(views[2].parameters, "_sc"), "Till");

  std::optional<std::string> name, screenClass;
  reporter_->getScreenName(&name, &screenClass);
  EXPECT_EQ(name, "Checkout");
  EXPECT_EQ(screenClass, "Till");
  const auto parameters = reporter_->screenParameters();
  EXPECT_EQ(stringParameter(parameters, "_sn"), "Checkout");
  EXPECT_EQ(stringParameter(parameters, "_sc"), "Till");
  EXPECT_EQ(int64Parameter(parameters, "_si"), first + 2);
}

TEST_F(ScreenViewReporterTest, AppLoggedScreenViewTakesTheRootClassAndItsOwnTime) {
  showRoot<MeterRootViewController>();
  reporter_->trackScreenWithParameters({{"screen_name", "Cart"}, {"coupon", "SPRING"}}, 1'700'000'001.5);
  const auto views = screenViews();
  ASSERT_EQ(views.size(), 1u);
  EXPECT_EQ(views[0].origin, "app");
  EXPECT_EQ(views[0].timestamp, 1'700'000'001.5);
  EXPECT_EQ(stringParameter(views[0].parameters, "_sn"), "Cart");
  EXPECT_EQ(stringParameter(views[0].parameters, "_sc"), "MeterRootViewController");
  EXPECT_EQ(stringParameter(views[0].parameters, "coupon"), "SPRING");
  EXPECT_FALSE(views[0].parameters.contains("screen_name"));
  EXPECT_FALSE(views[0].parameters.contains("screen_class"));
  EXPECT_FALSE(views[0].parameters.contains("_mst"));
}

TEST_F(ScreenViewReporterTest, ScreenSwitchOffLeavesOnlyAppLoggedScreens) {
  setInfo({{kAPMScreenReportingEnabledKey, "<false/>"}});
  showRoot<MeterRootViewController>();
  auto cart = pushOnStack<CartViewController>();
  reporter_->setCurrentViewController(cart);
  reporter_->setScreenName("Basket", std::nullopt);
  EXPECT_TRUE(logged(kAPMScreenCodeReportingDisabled));
  EXPECT_TRUE(screenViews().empty());

  reporter_->trackScreenWithParameters({{"screen_name", "Cart"}}, 5.0);
  const auto views = screenViews();
  ASSERT_EQ(views.size(), 1u);
  EXPECT_EQ(int64Parameter(views[0].parameters, "_mst"), 1);
  EXPECT_EQ(stringParameter(views[0].parameters, "_sc"), "MeterRootViewController");
}

TEST_F(ScreenViewReporterTest, ScreenSwitchReadsNumbersOnly) {
  struct Case {
    std::vector<std::pair<std::string, std::string>> info;
    bool enabled;
  };
  const std::string screen = kAPMScreenReportingEnabledKey, automatic = kAPMAutomaticScreenReportingEnabledKey;
  const Case cases[] = {
      {{}, true},
      {{{screen, "<false/>"}}, false},
      {{{screen, "<integer>0</integer>"}}, false},
      {{{automatic, "<false/>"}}, false},
      {{{screen, "<true/>"}, {automatic, "<false/>"}}, true},
      {{{screen, "<string>NO</string>"}, {automatic, "<false/>"}}, true},  // present, not a number
      {{{automatic, "<string>YES</string>"}}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.info));
    setInfo(c.info);
    EXPECT_EQ(APMScreenReportingEnabledInInfoPlist(), c.enabled);
  }
}

TEST_F(ScreenViewReporterTest, ScreensChangedInTheBackgroundAreReportedOnActivation) {
  becomeActive();
  auto cart = std::make_shared<CartViewController>();
  auto pay = std::make_shared<PayViewController>();
  reporter_->setCurrentViewController(cart);
  resignActive();
  enterBackground();
  EXPECT_TRUE(reporter_->screenParameters().empty());
  reporter_->setCurrentViewController(pay);
  reporter_->trackScreenWithParameters({{"screen_name", "Late"}}, 1.0);
  EXPECT_TRUE(logged(kAPMScreenCodeNotActive));
  EXPECT_TRUE(logged(kAPMScreenCodeTrackNotActive));
  ASSERT_EQ(screenViews().size(), 1u);

  becomeActive();
  const auto views = screenViews();
  ASSERT_EQ(views.size(), 2u);
  EXPECT_EQ(stringParameter(views[1].parameters, "_sc"), "PayViewController");
  EXPECT_EQ(int64Parameter(views[1].parameters, "_pi"), apmScreen(*cart)->instanceID());
  becomeActive();  // nothing changed since
  EXPECT_EQ(screenViews().size(), 2u);
}

TEST_F(ScreenViewReporterTest, EngagementTimeRidesOnScreenViewsWithAPreviousScreen) {
  services_->settings().setEfficientEngagementReportingEnabled(true);
  auto sessions = APMSessionReporter::initWithPersistedConfig(persistedConfig_);
  sessions->setReportingEnabled(true);
  services_->setSessionReporter(sessions);
  becomeActive();
  auto cart = std::make_shared<CartViewController>();
  auto pay = std::make_shared<PayViewController>();
  reporter_->setCurrentViewController(cart);
  clock_->advance(2);
  reporter_->setCurrentViewController(pay);
  reporter_->setCurrentViewController(cart);  // at once
  const auto views = screenViews();
  ASSERT_EQ(views.size(), 3u);
  EXPECT_FALSE(views[0].parameters.contains("_et"));
  EXPECT_EQ(int64Parameter(views[1].parameters, "_et"), 2000);
  EXPECT_FALSE(views[2].parameters.contains("_et"));
  // The session reporter heard of the change and reported the screen left.
  const auto engagement = analytics_->events(kAPMUserEngagementEventName);
  ASSERT_EQ(engagement.size(), 1u);
  EXPECT_EQ(stringParameter(engagement[0].parameters, "_sc"), "CartViewController");
  EXPECT_EQ(int64Parameter(engagement[0].parameters, "_fr"), 1);
  resignActive();
  services_->setSessionReporter(nullptr);
}

TEST_F(ScreenViewReporterTest, RefusedCallsLogAndChangeNothing) {
  services_->settings().setMaxPublicEventParameterValueLength(8);
  struct Case {
    const char* what;
    std::function<void()> call;
    int64_t code;
  };
  const Case cases[] = {
      {"nil controller", [&] { reporter_->setCurrentViewController(nullptr); }, kAPMScreenCodeNilViewController},
      {"no controller appeared", [&] { reporter_->setScreenName("Home", std::nullopt); },
       kAPMScreenCodeNoViewController},
      {"empty name", [&] { reporter_->setScreenName("", std::nullopt); }, kAPMScreenCodeInvalidScreenName},
      {"long class", [&] { reporter_->setScreenName("Home", "ABCDEFGHIJ"); }, kAPMScreenCodeInvalidScreenClass},
      {"number as name", [&] { reporter_->trackScreenWithParameters({{"screen_name", 7}}, 1); },
       kAPMScreenCodeTrackInvalidName},
      {"empty class", [&] { reporter_->trackScreenWithParameters({{"screen_class", ""}}, 1); },
       kAPMScreenCodeTrackInvalidClass},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    clearLog();
    c.call();
    EXPECT_TRUE(logged(c.code));
    EXPECT_TRUE(screenViews().empty());
    EXPECT_FALSE(reporter_->TEST_currentScreen());
  }

  // A long class name is cut to the value length.
  reporter_->setCurrentViewController(std::make_shared<MeterRootViewController>());
  EXPECT_TRUE(logged(kAPMScreenCodeTrimmedClassName));
  const auto views = screenViews();
  ASSERT_EQ(views.size(), 1u);
  EXPECT_EQ(stringParameter(views[0].parameters, "_sc"), "MeterRoo");
}

TEST_F(ScreenViewReporterTest, DelegateIsNotOverridden) {
  struct Delegate : APMScreenViewReporterDelegate {
    void viewControllerDidAppear(const std::shared_ptr<UIViewController>&, bool) override {}
    void viewControllerDidDisappear(const std::shared_ptr<UIViewController>&) override {}
  };
  auto first = std::make_shared<Delegate>();
  auto second = std::make_shared<Delegate>();
  reporter_->setVivuzuvuPerfDelegate(first);
  reporter_->setVivuzuvuPerfDelegate(second);
  EXPECT_TRUE(logged(kAPMScreenCodeDelegateOverride));
  EXPECT_EQ(reporter_->vivuzuvuPerfDelegate(), first);
  reporter_->setVivuzuvuPerfDelegate(nullptr);
  reporter_->setVivuzuvuPerfDelegate(second);
  EXPECT_EQ(reporter_->vivuzuvuPerfDelegate(), second);
}

// The app's screen views used to read the current screen before taking the
// queue, so two at once could both name the same previous screen and one
// screen was never reported as left.
TEST_F(ScreenViewReporterTest, ConcurrentAppScreenViewsEachReplaceTheirOwnPreviousScreen) {
  constexpr int kThreads = 4;
  constexpr int kViews = 40;
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      while (!go) std::this_thread::yield();
      for (int i = 0; i < kViews; ++i) {
        reporter_->trackScreenWithParameters({{"screen_name", "S" + std::to_string(t) + "_" + std::to_string(i)}},
                                             i);
      }
    });
  }
  go = true;
  for (auto& thread : threads) thread.join();
  const auto views = screenViews();
  ASSERT_EQ(views.size(), static_cast<size_t>(kThreads * kViews));
  std::set<int64_t> shown, left;
  for (const auto& view : views) {
    shown.insert(int64Parameter(view.parameters, "_si").value_or(0));
    if (auto previous = int64Parameter(view.parameters, "_pi")) {
      EXPECT_TRUE(left.insert(*previous).second);
    }
  }
  EXPECT_EQ(left.size(), shown.size() - 1);
  shown.erase(reporter_->TEST_currentScreen()->instanceID());
  EXPECT_EQ(left, shown);
}

}  // namespace
