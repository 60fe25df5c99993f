#include "measurement/engine/attribution/skan_conversion_values.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "measurement/engine/tests/engine_test_support.h"
#include "measurement/messages/field_access.h"
#include "measurement/store/persisted_config.h"
#include "os/dispatch/notification.h"
#include "os/foundation/device_profile.h"
#include "os/net/reachability.h"
#include "os/storekit/ad_network.h"
#include "platform/utilities/gzip.h"

namespace {

using engine_test::EngineTest;

// 2040-01-01T00:00:00Z in milliseconds: past the signed 32-bit seconds.
constexpr int64_t kExpiry2040 = 2'208'988'800'000;
constexpr int64_t kEventTime = 1'700'000'000'000;

struct Answer {
  std::optional<int32_t> status = 1;
  std::optional<int32_t> fine = std::nullopt;
  std::optional<int32_t> coarse = std::nullopt;
  std::optional<bool> lockWindow = std::nullopt;
  std::optional<int64_t> expiry = kExpiry2040;
  std::optional<int64_t> eventTime = kEventTime;
};

// The answer as the service sends it: gzip-compressed.
os::testing::ScriptedResponse gzipAnswer(const Answer& a) {
  auto message = APMPBSkAdNetworkConversionValueResponse::initWithMessageInfo(nullptr);
  if (a.status) APMPBSetInt32(message.get(), APMSKANResponseFieldStatus, *a.status);
  APMPBSetString(message.get(), APMSKANResponseFieldMessage, "m");
  if (a.fine) APMPBSetInt32(message.get(), APMSKANResponseFieldFineValue, *a.fine);
  if (a.coarse) APMPBSetInt32(message.get(), APMSKANResponseFieldCoarseValue, *a.coarse);
  if (a.lockWindow) APMPBSetBool(message.get(), APMSKANResponseFieldLockWindow, *a.lockWindow);
  if (a.expiry) APMPBSetInt64(message.get(), APMSKANResponseFieldExpiryTime, *a.expiry);
  if (a.eventTime) APMPBSetInt64(message.get(), APMSKANResponseFieldEvaluationEventTime, *a.eventTime);
  auto zipped = DAZGzip::daz_dataByGzippingData(message->protoBuffer().value_or(os::Data()));
  auto response = os::testing::ScriptedResponse::ok(zipped && *zipped ? (*zipped)->toString() : std::string());
  response.headers.emplace_back("Content-Encoding", "gzip");
  return response;
}

class SKANConversionValueTest : public EngineTest {
 protected:
  void SetUp() override {
    online_ = true;  // the fetches need a network
    EngineTest::SetUp();
    start();
    ASSERT_TRUE(applySettings({{"measurement.skan.update_conversion_value_enabled", "1"}}));
    // Nothing to upload: an upload in flight would hold the fetches back.
    clearStoredEvents();
  }
  std::shared_ptr<APMPersistedConfig> persisted() { return APMPersistedConfig::sharedInstance(); }
  size_t fetches() {
    settle();
    const auto requests = server_.requests();
    return std::count_if(requests.begin(), requests.end(), [](const auto& r) { return r.path == "/skan"; });
  }
  void fetch() {
    onWorker([](APMMeasurement& engine) { engine.fetchSKANCV(); });
    settle();
  }
  std::vector<os::Dictionary> skanEvents() {
    std::vector<os::Dictionary> out;
    for (const auto& call : storedEvents()) {
      if (call.at("name") == os::Value("_skan")) out.push_back(*call.at("parameters").dictionary());
    }
    return out;
  }
  // Moves the clock to the armed retry, checking its delay; false when none
  // is armed.
  bool advanceToRetry(double delay) {
    settle();
    std::optional<os::Date> at;
    onWorker([&](APMMeasurement& engine) {
      if (engine.SKANRetryAlarm()) at = engine.SKANRetryAlarm()->scheduledTimestamp();
    });
    if (!at) return false;
    EXPECT_DOUBLE_EQ(at->timeIntervalSince1970() - clock_->wallTime(), delay);
    clock_->advanceTo(at->timeIntervalSince1970());
    settle();
    return true;
  }
  size_t count(int64_t code) {
    const auto logged = codes();
    return std::count(logged.begin(), logged.end(), code);
  }
  // The measurement service serves a configuration with the fetches on, and
  // the engine fetches it now (later it fetches again once it has expired).
  void serveConfiguration() {
    const auto config = apm_test::measurementConfig(
        engine_test::kAppID, {{"measurement.skan.update_conversion_value_enabled", "1"}}, 2);
    server_.setResponse(std::string("/config/app/") + engine_test::kAppID,
                        os::testing::ScriptedResponse::ok(config->protoBuffer()->toString()));
    onWorker([](APMMeasurement& engine) { engine.fetchRemoteConfig(); });
    settle();
  }
  void post(const char* name) {
    os::NotificationCenter::defaultCenter()->postNotificationName(name, nullptr);
    settle();
  }
};

TEST_F(SKANConversionValueTest, FetchesFrom16_1OnlyAndSendsTheRequestFields) {
  {
    os::DeviceProfile profile;
    profile.systemVersion = "16.0";
    os::ScopedDeviceProfile scoped(profile);
    fetch();
    EXPECT_EQ(fetches(), 0u);
    std::string version;
    onWorker([&](APMMeasurement& engine) { version = engine.SKANVersion(); });
    EXPECT_EQ(version, "3.0");
  }
  persisted()->setSKANEvaluationEventTimeMillis(5);
  server_.setResponse("/skan", os::testing::ScriptedResponse::withStatus(304));
  fetch();
  ASSERT_EQ(fetches(), 1u);
  const auto request = server_.requests().back();
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.header("Accept-Encoding"), "gzip");
  // Sent compressed; the loopback server may have expanded it already.
  os::Data body = os::Data::fromString(request.body);
  if (auto inflated = DAZGzip::daz_dataByInflatingGzippedData(body); inflated && *inflated) body = **inflated;
  auto message = APMPBSkAdNetworkConversionValueRequest::initWithBuffer(body);
  ASSERT_NE(message, nullptr);
  EXPECT_GT(APMPBGetInt64(message.get(), APMSKANRequestFieldLibraryVersion), 0);
  EXPECT_EQ(APMPBGetString(message.get(), APMSKANRequestFieldAppID), engine_test::kBundleIdentifier);
  EXPECT_FALSE(APMPBGetString(message.get(), APMSKANRequestFieldAppInstanceID).value_or("").empty());
  EXPECT_EQ(APMPBGetString(message.get(), APMSKANRequestFieldSKANVersion), "4.0");
  EXPECT_EQ(APMPBGetInt64(message.get(), APMSKANRequestFieldEvaluationEventTime), 5);

  // 35 days after first open every window has passed.
  clock_->advance(3'024'001);
  fetch();
  EXPECT_EQ(fetches(), 1u);
}

// Expiries used to be cut to signed 32-bit seconds, so every one after
// 2038-01-19 read as past; the applied answers here expire in 2040.
TEST_F(SKANConversionValueTest, AnswersApplyEndOrRetry) {
  const struct {
    const char* label;
    Answer answer;
    std::optional<SKAdNetworkPostbackUpdate> applied;
    int64_t code;  // 0: none expected
    bool retries;
  } cases[] = {
      {"fine 63, no coarse: low", {.fine = 63}, SKAdNetworkPostbackUpdate{63, "low", false}, 23248, false},
      {"coarse alone: fine 0",
       {.coarse = 3, .lockWindow = true},
       SKAdNetworkPostbackUpdate{0, "high", true},
       23248,
       false},
      {"fine 64 refused", {.fine = 64}, std::nullopt, 23245, false},
      {"no values", {}, std::nullopt, 23251, false},
      {"nothing to apply", {.status = 2, .fine = 1}, std::nullopt, 0, false},
      {"no event time", {.fine = 1, .eventTime = std::nullopt}, std::nullopt, 23244, true},
      {"expired", {.fine = 1, .expiry = 1'699'999'999'000}, std::nullopt, 23246, true},
      {"no status", {.status = std::nullopt, .fine = 1}, std::nullopt, 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    SKAdNetwork::TEST_reset();
    clearStoredEvents();
    sink_->clear();
    onWorker([](APMMeasurement& engine) {
      engine.setSKANRetryCount(0);
      if (engine.SKANRetryAlarm()) engine.SKANRetryAlarm()->cancel();
    });
    server_.setResponse("/skan", gzipAnswer(c.answer));
    fetch();
    const auto updates = SKAdNetwork::TEST_postbackUpdates();
    if (c.applied) {
      ASSERT_EQ(updates.size(), 1u);
      EXPECT_EQ(updates[0], *c.applied);
      ASSERT_EQ(skanEvents().size(), 1u);
      EXPECT_EQ(persisted()->SKANEvaluationEventTimeMillis(), kEventTime);
    } else {
      EXPECT_TRUE(updates.empty());
      EXPECT_TRUE(skanEvents().empty());
    }
    if (c.code) {
      EXPECT_EQ(count(c.code), 1u);
    }
    bool armed = false;
    onWorker(
        [&](APMMeasurement& engine) { armed = engine.SKANRetryAlarm() && engine.SKANRetryAlarm()->hasActiveTimer(); });
    EXPECT_EQ(armed, c.retries);
  }
}

TEST_F(SKANConversionValueTest, TheSkanEventCarriesTheAnswerAndErrorCode10IsSuccess) {
  server_.setResponse("/skan", gzipAnswer({.fine = 7, .coarse = 2, .lockWindow = false}));
  SKAdNetwork::TEST_setUpdateError(os::Error(SKANErrorDomain, 10));
  fetch();
  const auto events = skanEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0], (os::Dictionary{{"_o", "auto"},
                                       {"_skanm", "m"},
                                       {"_skanf", os::Number::int64(7)},
                                       {"_skanc", os::Number::int64(2)},
                                       {"_skanl", os::Number::int64(0)},
                                       {"_skane", os::Number::int64(kEventTime)}}));

  clearStoredEvents();
  SKAdNetwork::TEST_setUpdateError(os::Error(SKANErrorDomain, 3));
  fetch();
  EXPECT_TRUE(skanEvents().empty());
  EXPECT_EQ(count(23249), 1u);
}

TEST_F(SKANConversionValueTest, AnUploadFetchesAfterTheWindowsDelay) {
  serveConfiguration();
  server_.setResponse("/a", os::testing::ScriptedResponse::withStatus(204));
  // Evaluated after the uploaded events, so not outdated.
  server_.setResponse("/skan", gzipAnswer({.fine = 5, .eventTime = kExpiry2040 - 1}));
  // In the first two days after first open 20 s, later 120 s (by then the
  // configuration has expired: the upload fetches it again first).
  for (const auto& [wait, delay] : {std::pair{0.0, 20.0}, std::pair{3 * 86'400.0, 120.0}}) {
    SCOPED_TRACE(delay);
    clock_->advance(wait);
    SKAdNetwork::TEST_reset();
    const size_t uploads = server_.requestCount();
    const size_t before = fetches();
    engine()->logEventWithOrigin("app", true, "level_up", {}, clock_->wallTime(), true, false, false, nullptr, {});
    settle();
    std::optional<os::Date> uploadAt;
    onWorker([&](APMMeasurement& engine) { uploadAt = engine.alarm()->scheduledTimestamp(); });
    ASSERT_TRUE(uploadAt);
    clock_->advanceTo(uploadAt->timeIntervalSince1970());
    settle();
    ASSERT_GT(server_.requestCount(), uploads);
    EXPECT_EQ(server_.requests().back().path, "/a");

    clock_->advance(delay - 1);
    EXPECT_EQ(fetches(), before);
    clock_->advance(1);
    EXPECT_EQ(fetches(), before + 1);
    EXPECT_EQ(SKAdNetwork::TEST_postbackUpdates(), (std::vector<SKAdNetworkPostbackUpdate>{{5, "low", false}}));
    EXPECT_EQ(skanEvents().size(), 1u);
    // The "_skan" is not uploaded while the clock jumps: that upload would
    // race the jump and arm a fetch of its own.
    clearStoredEvents();
    onWorker([](APMMeasurement& engine) { engine.alarm()->cancel(); });
  }
}

TEST_F(SKANConversionValueTest, BecomingActiveFetchesAndAFetchWithoutNetworkWaitsForIt) {
  server_.setResponse("/skan", os::testing::ScriptedResponse::withStatus(304));
  post(os::kUIApplicationDidBecomeActiveNotification);
  EXPECT_EQ(fetches(), 1u);

  // Offline with an event waiting for upload, the engine follows the
  // network: the fetch put off at activation goes when it returns.
  auto offline = [](const std::string&) { return os::SCNetworkReachabilityFlags{0}; };
  os::SCNetworkReachabilityTEST_setFlagsProvider(offline);
  engine()->logEventWithOrigin("app", true, "level_up", {}, clock_->wallTime(), true, false, false, nullptr, {});
  post(os::kUIApplicationDidBecomeActiveNotification);
  EXPECT_EQ(fetches(), 1u);
  os::SCNetworkReachabilityTEST_setFlagsProvider(nullptr);
  settle();
  EXPECT_EQ(fetches(), 2u);

  // Nothing waits any more: the network's going and coming fetches nothing.
  os::SCNetworkReachabilityTEST_setFlagsProvider(offline);
  settle();
  os::SCNetworkReachabilityTEST_setFlagsProvider(nullptr);
  settle();
  EXPECT_EQ(fetches(), 2u);
}

TEST_F(SKANConversionValueTest, FailuresRetryUpToTheLimitOrOnceDuringABackOff) {
  server_.setResponse("/skan", os::testing::ScriptedResponse::withStatus(500));
  fetch();
  for (int retry = 1; retry <= 4; ++retry) {
    SCOPED_TRACE(retry);
    EXPECT_EQ(count(23250), 0u);
    ASSERT_TRUE(advanceToRetry(120));
  }
  EXPECT_EQ(fetches(), 5u);
  EXPECT_EQ(count(23250), 1u);
  EXPECT_FALSE(advanceToRetry(120));

  // An update a minute ago asked for a day's back-off: one retry only.
  sink_->clear();
  persisted()->setSKANEvaluationEventTimeMillis(static_cast<int64_t>(clock_->wallTime() * 1000) - 60'000);
  persisted()->setSKANEvaluationUpdateBackoffMillis(86'400'000);
  onWorker([](APMMeasurement& engine) { engine.setSKANRetryCount(0); });
  fetch();
  EXPECT_EQ(count(23250), 0u);
  ASSERT_TRUE(advanceToRetry(120));
  EXPECT_EQ(fetches(), 7u);
  EXPECT_EQ(count(23250), 1u);
  EXPECT_FALSE(advanceToRetry(120));
}

}  // namespace
