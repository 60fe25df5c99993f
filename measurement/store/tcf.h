// TCF consent: what a consent-management platform recorded under the IAB
// Transparency and Consent Framework version 2 (the "IABTCF_" keys it writes
// into the app's standard user defaults), turned into measurement consent.
//
//   APMTCFData    reads the TCF values and answers the purpose and vendor
//                 tests. The Info.plist switch "DEVUVO_ANALYTICS_TCF_DATA_ENABLED"
//                 is read once, at creation (absent: on; a number: its truth;
//                 anything else: off).
//   APMTCFClient  keeps a copy of the last values seen in the suite
//                 "com.devuvo.zev.measurement.tcf.userdefaults"; when they
//                 change it logs the internal event "_tcf" and, when the data
//                 applies, hands "ad_storage", "ad_personalization" and
//                 "ad_user_data" to the analytics facade's setConsent with the
//                 key "consent_settings_tcf" (which gives them source 5).
//                 "analytics_storage" never comes from TCF data.
//
// Bit strings ("IABTCF_PurposeConsents", "IABTCF_VendorConsents") hold "0"
// and "1"; purpose or vendor n is the character at index n - 1. Missing or
// mistyped values read as absent and make their tests false.
//
// Threads: neither class has a queue or lock; the engine calls them from its
// worker queue (only the DMA-region flag may be set from anywhere). Nothing
// is logged and no error is reported.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "measurement/store/user_defaults.h"
#include "os/foundation/value.h"

inline constexpr const char* kAPMTCFUserDefaultsSuiteName = "com.devuvo.zev.measurement.tcf.userdefaults";
inline constexpr const char* kAPMTCFDataEnabledKey = "DEVUVO_ANALYTICS_TCF_DATA_ENABLED";
inline constexpr const char* kAPMTCFEnableAdvertiserConsentModeKey = "IABTCF_EnableAdvertiserConsentMode";
inline constexpr const char* kAPMTCFVendorConsentsKey = "IABTCF_VendorConsents";
inline constexpr const char* kAPMTCFCmpSdkIDKey = "IABTCF_CmpSdkID";
inline constexpr const char* kAPMTCFGdprAppliesKey = "IABTCF_gdprApplies";
inline constexpr const char* kAPMTCFPolicyVersionKey = "IABTCF_PolicyVersion";
inline constexpr const char* kAPMTCFPurposeConsentsKey = "IABTCF_PurposeConsents";
inline constexpr const char* kAPMTCFStringRepresentationKey = "tcf_StringRepresentation";

inline constexpr const char* kAPMTCFConsentSettingsKey = "consent_settings_tcf";
inline constexpr const char* kAPMTCFEventOrigin = "auto";
inline constexpr const char* kAPMTCFEventName = "_tcf";
inline constexpr const char* kAPMTCFEventParameterName = "_tcfd";

// This library's vendor number in the vendor consents.
inline constexpr int64_t kAPMTCFDevuvoVendorID = 755;

class APMTCFData {
 public:
  // Reads the Info.plist switch; the TCF values stay absent until
  // readFromUserDefaults.
  APMTCFData();

  // The switch as the main bundle's Info.plist holds it now.
  static bool readTCFDataEnabledStateFromPlist();
  // Reads the six values from the app's standard user defaults.
  void readFromUserDefaults();

  std::shared_ptr<APMUserDefaults> userDefaults() const { return userDefaults_; }
  bool isTCFDataEnabled() const { return isTCFDataEnabled_; }
  const std::optional<os::Number>& isAdvertiserConsentModeEnabled() const { return advertiserConsentMode_; }
  const std::optional<std::string>& vendorConsents() const { return vendorConsents_; }
  const std::optional<os::Number>& cmpSDKID() const { return cmpSDKID_; }
  const std::optional<os::Number>& gdprApplies() const { return gdprApplies_; }
  const std::optional<os::Number>& policyVersion() const { return policyVersion_; }
  const std::optional<std::string>& purposeConsents() const { return purposeConsents_; }

  // Vendor 755 is set.
  bool hasDevuvoInVendorConsents() const;
  // Purpose 1.
  bool isAdStoragePurposeGranted() const;
  // Purposes 3 and 4.
  bool isAdPersonalizationPurposeGranted() const;
  // A policy version of at least 4.
  bool canAccessAdUserDataPurpose() const;
  // canAccessAdUserDataPurpose, and purposes 1 and 7.
  bool isAdUserDataPurposeGranted() const;

 private:
  const std::shared_ptr<APMUserDefaults> userDefaults_;
  const bool isTCFDataEnabled_;
  std::optional<os::Number> advertiserConsentMode_;
  std::optional<std::string> vendorConsents_;
  std::optional<os::Number> cmpSDKID_;
  std::optional<os::Number> gdprApplies_;
  std::optional<os::Number> policyVersion_;
  std::optional<std::string> purposeConsents_;
};

class APMTCFClient {
 public:
  APMTCFClient();

  APMTCFData& tcfData() { return tcfData_; }
  const std::shared_ptr<APMUserDefaults>& userDefaults() const { return userDefaults_; }
  // Initially true; the engine sets it from the server configuration.
  bool isDMARegion() const { return isDMARegion_.load(); }
  void setIsDMARegion(bool isDMARegion) { isDMARegion_.store(isDMARegion); }

  // The engine's one entry: reads the values; when they differ from the copy
  // kept, logs "_tcf", stores the copy and, when the data applies, hands the
  // derived consent to the facade. Earlier consent stays when the data no
  // longer applies.
  void setConsentFromTCFData();

  void readTCFData();
  // TCF data enabled, advertiser consent mode on, vendor 755 set, GDPR
  // applies.
  bool shouldApplyTCFData() const;
  // "_tcf" with origin "auto" and "_tcfd" = tcfBundleParameterValue, through
  // the analytics facade (nothing without one).
  void logTCFChangedEvent();
  // Writes the values and their representation into the client's suite.
  void storeCurrentData();
  // "isTCFDataEnabled=%d", then for each value present
  // ",isAdvertiserConsentModeEnabled=%d", ",cmpSDKID=%d",
  // ",hasDevuvoInVendorConsents=%d", ",gdprApplies=%d", ",policyVersion=%d",
  // ",purposeConsents=%@".
  std::string stringRepresentationFromTCFData() const;
  // The stored representation equals the current one; with none stored, only
  // a current "isTCFDataEnabled=1" (no data, nothing recorded) counts as
  // equal.
  bool persistedValuesEqualCurrentData() const;
  // Five characters: "1", two for the CMP id (0..4095, else "00"), one for
  // the policy version (0..63, else "0") and one for the flags (1 DMA region,
  // 2 GDPR applies, 4 TCF enabled, 8 advertiser consent mode), each an index
  // into "0-9a-zA-Z-_".
  std::string tcfBundleParameterValue() const;
  // "granted" or "denied".
  static std::string consentStatusFromEnabled(bool enabled);
  // Empties the client's suite.
  void clearPersistedValues();

 private:
  APMTCFData tcfData_;
  const std::shared_ptr<APMUserDefaults> userDefaults_;
  std::atomic<bool> isDMARegion_{true};
};
