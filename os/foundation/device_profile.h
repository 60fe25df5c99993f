// os::DeviceProfile: the device the app believes it runs on (model, system,
// screen, locale). The program and tests set it; the default is an iPhone 13 Pro
// on iOS 17.5. os::sysctl answers the system-control names the callers read,
// from the profile and from the host.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// The platform's user-interface idiom, raw values kept. The device profile
// reports it; UIKit's traits and UIDevice hand out this same type.
enum class UIUserInterfaceIdiom : int { Unspecified = -1, Phone = 0, Pad = 1, TV = 2, CarPlay = 3, Mac = 5 };

namespace os {

// The network the device is on.
enum class DeviceNetwork { None, WiFi, Mobile };

struct DeviceProfile {
  std::string modelIdentifier = "iPhone14,2";  // "hw.machine" on a device
  std::string hardwareModel = "D63AP";         // "hw.model"
  std::string model = "iPhone";                 // UIDevice model
  std::string name = "iPhone";
  UIUserInterfaceIdiom idiom = UIUserInterfaceIdiom::Phone;
  std::string systemName = "iOS";
  std::string systemVersion = "17.5";           // "major.minor[.patch]"
  std::string systemBuildVersion = "21F79";     // "kern.osversion"
  double screenWidth = 390;                     // points
  double screenHeight = 844;
  double screenScale = 3;
  std::vector<std::string> preferredLanguages = {"en-US"};
  std::string localeIdentifier = "en_US";
  // Empty: the host's zone ($TZ, /etc/timezone, else "UTC"), read once.
  std::string timeZoneIdentifier;
  // On a simulator "hw.machine" is the host's architecture ("x86_64", "arm64").
  bool isSimulator = false;
  bool isiOSAppOnMac = false;
  // Unset: the host's network interfaces tell (os/net reachability).
  std::optional<DeviceNetwork> network;

  // The profile in force (a copy). Thread-safe.
  static DeviceProfile current();
  static void setCurrent(DeviceProfile profile);
  // Back to the default profile.
  static void reset();
  // Called, on the setting thread and without any lock held, after every
  // setCurrent() and reset(). Handlers cannot be removed.
  using ChangeHandler = void (*)();
  static void addChangeHandler(ChangeHandler handler);

  // The zone identifier in force: timeZoneIdentifier or the host's (read on
  // the first call and kept).
  std::string effectiveTimeZoneIdentifier() const;
  // "hw.machine": the host's architecture on a simulator, else modelIdentifier.
  std::string machine() const;
  // The region of localeIdentifier ("US" of "en_US"); nullopt when it names none.
  std::optional<std::string> countryCode() const;
};

// Installs a profile while it lives, then restores the previous one.
class ScopedDeviceProfile {
 public:
  explicit ScopedDeviceProfile(DeviceProfile profile) : previous_(DeviceProfile::current()) {
    DeviceProfile::setCurrent(std::move(profile));
  }
  ~ScopedDeviceProfile() { DeviceProfile::setCurrent(previous_); }
  ScopedDeviceProfile(const ScopedDeviceProfile&) = delete;
  ScopedDeviceProfile& operator=(const ScopedDeviceProfile&) = delete;

 private:
  DeviceProfile previous_;
};

namespace sysctl {

// The text value of a name: "hw.machine", "hw.model", "kern.osversion",
// "kern.osrelease", "kern.ostype", "kern.hostname"; nullopt for other names.
std::optional<std::string> stringValue(const std::string& name);
// The integer value of a name: "hw.pagesize", "hw.ncpu", "hw.memsize",
// "kern.boottime" (seconds since 1970, from os::Clock), "sysctl.proc_translated"
// (always 0); nullopt for other names.
std::optional<int64_t> int64Value(const std::string& name);

// The kernel boot time in microseconds since 1970 (os::Clock's); the host's
// is read once per process.
int64_t bootTimeMicroseconds();
// Whether a debugger traces this process (the TracerPid of /proc/self/status).
bool isDebuggerAttached();

// ---- The platform's call shapes ----
//
// Each name has a value of a fixed width: the strings above (with their
// terminating zero), "hw.pagesize", "hw.ncpu" and "sysctl.proc_translated" as
// 4-byte integers, "hw.memsize" as an 8-byte integer, "kern.boottime" as a
// 16-byte time value (seconds, microseconds). Both calls return 0, or -1 with
// errno set:
//   ENOENT  the name does not exist (or an override says so);
//   ENOMEM  *oldlenp is smaller than the value (nothing is copied);
//   EPERM   a new value was given (every name is read-only);
//   EINVAL  a null name or length pointer.
// With a null oldp the call only stores the value's width in *oldlenp. On
// success the value is copied and *oldlenp set to its width, so a caller that
// expects another width sees the difference there. Overrides (below) come
// first. Thread-safe; not async-signal-safe.
int sysctlbyname(const char* name, void* oldp, size_t* oldlenp, const void* newp, size_t newlen);

// The management-information path of a process record: {CTL_KERN, KERN_PROC,
// KERN_PROC_PID, pid}. No other path exists (ENOENT); a pid that does not
// exist gives ESRCH. The override name of the path is "kern.proc.pid".
inline constexpr int CTL_KERN = 1;
inline constexpr int KERN_PROC = 14;
inline constexpr int KERN_PROC_PID = 1;
// The process is traced (a debugger or another tracer is attached).
inline constexpr int32_t P_TRACED = 0x800;
struct extern_proc {
  int32_t p_flag = 0;  // P_TRACED from the TracerPid of /proc/<pid>/status
  int32_t p_pid = 0;
};
struct kinfo_proc {
  extern_proc kp_proc;
};
int sysctl(const int* name, unsigned namelen, void* oldp, size_t* oldlenp, const void* newp, size_t newlen);

// ---- Overrides (tests) ----
// A name's value replaced by one of a given width, or made to fail with an
// errno value. They apply to stringValue and int64Value too (an int32 or
// int64 override is an integer there, a failure is nullopt).
struct Failure {
  int error = ENOENT;
};
using OverrideValue = std::variant<int32_t, int64_t, std::string, Failure>;
void setOverride(const std::string& name, OverrideValue value);
void clearOverride(const std::string& name);
void clearOverrides();

// Sets an override while it lives, then restores what was there before.
class ScopedOverride {
 public:
  ScopedOverride(std::string name, OverrideValue value);
  ~ScopedOverride();
  ScopedOverride(const ScopedOverride&) = delete;
  ScopedOverride& operator=(const ScopedOverride&) = delete;

 private:
  std::string name_;
  std::optional<OverrideValue> previous_;
};

}  // namespace sysctl
}  // namespace os
