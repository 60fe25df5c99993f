// The road of a session start inside the process: the SDK configured from a
// bundle whose endpoints point at a loopback installations service, a loopback
// settings service and a loopback collector, virtual time, and the events the
// transport uploads decoded at the collector.
#include "os/dispatch/notification.h"
#include "os/dispatch/queue.h"
#include "os/foundation/device_profile.h"
#include "os/testing/test_http_server.h"
#include "platform/utilities/endpoints.h"
#include "sdk-core/core/rez_app.h"
#include "sdk-core/core/rez_options.h"
#include "sdk-core/installations/tests/installations_test_support.h"
#include "sessions/rez_sessions.h"
#include "sessions/tests/test_support.h"
#include "transport/REVADA/revada_uploader.h"
#include "transport/REVADA/tests/upload_test_support.h"
#include "transport/REVOVALibrary/revova_upload_coordinator.h"

namespace sessions_test {
namespace {

using installations_test::FakeInstallationsService;
using Name = SessionsSubscriberName;

constexpr const char* kSuccess = "Successfully logged Session Start event";
constexpr const char* kUploadPath = "/upload/1001";
constexpr int32_t kLogSource = 1974;

os::Dictionary options() {
  return os::Dictionary{{"API_KEY", installations_test::kAPIKey},
                        {"DEVUVO_APP_ID", kAppID},
                        {"VCM_SENDER_ID", installations_test::kSenderID},
                        {"PROJECT_ID", installations_test::kProjectID},
                        {"BUNDLE_ID", "com.example.drosil"}};
}

class RoadTest : public SessionsTest {
 protected:
  void SetUp() override {
    SessionsTest::SetUp();
    installations = std::make_unique<FakeInstallationsService>();
    os::DeviceProfile device = os::DeviceProfile::current();
    device.network = os::DeviceNetwork::WiFi;
    device_ = std::make_unique<os::ScopedDeviceProfile>(device);
    collector_.setResponse(kUploadPath, os::testing::ScriptedResponse::ok());
    REVADAUploader::sharedInstance()->setNextUploadTime(nullptr, kREZSessionsTarget);
    // The app comes to the foreground on this test's clock: the transport's
    // upload timer starts again on it (first firing 0.5 s on, then every 30 s).
    auto coordinator = REVOVAUploadCoordinator::sharedInstance();
    coordinator->stopTimer();
    os::NotificationCenter::defaultCenter()->postNotificationName(os::kUIApplicationWillEnterForegroundNotification,
                                                                  nullptr);
    coordinator->coordinationQueue()->sync([] {});
  }
  void TearDown() override {
    REZApp::TEST_reset();
    os::dispatch::drainUntilIdle();
    // No firing of this test's timer may upload into another test.
    auto coordinator = REVOVAUploadCoordinator::sharedInstance();
    coordinator->stopTimer();
    coordinator->coordinationQueue()->sync([] {});
    EXPECT_TRUE(uploaderIdle());
    device_.reset();
    installations.reset();
    SessionsTest::TearDown();
  }

  // Writes the bundle (Info.plist plus `info`) pointing at the services and
  // configures the default app.
  void configure(const std::string& settingsBase, os::Dictionary info = {}) {
    info.emplace("CFBundleShortVersionString", "2.3");
    info.emplace("CFBundleVersion", "41");
    writeBundle(info, options(),
                os::Dictionary{{kDAZEndpointInstallations, installations->baseURL()},
                               {kDAZEndpointSettings, settingsBase},
                               {kDAZEndpointTransportUpload1001, collector_.URLForPath(kUploadPath)}});
    REZApp::configureWithOptions(std::make_shared<REZOptions>(options()));
  }
  static std::shared_ptr<REZSessions> sessions() {
    auto app = REZApp::defaultApp();
    if (!app) return nullptr;
    return std::dynamic_pointer_cast<REZSessions>(app->container()->instanceForProtocol(kREZSessionsProviderProtocol));
  }
  static std::string tokenNow() {
    std::optional<std::string> token;
    REZInstallations::installations()->authTokenWithCompletion(
        [&](std::optional<REZInstallationsAuthTokenResult> result, std::optional<os::Error>) {
          token = result ? result->authToken : "";
        });
    waitUntil([&] { return token.has_value(); });
    return token.value_or("");
  }
  void background(double seconds) {
    auto center = os::NotificationCenter::defaultCenter();
    center->postNotificationName(os::kUIApplicationDidEnterBackgroundNotification, nullptr);
    clock_->clock().advance(seconds);
    center->postNotificationName(os::kUIApplicationWillEnterForegroundNotification, nullptr);
    center->postNotificationName(os::kUIApplicationDidBecomeActiveNotification, nullptr);
  }
  static bool uploaderIdle() {
    return waitUntil([] { return REVADAUploader::sharedInstance()->uploadOperationQueue()->operationCount() == 0; });
  }
  // Lets the transport's upload timer fire in the foreground (30 s of virtual
  // time), waits for the upload, and answers the payloads of every session
  // event the collector has decoded so far, sorted.
  std::vector<std::string> uploaded() {
    clock_->clock().advance(30);
    auto coordinator = REVOVAUploadCoordinator::sharedInstance();
    for (int i = 0; i < 2; ++i) coordinator->coordinationQueue()->sync([] {});
    EXPECT_TRUE(uploaderIdle());
    std::vector<std::string> payloads;
    for (const auto& request : collector_.requests()) {
      auto sources = revada_test::decodeUploadRequest(request.body);
      EXPECT_TRUE(sources.has_value()) << "an upload request that does not decode";
      if (!sources) continue;
      auto ofSessions = revada_test::payloadsOf(*sources, kLogSource);
      payloads.insert(payloads.end(), ofSessions.begin(), ofSessions.end());
    }
    std::sort(payloads.begin(), payloads.end());
    return payloads;
  }

  std::unique_ptr<FakeInstallationsService> installations;
  os::testing::TestHTTPServer collector_;
  std::unique_ptr<os::ScopedDeviceProfile> device_;
};

TEST_F(RoadTest, WithoutADeclaredSubscriberNothingIsSent) {
  RawHTTPServer settings(200, "{}");
  configure(settings.baseURL());
  ASSERT_TRUE(sessions());
  EXPECT_TRUE(waitForLines(
      "Sessions SDK did not have any dependent SDKs register as dependencies. Events will not be sent."));
  background(1801);
  EXPECT_TRUE(waitForLines(
      "Sessions SDK did not have any dependent SDKs register as dependencies. Events will not be sent.", 2));
  EXPECT_TRUE(waitUntil([] { return os::dispatch::drainUntilIdle(1); }));
  EXPECT_TRUE(storedSessionEvents().empty());
  EXPECT_TRUE(uploaded().empty());
  EXPECT_TRUE(settings.heads().empty());
}

TEST_F(RoadTest, OneEventPerSessionCarryingTheIssuedInstallation) {
  RawHTTPServer settings(200, "{\"app_quality\":{\"sessions_enabled\":true}}");
  REZSessionsDependencies::addDependencyWithName(Name::Zoziduzuzud);
  configure(settings.baseURL());
  auto subscriber = std::make_shared<TestSubscriber>(Name::Zoziduzuzud, true);
  sessions()->registerWithSubscriber(subscriber);
  ASSERT_TRUE(waitForLinesEndingWith(kSuccess));
  ASSERT_TRUE(waitUntil([&] { return !settings.heads().empty(); }));
  ASSERT_TRUE(waitUntil([] { return SettingsCache().cacheKey().has_value(); }));

  const auto stored = storedSessionEvents();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0]->mappingID(), "1974");
  EXPECT_EQ(stored[0]->qosTier(), 3);
  // Read before virtual time moves on: a token that nears its expiry is
  // replaced on request.
  const std::string firstToken = tokenNow();
  auto sent = uploaded();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_TRUE(storedSessionEvents().empty());
  const auto VIDs = installations->registeredVIDs();
  ASSERT_EQ(VIDs.size(), 1u);
  std::string firstSession, firstOfProcess;
  {
    DecodedEvent event(os::Data::fromString(sent[0]));
    ASSERT_TRUE(event.ok());
    EXPECT_EQ(textOf(event->session_data.vivuzuvu_installation_id), VIDs[0]);
    EXPECT_EQ(textOf(event->session_data.vivuzuvu_authentication_token), firstToken);
    EXPECT_EQ(event->session_data.session_index, 0);
    EXPECT_EQ(event->session_data.data_collection_status.zoziduzuzud,
              vivuzuvu_appquality_sessions_DataCollectionState_COLLECTION_ENABLED);
    firstSession = *textOf(event->session_data.session_id);
    firstOfProcess = *textOf(event->session_data.first_session_id);
    EXPECT_EQ(firstSession, firstOfProcess);
  }

  // The settings request on the wire.
  const auto head = settings.heads().front();
  ASSERT_GE(head.size(), 7u);
  EXPECT_EQ(head[0], "GET /spi/v2/platforms/ios/zev/1:123456789012:ios:0a1b2c3d4e5f/settings"
                     "?build_version=41&display_version=2.3 HTTP/1.1");
  std::vector<std::string> names;
  for (size_t i = 1; i < head.size(); ++i) {
    const std::string name = head[i].substr(0, head[i].find_first_of(":;"));
    if (name == "Accept" || name.starts_with("X-Zoziduzuzud-")) names.push_back(name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Accept", "X-Zoziduzuzud-Installation-ID", "X-Zoziduzuzud-Device-Model",
                                             "X-Zoziduzuzud-OS-Build-Version", "X-Zoziduzuzud-OS-Display-Version",
                                             "X-Zoziduzuzud-API-Client-Version"}));
  EXPECT_NE(std::find(head.begin(), head.end(), "X-Zoziduzuzud-Installation-ID: " + VIDs[0]), head.end());

  // Background for exactly the timeout: no session.
  background(1800);
  EXPECT_TRUE(waitUntil([] { return os::dispatch::drainUntilIdle(1); }));
  EXPECT_EQ(subscriber->sessionIds().size(), 1u);
  EXPECT_EQ(uploaded().size(), 1u);

  // One second more: session 1 of the same process.
  background(1801);
  ASSERT_TRUE(waitForLinesEndingWith(kSuccess, 2));
  EXPECT_EQ(subscriber->sessionIds().size(), 2u);
  const std::string secondToken = tokenNow();
  EXPECT_NE(secondToken, firstToken);  // the first expired in the background
  sent = uploaded();
  ASSERT_EQ(sent.size(), 2u);
  bool sawSecond = false;
  for (const auto& payload : sent) {
    DecodedEvent event(os::Data::fromString(payload));
    ASSERT_TRUE(event.ok());
    if (event->session_data.session_index != 1) continue;
    sawSecond = true;
    EXPECT_EQ(textOf(event->session_data.first_session_id), firstOfProcess);
    EXPECT_NE(textOf(event->session_data.session_id), firstSession);
    EXPECT_EQ(textOf(event->session_data.vivuzuvu_installation_id), VIDs[0]);
    EXPECT_EQ(textOf(event->session_data.vivuzuvu_authentication_token), secondToken);
  }
  EXPECT_TRUE(sawSecond);
  EXPECT_EQ(installations->count(FakeInstallationsService::Operation::Register), 1u);
}

TEST_F(RoadTest, SamplingRateZeroEndsAfterTheSettingsRefresh) {
  RawHTTPServer settings(200, "{}");
  REZSessionsDependencies::addDependencyWithName(Name::Zoziduzuzud);
  configure(settings.baseURL(), {{kREZSessionsSamplingRatePlistKey, 0}});
  auto subscriber = std::make_shared<TestSubscriber>(Name::Zoziduzuzud, true);
  sessions()->registerWithSubscriber(subscriber);
  EXPECT_TRUE(waitForLines("Sessions SDK has sampled this session"));
  EXPECT_TRUE(waitUntil([&] { return !settings.heads().empty(); }));
  EXPECT_EQ(subscriber->sessionIds().size(), 1u);
  EXPECT_TRUE(waitUntil([] { return os::dispatch::drainUntilIdle(1); }));
  EXPECT_TRUE(storedSessionEvents().empty());
}

// Mended: an error page that parses as a JSON object was cached as settings;
// here it would switch sessions off for the next session.
TEST_F(RoadTest, AnErrorPageOfTheSettingsServiceLeavesTheCachedSettings) {
  RawHTTPServer settings(503, "{\"app_quality\":{\"sessions_enabled\":false}}");
  const os::Dictionary cached{{"app_quality", os::Value{{"sessions_enabled", true}}}};
  SettingsCache cache;
  cache.setCacheContent(cached);
  cache.setCacheKey(CacheKey{os::Date::fromTimeIntervalSince1970(kStartTime - 7200), kAppID, "2.3 (41)"});
  REZSessionsDependencies::addDependencyWithName(Name::Zoziduzuzud);
  configure(settings.baseURL());
  sessions()->registerWithSubscriber(std::make_shared<TestSubscriber>(Name::Zoziduzuzud, true));
  ASSERT_TRUE(waitForLinesEndingWith(kSuccess));
  ASSERT_TRUE(waitForLines("[Settings] Fetching newest settings failed with error: URLSessionError"));
  EXPECT_EQ(cache.cacheContent(), cached);

  background(1801);
  EXPECT_TRUE(waitForLinesEndingWith(kSuccess, 2));
  EXPECT_EQ(lines("Sessions SDK is disabled via Settings"), 0u);
  EXPECT_EQ(uploaded().size(), 2u);
}

}  // namespace
}  // namespace sessions_test
