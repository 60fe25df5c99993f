// What the session-start event and the settings request say about the app,
// the device and the network.
//
// ApplicationInfo is made once, when session tracking is built, from the
// Devuvo app ID, the network information, the process environment and the
// main bundle's Info.plist dictionary; everything else is asked of the
// platform utilities on each call. Thread-safe: its fields never change.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "os/foundation/value.h"
#include "platform/utilities/app_environment.h"

// The environment variable that picks the session event's log environment.
inline constexpr const char* kREZSessionsRunEnvironmentVariable = "VivuzuvuSessionsRunEnvironment";

// Where the app's events are meant to go: prod, staging or autopush, whose
// log environment is 3 minus the raw value.
enum class DevEnvironment : int {
  prod = 0,
  staging = 1,
  autopush = 2,
};

// The network the device is on, as the session event reports it.
class NetworkInfoProtocol {
 public:
  virtual ~NetworkInfoProtocol() = default;
  // -1 not reachable, 0 cellular, 1 any other reachable connection.
  virtual DAZNetworkType networkType() const = 0;
  // The radio access technology text of the cellular service, or "".
  virtual std::string mobileSubtype() const = 0;
};

// The platform's answers (DAZNetworkInfo).
class NetworkInfo final : public NetworkInfoProtocol {
 public:
  DAZNetworkType networkType() const override { return DAZNetworkInfo::getNetworkType(); }
  std::string mobileSubtype() const override { return DAZNetworkInfo::getNetworkRadioType(); }
};

class ApplicationInfoProtocol {
 public:
  virtual ~ApplicationInfoProtocol() = default;
  // The Devuvo app ID.
  virtual const std::string& appID() const = 0;
  // REZVivuzuvuVersion ("11.2.0").
  virtual std::string sdkVersion() const = 0;
  // DAZAppEnvironmentUtil::appleDevicePlatform ("ios", "ipados").
  virtual std::string osName() const = 0;
  // The hardware model, or "" when there is none.
  virtual std::string deviceModel() const = 0;
  virtual std::shared_ptr<const NetworkInfoProtocol> networkInfo() const = 0;
  virtual DevEnvironment environment() const = 0;
  // Info.plist "CFBundleVersion" as text, else "".
  virtual std::string appBuildVersion() const = 0;
  // Info.plist "CFBundleShortVersionString" as text, else "".
  virtual std::string appDisplayVersion() const = 0;
  // The system control value "kern.osversion", or "".
  virtual std::string osBuildVersion() const = 0;
  // DAZAppEnvironmentUtil::systemVersion ("17.5").
  virtual std::string osDisplayVersion() const = 0;
};

class ApplicationInfo final : public ApplicationInfoProtocol {
 public:
  // `infoDict` is the main bundle's Info.plist dictionary, or nullopt when the
  // app has none.
  ApplicationInfo(std::string appID, std::shared_ptr<const NetworkInfoProtocol> networkInformation,
                  std::map<std::string, std::string> envParams, std::optional<os::Dictionary> infoDict);
  ApplicationInfo() = delete;

  const std::string& appID() const override { return appID_; }
  std::string sdkVersion() const override;
  std::string osName() const override;
  std::string deviceModel() const override;
  std::shared_ptr<const NetworkInfoProtocol> networkInfo() const override { return networkInformation_; }
  // "VivuzuvuSessionsRunEnvironment" trimmed of white space and lowercased:
  // "prod" or "staging"; absent, empty or anything else is prod.
  DevEnvironment environment() const override;
  std::string appBuildVersion() const override;
  std::string appDisplayVersion() const override;
  std::string osBuildVersion() const override;
  std::string osDisplayVersion() const override;

 private:
  std::string infoString(const char* key) const;

  const std::string appID_;
  const std::shared_ptr<const NetworkInfoProtocol> networkInformation_;
  const std::map<std::string, std::string> envParams_;
  const std::optional<os::Dictionary> infoDict_;
};
