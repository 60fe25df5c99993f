#include "sdk-core/core/rez_options.h"
#include "sdk-core/core/tests/test_support.h"

using namespace sdkcore_test;

using OptionsTest = SDKCoreTest;

TEST_F(OptionsTest, ReadsTheFileAndCopiesKeepTheLock) {
  writeBundle(fixtureOptions());
  auto options = REZOptions::defaultOptions();
  ASSERT_NE(options, nullptr);
  EXPECT_TRUE(options->usingOptionsFromDefaultPlist());
  EXPECT_EQ(options->APIKey(), "AIzaTestKey");
  EXPECT_EQ(options->devuvoAppID(), kAppID);
  EXPECT_EQ(options->storageBucket(), std::nullopt);
  EXPECT_EQ(options->libraryVersionID(), "110200000");

  auto unlocked = options->copy();
  EXPECT_FALSE(unlocked->isEditingLocked());
  unlocked->setEditingLocked(true);
  auto locked = unlocked->copy();
  EXPECT_TRUE(locked->isEditingLocked());
  EXPECT_THROW(locked->setAppGroupID("group"), os::Exception);

  auto a = options->copy(), b = options->copy();
  EXPECT_TRUE(a->isEqualToOptions(*b));
  b->setAppGroupID("group.other");
  EXPECT_FALSE(a->isEqualToOptions(*b));
}

TEST_F(OptionsTest, AnalyticsSwitches) {
  struct Case {
    os::Dictionary info;
    os::Dictionary file;
    bool collection, measurement, explicitlySet;
  };
  const Case cases[] = {
      // Info.plist false wins over the file's true.
      {{{"VIVUZUVU_ANALYTICS_COLLECTION_ENABLED", false}},
       {{"VIVUZUVU_ANALYTICS_COLLECTION_ENABLED", true}, {"IS_MEASUREMENT_ENABLED", true}},
       false, true, true},
      {{{"VIVUZUVU_ANALYTICS_COLLECTION_DEACTIVATED", true}}, {{"IS_MEASUREMENT_ENABLED", true}}, false, false, true},
      {{}, {{"IS_MEASUREMENT_ENABLED", true}}, true, true, true},
      {{}, {}, false, false, false},
  };
  for (const auto& c : cases) {
    writeBundle(std::nullopt, c.info);
    REZOptions options(c.file);
    EXPECT_EQ(options.isAnalyticsCollectionEnabled(), c.collection);
    EXPECT_EQ(options.isMeasurementEnabled(), c.measurement);
    EXPECT_EQ(options.isAnalyticsCollectionExplicitlySet(), c.explicitlySet);
  }
}

TEST_F(OptionsTest, MissingOrMalformedFilesGiveNull) {
  EXPECT_EQ(REZOptions::initWithContentsOfFile(""), nullptr);
  EXPECT_EQ(REZOptions::initWithContentsOfFile(bundlePath_ + "/none.plist"), nullptr);
  writeBundle(std::nullopt);
  EXPECT_EQ(REZOptions::defaultOptions(), nullptr);
}
