// Bundle-level operations of the measurement engine: the consent and
// identifier fields, the DMA fields, data-control redaction and the tests the
// uploader applies to measurement bundles, the real-time classes of events,
// and the deletion of raw events a bundle consumed.
//
// Bundles are APMPBMeasurementBundle messages changed in place, their fields
// addressed by position (field_access.h). A consent-signals string (field 40)
// holds the ad-storage signal at index 2 and the analytics-storage signal at
// index 3; '0', 'D' and 'd' deny. A string shorter than 4 characters denies
// nothing.
//
// Pure functions over their arguments apart from the monitor's debug-mode
// flag and the store; one caller (the worker queue) per bundle.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/messages/message_classes.h"

class APMDatabase;
class APMEvent;
class APMIdentity;
class APMRemoteConfig;

// Bundle field positions used by the engine.
namespace apm_bundle {
inline constexpr int32_t kProtocolVersion = 0;
inline constexpr int32_t kEvents = 1;
inline constexpr int32_t kUserAttributes = 2;
inline constexpr int32_t kStartTimestamp = 4;
inline constexpr int32_t kEndTimestamp = 5;
inline constexpr int32_t kPreviousStartTimestamp = 6;
inline constexpr int32_t kPreviousEndTimestamp = 7;
inline constexpr int32_t kPlatform = 8;
inline constexpr int32_t kOSVersion = 9;
inline constexpr int32_t kDeviceModel = 10;
inline constexpr int32_t kLanguage = 11;
inline constexpr int32_t kTimeZoneOffsetMinutes = 12;
inline constexpr int32_t kAppStore = 13;
inline constexpr int32_t kAppID = 14;
inline constexpr int32_t kAppVersion = 16;
inline constexpr int32_t kLibraryVersion = 17;
inline constexpr int32_t kResettableDeviceID = 19;
inline constexpr int32_t kVendorDeviceID = 20;
inline constexpr int32_t kLimitedAdTracking = 21;
inline constexpr int32_t kAppInstanceID = 22;
inline constexpr int32_t kBundleIndex = 24;
inline constexpr int32_t kMonitoringData = 25;
inline constexpr int32_t kZEVAppID = 26;
inline constexpr int32_t kAudienceResults = 28;
inline constexpr int32_t kInstallationID = 29;
inline constexpr int32_t kAppVersionMajor = 30;
inline constexpr int32_t kAppVersionMinor = 31;
inline constexpr int32_t kAppVersionRelease = 32;
inline constexpr int32_t kConfigVersion = 34;
inline constexpr int32_t kRoZarAppID = 36;
inline constexpr int32_t kExperimentIDs = 37;
inline constexpr int32_t kConsentSignals = 40;
inline constexpr int32_t kAppleConsentStatus = 41;
inline constexpr int32_t kSessionStitchingToken = 43;
inline constexpr int32_t kDataControls = 44;
inline constexpr int32_t kEphemeralAppInstanceID = 45;
inline constexpr int32_t kConsentDiagnostics = 47;
inline constexpr int32_t kDMARegion = 48;
inline constexpr int32_t kCorePlatformServices = 49;
inline constexpr int32_t kAdCampaignInfo = 52;
}  // namespace apm_bundle

// UserAttribute and Event message positions.
inline constexpr int32_t kAPMUserAttributeSetTimestampField = 0;
inline constexpr int32_t kAPMUserAttributeNameField = 1;
inline constexpr int32_t kAPMUserAttributeIntValueField = 3;
inline constexpr int32_t kAPMEventNameField = 1;

// Counts toward the daily real-time limit: never in debug mode, else any
// event but "_iap", "_f", "_dcu" and "_fx".
bool APMIsRealtimeLimitedEvent(const APMEvent& event);
// Counts toward the daily "_dcu" real-time limit: "_dcu" outside debug mode.
bool APMIsDCURealtimeEvent(const APMEvent& event);
bool APMIsAnalyticsStorageDeniedInSignals(std::string_view signals);
bool APMIsAdStorageDeniedInSignals(std::string_view signals);

// Fields 40, 41, 19, 20, 21, 22 (and, under denied analytics storage, the
// removal of 43 and 28) from the consent signals and the identity. With
// overwrite NO an existing field 40 and existing identifiers are kept.
void APMBundleApplyConsentAndIdentifiers(APMPBMeasurementBundle& bundle, std::string_view consentSignals,
                                         bool gateIDFAOnTrackingAuthorization, APMIdentity& identity,
                                         bool overwrite);
// Fields 47, 48, 49 and the "_npa" attribute of field 2; with overwrite NO
// present values are kept.
void APMBundleApplyDMAFields(APMPBMeasurementBundle& bundle, std::string_view consentDiagnostics,
                             bool adUserDataDenied, const std::shared_ptr<APMPBUserAttribute>& npaAttribute,
                             APMRemoteConfig& remoteConfig, bool overwrite);
bool APMBundleHasFirstOpenEvent(const APMPBMeasurementBundle& bundle);
// The first field-2 attribute named "_npa", or null.
std::shared_ptr<APMPBUserAttribute> APMBundleNPAUserAttribute(const APMPBMeasurementBundle& bundle);
// Two bundles may share an upload batch.
bool APMBundlesShareConsentState(const APMPBMeasurementBundle* a, const APMPBMeasurementBundle* b);
void APMBundleApplyDataControls(APMPBMeasurementBundle& bundle, const std::vector<std::string>& dataControls,
                                APMIdentity& identity);
// Deletes the raw events up to the row, then the fingerprint's metadata once
// no raw event refers to it. NO (23119, 23120, 23121) on a store failure.
bool APMDeleteBundledRawEvents(APMDatabase& database, int64_t maxRowID, int64_t metadataFingerprint);
bool APMContainsRealtimeEvent(const std::vector<std::shared_ptr<APMEvent>>& events);
// The hour of a time in seconds since 1970, in 64 bits (no overflow past
// 2038 or before 1902).
int64_t APMHourIndex(double timestampSeconds);
