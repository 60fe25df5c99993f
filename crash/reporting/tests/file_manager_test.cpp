#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "crash/reporting/tests/reporting_test_support.h"
#include "crash/reporting/zoz_file_manager.h"

namespace {

using reportingtest::ReportingTest;
using reportingtest::writeFile;
namespace fs = std::filesystem;

class ZOZFileManagerTest : public ReportingTest {};

TEST_F(ZOZFileManagerTest, LayoutSitsUnderCachesWithSlashesOfTheBundleIdentifierReplaced) {
  ZOZFileManager files;
  const std::string caches = sandbox_->sandbox()->cachesDirectory();
  const std::string root = caches + "/com.zoziduzuzud.data/com.example_drosil";
  EXPECT_EQ(files.rootPath(), root);
  EXPECT_EQ(files.settingsFilePath(), root + "/v5/settings/settings.json");
  EXPECT_EQ(files.settingsCacheKeyPath(), root + "/v5/settings/cache-key.json");
  EXPECT_EQ(files.activePath(), root + "/v5/reports/active");
  EXPECT_EQ(files.processingPath(), root + "/v5/reports/processing");
  EXPECT_EQ(files.preparedPath(), root + "/v5/reports/prepared");
  EXPECT_EQ(files.pendingPath(), root + "/v5/reports/pending");
  EXPECT_EQ(files.metricKitDiagnosticsPath(), caches + "/MetricKit/Diagnostics/");
  EXPECT_FALSE(fs::exists(root)) << "nothing is created before it is asked for";

  ASSERT_TRUE(files.createReportDirectories());
  for (const auto& path : {files.activePath(), files.processingPath(), files.preparedPath()}) {
    EXPECT_TRUE(fs::is_directory(path)) << path;
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all, fs::perms(0755)) << path;
  }
  EXPECT_FALSE(fs::exists(files.pendingPath()));

  auto report = files.setupNewPathForExecutionIdentifier("abc");
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(*report, files.activePath() + "/abc");
  EXPECT_TRUE(fs::is_directory(*report));
}

TEST_F(ZOZFileManagerTest, HiddenEntriesAreNeverListedMovedOrCounted) {
  ZOZFileManager files;
  ASSERT_TRUE(files.createReportDirectories());
  writeFile(files.activePath() + "/.DS_Store", "x");
  writeFile(files.activePath() + "/report-1/metadata.zozrecord", "{}\n");
  writeFile(files.activePath() + "/report-2.zozrecord", "");

  std::vector<std::pair<std::string, std::string>> seen;
  files.enumerateFilesInDirectory(files.activePath(), [&](const std::string& path, const std::string& extension) {
    seen.emplace_back(path, extension);
  });
  EXPECT_EQ(seen, (std::vector<std::pair<std::string, std::string>>{
                      {files.activePath() + "/report-1", ""},
                      {files.activePath() + "/report-2.zozrecord", "zozrecord"}}));
  EXPECT_EQ(files.activePathContents().size(), 2u);

  // Moving and removing go by the listing: the hidden file stays put.
  for (const auto& path : files.activePathContents())
    EXPECT_TRUE(files.moveItemAtPathToDirectory(path, files.processingPath()));
  EXPECT_EQ(files.processingPathContents().size(), 2u);
  EXPECT_TRUE(fs::exists(files.processingPath() + "/report-1/metadata.zozrecord"));
  EXPECT_TRUE(files.activePathContents().empty());
  EXPECT_TRUE(fs::exists(files.activePath() + "/.DS_Store"));

  writeFile(files.processingPath() + "/.hidden", "x");
  EXPECT_TRUE(files.removeContentsOfDirectoryAtPath(files.processingPath()));
  EXPECT_TRUE(files.processingPathContents().empty());
  EXPECT_TRUE(fs::exists(files.processingPath() + "/.hidden"));
}

TEST_F(ZOZFileManagerTest, FailuresAnswerNoAndLog) {
  ZOZFileManager files;
  EXPECT_FALSE(files.removeItemAtPath(std::nullopt));
  EXPECT_EQ(lines("Failed to remove file"), 1u);
  EXPECT_FALSE(files.removeItemAtPath(sandbox_->root() + "/missing"));
  EXPECT_EQ(lines("Failed to remove file"), 2u);

  EXPECT_FALSE(files.moveItemAtPathToDirectory(std::nullopt, files.activePath()));
  EXPECT_FALSE(files.moveItemAtPathToDirectory(files.activePath(), std::nullopt));
  EXPECT_EQ(lines("Failed to move file, inputs invalid"), 2u);
  EXPECT_FALSE(files.moveItemAtPathToDirectory(sandbox_->root() + "/missing", sandbox_->root()));
  EXPECT_EQ(lines("Failed to move file: "), 1u);

  // A file where a directory belongs.
  writeFile(files.rootPath() + "/v5", "not a directory");
  EXPECT_FALSE(files.createReportDirectories());
  EXPECT_EQ(lines("Unable to create directory"), 1u);
  EXPECT_FALSE(files.setupNewPathForExecutionIdentifier("abc").has_value());

  EXPECT_FALSE(files.fileSizeAtPath(sandbox_->root() + "/missing").has_value());
  EXPECT_EQ(lines("Unable to read file size"), 1u);
  EXPECT_TRUE(files.contentsOfDirectory(sandbox_->root() + "/missing").empty());
}

TEST_F(ZOZFileManagerTest, PreviousCrashAnswerStaysAfterTheMarkerGoes) {
  ZOZFileManager files;
  const std::string marker = files.rootPath() + "/previously-crashed";
  writeFile(marker, "");
  EXPECT_TRUE(files.didCrashOnPreviousExecution());
  fs::remove(marker);
  EXPECT_TRUE(files.didCrashOnPreviousExecution());

  ZOZFileManager later;
  EXPECT_FALSE(later.didCrashOnPreviousExecution());
  writeFile(marker, "");
  EXPECT_FALSE(later.didCrashOnPreviousExecution());
}

TEST_F(ZOZFileManagerTest, MetricKitFolderAndEmptyFatalFile) {
  ZOZFileManager files;
  EXPECT_FALSE(files.metricKitDiagnosticFileExists());
  fs::create_directories(files.metricKitDiagnosticsPath());
  EXPECT_FALSE(files.metricKitDiagnosticFileExists());
  writeFile(files.metricKitDiagnosticsPath() + "diagnostic-1", "x");
  EXPECT_TRUE(files.metricKitDiagnosticFileExists());

  auto report = files.setupNewPathForExecutionIdentifier("abc");
  ASSERT_TRUE(report);
  ASSERT_TRUE(files.createEmptyMetricKitFile(*report));
  EXPECT_EQ(files.fileSizeAtPath(*report + "/metric_kit_fatal.zozrecord"), 0u);
}

TEST_F(ZOZFileManagerTest, ExecutionIdentifierIsAFreshLowerCaseUUIDWithoutHyphens) {
  ZOZExecutionIdentifierModel first, second;
  EXPECT_TRUE(std::regex_match(first.executionID(), std::regex("[0-9a-f]{32}"))) << first.executionID();
  EXPECT_NE(first.executionID(), second.executionID());
}

}  // namespace
