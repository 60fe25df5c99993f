#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "os/dispatch/run_loop.h"
#include "os/storekit/storekit.h"

namespace {

class RecordingObserver : public SKPaymentTransactionObserver {
 public:
  void paymentQueue(const std::shared_ptr<SKPaymentQueue>& queue,
                    const std::vector<std::shared_ptr<SKPaymentTransaction>>& transactions) override {
    EXPECT_EQ(queue, SKPaymentQueue::defaultQueue());
    batches.push_back(transactions);
  }
  std::vector<std::vector<std::shared_ptr<SKPaymentTransaction>>> batches;
};

std::shared_ptr<SKPaymentTransaction> transaction(SKPaymentTransactionState state, std::optional<std::string> id,
                                                  std::shared_ptr<SKPaymentTransaction> original = nullptr) {
  return std::make_shared<SKPaymentTransaction>(SKPaymentTransaction::Description{
      .payment = {.productIdentifier = "coins.100", .quantity = 3},
      .transactionState = state,
      .transactionIdentifier = std::move(id),
      .transactionDate = os::Date::fromTimeIntervalSince1970(1714564800),
      .originalTransaction = std::move(original),
  });
}

class PaymentQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    os::StoreSimulator::reset();
    SKPaymentQueue::defaultQueue()->TEST_reset();
  }
  void TearDown() override {
    os::RunLoop::main().runUntilIdle();
    SKPaymentQueue::defaultQueue()->TEST_reset();
  }
};

TEST_F(PaymentQueueTest, ObserversHearUpdatedTransactionsThatStayUntilFinished) {
  auto queue = SKPaymentQueue::defaultQueue();
  auto facade = std::make_shared<RecordingObserver>();
  auto leaving = std::make_shared<RecordingObserver>();
  auto dropped = std::make_shared<RecordingObserver>();
  queue->addTransactionObserver(facade);
  queue->addTransactionObserver(facade);  // once
  queue->addTransactionObserver(leaving);
  queue->addTransactionObserver(dropped);
  dropped.reset();  // held weakly
  EXPECT_EQ(queue->transactionObservers(),
            (std::vector<std::shared_ptr<SKPaymentTransactionObserver>>{facade, leaving}));

  auto first = transaction(SKPaymentTransactionState::Purchased, "1000000001");
  auto restored = transaction(SKPaymentTransactionState::Restored, "1000000002", first);
  auto pending = transaction(SKPaymentTransactionState::Purchasing, std::nullopt);
  queue->TEST_updateTransactions({first, restored, pending});
  queue->removeTransactionObserver(leaving);  // before delivery: hears nothing
  EXPECT_TRUE(facade->batches.empty());
  os::RunLoop::main().runUntilIdle();
  ASSERT_EQ(facade->batches.size(), 1u);
  EXPECT_EQ(facade->batches[0], (std::vector<std::shared_ptr<SKPaymentTransaction>>{first, restored, pending}));
  EXPECT_TRUE(leaving->batches.empty());
  EXPECT_EQ(restored->originalTransaction()->transactionIdentifier(), "1000000001");
  EXPECT_EQ(restored->payment().quantity, 3);

  queue->finishTransaction(first);
  queue->finishTransaction(pending);  // still purchasing: refused
  EXPECT_EQ(queue->transactions(), (std::vector<std::shared_ptr<SKPaymentTransaction>>{restored, pending}));
  // A transaction updated again keeps its place.
  queue->TEST_updateTransactions({pending});
  EXPECT_EQ(queue->transactions().size(), 2u);
}

}  // namespace
