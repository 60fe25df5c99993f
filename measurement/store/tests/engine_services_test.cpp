#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "measurement/store/engine_services/app_metadata.h"
#include "measurement/store/engine_services/asl_logger.h"
#include "measurement/store/engine_services/event_names.h"
#include "measurement/store/engine_services/measurement_files.h"
#include "measurement/store/errors.h"
#include "measurement/store/tests/test_support.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/user_defaults.h"

namespace {

using apm_test::MonitoredTest;
using apm_test::StoreTest;

TEST(APMASLLoggerTest, MonitorLevelsMapToPlatformLevels) {
  const std::pair<int64_t, DAZLoggerLevel> cases[] = {
      {0, DAZLoggerLevel::Error},   {1, DAZLoggerLevel::Error},   {2, DAZLoggerLevel::Error},
      {3, DAZLoggerLevel::Warning}, {4, DAZLoggerLevel::Warning}, {5, DAZLoggerLevel::Warning},
      {6, DAZLoggerLevel::Notice},  {7, DAZLoggerLevel::Debug},   {8, DAZLoggerLevel::Debug},
      {9, DAZLoggerLevel::Warning}, {-1, DAZLoggerLevel::Warning},
  };
  for (const auto& [level, expected] : cases) {
    SCOPED_TRACE(level);
    EXPECT_EQ(APMASLLogger::DAZLoggerLevelFromLogLevel(level), expected);
  }
}

TEST_F(StoreTest, ASLLoggerWritesLinesUnchangedAndForcesOnlyLevelSeven) {
  APMASLLogger logger;
  logger.logMessage("100% done, %@ kept", "<DuvEvodedezudi>", 2001, 1);
  logger.logMessage("forced", "[Tag]", 7, 7);   // debug, above the default level, forced through
  logger.logMessage("verbose", "[Tag]", 8, 8);  // debug, not forced: dropped at the default level
  EXPECT_EQ(platformLines(), (std::vector<std::string>{"I-ACS002001 100% done, %@ kept", "I-ACS000007 forced"}));
  const auto records = capture_.recordsContaining("100% done");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].subsystem, "com.devuvo.vivuzuvu.analytics");
  EXPECT_EQ(records[0].category, "<DuvEvodedezudi>");
  EXPECT_EQ(records[0].type, os::LogType::Error);
}

TEST(APMEventNamesTest, TablesAndPublicNames) {
  EXPECT_EQ(APMEventNameMap().size(), 32u);
  for (const auto& [name, shortName] : std::vector<std::pair<std::string, std::string>>{
           {"first_open", "_f"}, {"session_start", "_s"}, {"screen_view", "_vs"}, {"user_engagement", "_e"},
           {"dv_campaign", "_cmp"}, {"vivuzuvu_campaign", "_cmp"}, {"error", "_err"}}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(APMEventNameMap().at(name), shortName);
  }
  EXPECT_EQ(APMAdImpressionEventNameMap(), (APMNameMap{{"ad_impression", "_ai"}}));
  EXPECT_TRUE(APMIsPublicName("purchase"));
  EXPECT_FALSE(APMIsPublicName("_f"));
}

TEST_F(MonitoredTest, AnEmptyNameIsNotPublicAndIsReported) {
  EXPECT_FALSE(APMIsPublicName(""));
  const auto entry = monitor_->TEST_sampledData();
  ASSERT_TRUE(entry);
  EXPECT_EQ((*entry)[2], os::Value("1E_110100:Cannot check the name. Name is empty"));
}

class MeasurementFilesTest : public StoreTest {
 protected:
  os::FileManager& fm_ = os::FileManager::defaultManager();
  std::string support_ = sandbox_.sandbox()->applicationSupportDirectory();
  std::string prefs_ = sandbox_.sandbox()->preferencesDirectory();
};

TEST_F(MeasurementFilesTest, PathsLieInTheMeasurementAndPreferencesFolders) {
  EXPECT_EQ(APMMeasurementDirectoryPathForFile("devuvo-app-measurement.sql"),
            support_ + "/Devuvo/Measurement/devuvo-app-measurement.sql");
  EXPECT_EQ(APMMeasurementPlistPath("com.devuvo.zev.measurement"),
            support_ + "/Devuvo/Measurement/com.devuvo.zev.measurement.plist");
  EXPECT_EQ(APMMeasurementPlistPath("a.plist"), support_ + "/Devuvo/Measurement/a.plist");
  EXPECT_EQ(APMPreferencesPlistPath("suite"), prefs_ + "/suite.plist");
  EXPECT_EQ(APMPreferencesPlistPath("suite"), os::UserDefaults::initWithSuiteName("suite")->preferencesPath());
  for (auto path : {APMMeasurementDirectoryPathForFile(""), APMMeasurementPlistPath(""), APMPreferencesPlistPath("")})
    EXPECT_EQ(path, "");
}

TEST_F(MeasurementFilesTest, DeletingNeedsAPathAndPassesFileErrorsOn) {
  auto empty = APMDeleteFileAtPath("");
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.error().domain(), kAPMErrorDomain);
  EXPECT_EQ(empty.error().code(), 1);
  EXPECT_EQ(empty.error().localizedDescription(), "Received empty path for deleting file");

  auto missing = APMDeleteFileAtPath(support_ + "/none");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().domain(), os::kCocoaErrorDomain);
  EXPECT_EQ(missing.error().code(), os::kFileNoSuchFileError);

  ASSERT_TRUE(fm_.createFileAtPath(support_ + "/f", os::Data::fromString("x")));
  EXPECT_TRUE(APMDeleteFileAtPath(support_ + "/f"));
  EXPECT_FALSE(fm_.fileExistsAtPath(support_ + "/f"));
}

TEST_F(MeasurementFilesTest, MovingASuiteToTheMeasurementFolder) {
  const std::string suite = "com.devuvo.zev.measurement";
  const std::string oldPath = APMPreferencesPlistPath(suite), newPath = APMMeasurementPlistPath(suite);
  auto readKey = [&](const std::string& path) {
    auto data = fm_.contentsAtPath(path);
    return data ? data->toString() : std::string("<none>");
  };

  // No preferences file: nothing to move, and the suite is dropped.
  EXPECT_TRUE(APMMoveUserDefaultsSuiteToMeasurementDirectory(suite));
  EXPECT_FALSE(fm_.fileExistsAtPath(newPath));

  // The file moves, folders made on the way; the suite no longer holds it.
  auto defaults = os::UserDefaults::initWithSuiteName(suite);
  defaults->setObject(os::Value("kept"), "k");
  EXPECT_TRUE(APMMoveUserDefaultsSuiteToMeasurementDirectory(suite));
  EXPECT_FALSE(fm_.fileExistsAtPath(oldPath));
  EXPECT_NE(readKey(newPath).find("kept"), std::string::npos);
  EXPECT_TRUE(defaults->objectForKey("k").isNull());

  // A measurement file already there wins; the old one is deleted.
  defaults->setObject(os::Value("stale"), "k");
  ASSERT_TRUE(fm_.fileExistsAtPath(oldPath));
  EXPECT_TRUE(APMMoveUserDefaultsSuiteToMeasurementDirectory(suite));
  EXPECT_FALSE(fm_.fileExistsAtPath(oldPath));
  EXPECT_NE(readKey(newPath).find("kept"), std::string::npos);

  // A folder in place of the preferences file is left alone.
  ASSERT_TRUE(fm_.createDirectoryAtPath(oldPath, true));
  EXPECT_FALSE(APMMoveUserDefaultsSuiteToMeasurementDirectory(suite));
  EXPECT_TRUE(fm_.isDirectoryAtPath(oldPath));
}

}  // namespace

namespace {

// Both refusals are silent levels: they reach only the sampled health record.
TEST_F(MonitoredTest, AppMetadataRefusesANegativeIndexAndWrapsAtTheTop) {
  auto sampledKey = [&] {
    const auto entry = monitor_->TEST_sampledData();
    return entry ? (*entry)[2].stringValue() : std::string();
  };
  EXPECT_FALSE(APMAppMetadata::initWithLastBundleIndex(-1, 1.0, 2.0));
  EXPECT_EQ(sampledKey(), "1E_110100:Failed to create app metadata object. Received negative last bundle index.");
  monitor_->clearMonitoringData();
  auto metadata = APMAppMetadata::initWithLastBundleIndex(0, 1.0, 2.0);
  ASSERT_TRUE(metadata);
  metadata->incrementLastBundleIndex();
  EXPECT_EQ(metadata->lastBundleIndex(), 1);
  metadata->setLastBundleStartTimestamp(3.5);
  metadata->setLastBundleEndTimestamp(4.5);
  EXPECT_EQ(*metadata, APMAppMetadata(1, 3.5, 4.5));

  auto top = APMAppMetadata::initWithLastBundleIndex(2147483647, 0, 0);
  ASSERT_TRUE(top);
  top->incrementLastBundleIndex();
  EXPECT_EQ(top->lastBundleIndex(), 0);
  EXPECT_EQ(sampledKey(), "1W_110100:Bundle index overflow. Bundle index reset to 0.");
}

}  // namespace
