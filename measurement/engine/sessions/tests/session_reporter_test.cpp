#include "measurement/engine/sessions/session_reporter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "measurement/engine/sessions/screen.h"
#include "measurement/engine/sessions/screen_view_reporter.h"
#include "measurement/engine/sessions/testing/reporters_test_support.h"
#include "measurement/store/engine_services/scheduler.h"
#include "os/dispatch/notification.h"

namespace {

using apm_reporters_test::int64Parameter;
using apm_reporters_test::stringParameter;

class SessionReporterTest : public apm_reporters_test::ReportersTest {
 protected:
  void SetUp() override {
    ReportersTest::SetUp();
    reporter_ = APMSessionReporter::initWithPersistedConfig(persistedConfig_);
    services_->setSessionReporter(reporter_);
    reporter_->setReportingEnabled(true);
  }
  void TearDown() override {
    reporter_.reset();
    ReportersTest::TearDown();
  }

  apm_test::RemoteConfigSettingsDouble& settings() { return services_->settings(); }
  std::vector<apm_reporters_test::RecordingAnalytics::Event> events(const std::string& name) {
    return analytics_->events(name);
  }

  std::shared_ptr<APMSessionReporter> reporter_;
};

TEST_F(SessionReporterTest, ActivationAfterTheTimeoutStartsTheNextSession) {
  struct Case {
    double away;
    bool starts;
  };
  for (const Case c : {Case{1799, false}, Case{1801, true}}) {
    SCOPED_TRACE(c.away);
    persistedConfig_->setSessionNumber(0);
    persistedConfig_->setLastSessionActivityClockTime(0);
    becomeActive();  // long expired: session 1
    resignActive();  // the engagement report records activity
    enterBackground();
    analytics_->clear();
    clock_->advance(c.away);
    becomeActive();

    const auto starts = events(kAPMSessionStartEventName);
    if (!c.starts) {
      EXPECT_TRUE(starts.empty());
      EXPECT_TRUE(analytics_->properties().empty());
      resignActive();
      enterBackground();
      continue;
    }
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].origin, "auto");
    const auto now = static_cast<int64_t>(os::Clock::current().wallTime());
    EXPECT_EQ(int64Parameter(starts[0].parameters, "_sno"), 2);
    EXPECT_EQ(int64Parameter(starts[0].parameters, "_sid"), now);
    // The old session's properties go before the new ones are set.
    const auto properties = analytics_->properties();
    ASSERT_EQ(properties.size(), 4u);
    EXPECT_EQ(properties[0].name, "_sid");
    EXPECT_TRUE(properties[0].value.isNull());
    EXPECT_EQ(properties[1].name, "_sno");
    EXPECT_TRUE(properties[1].value.isNull());
    EXPECT_EQ(properties[2].value.int64Value(), now);
    EXPECT_EQ(properties[3].name, "_sno");
    EXPECT_EQ(properties[3].value.int64Value(), 2);
    EXPECT_EQ(properties[3].origin, "auto");
    EXPECT_EQ(persistedConfig_->sessionNumber(), 2);
    resignActive();
    enterBackground();
  }
}

TEST_F(SessionReporterTest, ExpiryAndExtensionFollowTheLastActivity) {
  struct Case {
    double lastActivityOffset;  // from now
    bool expired;
  };
  const Case cases[] = {
      {-1799, false},
      {-1801, true},
      {+1801, true},  // the clock was set back
      {+1799, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lastActivityOffset);
    const double now = os::Clock::current().wallTime();
    persistedConfig_->setLastSessionActivityClockTime(now + c.lastActivityOffset);
    EXPECT_EQ(reporter_->isSessionExpired(), c.expired);
    EXPECT_EQ(reporter_->extendSession(), !c.expired);
    EXPECT_EQ(persistedConfig_->lastSessionActivityClockTime(), c.expired ? now + c.lastActivityOffset : now);
  }
  // Not active: no new session is due, however old the last activity.
  persistedConfig_->setLastSessionActivityClockTime(0);
  EXPECT_FALSE(reporter_->shouldStartNewSession());
  becomeActive();
  EXPECT_FALSE(reporter_->shouldStartNewSession());  // the activation started one
}

TEST_F(SessionReporterTest, NegativeTimeoutIsStoredAsZero) {
  reporter_->setTimeoutSessionInterval(-5);
  EXPECT_TRUE(logged(kAPMSessionCodeNegativeTimeout));
  EXPECT_EQ(reporter_->timeoutSessionInterval(), 0.0);
  becomeActive();
  resignActive();
  enterBackground();
  clock_->advance(1);
  becomeActive();
  EXPECT_EQ(events(kAPMSessionStartEventName).size(), 2u);
}

TEST_F(SessionReporterTest, OneStretchReportsAtMostAnHour) {
  settings().setSessionEventUserEngagementInterval(86'400);
  becomeActive();
  clock_->advance(5000);
  resignActive();
  const auto engagement = events(kAPMUserEngagementEventName);
  ASSERT_EQ(engagement.size(), 1u);
  EXPECT_EQ(int64Parameter(engagement[0].parameters, "_et"), 3'600'000);
  EXPECT_FALSE(engagement[0].parameters.contains("_fr"));
}

TEST_F(SessionReporterTest, EngagementTimerPostsAndReportsEachInterval) {
  int fired = 0;
  auto token = os::NotificationCenter::defaultCenter()->addObserverForName(
      kAPMSessionReporterEngagementTimerDidFire, nullptr, std::shared_ptr<os::DispatchQueue>(),
      [&](const os::Notification&) { ++fired; });
  becomeActive();
  clock_->advance(3600);
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(events(kAPMUserEngagementEventName).size(), 1u);
  clock_->advance(1800);
  resignActive();  // stops the timer
  clock_->advance(7200);
  EXPECT_EQ(fired, 1);
  const auto engagement = events(kAPMUserEngagementEventName);
  ASSERT_EQ(engagement.size(), 2u);
  EXPECT_EQ(int64Parameter(engagement[0].parameters, "_et"), 3'600'000);
  EXPECT_EQ(int64Parameter(engagement[1].parameters, "_et"), 1'800'000);
  os::NotificationCenter::defaultCenter()->removeObserver(token);
}

TEST_F(SessionReporterTest, DisabledReportingLogsNothingButMovesTheClocks) {
  becomeActive();
  reporter_->setReportingEnabled(false);
  EXPECT_FALSE(reporter_->TEST_userEngagementTimer()->scheduledTimestamp().has_value());
  analytics_->clear();
  clock_->advance(100);
  EXPECT_EQ(reporter_->logEngagementEventAndReturnTimeWithScreen(nullptr, false), 0);
  EXPECT_EQ(persistedConfig_->lastSessionActivityClockTime(), os::Clock::current().wallTime());
  EXPECT_TRUE(analytics_->events().empty());
  EXPECT_TRUE(analytics_->properties().empty());

  reporter_->setReportingEnabled(true);
  EXPECT_TRUE(reporter_->TEST_userEngagementTimer()->scheduledTimestamp().has_value());
  clock_->advance(10);
  resignActive();
  const auto engagement = events(kAPMUserEngagementEventName);
  ASSERT_EQ(engagement.size(), 1u);
  EXPECT_EQ(int64Parameter(engagement[0].parameters, "_et"), 10'000);  // from the disabled report on
}

TEST_F(SessionReporterTest, ScreenChangesReportTheScreenLeftAfterASecond) {
  becomeActive();
  analytics_->clear();
  const auto left = APMScreen::initWithName("Cart", "CartViewController", 41);
  const auto entered = APMScreen::initWithName(std::nullopt, "PayViewController", 42);
  clock_->advance(0.5);
  reporter_->handleScreenDidChangeFromScreen(left, entered);
  reporter_->handleScreenDidChangeFromScreen(nullptr, entered);
  EXPECT_TRUE(analytics_->events().empty());
  clock_->advance(1.0);
  reporter_->handleScreenDidChangeFromScreen(left, entered);
  const auto engagement = events(kAPMUserEngagementEventName);
  ASSERT_EQ(engagement.size(), 1u);
  EXPECT_EQ(int64Parameter(engagement[0].parameters, "_et"), 1500);
  EXPECT_EQ(int64Parameter(engagement[0].parameters, "_si"), 41);
  EXPECT_EQ(stringParameter(engagement[0].parameters, "_sc"), "CartViewController");
  EXPECT_EQ(stringParameter(engagement[0].parameters, "_sn"), "Cart");
}

TEST_F(SessionReporterTest, BackgroundingFollowsTheEngagementSettings) {
  struct Case {
    bool backgroundTracking, efficient, redundantRemoval;
    bool engagement;                  // "_e" logged
    std::optional<int64_t> freeride;  // its "_fr"
    bool background;                  // "_ab" logged
    std::optional<int64_t> backgroundTime;  // its "_et"
  };
  const Case cases[] = {
      {false, false, false, true, std::nullopt, false, std::nullopt},
      {true, false, false, true, std::nullopt, true, std::nullopt},
      {true, true, false, true, 1, true, 2000},
      {true, true, true, false, std::nullopt, true, 2000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.backgroundTracking << c.efficient << c.redundantRemoval);
    settings().setAppBackgroundedEventEnabled(c.backgroundTracking);
    settings().setEfficientEngagementReportingEnabled(c.efficient);
    settings().setRedundantEngagementRemovalEnabled(c.redundantRemoval);
    becomeActive();
    analytics_->clear();
    clock_->advance(2);
    resignActive();
    const auto engagement = events(kAPMUserEngagementEventName);
    ASSERT_EQ(engagement.size(), c.engagement ? 1u : 0u);
    if (c.engagement) {
      EXPECT_EQ(int64Parameter(engagement[0].parameters, "_et"), 2000);
      EXPECT_EQ(int64Parameter(engagement[0].parameters, "_fr"), c.freeride);
    }
    const auto background = events(kAPMAppBackgroundEventName);
    ASSERT_EQ(background.size(), c.background ? 1u : 0u);
    if (c.background) {
      EXPECT_EQ(background[0].origin, "auto");
      EXPECT_EQ(int64Parameter(background[0].parameters, "_et"), c.backgroundTime);
    }
    enterBackground();
  }
}

TEST_F(SessionReporterTest, NothingIsReportedWhileTheAppIsNotActive) {
  settings().setAppBackgroundedEventEnabled(true);
  persistedConfig_->setLastSessionActivityClockTime(0);
  reporter_->logSessionStartEvent();
  EXPECT_EQ(reporter_->logEngagementEventAndReturnTimeWithScreen(nullptr, false), 0);
  reporter_->logAppBackgroundEvent(5000);
  EXPECT_TRUE(analytics_->events().empty());
  EXPECT_TRUE(logged(kAPMSessionCodeStartNotActive));
  EXPECT_TRUE(logged(kAPMSessionCodeEngagementNotActive));
  EXPECT_TRUE(logged(kAPMSessionCodeBackgroundNotActive));
  EXPECT_EQ(persistedConfig_->sessionNumber(), 0);
}

TEST_F(SessionReporterTest, SessionStartEventOfTheEngine) {
  auto screenReporter = APMScreenViewReporter::sharedInstance();
  screenReporter->trackScreenWithParameters({{"screen_name", "Meter"}, {"screen_class", "MeterScreen"}}, 1.0);
  drain();
  const double timestamp = 1'700'000'123.75;
  const auto foreground = APMSessionStartEvent(7, false, timestamp);
  ASSERT_TRUE(foreground);
  EXPECT_EQ(foreground->origin(), "auto");
  EXPECT_EQ(foreground->name(), "_s");
  EXPECT_EQ(foreground->timestamp(), timestamp);
  EXPECT_EQ(foreground->parameters().at("_sid").int64Value(), 1'700'000'123);
  EXPECT_EQ(foreground->parameters().at("_sno").int64Value(), 7);
  EXPECT_EQ(foreground->parameters().at("_sn").stringValue(), "Meter");
  EXPECT_EQ(foreground->parameters().at("_sc").stringValue(), "MeterScreen");
  EXPECT_FALSE(foreground->parameters().contains("_aib"));

  const auto background = APMSessionStartEvent(7, true, timestamp);
  ASSERT_TRUE(background);
  EXPECT_EQ(background->parameters().at("_aib").int64Value(), 1);
  for (const char* screen : {"_si", "_sc", "_sn"}) EXPECT_FALSE(background->parameters().contains(screen));

  const auto id = reporter_->sessionIDPropertyWithTimestamp(timestamp);
  EXPECT_EQ(id->name(), "_sid");
  EXPECT_EQ(id->value().int64Value(), 1'700'000'123);
  EXPECT_EQ(id->lastSetTimestamp(), timestamp);
  persistedConfig_->setSessionNumber(7);
  EXPECT_EQ(reporter_->sessionNumberProperty()->value().int64Value(), 7);
}

// The reporter is reached from the main thread, the screen-view reporter's
// queue and the worker queue at once: session numbers must neither repeat
// nor be skipped, whatever the interleaving.
TEST_F(SessionReporterTest, ConcurrentCallersShareOneConsistentState) {
  settings().setEfficientEngagementReportingEnabled(true);
  becomeActive();
  analytics_->clear();
  const int64_t first = persistedConfig_->sessionNumber();
  constexpr int kThreads = 4;
  constexpr int kStarts = 60;
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      while (!go) std::this_thread::yield();
      const auto screen = APMScreen::initWithName(std::nullopt, "Screen" + std::to_string(t), t);
      for (int i = 0; i < kStarts; ++i) {
        reporter_->logSessionStartEvent();
        reporter_->extendSession();
        reporter_->isSessionExpired();
        reporter_->cutFreerideEngagementTimeMillis();
        reporter_->handleScreenDidChangeFromScreen(screen, nullptr);
        reporter_->setTimeoutSessionInterval(1800 + i);
      }
    });
  }
  go = true;
  for (int i = 0; i < kStarts; ++i) {
    reporter_->handleAppDidBecomeActive();
    reporter_->logUserEngagementEvent();
  }
  for (auto& thread : threads) thread.join();

  std::set<int64_t> numbers;
  for (const auto& start : events(kAPMSessionStartEventName)) {
    numbers.insert(int64Parameter(start.parameters, "_sno").value_or(-1));
  }
  EXPECT_EQ(numbers.size(), static_cast<size_t>(kThreads * kStarts));
  EXPECT_EQ(*numbers.begin(), first + 1);
  EXPECT_EQ(*numbers.rbegin(), first + kThreads * kStarts);
  EXPECT_EQ(persistedConfig_->sessionNumber(), first + kThreads * kStarts);
}

}  // namespace
