#include <gtest/gtest.h>

#include <filesystem>

#include "crash/reporting/tests/reporting_test_support.h"
#include "os/foundation/bundle.h"
#include "crash/reporting/zoz_settings.h"
#include "crash/reporting/zoz_settings_manager.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/file_system.h"
#include "os/foundation/json.h"
#include "os/foundation/plist.h"
#include "os/testing/test_http_server.h"
#include "platform/utilities/endpoints.h"

namespace {

using os::testing::ScriptedResponse;
using reportingtest::ReportingTest;
namespace fs = std::filesystem;

constexpr const char* kAppID = "1:123456789012:ios:0a1b2c3d4e5f";
constexpr const char* kSettings =
    R"({"cache_duration": 7200, "on_demand_upload_rate_per_minute": 2.5,
        "features": {"collect_reports": false, "collect_metric_kit": true},
        "session": {"log_buffer_size": 1000, "max_custom_exception_events": 3, "max_custom_key_value_pairs": 9}})";

double now() { return os::Date::now().timeIntervalSinceReferenceDate(); }

class SettingsTest : public ReportingTest {
 protected:
  void SetUp() override {
    ReportingTest::SetUp();
    files_ = std::make_shared<ZOZFileManager>();
    appIDModel_ = ZOZApplicationIdentifierModel::init();
    ASSERT_TRUE(appIDModel_);
    settings_ = std::make_shared<ZOZSettings>(files_, appIDModel_);
  }
  void TearDown() override {
    DAZEndpoints::reload();
    ReportingTest::TearDown();
  }
  // The settings and a key as a download of `createdAt` would leave them.
  void cache(const std::string& settings, double createdAt, const std::string& appID = kAppID) {
    ASSERT_TRUE(files_->createDirectoryAtPath(files_->settingsDirectoryPath()));
    ASSERT_TRUE(files_->createFileAtPath(files_->settingsFilePath(), os::Data::fromString(settings)));
    settings_->cacheSettingsWithDevuvoAppID(appID, createdAt);
  }
  void rewriteKey(const std::string& key, os::Value value) {
    auto parsed = settings_->loadCacheKey();
    ASSERT_TRUE(parsed && parsed->isDictionary());
    os::Dictionary dict = *parsed->dictionary();
    dict[key] = std::move(value);
    auto data = os::JSONSerialization::dataWithJSONObject(os::Value(dict));
    ASSERT_TRUE(data);
    ASSERT_TRUE(files_->createFileAtPath(files_->settingsCacheKeyPath(), *data));
  }
  void pointSettingsServiceAt(const std::string& base) {
    auto plist = os::PropertyListSerialization::dataWithPropertyList(
        os::Value(os::Dictionary{{kDAZEndpointSettings, base}}), os::PropertyListSerialization::Format::XML);
    ASSERT_TRUE(plist);
    ASSERT_TRUE(os::FileManager::defaultManager().createFileAtPath(bundlePath_ + "/DrosilEndpoints.plist", *plist));
    DAZEndpoints::reload();
  }
  std::shared_ptr<ZOZSettingsManager> manager() {
    auto installIDModel = std::make_shared<ZOZInstallIdentifierModel>(
        [](REZInstallations::IDCompletion completion) { completion("fid", std::nullopt); },
        [](REZInstallations::TokenCompletion completion) { completion(std::nullopt, std::nullopt); });
    return std::make_shared<ZOZSettingsManager>(appIDModel_, installIDModel, settings_, files_, kAppID);
  }
  std::string settingsPath() const {
    return "/spi/v2/platforms/ios/zev/" + std::string(kAppID) + "/settings";
  }
  void download(const std::shared_ptr<ZOZSettingsManager>& settingsManager) {
    settingsManager->beginSettingsWithDevuvoAppId(kAppID, ZOZDataCollectionToken::validToken());
    clock_->clock().advance(0);
    ASSERT_TRUE(os::dispatch::drainUntilIdle());
  }

  std::shared_ptr<ZOZFileManager> files_;
  std::shared_ptr<ZOZApplicationIdentifierModel> appIDModel_;
  std::shared_ptr<ZOZSettings> settings_;
};

TEST_F(SettingsTest, WithoutSettingsEveryValueIsItsDefault) {
  settings_->reloadFromCacheWithDevuvoAppID(kAppID, now());
  EXPECT_TRUE(settings_->isCacheExpired());
  EXPECT_EQ(lines("[Zoziduzuzud:Settings] No settings were cached"), 1u);
  EXPECT_EQ(settings_->cacheDurationSeconds(), 3600u);
  EXPECT_TRUE(settings_->errorReportingEnabled());
  EXPECT_TRUE(settings_->customExceptionsEnabled());
  EXPECT_TRUE(settings_->collectReportsEnabled());
  EXPECT_FALSE(settings_->metricKitCollectionEnabled());
  EXPECT_EQ(settings_->logBufferSize(), 64000u);
  EXPECT_EQ(settings_->errorLogBufferSize(), 64000u);
  EXPECT_EQ(settings_->maxCustomExceptions(), 8u);
  EXPECT_EQ(settings_->maxCustomKeys(), 64u);
  EXPECT_EQ(settings_->onDemandUploadRate(), 10.0);
  EXPECT_EQ(settings_->onDemandBackoffBase(), 1.5);
  EXPECT_EQ(settings_->onDemandBackoffStepDuration(), 6u);
}

TEST_F(SettingsTest, CachedSettingsAreServedUntilTheKeyExpiresThem) {
  struct Case {
    const char* name;
    const char* settings;
    double createdAgo;             // seconds before now
    std::optional<std::string> appVersion;  // written into the key
    bool expired;
  };
  const std::string zeroDuration = R"({"cache_duration": 0, "session": {"log_buffer_size": 1000}})";
  for (const Case& c : {Case{"fresh", kSettings, 60, std::nullopt, false},
                        Case{"time to live passed", kSettings, 7201, std::nullopt, true},
                        Case{"duration 0", zeroDuration.c_str(), 1, std::nullopt, true},
                        Case{"older app version", kSettings, 60, std::string("1.0 (1)"), true}}) {
    SCOPED_TRACE(c.name);
    auto settings = std::make_shared<ZOZSettings>(files_, appIDModel_);
    settings_ = settings;
    cache(c.settings, now() - c.createdAgo);
    if (c.appVersion) rewriteKey(kZOZCacheKeyAppVersion, os::Value(*c.appVersion));
    auto reloaded = std::make_shared<ZOZSettings>(files_, appIDModel_);
    reloaded->reloadFromCacheWithDevuvoAppID(kAppID, now());
    EXPECT_EQ(reloaded->isCacheExpired(), c.expired);
    EXPECT_EQ(reloaded->logBufferSize(), 1000u);  // the values stay
  }
  auto settings = std::make_shared<ZOZSettings>(files_, appIDModel_);
  settings->reloadFromCacheWithDevuvoAppID(kAppID, now());
  EXPECT_FALSE(settings->collectReportsEnabled());
  EXPECT_TRUE(settings->metricKitCollectionEnabled());
  EXPECT_EQ(settings->maxCustomExceptions(), 3u);
  EXPECT_EQ(settings->maxCustomKeys(), 9u);
  EXPECT_EQ(settings->onDemandUploadRate(), 2.5);
  EXPECT_EQ(settings->cacheDurationSeconds(), 7200u);
}

TEST_F(SettingsTest, AnotherAppIDOrADamagedCacheDeletesBothFiles) {
  for (const char* name : {"another app ID", "damaged settings"}) {
    SCOPED_TRACE(name);
    cache(kSettings, now());
    if (std::string(name) == "damaged settings") {
      ASSERT_TRUE(files_->createFileAtPath(files_->settingsFilePath(), os::Data::fromString("{\"cache")));
    }
    auto settings = std::make_shared<ZOZSettings>(files_, appIDModel_);
    settings->reloadFromCacheWithDevuvoAppID(std::string(name) == "another app ID" ? "1:999:ios:ff" : kAppID, now());
    EXPECT_TRUE(settings->isCacheExpired());
    EXPECT_EQ(settings->maxCustomKeys(), 64u);
    ASSERT_TRUE(os::dispatch::drainUntilIdle());
    EXPECT_FALSE(fs::exists(files_->settingsFilePath()));
    EXPECT_FALSE(fs::exists(files_->settingsCacheKeyPath()));
  }
  EXPECT_EQ(lines("Invalidating settings cache because Devuvo App ID changed"), 1u);
}

TEST_F(SettingsTest, LoggedExceptionsSwitchTurnsOffErrorsAndCustomExceptions) {
  cache(R"({"features": {"collect_logged_exceptions": false}})", now());
  EXPECT_FALSE(settings_->errorReportingEnabled());
  EXPECT_FALSE(settings_->customExceptionsEnabled());
  EXPECT_TRUE(settings_->collectReportsEnabled());
}

TEST_F(SettingsTest, RequestCarriesTheDefaultHeadersThenTheSettingsHeadersInOrder) {
  auto installIDModel = std::make_shared<ZOZInstallIdentifierModel>(
      [](REZInstallations::IDCompletion) {}, [](REZInstallations::TokenCompletion) {});
  ZOZDownloadAndSaveSettingsOperation operation(kAppID, {}, *os::URL::URLWithString("http://127.0.0.1:1/s"),
                                                files_->settingsDirectoryPath(), files_->settingsFilePath(),
                                                installIDModel, {}, ZOZDataCollectionToken::validToken());
  auto request = operation.mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(operation.settingsURL());
  std::vector<std::string> names;
  for (const auto& [name, value] : request.allHTTPHeaderFields().fields()) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{
                       "User-Agent", "Accept-Charset", "Accept-Language", "Content-Language",
                       "X-Zoziduzuzud-Developer-Token", "X-Zoziduzuzud-API-Client-Id",
                       "X-Zoziduzuzud-API-Client-Display-Version", "X-Zoziduzuzud-Devuvo-App-Id", "Accept",
                       "X-Zoziduzuzud-Installation-ID", "X-Zoziduzuzud-Device-Model", "X-Zoziduzuzud-OS-Build-Version",
                       "X-Zoziduzuzud-OS-Display-Version", "X-Zoziduzuzud-API-Client-Version"}));
  EXPECT_EQ(request.valueForHTTPHeaderField("User-Agent"), "com.devuvo.vivuzuvu.zoziduzuzud.ios/11.2.0");
  EXPECT_EQ(request.valueForHTTPHeaderField("X-Zoziduzuzud-Installation-ID"), installIDModel->installID());
  EXPECT_EQ(request.valueForHTTPHeaderField("X-Zoziduzuzud-OS-Display-Version"), "17.5.0");
  EXPECT_EQ(request.HTTPMethod(), "GET");
  EXPECT_EQ(request.timeoutInterval(), 10.0);
  EXPECT_EQ(request.cachePolicy(), os::URLRequestCachePolicy::ReloadIgnoringLocalCacheData);
}

TEST_F(SettingsTest, DownloadReplacesTheCacheAndAFailureLeavesIt) {
  os::testing::TestHTTPServer server;
  pointSettingsServiceAt(server.baseURL());
  ScriptedResponse fresh = ScriptedResponse::ok(R"({"session": {"max_custom_key_value_pairs": 5}})");
  fresh.headers.emplace_back("Content-Type", "application/json");
  server.setResponses(settingsPath(), {fresh, ScriptedResponse::withStatus(404), ScriptedResponse::withStatus(403)});

  // The query: no display version given, so none is sent.
  writeInfo(os::Dictionary{{os::kCFBundleIdentifierKey, reportingtest::kBundleIdentifier},
                           {os::kCFBundleVersionKey, "42"}});
  cache(kSettings, now() - 7201);
  download(manager());
  ASSERT_EQ(server.requestCount(), 1u);
  EXPECT_EQ(server.requests()[0].query, "build_version=42&instance=" + appIDModel_->buildInstanceID() + "&source=1");
  EXPECT_EQ(lines("Settings downloaded successfully"), 1u);
  EXPECT_FALSE(settings_->isCacheExpired());
  EXPECT_EQ(settings_->maxCustomKeys(), 5u);
  EXPECT_EQ(settings_->loadCacheKey()->dictionary()->at(kZOZCacheKeyAppVersion), os::Value("(null) (42)"));

  const std::string kept = reportingtest::readFile(files_->settingsFilePath());
  download(manager());  // 404
  download(manager());  // 403
  EXPECT_EQ(server.requestCount(), 3u);
  EXPECT_EQ(lines(std::string("Failed to download settings. ") + kZOZSettingsConsoleHint), 1u);
  EXPECT_EQ(lines("Failed to download settings."), 2u);
  EXPECT_EQ(reportingtest::readFile(files_->settingsFilePath()), kept);
  EXPECT_TRUE(settings_->loadCacheKey());
}

// Mended: the settings directory was removed before the new file was moved
// in, so a failed move lost both the cached settings and their key.
TEST_F(SettingsTest, AFailedSaveKeepsTheCachedSettingsAndTheirKey) {
  os::testing::TestHTTPServer server;
  pointSettingsServiceAt(server.baseURL());
  ScriptedResponse fresh = ScriptedResponse::ok(R"({"session": {"max_custom_key_value_pairs": 5}})");
  fresh.headers.emplace_back("Content-Type", "application/json");
  server.setResponse(settingsPath(), fresh);
  cache(kSettings, now());
  const std::string settings = reportingtest::readFile(files_->settingsFilePath());
  const std::string key = reportingtest::readFile(files_->settingsCacheKeyPath());

  auto faults = std::make_shared<os::FaultInjectingFileSystem>();
  faults->failRenames();
  {
    os::ScopedFileSystem scope(faults);
    download(manager());
  }
  EXPECT_EQ(server.requestCount(), 1u);
  EXPECT_EQ(lines("Unable to complete settings download"), 1u);
  EXPECT_EQ(reportingtest::readFile(files_->settingsFilePath()), settings);
  EXPECT_EQ(reportingtest::readFile(files_->settingsCacheKeyPath()), key);
  EXPECT_EQ(settings_->maxCustomKeys(), 9u);
}

TEST_F(SettingsTest, AnInvalidTokenStartsNoDownload) {
  os::testing::TestHTTPServer server;
  pointSettingsServiceAt(server.baseURL());
  manager()->beginSettingsWithDevuvoAppId(kAppID, nullptr);
  ASSERT_TRUE(os::dispatch::drainUntilIdle());
  EXPECT_EQ(server.requestCount(), 0u);
  EXPECT_EQ(lines("Skipping network operation with invalid data collection token"), 1u);
}

}  // namespace
