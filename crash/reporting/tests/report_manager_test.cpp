// The report manager's start-up when it stops early, and the context
// manager's metadata rewrite, in the test runner: neither starts the capture
// core (a failed start-up stops before it; the context manager is given an
// initializer that does nothing).
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>

#include "crash/reporting/tests/reporting_test_support.h"
#include "crash/reporting/zoz_context_manager.h"
#include "crash/reporting/zoz_report_manager.h"
#include "os/foundation/bundle.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/file_system.h"

namespace {

namespace fs = std::filesystem;
using reportingtest::FlowTest;

class ReportManagerTest : public FlowTest {};

// Mended: a start-up that stopped early left both promises pending, so the
// app's checkForUnsentReports and sendUnsentReports never answered.
TEST_F(ReportManagerTest, AFailedStartUpSettlesBothUnsentReportPromisesWithNoReport) {
  struct Case {
    const char* what;
    os::Dictionary appInfo;
    std::function<void()> prepare;
    const char* cause;  // the line that says why start-up stopped
  };
  const std::vector<Case> cases = {
      {"legacy collection key", {{kZOZLegacyCollectionEnabledPlistKey, os::Value(true)}}, [] {},
       "Found legacy data collection key"},
      {"report directories blocked", {},
       [this] {
         fs::remove_all(files_->activePath());
         reportingtest::writeFile(files_->activePath(), "not a directory");
       },
       "Unable to create directory"},
      {"no bundle identifier", {}, [this] { writeInfo(os::Dictionary{{os::kCFBundleVersionKey, "42"}}); },
       "An application must have a valid bundle identifier"},
  };
  const std::string failed = "Crash reporting did not start: no unsent reports to check, send or delete";
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.what);
    c.prepare();
    auto data = makeManagerData(nullptr, c.appInfo);
    auto existing = std::make_shared<ZOZExistingReportManager>(data, std::make_shared<ZOZReportUploader>(data));
    auto manager =
        std::make_shared<ZOZReportManager>(data, existing, std::make_shared<ZOZAnalyticsManager>(analytics_));

    auto started = manager->startWithProfiling();
    ASSERT_TRUE(started->isFulfilled());
    const auto value = started->value();
    const auto* number = std::any_cast<os::Number>(&value);
    ASSERT_TRUE(number);
    EXPECT_FALSE(number->boolValue());

    auto available = manager->checkForUnsentReports();
    ASSERT_TRUE(available->isFulfilled());
    EXPECT_FALSE(available->value().has_value());
    EXPECT_TRUE(manager->sendUnsentReports()->isFulfilled());
    EXPECT_TRUE(manager->deleteUnsentReports()->isFulfilled());
    EXPECT_EQ(lines(c.cause), 1u);
    EXPECT_EQ(lines(failed), i + 1);
    data->operationQueue->waitUntilAllOperationsAreFinished();
  }
}

// Mended: the rewrite on a session change unlinked the record and wrote it
// anew, so a crash in between left a report without an identifier.
TEST_F(ReportManagerTest, AFailedMetadataRewriteLeavesThePreviousRecordWhole) {
  struct Case {
    const char* what;
    std::optional<os::FileOp> failing;
  };
  const std::vector<Case> cases = {
      {"no fault", std::nullopt},         {"open", os::FileOp::Open},     {"write", os::FileOp::Write},
      {"sync", os::FileOp::Sync},         {"rename", os::FileOp::Rename},
  };
  const std::string failed = "Failed to write context file while updating App Quality Session ID";
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.what);
    const std::string name = "launch" + std::to_string(i);
    const std::string path = writeReport("active", name, 1, false);
    ZOZContextManager manager([](const std::shared_ptr<ZOZContextInitData>&) { return true; });
    ASSERT_TRUE(manager.setupContextWithReport(ZOZInternalReport::reportWithPath(path), managerData_->settings, files_));

    const size_t before = lines(failed);
    auto faults = std::make_shared<os::FaultInjectingFileSystem>();
    if (c.failing) faults->inject(*c.failing, {EIO, path});
    {
      os::ScopedFileSystem scope(faults);
      manager.setAppQualitySessionId("aq-new");
    }
    if (c.failing) {
      EXPECT_GT(faults->failureCount(*c.failing), 0);
    }

    EXPECT_EQ(ZOZInternalReport::identifierAtPath(path), name);
    std::string appQualitySessionId;
    for (const auto& line : reportingtest::readRecordLines(path + "/metadata.zozrecord")) {
      if (line.contains("identity")) appQualitySessionId = line["identity"].value("app_quality_session_id", "");
    }
    EXPECT_EQ(appQualitySessionId, c.failing ? "aq-" + name : "aq-new");
    EXPECT_EQ(lines(failed), before + (c.failing ? 1 : 0));
    // Nothing left behind: no temporary beside the record, no staging folder.
    auto entries = os::FileManager::defaultManager().contentsOfDirectoryAtPath(path);
    ASSERT_TRUE(entries);
    EXPECT_EQ(*entries, std::vector<std::string>{"metadata.zozrecord"});
    EXPECT_FALSE(fs::exists(os::FileManager::defaultManager().temporaryDirectory() + "/" +
                            kZOZMetadataStagingPrefix + name));
  }
}

}  // namespace
