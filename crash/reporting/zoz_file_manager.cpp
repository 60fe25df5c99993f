#include "crash/reporting/zoz_file_manager.h"

#include <algorithm>
#include <cctype>

#include "crash/core/zoz_sdk_log.h"
#include "os/foundation/bundle.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/sandbox.h"
#include "os/foundation/uuid.h"

namespace {

std::string join(const std::string& base, const std::string& name) {
  if (base.empty()) return name;
  if (base.back() == '/') return base + name;
  return base + "/" + name;
}

std::string pathNamespace(std::string bundleIdentifier) {
  std::replace(bundleIdentifier.begin(), bundleIdentifier.end(), '/', '_');
  return bundleIdentifier;
}

}  // namespace

std::string ZOZLastPathComponent(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const size_t slash = trimmed.rfind('/');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

std::string ZOZPathExtension(const std::string& path) {
  const std::string name = ZOZLastPathComponent(path);
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == name.size()) return "";
  return name.substr(dot + 1);
}

ZOZFileManager::ZOZFileManager()
    : ZOZFileManager(os::Sandbox::current()->cachesDirectory(), os::Bundle::mainBundle()->bundleIdentifier()) {}

ZOZFileManager::ZOZFileManager(std::string cachesPath, const std::string& bundleIdentifier)
    : cachesPath_(std::move(cachesPath)),
      rootPath_(join(join(cachesPath_, kZOZDataDirectoryName), pathNamespace(bundleIdentifier))) {}

std::string ZOZFileManager::versionedPath() const { return join(rootPath_, kZOZVersionedDirectoryName); }
std::string ZOZFileManager::settingsDirectoryPath() const { return join(versionedPath(), kZOZSettingsDirectoryName); }
std::string ZOZFileManager::settingsFilePath() const { return join(settingsDirectoryPath(), kZOZSettingsFileName); }
std::string ZOZFileManager::settingsCacheKeyPath() const {
  return join(settingsDirectoryPath(), kZOZSettingsCacheKeyFileName);
}
std::string ZOZFileManager::structurePath() const { return join(versionedPath(), kZOZReportsDirectoryName); }
std::string ZOZFileManager::activePath() const { return join(structurePath(), kZOZActiveDirectoryName); }
std::string ZOZFileManager::processingPath() const { return join(structurePath(), kZOZProcessingDirectoryName); }
std::string ZOZFileManager::preparedPath() const { return join(structurePath(), kZOZPreparedDirectoryName); }
std::string ZOZFileManager::pendingPath() const { return join(structurePath(), kZOZPendingDirectoryName); }
std::string ZOZFileManager::metricKitDiagnosticsPath() const { return cachesPath_ + kZOZMetricKitDiagnosticsSubpath; }

bool ZOZFileManager::fileExistsAtPath(const std::string& path) const {
  return os::FileManager::defaultManager().fileExistsAtPath(path);
}

bool ZOZFileManager::createFileAtPath(const std::string& path, const os::Data& contents,
                                      const os::Dictionary& attributes) const {
  return os::FileManager::defaultManager().createFileAtPath(path, contents, attributes).has_value();
}

bool ZOZFileManager::createDirectoryAtPath(const std::string& path) const {
  const os::Dictionary attributes{{os::kFilePosixPermissions, os::Value(kZOZDirectoryPermissions)}};
  auto status = os::FileManager::defaultManager().createDirectoryAtPath(path, true, attributes);
  if (!status) {
    ZOZErrorLog("Unable to create directory %@", status.error());
    return false;
  }
  return true;
}

bool ZOZFileManager::removeItemAtPath(const std::optional<std::string>& path) const {
  if (!path) {
    ZOZErrorLog("Failed to remove file %@: %@", "(null)", "(null)");
    return false;
  }
  auto status = os::FileManager::defaultManager().removeItemAtPath(*path);
  if (!status) {
    ZOZErrorLog("Failed to remove file %@: %@", *path, status.error());
    return false;
  }
  return true;
}

bool ZOZFileManager::removeContentsOfDirectoryAtPath(const std::string& path) const {
  bool removedAll = true;
  enumerateFilesInDirectory(path, [&](const std::string& entry, const std::string&) {
    removedAll = removeItemAtPath(entry) && removedAll;
  });
  return removedAll;
}

bool ZOZFileManager::moveItemAtPathToDirectory(const std::optional<std::string>& path,
                                               const std::optional<std::string>& toDirectory) const {
  if (!path || !toDirectory) {
    ZOZErrorLog("Failed to move file, inputs invalid");
    return false;
  }
  auto status = moveItemAtPathToPath(*path, join(*toDirectory, ZOZLastPathComponent(*path)));
  if (!status) {
    ZOZErrorLog("Failed to move file: %@", status.error());
    return false;
  }
  return true;
}

os::Status ZOZFileManager::moveItemAtPathToPath(const std::string& path, const std::string& toPath) const {
  return os::FileManager::defaultManager().moveItemAtPath(path, toPath);
}

bool ZOZFileManager::didCrashOnPreviousExecution() {
  std::call_once(crashMarkerOnce_,
                 [this] { crashFileMarkerExists_ = fileExistsAtPath(join(rootPath_, kZOZCrashMarkerFileName)); });
  return crashFileMarkerExists_;
}

bool ZOZFileManager::metricKitDiagnosticFileExists() const {
  auto names = os::FileManager::defaultManager().contentsOfDirectoryAtPath(metricKitDiagnosticsPath());
  return names && !names->empty();
}

bool ZOZFileManager::createEmptyMetricKitFile(const std::string& reportPath) const {
  return createFileAtPath(join(reportPath, kZOZMetricKitFatalFileName), os::Data());
}

void ZOZFileManager::enumerateFilesInDirectory(
    const std::string& directory,
    const std::function<void(const std::string& path, const std::string& extension)>& block) const {
  auto names = os::FileManager::defaultManager().contentsOfDirectoryAtPath(
      directory, os::DirectoryEnumerationOptions::SkipsHiddenFiles);
  if (!names) return;
  for (const auto& name : *names) {
    if (name.empty() || name.front() == '.') continue;
    block(join(directory, name), ZOZPathExtension(name));
  }
}

std::optional<uint64_t> ZOZFileManager::fileSizeAtPath(const std::string& path) const {
  auto attributes = os::FileManager::defaultManager().attributesOfItemAtPath(path);
  if (!attributes) {
    ZOZErrorLog("Unable to read file size: %@", attributes.error());
    return std::nullopt;
  }
  auto found = attributes->find(os::kFileSize);
  if (found == attributes->end() || !found->second.number()) return std::nullopt;
  return found->second.number()->uint64Value();
}

std::vector<std::string> ZOZFileManager::contentsOfDirectory(const std::string& directory) const {
  std::vector<std::string> paths;
  enumerateFilesInDirectory(directory, [&](const std::string& path, const std::string&) { paths.push_back(path); });
  return paths;
}

bool ZOZFileManager::createReportDirectories() const {
  for (const auto& path : {activePath(), processingPath(), preparedPath()}) {
    if (!createDirectoryAtPath(path)) return false;
  }
  return true;
}

std::optional<std::string> ZOZFileManager::setupNewPathForExecutionIdentifier(const std::string& identifier) const {
  const std::string path = join(activePath(), identifier);
  if (!createDirectoryAtPath(path)) return std::nullopt;
  return path;
}

std::optional<os::Data> ZOZFileManager::dataWithContentsOfFile(const std::string& path) const {
  auto data = os::FileManager::defaultManager().contentsAtPath(path);
  if (!data) return std::nullopt;
  return std::move(*data);
}

ZOZExecutionIdentifierModel::ZOZExecutionIdentifierModel() {
  std::string text = os::UUID().UUIDString();
  for (char c : text) {
    if (c != '-') executionID_ += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
}
