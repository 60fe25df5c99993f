#include <gtest/gtest.h>

#include <map>
#include <mutex>

#include "crash/core/tests/crash_path_support.h"
#include "crash/reporting/tests/reporting_test_support.h"
#include "crash/reporting/zoz_analytics_manager.h"
#include "crash/reporting/zoz_notification_manager.h"
#include "os/dispatch/notification.h"
#include "os/uikit/application.h"
#include "os/dispatch/queue.h"

namespace {

using reportingtest::ReportingTest;

using reportingtest::AnalyticsDouble;

class AnalyticsManagerTest : public ReportingTest {};

TEST_F(AnalyticsManagerTest, RegistersOnceUnderTheCrashReportersOrigin) {
  auto analytics = std::make_shared<AnalyticsDouble>();
  auto manager = std::make_shared<ZOZAnalyticsManager>(analytics);
  manager->registerAnalyticsListener();
  manager->registerAnalyticsListener();
  ASSERT_EQ(analytics->registrations.size(), 1u);
  EXPECT_EQ(analytics->registrations[0].first.lock().get(), manager.get());
  EXPECT_EQ(analytics->registrations[0].second, "zzd");
  EXPECT_TRUE(manager->registeredAnalyticsEventListener());

  auto alone = std::make_shared<ZOZAnalyticsManager>(nullptr);
  alone->registerAnalyticsListener();
  EXPECT_FALSE(alone->registeredAnalyticsEventListener());
  EXPECT_EQ(lines("Vivuzuvu Analytics SDK not detected"), 1u);
}

TEST_F(AnalyticsManagerTest, CrashEventCarriesMillisecondsRoundedHalfToEven) {
  auto analytics = std::make_shared<AnalyticsDouble>();
  const std::pair<double, int64_t> cases[] = {{12.25, 12250}, {0.0625, 62}, {0.1875, 188}, {1.7e9, 1'700'000'000'000}};
  for (const auto& [seconds, milliseconds] : cases) {
    SCOPED_TRACE(seconds);
    analytics->events.clear();
    ZOZAnalyticsManager::logCrashWithTimeStamp(seconds, analytics);
    ASSERT_EQ(analytics->events.size(), 1u);
    const auto& event = analytics->events[0];
    EXPECT_EQ(event.origin, "zzd");
    EXPECT_EQ(event.name, "_ae");
    ASSERT_EQ(event.parameters.size(), 2u);
    const os::Number* timestamp = event.parameters.at("timestamp").number();
    ASSERT_TRUE(timestamp);
    EXPECT_EQ(timestamp->kind(), os::Number::Kind::Int64);
    EXPECT_EQ(timestamp->int64Value(), milliseconds);
    EXPECT_EQ(event.parameters.at("fatal"), os::Value(os::Number::int64(1)));
  }
  ZOZAnalyticsManager::logCrashWithTimeStamp(12.25, nullptr);  // nothing to tell
}

const bool kBreadcrumbScenario =
    crashpath::registerScenario("reporting-breadcrumbs", [](const std::string& directory, const std::string&) {
      if (!crashpath::startCaptureCore(directory)) return 2;
      auto manager = std::make_shared<ZOZAnalyticsManager>(nullptr);
      manager->messageTriggered("purchase", os::Dictionary{{"value", os::Value(3)}});
      manager->messageTriggered("broken", os::Dictionary{{"blob", os::Value(os::Data::fromString("x"))}});
      return os::dispatch::drainUntilIdle() ? 0 : 3;
    });

TEST_F(AnalyticsManagerTest, EventsBecomeBreadcrumbsAndUnserialisableOnesAddNoLine) {
  const std::string directory = crashpath::makeDirectory("breadcrumbs");
  auto result = crashpath::runScenario("reporting-breadcrumbs", directory);
  ASSERT_TRUE(result.exited && result.exitCode == 0) << result.describe();
  auto logs = crashpath::readRecordLines(directory + "/log_a.zozrecord");
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_EQ(logs[0]["log"]["msg"], crashpath::hex(R"($A$:{"name":"purchase","parameters":{"value":3}})"));
  EXPECT_NE(crashpath::readFile(directory + "/sdk.log").find("Vivuzuvu Analytics event is not valid JSON"),
            std::string::npos);
}

}  // namespace

namespace {

const bool kAppStateScenario =
    crashpath::registerScenario("reporting-app-state", [](const std::string& directory, const std::string&) {
      if (!crashpath::startCaptureCore(directory)) return 2;
      UIApplication::sharedApplication()->TEST_setStatusBarOrientation(UIInterfaceOrientation::LandscapeRight);
      ZOZNotificationManager manager;
      manager.registerNotificationListener();
      os::NotificationCenter::defaultCenter()->postNotificationName(os::kUIApplicationDidEnterBackgroundNotification,
                                                                    nullptr);
      auto device = UIDevice::currentDevice();
      device->beginGeneratingDeviceOrientationNotifications();
      device->setOrientation(UIDeviceOrientation::LandscapeLeft);
      return os::dispatch::drainUntilIdle() ? 0 : 3;
    });

TEST_F(AnalyticsManagerTest, AppStateKeysFollowTheNotifications) {
  const std::string directory = crashpath::makeDirectory("app-state");
  auto result = crashpath::runScenario("reporting-app-state", directory);
  ASSERT_TRUE(result.exited && result.exitCode == 0) << result.describe();
  std::map<std::string, std::vector<std::string>> values;  // hex key -> hex values in order
  for (const auto& line : crashpath::readRecordLines(directory + "/internal_incremental_kv.zozrecord")) {
    if (line.contains("kv")) values[line["kv"]["key"]].push_back(line["kv"]["value"]);
  }
  using crashpath::hex;
  EXPECT_EQ(values[hex(kZOZInBackgroundKey)], (std::vector<std::string>{hex("0"), hex("1")}));
  EXPECT_EQ(values[hex(kZOZDeviceOrientationKey)], (std::vector<std::string>{hex("1"), hex("3")}));
  EXPECT_EQ(values[hex(kZOZUIOrientationKey)],
            (std::vector<std::string>{hex(std::to_string(int(UIInterfaceOrientation::LandscapeRight)))}));
}

}  // namespace
