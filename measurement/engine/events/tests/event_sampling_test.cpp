#include "measurement/engine/events/event_sampling.h"

#include <gtest/gtest.h>

#include <deque>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "measurement/messages/field_access.h"
#include "measurement/store/database.h"
#include "measurement/store/engine_services/event_records.h"
#include "measurement/store/monitor.h"
#include "measurement/store/persisted_config.h"
#include "measurement/store/sqlite_store.h"
#include "measurement/store/testing/measurement_services_double.h"
#include "measurement/store/testing/sqlite_fault_vfs.h"
#include "os/foundation/sandbox.h"
#include "os/foundation/user_defaults.h"

namespace {

constexpr int64_t kDay = 86'400'000;             // milliseconds
constexpr int64_t kMonday = 19'800LL * kDay;     // midnight UTC of a day
constexpr int32_t kMondayNumber = 19'800;

class CodeSink : public APMLogging {
 public:
  void logMessage(const std::string&, const std::string&, int64_t messageCode, int64_t) override {
    std::lock_guard lock(mutex_);
    codes_.push_back(messageCode);
  }
  bool saw(int64_t code) {
    std::lock_guard lock(mutex_);
    return std::find(codes_.begin(), codes_.end(), code) != codes_.end();
  }

 private:
  std::mutex mutex_;
  std::vector<int64_t> codes_;  // guarded by mutex_
};

class EventSamplingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    os::UserDefaults::resetStandardUserDefaults();
    services_ = apm_test::MeasurementServicesDouble::install();
    monitor_ = APMMonitor::initWithLogLevel(6, sink_, 110100);
    APMMeasurementServices::TEST_setMonitor(monitor_);
    auto config = APMPersistedConfig::initWithSuiteName(kAPMPersistedConfigSuiteName);
    os::Error error;
    database_ = APMDatabase::initWithDatabaseName(kAPMDatabaseName, config, &error);
    ASSERT_TRUE(database_) << error.description();
    settings().setEventSamplingEnabled(true);
    settings().setSamplingRateForEvent("level_up", 10);
  }
  void TearDown() override {
    database_.reset();
    monitor_->TEST_flush();
    APMMeasurementServices::TEST_setMonitor(nullptr);
    APMMeasurementServices::setSharedInstance(nullptr);
    os::UserDefaults::resetStandardUserDefaults();
  }

  apm_test::RemoteConfigSettingsDouble& settings() { return services_->settings(); }
  // Monitorable lines so far (levels 1, 2, 4, 5; those of levels 2 and 5
  // are never printed).
  int64_t monitored() {
    auto sampled = monitor_->TEST_sampledData();
    return sampled ? (*sampled)[1].int64Value() : 0;
  }

  // A sampler whose draws are taken from `draws` in turn (0 wins the roll);
  // each draw checks the bound it was asked for.
  APMEventSampler scripted(std::vector<uint32_t> draws, uint32_t bound = 10) {
    auto queue = std::make_shared<std::deque<uint32_t>>(draws.begin(), draws.end());
    return APMEventSampler(worker_, database_, [queue, bound](uint32_t upper) {
      EXPECT_EQ(upper, bound);
      EXPECT_FALSE(queue->empty()) << "more rolls than scripted";
      if (queue->empty()) return 0u;
      const uint32_t draw = queue->front();
      queue->pop_front();
      return draw;
    });
  }

  // sampleEvents on the worker queue, where bundling runs it.
  template <class Sampler>
  std::optional<std::vector<std::shared_ptr<APMPBEvent>>> sample(Sampler&& sampler,
                                                                 const std::vector<std::shared_ptr<APMPBEvent>>& events,
                                                                 os::Error* error = nullptr) {
    return worker_->sync([&] { return sampler.sampleEvents(events, error); });
  }

  static std::shared_ptr<APMPBEvent> event(const std::string& name, int64_t millis, int64_t previousMillis = 0,
                                           std::optional<int64_t> complexID = std::nullopt) {
    auto event = APMPBEvent::initWithMessageInfo(nullptr);
    APMPBSetString(event.get(), 1, name);
    APMPBSetInt64(event.get(), 2, millis);
    if (previousMillis != 0) APMPBSetInt64(event.get(), 3, previousMillis);
    if (complexID) {
      auto param = APMPBEventParam::initWithMessageInfo(nullptr);
      APMPBSetString(param.get(), 0, "_eid");
      APMPBSetInt64(param.get(), 2, *complexID);
      APMPBSetArray(event.get(), 0, std::vector<std::shared_ptr<APMPBEventParam>>{param});
    }
    return event;
  }

  // The int64 parameter, nullopt when absent.
  static std::optional<int64_t> param(const std::shared_ptr<APMPBEvent>& event, const std::string& name) {
    for (const auto& p : APMPBGetArray<APMPBEventParam>(event.get(), 0).value_or(
             std::vector<std::shared_ptr<APMPBEventParam>>{})) {
      if (APMPBGetString(p.get(), 0) == name) return APMPBGetInt64(p.get(), 2);
    }
    return std::nullopt;
  }

  void storeAggregates(const std::string& name, int32_t lastBundledDay = 0) {
    auto aggregates = std::make_shared<APMEventAggregates>(name, 3, 1, 1, 1.0);
    aggregates->setLastBundledDay(lastBundledDay);
    os::Error error;
    ASSERT_TRUE(database_->updateEventAggregates(aggregates, &error)) << error.description();
  }
  std::shared_ptr<APMEventAggregates> stored(const std::string& name) {
    os::Error error;
    auto aggregates = database_->eventAggregatesWithName(name, &error);
    EXPECT_TRUE(aggregates) << name;
    return aggregates;
  }

  std::shared_ptr<apm_test::MeasurementServicesDouble> services_;
  std::shared_ptr<CodeSink> sink_ = std::make_shared<CodeSink>();
  std::shared_ptr<APMMonitor> monitor_;
  std::shared_ptr<APMDatabase> database_;
  std::shared_ptr<os::DispatchQueue> worker_ = os::DispatchQueue::serial("worker");
  os::TemporarySandbox sandbox_;
};

TEST_F(EventSamplingTest, EventsOutsideSamplingAreKeptUnmarked) {
  struct Case {
    const char* what;
    bool enabled;
    int32_t rate;
    int64_t invalidRateLines;  // 23154, level 5: one per sampled name's event
  } cases[] = {
      {"sampling disabled", false, 10, 0},
      {"rate of 1", true, 1, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    settings().setEventSamplingEnabled(c.enabled);
    settings().setSamplingRateForEvent("level_up", c.rate);
    auto sampler = scripted({});
    const int64_t before = monitored();
    auto events = std::vector{event("level_up", kMonday + 1000), event("level_up", kMonday + 2000), event("other", 5)};
    auto kept = sample(sampler, events, nullptr);
    ASSERT_TRUE(kept);
    EXPECT_EQ(*kept, events);
    for (const auto& e : *kept) EXPECT_EQ(param(e, "_sr"), std::nullopt);
    EXPECT_EQ(monitored() - before, c.invalidRateLines);
  }
}

TEST_F(EventSamplingTest, FirstLostRollOfADayIsKeptAndTheStateCarriesIntoTheNextBundle) {
  storeAggregates("level_up");
  auto exempt = event("level_up", kMonday + 1000, kMonday - kDay);  // lost, first of Monday
  auto dropped = event("level_up", kMonday + 2000, 0, 77);          // lost, same day
  auto won = event("level_up", kMonday + 3000);                     // won
  auto dropped2 = event("level_up", kMonday + 4000, 0, 78);         // lost, same day
  auto sampler = scripted({3, 9, 0, 5});
  auto kept = sample(sampler, {exempt, dropped, won, dropped2}, nullptr);
  ASSERT_TRUE(kept);
  EXPECT_EQ(*kept, (std::vector{exempt, won}));
  EXPECT_EQ(param(exempt, "_sr"), 10);
  EXPECT_EQ(param(exempt, "_efs"), 1);
  EXPECT_EQ(param(won, "_sr"), 10);
  EXPECT_EQ(param(won, "_efs"), std::nullopt);

  auto state = stored("level_up");
  ASSERT_TRUE(state);
  EXPECT_EQ(state->lastBundledDay(), kMondayNumber);
  EXPECT_EQ(state->lastBundledTimestamp(), (kMonday + 3000) / 1000.0);
  EXPECT_EQ(state->lastSamplingRate(), 10);
  EXPECT_TRUE(state->lastExemptFromSampling());
  EXPECT_EQ(state->lastSampledComplexEventID(), 78);
  EXPECT_EQ(state->lifetimeCount(), 3);  // counts untouched

  // The next bundle knows Monday was bundled: a lost roll that day drops,
  // the first lost roll of Tuesday is kept.
  auto laterMonday = event("level_up", kMonday + 5000);
  auto tuesday = event("level_up", kMonday + kDay + 1000);
  auto next = sample(scripted({1, 1}), {laterMonday, tuesday}, nullptr);
  ASSERT_TRUE(next);
  EXPECT_EQ(*next, std::vector{tuesday});
  EXPECT_EQ(param(tuesday, "_efs"), 1);
  EXPECT_EQ(stored("level_up")->lastBundledDay(), kMondayNumber + 1);
}

TEST_F(EventSamplingTest, TheDayComesFromThePreviousTimestampOrTheAccountOffset) {
  struct Case {
    const char* what;
    int32_t offsetMinutes;
    int32_t storedDay;       // 0: never bundled
    int64_t previousMillis;  // 0: none
    bool kept;               // after a lost roll
  } cases[] = {
      {"never bundled, previous occurrence the same day", 0, 0, kMonday + 10 * 3'600'000LL, false},
      {"never bundled, previous occurrence the day before", 0, 0, kMonday - 1000, true},
      // 10:00 UTC Monday is 19:00 Sunday at -15 hours.
      {"offset 0: Monday differs from Sunday", 0, kMondayNumber - 1, 0, true},
      {"offset -900 minutes: still Sunday", -900, kMondayNumber - 1, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    settings().setAnalyticsAccountTimeZoneOffsetMinutes(c.offsetMinutes);
    storeAggregates("level_up", c.storedDay);
    auto e = event("level_up", kMonday + 10 * 3'600'000LL + 1000, c.previousMillis);
    auto kept = sample(scripted({4}), {e}, nullptr);
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->size(), c.kept ? 1u : 0u);
  }
}

TEST_F(EventSamplingTest, EventsWithoutANameAreDropped) {
  auto nameless = APMPBEvent::initWithMessageInfo(nullptr);
  const int64_t before = monitored();
  auto kept = sample(scripted({}), {nameless, event("other", 1000)}, nullptr);
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->size(), 1u);
  EXPECT_EQ(monitored() - before, 1);  // 23155, level 2
}

TEST_F(EventSamplingTest, AStoreFailureAnswersNothing) {
  storeAggregates("level_up");
  {
    SCOPED_TRACE("read fails");
    os::Error dropError;
    ASSERT_TRUE(database_->sqliteStore()->executeSQL("ALTER TABLE events RENAME TO gone", &dropError));
    os::Error error;
    EXPECT_FALSE(sample(scripted({}), {event("other", 1000)}, &error));
    EXPECT_FALSE(error.domain().empty());
    monitor_->TEST_flush();
    EXPECT_TRUE(sink_->saw(kAPMSamplingCodeCacheQueryFailed));
    ASSERT_TRUE(database_->sqliteStore()->executeSQL("ALTER TABLE gone RENAME TO events", &dropError));
  }
  {
    SCOPED_TRACE("write fails");
    database_.reset();
    apm_test::SqliteFaultVFS vfs;
    auto config = APMPersistedConfig::initWithSuiteName(kAPMPersistedConfigSuiteName);
    os::Error error;
    database_ = APMDatabase::initWithDatabaseName(kAPMDatabaseName, config, &error);
    ASSERT_TRUE(database_);
    vfs.failNthWriteOrSync(1, -1);
    EXPECT_FALSE(sample(scripted({}), {event("other", 1000)}, &error));
    vfs.disarm();
    EXPECT_FALSE(error.domain().empty());
    monitor_->TEST_flush();
    EXPECT_TRUE(sink_->saw(kAPMSamplingCodeAggregatesUpdateFailed));
    database_.reset();
  }
}

TEST_F(EventSamplingTest, ASeededSourceKeepsAboutOneInRate) {
  settings().setEventSamplingEnabled(true);
  storeAggregates("level_up", kMondayNumber);  // Monday already bundled: no exemption
  std::mt19937 generator(45);
  APMEventSampler sampler(worker_, database_, [&](uint32_t upper) {
    return std::uniform_int_distribution<uint32_t>(0, upper - 1)(generator);
  });
  std::vector<std::shared_ptr<APMPBEvent>> events;
  for (int i = 0; i < 2000; ++i) events.push_back(event("level_up", kMonday + i));
  auto kept = sample(sampler, events, nullptr);
  ASSERT_TRUE(kept);
  EXPECT_GT(kept->size(), 150u);
  EXPECT_LT(kept->size(), 250u);
  EXPECT_TRUE(sampler.isEventBundledAfterRoll(1));
}

}  // namespace
