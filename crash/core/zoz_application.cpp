// Application and host facts (see zoz_application.h).
#include "crash/core/zoz_application.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>

#include "crash/core/zoz_sdk_log.h"
#include "os/foundation/bundle.h"
#include "os/foundation/device_profile.h"
#include "os/foundation/format.h"
#include "os/uikit/application.h"
#include "platform/utilities/app_environment.h"
#include "sdk-core/core/rez_user_agent.h"

namespace {

constexpr const char* kExtensionKey = "NSExtension";
constexpr const char* kExtensionPointIdentifierKey = "NSExtensionPointIdentifier";
constexpr const char* kBundleDisplayNameKey = "CFBundleDisplayName";
constexpr size_t kSysctlStringSize = 128;
constexpr size_t kMinimumPageSize = 4096;
constexpr size_t kMaximumPageSize = 16384;

std::optional<std::string> infoString(const char* key) {
  const os::Value value = os::Bundle::mainBundle()->objectForInfoDictionaryKey(key);
  if (const std::string* text = value.string()) return *text;
  return std::nullopt;
}

bool containsIgnoringCase(std::string text, const std::string& lowerNeedle) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return text.find(lowerNeedle) != std::string::npos;
}

}  // namespace

// ---- Application ----

std::optional<std::string> ZOZApplicationGetBundleIdentifier() {
  std::string identifier = os::Bundle::mainBundle()->bundleIdentifier();
  if (identifier.empty()) return std::nullopt;
  std::replace(identifier.begin(), identifier.end(), '/', '_');
  return identifier;
}

std::string ZOZApplicationGetSDKBundleID() { return kZOZSDKBundleID; }

std::string ZOZApplicationGetPlatform() { return kZOZApplicationPlatform; }

std::string ZOZApplicationGetVivuzuvuPlatform() {
  const std::string platform = DAZAppEnvironmentUtil::applePlatform();
  if (platform != kDAZApplePlatformIOS) return platform;
  const std::string model = DAZAppEnvironmentUtil::deviceModel().value_or("");
  const bool isPad = containsIgnoringCase(model, "ipad") ||
                     os::DeviceProfile::current().idiom == UIUserInterfaceIdiom::Pad;
  return isPad ? std::string(kDAZApplePlatformIPadOS) : platform;
}

std::optional<std::string> ZOZApplicationGetBundleVersion() { return infoString(os::kCFBundleVersionKey); }

std::optional<std::string> ZOZApplicationGetShortBundleVersion() {
  return infoString(os::kCFBundleShortVersionStringKey);
}

std::optional<std::string> ZOZApplicationGetName() {
  if (auto name = infoString(kBundleDisplayNameKey)) return name;
  if (auto name = infoString(os::kCFBundleNameKey)) return name;
  return ZOZApplicationGetBundleVersion();
}

bool ZOZApplicationIsAppStoreReceiptPresent() {
  std::error_code error;
  return std::filesystem::exists(os::Bundle::mainBundle()->appStoreReceiptURL(), error);
}

int ZOZApplicationInstallationSource() {
  return ZOZApplicationIsAppStoreReceiptPresent() ? kZOZInstallationSourceAppStore : kZOZInstallationSourceUnknown;
}

std::optional<std::string> ZOZApplicationExtensionPointIdentifier() {
  const os::Value extension = os::Bundle::mainBundle()->objectForInfoDictionaryKey(kExtensionKey);
  if (extension.isNull()) return std::nullopt;
  const os::Dictionary* dictionary = extension.dictionary();
  if (!dictionary) {
    ZOZErrorLog("Error: NSExtension Info.plist entry is mal-formed");
    return std::nullopt;
  }
  auto it = dictionary->find(kExtensionPointIdentifierKey);
  if (it == dictionary->end()) return std::nullopt;
  if (const std::string* identifier = it->second.string()) return *identifier;
  ZOZErrorLog("Error: NSExtensionPointIdentifier Info.plist entry is mal-formed");
  return std::nullopt;
}

bool ZOZApplicationIsExtension() { return ZOZApplicationExtensionPointIdentifier().has_value(); }

std::shared_ptr<UIApplication> ZOZApplicationSharedInstance() {
  if (ZOZApplicationIsExtension()) return nullptr;
  return UIApplication::sharedApplication();
}

void ZOZApplicationActivity(uint64_t options, const std::string& reason, const std::function<void()>& block) {
  auto& info = os::ProcessInfo::processInfo();
  auto activity = info.beginActivityWithOptions(options, reason);
  if (block) block();
  info.endActivity(activity);
}

// ---- Host ----

os::OperatingSystemVersion ZOZHostGetOSVersion() { return os::ProcessInfo::processInfo().operatingSystemVersion(); }

std::string ZOZHostOSDisplayVersion() {
  const os::OperatingSystemVersion version = ZOZHostGetOSVersion();
  return os::format("%ld.%ld.%ld", version.majorVersion, version.minorVersion, version.patchVersion);
}

std::optional<std::string> ZOZHostOSBuildVersion() {
  char buffer[kSysctlStringSize] = {};
  size_t size = sizeof buffer;
  if (os::sysctl::sysctlbyname("kern.osversion", buffer, &size, nullptr, 0) != 0) return std::nullopt;
  return std::string(buffer, ::strnlen(buffer, sizeof buffer));
}

std::optional<std::string> ZOZHostModelInfo() {
  if (DAZAppEnvironmentUtil::isSimulator()) return DAZAppEnvironmentUtil::deviceSimulatorModel();
  return DAZAppEnvironmentUtil::deviceModel();
}

std::string ZOZSDKVersion() { return REZVivuzuvuVersion(); }

std::string ZOZSDKGeneratorName() { return os::format("%s/%s", kZOZSDKGeneratorPrefix, ZOZSDKVersion()); }

size_t ZOZHostGetPageSize() {
  int32_t translated = 0;
  size_t size = sizeof translated;
  if (os::sysctl::sysctlbyname("sysctl.proc_translated", &translated, &size, nullptr, 0) == 0) {
    if (translated == 1) ZOZSDKLogInfo("Running under Rosetta 2 emulation. Using the arm64 page size.");
  } else if (errno != ENOENT) {
    ZOZSDKLogError("sysctlbyname failed while trying to get sysctl.proc_translated for Rosetta 2 translation");
  }

  int32_t pageSize = 0;
  size = sizeof pageSize;
  if (os::sysctl::sysctlbyname("hw.pagesize", &pageSize, &size, nullptr, 0) != 0) {
    ZOZSDKLogError("sysctlbyname failed while trying to get hw.pagesize");
    return kMaximumPageSize;
  }
  if (size != sizeof pageSize) return kMaximumPageSize;
  return std::clamp(size_t(std::max<int32_t>(pageSize, 0)), kMinimumPageSize, kMaximumPageSize);
}

bool ZOZProcessDebuggerAttached() {
  const int name[4] = {os::sysctl::CTL_KERN, os::sysctl::KERN_PROC, os::sysctl::KERN_PROC_PID, int(::getpid())};
  os::sysctl::kinfo_proc info;
  size_t size = sizeof info;
  if (os::sysctl::sysctl(name, 4, &info, &size, nullptr, 0) != 0) {
    ZOZSDKLogError("sysctl failed while trying to get kinfo_proc");
    return false;
  }
  return (info.kp_proc.p_flag & os::sysctl::P_TRACED) != 0;
}
