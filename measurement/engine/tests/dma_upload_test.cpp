// The DMA fields of a bundle as it is uploaded: the consent diagnostics, the
// DMA region, the core platform services and the "_npa" property, taken from
// the state at upload when a bundle may be overwritten, kept as stored when
// not.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "measurement/engine/tests/upload_test_support.h"
#include "measurement/messages/field_access.h"
#include "measurement/store/consent_settings.h"
#include "measurement/store/remote_config.h"
#include "measurement/store/tests/test_support.h"

namespace {

using upload_test::UploadTest;

constexpr int32_t kEventsField = 1;
constexpr int32_t kUserAttributesField = 2;
constexpr int32_t kEndTimestampField = 5;
constexpr int32_t kAppIDField = 14;
constexpr int32_t kConsentDiagnosticsField = 47;
constexpr int32_t kDMARegionField = 48;
constexpr int32_t kCorePlatformServicesField = 49;

std::shared_ptr<APMPBUserAttribute> npaAttribute(int64_t value) {
  auto attribute = APMPBUserAttribute::initWithMessageInfo(nullptr);
  APMPBSetString(attribute.get(), 1, "_npa");
  APMPBSetInt64(attribute.get(), 3, value);
  return attribute;
}

// The "_npa" values of a bundle's user properties, in order.
std::vector<int64_t> npaValues(const APMPBMeasurementBundle& bundle) {
  std::vector<int64_t> values;
  for (const auto& attribute : APMPBGetArray<APMPBUserAttribute>(&bundle, kUserAttributesField)
                                   .value_or(std::vector<std::shared_ptr<APMPBUserAttribute>>{})) {
    if (APMPBGetString(attribute.get(), 1) == "_npa") values.push_back(APMPBGetInt64(attribute.get(), 3));
  }
  return values;
}

class DMAUploadTest : public UploadTest {
 protected:
  // The engine's configuration: DMA consent on, the region as given, two core
  // platform services.
  void configure(bool dmaRegion) {
    auto config = apm_test::measurementConfig(engine_test::kAppID, {}, 1);
    auto consent = APMPBConsentConfig::initWithMessageInfo(nullptr);
    std::vector<std::shared_ptr<APMPBCorePlatformServiceEntry>> services;
    for (const char* name : {"svc_b", "svc_a"}) {
      services.push_back(APMPBCorePlatformServiceEntry::initWithMessageInfo(nullptr));
      APMPBSetString(services.back().get(), 0, name);
    }
    APMPBSetArray(consent.get(), 2, services);
    APMPBSetBool(consent.get(), 3, dmaRegion);
    APMPBSetMessage(config.get(), 12, consent.get());
    bool stored = false;
    onWorker([&](APMMeasurement& engine) { stored = engine.remoteConfigInstance()->updateMeasurementConfig(config); });
    ASSERT_TRUE(stored);
  }
};

TEST_F(DMAUploadTest, TheFieldsFollowTheStateAtUploadOnlyWhereABundleMayBeOverwritten) {
  server_.setResponse("/a", os::testing::ScriptedResponse::withStatus(204));
  // The stored "_npa" property the upload offers.
  onWorker([](APMMeasurement& engine) {
    engine.database()->updateUserAttribute(APMUserAttribute::initWithOrigin("auto", "_npa", APMValue::initWithInt64(1), 1),
                                           nullptr);
  });
  struct Sent {
    std::optional<std::string> diagnostics;
    bool dmaRegion;
    std::optional<std::string> services;
    std::vector<int64_t> npa;
  };
  const Sent kept{"old-diagnostics", false, "old-services", {0}};
  // An empty diagnostics value marks the current one.
  const struct {
    const char* name;
    os::Dictionary consent;
    bool dmaRegion;
    bool firstOpen;     // the bundle holds "_f"
    bool storedNPA;     // the bundle holds "_npa" 0
    Sent sent;
  } cases[] = {
      {"granted", {{"ad_storage", "granted"}}, true, false, true, kept},
      {"granted, no _npa stored", {{"ad_storage", "granted"}}, true, false, false, {"old-diagnostics", false, "old-services", {1}}},
      {"a first open", {{"ad_storage", "granted"}}, true, true, true, {"", true, "svc_asvc_b", {1}}},
      {"ad storage denied", {{"ad_storage", "denied"}}, true, false, true, {"", true, "svc_asvc_b", {1}}},
      {"ad user data denied", {{"ad_storage", "denied"}, {"ad_user_data", "denied"}}, true, false, true, {"", true, "-", {1}}},
      {"outside the region", {{"ad_storage", "denied"}}, false, false, true, {"", false, std::nullopt, {1}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    configure(c.dmaRegion);
    APMConsentSettingsUtil::setConsentSettings(c.consent);
    auto bundle = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
    APMPBSetString(bundle.get(), kAppIDField, engine_test::kAppID);
    APMPBSetInt64(bundle.get(), kEndTimestampField, millis(now()) - 1000);
    APMPBSetString(bundle.get(), kConsentDiagnosticsField, "old-diagnostics");
    APMPBSetBool(bundle.get(), kDMARegionField, false);
    APMPBSetString(bundle.get(), kCorePlatformServicesField, "old-services");
    if (c.storedNPA) APMPBSetArray(bundle.get(), kUserAttributesField, std::vector{npaAttribute(0)});
    if (c.firstOpen) {
      auto event = APMPBEvent::initWithMessageInfo(nullptr);
      APMPBSetString(event.get(), 1, "_f");
      APMPBSetInt64(event.get(), 2, millis(now()) - 1000);
      APMPBSetArray(bundle.get(), kEventsField, std::vector{event});
    }
    onWorker([&](APMMeasurement& engine) { ASSERT_TRUE(engine.database()->insertBundle(bundle, false, nullptr)); });
    const size_t before = uploads().size();
    uploadNow();

    const auto posts = uploads();
    ASSERT_EQ(posts.size(), before + 1);
    ASSERT_EQ(posts.back().bundles.size(), 1u);
    const auto& sent = *posts.back().bundles[0];
    const std::string diagnostics =
        c.sent.diagnostics && c.sent.diagnostics->empty() ? APMConsentSettingsUtil::consentDiagnostics() : *c.sent.diagnostics;
    EXPECT_EQ(APMPBGetString(&sent, kConsentDiagnosticsField), diagnostics);
    EXPECT_EQ(APMPBGetBool(&sent, kDMARegionField), c.sent.dmaRegion);
    EXPECT_EQ(APMPBGetString(&sent, kCorePlatformServicesField), c.sent.services);
    EXPECT_EQ(npaValues(sent), c.sent.npa);
    EXPECT_TRUE(queuedEndTimes().empty());
  }
}

}  // namespace
