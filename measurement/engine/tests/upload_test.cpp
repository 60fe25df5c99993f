#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "measurement/engine/tests/engine_test_support.h"
#include "measurement/engine/tests/upload_test_support.h"
#include "measurement/messages/field_access.h"
#include "measurement/store/foundation_extensions.h"
#include "measurement/store/identity.h"
#include "measurement/store/persisted_config.h"
#include "measurement/store/remote_config.h"
#include "measurement/store/testing/sqlite_fault_vfs.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/plist.h"
#include "os/net/reachability.h"

namespace {

using upload_test::UploadTest;

TEST_F(UploadTest, NextUploadingTimeFollowsSuccessFailuresAndDebugMode) {
  // Nothing stored: no upload.
  EXPECT_EQ(nextUploadingTime(), 0);

  const double t = now();
  queueBundle(millis(t));
  EXPECT_DOUBLE_EQ(nextUploadingTime(), t + 15);

  persisted()->setLastSuccessfulUploadTimestamp(t - 600);
  EXPECT_DOUBLE_EQ(nextUploadingTime(), t + 3000);
  persisted()->setLastSuccessfulUploadTimestamp(0);

  // Each failed try plans the next one 1800 s later than the previous gap
  // doubled: +1800, +5400, +12600, ... from the first planned time; after the
  // first try and six retries nothing is planned.
  std::vector<double> planned;
  double failure = t + 15;
  for (int attempt = 0; attempt < 6; ++attempt) {
    persisted()->setLastFailedUploadTimestamp(failure);
    failure = nextUploadingTime();
    planned.push_back(failure - (t + 15));
  }
  EXPECT_EQ(planned, (std::vector<double>{1800, 5400, 12600, 27000, 55800, 113400}));
  persisted()->setLastFailedUploadTimestamp(failure);
  EXPECT_EQ(nextUploadingTime(), 0);
  persisted()->setLastFailedUploadTimestamp(0);

  monitor_->setDebugModeEnabled(true);
  EXPECT_DOUBLE_EQ(nextUploadingTime(), t + 1);
  monitor_->setDebugModeEnabled(false);
}

TEST_F(UploadTest, TheAlarmKeepsAnEarlierArmingAndReplacesALaterOne) {
  const double t = now();
  queueBundle(millis(t));
  updateSchedule();
  EXPECT_DOUBLE_EQ(alarmTime(), t + 15);

  // A later plan keeps the armed alarm (23027).
  persisted()->setLastSuccessfulUploadTimestamp(t - 600);
  clearCounts();
  updateSchedule();
  EXPECT_DOUBLE_EQ(alarmTime(), t + 15);
  EXPECT_EQ(count(23027), 1);

  // An earlier plan (debug mode: about 1 s) replaces it.
  monitor_->setDebugModeEnabled(true);
  updateSchedule();
  EXPECT_DOUBLE_EQ(alarmTime(), t + 1);
  monitor_->setDebugModeEnabled(false);

  // A back-off holds the next upload at least the back-off period, even
  // over an alarm armed before it began (which cut the back-off short).
  persisted()->setLastBackoffTimestamp(t);
  updateSchedule();
  EXPECT_DOUBLE_EQ(alarmTime(), t + 43200);
}

TEST_F(UploadTest, WithoutANetworkNothingIsScheduledUntilReachabilityReturns) {
  os::SCNetworkReachabilityTEST_setFlagsProvider([](const std::string&) { return os::SCNetworkReachabilityFlags{0}; });
  settle();
  ASSERT_FALSE(engine()->network()->isNetworkConnected());
  const double t = now();
  queueBundle(millis(t));
  updateSchedule();
  EXPECT_EQ(count(23026), 1);
  EXPECT_FALSE(engine()->alarm()->scheduledTimestamp());

  os::SCNetworkReachabilityTEST_setFlagsProvider(nullptr);
  settle();
  ASSERT_TRUE(engine()->network()->isNetworkConnected());
  EXPECT_DOUBLE_EQ(alarmTime(), t + 15);
}

TEST_F(UploadTest, TheBatchIsGzippedAndCarriesTheCompatiblePrefixStamped) {
  server_.setResponse("/a", os::testing::ScriptedResponse::withStatus(204));
  const double t = now();
  queueBundle(millis(t) - 2000, {.vendorID = "vendor-a", .npa = std::nullopt});
  queueBundle(millis(t) - 1000, {.vendorID = "vendor-b", .npa = std::nullopt});
  updateSchedule();
  clock_->advance(14);
  settle();

  // Two batches, one per device: the second goes as soon as the first was
  // deleted.
  const auto posts = uploads();
  ASSERT_EQ(posts.size(), 2u);
  EXPECT_EQ(posts[0].request.method, "POST");
  EXPECT_EQ(posts[0].request.header("Content-Encoding"), "gzip");
  ASSERT_EQ(posts[0].bundles.size(), 1u);
  const auto& bundle = posts[0].bundles[0];
  EXPECT_EQ(APMPBGetString(bundle.get(), 20), "vendor-a");
  // The newest data is a second old: the batch goes 15 s after it.
  EXPECT_EQ(APMPBGetInt64(bundle.get(), 3), millis(t + 14));
  EXPECT_EQ(APMPBGetInt64(bundle.get(), 18), APMIdentity::duvEvodedezudiLibraryVersion());
  ASSERT_EQ(posts[1].bundles.size(), 1u);
  EXPECT_EQ(APMPBGetString(posts[1].bundles[0].get(), 20), "vendor-b");

  EXPECT_TRUE(queuedEndTimes().empty());
  EXPECT_EQ(persisted()->lastUploadedEventTimestampMillis(), millis(t) - 1000);
  EXPECT_DOUBLE_EQ(persisted()->lastSuccessfulUploadTimestamp(), t + 14);
}

// Bundles are queued as bundling made them; what the configuration withholds
// from the service is taken out only as the batch is built, and the checksum
// covers the bundle as sent.
TEST_F(UploadTest, TheDataControlsApplyAtUploadAndTheChecksumCoversTheBundleAsSent) {
  server_.setResponse("/a", os::testing::ScriptedResponse::withStatus(204));
  const std::vector<std::string> controls{"app_instance_id", "user_id", "device_info", "enhanced_user_id"};
  auto config = apm_test::measurementConfig(engine_test::kAppID, {{"measurement.quality.checksum", "1"}}, 1);
  std::vector<std::shared_ptr<APMPBDataControl>> list;
  for (const auto& name : controls) {
    auto control = APMPBDataControl::initWithMessageInfo(nullptr);
    APMPBSetString(control.get(), 0, name);
    list.push_back(control);
  }
  APMPBSetArray(config.get(), 9, list);
  bool applied = false;
  onWorker([&](APMMeasurement& engine) { applied = engine.remoteConfigInstance()->updateMeasurementConfig(config); });
  ASSERT_TRUE(applied);

  const double t = now();
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
  APMPBSetString(bundle.get(), 14, engine_test::kAppID);
  APMPBSetInt64(bundle.get(), 5, millis(t) - 1000);
  APMPBSetString(bundle.get(), 9, "17.2.1");
  APMPBSetString(bundle.get(), 10, "Phone14,2");
  APMPBSetString(bundle.get(), 22, "instance-a");
  APMPBSetString(bundle.get(), 43, "stitching-token");
  std::vector<std::shared_ptr<APMPBUserAttribute>> attributes;
  for (const char* name : {"_id", "shade"}) {
    auto attribute = APMPBUserAttribute::initWithMessageInfo(nullptr);
    APMPBSetString(attribute.get(), 1, name);
    APMPBSetString(attribute.get(), 2, "value");
    attributes.push_back(attribute);
  }
  APMPBSetArray(bundle.get(), 2, attributes);
  onWorker([&](APMMeasurement& engine) { ASSERT_TRUE(engine.database()->insertBundle(bundle, false, nullptr)); });
  updateSchedule();
  clock_->advance(15);
  settle();

  const auto posts = uploads();
  ASSERT_EQ(posts.size(), 1u);
  ASSERT_EQ(posts[0].bundles.size(), 1u);
  auto sent = posts[0].bundles[0];
  EXPECT_FALSE(APMPBHasField(sent.get(), 22));
  std::string ephemeral;
  onWorker([&](APMMeasurement& engine) { ephemeral = engine.identity()->ephemeralAppInstanceID(); });
  EXPECT_FALSE(ephemeral.empty());
  EXPECT_EQ(APMPBGetString(sent.get(), 45), ephemeral);
  EXPECT_EQ(APMPBGetString(sent.get(), 9), "17");
  EXPECT_FALSE(APMPBHasField(sent.get(), 10));
  EXPECT_FALSE(APMPBHasField(sent.get(), 43));
  std::vector<std::string> names;
  for (const auto& attribute : APMPBGetArray<APMPBUserAttribute>(sent.get(), 2).value_or(
           std::vector<std::shared_ptr<APMPBUserAttribute>>{})) {
    names.push_back(APMPBGetString(attribute.get(), 1).value_or(""));
  }
  EXPECT_EQ(names, std::vector<std::string>{"shade"});
  os::Array expectedControls;
  for (const auto& name : controls) expectedControls.push_back(os::Value(name));
  EXPECT_EQ(APMPBGetArray(sent.get(), 44), expectedControls);

  ASSERT_TRUE(APMPBHasField(sent.get(), 38));
  const int64_t checksum = APMPBGetInt64(sent.get(), 38);
  APMPBClearField(sent.get(), 38);
  EXPECT_EQ(checksum, apm_64LSBMD5(sent->protoBuffer().value_or(os::Data())));
}

// The end time of a bundle held back for its consent state was counted as
// uploaded, so the last uploaded event time claimed events still queued.
TEST_F(UploadTest, ABundleWithOtherConsentStaysQueuedAndItsEndTimeUncounted) {
  // The first batch is taken, the held bundle's own batch then fails.
  server_.setResponses("/a", {os::testing::ScriptedResponse::withStatus(200),
                              os::testing::ScriptedResponse::withStatus(500)});
  const double t = now();
  queueBundle(millis(t) - 3000, {.vendorID = {}, .npa = 0});
  queueBundle(millis(t) - 2000, {.vendorID = {}, .npa = 0});
  queueBundle(millis(t) - 1000, {.vendorID = {}, .npa = 1});
  uploadNow();

  const auto posts = uploads();
  ASSERT_EQ(posts.size(), 2u);
  EXPECT_EQ(posts[0].bundles.size(), 2u);
  EXPECT_EQ(posts[1].bundles.size(), 1u);
  EXPECT_EQ(persisted()->lastUploadedEventTimestampMillis(), millis(t) - 2000);
  EXPECT_EQ(queuedEndTimes(), std::vector<int64_t>{millis(t) - 1000});
}

TEST_F(UploadTest, AnswersDecideDeletionRetriesAndBackOff) {
  const struct {
    int status;
    bool deleted;
    bool backoff;
  } cases[] = {
      {200, true, false}, {204, true, false}, {500, false, false}, {429, false, true}, {503, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    clearQueue();
    engine()->alarm()->cancel();
    persisted()->setLastBackoffTimestamp(0);
    persisted()->setLastFailedUploadTimestamp(0);
    server_.setResponse("/a", os::testing::ScriptedResponse::withStatus(c.status));
    const double t = now();
    queueBundle(millis(t));
    uploadNow();

    EXPECT_EQ(queuedEndTimes().empty(), c.deleted);
    if (c.deleted) {
      EXPECT_EQ(persisted()->lastFailedUploadTimestamp(), 0);
    } else {
      EXPECT_EQ(queuedRetryCounts(), std::vector<int32_t>{1});
      EXPECT_DOUBLE_EQ(persisted()->lastFailedUploadTimestamp(), t);
    }
    EXPECT_EQ(persisted()->lastBackoffTimestamp() != 0, c.backoff);
    if (c.backoff) {
      EXPECT_GE(alarmTime(), t + 43200);
    }
  }
}

// The markers were written a second after the 204, by then the bundles were
// deleted: a process that ended in between lost them.
TEST_F(UploadTest, TheSuccessMarkersAreOnDiskWhenTheUploadedBundlesAreDeleted) {
  // The shared configuration keeps the file of the sandbox it was made in.
  const std::string path = persisted()->TEST_filePath();
  ASSERT_TRUE(os::FileManager::defaultManager().createDirectoryAtPath(path.substr(0, path.rfind('/')), true));
  server_.setResponse("/a", os::testing::ScriptedResponse::withStatus(204));
  const double t = now();
  queueBundle(millis(t) - 5000);
  uploadNow();
  ASSERT_TRUE(queuedEndTimes().empty());

  // Read back as a next launch would: from the file.
  auto data = os::FileManager::defaultManager().contentsAtPath(persisted()->TEST_filePath());
  ASSERT_TRUE(data);
  auto plist = os::PropertyListSerialization::propertyListWithData(*data);
  ASSERT_TRUE(plist && plist->isDictionary());
  const os::Dictionary& onDisk = *plist->dictionary();
  ASSERT_TRUE(onDisk.contains(kAPMLastSuccessfulUploadTimestampKey));
  EXPECT_DOUBLE_EQ(onDisk.at(kAPMLastSuccessfulUploadTimestampKey).doubleValue(), t);
  ASSERT_TRUE(onDisk.contains(kAPMLastUploadedEventTimestampMillisKey));
  EXPECT_EQ(onDisk.at(kAPMLastUploadedEventTimestampMillisKey).int64Value(), millis(t) - 5000);
}

TEST_F(UploadTest, ARefusedConnectionKeepsTheBundles) {
  std::string closedBase;
  {
    os::testing::TestHTTPServer closed;
    closedBase = closed.baseURL();
  }
  writeBundle({}, std::nullopt, {}, closedBase);
  const double t = now();
  queueBundle(millis(t));
  uploadNow();
  EXPECT_EQ(queuedRetryCounts(), std::vector<int32_t>{1});
  EXPECT_DOUBLE_EQ(persisted()->lastFailedUploadTimestamp(), t);
  EXPECT_EQ(persisted()->lastBackoffTimestamp(), 0);
  EXPECT_DOUBLE_EQ(alarmTime(), t + 15 + 1800);
}

// The store is opened through the fault VFS, so its writes can fail.
class UploadSuspensionTest : public UploadTest {
 protected:
  void SetUp() override {
    vfs_ = std::make_unique<apm_test::SqliteFaultVFS>();
    UploadTest::SetUp();
  }
  std::unique_ptr<apm_test::SqliteFaultVFS> vfs_;
};

TEST_F(UploadSuspensionTest, AFailedDeletionSuspendsUploadsForAnHourOfUptime) {
  server_.setResponse("/a", os::testing::ScriptedResponse::withStatus(200));
  const double t = now();
  queueBundle(millis(t));
  vfs_->failNthWriteOrSync(1, 1, kAPMDatabaseName);
  uploadNow();
  vfs_->disarm();
  ASSERT_EQ(vfs_->failureCount(), 1);
  EXPECT_EQ(uploads().size(), 1u);
  EXPECT_EQ(queuedEndTimes().size(), 1u);
  EXPECT_GE(count(23045), 1);

  // Suspended: neither the schedule nor an upload goes on.
  clearCounts();
  updateSchedule();
  EXPECT_EQ(count(23023), 1);
  EXPECT_FALSE(engine()->alarm()->scheduledTimestamp());
  clock_->advance(3599);
  uploadNow();
  EXPECT_EQ(uploads().size(), 1u);

  // An hour of uptime later the bundle goes.
  clock_->advance(1);
  updateSchedule();
  clock_->advanceTo(alarmTime());
  settle();
  EXPECT_EQ(uploads().size(), 2u);
  EXPECT_TRUE(queuedEndTimes().empty());
}

}  // namespace
