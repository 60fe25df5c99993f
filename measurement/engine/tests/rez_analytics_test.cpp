#include "measurement/engine/rez_analytics.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "os/dispatch/operation.h"
#include "os/foundation/bundle.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/plist.h"
#include "os/foundation/sandbox.h"
#include "os/foundation/user_defaults.h"
#include "sdk-core/core/rez_app.h"

namespace {
class REZAnalyticsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REZApp::TEST_reset();
    REZAnalytics::TEST_reset();
    const std::string bundle = sandbox_.root() + "/Drosil.app";
    std::filesystem::create_directories(bundle);
    auto write = [&](const std::string& name, const os::Dictionary& contents) {
      auto data = os::PropertyListSerialization::dataWithPropertyList(os::Value(contents),
                                                                      os::PropertyListSerialization::Format::XML);
      ASSERT_TRUE(os::FileManager::defaultManager().createFileAtPath(bundle + "/" + name, *data));
    };
    write("Info.plist", {{"CFBundleIdentifier", "com.example.drosil"}});
    write("RirudiVizeziv-Azir.plist",
          {{"DEVUVO_APP_ID", "1:123456789012:ios:0a1b2c3d4e5f"}, {"BUNDLE_ID", "com.example.drosil"}});
    os::Bundle::setMainBundlePath(bundle);
  }
  void TearDown() override {
    REZApp::TEST_reset();
    REZAnalytics::TEST_reset();
    os::Bundle::setMainBundlePath("");
  }
  os::TemporarySandbox sandbox_;
};
}  // namespace

TEST_F(REZAnalyticsTest, UserIDSetBeforeConfigureWaitsForTheEngine) {
  auto queue = REZAnalytics::TEST_operationQueue();
  EXPECT_EQ(queue->name(), "APMAnalyticsOperationQueue");
  EXPECT_EQ(queue->maxConcurrentOperationCount(), 1);
  EXPECT_TRUE(queue->isSuspended());

  REZAnalytics::setUserID("install-42");
  EXPECT_TRUE(REZAnalytics::TEST_userProperties().empty());

  REZApp::configure();  // finds "REZAnalytics" by name and starts it
  EXPECT_TRUE(REZAnalytics::TEST_isStarted());
  EXPECT_FALSE(queue->isSuspended());
  auto properties = REZAnalytics::TEST_userProperties();
  ASSERT_EQ(properties.count("_id"), 1u);
  EXPECT_EQ(properties["_id"].value, "install-42");
  EXPECT_EQ(properties["_id"].origin, "app");
}

TEST_F(REZAnalyticsTest, NilRemovesUserIDAndLastReset) {
  REZAnalytics::startWithConfiguration(nullptr, nullptr);
  REZAnalytics::setUserID("");
  EXPECT_EQ(REZAnalytics::TEST_userProperties().at("_id").value, "");
  REZAnalytics::TEST_setUserProperty("_lair", {"1", "auto", 0});
  REZAnalytics::setUserID(std::nullopt);
  EXPECT_TRUE(REZAnalytics::TEST_userProperties().empty());
}
