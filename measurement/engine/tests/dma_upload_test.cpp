// The DMA fields of a bundle as it is uploaded: the consent diagnostics, the
// DMA region, the core platform services and the "_npa" property, taken from
// the state at upload when a bundle may be overwritten, kept as stored when
// not.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "measurement/engine/tests/upload_test_support.h"
#include "measurement/engine/upload/bundle_operations.h"
#include "measurement/messages/field_access.h"
#include "measurement/store/consent_settings.h"

namespace {

using namespace apm_bundle;
using upload_test::UploadTest;

std::shared_ptr<APMPBUserAttribute> npaAttribute(int64_t value) {
  auto attribute = APMPBUserAttribute::initWithMessageInfo(nullptr);
  APMPBSetString(attribute.get(), kAPMUserAttributeNameField, "_npa");
  APMPBSetInt64(attribute.get(), kAPMUserAttributeIntValueField, value);
  return attribute;
}

// The "_npa" values of a bundle's user properties, in order.
std::vector<int64_t> npaValues(const APMPBMeasurementBundle& bundle) {
  std::vector<int64_t> values;
  for (const auto& attribute : APMPBGetArray<APMPBUserAttribute>(&bundle, kUserAttributes)
                                   .value_or(std::vector<std::shared_ptr<APMPBUserAttribute>>{})) {
    if (APMPBGetString(attribute.get(), kAPMUserAttributeNameField) == "_npa") {
      values.push_back(APMPBGetInt64(attribute.get(), kAPMUserAttributeIntValueField));
    }
  }
  return values;
}

TEST_F(UploadTest, TheFieldsFollowTheStateAtUploadOnlyWhereABundleMayBeOverwritten) {
  server_.setResponse("/a", os::testing::ScriptedResponse::withStatus(204));
  // The stored "_npa" property the upload offers.
  onWorker([](APMMeasurement& engine) {
    engine.database()->updateUserAttribute(APMUserAttribute::initWithOrigin("auto", "_npa", APMValue::initWithInt64(1), 1),
                                           nullptr);
  });
  // What the bundle carries as sent; an empty diagnostics value stands for
  // the current one.
  struct Sent {
    std::string diagnostics;
    bool dmaRegion;
    std::optional<std::string> services;
    std::vector<int64_t> npa;
  };
  const struct {
    const char* name;
    os::Dictionary consent;
    bool dmaRegion;
    bool firstOpen;  // the bundle holds "_f"
    bool storedNPA;  // the bundle holds "_npa" 0
    Sent sent;
  } cases[] = {
      {"granted", {{"ad_storage", "granted"}}, true, false, true, {"old-diagnostics", false, "old-services", {0}}},
      {"granted, no _npa in the bundle", {{"ad_storage", "granted"}}, true, false, false,
       {"old-diagnostics", false, "old-services", {1}}},
      {"a first open", {{"ad_storage", "granted"}}, true, true, true, {"", true, "svc_asvc_b", {1}}},
      {"ad storage denied", {{"ad_storage", "denied"}}, true, false, true, {"", true, "svc_asvc_b", {1}}},
      {"ad user data denied", {{"ad_storage", "denied"}, {"ad_user_data", "denied"}}, true, false, true,
       {"", true, "-", {1}}},
      {"outside the region", {{"ad_storage", "denied"}}, false, false, true, {"", false, std::nullopt, {1}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // DMA consent is on by default.
    ASSERT_TRUE(applyConsentSettings({}, c.dmaRegion, {"svc_b", "svc_a"}));
    APMConsentSettingsUtil::setConsentSettings(c.consent);
    auto bundle = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
    APMPBSetString(bundle.get(), kAppID, engine_test::kAppID);
    APMPBSetInt64(bundle.get(), kEndTimestamp, millis(now()) - 1000);
    APMPBSetString(bundle.get(), kConsentDiagnostics, "old-diagnostics");
    APMPBSetBool(bundle.get(), kDMARegion, false);
    APMPBSetString(bundle.get(), kCorePlatformServices, "old-services");
    if (c.storedNPA) APMPBSetArray(bundle.get(), kUserAttributes, std::vector{npaAttribute(0)});
    if (c.firstOpen) {
      auto event = APMPBEvent::initWithMessageInfo(nullptr);
      APMPBSetString(event.get(), kAPMEventNameField, "_f");
      APMPBSetInt64(event.get(), 2, millis(now()) - 1000);  // its time
      APMPBSetArray(bundle.get(), kEvents, std::vector{event});
    }
    onWorker([&](APMMeasurement& engine) { ASSERT_TRUE(engine.database()->insertBundle(bundle, false, nullptr)); });
    const size_t before = uploads().size();
    uploadNow();

    const auto posts = uploads();
    ASSERT_EQ(posts.size(), before + 1);
    ASSERT_EQ(posts.back().bundles.size(), 1u);
    const auto& sent = *posts.back().bundles[0];
    const std::string diagnostics =
        c.sent.diagnostics.empty() ? APMConsentSettingsUtil::consentDiagnostics() : c.sent.diagnostics;
    EXPECT_EQ(APMPBGetString(&sent, kConsentDiagnostics), diagnostics);
    EXPECT_EQ(APMPBGetBool(&sent, kDMARegion), c.sent.dmaRegion);
    EXPECT_EQ(APMPBGetString(&sent, kCorePlatformServices), c.sent.services);
    EXPECT_EQ(npaValues(sent), c.sent.npa);
    EXPECT_TRUE(queuedEndTimes().empty());
  }
}

}  // namespace
