#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "measurement/messages/field_access.h"
#include "measurement/store/daily_counts.h"
#include "measurement/store/database.h"
#include "measurement/store/tests/database_test_support.h"

namespace {

using apm_test::DatabaseTest;

// A midnight offset of 3600 s and a clock at 10 days + 5000 s: today is day
// 10; an hour earlier it was still day 9.
constexpr double kOffset = 3600;
constexpr double kNow = 10 * 86'400 + 5000;

class APMAppMetadataTest : public DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    persistedConfig_->setDouble(kOffset, kAPMMidnightOffsetKey);
    clock_->setWallTime(kNow);
  }

  static std::shared_ptr<APMPBMeasurementConfig> config(std::string_view appID) {
    auto config = APMPBMeasurementConfig::initWithMessageInfo(nullptr);
    APMPBSetInt64(config.get(), 0, 42);
    APMPBSetString(config.get(), 1, appID);
    APMPBSetString(config.get(), 10, "upload-region");
    return config;
  }
};

TEST(APMDayNumberTest, CountsWholeDaysAfterTheMidnightOffsetRoundingDown) {
  const struct {
    double now, offset;
    int32_t day;
  } cases[] = {
      {10 * 86'400 + 5000, 3600, 10},
      {10 * 86'400 + 3599, 3600, 9},
      {10 * 86'400 + 3600, 3600, 10},
      {100, 200, -1},  // before the first midnight: toward minus infinity
      {1e300, 0, 2'147'483'647},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.now);
    EXPECT_EQ(APMDayNumber(c.now, c.offset), c.day);
  }
}

TEST(APMDailyCountsTest, IncrementsCountOnTheirDayAndStartOverOnANewOne) {
  APMDailyCounts counts(7, 0, 0, 0, 0, 0, 0);
  counts.incrementCountsForCurrentDay(7, true, true, 5);
  EXPECT_EQ(counts, APMDailyCounts(7, 1, 5, 5, 0, 0, 0));
  counts.incrementCountsForCurrentDay(7, false, false);
  counts.incrementErrorEventsCountForCurrentDay(7);
  counts.incrementRealtimeCountsForCurrentDay(7);
  counts.incrementDCURealtimeCountsForCurrentDay(7);
  EXPECT_EQ(counts, APMDailyCounts(7, 1, 7, 5, 1, 1, 1));

  // The first increment of a new day zeroes every counter before counting.
  counts.incrementRealtimeCountsForCurrentDay(8);
  EXPECT_EQ(counts, APMDailyCounts(8, 0, 0, 0, 0, 1, 0));
  counts.incrementErrorEventsCountForCurrentDay(9);
  EXPECT_EQ(counts, APMDailyCounts(9, 0, 1, 0, 1, 0, 0));

  counts.decrementAllEventsCount();
  counts.decrementAllEventsCount();
  EXPECT_EQ(counts.allEventsCount(), 0);

  APMDailyCounts full(9, 0, 2'147'483'000, 0, 0, 0, 0);
  full.incrementCountsForCurrentDay(9, false, false, 1000);
  EXPECT_EQ(full.allEventsCount(), 2'147'483'647);
}

TEST_F(APMAppMetadataTest, ANewDatabaseStartsAtIndexZeroAndTodayWithZeroCountsAndKeepsWhatIsWritten) {
  EXPECT_EQ(database_->queryAppMetadata(nullptr), APMAppMetadata(0, 0.0, 0.0));
  EXPECT_EQ(database_->currentDay(), 10);
  EXPECT_EQ(database_->dailyCounts(nullptr), APMDailyCounts(10, 0, 0, 0, 0, 0, 0));

  ASSERT_TRUE(database_->updateAppMetadata(APMAppMetadata(3, 1'700'000'000.25, 1'700'000'100.5), nullptr));
  ASSERT_TRUE(database_->updateDailyCounts(APMDailyCounts(9, 1, 2, 3, 4, 5, 6), nullptr));
  EXPECT_EQ(database_->queryAppMetadata(nullptr), APMAppMetadata(3, 1'700'000'000.25, 1'700'000'100.5));
  // The stored day comes back as stored; rolling over is the increments' work.
  EXPECT_EQ(database_->dailyCounts(nullptr), APMDailyCounts(9, 1, 2, 3, 4, 5, 6));

  database_.reset();
  database_ = open();
  EXPECT_EQ(database_->queryAppMetadata(nullptr), APMAppMetadata(3, 1'700'000'000.25, 1'700'000'100.5));
  EXPECT_EQ(query("SELECT count(*) AS n FROM app_metadata")[0].at("n"), os::Value(1));
}

TEST_F(APMAppMetadataTest, TheStoredConfigurationRoundTripsAndADamagedOneIsReported) {
  os::Error error;
  EXPECT_FALSE(database_->queryMeasurementConfigWithError(&error));
  EXPECT_TRUE(error.domain().empty());
  EXPECT_FALSE(database_->lastRemoteConfigUpdateTimestamp(&error));
  EXPECT_TRUE(error.domain().empty());

  auto stored = config("1:123:ios:abc");
  ASSERT_TRUE(database_->updateRemoteConfig(stored, &error)) << error.description();
  auto read = database_->queryMeasurementConfigWithError(&error);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->protoBuffer(), stored->protoBuffer());
  EXPECT_EQ(database_->lastRemoteConfigUpdateTimestamp(nullptr), kNow);
  ASSERT_TRUE(database_->updateRemoteConfigSuccessfulTimestamp(kNow + 60, nullptr));
  EXPECT_EQ(database_->lastRemoteConfigUpdateTimestamp(nullptr), kNow + 60);

  const struct {
    const char* name;
    std::shared_ptr<APMPBMeasurementConfig> config;
    const char* description;
  } refused[] = {
      {"none", nullptr, "Invalid measurement config data"},
      {"empty", APMPBMeasurementConfig::initWithMessageInfo(nullptr), "Invalid measurement config data"},
      {"no app ID", config(""), "Missing Devuvo app ID in measurement configuration"},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.name);
    os::Error refusal;
    EXPECT_FALSE(database_->updateRemoteConfig(c.config, &refusal));
    EXPECT_EQ(refusal.code(), 1);
    EXPECT_EQ(description(refusal), c.description);
  }
  EXPECT_EQ(database_->queryMeasurementConfigWithError(nullptr)->protoBuffer(), stored->protoBuffer());

  os::Data truncated = *stored->protoBuffer();
  truncated.resize(truncated.size() - 3);
  ASSERT_TRUE(database_->updateDataType({{"remote_config_data", os::Value(truncated)}}, kAPMAppMetadataTableName,
                                        "rowid", os::Value(1), nullptr));
  EXPECT_FALSE(database_->queryMeasurementConfigWithError(&error));
  EXPECT_EQ(error.code(), 2);
  EXPECT_EQ(description(error), "Remote config data is corrupted");

  ASSERT_TRUE(database_->updateDataType({{"remote_config_data", os::Value(os::Data())}}, kAPMAppMetadataTableName,
                                        "rowid", os::Value(1), nullptr));
  os::Error none;
  EXPECT_FALSE(database_->queryMeasurementConfigWithError(&none));
  EXPECT_TRUE(none.domain().empty());
}

TEST_F(APMAppMetadataTest, UpdatesOfAMissingRowFail) {
  execOnFile("DELETE FROM app_metadata");
  os::Error error;
  EXPECT_FALSE(database_->updateDailyCounts(APMDailyCounts(10, 0, 1, 0, 0, 0, 0), &error));
  EXPECT_EQ(description(error), "Failed to update record. Item doesn't exist");
  EXPECT_FALSE(database_->updateAppMetadata(APMAppMetadata(1, 0, 0), nullptr));
  EXPECT_FALSE(database_->queryAppMetadata(&error));
}

}  // namespace
