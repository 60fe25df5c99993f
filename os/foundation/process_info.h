// os::ProcessInfo: the running process (launch arguments, environment, name,
// id) and the operating system's version as the device profile gives it.
//
// The program's entry sets the arguments from main's argv before anything
// else reads them; tests set them directly. Thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace os {

struct OperatingSystemVersion {
  int64_t majorVersion = 0;
  int64_t minorVersion = 0;
  int64_t patchVersion = 0;
  // Parses "17", "17.5" or "17.5.1"; missing or malformed parts are 0.
  static OperatingSystemVersion parse(const std::string& text);
  friend bool operator==(const OperatingSystemVersion&, const OperatingSystemVersion&) = default;
};

class ProcessInfo {
 public:
  static ProcessInfo& processInfo();

  // The launch arguments, the executable's path or name first. Until set,
  // those of the process as /proc/self/cmdline gives them.
  std::vector<std::string> arguments() const;
  void setArguments(std::vector<std::string> arguments);
  void setArguments(int argc, const char* const* argv);

  // The process environment at the time of the call.
  std::map<std::string, std::string> environment() const;

  // The executable's name, unless set.
  std::string processName() const;
  void setProcessName(std::string name);
  int processIdentifier() const;

  // The crypt identifier in the main executable's encryption information:
  // non-zero for an encrypted executable (a build installed from the store),
  // 0 unless set, as the programs built here carry none. The one source for
  // everything that inspects the executable.
  uint32_t mainExecutableCryptID() const;
  void setMainExecutableCryptID(uint32_t cryptID);

  // From DeviceProfile::current().systemVersion.
  OperatingSystemVersion operatingSystemVersion() const;
  // "Version 17.5 (Build 21F79)".
  std::string operatingSystemVersionString() const;
  bool isOperatingSystemAtLeastVersion(const OperatingSystemVersion& version) const;
  bool isiOSAppOnMac() const;
  // Seconds since boot, from os::Clock.
  double systemUptime() const;

 private:
  ProcessInfo() = default;
};

}  // namespace os
