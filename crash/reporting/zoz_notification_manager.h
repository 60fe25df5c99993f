// Keeps three internal keys of the report current: whether the app is in
// the background ("com.zoziduzuzud.in-background") and the device and
// interface orientations ("com.zoziduzuzud.device-orientation",
// "com.zoziduzuzud.ui-orientation").
//
// Notifications arrive on the posting thread (normally the main thread); the
// key store serialises its writes. The manager stays registered with the
// default notification centre until it is destroyed.
#pragma once

#include <memory>

inline constexpr const char* kZOZInBackgroundKey = "com.zoziduzuzud.in-background";
inline constexpr const char* kZOZDeviceOrientationKey = "com.zoziduzuzud.device-orientation";
inline constexpr const char* kZOZUIOrientationKey = "com.zoziduzuzud.ui-orientation";
inline constexpr const char* kZOZStatusBarOrientationDidChangeNotification =
    "UIApplicationDidChangeStatusBarOrientationNotification";

class ZOZNotificationManager {
 public:
  ZOZNotificationManager() = default;
  ~ZOZNotificationManager();
  ZOZNotificationManager(const ZOZNotificationManager&) = delete;
  ZOZNotificationManager& operator=(const ZOZNotificationManager&) = delete;

  // Writes the initial states, then observes the four notifications.
  void registerNotificationListener();
  // "in-background" "0" and both orientations as decimal text, written on
  // the logging queue (not to be called from it).
  void captureInitialNotificationStates();

  void willBecomeActive();
  void didBecomeInactive();
  void didChangeOrientation();
  void didChangeUIOrientation();

 private:
  bool registered_ = false;
};
