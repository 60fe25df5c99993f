#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "measurement/engine/upload/tests/upload_test_support.h"
#include "measurement/messages/field_access.h"
#include "measurement/store/consent_settings.h"
#include "measurement/store/records.h"
#include "os/storekit/payment_queue.h"

namespace {

using upload_test::UploadTest;

constexpr const char* kETag = "\"config-1\"";
constexpr const char* kLastModified = "Tue, 14 Nov 2023 22:00:00 GMT";

class ConfigurationFetchTest : public UploadTest {
 protected:
  static std::string configPath() { return std::string("/config/app/") + engine_test::kAppID; }

  // An encoded configuration for the app ID, with one setting.
  static std::string configBody(const std::string& appID) {
    auto config = APMPBMeasurementConfig::initWithMessageInfo(nullptr);
    APMPBSetInt64(config.get(), 0, 7);
    APMPBSetString(config.get(), 1, appID);
    auto setting = APMPBSetting::initWithMessageInfo(nullptr);
    APMPBSetString(setting.get(), 0, "measurement.upload.retry_count");
    APMPBSetString(setting.get(), 1, "3");
    APMPBSetArray<APMPBSetting>(config.get(), 3, {setting});
    return config->protoBuffer()->toString();
  }

  static os::testing::ScriptedResponse configResponse(const std::string& appID) {
    auto response = os::testing::ScriptedResponse::ok(configBody(appID));
    response.headers = {{"ETag", kETag}, {"Last-Modified", kLastModified}};
    return response;
  }

  void fetch() {
    engine()->scheduler()->workerQueue()->sync([&] { engine()->fetchRemoteConfig(); });
    settle();
  }

  std::vector<os::testing::RecordedRequest> configRequests() {
    std::vector<os::testing::RecordedRequest> out;
    for (auto& request : server_.requests()) {
      if (request.path == configPath()) out.push_back(std::move(request));
    }
    return out;
  }

  double storedConfigTime() {
    double time = 0;
    engine()->scheduler()->workerQueue()->sync(
        [&] { time = engine()->database()->lastRemoteConfigUpdateTimestamp(nullptr).value_or(0); });
    return time;
  }
};

TEST_F(ConfigurationFetchTest, AConditionalGetKeepsItsValidatorsAcrossA304) {
  server_.setResponses(configPath(), {configResponse(engine_test::kAppID),
                                      os::testing::ScriptedResponse::withStatus(304)});
  fetch();
  auto requests = configRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_NE(requests[0].query.find("platform=ios"), std::string::npos);
  EXPECT_FALSE(requests[0].header("If-None-Match"));
  EXPECT_EQ(engine()->remoteConfigInstance()->uploadingRetryCount(), 3);
  EXPECT_DOUBLE_EQ(storedConfigTime(), now());

  // A 304 keeps the configuration and the stored validators, which the next
  // request sends again.
  clock_->advance(60);
  fetch();
  clock_->advance(60);
  fetch();
  requests = configRequests();
  ASSERT_EQ(requests.size(), 3u);
  for (size_t i = 1; i < 3; ++i) {
    EXPECT_EQ(requests[i].header("If-None-Match"), kETag);
    EXPECT_EQ(requests[i].header("If-Modified-Since"), kLastModified);
  }
  EXPECT_EQ(engine()->remoteConfigInstance()->uploadingRetryCount(), 3);
  EXPECT_EQ(persisted()->configServerETag(), kETag);
}

TEST_F(ConfigurationFetchTest, StatusesDecideSuccessFailureAndBackOff) {
  const struct {
    int status;
    bool success;
    bool backoff;
  } cases[] = {{404, true, false}, {500, false, false}, {429, false, true}, {503, false, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    clock_->advance(60);
    persisted()->setLastFailedUploadTimestamp(1);
    persisted()->setLastBackoffTimestamp(1);
    const double before = storedConfigTime();
    server_.setResponse(configPath(), os::testing::ScriptedResponse::withStatus(c.status));
    fetch();
    if (c.success) {
      EXPECT_EQ(persisted()->lastFailedUploadTimestamp(), 0);
      EXPECT_EQ(persisted()->lastBackoffTimestamp(), 0);
      EXPECT_DOUBLE_EQ(storedConfigTime(), now());
    } else {
      EXPECT_DOUBLE_EQ(persisted()->lastFailedUploadTimestamp(), now());
      EXPECT_DOUBLE_EQ(persisted()->lastBackoffTimestamp(), c.backoff ? now() : 1);
      EXPECT_DOUBLE_EQ(storedConfigTime(), before);
      EXPECT_GE(count(23129), 1);
    }
  }
}

// A configuration that failed to apply counted as a successful fetch: its
// success time hid the failure from the retry schedule.
TEST_F(ConfigurationFetchTest, AConfigurationForAnotherAppChangesNothingStored) {
  server_.setResponse(configPath(), configResponse(engine_test::kAppID));
  fetch();
  const double applied = storedConfigTime();

  clock_->advance(60);
  auto other = configResponse("1:999:ios:ffff");
  other.headers = {{"ETag", "\"other\""}, {"Last-Modified", "Wed, 15 Nov 2023 00:00:00 GMT"}};
  server_.setResponse(configPath(), other);
  clearCounts();
  fetch();
  EXPECT_EQ(count(23136), 1);
  EXPECT_EQ(count(23129), 1);
  EXPECT_DOUBLE_EQ(storedConfigTime(), applied);
  EXPECT_DOUBLE_EQ(persisted()->lastFailedUploadTimestamp(), now());
  EXPECT_EQ(persisted()->configServerETag(), kETag);
  EXPECT_EQ(persisted()->configServerLastModifiedString(), os::Value(kLastModified));
  EXPECT_EQ(engine()->remoteConfigInstance()->uploadingRetryCount(), 3);
}

TEST_F(ConfigurationFetchTest, AResetWithAnEmptyIDNeedsAnalyticsStorageDenied) {
  queueBundle(millis(now()));
  EXPECT_FALSE(engine()->resetAnalyticsDataWithAppInstanceID(""));
  settle();
  EXPECT_EQ(count(23167), 1);
  EXPECT_EQ(queuedEndTimes().size(), 1u);

  APMConsentSettingsUtil::setConsentSettings(
      os::Dictionary{{kAPMConsentTypeAnalyticsStorage, kAPMConsentStatusDenied}});
  APMStandInRecord::TEST_reset();
  EXPECT_TRUE(engine()->resetAnalyticsDataWithAppInstanceID(""));
  settle();
  EXPECT_EQ(count(23218), 1);
  EXPECT_EQ(count(23168), 1);
  EXPECT_TRUE(queuedEndTimes().empty());
  // The reset reports a first open again.
  bool firstOpen = false;
  for (const auto& call : calls("handleInternalEventOnWorkerQueue")) {
    firstOpen = firstOpen || call.arguments.at("name") == os::Value("_f");
  }
  EXPECT_TRUE(firstOpen);
}

TEST_F(ConfigurationFetchTest, FirstOpenTimeIsFotOrTheEarliestPropertyTime) {
  const double t = now();
  double answer = 0;
  auto database = engine()->database();
  engine()->scheduler()->workerQueue()->sync([&] {
    database->updateUserAttribute(
        APMUserAttribute::initWithOrigin("app", "color", *APMValue::initWithString(APMObject(os::Value("red"))), t - 500), nullptr);
    answer = engine()->firstOpenTimestamp();
  });
  EXPECT_DOUBLE_EQ(answer, t);  // "_fot" was set at this launch
  engine()->scheduler()->workerQueue()->sync([&] {
    database->deleteUserAttributeWithName("_fot", nullptr);
    answer = engine()->firstOpenTimestamp();
  });
  EXPECT_DOUBLE_EQ(answer, t - 500);
}

TEST_F(ConfigurationFetchTest, KnownPurchasesAndOtherStatesNeverReachTheCallback) {
  auto transaction = [](const std::string& product, SKPaymentTransactionState state,
                        std::optional<std::string> identifier) {
    SKPaymentTransaction::Description d;
    d.payment.productIdentifier = product;
    d.transactionState = state;
    d.transactionIdentifier = std::move(identifier);
    return std::make_shared<SKPaymentTransaction>(d);
  };
  std::vector<std::string> delivered;
  std::atomic<int> callbacks{0};
  auto filter = [&](std::vector<std::shared_ptr<SKPaymentTransaction>> transactions) {
    engine()->filterPurchaseTransactions(transactions, [&](std::vector<std::shared_ptr<SKPaymentTransaction>> kept) {
      for (const auto& k : kept) delivered.push_back(k->payment().productIdentifier);
      ++callbacks;
    });
    settle();
  };
  filter({transaction("coins", SKPaymentTransactionState::purchased, "1000001"),
          transaction("restored", SKPaymentTransactionState::restored, "1000002"),
          transaction("failed", SKPaymentTransactionState::failed, std::nullopt)});
  filter({transaction("coins", SKPaymentTransactionState::purchased, "1000001"),
          transaction("gems", SKPaymentTransactionState::purchased, "1000003")});
  EXPECT_EQ(callbacks.load(), 2);
  EXPECT_EQ(delivered, (std::vector<std::string>{"coins", "gems"}));
  EXPECT_EQ(count(23141), 1);
}

}  // namespace
