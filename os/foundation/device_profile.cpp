#include "os/foundation/device_profile.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <unicode/locid.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <string_view>
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
  // The host's zone is read once, as TimeZone::systemTimeZone() reads $TZ.
  static const std::string* host = new std::string([] {  // never destroyed
    if (const char* tz = std::getenv("TZ"); tz && *tz) return *tz == ':' ? std::string(tz + 1) : std::string(tz);
    std::ifstream in("/etc/timezone");
    std::string zone;
    if (in && std::getline(in, zone) && !zone.empty()) return zone;
    return std::string("UTC");
  }());
  return *host;
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
namespace {

std::mutex& overrideMutex() {
  static std::mutex m;
  return m;
}

std::map<std::string, OverrideValue, std::less<>>& overrides() {
  static auto* m = new std::map<std::string, OverrideValue, std::less<>>();  // guarded by overrideMutex()
  return *m;
}

std::optional<OverrideValue> overrideFor(std::string_view name) {
  std::lock_guard lock(overrideMutex());
  auto it = overrides().find(name);
  if (it == overrides().end()) return std::nullopt;
  return it->second;
}

// The TracerPid of /proc/<pid>/status: 0 when untraced, nullopt when the
// process does not exist.
std::optional<long> tracerPid(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  if (!in) return std::nullopt;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("TracerPid:", 0) == 0) return std::atol(line.c_str() + 10);
  }
  return 0;
}

// A name's natural value, as the bytes the platform call copies out.
std::optional<std::string> naturalBytes(const std::string& name) {
  auto bytesOf = [](const auto& v) { return std::string(reinterpret_cast<const char*>(&v), sizeof v); };
  if (name == "hw.pagesize" || name == "hw.ncpu" || name == "sysctl.proc_translated") {
    if (auto v = int64Value(name)) return bytesOf(int32_t(*v));
    return std::nullopt;
  }
  if (name == "hw.memsize") {
    if (auto v = int64Value(name)) return bytesOf(*v);
    return std::nullopt;
  }
  if (name == "kern.boottime") {
    int64_t micros = bootTimeMicroseconds();
    int64_t tv[2] = {micros / 1000000, micros % 1000000};
    return std::string(reinterpret_cast<const char*>(tv), sizeof tv);
  }
  if (auto text = stringValue(name)) return *text + '\0';
  return std::nullopt;
}

// The bytes of a name's value, or the errno of its failure.
std::variant<std::string, int> valueBytes(const std::string& name) {
  if (auto o = overrideFor(name)) {
    if (auto* f = std::get_if<Failure>(&*o)) return f->error;
    if (auto* s = std::get_if<std::string>(&*o)) return *s + '\0';
    if (auto* i = std::get_if<int32_t>(&*o)) return std::string(reinterpret_cast<const char*>(i), sizeof *i);
    auto& l = std::get<int64_t>(*o);
    return std::string(reinterpret_cast<const char*>(&l), sizeof l);
  }
  if (auto bytes = naturalBytes(name)) return *bytes;
  return ENOENT;
}

int copyOut(const std::variant<std::string, int>& value, void* oldp, size_t* oldlenp, const void* newp) {
  if (!oldlenp) {
    errno = EINVAL;
    return -1;
  }
  if (newp) {
    errno = EPERM;
    return -1;
  }
  if (auto* error = std::get_if<int>(&value)) {
    errno = *error;
    return -1;
  }
  const auto& bytes = std::get<std::string>(value);
  if (oldp) {
    if (*oldlenp < bytes.size()) {
      errno = ENOMEM;
      return -1;
    }
    std::memcpy(oldp, bytes.data(), bytes.size());
  }
  *oldlenp = bytes.size();
  return 0;
}

}  // namespace

std::optional<std::string> stringValue(const std::string& name) {
  if (auto o = overrideFor(name)) {
    if (auto* s = std::get_if<std::string>(&*o)) return *s;
    return std::nullopt;
  }
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
  if (auto o = overrideFor(name)) {
    if (auto* i = std::get_if<int32_t>(&*o)) return *i;
    if (auto* l = std::get_if<int64_t>(&*o)) return *l;
    return std::nullopt;
  }
  if (name == "hw.pagesize") return int64_t(::sysconf(_SC_PAGESIZE));
  if (name == "hw.ncpu") return int64_t(::sysconf(_SC_NPROCESSORS_ONLN));
  if (name == "hw.memsize") return int64_t(::sysconf(_SC_PHYS_PAGES)) * int64_t(::sysconf(_SC_PAGESIZE));
  if (name == "kern.boottime") return bootTimeMicroseconds() / 1000000;
  if (name == "sysctl.proc_translated") return int64_t(0);
  return std::nullopt;
}

int64_t bootTimeMicroseconds() {
  std::shared_ptr<Clock> clock = Clock::currentShared();
  if (clock->isManual()) return int64_t(clock->bootTime() * 1e6);
  // A running clock's boot time is fixed, but derived from wall time and
  // uptime read one after the other it moves by microseconds between reads:
  // it is read once per clock in force (once per process on the host).
  static auto* mutex = new std::mutex;
  static auto* readFrom = new std::shared_ptr<Clock>;  // guarded by *mutex
  static int64_t micros = 0;                           // guarded by *mutex
  std::lock_guard lock(*mutex);
  if (*readFrom != clock) {
    *readFrom = clock;
    micros = int64_t(clock->bootTime() * 1e6);
  }
  return micros;
}

bool isDebuggerAttached() { return tracerPid(int(::getpid())).value_or(0) != 0; }

int sysctlbyname(const char* name, void* oldp, size_t* oldlenp, const void* newp, size_t /*newlen*/) {
  if (!name) {
    errno = EINVAL;
    return -1;
  }
  return copyOut(valueBytes(name), oldp, oldlenp, newp);
}

int sysctl(const int* name, unsigned namelen, void* oldp, size_t* oldlenp, const void* newp, size_t /*newlen*/) {
  if (!name) {
    errno = EINVAL;
    return -1;
  }
  if (namelen != 4 || name[0] != CTL_KERN || name[1] != KERN_PROC || name[2] != KERN_PROC_PID) {
    errno = ENOENT;
    return -1;
  }
  std::variant<std::string, int> value = ESRCH;
  if (auto o = overrideFor("kern.proc.pid"); o && std::holds_alternative<Failure>(*o)) {
    value = std::get<Failure>(*o).error;
  } else if (auto tracer = tracerPid(name[3])) {
    kinfo_proc info;
    info.kp_proc.p_pid = name[3];
    if (*tracer != 0) info.kp_proc.p_flag |= P_TRACED;
    value = std::string(reinterpret_cast<const char*>(&info), sizeof info);
  }
  return copyOut(value, oldp, oldlenp, newp);
}

void setOverride(const std::string& name, OverrideValue value) {
  std::lock_guard lock(overrideMutex());
  overrides().insert_or_assign(name, std::move(value));
}

void clearOverride(const std::string& name) {
  std::lock_guard lock(overrideMutex());
  overrides().erase(name);
}

void clearOverrides() {
  std::lock_guard lock(overrideMutex());
  overrides().clear();
}

ScopedOverride::ScopedOverride(std::string name, OverrideValue value)
    : name_(std::move(name)), previous_(overrideFor(name_)) {
  setOverride(name_, std::move(value));
}

ScopedOverride::~ScopedOverride() {
  if (previous_) setOverride(name_, std::move(*previous_));
  else clearOverride(name_);
}

}  // namespace sysctl
}  // namespace os
