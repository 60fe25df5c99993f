// VUVAravuvo: the promise under the SDK's asynchronous code.
//
// A promise starts pending and settles exactly once: fulfilled with an object
// (which may be nil) or rejected with an os::Error. Later fulfil/reject calls
// are ignored silently. Observers are callback pairs with the queue they run
// on; a callback never runs inside the call that registers it or settles the
// promise, and callbacks registered on one serial queue run in registration
// order.
//
// Objects. A promise carries "any object or nil" as a std::any
// (VUVAravuvo::Object):
//   - an empty std::any is nil;
//   - a std::any holding an os::Error is an error: fulfilling with it rejects;
//   - a std::any holding a non-null VUVAravuvoPtr is a promise: a block that
//     returns one (then, recover, do, async's fulfil, ...) makes the new
//     promise adopt its outcome;
//   - the null object (the platform's NSNull, used where a nil must stand in a
//     list) is an os::Value holding null: nullObject();
//   - numbers made by the library (the Boolean, integer and double wrap
//     members) are os::Number.
// Any other type is carried as it is; callers read it back with
// std::any_cast.
//
// Settled values are immutable and shared between observers, never copied per
// observer.
//
// Queues. Every operator exists in a default-queue form (then) and a queue
// form (onQueueThen); the default queue is process-wide, the main queue unless
// replaced by setDefaultDispatchQueue(). A queue form takes the queue first:
// p->onQueueThen(q, w) runs w on q (what a block-returning getter such as
// thenOn(q, w) does on the platform).
//
// Accounting. One process-wide dispatch group (dispatchGroup()) counts every
// promise created pending until it settles or is destroyed, and every
// observer callback and do/async work block until it has run. Waiting on it
// waits until no promise is pending and no promise work is queued or running.
//
// Programming errors (a null queue, an empty block, a null promise to await,
// race over nothing) go to the assertion handler, never into a rejection. The
// default handler throws os::Exception (kInternalInconsistencyException)
// with the text "Invalid parameter not satisfying: <name>". When a handler
// set for tests returns instead, the call does nothing and a call that
// returns a promise returns nullptr.
//
// Threads. Promises may be created, observed and settled from any thread.
// Each promise guards its state with its own mutex; user callbacks never run
// under a library lock and may freely observe, chain or settle promises.
//
// Lifetime. A pending promise is kept alive by whoever holds it; its observers
// hold what they capture (chained promises among them), so a chain lives as
// long as its head is alive and pending. A promise destroyed while pending
// leaves the dispatch group and drops its observers uncalled.
#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "os/dispatch/queue.h"
#include "os/foundation/error.h"

// Error domain of the promise library; errors of it carry no user info.
inline constexpr const char* kVUVAravuvoErrorDomain = "com.devuvo.VUVAravuvos.Error";
enum class VUVAravuvoErrorCode : int64_t {
  TimedOut = 1,           // raised by timeout
  ValidationFailure = 2,  // raised by validate
};
// Label of the concurrent queue on which VUVAravuvoAwait observes.
inline constexpr const char* kVUVAravuvoAwaitQueueLabel = "com.devuvo.VUVAravuvos.Await";
// Text of the assertion raised for a missing argument; %@ is the parameter.
inline constexpr const char* kVUVInvalidParameterFormat = "Invalid parameter not satisfying: %@";
inline constexpr const char* kVUVNoPromisesToObserve = "No promises to observe";

class VUVAravuvo;
using VUVAravuvoPtr = std::shared_ptr<VUVAravuvo>;

class VUVAravuvo : public std::enable_shared_from_this<VUVAravuvo> {
 public:
  using Object = std::any;
  using Objects = std::vector<std::any>;
  using Queue = std::shared_ptr<os::DispatchQueue>;

  // Block types of the operators.
  using ObserveFulfill = std::function<void(const Object& value)>;
  using ObserveReject = std::function<void(const os::Error& error)>;
  using ChainedFulfill = std::function<Object(const Object& value)>;
  using ChainedReject = std::function<Object(const os::Error& error)>;
  using ThenWork = std::function<Object(const Object& value)>;
  using CatchWork = std::function<void(const os::Error& error)>;
  using AlwaysWork = std::function<void()>;
  using RecoverWork = std::function<Object(const os::Error& error)>;
  using ValidatePredicate = std::function<bool(const Object& value)>;
  using DoWork = std::function<Object()>;
  using FulfillBlock = std::function<void(Object value)>;
  using RejectBlock = std::function<void(os::Error error)>;
  using AsyncWork = std::function<void(FulfillBlock fulfill, RejectBlock reject)>;
  using RetryWork = std::function<Object()>;
  // Sees the remaining attempts before they are decremented.
  using RetryCondition = std::function<bool(int64_t remainingAttempts, const os::Error& error)>;
  using Reducer = std::function<Object(const Object& partial, const Object& item)>;
  using OptionalError = std::optional<os::Error>;  // a nullable error argument of a completion

  // Called with the description of a programming error.
  using AssertionHandler = std::function<void(const std::string& description)>;

  // --- Construction. Always hold promises in a VUVAravuvoPtr.

  // Pending; counted in the dispatch group until it settles or is destroyed.
  VUVAravuvo();
  // Settled at birth (not counted): rejected when `resolution` is an os::Error,
  // else fulfilled with it (nil allowed).
  explicit VUVAravuvo(Object resolution);
  ~VUVAravuvo();
  VUVAravuvo(const VUVAravuvo&) = delete;
  VUVAravuvo& operator=(const VUVAravuvo&) = delete;

  static VUVAravuvoPtr pendingPromise();
  static VUVAravuvoPtr resolvedWith(Object resolution);

  // --- Class-wide state.

  // The queue of every default-queue form: the main queue unless replaced.
  static Queue defaultDispatchQueue();
  static void setDefaultDispatchQueue(Queue queue);
  // Counts unfinished promise work (see the note at the top).
  static std::shared_ptr<os::DispatchGroup> dispatchGroup();

  // The null object (an os::Value holding null) and its test.
  static Object nullObject();
  static bool isNullObject(const Object& object);
  // The promise an object holds, or null when it holds none.
  static VUVAravuvoPtr asPromise(const Object& object);
  // The error an object holds, or null when it holds none.
  static const os::Error* asError(const Object& object);

  // Replaces the assertion handler (null restores the default); returns the
  // previous one. For tests.
  static AssertionHandler setAssertionHandler(AssertionHandler handler);

  // --- Settling. No effect on a settled promise.

  // Fulfils with `value`; an os::Error value rejects instead.
  void fulfill(Object value);
  void reject(os::Error error);

  // --- State, each read under the promise's lock.
  bool isPending() const;
  bool isFulfilled() const;
  bool isRejected() const;
  // The fulfilment value; nil unless fulfilled.
  Object value() const;
  // The rejection error; nullopt unless rejected.
  std::optional<os::Error> error() const;

  // Keeps `object` (must not be nil) alive until the promise settles; does
  // nothing on a settled promise.
  void addPendingObject(Object object);

  // Registers callbacks run on `queue` once the promise settles (later, also
  // when it has settled already). None may be null.
  void observeOnQueue(const Queue& queue, ObserveFulfill onFulfill, ObserveReject onReject);

  // A new pending promise settled from the receiver's outcome: on fulfilment
  // with v, by chainedFulfill(v) (or v when null); on rejection with e, by
  // chainedReject(e) (or e when null). A result that is a promise is adopted,
  // an os::Error rejects, anything else fulfils. Blocks run on `queue`.
  VUVAravuvoPtr chainOnQueue(const Queue& queue, ChainedFulfill chainedFulfill, ChainedReject chainedReject);

  // "<VUVAravuvo 0x...> Fulfilled: <value>", "... Rejected: <error>",
  // "<VUVAravuvo 0x...> Pending".
  std::string description() const;

  // --- Operators. Each returns a new promise; blocks run on the queue given
  // (or the default queue) and their results follow the chain rule above.

  // Runs `work` with the value on fulfilment; rejections pass through.
  VUVAravuvoPtr then(ThenWork work);
  VUVAravuvoPtr onQueueThen(const Queue& queue, ThenWork work);
  // Runs `reject` with the error on rejection; the outcome passes through.
  VUVAravuvoPtr catch_(CatchWork reject);
  VUVAravuvoPtr onQueueCatch(const Queue& queue, CatchWork reject);
  // Runs `work` once whatever the outcome; the outcome passes through.
  VUVAravuvoPtr always(AlwaysWork work);
  VUVAravuvoPtr onQueueAlways(const Queue& queue, AlwaysWork work);
  // Replaces a rejection by what `recovery` returns; fulfilments pass through.
  VUVAravuvoPtr recover(RecoverWork recovery);
  VUVAravuvoPtr onQueueRecover(const Queue& queue, RecoverWork recovery);
  // Passes a value the predicate accepts; otherwise rejects with
  // ValidationFailure. Rejections pass through.
  VUVAravuvoPtr validate(ValidatePredicate predicate);
  VUVAravuvoPtr onQueueValidate(const Queue& queue, ValidatePredicate predicate);
  // Fulfils `interval` seconds after the receiver fulfils; rejects at once.
  VUVAravuvoPtr delay(double interval);
  VUVAravuvoPtr onQueueDelay(const Queue& queue, double interval);
  // Settles like the receiver, or rejects with TimedOut when it has not
  // settled `interval` seconds from now. The timer is never cancelled; it
  // holds the new promise weakly.
  VUVAravuvoPtr timeout(double interval);
  VUVAravuvoPtr onQueueTimeout(const Queue& queue, double interval);
  // Folds `items` through reducer(partial, item) in order, one chain step per
  // item; a rejection skips the later steps. Empty items: the receiver itself.
  VUVAravuvoPtr reduce(const Objects& items, Reducer reducer);
  VUVAravuvoPtr onQueueReduce(const Queue& queue, const Objects& items, Reducer reducer);

  // Runs `work` on the queue (as a task of the dispatch group) and settles
  // with its result.
  static VUVAravuvoPtr do_(DoWork work);
  static VUVAravuvoPtr onQueueDo(const Queue& queue, DoWork work);
  // Runs `work` on the queue with a fulfil and a reject block; the first of
  // them to be called, from any thread at any time, settles the promise.
  static VUVAravuvoPtr async(AsyncWork work);
  static VUVAravuvoPtr onQueueAsync(const Queue& queue, AsyncWork work);

  // Runs `work` at once on the calling thread; while its outcome is an error,
  // `attempts` > 0 and `condition` (when given) agrees, runs it again on the
  // queue `delay` seconds later with one attempt fewer. So the work runs at
  // most attempts + 1 times. Settles with the first success or the last error.
  // Defaults: 1 attempt; 1.0 second delay; no condition.
  static VUVAravuvoPtr retry(RetryWork work);
  static VUVAravuvoPtr onQueueRetry(const Queue& queue, RetryWork work);
  static VUVAravuvoPtr attempts(int64_t count, RetryWork work);
  static VUVAravuvoPtr onQueueAttemptsRetry(const Queue& queue, int64_t count, RetryWork work);
  static VUVAravuvoPtr attempts(int64_t count, double delay, RetryCondition condition, RetryWork work);
  static VUVAravuvoPtr onQueueAttemptsDelayConditionRetry(const Queue& queue, int64_t count, double delay,
                                                          RetryCondition condition, RetryWork work);

  // Wrappers of completion-handler interfaces: onQueueAsync with a work that
  // calls `work` with a completion handler. A non-null error rejects and wins
  // over the values; otherwise the promise fulfils with the value(s). Only
  // the first call of a handler counts.
  using Completion = std::function<void()>;
  using ObjectCompletion = std::function<void(Object value)>;
  using ErrorCompletion = std::function<void(OptionalError error)>;
  using ObjectOrErrorCompletion = std::function<void(Object value, OptionalError error)>;
  using ErrorOrObjectCompletion = std::function<void(OptionalError error, Object value)>;
  using TwoObjectsOrErrorCompletion = std::function<void(Object value1, Object value2, OptionalError error)>;
  using BoolCompletion = std::function<void(bool value)>;
  using BoolOrErrorCompletion = std::function<void(bool value, OptionalError error)>;
  using IntegerCompletion = std::function<void(int64_t value)>;
  using IntegerOrErrorCompletion = std::function<void(int64_t value, OptionalError error)>;
  using DoubleCompletion = std::function<void(double value)>;
  using DoubleOrErrorCompletion = std::function<void(double value, OptionalError error)>;

  // Fulfils with nil.
  static VUVAravuvoPtr wrapCompletion(std::function<void(Completion)> work);
  static VUVAravuvoPtr onQueueWrapCompletion(const Queue& queue, std::function<void(Completion)> work);
  static VUVAravuvoPtr wrapObjectCompletion(std::function<void(ObjectCompletion)> work);
  static VUVAravuvoPtr onQueueWrapObjectCompletion(const Queue& queue, std::function<void(ObjectCompletion)> work);
  // Fulfils with nil when the error is null.
  static VUVAravuvoPtr wrapErrorCompletion(std::function<void(ErrorCompletion)> work);
  static VUVAravuvoPtr onQueueWrapErrorCompletion(const Queue& queue, std::function<void(ErrorCompletion)> work);
  static VUVAravuvoPtr wrapObjectOrErrorCompletion(std::function<void(ObjectOrErrorCompletion)> work);
  static VUVAravuvoPtr onQueueWrapObjectOrErrorCompletion(const Queue& queue,
                                                          std::function<void(ObjectOrErrorCompletion)> work);
  static VUVAravuvoPtr wrapErrorOrObjectCompletion(std::function<void(ErrorOrObjectCompletion)> work);
  static VUVAravuvoPtr onQueueWrapErrorOrObjectCompletion(const Queue& queue,
                                                          std::function<void(ErrorOrObjectCompletion)> work);
  // Fulfils with Objects{value1, value2}, each nil replaced by nullObject().
  static VUVAravuvoPtr wrap2ObjectsOrErrorCompletion(std::function<void(TwoObjectsOrErrorCompletion)> work);
  static VUVAravuvoPtr onQueueWrap2ObjectsOrErrorCompletion(const Queue& queue,
                                                            std::function<void(TwoObjectsOrErrorCompletion)> work);
  // The Boolean, integer and double members fulfil with an os::Number.
  static VUVAravuvoPtr wrapBoolCompletion(std::function<void(BoolCompletion)> work);
  static VUVAravuvoPtr onQueueWrapBoolCompletion(const Queue& queue, std::function<void(BoolCompletion)> work);
  static VUVAravuvoPtr wrapBoolOrErrorCompletion(std::function<void(BoolOrErrorCompletion)> work);
  static VUVAravuvoPtr onQueueWrapBoolOrErrorCompletion(const Queue& queue,
                                                        std::function<void(BoolOrErrorCompletion)> work);
  static VUVAravuvoPtr wrapIntegerCompletion(std::function<void(IntegerCompletion)> work);
  static VUVAravuvoPtr onQueueWrapIntegerCompletion(const Queue& queue, std::function<void(IntegerCompletion)> work);
  static VUVAravuvoPtr wrapIntegerOrErrorCompletion(std::function<void(IntegerOrErrorCompletion)> work);
  static VUVAravuvoPtr onQueueWrapIntegerOrErrorCompletion(const Queue& queue,
                                                           std::function<void(IntegerOrErrorCompletion)> work);
  static VUVAravuvoPtr wrapDoubleCompletion(std::function<void(DoubleCompletion)> work);
  static VUVAravuvoPtr onQueueWrapDoubleCompletion(const Queue& queue, std::function<void(DoubleCompletion)> work);
  static VUVAravuvoPtr wrapDoubleOrErrorCompletion(std::function<void(DoubleOrErrorCompletion)> work);
  static VUVAravuvoPtr onQueueWrapDoubleOrErrorCompletion(const Queue& queue,
                                                          std::function<void(DoubleOrErrorCompletion)> work);

  // --- Combinators. Elements are promises or plain objects; results keep the
  // order of the input.

  // Fulfils with the values (nil as nullObject()) once every element is
  // fulfilled; rejects with the first rejection, or at once with the first
  // plain os::Error element. Empty input: fulfilled with an empty list.
  static VUVAravuvoPtr all(const Objects& promises);
  static VUVAravuvoPtr onQueueAll(const Queue& queue, const Objects& promises);
  // Waits until every element has settled; fulfils with values and errors
  // side by side when at least one fulfilled, else rejects with the error of
  // the rejection that completed the set. Empty input: an empty list.
  static VUVAravuvoPtr any(const Objects& promises);
  static VUVAravuvoPtr onQueueAny(const Queue& queue, const Objects& promises);
  // Settles with the first outcome; a plain element (the first one in order)
  // decides at once. Must not be empty.
  static VUVAravuvoPtr race(const Objects& promises);
  static VUVAravuvoPtr onQueueRace(const Queue& queue, const Objects& promises);

 private:
  friend std::any VUVAravuvoAwait(const VUVAravuvoPtr& promise, std::optional<os::Error>* error);
  enum class State { Pending, Fulfilled, Rejected };
  struct Observer {
    Queue queue;
    ObserveFulfill onFulfill;
    ObserveReject onReject;
  };

  // Reports a programming error to the assertion handler.
  static void raise(const std::string& description);
  // False (after reporting "parameter") when the condition does not hold.
  static bool require(bool condition, const char* parameter);
  void settle(State state, std::shared_ptr<const std::any> resolution);
  static void submit(const Queue& queue, const Observer& observer, State state,
                     const std::shared_ptr<const std::any>& resolution);

  mutable std::mutex mutex_;
  State state_ = State::Pending;                    // guarded by mutex_
  std::shared_ptr<const std::any> resolution_;      // guarded by mutex_; the value or the error once settled
  std::unique_ptr<std::vector<Object>> pendingObjects_;  // guarded by mutex_; made on first use
  std::unique_ptr<std::vector<Observer>> observers_;     // guarded by mutex_; made on first use
  bool counted_ = false;  // entered the dispatch group; guarded by mutex_
};

// Blocks the calling thread until `promise` settles; returns its value (nil on
// rejection) and stores the error, or nullopt on fulfilment, through `error`
// when given. Its callbacks run on the await queue, so the promise may target
// the main queue; but whatever settles the promise must not need the waiting
// thread (never await on the queue that would settle it: that deadlocks).
std::any VUVAravuvoAwait(const VUVAravuvoPtr& promise, std::optional<os::Error>* error = nullptr);
