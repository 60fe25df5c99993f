#include "app/settings/feedback_mail.h"

#include <charconv>
#include <string_view>

#include "os/foundation/bundle.h"
#include "os/foundation/device_profile.h"
#include "os/uikit/application.h"

namespace {

// The string value of an Info.plist key, or "" (the bundle is expected to
// carry it; a missing key must not take the mail down).
std::string infoString(const char* key) {
  const os::Value value = os::Bundle::mainBundle()->objectForInfoDictionaryKey(key);
  const std::string* text = value.string();
  return text ? *text : std::string();
}

long versionPart(std::string_view text) {
  long value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  (void)end;
  return error == std::errc() && value >= 0 ? value : 0;
}

}  // namespace

std::string osVersionString() {
  const std::string version = UIDevice::currentDevice()->systemVersion();
  long parts[3] = {0, 0, 0};
  size_t start = 0;
  for (int i = 0; i < 3 && start <= version.size(); ++i) {
    size_t dot = version.find('.', start);
    if (dot == std::string::npos) dot = version.size();
    parts[i] = versionPart(std::string_view(version).substr(start, dot - start));
    start = dot + 1;
  }
  return std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." + std::to_string(parts[2]);
}

std::string appVersionString() {
  return infoString(os::kCFBundleShortVersionStringKey) + "(" + infoString(os::kCFBundleVersionKey) + ")";
}

std::string appDisplayName() { return infoString("CFBundleDisplayName"); }

std::string machineName() {
  // uname's machine field: bytes up to the first zero byte.
  const std::string machine = os::DeviceProfile::current().machine();
  return machine.substr(0, machine.find('\0'));
}

std::string deviceInfoHTML() {
  return "<p>OS Version: " + osVersionString() + "<br>App version: " + appVersionString() +
         "<br>App Name: " + appDisplayName() + "<br>Machine Name: " + machineName() +
         "<br><br>Hello Quorin,<br>";
}
