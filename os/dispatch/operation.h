// os::Operation, os::BlockOperation, os::AsynchronousOperation and
// os::OperationQueue.
//
// State of an operation: pending -> (ready) -> executing -> finished. The
// queue starts an operation (calls start() on one of its threads) when the
// queue is not suspended, fewer than maxConcurrentOperationCount run, and the
// operation is ready (its dependencies finished, or it is cancelled). It
// forgets the operation when the operation announces "isFinished" and
// isFinished() is true. Operations start in the order they were added among
// those that are ready.
//
// Announcements stand in for key-value observation: a subclass that keeps its
// own state calls willChangeValueForKey()/didChangeValueForKey() with
// "isExecuting", "isFinished", "isReady" or "isCancelled"; observers run
// synchronously on the announcing thread, without the operation's lock
// held by this class (a subclass may hold its own).
//
// Cancellation only sets a flag: a cancelled operation is still started by
// its queue; the default start() then finishes it without calling main().
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "os/dispatch/lock.h"
#include "os/dispatch/queue.h"

namespace os {

inline constexpr const char* kOperationIsExecutingKey = "isExecuting";
inline constexpr const char* kOperationIsFinishedKey = "isFinished";
inline constexpr const char* kOperationIsReadyKey = "isReady";
inline constexpr const char* kOperationIsCancelledKey = "isCancelled";

class Operation : public std::enable_shared_from_this<Operation> {
 public:
  using ObserverToken = uint64_t;
  using Observer = std::function<void(Operation&, const std::string& key)>;

  Operation();
  virtual ~Operation();

  // Default: finishes at once when cancelled; else executing, main(),
  // finished, each announced. Asynchronous subclasses override it.
  virtual void start();
  // The work of a synchronous operation.
  virtual void main() {}

  virtual bool isAsynchronous() const { return false; }
  virtual bool isExecuting() const;
  virtual bool isFinished() const;
  // Dependencies finished (or cancelled). Overrides should combine with
  // Operation::isReady() and announce "isReady" when their answer changes.
  virtual bool isReady() const;
  bool isCancelled() const;
  // Sets the cancelled flag (announced) and makes the operation ready.
  virtual void cancel();

  // Runs once, on a global queue, after the operation finishes.
  void setCompletionBlock(DispatchBlock block);
  DispatchBlock completionBlock() const;

  // The operation becomes ready only after `op` finishes. Add before the
  // operation is queued; a cycle is a programmer error.
  void addDependency(const std::shared_ptr<Operation>& op);
  void removeDependency(const std::shared_ptr<Operation>& op);
  std::vector<std::shared_ptr<Operation>> dependencies() const;

  // Blocks until finished. Not from the operation's own start()/main().
  void waitUntilFinished();

  std::string name() const;
  void setName(std::string name);

  // Key-value announcements.
  ObserverToken addObserver(Observer observer);
  void removeObserver(ObserverToken token);
  void willChangeValueForKey(const std::string& key);
  void didChangeValueForKey(const std::string& key);

 protected:
  // For the default start() and AsynchronousOperation: set and announce.
  void setExecuting(bool executing);
  void setFinished(bool finished);

 private:
  friend class OperationQueue;
  struct State;
  std::shared_ptr<State> state_;
};

// An operation that runs blocks (concurrently when there are several).
class BlockOperation : public Operation {
 public:
  static std::shared_ptr<BlockOperation> create(DispatchBlock block);
  void addExecutionBlock(DispatchBlock block);
  std::vector<DispatchBlock> executionBlocks() const;
  void main() override;

 private:
  mutable std::mutex mutex_;
  std::vector<DispatchBlock> blocks_;  // guarded by mutex_
};

// Base for an operation whose work ends after start() returns: start()
// announces executing and calls main() (or finishes at once when cancelled);
// the subclass calls finish() when its work is done, from any thread.
class AsynchronousOperation : public Operation {
 public:
  bool isAsynchronous() const override { return true; }
  void start() override;
  // Announces executing = NO and finished = YES; later calls do nothing.
  void finish();
};

inline constexpr int kOperationQueueDefaultMaxConcurrentOperationCount = -1;

class OperationQueue : public std::enable_shared_from_this<OperationQueue> {
 public:
  static std::shared_ptr<OperationQueue> create(std::string name = {});
  // The queue that runs operations on the main queue, one at a time.
  static std::shared_ptr<OperationQueue> mainQueue();
  ~OperationQueue();

  // Adding an operation that is already queued, executing or finished is a
  // programmer error and is ignored with a message.
  void addOperation(std::shared_ptr<Operation> op);
  void addOperations(const std::vector<std::shared_ptr<Operation>>& ops, bool waitUntilFinished);
  void addOperationWithBlock(DispatchBlock block);

  // Operations not yet finished, in the order added.
  std::vector<std::shared_ptr<Operation>> operations() const;
  size_t operationCount() const;

  // -1 (default): as many as the system allows; 1: one at a time.
  int maxConcurrentOperationCount() const;
  void setMaxConcurrentOperationCount(int count);
  bool isSuspended() const;
  // A suspended queue starts no operation; running ones go on.
  void setSuspended(bool suspended);
  std::string name() const;
  void setName(std::string name);
  QualityOfService qualityOfService() const;
  void setQualityOfService(QualityOfService qos);
  // The dispatch queue operations start on (default: the global queue of the
  // queue's quality of service).
  void setUnderlyingQueue(std::shared_ptr<DispatchQueue> queue);

  void cancelAllOperations();
  // Blocks until no operation is left. On a suspended queue with operations
  // pending it waits until someone resumes it.
  void waitUntilAllOperationsAreFinished();

  struct Impl;

 private:
  OperationQueue();
  std::shared_ptr<Impl> impl_;
};

}  // namespace os
