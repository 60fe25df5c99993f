#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "os/dispatch/manual_clock.h"
#include "os/dispatch/source.h"

namespace os {
namespace {

class TimerSourceTest : public ::testing::Test {
 protected:
  void TearDown() override { ASSERT_TRUE(dispatch::drainUntilIdle()); }
  double elapsed() const { return double(Clock::current().uptimeNanos() - t0_) / 1e9; }
  ManualClockScope clock_;
  int64_t t0_ = Clock::current().uptimeNanos();
};

TEST_F(TimerSourceTest, FiresFirstAtHalfASecondThenEveryThirtySeconds) {
  auto q = DispatchQueue::serial("com.test.coordinator");
  auto timer = DispatchSourceTimer::create(q);
  std::vector<double> firedAt;  // touched on q only
  timer->setTimer(DispatchTime::fromNowNanos(500'000'000), 30 * kNanosPerSecond, 5 * kNanosPerSecond);
  timer->setEventHandler([&] { firedAt.push_back(elapsed()); });
  clock_->advance(10);
  EXPECT_TRUE(firedAt.empty());  // still suspended: a new source starts suspended
  timer->resume();
  // The 0.5 s deadline passed while suspended: one merged delivery on resume.
  ASSERT_TRUE(dispatch::drainUntilIdle());
  ASSERT_EQ(firedAt.size(), 1u);
  firedAt.clear();

  clock_->advance(20.4);  // t = 30.4
  EXPECT_TRUE(firedAt.empty());
  clock_->advance(60.2);  // t = 90.6: deadlines 30.5, 60.5, 90.5
  EXPECT_EQ(firedAt, (std::vector<double>{30.5, 60.5, 90.5}));

  std::atomic<bool> cancelled{false};
  timer->setCancelHandler([&] { cancelled = true; });
  timer->cancel();
  ASSERT_TRUE(dispatch::drainUntilIdle());
  EXPECT_TRUE(cancelled);
  clock_->advance(120);
  EXPECT_EQ(firedAt.size(), 3u);
}

TEST_F(TimerSourceTest, OneShotAndRearmReplacesEarlierArming) {
  auto timer = DispatchSourceTimer::create(DispatchQueue::serial("com.test.alarm"));
  std::atomic<int> fired{0};
  timer->setEventHandler([&] { fired++; });
  timer->setTimer(DispatchTime::fromNow(10));
  timer->resume();
  clock_->advance(5);
  timer->setTimer(DispatchTime::fromNow(10));  // re-armed at t=5: now due at 15
  clock_->advance(6);
  EXPECT_EQ(fired.load(), 0);
  clock_->advance(4);
  EXPECT_EQ(fired.load(), 1);
  EXPECT_TRUE(timer->nextFireTime().isForever());
  clock_->advance(100);
  EXPECT_EQ(fired.load(), 1);
  timer->cancel();
}

TEST_F(TimerSourceTest, FractionalAdvancesReachFractionalDeadlines) {
  // Truncating seconds to nanoseconds left advance(0.05) one nanosecond short.
  std::atomic<int> fired{0};
  auto q = DispatchQueue::serial("com.test.fraction");
  for (double step : {0.05, 0.1, 0.3, 1.7}) {
    q->after(DispatchTime::fromNow(step), [&] { fired++; });
    clock_->advance(step);
  }
  EXPECT_EQ(fired.load(), 4);
}

TEST_F(TimerSourceTest, ZeroDelayFiresWithoutAdvancingAndWallStartFollowsJumps) {
  auto q = DispatchQueue::serial("com.test.zero");
  auto now = DispatchSourceTimer::create(q);
  auto wall = DispatchSourceTimer::create(q);
  std::atomic<int> fired{0};
  now->setEventHandler([&] { fired += 1; });
  wall->setEventHandler([&] { fired += 10; });
  now->setTimer(DispatchTime::now());
  wall->setTimer(DispatchTime::wallNow().afterSeconds(86400));
  now->resume();
  wall->resume();
  clock_->runDue();
  EXPECT_EQ(fired.load(), 1);
  clock_->setWallTime(Clock::current().wallTime() + 86400);
  EXPECT_EQ(fired.load(), 11);
  now->cancel();
  wall->cancel();
}

TEST_F(TimerSourceTest, SuspendedSourceMergesFiringsAndCancelReleasesHandlers) {
  auto q = DispatchQueue::serial("com.test.merge");
  auto timer = DispatchSourceTimer::create(q);
  std::vector<uint64_t> data;
  auto owner = std::make_shared<int>(7);
  std::weak_ptr<int> watch = owner;
  timer->setEventHandler([&, owner] { data.push_back(timer->data()); });
  owner.reset();
  timer->setTimer(DispatchTime::fromNow(1), kNanosPerSecond);
  timer->resume();
  clock_->advance(1);
  timer->suspend();
  clock_->advance(3);
  timer->resume();
  ASSERT_TRUE(dispatch::drainUntilIdle());
  EXPECT_EQ(data, (std::vector<uint64_t>{1, 3}));
  EXPECT_FALSE(watch.expired());
  timer->cancel();
  ASSERT_TRUE(dispatch::drainUntilIdle());
  EXPECT_TRUE(watch.expired());  // handlers are dropped once cancelled
}

TEST(TimerSourceRealClockTest, FiresOnTheRealClock) {
  auto timer = DispatchSourceTimer::create(DispatchQueue::serial("com.test.real"));
  auto sem = DispatchSemaphore::create(0);
  std::atomic<int> fired{0};
  timer->setEventHandler([&] {
    if (++fired == 3) sem->signal();
  });
  timer->setTimer(DispatchTime::fromNowNanos(5 * kNanosPerMillisecond), 5 * kNanosPerMillisecond);
  timer->resume();
  EXPECT_EQ(sem->wait(DispatchTime::fromNow(10)), DispatchWaitResult::Success);
  timer->cancel();
}

// A process-wide timer is armed while classes load, before the program
// installs its virtual clock. Its deadlines were left in the real clock's
// uptime, days away from (or long before) the virtual clock's reading, so it
// fired at once or never.
TEST(TimerSourceClockSwitchTest, ATimerArmedBeforeAClockSwitchFiresByTheNewClock) {
  auto q = DispatchQueue::serial("com.test.switch");
  auto timer = DispatchSourceTimer::create(q);
  std::atomic<int> fired{0};
  timer->setEventHandler([&] { fired++; });
  timer->setTimer(DispatchTime::fromNow(5), 30 * kNanosPerSecond);
  timer->resume();

  // Far from the real uptime either way the host has been up.
  const int64_t realUptime = Clock::current().uptimeNanos();
  auto manual = std::make_shared<ManualClock>(1'700'000'000.0, realUptime + 10 * 86'400 * kNanosPerSecond);
  auto previous = Clock::setCurrent(manual);
  const DispatchTime due = timer->nextFireTime();
  EXPECT_GT(due.nanos(), manual->uptimeNanos() + 4 * kNanosPerSecond);
  EXPECT_LE(due.nanos(), manual->uptimeNanos() + 5 * kNanosPerSecond);

  manual->advance(4.9);
  EXPECT_EQ(fired.load(), 0);
  manual->advance(0.2);
  EXPECT_EQ(fired.load(), 1);
  manual->advance(29.8);
  EXPECT_EQ(fired.load(), 1);
  manual->advance(0.2);
  EXPECT_EQ(fired.load(), 2);  // the interval counts on the new clock too

  timer->cancel();
  Clock::setCurrent(previous);
  ASSERT_TRUE(dispatch::drainUntilIdle());
}

// Work outside dispatch (an answer on its way over a socket) holds virtual
// time: a deadline passed by an advance fires only after the work ended.
TEST_F(TimerSourceTest, AdvanceWaitsForOutsideWorkBeforeMovingTime) {
  std::atomic<bool> workDone{false};
  std::atomic<bool> doneBeforeTheDeadline{false};
  auto work = std::make_unique<dispatch::OutsideWork>();
  std::thread answer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // stands for the network's delay
    workDone = true;
    work.reset();
  });
  DispatchQueue::global()->after(DispatchTime::fromNow(1), [&] { doneBeforeTheDeadline = workDone.load(); });
  clock_->advance(2);
  answer.join();
  EXPECT_TRUE(doneBeforeTheDeadline.load());
}

}  // namespace
}  // namespace os
