// Locks: os::Mutex (NSLock), os::RecursiveMutex (NSRecursiveLock), and the
// per-object monitor behind "synchronized (object) { ... }".
//
// All satisfy Lockable (lock, unlock, try_lock), so std::lock_guard and
// std::unique_lock work with them.
#pragma once

#include <mutex>
#include <string>
#include <type_traits>
#include <utility>

namespace os {

class Mutex {
 public:
  void lock() { m_.lock(); }
  void unlock() { m_.unlock(); }
  bool tryLock() { return m_.try_lock(); }
  bool try_lock() { return m_.try_lock(); }
  const std::string& name() const { return name_; }
  void setName(std::string name) { name_ = std::move(name); }

 private:
  std::mutex m_;
  std::string name_;
};

class RecursiveMutex {
 public:
  void lock() { m_.lock(); }
  void unlock() { m_.unlock(); }
  bool tryLock() { return m_.try_lock(); }
  bool try_lock() { return m_.try_lock(); }

 private:
  std::recursive_mutex m_;
};

// A recursive lock to embed in an object whose methods synchronize on it.
class Monitor {
 public:
  void lock() { m_.lock(); }
  void unlock() { m_.unlock(); }
  bool try_lock() { return m_.try_lock(); }
  template <class F>
  decltype(auto) synchronized(F&& fn) {
    std::lock_guard<std::recursive_mutex> guard(m_);
    return std::forward<F>(fn)();
  }

 private:
  std::recursive_mutex m_;
};

namespace dispatch::detail {
// Takes and releases the recursive lock of an object identified by its
// address. Locks exist only while held or waited for.
void monitorEnter(const void* object);
void monitorExit(const void* object);
}  // namespace dispatch::detail

// Runs fn holding the monitor of `object` (recursive, per address; distinct
// objects never share a lock). Objects are identified by address only: use
// the address of the object itself (for a class-wide lock, of a static).
template <class F>
decltype(auto) synchronized(const void* object, F&& fn) {
  struct Guard {
    const void* o;
    explicit Guard(const void* p) : o(p) { dispatch::detail::monitorEnter(o); }
    ~Guard() { dispatch::detail::monitorExit(o); }
  } guard(object);
  return std::forward<F>(fn)();
}

}  // namespace os
