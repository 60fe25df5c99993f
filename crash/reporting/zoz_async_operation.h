// Operations whose work ends after start() returns.
//
// ZOZBaseAsyncOperation: start() finishes a cancelled operation at once;
// otherwise it marks the operation executing and calls main(), and the
// subclass calls finishWithError() when its work is done (from any thread):
// the async completion (when set) gets the error, then the operation becomes
// finished. ZOZAsyncOperation is the older form without finishWithError.
// State changes are announced ("isExecuting", "isFinished") and made under
// the operation's recursive lock.
//
// ZOZCompoundOperation runs its member operations on its own queue and
// finishes once every member has: with no error when none failed, with error
// -3 of its domain holding the members' errors otherwise, or with -2 when it
// was cancelled. Members are counted on a serial queue of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "os/dispatch/operation.h"
#include "os/dispatch/queue.h"
#include "os/foundation/error.h"

inline constexpr const char* kZOZBaseAsyncOperationLockFormat = "com.devuvo.vivuzuvu.zoziduzuzud.%@-lock";
inline constexpr const char* kZOZAsyncOperationLockName = "com.zoziduzuzud.async-operation-lock";
inline constexpr const char* kZOZCompoundOperationErrorDomain =
    "com.devuvo.vivuzuvu.zoziduzuzud.ZOZCompoundOperation.error";
inline constexpr const char* kZOZCompoundOperationUnderlyingErrorsKey =
    "com.devuvo.vivuzuvu.zoziduzuzud.ZOZCompoundOperation.error.user-info-key.underlying-errors";
inline constexpr const char* kZOZCompoundOperationCountingQueueLabel =
    "com.devuvo.vivuzuvu.zoziduzuzud.ZOZCompoundOperation.dispatch-queue.counting-queue";
// The 32-bit forms of -2 and -3.
inline constexpr int64_t kZOZCompoundOperationErrorCodeCancelled = 0xFFFFFFFE;
inline constexpr int64_t kZOZCompoundOperationErrorCodeSuboperationFailed = 0xFFFFFFFD;

class ZOZBaseAsyncOperation : public os::Operation {
 public:
  using AsyncCompletion = std::function<void(const std::optional<os::Error>& error)>;

  // `className` names the lock.
  explicit ZOZBaseAsyncOperation(const std::string& className = "ZOZBaseAsyncOperation");

  void start() override;
  bool isAsynchronous() const override { return true; }
  bool isConcurrent() const { return true; }
  bool isExecuting() const override;
  bool isFinished() const override;

  void markStarted();
  void markDone();
  // Calls the async completion with the error when one is set, then marks
  // the operation done.
  void finishWithError(const std::optional<os::Error>& error);
  // Finishes the operation (with no error) when it was cancelled; says so.
  bool checkForCancellation();

  void setAsyncCompletion(AsyncCompletion completion);
  AsyncCompletion asyncCompletion() const;
  const std::string& lockName() const { return lockName_; }

 protected:
  void lock(const std::function<void()>& block) const;
  void changeValueForKey(const std::string& key, const std::function<void()>& block);

 private:
  const std::string lockName_;
  mutable std::recursive_mutex lock_;
  bool internalExecuting_ = false;  // guarded by lock_
  bool internalFinished_ = false;   // guarded by lock_
  AsyncCompletion asyncCompletion_;  // guarded by lock_
};

class ZOZAsyncOperation : public os::Operation {
 public:
  void start() override;
  bool isAsynchronous() const override { return true; }
  bool isExecuting() const override;
  bool isFinished() const override;
  void markStarted();
  void markDone();
  bool checkForCancellation();
  const char* lockName() const { return kZOZAsyncOperationLockName; }

  std::function<void(const std::optional<os::Error>& error)> asyncCompletion;

 private:
  mutable std::recursive_mutex lock_;
  bool internalExecuting_ = false;  // guarded by lock_
  bool internalFinished_ = false;   // guarded by lock_
};

class ZOZCompoundOperation : public ZOZBaseAsyncOperation {
 public:
  ZOZCompoundOperation();
  static std::shared_ptr<ZOZCompoundOperation> compoundOperationWithOperations(
      std::vector<std::shared_ptr<ZOZBaseAsyncOperation>> operations);

  void setOperations(std::vector<std::shared_ptr<ZOZBaseAsyncOperation>> operations);
  const std::vector<std::shared_ptr<ZOZBaseAsyncOperation>>& operations() const { return operations_; }
  const std::shared_ptr<os::OperationQueue>& compoundQueue() const { return compoundQueue_; }
  uint64_t completedOperations() const;
  std::vector<os::Error> errors() const;

  void main() override;
  void cancel() override;

 private:
  void injectCompoundAsyncCompletionInOperation(const std::shared_ptr<ZOZBaseAsyncOperation>& operation);
  void injectCompoundSyncCompletionInOperation(const std::shared_ptr<ZOZBaseAsyncOperation>& operation);
  void updateCompletionCountsWithError(const std::optional<os::Error>& error);
  // On the counting queue.
  void attemptCompoundCompletion();

  std::vector<std::shared_ptr<ZOZBaseAsyncOperation>> operations_;
  std::shared_ptr<os::OperationQueue> compoundQueue_;
  std::shared_ptr<os::DispatchQueue> countingQueue_;
  uint64_t completedOperations_ = 0;  // on countingQueue_
  std::vector<os::Error> errors_;     // on countingQueue_
  bool queuedMembers_ = false;        // guarded by the operation's lock
  bool finishedCompound_ = false;     // on countingQueue_
};
