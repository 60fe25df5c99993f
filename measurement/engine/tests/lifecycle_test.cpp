#include <gtest/gtest.h>

#include <cstdlib>
#include <future>
#include <string>
#include <vector>

#include "measurement/engine/tests/upload_test_support.h"
#include "measurement/messages/field_access.h"
#include "measurement/store/persisted_config.h"
#include "os/dispatch/notification.h"
#include "os/uikit/application.h"

namespace {

using upload_test::UploadTest;

constexpr const char* kTaskName = "APMAnalyticsMeasurementBackgroundTask";

class LifecycleTest : public UploadTest {
 protected:
  void TearDown() override {
    UIApplication::sharedApplication()->TEST_expireBackgroundTasks();
    UploadTest::TearDown();
  }
  void post(const char* name) {
    os::NotificationCenter::defaultCenter()->postNotificationName(name, UIApplication::sharedApplication().get());
  }
  std::vector<std::string> tasks() { return UIApplication::sharedApplication()->TEST_activeBackgroundTaskNames(); }
  std::string configPath() const { return std::string("/config/app/") + engine_test::kAppID; }
  size_t configRequestCount() {
    size_t n = 0;
    for (const auto& request : server_.requests()) n += request.path == configPath();
    return n;
  }
};

TEST_F(LifecycleTest, ResigningActiveHoldsOneTaskUntilTheScheduleIsIdle) {
  // The worker is held, so the queued uploads cannot end the task meanwhile.
  std::promise<void> release;
  engine()->scheduler()->workerQueue()->async([held = release.get_future().share()] { held.wait(); });
  post(os::kUIApplicationWillResignActiveNotification);
  post(os::kUIApplicationWillResignActiveNotification);
  EXPECT_EQ(tasks(), std::vector<std::string>{kTaskName});
  release.set_value();

  // The uploads find nothing to send: the schedule has nothing to do and
  // lets the task go. Each task was ended once.
  settle();
  EXPECT_TRUE(tasks().empty());
  EXPECT_EQ(count(23145), 2);
  EXPECT_EQ(count(23142), 2);
}

// An engine torn down before its queued upload ran used to leave its task
// begun for good (the application would be ended for it).
TEST_F(LifecycleTest, AnEngineThatGoesAwayEndsItsBackgroundTask) {
  APMAnalytics::TEST_operationQueue()->setSuspended(true);  // the upload stays queued
  post(os::kUIApplicationWillResignActiveNotification);
  ASSERT_EQ(tasks(), std::vector<std::string>{kTaskName});
  APMAnalytics::TEST_reset();
  EXPECT_TRUE(tasks().empty());
}

TEST_F(LifecycleTest, EnteringTheForegroundWithoutATaskOnlyWritesThePersistedState) {
  clock_->advance(2);  // writes pending from the start are done
  ASSERT_FALSE(persisted()->TEST_hasPendingSynchronize());
  post(os::kUIApplicationWillEnterForegroundNotification);
  EXPECT_TRUE(persisted()->TEST_hasPendingSynchronize());
  settle();
  EXPECT_EQ(count(23142), 0);
  EXPECT_TRUE(tasks().empty());
}

TEST_F(LifecycleTest, BecomingActiveRefreshesAConfigurationOlderThanAWeek) {
  // A configuration that turns blocklistInternal on.
  const auto config =
      apm_test::measurementConfig(engine_test::kAppID, {{"measurement.upload.blacklist_internal", "1"}});
  server_.setResponse(configPath(), os::testing::ScriptedResponse::ok(config->protoBuffer()->toString()));
  engine()->scheduler()->workerQueue()->sync([&] { engine()->fetchRemoteConfig(); });
  settle();
  ASSERT_TRUE(engine()->remoteConfigInstance()->blocklistInternal());
  server_.setResponse(configPath(), os::testing::ScriptedResponse::withStatus(304));
  const size_t fetched = configRequestCount();

  clock_->advance(6 * 86400);
  post(os::kUIApplicationDidBecomeActiveNotification);
  settle();
  EXPECT_EQ(configRequestCount(), fetched);

  // Two days later, while an upload is in flight: no fetch either.
  clock_->advance(2 * 86400);
  engine()->scheduler()->workerQueue()->sync([&] { engine()->setIsNetworkRequestPending(true); });
  post(os::kUIApplicationDidBecomeActiveNotification);
  settle();
  EXPECT_EQ(configRequestCount(), fetched);
  EXPECT_EQ(count(23143), 1);

  engine()->scheduler()->workerQueue()->sync([&] { engine()->setIsNetworkRequestPending(false); });
  post(os::kUIApplicationDidBecomeActiveNotification);
  settle();
  EXPECT_EQ(configRequestCount(), fetched + 1);
}

class PrewarmedLaunchTest : public engine_test::EngineTest {
 protected:
  void TearDown() override {
    ::unsetenv("ActivePrewarm");
    EngineTest::TearDown();
  }
  // The session starts stored since the test began.
  std::vector<std::string> sessionStarts() {
    std::vector<std::string> out;
    for (const auto& event : storedEvents()) {
      if (event.at("name") == os::Value("_s")) out.push_back("_s");
    }
    out.erase(out.begin(), out.begin() + std::min(out.size(), startsBefore_));
    return out;
  }
  size_t startsBefore_ = 0;
};

TEST_F(PrewarmedLaunchTest, TheSessionStartsAtTheFirstSceneConnectionOnly) {
  start();
  ASSERT_EQ(sessionStarts().size(), 1u);

  // An hour later the system prewarms a scene-based app.
  clock_->advance(3600);
  startsBefore_ = 1;
  APMAnalytics::TEST_reset();
  writeBundle({{"UIApplicationSceneManifest", os::Dictionary{}}});
  ::setenv("ActivePrewarm", "1", 1);
  start();
  EXPECT_TRUE(sessionStarts().empty());

  os::NotificationCenter::defaultCenter()->postNotificationName(os::kUISceneWillConnectNotification, nullptr);
  EXPECT_EQ(sessionStarts().size(), 1u);
  os::NotificationCenter::defaultCenter()->postNotificationName(os::kUISceneWillConnectNotification, nullptr);
  EXPECT_EQ(sessionStarts().size(), 1u);
}

}  // namespace
