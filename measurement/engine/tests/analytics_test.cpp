#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "measurement/engine/interface/analytics.h"
#include "measurement/engine/interface/rez_analytics.h"
#include "measurement/engine/sessions/screen_view_reporter.h"
#include "measurement/engine/tests/engine_test_support.h"
#include "measurement/store/identity.h"
#include "measurement/store/persisted_config.h"
#include "os/dispatch/notification.h"
#include "os/runtime/runtime.h"
#include "os/storekit/payment_queue.h"
#include "os/storekit/store_simulator.h"
#include "sdk-core/core/rez_app.h"

namespace {

using engine_test::EngineTest;

const os::Value& at(const os::Dictionary& dictionary, const std::string& key) {
  static const os::Value none;
  const auto found = dictionary.find(key);
  return found == dictionary.end() ? none : found->second;
}

using APMAnalyticsTest = EngineTest;

TEST_F(APMAnalyticsTest, CallsHeldBeforeStartRunAfterTheEngineExistsAndBeforeLaterEvents) {
  auto operations = APMAnalytics::TEST_operationQueue();
  EXPECT_EQ(operations->name(), "APMAnalyticsOperationQueue");
  EXPECT_EQ(operations->maxConcurrentOperationCount(), 1);
  EXPECT_TRUE(operations->isSuspended());

  REZAnalytics::setUserID("install-42");
  settle();
  EXPECT_EQ(operations->operationCount(), 1u);  // held
  EXPECT_FALSE(APMMeasurement::hasSharedInstance());

  int willStart = 0;
  auto observer = os::NotificationCenter::defaultCenter()->addObserverForName(
      kREZAnalyticsWillStartNotification, nullptr, std::shared_ptr<os::DispatchQueue>(),
      [&](const os::Notification&) { ++willStart; });
  start();
  APMAnalytics::logEventWithName("later_event", {});
  EXPECT_FALSE(operations->isSuspended());
  settle();

  // The held user ID reached the engine, stored as "_id" of origin "app",
  // and the later event followed.
  const auto events = loggedEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].at("name"), os::Value("later_event"));
  EXPECT_EQ(userAttribute("_id"), os::Value("install-42"));
  EXPECT_EQ(engine()->database()->userAttributeWithName("_id", nullptr)->origin(), "app");

  // A second start, whatever its arguments, only checks the log tag again.
  const auto first = engine();
  APMAnalytics::startWithAppID("1:999:ios:other", kAPMOriginVivuzuvu,
                               APMStartOptions{{{kAPMStartOptionLogTag, "[Other]"}}, nullptr});
  settle();
  EXPECT_EQ(engine(), first);
  EXPECT_EQ(monitor_->logTag(), "[Other]");
  EXPECT_EQ(willStart, 1);
  os::NotificationCenter::defaultCenter()->removeObserver(observer);
}

TEST_F(APMAnalyticsTest, RefusedStartsKeepEveryCallHeld) {
  // Origin "am" beside the public interface defers to it.
  APMAnalytics::setDefaultEventParameters(os::Dictionary{{"a", 1}});
  start({}, "am");
  EXPECT_TRUE(APMAnalytics::TEST_operationQueue()->isSuspended());
  EXPECT_FALSE(APMMeasurement::hasSharedInstance());
  EXPECT_EQ(codes(), std::vector<int64_t>{25026});

}

// The class cannot be unregistered: the check runs in a process of its own.
TEST_F(APMAnalyticsTest, AnOlderInterfaceClassRefusesEveryStart) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        os::runtime::registerClassPair(os::runtime::allocateClassPair(nullptr, "RURIDatabase"));
        REZAnalytics::setUserID("held");
        start();
        const bool refused = codes() == std::vector<int64_t>{25029} &&
                             APMAnalytics::TEST_operationQueue()->isSuspended() &&
                             APMAnalytics::TEST_operationQueue()->operationCount() == 1 &&
                             !APMMeasurement::hasSharedInstance();
        std::_Exit(refused ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(APMAnalyticsTest, EventNamesAreValidatedAndScreenViewsGoToTheReporter) {
  // A screen view goes to the reporter at once, held queue or not: the screen
  // is current before start, and the reporter's own "_vs" (origin "app")
  // stands for the event.
  APMAnalytics::logEventWithName("screen_view", {{"screen_name", "meter"}});
  auto reporter = APMScreenViewReporter::sharedInstance();
  std::optional<std::string> screenName;
  reporter->getScreenName(&screenName, nullptr);
  EXPECT_EQ(screenName, "meter");
  reporter->TEST_flush();

  start();
  const std::string tooLong(41, 'a');
  const struct {
    std::string name;
    std::string expectedName;
    int64_t expectedError;  // "_err" of the event, 0 for none
  } cases[] = {
      {"ad_impression", "ad_impression", 0},
      {std::string(40, 'b'), std::string(40, 'b'), 0},
      {"first_open", "_err", 13},
      {tooLong, "_err", 2},
  };
  for (const auto& c : cases) APMAnalytics::logEventWithName(c.name, {{"value", 1}});
  const auto events = loggedEvents();
  ASSERT_EQ(events.size(), std::size(cases) + 1);
  EXPECT_EQ(at(events[0], "name"), os::Value("_vs"));
  EXPECT_EQ(at(events[0], "origin"), os::Value("app"));
  EXPECT_EQ(at(events[0], "parameters")["_sn"], os::Value("meter"));
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].name);
    const os::Dictionary& event = events[i + 1];
    EXPECT_EQ(at(event, "name"), os::Value(cases[i].expectedName));
    const os::Value parameters = at(event, "parameters");
    if (cases[i].expectedError == 0) {
      EXPECT_EQ(at(event, "isPublicEvent"), os::Value(true));
      EXPECT_EQ(at(event, "origin"), os::Value("app"));
    } else {
      EXPECT_EQ(at(event, "isPublicEvent"), os::Value(false));
      EXPECT_EQ(at(event, "origin"), os::Value("auto"));
      EXPECT_EQ(parameters["_err"].int64Value(), cases[i].expectedError);
      EXPECT_EQ(parameters["_ev"], os::Value(cases[i].name.size() > 40 ? std::string(40, 'a') + "..." : cases[i].name));
    }
  }
  EXPECT_EQ(at(events[4], "parameters")["_el"].int64Value(), 41);
}

TEST_F(APMAnalyticsTest, TimestampsFollowQueueOrderAcrossThreads) {
  start();
  auto ticking = std::make_shared<engine_test::TickingClock>(1'700'000'000.0);
  auto previous = os::Clock::setCurrent(ticking);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 50; ++i) APMAnalytics::logEventWithName("e" + std::to_string(t), {{"i", i}});
    });
  }
  for (auto& thread : threads) thread.join();
  os::Clock::setCurrent(previous);

  const auto events = loggedEvents();
  ASSERT_EQ(events.size(), 200u);
  for (size_t i = 1; i < events.size(); ++i) {
    ASSERT_LT(at(events[i - 1], "timestamp").doubleValue(), at(events[i], "timestamp").doubleValue()) << i;
  }
}

TEST_F(APMAnalyticsTest, ListenerRemovalReportsMissingRegistryAndUnknownTokens) {
  start();
  takeSampledLine();  // the start's own
  const int unknown = 0;
  APMAnalytics::removeLogEventListener(&unknown);
  EXPECT_EQ(takeSampledLine(), "1E_110100:Attempted removal of nil log event listener.");

  std::vector<std::string> seen;
  const auto token = APMAnalytics::addLogEventListener([&](const std::shared_ptr<APMEvent>& event) {
    seen.push_back(event->name());
  });
  ASSERT_NE(token, nullptr);
  APMAnalytics::removeLogEventListener(&unknown);
  EXPECT_EQ(takeSampledLine(), "1E_110100:Attempted removal of log event listener with invalid token.");

  APMAnalytics::notifyEventListeners(APMEvent::initWithOrigin("app", true, "told", 1.0, 0, APMEventParameters{}));
  settle();
  EXPECT_EQ(seen, std::vector<std::string>{"told"});
  APMAnalytics::removeLogEventListener(token);
  EXPECT_EQ(takeSampledLine(), "");

  EXPECT_EQ(APMAnalytics::addLogEventListener(nullptr), nullptr);
  EXPECT_EQ(takeSampledLine(), "1E_110100:Attempted addition of nil log event listener.");
}

TEST_F(APMAnalyticsTest, EnablingWhileDeactivatedPersistsButKeepsCollectionOff) {
  start({{kAPMStartOptionCollectionDeactivated, true}, {kAPMStartOptionCollectionEnabled, true}});
  EXPECT_FALSE(APMAnalytics::isEnabled());
  sink_->clear();

  REZAnalytics::setAnalyticsCollectionEnabled(true);
  settle();
  EXPECT_EQ(APMPersistedConfig::sharedInstance()->measurementEnabledState(), 1);
  EXPECT_FALSE(APMAnalytics::isEnabled());
  EXPECT_FALSE(engine()->isEnabled());
  // No component start: no store, no session reporter.
  EXPECT_FALSE(engine()->didInitializeComponents());
  EXPECT_EQ(engine()->database(), nullptr);
  EXPECT_EQ(engine()->sessionReporter(), nullptr);

  // The engine's own switch refuses too, with its line.
  engine()->setEnabled(true);
  settle();
  EXPECT_EQ(codes(), std::vector<int64_t>{23206});
  EXPECT_FALSE(engine()->isEnabled());
}

TEST_F(APMAnalyticsTest, InternalUserPropertiesAreCheckedThenSetOrRemoved) {
  start();
  auto analytics = APMAnalytics::sharedInstance();
  analytics->setInternalUserProperty(os::Value(os::Number::int64(7)), "_sno", "auto");
  EXPECT_EQ(userAttribute("_sno"), os::Value(os::Number::int64(7)));

  analytics->setInternalUserProperty(os::Value(), "_sno", "auto");
  EXPECT_TRUE(userAttribute("_sno").isNull());

  takeSampledLine();
  analytics->setInternalUserProperty(os::Value("x"), "_sno", std::string(33, 'o'));
  EXPECT_NE(takeSampledLine().find("Unable to set user property. Origin is invalid. Origin, name"), std::string::npos);
  analytics->setInternalUserProperty(os::Value(std::string(37, 'v')), "mood", "app");
  const auto events = loggedEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(at(events[0], "parameters")["_err"].int64Value(), 7);
  EXPECT_TRUE(userAttribute("mood").isNull());
}

TEST_F(APMAnalyticsTest, SessionIDBeforeStartIsUninitializedOnTheGlobalQueue) {
  std::atomic<bool> answered{false};
  int64_t sessionID = -1;
  std::optional<os::Error> error;
  std::string label;
  APMAnalytics::sessionIDWithCompletion([&](int64_t id, std::optional<os::Error> e) {
    sessionID = id;
    error = std::move(e);
    label = os::DispatchQueue::currentLabel();
    answered = true;
  });
  settle();
  ASSERT_TRUE(answered.load());
  EXPECT_EQ(sessionID, 0);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 13);
  EXPECT_EQ(error->localizedDescription(), "Analytics uninitialized");
  EXPECT_EQ(label, "com.apple.root.default-qos");

  APMAnalytics::sessionIDWithCompletion(nullptr);
  EXPECT_EQ(codes(), std::vector<int64_t>{25050});
}

TEST_F(APMAnalyticsTest, PurchasesReachTheEngineAsEventsOnlyWhileEnabled) {
  engine_test::resetStoreOffering("meter.pro", "Meter Pro", "4.99");
  start();
  const auto observers = SKPaymentQueue::defaultQueue()->transactionObservers();
  ASSERT_EQ(observers.size(), 1u);
  EXPECT_EQ(observers[0], APMAnalytics::sharedInstance());

  SKPaymentTransaction::Description bought;
  bought.payment.productIdentifier = "meter.pro";
  bought.transactionState = SKPaymentTransactionState::Purchased;
  bought.transactionIdentifier = "2000";
  const auto purchase = std::make_shared<SKPaymentTransaction>(bought);
  auto purchases = [&] {
    std::vector<os::Dictionary> out;
    for (const auto& event : loggedEvents()) {
      if (event.at("name") == os::Value("_iap") || event.at("name") == os::Value("_iapx")) out.push_back(event);
    }
    return out;
  };
  SKPaymentQueue::defaultQueue()->TEST_updateTransactions({purchase});
  auto reported = purchases();
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0].at("origin"), os::Value("auto"));
  const os::Dictionary& parameters = *reported[0].at("parameters").dictionary();
  EXPECT_EQ(parameters.at("product_id"), os::Value("meter.pro"));
  EXPECT_EQ(parameters.at("value").int64Value(), 4'990'000);

  APMAnalytics::setAnalyticsEnabled(false);
  settle();
  SKPaymentQueue::defaultQueue()->TEST_updateTransactions({purchase});
  EXPECT_EQ(purchases().size(), 1u);
  os::StoreSimulator::reset();
}

}  // namespace
