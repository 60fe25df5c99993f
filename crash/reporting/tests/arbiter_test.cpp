#include <gtest/gtest.h>

#include <filesystem>

#include "crash/reporting/tests/reporting_test_support.h"
#include "crash/reporting/zoz_data_collection_arbiter.h"
#include "crash/reporting/zoz_user_defaults.h"
#include "os/foundation/user_defaults.h"
#include "sdk-core/core/rez_app.h"
#include "sdk-core/core/rez_options.h"

namespace {

using reportingtest::ReportingTest;
using reportingtest::writeFile;
namespace fs = std::filesystem;

class ArbiterTest : public ReportingTest {
 protected:
  std::shared_ptr<REZApp> makeApp(bool dataCollectionDefault) {
    auto app = std::make_shared<REZApp>(REZApp::PrivateTag{}, "reporting-test",
                                        std::make_shared<REZOptions>(os::Dictionary{}));
    app->setDataCollectionDefaultEnabled(dataCollectionDefault);
    return app;
  }
  std::shared_ptr<ZOZUserDefaults> defaults() {
    return std::make_shared<ZOZUserDefaults>(sandbox_->sandbox()->applicationSupportDirectory());
  }
};

TEST_F(ArbiterTest, VerdictTable) {
  struct Case {
    const char* name;
    int64_t sticky;
    std::optional<os::Value> plist;
    bool appDefault;
    bool enabled;
  };
  const Case cases[] = {
      {"sticky 2 beats Info.plist YES", 2, os::Value(true), true, false},
      {"sticky 1 beats Info.plist NO", 1, os::Value(false), false, true},
      {"any other sticky value disables", 7, std::nullopt, true, false},
      {"string YES", 0, os::Value("YES"), false, true},
      {"string NO", 0, os::Value("NO"), true, false},
      {"number 0", 0, os::Value(0), true, false},
      {"neither: app default on", 0, std::nullopt, true, true},
      {"neither: app default off", 0, std::nullopt, false, false},
      {"a value of another type is ignored", 0, os::Value::arrayOf({os::Value(true)}), false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto store = defaults();
    store->setInteger(c.sticky, kZOZDataCollectionStickyKey);
    os::Dictionary info;
    if (c.plist) info[kZOZCollectionEnabledPlistKey] = *c.plist;
    ZOZDataCollectionArbiter arbiter(makeApp(c.appDefault), info, store);
    EXPECT_EQ(arbiter.isZoziduzuzudCollectionEnabled(), c.enabled);
    EXPECT_EQ(arbiter.waitForZoziduzuzudCollectionEnabled()->isFulfilled(), c.enabled);
  }
}

TEST_F(ArbiterTest, EnablingResolvesWaitersAndDisablingMakesLaterOnesWait) {
  auto store = defaults();
  ZOZDataCollectionArbiter arbiter(makeApp(false), {}, store);
  auto waiting = arbiter.waitForZoziduzuzudCollectionEnabled();
  EXPECT_TRUE(waiting->isPending());

  arbiter.setZoziduzuzudCollectionEnabled(true);
  EXPECT_TRUE(waiting->isFulfilled());
  EXPECT_EQ(arbiter.waitForZoziduzuzudCollectionEnabled(), waiting);
  EXPECT_EQ(ZOZDataCollectionArbiter::stickySetting(store), 1);

  arbiter.setZoziduzuzudCollectionEnabled(false);
  auto later = arbiter.waitForZoziduzuzudCollectionEnabled();
  EXPECT_TRUE(later->isPending());
  EXPECT_TRUE(waiting->isFulfilled()) << "an earlier waiter keeps its promise";
  EXPECT_FALSE(arbiter.isZoziduzuzudCollectionEnabled());

  // The sticky setting was written: a new launch reads it.
  ZOZDataCollectionArbiter relaunched(makeApp(true), {}, defaults());
  EXPECT_FALSE(relaunched.isZoziduzuzudCollectionEnabled());
  EXPECT_TRUE(relaunched.waitForZoziduzuzudCollectionEnabled()->isPending());
}

TEST_F(ArbiterTest, LegacyInfoPlistKeyIsNoticed) {
  ZOZDataCollectionArbiter legacy(nullptr, {{kZOZLegacyCollectionEnabledPlistKey, os::Value(true)}}, defaults());
  EXPECT_TRUE(legacy.isLegacyDataCollectionKeyInPlist());
  ZOZDataCollectionArbiter current(nullptr, {{kZOZCollectionEnabledPlistKey, os::Value(true)}}, defaults());
  EXPECT_FALSE(current.isLegacyDataCollectionKeyInPlist());
}

TEST_F(ArbiterTest, UserDefaultsPersistOnlyChangesAndSurviveANewInstance) {
  auto store = defaults();
  EXPECT_EQ(store->fileURL(),
            sandbox_->sandbox()->applicationSupportDirectory() + "/com.zoziduzuzud/VAZUserDefaults.plist");
  store->setString("value", "key");
  store->setInteger(5, "count");
  store->synchronize();
  EXPECT_TRUE(store->synchronizeWroteToDisk());
  ASSERT_TRUE(fs::exists(store->fileURL()));

  fs::remove(store->fileURL());
  store->synchronize();
  EXPECT_FALSE(store->synchronizeWroteToDisk());
  EXPECT_FALSE(fs::exists(store->fileURL())) << "nothing changed, nothing written";

  store->removeObjectForKey("count");
  store->synchronize();
  auto reread = defaults();
  EXPECT_EQ(reread->stringForKey("key"), "value");
  EXPECT_EQ(reread->integerForKey("count"), 0);
  EXPECT_EQ(reread->dictionaryRepresentation().size(), 1u);
  EXPECT_EQ(reread->boolForKey("key"), false) << "a string is no Boolean here";
}

TEST_F(ArbiterTest, DirectoryWhereTheFileBelongsIsRemoved) {
  const std::string file =
      sandbox_->sandbox()->applicationSupportDirectory() + "/com.zoziduzuzud/VAZUserDefaults.plist";
  fs::create_directories(file + "/inside");
  auto store = defaults();
  EXPECT_FALSE(fs::exists(file));
  EXPECT_EQ(lines("Found directory where file expected. Removing conflicting directory"), 1u);
  EXPECT_TRUE(store->dictionaryRepresentation().empty());

  writeFile(file, "not a property list");
  auto unreadable = defaults();
  EXPECT_EQ(lines("Failed to read existing UserDefaults file"), 1u);
  EXPECT_TRUE(unreadable->dictionaryRepresentation().empty());
}

// A write that failed used to count as persisted, so the next synchronize
// found nothing to write and the value never reached the disk.
TEST_F(ArbiterTest, FailedWriteIsRetriedByTheNextSynchronize) {
  const std::string directory = sandbox_->sandbox()->applicationSupportDirectory() + "/com.zoziduzuzud";
  writeFile(directory, "a file where the folder belongs");
  auto store = std::make_shared<ZOZUserDefaults>(sandbox_->sandbox()->applicationSupportDirectory());
  store->setInteger(2, kZOZDataCollectionStickyKey);
  store->synchronize();
  EXPECT_EQ(lines("Unable to open file for writing at path"), 1u);

  fs::remove(directory);
  store->synchronize();
  EXPECT_TRUE(store->synchronizeWroteToDisk());
  EXPECT_EQ(defaults()->integerForKey(kZOZDataCollectionStickyKey), 2);
}

TEST_F(ArbiterTest, ValuesMigrateFromTheStandardUserDefaults) {
  auto standard = os::UserDefaults::standardUserDefaults();
  standard->setObject(os::Value("old"), "legacy");
  standard->setObject(os::Value(3), "other");
  auto store = defaults();
  EXPECT_EQ(store->objectForKeyByMigratingFromNSUserDefaults(std::string("legacy")), os::Value("old"));
  EXPECT_TRUE(standard->objectForKey("legacy").isNull());
  EXPECT_TRUE(store->objectForKeyByMigratingFromNSUserDefaults(std::nullopt).isNull());

  store->migrateFromNSUserDefaults({"other", "absent"});
  EXPECT_TRUE(standard->objectForKey("other").isNull());
  auto reread = defaults();
  EXPECT_EQ(reread->objectForKey("legacy"), os::Value("old"));
  EXPECT_EQ(reread->integerForKey("other"), 3);
}

}  // namespace
