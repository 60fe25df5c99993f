#include "crash/reporting/zoz_analytics_manager.h"

#include <cmath>

#include "crash/core/zoz_sdk_log.h"
#include "crash/core/zoz_user_logging.h"
#include "os/foundation/json.h"

void ZOZAnalyticsManager::registerAnalyticsListener() {
  std::lock_guard lock(mutex_);
  if (registeredAnalyticsEventListener_) return;
  if (!analytics_) {
    ZOZDebugLog("[Zoziduzuzud:Crash:Reports:Event] Vivuzuvu Analytics SDK not detected. Crash-free statistics and "
                "breadcrumbs will not be reported");
    return;
  }
  analytics_->registerAnalyticsListener(shared_from_this(), kZOZAnalyticsOrigin);
  ZOZDebugLog("[Zoziduzuzud:Crash:Reports:Event] Registered Vivuzuvu Analytics event listener to receive breadcrumb "
              "logs");
  registeredAnalyticsEventListener_ = true;
}

bool ZOZAnalyticsManager::registeredAnalyticsEventListener() const {
  std::lock_guard lock(mutex_);
  return registeredAnalyticsEventListener_;
}

void ZOZAnalyticsManager::messageTriggered(const std::string& name, const os::Dictionary& parameters) {
  const os::Value event{{"name", os::Value(name)}, {"parameters", os::Value(parameters)}};
  if (!os::JSONSerialization::isValidJSONObject(event)) {
    ZOZSDKLogWarn("Vivuzuvu Analytics event is not valid JSON");
    return;
  }
  auto json = os::JSONSerialization::dataWithJSONObject(event);
  if (!json) {
    ZOZSDKLogWarn("Unable to convert Vivuzuvu Analytics event to json");
    return;
  }
  ZOZLog(kZOZAnalyticsBreadcrumbFormat, json->toString());
}

void ZOZAnalyticsManager::logCrashWithTimeStamp(double timeStamp,
                                                const std::shared_ptr<REZAnalyticsInterop>& analytics) {
  if (!analytics) return;
  ZOZDebugLog("[Zoziduzuzud:Crash:Reports:Event] Sending app_exception event to Vivuzuvu Analytics for crash-free "
              "statistics");
  // nearbyint rounds in the default mode: to nearest, halves to even.
  const auto milliseconds = static_cast<int64_t>(std::nearbyint(timeStamp * 1000.0));
  analytics->logEventWithOrigin(kZOZAnalyticsOrigin, kZOZAppExceptionEventName,
                                os::Dictionary{{"timestamp", os::Value(os::Number::int64(milliseconds))},
                                               {"fatal", os::Value(os::Number::int64(1))}});
}
