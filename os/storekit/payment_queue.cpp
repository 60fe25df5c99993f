#include "os/storekit/payment_queue.h"

#include <algorithm>

std::shared_ptr<SKPaymentQueue> SKPaymentQueue::defaultQueue() {
  // Never destroyed: observers may leave it during exit.
  static auto* queue = new std::shared_ptr<SKPaymentQueue>(std::make_shared<SKPaymentQueue>());
  return *queue;
}

void SKPaymentQueue::addTransactionObserver(const std::shared_ptr<SKPaymentTransactionObserver>& observer) {
  if (!observer) return;
  std::lock_guard lock(mutex_);
  std::erase_if(observers_, [](const auto& weak) { return weak.expired(); });
  const bool known = std::any_of(observers_.begin(), observers_.end(),
                                 [&](const auto& weak) { return weak.lock() == observer; });
  if (!known) observers_.push_back(observer);
}

void SKPaymentQueue::removeTransactionObserver(const SKPaymentTransactionObserver* observer) {
  std::lock_guard lock(mutex_);
  std::erase_if(observers_, [&](const auto& weak) {
    auto live = weak.lock();
    return !live || live.get() == observer;
  });
}

std::vector<std::shared_ptr<SKPaymentTransactionObserver>> SKPaymentQueue::transactionObservers() const {
  std::vector<std::shared_ptr<SKPaymentTransactionObserver>> out;
  std::lock_guard lock(mutex_);
  for (const auto& weak : observers_) {
    if (auto live = weak.lock()) out.push_back(std::move(live));
  }
  return out;
}

void SKPaymentQueue::updatedTransactions(const SKPaymentTransactions& transactions) {
  auto self = shared_from_this();
  for (const auto& observer : transactionObservers()) observer->paymentQueue(self, transactions);
}
