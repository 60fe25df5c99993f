#include "crash/reporting/zoz_internal_report.h"

#include "crash/core/zoz_context.h"
#include "crash/core/zoz_exception.h"
#include "crash/core/zoz_file.h"
#include "crash/core/zoz_sdk_log.h"
#include "crash/reporting/zoz_file_manager.h"
#include "os/foundation/file_manager.h"

namespace {

const os::Value* sectionValue(const os::Value& section, const std::string& name) {
  const os::Value* value = section.find(name);
  return value && value->dictionary() ? value : nullptr;
}

std::optional<os::Date> dateFromSeconds(const os::Value* value) {
  if (!value || !value->number()) return std::nullopt;
  return os::Date::fromTimeIntervalSince1970(static_cast<double>(value->number()->int64Value()));
}

}  // namespace

std::optional<std::string> ZOZInternalReport::identifierAtPath(const std::string& path) {
  // A missing record is not read: the reader would log it at every launch.
  const std::string metadata = path + "/" + kZOZMetadataRecordFileName;
  if (!os::FileManager::defaultManager().fileExistsAtPath(metadata)) return std::nullopt;
  auto sections = readZOZFileAtPath(metadata);
  if (!sections) return std::nullopt;
  const os::Value* identity = sectionValue(sections->front(), "identity");
  const os::Value* session = identity ? identity->find("session_id") : nullptr;
  if (!session || !session->string()) return std::nullopt;
  return *session->string();
}

std::shared_ptr<ZOZInternalReport> ZOZInternalReport::reportWithPath(const std::string& path) {
  auto identifier = identifierAtPath(path);
  if (!identifier) ZOZErrorLog("Unable to read identifier at path %@", path);
  return initWithPathExecutionIdentifier(path, identifier);
}

std::shared_ptr<ZOZInternalReport> ZOZInternalReport::initWithPathExecutionIdentifier(
    const std::optional<std::string>& path, const std::optional<std::string>& executionIdentifier) {
  if (!path || !executionIdentifier) return nullptr;
  return std::make_shared<ZOZInternalReport>(PrivateTag{}, *path, *executionIdentifier);
}

ZOZInternalReport::ZOZInternalReport(PrivateTag, std::string path, std::string identifier)
    : path_(std::move(path)), identifier_(std::move(identifier)) {}

const std::vector<std::string>& ZOZInternalReport::crashFileNames() {
  static const std::vector<std::string> names = {kZOZExceptionRecordFileName, kZOZMachExceptionRecordFileName,
                                                 kZOZSignalRecordFileName, kZOZMetricKitFatalFileName,
                                                 kZOZCustomFatalFileName};
  return names;
}

const std::vector<std::string>& ZOZInternalReport::eventFileNames() {
  static const std::vector<std::string> names = {
      kZOZExceptionRecordFileName,      kZOZSignalRecordFileName,        kZOZCustomExceptionAFileName,
      kZOZCustomExceptionBFileName,     kZOZMetricKitFatalFileName,    kZOZMetricKitNonfatalFileName,
      kZOZMachExceptionRecordFileName,  kZOZErrorsAFileName,             kZOZErrorsBFileName};
  return names;
}

std::optional<std::vector<os::Value>> ZOZInternalReport::readZOZFileAtPath(const std::string& path) {
  auto sections = ZOZFileReadSections(path, false);
  if (!sections || sections->empty()) return std::nullopt;
  return sections;
}

std::string ZOZInternalReport::directoryName() const {
  const size_t slash = path_.rfind('/');
  return slash == std::string::npos ? path_ : path_.substr(slash + 1);
}

std::string ZOZInternalReport::pathForContentFile(const std::string& name) const { return path_ + "/" + name; }

bool ZOZInternalReport::checkExistenceOfAtLeastOneFileInArray(const std::vector<std::string>& names) const {
  auto& files = os::FileManager::defaultManager();
  for (const auto& name : names) {
    if (files.fileExistsAtPath(pathForContentFile(name))) return true;
  }
  return false;
}

bool ZOZInternalReport::hasAnyEvents() const { return checkExistenceOfAtLeastOneFileInArray(eventFileNames()); }
bool ZOZInternalReport::isCrash() const { return checkExistenceOfAtLeastOneFileInArray(crashFileNames()); }

bool ZOZInternalReport::isOnDemand() const {
  // Keys are hex-encoded in both files (compaction copies the text as it is).
  for (const char* name : {kZOZInternalIncrementalKVFileName, kZOZInternalCompactedKVFileName}) {
    const std::string path = pathForContentFile(name);
    if (!os::FileManager::defaultManager().fileExistsAtPath(path)) continue;
    auto sections = readZOZFileAtPath(path);
    if (!sections) continue;
    for (const os::Value& section : *sections) {
      const os::Value* kv = sectionValue(section, "kv");
      const os::Value* key = kv ? kv->find("key") : nullptr;
      if (key && key->string() && ZOZFileHexDecodeString(key->string()->c_str()) == kZOZOnDemandRecordedExceptionsKey)
        return true;
    }
  }
  return false;
}

void ZOZInternalReport::enumerateSymbolicatableFilesInContent(
    const std::function<void(const std::string& path)>& block) const {
  for (const auto& name : crashFileNames()) block(pathForContentFile(name));
}

const std::vector<os::Value>& ZOZInternalReport::metadataSections() const {
  std::call_once(metadataOnce_, [this] {
    if (auto sections = readZOZFileAtPath(metadataPath())) metadataSections_ = std::move(*sections);
  });
  return metadataSections_;
}

std::optional<std::string> ZOZInternalReport::metadataString(size_t index, const std::string& name,
                                                             const std::string& key) const {
  const auto& sections = metadataSections();
  if (index >= sections.size()) return std::nullopt;
  const os::Value* section = sectionValue(sections[index], name);
  if (!section) return std::nullopt;
  const os::Value* value = section->find(key);
  if (!value || !value->string()) return std::nullopt;
  return *value->string();
}

std::optional<std::string> ZOZInternalReport::orgID() const { return metadataString(0, "identity", "org_id"); }
std::optional<std::string> ZOZInternalReport::bundleVersion() const {
  return metadataString(2, "application", "build_version");
}
std::optional<std::string> ZOZInternalReport::bundleShortVersionString() const {
  return metadataString(2, "application", "display_version");
}
std::optional<std::string> ZOZInternalReport::OSVersion() const {
  return metadataString(1, "host", "os_display_version");
}
std::optional<std::string> ZOZInternalReport::OSBuildVersion() const {
  return metadataString(1, "host", "os_build_version");
}

std::optional<os::Date> ZOZInternalReport::dateCreated() const {
  const auto& sections = metadataSections();
  if (sections.empty()) return std::nullopt;
  const os::Value* identity = sectionValue(sections.front(), "identity");
  return dateFromSeconds(identity ? identity->find("started_at") : nullptr);
}

std::optional<os::Date> ZOZInternalReport::crashedOnDate() const {
  if (!isCrash()) return std::nullopt;
  if (auto date = timeFromCrashContentFile(kZOZMachExceptionRecordFileName, "mach_exception")) return date;
  return timeFromCrashContentFile(kZOZSignalRecordFileName, "signal");
}

std::optional<os::Date> ZOZInternalReport::timeFromCrashContentFile(const std::string& fileName,
                                                                    const std::string& sectionName) const {
  // Usually only one of the crash files exists: no need to log for the other.
  const std::string path = pathForContentFile(fileName);
  if (!os::FileManager::defaultManager().fileExistsAtPath(path)) return std::nullopt;
  auto sections = readZOZFileAtPath(path);
  if (!sections) return std::nullopt;
  const os::Value* section = sectionValue(sections->front(), sectionName);
  return dateFromSeconds(section ? section->find("time") : nullptr);
}
