// The report manager's start-up when it stops early, in the test runner: it
// stops before the capture core would start.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "crash/reporting/tests/reporting_test_support.h"
#include "crash/reporting/zoz_report_manager.h"
#include "os/foundation/bundle.h"

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

}  // namespace
