// Session tracking's three settings and where each comes from.
//
//   setting               Info.plist key (local)         remote, in "app_quality"   default
//   sessions enabled      "VivuzuvuSessionsEnabled"      "sessions_enabled"         true
//   session timeout (s)   "VivuzuvuSessionsTimeout"      "session_timeout_seconds"  1800
//   sampling rate (0..1)  "VivuzuvuSessionsSampingRate"  "sampling_rate"            1.0
//
// The first source with a value wins: the Info.plist, then the remote settings
// cached from the settings service, then the default. A value of another type
// counts as not set; no range is checked. (The Info.plist key of the sampling
// rate is spelled as above; the key spelled in full sets nothing.)
//
// The remote settings are refreshed by fetchAndCacheSettings at each session
// start, only when the cached copy has expired:
//   1. no cached content                     -> cache removed, expired
//   2. no readable cache key (error line)    -> cache removed, expired
//   3. cached for another app ID             -> cache removed, expired
//   4. older than "cache_duration" (a top-level number; else 3600 s), strictly
//                                            -> expired, content still read
//   5. fetched for another app version       -> expired, content still read
// A successful download replaces the content and the key; a failure is
// logged and changes nothing. Overlapping fetches are not prevented: the later
// answer wins.
//
// Values are read fresh on each call. Thread-safe (the user defaults are the
// only shared state).
#pragma once

#include <memory>
#include <optional>

#include "os/foundation/date.h"
#include "os/foundation/value.h"
#include "sessions/application_info.h"
#include "sessions/installations_adapter.h"
#include "sessions/settings_cache.h"

inline constexpr const char* kREZSessionsEnabledPlistKey = "VivuzuvuSessionsEnabled";
inline constexpr const char* kREZSessionsTimeoutPlistKey = "VivuzuvuSessionsTimeout";
inline constexpr const char* kREZSessionsSamplingRatePlistKey = "VivuzuvuSessionsSampingRate";
inline constexpr const char* kREZSessionsRemoteSettingsKey = "app_quality";
inline constexpr const char* kREZSessionsRemoteEnabledKey = "sessions_enabled";
inline constexpr const char* kREZSessionsRemoteTimeoutKey = "session_timeout_seconds";
inline constexpr const char* kREZSessionsRemoteSamplingRateKey = "sampling_rate";
inline constexpr const char* kREZSessionsRemoteCacheDurationKey = "cache_duration";
inline constexpr double kREZSessionsDefaultTimeout = 1800;
inline constexpr double kREZSessionsDefaultSamplingRate = 1.0;
inline constexpr double kREZSessionsDefaultCacheDuration = 3600;

// One source of the settings.
class SettingsProvider {
 public:
  virtual ~SettingsProvider() = default;
  virtual std::optional<bool> sessionsEnabled() const = 0;
  virtual std::optional<double> sessionTimeout() const = 0;
  virtual std::optional<double> samplingRate() const = 0;
  // Only the remote source acts on it.
  virtual void fetchAndCacheSettings(os::Date currentTime) { (void)currentTime; }
};

class SDKDefaultSettings final : public SettingsProvider {
 public:
  std::optional<bool> sessionsEnabled() const override { return true; }
  std::optional<double> sessionTimeout() const override { return kREZSessionsDefaultTimeout; }
  std::optional<double> samplingRate() const override { return kREZSessionsDefaultSamplingRate; }
};

// The main bundle's Info.plist, read on each call.
class LocalOverrideSettings final : public SettingsProvider {
 public:
  std::optional<bool> sessionsEnabled() const override;
  std::optional<double> sessionTimeout() const override;
  std::optional<double> samplingRate() const override;
};

class RemoteSettings final : public SettingsProvider {
 public:
  RemoteSettings(std::shared_ptr<const ApplicationInfoProtocol> appInfo,
                 std::shared_ptr<SettingsDownloadClient> downloader, std::shared_ptr<SettingsCacheClient> cache);

  std::optional<bool> sessionsEnabled() const override;
  std::optional<double> sessionTimeout() const override;
  std::optional<double> samplingRate() const override;
  void fetchAndCacheSettings(os::Date currentTime) override;

  // The expiry test above, with its log lines and removals.
  bool isCacheExpired(os::Date currentTime) const;

 private:
  const os::Value* remoteValue(const os::Dictionary& content, const char* key) const;

  const std::shared_ptr<const ApplicationInfoProtocol> appInfo_;
  const std::shared_ptr<SettingsDownloadClient> downloader_;
  const std::shared_ptr<SettingsCacheClient> cache_;
};

class SettingsProtocol {
 public:
  virtual ~SettingsProtocol() = default;
  virtual bool sessionsEnabled() const = 0;
  virtual double sessionTimeout() const = 0;
  virtual double samplingRate() const = 0;
  virtual void fetchAndCacheSettings(os::Date currentTime) = 0;
};

class SessionsSettings final : public SettingsProtocol {
 public:
  // Remote settings over the user defaults and the settings service.
  SessionsSettings(std::shared_ptr<const ApplicationInfoProtocol> appInfo,
                   std::shared_ptr<InstallationsProtocol> installations);
  // Over the three sources given (tests).
  SessionsSettings(std::shared_ptr<const SettingsProvider> localOverrides,
                   std::shared_ptr<SettingsProvider> remoteSettings,
                   std::shared_ptr<const SettingsProvider> sdkDefaults);

  bool sessionsEnabled() const override;
  double sessionTimeout() const override;
  double samplingRate() const override;
  void fetchAndCacheSettings(os::Date currentTime) override;

 private:
  const std::shared_ptr<const SettingsProvider> localOverrides_;
  const std::shared_ptr<SettingsProvider> remoteSettings_;
  const std::shared_ptr<const SettingsProvider> sdkDefaults_;
};
