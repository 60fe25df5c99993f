#include "os/security/keychain.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "os/foundation/file_manager.h"
#include "os/foundation/file_system.h"
#include "os/foundation/keyed_archiver.h"
#include "os/foundation/sandbox.h"
#include "os/foundation/system_log.h"
#include "os/foundation/user_defaults.h"

namespace os {
namespace {

class KeychainTest : public ::testing::Test {
 protected:
  void SetUp() override { Keychain::resetShared(); }
  void TearDown() override {
    Keychain::resetShared();
    Keychain::setLockState(Keychain::LockState::Unlocked);
    Keychain::setEntitledAccessGroups({});
  }

  static Dictionary password(const std::string& service, const std::string& account) {
    return {{kSecClass, Value(kSecClassGenericPassword)},
            {kSecAttrService, Value(service)},
            {kSecAttrAccount, Value(account)}};
  }
  static Dictionary with(Dictionary d, std::initializer_list<std::pair<const std::string, Value>> more) {
    for (auto& [k, v] : more) d[k] = v;
    return d;
  }
  static std::optional<std::string> readSecret(const Dictionary& query) {
    Value out;
    if (SecItemCopyMatching(with(query, {{kSecReturnData, Value(true)}, {kSecMatchLimit, Value(kSecMatchLimitOne)}}),
                            &out) != errSecSuccess)
      return std::nullopt;
    return out.data()->toString();
  }
  std::string keychainFile() const { return sandbox.sandbox()->libraryDirectory() + "/Keychains/keychain.plist"; }

  TemporarySandbox sandbox;
};

TEST_F(KeychainTest, GenericPasswordLifecycle) {
  auto item = password("svc", "acct");
  EXPECT_EQ(readSecret(item), std::nullopt);
  Value out;
  EXPECT_EQ(SecItemCopyMatching(item, &out), errSecItemNotFound);
  EXPECT_EQ(SecItemDelete(item), errSecItemNotFound);

  ASSERT_EQ(SecItemAdd(with(item, {{kSecValueData, Value(Data::fromString("s1"))},
                                   {kSecAttrAccessible, Value(kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly)}})),
            errSecSuccess);
  EXPECT_EQ(SecItemAdd(with(item, {{kSecValueData, Value(Data::fromString("s2"))}})), errSecDuplicateItem);
  EXPECT_EQ(readSecret(item), "s1");

  ASSERT_EQ(SecItemUpdate(item, {{kSecValueData, Value(Data::fromString("s2"))}}), errSecSuccess);
  EXPECT_EQ(readSecret(item), "s2");
  EXPECT_EQ(SecItemUpdate(password("svc", "other"), {{kSecValueData, Value(Data())}}), errSecItemNotFound);

  ASSERT_EQ(SecItemCopyMatching(with(item, {{kSecReturnAttributes, Value(true)}}), &out), errSecSuccess);
  EXPECT_EQ(out[kSecAttrAccessible].stringValue(), kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly);
  EXPECT_EQ(out[kSecAttrAccessGroup].stringValue(), "drosil.default");
  EXPECT_TRUE(out[kSecAttrCreationDate].isDate());
  EXPECT_EQ(out.find(kSecValueData), nullptr);

  ASSERT_EQ(SecItemDelete(item), errSecSuccess);
  EXPECT_EQ(readSecret(item), std::nullopt);
}

TEST_F(KeychainTest, QueriesMatchOnEveryGivenAttribute) {
  ASSERT_EQ(SecItemAdd(with(password("svc", "a"), {{kSecAttrGeneric, Value("a")}, {kSecValueData, Value(Data::fromString("1"))}})), errSecSuccess);
  ASSERT_EQ(SecItemAdd(with(password("svc", "b"), {{kSecAttrAccessGroup, Value("group.x")}, {kSecValueData, Value(Data::fromString("2"))}})), errSecSuccess);
  // An older layout: the account is data, not a string. Attributes compare by
  // their bytes, so data "a" is the identity of the string item "a" already.
  Dictionary old{{kSecClass, Value(kSecClassGenericPassword)}, {kSecAttrService, Value("svc")},
                 {kSecAttrAccount, Value(Data::fromString("a"))}, {kSecValueData, Value(Data::fromString("3"))}};
  EXPECT_EQ(SecItemAdd(old), errSecDuplicateItem);
  old[kSecAttrAccount] = Value(Data::fromString("c"));
  ASSERT_EQ(SecItemAdd(old), errSecSuccess);

  Value all;
  Dictionary byService{{kSecClass, Value(kSecClassGenericPassword)}, {kSecAttrService, Value("svc")},
                       {kSecReturnAttributes, Value(true)}, {kSecReturnData, Value(true)},
                       {kSecMatchLimit, Value(kSecMatchLimitAll)}};
  ASSERT_EQ(SecItemCopyMatching(byService, &all), errSecSuccess);
  EXPECT_EQ(all.count(), 3u);
  EXPECT_EQ(readSecret(with(password("svc", "b"), {{kSecAttrAccessGroup, Value("group.x")}})), "2");
  EXPECT_EQ(readSecret(with(password("svc", "b"), {{kSecAttrAccessGroup, Value("group.y")}})), std::nullopt);
  EXPECT_EQ(readSecret(with(password("svc", "a"), {{kSecAttrGeneric, Value("a")}})), "1");
  EXPECT_EQ(readSecret(old), "3");
  // Found by the string of its bytes, and returned as it was written.
  Value found;
  ASSERT_EQ(SecItemCopyMatching(with(password("svc", "c"), {{kSecReturnAttributes, Value(true)}}), &found),
            errSecSuccess);
  EXPECT_EQ(found[kSecAttrAccount], Value(Data::fromString("c")));

  // Moving an item onto another's identity is refused and changes nothing.
  EXPECT_EQ(SecItemUpdate(old, {{kSecAttrAccount, Value("a")}}), errSecDuplicateItem);
  EXPECT_EQ(readSecret(old), "3");
  ASSERT_EQ(SecItemDelete(password("svc", "a")), errSecSuccess);
  ASSERT_EQ(SecItemUpdate(old, {{kSecAttrAccount, Value("a")}, {kSecAttrGeneric, Value("a")}}), errSecSuccess);
  EXPECT_EQ(readSecret(password("svc", "a")), "3");
}

TEST_F(KeychainTest, KeyItemsAreFoundByApplicationTag) {
  Dictionary pub{{kSecClass, Value(kSecClassKey)},
                 {kSecAttrKeyType, Value(kSecAttrKeyTypeRSA)},
                 {kSecAttrApplicationTag, Value(Data::fromString("com.devuvo.iid.keypair.public-com.app"))}};
  ASSERT_EQ(SecItemAdd(with(pub, {{kSecValueData, Value(Data::fromString("DER"))}})), errSecSuccess);
  EXPECT_EQ(readSecret(pub), "DER");
  Dictionary priv = pub;
  priv[kSecAttrApplicationTag] = Value(Data::fromString("com.devuvo.iid.keypair.private-com.app"));
  EXPECT_EQ(SecItemDelete(priv), errSecItemNotFound);
  EXPECT_EQ(SecItemDelete(pub), errSecSuccess);
}

TEST_F(KeychainTest, BadQueriesAreRefusedWithThePlatformStatus) {
  struct Case {
    const char* what;
    Dictionary query;
    OSStatus status;
  };
  const Case cases[] = {
      {"no class", {{kSecAttrService, Value("s")}}, errSecParam},
      {"unknown class", {{kSecClass, Value("cert")}}, errSecParam},
      {"unknown attribute", with(password("s", "a"), {{"zzzz", Value(1)}}), errSecNoSuchAttr},
      {"key attribute on a password", with(password("s", "a"), {{kSecAttrApplicationTag, Value("t")}}), errSecNoSuchAttr},
      {"bad accessibility", with(password("s", "a"), {{kSecAttrAccessible, Value("sometimes")}}), errSecParam},
      {"data that is not data", with(password("s", "a"), {{kSecValueData, Value("text")}}), errSecParam},
      {"null value", with(password("s", "a"), {{kSecAttrGeneric, Value()}}), errSecParam},
      {"limit on add", with(password("s", "a"), {{kSecMatchLimit, Value(kSecMatchLimitOne)}}), errSecParam},
  };
  for (const auto& c : cases) EXPECT_EQ(SecItemAdd(c.query), c.status) << c.what;
  ASSERT_EQ(SecItemAdd(password("s", "a")), errSecSuccess);
  EXPECT_EQ(SecItemUpdate(password("s", "a"), {{kSecClass, Value(kSecClassKey)}}), errSecParam);
  Value out;
  EXPECT_EQ(SecItemCopyMatching(with(password("s", "a"), {{kSecMatchLimit, Value("m_LimitSome")}}), &out), errSecParam);
}

TEST_F(KeychainTest, LockStateAndEntitlements) {
  ASSERT_EQ(SecItemAdd(with(password("s", "when"), {{kSecValueData, Value(Data::fromString("w"))}})), errSecSuccess);
  ASSERT_EQ(SecItemAdd(with(password("s", "after"), {{kSecValueData, Value(Data::fromString("a"))},
                                                     {kSecAttrAccessible, Value(kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly)}})),
            errSecSuccess);
  Keychain::setLockState(Keychain::LockState::LockedAfterFirstUnlock);
  Value out;
  EXPECT_EQ(SecItemCopyMatching(with(password("s", "when"), {{kSecReturnData, Value(true)}}), &out),
            errSecInteractionNotAllowed);
  EXPECT_EQ(readSecret(password("s", "after")), "a");
  Keychain::setLockState(Keychain::LockState::LockedBeforeFirstUnlock);
  EXPECT_EQ(readSecret(password("s", "after")), std::nullopt);
  Keychain::setLockState(Keychain::LockState::Unlocked);

  Keychain::setEntitledAccessGroups({"group.mine"});
  EXPECT_EQ(SecItemAdd(with(password("s", "x"), {{kSecAttrAccessGroup, Value("group.theirs")}})), errSecMissingEntitlement);
  EXPECT_EQ(SecItemAdd(with(password("s", "x"), {{kSecAttrAccessGroup, Value("group.mine")}})), errSecSuccess);
}

TEST_F(KeychainTest, ItemsSurviveARestartInAPrivateFile) {
  ASSERT_EQ(SecItemAdd(with(password("s", "a"), {{kSecValueData, Value(Data::fromString("kept"))}})), errSecSuccess);
  struct stat st {};
  ASSERT_EQ(::stat(keychainFile().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  Keychain::resetShared();
  EXPECT_EQ(readSecret(password("s", "a")), "kept");
}

TEST_F(KeychainTest, CorruptFileIsReportedAndReplaced) {
  ASSERT_EQ(SecItemAdd(password("s", "a")), errSecSuccess);
  Keychain::resetShared();
  ASSERT_TRUE(FileManager::defaultManager().createFileAtPath(keychainFile(), Data::fromString("bplist00 garbage")));
  LogCapture capture;
  EXPECT_EQ(readSecret(password("s", "a")), std::nullopt);
  EXPECT_EQ(capture.recordsContaining("corrupt").size(), 1u);
  ASSERT_EQ(SecItemAdd(with(password("s", "b"), {{kSecValueData, Value(Data::fromString("new"))}})), errSecSuccess);
  Keychain::resetShared();
  EXPECT_EQ(readSecret(password("s", "b")), "new");
  EXPECT_TRUE(FileManager::defaultManager().fileExistsAtPath(keychainFile() + ".corrupt"));
}

// A write that fails (disk full) must not be reported as done nor change what
// later reads see, in this launch or the next.
TEST_F(KeychainTest, FailedWriteChangesNothing) {
  ASSERT_EQ(SecItemAdd(with(password("s", "a"), {{kSecValueData, Value(Data::fromString("v1"))}})), errSecSuccess);
  {
    auto faulty = std::make_shared<FaultInjectingFileSystem>();
    ScopedFileSystem installed(faulty);
    faulty->failWritesWithDiskFull();
    EXPECT_EQ(SecItemUpdate(password("s", "a"), {{kSecValueData, Value(Data::fromString("v2"))}}), errSecIO);
    EXPECT_EQ(SecItemAdd(password("s", "b")), errSecIO);
    EXPECT_EQ(readSecret(password("s", "a")), "v1");
    EXPECT_EQ(readSecret(password("s", "b")), std::nullopt);
  }
  Keychain::resetShared();
  EXPECT_EQ(readSecret(password("s", "a")), "v1");
}

// A read that failed (too many open files) left the keychain loaded and
// empty, so the next add wrote a file holding only the new item.
TEST_F(KeychainTest, FailedReadKeepsTheStoredItems) {
  ASSERT_EQ(SecItemAdd(with(password("s", "a"), {{kSecValueData, Value(Data::fromString("first"))}})), errSecSuccess);
  Keychain::resetShared();
  {
    auto faulty = std::make_shared<FaultInjectingFileSystem>();
    ScopedFileSystem installed(faulty);
    faulty->inject(FileOp::Open, FaultInjectingFileSystem::Fault{EMFILE, keychainFile(), 0, 2});
    Value out;
    EXPECT_EQ(SecItemCopyMatching(password("s", "a"), &out), errSecIO);
    EXPECT_EQ(SecItemAdd(password("s", "refused")), errSecIO);
    EXPECT_EQ(faulty->failureCount(FileOp::Open), 2);
    // The next call reads the file again.
    ASSERT_EQ(SecItemAdd(with(password("s", "b"), {{kSecValueData, Value(Data::fromString("second"))}})),
              errSecSuccess);
  }
  Keychain::resetShared();
  EXPECT_EQ(readSecret(password("s", "a")), "first");
  EXPECT_EQ(readSecret(password("s", "b")), "second");
  EXPECT_EQ(readSecret(password("s", "refused")), std::nullopt);
}

// ---- everything the app keeps, across a restart ----

class Token : public SecureCoding {
 public:
  std::string token;
  static std::shared_ptr<Token> initWithCoder(KeyedUnarchiver& coder) {
    if (!coder.requireKeys({"token"})) return nullptr;
    auto t = std::make_shared<Token>();
    t->token = coder.decodeStringForKey("token").value_or("");
    return t;
  }
  void encodeWithCoder(KeyedArchiver& coder) const override { coder.encodeValue(Value(token), "token"); }
};
const CodingRegistration<Token> kTokenCoding("KeychainTestToken");

TEST_F(KeychainTest, DefaultsKeychainAndArchiveReadBackAfterRestart) {
  auto token = std::make_shared<Token>();
  token->token = "abc";
  auto archive = KeyedArchiver::archivedDataWithRootObject(token);
  ASSERT_TRUE(archive);
  ASSERT_EQ(SecItemAdd(with(password("com.vivuzuvu.REZInstallations.installations", "app"),
                            {{kSecValueData, Value(*archive)}})),
            errSecSuccess);
  auto suite = UserDefaults::initWithSuiteName("com.vivuzuvu.REZInstallations");
  suite->setBool(true, "app");
  UserDefaults::standardUserDefaults()->setObject(Value("E621E1F8"), "uuid");

  // Restart: every in-memory cache is dropped; only the sandbox's files remain.
  UserDefaults::resetStandardUserDefaults();
  Keychain::resetShared();

  EXPECT_TRUE(UserDefaults::initWithSuiteName("com.vivuzuvu.REZInstallations")->boolForKey("app"));
  EXPECT_EQ(UserDefaults::standardUserDefaults()->stringForKey("uuid"), "E621E1F8");
  Value data;
  ASSERT_EQ(SecItemCopyMatching(with(password("com.vivuzuvu.REZInstallations.installations", "app"),
                                     {{kSecReturnData, Value(true)}}),
                                &data),
            errSecSuccess);
  auto back = KeyedUnarchiver::unarchivedObjectOfClass<Token>(*data.data());
  ASSERT_TRUE(back);
  EXPECT_EQ((*back)->token, "abc");
}

}  // namespace
}  // namespace os
