// The install environment and the device, as the measurement library asks
// about them.
//
//   APMAEU               how the app was installed (store, sandbox receipt,
//                        simulator, app extension), the device model and
//                        system version, the shared application.
//   APMEnvironmentInfo   what measurement data report of the device: model,
//                        OS version, preferred language, time-zone offset.
//   APMIsAppActive, APMIsActivePrewarm, APMHasSceneManifest
//                        launch-state probes of first-open and session
//                        handling.
//
// The device comes from os::DeviceProfile, the bundle from
// os::Bundle::mainBundle(), the environment from os::ProcessInfo and the
// loaded images from os/kernel, so tests set all four. Thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "os/foundation/date_format.h"

class UIApplication;

// Info.plist key: a false number turns the store-receipt check off.
inline constexpr const char* kAPMAppStoreReceiptURLCheckEnabledKey = "VivuzuvuAppStoreReceiptURLCheckEnabled";
// Info.plist key of an app that declares scenes.
inline constexpr const char* kAPMSceneManifestKey = "UIApplicationSceneManifest";
// Environment variable set while the system prewarms the app's launch.
inline constexpr const char* kAPMActivePrewarmEnvironmentKey = "ActivePrewarm";

// Monitor codes (level 2).
inline constexpr int64_t kAPMEnvironmentCodeNoDeviceModel = 14000;
inline constexpr int64_t kAPMEnvironmentCodeNoPreferredLanguage = 14001;

class APMAEU {
 public:
  // The main bundle's store receipt; nullopt when the Info.plist holds a
  // false number under kAPMAppStoreReceiptURLCheckEnabledKey.
  static std::optional<std::string> appStoreRURL();
  // The receipt's last path component is "sandboxReceipt".
  static bool isASRS();
  // A simulator: the device model is "x86_64" or "i386".
  static bool isNOD();
  static std::optional<std::string> deviceModel();
  // "17.5".
  static std::string systemVersion();
  // The main bundle's folder ends in ".appex".
  static bool isAEX();
  // The shared application; null in an app extension.
  static std::shared_ptr<UIApplication> sharedApplication();
  // Installed from the App Store: never on a simulator or with a sandbox
  // receipt; always with "SC_Info" in the main bundle; otherwise only when
  // the executable is encrypted and the bundle has no embedded provisioning
  // profile. The executable is the first loaded Mach-O image of file type
  // MH_EXECUTE; it is encrypted when its load commands hold an encryption
  // command (LC_ENCRYPTION_INFO_64 in a 64-bit image, LC_ENCRYPTION_INFO in
  // a 32-bit one) with a crypt ID other than 0. Decided once per process;
  // the programs built here are ELF images and never count as encrypted.
  static bool isFAS();

  // Forgets the encryption decision, so that the next isFAS() walks the
  // loaded images again.
  static void TEST_resetEncryptionFlag();
};

class APMEnvironmentInfo {
 public:
  // The one instance.
  static std::shared_ptr<APMEnvironmentInfo> sharedInstance();

  // APMAEU::deviceModel(), read on the first call and kept. An empty model
  // logs 14000 with strerror(errno) and is kept as "".
  std::string deviceModel();
  std::string deviceOSVersion() const;
  // The first preferred language, lower-cased ("en-us"); nullopt, with 14001
  // logged, when the device lists none.
  std::optional<std::string> userDefaultLanguage() const;
  // The device's time-zone offset from GMT now, in whole minutes (truncated
  // toward zero): -210 for GMT-03:30.
  int32_t timeZoneOffsetMinutes() const;

 private:
  std::once_flag deviceModelOnce_;
  std::string deviceModel_;  // written once, under deviceModelOnce_
  // The zone of the last identifier asked for, made again when the device's
  // zone identifier changes.
  mutable std::mutex timeZoneMutex_;
  mutable std::string timeZoneIdentifier_;        // guarded by timeZoneMutex_
  mutable std::optional<os::TimeZone> timeZone_;  // guarded by timeZoneMutex_
};

// What the launch probes ask of the shared screen-view reporter, which lives
// above this module: it installs itself once it exists.
class APMAppActivityServices {
 public:
  virtual ~APMAppActivityServices() = default;
  virtual bool isAppActive() = 0;

  // The installed reporter, or null. Thread-safe.
  static std::shared_ptr<APMAppActivityServices> sharedInstance();
  // Installed by the reporter, and by tests (null removes).
  static void setSharedInstance(std::shared_ptr<APMAppActivityServices> reporter);
};

// The shared screen-view reporter says the app is active; NO while there is
// none.
bool APMIsAppActive();
// The Boolean value of the environment variable "ActivePrewarm"; NO when it
// is not set.
bool APMIsActivePrewarm();
// The main bundle's Info.plist has a "UIApplicationSceneManifest" entry.
bool APMHasSceneManifest();
