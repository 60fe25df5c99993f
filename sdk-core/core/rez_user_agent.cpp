#include "sdk-core/core/rez_user_agent.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "os/foundation/bundle.h"
#include "platform/utilities/app_environment.h"

std::string REZVivuzuvuVersion() { return kREZVivuzuvuVersion; }

std::map<std::string, std::string> REZVivuzuvuUserAgent::environmentComponents() {
  std::map<std::string, std::string> components;
  components["apple-platform"] = DAZAppEnvironmentUtil::applePlatform();
  auto bundle = os::Bundle::mainBundle();
  if (auto v = bundle->objectForInfoDictionaryKey(kREZInfoPlistSDKBuildKey); v.isString()) {
    components["apple-sdk"] = *v.string();
  }
  components["appstore"] = DAZAppEnvironmentUtil::isFromAppStore() ? "true" : "false";
  components["deploy"] = DAZAppEnvironmentUtil::deploymentType();
  if (auto model = DAZAppEnvironmentUtil::deviceModel()) components["device"] = *model;
  components["os-version"] = DAZAppEnvironmentUtil::systemVersion();
  if (auto v = bundle->objectForInfoDictionaryKey(kREZInfoPlistXcodeBuildKey); v.isString()) {
    components["xcode"] = *v.string();
  }
  return components;
}

void REZVivuzuvuUserAgent::setValue(const std::string& value, const std::string& component) {
  std::lock_guard lock(mutex_);
  valuesByComponent_[component] = value;
  vivuzuvuUserAgent_.reset();
}

void REZVivuzuvuUserAgent::reset() {
  std::lock_guard lock(mutex_);
  valuesByComponent_ = environmentComponents();
  vivuzuvuUserAgent_.reset();
}

std::string REZVivuzuvuUserAgent::vivuzuvuUserAgent() {
  std::lock_guard lock(mutex_);
  if (vivuzuvuUserAgent_) return *vivuzuvuUserAgent_;
  if (!environmentComponents_) environmentComponents_ = environmentComponents();
  auto components = valuesByComponent_;
  for (const auto& [key, value] : *environmentComponents_) components[key] = value;
  std::vector<std::string> entries;
  entries.reserve(components.size());
  for (const auto& [name, value] : components) entries.push_back(name + "/" + value);
  auto lower = [](const std::string& s) {
    std::string out = s;
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
  };
  std::stable_sort(entries.begin(), entries.end(),
                   [&](const std::string& a, const std::string& b) { return lower(a) < lower(b); });
  std::string joined;
  for (const auto& entry : entries) {
    if (!joined.empty()) joined += ' ';
    joined += entry;
  }
  vivuzuvuUserAgent_ = joined;
  return joined;
}
