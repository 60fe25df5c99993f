#include "platform/utilities/keychain_storage.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>

#include "os/foundation/sandbox.h"

namespace {

class TestToken : public os::SecureCoding {
 public:
  explicit TestToken(std::string v) : value(std::move(v)) {}
  void encodeWithCoder(os::KeyedArchiver& coder) const override { coder.encodeValue(os::Value(value), "value"); }
  static std::shared_ptr<TestToken> initWithCoder(os::KeyedUnarchiver& coder) {
    auto v = coder.decodeStringForKey("value");
    return v ? std::make_shared<TestToken>(*v) : nullptr;
  }
  std::string value;
};
const os::CodingRegistration<TestToken> kTestTokenCoding("DAZTestToken");

// Never registered: archiving it fails.
class UnregisteredObject : public os::SecureCoding {
 public:
  void encodeWithCoder(os::KeyedArchiver&) const override {}
};

constexpr const char* kService = "com.drosil.tests.keychain";

template <class T>
T await(std::future<T> future) {
  if (future.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    ADD_FAILURE() << "completion handler never ran";
    std::abort();
  }
  return future.get();
}

os::Result<std::shared_ptr<TestToken>> get(DAZKeychainStorage& storage, const std::string& key,
                                           std::optional<std::string> group = std::nullopt) {
  auto promise = std::make_shared<std::promise<os::Result<std::shared_ptr<TestToken>>>>();
  storage.getObjectForKey<TestToken>(key, std::move(group), [promise](auto result) {
    EXPECT_FALSE(os::DispatchQueue::isMainThread());
    promise->set_value(std::move(result));
  });
  return await(promise->get_future());
}

os::Result<std::shared_ptr<os::SecureCoding>> set(DAZKeychainStorage& storage, std::shared_ptr<os::SecureCoding> object,
                                                  const std::string& key,
                                                  std::optional<std::string> group = std::nullopt) {
  auto promise = std::make_shared<std::promise<os::Result<std::shared_ptr<os::SecureCoding>>>>();
  storage.setObject(std::move(object), key, std::move(group),
                    [promise](auto result) { promise->set_value(std::move(result)); });
  return await(promise->get_future());
}

os::Status remove(DAZKeychainStorage& storage, const std::string& key, std::optional<std::string> group = {}) {
  auto promise = std::make_shared<std::promise<os::Status>>();
  storage.removeObjectForKey(key, std::move(group), [promise](os::Status result) { promise->set_value(result); });
  return await(promise->get_future());
}

std::string valueOf(const os::Result<std::shared_ptr<TestToken>>& result) {
  if (!result) return "error: " + result.error().description();
  return *result ? (*result)->value : "(none)";
}

// Removes every item of the service behind the storage's back.
void deleteAllItemsDirectly() {
  os::SecItemDelete({{os::kSecClass, os::Value(os::kSecClassGenericPassword)},
                     {os::kSecAttrService, os::Value(kService)}});
}

class KeychainStorageTest : public ::testing::Test {
 protected:
  void SetUp() override { os::Keychain::resetShared(); }
  void TearDown() override {
    os::Keychain::setEntitledAccessGroups({});
    os::Keychain::resetShared();
  }
  os::TemporarySandbox sandbox_;
};

TEST_F(KeychainStorageTest, UtilsAddThenUpdateAndReportFailuresByFunction) {
  const os::Dictionary query{{os::kSecClass, os::Value(os::kSecClassGenericPassword)},
                             {os::kSecAttrService, os::Value(kService)},
                             {os::kSecAttrAccount, os::Value("account")}};
  auto missing = DAZKeychainUtils::getItemWithQuery(query);
  ASSERT_TRUE(missing.has_value());
  EXPECT_FALSE(missing->has_value());
  EXPECT_TRUE(DAZKeychainUtils::removeItemWithQuery(query).has_value());

  ASSERT_TRUE(DAZKeychainUtils::setItem(os::Data::fromString("one"), query).has_value());
  ASSERT_TRUE(DAZKeychainUtils::setItem(os::Data::fromString("two"), query).has_value());
  EXPECT_EQ(DAZKeychainUtils::getItemWithQuery(query)->value().toString(), "two");
  os::Dictionary attributesQuery = query;
  attributesQuery[os::kSecReturnAttributes] = os::Value(true);
  attributesQuery[os::kSecMatchLimit] = os::Value(os::kSecMatchLimitAll);
  os::Value items;
  ASSERT_EQ(os::SecItemCopyMatching(attributesQuery, &items), os::errSecSuccess);
  ASSERT_EQ(items.count(), 1u);  // updated in place, not added twice
  EXPECT_EQ(items[0][os::kSecAttrAccessible], os::Value(os::kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly));

  os::Keychain::setEntitledAccessGroups({"allowed"});
  os::Dictionary denied = query;
  denied[os::kSecAttrAccessGroup] = os::Value("denied");
  auto failed = DAZKeychainUtils::setItem(os::Data::fromString("x"), denied);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().domain(), kDAZKeychainErrorDomain);
  EXPECT_EQ(failed.error().code(), 0);
  EXPECT_EQ(failed.error().localizedFailureReason(), "SecItemCopyMatching (-34018)");
  EXPECT_EQ(DAZKeychainUtils::keychainErrorWithFunction("SecItemAdd", -36).localizedFailureReason(),
            "SecItemAdd (-36)");
}

TEST_F(KeychainStorageTest, StoredObjectsSurviveARestart) {
  {
    DAZKeychainStorage storage(kService);
    EXPECT_EQ(valueOf(get(storage, "never-set")), "(none)");
    EXPECT_EQ(storage.inMemoryCache()->count(), 0u);
    ASSERT_TRUE(set(storage, std::make_shared<TestToken>("first"), "token").has_value());
    ASSERT_TRUE(set(storage, std::make_shared<TestToken>("second"), "token").has_value());
    ASSERT_TRUE(set(storage, std::make_shared<TestToken>("gone"), "removed").has_value());
    EXPECT_TRUE(remove(storage, "removed").has_value());
    EXPECT_TRUE(remove(storage, "never-set").has_value());
  }
  os::Keychain::resetShared();
  DAZKeychainStorage storage(kService);
  EXPECT_EQ(valueOf(get(storage, "token")), "second");
  EXPECT_EQ(valueOf(get(storage, "removed")), "(none)");
  DAZKeychainStorage otherService("com.drosil.tests.other");
  EXPECT_EQ(valueOf(get(otherService, "token")), "(none)");
}

TEST_F(KeychainStorageTest, CacheAnswersWithoutTheKeychainAndHoldsFiveObjects) {
  DAZKeychainStorage storage(kService);
  ASSERT_TRUE(set(storage, std::make_shared<TestToken>("cached"), "k").has_value());
  deleteAllItemsDirectly();
  EXPECT_EQ(valueOf(get(storage, "k")), "cached");  // a hit: the keychain no longer has it
  storage.resetInMemoryCache();
  EXPECT_EQ(valueOf(get(storage, "k")), "(none)");

  for (int i = 0; i < 6; ++i) {
    ASSERT_TRUE(set(storage, std::make_shared<TestToken>("v" + std::to_string(i)), "key" + std::to_string(i)));
  }
  EXPECT_EQ(storage.inMemoryCache()->count(), 5u);
  deleteAllItemsDirectly();
  EXPECT_EQ(valueOf(get(storage, "key0")), "(none)");  // the oldest was evicted
  for (int i = 1; i < 6; ++i) EXPECT_EQ(valueOf(get(storage, "key" + std::to_string(i))), "v" + std::to_string(i));
}

// A failed write used to leave the object in the cache, so later reads in the
// same process returned an object the keychain never stored.
TEST_F(KeychainStorageTest, FailedWriteLeavesNothingInTheCache) {
  DAZKeychainStorage storage(kService);
  auto unarchivable = set(storage, std::make_shared<UnregisteredObject>(), "k");
  ASSERT_FALSE(unarchivable.has_value());
  EXPECT_EQ(unarchivable.error().code(), os::kCoderInvalidValueError);
  EXPECT_EQ(valueOf(get(storage, "k")), "(none)");

  ASSERT_TRUE(set(storage, std::make_shared<TestToken>("stored"), "k2", "group").has_value());
  os::Keychain::setEntitledAccessGroups({"other"});
  auto refused = set(storage, std::make_shared<TestToken>("refused"), "k2", "group");
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().domain(), kDAZKeychainErrorDomain);
  EXPECT_EQ(storage.inMemoryCache()->count(), 0u);
  os::Keychain::setEntitledAccessGroups({});
  EXPECT_EQ(valueOf(get(storage, "k2", "group")), "stored");
}

// The cache used to key on the key alone, so a read under one access group
// returned the object stored under another.
TEST_F(KeychainStorageTest, SameKeyUnderTwoAccessGroupsIsTwoEntries) {
  DAZKeychainStorage storage(kService);
  ASSERT_TRUE(set(storage, std::make_shared<TestToken>("one"), "k", "group.one").has_value());
  EXPECT_EQ(valueOf(get(storage, "k", "group.two")), "(none)");
  ASSERT_TRUE(set(storage, std::make_shared<TestToken>("two"), "k", "group.two").has_value());
  EXPECT_EQ(valueOf(get(storage, "k", "group.one")), "one");
  EXPECT_EQ(valueOf(get(storage, "k", "group.two")), "two");
}

TEST_F(KeychainStorageTest, GetIssuedRightAfterSetOrRemoveSeesIt) {
  DAZKeychainStorage storage(kService);
  ASSERT_TRUE(set(storage, std::make_shared<TestToken>("old"), "k").has_value());
  // Issue without waiting: each operation must see the one before it.
  std::promise<std::string> afterSet, afterRemove;
  std::promise<bool> removed;
  storage.setObject(std::make_shared<TestToken>("new"), "k", std::nullopt, [](auto) {});
  storage.getObjectForKey<TestToken>("k", std::nullopt, [&](auto r) { afterSet.set_value(valueOf(r)); });
  storage.removeObjectForKey("k", std::nullopt, [&](os::Status s) { removed.set_value(s.has_value()); });
  storage.getObjectForKey<TestToken>("k", std::nullopt, [&](auto r) { afterRemove.set_value(valueOf(r)); });
  EXPECT_EQ(await(afterSet.get_future()), "new");
  EXPECT_EQ(await(afterRemove.get_future()), "(none)");
  // The cache is settled once the remove has finished, not when the get after
  // it answers (the get's answer comes from the keychain, before the remove's
  // last cache step).
  EXPECT_TRUE(await(removed.get_future()));
  EXPECT_EQ(storage.inMemoryCache()->count(), 0u);
}

}  // namespace
