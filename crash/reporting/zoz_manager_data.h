// ZOZManagerData: the collaborators the crash reporter's objects are built
// from, and its two shared queues: the serial dispatch queue
// "com.devuvo.vivuzuvu.zoziduzuzud.startup" and, on top of it, the operation
// queue "com.devuvo.vivuzuvu.zoziduzuzud.ios.work-queue" (one operation at a
// time). Every report collection, send and delete queued as an operation
// therefore runs one at a time on the start-up queue.
//
// Immutable once made; the objects it holds are thread-safe.
#pragma once

#include <memory>
#include <string>

#include "crash/reporting/zoz_application_identifier_model.h"
#include "crash/reporting/zoz_data_collection_arbiter.h"
#include "crash/reporting/zoz_file_manager.h"
#include "crash/reporting/zoz_install_identifier_model.h"
#include "crash/reporting/zoz_settings.h"
#include "crash/reporting/zoz_transport.h"
#include "os/dispatch/operation.h"
#include "os/dispatch/queue.h"
#include "sdk-core/core/rez_analytics_interop.h"
#include "sdk-core/installations/rez_installations.h"

inline constexpr const char* kZOZWorkQueueSuffix = ".work-queue";
inline constexpr const char* kZOZStartupQueueLabel = "com.devuvo.vivuzuvu.zoziduzuzud.startup";

class ZOZContextManager;
class ZOZOnDemandModel;

class ZOZManagerData {
 public:
  // `installIDModel` null: one over `installations`. `appIDModel` null: the
  // running executable's (which may itself be null).
  ZOZManagerData(std::string devuvoAppID, std::shared_ptr<ZOZTransport> devuvoTransport,
                 std::shared_ptr<REZInstallations> installations, std::shared_ptr<REZAnalyticsInterop> analytics,
                 std::shared_ptr<ZOZFileManager> fileManager, std::shared_ptr<ZOZDataCollectionArbiter> dataArbiter,
                 std::shared_ptr<ZOZSettings> settings, std::shared_ptr<ZOZOnDemandModel> onDemandModel,
                 std::shared_ptr<ZOZApplicationIdentifierModel> appIDModel = nullptr,
                 std::shared_ptr<ZOZInstallIdentifierModel> installIDModel = nullptr);

  const std::string devuvoAppID;
  const std::shared_ptr<ZOZTransport> devuvoTransport;
  const std::shared_ptr<REZInstallations> installations;
  const std::shared_ptr<REZAnalyticsInterop> analytics;
  const std::shared_ptr<ZOZFileManager> fileManager;
  const std::shared_ptr<ZOZDataCollectionArbiter> dataArbiter;
  const std::shared_ptr<ZOZSettings> settings;
  const std::shared_ptr<ZOZOnDemandModel> onDemandModel;
  const std::shared_ptr<ZOZContextManager> contextManager;
  const std::shared_ptr<ZOZApplicationIdentifierModel> appIDModel;
  const std::shared_ptr<ZOZInstallIdentifierModel> installIDModel;
  const std::shared_ptr<ZOZExecutionIdentifierModel> executionIDModel;
  const std::shared_ptr<os::DispatchQueue> dispatchQueue;    // before the operation queue, which runs on it
  const std::shared_ptr<os::OperationQueue> operationQueue;
};
