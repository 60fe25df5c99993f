// SKPaymentQueue: the store's queue of payment transactions, as far as its
// observers go. Observers register with the default queue and are told of
// transactions whose state changed; the queue holds them weakly, so an
// observer that goes away simply stops being told.
//
// Headless there is no store: updatedTransactions() delivers what a caller
// hands in, as the store would when transactions change.
//
// Thread-safe; observers are called on the thread that delivers.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

class SKPaymentQueue;
class SKPaymentTransaction;

using SKPaymentTransactions = std::vector<std::shared_ptr<SKPaymentTransaction>>;

class SKPaymentTransactionObserver {
 public:
  virtual ~SKPaymentTransactionObserver() = default;
  // -paymentQueue:updatedTransactions:
  virtual void paymentQueue(const std::shared_ptr<SKPaymentQueue>& queue,
                            const SKPaymentTransactions& updatedTransactions) = 0;
};

class SKPaymentQueue : public std::enable_shared_from_this<SKPaymentQueue> {
 public:
  // The one queue of the process.
  static std::shared_ptr<SKPaymentQueue> defaultQueue();

  // Adding an observer twice keeps one registration.
  void addTransactionObserver(const std::shared_ptr<SKPaymentTransactionObserver>& observer);
  void removeTransactionObserver(const SKPaymentTransactionObserver* observer);
  // The live observers, in the order they were added.
  std::vector<std::shared_ptr<SKPaymentTransactionObserver>> transactionObservers() const;

  // Tells every live observer of the transactions.
  void updatedTransactions(const SKPaymentTransactions& transactions);

 private:
  mutable std::mutex mutex_;
  std::vector<std::weak_ptr<SKPaymentTransactionObserver>> observers_;  // guarded by mutex_
};
