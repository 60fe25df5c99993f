#include "os/dispatch/queue.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <functional>
#include <thread>
#include <vector>

#include "os/dispatch/manual_clock.h"
#include "os/dispatch/run_loop.h"

// Counts heap allocations while `gCountAllocations` is set, on any thread.
namespace {
std::atomic<bool> gCountAllocations{false};
std::atomic<size_t> gAllocations{0};
}  // namespace

void* operator new(std::size_t size) {
  if (gCountAllocations.load(std::memory_order_relaxed)) gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (gCountAllocations.load(std::memory_order_relaxed)) gAllocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(size ? size : 1);
}
// The replacement news above take their memory from malloc.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace os {
namespace {

class QueueTest : public ::testing::Test {
 protected:
  void TearDown() override { ASSERT_TRUE(dispatch::drainUntilIdle()); }
  ManualClockScope clock_;
};

TEST_F(QueueTest, SerialQueueRunsBlocksInOrderOneAtATime) {
  auto q = DispatchQueue::serial("com.test.serial");
  std::vector<int> order;  // touched only on q
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  for (int i = 0; i < 500; ++i) {
    q->async([&, i] {
      if (inside.fetch_add(1) != 0) overlapped = true;
      order.push_back(i);
      inside.fetch_sub(1);
    });
  }
  q->sync([] {});
  ASSERT_EQ(order.size(), 500u);
  for (int i = 0; i < 500; ++i) EXPECT_EQ(order[i], i);
  EXPECT_FALSE(overlapped);
}

TEST_F(QueueTest, CurrentQueueLabelAndTargets) {
  auto outer = DispatchQueue::serial("com.test.outer");
  auto inner = DispatchQueue::create("com.test.inner", DispatchQueue::Attributes::Serial,
                                     QualityOfService::Utility, outer);
  std::string label;
  bool innerCurrent = false, outerCurrent = false, mainCurrent = true;
  inner->sync([&] {
    label = DispatchQueue::currentLabel();
    innerCurrent = inner->isCurrent();
    outerCurrent = outer->isCurrent();
    mainCurrent = DispatchQueue::main()->isCurrent();
  });
  EXPECT_EQ(label, "com.test.inner");
  EXPECT_TRUE(innerCurrent);
  EXPECT_TRUE(outerCurrent);  // running on a queue that targets it
  EXPECT_FALSE(mainCurrent);
  EXPECT_FALSE(inner->isCurrent());
  EXPECT_EQ(inner->label(), "com.test.inner");
  EXPECT_EQ(DispatchQueue::currentLabel(), kMainQueueLabel);  // the test runs on the main thread
}

// The slot another thread reads: the innermost queue's label while a block
// runs, the previous one (null on a worker) after it.
TEST_F(QueueTest, PublishedLabelSlotFollowsTheInnermostQueue) {
  auto read = [](int tid) -> std::string {
    uintptr_t slot = dispatch::queueLabelSlotAddress(tid);
    if (slot == 0) return "<no slot>";
    const char* label = *reinterpret_cast<const char* const*>(slot);
    return label ? label : "<null>";
  };
  const int mainTid = int(::gettid());
  EXPECT_EQ(read(mainTid), kMainQueueLabel);
  auto outer = DispatchQueue::serial("com.test.published.outer");
  auto inner = DispatchQueue::serial("com.test.published.inner");
  std::vector<std::string> seen;
  int workerTid = 0;
  auto done = DispatchSemaphore::create(0);
  outer->async([&] {
    workerTid = int(::gettid());
    seen.push_back(read(workerTid));
    inner->sync([&] { seen.push_back(read(workerTid)); });
    seen.push_back(read(workerTid));
    done->signal();
  });
  ASSERT_EQ(done->wait(DispatchTime::forever()), DispatchWaitResult::Success);
  EXPECT_EQ(seen, (std::vector<std::string>{"com.test.published.outer", "com.test.published.inner",
                                            "com.test.published.outer"}));
  inner->sync([&] { EXPECT_EQ(read(mainTid), "com.test.published.inner"); });
  EXPECT_EQ(read(mainTid), kMainQueueLabel);
  EXPECT_EQ(dispatch::queueLabelSlotAddress(0), 0u);
}

TEST_F(QueueTest, QueuesSharingASerialTargetNeverOverlap) {
  auto target = DispatchQueue::serial("com.test.target");
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  std::vector<std::shared_ptr<DispatchQueue>> qs;
  for (int i = 0; i < 4; ++i)
    qs.push_back(DispatchQueue::create("q" + std::to_string(i), DispatchQueue::Attributes::Concurrent,
                                       QualityOfService::Default, target));
  auto group = DispatchGroup::create();
  for (int n = 0; n < 200; ++n) {
    qs[n % 4]->async(group, [&] {
      if (inside.fetch_add(1) != 0) overlapped = true;
      std::this_thread::yield();
      inside.fetch_sub(1);
    });
  }
  EXPECT_EQ(group->wait(DispatchTime::forever()), DispatchWaitResult::Success);
  EXPECT_FALSE(overlapped);
}

TEST_F(QueueTest, SyncFromAnotherQueueReturnsValueWithoutDeadlock) {
  auto a = DispatchQueue::serial("com.test.a");
  auto b = DispatchQueue::serial("com.test.b");
  int result = a->sync([&] { return b->sync([] { return 41; }) + 1; });
  EXPECT_EQ(result, 42);
  // A busy serial queue: sync waits behind the queued blocks.
  std::vector<int> order;
  for (int i = 0; i < 10; ++i) a->async([&order, i] { order.push_back(i); });
  a->sync([&] { order.push_back(99); });
  ASSERT_EQ(order.size(), 11u);
  EXPECT_EQ(order.back(), 99);
}

TEST_F(QueueTest, SyncOntoTheCurrentSerialQueueAbortsInsteadOfHanging) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto q = DispatchQueue::serial("com.test.self");
  EXPECT_DEATH(q->sync([&] { q->sync([] {}); }), "would deadlock");
}

TEST_F(QueueTest, ManySyncCallersBlockedOnOneQueueDoNotStarveThePool) {
  // More blocked sync callers than the pool's active bound: the blocked
  // workers must not stop the queue they wait on from draining.
  auto gate = DispatchQueue::serial("com.test.gate");
  auto sem = DispatchSemaphore::create(0);
  gate->async([&] { sem->wait(); });
  auto group = DispatchGroup::create();
  std::atomic<int> done{0};
  size_t callers = dispatch::maxActiveWorkers() + 4;
  for (size_t i = 0; i < callers; ++i)
    DispatchQueue::global()->async(group, [&] { gate->sync([&] { done.fetch_add(1); }); });
  DispatchQueue::global()->async([&] { sem->signal(); });
  EXPECT_EQ(group->wait(), DispatchWaitResult::Success);
  EXPECT_EQ(done.load(), int(callers));
}

TEST_F(QueueTest, AfterFiresInDeadlineOrderOnlyWhenVirtualTimePasses) {
  auto q1 = DispatchQueue::serial("com.test.after1");
  auto q2 = DispatchQueue::serial("com.test.after2");
  std::mutex m;
  std::vector<std::pair<std::string, int64_t>> fired;
  auto record = [&](std::string what) {
    std::lock_guard<std::mutex> lock(m);
    fired.emplace_back(std::move(what), Clock::current().uptimeNanos());
  };
  int64_t t0 = Clock::current().uptimeNanos();
  q1->after(DispatchTime::fromNow(3.0), [&] { record("q1@3"); });
  q2->after(DispatchTime::fromNow(1.0), [&] { record("q2@1"); });
  q1->after(DispatchTime::fromNow(2.0), [&] { record("q1@2"); });
  q2->after(DispatchTime::forever(), [&] { record("never"); });

  clock_->advance(0.999);
  EXPECT_TRUE(fired.empty());
  clock_->advance(2.5);
  ASSERT_EQ(fired.size(), 3u);
  EXPECT_EQ(fired[0], std::make_pair(std::string("q2@1"), t0 + 1'000'000'000));
  EXPECT_EQ(fired[1], std::make_pair(std::string("q1@2"), t0 + 2'000'000'000));
  EXPECT_EQ(fired[2], std::make_pair(std::string("q1@3"), t0 + 3'000'000'000));
  EXPECT_EQ(Clock::current().uptimeNanos(), t0 + 3'499'000'000);
}

TEST_F(QueueTest, ACancelledWorkItemNeverRunsAndReleasesWhatItCaptured) {
  auto q = DispatchQueue::serial("com.test.workitem");
  std::atomic<int> ran{0};
  auto captured = std::make_shared<int>(0);
  auto kept = DispatchWorkItem::create([&ran] { ran++; });
  auto cancelled = DispatchWorkItem::create([&ran, captured] { ran += 100; });
  q->after(DispatchTime::fromNow(1.0), kept);
  q->after(DispatchTime::fromNow(1.0), cancelled);
  clock_->advance(0.5);
  cancelled->cancel();
  EXPECT_TRUE(cancelled->isCancelled());
  EXPECT_EQ(captured.use_count(), 1);
  clock_->advance(0.5);
  EXPECT_EQ(ran.load(), 1);
  EXPECT_FALSE(kept->isCancelled());
  cancelled->perform();
  EXPECT_EQ(ran.load(), 1);
}

TEST_F(QueueTest, WallDeadlineFollowsAWallClockJump) {
  auto q = DispatchQueue::serial("com.test.wall");
  std::atomic<int> fired{0};
  double wall = Clock::current().wallTime();
  q->after(DispatchTime::wall(wall + 3600), [&] { fired++; });
  q->after(DispatchTime::fromNow(3600), [&] { fired += 10; });
  clock_->setWallTime(wall + 7200);  // the user moved the date; uptime stands
  EXPECT_EQ(fired.load(), 1);
  clock_->advance(3600);
  EXPECT_EQ(fired.load(), 11);
}

TEST_F(QueueTest, SuspendedQueueHoldsBlocksUntilResumed) {
  for (auto attrs : {DispatchQueue::Attributes::Serial, DispatchQueue::Attributes::Concurrent}) {
    auto q = DispatchQueue::create("com.test.suspend", attrs);
    std::atomic<int> ran{0};
    q->suspend();
    q->suspend();
    for (int i = 0; i < 5; ++i) q->async([&] { ran++; });
    ASSERT_TRUE(dispatch::drainUntilIdle());
    EXPECT_EQ(ran.load(), 0);
    q->resume();
    ASSERT_TRUE(dispatch::drainUntilIdle());
    EXPECT_EQ(ran.load(), 0);
    q->resume();
    ASSERT_TRUE(dispatch::drainUntilIdle());
    EXPECT_EQ(ran.load(), 5);
  }
}

// A worker blocked in sync() on a busy serial queue used to stop counting as
// busy until it woke: the queue's job ending in between let drainUntilIdle()
// return while the worker still had its job's rest to run.
TEST_F(QueueTest, DrainWaitsForAWorkerResumingFromSync) {
  auto q = DispatchQueue::serial("com.test.sync-drain");
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE(round);
    std::atomic<bool> syncing{false};
    std::atomic<bool> finished{false};
    q->async([&] {
      DispatchQueue::global()->async([&] {
        syncing = true;
        q->sync([] {});
        finished = true;
      });
      while (!syncing.load()) std::this_thread::yield();
      // Let the worker reach its wait while this job still holds the queue.
      for (int spin = 0; spin < 2000; ++spin) std::this_thread::yield();
    });
    ASSERT_TRUE(dispatch::drainUntilIdle());
    ASSERT_TRUE(finished.load());
  }
}

// A worker keeps what a block posts to an idle queue to run next itself. Each
// case leaves that worker unable to come back soon, and the posted block must
// still run: the block waits for it outside dispatch, waits for it in sync(),
// or the queue goes on draining into a block that waits for it.
TEST_F(QueueTest, WorkKeptByABusyWorkerStillRuns) {
  auto spinUntil = [](const std::atomic<bool>& flag) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!flag.load() && std::chrono::steady_clock::now() < limit) std::this_thread::yield();
  };
  struct Case {
    const char* name;
    std::function<void(DispatchQueue& q, DispatchQueue& other, std::atomic<bool>& ran)> run;
  };
  const Case cases[] = {
      {"the posting block spins",
       [&](DispatchQueue& q, DispatchQueue& other, std::atomic<bool>& ran) {
         q.async([&] {
           other.async([&] { ran = true; });
           spinUntil(ran);
         });
       }},
      {"the posting block syncs onto the queue it posted to",
       [&](DispatchQueue& q, DispatchQueue& other, std::atomic<bool>& ran) {
         q.async([&] {
           other.async([&] { ran = true; });
           other.sync([] {});
         });
       }},
      {"the next block of the draining queue spins",
       [&](DispatchQueue& q, DispatchQueue& other, std::atomic<bool>& ran) {
         q.suspend();
         q.async([&] { other.async([&] { ran = true; }); });
         q.async([&] { spinUntil(ran); });
         q.resume();
       }},
      {"a global block spins",
       [&](DispatchQueue&, DispatchQueue&, std::atomic<bool>& ran) {
         DispatchQueue::global()->async([&] {
           DispatchQueue::global(QualityOfService::Utility)->async([&] { ran = true; });
           spinUntil(ran);
         });
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (int round = 0; round < 20; ++round) {
      auto q = DispatchQueue::serial("com.test.kept.q");
      auto other = DispatchQueue::serial("com.test.kept.other");
      std::atomic<bool> ran{false};
      c.run(*q, *other, ran);
      ASSERT_TRUE(dispatch::drainUntilIdle());
      ASSERT_TRUE(ran.load());
    }
  }
}

// Hops that stay on their worker hand the count of outstanding work from one
// block to the next: drainUntilIdle() returns only after the last hop, and a
// queue owned by nothing but its pending blocks lives until they have run.
TEST_F(QueueTest, DrainWaitsForEveryHopOfAChainBetweenQueues) {
  constexpr int kHops = 200;
  for (int round = 0; round < 50; ++round) {
    SCOPED_TRACE(round);
    auto a = DispatchQueue::serial("com.test.chain.a");
    auto b = DispatchQueue::serial("com.test.chain.b");
    std::weak_ptr<DispatchQueue> weakA = a, weakB = b;
    std::atomic<int> hops{0};
    using Queue = std::shared_ptr<DispatchQueue>;
    std::function<void(int, const Queue&, const Queue&)> hop = [&](int n, const Queue& here, const Queue& there) {
      hops.fetch_add(1);
      if (n < kHops) there->async([&hop, n, here, there] { hop(n + 1, there, here); });
    };
    a->async([&hop, a, b] { hop(1, a, b); });
    a.reset();
    b.reset();
    ASSERT_TRUE(dispatch::drainUntilIdle());
    EXPECT_EQ(hops.load(), kHops);
    EXPECT_TRUE(weakA.expired());
    EXPECT_TRUE(weakB.expired());
  }
}

// A hop between serial queues allocates nothing beyond its block (here one
// small enough to sit inside the function object): the queue's items, the
// drain job and the worker's hand-over all reuse storage.
TEST_F(QueueTest, HopsBetweenSerialQueuesAllocateNothingOfTheirOwn) {
  constexpr int kHops = 2000;
  auto a = DispatchQueue::serial("com.test.alloc.a");
  auto b = DispatchQueue::serial("com.test.alloc.b");
  std::atomic<int> hops{0};
  std::function<void(int)> hop = [&](int n) {
    hops.fetch_add(1);
    if (n < kHops) (n % 2 ? b : a)->async([&hop, n] { hop(n + 1); });
  };
  a->async([&hop] { hop(1); });  // warms up the queues and the pool
  ASSERT_TRUE(dispatch::drainUntilIdle());
  hops = 0;
  gAllocations = 0;
  gCountAllocations = true;
  a->async([&hop] { hop(1); });
  ASSERT_TRUE(dispatch::drainUntilIdle());
  gCountAllocations = false;
  EXPECT_EQ(hops.load(), kHops);
  EXPECT_LT(gAllocations.load(), size_t(kHops / 20));
}

TEST_F(QueueTest, GroupWaitTimesOutWhenVirtualTimePassesTheDeadline) {
  auto group = DispatchGroup::create();
  group->enter();
  EXPECT_EQ(group->wait(DispatchTime::now()), DispatchWaitResult::TimedOut);  // already past: no block

  std::atomic<int> result{-1};
  auto deadline = DispatchTime::fromNow(5.0);
  std::thread waiter([&] { result = int(group->wait(deadline)); });
  clock_->advance(4.0);
  EXPECT_EQ(result.load(), -1);  // still waiting: virtual time is short of the deadline
  clock_->advance(1.0);
  waiter.join();
  EXPECT_EQ(result.load(), int(DispatchWaitResult::TimedOut));

  std::atomic<bool> notified{false};
  group->notify(DispatchQueue::global(), [&] { notified = true; });
  ASSERT_TRUE(dispatch::drainUntilIdle());
  EXPECT_FALSE(notified);
  group->leave();
  EXPECT_EQ(group->wait(DispatchTime::now()), DispatchWaitResult::Success);
  ASSERT_TRUE(dispatch::drainUntilIdle());
  EXPECT_TRUE(notified);
}

TEST_F(QueueTest, SemaphoreCountsAndTimesOut) {
  auto sem = DispatchSemaphore::create(1);
  EXPECT_EQ(DispatchSemaphore::create(-1), nullptr);
  EXPECT_EQ(sem->wait(DispatchTime::now()), DispatchWaitResult::Success);
  EXPECT_EQ(sem->wait(DispatchTime::now()), DispatchWaitResult::TimedOut);

  std::atomic<int> result{-1};
  std::thread waiter([&] { result = int(sem->wait(DispatchTime::fromNow(1.0))); });
  // Signalled before the (virtual) deadline, whether or not the waiter is
  // already blocked: it takes the count.
  sem->signal();
  waiter.join();
  EXPECT_EQ(result.load(), int(DispatchWaitResult::Success));
}

// A test that advances the clock for a waiter on another thread must know
// that the wait has begun: an earlier advance leaves it to wait on.
TEST_F(QueueTest, DeadlineWaitersAreCountedWhileTheyWait) {
  EXPECT_FALSE(dispatch::waitForDeadlineWaiters(1, 0));
  auto sem = DispatchSemaphore::create(0);
  std::atomic<int> result{-1};
  std::thread waiter([&] { result = int(sem->wait(DispatchTime::fromNow(5))); });
  EXPECT_TRUE(dispatch::waitForDeadlineWaiters(1));
  clock_->advance(4.9);
  EXPECT_EQ(result.load(), -1);
  clock_->advance(0.1);
  waiter.join();
  EXPECT_EQ(result.load(), int(DispatchWaitResult::TimedOut));
  EXPECT_FALSE(dispatch::waitForDeadlineWaiters(1, 0));
}

TEST_F(QueueTest, OnceRunsExactlyOnceUnderContention) {
  static OnceFlag flag;
  std::atomic<int> calls{0};
  DispatchQueue::global()->apply(64, [&](size_t) { once(flag, [&] { calls++; }); });
  EXPECT_EQ(calls.load(), 1);
  EXPECT_TRUE(flag.isDone());
}

TEST_F(QueueTest, ApplyCoversEveryIndexOnce) {
  std::vector<std::atomic<int>> hits(1000);
  DispatchQueue::concurrent("com.test.apply")->apply(hits.size(), [&](size_t i) { hits[i]++; });
  DispatchQueue::serial("com.test.apply.serial")->apply(hits.size(), [&](size_t i) { hits[i]++; });
  for (auto& h : hits) EXPECT_EQ(h.load(), 2);
}

TEST_F(QueueTest, MainQueueRunsOnlyWhenTheMainThreadPumpsIt) {
  std::vector<int> order;
  std::atomic<bool> onMain{false};
  DispatchQueue::global()->sync([&] {
    DispatchQueue::main()->async([&] {
      onMain = DispatchQueue::isMainThread() && DispatchQueue::main()->isCurrent();
      order.push_back(1);
    });
  });
  EXPECT_TRUE(order.empty());
  DispatchQueue::main()->async([&] { order.push_back(2); });
  // sync onto the main queue from the main thread runs the earlier blocks first.
  DispatchQueue::main()->sync([&] { order.push_back(3); });
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_TRUE(onMain);
}

}  // namespace
}  // namespace os
