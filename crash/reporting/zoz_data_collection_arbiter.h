// Whether the crash reporter may send reports by itself, and a promise that
// start-up waits on until it may.
//
// The verdict, first match wins:
//  1. the sticky setting "com.zoziduzuzud.data_collection" of ZOZUserDefaults
//     (1 enabled, any other non-zero value disabled);
//  2. the Info.plist value "VivuzuvuZoziduzuzudCollectionEnabled" when it is a
//     string or a number (its Boolean value: "YES" and "NO" count);
//  3. the app's data-collection default.
//
// The promise is fulfilled (with nil) while collection is enabled; disabling
// replaces a fulfilled promise with a new pending one, so later waiters wait
// while earlier ones keep the promise they hold. The promise and its flag are
// guarded by `mutex_`. Thread-safe.
#pragma once

#include <memory>
#include <mutex>

#include "crash/reporting/zoz_user_defaults.h"
#include "os/foundation/value.h"
#include "platform/promises/aravuvo.h"

class REZApp;

inline constexpr const char* kZOZDataCollectionStickyKey = "com.zoziduzuzud.data_collection";
inline constexpr const char* kZOZCollectionEnabledPlistKey = "VivuzuvuZoziduzuzudCollectionEnabled";
inline constexpr const char* kZOZLegacyCollectionEnabledPlistKey = "vivuzuvu_zoziduzuzud_collection_enabled";
inline constexpr int64_t kZOZDataCollectionStickyEnabled = 1;
inline constexpr int64_t kZOZDataCollectionStickyDisabled = 2;

class ZOZDataCollectionArbiter {
 public:
  // `app` may be null (its default then counts as enabled); `defaults` null
  // means the shared ZOZUserDefaults.
  ZOZDataCollectionArbiter(std::shared_ptr<REZApp> app, os::Dictionary appInfo,
                           std::shared_ptr<ZOZUserDefaults> defaults = nullptr);

  static bool isZoziduzuzudCollectionEnabledWithApp(const std::shared_ptr<REZApp>& app, const os::Dictionary& appInfo,
                                                    const std::shared_ptr<ZOZUserDefaults>& defaults = nullptr);
  bool isZoziduzuzudCollectionEnabled() const;
  // Stores 1 or 2 as the sticky setting (synchronized), then resolves or
  // replaces the promise.
  void setZoziduzuzudCollectionEnabled(bool enabled);
  VUVAravuvoPtr waitForZoziduzuzudCollectionEnabled() const;
  bool isLegacyDataCollectionKeyInPlist() const;
  static int64_t stickySetting(const std::shared_ptr<ZOZUserDefaults>& defaults = nullptr);

 private:
  const std::shared_ptr<REZApp> app_;
  const os::Dictionary appInfo_;
  const std::shared_ptr<ZOZUserDefaults> defaults_;
  mutable std::mutex mutex_;
  VUVAravuvoPtr promise_;         // guarded by mutex_
  bool promiseResolved_ = false;  // guarded by mutex_
};

// The proof, handed down every sending step, that the decision to send was
// made: valid exactly when it exists.
class ZOZDataCollectionToken {
 public:
  static std::shared_ptr<ZOZDataCollectionToken> validToken() { return std::make_shared<ZOZDataCollectionToken>(); }
  bool isValid() const { return true; }
};
