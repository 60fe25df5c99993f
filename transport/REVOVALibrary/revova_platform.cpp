#include "transport/REVOVALibrary/revova_platform.h"

#include <mutex>

#include "os/dispatch/queue.h"
#include "os/foundation/device_profile.h"
#include "os/foundation/system_log.h"
#include "os/uikit/application.h"
#include "platform/utilities/endpoints.h"
#include "transport/REVOVALibrary/revova_metrics.h"
#include "transport/REVOVALibrary/revova_registrar.h"

namespace {

std::string parentOf(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return path.substr(0, slash);
}

bool createParentDirectory(const std::string& path, os::Error* error) {
  auto made = os::FileManager::defaultManager().createDirectoryAtPath(parentOf(path), true);
  if (made) return true;
  REVOVALogDebug("Attempt to create directory failed: path:%@ error:%@", path, made.error());
  if (error) *error = made.error();
  return false;
}

}  // namespace

namespace revova_detail {

void writeLine(bool error, bool fatal, const std::string& line) {
  os::Log::defaultLog()->write(fatal ? os::LogType::Fault : (error ? os::LogType::Error : os::LogType::Default), line);
}

std::string messageCode(int64_t code) { return os::format(kREVOVAMessageCodeFormat, code); }

}  // namespace revova_detail

os::URL REVOVAStateDirectoryURL() {
  // Never destroyed, as the model below: transport queues may run at exit.
  static const std::string& path = *new std::string([] {
    std::string caches = os::FileManager::defaultManager().URLForDirectory(os::SearchPathDirectory::Caches);
    std::string state = os::format("%@/%@", caches, kREVOVAStateDirectoryName);
    REVOVALogDebug("DOV's state will be saved to: %@", state);
    return state;
  }());
  if (auto made = os::FileManager::defaultManager().createDirectoryAtPath(path, true); !made)
    REVOVALogAssert(false, __FILE_NAME__, __LINE__, "There was an error creating DOV's path");
  return os::URL::fileURLWithPath(path, true);
}

std::optional<os::Data> REVOVAArchiveObject(const std::shared_ptr<const os::SecureCoding>& object,
                                            const std::string& path, os::Error* error) {
  if (!path.empty() && !createParentDirectory(path, error)) return std::nullopt;
  auto archive = os::KeyedArchiver::archivedDataWithRootObject(object);
  if (!archive) {
    REVOVALogDebug("Encoding an object failed: %@", archive.error());
    if (error) *error = archive.error();
    return std::nullopt;
  }
  if (!path.empty()) {
    if (auto written = os::FileManager::defaultManager().createFileAtPath(path, *archive); written) {
      REVOVALogDebug("Writing archive succeeded: %@", path);
    } else {
      REVOVALogDebug("Attempt to write archive failed: path:%@ error:%@", path, written.error());
      if (error) *error = written.error();
    }
  }
  return *archive;
}

bool REVOVAWriteFileData(const os::Data& data, const std::string& path, os::Error* error) {
  if (path.empty()) {
    if (error) *error = os::fileError(ENOENT, os::FileAccess::Writing, path);
    return false;
  }
  if (!createParentDirectory(path, error)) return false;
  auto written = os::FileManager::defaultManager().createFileAtPath(path, data);
  if (!written) {
    REVOVALogDebug("Attempt to write archive failed: path:%@ error:%@", path, written.error());
    if (error) *error = written.error();
    return false;
  }
  REVOVALogDebug("Writing archive succeeded: %@", path);
  return true;
}

std::string REVOVADeviceModel() {
  static const std::string& model = *new std::string([] {
    auto machine = os::sysctl::stringValue("hw.machine");
    if (machine && !machine->empty()) return *machine;
    return UIDevice::currentDevice()->model();
  }());
  return model;
}

std::shared_ptr<REVOVAStoragePromiseProtocol> REVOVAStorageInstanceForTarget(int64_t target) {
  auto storages = REVOVARegistrar::sharedInstance()->targetToStorage();
  auto it = storages.find(target);
  if (it == storages.end()) return nullptr;
  return std::dynamic_pointer_cast<REVOVAStoragePromiseProtocol>(it->second);
}

std::shared_ptr<REVOVAMetricsControllerProtocol> REVOVAMetricsControllerInstanceForTarget(int64_t target) {
  auto controllers = REVOVARegistrar::sharedInstance()->targetToMetricsController();
  auto it = controllers.find(target);
  return it == controllers.end() ? nullptr : it->second;
}

// ---- REVOVAEndpoints ----

namespace {

struct EndpointTable {
  std::mutex mutex;
  std::unique_ptr<std::map<int64_t, os::URL>> urls;  // guarded by mutex; built on first use
  // Tables handed out before a reset stay valid: callers hold references.
  std::vector<std::unique_ptr<std::map<int64_t, os::URL>>> retired;  // guarded by mutex
};

EndpointTable& endpointTable() {
  static auto* table = new EndpointTable;
  return *table;
}

}  // namespace

const std::map<int64_t, os::URL>& REVOVAEndpoints::uploadURLs() {
  auto& table = endpointTable();
  std::lock_guard lock(table.mutex);
  if (!table.urls) {
    table.urls = std::make_unique<std::map<int64_t, os::URL>>();
    const std::pair<int64_t, const char*> keys[] = {
        {1000, kDAZEndpointTransportUpload1000},
        {1001, kDAZEndpointTransportUpload1001},
        {1002, kDAZEndpointTransportUpload1002},
        {1003, kDAZEndpointTransportUpload1003},
    };
    for (const auto& [target, key] : keys) {
      if (auto url = DAZEndpoints::URLForKey(key)) table.urls->emplace(target, *url);
    }
  }
  return *table.urls;
}

std::optional<os::URL> REVOVAEndpoints::uploadURLForTarget(int64_t target) {
  const auto& urls = uploadURLs();
  auto it = urls.find(target);
  if (it == urls.end()) return std::nullopt;
  return it->second;
}

void REVOVAEndpoints::TEST_reset() {
  auto& table = endpointTable();
  std::lock_guard lock(table.mutex);
  if (table.urls) table.retired.push_back(std::move(table.urls));
}
