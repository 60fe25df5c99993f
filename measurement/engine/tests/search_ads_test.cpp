// Search-ads attribution as the engine's start runs it: the reporter made
// and started with the components, its answer logged through the facade.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "measurement/engine/attribution/search_ad_reporter.h"
#include "measurement/engine/tests/engine_test_support.h"
#include "measurement/store/persisted_config.h"

namespace {

class SearchAdsStartTest : public engine_test::EngineTest {
 protected:
  void SetUp() override {
    online_ = true;
    EngineTest::SetUp();
  }
  size_t attributionRequests() {
    settle();
    const auto requests = server_.requests();
    return std::count_if(requests.begin(), requests.end(),
                         [](const auto& r) { return r.path == kAPMSearchAdAttributionPath; });
  }
  std::vector<os::Dictionary> campaigns() {
    std::vector<os::Dictionary> out;
    for (const auto& event : storedEvents()) {
      if (event.at("name") == os::Value("_cmp")) out.push_back(*event.at("parameters").dictionary());
    }
    return out;
  }
};

TEST_F(SearchAdsStartTest, AFirstStartAsksAtOnceAndLaterStartsMakeNoReporter) {
  server_.setResponse(kAPMSearchAdAttributionPath,
                      os::testing::ScriptedResponse::ok(R"({"attribution":true,"campaignId":542370539,"keywordId":"7"})"));
  start();
  EXPECT_EQ(attributionRequests(), 1u);
  const int64_t firstOpen = APMPersistedConfig::sharedInstance()->firstOpenTimestampMilliseconds();
  ASSERT_GT(firstOpen, 0);
  EXPECT_EQ(campaigns(), (std::vector<os::Dictionary>{{{"_o", "auto"},
                                                       {"source", "Apple"},
                                                       {"medium", "search"},
                                                       {"campaign", "542370539"},
                                                       {"term", "7"},
                                                       {"click_timestamp", os::Number::int64(firstOpen - 1)}}}));

  // The answer is kept: a later start, a day on, asks nothing.
  endLaunch();
  sink_->clear();
  clock_->advance(86'400);
  start();
  EXPECT_EQ(attributionRequests(), 1u);
  const auto logged = codes();
  EXPECT_EQ(std::count(logged.begin(), logged.end(), kAPMSearchAdCodeAlreadyReported), 1);
}

}  // namespace
