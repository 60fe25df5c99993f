// The payment queue: the store's transactions as the app observes them.
//
// The default queue holds the transactions the store has updated and the app
// has not finished. The store side (a test, through TEST_updateTransactions)
// updates transactions; every live observer then hears paymentQueue with
// them, on the store's callback queue (os::StoreSimulator::callbackQueue, the
// main queue unless set), observers registered at the time of delivery.
// Observers are held weakly. finishTransaction removes a transaction from the
// queue; a transaction still purchasing cannot be finished (ignored, as the
// platform refuses it).
//
// Thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "os/foundation/date.h"
#include "os/foundation/error.h"

// What the app asked to buy.
struct SKPayment {
  std::string productIdentifier{};
  int64_t quantity = 1;
  std::optional<std::string> applicationUsername{};
  friend bool operator==(const SKPayment&, const SKPayment&) = default;
};

enum class SKPaymentTransactionState : int64_t { Purchasing = 0, Purchased = 1, Failed = 2, Restored = 3, Deferred = 4 };

class SKPaymentTransaction {
 public:
  struct Description {
    SKPayment payment{};
    SKPaymentTransactionState transactionState = SKPaymentTransactionState::Purchasing;
    // Set for purchased and restored transactions.
    std::optional<std::string> transactionIdentifier{};
    std::optional<os::Date> transactionDate{};
    // The transaction being restored (restored transactions only).
    std::shared_ptr<SKPaymentTransaction> originalTransaction{};
    // Failed transactions only.
    std::optional<os::Error> error{};
  };
  explicit SKPaymentTransaction(Description description) : d_(std::move(description)) {}

  const SKPayment& payment() const { return d_.payment; }
  SKPaymentTransactionState transactionState() const { return d_.transactionState; }
  const std::optional<std::string>& transactionIdentifier() const { return d_.transactionIdentifier; }
  const std::optional<os::Date>& transactionDate() const { return d_.transactionDate; }
  const std::shared_ptr<SKPaymentTransaction>& originalTransaction() const { return d_.originalTransaction; }
  const std::optional<os::Error>& error() const { return d_.error; }

 private:
  const Description d_;
};

class SKPaymentQueue;

class SKPaymentTransactionObserver {
 public:
  virtual ~SKPaymentTransactionObserver() = default;
  // paymentQueue:updatedTransactions:
  virtual void paymentQueue(const std::shared_ptr<SKPaymentQueue>& queue,
                            const std::vector<std::shared_ptr<SKPaymentTransaction>>& transactions) = 0;
};

class SKPaymentQueue : public std::enable_shared_from_this<SKPaymentQueue> {
 public:
  static std::shared_ptr<SKPaymentQueue> defaultQueue();

  // Adding an observer twice keeps one registration.
  void addTransactionObserver(const std::shared_ptr<SKPaymentTransactionObserver>& observer);
  void removeTransactionObserver(const std::shared_ptr<SKPaymentTransactionObserver>& observer);
  // The live observers, in the order added.
  std::vector<std::shared_ptr<SKPaymentTransactionObserver>> transactionObservers() const;

  // The unfinished transactions, in the order first updated.
  std::vector<std::shared_ptr<SKPaymentTransaction>> transactions() const;
  void finishTransaction(const std::shared_ptr<SKPaymentTransaction>& transaction);

  // The store updates transactions: they join (or stay in) the queue and the
  // observers hear of them.
  void TEST_updateTransactions(std::vector<std::shared_ptr<SKPaymentTransaction>> transactions);
  // Forgets every transaction and observer.
  void TEST_reset();

 private:
  mutable std::mutex mutex_;
  std::vector<std::weak_ptr<SKPaymentTransactionObserver>> observers_;  // guarded by mutex_
  std::vector<std::shared_ptr<SKPaymentTransaction>> transactions_;     // guarded by mutex_
};
