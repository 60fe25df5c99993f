#include "crash/reporting/zoz_async_operation.h"

#include <atomic>

#include "os/foundation/format.h"

// ---- ZOZBaseAsyncOperation ----

ZOZBaseAsyncOperation::ZOZBaseAsyncOperation(const std::string& className)
    : lockName_(os::format(kZOZBaseAsyncOperationLockFormat, className)) {}

void ZOZBaseAsyncOperation::lock(const std::function<void()>& block) const {
  std::lock_guard guard(lock_);
  block();
}

void ZOZBaseAsyncOperation::changeValueForKey(const std::string& key, const std::function<void()>& block) {
  willChangeValueForKey(key);
  block();
  didChangeValueForKey(key);
}

bool ZOZBaseAsyncOperation::isExecuting() const {
  std::lock_guard guard(lock_);
  return internalExecuting_;
}

bool ZOZBaseAsyncOperation::isFinished() const {
  std::lock_guard guard(lock_);
  return internalFinished_;
}

void ZOZBaseAsyncOperation::start() {
  if (checkForCancellation()) return;
  markStarted();
  main();
}

bool ZOZBaseAsyncOperation::checkForCancellation() {
  if (!isCancelled()) return false;
  markDone();
  return true;
}

void ZOZBaseAsyncOperation::markStarted() {
  std::lock_guard guard(lock_);
  changeValueForKey(os::kOperationIsExecutingKey, [this] { internalExecuting_ = true; });
}

void ZOZBaseAsyncOperation::markDone() {
  std::lock_guard guard(lock_);
  changeValueForKey(os::kOperationIsExecutingKey, [this] { internalExecuting_ = false; });
  changeValueForKey(os::kOperationIsFinishedKey, [this] { internalFinished_ = true; });
}

void ZOZBaseAsyncOperation::finishWithError(const std::optional<os::Error>& error) {
  if (auto completion = asyncCompletion()) completion(error);
  markDone();
}

void ZOZBaseAsyncOperation::setAsyncCompletion(AsyncCompletion completion) {
  std::lock_guard guard(lock_);
  asyncCompletion_ = std::move(completion);
}

ZOZBaseAsyncOperation::AsyncCompletion ZOZBaseAsyncOperation::asyncCompletion() const {
  std::lock_guard guard(lock_);
  return asyncCompletion_;
}

// ---- ZOZAsyncOperation ----

void ZOZAsyncOperation::start() {
  if (checkForCancellation()) return;
  markStarted();
  main();
}

bool ZOZAsyncOperation::isExecuting() const {
  std::lock_guard guard(lock_);
  return internalExecuting_;
}

bool ZOZAsyncOperation::isFinished() const {
  std::lock_guard guard(lock_);
  return internalFinished_;
}

void ZOZAsyncOperation::markStarted() {
  std::lock_guard guard(lock_);
  willChangeValueForKey(os::kOperationIsExecutingKey);
  internalExecuting_ = true;
  didChangeValueForKey(os::kOperationIsExecutingKey);
}

void ZOZAsyncOperation::markDone() {
  std::lock_guard guard(lock_);
  willChangeValueForKey(os::kOperationIsExecutingKey);
  internalExecuting_ = false;
  didChangeValueForKey(os::kOperationIsExecutingKey);
  willChangeValueForKey(os::kOperationIsFinishedKey);
  internalFinished_ = true;
  didChangeValueForKey(os::kOperationIsFinishedKey);
}

bool ZOZAsyncOperation::checkForCancellation() {
  if (!isCancelled()) return false;
  markDone();
  return true;
}

// ---- ZOZCompoundOperation ----

ZOZCompoundOperation::ZOZCompoundOperation()
    : ZOZBaseAsyncOperation("ZOZCompoundOperation"),
      compoundQueue_(os::OperationQueue::create()),
      countingQueue_(os::DispatchQueue::serial(kZOZCompoundOperationCountingQueueLabel)) {}

std::shared_ptr<ZOZCompoundOperation> ZOZCompoundOperation::compoundOperationWithOperations(
    std::vector<std::shared_ptr<ZOZBaseAsyncOperation>> operations) {
  auto compound = std::make_shared<ZOZCompoundOperation>();
  compound->setOperations(std::move(operations));
  return compound;
}

void ZOZCompoundOperation::setOperations(std::vector<std::shared_ptr<ZOZBaseAsyncOperation>> operations) {
  operations_ = std::move(operations);
}

uint64_t ZOZCompoundOperation::completedOperations() const {
  return countingQueue_->sync([this] { return completedOperations_; });
}

std::vector<os::Error> ZOZCompoundOperation::errors() const {
  return countingQueue_->sync([this] { return errors_; });
}

void ZOZCompoundOperation::main() {
  for (const auto& operation : operations_) {
    injectCompoundAsyncCompletionInOperation(operation);
    injectCompoundSyncCompletionInOperation(operation);
  }
  lock([this] { queuedMembers_ = true; });
  for (const auto& operation : operations_) compoundQueue_->addOperation(operation);
}

void ZOZCompoundOperation::cancel() {
  bool queued = false;
  lock([&] { queued = queuedMembers_; });
  if (!queued) {
    for (const auto& operation : operations_) {
      injectCompoundAsyncCompletionInOperation(operation);
      injectCompoundSyncCompletionInOperation(operation);
      operation->cancel();
    }
    lock([this] { queuedMembers_ = true; });
    for (const auto& operation : operations_) compoundQueue_->addOperation(operation);
  } else {
    compoundQueue_->cancelAllOperations();
    std::weak_ptr<ZOZCompoundOperation> weak = std::static_pointer_cast<ZOZCompoundOperation>(shared_from_this());
    countingQueue_->async([weak] {
      if (auto self = weak.lock()) self->attemptCompoundCompletion();
    });
  }
  ZOZBaseAsyncOperation::cancel();
}

// Each member is counted once: by its async completion (with its error) or,
// for one that finished without calling it (cancelled), by its completion
// block.
void ZOZCompoundOperation::injectCompoundAsyncCompletionInOperation(
    const std::shared_ptr<ZOZBaseAsyncOperation>& operation) {
  auto original = operation->asyncCompletion();
  std::weak_ptr<ZOZCompoundOperation> weak = std::static_pointer_cast<ZOZCompoundOperation>(shared_from_this());
  operation->setAsyncCompletion([original, weak](const std::optional<os::Error>& error) {
    if (original) original(error);
    auto self = weak.lock();
    if (!self) return;
    self->countingQueue_->async([self, error] {
      self->updateCompletionCountsWithError(error);
      self->attemptCompoundCompletion();
    });
  });
}

void ZOZCompoundOperation::injectCompoundSyncCompletionInOperation(
    const std::shared_ptr<ZOZBaseAsyncOperation>& operation) {
  auto original = operation->completionBlock();
  std::weak_ptr<ZOZCompoundOperation> weak = std::static_pointer_cast<ZOZCompoundOperation>(shared_from_this());
  // Whether the async completion ran: set before the operation finishes.
  auto counted = std::make_shared<std::atomic<bool>>(false);
  auto async = operation->asyncCompletion();
  operation->setAsyncCompletion([async, counted](const std::optional<os::Error>& error) {
    counted->store(true);
    if (async) async(error);
  });
  operation->setCompletionBlock([original, weak, counted] {
    if (original) original();
    if (counted->load()) return;
    auto self = weak.lock();
    if (!self) return;
    self->countingQueue_->async([self] {
      self->updateCompletionCountsWithError(std::nullopt);
      self->attemptCompoundCompletion();
    });
  });
}

void ZOZCompoundOperation::updateCompletionCountsWithError(const std::optional<os::Error>& error) {
  if (error) {
    errors_.push_back(*error);
  } else {
    ++completedOperations_;
  }
}

void ZOZCompoundOperation::attemptCompoundCompletion() {
  if (finishedCompound_) return;
  if (isCancelled()) {
    // Not started yet: start() finishes it.
    if (!isExecuting()) return;
    finishedCompound_ = true;
    setCompletionBlock(nullptr);
    finishWithError(os::Error::withDescription(kZOZCompoundOperationErrorDomain,
                                               kZOZCompoundOperationErrorCodeCancelled,
                                               os::format("%@ cancelled", name())));
    return;
  }
  if (completedOperations_ + errors_.size() < operations_.size()) return;
  finishedCompound_ = true;
  if (errors_.empty()) {
    finishWithError(std::nullopt);
    return;
  }
  os::Array underlying;
  for (const auto& error : errors_) underlying.push_back(os::Value(error.description()));
  finishWithError(os::Error(kZOZCompoundOperationErrorDomain, kZOZCompoundOperationErrorCodeSuboperationFailed,
                            os::Dictionary{{kZOZCompoundOperationUnderlyingErrorsKey, os::Value(underlying)}}));
}
