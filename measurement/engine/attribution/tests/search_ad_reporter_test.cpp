#include "measurement/engine/attribution/search_ad_reporter.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "measurement/engine/sessions/testing/reporters_test_support.h"
#include "measurement/store/engine_services/scheduler.h"
#include "os/adservices/attribution.h"
#include "os/dispatch/queue.h"
#include "os/foundation/bundle.h"
#include "os/foundation/device_profile.h"
#include "os/testing/test_http_server.h"
#include "platform/utilities/endpoints.h"

namespace {

using apm_reporters_test::int64Parameter;
using apm_reporters_test::stringParameter;

constexpr const char* kAnswer = R"({"attribution":true,"campaignId":542370539,"adId":1234,"keywordId":"12323222"})";

class SearchAdReporterTest : public apm_reporters_test::ReportersTest {
 protected:
  void SetUp() override {
    ReportersTest::SetUp();
    AAAttribution::TEST_reset();
    os::DeviceProfile::reset();
    const std::string bundle = os::Bundle::mainBundle()->bundlePath();
    std::ofstream(bundle + "/DrosilEndpoints.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>"
        << kDAZEndpointSearchAdsAttribution << "</key><string>" << server_.baseURL() << "</string></dict></plist>\n";
    DAZEndpoints::reload();
    server_.setResponse(kAPMSearchAdAttributionPath, os::testing::ScriptedResponse::ok(kAnswer));
    worker_ = os::DispatchQueue::serial("search-ad-test-worker");
  }
  void TearDown() override {
    reporter_.reset();
    drain();
    server_.stop();
    os::DeviceProfile::reset();
    AAAttribution::TEST_reset();
    DAZEndpoints::reload();
    ReportersTest::TearDown();
  }

  // A reporter, enabled and started as the engine does it.
  std::shared_ptr<APMSearchAdReporter> startReporter() {
    reporter_ = APMSearchAdReporter::initWithWorkerQueue(worker_, persistedConfig_);
    if (reporter_) {
      reporter_->setSearchAdReporterEnabled(true);
      reporter_->start();
      drain();
    }
    return reporter_;
  }
  // Lets `seconds` pass and waits for what they start.
  void pass(double seconds) {
    clock_->advance(seconds);
    drain();
  }

  os::testing::TestHTTPServer server_;
  std::shared_ptr<os::DispatchQueue> worker_;
  std::shared_ptr<APMSearchAdReporter> reporter_;
};

TEST_F(SearchAdReporterTest, AFirstStartAsksAtOnceAndLogsTheCampaign) {
  persistedConfig_->setFirstOpenTimestampMilliseconds(1'700'000'000'123);
  ASSERT_TRUE(startReporter());
  pass(0);
  ASSERT_EQ(server_.requestCount(), 1u);
  const auto request = server_.requests()[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.body, kAAAttributionDefaultToken);
  EXPECT_EQ(request.header("Content-Type"), "text/plain");
  EXPECT_EQ(request.header("cache-control"), "no-cache");

  const auto events = analytics_->events("_cmp");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].origin, "auto");
  EXPECT_EQ(stringParameter(events[0].parameters, "source"), "Apple");
  EXPECT_EQ(stringParameter(events[0].parameters, "medium"), "search");
  EXPECT_EQ(stringParameter(events[0].parameters, "campaign"), "542370539");
  EXPECT_EQ(stringParameter(events[0].parameters, "term"), "12323222");
  EXPECT_EQ(int64Parameter(events[0].parameters, "click_timestamp"), 1'700'000'000'122);
  EXPECT_TRUE(persistedConfig_->searchAdCampaignValue().boolValue());
  EXPECT_EQ(persistedConfig_->searchAdRetryCount(), 1);
  EXPECT_DOUBLE_EQ(persistedConfig_->lastSearchAdLookUpTimestamp(), clock_->wallTime());
  EXPECT_FALSE(reporter_->TEST_alarm());  // the search is over

  // Later starts make no reporter.
  EXPECT_FALSE(APMSearchAdReporter::initWithWorkerQueue(worker_, persistedConfig_));
  EXPECT_TRUE(logged(kAPMSearchAdCodeAlreadyReported));
}

TEST_F(SearchAdReporterTest, ASecondStartWithinTheDayWaitsOutTheDay) {
  persistedConfig_->setLastSearchAdLookUpTimestamp(clock_->wallTime() - 3600);
  persistedConfig_->setSearchAdRetryCount(1);
  ASSERT_TRUE(startReporter());
  pass(86'400 - 3600 - 1);
  EXPECT_EQ(server_.requestCount(), 0u);
  pass(1);
  EXPECT_EQ(server_.requestCount(), 1u);
  EXPECT_EQ(persistedConfig_->searchAdRetryCount(), 2);
}

TEST_F(SearchAdReporterTest, TheTestAnswerIsNotKeptAndANoIsKeptWithoutAnEvent) {
  server_.setResponses(kAPMSearchAdAttributionPath,
                       {os::testing::ScriptedResponse::ok(R"({"attribution":true,"adId":1234567890,"campaignId":"1234567890"})"),
                        os::testing::ScriptedResponse::ok(R"({"attribution":false})")});
  ASSERT_TRUE(startReporter());
  pass(0);
  EXPECT_TRUE(logged(kAPMSearchAdCodeTestData));
  EXPECT_TRUE(persistedConfig_->searchAdCampaignValue().isNull());
  ASSERT_TRUE(reporter_->TEST_alarm());
  EXPECT_TRUE(reporter_->TEST_alarm()->scheduledTimestamp());

  pass(86'400);
  EXPECT_EQ(server_.requestCount(), 2u);
  EXPECT_TRUE(persistedConfig_->searchAdCampaignValue().isNumber());
  EXPECT_FALSE(persistedConfig_->searchAdCampaignValue().boolValue());
  EXPECT_TRUE(analytics_->events().empty());
  clearLog();
  EXPECT_FALSE(APMSearchAdReporter::initWithWorkerQueue(worker_, persistedConfig_));
  EXPECT_TRUE(logged(kAPMSearchAdCodeAlreadyReported));
}

TEST_F(SearchAdReporterTest, FailuresWaitForTheNextDayUpToTenAttempts) {
  server_.setResponse(kAPMSearchAdAttributionPath, os::testing::ScriptedResponse::ok("not json"));
  persistedConfig_->setSearchAdRetryCount(8);
  ASSERT_TRUE(startReporter());
  pass(0);
  EXPECT_TRUE(logged(kAPMSearchAdCodeBadJSON));
  // The tenth attempt gets no token and ends the search.
  AAAttribution::TEST_setAnswer(os::fail(AAAttributionErrorDomain, AAAttributionErrorCodeNetworkError, "offline"));
  pass(86'400);
  EXPECT_TRUE(logged(kAPMSearchAdCodeTokenFailed));
  EXPECT_TRUE(logged(kAPMSearchAdCodeRetryLimit));
  EXPECT_EQ(persistedConfig_->searchAdRetryCount(), 10);
  EXPECT_FALSE(reporter_->TEST_alarm());
  EXPECT_EQ(server_.requestCount(), 1u);
  EXPECT_FALSE(APMSearchAdReporter::initWithWorkerQueue(worker_, persistedConfig_));
}

TEST_F(SearchAdReporterTest, AnUnknownFirstOpenLeavesOutTheClickTimestamp) {
  persistedConfig_->setFirstOpenTimestampMilliseconds(1);
  ASSERT_TRUE(startReporter());
  pass(0);
  const auto events = analytics_->events("_cmp");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_FALSE(events[0].parameters.contains("click_timestamp"));
  EXPECT_TRUE(logged(kAPMSearchAdCodeNoClickTimestamp));
}

TEST_F(SearchAdReporterTest, SwitchingOffLetsAnArmedAttemptRunOnceThenSchedulesNothing) {
  server_.setResponse(kAPMSearchAdAttributionPath, os::testing::ScriptedResponse::withStatus(500, "{}"));
  ASSERT_TRUE(startReporter());
  pass(0);  // the empty object waits for the next day
  ASSERT_EQ(server_.requestCount(), 1u);
  reporter_->setSearchAdReporterEnabled(false);
  pass(86'400);
  EXPECT_EQ(server_.requestCount(), 2u);
  ASSERT_TRUE(reporter_->TEST_alarm());
  EXPECT_FALSE(reporter_->TEST_alarm()->scheduledTimestamp());
  pass(86'400 * 2);
  EXPECT_EQ(server_.requestCount(), 2u);
}

TEST_F(SearchAdReporterTest, NoAttemptsWithoutTheFrameworkOrOnASimulator) {
  auto profile = os::DeviceProfile::current();
  profile.systemVersion = "14.2";
  os::DeviceProfile::setCurrent(profile);
  ASSERT_TRUE(startReporter());
  EXPECT_TRUE(logged(kAPMSearchAdCodeNotLinked));
  profile.systemVersion = "17.5";
  profile.isSimulator = true;
  os::DeviceProfile::setCurrent(profile);
  ASSERT_TRUE(startReporter());
  EXPECT_TRUE(logged(kAPMSearchAdCodeSimulator));
  pass(86'400);
  EXPECT_EQ(server_.requestCount(), 0u);
  EXPECT_EQ(persistedConfig_->searchAdRetryCount(), 0);
  EXPECT_FALSE(APMSearchAdReporter::initWithWorkerQueue(nullptr, persistedConfig_));
  EXPECT_TRUE(logged(kAPMSearchAdCodeNoQueue));
}

}  // namespace
