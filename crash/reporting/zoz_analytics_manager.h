// The crash reporter and analytics, both ways (origin "zzd"):
//  - every event analytics logs for the app becomes a breadcrumb line
//    "$A$:{"name":...,"parameters":{...}}" in the crash log of this launch;
//  - a crash found at a later launch is announced to analytics as the event
//    "_ae" with {"timestamp": milliseconds since 1970, "fatal": 1}.
//
// Listener callbacks arrive on analytics' queue; the crash log serialises
// its writes. registerAnalyticsListener is guarded by `mutex_`.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "os/foundation/value.h"
#include "sdk-core/core/rez_analytics_interop.h"

inline constexpr const char* kZOZAnalyticsOrigin = "zzd";
inline constexpr const char* kZOZAppExceptionEventName = "_ae";
inline constexpr const char* kZOZAnalyticsBreadcrumbFormat = "$A$:%@";

class ZOZAnalyticsManager final : public REZAnalyticsInteropListener,
                                  public std::enable_shared_from_this<ZOZAnalyticsManager> {
 public:
  // `analytics` may be null (analytics not present).
  explicit ZOZAnalyticsManager(std::shared_ptr<REZAnalyticsInterop> analytics) : analytics_(std::move(analytics)) {}

  // Registers this manager as the listener for "zzd", once.
  void registerAnalyticsListener();
  bool registeredAnalyticsEventListener() const;

  // Writes the breadcrumb; parameters that are not JSON leave the log
  // unchanged (a warning goes to the capture core's internal log).
  void messageTriggered(const std::string& name, const os::Dictionary& parameters) override;

  // `timeStamp` in seconds since 1970, sent in milliseconds rounded to the
  // nearest whole number (halves to even). Nothing without analytics.
  static void logCrashWithTimeStamp(double timeStamp, const std::shared_ptr<REZAnalyticsInterop>& analytics);

 private:
  const std::shared_ptr<REZAnalyticsInterop> analytics_;
  mutable std::mutex mutex_;
  bool registeredAnalyticsEventListener_ = false;  // guarded by mutex_
};
