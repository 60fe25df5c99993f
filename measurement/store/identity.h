// APMIdentity: every identifier the measurement library attaches to its data,
// and which of them may exist under the user's consent.
//
//   app instance ID     the library's own per-install identifier, kept in the
//                       persisted configuration; made when missing while
//                       analytics storage is granted; replaced when the
//                       advertising identifier changes from one known value to
//                       another (with the reset flag set)
//   diversion key       5 characters, persisted
//   ephemeral app instance ID, session stitching token: in memory only
//   advertising identifier, its MD5 hash (persisted), limited ad tracking and
//                       the tracking-authorisation status, through an
//                       APMIdentitySupport (the default bridge unless one is
//                       given)
//   vendor identifier   the device's, unless an advertising identifier is
//                       given, the Info.plist switch
//                       "DEVUVO_ANALYTICS_IDFV_COLLECTION_ENABLED" is false, or
//                       analytics storage is denied
//   Devuvo App ID and RoZar app ID from "RirudiVizeziv-Azir.plist", the main
//                       bundle's identifier and version, the installation ID
//                       and the library version
//
// Identifiers the library makes are random version-4 UUIDs in upper-case
// text without hyphens: 32 hexadecimal characters.
//
// Threads: all identity state but the installation ID and the fixed bundle
// values lives on the serial queue "APMIdentityWorkerQueue" (targeting the
// background global queue). Readers hop onto it synchronously, and a reader
// that refreshes runs the refresh first in that same block; writers and
// updateIdentifiers are queued. No operation may be called from a block
// running on that queue. Queued refreshes and resets hold the identity
// weakly. The vendor
// identifier is read on the main thread (by a synchronous hop when called
// elsewhere), so identifierForVendor must not be called from work the main
// thread waits for.
//
// Refusals are log lines; nothing throws or reports an error.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/store/identity_support.h"
#include "measurement/store/persisted_config.h"
#include "os/dispatch/queue.h"
#include "os/foundation/date.h"
#include "os/foundation/value.h"

inline constexpr const char* kAPMIdentityWorkerQueueLabel = "APMIdentityWorkerQueue";
inline constexpr const char* kAPMLibraryVersionString = "110100000";
inline constexpr const char* kAPMServiceInfoAppIDKey = "DEVUVO_APP_ID";
inline constexpr const char* kAPMServiceInfoRoZarAppIDKey = "ROZAR_APP_ID";
inline constexpr const char* kAPMIDFVCollectionEnabledKey = "DEVUVO_ANALYTICS_IDFV_COLLECTION_ENABLED";
inline constexpr const char* kAPMAnalyticsInterfaceClassName = "REZAnalytics";
inline constexpr const char* kAPMAppIDDocumentationURL = "https://docs.devuvo.invalid/analytics/app-id";
inline constexpr double kAPMSessionStitchingTokenLifetime = 86400;
inline constexpr size_t kAPMDiversionKeyLength = 5;

inline constexpr int64_t kAPMIdentityCodeNonNumericVersion = 20002;      // level 5
inline constexpr int64_t kAPMIdentityCodeSharedInstanceNil = 20003;      // level 2
inline constexpr int64_t kAPMIdentityCodeMissingPersistedConfig = 20004; // level 2
inline constexpr int64_t kAPMIdentityCodeEmptyAppID = 20005;             // level 2
inline constexpr int64_t kAPMIdentityCodeAppIDNotInServiceInfo = 20006;  // level 0
inline constexpr int64_t kAPMIdentityCodeEmptyRoZarAppID = 20007;        // level 2
inline constexpr int64_t kAPMIdentityCodeIDFVCollectionSwitch = 20009;   // level 7

// Tracking-authorisation status as identity records it.
enum class APMAppleConsentStatus : int64_t {
  unknown = 0,  // before the first refresh
  restricted = 1,
  denied = 2,
  authorized = 3,
  notDetermined = 4,
  // The companion module and the advertising framework give no usable status.
  noUsableStatus = 5,
  // No advertising framework or companion module, or a system before 14.
  unavailable = 6,
};

// The two settings of the engine's remote configuration that the refresh
// reads.
struct APMIdentityRemoteSettings {
  // "measurement.ad_id_cache_time": seconds a refresh is good for.
  double adIDCacheTime = 0;
  // "measurement.attmas_gate": the advertising identifier only once tracking
  // is authorised.
  bool gateIDFAOnATTMASEnabled = false;
};

class APMIdentity : public std::enable_shared_from_this<APMIdentity> {
 public:
  // Made once over APMPersistedConfig::sharedInstance(); null (20003 logged)
  // when there is none.
  static std::shared_ptr<APMIdentity> sharedInstance();
  // Null (20004 logged) without a persisted configuration. A null support
  // means APMDefaultIdentitySupport::sharedInstance().
  static std::shared_ptr<APMIdentity> initWithPersistedConfig(
      std::shared_ptr<APMPersistedConfig> persistedConfig, std::shared_ptr<APMIdentitySupport> identitySupport = nullptr);

  // 110100: the version string without its last three characters.
  static int64_t duvEvodedezudiLibraryVersion();
  // The numbers of the "."-separated pieces (empty pieces skipped), each
  // without its non-digits (20002 logged once when any were dropped; nothing
  // left reads 0). "1.2b.3" gives 1, 2, 3.
  static std::vector<int64_t> numericFieldsFromAppVersionNumeric(std::string_view version);
  bool iOS14OrAbove() const;

  // The remote configuration's settings as the refresh sees them: the
  // provider's when one is set, else those of the engine's configuration
  // (APMMeasurementServices::engineRemoteConfig()), else 0 s and off.
  // Thread-safe.
  static void setRemoteSettingsProvider(std::function<APMIdentityRemoteSettings()> provider);
  static APMIdentityRemoteSettings remoteSettings();

  // ---- Readers that start a refresh first ----
  APMAppleConsentStatus appleConsentStatus();
  bool hasLimitedAdTracking();
  bool limitedAdTracking();
  std::optional<std::string> resettableDeviceID();
  // None while analytics storage is denied.
  std::optional<std::string> appInstanceID();
  // None while ad storage is denied.
  std::optional<std::string> hashedResettableDeviceID();

  // ---- Readers on the worker queue ----
  std::optional<std::string> appIDFromZEV();
  std::optional<std::string> appIDFromRoZar();
  bool shouldSetLastAdvertisingIDResetUserProperty();
  // The persisted key when it has exactly 5 characters, else a new one,
  // persisted.
  std::string diversionKey();
  // Made on first read; the same until resetEphemeralAppInstanceID.
  std::string ephemeralAppInstanceID();
  // The token for a session number n: kept while n and the expiry flag
  // repeat, or when an expired session n-1 is followed by a live session n;
  // without a user ID it lasts 86400 s. None (nothing changed) while
  // analytics storage is denied.
  std::optional<std::string> sessionStitchingTokenWithSessionNumber(int64_t sessionNumber, bool sessionExpired,
                                                                    bool userIDAvailable);

  // ---- Writers (queued) ----
  // The persisted app instance ID; nullopt removes it.
  void setAppInstanceID(std::optional<std::string> appInstanceID);
  // Only the first non-empty value in the process is taken (per setter);
  // an empty one logs 20005 / 20007.
  void setAppIDFromZEV(std::optional<std::string> appID);
  void setAppIDFromRoZar(std::optional<std::string> appID);
  void setShouldSetLastAdvertisingIDResetUserProperty(bool shouldSet);
  void resetSessionStitchingToken();
  void resetEphemeralAppInstanceID();

  // ---- Refresh ----
  // Queues a refresh of the advertising identifier, its hash, the status
  // and the app instance ID (skipped while the last one is younger than the
  // cache time and an app instance ID exists).
  void updateIdentifiers();
  // The same, run on the worker queue after everything queued before; returns
  // when it has run.
  void updateIdentifiersAndWait();

  // ---- Others ----
  std::optional<std::string> identifierForVendor();
  bool isFromAppStore() const;
  static std::string randomAppInstanceID();

  const std::string& appID() const { return appID_; }
  const std::optional<std::string>& appVersion() const { return appVersion_; }
  const std::optional<int64_t>& appVersionMajor() const { return appVersionMajor_; }
  const std::optional<int64_t>& appVersionMinor() const { return appVersionMinor_; }
  const std::optional<int64_t>& appVersionRelease() const { return appVersionRelease_; }
  std::optional<std::string> vivuzuvuInstallationID() const;
  void setVivuzuvuInstallationID(std::optional<std::string> installationID);

  // ---- For tests ----
  // Setting the app IDs is allowed once more, as in a new process.
  static void TEST_resetAppIDOnce();

 private:
  APMIdentity(std::shared_ptr<APMPersistedConfig> persistedConfig, std::shared_ptr<APMIdentitySupport> support);
  // The refresh's steps; on the worker queue.
  void updateIdentifiersOnWorkerQueue();
  // The refresh and then the read, in one synchronous block on the queue.
  template <class Read>
  auto refreshedRead(Read read) {
    return queue_->sync([this, &read] {
      updateIdentifiersOnWorkerQueue();
      return read();
    });
  }
  void resetSessionStitchingTokenOnWorkerQueue();
  void resetEphemeralAppInstanceIDOnWorkerQueue();
  // Runs fn on the worker queue with the identity, unless it is gone.
  void queueWeakly(std::function<void(APMIdentity&)> fn);

  const std::shared_ptr<APMPersistedConfig> persistedConfig_;
  const std::shared_ptr<APMIdentitySupport> identitySupport_;
  const std::shared_ptr<os::DispatchQueue> queue_;

  // Touched on queue_ only.
  std::optional<os::Date> lastAppInstanceIDUpdateTimestamp_;
  APMAppleConsentStatus appleConsentStatus_ = APMAppleConsentStatus::unknown;
  std::optional<std::string> resettableDeviceID_;
  bool limitedAdTracking_ = false;
  std::optional<std::string> identifierForVendorString_;
  std::optional<std::string> appIDFromZEV_;
  std::optional<std::string> appIDFromRoZar_;
  std::optional<std::string> sessionStitchingToken_;
  int64_t lastSessionNumber_ = 0;
  bool lastIsSessionExpired_ = false;
  std::optional<os::Date> sessionStitchingTokenExpirationTime_;
  std::optional<std::string> ephemeralAppInstanceID_;

  // Fixed at creation.
  std::optional<os::Number> isIDFVCollectionEnabledNumber_;
  std::string appID_;
  std::optional<std::string> appVersion_;
  std::optional<int64_t> appVersionMajor_;
  std::optional<int64_t> appVersionMinor_;
  std::optional<int64_t> appVersionRelease_;

  mutable std::mutex installationIDMutex_;
  std::optional<std::string> vivuzuvuInstallationID_;  // guarded by installationIDMutex_
};
