#include "measurement/store/tcf.h"

#include "measurement/store/consent_settings.h"
#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/foundation_extensions.h"
#include "os/foundation/bundle.h"
#include "os/foundation/format.h"

namespace {

constexpr const char* kAlphabet = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_";

bool isTrue(const std::optional<os::Number>& number) { return number && number->boolValue(); }

// Purpose or vendor n is the character at index n - 1.
bool isSet(const std::optional<std::string>& bits, int64_t n) {
  return bits && isBitEnabledAtIndex(*bits, n - 1);
}

os::Value valueOf(const std::optional<os::Number>& number) { return number ? os::Value(*number) : os::Value(); }
os::Value valueOf(const std::optional<std::string>& text) { return text ? os::Value(*text) : os::Value(); }

}  // namespace

// ---- APMTCFData ----

APMTCFData::APMTCFData()
    : userDefaults_(APMUserDefaults::sharedUserDefaults()), isTCFDataEnabled_(readTCFDataEnabledStateFromPlist()) {}

bool APMTCFData::readTCFDataEnabledStateFromPlist() {
  const os::Value value = os::Bundle::mainBundle()->objectForInfoDictionaryKey(kAPMTCFDataEnabledKey);
  if (value.isNull()) return true;
  if (const os::Number* number = value.number()) return number->boolValue();
  return false;
}

void APMTCFData::readFromUserDefaults() {
  advertiserConsentMode_ = userDefaults_->numberForKey(kAPMTCFEnableAdvertiserConsentModeKey);
  vendorConsents_ = userDefaults_->stringForKey(kAPMTCFVendorConsentsKey);
  cmpSDKID_ = userDefaults_->numberForKey(kAPMTCFCmpSdkIDKey);
  gdprApplies_ = userDefaults_->numberForKey(kAPMTCFGdprAppliesKey);
  policyVersion_ = userDefaults_->numberForKey(kAPMTCFPolicyVersionKey);
  purposeConsents_ = userDefaults_->stringForKey(kAPMTCFPurposeConsentsKey);
}

bool APMTCFData::hasDevuvoInVendorConsents() const { return isSet(vendorConsents_, kAPMTCFDevuvoVendorID); }

bool APMTCFData::isAdStoragePurposeGranted() const { return isSet(purposeConsents_, 1); }

bool APMTCFData::isAdPersonalizationPurposeGranted() const {
  return isSet(purposeConsents_, 3) && isSet(purposeConsents_, 4);
}

bool APMTCFData::canAccessAdUserDataPurpose() const { return policyVersion_ && policyVersion_->intValue() >= 4; }

bool APMTCFData::isAdUserDataPurposeGranted() const {
  return canAccessAdUserDataPurpose() && isSet(purposeConsents_, 1) && isSet(purposeConsents_, 7);
}

// ---- APMTCFClient ----

APMTCFClient::APMTCFClient() : userDefaults_(std::make_shared<APMUserDefaults>(kAPMTCFUserDefaultsSuiteName)) {}

void APMTCFClient::setConsentFromTCFData() {
  readTCFData();
  if (persistedValuesEqualCurrentData()) return;
  logTCFChangedEvent();
  storeCurrentData();
  if (!shouldApplyTCFData()) return;
  const os::Dictionary consent = {
      {kAPMConsentTypeAdStorage, consentStatusFromEnabled(tcfData_.isAdStoragePurposeGranted())},
      {kAPMConsentTypeAdPersonalization, consentStatusFromEnabled(tcfData_.isAdPersonalizationPurposeGranted())},
      {kAPMConsentTypeAdUserData, consentStatusFromEnabled(tcfData_.isAdUserDataPurposeGranted())},
  };
  if (auto analytics = APMAnalyticsServices::sharedInstance()) analytics->setConsent(consent, kAPMTCFConsentSettingsKey);
}

void APMTCFClient::readTCFData() { tcfData_.readFromUserDefaults(); }

bool APMTCFClient::shouldApplyTCFData() const {
  return tcfData_.isTCFDataEnabled() && isTrue(tcfData_.isAdvertiserConsentModeEnabled()) &&
         tcfData_.hasDevuvoInVendorConsents() && isTrue(tcfData_.gdprApplies());
}

void APMTCFClient::logTCFChangedEvent() {
  auto analytics = APMAnalyticsServices::sharedInstance();
  if (!analytics) return;
  analytics->logInternalEventWithOrigin(kAPMTCFEventOrigin, kAPMTCFEventName,
                                        {{kAPMTCFEventParameterName, os::Value(tcfBundleParameterValue())}});
}

void APMTCFClient::storeCurrentData() {
  userDefaults_->setObject(os::Value(tcfData_.isTCFDataEnabled()), kAPMTCFDataEnabledKey);
  userDefaults_->setObject(valueOf(tcfData_.isAdvertiserConsentModeEnabled()), kAPMTCFEnableAdvertiserConsentModeKey);
  userDefaults_->setObject(valueOf(tcfData_.cmpSDKID()), kAPMTCFCmpSdkIDKey);
  userDefaults_->setObject(valueOf(tcfData_.vendorConsents()), kAPMTCFVendorConsentsKey);
  userDefaults_->setObject(valueOf(tcfData_.gdprApplies()), kAPMTCFGdprAppliesKey);
  userDefaults_->setObject(valueOf(tcfData_.policyVersion()), kAPMTCFPolicyVersionKey);
  userDefaults_->setObject(valueOf(tcfData_.purposeConsents()), kAPMTCFPurposeConsentsKey);
  userDefaults_->setObject(os::Value(stringRepresentationFromTCFData()), kAPMTCFStringRepresentationKey);
}

std::string APMTCFClient::stringRepresentationFromTCFData() const {
  const APMTCFData& d = tcfData_;
  std::string out = os::format("isTCFDataEnabled=%d", d.isTCFDataEnabled() ? 1 : 0);
  if (const auto& mode = d.isAdvertiserConsentModeEnabled()) {
    out += os::format(",isAdvertiserConsentModeEnabled=%d", mode->boolValue() ? 1 : 0);
  }
  if (const auto& cmp = d.cmpSDKID()) out += os::format(",cmpSDKID=%d", cmp->intValue());
  if (d.vendorConsents()) out += os::format(",hasDevuvoInVendorConsents=%d", d.hasDevuvoInVendorConsents() ? 1 : 0);
  if (const auto& gdpr = d.gdprApplies()) out += os::format(",gdprApplies=%d", gdpr->boolValue() ? 1 : 0);
  if (const auto& policy = d.policyVersion()) out += os::format(",policyVersion=%d", policy->intValue());
  if (const auto& purposes = d.purposeConsents()) out += ",purposeConsents=" + *purposes;
  return out;
}

bool APMTCFClient::persistedValuesEqualCurrentData() const {
  const std::optional<std::string> stored = userDefaults_->stringForKey(kAPMTCFStringRepresentationKey);
  const std::string current = stringRepresentationFromTCFData();
  if (!stored) return current == "isTCFDataEnabled=1";
  return *stored == current;
}

std::string APMTCFClient::tcfBundleParameterValue() const {
  const APMTCFData& d = tcfData_;
  std::string out = "1";
  const int32_t cmp = d.cmpSDKID() ? d.cmpSDKID()->intValue() : 0;
  if (cmp >= 0 && cmp < 4096) {
    out += kAlphabet[(cmp >> 6) & 63];
    out += kAlphabet[cmp & 63];
  } else {
    out += "00";
  }
  const int32_t policy = d.policyVersion() ? d.policyVersion()->intValue() : 0;
  out += (policy >= 0 && policy < 64) ? kAlphabet[policy] : '0';
  int flags = 0;
  if (isDMARegion()) flags += 1;
  if (isTrue(d.gdprApplies())) flags += 2;
  if (d.isTCFDataEnabled()) flags += 4;
  if (isTrue(d.isAdvertiserConsentModeEnabled())) flags += 8;
  out += kAlphabet[flags];
  return out;
}

std::string APMTCFClient::consentStatusFromEnabled(bool enabled) {
  return enabled ? kAPMConsentStatusGranted : kAPMConsentStatusDenied;
}

void APMTCFClient::clearPersistedValues() { userDefaults_->clearAllData(); }
