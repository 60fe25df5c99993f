#include "measurement/store/engine_services/install_environment.h"

#include <cerrno>
#include <cmath>
#include <cstring>

#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/monitor.h"
#include "os/foundation/bundle.h"
#include "os/foundation/date_format.h"
#include "os/foundation/device_profile.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/process_info.h"
#include "os/foundation/text.h"
#include "os/kernel/loader.h"
#include "os/uikit/application.h"
#include "platform/utilities/app_environment.h"

namespace {

namespace k = os::kernel;

template <class T>
T readAt(const uint8_t* address) {
  T value;
  std::memcpy(&value, address, sizeof value);
  return value;
}

// The first loaded Mach-O image of file type MH_EXECUTE, or null.
const uint8_t* executableHeader() {
  const uint32_t count = k::_dyld_image_count();
  for (uint32_t i = 0; i < count; ++i) {
    const auto* header = reinterpret_cast<const uint8_t*>(k::_dyld_get_image_header(i));
    if (header == nullptr || !k::isMachOHeader(header)) continue;
    if (readAt<k::mach_header>(header).filetype == k::MH_EXECUTE) return header;
  }
  return nullptr;
}

// Whether the executable carries an encryption command with a crypt ID other
// than 0. The walk never leaves the header's sizeofcmds, and stops at a
// command too small to advance by.
bool executableIsEncrypted() {
  const uint8_t* header = executableHeader();
  if (header == nullptr) return false;
  const auto mach = readAt<k::mach_header>(header);
  const bool is64 = mach.magic == k::MH_MAGIC_64;
  const uint32_t wanted = is64 ? k::LC_ENCRYPTION_INFO_64 : k::LC_ENCRYPTION_INFO;
  const uint8_t* command = header + (is64 ? sizeof(k::mach_header_64) : sizeof(k::mach_header));
  uint64_t remaining = mach.sizeofcmds;
  for (uint32_t i = 0; i < mach.ncmds; ++i) {
    if (remaining < sizeof(k::load_command)) return false;
    const auto load = readAt<k::load_command>(command);
    if (load.cmdsize < sizeof(k::load_command) || load.cmdsize > remaining) return false;
    if (load.cmd == wanted) {
      if (load.cmdsize < sizeof(k::encryption_info_command)) return false;
      return readAt<k::encryption_info_command>(command).cryptid != 0;
    }
    command += load.cmdsize;
    remaining -= load.cmdsize;
  }
  return false;
}

struct EncryptionFlag {
  std::mutex mutex;
  std::optional<bool> encrypted;  // guarded by mutex; decided on first use
};

EncryptionFlag& encryptionFlag() {
  static EncryptionFlag flag;
  return flag;
}

bool isEncrypted() {
  EncryptionFlag& flag = encryptionFlag();
  std::lock_guard lock(flag.mutex);
  if (!flag.encrypted) flag.encrypted = executableIsEncrypted();
  return *flag.encrypted;
}

std::string lastPathComponent(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::mutex& appActivityMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<APMAppActivityServices>& appActivity() {
  static std::shared_ptr<APMAppActivityServices> reporter;  // guarded by appActivityMutex()
  return reporter;
}

}  // namespace

// ---- APMAEU ----

std::optional<std::string> APMAEU::appStoreRURL() {
  const auto bundle = os::Bundle::mainBundle();
  const os::Value check = bundle->objectForInfoDictionaryKey(kAPMAppStoreReceiptURLCheckEnabledKey);
  if (check.isNumber() && !check.number()->boolValue()) return std::nullopt;
  return bundle->appStoreReceiptURL();
}

bool APMAEU::isASRS() {
  const auto url = appStoreRURL();
  return url && lastPathComponent(*url) == "sandboxReceipt";
}

bool APMAEU::isNOD() {
  const auto model = deviceModel();
  return model == "x86_64" || model == "i386";
}

std::optional<std::string> APMAEU::deviceModel() { return DAZAppEnvironmentUtil::deviceModel(); }

std::string APMAEU::systemVersion() { return DAZAppEnvironmentUtil::systemVersion(); }

bool APMAEU::isAEX() { return os::Bundle::mainBundle()->bundlePath().ends_with(".appex"); }

std::shared_ptr<UIApplication> APMAEU::sharedApplication() {
  if (isAEX()) return nullptr;
  return UIApplication::sharedApplication();
}

bool APMAEU::isFAS() {
  const bool encrypted = isEncrypted();
  if (isNOD() || isASRS()) return false;
  const auto bundle = os::Bundle::mainBundle();
  if (os::FileManager::defaultManager().fileExistsAtPath(bundle->bundlePath() + "/SC_Info")) return true;
  return encrypted && !bundle->pathForResource("embedded", "mobileprovision").has_value();
}

void APMAEU::TEST_resetEncryptionFlag() {
  EncryptionFlag& flag = encryptionFlag();
  std::lock_guard lock(flag.mutex);
  flag.encrypted.reset();
}

// ---- APMEnvironmentInfo ----

std::shared_ptr<APMEnvironmentInfo> APMEnvironmentInfo::sharedInstance() {
  // Never destroyed: the engine's worker may still ask for it while the
  // process exits.
  static const auto* instance = new std::shared_ptr<APMEnvironmentInfo>(std::make_shared<APMEnvironmentInfo>());
  return *instance;
}

std::string APMEnvironmentInfo::deviceModel() {
  std::call_once(deviceModelOnce_, [this] {
    deviceModel_ = APMAEU::deviceModel().value_or("");
    if (deviceModel_.empty()) {
      APMMeasurementServices::monitor()->logWithLevel(2, kAPMEnvironmentCodeNoDeviceModel, "Failed to get device model",
                                                      std::string(std::strerror(errno)));
    }
  });
  return deviceModel_;
}

std::string APMEnvironmentInfo::deviceOSVersion() const { return DAZAppEnvironmentUtil::systemVersion(); }

std::optional<std::string> APMEnvironmentInfo::userDefaultLanguage() const {
  const auto languages = os::DeviceProfile::current().preferredLanguages;
  if (languages.empty()) {
    APMMeasurementServices::monitor()->logWithLevel(2, kAPMEnvironmentCodeNoPreferredLanguage,
                                                    "Failed to get preferred language");
    return std::nullopt;
  }
  return os::lowercaseString(languages.front());
}

int32_t APMEnvironmentInfo::timeZoneOffsetMinutes() const {
  std::string identifier = os::DeviceProfile::current().effectiveTimeZoneIdentifier();
  std::optional<os::TimeZone> zone;
  {
    std::lock_guard lock(timeZoneMutex_);
    if (!timeZone_ || timeZoneIdentifier_ != identifier) {
      timeZone_ = os::TimeZone::timeZoneWithName(identifier).value_or(os::TimeZone::systemTimeZone());
      timeZoneIdentifier_ = std::move(identifier);
    }
    zone = timeZone_;
  }
  const int seconds = zone->secondsFromGMT();
  return static_cast<int32_t>(std::trunc(seconds / 60.0));
}

// ---- Launch state ----

std::shared_ptr<APMAppActivityServices> APMAppActivityServices::sharedInstance() {
  std::lock_guard lock(appActivityMutex());
  return appActivity();
}

void APMAppActivityServices::setSharedInstance(std::shared_ptr<APMAppActivityServices> reporter) {
  std::lock_guard lock(appActivityMutex());
  appActivity() = std::move(reporter);
}

bool APMIsAppActive() {
  const auto reporter = APMAppActivityServices::sharedInstance();
  return reporter != nullptr && reporter->isAppActive();
}

bool APMIsActivePrewarm() {
  const auto environment = os::ProcessInfo::processInfo().environment();
  const auto it = environment.find(kAPMActivePrewarmEnvironmentKey);
  return it != environment.end() && os::Value(it->second).boolValue();
}

bool APMHasSceneManifest() {
  return !os::Bundle::mainBundle()->objectForInfoDictionaryKey(kAPMSceneManifestKey).isNull();
}
