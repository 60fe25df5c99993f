#include "crash/reporting/zoz_context_manager.h"

#include <algorithm>
#include <limits>

#include "crash/core/zoz_sdk_log.h"

namespace {

int32_t toInt32(uint32_t value) {
  return static_cast<int32_t>(std::min<uint32_t>(value, std::numeric_limits<int32_t>::max()));
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
  if (!data || !data->rootPath || !ZOZContextRecordMetadata(data->rootPath->c_str(), *data)) {
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
