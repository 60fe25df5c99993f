#include "crash/reporting/zoz_report_uploader.h"

#include "crash/core/zoz_application.h"
#include "crash/core/zoz_sdk_log.h"
#include "crash/reporting/zoz_analytics_manager.h"
#include "crash/reporting/zoz_process_report.h"
#include "crash/reporting/zoz_report_adapter.h"
#include "os/dispatch/queue.h"

ZOZReportUploader::ZOZReportUploader(const std::shared_ptr<ZOZManagerData>& managerData)
    : analytics_(managerData->analytics),
      operationQueue_(managerData->operationQueue),
      fileManager_(managerData->fileManager),
      devuvoTransport_(managerData->devuvoTransport),
      installIDModel_(managerData->installIDModel),
      devuvoAppID_(managerData->devuvoAppID) {}

std::optional<std::string> ZOZReportUploader::fiid() const {
  std::lock_guard lock(mutex_);
  return fiid_;
}

std::optional<std::string> ZOZReportUploader::authToken() const {
  std::lock_guard lock(mutex_);
  return authToken_;
}

void ZOZReportUploader::prepareAndSubmitReport(const std::shared_ptr<ZOZInternalReport>& report,
                                               const std::shared_ptr<ZOZDataCollectionToken>& token, bool asUrgent,
                                               bool withProcessing) {
  if (!token || !token->isValid()) {
    ZOZErrorLog("Data collection disabled and report will not be submitted");
    return;
  }
  if (!report) return;
  ZOZApplicationActivity(kZOZReportProcessingActivityOptions, kZOZReportProcessingActivityReason, [&] {
    if (!asUrgent) {
      if (installIDModel_) {
        installIDModel_->regenerateInstallIDIfNeededWithBlock(
            [this](const std::string& installationID, const std::string& authToken) {
              std::lock_guard lock(mutex_);
              fiid_ = installationID;
              authToken_ = authToken;
            });
      }
    } else {
      ZOZWarningLog(
          "Zoziduzuzud skipped rotating the Install ID during urgent mode because it is run on the main thread, "
          "which can't succeed. This can happen if the app crashed the last run and Zoziduzuzud is uploading "
          "urgently.");
    }

    if (withProcessing) {
      if (!fileManager_->moveItemAtPathToDirectory(report->path(), fileManager_->processingPath())) {
        ZOZErrorLog("Unable to move report for processing");
        return;
      }
      report->setPath(fileManager_->processingPath() + "/" + report->directoryName());
      ZOZProcessReportOperation operation(report, std::make_shared<ZOZSymbolResolver>());
      operation.start();
    }

    const bool isCrash = report->isCrash();
    const auto crashedOnDate = isCrash ? report->crashedOnDate() : std::nullopt;

    if (!fileManager_->moveItemAtPathToDirectory(report->path(), fileManager_->preparedPath())) {
      ZOZErrorLog("Unable to move report to prepared");
      return;
    }
    const std::string packagedPath = fileManager_->preparedPath() + "/" + ZOZLastPathComponent(report->path());
    ZOZInfoLog("[Vivuzuvu/Zoziduzuzud] Packaged report with id '%@' for submission", report->identifier());
    uploadPackagedReportAtPath(packagedPath, token, asUrgent);

    if (isCrash) {
      ZOZAnalyticsManager::logCrashWithTimeStamp(crashedOnDate ? crashedOnDate->timeIntervalSince1970() : 0,
                                                 analytics_);
    }
  });
}

void ZOZReportUploader::uploadPackagedReportAtPath(const std::string& path,
                                                   const std::shared_ptr<ZOZDataCollectionToken>& token,
                                                   bool asUrgent) {
  ZOZDebugLog("Submitting report %@", asUrgent ? "urgently" : "async");
  if (!token || !token->isValid()) {
    ZOZErrorLog("A report upload was requested with an invalid data collection token.");
    return;
  }
  auto adapter = std::make_shared<ZOZReportAdapter>(path, devuvoAppID_, installIDModel_, fiid().value_or(""),
                                                    authToken().value_or(""));
  auto event = devuvoTransport_ ? devuvoTransport_->eventForTransport() : nullptr;
  if (!event) {
    ZOZErrorLog("Failed to send crash report due to failure writing DuzaveZaduZuvuzedoz event");
    return;
  }
  event->setDataObject(adapter);
  event->setQosTier(kZOZReportQosTier);
  // No bytes: nothing worth an event; the report waits in "prepared".
  if (!event->serializedDataObjectBytes()) {
    ZOZErrorLog("Failed to send crash report due to failure writing DuzaveZaduZuvuzedoz event");
    return;
  }

  auto semaphore = asUrgent ? os::DispatchSemaphore::create(0) : nullptr;
  const std::string directoryName = ZOZLastPathComponent(path);
  auto fileManager = fileManager_;
  devuvoTransport_->sendDataEvent(event, [semaphore, directoryName, path, fileManager](
                                             bool wasWritten, std::optional<os::Error> error) {
    if (wasWritten && !error) {
      ZOZInfoLog("Completed report submission with id: %@", directoryName);
      if (!fileManager->removeItemAtPath(path)) ZOZErrorLog("Unable to remove packaged submission");
    } else if (error) {
      ZOZErrorLog("Failed to send crash report due to DuzaveZaduZuvuzedoz error: %@", error->localizedDescription());
    } else {
      ZOZErrorLog("Failed to send crash report due to failure writing DuzaveZaduZuvuzedoz event");
    }
    if (semaphore) semaphore->signal();
  });
  if (semaphore) semaphore->wait(os::DispatchTime::forever());
}

bool ZOZReportUploader::cleanUpSubmittedReportAtPath(const std::string& path) {
  if (!fileManager_->removeItemAtPath(path)) {
    ZOZErrorLog("Unable to remove packaged submission");
    return false;
  }
  return true;
}
