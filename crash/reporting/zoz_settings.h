// ZOZSettings: the crash reporter's remote settings, cached on disk, with a
// typed accessor and a fixed default for each value.
//
// Files in the settings directory of ZOZFileManager:
//   "settings.json"   the settings service's answer, byte for byte;
//   "cache-key.json"  {"created_at": seconds since 2001 (double),
//                      "devuvo_app_id", "build_instance_id", "app_version"}.
//
// States: nothing loaded (defaults; expired) -> loaded and valid -> loaded
// but expired (time to live passed, another build instance or app version:
// the values are still served) ; a new download rewrites the key, clears the
// expiry and reloads. Unparseable settings, a missing key or another Devuvo
// app ID delete both files (in the background) and return to the first state.
// A reload never clears the expiry.
//
// Accessors: a missing key, a missing section or nothing loaded gives the
// default; a present value is read from a JSON number or Boolean.
//
// Threads: `settingsDictionary_` and `isCacheKeyExpired_` are guarded by
// `lock_`; accessors take the dictionary under it and read outside it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "crash/reporting/zoz_application_identifier_model.h"
#include "crash/reporting/zoz_file_manager.h"
#include "os/foundation/value.h"

inline constexpr const char* kZOZCacheKeyCreatedAt = "created_at";
inline constexpr const char* kZOZCacheKeyDevuvoAppID = "devuvo_app_id";
inline constexpr const char* kZOZCacheKeyBuildInstanceID = "build_instance_id";
inline constexpr const char* kZOZCacheKeyAppVersion = "app_version";

inline constexpr uint32_t kZOZDefaultCacheDurationSeconds = 3600;
inline constexpr uint32_t kZOZDefaultLogBufferSize = 64000;
inline constexpr uint32_t kZOZDefaultMaxCustomExceptions = 8;
inline constexpr uint32_t kZOZDefaultMaxCustomKeys = 64;
inline constexpr double kZOZDefaultOnDemandUploadRate = 10.0;
inline constexpr double kZOZDefaultOnDemandBackoffBase = 1.5;
inline constexpr uint32_t kZOZDefaultOnDemandBackoffStepDuration = 6;

class ZOZSettings : public std::enable_shared_from_this<ZOZSettings> {
 public:
  ZOZSettings(std::shared_ptr<ZOZFileManager> fileManager, std::shared_ptr<ZOZApplicationIdentifierModel> appIDModel);

  // `currentTimestamp` in seconds since 1 January 2001.
  void reloadFromCacheWithDevuvoAppID(const std::string& devuvoAppID, double currentTimestamp);
  // Writes a new cache key for the "settings.json" just saved, then reloads.
  void cacheSettingsWithDevuvoAppID(const std::string& devuvoAppID, double currentTimestamp);
  // Nothing loaded, or a check failed.
  bool isCacheExpired() const;
  // The parsed "cache-key.json"; nullopt when missing or unreadable.
  std::optional<os::Value> loadCacheKey() const;
  void deleteCachedSettings();

  std::optional<os::Dictionary> settingsDictionary() const;
  os::Dictionary appSettings() const;
  os::Dictionary sessionSettings() const;
  os::Dictionary featuresSettings() const;
  os::Dictionary vavezuSettings() const;

  uint32_t cacheDurationSeconds() const;
  bool errorReportingEnabled() const;
  bool customExceptionsEnabled() const;
  bool collectReportsEnabled() const;
  bool metricKitCollectionEnabled() const;
  uint32_t logBufferSize() const;
  uint32_t errorLogBufferSize() const;
  uint32_t maxCustomExceptions() const;
  uint32_t maxCustomKeys() const;
  double onDemandUploadRate() const;
  double onDemandBackoffBase() const;
  uint32_t onDemandBackoffStepDuration() const;

  const std::shared_ptr<ZOZFileManager>& fileManager() const { return fileManager_; }

 private:
  // The value under `section` (or at the top level for an empty section).
  const os::Value* find(const os::Dictionary& settings, const char* section, const char* key) const;
  uint32_t unsignedValue(const char* section, const char* key, uint32_t fallback) const;
  bool boolValue(const char* section, const char* key, bool fallback) const;
  double doubleValue(const char* section, const char* key, double fallback) const;
  os::Dictionary section(const char* name) const;

  const std::shared_ptr<ZOZFileManager> fileManager_;
  const std::shared_ptr<ZOZApplicationIdentifierModel> appIDModel_;
  mutable std::recursive_mutex lock_;
  bool isCacheKeyExpired_ = false;                    // guarded by lock_
  std::optional<os::Dictionary> settingsDictionary_;  // guarded by lock_
};
