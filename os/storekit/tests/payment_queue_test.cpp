#include "os/storekit/payment_queue.h"

#include <gtest/gtest.h>

namespace {

struct Observer : SKPaymentTransactionObserver {
  int calls = 0;
  size_t lastCount = 0;
  void paymentQueue(const std::shared_ptr<SKPaymentQueue>& queue, const SKPaymentTransactions& transactions) override {
    EXPECT_EQ(queue, SKPaymentQueue::defaultQueue());
    ++calls;
    lastCount = transactions.size();
  }
};

TEST(SKPaymentQueueTest, ObserversAreHeldWeaklyOnceEachAndRemovable) {
  auto queue = SKPaymentQueue::defaultQueue();
  auto kept = std::make_shared<Observer>();
  auto dropped = std::make_shared<Observer>();
  queue->addTransactionObserver(kept);
  queue->addTransactionObserver(kept);
  queue->addTransactionObserver(dropped);
  EXPECT_EQ(queue->transactionObservers().size(), 2u);

  dropped.reset();  // the queue does not keep it alive
  queue->updatedTransactions({nullptr, nullptr});
  EXPECT_EQ(kept->calls, 1);
  EXPECT_EQ(kept->lastCount, 2u);
  EXPECT_EQ(queue->transactionObservers().size(), 1u);

  queue->removeTransactionObserver(kept.get());
  queue->updatedTransactions({});
  EXPECT_EQ(kept->calls, 1);
  EXPECT_TRUE(queue->transactionObservers().empty());
}

}  // namespace
