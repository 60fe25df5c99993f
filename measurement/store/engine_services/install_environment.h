// APMAEU: how the app was installed, as the measurement library asks it.
// The device comes from os::DeviceProfile and the bundle from
// os::Bundle::mainBundle(), so tests set both. Thread-safe.
#pragma once

#include <memory>
#include <optional>
#include <string>

// Info.plist key: a false number turns the sandbox-receipt check off.
inline constexpr const char* kAPMAppStoreReceiptURLCheckEnabledKey = "VivuzuvuAppStoreReceiptURLCheckEnabled";
// Process environment variable set for a prewarmed launch.
inline constexpr const char* kAPMActivePrewarmEnvironmentKey = "ActivePrewarm";
// Info.plist entry of an app that declares scenes.
inline constexpr const char* kAPMSceneManifestKey = "UIApplicationSceneManifest";

class APMAEU {
 public:
  // The main bundle's store receipt, unless the Info.plist turns the check
  // off (nullopt).
  static std::optional<std::string> appStoreRURL();
  // The receipt is a sandbox receipt.
  static bool isASRS();
  // A simulator: the device model is "x86_64" or "i386".
  static bool isNOD();
  static std::optional<std::string> deviceModel();
  // Installed from the App Store: never on a simulator or with a sandbox
  // receipt; always with "SC_Info" in the main bundle; otherwise only an
  // encrypted executable without an embedded provisioning profile. The
  // executable counts as encrypted only when its loaded image carries an
  // encryption command with a crypt ID; no loaded-image list is offered on
  // this platform yet, so it never does.
  static bool isFAS();
};

// Device facts reported with measurement data. One shared instance.
class APMEnvironmentInfo {
 public:
  static std::shared_ptr<APMEnvironmentInfo> sharedInstance();
  // The OS version of the device profile.
  std::string deviceOSVersion() const;
};

// Launch-state probes.
// The Boolean reading of the process environment's "ActivePrewarm" (false
// when absent).
bool APMIsActivePrewarm();
// The main bundle's Info.plist has a "UIApplicationSceneManifest" entry.
bool APMHasSceneManifest();
