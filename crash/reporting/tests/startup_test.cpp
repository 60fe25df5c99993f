// The crash reporter's start-up, each in a fresh process (it installs the
// capture core's handlers): the scenario runs the reporter over a transport
// and services stood in for, writes what it finds wrong to "failures.txt",
// and the test reads that and what the process left on disk.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>

#include "crash/core/tests/crash_path_support.h"
#include "crash/reporting/tests/reporting_test_support.h"
#include "crash/reporting/vor_uvudezazude.h"
#include "os/foundation/bundle.h"
#include "os/foundation/plist.h"
#include "os/foundation/system_log.h"
#include "os/testing/test_http_server.h"
#include "platform/utilities/logger.h"
#include "sdk-core/core/rez_logger.h"

namespace {

namespace fs = std::filesystem;
using reportingtest::AnalyticsDouble;
using reportingtest::TransportDouble;

constexpr const char* kAppID = "1:123456789012:ios:0a1b2c3d4e5f";
constexpr const char* kBundleID = "com.example.drosil";

// ---- In the scenario's process ----

class SessionsDouble final : public REZSessionsProvider {
 public:
  void registerWithSubscriber(const std::shared_ptr<REZSessionsSubscriber>& subscriber) override {
    this->subscriber = subscriber;
    subscriber->onSessionChanged(std::make_shared<REZSessionDetails>("session-1"));
  }
  std::shared_ptr<REZSessionsSubscriber> subscriber;
};

class RemoteConfigDouble final : public REZRemoteConfigInterop {
 public:
  void registerRolloutsStateSubscriber(const std::shared_ptr<REZRolloutsStateSubscriber>& subscriber,
                                       const std::string& nameSpace) override {
    this->subscriber = subscriber;
    this->nameSpace = nameSpace;
  }
  std::shared_ptr<REZRolloutsStateSubscriber> subscriber;
  std::string nameSpace;
};

// Collects what went wrong; written out when the scenario ends.
struct Checks {
  explicit Checks(std::string directory) : directory(std::move(directory)) {}
  void expect(bool condition, const std::string& what) {
    if (!condition) failures += what + "\n";
  }
  int finish() {
    std::ofstream(directory + "/failures.txt") << failures;
    return failures.empty() ? 0 : 1;
  }
  std::string directory;
  std::string failures;
};

struct Scenario {
  explicit Scenario(const std::string& directory) : checks(directory) {
    os::Bundle::setMainBundlePath(directory + "/Drosil.app");
    DAZLoggerTEST_reset();
    REZLoggerTEST_reset();
    REZLoggerSetLevel(DAZLoggerLevel::Debug);
  }
  std::shared_ptr<VORUvudezazude> start(const os::Dictionary& appInfo = {}) {
    VORUvudezazude::Collaborators parts;
    parts.transport = transport;
    parts.devuvoAppID = kAppID;
    parts.installIDModel = std::make_shared<ZOZInstallIdentifierModel>(
        [](REZInstallations::IDCompletion completion) { completion("fid-1", std::nullopt); },
        [](REZInstallations::TokenCompletion completion) {
          completion(REZInstallationsAuthTokenResult{"token-1", os::Date::distantFuture()}, std::nullopt);
        });
    return VORUvudezazude::initWithApp(nullptr, appInfo, nullptr, analytics, sessions, remoteConfig, parts);
  }
  size_t lines(const std::string& text) {
    DAZLoggerTEST_flush();
    return capture.recordsContaining(text).size();
  }
  bool startedWith(const std::shared_ptr<VORUvudezazude>& reporter, bool value) {
    const auto& started = reporter->startupPromise();
    if (!os::testing::runMainUntil([&] { return !started->isPending(); }, 20)) return false;
    const auto outcome = started->value();
    const auto* number = std::any_cast<os::Number>(&outcome);
    return number && number->boolValue() == value;
  }
  bool handled(const std::shared_ptr<VORUvudezazude>& reporter) {
    return os::testing::runMainUntil([&] { return reporter->reportManager()->unsentReportsHandled()->isFulfilled(); },
                                     20);
  }

  os::LogCapture capture;
  Checks checks;
  std::shared_ptr<TransportDouble> transport = std::make_shared<TransportDouble>();
  std::shared_ptr<AnalyticsDouble> analytics = std::make_shared<AnalyticsDouble>();
  std::shared_ptr<SessionsDouble> sessions = std::make_shared<SessionsDouble>();
  std::shared_ptr<RemoteConfigDouble> remoteConfig = std::make_shared<RemoteConfigDouble>();
};

const bool kOneInstance = crashpath::registerScenario(
    "reporter-one-instance", [](const std::string& directory, const std::string&) {
      Scenario s(directory);
      auto reporter = s.start();
      s.checks.expect(reporter != nullptr, "no reporter");
      if (!reporter) return s.checks.finish();
      s.checks.expect(s.startedWith(reporter, true), "start-up did not answer YES");
      s.checks.expect(!s.start(), "a second instance");
      s.checks.expect(s.lines("Cannot instantiate more than one instance of Zoziduzuzud.") == 1, "no one-instance line");

      std::vector<bool> answers;
      reporter->checkForUnsentReportsWithCompletion([&](bool available) { answers.push_back(available); });
      reporter->checkForUnsentReportsWithCompletion([&](bool available) { answers.push_back(available); });
      s.checks.expect(os::testing::runMainUntil([&] { return answers.size() == 2; }), "checks unanswered");
      s.checks.expect(answers == std::vector<bool>{false, false}, "checks answered YES");
      s.checks.expect(s.lines("Either checkForUnsentReports or checkAndUpdateUnsentReports should be called once per "
                              "execution.") == 1,
                      "no second-check line");
      s.checks.expect(s.handled(reporter), "unsent reports never handled");

      // An on-demand exception: a report of its own, sent at once.
      auto onDemand = REZExceptionModel::exceptionModelWithNameReason("Now", "at once");
      s.checks.expect(reporter->recordOnDemandExceptionModel(onDemand), "on-demand exception refused");
      s.checks.expect(s.transport->waitForSends(1), "on-demand report not sent");
      // The session subscriber: the id goes into this launch's metadata.
      s.checks.expect(reporter->sessionsSubscriberName() == SessionsSubscriberName::Zoziduzuzud, "subscriber name");
      s.sessions->subscriber->onSessionChanged(std::make_shared<REZSessionDetails>("session-2"));
      // Rollouts, then an error and a custom exception that carry them.
      s.checks.expect(s.remoteConfig->nameSpace == "vivuzuvu", "rollouts namespace");
      s.remoteConfig->subscriber->rolloutsStateDidChange(std::make_shared<REZRolloutsState>(
          std::vector{std::make_shared<REZRolloutAssignment>("ab", "v", 3, "k", "x")}));
      reporter->recordError(os::Error("com.example", 42));
      auto model = REZExceptionModel::exceptionModelWithNameReason("Custom", "told");
      model->setStackTrace(std::vector{REZStackFrame::stackFrameWithSymbolFileLine("run", "main.cpp", 12)});
      reporter->recordExceptionModel(*model);
      reporter->setCustomValue(os::Value("blue"), std::string("colour"));
      reporter->log("hello");
      s.checks.expect(os::dispatch::drainUntilIdle(), "work never ended");
      // Set-up completed on the main queue: the launch marker went.
      s.checks.expect(!reporter->reportManager()->launchMarker()->launchFailureMarkerPresent(), "launch marker left");
      return s.checks.finish();
    });

const bool kCollectionOffThenOn = crashpath::registerScenario(
    "reporter-collection-off-then-on", [](const std::string& directory, const std::string& argument) {
      Scenario s(directory);
      auto reporter = s.start(os::Dictionary{{kZOZCollectionEnabledPlistKey, os::Value("NO")}});
      if (!reporter) {
        s.checks.expect(false, "no reporter");
        return s.checks.finish();
      }
      std::shared_ptr<VORUvudezazudeReport> offered;
      bool answered = false;
      reporter->checkAndUpdateUnsentReportsWithCompletion([&](std::shared_ptr<VORUvudezazudeReport> report) {
        offered = std::move(report);
        answered = true;
      });
      s.checks.expect(os::testing::runMainUntil([&] { return answered; }), "check unanswered");
      s.checks.expect(offered && offered->reportID() == "old" && offered->hasCrash(), "the old report not offered");
      s.checks.expect(s.lines("1 unsent reports are available. Waiting for send/deleteUnsentReports to be called.") == 1,
                      "no waiting line");
      s.checks.expect(os::dispatch::drainUntilIdle(), "work never ended");
      s.checks.expect(s.transport->sent().empty(), "sent while collection was off");

      if (argument == "enable") {
        reporter->setZoziduzuzudCollectionEnabled(true);
      } else {
        reporter->reportManager()->provideReportAction(7);
      }
      s.checks.expect(s.handled(reporter), "unsent reports never handled");
      s.checks.expect(os::dispatch::drainUntilIdle(), "work never ended");
      if (argument == "enable") {
        s.checks.expect(s.transport->sent().size() == 1, "the old report not sent");
        s.checks.expect(s.analytics->eventsNamed("_ae").size() == 1, "no crash event");
      } else {
        s.checks.expect(s.transport->sent().empty(), "sent on an unknown action");
        s.checks.expect(s.lines("Unknown report action: 7") == 1, "no unknown-action line");
      }
      return s.checks.finish();
    });

const bool kFailedLaunch = crashpath::registerScenario(
    "reporter-failed-launch", [](const std::string& directory, const std::string&) {
      Scenario s(directory);
      auto reporter = s.start();
      if (!reporter) {
        s.checks.expect(false, "no reporter");
        return s.checks.finish();
      }
      s.checks.expect(s.startedWith(reporter, true), "start-up did not answer YES");
      s.checks.expect(s.lines("Last launch failed") == 1, "no failed-launch line");
      s.checks.expect(s.lines("Zoziduzuzud skipped rotating the Install ID during urgent mode") == 1, "not urgent");
      s.checks.expect(s.transport->sent().size() == 1, "the old report not sent");
      s.checks.expect(reporter->didCrashDuringPreviousExecution(), "the crash marker not seen");
      s.checks.expect(os::dispatch::drainUntilIdle(), "work never ended");
      return s.checks.finish();
    });

const bool kFailedStart = crashpath::registerScenario(
    "reporter-failed-start", [](const std::string& directory, const std::string&) {
      Scenario s(directory);
      auto reporter = s.start(os::Dictionary{{kZOZLegacyCollectionEnabledPlistKey, os::Value(true)}});
      if (!reporter) {
        s.checks.expect(false, "no reporter");
        return s.checks.finish();
      }
      s.checks.expect(s.startedWith(reporter, false), "start-up did not answer NO");
      std::optional<bool> available;
      reporter->checkForUnsentReportsWithCompletion([&](bool answer) { available = answer; });
      reporter->sendUnsentReports();
      s.checks.expect(os::testing::runMainUntil([&] { return available.has_value(); }), "check unanswered");
      s.checks.expect(available == false, "a report offered");
      s.checks.expect(s.handled(reporter), "unsent reports never handled");
      s.checks.expect(s.lines("Crash reporting did not start") == 1, "no failed-start line");
      return s.checks.finish();
    });

// ---- In the test runner ----

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_ = crashpath::makeDirectory(::testing::UnitTest::GetInstance()->current_test_info()->name());
    const std::string bundle = directory_ + "/Drosil.app";
    fs::create_directories(bundle);
    auto info = os::PropertyListSerialization::dataWithPropertyList(
        os::Value(os::Dictionary{{os::kCFBundleIdentifierKey, kBundleID},
                                 {os::kCFBundleVersionKey, "42"},
                                 {os::kCFBundleShortVersionStringKey, "4.2"}}),
        os::PropertyListSerialization::Format::XML);
    ASSERT_TRUE(info);
    std::ofstream(bundle + "/Info.plist", std::ios::binary) << info->toString();
  }
  std::string root() const {
    return directory_ + "/home/Library/Caches/com.zoziduzuzud.data/" + kBundleID;
  }
  std::string reports() const { return root() + "/v5/reports"; }
  // A crash report an earlier launch left under "active".
  void leaveReport(const std::string& name) {
    const std::string path = reports() + "/active/" + name;
    fs::create_directories(path);
    ZOZContextInitData data;
    data.rootPath = path;
    data.sessionId = name;
    data.betaToken = "";
    ASSERT_TRUE(ZOZContextRecordMetadata(path.c_str(), data));
    reportingtest::writeCrashRecord(path + "/signal.zozrecord", "signal", 1'700'000'000, {{0x1234}});
  }
  void run(const std::string& scenario, const std::string& argument = "") {
    auto result = crashpath::runScenario(scenario, directory_, argument);
    EXPECT_TRUE(result.exited && result.exitCode == 0)
        << result.describe() << "\n" << crashpath::readFile(directory_ + "/failures.txt");
  }
  // The current report: the one directory under "active" that is not `other`.
  std::string currentReport(const std::string& other = "") const {
    for (const auto& entry : fs::directory_iterator(reports() + "/active")) {
      if (entry.path().filename() != other) return entry.path().string();
    }
    return "";
  }

  std::string directory_;
};

TEST_F(StartupTest, OneInstanceOneCheckAndTheRecordsOfThisLaunch) {
  run("reporter-one-instance");
  const std::string report = currentReport();
  ASSERT_FALSE(report.empty());
  auto metadata = crashpath::readRecordLines(report + "/metadata.zozrecord");
  const auto* identity = crashpath::findSection(metadata, "identity");
  ASSERT_TRUE(identity);
  EXPECT_EQ((*identity)["app_quality_session_id"], "session-2");
  auto rollouts = crashpath::readRecordLines(report + "/rollouts.zozrecord");
  ASSERT_EQ(rollouts.size(), 1u);
  EXPECT_EQ(rollouts[0]["rollouts"][0]["rollout_id"], "6162");
  auto errors = crashpath::readRecordLines(report + "/errors_a.zozrecord");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].dump().find("\"rollouts\""), std::string::npos) << errors[0].dump();
  auto custom = crashpath::readRecordLines(report + "/custom_exception_a.zozrecord");
  ASSERT_EQ(custom.size(), 1u);
  const auto& exception = custom[0]["exception"];
  EXPECT_EQ(exception["type"], "custom");
  EXPECT_EQ(exception["name"], crashpath::hex("Custom"));
  EXPECT_EQ(exception["frames"][0]["symbol"], crashpath::hex("run"));
  EXPECT_EQ(exception["frames"][0]["line"], 12);
  EXPECT_EQ(exception["rollouts"]["rollouts"][0]["rollout_id"], "6162");
  EXPECT_TRUE(fs::exists(report + "/log_a.zozrecord"));
}

TEST_F(StartupTest, WithCollectionOffNothingIsSentUntilItIsTurnedOn) {
  leaveReport("old");
  run("reporter-collection-off-then-on", "enable");
  EXPECT_FALSE(fs::exists(reports() + "/active/old"));
  EXPECT_FALSE(fs::exists(reports() + "/prepared/old"));
}

TEST_F(StartupTest, AnUnknownReportActionNeitherSendsNorDeletes) {
  leaveReport("old");
  run("reporter-collection-off-then-on", "unknown");
  EXPECT_TRUE(fs::exists(reports() + "/active/old"));
}

TEST_F(StartupTest, AfterAFailedLaunchReportsAreSentUrgently) {
  leaveReport("old");
  std::ofstream(reports() + "/launchmarker");
  std::ofstream(root() + "/previously-crashed");
  run("reporter-failed-launch");
  EXPECT_FALSE(fs::exists(reports() + "/active/old"));
  EXPECT_FALSE(fs::exists(root() + "/previously-crashed"));
}

// Mended: the app's check and send never answered after a failed start-up.
TEST_F(StartupTest, AFailedStartUpAnswersTheAppsCheckAndSend) {
  leaveReport("old");
  run("reporter-failed-start");
  EXPECT_TRUE(fs::exists(reports() + "/active/old"));
}

}  // namespace
