// The promise operators: then, catch, always, recover, validate, delay,
// timeout, reduce, do, async, retry, the wrap family and await. The instance
// operators are single chainOnQueue() calls; the rest create a pending
// promise and settle it from blocks on the queue.
#include <utility>

#include "platform/promises/aravuvo.h"
#include "platform/promises/internal.h"

using promises::detail::deadlineAfter;
using promises::detail::resolveWith;

namespace {

os::Error libraryError(VUVAravuvoErrorCode code) {
  return os::Error(kVUVAravuvoErrorDomain, static_cast<int64_t>(code));
}

}  // namespace

// --- then, catch, always, recover, validate.

VUVAravuvoPtr VUVAravuvo::then(ThenWork work) { return onQueueThen(defaultDispatchQueue(), std::move(work)); }

VUVAravuvoPtr VUVAravuvo::onQueueThen(const Queue& queue, ThenWork work) {
  if (!require(queue != nullptr, "queue") || !require(work != nullptr, "work")) return nullptr;
  return chainOnQueue(queue, std::move(work), nullptr);
}

VUVAravuvoPtr VUVAravuvo::catch_(CatchWork reject) { return onQueueCatch(defaultDispatchQueue(), std::move(reject)); }

VUVAravuvoPtr VUVAravuvo::onQueueCatch(const Queue& queue, CatchWork reject) {
  if (!require(queue != nullptr, "queue") || !require(reject != nullptr, "reject")) return nullptr;
  return chainOnQueue(queue, nullptr, [reject = std::move(reject)](const os::Error& error) -> Object {
    reject(error);
    return error;
  });
}

VUVAravuvoPtr VUVAravuvo::always(AlwaysWork work) { return onQueueAlways(defaultDispatchQueue(), std::move(work)); }

VUVAravuvoPtr VUVAravuvo::onQueueAlways(const Queue& queue, AlwaysWork work) {
  if (!require(queue != nullptr, "queue") || !require(work != nullptr, "work")) return nullptr;
  return chainOnQueue(
      queue,
      [work](const Object& value) {
        work();
        return value;
      },
      [work](const os::Error& error) -> Object {
        work();
        return error;
      });
}

VUVAravuvoPtr VUVAravuvo::recover(RecoverWork recovery) {
  return onQueueRecover(defaultDispatchQueue(), std::move(recovery));
}

VUVAravuvoPtr VUVAravuvo::onQueueRecover(const Queue& queue, RecoverWork recovery) {
  if (!require(queue != nullptr, "queue") || !require(recovery != nullptr, "recovery")) return nullptr;
  return chainOnQueue(queue, nullptr, std::move(recovery));
}

VUVAravuvoPtr VUVAravuvo::validate(ValidatePredicate predicate) {
  return onQueueValidate(defaultDispatchQueue(), std::move(predicate));
}

VUVAravuvoPtr VUVAravuvo::onQueueValidate(const Queue& queue, ValidatePredicate predicate) {
  if (!require(queue != nullptr, "queue") || !require(predicate != nullptr, "predicate")) return nullptr;
  return chainOnQueue(
      queue,
      [predicate = std::move(predicate)](const Object& value) -> Object {
        return predicate(value) ? value : Object(libraryError(VUVAravuvoErrorCode::ValidationFailure));
      },
      nullptr);
}

// --- delay, timeout.

VUVAravuvoPtr VUVAravuvo::delay(double interval) { return onQueueDelay(defaultDispatchQueue(), interval); }

VUVAravuvoPtr VUVAravuvo::onQueueDelay(const Queue& queue, double interval) {
  if (!require(queue != nullptr, "queue")) return nullptr;
  auto delayed = pendingPromise();
  observeOnQueue(
      queue,
      [queue, delayed, interval](const Object& value) {
        queue->after(deadlineAfter(interval), [delayed, value] { delayed->fulfill(value); });
      },
      [delayed](const os::Error& error) { delayed->reject(error); });
  return delayed;
}

VUVAravuvoPtr VUVAravuvo::timeout(double interval) { return onQueueTimeout(defaultDispatchQueue(), interval); }

VUVAravuvoPtr VUVAravuvo::onQueueTimeout(const Queue& queue, double interval) {
  if (!require(queue != nullptr, "queue")) return nullptr;
  auto timed = pendingPromise();
  observeOnQueue(
      queue, [timed](const Object& value) { timed->fulfill(value); },
      [timed](const os::Error& error) { timed->reject(error); });
  queue->after(deadlineAfter(interval), [weak = std::weak_ptr<VUVAravuvo>(timed)] {
    if (auto promise = weak.lock()) promise->reject(libraryError(VUVAravuvoErrorCode::TimedOut));
  });
  return timed;
}

// --- reduce.

VUVAravuvoPtr VUVAravuvo::reduce(const Objects& items, Reducer reducer) {
  return onQueueReduce(defaultDispatchQueue(), items, std::move(reducer));
}

VUVAravuvoPtr VUVAravuvo::onQueueReduce(const Queue& queue, const Objects& items, Reducer reducer) {
  if (!require(queue != nullptr, "queue") || !require(reducer != nullptr, "reducer")) return nullptr;
  VUVAravuvoPtr promise = shared_from_this();
  for (const auto& item : items) {
    promise = promise->chainOnQueue(
        queue, [reducer, item](const Object& partial) { return reducer(partial, item); }, nullptr);
  }
  return promise;
}

// --- do, async.

VUVAravuvoPtr VUVAravuvo::do_(DoWork work) { return onQueueDo(defaultDispatchQueue(), std::move(work)); }

VUVAravuvoPtr VUVAravuvo::onQueueDo(const Queue& queue, DoWork work) {
  if (!require(queue != nullptr, "queue") || !require(work != nullptr, "work")) return nullptr;
  auto promise = pendingPromise();
  queue->async(dispatchGroup(), [queue, promise, work = std::move(work)] { resolveWith(queue, promise, work()); });
  return promise;
}

VUVAravuvoPtr VUVAravuvo::async(AsyncWork work) { return onQueueAsync(defaultDispatchQueue(), std::move(work)); }

VUVAravuvoPtr VUVAravuvo::onQueueAsync(const Queue& queue, AsyncWork work) {
  if (!require(queue != nullptr, "queue") || !require(work != nullptr, "work")) return nullptr;
  auto promise = pendingPromise();
  queue->async(dispatchGroup(), [queue, promise, work = std::move(work)] {
    work([queue, promise](Object value) { resolveWith(queue, promise, std::move(value)); },
         [promise](os::Error error) { promise->reject(std::move(error)); });
  });
  return promise;
}

// --- retry.

namespace {

constexpr int64_t kDefaultRetryAttempts = 1;
constexpr double kDefaultRetryDelay = 1.0;

struct Retry {
  VUVAravuvoPtr promise;
  VUVAravuvo::Queue queue;
  double delay;
  VUVAravuvo::RetryCondition condition;
  VUVAravuvo::RetryWork work;
};

void attempt(const std::shared_ptr<Retry>& retry, int64_t remaining);

void handleOutcome(const std::shared_ptr<Retry>& retry, int64_t remaining, const std::any& outcome) {
  const os::Error* error = VUVAravuvo::asError(outcome);
  if (!error) {
    retry->promise->fulfill(outcome);
    return;
  }
  if (remaining >= 1 && (!retry->condition || retry->condition(remaining, *error))) {
    retry->queue->after(deadlineAfter(retry->delay), [retry, remaining] { attempt(retry, remaining - 1); });
    return;
  }
  retry->promise->reject(*error);
}

// Runs the work on the calling thread and handles what it yields.
void attempt(const std::shared_ptr<Retry>& retry, int64_t remaining) {
  std::any outcome = retry->work();
  if (auto pending = VUVAravuvo::asPromise(outcome)) {
    pending->observeOnQueue(
        retry->queue, [retry, remaining](const std::any& value) { handleOutcome(retry, remaining, value); },
        [retry, remaining](const os::Error& error) { handleOutcome(retry, remaining, std::any(error)); });
    return;
  }
  handleOutcome(retry, remaining, outcome);
}

}  // namespace

VUVAravuvoPtr VUVAravuvo::retry(RetryWork work) {
  return onQueueRetry(defaultDispatchQueue(), std::move(work));
}

VUVAravuvoPtr VUVAravuvo::onQueueRetry(const Queue& queue, RetryWork work) {
  return onQueueAttemptsDelayConditionRetry(queue, kDefaultRetryAttempts, kDefaultRetryDelay, nullptr,
                                            std::move(work));
}

VUVAravuvoPtr VUVAravuvo::attempts(int64_t count, RetryWork work) {
  return onQueueAttemptsRetry(defaultDispatchQueue(), count, std::move(work));
}

VUVAravuvoPtr VUVAravuvo::onQueueAttemptsRetry(const Queue& queue, int64_t count, RetryWork work) {
  return onQueueAttemptsDelayConditionRetry(queue, count, kDefaultRetryDelay, nullptr, std::move(work));
}

VUVAravuvoPtr VUVAravuvo::attempts(int64_t count, double delay, RetryCondition condition, RetryWork work) {
  return onQueueAttemptsDelayConditionRetry(defaultDispatchQueue(), count, delay, std::move(condition),
                                            std::move(work));
}

VUVAravuvoPtr VUVAravuvo::onQueueAttemptsDelayConditionRetry(const Queue& queue, int64_t count, double delay,
                                                             RetryCondition condition, RetryWork work) {
  if (!require(queue != nullptr, "queue") || !require(work != nullptr, "work")) return nullptr;
  auto retry = std::make_shared<Retry>(Retry{pendingPromise(), queue, delay, std::move(condition), std::move(work)});
  attempt(retry, count);
  return retry->promise;
}

// --- wrap.

namespace {

using Fulfill = VUVAravuvo::FulfillBlock;
using Reject = VUVAravuvo::RejectBlock;
using OptionalError = VUVAravuvo::OptionalError;

// The async work of a wrap member: calls `work` with the completion handler
// that `makeHandler(fulfill, reject)` builds.
template <class Work, class MakeHandler>
VUVAravuvo::AsyncWork wrapWork(Work work, MakeHandler makeHandler) {
  return [work = std::move(work), makeHandler](Fulfill fulfill, Reject reject) {
    work(makeHandler(std::move(fulfill), std::move(reject)));
  };
}

// Settles through the async blocks: a present error rejects, else fulfils.
void complete(const Fulfill& fulfill, const Reject& reject, const OptionalError& error, std::any value) {
  if (error) {
    reject(*error);
  } else {
    fulfill(std::move(value));
  }
}

std::any orNull(std::any value) { return value.has_value() ? std::move(value) : VUVAravuvo::nullObject(); }

}  // namespace

VUVAravuvoPtr VUVAravuvo::wrapCompletion(std::function<void(Completion)> work) {
  return onQueueWrapCompletion(defaultDispatchQueue(), std::move(work));
}

VUVAravuvoPtr VUVAravuvo::onQueueWrapCompletion(const Queue& queue, std::function<void(Completion)> work) {
  if (!require(queue != nullptr, "queue") || !require(work != nullptr, "work")) return nullptr;
  return onQueueAsync(queue, wrapWork(std::move(work), [](Fulfill fulfill, Reject reject) {
    (void)reject;
    return Completion([fulfill] { fulfill(std::any()); });
  }));
}

VUVAravuvoPtr VUVAravuvo::wrapObjectCompletion(std::function<void(ObjectCompletion)> work) {
  return onQueueWrapObjectCompletion(defaultDispatchQueue(), std::move(work));
}

VUVAravuvoPtr VUVAravuvo::onQueueWrapObjectCompletion(const Queue& queue, std::function<void(ObjectCompletion)> work) {
  if (!require(queue != nullptr, "queue") || !require(work != nullptr, "work")) return nullptr;
  return onQueueAsync(queue, wrapWork(std::move(work), [](Fulfill fulfill, Reject reject) {
    (void)reject;
    return ObjectCompletion([fulfill](Object value) { fulfill(std::move(value)); });
  }));
}

VUVAravuvoPtr VUVAravuvo::wrapErrorCompletion(std::function<void(ErrorCompletion)> work) {
  return onQueueWrapErrorCompletion(defaultDispatchQueue(), std::move(work));
}

VUVAravuvoPtr VUVAravuvo::onQueueWrapErrorCompletion(const Queue& queue, std::function<void(ErrorCompletion)> work) {
  if (!require(queue != nullptr, "queue") || !require(work != nullptr, "work")) return nullptr;
  return onQueueAsync(queue, wrapWork(std::move(work), [](Fulfill fulfill, Reject reject) {
    return ErrorCompletion(
        [fulfill, reject](OptionalError error) { complete(fulfill, reject, error, std::any()); });
  }));
}

VUVAravuvoPtr VUVAravuvo::wrapObjectOrErrorCompletion(std::function<void(ObjectOrErrorCompletion)> work) {
  return onQueueWrapObjectOrErrorCompletion(defaultDispatchQueue(), std::move(work));
}

VUVAravuvoPtr VUVAravuvo::onQueueWrapObjectOrErrorCompletion(const Queue& queue, std::function<void(ObjectOrErrorCompletion)> work) {
  if (!require(queue != nullptr, "queue") || !require(work != nullptr, "work")) return nullptr;
  return onQueueAsync(queue, wrapWork(std::move(work), [](Fulfill fulfill, Reject reject) {
    return ObjectOrErrorCompletion([fulfill, reject](Object value, OptionalError error) {
      complete(fulfill, reject, error, std::move(value));
    });
  }));
}

VUVAravuvoPtr VUVAravuvo::wrapErrorOrObjectCompletion(std::function<void(ErrorOrObjectCompletion)> work) {
  return onQueueWrapErrorOrObjectCompletion(defaultDispatchQueue(), std::move(work));
}

VUVAravuvoPtr VUVAravuvo::onQueueWrapErrorOrObjectCompletion(const Queue& queue, std::function<void(ErrorOrObjectCompletion)> work) {
  if (!require(queue != nullptr, "queue") || !require(work != nullptr, "work")) return nullptr;
  return onQueueAsync(queue, wrapWork(std::move(work), [](Fulfill fulfill, Reject reject) {
    return ErrorOrObjectCompletion([fulfill, reject](OptionalError error, Object value) {
      complete(fulfill, reject, error, std::move(value));
    });
  }));
}

VUVAravuvoPtr VUVAravuvo::wrap2ObjectsOrErrorCompletion(std::function<void(TwoObjectsOrErrorCompletion)> work) {
  return onQueueWrap2ObjectsOrErrorCompletion(defaultDispatchQueue(), std::move(work));
}

VUVAravuvoPtr VUVAravuvo::onQueueWrap2ObjectsOrErrorCompletion(const Queue& queue, std::function<void(TwoObjectsOrErrorCompletion)> work) {
  if (!require(queue != nullptr, "queue") || !require(work != nullptr, "work")) return nullptr;
  return onQueueAsync(queue, wrapWork(std::move(work), [](Fulfill fulfill, Reject reject) {
    return TwoObjectsOrErrorCompletion([fulfill, reject](Object value1, Object value2, OptionalError error) {
      complete(fulfill, reject, error, Objects{orNull(std::move(value1)), orNull(std::move(value2))});
    });
  }));
}

VUVAravuvoPtr VUVAravuvo::wrapBoolCompletion(std::function<void(BoolCompletion)> work) {
  return onQueueWrapBoolCompletion(defaultDispatchQueue(), std::move(work));
}

VUVAravuvoPtr VUVAravuvo::onQueueWrapBoolCompletion(const Queue& queue, std::function<void(BoolCompletion)> work) {
  if (!require(queue != nullptr, "queue") || !require(work != nullptr, "work")) return nullptr;
  return onQueueAsync(queue, wrapWork(std::move(work), [](Fulfill fulfill, Reject reject) {
    (void)reject;
    return BoolCompletion([fulfill](bool value) { fulfill(os::Number::boolean(value)); });
  }));
}

VUVAravuvoPtr VUVAravuvo::wrapBoolOrErrorCompletion(std::function<void(BoolOrErrorCompletion)> work) {
  return onQueueWrapBoolOrErrorCompletion(defaultDispatchQueue(), std::move(work));
}

VUVAravuvoPtr VUVAravuvo::onQueueWrapBoolOrErrorCompletion(const Queue& queue, std::function<void(BoolOrErrorCompletion)> work) {
  if (!require(queue != nullptr, "queue") || !require(work != nullptr, "work")) return nullptr;
  return onQueueAsync(queue, wrapWork(std::move(work), [](Fulfill fulfill, Reject reject) {
    return BoolOrErrorCompletion([fulfill, reject](bool value, OptionalError error) {
      complete(fulfill, reject, error, os::Number::boolean(value));
    });
  }));
}

VUVAravuvoPtr VUVAravuvo::wrapIntegerCompletion(std::function<void(IntegerCompletion)> work) {
  return onQueueWrapIntegerCompletion(defaultDispatchQueue(), std::move(work));
}

VUVAravuvoPtr VUVAravuvo::onQueueWrapIntegerCompletion(const Queue& queue, std::function<void(IntegerCompletion)> work) {
  if (!require(queue != nullptr, "queue") || !require(work != nullptr, "work")) return nullptr;
  return onQueueAsync(queue, wrapWork(std::move(work), [](Fulfill fulfill, Reject reject) {
    (void)reject;
    return IntegerCompletion([fulfill](int64_t value) { fulfill(os::Number::int64(value)); });
  }));
}

VUVAravuvoPtr VUVAravuvo::wrapIntegerOrErrorCompletion(std::function<void(IntegerOrErrorCompletion)> work) {
  return onQueueWrapIntegerOrErrorCompletion(defaultDispatchQueue(), std::move(work));
}

VUVAravuvoPtr VUVAravuvo::onQueueWrapIntegerOrErrorCompletion(const Queue& queue, std::function<void(IntegerOrErrorCompletion)> work) {
  if (!require(queue != nullptr, "queue") || !require(work != nullptr, "work")) return nullptr;
  return onQueueAsync(queue, wrapWork(std::move(work), [](Fulfill fulfill, Reject reject) {
    return IntegerOrErrorCompletion([fulfill, reject](int64_t value, OptionalError error) {
      complete(fulfill, reject, error, os::Number::int64(value));
    });
  }));
}

VUVAravuvoPtr VUVAravuvo::wrapDoubleCompletion(std::function<void(DoubleCompletion)> work) {
  return onQueueWrapDoubleCompletion(defaultDispatchQueue(), std::move(work));
}

VUVAravuvoPtr VUVAravuvo::onQueueWrapDoubleCompletion(const Queue& queue, std::function<void(DoubleCompletion)> work) {
  if (!require(queue != nullptr, "queue") || !require(work != nullptr, "work")) return nullptr;
  return onQueueAsync(queue, wrapWork(std::move(work), [](Fulfill fulfill, Reject reject) {
    (void)reject;
    return DoubleCompletion([fulfill](double value) { fulfill(os::Number::float64(value)); });
  }));
}

VUVAravuvoPtr VUVAravuvo::wrapDoubleOrErrorCompletion(std::function<void(DoubleOrErrorCompletion)> work) {
  return onQueueWrapDoubleOrErrorCompletion(defaultDispatchQueue(), std::move(work));
}

VUVAravuvoPtr VUVAravuvo::onQueueWrapDoubleOrErrorCompletion(const Queue& queue, std::function<void(DoubleOrErrorCompletion)> work) {
  if (!require(queue != nullptr, "queue") || !require(work != nullptr, "work")) return nullptr;
  return onQueueAsync(queue, wrapWork(std::move(work), [](Fulfill fulfill, Reject reject) {
    return DoubleOrErrorCompletion([fulfill, reject](double value, OptionalError error) {
      complete(fulfill, reject, error, os::Number::float64(value));
    });
  }));
}

// --- await.

std::any VUVAravuvoAwait(const VUVAravuvoPtr& promise, std::optional<os::Error>* error) {
  if (!VUVAravuvo::require(promise != nullptr, "promise")) return {};
  static auto* awaitQueue =
      new VUVAravuvo::Queue(os::DispatchQueue::concurrent(kVUVAravuvoAwaitQueueLabel));
  struct Outcome {
    std::any value;
    std::optional<os::Error> error;
  };
  auto outcome = std::make_shared<Outcome>();
  auto semaphore = os::DispatchSemaphore::create(0);
  // Written on the await queue before the signal, read here after the wait.
  promise->chainOnQueue(
      *awaitQueue,
      [outcome, semaphore](const std::any& value) {
        outcome->value = value;
        semaphore->signal();
        return value;
      },
      [outcome, semaphore](const os::Error& e) -> std::any {
        outcome->error = e;
        semaphore->signal();
        return e;
      });
  semaphore->wait();
  if (error) *error = outcome->error;
  return std::move(outcome->value);
}
