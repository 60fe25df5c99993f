#include "measurement/engine/upload/bundle_operations.h"

#include <algorithm>
#include <cmath>

#include "measurement/engine/upload/bundling.h"
#include "measurement/messages/field_access.h"
#include "measurement/store/database.h"
#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/engine_services/event.h"
#include "measurement/store/identity.h"
#include "measurement/store/monitor.h"
#include "measurement/store/remote_config.h"
#include "os/foundation/text.h"

namespace {

using namespace apm_bundle;

constexpr const char* kNPAName = "_npa";

bool isDebugMode() { return APMMeasurementServices::monitor()->isDebugModeEnabled(); }

bool deniesAt(std::string_view signals, size_t index) {
  if (signals.size() < 4) return false;
  const char c = signals[index];
  return c == '0' || c == 'D' || c == 'd';
}

std::optional<std::vector<std::shared_ptr<APMPBUserAttribute>>> userAttributes(const APMPBMeasurementBundle& bundle) {
  return APMPBGetArray<APMPBUserAttribute>(&bundle, kUserAttributes);
}

}  // namespace

bool APMIsRealtimeLimitedEvent(const APMEvent& event) {
  if (isDebugMode()) return false;
  const std::string& name = event.name();
  return name != "_iap" && name != "_f" && name != "_dcu" && name != "_fx";
}

bool APMIsDCURealtimeEvent(const APMEvent& event) { return !isDebugMode() && event.name() == "_dcu"; }

bool APMIsAnalyticsStorageDeniedInSignals(std::string_view signals) { return deniesAt(signals, 3); }

bool APMIsAdStorageDeniedInSignals(std::string_view signals) { return deniesAt(signals, 2); }

void APMBundleApplyConsentAndIdentifiers(APMPBMeasurementBundle& bundle, std::string_view consentSignals,
                                         bool gateIDFAOnTrackingAuthorization, APMIdentity& identity,
                                         bool overwrite) {
  bool adStorageDenied = false;
  bool analyticsStorageDenied = false;
  if (consentSignals.size() < 4) {
    if (consentSignals.empty()) APMPBClearField(&bundle, kConsentSignals);
  } else if (overwrite || !APMPBHasField(&bundle, kConsentSignals)) {
    APMPBSetString(&bundle, kConsentSignals, consentSignals);
    adStorageDenied = APMIsAdStorageDeniedInSignals(consentSignals);
    analyticsStorageDenied = APMIsAnalyticsStorageDeniedInSignals(consentSignals);
  } else {
    const std::string present = APMPBGetString(&bundle, kConsentSignals).value_or("");
    adStorageDenied = APMIsAdStorageDeniedInSignals(present);
    analyticsStorageDenied = APMIsAnalyticsStorageDeniedInSignals(present);
  }

  bool gated = false;
  if (identity.iOS14OrAbove()) {
    const APMAppleConsentStatus status = identity.appleConsentStatus();
    if (status != APMAppleConsentStatus::unavailable) {
      APMPBSetInt32(&bundle, kAppleConsentStatus, static_cast<int32_t>(status));
    }
    gated = gateIDFAOnTrackingAuthorization && status != APMAppleConsentStatus::authorized;
  }

  const bool hasLimitedAdTracking = identity.hasLimitedAdTracking();
  const std::optional<std::string> resettableDeviceID = identity.resettableDeviceID();
  const bool useResettableDeviceID = hasLimitedAdTracking && resettableDeviceID && !adStorageDenied && !gated;
  if (useResettableDeviceID) {
    if (!APMPBHasField(&bundle, kResettableDeviceID)) APMPBSetString(&bundle, kResettableDeviceID, *resettableDeviceID);
    APMPBClearField(&bundle, kVendorDeviceID);
  } else {
    const std::optional<std::string> vendorID = analyticsStorageDenied ? std::nullopt : identity.identifierForVendor();
    if (!vendorID) {
      APMPBClearField(&bundle, kResettableDeviceID);
      APMPBClearField(&bundle, kVendorDeviceID);
    } else {
      if (!APMPBHasField(&bundle, kVendorDeviceID)) APMPBSetString(&bundle, kVendorDeviceID, *vendorID);
      APMPBClearField(&bundle, kResettableDeviceID);
    }
  }
  if (!analyticsStorageDenied) {
    const auto appInstanceID = identity.appInstanceID();
    if (appInstanceID && !appInstanceID->empty() && !APMPBHasField(&bundle, kAppInstanceID)) {
      APMPBSetString(&bundle, kAppInstanceID, *appInstanceID);
    }
  }
  if (adStorageDenied) APMPBClearField(&bundle, kResettableDeviceID);
  if (analyticsStorageDenied) {
    for (const int32_t field : {kVendorDeviceID, kAppInstanceID, kSessionStitchingToken, kAudienceResults}) {
      APMPBClearField(&bundle, field);
    }
  }
  if (hasLimitedAdTracking) APMPBSetBool(&bundle, kLimitedAdTracking, identity.limitedAdTracking());
}

void APMBundleApplyDMAFields(APMPBMeasurementBundle& bundle, std::string_view consentDiagnostics,
                             bool adUserDataDenied, const std::shared_ptr<APMPBUserAttribute>& npaAttribute,
                             APMRemoteConfig& remoteConfig, bool overwrite) {
  if (overwrite || !APMPBHasField(&bundle, kConsentDiagnostics)) {
    APMPBSetString(&bundle, kConsentDiagnostics, consentDiagnostics);
  }
  const bool isDMARegion = remoteConfig.isDMARegion();
  if (overwrite || !APMPBHasField(&bundle, kDMARegion)) APMPBSetBool(&bundle, kDMARegion, isDMARegion);
  if (overwrite || !APMPBHasField(&bundle, kCorePlatformServices)) {
    const std::set<std::string> services = remoteConfig.corePlatformServices();
    std::vector<std::string> sorted(services.begin(), services.end());
    std::sort(sorted.begin(), sorted.end(),
              [](const std::string& a, const std::string& b) { return os::compareStrings(a, b) < 0; });
    if (adUserDataDenied || sorted.empty()) {
      APMPBSetString(&bundle, kCorePlatformServices, "-");
    } else if (!isDMARegion) {
      APMPBClearField(&bundle, kCorePlatformServices);
    } else if (APMPBGetBool(&bundle, kDMARegion)) {
      std::string joined;
      for (const auto& service : sorted) joined += service;
      APMPBSetString(&bundle, kCorePlatformServices, joined);
    }
  }
  if (!npaAttribute) return;
  auto attributes = userAttributes(bundle).value_or(std::vector<std::shared_ptr<APMPBUserAttribute>>{});
  auto found = std::find_if(attributes.begin(), attributes.end(), [](const auto& attribute) {
    return APMPBGetString(attribute.get(), kAPMUserAttributeNameField) == kNPAName;
  });
  if (found == attributes.end()) {
    attributes.push_back(npaAttribute);
  } else if (overwrite) {
    *found = npaAttribute;
  } else {
    return;
  }
  APMPBSetArray(&bundle, kUserAttributes, attributes);
}

bool APMBundleHasFirstOpenEvent(const APMPBMeasurementBundle& bundle) {
  const auto events = APMPBGetArray<APMPBEvent>(&bundle, kEvents);
  if (!events) return false;
  return std::any_of(events->begin(), events->end(), [](const auto& event) {
    return APMPBGetString(event.get(), kAPMEventNameField) == "_f";
  });
}

std::shared_ptr<APMPBUserAttribute> APMBundleNPAUserAttribute(const APMPBMeasurementBundle& bundle) {
  for (auto& attribute : userAttributes(bundle).value_or(std::vector<std::shared_ptr<APMPBUserAttribute>>{})) {
    if (APMPBGetString(attribute.get(), kAPMUserAttributeNameField) == kNPAName) return attribute;
  }
  return nullptr;
}

bool APMBundlesShareConsentState(const APMPBMeasurementBundle* a, const APMPBMeasurementBundle* b) {
  if (a == nullptr || b == nullptr) return false;
  for (const int32_t field : {kConsentSignals, kConsentDiagnostics, kCorePlatformServices}) {
    if (APMPBGetString(a, field) != APMPBGetString(b, field)) return false;
  }
  if (APMPBGetBool(a, kDMARegion) != APMPBGetBool(b, kDMARegion)) return false;
  const auto npaA = APMBundleNPAUserAttribute(*a);
  const auto npaB = APMBundleNPAUserAttribute(*b);
  const int64_t valueA = npaA ? APMPBGetInt64(npaA.get(), kAPMUserAttributeIntValueField) : 0;
  const int64_t valueB = npaB ? APMPBGetInt64(npaB.get(), kAPMUserAttributeIntValueField) : 0;
  return valueA == valueB;
}

void APMBundleApplyDataControls(APMPBMeasurementBundle& bundle, const std::vector<std::string>& dataControls,
                                APMIdentity& identity) {
  for (const std::string& control : dataControls) {
    if (control == "app_instance_id") {
      APMPBClearField(&bundle, kAppInstanceID);
      const std::string signals = APMPBGetString(&bundle, kConsentSignals).value_or("");
      if (!APMIsAnalyticsStorageDeniedInSignals(signals)) {
        APMPBSetString(&bundle, kEphemeralAppInstanceID, identity.ephemeralAppInstanceID());
      } else {
        APMPBClearField(&bundle, kEphemeralAppInstanceID);
      }
    }
    if (control == "user_id") {
      auto attributes = userAttributes(bundle).value_or(std::vector<std::shared_ptr<APMPBUserAttribute>>{});
      std::erase_if(attributes, [](const auto& attribute) {
        return APMPBGetString(attribute.get(), kAPMUserAttributeNameField) == "_id";
      });
      APMPBSetArray(&bundle, kUserAttributes, attributes);
    }
    if (control == "os_version" || control == "device_info") {
      if (auto version = APMPBGetString(&bundle, kOSVersion)) {
        APMPBSetString(&bundle, kOSVersion, version->substr(0, version->find('.')));
      }
    }
    if (control == "device_model" || control == "device_info") APMPBClearField(&bundle, kDeviceModel);
    if (control == "enhanced_user_id") APMPBClearField(&bundle, kSessionStitchingToken);
  }
  if (!dataControls.empty()) {
    os::Array names;
    for (const auto& control : dataControls) names.emplace_back(control);
    APMPBSetArray(&bundle, kDataControls, names);
  }
}

bool APMDeleteBundledRawEvents(APMDatabase& database, int64_t maxRowID, int64_t metadataFingerprint) {
  auto monitor = APMMeasurementServices::monitor();
  os::Error error;
  if (!database.deleteRawEventsWithMaxRowID(maxRowID, &error)) {
    monitor->logWithLevel(1, kAPMBundlingCodeDeleteRawEventsFailed, "Unable to delete raw events. RowID, error",
                          maxRowID, error);
    return false;
  }
  const auto remains = database.containsRawEventWithMetadataFingerprint(metadataFingerprint, &error);
  if (!remains) {
    monitor->logWithLevel(1, kAPMBundlingCodeRawEventExistsFailed,
                          "Unable to query existence of raw event. Metadata, error", metadataFingerprint, error);
    return false;
  }
  if (!*remains && !database.deleteRawEventMetadataWithMetadataFingerprint(metadataFingerprint, &error)) {
    monitor->logWithLevel(1, kAPMBundlingCodeDeleteMetadataFailed,
                          "Unable to delete raw event metadata. Metadata, error", metadataFingerprint, error);
    return false;
  }
  return true;
}

bool APMContainsRealtimeEvent(const std::vector<std::shared_ptr<APMEvent>>& events) {
  return std::any_of(events.begin(), events.end(), [](const auto& event) { return event->isRealtime(); });
}

int64_t APMHourIndex(double timestampSeconds) {
  // Whole seconds toward zero, then hours toward zero; out-of-range times
  // saturate rather than wrap.
  const double seconds = std::trunc(timestampSeconds);
  if (!(seconds > -9.2e18)) return INT64_MIN / 3600;
  if (!(seconds < 9.2e18)) return INT64_MAX / 3600;
  return static_cast<int64_t>(seconds) / 3600;
}
