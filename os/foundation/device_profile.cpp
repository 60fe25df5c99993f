#include "os/foundation/device_profile.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <unicode/locid.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <vector>

#include "os/foundation/clock.h"

namespace os {
namespace {

std::mutex& profileMutex() {
  static std::mutex m;
  return m;
}

DeviceProfile& profileSlot() {
  static auto& p = *new DeviceProfile();  // guarded by profileMutex(); never destroyed
  return p;
}

std::vector<DeviceProfile::ChangeHandler>& changeHandlers() {
  static auto& h = *new std::vector<DeviceProfile::ChangeHandler>();  // guarded by profileMutex()
  return h;
}

std::string hostMachine() {
  struct utsname u {};
  if (::uname(&u) != 0) return "x86_64";
  return u.machine;
}

}  // namespace

DeviceProfile DeviceProfile::current() {
  std::lock_guard lock(profileMutex());
  return profileSlot();
}

void DeviceProfile::setCurrent(DeviceProfile profile) {
  std::vector<ChangeHandler> handlers;
  {
    std::lock_guard lock(profileMutex());
    profileSlot() = std::move(profile);
    handlers = changeHandlers();
  }
  for (auto handler : handlers) handler();
}

void DeviceProfile::addChangeHandler(ChangeHandler handler) {
  if (!handler) return;
  std::lock_guard lock(profileMutex());
  changeHandlers().push_back(handler);
}

void DeviceProfile::reset() { setCurrent(DeviceProfile()); }

std::string DeviceProfile::effectiveTimeZoneIdentifier() const {
  if (!timeZoneIdentifier.empty()) return timeZoneIdentifier;
  if (const char* tz = std::getenv("TZ"); tz && *tz) return *tz == ':' ? std::string(tz + 1) : std::string(tz);
  std::ifstream in("/etc/timezone");
  std::string zone;
  if (in && std::getline(in, zone) && !zone.empty()) return zone;
  return "UTC";
}

std::string DeviceProfile::machine() const { return isSimulator ? hostMachine() : modelIdentifier; }

std::optional<std::string> DeviceProfile::countryCode() const {
  if (localeIdentifier.empty()) return std::nullopt;
  const icu::Locale locale(localeIdentifier.c_str());
  std::string country = locale.getCountry();
  if (country.empty()) return std::nullopt;
  return country;
}

namespace sysctl {

std::optional<std::string> stringValue(const std::string& name) {
  DeviceProfile p = DeviceProfile::current();
  if (name == "hw.machine") return p.machine();
  if (name == "hw.model") return p.isSimulator ? p.modelIdentifier : p.hardwareModel;
  if (name == "kern.osversion") return p.systemBuildVersion;
  if (name == "kern.ostype") return std::string("Darwin");
  if (name == "kern.osrelease") {
    struct utsname u {};
    if (::uname(&u) == 0) return std::string(u.release);
    return std::nullopt;
  }
  if (name == "kern.hostname") {
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) == 0) return std::string(host);
    return std::nullopt;
  }
  return std::nullopt;
}

std::optional<int64_t> int64Value(const std::string& name) {
  if (name == "hw.pagesize") return int64_t(::sysconf(_SC_PAGESIZE));
  if (name == "hw.ncpu") return int64_t(::sysconf(_SC_NPROCESSORS_ONLN));
  if (name == "hw.memsize") return int64_t(::sysconf(_SC_PHYS_PAGES)) * int64_t(::sysconf(_SC_PAGESIZE));
  if (name == "kern.boottime") return int64_t(Clock::current().bootTime());
  if (name == "sysctl.proc_translated") return int64_t(0);
  return std::nullopt;
}

int64_t bootTimeMicroseconds() { return int64_t(Clock::current().bootTime() * 1e6); }

bool isDebuggerAttached() {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("TracerPid:", 0) == 0) return std::atol(line.c_str() + 10) != 0;
  }
  return false;
}

}  // namespace sysctl
}  // namespace os
