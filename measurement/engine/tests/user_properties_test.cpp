#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <string>
#include <vector>

#include "measurement/engine/sessions/user_properties.h"
#include "measurement/engine/tests/engine_test_support.h"
#include "measurement/store/consent_settings.h"
#include "measurement/store/identity.h"
#include "measurement/store/persisted_config.h"
#include "os/foundation/data.h"

namespace {

using engine_test::EngineTest;

class UserPropertiesTest : public EngineTest {
 protected:
  void set(const std::string& origin, const std::string& name, const APMValue& value) {
    engine()->setUserAttribute(APMUserAttribute::initWithOrigin(origin, name, value, 1'700'000'000));
    settle();
  }
  void set(const std::string& origin, const std::string& name, const std::string& value) {
    set(origin, name, *APMValue::initWithString(APMObject(os::Value(value))));
  }
  void remove(const std::string& name) {
    engine()->removeUserAttribute(APMUserAttribute::initWithOrigin("", name, APMValue::initWithDouble(0), 0));
    settle();
  }
  bool logged(int64_t code) {
    const auto all = codes();
    return std::find(all.begin(), all.end(), code) != all.end();
  }
  std::vector<int64_t> errorCodes() {
    std::vector<int64_t> found;
    for (const auto& event : loggedEvents()) {
      if (event.at("name") == os::Value("_err")) found.push_back(event.at("parameters")["_err"].int64Value());
    }
    return found;
  }
  // The token of an unchanged session: the same until the token is reset.
  std::optional<std::string> stitchingToken() {
    return engine()->identity()->sessionStitchingTokenWithSessionNumber(1, false, true);
  }
  os::Value npaDecision() {
    os::Value decision;
    engine()->scheduler()->workerQueue()->sync([&] { decision = engine()->shouldDisableAdPersonalization(); });
    return decision;
  }
  struct SessionAnswer {
    int64_t sessionID;
    std::optional<os::Error> error;
  };
  SessionAnswer sessionID() {
    std::promise<SessionAnswer> answer;
    engine()->sessionIDWithCompletion([&](int64_t id, std::optional<os::Error> error) {
      answer.set_value({id, std::move(error)});
    });
    return answer.get_future().get();
  }
};

TEST_F(UserPropertiesTest, OneOriginHoldsAtMost25NonPublicPropertiesAndReplacingIsNotLimited) {
  start();
  for (int i = 0; i < 25; ++i) set("zzd", "_p" + std::to_string(i), APMValue::initWithInt64(i));
  EXPECT_FALSE(logged(23084));
  EXPECT_TRUE(errorCodes().empty());

  set("zzd", "_p25", APMValue::initWithInt64(25));
  EXPECT_TRUE(userAttribute("_p25").isNull());
  EXPECT_TRUE(logged(23084));
  EXPECT_EQ(errorCodes(), std::vector<int64_t>{9});

  set("zzd", "_p3", APMValue::initWithInt64(33));
  EXPECT_EQ(userAttribute("_p3"), os::Value(os::Number::int64(33)));
  // Another origin has its own 25.
  set("vcm", "_q", APMValue::initWithInt64(1));
  EXPECT_EQ(userAttribute("_q"), os::Value(os::Number::int64(1)));

  std::promise<int> max;
  engine()->maxUserPropertiesForOrigin("zzd", [&](int count) { max.set_value(count); });
  EXPECT_EQ(max.get_future().get(), 25);
}

TEST_F(UserPropertiesTest, ANewUserIDDropsLairAndTheStitchingTokenTheSameOneKeepsThem) {
  start();
  set("app", "_id", "user-1");
  set("auto", "_lair", APMValue::initWithInt64(1));
  const auto token = stitchingToken();
  ASSERT_TRUE(token);

  set("app", "_id", "user-1");
  EXPECT_EQ(userAttribute("_lair"), os::Value(os::Number::int64(1)));
  EXPECT_EQ(stitchingToken(), token);

  set("app", "_id", "user-2");
  EXPECT_TRUE(userAttribute("_lair").isNull());
  EXPECT_EQ(userAttribute("_id"), os::Value("user-2"));
  const auto second = stitchingToken();
  EXPECT_NE(second, token);

  // "_lair" comes back once, only while a user ID is stored.
  engine()->scheduler()->workerQueue()->sync([&] { engine()->setLastAdvertisingIDResetUserPropertyOnWorkerQueue(); });
  EXPECT_EQ(userAttribute("_lair"), os::Value(os::Number::int64(1)));
  remove("_id");
  EXPECT_NE(stitchingToken(), second);
  remove("_lair");
  engine()->scheduler()->workerQueue()->sync([&] { engine()->setLastAdvertisingIDResetUserPropertyOnWorkerQueue(); });
  EXPECT_TRUE(userAttribute("_lair").isNull());
}

TEST_F(UserPropertiesTest, DisabledSetAndRemoveOnlyLogWhileReadsAnswer) {
  start();
  set("app", "mood", "calm");
  APMAnalytics::setAnalyticsEnabled(false);
  settle();
  sink_->clear();

  set("app", "colour", "red");
  remove("mood");
  EXPECT_EQ(codes(), (std::vector<int64_t>{23081, 23076}));
  EXPECT_TRUE(userAttribute("colour").isNull());

  std::promise<std::shared_ptr<APMUserAttribute>> read;
  engine()->userAttributeWithName("mood", [&](std::shared_ptr<APMUserAttribute> attribute) { read.set_value(attribute); });
  auto attribute = read.get_future().get();
  ASSERT_TRUE(attribute);
  EXPECT_EQ(attribute->value().value(), os::Value("calm"));
}

TEST_F(UserPropertiesTest, TheDictionaryHoldsStringsAndNumbersAndInternalNamesOnlyWhenAsked) {
  start();
  set("app", "mood", "calm");
  set("app", "ratio", APMValue::initWithDouble(0.5));
  set("auto", "_x", APMValue::initWithInt64(7));
  // A row whose value is neither a string nor a number.
  ASSERT_TRUE(engine()->database()->insertDataType(
      {{"origin", "app"}, {"name", "blob"}, {"value", os::Data::fromString("raw")}, {"set_timestamp", 1.0}},
      "user_attributes", nullptr));

  auto read = [&](bool includeInternal) {
    std::promise<os::Dictionary> answer;
    engine()->userPropertiesIncludingInternal(includeInternal, [&](os::Dictionary d) { answer.set_value(d); });
    return answer.get_future().get();
  };
  const os::Dictionary publicOnly = read(false);
  EXPECT_EQ(publicOnly.size(), 2u);
  EXPECT_EQ(publicOnly.at("mood"), os::Value("calm"));
  EXPECT_EQ(publicOnly.at("ratio"), os::Value(os::Number::float64(0.5)));
  const os::Dictionary all = read(true);
  EXPECT_EQ(all.at("_x"), os::Value(os::Number::int64(7)));
  EXPECT_FALSE(all.contains("blob"));
}

TEST_F(UserPropertiesTest, TheFirstSourceWithAValueDecidesAdPersonalization) {
  start();
  const os::Value disable(os::Number::int64(1)), allow(os::Number::int64(0)), none;
  const struct {
    const char* row;
    os::Value persisted;                    // allow_personalized_ads
    std::optional<std::string> consent;     // current "ad_personalization"
    os::Value plist;                        // Info.plist default
    std::optional<std::string> defaults;    // server default
    os::Value expected;
    bool plistFlag;
  } cases[] = {
      {"stored NO wins", os::Value(false), "granted", os::Value(true), "granted", disable, false},
      {"stored YES", os::Value(true), "denied", os::Value(), std::nullopt, allow, false},
      {"consent denied", os::Value(), "denied", os::Value(true), std::nullopt, disable, false},
      {"consent granted", os::Value(), "granted", os::Value(false), std::nullopt, allow, false},
      {"Info.plist string", os::Value(), std::nullopt, os::Value("DEVUVO_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS"),
       "denied", allow, false},
      {"Info.plist NO", os::Value(), std::nullopt, os::Value(false), "granted", disable, true},
      {"Info.plist YES", os::Value(), std::nullopt, os::Value(true), std::nullopt, allow, true},
      {"default Denied", os::Value(), std::nullopt, os::Value(), "Denied", disable, false},
      {"default granted", os::Value(), std::nullopt, os::Value(), "granted", allow, false},
      {"default of another kind", os::Value(), std::nullopt, os::Value(), "eu_consent_policy", none, false},
      {"nothing", os::Value(), std::nullopt, os::Value(), std::nullopt, none, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.row);
    APMConsentSettingsUtil::TEST_reset();
    APMPersistedConfig::sharedInstance()->setAllowPersonalizedAds(c.persisted);
    if (c.consent) APMConsentSettingsUtil::setConsentSettings(os::Dictionary{{"ad_personalization", *c.consent}});
    if (c.defaults) APMConsentSettingsUtil::setDefaultSettings(os::Dictionary{{"ad_personalization", *c.defaults}});
    writeBundle(c.plist.isNull() ? os::Dictionary{}
                                 : os::Dictionary{{"DEVUVO_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS", c.plist}});
    const bool flagBefore = engine()->foundAdPersonalizationPlistFlag();
    EXPECT_EQ(npaDecision(), c.expected);
    // The flag is never cleared: a string before any number leaves it unset.
    if (!flagBefore) {
      EXPECT_EQ(engine()->foundAdPersonalizationPlistFlag(), c.plistFlag);
    }
  }
  writeBundle({{"DEVUVO_ANALYTICS_REGISTRATION_WITH_AD_NETWORK_ENABLED", false}});
  EXPECT_FALSE(engine()->shouldAllowAdNetworkRegistration());
  writeBundle({{"DEVUVO_ANALYTICS_REGISTRATION_WITH_AD_NETWORK_ENABLED", "no"}});
  EXPECT_TRUE(engine()->shouldAllowAdNetworkRegistration());
}

TEST_F(UserPropertiesTest, TheSessionIDIsTheStoredOneUntilTheSessionExpires) {
  start();
  const os::Value stored = userAttribute("_sid");
  ASSERT_TRUE(stored.isNumber());  // the launch started a session
  SessionAnswer answer = sessionID();
  EXPECT_EQ(answer.sessionID, stored.int64Value());
  EXPECT_FALSE(answer.error);

  clock_->advance(engine()->sessionReporter()->timeoutSessionInterval() + 1);
  answer = sessionID();
  ASSERT_TRUE(answer.error);
  EXPECT_EQ(answer.error->code(), 13);
  EXPECT_EQ(answer.error->localizedDescription(), "Session expired");
  EXPECT_FALSE(userAttribute("_sid").isNull());

  APMAnalytics::setAnalyticsEnabled(false);
  settle();
  answer = sessionID();
  ASSERT_TRUE(answer.error);
  EXPECT_EQ(answer.error->localizedDescription(), "Analytics disabled");
}

}  // namespace
