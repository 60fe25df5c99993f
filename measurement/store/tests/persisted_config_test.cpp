#include "measurement/store/persisted_config.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "measurement/store/tests/test_support.h"
#include "os/dispatch/manual_clock.h"

namespace {

class PersistedConfigTest : public apm_test::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    config_ = APMPersistedConfig::initWithSuiteName(kAPMPersistedConfigSuiteName);
    ASSERT_TRUE(config_);
  }
  void TearDown() override {
    config_.reset();
    StoreTest::TearDown();
  }
  // A new process: the configuration is made again from its file.
  void restart() {
    config_.reset();
    config_ = APMPersistedConfig::initWithSuiteName(kAPMPersistedConfigSuiteName);
    ASSERT_TRUE(config_);
  }

  os::ManualClockScope clock_;
  std::shared_ptr<APMPersistedConfig> config_;
};

TEST_F(PersistedConfigTest, AFreshInstallReadsNeutralValuesAndKeepsOneMidnightOffset) {
  APMPersistedConfig& c = *config_;
  const std::vector<std::pair<const char*, std::function<bool()>>> neutral = {
      {"lastDeleteStaleBundlesTimestamp", [&] { return c.lastDeleteStaleBundlesTimestamp() == 0.0; }},
      {"searchAdCampaignValue", [&] { return c.searchAdCampaignValue().isNull(); }},
      {"lastSearchAdLookUpTimestamp", [&] { return c.lastSearchAdLookUpTimestamp() == 0.0; }},
      {"searchAdRetryCount", [&] { return c.searchAdRetryCount() == 0; }},
      {"appInstanceID", [&] { return !c.appInstanceID(); }},
      {"appIDFromZEV", [&] { return !c.appIDFromZEV(); }},
      {"appIDFromRoZar", [&] { return !c.appIDFromRoZar(); }},
      {"hashedResettableDeviceID", [&] { return !c.hashedResettableDeviceID(); }},
      {"diversionKey", [&] { return !c.diversionKey(); }},
      {"measurementEnabledState", [&] { return c.measurementEnabledState() == 0; }},
      {"lastBackoffTimestamp", [&] { return c.lastBackoffTimestamp() == 0.0; }},
      {"lastSuccessfulUploadTimestamp", [&] { return c.lastSuccessfulUploadTimestamp() == 0.0; }},
      {"lastFailedUploadTimestamp", [&] { return c.lastFailedUploadTimestamp() == 0.0; }},
      {"appVersion", [&] { return !c.appVersion(); }},
      {"osVersion", [&] { return !c.osVersion(); }},
      {"lastMonitorDataSampledTimestamp", [&] { return c.lastMonitorDataSampledTimestamp() == 0.0; }},
      {"firstOpenTimestampMilliseconds", [&] { return c.firstOpenTimestampMilliseconds() == 0; }},
      {"configServerLastModifiedString", [&] { return c.configServerLastModifiedString().isNull(); }},
      {"configServerETag", [&] { return !c.configServerETag(); }},
      {"loadTimestampValue", [&] { return c.loadTimestampValue().isNull(); }},
      {"allowPersonalizedAds", [&] { return c.allowPersonalizedAds().isNull(); }},
      {"vivuzuvuFeatureRollouts", [&] { return !c.vivuzuvuFeatureRollouts(); }},
      {"deferredDeepLinkRetrievalComplete", [&] { return c.deferredDeepLinkRetrievalComplete().isNull(); }},
      {"deferredDeepLinkRetryCount", [&] { return c.deferredDeepLinkRetryCount() == 0; }},
      {"shouldSetLastAdvertisingIDResetUserProperty", [&] { return !c.shouldSetLastAdvertisingIDResetUserProperty(); }},
      {"unmatchedFirstOpenWithoutIDFA", [&] { return !c.unmatchedFirstOpenWithoutIDFA(); }},
      {"previousFirstOpenCount", [&] { return c.previousFirstOpenCount().isNull(); }},
      {"previousBundledConsentSignals", [&] { return !c.previousBundledConsentSignals(); }},
      {"adCampaignInfoBuffer", [&] { return c.adCampaignInfoBuffer().isNull(); }},
      {"lastSessionActivityClockTime", [&] { return c.lastSessionActivityClockTime() == 0.0; }},
      {"sessionNumber", [&] { return c.sessionNumber() == 0; }},
      {"defaultEventParameters", [&] { return !c.defaultEventParameters(); }},
      {"lastUploadedEventTimestampMillis", [&] { return c.lastUploadedEventTimestampMillis() == 0; }},
      {"SKANEvaluationEventTimeMillis", [&] { return c.SKANEvaluationEventTimeMillis() == 0; }},
      {"SKANEvaluationUpdateBackoffMillis", [&] { return c.SKANEvaluationUpdateBackoffMillis() == 0; }},
  };
  for (const auto& [name, isNeutral] : neutral) EXPECT_TRUE(isNeutral()) << name;

  // Drawn on the queue and stored there, without re-entering it.
  const double offset = config_->midnightOffset();
  EXPECT_GE(offset, 0.0);
  EXPECT_LT(offset, 86400.0);
  EXPECT_DOUBLE_EQ(offset * 1000, std::round(offset * 1000)) << "whole milliseconds";
  EXPECT_EQ(config_->midnightOffset(), offset);
  restart();
  EXPECT_EQ(config_->midnightOffset(), offset);
}

TEST_F(PersistedConfigTest, ValuesKeepTheirStoredFormsAndSurviveARestart) {
  config_->setShouldSetLastAdvertisingIDResetUserProperty(true);
  const os::Value flag = config_->numberForKey(kAPMShouldSetLastAdvertisingIDResetUserPropertyKey);
  ASSERT_TRUE(flag.isNumber());
  EXPECT_EQ(flag.number()->kind(), os::Number::Kind::Int64);
  EXPECT_EQ(flag.number()->int64Value(), 1);
  config_->setInt64(7, kAPMUnmatchedFirstOpenWithoutIDFAKey);
  EXPECT_TRUE(config_->unmatchedFirstOpenWithoutIDFA());

  config_->setSearchAdCampaignValue(os::Value("yes"));
  EXPECT_TRUE(config_->searchAdCampaignValue().isNull());
  config_->setSearchAdCampaignValue(os::Value(true));
  EXPECT_EQ(config_->searchAdCampaignValue(), os::Value(true));

  config_->setConfigServerLastModifiedString("Tue, 14 Nov 2023 22:13:20 GMT");
  config_->setDefaultEventParameters(os::Dictionary{{"level", os::Value(3)}});
  config_->setAdCampaignInfoBuffer(os::Value(os::Data::fromString("\x0a\x01x")));
  config_->setAppInstanceID("0123456789ABCDEF0123456789ABCDEF");
  config_->setSessionNumber(12);
  config_->setLastBackoffTimestamp(1700000000.5);
  config_->setMeasurementEnabledState(2);
  restart();
  EXPECT_EQ(config_->configServerLastModifiedString(), os::Value("Tue, 14 Nov 2023 22:13:20 GMT"));
  EXPECT_EQ(config_->defaultEventParameters(), (os::Dictionary{{"level", os::Value(3)}}));
  EXPECT_EQ(config_->adCampaignInfoBuffer(), os::Value(os::Data::fromString("\x0a\x01x")));
  EXPECT_EQ(config_->appInstanceID(), "0123456789ABCDEF0123456789ABCDEF");
  EXPECT_EQ(config_->sessionNumber(), 12);
  EXPECT_EQ(config_->lastBackoffTimestamp(), 1700000000.5);

  // The enabled state is not in the property list, so it outlives a clear.
  config_->clearValues();
  EXPECT_FALSE(config_->appInstanceID());
  EXPECT_EQ(config_->sessionNumber(), 0);
  EXPECT_EQ(config_->measurementEnabledState(), 2);
}

TEST_F(PersistedConfigTest, ABurstOfSettersLeavesOneSynchronisationASecondAfterTheLast) {
  for (int i = 0; i < 10; ++i) {
    config_->setSessionNumber(i);
    clock_->advance(0.1);
  }
  EXPECT_TRUE(config_->TEST_hasPendingSynchronize());
  clock_->advance(0.89);
  EXPECT_EQ(config_->TEST_synchronizeCount(), 0);
  clock_->advance(0.01);
  EXPECT_EQ(config_->TEST_synchronizeCount(), 1);
  EXPECT_FALSE(config_->TEST_hasPendingSynchronize());
  clock_->advance(5);
  EXPECT_EQ(config_->TEST_synchronizeCount(), 1);

  // These three store without a synchronisation of their own.
  config_->setLoadTimestampValue(os::Value(1.0));
  config_->setAllowPersonalizedAds(os::Value(false));
  config_->setDeferredDeepLinkRetrievalComplete(os::Value(true));
  EXPECT_FALSE(config_->TEST_hasPendingSynchronize());
  // On the main thread a synchronisation is moved off it.
  config_->synchronizeToDisk();
  EXPECT_EQ(config_->TEST_synchronizeCount(), 1);
  clock_->advance(1);
  EXPECT_EQ(config_->TEST_synchronizeCount(), 2);
}

}  // namespace
