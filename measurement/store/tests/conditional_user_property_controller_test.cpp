#include "measurement/store/conditional_user_property_controller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "measurement/store/database.h"
#include "measurement/store/engine_services/data_type_validator.h"
#include "measurement/store/engine_services/debug_description.h"
#include "measurement/store/engine_services/scheduler.h"
#include "measurement/store/tests/database_test_support.h"
#include "os/dispatch/queue.h"

namespace {

using apm_test::DatabaseTest;
using Written = std::vector<apm_test::MeasurementServicesDouble::WrittenEvent>;

constexpr double kNow = 1'000'000;

class APMConditionalUserPropertyControllerTest : public DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    clock_->setWallTime(kNow);
    scheduler_ = std::make_shared<APMScheduler>(kAPMWorkerQueueLabel);
    services_->setScheduler(scheduler_);
    services_->setDatabase(database_);
  }
  void TearDown() override {
    drain();
    services_->setDatabase(nullptr);
    DatabaseTest::TearDown();
  }

  // Returns once everything queued on the worker queue so far has run.
  void drain() { scheduler_->dispatchSyncOnWorkerQueueBlockID("test", [] {}); }
  template <class F>
  auto onWorker(F f) {
    decltype(f()) result;
    scheduler_->dispatchSyncOnWorkerQueueBlockID("test", [&] { result = f(); });
    return result;
  }

  static std::shared_ptr<APMConditionalUserProperty> property(std::string trigger = "", double timeout = 60,
                                                              double timeToLive = 3600) {
    auto property = std::make_shared<APMConditionalUserProperty>();
    property->setOrigin("vcm");
    property->setValue(*APMValue::initWithString("gold"));
    property->setTriggerEventName(std::move(trigger));
    property->setTriggerTimeout(timeout);
    property->setTimeToLive(timeToLive);
    property->setTriggeredEvent(event("_promoted", 0, {{"tier", *APMValue::initWithString("gold")}}));
    property->setTimedOutEvent(event("_missed", 0));
    property->setExpiredEvent(event("_lapsed", 0));
    return property;
  }
  void set(const std::shared_ptr<APMConditionalUserProperty>& p, std::string_view name = "tier") {
    controller_->setConditionalUserProperty(p, name);
    drain();
  }
  std::optional<APMEvents> process(std::string name) {
    return onWorker([&] { return controller_->processEventOnWorkerQueue(event(name, kNow)); });
  }
  static std::vector<std::string> names(const Written& written) {
    std::vector<std::string> result;
    for (const auto& w : written) result.push_back(w.event->name() + (w.filtered ? " (filtered)" : ""));
    return result;
  }
  std::shared_ptr<APMUserAttribute> attribute() { return database_->userAttributeWithName("tier", nullptr); }

  std::shared_ptr<APMScheduler> scheduler_;
  std::shared_ptr<APMConditionalUserPropertyController> controller_ =
      std::make_shared<APMConditionalUserPropertyController>();
};

TEST_F(APMConditionalUserPropertyControllerTest, IntervalsOutsideTheLimitsAreRefused) {
  // Refusals are logged at a level that is never printed (11000, 11001).
  struct Case {
    double timeout;
    double timeToLive;
    int64_t code;  // 0: accepted
  };
  for (const Case& c : std::vector<Case>{{0, 60, kAPMCUPCodeInvalidTriggerTimeout},
                                         {15'552'001, 60, kAPMCUPCodeInvalidTriggerTimeout},
                                         {15'552'000, 60, 0},
                                         {60, 0.0005, kAPMCUPCodeInvalidTimeToLive},
                                         {0.001, 15'552'000, 0}}) {
    SCOPED_TRACE(testing::Message() << c.timeout << " " << c.timeToLive);
    ASSERT_TRUE(database_->deleteConditionalUserPropertyWithName("tier", nullptr));
    set(property("level_up", c.timeout, c.timeToLive));
    EXPECT_EQ(database_->conditionalUserPropertyWithName("tier", nullptr) != nullptr, c.code == 0);
  }
  auto badName = property();
  set(badName, "1 bad name");
  EXPECT_EQ(rowCount(kAPMConditionalPropertiesTableName), 1);  // only the last accepted
}

TEST_F(APMConditionalUserPropertyControllerTest, WithoutATriggerItIsActiveAtOnce) {
  set(property());
  auto stored = database_->conditionalUserPropertyWithName("tier", nullptr);
  ASSERT_TRUE(stored);
  EXPECT_TRUE(stored->active());
  EXPECT_EQ(stored->creationTimestamp(), kNow);
  EXPECT_EQ(stored->triggeredTimestamp(), kNow);
  ASSERT_TRUE(attribute());
  EXPECT_EQ(attribute()->lastSetTimestamp(), kNow);
  EXPECT_EQ(attribute()->origin(), "vcm");
  const Written written = services_->takeWrittenEvents();
  ASSERT_EQ(names(written), std::vector<std::string>{"_promoted"});
  EXPECT_EQ(written[0].event->origin(), "vcm");
  EXPECT_EQ(written[0].event->timestamp(), kNow);
  EXPECT_EQ(written[0].event->parameters().at("tier"), *APMValue::initWithString("gold"));

  // Set again while active: the stored activation stays, no new event.
  clock_->advance(100);
  auto again = property();
  again->setValue(*APMValue::initWithString("silver"));
  set(again);
  stored = database_->conditionalUserPropertyWithName("tier", nullptr);
  EXPECT_TRUE(stored->active());
  EXPECT_EQ(stored->creationTimestamp(), kNow);
  EXPECT_EQ(stored->value(), *APMValue::initWithString("silver"));
  EXPECT_TRUE(services_->takeWrittenEvents().empty());
}

TEST_F(APMConditionalUserPropertyControllerTest, TriggerTimeOutAndExpiry) {
  set(property("level_up", 60, 100));
  EXPECT_FALSE(attribute());
  EXPECT_TRUE(services_->takeWrittenEvents().empty());

  // Triggered within its timeout.
  clock_->advance(59);
  auto triggered = process("level_up");
  ASSERT_TRUE(triggered);
  ASSERT_EQ(triggered->size(), 1u);
  EXPECT_EQ((*triggered)[0]->name(), "_promoted");
  EXPECT_EQ((*triggered)[0]->timestamp(), kNow + 59);
  ASSERT_TRUE(attribute());
  EXPECT_EQ(attribute()->lastSetTimestamp(), kNow + 59);

  // Expired after its time to live, at the next event.
  clock_->advance(101);
  EXPECT_EQ(process("other"), APMEvents{});
  EXPECT_FALSE(attribute());
  EXPECT_FALSE(database_->conditionalUserPropertyWithName("tier", nullptr));
  EXPECT_EQ(names(services_->takeWrittenEvents()), std::vector<std::string>{"_lapsed (filtered)"});

  // A late trigger event times the property out first and never triggers it.
  set(property("level_up", 60, 100));
  clock_->advance(61);
  EXPECT_EQ(process("level_up"), APMEvents{});
  EXPECT_FALSE(attribute());
  EXPECT_FALSE(database_->conditionalUserPropertyWithName("tier", nullptr));
  EXPECT_EQ(names(services_->takeWrittenEvents()), std::vector<std::string>{"_missed (filtered)"});
}

TEST_F(APMConditionalUserPropertyControllerTest, AnAdImpressionTriggersAdImpressionProperties) {
  set(property("_ai"));
  auto triggered = process("ad_impression");
  ASSERT_TRUE(triggered);
  EXPECT_EQ(triggered->size(), 1u);
  EXPECT_TRUE(database_->conditionalUserPropertyWithName("tier", nullptr)->active());
}

TEST_F(APMConditionalUserPropertyControllerTest, ClearingAndSettingWithoutAValueRemove) {
  // Unknown name: logged, nothing written.
  controller_->clearConditionalUserPropertyWithClearEvent(event("_cleared", 0), "tier");
  drain();
  EXPECT_EQ(std::ranges::count(codes(), kAPMCUPCodeRemoveNonexistent), 1);
  EXPECT_TRUE(services_->takeWrittenEvents().empty());

  set(property());
  services_->takeWrittenEvents();
  clock_->advance(5);
  controller_->clearConditionalUserPropertyWithClearEvent(event("_cleared", 0), "tier");
  drain();
  EXPECT_FALSE(attribute());
  EXPECT_FALSE(database_->conditionalUserPropertyWithName("tier", nullptr));
  Written written = services_->takeWrittenEvents();
  ASSERT_EQ(names(written), std::vector<std::string>{"_cleared"});
  EXPECT_EQ(written[0].event->origin(), "vcm");
  EXPECT_EQ(written[0].event->timestamp(), kNow + 5);

  set(property());
  services_->takeWrittenEvents();
  auto noValue = property();
  noValue->setValue(std::nullopt);
  set(noValue);
  EXPECT_FALSE(attribute());
  EXPECT_FALSE(database_->conditionalUserPropertyWithName("tier", nullptr));
  EXPECT_EQ(names(services_->takeWrittenEvents()), std::vector<std::string>{"_lapsed"});
}

// The set wrote the user attribute, then committed even when the property's
// own row could not be inserted: an attribute with no row to expire it, and
// its triggered event logged. A full table refuses the row now, and nothing
// remains.
TEST_F(APMConditionalUserPropertyControllerTest, AFailedRowInsertLeavesNeitherAttributeNorEvent) {
  execOnFile(
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1000) "
      "INSERT INTO conditional_properties (name, origin, value, creation_timestamp, active, trigger_timeout, "
      "triggered_timestamp, time_to_live) SELECT 'p' || i, 'app', 'v', 0, 0, 1, 0, 1 FROM n");
  set(property());
  EXPECT_EQ(std::ranges::count(codes(), kAPMCUPCodeInsertFailed), 1);
  EXPECT_FALSE(attribute());
  EXPECT_TRUE(services_->takeWrittenEvents().empty());
}

// One row whose stored event did not decode failed every time-out and expiry
// pass, so every event's transaction rolled back, and the row could not be
// cleared (clearing reads it first). It is now dropped alone, logged.
TEST_F(APMConditionalUserPropertyControllerTest, AnUndecodableRowIsDroppedAndTheOthersStillWork) {
  set(property("level_up", 60, 100));
  // Timed out now, and active within its time to live: the time-out pass
  // and the clearing meet one each.
  execOnFile(
      "INSERT INTO conditional_properties (name, origin, value, creation_timestamp, active, trigger_timeout, "
      "triggered_timestamp, time_to_live, timed_out_event, expired_event) VALUES "
      "('stale', 'app', 'v', 0, 0, 1, 0, 1, X'ffffff', NULL), "
      "('live', 'app', 'v', 1000000, 1, 1, 1000000, 3600, NULL, X'ffffff')");
  const auto rows = [&] {
    return database_->sqliteStore()->rowCountForTableWithName("conditional_properties", nullptr)->int64Value();
  };

  clock_->advance(10);
  const auto triggered = process("level_up");
  ASSERT_TRUE(triggered);
  ASSERT_EQ(triggered->size(), 1u);
  EXPECT_EQ((*triggered)[0]->name(), "_promoted");
  EXPECT_EQ(std::ranges::count(codes(), kAPMDatabaseCodeConditionalRowDropped), 1);
  EXPECT_EQ(rows(), 2);

  controller_->clearConditionalUserPropertyWithClearEvent(event("_cleared", 0), "live");
  drain();
  EXPECT_EQ(std::ranges::count(codes(), kAPMDatabaseCodeConditionalRowDropped), 2);
  EXPECT_EQ(rows(), 1);
  EXPECT_TRUE(database_->conditionalUserPropertyWithName("tier", nullptr)->active());
}

TEST_F(APMConditionalUserPropertyControllerTest, ListingWaitsForTheWorkerQueue) {
  set(property("a"), "tier");
  set(property("b"), "_tier");
  auto listed = controller_->conditionalUserPropertiesWithNamePrefix(APMObject("_t"), APMObject());
  ASSERT_TRUE(listed);
  ASSERT_EQ(listed->size(), 1u);
  EXPECT_EQ((*listed)[0]->name(), "_tier");
  EXPECT_EQ(controller_->conditionalUserPropertiesWithNamePrefix(APMObject(), APMObject("vcm"))->size(), 2u);

  EXPECT_FALSE(controller_->conditionalUserPropertiesWithNamePrefix(APMObject(os::Value(3)), APMObject()));
  EXPECT_FALSE(controller_->conditionalUserPropertiesWithNamePrefix(APMObject(), APMObject(os::Value(3))));
  services_->setEnabled(false);
  EXPECT_FALSE(controller_->conditionalUserPropertiesWithNamePrefix(APMObject(), APMObject()));
  EXPECT_EQ(std::ranges::count(codes(), kAPMCUPCodeListDisabled), 1);
  services_->setEnabled(true);

  // A worker queue that does not answer: the wait ends after 30 s of clock
  // time, with no answer. The block holds its semaphores itself: it runs on
  // after this test body has returned.
  auto release = os::DispatchSemaphore::create(0);
  auto blocked = os::DispatchSemaphore::create(0);
  scheduler_->scheduleOnWorkerQueueBlockID("test", [release, blocked] {
    blocked->signal();
    release->wait();
  });
  blocked->wait();
  std::optional<APMConditionalUserProperties> answer = APMConditionalUserProperties{};
  std::thread caller([&] { answer = controller_->conditionalUserPropertiesWithNamePrefix(APMObject(), APMObject()); });
  EXPECT_TRUE(os::dispatch::waitForDeadlineWaiters(1));
  clock_->advance(kAPMCUPListTimeout);
  caller.join();
  EXPECT_FALSE(answer);
  release->signal();
}

using APMConditionalUserPropertyChecksTest = apm_test::MonitoredTest;

TEST_F(APMConditionalUserPropertyChecksTest, PrefixesLengthsAndNames) {
  EXPECT_TRUE(APMDataTypeValidator::hasReservedPrefixes("dv_x"));
  EXPECT_TRUE(APMDataTypeValidator::hasReservedPrefixes("devuvo_x"));
  EXPECT_TRUE(APMDataTypeValidator::hasReservedPrefixes("vivuzuvu_x"));
  EXPECT_FALSE(APMDataTypeValidator::hasReservedPrefixes("DV_x"));
  EXPECT_FALSE(APMDataTypeValidator::hasReservedPrefixes("x_dv_"));
  EXPECT_TRUE(APMDataTypeValidator::isValidConditionalUserPropertyOrigin(std::string(32, 'o'), nullptr));
  EXPECT_FALSE(APMDataTypeValidator::isValidConditionalUserPropertyOrigin(std::string(33, 'o'), nullptr));
  int64_t failure = 0;
  EXPECT_FALSE(APMDataTypeValidator::isValidConditionalUserPropertyName(std::string(25, 'n'), &failure));
  EXPECT_EQ(failure, 2);
  EXPECT_FALSE(APMDataTypeValidator::isValidConditionalUserPropertyValue(*APMValue::initWithString(""), &failure));
  EXPECT_EQ(failure, 1);
  EXPECT_TRUE(APMDataTypeValidator::isValidConditionalUserPropertyValue(APMValue::initWithInt64(7), nullptr));
  EXPECT_EQ(APMUserPropertyNameDebugDescription("_exp_12"), "experiment_id (_exp_12)");
  EXPECT_EQ(APMEventNameDebugDescription("_vs"), "_vs");  // debug mode off
}

}  // namespace
