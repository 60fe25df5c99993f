// Session settings: which source wins, when the cached remote settings
// expire, how they are stored, and the request to the settings service.
#include "os/foundation/device_profile.h"
#include "os/foundation/json.h"
#include "platform/utilities/endpoints.h"
#include "platform/utilities/user_defaults.h"
#include "sessions/settings.h"
#include "sessions/tests/test_support.h"

namespace sessions_test {
namespace {

class FakeDownloader : public SettingsDownloadClient {
 public:
  std::optional<SettingsFetchResult> answer;  // nullopt: never answers
  std::atomic<int> fetches{0};
  void fetch(std::function<void(SettingsFetchResult)> completion) override {
    ++fetches;
    if (answer) completion(*answer);
  }
};

os::Dictionary appQuality(os::Dictionary values) { return {{kREZSessionsRemoteSettingsKey, os::Value(values)}}; }

class SettingsTest : public SessionsTest {
 protected:
  void SetUp() override {
    SessionsTest::SetUp();
    app = std::make_shared<FakeAppInfo>();
    downloader = std::make_shared<FakeDownloader>();
    cache = std::make_shared<SettingsCache>();
    remote = std::make_shared<RemoteSettings>(app, downloader, cache);
  }

  // Content fetched `age` seconds before the start time, for this app and
  // version unless told otherwise.
  void storeCache(const os::Dictionary& content, double age, std::string appID = kAppID,
                  std::string version = "2.3 (41)") {
    cache->setCacheContent(content);
    cache->setCacheKey(CacheKey{os::Date::fromTimeIntervalSince1970(kStartTime - age), appID, version});
  }
  static os::Date now() { return os::Date::fromTimeIntervalSince1970(kStartTime); }

  std::shared_ptr<FakeAppInfo> app;
  std::shared_ptr<FakeDownloader> downloader;
  std::shared_ptr<SettingsCache> cache;
  std::shared_ptr<RemoteSettings> remote;
};

TEST_F(SettingsTest, InfoPlistThenRemoteThenDefault) {
  struct Case {
    const char* name;
    os::Dictionary infoPlist;
    os::Dictionary remoteContent;
    bool enabled;
    double timeout, rate;
  };
  const os::Dictionary remoteAll = appQuality({{kREZSessionsRemoteEnabledKey, true},
                                               {kREZSessionsRemoteTimeoutKey, 60},
                                               {kREZSessionsRemoteSamplingRateKey, 0.5}});
  const Case cases[] = {
      {"defaults", {}, {}, true, 1800, 1.0},
      {"remote", {}, remoteAll, true, 60, 0.5},
      {"Info.plist false beats remote true",
       {{kREZSessionsEnabledPlistKey, false}, {kREZSessionsTimeoutPlistKey, 30}, {kREZSessionsSamplingRatePlistKey, 0}},
       remoteAll, false, 30, 0},
      {"remote values outside app_quality are not read",
       {}, {{kREZSessionsRemoteEnabledKey, false}, {kREZSessionsRemoteTimeoutKey, 5}}, true, 1800, 1.0},
      {"values of another type are not set",
       {{kREZSessionsEnabledPlistKey, "NO"}, {kREZSessionsTimeoutPlistKey, "30"}},
       appQuality({{kREZSessionsRemoteEnabledKey, "false"}, {kREZSessionsRemoteSamplingRateKey, "0.5"}}), true, 1800,
       1.0},
      {"the sampling key spelled in full sets nothing", {{"VivuzuvuSessionsSamplingRate", 0.1}}, {}, true, 1800, 1.0},
      {"no range is checked", {{kREZSessionsSamplingRatePlistKey, 7}, {kREZSessionsTimeoutPlistKey, -1}}, {}, true,
       -1, 7},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeBundle(c.infoPlist);
    cache->removeCache();
    if (!c.remoteContent.empty()) storeCache(c.remoteContent, 10);
    SessionsSettings settings(std::make_shared<LocalOverrideSettings>(), remote,
                              std::make_shared<SDKDefaultSettings>());
    EXPECT_EQ(settings.sessionsEnabled(), c.enabled);
    EXPECT_EQ(settings.sessionTimeout(), c.timeout);
    EXPECT_EQ(settings.samplingRate(), c.rate);
  }
}

TEST_F(SettingsTest, CacheExpiry) {
  struct Case {
    const char* name;
    os::Dictionary content;
    double age;
    std::string appID, version;
    bool expired;
    const char* line;  // logged, when given
    bool removed;
  };
  const os::Dictionary plain = appQuality({{kREZSessionsRemoteEnabledKey, true}});
  os::Dictionary short60 = plain;
  short60[kREZSessionsRemoteCacheDurationKey] = 60;
  os::Dictionary textual = plain;
  textual[kREZSessionsRemoteCacheDurationKey] = "60";
  const Case cases[] = {
      {"TTL of 60 s, 61 s old", short60, 61, kAppID, "2.3 (41)", true, "[Settings] Cache TTL expired", false},
      {"TTL of 60 s, 60 s old", short60, 60, kAppID, "2.3 (41)", false, nullptr, false},
      {"TTL as text is 3600 s", textual, 61, kAppID, "2.3 (41)", false, nullptr, false},
      {"TTL as text, 3601 s old", textual, 3601, kAppID, "2.3 (41)", true, "[Settings] Cache TTL expired", false},
      {"10 minutes old, no TTL", plain, 600, kAppID, "2.3 (41)", false, nullptr, false},
      {"another app ID", plain, 10, "1:1:ios:ff", "2.3 (41)", true,
       "[Settings] Cache expired because Devuvo App ID changed", true},
      {"another app version", plain, 10, kAppID, "2.2 (40)", true,
       "[Settings] Cache expired because app version changed", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    capture_->clear();
    storeCache(c.content, c.age, c.appID, c.version);
    EXPECT_EQ(remote->isCacheExpired(now()), c.expired);
    if (c.line) {
      EXPECT_TRUE(waitForLines(c.line));
    }
    EXPECT_EQ(cache->cacheContent().empty(), c.removed);
    EXPECT_EQ(cache->cacheKey().has_value(), !c.removed);
  }

  // No content: expired, and the key goes too.
  cache->setCacheKey(CacheKey{now(), kAppID, "2.3 (41)"});
  cache->setCacheContent({});
  EXPECT_TRUE(remote->isCacheExpired(now()));
  EXPECT_FALSE(cache->cacheKey());

  // Content without a readable key: both logged, then removed.
  cache->setCacheContent(plain);
  DAZUserDefaults::standardUserDefaults()->setObject(os::Value(os::Data::fromString("{not json")),
                                                    kREZSessionsSettingsCacheKeyKey);
  EXPECT_TRUE(remote->isCacheExpired(now()));
  EXPECT_TRUE(waitForLines("[Settings] Decoding CacheKey failed with error: "));
  EXPECT_TRUE(waitForLines("[Settings] Could not load settings cache key"));
  EXPECT_TRUE(cache->cacheContent().empty());
}

TEST_F(SettingsTest, FetchOnlyWhenExpiredAndKeepTheCacheOnFailure) {
  const os::Dictionary old = appQuality({{kREZSessionsRemoteEnabledKey, true}});
  storeCache(old, 600);
  remote->fetchAndCacheSettings(now());
  EXPECT_EQ(downloader->fetches.load(), 0);
  EXPECT_TRUE(waitForLines("[Settings] Cache is not expired, no fetch will be made."));

  // Expired by version; the download fails: logged, nothing changes.
  app->displayVersion = "2.4";
  downloader->answer =
      std::unexpected(SettingsDownloaderError{SettingsDownloaderError::Case::URLError, "Invalid URL"});
  remote->fetchAndCacheSettings(now());
  EXPECT_EQ(downloader->fetches.load(), 1);
  EXPECT_TRUE(waitForLines("[Settings] Fetching newest settings failed with error: URLError(\"Invalid URL\")"));
  EXPECT_EQ(cache->cacheContent(), old);
  EXPECT_EQ(cache->cacheKey()->appVersion, "2.3 (41)");

  // It succeeds: the answer and a key of this fetch replace them.
  const os::Dictionary fresh = appQuality({{kREZSessionsRemoteEnabledKey, false}});
  downloader->answer = fresh;
  remote->fetchAndCacheSettings(now());
  EXPECT_EQ(cache->cacheContent(), fresh);
  EXPECT_EQ(cache->cacheKey(), (CacheKey{now(), kAppID, "2.4 (41)"}));
  EXPECT_EQ(remote->sessionsEnabled(), false);
}

TEST_F(SettingsTest, CacheKeyIsJSONInItsKeyOrder) {
  const CacheKey key{os::Date::fromTimeIntervalSinceReferenceDate(721692800.5), kAppID, "2.3 (41)"};
  EXPECT_EQ(key.JSONData().toString(),
            "{\"createdAt\":721692800.5,\"devuvoAppID\":\"1:123456789012:ios:0a1b2c3d4e5f\",\"appVersion\":\"2.3 "
            "(41)\"}");
  EXPECT_EQ(CacheKey::fromJSONData(key.JSONData()), key);

  const char* damaged[] = {
      "",
      "[1]",
      "{\"createdAt\":1,\"devuvoAppID\":\"a\"}",
      "{\"createdAt\":\"1\",\"devuvoAppID\":\"a\",\"appVersion\":\"v\"}",
      "{\"createdAt\":1,\"devuvoAppID\":2,\"appVersion\":\"v\"}",
  };
  for (const char* text : damaged) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(CacheKey::fromJSONData(os::Data::fromString(text)));
  }
}

TEST_F(SettingsTest, WhatAnAnswerOfTheSettingsServiceMeans) {
  using Case = SettingsDownloaderError::Case;
  const os::URL url = *os::URL::URLWithString("https://settings.example.invalid/x");
  auto response = [&](int status) { return os::HTTPURLResponse(url, status, {}); };
  struct Row {
    const char* name;
    std::optional<os::Data> data;
    std::optional<os::HTTPURLResponse> response;
    std::optional<os::Error> error;
    std::optional<Case> failure;  // nullopt with `answers`: a dictionary
    bool answers;
    std::string text;
  };
  const os::Error offline = os::URLError(os::kURLErrorNotConnectedToInternet, url);
  const Row rows[] = {
      {"an object", os::Data::fromString("{\"app_quality\":{}}"), response(200), {}, {}, true, ""},
      {"an array", os::Data::fromString("[1,2]"), response(200), {}, Case::JSONParseError, true,
       "Failed to parse JSON to dictionary"},
      {"not JSON", os::Data::fromString("<html>"), response(200), {}, Case::JSONParseError, true,
       "Failed to parse JSON to dictionary"},
      // Mended: an error page that parses as an object used to be cached as
      // settings, and could switch sessions off.
      {"an error page that is an object", os::Data::fromString("{\"app_quality\":{\"sessions_enabled\":false}}"),
       response(503), {}, Case::URLSessionError, true, "The settings service answered with HTTP status 503"},
      {"an error without data", std::nullopt, std::nullopt, offline, Case::URLSessionError, true,
       offline.localizedDescription()},
      {"neither data nor error", std::nullopt, std::nullopt, std::nullopt, {}, false, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto result = SettingsDownloader::resultOf(row.data, row.response, row.error);
    ASSERT_EQ(result.has_value(), row.answers);
    if (!row.answers) continue;
    if (!row.failure) {
      EXPECT_TRUE(result->has_value());
      continue;
    }
    ASSERT_FALSE(result->has_value());
    EXPECT_EQ(result->error().kind, *row.failure);
    EXPECT_EQ(result->error().text, row.text);
  }
}

class DownloadTest : public SettingsTest {
 protected:
  void pointAt(const std::string& base) { writeBundle({}, std::nullopt, os::Dictionary{{kDAZEndpointSettings, base}}); }
  std::shared_ptr<SettingsDownloader> makeDownloader(InstallationIDResult installationID) {
    return std::make_shared<SettingsDownloader>(app, std::make_shared<FakeInstallations>(installationID));
  }
  // Starts a download and waits for its answer.
  std::optional<SettingsFetchResult> fetch(SettingsDownloader& downloader) {
    auto state = std::make_shared<std::pair<std::mutex, std::optional<SettingsFetchResult>>>();
    downloader.fetch([state](SettingsFetchResult result) {
      std::lock_guard lock(state->first);
      state->second = std::move(result);
    });
    waitUntil([&] {
      std::lock_guard lock(state->first);
      return state->second.has_value();
    });
    std::lock_guard lock(state->first);
    return state->second;
  }
};

TEST_F(DownloadTest, RequestPathQueryAndHeadersInOrder) {
  RawHTTPServer service(200, "{\"app_quality\":{\"sampling_rate\":0.5},\"cache_duration\":60}");
  pointAt(service.baseURL());
  os::DeviceProfile profile;
  profile.modelIdentifier = "";  // a device without a model answer
  os::ScopedDeviceProfile device(profile);

  auto result = fetch(*makeDownloader(InstallationIDAndToken{"fVID", "at-1"}));
  ASSERT_TRUE(result && result->has_value());
  EXPECT_EQ((**result)["cache_duration"], os::Value(60));

  ASSERT_TRUE(waitUntil([&] { return !service.heads().empty(); }));
  const auto head = service.heads().front();
  ASSERT_FALSE(head.empty());
  EXPECT_EQ(head[0], "GET /spi/v2/platforms/ios/zev/1:123456789012:ios:0a1b2c3d4e5f/settings"
                     "?build_version=41&display_version=2.3 HTTP/1.1");
  std::vector<std::string> ours;
  for (const auto& line : head) {
    if (line.starts_with("Accept:") || line.starts_with("X-Zoziduzuzud-")) ours.push_back(line);
  }
  EXPECT_EQ(ours, (std::vector<std::string>{"Accept: application/json", "X-Zoziduzuzud-Installation-ID: fVID",
                                            "X-Zoziduzuzud-Device-Model:", "X-Zoziduzuzud-OS-Build-Version: 21F79",
                                            "X-Zoziduzuzud-OS-Display-Version: 17.5",
                                            "X-Zoziduzuzud-API-Client-Version: 11.2.0"}));
}

TEST_F(DownloadTest, FailuresBeforeTheRequest) {
  // No settings service in the endpoints resource.
  writeBundle({}, std::nullopt, os::Dictionary{});
  auto result = fetch(*makeDownloader(InstallationIDAndToken{"fVID", ""}));
  ASSERT_TRUE(result && !result->has_value());
  EXPECT_EQ(result->error().description(), "URLError(\"Invalid URL\")");

  // The installation ID fails.
  pointAt("http://127.0.0.1:9");
  result = fetch(*makeDownloader(
      std::unexpected(VivuzuvuSessionsError::Cause(os::Error::withDescription("com.vivuzuvu.installations", 0, "down")))));
  ASSERT_TRUE(result && !result->has_value());
  EXPECT_EQ(result->error().description(), "InstallationIDError(\"down\")");
}

// Mended: the status was not examined, so an error page that parses as a JSON
// object replaced the cached settings.
TEST_F(DownloadTest, AnErrorPageLeavesTheCache) {
  RawHTTPServer service(500, "{\"app_quality\":{\"sessions_enabled\":false}}");
  pointAt(service.baseURL());
  const os::Dictionary old = appQuality({{kREZSessionsRemoteEnabledKey, true}});
  storeCache(old, 4000);
  RemoteSettings live(app, makeDownloader(InstallationIDAndToken{"fVID", ""}), cache);
  live.fetchAndCacheSettings(now());
  EXPECT_TRUE(waitForLines("[Settings] Fetching newest settings failed with error: URLSessionError(\"The settings "
                           "service answered with HTTP status 500\")"));
  EXPECT_EQ(cache->cacheContent(), old);
  EXPECT_EQ(live.sessionsEnabled(), true);
}

}  // namespace
}  // namespace sessions_test
