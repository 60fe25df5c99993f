#include "measurement/store/consent_settings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "measurement/store/tests/test_support.h"

namespace {

using Util = APMConsentSettingsUtil;

class ConsentSettingsTest : public apm_test::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    Util::TEST_reset();
  }
  void TearDown() override {
    Util::TEST_reset();
    StoreTest::TearDown();
  }
};

TEST_F(ConsentSettingsTest, NothingSetAnswersNeutrally) {
  EXPECT_EQ(Util::consentSignals(), "G1--");
  EXPECT_EQ(Util::consentDiagnostics(), "19999");
  EXPECT_FALSE(Util::isAdStorageDenied());
  EXPECT_FALSE(Util::isAnalyticsStorageDenied());
  EXPECT_FALSE(Util::isAdUserDataDenied());
  EXPECT_EQ(Util::adPersonalization(), std::nullopt);
  EXPECT_EQ(Util::consentSource(), 100);
  EXPECT_EQ(Util::version(), 1);
  EXPECT_EQ(Util::description(), "ad_storage is granted. analytics_storage is granted.");
}

TEST_F(ConsentSettingsTest, LowerSourcesWinAndFiveAndTenAreOneLevel) {
  struct Case {
    int64_t current, candidate;
    bool taken;
  };
  const Case cases[] = {{5, 10, true},  {5, 20, false}, {10, 5, true},   {30, 30, true},
                        {30, 40, false}, {40, 30, true}, {100, 40, true}, {20, 10, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.current) + " <- " + std::to_string(c.candidate));
    Util::setConsentSource(c.current);
    EXPECT_EQ(Util::isConsentSourceHigherPriority(c.candidate), c.taken);
  }
  Util::setConsentSource(5);
  EXPECT_TRUE(Util::isConsentSourceEqualPriority(10));
  EXPECT_FALSE(Util::isConsentSourceEqualPriority(20));
}

TEST_F(ConsentSettingsTest, AdUserDataFollowsItsDelegateThenItsDefault) {
  struct Case {
    const char* name;
    os::Dictionary current;
    std::optional<os::Dictionary> defaults;
    bool denied;
  };
  const Case cases[] = {
      {"delegate denied", {{"ad_storage", "denied"}}, os::Dictionary{{"ad_user_data", "granted"}}, true},
      {"delegate granted beats a denied default", {{"ad_storage", "granted"}}, os::Dictionary{{"ad_user_data", "denied"}},
       false},
      {"delegate unset, default denied", {}, os::Dictionary{{"ad_user_data", "denied"}}, true},
      {"delegate unset, default granted", {}, os::Dictionary{{"ad_user_data", "granted"}}, false},
      {"own value wins", {{"ad_user_data", "granted"}, {"ad_storage", "denied"}}, std::nullopt, false},
  };
  Util::setDelegatedSettings(os::Dictionary{{"ad_user_data", "ad_storage"}});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Util::setConsentSettings(c.current);
    Util::setDefaultSettings(c.defaults);
    EXPECT_EQ(Util::isAdUserDataDenied(), c.denied);
  }
  Util::setConsentSettings(os::Dictionary{});
  Util::setDefaultSettings(os::Dictionary{{"ad_storage", "denied"}, {"ad_personalization", "granted"}});
  // ad_user_data delegated, ad_personalization defaulted; storage types never count a default.
  EXPECT_EQ(Util::consentDiagnostics(), "19921");
}

TEST_F(ConsentSettingsTest, EUConsentPolicyDefersToTheRegionalDefault) {
  Util::updateSettings({{"ad_user_data", "eu_consent_policy"}, {"ad_personalization", "EU_Consent_Policy"}}, 30);
  EXPECT_TRUE(Util::isAdUserDataDenied());
  EXPECT_EQ(Util::adPersonalization(), 0);
  EXPECT_EQ(Util::description(),
            "ad_storage is granted. analytics_storage is granted. ad_user_data is denied (eu_consent_policy). "
            "ad_personalization is denied (eu_consent_policy).");

  Util::setRegionalDefaults(os::Dictionary{{"ad_user_data", "granted"}, {"ad_personalization", "granted"}});
  EXPECT_FALSE(Util::isAdUserDataDenied());
  EXPECT_EQ(Util::adPersonalization(), 1);
  EXPECT_EQ(Util::consentDiagnostics(), "19988");

  // Under the storage types it is no answer at all.
  Util::updateSettings({{"ad_storage", "eu_consent_policy"}});
  EXPECT_FALSE(Util::isAdStorageDenied());
  EXPECT_EQ(Util::consentSignals(), "G1--");
}

TEST_F(ConsentSettingsTest, ValuesCompareWithoutLetterCaseAndNonStringsNeverMatch) {
  Util::setConsentSettings(os::Dictionary{{"ad_storage", "Denied"}, {"analytics_storage", "GRANTED"}});
  EXPECT_TRUE(Util::isAdStorageDenied());
  EXPECT_EQ(Util::consentSignals(), "G101");

  Util::setConsentSettings(os::Dictionary{{"ad_storage", os::Value(0)}, {"ad_personalization", os::Value(false)}});
  EXPECT_FALSE(Util::isAdStorageDenied());
  EXPECT_EQ(Util::adPersonalization(), std::nullopt);
  EXPECT_EQ(Util::consentSignals(), "G1--");
}

TEST_F(ConsentSettingsTest, MergesRecordTheSourceDigitOnceDiagnosticsExist) {
  // A new process has no diagnostics yet: a merge records nothing.
  Util::updateSettings({{"ad_storage", "granted"}}, 30);
  EXPECT_EQ(Util::consentDiagnostics(), "10999");
  EXPECT_EQ(Util::consentSource(), 30);

  const std::pair<int64_t, char> digits[] = {{5, '7'}, {10, '5'}, {20, '3'}, {30, '5'}, {40, '4'}, {100, '0'}, {7, '0'}};
  for (const auto& [source, digit] : digits) {
    SCOPED_TRACE(source);
    Util::clearAllSettings();
    Util::updateSettings({{"analytics_storage", "denied"}}, source);
    EXPECT_EQ(Util::consentDiagnostics(), std::string("19") + digit + "99");
    EXPECT_EQ(Util::consentSource(), source);
  }

  // A merge without a source keeps source and digits; a new source re-reads every set type.
  Util::clearAllSettings();
  Util::updateSettings({{"ad_storage", "denied"}}, 20);
  Util::updateSettings({{"analytics_storage", "granted"}});
  EXPECT_EQ(Util::consentSource(), 20);
  EXPECT_EQ(Util::consentDiagnostics(), "13099");
  Util::setConsentSource(40);
  EXPECT_EQ(Util::consentDiagnostics(), "14499");
  EXPECT_EQ(Util::consentSettings(), (os::Dictionary{{"ad_storage", "denied"}, {"analytics_storage", "granted"}}));

  Util::setDiagnosticSource(6, "ad_storage");
  EXPECT_EQ(Util::consentDiagnostics(), "16499");
}

TEST_F(ConsentSettingsTest, ReplacingClearingAndVersion) {
  Util::updateSettings({{"ad_personalization", "granted"}, {"ad_storage", "denied"}}, 30);
  Util::setConsentSource(30);
  Util::unsetAdPersonalization();
  EXPECT_EQ(Util::consentSettings(), (os::Dictionary{{"ad_storage", "denied"}}));
  EXPECT_EQ(Util::adPersonalization(), std::nullopt);

  Util::setConsentSettings(std::nullopt);
  EXPECT_EQ(Util::consentSource(), 100);
  EXPECT_EQ(Util::consentSettings(), std::nullopt);
  EXPECT_EQ(Util::consentDiagnostics(), "19999");

  const std::pair<int64_t, int64_t> versions[] = {{2, 2}, {3, 2}, {0, 2}, {1, 1}};
  for (const auto& [set, expected] : versions) {
    SCOPED_TRACE(set);
    Util::setVersion(set);
    EXPECT_EQ(Util::version(), expected);
  }

  Util::setVersion(2);
  Util::setDefaultSettings(os::Dictionary{{"ad_user_data", "denied"}});
  Util::setRegionalDefaults(os::Dictionary{{"ad_user_data", "denied"}});
  Util::updateSettings({{"ad_storage", "granted"}}, 10);
  Util::clearAllSettings();
  EXPECT_EQ(Util::consentSource(), 100);
  EXPECT_EQ(Util::defaultSettings(), std::nullopt);
  EXPECT_EQ(Util::regionalDefaults(), std::nullopt);
  EXPECT_EQ(Util::consentSettings(), std::nullopt);
  EXPECT_EQ(Util::version(), 2);

  bool before = Util::isAdUserDataDenied();
  EXPECT_FALSE(Util::didAdUserDataConsentChange(before));
  Util::updateSettings({{"ad_user_data", "denied"}});
  EXPECT_TRUE(Util::didAdUserDataConsentChange(before));
}

TEST_F(ConsentSettingsTest, InfoPlistDefaults) {
  struct Case {
    const char* key;
    const char* plistValue;
    const char* type;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {kAPMInfoPlistDefaultAllowAdStorageKey, "<true/>", "ad_storage", "granted"},
      {kAPMInfoPlistDefaultAllowAdStorageKey, "<integer>0</integer>", "ad_storage", "denied"},
      {kAPMInfoPlistDefaultAllowAdStorageKey, "<string>eu_consent_policy</string>", "ad_storage", "denied"},
      {kAPMInfoPlistDefaultAllowAdStorageKey, "<date>2020-01-01T00:00:00Z</date>", "ad_storage", std::nullopt},
      {kAPMInfoPlistDefaultAllowAnalyticsStorageKey, "<string>  -007</string>", "analytics_storage", "granted"},
      {kAPMInfoPlistDefaultAllowAnalyticsStorageKey, "<string>Yes</string>", "analytics_storage", "granted"},
      {kAPMInfoPlistDefaultAllowAnalyticsStorageKey, "<string>+-1</string>", "analytics_storage", "denied"},
      {kAPMInfoPlistDefaultAllowAdUserDataKey, "<string>EU_CONSENT_POLICY</string>", "ad_user_data",
       "eu_consent_policy"},
      {kAPMInfoPlistDefaultAllowAdUserDataKey, "<real>0.5</real>", "ad_user_data", "granted"},
      {kAPMInfoPlistDefaultAllowAdPersonalizationSignalsKey, "<false/>", "ad_personalization", std::nullopt},
      {kAPMInfoPlistDefaultAllowAdPersonalizationSignalsKey, "<true/>", "ad_personalization", std::nullopt},
      {kAPMInfoPlistDefaultAllowAdPersonalizationSignalsKey, "<string>NO</string>", "ad_personalization", "denied"},
      {kAPMInfoPlistDefaultAllowAdPersonalizationSignalsKey, "<string>true</string>", "ad_personalization",
       "granted"},
      {kAPMInfoPlistDefaultAllowAdPersonalizationSignalsKey, "<string>eu_consent_policy</string>",
       "ad_personalization", "eu_consent_policy"},
  };
  apm_test::TestBundle bundle;
  EXPECT_EQ(Util::consentSettingsFromPlist(), os::Dictionary{});
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " " + c.plistValue);
    bundle.setInfo(c.key, c.plistValue);
    os::Dictionary expected;
    if (c.expected) expected[c.type] = os::Value(*c.expected);
    EXPECT_EQ(Util::consentSettingsFromPlist(), expected);
  }
}

TEST(ConsentSettingsConversionsTest, DictionaryFilterAndConfigurationCodes) {
  EXPECT_EQ(Util::consentSettingsFromDictionary({{"ad_storage", "granted"},
                                                 {"analytics_storage", os::Value(3)},
                                                 {"ad_user_data", "maybe"},
                                                 {"ad_personalization", "denied"},
                                                 {"other", "granted"}}),
            (os::Dictionary{{"ad_storage", "granted"},
                            {"analytics_storage", os::Value(3)},
                            {"ad_user_data", "maybe"},
                            {"ad_personalization", "denied"}}));
  const std::vector<std::optional<std::string>> types = {std::nullopt,          "ad_storage",  "analytics_storage",
                                                         "ad_user_data",        "ad_personalization", std::nullopt};
  for (int64_t code = 0; code < 6; ++code) EXPECT_EQ(Util::consentTypeForCode(code), types[code]) << code;
  EXPECT_EQ(Util::consentStatusForCode(0), std::nullopt);
  EXPECT_EQ(Util::consentStatusForCode(1), "granted");
  EXPECT_EQ(Util::consentStatusForCode(2), "denied");
  EXPECT_EQ(Util::consentStatusForCode(3), std::nullopt);
}

// Writers from many threads at once: every merge lands, and each thread sees
// its own write once its call has returned.
TEST_F(ConsentSettingsTest, WritesFromManyThreadsAreAllKeptInOrder) {
  constexpr int kThreads = 8, kWrites = 50;
  std::vector<std::thread> threads;
  std::atomic<int> misses{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &misses] {
      for (int i = 0; i < kWrites; ++i) {
        const std::string key = "key" + std::to_string(t);
        Util::updateSettings({{key, os::Value(int64_t(i))}}, 30);
        auto settings = Util::consentSettings();
        if (!settings || settings->at(key) != os::Value(int64_t(i))) ++misses;
        (void)Util::consentDiagnostics();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(misses.load(), 0);
  const auto settings = Util::consentSettings();
  ASSERT_TRUE(settings);
  EXPECT_EQ(settings->size(), size_t(kThreads));
}

}  // namespace
