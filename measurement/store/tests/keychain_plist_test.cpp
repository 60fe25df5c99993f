#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "measurement/store/backward_compatibility_util.h"
#include "measurement/store/info_plist_file_util.h"
#include "measurement/store/keychain_wrapper.h"
#include "measurement/store/tests/test_support.h"
#include "os/foundation/bundle.h"
#include "os/runtime/runtime.h"
#include "os/security/keychain.h"

namespace {

using Keychain = APMKeychainWrapper;

class KeychainWrapperTest : public apm_test::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    Keychain::TEST_resetMigration();
  }
  // Every generic-password item of the service, with its attributes and data.
  static std::vector<os::Dictionary> items(const std::string& service) {
    os::Value found;
    const os::OSStatus status = os::SecItemCopyMatching(
        {{os::kSecClass, os::Value(os::kSecClassGenericPassword)},
         {os::kSecAttrService, os::Value(service)},
         {os::kSecReturnAttributes, os::Value(true)},
         {os::kSecReturnData, os::Value(true)},
         {os::kSecMatchLimit, os::Value(os::kSecMatchLimitAll)}},
        &found);
    std::vector<os::Dictionary> out;
    if (status != os::errSecSuccess) return out;
    for (const auto& item : *found.array()) out.push_back(*item.dictionary());
    return out;
  }
  // An item written by someone else, with its own attributes.
  static void addItem(const std::string& service, const os::Value& account, const os::Value& generic,
                      const std::string& value, const char* accessible) {
    ASSERT_EQ(os::SecItemAdd({{os::kSecClass, os::Value(os::kSecClassGenericPassword)},
                              {os::kSecAttrService, os::Value(service)},
                              {os::kSecAttrAccount, account},
                              {os::kSecAttrGeneric, generic},
                              {os::kSecAttrAccessible, os::Value(accessible)},
                              {os::kSecValueData, os::Value(os::Data::fromString(value))}}),
              os::errSecSuccess);
  }
};

TEST_F(KeychainWrapperTest, AWriteReplacesTheValueOfTheOneItem) {
  EXPECT_EQ(Keychain::keychainValueWithIdentifier("_pfo", "com.example.app"), std::nullopt);
  EXPECT_TRUE(Keychain::upsertKeychainValue("3", "_pfo", "com.example.app"));
  EXPECT_TRUE(Keychain::upsertKeychainValue("4", "_pfo", "com.example.app"));
  EXPECT_EQ(Keychain::keychainValueWithIdentifier("_pfo", "com.example.app"), "4");
  const auto stored = items("com.example.app");
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].at(os::kSecAttrAccount), os::Value("_pfo"));
  EXPECT_EQ(stored[0].at(os::kSecAttrGeneric), os::Value("_pfo"));
  EXPECT_EQ(stored[0].at(os::kSecAttrAccessible), os::Value(os::kSecAttrAccessibleAlwaysThisDeviceOnly));
  EXPECT_EQ(stored[0].at(os::kSecValueData), os::Value(os::Data::fromString("4")));

  // Another identifier is another item.
  EXPECT_TRUE(Keychain::upsertKeychainValue("x", "other", "com.example.app"));
  EXPECT_EQ(items("com.example.app").size(), 2u);
  Keychain::deleteKeychainValueWithIdentifier("_pfo", "com.example.app");
  EXPECT_EQ(Keychain::keychainValueWithIdentifier("_pfo", "com.example.app"), std::nullopt);
  EXPECT_EQ(Keychain::keychainValueWithIdentifier("other", "com.example.app"), "x");
}

TEST_F(KeychainWrapperTest, BadArgumentsWriteNothing) {
  struct Case {
    const char* name;
    os::Value value;
    std::string identifier, appID;
  };
  const Case cases[] = {
      {"empty string", os::Value(""), "_pfo", "app"},
      {"number", os::Value(4), "_pfo", "app"},
      {"null", os::Value(), "_pfo", "app"},
      {"empty identifier", os::Value("4"), "", "app"},
      {"empty app ID", os::Value("4"), "_pfo", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(Keychain::upsertKeychainValue(c.value, c.identifier, c.appID));
    EXPECT_EQ(Keychain::keychainValueWithIdentifier(c.identifier, c.appID), std::nullopt);
  }
  EXPECT_TRUE(items("app").empty());
  EXPECT_TRUE(items("").empty());
}

// The update used to match the accessibility as well: an item stored with
// another accessibility was read but never matched, so every later write of
// the value failed.
TEST_F(KeychainWrapperTest, AnItemOfAnotherAccessibilityIsUpdatedAndMadeAlwaysAccessible) {
  addItem("app", os::Value("_pfo"), os::Value("_pfo"), "1", os::kSecAttrAccessibleWhenUnlocked);
  EXPECT_EQ(Keychain::keychainValueWithIdentifier("_pfo", "app"), "1");
  EXPECT_TRUE(Keychain::upsertKeychainValue("2", "_pfo", "app"));
  EXPECT_EQ(Keychain::keychainValueWithIdentifier("_pfo", "app"), "2");
  const auto stored = items("app");
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].at(os::kSecAttrAccessible), os::Value(os::kSecAttrAccessibleAlwaysThisDeviceOnly));
}

TEST_F(KeychainWrapperTest, TheFirstReadMovesAnOlderItemToStringAttributes) {
  const os::Value pfo(os::Data::fromString("_pfo"));
  const os::Value count(os::Data::fromString("count"));
  addItem("app", pfo, pfo, "7", os::kSecAttrAccessibleAlwaysThisDeviceOnly);
  addItem("app", count, os::Value("count"), "9", os::kSecAttrAccessibleAlwaysThisDeviceOnly);
  EXPECT_TRUE(Keychain::isMigrationNeededForIdentifier("_pfo", "app"));
  EXPECT_FALSE(Keychain::isMigrationNeededForIdentifier("missing", "app"));

  EXPECT_EQ(Keychain::keychainValueWithIdentifier("_pfo", "app"), "7");
  EXPECT_FALSE(Keychain::isMigrationNeededForIdentifier("_pfo", "app"));
  // Once per process: the second older item is read as it is and left so.
  EXPECT_EQ(Keychain::keychainValueWithIdentifier("count", "app"), "9");
  EXPECT_TRUE(Keychain::isMigrationNeededForIdentifier("count", "app"));

  for (const auto& item : items("app")) {
    SCOPED_TRACE(item.at(os::kSecValueData).description());
    const bool migrated = item.at(os::kSecValueData) == os::Value(os::Data::fromString("7"));
    EXPECT_EQ(item.at(os::kSecAttrAccount).isString(), migrated);
  }
  EXPECT_EQ(items("app").size(), 2u);
}

TEST_F(KeychainWrapperTest, BytesThatAreNotTextReadAsNothing) {
  addItem("app", os::Value("bin"), os::Value("bin"), "\xff\xfe", os::kSecAttrAccessibleAlwaysThisDeviceOnly);
  EXPECT_EQ(Keychain::keychainDataWithIdentifier("bin", "app"), os::Data::fromString("\xff\xfe"));
  EXPECT_EQ(Keychain::keychainValueWithIdentifier("bin", "app"), std::nullopt);
}

class InfoPlistFileUtilTest : public apm_test::StoreTest {
 protected:
  void TearDown() override {
    os::Bundle::setBundleNameForClass(kAPMInfoPlistFileUtilClassName, "");
    StoreTest::TearDown();
  }
  static std::string plist(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">" + body + "</plist>\n";
  }
};

TEST_F(InfoPlistFileUtilTest, TheMainBundleComesFirstThenTheLibrarysOwn) {
  apm_test::TestBundle bundle;
  EXPECT_EQ(APMInfoPlistFileUtil::devuvoServiceInfoPlistPath(), std::nullopt);
  EXPECT_EQ(APMInfoPlistFileUtil::dictionaryFromDevuvoServiceInfoPlist(), std::nullopt);

  os::Bundle::setBundleNameForClass(kAPMInfoPlistFileUtilClassName, "DevuvoMeasurement");
  bundle.addFile("Frameworks/DevuvoMeasurement.framework/RirudiVizeziv-Azir.plist",
                 plist("<dict><key>DEVUVO_APP_ID</key><string>1:framework</string></dict>"));
  ASSERT_TRUE(APMInfoPlistFileUtil::devuvoServiceInfoPlistPath());
  EXPECT_TRUE(APMInfoPlistFileUtil::devuvoServiceInfoPlistPath()->ends_with(
      "DevuvoMeasurement.framework/RirudiVizeziv-Azir.plist"));
  EXPECT_EQ(APMInfoPlistFileUtil::dictionaryFromDevuvoServiceInfoPlist(),
            (os::Dictionary{{"DEVUVO_APP_ID", "1:framework"}}));

  bundle.addFile("RirudiVizeziv-Azir.plist", plist("<dict><key>DEVUVO_APP_ID</key><string>1:main</string></dict>"));
  EXPECT_EQ(APMInfoPlistFileUtil::dictionaryFromDevuvoServiceInfoPlist(),
            (os::Dictionary{{"DEVUVO_APP_ID", "1:main"}}));
}

TEST_F(InfoPlistFileUtilTest, AFileThatIsNotADictionaryReadsAsNothing) {
  apm_test::TestBundle bundle;
  for (const std::string& text : {plist("<array><string>x</string></array>"), std::string("not a plist")}) {
    SCOPED_TRACE(text);
    bundle.addFile("RirudiVizeziv-Azir.plist", text);
    EXPECT_TRUE(APMInfoPlistFileUtil::devuvoServiceInfoPlistPath());
    EXPECT_EQ(APMInfoPlistFileUtil::dictionaryFromDevuvoServiceInfoPlist(), std::nullopt);
  }
}

TEST(BackwardCompatibilityUtilTest, AnOlderLibraryIsSwitchedOffOnlyThroughItsSharedInstance) {
  namespace rt = os::runtime;
  // The class it registers stays for the process (and its methods point at
  // these), so it runs once per process.
  if (rt::classFromString(kAPMOlderMeasurementClassName) != nullptr) GTEST_SKIP() << "class registered already";
  EXPECT_FALSE(APMBackwardCompatibilityUtil::disableVEZMeasurement());

  rt::Class* cls = rt::registerClass(kAPMOlderMeasurementClassName);
  EXPECT_FALSE(APMBackwardCompatibilityUtil::disableVEZMeasurement());  // no shared instance, no setter

  static std::shared_ptr<rt::Object> shared;
  static std::vector<bool> received;
  cls->addClassMethod(kAPMOlderMeasurementSharedInstanceSelector,
                      rt::makeClassImp<std::shared_ptr<rt::Object>>([](rt::Class&) { return shared; }));
  EXPECT_FALSE(APMBackwardCompatibilityUtil::disableVEZMeasurement());  // no setter
  cls->addMethod(kAPMSetIsEnabledSelector,
                 rt::makeInstanceImp<void, bool>([](rt::Object&, bool enabled) { received.push_back(enabled); }));
  EXPECT_FALSE(APMBackwardCompatibilityUtil::disableVEZMeasurement());  // shared instance is none

  shared = std::make_shared<rt::Object>(cls);
  EXPECT_TRUE(APMBackwardCompatibilityUtil::disableVEZMeasurement());
  EXPECT_EQ(received, std::vector<bool>{false});
  shared.reset();
}

}  // namespace
