#include "measurement/store/engine_services/install_environment.h"

#include "os/foundation/bundle.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/process_info.h"
#include "platform/utilities/app_environment.h"

namespace {

// The main executable's encryption flag, decided once per process. It needs
// the loaded images (their Mach-O headers and load commands), which this
// platform does not list yet.
bool executableIsEncrypted() {
  static const bool encrypted = false;
  return encrypted;
}

std::string lastPathComponent(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

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

bool APMAEU::isFAS() {
  const bool encrypted = executableIsEncrypted();
  if (isNOD() || isASRS()) return false;
  const auto bundle = os::Bundle::mainBundle();
  if (os::FileManager::defaultManager().fileExistsAtPath(bundle->bundlePath() + "/SC_Info")) return true;
  return encrypted && !bundle->pathForResource("embedded", "mobileprovision").has_value();
}

std::shared_ptr<APMEnvironmentInfo> APMEnvironmentInfo::sharedInstance() {
  static const auto* instance = new std::shared_ptr<APMEnvironmentInfo>(std::make_shared<APMEnvironmentInfo>());
  return *instance;
}

std::string APMEnvironmentInfo::deviceOSVersion() const { return DAZAppEnvironmentUtil::systemVersion(); }

bool APMIsActivePrewarm() {
  const auto environment = os::ProcessInfo::processInfo().environment();
  const auto found = environment.find(kAPMActivePrewarmEnvironmentKey);
  return found != environment.end() && os::Value(found->second).boolValue();
}

bool APMHasSceneManifest() {
  return !os::Bundle::mainBundle()->objectForInfoDictionaryKey(kAPMSceneManifestKey).isNull();
}
