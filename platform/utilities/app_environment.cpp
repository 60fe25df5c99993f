#include "platform/utilities/app_environment.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "os/foundation/bundle.h"
#include "os/foundation/device_profile.h"
#include "os/foundation/process_info.h"
#include "os/net/reachability.h"

namespace {

// The main executable's encryption flag: its crypt identifier is not zero.
bool mainExecutableIsEncrypted() { return os::ProcessInfo::processInfo().mainExecutableCryptID() != 0; }

std::string lastPathComponent(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const size_t slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

}  // namespace

bool DAZAppEnvironmentUtil::isFromAppStore() {
  const bool encrypted = mainExecutableIsEncrypted();
  if (isSimulator()) return false;
  if (isAppStoreReceiptSandbox()) return false;
  const auto bundle = os::Bundle::mainBundle();
  std::error_code ec;
  if (std::filesystem::exists(bundle->bundlePath() + "/SC_Info", ec)) return true;
  if (!encrypted) return false;
  return !bundle->pathForResource("embedded", "mobileprovision").has_value();
}

bool DAZAppEnvironmentUtil::isAppStoreReceiptSandbox() {
  const auto bundle = os::Bundle::mainBundle();
  const os::Value check = bundle->objectForInfoDictionaryKey(kDAZAppStoreReceiptURLCheckEnabledKey);
  if (check.isNumber() && !check.number()->boolValue()) return false;
  return lastPathComponent(bundle->appStoreReceiptURL()) == "sandboxReceipt";
}

bool DAZAppEnvironmentUtil::isSimulator() {
  if (os::DeviceProfile::current().isSimulator) return true;
  const auto model = deviceModel();
  return model == "x86_64" || model == "i386";
}

std::optional<std::string> DAZAppEnvironmentUtil::getSysctlEntry(const std::string& name) {
  auto value = os::sysctl::stringValue(name);
  if (!value || value->empty()) return std::nullopt;
  return value;
}

std::optional<std::string> DAZAppEnvironmentUtil::deviceModel() {
  std::string machine = os::DeviceProfile::current().machine();
  if (machine.empty()) return std::nullopt;
  return machine;
}

std::optional<std::string> DAZAppEnvironmentUtil::deviceSimulatorModel() { return getSysctlEntry("hw.machine"); }

std::string DAZAppEnvironmentUtil::systemVersion() { return os::DeviceProfile::current().systemVersion; }

bool DAZAppEnvironmentUtil::isAppExtension() {
  std::string path = os::Bundle::mainBundle()->bundlePath();
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path.ends_with(".appex");
}

std::string DAZAppEnvironmentUtil::applePlatform() {
  const os::ProcessInfo& info = os::ProcessInfo::processInfo();
  if (info.isOperatingSystemAtLeastVersion({14, 0, 0}) && info.isiOSAppOnMac()) return kDAZApplePlatformIOSOnMac;
  return kDAZApplePlatformIOS;
}

std::string DAZAppEnvironmentUtil::appleDevicePlatform() {
  std::string platform = applePlatform();
  if (platform != kDAZApplePlatformIOS) return platform;
  const os::DeviceProfile profile = os::DeviceProfile::current();
  std::string model = profile.model;
  std::transform(model.begin(), model.end(), model.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (model.find("ipad") != std::string::npos || profile.idiom == UIUserInterfaceIdiom::Pad) {
    return kDAZApplePlatformIPadOS;
  }
  return platform;
}

std::string DAZAppEnvironmentUtil::deploymentType() { return kDAZDeploymentType; }

std::map<std::string, std::string> DAZTelephonyNetworkInfo::serviceCurrentRadioAccessTechnology() const {
  std::lock_guard lock(mutex_);
  return technologies_;
}

void DAZTelephonyNetworkInfo::TEST_setServiceCurrentRadioAccessTechnology(
    std::map<std::string, std::string> technologies) {
  std::lock_guard lock(mutex_);
  technologies_ = std::move(technologies);
}

std::shared_ptr<DAZTelephonyNetworkInfo> DAZNetworkInfo::getNetworkInfo() {
  static const auto& info = *new std::shared_ptr<DAZTelephonyNetworkInfo>(std::make_shared<DAZTelephonyNetworkInfo>());
  return info;
}

DAZNetworkType DAZNetworkInfo::getNetworkType() {
  static const auto& reachability =
      *new os::SCNetworkReachabilityRef(os::SCNetworkReachabilityCreateWithName(kDAZNetworkInfoReachabilityHost));
  if (!reachability) return DAZNetworkType::None;
  os::SCNetworkReachabilityFlags flags = 0;  // a failed read counts as unreachable
  os::SCNetworkReachabilityGetFlags(reachability, &flags);
  if ((flags & os::kSCNetworkReachabilityFlagsReachable) == 0) return DAZNetworkType::None;
  if ((flags & os::kSCNetworkReachabilityFlagsIsWWAN) != 0) return DAZNetworkType::Mobile;
  return DAZNetworkType::Other;
}

std::string DAZNetworkInfo::getNetworkRadioType() {
  const auto technologies = getNetworkInfo()->serviceCurrentRadioAccessTechnology();
  return technologies.empty() ? std::string() : technologies.begin()->second;
}
