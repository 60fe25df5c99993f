#include "os/storekit/payment_queue.h"

#include <algorithm>

#include "os/dispatch/queue.h"
#include "os/storekit/store_simulator.h"

std::shared_ptr<SKPaymentQueue> SKPaymentQueue::defaultQueue() {
  static const auto& queue = *new std::shared_ptr<SKPaymentQueue>(std::make_shared<SKPaymentQueue>());  // never destroyed
  return queue;
}

void SKPaymentQueue::addTransactionObserver(const std::shared_ptr<SKPaymentTransactionObserver>& observer) {
  if (!observer) return;
  std::lock_guard lock(mutex_);
  std::erase_if(observers_, [](const auto& w) { return w.expired(); });
  for (auto& w : observers_)
    if (w.lock() == observer) return;
  observers_.push_back(observer);
}

void SKPaymentQueue::removeTransactionObserver(const std::shared_ptr<SKPaymentTransactionObserver>& observer) {
  std::lock_guard lock(mutex_);
  std::erase_if(observers_, [&](const auto& w) { return w.expired() || w.lock() == observer; });
}

std::vector<std::shared_ptr<SKPaymentTransactionObserver>> SKPaymentQueue::transactionObservers() const {
  std::lock_guard lock(mutex_);
  std::vector<std::shared_ptr<SKPaymentTransactionObserver>> out;
  for (auto& w : observers_)
    if (auto o = w.lock()) out.push_back(std::move(o));
  return out;
}

std::vector<std::shared_ptr<SKPaymentTransaction>> SKPaymentQueue::transactions() const {
  std::lock_guard lock(mutex_);
  return transactions_;
}

void SKPaymentQueue::finishTransaction(const std::shared_ptr<SKPaymentTransaction>& transaction) {
  if (!transaction || transaction->transactionState() == SKPaymentTransactionState::Purchasing) return;
  std::lock_guard lock(mutex_);
  std::erase(transactions_, transaction);
}

void SKPaymentQueue::TEST_updateTransactions(std::vector<std::shared_ptr<SKPaymentTransaction>> transactions) {
  std::erase(transactions, nullptr);
  if (transactions.empty()) return;
  {
    std::lock_guard lock(mutex_);
    for (auto& t : transactions)
      if (std::find(transactions_.begin(), transactions_.end(), t) == transactions_.end()) transactions_.push_back(t);
  }
  std::weak_ptr<SKPaymentQueue> weak = weak_from_this();
  os::StoreSimulator::callbackQueue()->async([weak, transactions = std::move(transactions)] {
    auto queue = weak.lock();
    if (!queue) return;
    for (auto& observer : queue->transactionObservers()) observer->paymentQueue(queue, transactions);
  });
}

void SKPaymentQueue::TEST_reset() {
  std::lock_guard lock(mutex_);
  observers_.clear();
  transactions_.clear();
}
