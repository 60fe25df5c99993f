// os::ProcessInfo: the running process (launch arguments, environment, name,
// id) and the operating system's version as the device profile gives it.
//
// The program's entry sets the arguments from main's argv before anything
// else reads them; tests set them directly. Thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
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

// Options of a process activity (raw values are the platform's).
enum ActivityOptions : uint64_t {
  ActivitySuddenTerminationDisabled = 1ull << 14,
  ActivityAutomaticTerminationDisabled = 1ull << 15,
};

// A process activity under way: what began it said why and how. The process
// is never suspended or terminated early here, so an activity only records
// that the work is under way, for whoever asks (activeActivities).
struct ProcessActivity {
  uint64_t options = 0;
  std::string reason;
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

  // Begins an activity; it lasts until endActivity is given the token.
  std::shared_ptr<const ProcessActivity> beginActivityWithOptions(uint64_t options, std::string reason);
  // Ends the activity; a token ended already, or null, changes nothing.
  void endActivity(const std::shared_ptr<const ProcessActivity>& activity);
  // The activities under way, in the order they began.
  std::vector<ProcessActivity> activeActivities() const;

 private:
  ProcessInfo() = default;
};

}  // namespace os
