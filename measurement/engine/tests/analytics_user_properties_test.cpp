#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <string>
#include <vector>

#include "measurement/engine/interface/analytics.h"
#include "measurement/engine/tests/engine_test_support.h"
#include "measurement/messages/field_access.h"
#include "measurement/messages/message_classes.h"
#include "measurement/store/consent_settings.h"
#include "measurement/store/identity.h"
#include "measurement/store/persisted_config.h"
#include "measurement/store/testing/sqlite_fault_vfs.h"

namespace {

using engine_test::EngineTest;

class FacadeUserPropertiesTest : public EngineTest {
 protected:
  // The "_err" events handed to the engine since the last call, as (code,
  // "_ev").
  std::vector<std::pair<int64_t, std::string>> takeErrorEvents() {
    std::vector<std::pair<int64_t, std::string>> found;
    const auto events = loggedEvents();
    for (size_t i = seenEvents_; i < events.size(); ++i) {
      if (events[i].at("name") != os::Value("_err")) continue;
      auto parameters = events[i].at("parameters");
      found.emplace_back(parameters["_err"].int64Value(), parameters["_ev"].stringValue());
    }
    seenEvents_ = events.size();
    return found;
  }
  size_t seenEvents_ = 0;
  std::vector<int64_t> takeCodes() {
    auto logged = codes();
    sink_->clear();
    return logged;
  }
  // A stored configuration with a server consent default, so that "_dcu"
  // may be logged.
  void storeConfigurationWithConsentDefaults() {
    auto config = APMPBMeasurementConfig::initWithMessageInfo(nullptr);
    APMPBSetInt64(config.get(), 0, 7);
    APMPBSetString(config.get(), 1, engine_test::kAppID);
    auto consent = APMPBConsentConfig::initWithMessageInfo(nullptr);
    auto entry = APMPBConsentDefaultEntry::initWithMessageInfo(nullptr);
    APMPBSetInt32(entry.get(), 0, 1);  // ad_storage
    APMPBSetInt32(entry.get(), 1, 1);  // granted
    APMPBSetArray(consent.get(), 0, std::vector{entry});
    APMPBSetMessage(config.get(), 12, consent.get());
    bool stored = false;
    engine()->scheduler()->workerQueue()->sync(
        [&] { stored = engine()->remoteConfigInstance()->updateMeasurementConfig(config); });
    ASSERT_TRUE(stored);
    ASSERT_FALSE(APMMeasurement::remoteConfig()->consentDefaults().empty());
  }
  // Starts the engine over a store whose file goes through the fault VFS.
  void startOverFaultVFS() {
    vfs_ = std::make_unique<apm_test::SqliteFaultVFS>();
    start();
  }
  // Stores a property, then requests a reset while every write of the store
  // fails, so that the wipe cannot make the store anew. Answers the app
  // instance ID the request chose, nullopt when the reset did not fail as
  // it must.
  std::optional<std::string> failReset() {
    APMAnalytics::setUserPropertyString(os::Value("calm"), "mood");
    EXPECT_EQ(userAttribute("mood"), os::Value("calm"));
    const auto before = engine()->identity()->appInstanceID();
    takeCodes();
    vfs_->failNthWriteOrSync(1, -1, "devuvo-app-measurement");
    APMAnalytics::resetAnalyticsData();
    settle();
    vfs_->disarm();
    EXPECT_TRUE(vfs_->hasFailed());
    const auto logged = takeCodes();
    for (int64_t code : {23209, 25037}) EXPECT_EQ(std::count(logged.begin(), logged.end(), code), 1) << code;
    EXPECT_EQ(std::count(logged.begin(), logged.end(), 23168), 0);
    EXPECT_EQ(APMAnalytics::resetRetryCount(), 1);
    EXPECT_TRUE(APMAnalytics::needFirstOpenAfterReset());
    const auto chosen = APMAnalytics::appInstanceIDAfterReset();
    EXPECT_TRUE(chosen && !chosen->empty());
    EXPECT_NE(chosen, before);
    if (::testing::Test::HasFailure() || !chosen || chosen->empty()) return std::nullopt;
    return chosen;
  }
  // Outlives the engine's connections: TearDown closes them first.
  std::unique_ptr<apm_test::SqliteFaultVFS> vfs_;
  size_t dcuEvents() {
    const auto events = loggedEvents();
    return std::count_if(events.begin(), events.end(), [](const os::Dictionary& event) {
      return event.at("name") == os::Value("_dcu") && event.at("origin") == os::Value("auto") &&
             event.at("parameters").dictionary()->at("_r") == os::Value(os::Number::int64(1));
    });
  }
};

TEST_F(FacadeUserPropertiesTest, PublicPropertiesAreValidatedBeforeTheyReachTheEngine) {
  start();
  const struct {
    std::string name;
    os::Value value;
    os::Value stored;  // null: nothing stored
    std::vector<std::pair<int64_t, std::string>> errors;
    std::vector<int64_t> codes;
  } cases[] = {
      {"mood", os::Value("calm"), os::Value("calm"), {}, {}},
      {"mood", os::Value(std::string(36, 'v')), os::Value(std::string(36, 'v')), {}, {}},
      {"mood", os::Value(std::string(37, 'v')), os::Value(std::string(36, 'v')), {{7, "mood"}}, {}},
      {"empty", os::Value(""), os::Value(), {}, {}},
      {"first_open_time", os::Value("x"), os::Value(), {{15, "first_open_time"}}, {}},
      {"1bad", os::Value("x"), os::Value(), {{6, "1bad"}}, {}},
      {"count", os::Value(os::Number::int64(3)), os::Value(), {}, {25003}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name + " = " + c.value.description());
    takeCodes();
    APMAnalytics::setUserPropertyString(c.value, c.name);
    EXPECT_EQ(userAttribute(c.name), c.stored);
    EXPECT_EQ(takeErrorEvents(), c.errors);
    const auto logged = takeCodes();
    for (int64_t code : c.codes) EXPECT_NE(std::find(logged.begin(), logged.end(), code), logged.end());
  }
  EXPECT_EQ(engine()->database()->userAttributeWithName("mood", nullptr)->origin(), "app");

  // A nil value removes; numbers keep their kind and come from "auto".
  APMAnalytics::setUserPropertyString(os::Value(), "mood");
  EXPECT_TRUE(userAttribute("mood").isNull());
  APMAnalytics::setUserAttributeNumber(os::Value(os::Number::float64(1.5)), "ratio");
  APMAnalytics::setUserAttributeNumber(os::Value(os::Number::int32(4)), "level");
  EXPECT_EQ(userAttribute("ratio"), os::Value(os::Number::float64(1.5)));
  EXPECT_EQ(userAttribute("level"), os::Value(os::Number::int64(4)));
  EXPECT_EQ(engine()->database()->userAttributeWithName("level", nullptr)->origin(), "auto");
}

TEST_F(FacadeUserPropertiesTest, AtMost100PublicPropertiesAreStoredAndTheyTakeNoNonPublicRoom) {
  start();
  auto publicCount = [&] {
    settle();
    return engine()->database()->publicUserAttributeCount(nullptr);
  };
  // Strings are stored from "app", numbers from "auto": one limit for both.
  for (int i = 0; i < 70; ++i) {
    APMAnalytics::setUserPropertyString(os::Value("v" + std::to_string(i)), "p" + std::to_string(i));
  }
  for (int i = 70; i < 100; ++i) {
    APMAnalytics::setUserAttributeNumber(os::Value(os::Number::int64(i)), "p" + std::to_string(i));
  }
  EXPECT_EQ(publicCount(), 100);
  EXPECT_TRUE(takeErrorEvents().empty());
  takeCodes();

  // The 101st: refused with its line and the "_err" event 9.
  APMAnalytics::setUserPropertyString(os::Value("late"), "p100");
  EXPECT_TRUE(userAttribute("p100").isNull());
  EXPECT_EQ(takeErrorEvents(), (std::vector<std::pair<int64_t, std::string>>{{9, ""}}));
  const auto logged = takeCodes();
  EXPECT_EQ(std::count(logged.begin(), logged.end(), 23084), 1);
  EXPECT_EQ(publicCount(), 100);

  // A stored one changes; one removed makes room for a new one.
  APMAnalytics::setUserPropertyString(os::Value("changed"), "p7");
  EXPECT_EQ(userAttribute("p7"), os::Value("changed"));
  APMAnalytics::setUserPropertyString(os::Value(), "p8");
  APMAnalytics::setUserPropertyString(os::Value("late"), "p100");
  EXPECT_EQ(userAttribute("p100"), os::Value("late"));
  EXPECT_TRUE(takeErrorEvents().empty());

  // The per-origin count of non-public properties took public ones too: 25
  // of the app's refused the user ID, and the engine's own "auto" ones.
  APMAnalytics::setUserID(os::Value("user-1"));
  EXPECT_EQ(userAttribute("_id"), os::Value("user-1"));
  onWorker([](APMMeasurement& engine) { engine.setLastAdvertisingIDResetUserPropertyOnWorkerQueue(); });
  EXPECT_EQ(userAttribute("_lair"), os::Value(os::Number::int64(1)));
  EXPECT_TRUE(takeErrorEvents().empty());
}

TEST_F(FacadeUserPropertiesTest, TheUserIDIsAStringAndNilRemovesItWithLair) {
  start();
  APMAnalytics::setUserID(os::Value("user-1"));
  engine()->setUserAttribute(APMUserAttribute::initWithOrigin("auto", "_lair", APMValue::initWithInt64(1), 1));
  EXPECT_EQ(userAttribute("_id"), os::Value("user-1"));
  EXPECT_FALSE(userAttribute("_lair").isNull());

  takeCodes();
  APMAnalytics::setUserID(os::Value(os::Number::int64(42)));
  EXPECT_EQ(userAttribute("_id"), os::Value("user-1"));
  EXPECT_EQ(takeCodes(), std::vector<int64_t>{25004});

  APMAnalytics::setUserID(os::Value());
  EXPECT_TRUE(userAttribute("_id").isNull());
  EXPECT_TRUE(userAttribute("_lair").isNull());
}

TEST_F(FacadeUserPropertiesTest, PersonalizedAdsChoiceIsStoredAndDrivesNPA) {
  start();
  APMAnalytics::setUserPropertyString(os::Value("NO"), "allow_personalized_ads");
  settle();
  EXPECT_EQ(APMPersistedConfig::sharedInstance()->allowPersonalizedAds(), os::Value(false));
  EXPECT_EQ(userAttribute("_npa"), os::Value(os::Number::int64(1)));

  APMAnalytics::setUserPropertyString(os::Value("yes"), "allow_personalized_ads");
  EXPECT_EQ(userAttribute("_npa"), os::Value(os::Number::int64(0)));

  // Nil forgets the choice; with no other source "_npa" goes.
  APMAnalytics::setUserPropertyString(os::Value(), "allow_personalized_ads");
  EXPECT_TRUE(userAttribute("_npa").isNull());
  EXPECT_TRUE(APMPersistedConfig::sharedInstance()->allowPersonalizedAds().isNull());
}

TEST_F(FacadeUserPropertiesTest, ConsentKeepsValidValuesAndTheHigherPrioritySource) {
  start();
  takeCodes();
  // Nothing valid is left: both lines, and no change.
  APMAnalytics::setConsentForKey({{"ad_storage", "maybe"}}, "consent_settings");
  EXPECT_EQ(takeCodes(), (std::vector<int64_t>{25042, 25041}));
  EXPECT_EQ(APMConsentSettingsUtil::consentSettings(), std::nullopt);
  EXPECT_EQ(APMAnalytics::persistedConsentSource(), 100);

  APMAnalytics::setConsentForKey({{"ad_storage", "denied"}}, "consent_settings_tcf");
  EXPECT_EQ(APMConsentSettingsUtil::consentSource(), 5);
  EXPECT_EQ(APMAnalytics::consentSettingsTCF(), (os::Dictionary{{"ad_storage", "denied"}}));

  // Third-party consent ranks with TCF consent: merged and kept under its key.
  APMAnalytics::setConsentForKey({{"analytics_storage", "granted"}, {"colour", "blue"}}, "consent_settings_3p");
  const os::Dictionary merged{{"ad_storage", "denied"}, {"analytics_storage", "granted"}};
  EXPECT_EQ(APMConsentSettingsUtil::consentSettings(), merged);
  EXPECT_EQ(APMConsentSettingsUtil::consentSource(), 10);
  EXPECT_EQ(APMAnalytics::consentSettings3P(), merged);
  EXPECT_EQ(APMAnalytics::persistedConsentSource(), 10);

  takeCodes();
  APMAnalytics::setConsentForKey({{"ad_storage", "granted"}}, "consent_settings");
  EXPECT_EQ(takeCodes(), std::vector<int64_t>{25043});
  EXPECT_EQ(APMConsentSettingsUtil::consentSettings(), merged);

  // A new process reloads the third-party consent with a source of at most 20.
  APMConsentSettingsUtil::TEST_reset();
  APMAnalytics::suite()->removeObjectForKey("consent_settings_tcf");
  APMAnalytics::loadPersistedConsentSettings();
  EXPECT_EQ(APMConsentSettingsUtil::consentSettings(), merged);
  EXPECT_EQ(APMConsentSettingsUtil::consentSource(), 10);
  APMConsentSettingsUtil::TEST_reset();
  APMAnalytics::suite()->setObject(os::Value(os::Number::int64(30)), "consent_source");
  APMAnalytics::loadPersistedConsentSettings();
  EXPECT_EQ(APMConsentSettingsUtil::consentSource(), 20);

  APMAnalytics::clearConsent();
  EXPECT_EQ(APMConsentSettingsUtil::consentSource(), 100);
  EXPECT_EQ(APMAnalytics::consentSettings3P(), std::nullopt);
  EXPECT_EQ(APMAnalytics::persistedConsentSource(), 100);
}

TEST_F(FacadeUserPropertiesTest, AChangeOfAdUserDataConsentLogsDCU) {
  start();
  storeConfigurationWithConsentDefaults();
  APMAnalytics::setConsent({{"ad_user_data", "denied"}});
  EXPECT_EQ(dcuEvents(), 1u);
  APMAnalytics::setConsent({{"ad_user_data", "denied"}, {"ad_storage", "granted"}});
  EXPECT_EQ(dcuEvents(), 1u);  // unchanged
  APMAnalytics::setConsent({{"ad_user_data", "granted"}});
  EXPECT_EQ(dcuEvents(), 2u);
}

TEST_F(FacadeUserPropertiesTest, AFailedResetKeepsItsKeysAndTheIDIsHiddenWhileStorageIsDenied) {
  startOverFaultVFS();
  const auto chosen = failReset();
  ASSERT_TRUE(chosen);
  EXPECT_EQ(APMAnalytics::appInstanceID(), chosen);

  APMAnalytics::setConsentForKey({{"analytics_storage", "denied"}}, "consent_settings");
  EXPECT_EQ(APMAnalytics::appInstanceID(), std::nullopt);
  APMAnalytics::setConsentForKey({{"analytics_storage", "granted"}}, "consent_settings");
  EXPECT_EQ(APMAnalytics::appInstanceID(), chosen);

  // With the disk back the next request completes: the store is made anew
  // and the bookkeeping of both requests goes, but the first open, which the
  // engine's next start reports.
  takeCodes();
  APMAnalytics::resetAnalyticsData();
  settle();
  const auto logged = takeCodes();
  EXPECT_EQ(std::count(logged.begin(), logged.end(), 23168), 1);
  EXPECT_EQ(std::count(logged.begin(), logged.end(), 25037), 0);
  EXPECT_FALSE(APMAnalytics::suite()->objectForKey("reset_retry_count").isNumber());
  EXPECT_EQ(APMAnalytics::appInstanceIDAfterReset(), std::nullopt);
  EXPECT_TRUE(APMAnalytics::needFirstOpenAfterReset());
  const auto current = APMAnalytics::appInstanceID();
  ASSERT_TRUE(current && !current->empty());
  EXPECT_NE(current, chosen);
  EXPECT_TRUE(userAttribute("mood").isNull());
  APMAnalytics::setUserPropertyString(os::Value("bright"), "mood");
  EXPECT_EQ(userAttribute("mood"), os::Value("bright"));
}

TEST_F(FacadeUserPropertiesTest, TheNextStartFinishesAFailedReset) {
  startOverFaultVFS();
  const auto chosen = failReset();
  ASSERT_TRUE(chosen);

  // A later launch over the same sandbox.
  endLaunch();
  sink_->clear();
  start();
  const auto logged = codes();
  EXPECT_EQ(std::count(logged.begin(), logged.end(), 23171), 1);  // the wipe
  EXPECT_EQ(std::count(logged.begin(), logged.end(), 23208), 0);
  EXPECT_FALSE(APMAnalytics::suite()->objectForKey("reset_retry_count").isNumber());
  EXPECT_EQ(APMAnalytics::appInstanceIDAfterReset(), std::nullopt);
  EXPECT_FALSE(APMAnalytics::needFirstOpenAfterReset());
  EXPECT_EQ(engine()->identity()->appInstanceID(), chosen);
  EXPECT_EQ(APMAnalytics::appInstanceID(), chosen);
  EXPECT_TRUE(userAttribute("mood").isNull());
  const auto events = storedEvents();
  EXPECT_TRUE(std::any_of(events.begin(), events.end(),
                          [](const os::Dictionary& event) { return event.at("name") == os::Value("_f"); }));
}

TEST_F(FacadeUserPropertiesTest, QueriesAnswerOnTheGivenQueueAndRefuseBadArguments) {
  start();
  APMAnalytics::setUserPropertyString(os::Value("calm"), "mood");
  auto queue = os::DispatchQueue::serial("test.answers");
  auto query = [&] {
    std::promise<std::pair<os::Dictionary, std::string>> answer;
    APMAnalytics::userPropertiesIncludingInternal(false, queue, [&](os::Dictionary properties) {
      answer.set_value({properties, os::DispatchQueue::currentLabel()});
    });
    return answer.get_future().get();
  };
  auto [properties, label] = query();
  EXPECT_EQ(properties, (os::Dictionary{{"mood", "calm"}}));
  EXPECT_EQ(label, "test.answers");

  APMAnalytics::setAnalyticsEnabled(false);
  settle();
  // Silent levels: the lines show in the sampled record only.
  takeSampledLine();
  EXPECT_TRUE(query().first.empty());
  EXPECT_NE(takeSampledLine().find("Cannot query for public user properties when Analytics is disabled"),
            std::string::npos);

  auto analytics = APMAnalytics::sharedInstance();
  auto ignore = [](int) {};
  analytics->maxUserPropertiesForOrigin("", queue, ignore);
  EXPECT_NE(takeSampledLine().find("Origin must be a non-empty string"), std::string::npos);
  analytics->maxUserPropertiesForOrigin("zzd", nullptr, ignore);
  EXPECT_NE(takeSampledLine().find("Queue cannot be nil. Origin"), std::string::npos);
  analytics->maxUserPropertiesForOrigin("zzd", queue, nullptr);
  EXPECT_NE(takeSampledLine().find("MaxUserProperties callback cannot be nil. Origin"), std::string::npos);
}

}  // namespace
