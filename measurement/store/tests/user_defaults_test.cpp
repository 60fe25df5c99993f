#include "measurement/store/user_defaults.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "measurement/store/engine_services/measurement_files.h"
#include "measurement/store/tests/test_support.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/file_system.h"

namespace {

class APMUserDefaultsTest : public apm_test::StoreTest {
 protected:
  static bool excludedFromBackup(const std::string& path) {
    auto value = os::FileManager::defaultManager().resourceValue(path, os::kURLIsExcludedFromBackupKey);
    return value && value->boolValue();
  }
  static constexpr const char* kSuite = "com.devuvo.zev.measurement.tests";
};

TEST_F(APMUserDefaultsTest, AcceptsTheSixKindsAndRefusesBadKeysAndObjects) {
  APMUserDefaults defaults(kSuite);
  const os::Value accepted[] = {
      os::Value("s"), os::Value(3), os::Value::arrayOf({os::Value(1)}), os::Value({{"k", os::Value(1)}}),
      os::Value(os::Date::fromTimeIntervalSince1970(7)), os::Value(os::Data::fromString("d"))};
  for (const os::Value& value : accepted) {
    SCOPED_TRACE(value.description());
    defaults.setObject(value, "key");
    EXPECT_EQ(defaults.objectForKey("key"), value);
  }
  EXPECT_TRUE(platformLines().empty());

  defaults.setObject(os::Value::arrayOf({os::Value()}), "key");  // not a property list: the old value stays
  EXPECT_EQ(defaults.objectForKey("key"), os::Value(os::Data::fromString("d")));
  defaults.setObject(os::Value(1), "");
  EXPECT_TRUE(defaults.objectForKey("").isNull());
  defaults.setObject(os::Value(), "key");  // nil removes
  EXPECT_TRUE(defaults.objectForKey("key").isNull());

  const auto logged = platformLines();
  ASSERT_EQ(logged.size(), 3u);
  EXPECT_TRUE(logged[0].starts_with("I-ACS041003 Cannot set invalid object to user defaults. Must be a string or "
                                    "number or an array. Value "));
  EXPECT_EQ(logged[1], "I-ACS041002 Cannot set object for invalid user default key.");
  EXPECT_EQ(logged[2], "I-ACS041001 Cannot get object for invalid user default key.");
}

TEST_F(APMUserDefaultsTest, TheSharedStoreIsTheApplicationDomain) {
  APMUserDefaults::sharedUserDefaults()->setBool(true, "/devuvo/measurement/measurement_enabled_state");
  EXPECT_TRUE(os::UserDefaults::standardUserDefaults()->boolForKey("/devuvo/measurement/measurement_enabled_state"));
  EXPECT_TRUE(APMUserDefaults().boolForKey("/devuvo/measurement/measurement_enabled_state"));
  EXPECT_FALSE(APMUserDefaults(kSuite).boolForKey("/devuvo/measurement/measurement_enabled_state"));
  // It never touches backup flags.
  APMUserDefaults::sharedUserDefaults()->synchronize();
  EXPECT_FALSE(excludedFromBackup(os::UserDefaults::standardUserDefaults()->preferencesPath()));
}

TEST_F(APMUserDefaultsTest, ClearAllDataRemovesEveryKeyInOneWrite) {
  APMUserDefaults defaults(kSuite);
  for (const char* key : {"a", "b", "c"}) defaults.setObject(os::Value(key), key);
  auto counter = std::make_shared<os::FaultInjectingFileSystem>();
  os::ScopedFileSystem installed(counter);
  defaults.clearAllData();
  EXPECT_EQ(counter->callCount(os::FileOp::Rename), 1);
  EXPECT_TRUE(os::UserDefaults::initWithSuiteName(kSuite)->keyList().empty());
  defaults.clearAllData();  // nothing left: nothing written
  EXPECT_EQ(counter->callCount(os::FileOp::Rename), 1);
}

TEST_F(APMUserDefaultsTest, TheSuiteFileIsExcludedFromBackupOnceAndRetriedAfterAFailure) {
  APMUserDefaults defaults(kSuite);
  const std::string path = APMPreferencesPlistPath(kSuite);
  defaults.synchronize();  // no file yet: nothing to exclude
  EXPECT_FALSE(defaults.isPreferenceFileExcluded());

  defaults.setObject(os::Value("v"), "k");
  auto faulty = std::make_shared<os::FaultInjectingFileSystem>();
  {
    os::ScopedFileSystem installed(faulty);
    faulty->inject(os::FileOp::SetXattr, {EIO, kSuite, 0, 1});
    defaults.synchronize();
    EXPECT_FALSE(defaults.isPreferenceFileExcluded());
    EXPECT_FALSE(excludedFromBackup(path));
    defaults.synchronize();  // tried again
    EXPECT_TRUE(defaults.isPreferenceFileExcluded());
    EXPECT_TRUE(excludedFromBackup(path));
    defaults.synchronize();  // done once: not again
    EXPECT_EQ(faulty->callCount(os::FileOp::SetXattr), 2);
  }
  const auto logged = platformLines();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_TRUE(logged[0].starts_with("I-ACS041000 Failed to exclude preferences file from backup. Error code "));
}

// The write itself failing is reported; the value stays in memory and a later
// synchronize writes it.
TEST_F(APMUserDefaultsTest, AFailedSynchronizationIsLogged) {
  APMUserDefaults defaults(kSuite);
  defaults.setIsPreferenceFileExcluded(true);
  auto faulty = std::make_shared<os::FaultInjectingFileSystem>();
  {
    os::ScopedFileSystem installed(faulty);
    faulty->failWritesWithDiskFull();
    defaults.setObject(os::Value("v"), "k");
    defaults.synchronize();
  }
  defaults.synchronize();
  EXPECT_EQ(platformLines(), std::vector<std::string>{"I-ACS041004 Cannot synchronize user defaults to disk"});
  os::UserDefaults::resetStandardUserDefaults();
  EXPECT_EQ(APMUserDefaults(kSuite).stringForKey("k"), "v");
}

}  // namespace
