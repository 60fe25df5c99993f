#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "measurement/messages/field_access.h"
#include "measurement/store/database.h"
#include "measurement/store/testing/sqlite_fault_vfs.h"
#include "measurement/store/tests/database_test_support.h"
#include "os/foundation/file_manager.h"
#include "platform/utilities/gzip.h"

namespace {

using apm_test::DatabaseTest;
using Bundles = std::vector<APMQueuedBundle>;

constexpr double kNow = 1'700'000'000;
constexpr int64_t kNowMillis = 1'700'000'000'000;
constexpr int32_t kRetryCountField = 35;

class APMQueueTest : public DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    clock_->setWallTime(kNow);
  }

  Bundles queryAll(int64_t countLimit = 100, int64_t sizeLimit = 65536) {
    os::Error error;
    auto bundles = database_->queryBundlesWithCountLimit(countLimit, sizeLimit, &error);
    EXPECT_TRUE(bundles) << error.description();
    return bundles.value_or(Bundles{});
  }
  static std::vector<int64_t> rowIDs(const Bundles& bundles) {
    std::vector<int64_t> ids;
    for (const auto& queued : bundles) ids.push_back(queued.rowID);
    return ids;
  }
  int64_t storedRetryCount(int64_t rowID) {
    return query("SELECT retry_count FROM queue WHERE rowid = ?", {os::Value(rowID)})[0].at("retry_count").int64Value(-1);
  }
  int count(int64_t code) {
    const auto logged = codes();
    return static_cast<int>(std::count(logged.begin(), logged.end(), code));
  }
};

TEST_F(APMQueueTest, ABundleIsStoredCompressedAndReadBackInQueueOrder) {
  ASSERT_TRUE(database_->insertBundle(bundle(kNowMillis - 2000, 100), false, nullptr));
  ASSERT_TRUE(database_->insertBundle(bundle(kNowMillis - 1500), true, nullptr));

  const auto rows = query("SELECT data, bundle_end_timestamp, is_realtime, retry_count FROM queue ORDER BY rowid");
  ASSERT_EQ(rows.size(), 2u);
  const os::Data& data = *rows[0].at("data").data();
  ASSERT_GE(data.size(), 2u);
  EXPECT_EQ(data[0], 0x1f);  // gzip
  EXPECT_EQ(data[1], 0x8b);
  EXPECT_EQ(rows[0].at("bundle_end_timestamp"), os::Value(kNow - 2));
  EXPECT_EQ(rows[0].at("is_realtime"), os::Value(0));
  EXPECT_EQ(rows[0].at("retry_count"), os::Value(0));
  EXPECT_EQ(rows[1].at("is_realtime"), os::Value(1));
  bool sizeLogged = false;
  for (const auto& line : lines()) {
    sizeLogged |= line.code == kAPMDatabaseCodeSavingBundle && line.level == 7 &&
                  line.message.find(std::to_string(data.size())) != std::string::npos;
  }
  EXPECT_TRUE(sizeLogged);

  const Bundles bundles = queryAll();
  ASSERT_EQ(bundles.size(), 2u);
  EXPECT_EQ(rowIDs(bundles), (std::vector<int64_t>{1, 2}));
  EXPECT_EQ(bundles[0].bundle->protoBuffer(), bundle(kNowMillis - 2000, 100)->protoBuffer());

  EXPECT_EQ(database_->queryLatestBundleTime(nullptr), kNow - 1.5);
  EXPECT_EQ(database_->containsRealtimeBundlesWithError(nullptr), true);
  EXPECT_EQ(database_->isQueuedBundleTableEmpty(nullptr), false);
  EXPECT_EQ(database_->queryBundlesWithRowIDs({2}, nullptr)->at(0).rowID, 2);
  ASSERT_TRUE(database_->deleteBundlesWithRowIDs({1, 2}, nullptr));
  EXPECT_EQ(database_->isQueuedBundleTableEmpty(nullptr), true);
  os::Error error;
  EXPECT_FALSE(database_->queryLatestBundleTime(&error));
  EXPECT_TRUE(error.domain().empty());
}

// Refusals stop the insert whether or not the caller asked for the error.
TEST_F(APMQueueTest, ABundleWithoutContentAppOrTimeIsRefusedAndAnOldOneIsKeptWithAWarning) {
  const struct {
    const char* name;
    std::shared_ptr<APMPBMeasurementBundle> bundle;
    const char* description;
  } refused[] = {
      {"none", nullptr, "Failed to insert nil bundle"},
      {"empty", APMPBMeasurementBundle::initWithMessageInfo(nullptr), "Failed to insert nil bundle"},
      {"no app", bundle(kNowMillis, 0, ""), "Failed to insert bundle without App ID"},
      {"no end time", bundle(0), "Failed to insert bundle without valid timestamp"},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.name);
    os::Error error;
    EXPECT_FALSE(database_->insertBundle(c.bundle, false, &error));
    EXPECT_EQ(error.code(), 1);
    EXPECT_EQ(description(error), c.description);
    EXPECT_FALSE(database_->insertBundle(c.bundle, false, nullptr));
  }
  EXPECT_EQ(rowCount(kAPMQueueTableName), 0);

  services_->settings().setMaxQueueTime(3600);
  EXPECT_TRUE(database_->insertBundle(bundle(kNowMillis - 3'600'001), false, nullptr));
  EXPECT_TRUE(database_->insertBundle(bundle(kNowMillis + 3'600'000), false, nullptr));
  EXPECT_EQ(rowCount(kAPMQueueTableName), 2);
  EXPECT_EQ(count(kAPMDatabaseCodeBundleOutsideQueueTime), 1);
}

TEST_F(APMQueueTest, TheReadTakesTheFirstBundleAlwaysAndFurtherOnesWithinTheByteBudget) {
  const struct {
    const char* name;
    std::vector<size_t> paddings;
    int64_t countLimit;
    size_t expected;
  } cases[] = {
      {"two of 40000 bytes", {40000, 40000}, 100, 1},
      {"one oversized", {70000, 10}, 100, 1},
      {"three small", {1000, 1000, 1000}, 100, 3},
      {"count limit", {1000, 1000, 1000}, 2, 2},
      {"stops at the first that does not fit", {30000, 40000, 10}, 100, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(database_->reset(nullptr));
    for (size_t padding : c.paddings) ASSERT_TRUE(database_->insertBundle(bundle(kNowMillis, padding), false, nullptr));
    EXPECT_EQ(queryAll(c.countLimit, 65536).size(), c.expected);
  }
}

TEST_F(APMQueueTest, FailedUploadsRaiseTheRetryCountersUpToTheLimit) {
  auto first = bundle(kNowMillis);
  APMPBSetInt32(first.get(), kRetryCountField, 0);
  ASSERT_TRUE(database_->insertBundle(first, false, nullptr));
  auto atLimit = bundle(kNowMillis);
  APMPBSetInt32(atLimit.get(), kRetryCountField, 2'147'483'647);
  ASSERT_TRUE(database_->insertBundle(atLimit, false, nullptr));

  ASSERT_TRUE(database_->incrementRetryCounterForBundlesWithIDs({1}, nullptr));
  EXPECT_EQ(count(kAPMDatabaseCodeRetryLimitReached), 1);
  ASSERT_TRUE(database_->incrementRetryCounterForBundlesWithIDs({1, 2}, nullptr));
  EXPECT_EQ(count(kAPMDatabaseCodeRetryLimitReached), 2);

  const Bundles bundles = queryAll();
  ASSERT_EQ(bundles.size(), 2u);
  EXPECT_EQ(APMPBGetInt32(bundles[0].bundle.get(), kRetryCountField), 2);
  EXPECT_EQ(APMPBGetInt32(bundles[1].bundle.get(), kRetryCountField), 2'147'483'647);
  EXPECT_EQ(storedRetryCount(2), 2'147'483'647);

  os::Error error;
  EXPECT_FALSE(database_->incrementRetryCounterForBundlesWithIDs({}, &error));
  EXPECT_EQ(description(error), "Failed to increment retry counter");
}

// Rows of a file made before retry_count existed read NULL there; adding to
// NULL would leave them NULL, so their failed uploads would never count.
TEST_F(APMQueueTest, ARowFromAnOlderFileWithoutARetryCountCountsFromZero) {
  database_.reset();
  execOnFile("DROP TABLE queue; CREATE TABLE queue (data BLOB NOT NULL, bundle_end_timestamp REAL NOT NULL, "
             "is_realtime INTEGER);");
  const os::Data gzipped = **DAZGzip::daz_dataByGzippingData(*bundle(kNowMillis)->protoBuffer());
  database_ = open();
  ASSERT_TRUE(database_->insertDataType({{"data", os::Value(gzipped)}, {"bundle_end_timestamp", os::Value(kNow)}},
                                        kAPMQueueTableName, nullptr));
  ASSERT_EQ(query("SELECT retry_count FROM queue")[0].at("retry_count"), os::Value());

  ASSERT_TRUE(database_->incrementRetryCounterForBundlesWithIDs({1}, nullptr));
  const Bundles bundles = queryAll();
  ASSERT_EQ(bundles.size(), 1u);
  EXPECT_EQ(APMPBGetInt32(bundles[0].bundle.get(), kRetryCountField), 1);
}

TEST_F(APMQueueTest, ARowThatDoesNotInflateIsSkippedAndStays) {
  ASSERT_TRUE(database_->insertBundle(bundle(kNowMillis), false, nullptr));
  ASSERT_TRUE(database_->insertDataType(
      {{"data", os::Value(os::Data::fromString("not gzip"))}, {"bundle_end_timestamp", os::Value(kNow)}},
      kAPMQueueTableName, nullptr));
  ASSERT_TRUE(database_->insertBundle(bundle(kNowMillis), false, nullptr));

  EXPECT_EQ(rowIDs(queryAll()), (std::vector<int64_t>{1, 3}));
  EXPECT_EQ(rowIDs(*database_->queryBundlesWithRowIDs({1, 2, 3}, nullptr)), (std::vector<int64_t>{1, 3}));
  EXPECT_EQ(rowCount(kAPMQueueTableName), 3);
}

TEST_F(APMQueueTest, StaleDataIsDeletedAtMostOncePerInterval) {
  ASSERT_TRUE(database_->insertBundle(bundle(kNowMillis - 100'000'000), false, nullptr));
  ASSERT_TRUE(database_->insertBundle(bundle(kNowMillis - 3'000'000'000), false, nullptr));
  ASSERT_TRUE(database_->insertRawEvent(event("old", kNow - 3'000'000), 1, false, nullptr));
  ASSERT_TRUE(database_->insertRawEvent(event("new", kNow), 1, false, nullptr));

  os::Error error;
  EXPECT_EQ(database_->maybeDeleteStaleData(&error), true) << error.description();
  EXPECT_EQ(rowCount(kAPMQueueTableName), 1);
  EXPECT_EQ(rowCount(kAPMRawEventsTableName), 1);
  EXPECT_EQ(persistedConfig_->lastDeleteStaleBundlesTimestamp(), kNow);

  ASSERT_TRUE(database_->insertBundle(bundle(kNowMillis - 3'000'000'000), false, nullptr));
  clock_->advance(86'400);
  EXPECT_EQ(database_->maybeDeleteStaleData(nullptr), false);
  EXPECT_EQ(rowCount(kAPMQueueTableName), 2);
  clock_->advance(1);
  EXPECT_EQ(database_->maybeDeleteStaleData(nullptr), true);
  EXPECT_EQ(rowCount(kAPMQueueTableName), 1);

  EXPECT_FALSE(database_->deleteStaleBundlesOlderThanMaxAge(-1, &error));
  EXPECT_EQ(description(error), "Cannot delete stale bundles after negative time period");
}

// Each write of the pass fails in turn: the pass stops at the failed step with
// its error and leaves the time unrecorded, so the next pass runs it again.
TEST_F(APMQueueTest, AFailedStepStopsTheStaleDataPassWithItsError) {
  apm_test::SqliteFaultVFS vfs;
  database_.reset();
  database_ = open();  // through the fault VFS
  ASSERT_TRUE(database_);
  int rawEventsStepFailed = 0;
  int bundlesStepFailed = 0;
  for (int n = 1;; ++n) {
    SCOPED_TRACE(n);
    ASSERT_LT(n, 100);
    ASSERT_TRUE(database_->reset(nullptr));
    ASSERT_TRUE(database_->insertBundle(bundle(kNowMillis - 3'000'000'000), false, nullptr));
    ASSERT_TRUE(database_->insertRawEvent(event("old", kNow - 3'000'000), 1, false, nullptr));
    vfs.failNthWriteOrSync(n, 1, "devuvo-app-measurement");
    os::Error error;
    const auto ran = database_->maybeDeleteStaleData(&error);
    vfs.disarm();
    if (!vfs.hasFailed()) {
      EXPECT_EQ(ran, true) << error.description();
      EXPECT_EQ(rowCount(kAPMQueueTableName), 0);
      break;
    }
    EXPECT_FALSE(ran);
    EXPECT_EQ(error.code(), 3);
    EXPECT_EQ(persistedConfig_->lastDeleteStaleBundlesTimestamp(), 0.0);
    // The raw events go first: while they stay, the bundles were not touched.
    EXPECT_EQ(rowCount(kAPMQueueTableName), 1);
    if (rowCount(kAPMRawEventsTableName) > 0) {
      ++rawEventsStepFailed;
    } else {
      ++bundlesStepFailed;
    }
  }
  EXPECT_GT(rawEventsStepFailed, 0);
  EXPECT_GT(bundlesStepFailed, 0);
}

TEST(APMQueueRowIDConditionTest, HasOnePlaceholderPerRow) {
  EXPECT_EQ(APMDatabase::rowIDConditionForRowIDs({7}, nullptr), "rowid IN (?)");
  EXPECT_EQ(APMDatabase::rowIDConditionForRowIDs({4, 9, 2}, nullptr), "rowid IN (?,?,?)");
  os::Error error;
  EXPECT_FALSE(APMDatabase::rowIDConditionForRowIDs({}, &error));
  EXPECT_EQ(error.code(), 3);
  EXPECT_EQ(error.localizedDescription(), "Received empty row IDs to process");
}

}  // namespace
