#include "measurement/store/engine_services/scheduler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <stdexcept>
#include <string>
#include <vector>

#include "measurement/store/tests/test_support.h"
#include "os/dispatch/manual_clock.h"

namespace {

using apm_test::MonitoredTest;

class AlarmTest : public MonitoredTest {
 protected:
  std::vector<std::string> texts() {
    std::vector<std::string> out;
    for (const auto& line : lines()) out.push_back(std::to_string(line.code) + " " + line.message);
    return out;
  }

  os::ManualClockScope clock_;
  std::shared_ptr<os::DispatchQueue> queue_ = os::DispatchQueue::serial("alarm-test");
};

TEST_F(AlarmTest, ReArmingRunsOnlyTheLastBlockOnceAndAnEmptyNameIsTimer) {
  auto alarm = APMAlarm::initWithDispatchQueue(queue_, "");
  int first = 0, second = 0;
  alarm->runAfterDelay(10, [&] { ++first; });
  alarm->runAfterDelay(20, [&] { ++second; });
  EXPECT_EQ(alarm->scheduledTimestamp(), os::Date::now().addingTimeInterval(20));

  clock_->advance(10);
  EXPECT_EQ(first + second, 0);
  clock_->advance(10);
  EXPECT_EQ(first, 0);
  EXPECT_EQ(second, 1);
  EXPECT_FALSE(alarm->scheduledTimestamp());
  EXPECT_FALSE(alarm->hasActiveTimer());
  clock_->advance(60);
  EXPECT_EQ(second, 1);

  EXPECT_EQ(texts(), (std::vector<std::string>{
                         "2002 Timer scheduled to fire in approx. (s): 10",
                         "2003 Timer canceled",
                         "2002 Timer scheduled to fire in approx. (s): 20",
                         "2001 Timer fired",
                         "2003 Timer canceled",
                     }));
}

TEST_F(AlarmTest, ANegativeDelayFiresAtOnce) {
  auto alarm = APMAlarm::initWithDispatchQueue(queue_, "Measurement timer");
  std::atomic<int> ran = 0;
  alarm->runAfterDelay(-5, [&] { ++ran; });
  clock_->runDue();
  EXPECT_EQ(ran, 1);
  EXPECT_FALSE(alarm->scheduledTimestamp());
}

TEST_F(AlarmTest, RefusalsCancellationAndALostTimerAreLogged) {
  auto alarm = APMAlarm::initWithDispatchQueue(queue_, "SKAN conversion value fetch timer");
  alarm->cancel();  // never armed: silent
  EXPECT_TRUE(lines().empty());

  int ran = 0;
  alarm->runAfterDelay(5, [&] { ++ran; });
  const auto armed = alarm->scheduledTimestamp();
  alarm->runAfterDelay(1, nullptr);  // refused; the arming stays
  EXPECT_EQ(alarm->scheduledTimestamp(), armed);
  alarm->cancel();
  alarm->cancel();  // already disarmed: silent
  clock_->advance(10);
  EXPECT_EQ(ran, 0);

  alarm->runAfterDelay(5, [&] { ++ran; });
  alarm->TEST_timer()->cancel();  // the timer went away behind the alarm's back
  alarm->cancel();
  EXPECT_FALSE(alarm->scheduledTimestamp());

  EXPECT_EQ(codes(), (std::vector<int64_t>{2002, 2000, 2003, 2002, 2003, 2004}));
  const auto all = texts();
  EXPECT_EQ(all[1], "2000 SKAN conversion value fetch timer tried to schedule an empty block");
  EXPECT_EQ(all[5], "2004 SKAN conversion value fetch timer is not active");
}

// A block that throws must not end the process: it is logged under its ID
// (an alarm's under its name) and the next block on the queue still runs.
TEST_F(AlarmTest, ThrowingBlocksAreLoggedAndTheQueueGoesOn) {
  APMScheduler scheduler(kAPMWorkerQueueLabel);
  EXPECT_EQ(scheduler.workerQueue()->label(), "com.devuvo.ruri.worker");
  struct Case {
    const char* id;
    std::function<void()> thrower;
    const char* context;
  };
  const Case cases[] = {
      {"APMTest:1", [] { throw os::Exception("com.vivuzuvu.core", "bad state"); }, "com.vivuzuvu.core: bad state"},
      {"APMTest:2", [] { throw std::runtime_error("boom"); }, "std::runtime_error: boom"},
      {"APMTest:3", [] { throw 42; }, "int: "},
  };
  std::vector<std::string> ran;
  for (const auto& c : cases) {
    scheduler.scheduleOnWorkerQueueBlockID(c.id, c.thrower);
    scheduler.scheduleOnWorkerQueueBlockID("APMTest:next", [&ran, id = c.id] { ran.push_back(id); });
  }
  auto alarm = APMAlarm::initWithDispatchQueue(scheduler.workerQueue(), "Engagement timer");
  alarm->runAfterDelay(1, [] { throw std::logic_error("late"); });
  clock_->advance(1);
  scheduler.dispatchSyncOnWorkerQueueBlockID("APMTest:after", [&ran] { ran.push_back("after"); });
  EXPECT_EQ(ran, (std::vector<std::string>{"APMTest:1", "APMTest:2", "APMTest:3", "after"}));

  std::vector<std::string> thrown;
  for (const auto& line : lines())
    if (line.code == 30000) thrown.push_back(line.message);
  ASSERT_EQ(thrown.size(), 4u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(thrown[i], std::string("Exception on worker queue. Block ID=") + cases[i].id + ". Exception: " +
                             cases[i].context);
  }
  EXPECT_EQ(thrown[3], "Exception on worker queue. Block ID=Engagement timer. Exception: std::logic_error: late");
}

TEST_F(AlarmTest, SynchronousBlocksAndEmptyBlocks) {
  APMScheduler scheduler("sync-test");
  bool ran = false;
  scheduler.dispatchSyncOnWorkerQueueBlockID("APMTest:sync", [&] { ran = true; });
  EXPECT_TRUE(ran);
  EXPECT_TRUE(lines().empty());

  scheduler.dispatchSyncOnWorkerQueueBlockID("APMTest:throws", [] { throw std::runtime_error("sync"); });
  scheduler.dispatchSyncOnWorkerQueueBlockID("APMTest:nil", nullptr);
  scheduler.scheduleOnWorkerQueueBlockID("APMTest:nilAsync", nullptr);
  const auto all = lines();
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[0].code, 30003);
  EXPECT_EQ(all[0].message,
            "Exception on worker queue when processing sync block. Block ID=APMTest:throws. Exception: "
            "std::runtime_error: sync");
  EXPECT_EQ(all[1].code, 30004);
  EXPECT_EQ(all[1].level, 4);
  EXPECT_EQ(all[1].message, "Synchronous task failed. Block ID=APMTest:throws");
  EXPECT_EQ(all[2].message, "Nil block dispatched synchronously on worker queue. Block ID=APMTest:nil.");
  EXPECT_EQ(all[3].code, 30005);
  EXPECT_EQ(all[3].message, "Nil block dispatched asynchronously on worker queue. Block ID=APMTest:nilAsync.");
}

TEST_F(AlarmTest, TheBackgroundCheckComplainsOnlyOnTheMainThread) {
  ASSERT_TRUE(os::DispatchQueue::isMainThread());
  EXPECT_FALSE(APMScheduler::checkOnBackgroundThreadWithMethodName("uploadData"));
  EXPECT_FALSE(APMScheduler::checkOnBackgroundThreadWithMethodName(""));
  APMScheduler scheduler(kAPMWorkerQueueLabel);
  std::promise<bool> answer;
  scheduler.scheduleOnWorkerQueueBlockID(
      "APMTest:bg", [&] { answer.set_value(APMScheduler::checkOnBackgroundThreadWithMethodName("updateSchedule")); });
  EXPECT_TRUE(answer.get_future().get());

  const auto all = lines();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].code, 30001);
  EXPECT_EQ(all[0].level, 1);
  EXPECT_EQ(all[0].message, "Method uploadData should execute on background thread");
  EXPECT_EQ(all[1].message, "Method <empty method name> should execute on background thread");
}

}  // namespace
