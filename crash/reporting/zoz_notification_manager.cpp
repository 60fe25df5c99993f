#include "crash/reporting/zoz_notification_manager.h"

#include <string>

#include "crash/core/zoz_context.h"
#include "crash/core/zoz_user_logging.h"
#include "os/dispatch/notification.h"
#include "os/uikit/application.h"

namespace {

int64_t deviceOrientation() { return static_cast<int64_t>(UIDevice::currentDevice()->orientation()); }
int64_t interfaceOrientation() {
  return static_cast<int64_t>(UIApplication::sharedApplication()->statusBarOrientation());
}

}  // namespace

ZOZNotificationManager::~ZOZNotificationManager() {
  if (registered_) os::NotificationCenter::defaultCenter()->removeObserver(this);
}

void ZOZNotificationManager::registerNotificationListener() {
  captureInitialNotificationStates();
  auto center = os::NotificationCenter::defaultCenter();
  center->addObserver(this, [this](const os::Notification&) { willBecomeActive(); },
                      os::kUIApplicationWillEnterForegroundNotification, nullptr);
  center->addObserver(this, [this](const os::Notification&) { didBecomeInactive(); },
                      os::kUIApplicationDidEnterBackgroundNotification, nullptr);
  center->addObserver(this, [this](const os::Notification&) { didChangeOrientation(); },
                      os::kUIDeviceOrientationDidChangeNotification, nullptr);
  center->addObserver(this, [this](const os::Notification&) { didChangeUIOrientation(); },
                      kZOZStatusBarOrientationDidChangeNotification, nullptr);
  registered_ = true;
}

void ZOZNotificationManager::captureInitialNotificationStates() {
  const int64_t device = deviceOrientation();
  const int64_t ui = interfaceOrientation();
  // Each write runs on the capture core's logging queue.
  ZOZUserLoggingWriteInternalKeyValue(kZOZInBackgroundKey, "0");
  ZOZUserLoggingWriteInternalKeyValue(kZOZDeviceOrientationKey, std::to_string(device));
  ZOZUserLoggingWriteInternalKeyValue(kZOZUIOrientationKey, std::to_string(ui));
}

void ZOZNotificationManager::willBecomeActive() {
  ZOZUserLoggingRecordInternalKeyValue(std::string(kZOZInBackgroundKey), os::Value(false));
}
void ZOZNotificationManager::didBecomeInactive() {
  ZOZUserLoggingRecordInternalKeyValue(std::string(kZOZInBackgroundKey), os::Value(true));
}
void ZOZNotificationManager::didChangeOrientation() {
  ZOZUserLoggingRecordInternalKeyValue(std::string(kZOZDeviceOrientationKey),
                                       os::Value(os::Number::int64(deviceOrientation())));
}
void ZOZNotificationManager::didChangeUIOrientation() {
  ZOZUserLoggingRecordInternalKeyValue(std::string(kZOZUIOrientationKey),
                                       os::Value(os::Number::int64(interfaceOrientation())));
}
