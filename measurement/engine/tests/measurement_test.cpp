#include "measurement/engine/core/measurement.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "measurement/engine/tests/engine_test_support.h"
#include "measurement/store/consent_settings.h"
#include "measurement/store/identity.h"
#include "measurement/store/persisted_config.h"
#include "measurement/store/testing/sqlite_fault_vfs.h"
#include "measurement/store/user_defaults.h"
#include "os/dispatch/notification.h"
#include "os/storekit/ad_network.h"

namespace {

using engine_test::EngineTest;

class APMMeasurementTest : public EngineTest {
 protected:
  std::shared_ptr<APMPersistedConfig> persisted() { return APMPersistedConfig::sharedInstance(); }
  // The automatic events stored since the last launch, in row order.
  std::vector<os::Dictionary> launchEvents() {
    auto events = storedEvents();
    events.erase(events.begin(), events.begin() + std::min(events.size(), storedBefore_));
    std::erase_if(events, [](const os::Dictionary& event) { return event.at("origin") != os::Value("auto"); });
    return events;
  }
  std::vector<std::string> startSequence() {
    std::vector<std::string> out;
    for (const auto& event : launchEvents()) out.push_back(event.at("name").stringValue());
    return out;
  }
  os::Dictionary eventParameters(const std::string& name) {
    for (const auto& event : launchEvents()) {
      if (event.at("name").stringValue() == name) return *event.at("parameters").dictionary();
    }
    return {};
  }
  // A later launch over the same sandbox: no facade, no engine.
  void relaunch() {
    storedBefore_ = storedEvents().size();
    endLaunch();
    sink_->clear();
  }

  size_t storedBefore_ = 0;
};

TEST_F(APMMeasurementTest, EnabledDecision) {
  const struct {
    bool deactivated;
    int64_t persistedState;
    bool enabledOption;
    bool enabled;
  } cases[] = {
      {true, 1, true, false},    // deactivated wins
      {true, 0, true, false},
      {false, 2, true, false},   // state 2 with the option YES starts disabled
      {false, 1, false, true},   // state 1 with NO is enabled
      {false, 0, true, true},    // unset: the option
      {false, 0, false, false},
      {false, 7, true, true},    // any other state: the option
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.deactivated << " " << c.persistedState << " " << c.enabledOption);
    persisted()->setMeasurementEnabledState(c.persistedState);
    auto engine = APMMeasurement::initWithDatabaseName(
        kAPMDatabaseName, persisted(), nullptr, std::make_shared<APMScheduler>("decision.worker"), nullptr,
        engine_test::kAppID, c.enabledOption, c.deactivated, std::nullopt, nullptr);
    EXPECT_EQ(engine->wasEnabledDuringInitialization(), c.enabled);
    engine_test::waitForQueue(engine->scheduler()->workerQueue());
    EXPECT_EQ(engine->isEnabled(), c.enabled);
  }
}

TEST_F(APMMeasurementTest, AnEmptyAppIDLeavesTheProcessWithoutAnEngine) {
  APMMeasurement::initializeSharedInstanceWithAppID("", true, false, std::nullopt);
  EXPECT_FALSE(APMMeasurement::hasSharedInstance());
  APMMeasurement::initializeSharedInstanceWithAppID(engine_test::kAppID, true, false, std::nullopt);
  EXPECT_FALSE(APMMeasurement::hasSharedInstance());
  EXPECT_EQ(codes(), std::vector<int64_t>{23170});
  EXPECT_EQ(lines()[0].message, "Cannot start Measurement. App ID is empty.");
}

TEST_F(APMMeasurementTest, WipeDecision) {
  start();
  auto engine = this->engine();
  using ID = std::optional<std::string>;
  const ID none;
  const struct {
    int64_t retries;
    ID appID, zev, roZar, persistedZEV, persistedRoZar;
    bool wipe;
  } cases[] = {
      {3, "a", "z", none, "z", none, true},          // pending resets force it, IDs matching or not
      {9, "a", "z", none, "z", none, true},
      {0, "a", "z", none, "z", none, false},         // 0 and 10 no longer do
      {10, "a", "z", none, "z", none, false},
      {0, "a", "z2", none, "z", none, true},         // both ZEV IDs: they differ
      {0, "a", "z", none, none, "r", true},          // RoZar persisted, none now, ZEV now
      {0, "a", "z", "r2", none, "r", true},          // both RoZar IDs with ZEV now: they differ
      {0, "a", "z", "r", none, "r", false},
      {0, "a", none, "r", "z", none, true},          // ZEV gone, RoZar now, none persisted
      {0, "", none, "r", "z", none, false},          // ... but no app ID
      {0, "a", none, none, none, "r", true},         // app ID differs from the persisted RoZar ID
      {0, "r", none, none, none, "r", false},
      {0, "a", none, none, none, none, false},       // nothing known
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.retries << " " << c.appID.value_or("-") << " " << c.zev.value_or("-") << " "
                                      << c.roZar.value_or("-") << " " << c.persistedZEV.value_or("-") << " "
                                      << c.persistedRoZar.value_or("-"));
    APMAnalytics::setResetRetryCount(c.retries);
    EXPECT_EQ(engine->shouldWipeDataWithAppID(*c.appID, c.zev, c.roZar, c.persistedZEV, c.persistedRoZar), c.wipe);
  }
}

TEST_F(APMMeasurementTest, APendingResetWipesTheStoreAtStart) {
  start();
  EXPECT_EQ(startSequence(), (std::vector<std::string>{"_f", "_s", "_e"}));

  // A reset left pending: the start wipes before the store opens, so the old
  // file goes and this launch is a first open again.
  relaunch();
  APMAnalytics::setResetRetryCount(3);
  start();
  auto logged = codes();
  EXPECT_EQ(std::count(logged.begin(), logged.end(), 23171), 1);
  EXPECT_EQ(std::count(logged.begin(), logged.end(), 23208), 0);
  EXPECT_EQ(APMAnalytics::resetRetryCount(), 0);
  EXPECT_FALSE(APMAnalytics::suite()->objectForKey("reset_retry_count").isNumber());
  std::vector<std::string> stored;
  for (const auto& event : storedEvents()) stored.push_back(event.at("name").stringValue());
  EXPECT_EQ(stored, (std::vector<std::string>{"_f", "_s", "_e"}));
}

TEST_F(APMMeasurementTest, ConsentAtStart) {
  const os::Dictionary tcf{{"ad_storage", "denied"}};
  const os::Dictionary thirdParty{{"analytics_storage", "denied"}};
  const os::Dictionary firstPartyStart{{"ad_user_data", "granted"}};
  const struct {
    const char* row;
    std::optional<os::Dictionary> tcf, thirdParty, firstPartyStart;
    bool plist;
    int64_t currentSource;
    std::optional<os::Dictionary> applied;  // nullopt: nothing set
    int64_t source;
    bool cleared;
  } cases[] = {
      {"TCF alone", tcf, std::nullopt, std::nullopt, false, 100, tcf, 5, false},
      {"TCF beside 3P while TCF is current", tcf, thirdParty, std::nullopt, false, 5, tcf, 5, false},
      {"TCF beside 3P: 3P", tcf, thirdParty, std::nullopt, false, 100, thirdParty, 10, false},
      {"Info.plist", std::nullopt, thirdParty, std::nullopt, true, 100, os::Dictionary{{"ad_storage", "granted"}}, 20,
       false},
      {"interface consent is cleared", std::nullopt, thirdParty, firstPartyStart, false, 30, std::nullopt, 100, true},
      {"start consent of source 40 is cleared", std::nullopt, std::nullopt, firstPartyStart, false, 40, std::nullopt,
       100, true},
      {"first-party start", std::nullopt, thirdParty, firstPartyStart, false, 100, firstPartyStart, 40, false},
      {"third party", std::nullopt, thirdParty, std::nullopt, false, 100, thirdParty, 10, false},
      {"start consent below a higher source", std::nullopt, std::nullopt, firstPartyStart, false, 20, std::nullopt, 20,
       false},
  };
  start();
  auto engine = this->engine();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.row);
    APMConsentSettingsUtil::TEST_reset();
    auto suite = APMAnalytics::suite();
    suite->clearAllData();
    if (c.tcf) suite->setObject(os::Value(*c.tcf), "consent_settings_tcf");
    if (c.thirdParty) suite->setObject(os::Value(*c.thirdParty), "consent_settings_3p");
    if (c.firstPartyStart) suite->setObject(os::Value(*c.firstPartyStart), "consent_settings_on_start");
    writeBundle(c.plist ? os::Dictionary{{"DEVUVO_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE", true}} : os::Dictionary{});
    APMConsentSettingsUtil::setConsentSource(c.currentSource);

    engine->setProspectiveConsentSettings();
    EXPECT_EQ(APMConsentSettingsUtil::consentSettings(), c.applied);
    EXPECT_EQ(APMConsentSettingsUtil::consentSource(), c.source);
    // Applied consent is persisted under its source's key; clearing drops
    // every consent key.
    if (c.applied) {
      EXPECT_EQ(APMAnalytics::persistedConsentSource(), c.source);
      const char* key = c.source == 5 ? "consent_settings_tcf" : c.source <= 20 ? "consent_settings_3p" : "consent_settings";
      EXPECT_EQ(suite->objectForKey(key), os::Value(*c.applied));
    }
    if (c.thirdParty) {
      EXPECT_EQ(suite->objectForKey("consent_settings_3p").isNull(), c.cleared);
    }
  }
}

// The store gets exactly two chances per component start.
TEST_F(APMMeasurementTest, AStoreThatFailsToOpenIsTriedOnceMore) {
  apm_test::SqliteFaultVFS vfs;
  vfs.failNthWriteOrSync(1, 1, kAPMDatabaseName);
  start();
  ASSERT_NE(engine()->database(), nullptr);
  EXPECT_TRUE(engine()->didInitializeComponents());
  EXPECT_TRUE(engine()->isEnabled());
  EXPECT_EQ(vfs.failureCount(), 1);
  vfs.disarm();
  auto logged = codes();
  EXPECT_EQ(std::count(logged.begin(), logged.end(), 23011), 0);

  // Failing both times disables collection until a later enable starts over.
  relaunch();
  std::filesystem::remove_all(sandbox_.sandbox()->applicationSupportDirectory() + "/Devuvo");
  vfs.failNthWriteOrSync(1, -1, kAPMDatabaseName);
  start();
  EXPECT_EQ(engine()->database(), nullptr);
  EXPECT_FALSE(engine()->didInitializeComponents());
  EXPECT_FALSE(engine()->isEnabled());
  logged = codes();
  EXPECT_EQ(std::count(logged.begin(), logged.end(), 23011), 1);
  EXPECT_EQ(std::count(logged.begin(), logged.end(), 23013), 1);

  vfs.disarm();
  engine()->setEnabled(true);
  settle();
  EXPECT_NE(engine()->database(), nullptr);
  EXPECT_TRUE(engine()->didInitializeComponents());
  EXPECT_TRUE(engine()->isEnabled());
}

TEST_F(APMMeasurementTest, FirstLaunchThenASecondOne) {
  start();
  // 2023-11-14 22:13:20: the first open time rounds up to 23:00.
  EXPECT_EQ(userAttribute("_fot"), os::Value(os::Number::int64(1'700'002'800'000)));
  EXPECT_EQ(userAttribute("_fi"), os::Value(os::Number::int64(1)));
  EXPECT_EQ(persisted()->firstOpenTimestampMilliseconds(), 1'700'000'000'000);
  EXPECT_EQ(startSequence(), (std::vector<std::string>{"_f", "_s", "_e"}));
  EXPECT_EQ(eventParameters("_f"),
            (os::Dictionary{{"_c", os::Number::int64(1)},  // a conversion
                            {"_o", "auto"},
                            {"_pfo", os::Number::int64(0)},
                            {"_uwa", os::Number::int64(0)}}));
  // The session starts at the launch, with its ID and number set as well.
  EXPECT_EQ(eventParameters("_s"), (os::Dictionary{{"_o", "auto"},
                                                   {"_sid", os::Number::int64(1'700'000'000)},
                                                   {"_sno", os::Number::int64(1)}}));
  EXPECT_EQ(userAttribute("_sid"), os::Value(os::Number::int64(1'700'000'000)));
  EXPECT_EQ(userAttribute("_sno"), os::Value(os::Number::int64(1)));
  EXPECT_EQ(eventParameters("_e"), (os::Dictionary{{"_o", "auto"}, {"_et", os::Number::int64(1)}}));
  EXPECT_EQ(SKAdNetwork::TEST_registrationCount(), 1);
  EXPECT_TRUE(persisted()->loadTimestampValue().isNull());

  // An hour later the session has expired: the next launch starts another.
  clock_->advance(3600);
  relaunch();
  start();
  EXPECT_EQ(startSequence(), std::vector<std::string>{"_s"});
  EXPECT_EQ(eventParameters("_s").at("_sid"), os::Value(os::Number::int64(1'700'003'600)));
  EXPECT_EQ(eventParameters("_s").at("_sno"), os::Value(os::Number::int64(2)));
  // The stored first open counted once in the keychain.
  EXPECT_EQ(engine()->previousFirstOpenCount(), "1");
  EXPECT_EQ(userAttribute("_fot"), os::Value(os::Number::int64(1'700'002'800'000)));

  // Ten minutes later the session is still alive: no new one.
  clock_->advance(600);
  relaunch();
  start();
  EXPECT_TRUE(startSequence().empty());
}

TEST_F(APMMeasurementTest, TheReportersFollowTheEngine) {
  // The launch makes the screen-view reporter, which then serves the launch
  // probes.
  os::NotificationCenter::defaultCenter()->postNotificationName(os::kUIApplicationDidFinishLaunchingNotification,
                                                                nullptr);
  EXPECT_NE(APMAppActivityServices::sharedInstance(), nullptr);

  start();
  auto reporter = engine()->sessionReporter();
  ASSERT_NE(reporter, nullptr);
  EXPECT_EQ(APMMeasurementServices::sharedInstance()->sessionReporter(), reporter);
  EXPECT_TRUE(APMMeasurementServices::sharedInstance()->didInitializeComponents());

  APMAnalytics::setSessionTimeoutInterval(60);
  settle();
  EXPECT_EQ(reporter->timeoutSessionInterval(), 60);

  for (const bool enabled : {false, true}) {
    SCOPED_TRACE(enabled);
    APMAnalytics::setAnalyticsEnabled(enabled);
    settle();
    EXPECT_EQ(reporter->isReportingEnabled(), enabled);
    EXPECT_EQ(APMAdExposureReporter::sharedInstance()->isReportingEnabled(), enabled);
  }
}

TEST_F(APMMeasurementTest, FirstOpenOnTheHourMovesToTheNextAndTheInstallSourceGivesUWA) {
  // 2023-11-14 22:00:00 exactly, collection off until the app turns it on.
  APMAnalytics::setLoadTimestamp(1'699'999'200.0);
  APMSetFirstOpenInstallSource([] { return 0; });
  writeBundle({{"DEVUVO_ANALYTICS_REGISTRATION_WITH_AD_NETWORK_ENABLED", false}});
  start({{"VIVUZUVU_ANALYTICS_COLLECTION_ENABLED", false}});
  EXPECT_TRUE(startSequence().empty());
  APMAnalytics::setAnalyticsEnabled(true);
  settle();
  EXPECT_EQ(userAttribute("_fot"), os::Value(os::Number::int64(1'700'002'800'000)));
  EXPECT_EQ(persisted()->firstOpenTimestampMilliseconds(), 1'699'999'200'000);
  EXPECT_EQ(userAttribute("_fi"), os::Value(os::Number::int64(0)));
  EXPECT_EQ(eventParameters("_f").at("_uwa"), os::Value(os::Number::int64(1)));
  EXPECT_EQ(eventParameters("_f").at("_dac"), os::Value(os::Number::int64(1)));  // collection was deferred
  EXPECT_EQ(SKAdNetwork::TEST_registrationCount(), 0);
  auto logged = codes();
  EXPECT_EQ(std::count(logged.begin(), logged.end(), 23217), 1);

  EXPECT_EQ(engine()->timestampMillisRoundedUpToNextHour(3'600'000), 7'200'000);
  EXPECT_EQ(APMClickTimestampMillisFromSeconds(7'199'999), 0);
}

TEST_F(APMMeasurementTest, AppUpdatesAreReportedOnlyOverAStoredVersion) {
  const struct {
    std::optional<std::string> stored;
    bool reported;
  } cases[] = {{"1.0", true}, {std::nullopt, false}, {"1.1", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored.value_or("none"));
    relaunch();
    persisted()->setAppVersion(c.stored);
    start();
    std::vector<os::Dictionary> updates;
    for (const auto& event : launchEvents()) {
      if (event.at("name") == os::Value("_au")) updates.push_back(*event.at("parameters").dictionary());
    }
    ASSERT_EQ(updates.size(), c.reported ? 1u : 0u);
    if (c.reported) {
      EXPECT_EQ(updates[0], (os::Dictionary{{"_o", "auto"}, {"_pv", "1.0"}}));
    }
    EXPECT_EQ(persisted()->appVersion(), "1.1");
  }
}

TEST_F(APMMeasurementTest, AStoredCampaignLinkIsReportedOnceAndAnExpiredOneAsNotSet) {
  auto defaults = APMUserDefaults::sharedUserDefaults();
  const struct {
    double age;
    std::string name;
    os::Dictionary parameters;
  } cases[] = {
      {604'801,
       "_cmpx",
       {{"_o", "auto"}, {"source", "(not set)"}, {"medium", "(not set)"}, {"_cc", os::Number::int64(1)}}},
      // 2023-11-14 21:13:20 stored: the hour before it starts at 20:00.
      {3'600, "_cmp", {{"_o", "auto"}, {"source", "news"}, {"_cc", os::Number::int64(1'699'992'000'000)}}},
  };
  size_t reported = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.age);
    relaunch();
    persisted()->clearValues();
    defaults->setObject(os::Value("https://example.invalid/?utm_source=news"), "/devuvo/measurement/deep_link");
    defaults->setObject(os::Value(1'700'000'000.0 - c.age), "/devuvo/measurement/deep_link_timestamp_seconds");
    start();
    std::vector<os::Dictionary> campaigns;
    for (const auto& call : storedEvents()) {
      const std::string name = call.at("name").stringValue();
      if (name == "_cmp" || name == "_cmpx") campaigns.push_back(call);
    }
    // Each start reports its link once; the store keeps the earlier ones.
    ASSERT_EQ(campaigns.size(), ++reported);
    EXPECT_EQ(campaigns.back().at("name"), os::Value(c.name));
    // The first launch reports it with the first open, one millisecond
    // before it.
    os::Dictionary parameters = *campaigns.back().at("parameters").dictionary();
    parameters.erase("click_timestamp");
    EXPECT_EQ(parameters, c.parameters);
    EXPECT_TRUE(defaults->objectForKey("/devuvo/measurement/deep_link").isNull());
    EXPECT_TRUE(defaults->objectForKey("/devuvo/measurement/deep_link_timestamp_seconds").isNull());
  }
}

TEST_F(APMMeasurementTest, NetworkLinesReachTheMonitorWithTranslatedLevels) {
  start();
  const std::pair<long, int64_t> cases[] = {{3, 1}, {4, 4}, {5, 3}, {6, 6}, {7, 7}, {2, 3}, {9, 3}};
  long code = 900100;
  for (const auto& [networkLevel, monitorLevel] : cases) {
    sink_->clear();
    engine()->DAZNetwork_logWithLevelMessageCodeMessageContext(static_cast<DAZNetworkLogLevel>(networkLevel), code,
                                                               "Uploading data. Host", os::Value("127.0.0.1"));
    const auto logged = lines();
    ASSERT_EQ(logged.size(), 1u) << networkLevel;
    EXPECT_EQ(logged[0].code, code) << networkLevel;
    EXPECT_EQ(logged[0].level, monitorLevel) << networkLevel;
    EXPECT_EQ(logged[0].message, "Uploading data. Host: 127.0.0.1");
    ++code;
  }
  // The engine is its network client's logger delegate.
  ASSERT_NE(engine()->network(), nullptr);
  EXPECT_EQ(engine()->network()->loggerDelegate(), engine());
}

TEST_F(APMMeasurementTest, SafelistedEventsMustBeAnArrayOfInternalNames) {
  EXPECT_TRUE(APMIsValidSafelistedEvents(os::Value::arrayOf({})));
  EXPECT_TRUE(APMIsValidSafelistedEvents(os::Value::arrayOf({"_s", "purchase", "1st"})));
  EXPECT_FALSE(APMIsValidSafelistedEvents(os::Value("purchase")));
  EXPECT_FALSE(APMIsValidSafelistedEvents(os::Value::arrayOf({"ok", "not ok"})));
  EXPECT_EQ(codes(), (std::vector<int64_t>{25034, 13002, 25035}));  // the validator names the bad name

  start({{"safelisted_events", os::Value::arrayOf({"bad name"})}});
  EXPECT_EQ(engine()->safelistedEvents(), std::nullopt);
  relaunch();
  start({{"safelisted_events", os::Value::arrayOf({"purchase"})}});
  EXPECT_EQ(engine()->safelistedEvents(), std::vector<std::string>{"purchase"});
}

}  // namespace
