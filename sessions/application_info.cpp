#include "sessions/application_info.h"

#include <utility>

#include "os/foundation/device_profile.h"
#include "os/foundation/text.h"
#include "sdk-core/core/rez_user_agent.h"

namespace {

constexpr const char* kBundleVersionKey = "CFBundleVersion";
constexpr const char* kBundleShortVersionKey = "CFBundleShortVersionString";

// Matched in order; the first equal text wins. The last entry's text is the
// same as the one before it, so autopush is never picked from the variable.
constexpr std::pair<const char*, DevEnvironment> kEnvironments[] = {
    {"prod", DevEnvironment::prod},
    {"staging", DevEnvironment::staging},
    {"staging", DevEnvironment::autopush},
};

}  // namespace

ApplicationInfo::ApplicationInfo(std::string appID, std::shared_ptr<const NetworkInfoProtocol> networkInformation,
                                 std::map<std::string, std::string> envParams, std::optional<os::Dictionary> infoDict)
    : appID_(std::move(appID)),
      networkInformation_(std::move(networkInformation)),
      envParams_(std::move(envParams)),
      infoDict_(std::move(infoDict)) {}

std::string ApplicationInfo::sdkVersion() const { return REZVivuzuvuVersion(); }

std::string ApplicationInfo::osName() const { return DAZAppEnvironmentUtil::appleDevicePlatform(); }

std::string ApplicationInfo::deviceModel() const {
  return DAZAppEnvironmentUtil::deviceSimulatorModel().value_or("");
}

DevEnvironment ApplicationInfo::environment() const {
  auto it = envParams_.find(kREZSessionsRunEnvironmentVariable);
  if (it == envParams_.end()) return DevEnvironment::prod;
  const std::string text =
      os::lowercaseString(os::utf8(os::trimmingWhitespaceAndNewlines(os::utf16(it->second))));
  for (const auto& [name, environment] : kEnvironments) {
    if (text == name) return environment;
  }
  return DevEnvironment::prod;
}

std::string ApplicationInfo::infoString(const char* key) const {
  if (!infoDict_) return "";
  auto it = infoDict_->find(key);
  if (it == infoDict_->end() || !it->second.isString()) return "";
  return *it->second.string();
}

std::string ApplicationInfo::appBuildVersion() const { return infoString(kBundleVersionKey); }

std::string ApplicationInfo::appDisplayVersion() const { return infoString(kBundleShortVersionKey); }

std::string ApplicationInfo::osBuildVersion() const {
  // Read afresh on each call into a local: nothing is shared between callers.
  return os::sysctl::stringValue("kern.osversion").value_or("");
}

std::string ApplicationInfo::osDisplayVersion() const { return DAZAppEnvironmentUtil::systemVersion(); }
