#include "os/dispatch/operation.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "os/dispatch/manual_clock.h"

namespace os {
namespace {

class OperationTest : public ::testing::Test {
 protected:
  void TearDown() override { ASSERT_TRUE(dispatch::drainUntilIdle()); }
  ManualClockScope clock_;
};

// Announces its own executing/finished state, as an upload operation does,
// and finishes when told to.
class ManualAsyncOperation : public Operation {
 public:
  bool isAsynchronous() const override { return true; }
  bool isExecuting() const override { return synchronized(this, [&] { return executing_; }); }
  bool isFinished() const override { return synchronized(this, [&] { return finished_; }); }
  void start() override { set(true, false); started = true; }
  void finishNow() { set(false, true); }
  std::atomic<bool> started{false};

 private:
  void set(bool executing, bool finished) {
    synchronized(this, [&] {
      willChangeValueForKey(kOperationIsExecutingKey);
      willChangeValueForKey(kOperationIsFinishedKey);
      executing_ = executing;
      finished_ = finished;
      didChangeValueForKey(kOperationIsExecutingKey);
      didChangeValueForKey(kOperationIsFinishedKey);
    });
  }
  bool executing_ = false;
  bool finished_ = false;
};

TEST_F(OperationTest, WidthOneNeverRunsTwoAtOnceAndKeepsOrder) {
  auto queue = OperationQueue::create("APMAnalyticsOperationQueue");
  queue->setMaxConcurrentOperationCount(1);
  queue->setSuspended(true);
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  std::vector<int> order;
  for (int i = 0; i < 100; ++i) {
    queue->addOperationWithBlock([&, i] {
      if (inside.fetch_add(1) != 0) overlapped = true;
      order.push_back(i);
      inside.fetch_sub(1);
    });
  }
  ASSERT_TRUE(dispatch::drainUntilIdle());
  EXPECT_TRUE(order.empty());  // created suspended: nothing runs
  EXPECT_EQ(queue->operationCount(), 100u);
  queue->setSuspended(false);
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_FALSE(overlapped);
  ASSERT_EQ(order.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
  EXPECT_EQ(queue->name(), "APMAnalyticsOperationQueue");
}

TEST_F(OperationTest, CancelledOperationStillFinishesWithoutRunningItsBody) {
  auto queue = OperationQueue::create();
  queue->setMaxConcurrentOperationCount(1);
  queue->setSuspended(true);
  std::atomic<bool> bodyRan{false}, completionRan{false};
  auto op = BlockOperation::create([&] { bodyRan = true; });
  op->setCompletionBlock([&] { completionRan = true; });
  std::vector<std::string> announced;
  op->addObserver([&](Operation&, const std::string& key) { announced.push_back(key); });
  queue->addOperation(op);
  op->cancel();
  queue->setSuspended(false);
  queue->waitUntilAllOperationsAreFinished();
  ASSERT_TRUE(dispatch::drainUntilIdle());
  EXPECT_TRUE(op->isCancelled());
  EXPECT_TRUE(op->isFinished());
  EXPECT_FALSE(bodyRan);
  EXPECT_TRUE(completionRan);
  EXPECT_NE(std::find(announced.begin(), announced.end(), kOperationIsFinishedKey), announced.end());
}

TEST_F(OperationTest, AsynchronousOperationHoldsItsSlotUntilItAnnouncesFinished) {
  auto queue = OperationQueue::create("uploads");
  queue->setMaxConcurrentOperationCount(1);
  auto first = std::make_shared<ManualAsyncOperation>();
  auto second = std::make_shared<ManualAsyncOperation>();
  std::atomic<int> completions{0};
  first->setCompletionBlock([&] {
    completions++;
    // A completion block may cancel what is still waiting.
    queue->cancelAllOperations();
  });
  queue->addOperation(first);
  queue->addOperation(second);
  ASSERT_TRUE(dispatch::drainUntilIdle());
  EXPECT_TRUE(first->started);
  EXPECT_TRUE(first->isExecuting());
  EXPECT_FALSE(second->started);  // start() returned, but the slot stays taken
  first->finishNow();
  ASSERT_TRUE(dispatch::drainUntilIdle());
  EXPECT_EQ(completions.load(), 1);
  EXPECT_TRUE(second->started);  // cancelled or not, its queue starts it
  second->finishNow();
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(queue->operationCount(), 0u);
}

TEST_F(OperationTest, DependencyRunsFirstAcrossQueues) {
  auto a = OperationQueue::create();
  auto b = OperationQueue::create();
  std::vector<int> order;
  std::mutex m;
  auto first = BlockOperation::create([&] {
    std::lock_guard<std::mutex> lock(m);
    order.push_back(1);
  });
  auto second = BlockOperation::create([&] {
    std::lock_guard<std::mutex> lock(m);
    order.push_back(2);
  });
  second->addDependency(first);
  a->setSuspended(true);
  a->addOperation(first);
  b->addOperation(second);
  ASSERT_TRUE(dispatch::drainUntilIdle());
  EXPECT_TRUE(order.empty());
  a->setSuspended(false);
  second->waitUntilFinished();
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST_F(OperationTest, AddingAnOperationTwiceIsIgnored) {
  auto queue = OperationQueue::create();
  std::atomic<int> runs{0};
  auto op = BlockOperation::create([&] { runs++; });
  queue->addOperation(op);
  queue->addOperation(op);
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(runs.load(), 1);
}

}  // namespace
}  // namespace os
