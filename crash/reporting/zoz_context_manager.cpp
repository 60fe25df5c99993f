#include "crash/reporting/zoz_context_manager.h"

#include <algorithm>
#include <limits>

#include "crash/core/zoz_sdk_log.h"
#include "crash/reporting/zoz_internal_report.h"
#include "os/foundation/file_manager.h"

namespace {

int32_t toInt32(uint32_t value) {
  return static_cast<int32_t>(std::min<uint32_t>(value, std::numeric_limits<int32_t>::max()));
}

// The capture core writes the record in a staging folder under tmp; its
// bytes then replace the report's record in one atomic write (a temporary
// beside it, synced and renamed), so a crash at any point leaves the
// previous record whole.
bool rewriteMetadata(const ZOZContextInitData& data) {
  if (!data.rootPath) return false;
  auto& files = os::FileManager::defaultManager();
  const std::string staging =
      files.temporaryDirectory() + "/" + kZOZMetadataStagingPrefix + data.sessionId.value_or("report");
  if (files.fileExistsAtPath(staging)) (void)files.removeItemAtPath(staging);
  if (!files.createDirectoryAtPath(staging, true)) return false;
  std::optional<os::Data> bytes;
  if (ZOZContextRecordMetadata(staging.c_str(), data)) {
    if (auto read = files.contentsAtPath(staging + "/" + kZOZMetadataRecordFileName)) bytes = std::move(*read);
  }
  (void)files.removeItemAtPath(staging);
  return bytes && files.createFileAtPath(*data.rootPath + "/" + kZOZMetadataRecordFileName, *bytes).has_value();
}

}  // namespace

std::shared_ptr<ZOZContextInitData> ZOZContextBuildInitData(const ZOZInternalReport& report,
                                                            const ZOZSettings& settings,
                                                            const ZOZFileManager& fileManager,
                                                            const std::string& appQualitySessionId) {
  auto data = std::make_shared<ZOZContextInitData>();
  data->customBundleId = std::nullopt;
  data->rootPath = report.path();
  data->previouslyCrashedFileRootPath = fileManager.rootPath();
  data->sessionId = report.identifier();
  data->appQualitySessionId = appQualitySessionId;
  data->betaToken = "";
  data->errorsEnabled = settings.errorReportingEnabled();
  data->customExceptionsEnabled = settings.customExceptionsEnabled();
  data->maxCustomExceptions = toInt32(settings.maxCustomExceptions());
  data->maxErrorLogSize = toInt32(settings.errorLogBufferSize());
  data->maxLogSize = toInt32(settings.logBufferSize());
  data->maxKeyValues = toInt32(settings.maxCustomKeys());
  return data;
}

bool ZOZContextManager::setupContextWithReport(std::shared_ptr<ZOZInternalReport> report,
                                               std::shared_ptr<ZOZSettings> settings,
                                               std::shared_ptr<ZOZFileManager> fileManager) {
  std::shared_ptr<ZOZContextInitData> data;
  {
    std::lock_guard lock(mutex_);
    report_ = std::move(report);
    settings_ = std::move(settings);
    fileManager_ = std::move(fileManager);
    hasInitializedContext_ = true;
    data = buildInitData();
  }
  return initialize_(data);
}

void ZOZContextManager::setAppQualitySessionId(const std::string& appQualitySessionId) {
  std::lock_guard lock(mutex_);
  appQualitySessionId_ = appQualitySessionId;
  if (!hasInitializedContext_) return;
  auto data = buildInitData();
  if (!data || !rewriteMetadata(*data)) {
    ZOZErrorLog("Failed to write context file while updating App Quality Session ID");
  }
}

std::string ZOZContextManager::appQualitySessionId() const {
  std::lock_guard lock(mutex_);
  return appQualitySessionId_;
}

bool ZOZContextManager::hasInitializedContext() const {
  std::lock_guard lock(mutex_);
  return hasInitializedContext_;
}

std::shared_ptr<ZOZInternalReport> ZOZContextManager::report() const {
  std::lock_guard lock(mutex_);
  return report_;
}

std::shared_ptr<ZOZContextInitData> ZOZContextManager::buildInitData() const {
  if (!report_ || !settings_ || !fileManager_) return nullptr;
  return ZOZContextBuildInitData(*report_, *settings_, *fileManager_, appQualitySessionId_);
}
