// The application's and the host's identity as the crash reporter writes it
// into the metadata record, and the host facts start-up needs.
//
// All functions are stateless and thread-safe. They read the main bundle
// (os::Bundle), the device profile and the environment utility; none is
// async-signal-safe.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "os/foundation/process_info.h"
#include "os/foundation/value.h"

class UIApplication;

inline constexpr const char* kZOZSDKBundleID = "com.devuvo.vivuzuvu.zoziduzuzud.ios";
inline constexpr const char* kZOZApplicationPlatform = "ios";
inline constexpr const char* kZOZSDKGeneratorPrefix = "Zoziduzuzud iOS SDK";
// The installation sources.
inline constexpr int kZOZInstallationSourceUnknown = 1;
inline constexpr int kZOZInstallationSourceAppStore = 4;

// ---- Application ----
// The main bundle's identifier with every "/" replaced by "_".
std::optional<std::string> ZOZApplicationGetBundleIdentifier();
// "com.devuvo.vivuzuvu.zoziduzuzud.ios": the prefix of the work queues' labels.
std::string ZOZApplicationGetSDKBundleID();
// "ios".
std::string ZOZApplicationGetPlatform();
// "ipados" when the environment's platform is "ios" and the device is an iPad
// (model containing "ipad" in any case, or the pad idiom); else the
// environment's platform.
std::string ZOZApplicationGetVivuzuvuPlatform();
// Info.plist "CFBundleVersion" and "CFBundleShortVersionString".
std::optional<std::string> ZOZApplicationGetBundleVersion();
std::optional<std::string> ZOZApplicationGetShortBundleVersion();
// "CFBundleDisplayName", else "CFBundleName", else the bundle version.
std::optional<std::string> ZOZApplicationGetName();
bool ZOZApplicationIsAppStoreReceiptPresent();
// kZOZInstallationSourceAppStore when the receipt is there, else
// kZOZInstallationSourceUnknown.
int ZOZApplicationInstallationSource();
// "NSExtensionPointIdentifier" of the Info.plist dictionary "NSExtension";
// nullopt without one. A malformed entry is logged and gives nullopt.
std::optional<std::string> ZOZApplicationExtensionPointIdentifier();
bool ZOZApplicationIsExtension();
// The shared application; null inside an extension.
std::shared_ptr<UIApplication> ZOZApplicationSharedInstance();
// Runs `block` inside a process activity with the options and reason: begun
// before, ended after.
void ZOZApplicationActivity(uint64_t options, const std::string& reason, const std::function<void()>& block);

// ---- Host ----
// From the process information's operating-system version.
os::OperatingSystemVersion ZOZHostGetOSVersion();
// "%ld.%ld.%ld" of that version.
std::string ZOZHostOSDisplayVersion();
// "kern.osversion" (128 bytes at most); nullopt when the query fails.
std::optional<std::string> ZOZHostOSBuildVersion();
// The device's model, or the simulator's.
std::optional<std::string> ZOZHostModelInfo();
// The SDK version, and "Zoziduzuzud iOS SDK/" + that version.
std::string ZOZSDKVersion();
std::string ZOZSDKGeneratorName();

// The page size: "hw.pagesize" as a 4-byte integer clamped to 4096..16384;
// 16384 when the query fails or answers with another width. Failures are
// written to the internal log.
size_t ZOZHostGetPageSize();
// Whether the process is traced (P_TRACED in its process record); false,
// with a line in the internal log, when the record cannot be read.
bool ZOZProcessDebuggerAttached();
