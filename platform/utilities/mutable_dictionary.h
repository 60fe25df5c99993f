// DAZMutableDictionary: a dictionary that any thread may use at once.
//
// Every access runs on the dictionary's own serial queue "DAZMutableDictionary":
// reads wait for their answer, writes are queued and return at once. The queue
// is first-in first-out, so a read issued after a write on the same thread sees
// that write. Storing a nil object (std::nullopt, a null os::Value, a null
// pointer or an empty function) removes the key.
//
// Never call a dictionary from inside a block of its own queue: no operation
// here does, and a read there would wait for itself (os::DispatchQueue aborts).
// A reference type: hold it in a std::shared_ptr.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "os/dispatch/queue.h"
#include "os/foundation/value.h"

inline constexpr const char* kDAZMutableDictionaryQueueLabel = "DAZMutableDictionary";

namespace daz_detail {

template <class T>
bool isNilObject(const T& object) {
  if constexpr (std::is_same_v<T, os::Value>) {
    return object.isNull();
  } else if constexpr (requires { object == nullptr; }) {
    return object == nullptr;
  } else {
    return false;
  }
}

}  // namespace daz_detail

template <class Object = os::Value, class Key = std::string>
class DAZMutableDictionary {
 public:
  using Map = std::map<Key, Object, std::less<>>;

  DAZMutableDictionary()
      : state_(std::make_shared<State>()), queue_(os::DispatchQueue::serial(kDAZMutableDictionaryQueueLabel)) {}

  // The object for the key, or nullopt.
  std::optional<Object> objectForKey(const Key& key) const {
    return queue_->sync([&, state = state_]() -> std::optional<Object> {
      auto it = state->objects.find(key);
      if (it == state->objects.end()) return std::nullopt;
      return it->second;
    });
  }
  std::optional<Object> objectForKeyedSubscript(const Key& key) const { return objectForKey(key); }

  size_t count() const {
    return queue_->sync([state = state_] { return state->objects.size(); });
  }

  // A snapshot of the contents; later writes do not change it.
  Map dictionary() const {
    return queue_->sync([state = state_] { return state->objects; });
  }

  // The description of the contents, as the platform's dictionary gives it.
  std::string description() const
    requires std::is_same_v<Object, os::Value> && std::is_same_v<Key, std::string>
  {
    return os::Value(os::Dictionary(dictionary())).description();
  }

  // Queues the store. A nil object removes the key instead of storing a
  // null entry that readers would mistake for a value.
  void setObjectForKey(std::optional<Object> object, Key key) {
    queue_->async([state = state_, object = std::move(object), key = std::move(key)]() mutable {
      if (!object.has_value() || daz_detail::isNilObject(*object)) {
        state->objects.erase(key);
      } else {
        state->objects.insert_or_assign(std::move(key), std::move(*object));
      }
    });
  }
  void setObjectForKeyedSubscript(std::optional<Object> object, Key key) {
    setObjectForKey(std::move(object), std::move(key));
  }

  void removeObjectForKey(Key key) {
    queue_->async([state = state_, key = std::move(key)] { state->objects.erase(key); });
  }

  void removeAllObjects() {
    queue_->async([state = state_] { state->objects.clear(); });
  }

 private:
  // Shared with queued blocks, which may run after the dictionary is gone.
  struct State {
    Map objects;  // touched only on queue_
  };
  std::shared_ptr<State> state_;
  std::shared_ptr<os::DispatchQueue> queue_;
};
