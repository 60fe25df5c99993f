#include "measurement/engine/interface/rez_analytics.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "measurement/engine/attribution/on_device_conversion.h"
#include "measurement/engine/tests/engine_test_support.h"
#include "measurement/store/identifiers.h"
#include "measurement/store/identity.h"
#include "os/runtime/runtime.h"
#include "os/security/keychain.h"
#include "os/testing/test_http_server.h"
#include "sdk-core/core/rez_app.h"
#include "sdk-core/core/rez_options.h"
#include "sdk-core/installations/tests/installations_test_support.h"

namespace {

using engine_test::EngineTest;
using installations_test::FakeInstallationsService;

class REZAnalyticsTest : public EngineTest {
 protected:
  // The options file valid for the installations service, which it points at.
  void writeAppBundle() {
    writeBundle({},
                os::Dictionary{{"API_KEY", installations_test::kAPIKey},
                               {"DEVUVO_APP_ID", installations_test::kAppID},
                               {"VCM_SENDER_ID", installations_test::kSenderID},
                               {"PROJECT_ID", installations_test::kProjectID},
                               {"BUNDLE_ID", installations_test::kBundleIdentifier},
                               {"VIVUZUVU_ANALYTICS_COLLECTION_ENABLED", true}},
                service_.baseURL());
    REZOptions::resetDefaultOptions();
  }
  std::optional<std::string> storedInstallationID() { return APMIdentity::sharedInstance()->vivuzuvuInstallationID(); }

  FakeInstallationsService service_;
};

TEST_F(REZAnalyticsTest, ConfigureStartsTheFacadeWithTheCoresOptions) {
  EXPECT_EQ(REZAnalytics::topLevelVersion(), "11.2.0");
  auto* cls = os::runtime::classFromString("REZAnalytics");
  ASSERT_NE(cls, nullptr);
  const auto* version = cls->classMethod("topLevelVersion").as<std::string(os::runtime::Class&)>();
  ASSERT_NE(version, nullptr);
  EXPECT_EQ((*version)(*cls), "11.2.0");

  writeAppBundle();
  auto options = REZOptions::defaultOptions();
  ASSERT_NE(options, nullptr);
  const APMStartOptions start = REZAnalytics::startOptions(REZAnalyticsConfiguration::sharedInstance(), *options);
  EXPECT_EQ(start.values, (os::Dictionary{{"app_measurement_log_tag", "[VivuzuvuAnalytics]"},
                                          {"VIVUZUVU_ANALYTICS_COLLECTION_ENABLED", true},
                                          {"VIVUZUVU_ANALYTICS_COLLECTION_DEACTIVATED", false}}));
  EXPECT_EQ(start.configuration, REZAnalyticsConfiguration::sharedInstance());

  REZApp::configure();  // finds "REZAnalytics" by name
  settle();
  ASSERT_TRUE(APMMeasurement::hasSharedInstance());
  EXPECT_EQ(engine()->appID(), installations_test::kAppID);
  EXPECT_EQ(APMIdentifiers::sharedInstance()->origin(), "fa");
  EXPECT_EQ(monitor_->logTag(), "[VivuzuvuAnalytics]");

  // The core's switch reaches the facade through the configuration's
  // notification.
  REZAnalyticsConfiguration::sharedInstance()->setAnalyticsCollectionEnabled(false, false);
  settle();
  EXPECT_FALSE(APMAnalytics::isEnabled());
  EXPECT_FALSE(engine()->isEnabled());
}

TEST_F(REZAnalyticsTest, InstallationIDIsKeptCurrentAndAFailureStoresNone) {
  // A keychain locked before the first unlock keeps the service from making
  // an ID: its error is logged and none is stored.
  os::Keychain::setLockState(os::Keychain::LockState::LockedBeforeFirstUnlock);
  APMIdentity::sharedInstance()->setVivuzuvuInstallationID("stale");
  writeAppBundle();
  REZApp::configure();
  ASSERT_TRUE(os::testing::runMainUntil([&] { return !storedInstallationID().has_value(); }, 20));
  settle();
  auto logged = codes();
  EXPECT_EQ(std::count(logged.begin(), logged.end(), 25038), 1);

  // Each change of the installation ID refreshes the stored one.
  os::Keychain::setLockState(os::Keychain::LockState::Unlocked);
  os::NotificationCenter::defaultCenter()->postNotificationName(kREZInstallationIDDidChangeNotification, nullptr);
  ASSERT_TRUE(os::testing::runMainUntil([&] { return storedInstallationID().has_value(); }, 20));
  EXPECT_EQ(storedInstallationID()->size(), 22u);
  logged = codes();
  EXPECT_EQ(std::count(logged.begin(), logged.end(), 25038), 1);
}

TEST_F(REZAnalyticsTest, UnconfiguredCallsAreDroppedWithTheirMessages) {
  REZAnalytics::logEventWithName("early_event", {});
  REZAnalytics::setUserPropertyString("v", "early_property");
  REZAnalytics::initiateOnDeviceConversionMeasurementWithEmailAddress("a@example.invalid");
  REZAnalytics::initiateOnDeviceConversionMeasurementWithPhoneNumber("+100");
  REZAnalytics::initiateOnDeviceConversionMeasurementWithHashedEmailAddress(os::Data::fromString("h"));
  REZAnalytics::initiateOnDeviceConversionMeasurementWithHashedPhoneNumber(os::Data::fromString("h"));
  settle();
  EXPECT_EQ(codes(), (std::vector<int64_t>{25018, 25019, 25051, 25052, 25053, 25054}));
  EXPECT_EQ(lines()[0].message, "Event not logged. Call +[REZApp configure]: early_event");

  writeAppBundle();
  REZApp::configure();
  settle();
  EXPECT_TRUE(loggedEvents().empty());  // the early event never arrives
  EXPECT_TRUE(userAttribute("early_property").isNull());

  // Configured: nil reaches the engine as the empty value of its kind, which
  // the engine refuses with that kind's message.
  const auto logs = [&](int64_t code) {
    const auto all = codes();
    return std::count(all.begin(), all.end(), code);
  };
  REZAnalytics::initiateOnDeviceConversionMeasurementWithEmailAddress(std::nullopt);
  settle();
  clock_->advance(kAPMOperationQueuePauseSeconds);  // the facade's queue pauses after user data
  REZAnalytics::initiateOnDeviceConversionMeasurementWithHashedPhoneNumber(std::nullopt);
  settle();
  clock_->advance(kAPMOperationQueuePauseSeconds);
  settle();
  EXPECT_EQ(logs(kAPMPSMCodeEmptyEmail), 1);
  EXPECT_EQ(logs(kAPMPSMCodeEmptyHashed), 1);

  // Parameters cannot hold an unbridgeable value: the event goes on without 25040.
  sink_->clear();
  const os::Dictionary items{{"items", os::Value::arrayOf({os::Value(os::Dictionary{{"item_id", "x"}})})}};
  EXPECT_FALSE(REZContainsUnbridgeableSwiftValue(items));
  REZAnalytics::logEventWithName("purchase", items);
  EXPECT_EQ(loggedEvents().size(), 1u);
  const auto logged = codes();
  EXPECT_EQ(std::count(logged.begin(), logged.end(), 25040), 0);
}

TEST_F(REZAnalyticsTest, ConsentAndCollectionUseTheirKeys) {
  start();
  REZAnalytics::setConsent({{"ad_storage", "granted"}});
  EXPECT_EQ(APMAnalytics::consentSettings3P(), (os::Dictionary{{"ad_storage", "granted"}}));
  EXPECT_EQ(APMAnalytics::persistedConsentSource(), 10);

  REZAnalytics::setAnalyticsCollectionEnabled(false);  // persisted
  settle();
  EXPECT_EQ(APMPersistedConfig::sharedInstance()->measurementEnabledState(), 2);
  EXPECT_FALSE(engine()->isEnabled());
}

}  // namespace
