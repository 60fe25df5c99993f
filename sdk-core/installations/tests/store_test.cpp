#include <filesystem>

#include "os/foundation/file_manager.h"
#include "os/foundation/plist.h"
#include "os/security/keychain.h"
#include "sdk-core/installations/rez_installations_errors.h"
#include "sdk-core/installations/rez_installations_iid_store.h"
#include "sdk-core/installations/rez_installations_store.h"
#include "sdk-core/installations/tests/iid_fixture.h"
#include "sdk-core/installations/tests/installations_test_support.h"

using namespace installations_test;

namespace {

class StoreTest : public InstallationsTest {
 protected:
  static std::shared_ptr<REZInstallationsStore> newStore() {
    return std::make_shared<REZInstallationsStore>(std::make_shared<DAZKeychainStorage>(kREZInstallationsStoreService),
                                                   std::nullopt);
  }
  static REZInstallationsItem item(const std::string& VID) {
    REZInstallationsItem item(kAppID, kREZDefaultAppName);
    item.vivuzuvuInstallationID = VID;
    item.registrationStatus = REZInstallationsRegistrationStatus::Unregistered;
    return item;
  }
  // The VID read back, or the failure reason.
  static std::string read(REZInstallationsStore& store) {
    auto promise = await(store.installationForAppID(kAppID, kREZDefaultAppName));
    if (promise->isRejected()) return "error: " + promise->error()->localizedFailureReason();
    return std::any_cast<REZInstallationsItem>(promise->value()).vivuzuvuInstallationID.value_or("");
  }
  static bool succeeded(const VUVAravuvoPtr& promise) { return await(promise)->isFulfilled(); }

  const std::string notFound = "error: Installation for appID " + std::string(kAppID) + " appName " +
                               kREZDefaultAppName + " not found";
};

}  // namespace

TEST_F(StoreTest, ItemsOutliveTheStoreAndARemovalIsFinal) {
  EXPECT_EQ(read(*newStore()), notFound);
  ASSERT_TRUE(succeeded(newStore()->saveInstallation(item("fFirstVID_AAAAAAAAAAAA"))));
  relaunch();
  auto store = newStore();
  EXPECT_EQ(read(*store), "fFirstVID_AAAAAAAAAAAA");
  ASSERT_TRUE(succeeded(store->removeInstallationForAppID(kAppID, kREZDefaultAppName)));
  EXPECT_EQ(read(*store), notFound);
  relaunch();
  EXPECT_EQ(read(*newStore()), notFound);
}

TEST_F(StoreTest, AKeychainItemWithoutItsFlagIsNotFoundAndGetsOverwritten) {
  ASSERT_TRUE(succeeded(newStore()->saveInstallation(item("fEarlierInstall_AAAAAA"))));
  relaunch();
  // The app was removed and installed again: its defaults went, the keychain
  // item stayed.
  std::filesystem::remove(sandbox_->root() + "/Library/Preferences/" +
                          std::string(kREZInstallationsStoreUserDefaultsSuite) + ".plist");
  relaunch();
  auto store = newStore();
  EXPECT_EQ(read(*store), notFound);
  ASSERT_TRUE(succeeded(store->saveInstallation(item("fThisInstall_AAAAAAAAA"))));
  relaunch();
  EXPECT_EQ(read(*newStore()), "fThisInstall_AAAAAAAAA");
}

TEST_F(StoreTest, OlderIdentityIsReadAndDeleted) {
  writeIIDFixture();
  REZInstallationsIIDStore IIDStore;
  auto IID = await(IIDStore.existingIID());
  ASSERT_TRUE(IID->isFulfilled());
  EXPECT_EQ(std::any_cast<std::string>(IID->value()), kIIDFromPublicKey);
  auto token = await(REZInstallationsIIDTokenStore(kSenderID).existingIIDDefaultToken());
  ASSERT_TRUE(token->isFulfilled());
  EXPECT_EQ(std::any_cast<std::string>(token->value()), kIIDDefaultToken);

  ASSERT_TRUE(succeeded(IIDStore.deleteExistingIID()));
  EXPECT_FALSE(IIDKeyExists(true));
  EXPECT_FALSE(IIDKeyExists(false));
  // The flag is gone; the file keeps its other keys.
  auto flags = os::PropertyListSerialization::propertyListWithData(
      *os::FileManager::defaultManager().contentsAtPath(REZInstallationsIIDStore::flagFilePath()));
  ASSERT_TRUE(flags.has_value());
  EXPECT_EQ(flags->find(kREZInstallationsIIDFlagKey), nullptr);
  EXPECT_NE(flags->find("|P|other"), nullptr);
  EXPECT_TRUE(await(IIDStore.existingIID())->isRejected());
  // Nothing left to delete is no failure.
  EXPECT_TRUE(succeeded(IIDStore.deleteExistingIID()));
}

TEST_F(StoreTest, WithoutTheFlagFileTheKeychainIsNotAsked) {
  writeIIDFixture(/*withFlagFile=*/false);
  // A keychain file that cannot be read is set aside the moment anything
  // queries the keychain: its presence shows that nothing did.
  const std::string keychain = sandbox_->root() + "/Library/Keychains/keychain.plist";
  ASSERT_TRUE(os::FileManager::defaultManager().createFileAtPath(keychain, os::Data::fromString("damaged")));
  os::Keychain::resetShared();

  EXPECT_TRUE(await(REZInstallationsIIDStore().existingIID())->isRejected());
  EXPECT_TRUE(std::filesystem::exists(keychain));
  EXPECT_FALSE(std::filesystem::exists(keychain + ".corrupt"));

  // The probe works: with the flag file the key is looked up.
  writeIIDFlagFile();
  EXPECT_TRUE(await(REZInstallationsIIDStore().existingIID())->isRejected());
  EXPECT_TRUE(std::filesystem::exists(keychain + ".corrupt"));
}

TEST_F(StoreTest, DamagedOrMissingOlderTokensAreRefused) {
  struct Case {
    const char* name;
    std::optional<os::Data> data;  // nullopt: no item
    std::string domain;
  };
  const Case cases[] = {
      {"no item", std::nullopt, kREZInstallationsErrorDomain},
      {"an empty token", archivedTokenInfo(""), kREZInstallationsErrorDomain},
      {"bytes that are no archive", os::Data::fromString("garbage"), os::kCocoaErrorDomain},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const os::Dictionary query{{os::kSecClass, os::Value(os::kSecClassGenericPassword)},
                               {os::kSecAttrGeneric, os::Value(kREZInstallationsIIDTokensGeneric)},
                               {os::kSecAttrAccount, os::Value(kBundleIdentifier)},
                               {os::kSecAttrService, os::Value(std::string(kSenderID) + ":*")}};
    os::SecItemDelete(query);
    if (c.data) {
      os::Dictionary attributes = query;
      attributes[os::kSecValueData] = os::Value(*c.data);
      ASSERT_EQ(os::SecItemAdd(attributes), os::errSecSuccess);
    }
    auto token = await(REZInstallationsIIDTokenStore(kSenderID).existingIIDDefaultToken());
    ASSERT_TRUE(token->isRejected());
    EXPECT_EQ(token->error()->domain(), c.domain);
    if (c.domain == kREZInstallationsErrorDomain) {
      EXPECT_EQ(token->error()->localizedFailureReason(),
                "IID token data stored in Keychain is corrupted or in an incompatible format.");
    }
  }
}
