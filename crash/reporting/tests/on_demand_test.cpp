#include <gtest/gtest.h>

#include <filesystem>

#include "crash/reporting/tests/reporting_test_support.h"
#include "crash/reporting/zoz_existing_report_manager.h"
#include "crash/reporting/zoz_on_demand_model.h"
#include "crash/reporting/zoz_report_uploader.h"
#include "os/testing/test_http_server.h"

namespace {

namespace fs = std::filesystem;
using reportingtest::FlowTest;

class OnDemandTest : public FlowTest {
 protected:
  void TearDown() override {
    // Wake the sleeping block and let nothing else start.
    if (model_) {
      model_->operationQueue()->cancelAllOperations();
      clock_->clock().advance(7200);
      model_->operationQueue()->waitUntilAllOperationsAreFinished();
    }
    FlowTest::TearDown();
  }
  // A model whose recorder writes a report with an exception under "active".
  void makeModel(const std::optional<std::string>& settings = std::nullopt) {
    managerData_ = makeManagerData([this](const REZExceptionModel& model, int recorded, int dropped) {
      const std::string name = "od-" + std::to_string(written_++);
      const std::string path = writeReport("active", name, -1, false);
      reportingtest::writeFile(path + "/custom_exception_a.zozrecord",
                               "{\"exception\":{\"name\":\"" + model.name() + "\"}}\n");
      counts_.emplace_back(recorded, dropped);
      return std::optional<std::string>(path);
    });
    model_ = managerData_->onDemandModel;
    if (settings) {
      ASSERT_TRUE(files_->createDirectoryAtPath(files_->settingsDirectoryPath()));
      ASSERT_TRUE(files_->createFileAtPath(files_->settingsFilePath(), os::Data::fromString(*settings)));
      managerData_->settings->cacheSettingsWithDevuvoAppID(kAppID, os::Date::now().timeIntervalSinceReferenceDate());
    }
    manager_ = std::make_shared<ZOZExistingReportManager>(managerData_,
                                                          std::make_shared<ZOZReportUploader>(managerData_));
  }
  bool record(bool collectionEnabled) {
    return model_->recordOnDemandExceptionIfQuota(REZExceptionModel::exceptionModelWithNameReason("Oops", "why"),
                                                  collectionEnabled, manager_);
  }
  // Runs the work under way (up to the sleeping block), then moves on.
  void advance(double seconds) { clock_->clock().advance(seconds); }

  std::shared_ptr<ZOZOnDemandModel> model_;
  std::shared_ptr<ZOZExistingReportManager> manager_;
  int written_ = 0;
  std::vector<std::pair<int, int>> counts_;  // recorded, dropped at each write
};

TEST_F(OnDemandTest, TheEleventhWithTenQueuedIsDropped) {
  makeModel();
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(record(true)) << i;
  EXPECT_FALSE(record(true));
  EXPECT_EQ(lines("No available on-demand quota, dropping report"), 1u);
  EXPECT_EQ(model_->recordedOnDemandExceptionCount(), 11u);
  EXPECT_EQ(model_->droppedOnDemandExceptionCount(), 1u);
  EXPECT_EQ(written_, 10);
  EXPECT_EQ(counts_.front(), std::make_pair(0, 0));
  EXPECT_EQ(counts_.back(), std::make_pair(9, 0));

  // The first is uploaded urgently; the next waits out the delay.
  ASSERT_TRUE(transport_->waitForSends(1));
  ASSERT_TRUE(os::testing::runMainUntil(
      [&] { return lines("Submitted an on-demand exception, starting delay 6.0") == 1; }));
  EXPECT_EQ(model_->queuedOperationsCount(), 10u);
  advance(6);
  ASSERT_TRUE(transport_->waitForSends(2));
  ASSERT_TRUE(os::testing::runMainUntil([&] { return model_->queuedOperationsCount() == 9; }));
  EXPECT_TRUE(record(true));  // room again: admitted, the dropped count reset
  EXPECT_EQ(counts_.back(), std::make_pair(11, 1));
  EXPECT_EQ(model_->droppedOnDemandExceptionCount(), 0u);
}

TEST_F(OnDemandTest, WithCollectionOffTheFifthStoredEvictsTheOldest) {
  makeModel();
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(record(false));
  // Each block stores its report, then sleeps until the clock moves on.
  for (size_t i = 1; i <= 5; ++i) {
    ASSERT_TRUE(os::testing::runMainUntil([&] {
      return model_->storedActiveReportPaths().size() == std::min<size_t>(i, 4) &&
             model_->queuedOperationsCount() == 6 - i && model_->droppedOnDemandExceptionCount() == (i == 5 ? 1u : 0u);
    })) << i;
    if (i < 5) advance(6);
  }
  const auto stored = model_->storedActiveReportPaths();
  ASSERT_EQ(stored.size(), 4u);
  EXPECT_EQ(ZOZLastPathComponent(stored.front()), "od-4");
  EXPECT_EQ(ZOZLastPathComponent(stored.back()), "od-1");
  EXPECT_FALSE(fs::exists(files_->activePath() + "/od-0"));
  EXPECT_EQ(model_->recordedOnDemandExceptionCount(), 4u);
  EXPECT_EQ(model_->droppedOnDemandExceptionCount(), 1u);
  EXPECT_TRUE(transport_->sent().empty());

  // Sending the unsent reports takes the stored ones too.
  manager_->collectExistingReports();
  model_->operationQueue()->cancelAllOperations();
  advance(7200);
  manager_->sendUnsentReportsWithToken(ZOZDataCollectionToken::validToken(), false);
  ASSERT_TRUE(transport_->waitForSends(4));
  drain();
  EXPECT_EQ(transport_->sent().size(), 4u);  // the stored ones were collected too: each is sent once
  EXPECT_TRUE(model_->storedActiveReportPaths().empty());
}

TEST_F(OnDemandTest, TheBackOffClimbsWhileTheQuotaIsSpentAndDecaysAfter) {
  // A rate of a third: one queued exception spends the quota and waits 180 s.
  makeModel(R"({"on_demand_upload_rate_per_minute": 0.3333333333333333})");
  EXPECT_TRUE(record(false));
  ASSERT_TRUE(os::testing::runMainUntil(
      [&] { return lines("Stored an on-demand exception, starting delay 180.0") == 1; }));
  EXPECT_EQ(model_->currentStep(), 0.0);
  advance(120);  // full for 20 steps of 6 s
  EXPECT_DOUBLE_EQ(model_->calculateStepDuration(), 20.0);
  EXPECT_EQ(model_->calculateUploadDelay(), 3600.0);  // 1.5^20 x 180 s, capped
  advance(60);  // the block wakes; the quota is free again
  ASSERT_TRUE(os::testing::runMainUntil([&] { return model_->queuedOperationsCount() == 0; }));
  EXPECT_DOUBLE_EQ(model_->calculateStepDuration(), 10.0);
  advance(600);
  EXPECT_EQ(model_->calculateStepDuration(), 0.0);
}

TEST_F(OnDemandTest, DefaultsGiveSixSecondsAtStepZero) {
  makeModel();
  EXPECT_DOUBLE_EQ(model_->calculateUploadDelay(), 6.0);
  EXPECT_EQ(model_->currentStep(), 0.0);
}

TEST_F(OnDemandTest, ALaunchThatFindsTheMarkerReportsAFailedLaunch) {
  ZOZLaunchMarkerModel first(files_);
  EXPECT_FALSE(first.checkForAndCreateLaunchMarker());
  EXPECT_TRUE(first.launchFailureMarkerPresent());
  EXPECT_EQ(first.launchFailureMarkerPath(), files_->structurePath() + "/launchmarker");
  ZOZLaunchMarkerModel second(files_);
  EXPECT_TRUE(second.checkForAndCreateLaunchMarker());
  EXPECT_EQ(lines("[Zoziduzuzud:Crash] Last launch failed"), 1u);
  EXPECT_TRUE(second.removeLaunchFailureMarker());
  EXPECT_FALSE(second.launchFailureMarkerPresent());
}

}  // namespace
