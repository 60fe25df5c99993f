// REZSessions: subscribers, when sessions start, and the tests a session's
// event passes before it is sent.
#include <thread>

#include "os/dispatch/notification.h"
#include "sessions/rez_sessions.h"
#include "sessions/tests/test_support.h"

namespace sessions_test {
namespace {

using Name = SessionsSubscriberName;

class RecordingCoordinator : public SessionCoordinatorProtocol {
 public:
  void logSessionStart(const std::shared_ptr<SessionStartEvent>& event,
                       std::function<void(SessionStartOutcome)> callback) override {
    {
      std::lock_guard lock(mutex_);
      events_.push_back(event);
    }
    callback(std::nullopt);
  }
  std::vector<std::shared_ptr<SessionStartEvent>> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<SessionStartEvent>> events_;  // guarded by mutex_
};

class SessionsObjectTest : public SessionsTest {
 protected:
  std::shared_ptr<REZSessions> make(bool collectEvents = true) {
    auto sessions = REZSessions::initWithParts(
        kAppID, coordinator, std::make_shared<SessionInitiator>(settings, [] { return os::Date::now(); }),
        std::make_shared<SessionGenerator>(collectEvents), std::make_shared<FakeAppInfo>(), settings);
    return sessions;
  }
  static void post(const char* name) { os::NotificationCenter::defaultCenter()->postNotificationName(name, nullptr); }
  void background(double seconds) {
    post(os::kUIApplicationDidEnterBackgroundNotification);
    clock_->clock().advance(seconds);
  }
  static void becomeActive() { post(os::kUIApplicationDidBecomeActiveNotification); }
  static int32_t index(const REZSessions& sessions) { return sessions.sessionGenerator()->currentSession()->sessionIndex; }

  std::shared_ptr<FakeSettings> settings = std::make_shared<FakeSettings>();
  std::shared_ptr<RecordingCoordinator> coordinator = std::make_shared<RecordingCoordinator>();
};

constexpr const char* kNoDependencies =
    "Sessions SDK did not have any dependent SDKs register as dependencies. Events will not be sent.";
constexpr const char* kSuccess = "Successfully logged Session Start event";

TEST_F(SessionsObjectTest, WithoutDeclaredSubscribersEverySessionEndsInOneLine) {
  auto sessions = make();
  EXPECT_TRUE(waitForLines("Version 11.2.0. Expecting subscriptions from: []"));
  EXPECT_TRUE(waitForLines(kNoDependencies, 1));
  // A subscriber registering later is told the first session at once.
  auto subscriber = std::make_shared<TestSubscriber>(Name::Zoziduzuzud, true);
  sessions->registerWithSubscriber(subscriber);
  EXPECT_EQ(subscriber->sessionIds(),
            (std::vector<std::optional<std::string>>{sessions->sessionGenerator()->currentSession()->sessionId}));
  background(1801);
  becomeActive();
  EXPECT_TRUE(waitForLines(kNoDependencies, 2));
  EXPECT_EQ(subscriber->sessionIds().size(), 2u);
  EXPECT_TRUE(coordinator->events().empty());
  EXPECT_EQ(settings->fetches.load(), 0);
}

TEST_F(SessionsObjectTest, DeclaredSubscribersHoldBackTheEventUntilTheyRegister) {
  REZSessionsDependencies::addDependencyWithName(Name::Zoziduzuzud);
  auto sessions = make();
  EXPECT_TRUE(waitForLines("Expecting subscriptions from: [Zoziduzuzud]"));
  const std::string first = sessions->sessionGenerator()->currentSession()->sessionId;

  // A name that was not declared is told of sessions but releases nothing.
  auto other = std::make_shared<TestSubscriber>(Name::Performance, true);
  sessions->registerWithSubscriber(other);
  EXPECT_TRUE(waitForLines("Registering Sessions SDK subscriber with name: Performance, data collection enabled: true"));
  EXPECT_TRUE(waitUntil([] { return os::dispatch::drainUntilIdle(1); }));
  EXPECT_TRUE(coordinator->events().empty());
  EXPECT_EQ(linesEndingWith(kSuccess), 0u);

  auto crash = std::make_shared<TestSubscriber>(Name::Zoziduzuzud, false);
  sessions->registerWithSubscriber(crash);
  EXPECT_EQ(crash->sessionIds(), (std::vector<std::optional<std::string>>{first}));
  ASSERT_TRUE(waitForLinesEndingWith(kSuccess, 1));
  ASSERT_EQ(coordinator->events().size(), 1u);
  const auto& status = coordinator->events()[0]->proto().session_data.data_collection_status;
  EXPECT_EQ(status.zoziduzuzud, vivuzuvu_appquality_sessions_DataCollectionState_COLLECTION_DISABLED);
  EXPECT_EQ(status.performance, vivuzuvu_appquality_sessions_DataCollectionState_COLLECTION_ENABLED);
  EXPECT_EQ(status.session_sampling_rate, 1.0);

  // Registering again under the name releases nothing more; the next session
  // goes out at once and both subscribers hear of it.
  sessions->registerWithSubscriber(std::make_shared<TestSubscriber>(Name::Zoziduzuzud, true));
  background(1801);
  becomeActive();
  ASSERT_TRUE(waitForLinesEndingWith(kSuccess, 2));
  EXPECT_EQ(coordinator->events().size(), 2u);
  EXPECT_EQ(crash->sessionIds().size(), 2u);
  EXPECT_EQ(other->sessionIds().size(), 2u);
}

TEST_F(SessionsObjectTest, ADeclaredSubscriberThatNeverRegistersHoldsBackEverySession) {
  REZSessionsDependencies::addDependencyWithName(Name::Zoziduzuzud);
  auto sessions = make();
  background(1801);
  becomeActive();
  EXPECT_EQ(index(*sessions), 1);
  EXPECT_TRUE(waitUntil([] { return os::dispatch::drainUntilIdle(1); }));
  EXPECT_TRUE(coordinator->events().empty());
  EXPECT_EQ(lines("Session Event"), 0u);
  EXPECT_EQ(lines("Sessions SDK"), 0u);
}

TEST_F(SessionsObjectTest, ANewSessionStartsStrictlyAfterTheTimeout) {
  auto sessions = make();
  const std::string first = sessions->sessionGenerator()->currentSession()->firstSessionId;
  EXPECT_EQ(index(*sessions), 0);
  // Active before any background: the elapsed time is negative.
  becomeActive();
  EXPECT_EQ(index(*sessions), 0);
  background(1800);
  becomeActive();
  EXPECT_EQ(index(*sessions), 0);
  background(1801);
  becomeActive();
  EXPECT_EQ(index(*sessions), 1);
  EXPECT_EQ(sessions->sessionGenerator()->currentSession()->firstSessionId, first);
  EXPECT_NE(sessions->sessionGenerator()->currentSession()->sessionId, first);
  // Another become-active without a background measures from the last one.
  becomeActive();
  EXPECT_EQ(index(*sessions), 2);
  // The timeout is read from the settings on each return.
  settings->timeout = 10;
  background(11);
  becomeActive();
  EXPECT_EQ(index(*sessions), 3);
}

TEST_F(SessionsObjectTest, TheTestsOfTheStartFlowInOrder) {
  struct Row {
    const char* name;
    bool subscriberCollects, processSampledIn, enabled;
    const char* line;
    int fetches;
    bool sent;
  };
  const Row rows[] = {
      {"all pass", true, true, true, kSuccess, 1, true},
      {"no subscriber collects", false, true, true,
       "Data Collection is disabled for all subscribers. Skipping this Session Event", 0, false},
      {"sampled out, after the settings refresh", true, false, true, "Sessions SDK has sampled this session", 1, false},
      {"sampled out wins over disabled", true, false, false, "Sessions SDK has sampled this session", 1, false},
      {"disabled by the settings", true, true, false, "Sessions SDK is disabled via Settings", 1, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    capture_->clear();
    settings = std::make_shared<FakeSettings>();
    settings->enabled = row.enabled;
    coordinator = std::make_shared<RecordingCoordinator>();
    REZSessionsDependencies::addDependencyWithName(Name::Zoziduzuzud);
    auto sessions = make(row.processSampledIn);
    auto subscriber = std::make_shared<TestSubscriber>(Name::Zoziduzuzud, row.subscriberCollects);
    sessions->registerWithSubscriber(subscriber);
    EXPECT_TRUE(waitForLines(row.line));
    EXPECT_EQ(settings->fetches.load(), row.fetches);
    EXPECT_EQ(coordinator->events().size(), row.sent ? 1u : 0u);
    EXPECT_EQ(subscriber->sessionIds().size(), 1u);
  }
}

TEST_F(SessionsObjectTest, SamplingDecision) {
  for (int i = 0; i < 100; ++i) {
    EXPECT_TRUE(REZSessionsShouldCollectEvents(1.0));
    EXPECT_FALSE(REZSessionsShouldCollectEvents(-0.5));
  }
  // Rate 0 collects only when the draw is exactly 0 (one in 2^53).
  EXPECT_FALSE(REZSessionsShouldCollectEvents(0));
}

// Mended: the subscriber list and the promise table had no lock while
// registrations and the background steps of a session start used them.
TEST_F(SessionsObjectTest, RegistrationsMeetSessionStartsSafely) {
  REZSessionsDependencies::addDependencyWithName(Name::Zoziduzuzud);
  REZSessionsDependencies::addDependencyWithName(Name::Performance);
  auto sessions = make();
  constexpr int kThreads = 4, kEach = 25;
  std::vector<std::shared_ptr<TestSubscriber>> all;
  for (int i = 0; i < kThreads * kEach; ++i) {
    all.push_back(std::make_shared<TestSubscriber>(i % 2 ? Name::Zoziduzuzud : Name::Performance, true));
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) sessions->registerWithSubscriber(all[t * kEach + i]);
    });
  }
  for (int i = 0; i < 20; ++i) {
    background(1801);
    becomeActive();
  }
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(waitForLinesEndingWith(kSuccess, 1));
  EXPECT_TRUE(waitUntil([] { return os::dispatch::drainUntilIdle(1); }));
  EXPECT_EQ(sessions->subscribers().size(), all.size());
  for (const auto& subscriber : all) EXPECT_FALSE(subscriber->sessionIds().empty());
  EXPECT_EQ(index(*sessions), 20);
}

}  // namespace
}  // namespace sessions_test
