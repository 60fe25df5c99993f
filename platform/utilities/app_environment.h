// DAZAppEnvironmentUtil and DAZNetworkInfo: what the SDKs ask about the
// process, the device and the network.
//
// The device comes from os::DeviceProfile, never from the host's own machine
// name (which would make every run look like a simulator); the bundle from
// os::Bundle::mainBundle(). All functions are thread-safe and never fail.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

inline constexpr const char* kDAZApplePlatformIOS = "ios";
inline constexpr const char* kDAZApplePlatformIOSOnMac = "ios_on_mac";
inline constexpr const char* kDAZApplePlatformIPadOS = "ipados";
inline constexpr const char* kDAZDeploymentType = "swiftpm";
// Info.plist key: a false number skips the sandbox-receipt check.
inline constexpr const char* kDAZAppStoreReceiptURLCheckEnabledKey = "VivuzuvuAppStoreReceiptURLCheckEnabled";

class DAZAppEnvironmentUtil {
 public:
  // A build installed from the store: never on a simulator or with a sandbox
  // receipt; always with "SC_Info" in the main bundle; otherwise only an
  // encrypted executable without an embedded provisioning profile.
  static bool isFromAppStore();
  // The main bundle's store receipt is a sandbox receipt, unless the
  // Info.plist switches the check off.
  static bool isAppStoreReceiptSandbox();
  // deviceModel() is "x86_64" or "i386", or the profile is a simulator's.
  static bool isSimulator();
  // The text value of a system-control name; nullopt when it has none.
  static std::optional<std::string> getSysctlEntry(const std::string& name);
  // The machine: "iPhone14,2" on a device, the host's architecture on a
  // simulator.
  static std::optional<std::string> deviceModel();
  // getSysctlEntry("hw.machine").
  static std::optional<std::string> deviceSimulatorModel();
  // "17.5".
  static std::string systemVersion();
  // The main bundle's folder ends in ".appex".
  static bool isAppExtension();
  // "ios_on_mac" for an iOS app on a Mac (iOS 14 and later), else "ios".
  static std::string applePlatform();
  // "ipados" on an iPad, else applePlatform().
  static std::string appleDevicePlatform();
  // Always "swiftpm".
  static std::string deploymentType();
};

// The telephony network information: radio access technology by service.
// The host has no cellular radio, so it starts empty; tests fill it.
class DAZTelephonyNetworkInfo {
 public:
  std::map<std::string, std::string> serviceCurrentRadioAccessTechnology() const;
  void TEST_setServiceCurrentRadioAccessTechnology(std::map<std::string, std::string> technologies);

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::string> technologies_;  // guarded by mutex_
};

enum class DAZNetworkType : int {
  None = -1,    // no network, or unknown
  Mobile = 0,   // the cellular network
  Other = 1,    // any other network
};

class DAZNetworkInfo {
 public:
  // The shared telephony information (one per process).
  static std::shared_ptr<DAZTelephonyNetworkInfo> getNetworkInfo();
  // The reachability of a fixed public host, from os/net.
  static DAZNetworkType getNetworkType();
  // The radio technology of the first service, or "".
  static std::string getNetworkRadioType();
};

// The host name getNetworkType asks about.
inline constexpr const char* kDAZNetworkInfoReachabilityHost = "example.com";
