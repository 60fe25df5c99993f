// os::QueueConfined<T>: a value that only blocks of one serial queue may
// touch. Every access goes through get() (or the operators built on it:
// conversion, assignment, and ->, * and bool for pointer-like values),
// which checks that the queue is current (DispatchQueue::isCurrent) and calls
// the failure handler when it is not. Construction and destruction are not
// checked: the owner builds and drops the value wherever it lives.
//
// The check runs while queue checks are on: by default in builds without
// NDEBUG, and in every test executable (the build links the switch
// os_dispatch_queue_checks into each one); off in the release program, where
// an access costs one relaxed atomic load.
//
// checkQueue makes the same check for state a class does not hold itself (a
// store it reaches, a transient object told its queue at creation).
//
// The default failure handler prints what was touched and where, and aborts.
// Tests may install another (setQueueCheckFailureHandler).
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "os/dispatch/queue.h"

namespace os {

bool queueChecksEnabled();
void setQueueChecksEnabled(bool enabled);

// Called with the name of the value touched, its queue's label and the label
// of the queue current at the access ("" for none). Returns the previous
// handler; a null handler restores the default.
using QueueCheckFailureHandler = void (*)(const char* name, const std::string& queueLabel,
                                          const std::string& currentLabel);
QueueCheckFailureHandler setQueueCheckFailureHandler(QueueCheckFailureHandler handler);

namespace detail {
extern std::atomic<bool> queueChecksOn;
void queueCheckFailed(const char* name, const DispatchQueue* queue);
}  // namespace detail

// Calls the failure handler, naming `name`, unless `queue` is current (or
// checks are off). A null queue always fails.
inline void checkQueue(const DispatchQueue* queue, const char* name) {
  if (detail::queueChecksOn.load(std::memory_order_relaxed) && !(queue && queue->isCurrent())) {
    detail::queueCheckFailed(name, queue);
  }
}

template <class T>
class QueueConfined {
 public:
  // `name` must outlive the value (a string literal).
  QueueConfined(std::shared_ptr<DispatchQueue> queue, const char* name, T value = T{})
      : queue_(std::move(queue)), name_(name), value_(std::move(value)) {}
  QueueConfined(const QueueConfined&) = delete;
  QueueConfined& operator=(const QueueConfined&) = delete;

  T& get() {
    check();
    return value_;
  }
  const T& get() const {
    check();
    return value_;
  }
  operator T&() { return get(); }
  operator const T&() const { return get(); }
  // For pointer-like and optional values: what the value points at or holds.
  T& operator->() { return get(); }
  const T& operator->() const { return get(); }
  decltype(auto) operator*() { return *get(); }
  decltype(auto) operator*() const { return *get(); }
  explicit operator bool() const
    requires(!std::is_arithmetic_v<T> && std::is_constructible_v<bool, const T&>)
  {
    return static_cast<bool>(get());
  }
  template <class U>
  QueueConfined& operator=(U&& value) {
    get() = std::forward<U>(value);
    return *this;
  }

 private:
  void check() const { checkQueue(queue_.get(), name_); }

  const std::shared_ptr<DispatchQueue> queue_;
  const char* const name_;
  T value_;
};

}  // namespace os
