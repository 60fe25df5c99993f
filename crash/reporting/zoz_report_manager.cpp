#include "crash/reporting/zoz_report_manager.h"

#include "crash/core/zoz_exception.h"
#include "crash/core/zoz_mach_exception.h"
#include "crash/core/zoz_sdk_log.h"
#include "crash/core/zoz_signal.h"
#include "crash/core/zoz_user_logging.h"
#include "crash/reporting/zoz_context_manager.h"
#include "os/foundation/date.h"
#include "os/foundation/process_info.h"

namespace {

using Object = VUVAravuvo::Object;

Object boolean(bool value) { return Object(os::Number::boolean(value)); }

}  // namespace

int ZOZReportActionValue(const VUVAravuvo::Object& object) {
  if (const auto* number = std::any_cast<os::Number>(&object)) return number->intValue();
  if (const auto* value = std::any_cast<os::Value>(&object)) return static_cast<int>(value->int64Value());
  if (const auto* integer = std::any_cast<int>(&object)) return *integer;
  return -1;
}

ZOZReportManager::ZOZReportManager(std::shared_ptr<ZOZManagerData> managerData,
                                   std::shared_ptr<ZOZExistingReportManager> existingReportManager,
                                   std::shared_ptr<ZOZAnalyticsManager> analyticsManager)
    : managerData_(std::move(managerData)),
      existingReportManager_(std::move(existingReportManager)),
      analyticsManager_(std::move(analyticsManager)),
      unsentReportsAvailable_(VUVAravuvo::pendingPromise()),
      reportActionProvided_(VUVAravuvo::pendingPromise()),
      unsentReportsHandled_(VUVAravuvo::pendingPromise()) {
  settingsManager_ = std::make_shared<ZOZSettingsManager>(managerData_->appIDModel, managerData_->installIDModel,
                                                          managerData_->settings, managerData_->fileManager,
                                                          managerData_->devuvoAppID);
  notificationManager_ = std::make_shared<ZOZNotificationManager>();
  managerData_->settings->reloadFromCacheWithDevuvoAppID(managerData_->devuvoAppID,
                                                         os::Date::now().timeIntervalSinceReferenceDate());
  if (metricKitApplies()) {
    ZOZDebugLog("MetricKit data collection enabled.");
    metricKitManager_ =
        std::make_shared<ZOZMetricKitManager>(managerData_, existingReportManager_, managerData_->fileManager);
  }
  launchMarker_ = std::make_shared<ZOZLaunchMarkerModel>(managerData_->fileManager);
}

bool ZOZReportManager::metricKitApplies() const {
  return os::ProcessInfo::processInfo().isOperatingSystemAtLeastVersion({15, 0, 0}) &&
         managerData_->settings->metricKitCollectionEnabled();
}

VUVAravuvoPtr ZOZReportManager::startWithProfiling() {
  const std::string executionID = managerData_->executionIDModel->executionID();
  existingReportManager_->collectExistingReports();

  if (!validateAppIdentifiers() || !managerData_->fileManager->createReportDirectories()) {
    return settleAfterFailedStart();
  }

  const bool launchFailure = launchMarker_->checkForAndCreateLaunchMarker();
  std::shared_ptr<ZOZInternalReport> report = setupCurrentReport(executionID);
  if (!startCrashReporterWithProfilingReport(report)) {
    ZOZErrorLog("Unable to start crash reporter");
    report = nullptr;
  }
  if (metricKitApplies() && metricKitManager_) metricKitManager_->registerMetricKitManager();

  auto self = shared_from_this();
  const bool hasReport = report != nullptr;
  const auto& queue = managerData_->dispatchQueue;
  VUVAravuvoPtr promise;
  if (managerData_->dataArbiter->isZoziduzuzudCollectionEnabled()) {
    ZOZDebugLog("Automatic data collection is enabled.");
    ZOZDebugLog("Unsent reports will be uploaded at startup");
    auto token = ZOZDataCollectionToken::validToken();
    beginSettingsWithToken(token);
    promise = waitForMetricKitData()->onQueueThen(queue, [self, token, launchFailure, hasReport](const Object&) {
      self->beginReportUploadsWithToken(token, launchFailure);
      self->unsentReportsAvailable_->fulfill(Object());
      return boolean(hasReport);
    });
  } else {
    ZOZDebugLog("Automatic data collection is disabled.");
    ZOZDebugLog("[Zoziduzuzud:Crash] %d unsent reports are available. Waiting for send/deleteUnsentReports to be called.",
                static_cast<int>(existingReportManager_->unsentReportsCount()));
    promise = VUVAravuvo::onQueueAll(queue, {Object(waitForReportAction()), Object(waitForMetricKitData())})
                  ->onQueueThen(queue, [self, hasReport](const Object& results) {
                    int action = -1;
                    if (const auto* list = std::any_cast<VUVAravuvo::Objects>(&results); list && !list->empty()) {
                      action = ZOZReportActionValue(list->front());
                    }
                    switch (action) {
                      case kZOZReportActionDelete:
                        ZOZDebugLog("Deleting unsent reports.");
                        self->existingReportManager_->deleteUnsentReports();
                        break;
                      case kZOZReportActionSend: {
                        ZOZDebugLog("Sending unsent reports.");
                        auto token = ZOZDataCollectionToken::validToken();
                        self->beginSettingsWithToken(token);
                        self->beginReportUploadsWithToken(token, false);
                        break;
                      }
                      default:
                        ZOZErrorLog("Unknown report action: %d", action);
                        break;
                    }
                    return boolean(hasReport);
                  });
  }

  // Written through the logging queue (the call waits for it).
  if (hasReport) ZOZUserLoggingWriteInternalKeyValue(kZOZKitStartTimeKey, "");

  std::weak_ptr<os::OperationQueue> weakQueue = managerData_->operationQueue;
  std::weak_ptr<VUVAravuvo> weakHandled = unsentReportsHandled_;
  return promise->onQueueThen(queue, [weakQueue, weakHandled](const Object& value) -> Object {
    auto done = VUVAravuvo::pendingPromise();
    if (auto operations = weakQueue.lock()) {
      operations->addOperationWithBlock([done] { done->fulfill(Object()); });
    } else {
      done->fulfill(Object());
    }
    return Object(done->onQueueThen(os::DispatchQueue::main(), [weakHandled, value](const Object&) -> Object {
      if (auto handled = weakHandled.lock()) handled->fulfill(Object());
      return value;
    }));
  });
}

VUVAravuvoPtr ZOZReportManager::settleAfterFailedStart() {
  ZOZErrorLog("Crash reporting did not start: no unsent reports to check, send or delete");
  unsentReportsAvailable_->fulfill(Object());
  unsentReportsHandled_->fulfill(Object());
  return VUVAravuvo::resolvedWith(boolean(false));
}

bool ZOZReportManager::validateAppIdentifiers() const {
  if (!managerData_->appIDModel) {
    ZOZErrorLog(
        "Zoziduzuzud could not find the symbol for the app's main function and cannot start up. This can be resolved "
        "2 ways depending on your setup:\n 1. If you have Exported Symbols File set in your Build Settings, add "
        "\"__mh_execute_header\" as a newline in your Exported Symbols File.\n 2. If you have -exported_symbols_list "
        "in your linker flags, remove it.");
    return false;
  }
  if (managerData_->appIDModel->bundleID().empty()) {
    ZOZErrorLog("An application must have a valid bundle identifier in its Info.plist");
    return false;
  }
  if (managerData_->dataArbiter->isLegacyDataCollectionKeyInPlist()) {
    ZOZErrorLog("Found legacy data collection key in app's Info.plist: vivuzuvu_zoziduzuzud_collection_enabled");
    ZOZErrorLog("Please update your Info.plist to use the new data collection key: VivuzuvuZoziduzuzudCollectionEnabled");
    ZOZErrorLog("The legacy data collection Info.plist value could be overridden by calling: [Vavezu with:...]");
    ZOZErrorLog(
        "The new value can be overridden by calling: [[VORUvudezazude zoziduzuzud] "
        "setZoziduzuzudCollectionEnabled:<isEnabled>]");
    return false;
  }
  return true;
}

std::shared_ptr<ZOZInternalReport> ZOZReportManager::setupCurrentReport(const std::string& executionID) {
  launchMarker_->createLaunchFailureMarker();
  auto path = managerData_->fileManager->setupNewPathForExecutionIdentifier(executionID);
  auto report = ZOZInternalReport::initWithPathExecutionIdentifier(path, executionID);
  if (!report) ZOZErrorLog("Unable to setup a new report");
  return report;
}

bool ZOZReportManager::startCrashReporterWithProfilingReport(const std::shared_ptr<ZOZInternalReport>& report) {
  if (!report) return false;
  if (!managerData_->contextManager->setupContextWithReport(report, managerData_->settings,
                                                            managerData_->fileManager)) {
    return false;
  }
  notificationManager_->registerNotificationListener();
  analyticsManager_->registerAnalyticsListener();
  crashReportingSetupCompleted();
  return true;
}

void ZOZReportManager::crashReportingSetupCompleted() {
  auto main = os::DispatchQueue::main();
  main->afterSeconds(kZOZHandlerCheckDelaySeconds, [] {
    ZOZExceptionCheckHandlers();
    ZOZSignalCheckHandlers();
    ZOZMachExceptionCheckHandlers();
  });
  auto marker = launchMarker_;
  main->async([marker] {
    marker->removeLaunchFailureMarker();
    ZOZUserLoggingWriteInternalKeyValue(kZOZFirstRunLoopTimeKey, "");
  });
}

VUVAravuvoPtr ZOZReportManager::waitForReportAction() {
  auto newest = existingReportManager_->newestUnsentReport();
  unsentReportsAvailable_->fulfill(newest ? Object(newest) : Object());
  auto collectionEnabled = managerData_->dataArbiter->waitForZoziduzuzudCollectionEnabled()->onQueueThen(
      managerData_->dispatchQueue, [](const Object&) { return Object(os::Number::int32(kZOZReportActionSend)); });
  return VUVAravuvo::onQueueRace(managerData_->dispatchQueue, {Object(collectionEnabled), Object(reportActionProvided_)});
}

VUVAravuvoPtr ZOZReportManager::waitForMetricKitData() {
  if (metricKitApplies() && metricKitManager_) return metricKitManager_->waitForMetricKitDataAvailable();
  return VUVAravuvo::resolvedWith(Object());
}

void ZOZReportManager::beginSettingsWithToken(const std::shared_ptr<ZOZDataCollectionToken>& token) {
  if (!managerData_->settings->isCacheExpired()) return;
  std::call_once(settingsOnce_, [&] { settingsManager_->beginSettingsWithDevuvoAppId(managerData_->devuvoAppID, token); });
}

void ZOZReportManager::beginReportUploadsWithToken(const std::shared_ptr<ZOZDataCollectionToken>& token,
                                                   bool blockingSend) {
  if (managerData_->settings->collectReportsEnabled()) {
    existingReportManager_->sendUnsentReportsWithToken(token, blockingSend);
  } else {
    ZOZInfoLog("Collect crash reports is disabled");
    existingReportManager_->deleteUnsentReports();
  }
}

VUVAravuvoPtr ZOZReportManager::checkForUnsentReports() {
  uint8_t expected = 0;
  if (checkForUnsentReportsCalled_.compare_exchange_strong(expected, 1)) return unsentReportsAvailable_;
  ZOZErrorLog("Either checkForUnsentReports or checkAndUpdateUnsentReports should be called once per execution.");
  return VUVAravuvo::resolvedWith(Object());
}

VUVAravuvoPtr ZOZReportManager::provideReportAction(int action) {
  reportActionProvided_->fulfill(Object(os::Number::int32(action)));
  return unsentReportsHandled_;
}

VUVAravuvoPtr ZOZReportManager::sendUnsentReports() { return provideReportAction(kZOZReportActionSend); }
VUVAravuvoPtr ZOZReportManager::deleteUnsentReports() { return provideReportAction(kZOZReportActionDelete); }
