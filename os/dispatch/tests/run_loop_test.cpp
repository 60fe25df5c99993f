#include "os/dispatch/run_loop.h"

#include <gtest/gtest.h>

#include <vector>

#include "os/dispatch/manual_clock.h"

namespace os {
namespace {

class RunLoopTest : public ::testing::Test {
 protected:
  void TearDown() override { RunLoop::main().runUntilIdle(); }
  double elapsed() const { return double(Clock::current().uptimeNanos() - t0_) / 1e9; }
  ManualClockScope clock_;
  int64_t t0_ = Clock::current().uptimeNanos();
};

TEST_F(RunLoopTest, TimersFireOnTheMainThreadAsTimeAdvances) {
  std::vector<std::string> log;
  auto once = Timer::scheduledTimer(2.0, false, [&](Timer&) { log.push_back("once@" + std::to_string(elapsed())); });
  int ticks = 0;
  auto repeating = Timer::scheduledTimer(1.0, true, [&](Timer& t) {
    EXPECT_TRUE(DispatchQueue::isMainThread());
    if (++ticks == 3) t.invalidate();  // invalidating from inside the callback
  });
  clock_->advance(1.5);
  EXPECT_EQ(ticks, 1);
  EXPECT_TRUE(log.empty());
  clock_->advance(10);
  EXPECT_EQ(ticks, 3);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0], "once@" + std::to_string(2.0));
  EXPECT_FALSE(once->isValid());
  EXPECT_FALSE(repeating->isValid());
}

TEST_F(RunLoopTest, DefaultModeTimerWaitsOutATrackingPassCommonModeDoesNot) {
  int defaultFired = 0, commonFired = 0;
  auto d = Timer::create(1.0, false, [&](Timer&) { defaultFired++; });
  auto c = Timer::create(1.0, false, [&](Timer&) { commonFired++; });
  RunLoop::main().addTimer(d, kDefaultRunLoopMode);
  RunLoop::main().addTimer(c, kRunLoopCommonModes);
  // Fire the deadlines from another thread, so nothing pumps the loop yet.
  std::thread([&] { clock_->advance(1.0); }).join();
  while (RunLoop::main().runOnce(kTrackingRunLoopMode)) {
  }
  EXPECT_EQ(commonFired, 1);
  EXPECT_EQ(defaultFired, 0);
  RunLoop::main().runOnce(kDefaultRunLoopMode);
  EXPECT_EQ(defaultFired, 1);
}

TEST_F(RunLoopTest, DisplayLinkTicksSixtyTimesPerSecondOfClockTime) {
  int ticks = 0;
  double lastTimestamp = 0, lastTarget = 0;
  auto link = DisplayLink::create([&](DisplayLink& l) {
    ++ticks;
    EXPECT_GT(l.timestamp(), lastTimestamp);
    lastTimestamp = l.timestamp();
    lastTarget = l.targetTimestamp();
  });
  link->addToRunLoop(RunLoop::main());
  clock_->advance(1.0);
  EXPECT_EQ(ticks, 60);
  EXPECT_NEAR(lastTarget - lastTimestamp, 1.0 / 60, 1e-6);
  link->setPaused(true);
  clock_->advance(1.0);
  EXPECT_EQ(ticks, 60);
  link->setPaused(false);
  clock_->advance(0.5);
  EXPECT_EQ(ticks, 90);
  link->invalidate();
  clock_->advance(1.0);
  EXPECT_EQ(ticks, 90);
}

TEST_F(RunLoopTest, PerformAndPerformAfterDelayAndRunUntil) {
  std::vector<int> order;
  RunLoop::main().perform([&] { order.push_back(1); });
  auto cancelled = RunLoop::main().performAfterDelay(1.0, [&] { order.push_back(99); });
  RunLoop::main().performAfterDelay(2.0, [&] { order.push_back(3); });
  DispatchQueue::main()->async([&] { order.push_back(2); });
  cancelled->invalidate();
  // Under a manual clock runUntil advances virtual time to its deadline.
  RunLoop::main().runUntil(DispatchTime::fromNow(5));
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_DOUBLE_EQ(elapsed(), 5.0);
}

TEST(RunLoopRealClockTest, RunStopsWhenAskedFromAnotherThread) {
  std::thread other([] {
    DispatchQueue::main()->async([] { RunLoop::main().stop(); });
  });
  RunLoop::main().run();
  other.join();
  SUCCEED();
}

}  // namespace
}  // namespace os
