// Real-clock stress: many producers against serial queues, groups, timers
// and a width-one operation queue. Bounded in count and in time.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "os/dispatch/operation.h"
#include "os/dispatch/source.h"

namespace os {
namespace {

TEST(DispatchStressTest, ManyProducersKeepPerQueueOrderAndExclusion) {
  constexpr int kProducers = 16;
  constexpr int kPerProducer = 2000;
  constexpr int kQueues = 4;
  std::vector<std::shared_ptr<DispatchQueue>> queues;
  for (int i = 0; i < kQueues; ++i) queues.push_back(DispatchQueue::serial("com.test.stress." + std::to_string(i)));
  // Per queue: last sequence number seen from each producer, and an
  // "inside" flag; both touched only on that queue, so exclusion is checked
  // by the atomic.
  std::vector<std::vector<int>> last(kQueues, std::vector<int>(kProducers, -1));
  std::vector<std::atomic<int>> inside(kQueues);
  std::atomic<int> faults{0};
  std::atomic<long> executed{0};
  auto group = DispatchGroup::create();
  auto opQueue = OperationQueue::create("com.test.stress.ops");
  opQueue->setMaxConcurrentOperationCount(1);
  std::atomic<int> opInside{0};
  std::atomic<int> opsRun{0};

  // The timer's handler runs on the first queue: it is excluded like a block.
  auto timer = DispatchSourceTimer::create(queues[0]);
  std::atomic<int> ticks{0};
  timer->setEventHandler([&] {
    if (inside[0].fetch_add(1) != 0) faults++;
    ticks++;
    inside[0].fetch_sub(1);
  });
  timer->setTimer(DispatchTime::now(), kNanosPerMillisecond);
  timer->resume();

  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int n = 0; n < kPerProducer; ++n) {
        int qi = (p + n) % kQueues;
        queues[qi]->async(group, [&, qi, p, n] {
          if (inside[qi].fetch_add(1) != 0) faults++;
          if (last[qi][p] >= n) faults++;
          last[qi][p] = n;
          executed++;
          inside[qi].fetch_sub(1);
        });
        if (n % 100 == 0) {
          opQueue->addOperationWithBlock([&] {
            if (opInside.fetch_add(1) != 0) faults++;
            opsRun++;
            opInside.fetch_sub(1);
          });
          queues[(qi + 1) % kQueues]->sync([] {});
        }
      }
    });
  }
  for (auto& t : producers) t.join();
  EXPECT_EQ(group->wait(DispatchTime::fromNow(60)), DispatchWaitResult::Success);
  opQueue->waitUntilAllOperationsAreFinished();
  timer->cancel();
  queues[0]->sync([] {});  // a tick queued before the cancel has run
  EXPECT_EQ(faults.load(), 0);
  EXPECT_EQ(executed.load(), long(kProducers) * kPerProducer);
  EXPECT_EQ(opsRun.load(), kProducers * (kPerProducer / 100));
  EXPECT_GT(ticks.load(), 0);
}

TEST(DispatchStressTest, GroupAndSemaphoreTimeoutsOnTheRealClock) {
  auto group = DispatchGroup::create();
  group->enter();
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(group->wait(DispatchTime::fromNowNanos(20 * kNanosPerMillisecond)), DispatchWaitResult::TimedOut);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(15));
  group->leave();
  auto sem = DispatchSemaphore::create(0);
  EXPECT_EQ(sem->wait(DispatchTime::fromNowNanos(5 * kNanosPerMillisecond)), DispatchWaitResult::TimedOut);
  DispatchQueue::global()->afterSeconds(0.005, [&] { sem->signal(); });
  EXPECT_EQ(sem->wait(DispatchTime::fromNow(10)), DispatchWaitResult::Success);
}

}  // namespace
}  // namespace os
