#include <gtest/gtest.h>

#include <filesystem>

#include "crash/core/tests/crash_path_support.h"
#include "crash/core/zoz_context.h"
#include "crash/reporting/rez_exception_model.h"
#include "crash/reporting/tests/reporting_test_support.h"
#include "crash/reporting/vor_uvudezazude_report.h"
#include "crash/reporting/zoz_internal_report.h"
#include "os/dispatch/queue.h"

namespace {

using reportingtest::ReportingTest;
using reportingtest::writeCrashRecord;
using reportingtest::writeFile;
namespace fs = std::filesystem;

class ReportModelsTest : public ReportingTest {};

TEST_F(ReportModelsTest, IdentifierAndMetadataComeFromTheMetadataRecord) {
  const std::string path = makeReport("with-id", std::string("launch-7"));
  auto report = ZOZInternalReport::reportWithPath(path);
  ASSERT_TRUE(report);
  EXPECT_EQ(report->identifier(), "launch-7");
  EXPECT_EQ(report->directoryName(), "with-id");
  EXPECT_EQ(report->dateCreated(), os::Date::fromTimeIntervalSince1970(reportingtest::kStartTime));
  EXPECT_EQ(report->bundleVersion(), "42");
  EXPECT_EQ(report->bundleShortVersionString(), "4.2");
  EXPECT_TRUE(report->OSVersion().has_value());
  EXPECT_FALSE(report->orgID().has_value());
  EXPECT_FALSE(report->hasAnyEvents());
  EXPECT_FALSE(report->isCrash());
  EXPECT_FALSE(report->crashedOnDate().has_value());

  EXPECT_FALSE(ZOZInternalReport::reportWithPath(makeReport("no-id", std::nullopt)));
  EXPECT_FALSE(ZOZInternalReport::reportWithPath(makeDirectory("no-metadata")));
  EXPECT_EQ(lines("Unable to read identifier at path"), 2u);
  EXPECT_FALSE(ZOZInternalReport::initWithPathExecutionIdentifier(std::nullopt, std::string("x")));
}

TEST_F(ReportModelsTest, EventAndCrashFilesDecideWhatAReportHolds) {
  struct Case {
    std::vector<std::string> files;
    bool event;
    bool crash;
  };
  const Case cases[] = {
      {{"metric_kit_fatal.zozrecord"}, true, true},
      {{"custom_fatal.zozrecord"}, false, true},
      {{"errors_b.zozrecord"}, true, false},
      {{"metric_kit_nonfatal.zozrecord", "log_a.zozrecord"}, true, false},
      {{"signal.zozrecord"}, true, true},
      {{"log_a.zozrecord", "user_incremental_kv.zozrecord"}, false, false},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.files.front());
    const std::string path = makeReport("files-" + std::to_string(n++), std::string("id"));
    for (const auto& file : c.files) writeFile(path + "/" + file, "");
    auto report = ZOZInternalReport::reportWithPath(path);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->hasAnyEvents(), c.event);
    EXPECT_EQ(report->isCrash(), c.crash);
  }
}

TEST_F(ReportModelsTest, CrashDatePrefersTheMachExceptionOverTheSignal) {
  const std::string path = makeReport("dates", std::string("id"));
  auto report = ZOZInternalReport::reportWithPath(path);
  ASSERT_TRUE(report);
  writeFile(path + "/exception.zozrecord", "");
  EXPECT_FALSE(report->crashedOnDate().has_value()) << "a crash without a time";
  writeCrashRecord(path + "/signal.zozrecord", "signal", 1'600'000'100);
  EXPECT_EQ(report->crashedOnDate(), os::Date::fromTimeIntervalSince1970(1'600'000'100));
  writeCrashRecord(path + "/mach_exception.zozrecord", "mach_exception", 1'600'000'200);
  EXPECT_EQ(report->crashedOnDate(), os::Date::fromTimeIntervalSince1970(1'600'000'200));

  std::vector<std::string> visited;
  report->enumerateSymbolicatableFilesInContent([&](const std::string& file) { visited.push_back(file); });
  EXPECT_EQ(visited, (std::vector<std::string>{path + "/exception.zozrecord", path + "/mach_exception.zozrecord",
                                               path + "/signal.zozrecord", path + "/metric_kit_fatal.zozrecord",
                                               path + "/custom_fatal.zozrecord"}));
}

TEST_F(ReportModelsTest, PublicReportWritesNothingBeforeStartUp) {
  ASSERT_FALSE(ZOZContextIsInitialized()) << "the runner never starts the capture core";
  const std::string path = makeReport("public", std::string("launch-3"));
  auto internal = ZOZInternalReport::reportWithPath(path);
  ASSERT_TRUE(internal);
  writeFile(path + "/signal.zozrecord", "");
  VORUvudezazudeReport report(internal);
  EXPECT_EQ(report.reportID(), "launch-3");
  EXPECT_TRUE(report.hasCrash());
  EXPECT_EQ(report.dateCreated(), internal->dateCreated());

  const auto before = crashpath::readRecordLines(path + "/metadata.zozrecord").size();
  report.setUserID(std::string("user-1"));
  report.log("hello");
  report.logWithFormat("%d", 1);
  report.setCustomValue(os::Value("v"), std::string("k"));
  report.setCustomKeysAndValues(os::Dictionary{{"a", os::Value("b")}});
  for (const char* method : {"setUserID:", "log:", "logWithFormat:", "setCustomValue:forKey:",
                             "setCustomKeysAndValues:"}) {
    EXPECT_EQ(lines(std::string(method) +
                    " failed for VORUvudezazudeReport because Zoziduzuzud context isn't initialized."),
              1u)
        << method;
  }
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(path)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"metadata.zozrecord", "signal.zozrecord"}));
  EXPECT_EQ(crashpath::readRecordLines(path + "/metadata.zozrecord").size(), before);
}

// After start-up the report's own files take the writes; the live launch's do not.
const bool kReportWritesScenario = crashpath::registerScenario(
    "reporting-report-writes", [](const std::string& directory, const std::string&) {
      if (!crashpath::startCaptureCore(directory + "/live")) return 2;
      const std::string old = directory + "/old";
      ZOZContextInitData data;
      data.sessionId = "old-launch";
      if (!ZOZContextRecordMetadata(old.c_str(), data)) return 3;
      auto internal = ZOZInternalReport::reportWithPath(old);
      if (!internal) return 4;
      {
        VORUvudezazudeReport report(internal);
        report.setUserID(std::string("user-7"));
        report.log("hello");
        report.setCustomValue(os::Value("blue"), std::string("colour"));
      }
      return os::dispatch::drainUntilIdle() ? 0 : 5;
    });

TEST_F(ReportModelsTest, PublicReportWritesIntoItsOwnFilesOnceStarted) {
  const std::string directory = crashpath::makeDirectory("report-writes");
  fs::create_directories(directory + "/live");
  fs::create_directories(directory + "/old");
  auto result = crashpath::runScenario("reporting-report-writes", directory);
  ASSERT_TRUE(result.exited && result.exitCode == 0) << result.describe();
  const std::string old = directory + "/old/";
  EXPECT_NE(crashpath::readFile(old + "internal_incremental_kv.zozrecord").find(crashpath::hex("user-7")),
            std::string::npos);
  EXPECT_NE(crashpath::readFile(old + "log_a.zozrecord").find(crashpath::hex("hello")), std::string::npos);
  EXPECT_NE(crashpath::readFile(old + "user_incremental_kv.zozrecord").find(crashpath::hex("colour")),
            std::string::npos);
  EXPECT_EQ(crashpath::readFile(directory + "/live/internal_incremental_kv.zozrecord").find(crashpath::hex("user-7")),
            std::string::npos);
}

TEST_F(ReportModelsTest, StackFrameDescriptions) {
  auto symbolicated = REZStackFrame::stackFrameWithSymbolFileLine("main", "main.m", 12);
  EXPECT_EQ(symbolicated->description(), "{main.m - main:12}");
  auto withFile = REZStackFrame::stackFrameWithAddress(0xabc);
  withFile->setFileName("a.c");
  withFile->setSymbol("f");
  withFile->setLineNumber(3);
  EXPECT_EQ(withFile->description(), "{[0xabc] a.c - f:3}");
  auto addressOnly = REZStackFrame::stackFrameWithAddress(0x1000);
  EXPECT_FALSE(addressOnly->isSymbolicated());
  EXPECT_EQ(addressOnly->description(), "{[0x1000 + 0] (null)}");
  auto bySymbol = REZStackFrame::stackFrameWithSymbol("g");
  EXPECT_EQ(bySymbol->rawSymbol(), "g");

  auto exception = REZExceptionModel::exceptionModelWithNameReason("Name", "Reason");
  EXPECT_FALSE(exception->isFatal());
  EXPECT_FALSE(exception->onDemand());
  EXPECT_FALSE(exception->stackTrace().has_value());
}

}  // namespace
