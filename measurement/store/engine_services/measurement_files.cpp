#include "measurement/store/engine_services/measurement_files.h"

#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/errors.h"
#include "measurement/store/monitor.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/user_defaults.h"

namespace {

constexpr std::string_view kPlistExtension = ".plist";

std::string directoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string applicationSupportDirectory() {
  std::string dir = os::FileManager::defaultManager().URLForDirectory(os::SearchPathDirectory::ApplicationSupport);
  if (dir.empty()) {
    APMMeasurementServices::monitor()->logWithLevel(2, kAPMFilesCodeApplicationSupportDirectoryMissing,
                                                    "NSSearchPath for ApplicationSupport directory is empty");
  }
  return dir;
}

}  // namespace

std::string APMMeasurementDirectoryPathForFile(std::string_view fileName) {
  if (fileName.empty()) return {};
  const std::string dir = applicationSupportDirectory();
  if (dir.empty()) return {};
  return dir + "/" + kAPMMeasurementDirectory + "/" + std::string(fileName);
}

std::string APMMeasurementPlistPath(std::string_view fileName) {
  if (fileName.empty()) return {};
  std::string name(fileName);
  if (!name.ends_with(kPlistExtension) || name.size() == kPlistExtension.size()) name += kPlistExtension;
  return APMMeasurementDirectoryPathForFile(name);
}

std::string APMPreferencesPlistPath(std::string_view suiteName) {
  if (suiteName.empty()) return {};
  const std::string library = os::FileManager::defaultManager().URLForDirectory(os::SearchPathDirectory::Library);
  if (library.empty()) {
    APMMeasurementServices::monitor()->logWithLevel(2, kAPMFilesCodeLibraryDirectoryMissing,
                                                    "NSSearchPath for Library directory is empty");
    return {};
  }
  return library + "/Preferences/" + std::string(suiteName) + std::string(kPlistExtension);
}

bool APMMoveUserDefaultsSuiteToMeasurementDirectory(std::string_view suiteName) {
  auto& fm = os::FileManager::defaultManager();
  const std::string name(suiteName);
  const std::string oldPath = APMPreferencesPlistPath(name);
  const std::string newPath = APMMeasurementPlistPath(name);
  if (oldPath.empty() || newPath.empty()) return false;

  bool oldIsDirectory = false;
  if (!fm.fileExistsAtPath(oldPath, &oldIsDirectory)) {
    os::UserDefaults::removePersistentDomainForName(name);
    return true;
  }
  if (oldIsDirectory) return false;

  bool newIsDirectory = false;
  os::Status done;
  if (!fm.fileExistsAtPath(newPath, &newIsDirectory)) {
    done = fm.createDirectoryAtPath(directoryOf(newPath), true);
    if (done) done = fm.moveItemAtPath(oldPath, newPath);
  } else if (!newIsDirectory) {
    done = fm.removeItemAtPath(oldPath);
  } else {
    return false;
  }
  if (!done) return false;
  os::UserDefaults::removePersistentDomainForName(name);
  return true;
}

os::Status APMExcludePathFromBackup(const std::string& path) {
  return os::FileManager::defaultManager().setResourceValue(path, os::kURLIsExcludedFromBackupKey, os::Value(true));
}

os::Status APMDeleteFileAtPath(const std::string& path) {
  if (path.empty()) {
    return os::fail(apm_errorWithCode(APMErrorCode::InvalidArgument, "Received empty path for deleting file"));
  }
  return os::FileManager::defaultManager().removeItemAtPath(path);
}
