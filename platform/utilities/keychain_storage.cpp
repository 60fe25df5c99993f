#include "platform/utilities/keychain_storage.h"

#include "os/foundation/format.h"
#include "os/foundation/process_info.h"

// ---- DAZKeychainUtils ----

os::Result<std::optional<os::Data>> DAZKeychainUtils::getItemWithQuery(const os::Dictionary& query) {
  os::Dictionary search = multiplatformQueryWithQuery(query);
  search[os::kSecReturnData] = os::Value(true);
  search[os::kSecMatchLimit] = os::Value(os::kSecMatchLimitOne);
  os::Value result;
  const os::OSStatus status = os::SecItemCopyMatching(search, &result);
  if (status == os::errSecSuccess && result.isData()) return std::optional<os::Data>(*result.data());
  if (status == os::errSecItemNotFound) return std::optional<os::Data>();
  return os::fail(keychainErrorWithFunction("SecItemCopyMatching", status));
}

os::Status DAZKeychainUtils::setItem(const os::Data& item, const os::Dictionary& query) {
  const os::Dictionary keychainQuery = multiplatformQueryWithQuery(query);
  auto existing = getItemWithQuery(keychainQuery);
  if (!existing) return os::fail(existing.error());

  os::OSStatus status;
  const char* function;
  if (existing->has_value()) {
    function = "SecItemUpdate";
    status = os::SecItemUpdate(keychainQuery, {{os::kSecValueData, os::Value(item)}});
  } else {
    function = "SecItemAdd";
    os::Dictionary attributes = keychainQuery;
    attributes[os::kSecAttrAccessible] = os::Value(os::kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly);
    attributes[os::kSecValueData] = os::Value(item);
    status = os::SecItemAdd(attributes, nullptr);
  }
  if (status != os::errSecSuccess) return os::fail(keychainErrorWithFunction(function, status));
  return {};
}

os::Status DAZKeychainUtils::removeItemWithQuery(const os::Dictionary& query) {
  const os::OSStatus status = os::SecItemDelete(multiplatformQueryWithQuery(query));
  if (status == os::errSecSuccess || status == os::errSecItemNotFound) return {};
  return os::fail(keychainErrorWithFunction("SecItemDelete", status));
}

os::Dictionary DAZKeychainUtils::multiplatformQueryWithQuery(const os::Dictionary& query) {
  os::Dictionary out = query;
  if (os::ProcessInfo::processInfo().isOperatingSystemAtLeastVersion({13, 0, 0})) {
    out[os::kSecUseDataProtectionKeychain] = os::Value(true);
  }
  return out;
}

os::Error DAZKeychainUtils::keychainErrorWithFunction(std::string_view keychainFunction, os::OSStatus status) {
  const std::string reason = os::format("%@ (%li)", keychainFunction, static_cast<long>(status));
  return os::Error(kDAZKeychainErrorDomain, 0, {{os::kLocalizedFailureReasonErrorKey, os::Value(reason)}});
}

// ---- DAZKeychainStorageCache ----

DAZKeychainStorageCache::Object DAZKeychainStorageCache::objectForKey(const Key& key) {
  std::lock_guard lock(mutex_);
  auto it = index_.find(key);
  if (it == index_.end()) return nullptr;
  entries_.splice(entries_.begin(), entries_, it->second);
  return it->second->second;
}

void DAZKeychainStorageCache::setObject(Object object, const Key& key) {
  std::lock_guard lock(mutex_);
  if (auto it = index_.find(key); it != index_.end()) {
    it->second->second = std::move(object);
    entries_.splice(entries_.begin(), entries_, it->second);
    return;
  }
  entries_.emplace_front(key, std::move(object));
  index_.emplace(key, entries_.begin());
  while (countLimit_ > 0 && entries_.size() > countLimit_) {
    index_.erase(entries_.back().first);
    entries_.pop_back();
  }
}

void DAZKeychainStorageCache::removeObjectForKey(const Key& key) {
  std::lock_guard lock(mutex_);
  if (auto it = index_.find(key); it != index_.end()) {
    entries_.erase(it->second);
    index_.erase(it);
  }
}

void DAZKeychainStorageCache::removeAllObjects() {
  std::lock_guard lock(mutex_);
  entries_.clear();
  index_.clear();
}

size_t DAZKeychainStorageCache::count() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

// ---- DAZKeychainStorage ----

DAZKeychainStorage::DAZKeychainStorage(std::string service)
    : DAZKeychainStorage(std::move(service),
                         std::make_shared<DAZKeychainStorageCache>(kDAZKeychainStorageCacheCountLimit)) {}

DAZKeychainStorage::DAZKeychainStorage(std::string service, std::shared_ptr<DAZKeychainStorageCache> cache)
    : state_(std::make_shared<State>()) {
  state_->keychainQueue = os::DispatchQueue::serial(kDAZKeychainStorageKeychainQueueLabel);
  state_->inMemoryCacheQueue = os::DispatchQueue::serial(kDAZKeychainStorageCacheQueueLabel);
  state_->service = std::move(service);
  state_->inMemoryCache = std::move(cache);
}

os::Dictionary DAZKeychainStorage::State::queryFor(const std::string& key,
                                                   const std::optional<std::string>& accessGroup) const {
  os::Dictionary query{
      {os::kSecClass, os::Value(os::kSecClassGenericPassword)},
      {os::kSecAttrService, os::Value(service)},
      {os::kSecAttrAccount, os::Value(key)},
  };
  if (accessGroup) query[os::kSecAttrAccessGroup] = os::Value(*accessGroup);
  return DAZKeychainUtils::multiplatformQueryWithQuery(query);
}

os::Dictionary DAZKeychainStorage::keychainQueryWithKey(const std::string& key,
                                                        const std::optional<std::string>& accessGroup) const {
  return state_->queryFor(key, accessGroup);
}

void DAZKeychainStorage::fetchFromKeychain(const std::shared_ptr<State>& state, std::string key,
                                           std::string objectClass, std::optional<std::string> accessGroup,
                                           GetHandler<os::SecureCoding> handler) {
  state->keychainQueue->async([state, key = std::move(key), objectClass = std::move(objectClass),
                               accessGroup = std::move(accessGroup), handler = std::move(handler)] {
    auto data = DAZKeychainUtils::getItemWithQuery(state->queryFor(key, accessGroup));
    if (!data) return handler(os::fail(data.error()));
    if (!data->has_value()) return handler(std::shared_ptr<os::SecureCoding>());
    auto object = os::KeyedUnarchiver::unarchivedObjectOfClasses({objectClass}, **data);
    if (!object) return handler(os::fail(object.error()));
    handler(std::move(*object));
  });
}

void DAZKeychainStorage::getObjectFromKeychainForKey(const std::string& key, const std::string& objectClass,
                                                     std::optional<std::string> accessGroup,
                                                     GetHandler<os::SecureCoding> completionHandler) {
  fetchFromKeychain(state_, key, objectClass, std::move(accessGroup), std::move(completionHandler));
}

void DAZKeychainStorage::getObjectForKeyOfClass(const std::string& key, const std::string& objectClass,
                                                std::optional<std::string> accessGroup,
                                                GetHandler<os::SecureCoding> completionHandler) {
  state_->inMemoryCacheQueue->async([state = state_, key, objectClass, accessGroup = std::move(accessGroup),
                                     handler = std::move(completionHandler)]() mutable {
    const DAZKeychainStorageCache::Key cacheKey{accessGroup, key};
    if (auto cached = state->inMemoryCache->objectForKey(cacheKey)) {
      const os::SecureCoding& object = *cached;
      if (os::codingClassName(typeid(object)) == objectClass) return handler(std::move(cached));
    }
    fetchFromKeychain(
        state, key, objectClass, accessGroup,
        [state, cacheKey, handler = std::move(handler)](os::Result<std::shared_ptr<os::SecureCoding>> result) {
          if (!result || *result == nullptr) return handler(std::move(result));
          // Queued from the keychain queue: keeps keychain order (rule 3).
          state->inMemoryCacheQueue->async([state, cacheKey, object = std::move(*result), handler] {
            state->inMemoryCache->setObject(object, cacheKey);
            handler(object);
          });
        });
  });
}

void DAZKeychainStorage::setObject(std::shared_ptr<os::SecureCoding> object, const std::string& key,
                                   std::optional<std::string> accessGroup, SetHandler completionHandler) {
  state_->inMemoryCacheQueue->async([state = state_, object = std::move(object), key,
                                     accessGroup = std::move(accessGroup),
                                     handler = std::move(completionHandler)]() mutable {
    const DAZKeychainStorageCache::Key cacheKey{accessGroup, key};
    // Until the keychain holds the new object, no cached copy may answer.
    state->inMemoryCache->removeObjectForKey(cacheKey);
    state->keychainQueue->async([state, object = std::move(object), cacheKey, handler = std::move(handler)] {
      auto archived = os::KeyedArchiver::archivedDataWithRootObject(
          std::static_pointer_cast<const os::SecureCoding>(object));
      if (!archived) return handler(os::fail(archived.error()));
      auto stored = DAZKeychainUtils::setItem(*archived, state->queryFor(cacheKey.key, cacheKey.accessGroup));
      if (!stored) return handler(os::fail(stored.error()));
      state->inMemoryCacheQueue->async([state, object, cacheKey, handler] {
        state->inMemoryCache->setObject(object, cacheKey);
        handler(object);
      });
    });
  });
}

void DAZKeychainStorage::removeObjectForKey(const std::string& key, std::optional<std::string> accessGroup,
                                            RemoveHandler completionHandler) {
  state_->inMemoryCacheQueue->async([state = state_, key, accessGroup = std::move(accessGroup),
                                     handler = std::move(completionHandler)]() mutable {
    const DAZKeychainStorageCache::Key cacheKey{accessGroup, key};
    state->inMemoryCache->removeObjectForKey(cacheKey);
    state->keychainQueue->async([state, cacheKey, handler = std::move(handler)] {
      auto removed = DAZKeychainUtils::removeItemWithQuery(state->queryFor(cacheKey.key, cacheKey.accessGroup));
      if (!removed) return handler(os::fail(removed.error()));
      // A set that finished just before may have cached the object again.
      state->inMemoryCacheQueue->async([state, cacheKey, handler] {
        state->inMemoryCache->removeObjectForKey(cacheKey);
        handler({});
      });
    });
  });
}

void DAZKeychainStorage::resetInMemoryCache() { state_->inMemoryCache->removeAllObjects(); }
