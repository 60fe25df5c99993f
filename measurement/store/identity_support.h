// Advertising identifier and tracking authorisation, through an optional
// companion module.
//
//   APMIdentitySupport         what identity asks of such a module (the
//                              protocol "APMIdentitySupport").
//   APMDefaultIdentitySupport  the bridge identity uses: it finds the
//                              companion class "APMPlatformIdentitySupport" by
//                              name in os::runtime and keeps its shared
//                              object. Without the module there is no
//                              advertising identifier.
//
// The companion class answers the class method "sharedInstance" with a
// std::shared_ptr<os::runtime::Object> that conforms to the protocol
// "APMIdentitySupport" and is an APMIdentitySupport.
//
// The advertising identifier is fetched on the serial queue
// "APMDefaultIdentitySupport" and waited for at most 10 ms of os::Clock time;
// a fetch that is late leaves the previous answer in place (it is stored when
// it arrives). Thread-safe: the last answer is guarded by the object's lock.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "os/dispatch/queue.h"

inline constexpr const char* kAPMIdentitySupportProtocol = "APMIdentitySupport";
inline constexpr const char* kAPMPlatformIdentitySupportClassName = "APMPlatformIdentitySupport";
inline constexpr const char* kAPMPlatformIdentitySupportSharedInstanceSelector = "sharedInstance";
inline constexpr const char* kAPMDefaultIdentitySupportQueueLabel = "APMDefaultIdentitySupport";
inline constexpr int64_t kAPMResettableDeviceIDWaitNanos = 10 * os::kNanosPerMillisecond;
// The advertising identifier of a device that gives none.
inline constexpr const char* kAPMZeroResettableDeviceID = "00000000-0000-0000-0000-000000000000";
inline constexpr const char* kAPMAdSupportDocumentationURL = "https://docs.devuvo.invalid/analytics/ad-support";

inline constexpr int64_t kAPMIdentitySupportCodeModuleLinked = 44000;        // level 7
inline constexpr int64_t kAPMIdentitySupportCodeAdSupportLinked = 44001;     // level 7
inline constexpr int64_t kAPMIdentitySupportCodeAdSupportMissing = 44002;    // level 4
inline constexpr int64_t kAPMIdentitySupportCodeModuleMissing = 44003;       // level 4

// Tracking-authorisation status of the platform.
enum class APMAppDataConsentStatus : uint64_t { notDetermined = 0, restricted = 1, denied = 2, authorized = 3 };

class APMIdentitySupport {
 public:
  virtual ~APMIdentitySupport() = default;
  virtual bool hasAppDataConsentStatus() = 0;
  // The platform's tracking-authorisation status (APMAppDataConsentStatus).
  virtual uint64_t appDataConsentStatus() = 0;
  // The advertising-support framework is present.
  virtual bool hasLimitedAdTracking() = 0;
  virtual bool limitedAdTracking() = 0;
  // The advertising identifier.
  virtual std::optional<std::string> resettableDeviceID() = 0;
};

class APMDefaultIdentitySupport : public APMIdentitySupport,
                                  public std::enable_shared_from_this<APMDefaultIdentitySupport> {
 public:
  // Made once, on first use.
  static std::shared_ptr<APMDefaultIdentitySupport> sharedInstance();
  // Looks the companion module up now and logs what it found (44000 and
  // 44001 or 44002 when present, 44003 when absent).
  static std::shared_ptr<APMDefaultIdentitySupport> init();
  // The device profile's system is version 14.0.0 or later.
  static bool iOS14OrAbove();

  // The module's answers; without it NO, all bits set, NO.
  bool hasAppDataConsentStatus() override;
  uint64_t appDataConsentStatus() override;
  bool hasLimitedAdTracking() override;
  // From system 14: whether resettableDeviceID is none or all zero. Before:
  // the module's (NO without it).
  bool limitedAdTracking() override;
  // Asks the module on the support queue and waits at most 10 ms; then the
  // last answer stored. None without the module.
  std::optional<std::string> resettableDeviceID() override;

  bool hasPlatformIdentitySupport() const { return platformIdentitySupport_ != nullptr; }

 private:
  explicit APMDefaultIdentitySupport(std::shared_ptr<APMIdentitySupport> platformIdentitySupport);

  const std::shared_ptr<APMIdentitySupport> platformIdentitySupport_;
  std::mutex mutex_;
  std::optional<std::string> resettableDeviceID_;  // guarded by mutex_
  const std::shared_ptr<os::DispatchQueue> queue_;
};
