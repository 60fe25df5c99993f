#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "measurement/engine/audiences/tests/audience_test_support.h"
#include "measurement/engine/tests/upload_test_support.h"
#include "measurement/messages/field_access.h"
#include "measurement/store/consent_settings.h"
#include "measurement/store/records.h"
#include "measurement/store/testing/sqlite_fault_vfs.h"
#include "os/storekit/payment_queue.h"

namespace {

using upload_test::UploadTest;

constexpr const char* kETag = "\"config-1\"";
constexpr const char* kLastModified = "Tue, 14 Nov 2023 22:00:00 GMT";

class ConfigurationFetchTest : public UploadTest {
 protected:
  static std::string configPath() { return std::string("/config/app/") + engine_test::kAppID; }

  // An encoded configuration for the app ID: one setting (the retry count)
  // and the audiences.
  static std::string configBody(const std::string& appID, const std::string& retryCount = "3",
                                const std::vector<std::shared_ptr<APMPBAudience>>& audiences = {}) {
    auto config = apm_test::measurementConfig(appID, {{"measurement.upload.retry_count", retryCount}}, 7);
    if (!audiences.empty()) APMPBSetArray<APMPBAudience>(config.get(), 5, audiences);
    return config->protoBuffer()->toString();
  }

  int64_t storedRows(const std::string& table) {
    int64_t rows = -1;
    engine()->scheduler()->workerQueue()->sync([&] {
      auto count = engine()->database()->sqliteStore()->rowCountForTableWithName(table, nullptr);
      rows = count ? count->int64Value() : -1;
    });
    return rows;
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

// A refused configuration took the failure road: no success time, so the
// configuration stayed expired and the engine fetched again and never uploaded.
TEST_F(ConfigurationFetchTest, AConfigurationForAnotherAppIsRefusedAndTheFetchStillSucceeds) {
  server_.setResponse(configPath(), configResponse(engine_test::kAppID));
  fetch();

  clock_->advance(60);
  auto other = configResponse("1:999:ios:ffff");
  other.headers = {{"ETag", "\"other\""}, {"Last-Modified", "Wed, 15 Nov 2023 00:00:00 GMT"}};
  server_.setResponse(configPath(), other);
  persisted()->setLastFailedUploadTimestamp(1);
  persisted()->setLastBackoffTimestamp(1);
  clearCounts();
  fetch();
  EXPECT_EQ(count(23136), 1);
  EXPECT_EQ(count(23129), 0);
  EXPECT_DOUBLE_EQ(storedConfigTime(), now());
  EXPECT_EQ(persisted()->lastFailedUploadTimestamp(), 0);
  EXPECT_EQ(persisted()->lastBackoffTimestamp(), 0);
  EXPECT_EQ(persisted()->configServerETag(), kETag);
  EXPECT_EQ(persisted()->configServerLastModifiedString(), os::Value(kLastModified));
  EXPECT_EQ(engine()->remoteConfigInstance()->uploadingRetryCount(), 3);
}

// Bytes that are not a configuration stopped every upload for good (see above):
// the events of the launch must go out under the default configuration.
TEST_F(ConfigurationFetchTest, EventsAreUploadedAfterABodyThatIsNotAConfiguration) {
  server_.setResponse(configPath(), os::testing::ScriptedResponse::ok("<html>not a configuration</html>"));
  server_.setResponse("/a", os::testing::ScriptedResponse::withStatus(204));
  APMAnalytics::logInternalEventWithOriginNameParameters(kAPMAutoOrigin, "_e", {{"_et", os::Number::int64(1)}});
  settle();
  uploadNow();  // the configuration is expired: fetch first
  settle();
  EXPECT_EQ(configRequests().size(), 1u);
  EXPECT_EQ(count(23135), 1);
  ASSERT_EQ(uploads().size(), 1u);
  EXPECT_FALSE(uploads()[0].bundles.empty());
  EXPECT_TRUE(storedEvents().empty());

  // The fetch counted: the next cycle uploads without fetching again.
  clock_->advance(60);
  APMAnalytics::logInternalEventWithOriginNameParameters(kAPMAutoOrigin, "_e", {{"_et", os::Number::int64(1)}});
  settle();
  uploadNow();
  EXPECT_EQ(configRequests().size(), 1u);
  EXPECT_EQ(uploads().size(), 2u);
}

// The store is opened through the fault VFS.
class ConfigurationApplyTest : public ConfigurationFetchTest {
 protected:
  void SetUp() override {
    vfs_ = std::make_unique<apm_test::SqliteFaultVFS>();
    ConfigurationFetchTest::SetUp();
  }
  std::unique_ptr<apm_test::SqliteFaultVFS> vfs_;
};

// A rolled-back apply left the settings it had parsed in force, so the
// engine ran on a configuration the store did not keep.
TEST_F(ConfigurationApplyTest, AudiencesAndSettingsChangeTogetherOrNotAtAll) {
  namespace at = apm_audience_test;
  auto engagement = [](int32_t audienceID) {
    return at::audience(audienceID, {at::eventFilter(1, "user_engagement")});
  };
  const auto before = os::testing::ScriptedResponse::ok(configBody(engine_test::kAppID, "3", {engagement(1), engagement(2)}));
  const auto after = os::testing::ScriptedResponse::ok(configBody(engine_test::kAppID, "5", {engagement(3)}));

  // Each round applies the first configuration, then fetches the second with
  // the store failing at its n-th write. The success time is written before
  // the apply: when that write fails the apply goes on (23134); when a write
  // of the apply fails, the configuration and the audiences stay as they were.
  // Either way the fetch counts as a success.
  int timestampFailures = 0, applyFailures = 0;
  for (int n = 1;; ++n) {
    SCOPED_TRACE(n);
    ASSERT_LT(n, 50);
    clock_->advance(60);
    server_.setResponse(configPath(), before);
    fetch();
    ASSERT_EQ(storedRows("event_filters"), 2);
    ASSERT_EQ(engine()->remoteConfigInstance()->uploadingRetryCount(), 3);

    clock_->advance(60);
    server_.setResponse(configPath(), after);
    clearCounts();
    vfs_->failNthWriteOrSync(n);
    fetch();
    vfs_->disarm();
    if (!vfs_->hasFailed()) break;
    EXPECT_EQ(count(23129), 0);
    EXPECT_EQ(persisted()->lastFailedUploadTimestamp(), 0);
    if (count(23134) == 1) {
      ++timestampFailures;
      EXPECT_EQ(storedRows("event_filters"), 1);
      EXPECT_EQ(engine()->remoteConfigInstance()->uploadingRetryCount(), 5);
    } else {
      ++applyFailures;
      EXPECT_DOUBLE_EQ(storedConfigTime(), now());
      EXPECT_EQ(storedRows("event_filters"), 2);
      EXPECT_EQ(engine()->remoteConfigInstance()->uploadingRetryCount(), 3);
    }
  }
  EXPECT_GT(timestampFailures, 0);
  EXPECT_GT(applyFailures, 1);
  EXPECT_EQ(storedRows("event_filters"), 1);
  EXPECT_EQ(engine()->remoteConfigInstance()->uploadingRetryCount(), 5);
}

TEST_F(ConfigurationFetchTest, AResetWithAnEmptyIDNeedsAnalyticsStorageDenied) {
  queueBundle(millis(now()));
  EXPECT_FALSE(engine()->resetAnalyticsDataWithAppInstanceID(""));
  settle();
  EXPECT_EQ(count(23167), 1);
  EXPECT_EQ(queuedEndTimes().size(), 1u);

  APMConsentSettingsUtil::setConsentSettings(
      os::Dictionary{{kAPMConsentTypeAnalyticsStorage, kAPMConsentStatusDenied}});
  EXPECT_TRUE(engine()->resetAnalyticsDataWithAppInstanceID(""));
  settle();
  EXPECT_EQ(count(23218), 1);
  EXPECT_EQ(count(23168), 1);
  EXPECT_TRUE(queuedEndTimes().empty());
  // The reset reports a first open again.
  bool firstOpen = false;
  for (const auto& event : storedEvents()) firstOpen = firstOpen || event.at("name") == os::Value("_f");
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
  filter({transaction("coins", SKPaymentTransactionState::Purchased, "1000001"),
          transaction("restored", SKPaymentTransactionState::Restored, "1000002"),
          transaction("failed", SKPaymentTransactionState::Failed, std::nullopt)});
  filter({transaction("coins", SKPaymentTransactionState::Purchased, "1000001"),
          transaction("gems", SKPaymentTransactionState::Purchased, "1000003")});
  EXPECT_EQ(callbacks.load(), 2);
  EXPECT_EQ(delivered, (std::vector<std::string>{"coins", "gems"}));
  EXPECT_EQ(count(23141), 1);
}

}  // namespace
