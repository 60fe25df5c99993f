// APMConsentSettingsUtil: the process-wide consent state of the measurement
// library. Class operations only.
//
// For the four consent types (always handled in this order: "ad_storage",
// "analytics_storage", "ad_user_data", "ad_personalization") it keeps the
// current settings with the source that set them, and the defaults,
// delegations and regional defaults of the server configuration; it answers
// the denied tests, the consent signal string and the diagnostics string.
// It persists nothing: the engine stores and reloads the settings, and
// applies isConsentSourceHigherPriority before it merges a change.
//
// Values: "granted", "denied", and "eu_consent_policy" (the regional default
// decides; meaningful only under "ad_user_data" and "ad_personalization").
// A stored value is lower-cased before it is compared, so "Denied" is denied;
// a value that is not a string never matches anything.
//
// Sources: a lower number wins; 5 (TCF) and 10 are one level. 20 Info.plist
// defaults, 30 the public interface, 40 start-up settings, 100 nothing set.
//
// Diagnostics string: "1" and one digit per type: 0 no source recorded, 1 a
// server default applies (not for "_storage" types), 2 "ad_user_data" is
// delegated, 3/4/5/7 set by source 20/40/10 or 30/5, 8 the value is
// "eu_consent_policy", 9 not set at all.
//
// Threads: all state lives on the serial queue "APMConsentSettingsUtilQueue"
// (utility priority), made on first use. Readers run synchronously on it and
// return copies; writers are queued asynchronously, so a read issued after a
// write has returned observes it. None of the operations may be called from a
// block running on that queue. The conversions touch no state.
//
// Nothing is logged and no error is reported.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "os/foundation/value.h"

inline constexpr const char* kAPMConsentSettingsUtilQueueLabel = "APMConsentSettingsUtilQueue";

inline constexpr const char* kAPMConsentTypeAdStorage = "ad_storage";
inline constexpr const char* kAPMConsentTypeAnalyticsStorage = "analytics_storage";
inline constexpr const char* kAPMConsentTypeAdUserData = "ad_user_data";
inline constexpr const char* kAPMConsentTypeAdPersonalization = "ad_personalization";

inline constexpr const char* kAPMConsentStatusGranted = "granted";
inline constexpr const char* kAPMConsentStatusDenied = "denied";
inline constexpr const char* kAPMConsentStatusEUConsentPolicy = "eu_consent_policy";

inline constexpr int64_t kAPMConsentSourceTCF = 5;
inline constexpr int64_t kAPMConsentSourceThirdParty = 10;
inline constexpr int64_t kAPMConsentSourceInfoPlist = 20;
inline constexpr int64_t kAPMConsentSourcePublicAPI = 30;
inline constexpr int64_t kAPMConsentSourceOnStart = 40;
inline constexpr int64_t kAPMConsentSourceNone = 100;

// Info.plist keys of the app's consent defaults.
inline constexpr const char* kAPMInfoPlistDefaultAllowAdStorageKey = "DEVUVO_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE";
inline constexpr const char* kAPMInfoPlistDefaultAllowAnalyticsStorageKey =
    "DEVUVO_ANALYTICS_DEFAULT_ALLOW_ANALYTICS_STORAGE";
inline constexpr const char* kAPMInfoPlistDefaultAllowAdUserDataKey = "DEVUVO_ANALYTICS_DEFAULT_ALLOW_AD_USER_DATA";
inline constexpr const char* kAPMInfoPlistDefaultAllowAdPersonalizationSignalsKey =
    "DEVUVO_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS";

class APMConsentSettingsUtil {
 public:
  APMConsentSettingsUtil() = delete;

  // ---- Readers (synchronous on the queue) ----
  // Copies; nullopt when unset.
  static std::optional<os::Dictionary> consentSettings();
  static std::optional<os::Dictionary> defaultSettings();
  static std::optional<os::Dictionary> delegatedSettings();
  static std::optional<os::Dictionary> regionalDefaults();
  static int64_t consentSource();
  // 1 or 2.
  static int64_t version();
  // The current "ad_storage" value is "denied"; nothing else is consulted.
  static bool isAdStorageDenied();
  static bool isAnalyticsStorageDenied();
  // The current "ad_user_data" value ("eu_consent_policy": the regional
  // fallback); when absent, the current value of the type it is delegated
  // to, else its default.
  static bool isAdUserDataDenied();
  // 1 granted, 0 denied, nullopt otherwise: the current value
  // ("eu_consent_policy": the regional fallback), else the default.
  static std::optional<int> adPersonalization();
  // "G1" and one character each for "ad_storage" and "analytics_storage":
  // "1" granted, "0" denied, "-" anything else. "G1--" with nothing set.
  static std::string consentSignals();
  // Refreshes the diagnostics (keeping recorded digits) and answers "1" and
  // the four digits; "19999" with nothing set.
  static std::string consentDiagnostics();
  // "ad_storage is granted. analytics_storage is denied." and, for the two
  // other types when set, " <type> is <value>."; an absent storage value
  // shows as "granted", "eu_consent_policy" as "<fallback> (eu_consent_policy)".
  static std::string description();
  // `source` equals the current one, or the two are 5 and 10.
  static bool isConsentSourceEqualPriority(int64_t source);
  // Equal priority, or the current source is not lower than `source`.
  static bool isConsentSourceHigherPriority(int64_t source);
  // isAdUserDataDenied now differs from the earlier answer.
  static bool didAdUserDataConsentChange(bool previousAdUserDataDenied);

  // ---- Writers (queued) ----
  // Stores a copy. nullopt also sets the source to 100 and refreshes the
  // diagnostics from it.
  static void setConsentSettings(std::optional<os::Dictionary> settings);
  static void setDefaultSettings(std::optional<os::Dictionary> settings);
  static void setDelegatedSettings(std::optional<os::Dictionary> settings);
  static void setRegionalDefaults(std::optional<os::Dictionary> settings);
  // Sets the source and refreshes the diagnostics from it.
  static void setConsentSource(int64_t source);
  // Only 1 and 2 are taken.
  static void setVersion(int64_t version);
  // Merges: every entry of `settings` is added or replaced.
  static void updateSettings(os::Dictionary settings);
  // Merges, makes `source` the current source and records its digit for
  // every key of `settings` (once the diagnostics exist). No priority check.
  static void updateSettings(os::Dictionary settings, int64_t source);
  // Stores the digit unchanged.
  static void setDiagnosticSource(int64_t digit, std::string consentType);
  // Removes "ad_personalization" from the current settings (its digit
  // becomes 0); nothing when it is not set.
  static void unsetAdPersonalization();
  // Everything but the version back to the start: source 100, no settings,
  // diagnostics all 0.
  static void clearAllSettings();

  // ---- Conversions (no state) ----
  // Only the four consent-type keys, values unchanged.
  static os::Dictionary consentSettingsFromDictionary(const os::Dictionary& dictionary);
  // The app defaults from the main bundle's Info.plist (keys above): a value
  // with a boolean reading gives "granted" or "denied"; "eu_consent_policy"
  // (any case) is kept for "ad_user_data" and "ad_personalization"; the
  // personalization key takes string values only. Other values are left out.
  static os::Dictionary consentSettingsFromPlist();
  // The server configuration's codes: type 1..4 in the order above; status 1
  // "granted", 2 "denied". nullopt for any other code.
  static std::optional<std::string> consentTypeForCode(int64_t code);
  static std::optional<std::string> consentStatusForCode(int64_t code);

  // ---- For tests ----
  // The state of a new process (no diagnostics yet, version 1), on the queue.
  static void TEST_reset();
};
