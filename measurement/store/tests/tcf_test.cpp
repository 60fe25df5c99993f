#include "measurement/store/tcf.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/tests/test_support.h"
#include "os/foundation/user_defaults.h"

namespace {

// The analytics facade's two entries, recorded.
class RecordingAnalytics : public APMAnalyticsServices {
 public:
  struct Event {
    std::string origin, name;
    os::Dictionary parameters;
  };
  void setConsent(const os::Dictionary& consent, const std::string& key) override {
    std::lock_guard lock(mutex_);
    consents_.push_back({consent, key});
  }
  void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                  const os::Dictionary& parameters) override {
    std::lock_guard lock(mutex_);
    events_.push_back({origin, name, parameters});
  }
  void logInternalEventWithOrigin(const std::string& origin, const std::string& name, double,
                                  const os::Dictionary& parameters) override {
    std::lock_guard lock(mutex_);
    events_.push_back({origin, name, parameters});
  }
  void setInternalUserProperty(const os::Value&, const std::string&, const std::string&) override {}
  std::vector<std::pair<os::Dictionary, std::string>> consents() {
    std::lock_guard lock(mutex_);
    return consents_;
  }
  std::vector<Event> events() {
    std::lock_guard lock(mutex_);
    return events_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::pair<os::Dictionary, std::string>> consents_;  // guarded by mutex_
  std::vector<Event> events_;                                     // guarded by mutex_
};

const std::string kVendor755 = std::string(754, '0') + "1";

class TCFTest : public apm_test::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    APMAnalyticsServices::setSharedInstance(analytics_);
  }
  void TearDown() override {
    APMAnalyticsServices::setSharedInstance(nullptr);
    StoreTest::TearDown();
  }
  // What a consent-management platform writes.
  static void writeTCF(const os::Dictionary& values) {
    auto defaults = os::UserDefaults::standardUserDefaults();
    for (const auto& [key, value] : values) {
      if (value.isNull()) defaults->removeObjectForKey(key);
      else defaults->setObject(value, key);
    }
  }
  // Advertiser mode on, vendor 755 set, GDPR applying, policy 4, ten purposes.
  static os::Dictionary applyingData() {
    return {{"IABTCF_EnableAdvertiserConsentMode", os::Value(1)},
            {"IABTCF_VendorConsents", kVendor755},
            {"IABTCF_gdprApplies", os::Value(1)},
            {"IABTCF_PolicyVersion", os::Value(4)},
            {"IABTCF_CmpSdkID", os::Value(300)},
            {"IABTCF_PurposeConsents", "1111111111"}};
  }
  static os::Dictionary consent(const char* adStorage, const char* adPersonalization, const char* adUserData) {
    return {{"ad_storage", adStorage}, {"ad_personalization", adPersonalization}, {"ad_user_data", adUserData}};
  }

  std::shared_ptr<RecordingAnalytics> analytics_ = std::make_shared<RecordingAnalytics>();
};

TEST_F(TCFTest, NoDataAndNothingStoredCountsAsUnchanged) {
  APMTCFClient client;
  client.readTCFData();
  EXPECT_EQ(client.stringRepresentationFromTCFData(), "isTCFDataEnabled=1");
  EXPECT_TRUE(client.persistedValuesEqualCurrentData());
  client.setConsentFromTCFData();
  EXPECT_TRUE(analytics_->events().empty());
  EXPECT_TRUE(analytics_->consents().empty());
  EXPECT_EQ(client.userDefaults()->objectForKey(kAPMTCFStringRepresentationKey), os::Value());
}

TEST_F(TCFTest, SwitchedOffInInfoPlistLogsOnceAndStoresButAppliesNothing) {
  apm_test::TestBundle bundle;
  bundle.setInfo("DEVUVO_ANALYTICS_TCF_DATA_ENABLED", "<false/>");
  writeTCF(applyingData());
  APMTCFClient client;
  client.setIsDMARegion(false);
  client.setConsentFromTCFData();
  client.setConsentFromTCFData();  // unchanged: nothing more

  const auto events = analytics_->events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].origin, "auto");
  EXPECT_EQ(events[0].name, "_tcf");
  EXPECT_EQ(events[0].parameters, (os::Dictionary{{"_tcfd", "14I4a"}}));  // flags: GDPR 2 + advertiser mode 8
  EXPECT_TRUE(analytics_->consents().empty());
  auto& suite = *client.userDefaults();
  EXPECT_EQ(suite.objectForKey("DEVUVO_ANALYTICS_TCF_DATA_ENABLED"), os::Value(false));
  EXPECT_EQ(suite.objectForKey("IABTCF_CmpSdkID"), os::Value(300));
  EXPECT_EQ(suite.objectForKey("IABTCF_VendorConsents"), os::Value(kVendor755));
  EXPECT_EQ(suite.stringForKey("tcf_StringRepresentation"),
            "isTCFDataEnabled=0,isAdvertiserConsentModeEnabled=1,cmpSDKID=300,hasDevuvoInVendorConsents=1,"
            "gdprApplies=1,policyVersion=4,purposeConsents=1111111111");
}

TEST_F(TCFTest, PurposesDecideTheThreeConsentTypes) {
  struct Case {
    const char* name;
    os::Dictionary change;
    os::Dictionary expected;
  };
  const Case cases[] = {
      {"ten purposes, policy 4", {}, consent("granted", "granted", "granted")},
      {"policy 2 keeps ad user data out", {{"IABTCF_PolicyVersion", os::Value(2)}},
       consent("granted", "granted", "denied")},
      {"six purposes", {{"IABTCF_PolicyVersion", os::Value(4)}, {"IABTCF_PurposeConsents", "111111"}},
       consent("granted", "granted", "denied")},
      {"purpose 4 missing", {{"IABTCF_PurposeConsents", "1110111"}}, consent("granted", "denied", "granted")},
      {"purpose 1 missing", {{"IABTCF_PurposeConsents", "0111111"}}, consent("denied", "granted", "denied")},
      {"no purposes", {{"IABTCF_PurposeConsents", os::Value()}}, consent("denied", "denied", "denied")},
  };
  writeTCF(applyingData());
  APMTCFClient client;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeTCF(c.change);
    const size_t before = analytics_->consents().size();
    client.setConsentFromTCFData();
    const auto consents = analytics_->consents();
    ASSERT_EQ(consents.size(), before + 1);
    EXPECT_EQ(consents.back().first, c.expected);
    EXPECT_EQ(consents.back().second, "consent_settings_tcf");
  }
  EXPECT_EQ(analytics_->events().size(), std::size(cases));
}

TEST_F(TCFTest, DataThatStopsApplyingOnlyLogsAndStores) {
  struct Case {
    const char* name;
    os::Dictionary change;
  };
  const Case cases[] = {
      {"advertiser consent mode off", {{"IABTCF_EnableAdvertiserConsentMode", os::Value(0)}}},
      {"vendor 755 not set", {{"IABTCF_VendorConsents", std::string(754, '1') + "0"}}},
      {"vendor string too short", {{"IABTCF_VendorConsents", std::string(754, '1')}}},
      {"GDPR does not apply", {{"IABTCF_gdprApplies", os::Value(0)}}},
      {"GDPR flag of the wrong kind", {{"IABTCF_gdprApplies", "1"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    APMTCFClient client;
    client.clearPersistedValues();
    writeTCF(applyingData());
    writeTCF(c.change);
    const size_t consents = analytics_->consents().size(), events = analytics_->events().size();
    client.setConsentFromTCFData();
    EXPECT_FALSE(client.shouldApplyTCFData());
    EXPECT_EQ(analytics_->consents().size(), consents);
    EXPECT_EQ(analytics_->events().size(), events + 1);
  }
}

TEST_F(TCFTest, TheCopySurvivesARestartAndAChangeMadeMeanwhileIsNoticed) {
  writeTCF(applyingData());
  APMTCFClient().setConsentFromTCFData();
  APMTCFClient().setConsentFromTCFData();  // a new launch, nothing changed
  EXPECT_EQ(analytics_->events().size(), 1u);

  writeTCF({{"IABTCF_CmpSdkID", os::Value(301)}});
  APMTCFClient().setConsentFromTCFData();
  EXPECT_EQ(analytics_->events().size(), 2u);
  EXPECT_EQ(analytics_->consents().size(), 2u);

  // Removing every value after data was seen is a change too.
  writeTCF({{"IABTCF_EnableAdvertiserConsentMode", os::Value()}, {"IABTCF_VendorConsents", os::Value()},
            {"IABTCF_gdprApplies", os::Value()}, {"IABTCF_PolicyVersion", os::Value()},
            {"IABTCF_CmpSdkID", os::Value()}, {"IABTCF_PurposeConsents", os::Value()}});
  APMTCFClient client;
  client.setConsentFromTCFData();
  EXPECT_EQ(analytics_->events().size(), 3u);
  EXPECT_EQ(client.userDefaults()->objectForKey("IABTCF_CmpSdkID"), os::Value());
  EXPECT_EQ(client.userDefaults()->stringForKey("tcf_StringRepresentation"), "isTCFDataEnabled=1");
}

TEST_F(TCFTest, BundleParameterValue) {
  struct Case {
    os::Value cmp, policy;
    bool dma, gdpr, advertiser;
    const char* expected;
  };
  const Case cases[] = {
      {os::Value(300), os::Value(4), true, true, true, "14I4f"},
      {os::Value(5000), os::Value(70), true, true, true, "1000f"},
      {os::Value(4095), os::Value(63), false, false, false, "1___4"},
      {os::Value(-1), os::Value(-1), false, true, false, "10006"},
      {os::Value(), os::Value(), true, false, true, "1000d"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    writeTCF({{"IABTCF_CmpSdkID", c.cmp},
              {"IABTCF_PolicyVersion", c.policy},
              {"IABTCF_gdprApplies", os::Value(c.gdpr ? 1 : 0)},
              {"IABTCF_EnableAdvertiserConsentMode", os::Value(c.advertiser)}});
    APMTCFClient client;
    client.setIsDMARegion(c.dma);
    client.readTCFData();
    EXPECT_EQ(client.tcfBundleParameterValue(), c.expected);
  }
}

}  // namespace
