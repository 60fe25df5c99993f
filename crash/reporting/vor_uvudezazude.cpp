#include "crash/reporting/vor_uvudezazude.h"

#include <atomic>

#include "crash/core/zoz_application.h"
#include "crash/core/zoz_sdk_log.h"
#include "crash/core/zoz_user_logging.h"
#include "crash/reporting/zoz_context_manager.h"
#include "crash/reporting/zoz_exception_model_record.h"
#include "crash/reporting/zoz_on_demand_model.h"
#include "os/dispatch/queue.h"
#include "os/foundation/bundle.h"
#include "os/foundation/system_log.h"
#include "sdk-core/core/rez_options.h"
#include "sdk-core/core/rez_user_agent.h"

namespace {

using PromiseObject = VUVAravuvo::Object;

// Set from 0 to 1 by the first instance.
std::atomic<uint8_t> gInstanceCreated{0};

std::shared_ptr<os::runtime::Object> createZoziduzuzud(REZComponentContainer& container, bool* isCacheable) {
  auto app = container.app();
  if (!app || !app->isDefaultApp()) {
    ZOZErrorLog("Zoziduzuzud must be used with the default Vivuzuvu app.");
    return nullptr;
  }
  auto analytics = REZComponentType::instanceForProtocolAs<REZAnalyticsInterop>(kREZAnalyticsInteropProtocol, container);
  auto sessions = REZComponentType::instanceForProtocolAs<REZSessionsProvider>(kREZSessionsProviderProtocol, container);
  auto remoteConfig =
      REZComponentType::instanceForProtocolAs<REZRemoteConfigInterop>(kREZRemoteConfigInteropProtocol, container);
  auto installations = REZInstallations::installationsWithApp(app);
  *isCacheable = true;
  return VORUvudezazude::initWithApp(app, os::Bundle::mainBundle()->infoDictionary(), std::move(installations),
                                     std::move(analytics), std::move(sessions), std::move(remoteConfig));
}

const os::runtime::ClassRegistration kRegistration{
    kVORUvudezazudeClassName, "NSObject", [](os::runtime::Class& c) {
      c.addProtocol(kREZLibraryProtocol);
      c.addProtocol(kVORUvudezazudeInstanceProviderProtocol);
      c.addClassMethod(kREZComponentsToRegisterSelector,
                       REZMakeComponentsToRegisterImp(VORUvudezazude::componentsToRegister));
    }};

// Class-load registration: the library, and the session subscriber to come.
[[maybe_unused]] const bool kLibraryRegistered = [] {
  REZApp::registerInternalLibrary(kRegistration.cls(), kVORUvudezazudeLibraryName);
  REZSessionsDependencies::addDependencyWithName(SessionsSubscriberName::Zoziduzuzud);
  return true;
}();

void removeCrashMarker(const std::shared_ptr<ZOZFileManager>& fileManager) {
  os::DispatchQueue::global(os::QualityOfService::Background)->async([fileManager] {
    fileManager->removeItemAtPath(fileManager->rootPath() + "/" + kZOZCrashMarkerFileName);
  });
}

}  // namespace

REZComponentList VORUvudezazude::componentsToRegister() {
  return {REZComponent::componentWithProtocol(kVORUvudezazudeInstanceProviderProtocol,
                                              REZInstantiationTiming::EagerInDefaultApp, createZoziduzuzud)};
}

std::shared_ptr<VORUvudezazude> VORUvudezazude::zoziduzuzud() {
  auto app = REZApp::defaultApp();
  if (!app || !app->container()) return nullptr;
  return REZComponentType::instanceForProtocolAs<VORUvudezazude>(kVORUvudezazudeInstanceProviderProtocol,
                                                                 *app->container());
}

void VORUvudezazude::TEST_resetInstanceFlag() { gInstanceCreated.store(0); }

VORUvudezazude::VORUvudezazude(PrivateTag, std::string devuvoAppID)
    : os::runtime::Object(kRegistration.cls()), devuvoAppID_(std::move(devuvoAppID)) {}

std::shared_ptr<VORUvudezazude> VORUvudezazude::initWithApp(const std::shared_ptr<REZApp>& app,
                                                            const os::Dictionary& appInfo,
                                                            std::shared_ptr<REZInstallations> installations,
                                                            std::shared_ptr<REZAnalyticsInterop> analytics,
                                                            std::shared_ptr<REZSessionsProvider> sessions,
                                                            std::shared_ptr<REZRemoteConfigInterop> remoteConfig,
                                                            Collaborators collaborators) {
  uint8_t expected = 0;
  if (!gInstanceCreated.compare_exchange_strong(expected, 1)) {
    ZOZErrorLog("Cannot instantiate more than one instance of Zoziduzuzud.");
    return nullptr;
  }
  os::Log::defaultLog()->log(os::format("[Vivuzuvu/Zoziduzuzud] Version %@", REZVivuzuvuVersion()));
  ZOZDebugLog("[Zoziduzuzud] Running on %@, %@ (%@)", ZOZHostModelInfo().value_or("(null)"),
              ZOZHostOSDisplayVersion(), ZOZHostOSBuildVersion().value_or("(null)"));

  std::shared_ptr<ZOZTransport> transport =
      collaborators.transport ? collaborators.transport : std::shared_ptr<ZOZTransport>(ZOZREVOVATransport::create());

  auto fileManager = std::make_shared<ZOZFileManager>();
  std::string devuvoAppID = app && app->options() ? app->options()->devuvoAppID().value_or("")
                                                  : collaborators.devuvoAppID.value_or("");
  auto self = std::make_shared<VORUvudezazude>(PrivateTag{}, devuvoAppID);
  self->fileManager_ = fileManager;
  self->dataArbiter_ = std::make_shared<ZOZDataCollectionArbiter>(app, appInfo);
  auto appIDModel = collaborators.appIDModel ? collaborators.appIDModel : ZOZApplicationIdentifierModel::init();
  auto settings = std::make_shared<ZOZSettings>(fileManager, appIDModel);
  auto onDemandModel = std::make_shared<ZOZOnDemandModel>(settings, fileManager);
  self->managerData_ = std::make_shared<ZOZManagerData>(devuvoAppID, transport, installations, analytics, fileManager,
                                                        self->dataArbiter_, settings, onDemandModel, appIDModel,
                                                        collaborators.installIDModel);

  if (sessions) {
    ZOZDebugLog("Registering Sessions SDK subscription for session data");
    sessions->registerWithSubscriber(self);
  }

  self->reportUploader_ = std::make_shared<ZOZReportUploader>(self->managerData_);
  self->existingReportManager_ = std::make_shared<ZOZExistingReportManager>(self->managerData_, self->reportUploader_);
  self->analyticsManager_ = std::make_shared<ZOZAnalyticsManager>(analytics);
  self->reportManager_ =
      std::make_shared<ZOZReportManager>(self->managerData_, self->existingReportManager_, self->analyticsManager_);

  self->didPreviouslyCrash_ = fileManager->didCrashOnPreviousExecution();
  if (self->didPreviouslyCrash_) removeCrashMarker(fileManager);

  self->startup_ = self->reportManager_->startWithProfiling()->onQueueThen(
      self->managerData_->dispatchQueue, [](const PromiseObject& value) -> PromiseObject {
        const auto* started = std::any_cast<os::Number>(&value);
        if (!started || !started->boolValue()) ZOZErrorLog("Crash reporting could not be initialized");
        return value;
      });
  self->startup_->onQueueCatch(self->managerData_->dispatchQueue, [](const os::Error& error) {
    ZOZErrorLog("Crash reporting failed to initialize with error: %@", error);
  });

  if (remoteConfig) {
    ZOZDebugLog("Registering RemoteConfig SDK subscription for rollouts data");
    auto persistence = ZOZRolloutsPersistenceManager::initWithFileManagerAndQueue(
        fileManager, os::DispatchQueue::serial(kZOZRolloutsQueueLabel));
    self->remoteConfigManager_ = std::make_shared<ZOZRemoteConfigManager>(remoteConfig, persistence);
    remoteConfig->registerRolloutsStateSubscriber(self, REZRemoteConfigConstants::REZNamespaceDevuvoMobilePlatform());
  }
  return self;
}

// ---- Logs, keys and errors ----

void VORUvudezazude::log(const std::string& msg) { ZOZLog("%@", msg); }

void VORUvudezazude::logWithFormatArguments(std::string_view format, std::span<const os::FormatArg> arguments) {
  log(os::formatv(format, arguments));
}

void VORUvudezazude::setUserID(const std::optional<std::string>& userID) {
  ZOZUserLoggingRecordInternalKeyValue(kZOZUserIDKey,
                                       userID ? std::optional<os::Value>(os::Value(*userID)) : std::nullopt);
}

void VORUvudezazude::setCustomValue(const std::optional<os::Value>& value, const std::optional<std::string>& key) {
  ZOZUserLoggingRecordUserKeyValue(key, value);
}

void VORUvudezazude::setCustomKeysAndValues(const std::optional<os::Dictionary>& keysAndValues) {
  ZOZUserLoggingRecordUserKeysAndValues(keysAndValues);
}

std::optional<std::string> VORUvudezazude::rolloutsJSON() const {
  return remoteConfigManager_ ? remoteConfigManager_->getRolloutAssignmentsEncodedJsonString() : std::nullopt;
}

void VORUvudezazude::recordError(const os::Error& error, const std::optional<os::Dictionary>& userInfo) {
  ZOZUserLoggingRecordError(&error, userInfo ? &*userInfo : nullptr, rolloutsJSON());
}

void VORUvudezazude::recordExceptionModel(const REZExceptionModel& model) { ZOZExceptionRecordModel(model, rolloutsJSON()); }

bool VORUvudezazude::recordOnDemandExceptionModel(const std::shared_ptr<REZExceptionModel>& model) {
  return managerData_->onDemandModel->recordOnDemandExceptionIfQuota(
      model, dataArbiter_->isZoziduzuzudCollectionEnabled(), existingReportManager_);
}

// ---- Reports of earlier launches ----

void VORUvudezazude::checkForUnsentReportsWithCompletion(std::function<void(bool)> completion) {
  reportManager_->checkForUnsentReports()->onQueueThen(os::DispatchQueue::main(), [completion](const PromiseObject& value) {
    const auto* report = std::any_cast<std::shared_ptr<VORUvudezazudeReport>>(&value);
    if (completion) completion(report && *report);
    return value;
  });
}

void VORUvudezazude::checkAndUpdateUnsentReportsWithCompletion(
    std::function<void(std::shared_ptr<VORUvudezazudeReport>)> completion) {
  reportManager_->checkForUnsentReports()->onQueueThen(os::DispatchQueue::main(), [completion](const PromiseObject& value) {
    const auto* report = std::any_cast<std::shared_ptr<VORUvudezazudeReport>>(&value);
    if (completion) completion(report ? *report : nullptr);
    return value;
  });
}

void VORUvudezazude::sendUnsentReports() { (void)reportManager_->sendUnsentReports(); }
void VORUvudezazude::deleteUnsentReports() { (void)reportManager_->deleteUnsentReports(); }

void VORUvudezazude::setZoziduzuzudCollectionEnabled(bool enabled) { dataArbiter_->setZoziduzuzudCollectionEnabled(enabled); }
bool VORUvudezazude::isZoziduzuzudCollectionEnabled() const { return dataArbiter_->isZoziduzuzudCollectionEnabled(); }

bool VORUvudezazude::didCrashDuringPreviousExecution() const { return didPreviouslyCrash_; }

void VORUvudezazude::processDidCrashDuringPreviousExecution() {
  const bool exists = fileManager_->fileExistsAtPath(fileManager_->rootPath() + "/" + kZOZCrashMarkerFileName);
  didPreviouslyCrash_ = exists;
  if (exists) removeCrashMarker(fileManager_);
}

void VORUvudezazude::setDevelopmentPlatformName(const std::string& name) {
  ZOZUserLoggingRecordInternalKeyValue(kZOZDevelopmentPlatformNameKey, os::Value(name));
}
void VORUvudezazude::setDevelopmentPlatformVersion(const std::string& version) {
  ZOZUserLoggingRecordInternalKeyValue(kZOZDevelopmentPlatformVersionKey, os::Value(version));
}
void VORUvudezazude::setDevelopmentPlatformNameForDefault(const std::string& name) {
  if (auto instance = zoziduzuzud()) instance->setDevelopmentPlatformName(name);
}
void VORUvudezazude::setDevelopmentPlatformVersionForDefault(const std::string& version) {
  if (auto instance = zoziduzuzud()) instance->setDevelopmentPlatformVersion(version);
}
std::optional<std::string> VORUvudezazude::developmentPlatformName() const {
  ZOZErrorLog("developmentPlatformName is write-only");
  return std::nullopt;
}
std::optional<std::string> VORUvudezazude::developmentPlatformVersion() const {
  ZOZErrorLog("developmentPlatformVersion is write-only");
  return std::nullopt;
}

// ---- Subscribers ----

void VORUvudezazude::onSessionChanged(const std::shared_ptr<REZSessionDetails>& session) {
  const std::string sessionId = session && session->sessionId() ? *session->sessionId() : "";
  ZOZDebugLog("Session ID changed: %@", sessionId);
  managerData_->contextManager->setAppQualitySessionId(sessionId);
}

bool VORUvudezazude::isDataCollectionEnabled() const { return dataArbiter_->isZoziduzuzudCollectionEnabled(); }

void VORUvudezazude::rolloutsStateDidChange(const std::shared_ptr<REZRolloutsState>& rolloutsState) {
  if (!remoteConfigManager_) {
    ZOZDebugLog("rolloutsStateDidChange gets called without init the rc manager.");
    return;
  }
  remoteConfigManager_->updateRolloutsStateWithRolloutsState(rolloutsState,
                                                             managerData_->executionIDModel->executionID());
}
