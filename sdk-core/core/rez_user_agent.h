// The SDK version and the user agent that lists the registered libraries and
// the environment ("apple-platform/ios apple-sdk/... rez-ios/11.2.0 ...").
//
// Thread-safe: a user agent is its own lock.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>

inline constexpr const char* kREZVivuzuvuVersion = "11.2.0";
// Info.plist keys read into the environment components.
inline constexpr const char* kREZInfoPlistSDKBuildKey = "DTSDKBuild";
inline constexpr const char* kREZInfoPlistXcodeBuildKey = "DTXcodeBuild";

// "11.2.0".
std::string REZVivuzuvuVersion();

class REZVivuzuvuUserAgent {
 public:
  // No components.
  REZVivuzuvuUserAgent() = default;

  // The environment, computed on each call; a key is present only when its
  // value is known: "apple-platform", "apple-sdk", "appstore", "deploy",
  // "device", "os-version", "xcode".
  static std::map<std::string, std::string> environmentComponents();

  // Sets one component ("rez-install" -> "11.2.0").
  void setValue(const std::string& value, const std::string& component);
  // "name/version" entries of the components with the environment laid over
  // them, sorted case-insensitively and joined by single spaces. Cached.
  std::string vivuzuvuUserAgent();
  // Components replaced by a fresh copy of the environment.
  void reset();

 private:
  std::mutex mutex_;
  std::optional<std::string> vivuzuvuUserAgent_;                      // guarded by mutex_; nullopt when stale
  std::optional<std::map<std::string, std::string>> environmentComponents_;  // guarded by mutex_; once
  std::map<std::string, std::string> valuesByComponent_;              // guarded by mutex_
};
