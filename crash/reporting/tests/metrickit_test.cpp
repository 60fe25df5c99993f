#include <gtest/gtest.h>

#include <filesystem>

#include "crash/reporting/tests/reporting_test_support.h"
#include "crash/reporting/zoz_existing_report_manager.h"
#include "crash/reporting/zoz_metrickit_manager.h"
#include "os/testing/test_http_server.h"

namespace {

namespace fs = std::filesystem;
using reportingtest::FlowTest;

std::shared_ptr<MXCallStackTree> tree() {
  // Two threads; the second is blamed. Only the first frame of each level
  // is followed.
  const os::Value frame{{"address", 0x1000},  {"offsetIntoBinaryTextSegment", 16}, {"sampleCount", 1},
                        {"binaryName", "Drosil"}, {"binaryUUID", "U"},
                        {"subFrames", os::Value::arrayOf({os::Value{{"address", 0x2000}}, os::Value{{"address", 0x3000}}})}};
  return MXCallStackTree::withTree(os::Value{
      {"callStackPerThread", true},
      {"callStacks", os::Value::arrayOf({os::Value{{"threadAttributed", false},
                                                   {"callStackRootFrames", os::Value::arrayOf({os::Value{{"address", 0x10}}})}},
                                         os::Value{{"threadAttributed", true},
                                                   {"callStackRootFrames", os::Value::arrayOf({frame})}}})}});
}

template <class T>
std::shared_ptr<T> diagnostic() {
  auto d = std::make_shared<T>();
  d->metaData = std::make_shared<MXMetaData>(os::Dictionary{{"osVersion", "iPhone OS 17.5"}});
  d->applicationVersion = "4.2";
  d->callStackTree = tree();
  return d;
}

std::shared_ptr<MXDiagnosticPayload> payload() {
  auto p = std::make_shared<MXDiagnosticPayload>();
  p->timeStampBegin = os::Date::fromTimeIntervalSince1970(1000.9);
  p->timeStampEnd = os::Date::fromTimeIntervalSince1970(2000.2);
  return p;
}

class MetricKitTest : public FlowTest {
 protected:
  void SetUp() override {
    FlowTest::SetUp();
    existing_ = std::make_shared<ZOZExistingReportManager>(managerData_,
                                                           std::make_shared<ZOZReportUploader>(managerData_));
    current_ = files_->activePath() + "/" + managerData_->executionIDModel->executionID();
    fs::create_directories(current_);
  }
  std::shared_ptr<ZOZMetricKitManager> manager(std::shared_ptr<ZOZFileManager> files = nullptr) {
    return std::make_shared<ZOZMetricKitManager>(managerData_, existing_, files ? files : files_);
  }
  std::shared_ptr<ZOZExistingReportManager> existing_;
  std::string current_;
};

TEST_F(MetricKitTest, AHangOnlyPayloadWritesOneNonFatalLine) {
  auto p = payload();
  auto hang = diagnostic<MXHangDiagnostic>();
  hang->hangDuration = {2.5, "sec"};
  p->hangDiagnostics = {hang, diagnostic<MXHangDiagnostic>()};
  EXPECT_TRUE(manager()->processMetricKitPayload(*p, false));
  EXPECT_FALSE(fs::exists(current_ + "/metric_kit_fatal.zozrecord"));
  const auto lines = reportingtest::readRecordLines(current_ + "/metric_kit_nonfatal.zozrecord");
  ASSERT_EQ(lines.size(), 1u);
  const auto& exception = lines[0]["exception"];
  EXPECT_EQ(exception["type"], "metrickit_nonfatal");
  EXPECT_EQ(exception["name"], "hang_event");
  EXPECT_EQ(exception["time"], 1000);
  EXPECT_EQ(exception["end_time"], 2000);
  EXPECT_EQ(exception["hang_duration"], 2.5);
  EXPECT_EQ(exception["app_version"], "4.2");
  EXPECT_EQ(exception["metadata"]["osVersion"], "iPhone OS 17.5");
  ASSERT_EQ(exception["threads"].size(), 2u);
  EXPECT_EQ(exception["threads"][1]["stacktrace"], nlohmann::ordered_json::parse("[4096, 8192]"));
  EXPECT_EQ(exception["threads"][1]["crashed"], true);

  EXPECT_FALSE(manager()->processMetricKitPayload(*payload(), false));  // nothing in it
}

TEST_F(MetricKitTest, OfTwoCrashPayloadsOnlyTheFirstIsWrittenToTheNewestUnsentReport) {
  const std::string old = writeReport("active", "old", 1, true);
  existing_->collectExistingReports();
  std::vector<std::shared_ptr<MXDiagnosticPayload>> payloads;
  for (int64_t type : {1, 0}) {
    auto p = payload();
    auto crash = diagnostic<MXCrashDiagnostic>();
    crash->exceptionType = type;
    crash->exceptionCode = 1;
    crash->signal = 11;
    p->crashDiagnostics = {crash};
    payloads.push_back(p);
  }
  auto metricKit = manager();
  metricKit->registerMetricKitManager();
  metricKit->didReceiveDiagnosticPayloads(payloads);
  EXPECT_FALSE(fs::exists(current_ + "/metric_kit_fatal.zozrecord"));
  const auto lines = reportingtest::readRecordLines(old + "/metric_kit_fatal.zozrecord");
  ASSERT_EQ(lines.size(), 2u);
  const auto& fatal = lines[0]["metric_kit_fatal"];
  EXPECT_EQ(fatal["name"], "EXC_BAD_ACCESS");
  EXPECT_EQ(fatal["code_name"], "KERN_INVALID_ADDRESS");
  EXPECT_EQ(fatal["signal"], 11);
  EXPECT_EQ(fatal["termination_reason"], "");
  EXPECT_EQ(lines[1]["threads"].size(), 2u);
  EXPECT_TRUE(metricKit->waitForMetricKitDataAvailable()->isFulfilled());
  // The report now holds a crash.
  EXPECT_TRUE(ZOZInternalReport::reportWithPath(old)->isCrash());
}

TEST_F(MetricKitTest, StartUpWaitsForDiagnosticsOnlyAfterACrash) {
  auto quiet = manager();
  quiet->registerMetricKitManager();
  EXPECT_TRUE(quiet->waitForMetricKitDataAvailable()->isFulfilled());

  reportingtest::writeFile(files_->rootPath() + "/previously-crashed", "");
  reportingtest::writeFile(files_->metricKitDiagnosticsPath() + "diagnostic", "");
  auto crashed = manager(std::make_shared<ZOZFileManager>());
  crashed->registerMetricKitManager();
  EXPECT_TRUE(crashed->waitForMetricKitDataAvailable()->isPending());
  clock_->clock().advance(2.9);
  EXPECT_TRUE(crashed->waitForMetricKitDataAvailable()->isPending());
  clock_->clock().advance(0.2);
  EXPECT_TRUE(crashed->waitForMetricKitDataAvailable()->isFulfilled());
  EXPECT_EQ(lines("Resolving MetricKit promise after three seconds"), 1u);
}

TEST_F(MetricKitTest, CollectionMarksTheNewestReportWhenADiagnosticIsPending) {
  writeReport("active", "older", 1, true);
  const std::string newest = writeReport("active", "newest", 2, false);
  reportingtest::writeFile(files_->metricKitDiagnosticsPath() + "diagnostic", "");
  reportingtest::writeFile(files_->settingsFilePath(), R"({"features": {"collect_metric_kit": true}})");
  managerData_->settings->cacheSettingsWithDevuvoAppID(kAppID, os::Date::now().timeIntervalSinceReferenceDate());
  existing_->collectExistingReports();
  // The empty file makes the newest report an event and a crash.
  EXPECT_TRUE(fs::exists(newest + "/metric_kit_fatal.zozrecord"));
  EXPECT_EQ(existing_->unsentReportsCount(), 2u);
  EXPECT_EQ(existing_->newestUnsentReport()->reportID(), "newest");
  EXPECT_TRUE(existing_->newestUnsentReport()->hasCrash());
}

}  // namespace
