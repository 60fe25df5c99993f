// Keychain storage of securely archived objects.
//
// DAZKeychainUtils turns the keychain item functions (os/security) into
// results: a failed call becomes an error in kDAZKeychainErrorDomain, code 0,
// whose failure reason names the function and its status ("SecItemAdd (-36)").
// A missing item is not an error.
//
// DAZKeychainStorage keeps objects as generic-password items of one service,
// account = the key, accessible after first unlock on this device only, with
// an in-memory cache of at most five objects in front. Every keychain call of
// a storage object runs on its serial queue "com.daz.KeychainStorage.Keychain",
// every cache access of get/set/remove on "com.daz.KeychainStorage.InMemoryCache";
// handlers run on one of those queues, never on the caller's thread.
//
// Cache rules:
//  1. The cache key is the access group together with the key: the same key
//     under two groups names two items, and two entries.
//  2. An object enters the cache only once the keychain holds it (a read, or
//     a write that succeeded); a set or remove drops the entry at once, so a
//     get issued after them reads the keychain after their write.
//  3. Cache updates that follow a keychain call are queued from within it, so
//     they reach the cache in keychain order.
#pragma once

#include <cstddef>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "os/dispatch/queue.h"
#include "os/foundation/data.h"
#include "os/foundation/error.h"
#include "os/foundation/keyed_archiver.h"
#include "os/foundation/value.h"
#include "os/security/keychain.h"

inline constexpr const char* kDAZKeychainErrorDomain = "com.daz.keychain.ErrorDomain";
inline constexpr const char* kDAZKeychainStorageKeychainQueueLabel = "com.daz.KeychainStorage.Keychain";
inline constexpr const char* kDAZKeychainStorageCacheQueueLabel = "com.daz.KeychainStorage.InMemoryCache";
inline constexpr size_t kDAZKeychainStorageCacheCountLimit = 5;

class DAZKeychainUtils {
 public:
  // The item's data; nullopt when there is none.
  static os::Result<std::optional<os::Data>> getItemWithQuery(const os::Dictionary& query);
  // Updates the data of the matching item, or adds one (accessible after first
  // unlock, this device only).
  static os::Status setItem(const os::Data& item, const os::Dictionary& query);
  // Removing an item that does not exist succeeds.
  static os::Status removeItemWithQuery(const os::Dictionary& query);
  // The query with kSecUseDataProtectionKeychain on iOS 13 and later.
  static os::Dictionary multiplatformQueryWithQuery(const os::Dictionary& query);
  static os::Error keychainErrorWithFunction(std::string_view keychainFunction, os::OSStatus status);
};

// A thread-safe cache of objects with a count limit; the least recently used
// entry goes first.
class DAZKeychainStorageCache {
 public:
  struct Key {
    std::optional<std::string> accessGroup;
    std::string key;
    friend auto operator<=>(const Key&, const Key&) = default;
  };
  using Object = std::shared_ptr<os::SecureCoding>;

  explicit DAZKeychainStorageCache(size_t countLimit) : countLimit_(countLimit) {}

  Object objectForKey(const Key& key);
  void setObject(Object object, const Key& key);
  void removeObjectForKey(const Key& key);
  void removeAllObjects();
  size_t count() const;
  size_t countLimit() const { return countLimit_; }

 private:
  const size_t countLimit_;
  mutable std::mutex mutex_;
  std::list<std::pair<Key, Object>> entries_;  // most recent first; guarded by mutex_
  std::map<Key, std::list<std::pair<Key, Object>>::iterator> index_;  // guarded by mutex_
};

class DAZKeychainStorage {
 public:
  template <class T>
  using GetHandler = std::function<void(os::Result<std::shared_ptr<T>> object)>;
  using SetHandler = std::function<void(os::Result<std::shared_ptr<os::SecureCoding>> object)>;
  using RemoveHandler = std::function<void(os::Status result)>;

  // A cache with the count limit of five.
  explicit DAZKeychainStorage(std::string service);
  DAZKeychainStorage(std::string service, std::shared_ptr<DAZKeychainStorageCache> cache);

  // The object stored under the key, unarchived as T (a registered
  // os::SecureCoding class): null when there is none, an error when the
  // keychain or the unarchiver fails.
  template <class T>
  void getObjectForKey(const std::string& key, std::optional<std::string> accessGroup, GetHandler<T> completionHandler) {
    getObjectForKeyOfClass(key, os::codingClassName(typeid(T)), std::move(accessGroup),
                           [handler = std::move(completionHandler)](os::Result<std::shared_ptr<os::SecureCoding>> r) {
                             if (!r) return handler(os::fail(r.error()));
                             if (*r == nullptr) return handler(std::shared_ptr<T>());
                             auto typed = std::dynamic_pointer_cast<T>(*r);
                             if (!typed) return handler(os::fail(os::KeyedUnarchiver::corrupt("Unexpected class.")));
                             handler(std::move(typed));
                           });
  }
  // getObjectForKey with the class given by its archived name.
  void getObjectForKeyOfClass(const std::string& key, const std::string& objectClass,
                              std::optional<std::string> accessGroup,
                              GetHandler<os::SecureCoding> completionHandler);

  // Archives and stores the object; the handler gets the object back, or the
  // archiver's or the keychain's error.
  void setObject(std::shared_ptr<os::SecureCoding> object, const std::string& key,
                 std::optional<std::string> accessGroup, SetHandler completionHandler);

  // Removing a key that was never stored succeeds.
  void removeObjectForKey(const std::string& key, std::optional<std::string> accessGroup,
                          RemoveHandler completionHandler);

  // The keychain half of a get: reads and unarchives, bypassing the cache.
  void getObjectFromKeychainForKey(const std::string& key, const std::string& objectClass,
                                   std::optional<std::string> accessGroup,
                                   GetHandler<os::SecureCoding> completionHandler);

  // Empties the cache at once, on the caller's thread.
  void resetInMemoryCache();

  os::Dictionary keychainQueryWithKey(const std::string& key, const std::optional<std::string>& accessGroup) const;

  const std::string& service() const { return state_->service; }
  const std::shared_ptr<DAZKeychainStorageCache>& inMemoryCache() const { return state_->inMemoryCache; }

 private:
  // Shared with queued blocks, which may run after the storage object is gone.
  struct State {
    std::shared_ptr<os::DispatchQueue> keychainQueue;
    std::shared_ptr<os::DispatchQueue> inMemoryCacheQueue;
    std::string service;
    std::shared_ptr<DAZKeychainStorageCache> inMemoryCache;
    os::Dictionary queryFor(const std::string& key, const std::optional<std::string>& accessGroup) const;
  };
  // Reads and unarchives on the keychain queue; the handler runs there.
  static void fetchFromKeychain(const std::shared_ptr<State>& state, std::string key, std::string objectClass,
                                std::optional<std::string> accessGroup, GetHandler<os::SecureCoding> handler);
  std::shared_ptr<State> state_;
};
