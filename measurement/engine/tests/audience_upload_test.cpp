#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "measurement/engine/audiences/tests/audience_test_support.h"
#include "measurement/engine/interface/analytics.h"
#include "measurement/engine/tests/upload_test_support.h"
#include "measurement/messages/field_access.h"

namespace {

using upload_test::UploadTest;

// AudienceLeafFilterResult and ResultData fields, by record index.
constexpr int32_t kResultAudienceID = 0;
constexpr int32_t kResultCurrentData = 1;
constexpr int32_t kResultPreviousData = 2;
constexpr int32_t kResultNewAudience = 3;

// A configuration from the configuration service defines an audience; the
// engine evaluates the events it bundles against it and reports the results
// in the uploaded bundles: a first report, then unchanged results without
// their previous data.
TEST_F(UploadTest, AnAudienceFromTheConfigurationServiceIsReportedInUploadedBundles) {
  namespace at = apm_audience_test;
  auto config = APMPBMeasurementConfig::initWithMessageInfo(nullptr);
  APMPBSetString(config.get(), 1, engine_test::kAppID);
  APMPBSetArray<APMPBSetting>(config.get(), 3, std::vector<std::shared_ptr<APMPBSetting>>{});
  APMPBSetArray<APMPBAudience>(config.get(), 5, {at::audience(7, {at::eventFilter(1, "user_engagement")})});
  server_.setResponse(std::string("/config/app/") + engine_test::kAppID,
                      os::testing::ScriptedResponse::ok(config->protoBuffer()->toString()));
  server_.setResponse("/a", os::testing::ScriptedResponse::withStatus(204));
  engine()->scheduler()->workerQueue()->sync([&] { engine()->fetchRemoteConfig(); });
  settle();

  auto results = [&](size_t upload) {
    const auto posts = uploads();
    EXPECT_GT(posts.size(), upload);
    std::vector<std::shared_ptr<APMPBAudienceLeafFilterResult>> found;
    if (posts.size() <= upload) return found;
    for (const auto& bundle : posts[upload].bundles) {
      for (auto& result : APMPBGetArray<APMPBAudienceLeafFilterResult>(bundle.get(), 28).value_or(
               std::vector<std::shared_ptr<APMPBAudienceLeafFilterResult>>{})) {
        found.push_back(result);
      }
    }
    return found;
  };

  for (int round = 0; round < 2; ++round) {
    clock_->advance(60);
    APMAnalytics::logInternalEventWithOriginNameParameters(kAPMAutoOrigin, "_e", {{"_et", os::Number::int64(1)}});
    settle();
    uploadNow();
  }
  const auto first = results(0);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(APMPBGetInt32(first[0].get(), kResultAudienceID), 7);
  EXPECT_TRUE(APMPBGetBool(first[0].get(), kResultNewAudience));
  EXPECT_TRUE(APMPBHasField(first[0].get(), kResultCurrentData));

  const auto later = results(uploads().size() - 1);
  ASSERT_EQ(later.size(), 1u);
  EXPECT_EQ(APMPBGetInt32(later[0].get(), kResultAudienceID), 7);
  EXPECT_FALSE(APMPBGetBool(later[0].get(), kResultNewAudience));
  EXPECT_FALSE(APMPBHasField(later[0].get(), kResultPreviousData));
}

}  // namespace
