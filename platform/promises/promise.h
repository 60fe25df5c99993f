// promises::Promise<T>: the typed face of VUVAravuvo.
//
// A Promise<T> is a handle over exactly one VUVAravuvo (objCPromise); copies
// share it, so two handles over one core promise are one promise. All state,
// observers, queues, ordering and time-outs are the core's. Promise<void> is
// a promise without value.
//
// Values and objects. A T travels as the core object std::any(T), with these
// exceptions: an empty std::optional (at any depth) travels as nil, a
// non-empty one as its inner value; the value of a Promise<void> is
// std::monostate. Reading back, the object is cast to T; when that fails, the
// null object (os::Value null) is cast instead, so nil reads as an empty
// optional. A list the core combines (all) reads as std::vector<T>. A core
// value that cannot be read as T when user code needs it is a programming
// error of whoever made the core promise and stops the process; the typed
// operations never make one.
//
// Errors are os::Error. Work "throws" by returning an os::Result<U> (or
// os::Status) holding an error: the promise rejects with it. Errors of the
// library's own domain map to PromiseError with promiseError(); handlers of
// catch_ and recover receive the os::Error as it is.
//
// Work results (then, recover, the do constructor, retry) settle the new
// promise by one rule: a Promise<U> is adopted, an os::Result<U> holding an
// error rejects, an os::Error value rejects, anything else fulfils.
//
// Threads: as VUVAravuvo. User closures run on the queue given, never under
// a library lock; awaitPromise() blocks its caller.
#pragma once

#include <any>
#include <concepts>
#include <expected>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <variant>
#include <vector>

#include "platform/promises/aravuvo.h"

namespace promises {

using Queue = VUVAravuvo::Queue;

// The library's own errors, in kVUVAravuvoErrorDomain.
enum class PromiseError : int64_t {
  timedOut = 1,
  validationFailure = 2,
};

inline os::Error toError(PromiseError error) {
  return os::Error(kVUVAravuvoErrorDomain, static_cast<int64_t>(error));
}

// The PromiseError an error stands for; nullopt for any other domain or code.
inline std::optional<PromiseError> promiseError(const os::Error& error) {
  if (error.domain() != kVUVAravuvoErrorDomain) return std::nullopt;
  if (error.code() == 1) return PromiseError::timedOut;
  if (error.code() == 2) return PromiseError::validationFailure;
  return std::nullopt;
}

// The queue callers pass when they have no other (the platform's
// DispatchQueue.promises property): VUVAravuvo's default queue, the main queue
// unless replaced.
inline Queue promisesQueue() { return VUVAravuvo::defaultDispatchQueue(); }
inline void setPromisesQueue(Queue queue) { VUVAravuvo::setDefaultDispatchQueue(std::move(queue)); }

template <class T>
class Promise;

namespace detail {

// What a Promise<T> hands to user code: T, or std::monostate for void.
template <class T>
using Stored = std::conditional_t<std::is_void_v<T>, std::monostate, T>;

template <class T>
struct IsOptional : std::false_type {};
template <class U>
struct IsOptional<std::optional<U>> : std::true_type {};

template <class T>
struct IsVector : std::false_type {};
template <class U>
struct IsVector<std::vector<U>> : std::true_type {};

template <class T>
struct IsPromise : std::false_type {};
template <class U>
struct IsPromise<Promise<U>> : std::true_type {};

template <class T>
struct IsResult : std::false_type {};
template <class U>
struct IsResult<std::expected<U, os::Error>> : std::true_type {};

// The value type of the promise a work result settles: Promise<U> -> U,
// Result<U> -> that of U, anything else itself.
template <class R>
struct ResultValueOf {
  using type = R;
};
template <class U>
struct ResultValueOf<Promise<U>> {
  using type = U;
};
template <class U>
struct ResultValueOf<std::expected<U, os::Error>> {
  using type = typename ResultValueOf<U>::type;
};
template <class R>
using ResultValue = typename ResultValueOf<std::remove_cvref_t<R>>::type;

std::string unqualifiedName(const std::type_info& type);
[[noreturn]] void valueMismatch(const std::type_info& expected, const std::any& object);

template <class T>
std::any toObject(T value) {
  if constexpr (IsOptional<T>::value) {
    return value ? toObject(std::move(*value)) : std::any();
  } else {
    return std::any(std::move(value));
  }
}

// The object read as T, or nullopt when it cannot be.
template <class T>
std::optional<T> fromObject(const std::any& object) {
  if constexpr (std::is_same_v<T, std::monostate>) {
    return std::monostate{};
  } else if constexpr (IsOptional<T>::value) {
    if (auto inner = fromObject<typename T::value_type>(object)) return std::optional<T>(std::in_place, std::move(*inner));
    if (!object.has_value() || VUVAravuvo::isNullObject(object)) return std::optional<T>(std::in_place);
    return std::nullopt;
  } else {
    if (auto* value = std::any_cast<T>(&object)) return *value;
    if constexpr (IsVector<T>::value) {
      if (auto* list = std::any_cast<VUVAravuvo::Objects>(&object)) {
        T out;
        out.reserve(list->size());
        for (const auto& element : *list) {
          auto item = fromObject<typename T::value_type>(element);
          if (!item) return std::nullopt;
          out.push_back(std::move(*item));
        }
        return out;
      }
    }
    const std::any null = VUVAravuvo::nullObject();
    if (auto* value = std::any_cast<T>(&null)) return *value;
    return std::nullopt;
  }
}

// The object read as T for user code; stops the process when it cannot be.
template <class T>
T valueOf(const std::any& object) {
  auto value = fromObject<T>(object);
  if (!value) valueMismatch(typeid(T), object);
  return std::move(*value);
}

// The core object of a work result (see the rule at the top).
template <class R>
std::any resultObject(R&& result) {
  using Plain = std::remove_cvref_t<R>;
  if constexpr (IsPromise<Plain>::value) {
    return std::any(result.asObjCPromise());
  } else if constexpr (IsResult<Plain>::value) {
    if (!result) return std::any(result.error());
    if constexpr (std::is_void_v<typename Plain::value_type>) {
      return std::any(std::monostate{});
    } else {
      return resultObject(std::move(*result));
    }
  } else {
    return toObject<Plain>(std::forward<R>(result));
  }
}

// Calls work with the value a core object holds (nothing for void).
template <class T, class F>
decltype(auto) callWith(F& work, const std::any& object) {
  if constexpr (std::is_void_v<T>) {
    return work();
  } else {
    return work(valueOf<T>(object));
  }
}

template <class T, class F>
struct CallResultOf {
  using type = std::invoke_result_t<F&, const T&>;
};
template <class F>
struct CallResultOf<void, F> {
  using type = std::invoke_result_t<F&>;
};
template <class T, class F>
using CallResult = typename CallResultOf<T, F>::type;

template <class T>
std::string typeName() {
  if constexpr (std::is_void_v<T>) {
    return "void";
  } else if constexpr (std::is_same_v<T, std::string>) {
    return "string";
  } else {
    return unqualifiedName(typeid(T));
  }
}

std::string describeNumber(double value);

// The text of a value for Promise::description().
template <class T>
std::string describe(const T& value) {
  if constexpr (IsOptional<T>::value) {
    return value ? describe(*value) : "nil";
  } else if constexpr (std::is_same_v<T, std::string>) {
    return value;
  } else if constexpr (std::is_same_v<T, bool>) {
    return value ? "true" : "false";
  } else if constexpr (std::is_integral_v<T>) {
    return std::to_string(value);
  } else if constexpr (std::is_floating_point_v<T>) {
    return describeNumber(static_cast<double>(value));
  } else if constexpr (std::is_same_v<T, std::monostate>) {
    return "()";
  } else if constexpr (requires { value.description(); }) {
    return value.description();
  } else if constexpr (IsVector<T>::value) {
    std::string out = "[";
    for (size_t i = 0; i < value.size(); ++i) out += (i ? ", " : "") + describe(value[i]);
    return out + "]";
  } else {
    return typeName<T>();
  }
}

template <class T>
struct FulfillOf {
  using type = std::function<void(T)>;
};
template <>
struct FulfillOf<void> {
  using type = std::function<void()>;
};

template <class... Ts, size_t... I>
std::tuple<Stored<Ts>...> toTuple(const VUVAravuvo::Objects& values, std::index_sequence<I...>) {
  return std::tuple<Stored<Ts>...>(valueOf<Stored<Ts>>(values[I])...);
}

}  // namespace detail

// The outcome of one promise in any(): a value or an error.
template <class T>
class Maybe {
 public:
  Maybe(T value) : outcome_(std::in_place_index<0>, std::move(value)) {}
  Maybe(os::Error error) : outcome_(std::in_place_index<1>, std::move(error)) {}

  std::optional<T> value() const {
    return outcome_.index() == 0 ? std::optional<T>(std::get<0>(outcome_)) : std::nullopt;
  }
  std::optional<os::Error> error() const {
    return outcome_.index() == 1 ? std::optional<os::Error>(std::get<1>(outcome_)) : std::nullopt;
  }
  // The core's object form: the value's object, or the error.
  std::any asAnyObject() const {
    return outcome_.index() == 0 ? detail::toObject(std::get<0>(outcome_)) : std::any(std::get<1>(outcome_));
  }

  // Values compare as T; errors by domain, code and user info.
  friend bool operator==(const Maybe& a, const Maybe& b)
    requires std::equality_comparable<T>
  {
    if (a.outcome_.index() != b.outcome_.index()) return false;
    if (a.outcome_.index() == 0) return std::get<0>(a.outcome_) == std::get<0>(b.outcome_);
    const auto& x = std::get<1>(a.outcome_);
    const auto& y = std::get<1>(b.outcome_);
    return x == y && x.userInfo() == y.userInfo();
  }

 private:
  std::variant<T, os::Error> outcome_;
};

template <class T>
class Promise {
 public:
  using Value = T;
  using Fulfill = typename detail::FulfillOf<T>::type;
  using Reject = std::function<void(os::Error)>;

  // Wraps a core promise (shared, not copied).
  explicit Promise(VUVAravuvoPtr objCPromise) : objCPromise_(std::move(objCPromise)) {}
  // Rejected with the error.
  explicit Promise(os::Error error) : objCPromise_(VUVAravuvo::resolvedWith(std::move(error))) {}
  explicit Promise(PromiseError error) : Promise(toError(error)) {}

  // Settled at once by `resolution()`: its value fulfils, an error (returned
  // as an os::Result or as an os::Error value) rejects, and a Promise<T> is
  // shared as it is.
  template <class F>
    requires std::invocable<F&>
  explicit Promise(F resolution) : objCPromise_(settled(resolution)) {}

  // Runs `work` on `queue`:
  //  - async form, work(fulfill, reject): settles with the first call of
  //    fulfill or reject, from any thread at any time; a work that returns
  //    an os::Status holding an error rejects;
  //  - do form, work(): settles with its result by the rule at the top.
  template <class F>
    requires std::invocable<F&, Fulfill, Reject> || std::invocable<F&>
  Promise(const Queue& queue, F work) : objCPromise_(start(queue, std::move(work))) {}

  static Promise pending() { return Promise(VUVAravuvo::pendingPromise()); }

  // Fulfils; a T that is an os::Error rejects.
  void fulfill(detail::Stored<T> value) const
    requires(!std::is_void_v<T>)
  {
    objCPromise_->fulfill(detail::toObject(std::move(value)));
  }
  void fulfill() const
    requires std::is_void_v<T>
  {
    objCPromise_->fulfill(std::monostate{});
  }
  void reject(os::Error error) const { objCPromise_->fulfill(std::any(std::move(error))); }
  void reject(PromiseError error) const { reject(toError(error)); }

  // The value; nullopt while pending or rejected, when the core value is nil
  // or when it cannot be read as T.
  std::optional<detail::Stored<T>> value() const {
    std::any object = objCPromise_->value();
    if (!object.has_value()) return std::nullopt;
    return detail::fromObject<detail::Stored<T>>(object);
  }
  // The rejection error; nullopt unless rejected. See promiseError().
  std::optional<os::Error> error() const { return objCPromise_->error(); }

  VUVAravuvoPtr asObjCPromise() const { return objCPromise_; }

  // "Fulfilled: <value>" ("nil" for a nil value), "Rejected: <error>",
  // "Pending: <unqualified name of T>".
  std::string description() const {
    if (objCPromise_->isFulfilled()) {
      auto v = value();
      return "Fulfilled: " + (v ? detail::describe(*v) : std::string("nil"));
    }
    if (auto e = error()) {
      if (auto mapped = promiseError(*e)) {
        return std::string("Rejected: ") + (*mapped == PromiseError::timedOut ? "timedOut" : "validationFailure");
      }
      return "Rejected: " + e->description();
    }
    return "Pending: " + detail::typeName<T>();
  }

  // Runs `work` with the value on fulfilment (rejections pass through).
  // Returns Promise<T> fulfilled with the same value when work returns
  // nothing (or an os::Status), else the promise its result settles.
  template <class F>
  auto then(const Queue& queue, F work) const {
    using R = detail::CallResult<T, F>;
    if constexpr (std::is_void_v<R>) {
      return Promise<T>(objCPromise_->onQueueThen(queue, [work = std::move(work)](const std::any& value) mutable {
        detail::callWith<T>(work, value);
        return value;
      }));
    } else if constexpr (std::is_same_v<R, os::Status>) {
      return Promise<T>(
          objCPromise_->onQueueThen(queue, [work = std::move(work)](const std::any& value) mutable -> std::any {
            os::Status status = detail::callWith<T>(work, value);
            return status ? value : std::any(status.error());
          }));
    } else {
      return Promise<detail::ResultValue<R>>(objCPromise_->onQueueThen(
          queue, [work = std::move(work)](const std::any& value) mutable {
            return detail::resultObject(detail::callWith<T>(work, value));
          }));
    }
  }

  // Runs `work` with the error on rejection; the outcome passes through.
  template <class F>
    requires std::invocable<F&, const os::Error&>
  Promise catch_(const Queue& queue, F work) const {
    return Promise(objCPromise_->onQueueCatch(queue, std::move(work)));
  }

  // Runs `work` once whatever the outcome; the outcome passes through.
  template <class F>
    requires std::invocable<F&>
  Promise always(const Queue& queue, F work) const {
    return Promise(objCPromise_->onQueueAlways(queue, std::move(work)));
  }

  // Replaces a rejection by what `work(error)` returns: a T, an os::Result<T>
  // or a Promise<T>.
  template <class F>
    requires std::invocable<F&, const os::Error&>
  Promise recover(const Queue& queue, F work) const {
    return Promise(objCPromise_->onQueueRecover(
        queue, [work = std::move(work)](const os::Error& error) mutable { return detail::resultObject(work(error)); }));
  }

  // Rejects with PromiseError::validationFailure when the predicate refuses
  // the value.
  template <class F>
  Promise validate(const Queue& queue, F predicate) const {
    return Promise(objCPromise_->onQueueValidate(queue, [predicate = std::move(predicate)](
                                                            const std::any& value) mutable -> bool {
      return detail::callWith<T>(predicate, value);
    }));
  }

  Promise timeout(const Queue& queue, double interval) const {
    return Promise(objCPromise_->onQueueTimeout(queue, interval));
  }
  Promise delay(const Queue& queue, double interval) const {
    return Promise(objCPromise_->onQueueDelay(queue, interval));
  }

  // Folds `items` into the value with reducer(partial, item), which returns a
  // Promise<T> (or a T, or an os::Result of either), one then() step per item
  // on promisesQueue(). Empty items: this promise itself.
  template <class Item, class F>
    requires(!std::is_void_v<T>)
  Promise reduce(const std::vector<Item>& items, F reducer) const {
    Promise result = *this;
    for (const auto& item : items) {
      result = result.then(promisesQueue(),
                           [reducer, item](const T& partial) mutable { return reducer(partial, item); });
    }
    return result;
  }

 private:
  template <class F>
  static VUVAravuvoPtr settled(F& resolution) {
    if constexpr (std::is_void_v<std::invoke_result_t<F&>>) {
      resolution();
      return VUVAravuvo::resolvedWith(std::monostate{});
    } else {
      return resolve(resolution());
    }
  }

  template <class R>
  static VUVAravuvoPtr resolve(R&& result) {
    if constexpr (detail::IsPromise<std::remove_cvref_t<R>>::value) {
      return result.asObjCPromise();
    } else if constexpr (std::is_void_v<T> && std::is_same_v<std::remove_cvref_t<R>, os::Status>) {
      return VUVAravuvo::resolvedWith(result ? std::any(std::monostate{}) : std::any(result.error()));
    } else {
      std::any object = detail::resultObject(std::forward<R>(result));
      if (auto promise = VUVAravuvo::asPromise(object)) return promise;
      return VUVAravuvo::resolvedWith(std::move(object));
    }
  }

  template <class F>
  static VUVAravuvoPtr start(const Queue& queue, F work) {
    if constexpr (std::invocable<F&, Fulfill, Reject>) {
      return VUVAravuvo::onQueueAsync(
          queue, [work = std::move(work)](VUVAravuvo::FulfillBlock fulfill, VUVAravuvo::RejectBlock reject) mutable {
            Fulfill typedFulfill;
            if constexpr (std::is_void_v<T>) {
              typedFulfill = [fulfill] { fulfill(std::monostate{}); };
            } else {
              typedFulfill = [fulfill](T value) { fulfill(detail::toObject(std::move(value))); };
            }
            using R = std::invoke_result_t<F&, Fulfill, Reject>;
            if constexpr (std::is_same_v<R, os::Status>) {
              os::Status status = work(std::move(typedFulfill), reject);
              if (!status) reject(status.error());
            } else {
              work(std::move(typedFulfill), reject);
            }
          });
    } else {
      return VUVAravuvo::onQueueDo(queue, [work = std::move(work)]() mutable -> std::any {
        if constexpr (std::is_void_v<std::invoke_result_t<F&>>) {
          work();
          return std::monostate{};
        } else {
          return detail::resultObject(work());
        }
      });
    }
  }

  VUVAravuvoPtr objCPromise_;
};

// Runs `work` at once; while it fails, runs it again on `queue` after `delay`
// seconds, at most `attempts` more times and while `condition` (when given)
// agrees. The work returns a Promise<T> (or a T, or an os::Result of either).
template <class F>
auto retry(const Queue& queue, int64_t attempts, double delay, VUVAravuvo::RetryCondition condition, F work) {
  using R = std::invoke_result_t<F&>;
  return Promise<detail::ResultValue<R>>(VUVAravuvo::onQueueAttemptsDelayConditionRetry(
      queue, attempts, delay, std::move(condition),
      [work = std::move(work)]() mutable { return detail::resultObject(work()); }));
}

// Fulfils with every value, in input order, once all fulfil; rejects with the
// first rejection. A Promise<void> list gives a list of std::monostate.
template <class T>
Promise<std::vector<detail::Stored<T>>> all(const Queue& queue, const std::vector<Promise<T>>& promises) {
  VUVAravuvo::Objects cores;
  cores.reserve(promises.size());
  for (const auto& promise : promises) cores.emplace_back(promise.asObjCPromise());
  return Promise<std::vector<detail::Stored<T>>>(VUVAravuvo::onQueueAll(queue, cores));
}

template <class T>
Promise<std::vector<detail::Stored<T>>> all(const Queue& queue, std::initializer_list<Promise<T>> promises) {
  return all(queue, std::vector<Promise<T>>(promises));
}

// all() over two to four promises of different types: a tuple of values.
template <class... Ts>
  requires(sizeof...(Ts) >= 2 && sizeof...(Ts) <= 4)
Promise<std::tuple<detail::Stored<Ts>...>> all(const Queue& queue, const Promise<Ts>&... promises) {
  auto combined = VUVAravuvo::onQueueAll(queue, VUVAravuvo::Objects{std::any(promises.asObjCPromise())...});
  if (!combined) return Promise<std::tuple<detail::Stored<Ts>...>>(nullptr);
  return Promise<std::tuple<detail::Stored<Ts>...>>(combined->onQueueThen(queue, [](const std::any& values) {
    return std::any(detail::toTuple<Ts...>(*std::any_cast<VUVAravuvo::Objects>(&values),
                                           std::index_sequence_for<Ts...>{}));
  }));
}

namespace detail {

template <class T>
Maybe<Stored<T>> toMaybe(const std::any& outcome) {
  if (auto* error = VUVAravuvo::asError(outcome)) return Maybe<Stored<T>>(*error);
  return Maybe<Stored<T>>(valueOf<Stored<T>>(outcome));
}

template <class... Ts, size_t... I>
std::tuple<Maybe<Stored<Ts>>...> toMaybeTuple(const VUVAravuvo::Objects& outcomes, std::index_sequence<I...>) {
  return std::tuple<Maybe<Stored<Ts>>...>(toMaybe<Ts>(outcomes[I])...);
}

}  // namespace detail

// Waits for every promise; fulfils with each outcome in input order when at
// least one fulfilled, else rejects with the last rejection's error.
template <class T>
Promise<std::vector<Maybe<detail::Stored<T>>>> any(const Queue& queue, const std::vector<Promise<T>>& promises) {
  VUVAravuvo::Objects cores;
  cores.reserve(promises.size());
  for (const auto& promise : promises) cores.emplace_back(promise.asObjCPromise());
  auto combined = VUVAravuvo::onQueueAny(queue, cores);
  if (!combined) return Promise<std::vector<Maybe<detail::Stored<T>>>>(nullptr);
  return Promise<std::vector<Maybe<detail::Stored<T>>>>(combined->onQueueThen(queue, [](const std::any& outcomes) {
    std::vector<Maybe<detail::Stored<T>>> out;
    for (const auto& outcome : *std::any_cast<VUVAravuvo::Objects>(&outcomes)) {
      out.push_back(detail::toMaybe<T>(outcome));
    }
    return std::any(std::move(out));
  }));
}

template <class T>
Promise<std::vector<Maybe<detail::Stored<T>>>> any(const Queue& queue, std::initializer_list<Promise<T>> promises) {
  return any(queue, std::vector<Promise<T>>(promises));
}

// any() over two or three promises of different types: a tuple of outcomes.
template <class... Ts>
  requires(sizeof...(Ts) >= 2 && sizeof...(Ts) <= 3)
Promise<std::tuple<Maybe<detail::Stored<Ts>>...>> any(const Queue& queue, const Promise<Ts>&... promises) {
  auto combined = VUVAravuvo::onQueueAny(queue, VUVAravuvo::Objects{std::any(promises.asObjCPromise())...});
  if (!combined) return Promise<std::tuple<Maybe<detail::Stored<Ts>>...>>(nullptr);
  return Promise<std::tuple<Maybe<detail::Stored<Ts>>...>>(combined->onQueueThen(queue, [](const std::any& outcomes) {
    return std::any(detail::toMaybeTuple<Ts...>(*std::any_cast<VUVAravuvo::Objects>(&outcomes),
                                                std::index_sequence_for<Ts...>{}));
  }));
}

// Settles like the first promise to settle. Must not be empty.
template <class T>
Promise<T> race(const Queue& queue, const std::vector<Promise<T>>& promises) {
  VUVAravuvo::Objects cores;
  cores.reserve(promises.size());
  for (const auto& promise : promises) cores.emplace_back(promise.asObjCPromise());
  return Promise<T>(VUVAravuvo::onQueueRace(queue, cores));
}

template <class T>
Promise<T> race(const Queue& queue, std::initializer_list<Promise<T>> promises) {
  return race(queue, std::vector<Promise<T>>(promises));
}

namespace detail {

using OptionalError = std::optional<os::Error>;

// Completion-handler shapes of wrap(), by the handler's argument types.
template <class... Args>
struct Wrap;

template <>
struct Wrap<> {
  using Value = void;
  static std::function<void()> handler(VUVAravuvo::FulfillBlock fulfill, VUVAravuvo::RejectBlock) {
    return [fulfill] { fulfill(std::monostate{}); };
  }
};

template <class V>
struct Wrap<V> {
  using Value = V;
  static std::function<void(V)> handler(VUVAravuvo::FulfillBlock fulfill, VUVAravuvo::RejectBlock) {
    return [fulfill](V value) { fulfill(toObject(std::move(value))); };
  }
};

template <class V>
struct Wrap<V, OptionalError> {
  using Value = V;
  static std::function<void(V, OptionalError)> handler(VUVAravuvo::FulfillBlock fulfill,
                                                       VUVAravuvo::RejectBlock reject) {
    return [fulfill, reject](V value, OptionalError error) {
      if (error) {
        reject(*error);
      } else {
        fulfill(toObject(std::move(value)));
      }
    };
  }
};

template <class V>
struct Wrap<OptionalError, V> {
  using Value = V;
  static std::function<void(OptionalError, V)> handler(VUVAravuvo::FulfillBlock fulfill,
                                                       VUVAravuvo::RejectBlock reject) {
    return [fulfill, reject](OptionalError error, V value) {
      if (error) {
        reject(*error);
      } else {
        fulfill(toObject(std::move(value)));
      }
    };
  }
};

template <class A, class B>
struct Wrap<std::optional<A>, std::optional<B>, OptionalError> {
  using Value = std::tuple<std::optional<A>, std::optional<B>>;
  static std::function<void(std::optional<A>, std::optional<B>, OptionalError)> handler(
      VUVAravuvo::FulfillBlock fulfill, VUVAravuvo::RejectBlock reject) {
    return [fulfill, reject](std::optional<A> a, std::optional<B> b, OptionalError error) {
      if (error) {
        reject(*error);
      } else {
        fulfill(std::any(Value(std::move(a), std::move(b))));
      }
    };
  }
};

}  // namespace detail

// Wraps a completion-handler interface. The template arguments are the
// handler's argument types; the work receives a std::function<void(Args...)>:
//   wrap<>(q, w)                                  -> Promise<void>
//   wrap<V>(q, w)                                 -> Promise<V> (V may be optional)
//   wrap<V, std::optional<os::Error>>(q, w)       -> Promise<V>
//   wrap<std::optional<os::Error>, V>(q, w)       -> Promise<V>
//   wrap<std::optional<A>, std::optional<B>, std::optional<os::Error>>(q, w)
//                                                 -> Promise<std::tuple<std::optional<A>, std::optional<B>>>
// A present error rejects; otherwise the value fulfils (an os::Error value
// rejects). Only the handler's first call counts. A work returning an
// os::Status holding an error rejects.
template <class... Args, class F>
Promise<typename detail::Wrap<Args...>::Value> wrap(const Queue& queue, F work) {
  using Shape = detail::Wrap<Args...>;
  return Promise<typename Shape::Value>(VUVAravuvo::onQueueAsync(
      queue, [work = std::move(work)](VUVAravuvo::FulfillBlock fulfill, VUVAravuvo::RejectBlock reject) mutable {
        auto handler = Shape::handler(fulfill, reject);
        using R = std::invoke_result_t<F&, decltype(handler)>;
        if constexpr (std::is_same_v<R, os::Status>) {
          os::Status status = work(std::move(handler));
          if (!status) reject(status.error());
        } else {
          work(std::move(handler));
        }
      }));
}

// Blocks the calling thread until the promise settles; its value or error
// (unmapped). Never call it on the queue that would settle the promise.
template <class T>
std::conditional_t<std::is_void_v<T>, os::Status, os::Result<T>> awaitPromise(const Promise<T>& promise) {
  std::optional<os::Error> error;
  std::any value = VUVAravuvoAwait(promise.asObjCPromise(), &error);
  if (error) return os::fail(std::move(*error));
  if constexpr (std::is_void_v<T>) {
    return {};
  } else {
    return detail::valueOf<T>(value);
  }
}

}  // namespace promises
