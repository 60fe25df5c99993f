// APMUserDefaults: the measurement library's key-value store over the
// platform preferences (os::UserDefaults) of one domain: a named suite, or
// the application's own domain for an empty name.
//
// Bad keys and values are refused as APMConfigStore says, with warnings to
// the platform logger (41001..41003; not to the measurement monitor, which
// keeps its own state here). synchronize writes the domain and then keeps
// the suite's preferences file out of device backups: once it succeeded,
// never again; after a failure, again at the next synchronize.
//
// The domain is looked up on every call, so a store follows the sandbox and
// os::UserDefaults::resetStandardUserDefaults. Thread-safe; only the backup
// exclusion takes the object's lock.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "measurement/store/config_store.h"
#include "os/foundation/user_defaults.h"

inline constexpr int64_t kAPMUserDefaultsCodeExcludeFailed = 41000;
inline constexpr int64_t kAPMUserDefaultsCodeInvalidGetKey = 41001;
inline constexpr int64_t kAPMUserDefaultsCodeInvalidSetKey = 41002;
inline constexpr int64_t kAPMUserDefaultsCodeInvalidObject = 41003;
inline constexpr int64_t kAPMUserDefaultsCodeSynchronizeFailed = 41004;

class APMUserDefaults : public APMConfigStore {
 public:
  // The shared store over the application's domain. It never touches backup
  // flags (isPreferenceFileExcluded is set).
  static std::shared_ptr<APMUserDefaults> sharedUserDefaults();

  // The application's domain.
  APMUserDefaults() : APMUserDefaults(std::string_view()) {}
  // A suite, or the application's domain for an empty name.
  explicit APMUserDefaults(std::string_view suiteName);

  const std::string& suiteName() const { return suiteName_; }

  os::Value objectForKey(std::string_view key) override;
  void setObject(const os::Value& object, std::string_view key) override;
  // Removes every key the domain stores, with one write.
  void clearAllData() override;
  // Writes the domain (41004 on failure), then excludes the suite's
  // preferences file from backup when it exists and is not excluded yet
  // (41000 on failure, retried next time).
  void synchronize() override;

  bool isPreferenceFileExcluded() const;
  void setIsPreferenceFileExcluded(bool excluded);

 private:
  // The domain's object now; null for a suite name the platform refuses.
  std::shared_ptr<os::UserDefaults> domain() const;

  const std::string suiteName_;
  mutable std::recursive_mutex mutex_;
  bool isPreferenceFileExcluded_ = false;  // guarded by mutex_
};
