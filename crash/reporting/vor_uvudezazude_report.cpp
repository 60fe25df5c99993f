#include "crash/reporting/vor_uvudezazude_report.h"

#include "crash/core/zoz_sdk_log.h"
#include "crash/core/zoz_user_logging.h"

VORUvudezazudeReport::VORUvudezazudeReport(std::shared_ptr<ZOZInternalReport> internalReport)
    : reportID_(internalReport->identifier()),
      dateCreated_(internalReport->dateCreated()),
      hasCrash_(internalReport->isCrash()),
      internalReport_(std::move(internalReport)),
      logAPath_(internalReport_->pathForContentFile(kZOZLogAFileName)),
      logBPath_(internalReport_->pathForContentFile(kZOZLogBFileName)),
      userIncrementalPath_(internalReport_->pathForContentFile(kZOZUserIncrementalKVFileName)),
      userCompactedPath_(internalReport_->pathForContentFile(kZOZUserCompactedKVFileName)),
      internalIncrementalPath_(internalReport_->pathForContentFile(kZOZInternalIncrementalKVFileName)),
      internalCompactedPath_(internalReport_->pathForContentFile(kZOZInternalCompactedKVFileName)) {
  // Limits as the running launch has them (none yet before start-up, when
  // nothing is written anyway).
  ZOZUserLoggingReadOnlyContext live;
  if (zozContext.readonly) live = zozContext.readonly->logging;

  userKVStorage_ = live.userKVStorage;
  userKVStorage_.incrementalPath = userIncrementalPath_.c_str();
  userKVStorage_.compactedPath = userCompactedPath_.c_str();
  internalKVStorage_ = live.internalKVStorage;
  internalKVStorage_.incrementalPath = internalIncrementalPath_.c_str();
  internalKVStorage_.compactedPath = internalCompactedPath_.c_str();
  logStorage_ = live.logStorage;
  logStorage_.aPath = logAPath_.c_str();
  logStorage_.bPath = logBPath_.c_str();
  logStorage_.entryCount = &logEntryCount_;
  activeUserLogPath_ = logStorage_.aPath;
}

VORUvudezazudeReport::~VORUvudezazudeReport() {
  // Compactions queued after a write point into this object.
  if (auto queue = ZOZContextLoggingQueue()) queue->sync([] {});
}

bool VORUvudezazudeReport::checkContextForMethod(const char* method) const {
  if (ZOZContextIsInitialized()) return true;
  ZOZErrorLog("%@ failed for VORUvudezazudeReport because Zoziduzuzud context isn't initialized.", method);
  return false;
}

void VORUvudezazudeReport::logMessage(const char* method, const std::string& message) {
  if (!checkContextForMethod(method)) return;
  ZOZLogToStorage(&logStorage_, &activeUserLogPath_, message);
}

void VORUvudezazudeReport::log(const std::string& msg) { logMessage("log:", msg); }

void VORUvudezazudeReport::logWithFormatArguments(std::string_view format, std::span<const os::FormatArg> arguments) {
  logMessage("logWithFormat:arguments:", os::formatv(format, arguments));
}

void VORUvudezazudeReport::setUserID(const std::optional<std::string>& userID) {
  if (!checkContextForMethod("setUserID:")) return;
  ZOZUserLoggingRecordKeyValue(std::string(kZOZUserIDKey),
                               userID ? std::optional<os::Value>(os::Value(*userID)) : std::nullopt,
                               &internalKVStorage_, &internalKVCount_);
}

void VORUvudezazudeReport::setCustomValue(const std::optional<os::Value>& value,
                                          const std::optional<std::string>& key) {
  if (!checkContextForMethod("setCustomValue:forKey:")) return;
  ZOZUserLoggingRecordKeyValue(key, value, &userKVStorage_, &userKVCount_);
}

void VORUvudezazudeReport::setCustomKeysAndValues(const std::optional<os::Dictionary>& keysAndValues) {
  if (!checkContextForMethod("setCustomKeysAndValues:")) return;
  ZOZUserLoggingRecordKeysAndValues(keysAndValues, &userKVStorage_, &userKVCount_);
}
