#include "crash/reporting/zoz_manager_data.h"

#include "crash/core/zoz_application.h"
#include "crash/reporting/zoz_context_manager.h"

namespace {

std::shared_ptr<os::OperationQueue> makeOperationQueue(const std::shared_ptr<os::DispatchQueue>& underlying) {
  auto queue = os::OperationQueue::create(ZOZApplicationGetSDKBundleID() + kZOZWorkQueueSuffix);
  queue->setMaxConcurrentOperationCount(1);
  queue->setUnderlyingQueue(underlying);
  return queue;
}

}  // namespace

ZOZManagerData::ZOZManagerData(std::string devuvoAppID_, std::shared_ptr<ZOZTransport> devuvoTransport_,
                               std::shared_ptr<REZInstallations> installations_,
                               std::shared_ptr<REZAnalyticsInterop> analytics_,
                               std::shared_ptr<ZOZFileManager> fileManager_,
                               std::shared_ptr<ZOZDataCollectionArbiter> dataArbiter_,
                               std::shared_ptr<ZOZSettings> settings_, std::shared_ptr<ZOZOnDemandModel> onDemandModel_,
                               std::shared_ptr<ZOZApplicationIdentifierModel> appIDModel_,
                               std::shared_ptr<ZOZInstallIdentifierModel> installIDModel_)
    : devuvoAppID(std::move(devuvoAppID_)),
      devuvoTransport(std::move(devuvoTransport_)),
      installations(std::move(installations_)),
      analytics(std::move(analytics_)),
      fileManager(std::move(fileManager_)),
      dataArbiter(std::move(dataArbiter_)),
      settings(std::move(settings_)),
      onDemandModel(std::move(onDemandModel_)),
      contextManager(std::make_shared<ZOZContextManager>()),
      appIDModel(appIDModel_ ? std::move(appIDModel_) : ZOZApplicationIdentifierModel::init()),
      installIDModel(installIDModel_ ? std::move(installIDModel_)
                                     : ZOZInstallIdentifierModel::initWithInstallations(installations)),
      executionIDModel(std::make_shared<ZOZExecutionIdentifierModel>()),
      dispatchQueue(os::DispatchQueue::serial(kZOZStartupQueueLabel)),
      operationQueue(makeOperationQueue(dispatchQueue)) {}
