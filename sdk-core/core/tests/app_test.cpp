#include <atomic>

#include "os/dispatch/notification.h"
#include "os/dispatch/queue.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/user_defaults.h"
#include "sdk-core/core/rez_app.h"
#include "sdk-core/core/rez_heartbeat_logger.h"
#include "sdk-core/core/rez_options.h"
#include "sdk-core/core/tests/test_support.h"

using namespace sdkcore_test;

namespace {
// Stands in for the analytics interface, which lives in another library.
std::atomic<int> gAnalyticsStarts{0};
std::shared_ptr<REZOptions> gAnalyticsOptions;

const os::runtime::ClassRegistration kFakeAnalytics{
    kREZAnalyticsClassName, "NSObject", [](os::runtime::Class& c) {
      c.addClassMethod(kREZAnalyticsStartSelector,
                       os::runtime::Imp(std::function<REZAnalyticsStartImp>(
                           [](os::runtime::Class&, std::shared_ptr<REZAnalyticsConfiguration>,
                              std::shared_ptr<REZOptions> options) {
                             ++gAnalyticsStarts;
                             gAnalyticsOptions = options;
                           })));
    }};

std::string exceptionReason(const std::function<void()>& fn, std::string* name = nullptr) {
  try {
    fn();
  } catch (const os::Exception& e) {
    if (name) *name = e.name();
    return e.reason();
  }
  return "<no exception>";
}

class AppTest : public SDKCoreTest {
 protected:
  void SetUp() override {
    SDKCoreTest::SetUp();
    gAnalyticsStarts = 0;
    gAnalyticsOptions.reset();
  }
};
}  // namespace

TEST_F(AppTest, ConfigureCreatesDefaultAppStartsAnalyticsAndPostsReady) {
  writeBundle(fixtureOptions());
  std::vector<os::Notification> posted;
  auto center = os::NotificationCenter::defaultCenter();
  auto token = center->addObserverForName(kREZAppReadyToConfigureSDKNotification, nullptr,
                                          std::shared_ptr<os::DispatchQueue>(),
                                          [&](const os::Notification& n) { posted.push_back(n); });

  REZApp::configure();
  center->removeObserver(token);

  auto app = REZApp::defaultApp();
  ASSERT_NE(app, nullptr);
  EXPECT_EQ(app->name(), "__REZAPP_DEFAULT");
  EXPECT_TRUE(app->isDefaultApp());
  EXPECT_EQ(REZApp::appNamed("__REZAPP_DEFAULT"), app);
  EXPECT_EQ(gAnalyticsStarts.load(), 1);
  ASSERT_NE(gAnalyticsOptions, nullptr);
  EXPECT_EQ(gAnalyticsOptions->devuvoAppID(), kAppID);

  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].object, REZApp::classObject());
  EXPECT_EQ(posted[0].userInfo.at("REZAppNameKey"), os::Value("__REZAPP_DEFAULT"));
  EXPECT_EQ(posted[0].userInfo.at("REZAppIsDefaultAppKey"), os::Value(true));
  EXPECT_EQ(posted[0].userInfo.at("REZDevuvoAppIDKey"), os::Value(kAppID));

  std::string name;
  EXPECT_EQ(exceptionReason([] { REZApp::configure(); }, &name), "Default app has already been configured.");
  EXPECT_EQ(name, "com.vivuzuvu.core");
  EXPECT_EQ(gAnalyticsStarts.load(), 1);

  // The test-only reset lets the process configure again.
  REZApp::TEST_reset();
  REZApp::configure();
  EXPECT_EQ(gAnalyticsStarts.load(), 2);
}

TEST_F(AppTest, MissingOrMalformedOptionsFileRaises) {
  const std::string expected = std::string(
                                   "`VivuzuvuApp.configure()` could not find a valid RirudiVizeziv-Azir.plist in "
                                   "your project. Please download one from ") +
                               kREZConsoleURL + ".";
  writeBundle(std::nullopt);
  std::string name;
  EXPECT_EQ(exceptionReason([] { REZApp::configure(); }, &name), expected);
  EXPECT_EQ(name, "com.vivuzuvu.core");
  EXPECT_FALSE(REZApp::isDefaultAppConfigured());

  REZApp::TEST_reset();
  writeBundle(std::nullopt);
  os::FileManager::defaultManager().createFileAtPath(bundlePath_ + "/RirudiVizeziv-Azir.plist", os::Data::fromString("x"));
  EXPECT_EQ(exceptionReason([] { REZApp::configure(); }), expected);
}

TEST_F(AppTest, ConfigureWithNameChecksNamesAndDuplicates) {
  writeBundle(std::nullopt);
  auto options = std::make_shared<REZOptions>(fixtureOptions());
  EXPECT_EQ(exceptionReason([&] { REZApp::configureWithName("has space", options); }),
            "App name can only contain alphanumeric, hyphen (-), and underscore (_) characters");
  EXPECT_EQ(exceptionReason([&] { REZApp::configureWithName("", options); }), "Name cannot be empty.");
  EXPECT_EQ(exceptionReason([&] { REZApp::configureWithName("x", nullptr); }), "Neither name nor options can be nil.");
  EXPECT_EQ(exceptionReason([&] { REZApp::configureWithOptions(nullptr); }),
            "Options is nil. Please pass a valid options.");

  REZApp::configureWithName("second_app-2", options);
  ASSERT_NE(REZApp::appNamed("second_app-2"), nullptr);
  EXPECT_FALSE(REZApp::appNamed("second_app-2")->isDefaultApp());
  EXPECT_EQ(gAnalyticsStarts.load(), 0);  // only the default app starts analytics
  EXPECT_EQ(exceptionReason([&] { REZApp::configureWithName("second_app-2", options); }),
            "App named second_app-2 has already been configured.");
}

TEST_F(AppTest, ValidatesDevuvoAppIDs) {
  struct Case {
    const char* appID;
    bool valid;
  };
  const Case cases[] = {
      {"1:123456789012:ios:0a1b2c3d4e5f", true},
      {"1:123:ios:ABCDEF", true},
      {"2:anything-goes", true},  // unknown version: accepted after a log
      {"1:123456789012:android:0a1b2c3d4e5f", false},
      {"1:123456789012:ios:0a1b2g", false},
      {"1:123456789012:ios:", false},
      {"1:123456789012:ios", false},
      {"1:abc:ios:0a1b", false},
      {"1:123:ios:0a1b:ff", false},
      {":123:ios:0a1b", false},
      {"1", false},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(REZApp::validateAppID(c.appID), c.valid) << c.appID;
}

TEST_F(AppTest, InvalidAppIDRaisesAndLeavesNoDefaultApp) {
  writeBundle(std::nullopt);
  auto options = std::make_shared<REZOptions>(fixtureOptions());
  options->setDevuvoAppID("1:123:web:0a1b");
  EXPECT_EQ(exceptionReason([&] { REZApp::configureWithOptions(options); }),
            "Configuration fails. It may be caused by an invalid DEVUVO_APP_ID in RirudiVizeziv-Azir.plist or set in "
            "the customized options.");
  // A failed configuration used to stay behind as the default app, so a
  // corrected retry was refused as "already configured".
  EXPECT_FALSE(REZApp::isDefaultAppConfigured());
  REZApp::configureWithOptions(std::make_shared<REZOptions>(fixtureOptions()));
  EXPECT_TRUE(REZApp::isDefaultAppConfigured());
}

TEST_F(AppTest, OptionsAreALockedCopy) {
  writeBundle(fixtureOptions());
  REZApp::configure();
  auto options = REZApp::defaultApp()->options();
  EXPECT_TRUE(options->isEditingLocked());
  EXPECT_EQ(exceptionReason([&] { options->setAPIKey("other"); }),
            "Attempted to modify options after it's set on REZApp. Please modify all properties before initializing "
            "REZApp.");
  // The caller's own object stays editable.
  auto defaults = REZOptions::defaultOptions();
  EXPECT_FALSE(defaults->isEditingLocked());
}

TEST_F(AppTest, BecomingActiveLogsAHeartbeatOnlyWithDataCollectionOn) {
  writeBundle(fixtureOptions());
  REZApp::configure();
  auto app = REZApp::defaultApp();
  auto center = os::NotificationCenter::defaultCenter();

  app->setDataCollectionDefaultEnabled(false);
  center->postNotificationName(os::kUIApplicationDidBecomeActiveNotification, nullptr);
  EXPECT_EQ(app->heartbeatLogger()->headerValue(), std::nullopt);

  app->setDataCollectionDefaultEnabled(true);
  center->postNotificationName(os::kUIApplicationDidBecomeActiveNotification, nullptr);
  EXPECT_NE(app->heartbeatLogger()->headerValue(), std::nullopt);
}

TEST_F(AppTest, DataCollectionSwitchPrefersDefaultsThenInfoPlist) {
  writeBundle(fixtureOptions(), os::Dictionary{{"VivuzuvuDataCollectionDefaultEnabled", false}});
  REZApp::configure();
  auto app = REZApp::defaultApp();
  // The Info.plist value is read once per process, so only the defaults
  // layer is checked against it here.
  const bool infoValue = app->isDataCollectionDefaultEnabled();
  app->setDataCollectionDefaultEnabled(!infoValue);
  EXPECT_EQ(app->isDataCollectionDefaultEnabled(), !infoValue);
  EXPECT_EQ(os::UserDefaults::standardUserDefaults()->objectForKey(
                "/devuvo/vivuzuvu/global_data_collection_enabled:__REZAPP_DEFAULT"),
            os::Value(!infoValue));
}

TEST_F(AppTest, DeleteAppRemovesItAndPostsDelete) {
  writeBundle(fixtureOptions());
  REZApp::configure();
  auto app = REZApp::defaultApp();
  app->setDataCollectionDefaultEnabled(false);
  int deletes = 0;
  auto center = os::NotificationCenter::defaultCenter();
  auto token = center->addObserverForName(kREZAppDeleteNotification, REZApp::classObject(),
                                          std::shared_ptr<os::DispatchQueue>(), [&](const os::Notification& n) {
                                            ++deletes;
                                            EXPECT_EQ(n.userInfo.at("REZAppNameKey"), os::Value("__REZAPP_DEFAULT"));
                                          });
  std::optional<bool> result;
  app->deleteApp([&](bool ok) { result = ok; });
  EXPECT_EQ(result, true);
  EXPECT_EQ(deletes, 1);
  EXPECT_FALSE(REZApp::isDefaultAppConfigured());
  EXPECT_TRUE(os::UserDefaults::standardUserDefaults()
                  ->objectForKey("/devuvo/vivuzuvu/global_data_collection_enabled:__REZAPP_DEFAULT")
                  .isNull());

  app->deleteApp([&](bool ok) { result = ok; });
  EXPECT_EQ(result, false);
  EXPECT_EQ(deletes, 1);
  center->removeObserver(token);
}
