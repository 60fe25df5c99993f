#include "os/foundation/process_info.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>

#include "os/foundation/clock.h"
#include "os/foundation/device_profile.h"

extern char** environ;

namespace os {
namespace {

struct ProcessState {
  std::mutex mutex;
  std::optional<std::vector<std::string>> arguments;  // guarded by mutex
  std::optional<std::string> name;                    // guarded by mutex
  uint32_t cryptID = 0;                               // guarded by mutex
  std::vector<std::shared_ptr<const ProcessActivity>> activities;  // guarded by mutex
};

ProcessState& state() {
  static auto& s = *new ProcessState();  // never destroyed
  return s;
}

std::vector<std::string> hostArguments() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> out;
  size_t start = 0;
  while (start < all.size()) {
    size_t end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    out.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

}  // namespace

OperatingSystemVersion OperatingSystemVersion::parse(const std::string& text) {
  OperatingSystemVersion v;
  int64_t* parts[] = {&v.majorVersion, &v.minorVersion, &v.patchVersion};
  size_t pos = 0;
  for (auto* part : parts) {
    if (pos >= text.size()) break;
    size_t end = text.find('.', pos);
    if (end == std::string::npos) end = text.size();
    std::string piece = text.substr(pos, end - pos);
    char* stop = nullptr;
    long long n = std::strtoll(piece.c_str(), &stop, 10);
    *part = (!piece.empty() && stop && *stop == '\0' && n >= 0) ? n : 0;
    pos = end + 1;
  }
  return v;
}

ProcessInfo& ProcessInfo::processInfo() {
  static auto& info = *new ProcessInfo();  // never destroyed
  return info;
}

std::vector<std::string> ProcessInfo::arguments() const {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  if (!s.arguments) s.arguments = hostArguments();
  return *s.arguments;
}

void ProcessInfo::setArguments(std::vector<std::string> arguments) {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  s.arguments = std::move(arguments);
}

void ProcessInfo::setArguments(int argc, const char* const* argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc && argv && argv[i]; ++i) args.emplace_back(argv[i]);
  setArguments(std::move(args));
}

std::map<std::string, std::string> ProcessInfo::environment() const {
  std::map<std::string, std::string> out;
  for (char** e = environ; e && *e; ++e) {
    std::string entry = *e;
    auto eq = entry.find('=');
    if (eq == std::string::npos) continue;
    out.emplace(entry.substr(0, eq), entry.substr(eq + 1));
  }
  return out;
}

std::string ProcessInfo::processName() const {
  auto& s = state();
  {
    std::lock_guard lock(s.mutex);
    if (s.name) return *s.name;
  }
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "drosil";
  std::string path(buf, size_t(n));
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

void ProcessInfo::setProcessName(std::string name) {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  s.name = std::move(name);
}

int ProcessInfo::processIdentifier() const { return int(::getpid()); }

uint32_t ProcessInfo::mainExecutableCryptID() const {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  return s.cryptID;
}

void ProcessInfo::setMainExecutableCryptID(uint32_t cryptID) {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  s.cryptID = cryptID;
}

OperatingSystemVersion ProcessInfo::operatingSystemVersion() const {
  return OperatingSystemVersion::parse(DeviceProfile::current().systemVersion);
}

std::string ProcessInfo::operatingSystemVersionString() const {
  auto p = DeviceProfile::current();
  return "Version " + p.systemVersion + " (Build " + p.systemBuildVersion + ")";
}

bool ProcessInfo::isOperatingSystemAtLeastVersion(const OperatingSystemVersion& v) const {
  auto cur = operatingSystemVersion();
  if (cur.majorVersion != v.majorVersion) return cur.majorVersion > v.majorVersion;
  if (cur.minorVersion != v.minorVersion) return cur.minorVersion > v.minorVersion;
  return cur.patchVersion >= v.patchVersion;
}

bool ProcessInfo::isiOSAppOnMac() const { return DeviceProfile::current().isiOSAppOnMac; }

double ProcessInfo::systemUptime() const { return double(Clock::current().uptimeNanos()) / 1e9; }

std::shared_ptr<const ProcessActivity> ProcessInfo::beginActivityWithOptions(uint64_t options, std::string reason) {
  auto activity = std::make_shared<const ProcessActivity>(ProcessActivity{options, std::move(reason)});
  auto& s = state();
  std::lock_guard lock(s.mutex);
  s.activities.push_back(activity);
  return activity;
}

void ProcessInfo::endActivity(const std::shared_ptr<const ProcessActivity>& activity) {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  std::erase(s.activities, activity);
}

std::vector<ProcessActivity> ProcessInfo::activeActivities() const {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  std::vector<ProcessActivity> out;
  for (const auto& activity : s.activities) out.push_back(*activity);
  return out;
}

}  // namespace os
