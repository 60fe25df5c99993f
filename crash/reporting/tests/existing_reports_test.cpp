#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <tuple>
#include <thread>

#include "crash/core/zoz_exception.h"
#include "crash/reporting/tests/reporting_test_support.h"
#include "crash/reporting/zoz_existing_report_manager.h"
#include "crash/reporting/zoz_report_uploader.h"

namespace reportingtest {
[[gnu::noinline]] int existingReportsAnchor(int value) { return value * 3 + 1; }
}  // namespace reportingtest

namespace {

namespace fs = std::filesystem;
using reportingtest::FlowTest;
using reportingtest::TransportDouble;

class ExistingReportsTest : public FlowTest {
 protected:
  void SetUp() override {
    FlowTest::SetUp();
    uploader_ = std::make_shared<ZOZReportUploader>(managerData_);
    manager_ = std::make_shared<ZOZExistingReportManager>(managerData_, uploader_);
  }
  std::vector<std::string> namesIn(const std::string& directory) const {
    std::vector<std::string> names;
    for (const auto& path : files_->contentsOfDirectory(directory)) names.push_back(ZOZLastPathComponent(path));
    return names;
  }
  static std::vector<std::string> names(const std::vector<std::string>& paths) {
    std::vector<std::string> out;
    for (const auto& path : paths) out.push_back(ZOZLastPathComponent(path));
    return out;
  }
  // The record files of each message sent, in send order.
  std::vector<std::map<std::string, std::string>> sentFiles() {
    std::vector<std::map<std::string, std::string>> out;
    for (const auto& sent : transport_->sent()) {
      EXPECT_EQ(sent.event->mappingID(), "1206");
      EXPECT_EQ(sent.event->target(), 1002);
      EXPECT_EQ(sent.event->qosTier(), 4);
      auto files = reportingtest::filesOfReportMessage(sent.event->serializedDataObjectBytes().value_or(os::Data()));
      EXPECT_TRUE(files);
      out.push_back(files.value_or(std::map<std::string, std::string>{}));
    }
    return out;
  }
  enum class Kind { Crash, Errors, OnDemandFatal, OnDemandNonfatal };
  // A report of an earlier launch: its own (a crash, or errors only), or a
  // copy made on demand, whose internal keys carry the on-demand counts.
  void writeKind(const std::string& name, double createdAt, Kind kind) {
    const std::string path = writeReport("active", name, createdAt, kind == Kind::Crash);
    if (kind == Kind::Errors) reportingtest::writeFile(path + "/errors_a.zozrecord", "{}\n");
    if (kind != Kind::OnDemandFatal && kind != Kind::OnDemandNonfatal) return;
    {
      reportingtest::RecordWriter kv(path + "/" + kZOZInternalIncrementalKVFileName);
      ZOZFileWriteSectionStart(kv.get(), "kv");
      ZOZFileWriteHashStart(kv.get());
      ZOZFileWriteHashEntryHexEncodedString(kv.get(), "key", kZOZOnDemandRecordedExceptionsKey);
      ZOZFileWriteHashEntryHexEncodedString(kv.get(), "value", "1");
      ZOZFileWriteHashEnd(kv.get());
      ZOZFileWriteSectionEnd(kv.get());
    }
    if (kind == Kind::OnDemandFatal) {
      reportingtest::writeFile(path + "/custom_fatal.zozrecord", "");
      reportingtest::writeFile(path + "/exception.zozrecord", "{}\n");
    } else {
      reportingtest::writeFile(path + "/custom_exception_a.zozrecord", "{}\n");
    }
  }

  uint64_t anchor() const { return reinterpret_cast<uintptr_t>(&reportingtest::existingReportsAnchor) + 4; }

  std::shared_ptr<ZOZReportUploader> uploader_;
  std::shared_ptr<ZOZExistingReportManager> manager_;
};

TEST_F(ExistingReportsTest, TheNewestFourUnsentReportsStayAndTheRestGo) {
  for (int i = 0; i < 7; ++i) writeReport("active", "r" + std::to_string(i), i * 10, true);
  writeReport("active", "empty", 100, false);
  writeReport("active", ".hidden", 200, true);
  manager_->collectExistingReports();
  EXPECT_EQ(names(manager_->existingUnemptyActiveReportPaths()), (std::vector<std::string>{"r6", "r5", "r4", "r3"}));
  EXPECT_EQ(manager_->unsentReportsCount(), 4u);
  ASSERT_TRUE(manager_->newestUnsentReport());
  EXPECT_EQ(manager_->newestUnsentReport()->reportID(), "r6");
  drain();
  EXPECT_EQ(namesIn(files_->activePath()), (std::vector<std::string>{"r3", "r4", "r5", "r6"}));
  EXPECT_EQ(lines("Deleting 3 unsent reports over the limit of 4"), 1u);
  EXPECT_TRUE(fs::exists(files_->activePath() + "/.hidden"));

  // Nothing left: no newest report.
  auto alone = std::make_shared<ZOZExistingReportManager>(makeManagerData(), uploader_);
  fs::remove_all(files_->activePath());
  alone->collectExistingReports();
  EXPECT_EQ(alone->unsentReportsCount(), 0u);
  EXPECT_FALSE(alone->newestUnsentReport());
}

// Mended: on-demand copies share their launch's "started_at" and ties went
// by folder name, so pruning to four could delete the launch's crash.
TEST_F(ExistingReportsTest, PruningKeepsALaunchsOwnAndCrashReportsBeforeItsOnDemandCopies) {
  using K = Kind;
  struct Case {
    const char* what;
    std::vector<std::tuple<std::string, double, Kind>> reports;
    std::vector<std::string> kept;  // newest first
  };
  const std::vector<Case> cases = {
      {"the crash sorts after four copies by name",
       {{"a1", 10, K::OnDemandNonfatal}, {"a2", 10, K::OnDemandNonfatal}, {"a3", 10, K::OnDemandNonfatal},
        {"a4", 10, K::OnDemandNonfatal}, {"zz", 10, K::Crash}},
       {"zz", "a1", "a2", "a3"}},
      {"own report first, then fatal copies",
       {{"a1", 10, K::OnDemandNonfatal}, {"a2", 10, K::OnDemandNonfatal}, {"a3", 10, K::OnDemandNonfatal},
        {"b", 10, K::OnDemandFatal}, {"c", 10, K::Errors}},
       {"c", "b", "a1", "a2"}},
      {"a newer launch still wins over an older crash",
       {{"old", 5, K::Crash}, {"n1", 20, K::OnDemandNonfatal}, {"n2", 20, K::OnDemandNonfatal},
        {"n3", 20, K::OnDemandNonfatal}, {"n4", 20, K::OnDemandNonfatal}},
       {"n1", "n2", "n3", "n4"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(files_->activePath());
    ASSERT_TRUE(files_->createReportDirectories());
    for (const auto& [name, createdAt, kind] : c.reports) writeKind(name, createdAt, kind);
    auto manager = std::make_shared<ZOZExistingReportManager>(managerData_, uploader_);
    manager->collectExistingReports();
    EXPECT_EQ(names(manager->existingUnemptyActiveReportPaths()), c.kept);
    drain();
    auto left = c.kept;
    std::sort(left.begin(), left.end());
    EXPECT_EQ(namesIn(files_->activePath()), left);
  }
}

// Mended: a report directory without a readable identifier was skipped and
// logged at every launch, and never removed.
TEST_F(ExistingReportsTest, AnUnreadableReportIsLoggedOnceAndRemovedAtTheNextLaunch) {
  struct Case {
    const char* what;
    const char* state;
    std::function<void(const std::string& path)> damage;
  };
  const std::vector<Case> cases = {
      {"no metadata", "active", [](const std::string& path) { fs::remove(path + "/metadata.zozrecord"); }},
      {"no session id", "active",
       [](const std::string& path) {
         ZOZContextInitData data;
         data.rootPath = path;
         ASSERT_TRUE(ZOZContextRecordMetadata(path.c_str(), data));
       }},
      {"garbled metadata", "processing",
       [](const std::string& path) { reportingtest::writeFile(path + "/metadata.zozrecord", "{\"ident\x01"); }},
      {"no metadata", "processing", [](const std::string& path) { fs::remove(path + "/metadata.zozrecord"); }},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(std::string(c.state) + ": " + c.what);
    const std::string state = files_->structurePath() + "/" + c.state;
    const std::string bad = writeReport(c.state, "bad" + std::to_string(i), 1, true);
    c.damage(bad);
    const std::string good = writeReport(c.state, "good", 2, true);

    for (int launch = 1; launch <= 3; ++launch) {
      SCOPED_TRACE("launch " + std::to_string(launch));
      auto manager = std::make_shared<ZOZExistingReportManager>(managerData_, uploader_);
      manager->collectExistingReports();
      drain();
      const auto collected = std::string(c.state) == "active" ? manager->existingUnemptyActiveReportPaths()
                                                              : manager->processingReportPaths();
      EXPECT_EQ(names(collected), std::vector<std::string>{"good"});
      EXPECT_EQ(fs::exists(bad), launch == 1);
      EXPECT_EQ(lines("Unable to read identifier at path " + bad), 1u);
      EXPECT_FALSE(fs::exists(good + "/" + kZOZUnreadableReportMarkerFileName));
    }
    EXPECT_EQ(lines("Removing report without a readable identifier at path " + bad), 1u);
    EXPECT_EQ(namesIn(state), std::vector<std::string>{"good"});
    fs::remove_all(good);
  }
}

TEST_F(ExistingReportsTest, SendingPackagesEveryStateAndAnnouncesCrashes) {
  const auto self = reportingtest::imageDetailsForAddress(anchor());
  reportingtest::writeBinaryImages(
      writeReport("active", "crashed", 10, true, {anchor()}),
      {reportingtest::ImageEntry{"/opt/app/reporting", self.uuidString, self.baseAddress, self.size}});
  writeReport("processing", "half-done", 5, true);
  writeReport("prepared", "packaged", 1, false);
  reportingtest::writeFile(files_->preparedPath() + "/packaged/errors_a.zozrecord", "{}\n");
  manager_->collectExistingReports();
  manager_->sendUnsentReportsWithToken(ZOZDataCollectionToken::validToken(), false);
  drain();

  const auto sent = sentFiles();
  ASSERT_EQ(sent.size(), 3u);
  // Active: processed (symbolicated) first; processing: not processed again;
  // prepared: sent as it was.
  EXPECT_TRUE(sent[0].contains("signal.zozrecord.symbolicated"));
  EXPECT_NE(sent[0].at("signal.zozrecord.symbolicated").find("existingReportsAnchor"), std::string::npos);
  EXPECT_TRUE(sent[1].contains("signal.zozrecord"));
  EXPECT_FALSE(sent[1].contains("signal.zozrecord.symbolicated"));
  EXPECT_TRUE(sent[2].contains("errors_a.zozrecord"));
  for (const std::string& state : {files_->activePath(), files_->processingPath(), files_->preparedPath()}) {
    EXPECT_TRUE(namesIn(state).empty()) << state;
  }
  // Processing ran inside the process activity.
  const auto activities = transport_->sent()[0].activities;
  ASSERT_EQ(activities.size(), 1u);
  EXPECT_EQ(activities[0].reason, kZOZReportProcessingActivityReason);
  EXPECT_EQ(activities[0].options, 0xC000u);
  EXPECT_TRUE(os::ProcessInfo::processInfo().activeActivities().empty());

  // The two crash reports were announced, with their crash time.
  const auto crashes = analytics_->eventsNamed("_ae");
  ASSERT_EQ(crashes.size(), 2u);
  EXPECT_EQ(crashes[0].origin, "zzd");
  EXPECT_EQ(crashes[0].parameters.at("timestamp").int64Value(), int64_t(reportingtest::kStartTime + 10) * 1000);
  EXPECT_EQ(uploader_->fiid(), "fid-1");
  EXPECT_EQ(uploader_->authToken(), "token-1");
  EXPECT_EQ(lines("Completed report submission with id: crashed"), 1u);
}

TEST_F(ExistingReportsTest, AnInvalidTokenMovesNothing) {
  const std::string path = writeReport("active", "kept", 1, true);
  uploader_->prepareAndSubmitReport(ZOZInternalReport::reportWithPath(path), nullptr, false, true);
  EXPECT_EQ(lines("Data collection disabled and report will not be submitted"), 1u);
  EXPECT_TRUE(fs::exists(path));
  EXPECT_TRUE(transport_->sent().empty());
}

// Mended: a report without events had its removal queued and was then
// submitted all the same (packaging a report the removal deletes under it).
TEST_F(ExistingReportsTest, AReportWithoutEventsIsRemovedNeverSubmitted) {
  const std::string path = writeReport("active", "quiet", 1, false);
  manager_->processExistingActiveReportPath(path, ZOZDataCollectionToken::validToken(), false);
  manager_->processExistingActiveReportPath(path, ZOZDataCollectionToken::validToken(), true);
  drain();
  EXPECT_FALSE(fs::exists(path));
  EXPECT_TRUE(transport_->sent().empty());
  EXPECT_EQ(lines("Packaged report"), 0u);
}

TEST_F(ExistingReportsTest, AnUrgentSendReturnsOnlyAfterTheTransportAnswered) {
  const std::string path = writeReport("active", "urgent", 1, true);
  transport_->setDeferred(true);
  std::atomic<bool> returned{false};
  std::thread sender([&] {
    manager_->processExistingActiveReportPath(path, ZOZDataCollectionToken::validToken(), true);
    returned = true;
  });
  ASSERT_TRUE(transport_->waitForSends(1));
  EXPECT_FALSE(returned);
  EXPECT_TRUE(fs::exists(files_->preparedPath() + "/urgent"));
  ASSERT_TRUE(transport_->release());
  sender.join();
  EXPECT_TRUE(returned);
  EXPECT_FALSE(fs::exists(files_->preparedPath() + "/urgent"));
  EXPECT_EQ(lines("Zoziduzuzud skipped rotating the Install ID during urgent mode"), 1u);
  EXPECT_EQ(uploader_->fiid(), std::nullopt);  // not fetched in urgent mode
}

// The transport answers every send: a refused one ends the urgent wait too.
TEST_F(ExistingReportsTest, ARefusedSendEndsTheUrgentWaitAndKeepsTheReportPrepared) {
  for (auto answer : {TransportDouble::Answer::Refused, TransportDouble::Answer::NotWritten}) {
    transport_->setAnswer(answer);
    const std::string name = answer == TransportDouble::Answer::Refused ? "refused" : "unwritten";
    const std::string path = writeReport("active", name, 1, true);
    manager_->processExistingActiveReportPath(path, ZOZDataCollectionToken::validToken(), true);
    EXPECT_TRUE(fs::exists(files_->preparedPath() + "/" + name));
  }
  EXPECT_EQ(lines("Failed to send crash report due to DuzaveZaduZuvuzedoz error"), 1u);
  EXPECT_EQ(lines("Failed to send crash report due to failure writing DuzaveZaduZuvuzedoz event"), 1u);
}

TEST_F(ExistingReportsTest, DeletingRemovesEveryStateButTheStoredOnDemandReports) {
  writeReport("active", "a", 1, true);
  writeReport("processing", "p", 1, true);
  writeReport("prepared", "r", 1, true);
  manager_->collectExistingReports();
  manager_->deleteUnsentReports();
  drain();
  for (const std::string& state : {files_->activePath(), files_->processingPath(), files_->preparedPath()}) {
    EXPECT_TRUE(namesIn(state).empty()) << state;
  }
  EXPECT_TRUE(transport_->sent().empty());
}

}  // namespace
