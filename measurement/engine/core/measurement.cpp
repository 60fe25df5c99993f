#include "measurement/engine/core/measurement.h"

#include <cmath>
#include <cstdlib>
#include <limits>

#include "measurement/engine/attribution/search_ad_reporter.h"
#include "measurement/engine/interface/analytics.h"
#include "measurement/engine/sessions/screen_view_reporter.h"
#include "measurement/engine/sessions/session_reporter.h"
#include "measurement/store/backward_compatibility_util.h"
#include "measurement/store/consent_settings.h"
#include "measurement/store/engine_services/asl_logger.h"
#include "measurement/store/engine_services/data_type_validator.h"
#include "measurement/store/engine_services/install_environment.h"
#include "measurement/store/engine_services/measurement_files.h"
#include "measurement/store/engine_services/shorthands.h"
#include "measurement/store/identifiers.h"
#include "measurement/store/monitor.h"
#include "os/dispatch/queue.h"
#include "os/foundation/date.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/format.h"
#include "os/runtime/runtime.h"
#include "os/storekit/ad_network.h"
#include "platform/utilities/endpoints.h"
#include "platform/utilities/logger.h"

namespace {

using apm_shorthands::monitor;

using apm_shorthands::now;

bool hasAnalyticsInterface() { return os::runtime::classFromString(kAPMAnalyticsInterfaceClassName) != nullptr; }

bool nonEmpty(const std::optional<std::string>& text) { return text && !text->empty(); }
bool nonEmpty(const std::optional<os::Dictionary>& dictionary) { return dictionary && !dictionary->empty(); }

// The process-wide engine slot.
struct EngineState {
  // Recursive: building the engine may log, and logging may ask for it.
  std::recursive_mutex mutex;
  bool once = false;                       // guarded by mutex
  std::shared_ptr<APMMeasurement> engine;  // guarded by mutex
};

EngineState& engineState() {
  static auto* state = new EngineState();  // never destroyed: queued work may ask for the engine at exit
  return *state;
}

struct InstallSource {
  std::mutex mutex;
  std::function<int64_t()> source;  // guarded by mutex
};

InstallSource& installSource() {
  static auto* source = new InstallSource();
  return *source;
}

// The major number of a version text ("17.2" gives 17); 0 without one.
long majorVersion(const std::string& version) { return std::strtol(version.c_str(), nullptr, 10); }

APMParameterObjects objectsFrom(const os::Dictionary& dictionary) {
  APMParameterObjects objects;
  for (const auto& [name, value] : dictionary) objects.emplace(name, value);
  return objects;
}

std::shared_ptr<APMUserAttribute> automaticAttribute(const char* name, int64_t value, double lastSetTimestamp) {
  return APMUserAttribute::initWithOrigin(kAPMAutoOrigin, name, APMValue::initWithInt64(value), lastSetTimestamp);
}

// The engine's load time. One kept from a launch that ended before its engine
// started wins: that launch's first open still lies ahead. Else the
// analytics load time, which is kept.
double initialLoadTimestamp(const std::shared_ptr<APMPersistedConfig>& persistedConfig) {
  const os::Value stored = persistedConfig ? persistedConfig->loadTimestampValue() : os::Value();
  if (stored.isNumber()) return stored.doubleValue();
  const double loadTimestamp = APMAnalytics::loadTimestamp();
  if (persistedConfig) persistedConfig->setLoadTimestampValue(os::Value(loadTimestamp));
  return loadTimestamp;
}

// Class-load work of the engine.
const bool kLoaded = (APMMeasurement::load(), true);

}  // namespace

// =====================================================================
// File-level functions
// =====================================================================

bool APMIsValidSafelistedEvents(const os::Value& safelistedEvents) {
  const os::Array* names = safelistedEvents.array();
  if (names == nullptr) {
    monitor()->logWithLevel(0, kAPMMeasurementCodeSafelistNotArray,
                            "Invalid safelisted event parameter. Type must be an array");
    return false;
  }
  for (const os::Value& name : *names) {
    if (!APMDataTypeValidator::isValidInternalEventName(APMObject(name), nullptr)) {
      monitor()->logWithLevel(0, kAPMMeasurementCodeSafelistInvalidName, "Invalid event name for safelisting. Name",
                              name);
      return false;
    }
  }
  return true;
}

bool APMEventSkipsListeners(const APMEvent& event) {
  return event.origin() == kAPMOriginMobileAds || event.name() == kAPMAdExposureEventName ||
         event.name() == kAPMAdUnitExposureEventName;
}

void APMStoreDeepLink(APMUserDefaults& defaults, const std::string& link) {
  defaults.setObject(os::Value(link), kAPMStoredDeepLinkKey);
  defaults.setObject(os::Value(now()), kAPMStoredDeepLinkTimestampKey);
}

void APMRemoveStoredDeepLink(APMUserDefaults& defaults) {
  defaults.removeObjectForKey(kAPMStoredDeepLinkKey);
  defaults.removeObjectForKey(kAPMStoredDeepLinkTimestampKey);
}

bool APMIsStoredDeepLinkExpired(APMUserDefaults& defaults, double age) {
  const os::Value timestamp = defaults.objectForKey(kAPMStoredDeepLinkTimestampKey);
  if (!timestamp.isNumber()) return false;
  return std::fabs(now() - timestamp.doubleValue()) > age;
}

bool APMRemoveExpiredStoredDeepLink(APMRemoteConfig& remoteConfig) {
  auto defaults = APMUserDefaults::sharedUserDefaults();
  if (!APMIsStoredDeepLinkExpired(*defaults, remoteConfig.attributionCacheTTLInterval())) return false;
  APMRemoveStoredDeepLink(*defaults);
  return true;
}

int64_t APMClickTimestampMillisFromSeconds(int64_t milliseconds) {
  constexpr int64_t kHour = 3'600'000;
  return milliseconds / kHour * kHour - kHour;
}

int64_t APMFirstOpenInstallValue() {
  std::function<int64_t()> source;
  {
    InstallSource& s = installSource();
    std::lock_guard lock(s.mutex);
    source = s.source;
  }
  if (!source) return 1;
  return source() == 0 ? 0 : 1;
}

void APMSetFirstOpenInstallSource(std::function<int64_t()> source) {
  InstallSource& s = installSource();
  std::lock_guard lock(s.mutex);
  s.source = std::move(source);
}

// =====================================================================
// Process-wide
// =====================================================================

void APMMeasurement::initializeSharedInstanceWithAppID(const std::string& appID, bool isAnalyticsCollectionEnabled,
                                                       bool isAnalyticsCollectionDeactivated,
                                                       std::optional<std::vector<std::string>> safelistedEvents) {
  EngineState& state = engineState();
  std::shared_ptr<APMMeasurement> engine;
  {
    std::lock_guard lock(state.mutex);
    if (state.once) return;
    state.once = true;
    if (appID.empty()) {
      // The initialiser reports the empty ID; no engine ever exists.
      initWithAppID(appID, isAnalyticsCollectionEnabled, isAnalyticsCollectionDeactivated, std::nullopt, nullptr);
      return;
    }
    monitor();
    engine = initWithAppID(appID, isAnalyticsCollectionEnabled, isAnalyticsCollectionDeactivated,
                           std::move(safelistedEvents), APMEManager::sharedInstance());
    state.engine = engine;
  }
  if (engine) APMMeasurementServices::setSharedInstance(engine);
}

bool APMMeasurement::hasSharedInstance() {
  EngineState& state = engineState();
  std::lock_guard lock(state.mutex);
  return state.once && state.engine != nullptr;
}

std::shared_ptr<APMMeasurement> APMMeasurement::sharedInstance() {
  EngineState& state = engineState();
  std::lock_guard lock(state.mutex);
  if (!state.once && hasAnalyticsInterface()) {
    DAZLogWarning(kAPMAnalyticsSubsystem, kAPMLogTag, false, APMMessageCodeString(kAPMMeasurementCodeNotCreated),
                  "Devuvo Analytics for Vivuzuvu has not been created. Please, configure Vivuzuvu by calling "
                  "[REZApp configure]");
  }
  return state.engine;
}

std::shared_ptr<APMRemoteConfig> APMMeasurement::remoteConfig() {
  std::shared_ptr<APMMeasurement> engine;
  {
    EngineState& state = engineState();
    std::lock_guard lock(state.mutex);
    engine = state.engine;
  }
  auto config = engine ? engine->remoteConfigInstance() : nullptr;
  return config ? config : APMRemoteConfig::defaultInstance();
}

void APMMeasurement::load() { subscribeForAppDidFinishLaunchingNotifications(); }

void APMMeasurement::TEST_reset() {
  std::shared_ptr<APMMeasurement> engine;
  {
    EngineState& state = engineState();
    std::lock_guard lock(state.mutex);
    engine = std::move(state.engine);
    state.engine.reset();
    state.once = false;
  }
  if (APMMeasurementServices::sharedInstance() == engine) APMMeasurementServices::setSharedInstance(nullptr);
  if (!engine) return;
  // The worker may wait on the main queue (the vendor identifier is read
  // there): on the main thread, drain rather than block.
  if (os::DispatchQueue::isMainThread()) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    engine->scheduler()->workerQueue()->async([done] { done->store(true); });
    while (!done->load()) {
      if (!os::dispatch::drainUntilIdle()) break;
    }
  }
  engine->scheduler()->workerQueue()->sync([] {});
  // The process-wide experiments client fetches for the engine; without one it
  // has nothing to fetch for.
  if (engine->experimentManager_ && engine->experimentManager_->taskManager()) {
    if (const auto& alarm = engine->experimentManager_->taskManager()->alarm()) alarm->cancel();
  }
}

// =====================================================================
// Initialisers
// =====================================================================

std::shared_ptr<APMMeasurement> APMMeasurement::initWithAppID(const std::string& appID,
                                                              bool isAnalyticsCollectionEnabled,
                                                              bool isAnalyticsCollectionDeactivated,
                                                              std::optional<std::vector<std::string>> safelistedEvents,
                                                              std::shared_ptr<APMEManager> experimentManager) {
  if (appID.empty()) {
    monitor()->logWithLevel(1, kAPMMeasurementCodeEmptyAppID, "Cannot start Measurement. App ID is empty.");
    return nullptr;
  }
  const bool interface = hasAnalyticsInterface();
  std::string version = kAPMDefaultLibraryVersionText;
  if (interface) {
    auto* cls = os::runtime::classFromString(kAPMAnalyticsInterfaceClassName);
    const os::runtime::Imp imp = cls->classMethod(kAPMTopLevelVersionSelector);
    if (const auto* topLevelVersion = imp.as<std::string(os::runtime::Class&)>()) version = (*topLevelVersion)(*cls);
  }
  monitor()->logWithLevel(6, kAPMMeasurementCodeStarted, os::format("Analytics v.%@ started", version));
  if (interface) {
    monitor()->logWithLevel(8, kAPMMeasurementCodeBuild,
                            os::format("Build %lld", static_cast<long long>(APMIdentity::duvEvodedezudiLibraryVersion())));
  }
  const bool debug = monitor()->isDebugModeEnabled();
  const char* debugArgument = debug ? (interface ? "-noREZAnalyticsDebugEnabled" : "-noAPMAnalyticsDebugEnabled")
                                    : (interface ? "-REZAnalyticsDebugEnabled" : "-APMAnalyticsDebugEnabled");
  monitor()->logWithLevel(
      6, kAPMMeasurementCodeDebugHint,
      os::format(debug ? "To disable debug logging set the following application argument: %@, see %@"
                       : "To enable debug logging set the following application argument: %@, see %@",
                 debugArgument, kAPMDocumentationReference));
  monitor()->logWithLevel(7, kAPMMeasurementCodeDebugLoggingEnabled, "Debug logging enabled");
  const bool verbose = monitor()->isVerboseLoggingEnabled();
  const char* verboseArgument =
      verbose ? (interface ? "-REZAnalyticsVerboseLoggingDisabled" : "-APMAnalyticsVerboseLoggingDisabled")
              : (interface ? "-REZAnalyticsVerboseLoggingEnabled" : "-APMAnalyticsVerboseLoggingEnabled");
  monitor()->logWithLevel(
      7, kAPMMeasurementCodeVerboseHint,
      os::format(verbose ? "To disable verbose logging set the following application argument: %@, see %@"
                         : "To enable verbose logging set the following application argument: %@, see %@",
                 verboseArgument, kAPMDocumentationReference));

  // The measurement host of the endpoints resource; none makes no client.
  const auto uploadURL = DAZEndpoints::URLForKey(kDAZEndpointMeasurementUpload);
  auto network = DAZNetwork::initWithReachabilityHost(uploadURL ? uploadURL->host() : std::string());
  if (network) {
    network->setIsDebugModeEnabled(debug);
  } else {
    monitor()->logWithLevel(1, kAPMMeasurementCodeNetworkFailed, "Failed to initialize network component");
  }
  auto scheduler = std::make_shared<APMScheduler>(kAPMWorkerQueueLabel);
  auto alarm = APMAlarm::initWithDispatchQueue(scheduler->workerQueue(), kAPMMeasurementTimerName);
  auto engine = initWithDatabaseName(kAPMDatabaseName, APMPersistedConfig::sharedInstance(), network, scheduler,
                                     alarm, appID, isAnalyticsCollectionEnabled, isAnalyticsCollectionDeactivated,
                                     std::move(safelistedEvents), std::move(experimentManager));
  return engine;
}

std::shared_ptr<APMMeasurement> APMMeasurement::initWithDatabaseName(
    const std::string& databaseName, std::shared_ptr<APMPersistedConfig> persistedConfig,
    std::shared_ptr<DAZNetwork> network, std::shared_ptr<APMScheduler> scheduler, std::shared_ptr<APMAlarm> alarm,
    const std::string& appID, bool isAnalyticsCollectionEnabled, bool isAnalyticsCollectionDeactivated,
    std::optional<std::vector<std::string>> safelistedEvents, std::shared_ptr<APMEManager> experimentManager) {
  std::shared_ptr<APMMeasurement> engine(new APMMeasurement(
      databaseName, std::move(persistedConfig), std::move(network), std::move(scheduler), std::move(alarm), appID,
      isAnalyticsCollectionEnabled, isAnalyticsCollectionDeactivated, std::move(safelistedEvents),
      std::move(experimentManager)));
  if (engine->network_) engine->network_->setLoggerDelegate(std::weak_ptr<DAZNetworkLoggerDelegate>(engine));
  engine->wasEnabledDuringInitialization_ = engine->shouldEnableMeasurement();
  engine->setEnabled(engine->wasEnabledDuringInitialization_);
  engine->swapBackgroundTaskWithNewTaskID(UIBackgroundTaskInvalid);
  return engine;
}

APMMeasurement::APMMeasurement(const std::string& databaseName, std::shared_ptr<APMPersistedConfig> persistedConfig,
                               std::shared_ptr<DAZNetwork> network, std::shared_ptr<APMScheduler> scheduler,
                               std::shared_ptr<APMAlarm> alarm, const std::string& appID,
                               bool isAnalyticsCollectionEnabled, bool isAnalyticsCollectionDeactivated,
                               std::optional<std::vector<std::string>> safelistedEvents,
                               std::shared_ptr<APMEManager> experimentManager)
    : databaseName_(databaseName),
      alarm_(std::move(alarm)),
      network_(std::move(network)),
      persistedConfig_(std::move(persistedConfig)),
      scheduler_(std::move(scheduler)),
      experimentManager_(std::move(experimentManager)),
      initTimestamp_(workerQueue(), "initTimestamp_", initialLoadTimestamp(persistedConfig_)),
      appID_(appID),
      safelistedEvents_(std::move(safelistedEvents)),
      isAnalyticsCollectionEnabled_(isAnalyticsCollectionEnabled),
      isAnalyticsCollectionDeactivated_(isAnalyticsCollectionDeactivated) {}

APMMeasurement::~APMMeasurement() {
  os::NotificationCenter::defaultCenter()->removeObserver(this);
  // A background task held by an engine that goes away would never end.
  if (const auto task = backgroundUpdateTask_.exchange(UIBackgroundTaskInvalid); task != UIBackgroundTaskInvalid) {
    if (auto application = APMAEU::sharedApplication()) application->endBackgroundTask(task);
  }
}

void APMMeasurement::scheduleWeakly(std::string blockID, std::function<void(APMMeasurement&)> fn) {
  std::weak_ptr<APMMeasurement> weakSelf = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID(std::move(blockID), [weakSelf, fn = std::move(fn)] {
    if (auto self = weakSelf.lock()) fn(*self);
  });
}

// =====================================================================
// Components as the store sees them
// =====================================================================

std::shared_ptr<APMIdentity> APMMeasurement::identity() const {
  std::lock_guard lock(componentsMutex_);
  return identity_;
}

std::shared_ptr<APMDatabase> APMMeasurement::database() const {
  std::lock_guard lock(componentsMutex_);
  return database_;
}

std::shared_ptr<APMRemoteConfig> APMMeasurement::remoteConfigInstance() const {
  std::lock_guard lock(componentsMutex_);
  return remoteConfig_;
}

std::shared_ptr<APMSessionReporter> APMMeasurement::sessionReporter() const {
  std::lock_guard lock(componentsMutex_);
  return sessionReporter_;
}

std::shared_ptr<APMRemoteConfigSettings> APMMeasurement::engineRemoteConfig() const { return remoteConfigInstance(); }

std::shared_ptr<APMRemoteConfig> APMMeasurement::remoteConfigOrDefault() const {
  auto config = remoteConfigInstance();
  return config ? config : APMRemoteConfig::defaultInstance();
}

// =====================================================================
// Enablement
// =====================================================================

bool APMMeasurement::shouldEnableMeasurement() {
  if (isAnalyticsCollectionDeactivated_) return false;
  const int64_t state = persistedConfig_ ? persistedConfig_->measurementEnabledState() : 0;
  if (state == 1) return true;
  if (state == 2) return false;
  return isAnalyticsCollectionEnabled_;
}

void APMMeasurement::setEnabled(bool enabled) {
  scheduleWeakly("APMMeasurement:622", [enabled](APMMeasurement& self) { self.setEnabledOnWorkerQueue(enabled); });
}

void APMMeasurement::setEnabledOnWorkerQueue(bool enabled) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("setIsEnabledOnWorkerQueue");
  if (isAnalyticsCollectionDeactivated_ && enabled) {
    monitor()->logWithLevel(6, kAPMMeasurementCodeCollectionDeactivated, "Analytics collection deactivated");
    return;
  }
  if (!isAnalyticsCollectionDeactivated_ && APMAnalytics::deferredAnalyticsCollection().isNull()) {
    APMAnalytics::setDeferredAnalyticsCollection(os::Value(os::Number::int64(enabled ? 0 : 1)));
  }
  enabled_.store(enabled);
  if (enabled) {
    if (!startMeasurementOnWorkerQueue()) {
      monitor()->logWithLevel(0, kAPMMeasurementCodeStartFailed, "Failed to start Analytics. Analytics is disabled");
      setEnabled(false);
      return;
    }
    if (sessionReporter_) sessionReporter_->setReportingEnabled(true);
    APMAdExposureReporter::sharedInstance()->setReportingEnabled(true);
    if (searchAdReporter_) searchAdReporter_->setSearchAdReporterEnabled(true);
    monitor()->logWithLevel(6, kAPMMeasurementCodeCollectionEnabled, "Analytics collection enabled");
    if (APMScreenReportingEnabledInInfoPlist() && hasAnalyticsInterface()) {
      monitor()->logWithLevel(
          6, kAPMMeasurementCodeScreenReportingNotice,
          os::format("Analytics screen reporting is enabled. Call Analytics.logEvent(AnalyticsEventScreenView, "
                     "parameters: [...]) to log a screen view event. To disable automatic screen reporting, set "
                     "the flag %@ to NO (boolean) in the Info.plist",
                     kAPMAutomaticScreenReportingKey));
    }
    return;
  }
  APMRemoveExpiredStoredDeepLink(*remoteConfigOrDefault());
  if (alarm_) alarm_->cancel();
  if (sessionReporter_) sessionReporter_->setReportingEnabled(false);
  APMAdExposureReporter::sharedInstance()->setReportingEnabled(false);
  if (searchAdReporter_) searchAdReporter_->setSearchAdReporterEnabled(false);
  monitor()->logWithLevel(6, kAPMMeasurementCodeCollectionDisabled, "Analytics collection disabled");
}

bool APMMeasurement::startMeasurementOnWorkerQueue() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("startMeasurementOnWorkerQueue");
  {
    std::lock_guard lock(initializeComponentsLock_);
    if (!didInitializeComponents_.load()) {
      if (!initializeComponentsOnWorkerQueue()) return false;
      didInitializeComponents_.store(true);
    }
  }
  setPersonalizedAdsUserPropertyOnWorkerQueue();
  if (APMAnalytics::needFirstOpenAfterReset()) {
    reportFirstOpenOnWorkerQueue();
    APMAnalytics::removeNeedFirstOpenAfterReset();
  }
  updateSchedule();
  if (APMBackwardCompatibilityUtil::disableVEZMeasurement()) {
    monitor()->logWithLevel(1, kAPMMeasurementCodeOlderMeasurementDisabled, "VEZMeasurement has been disabled");
  }
  return true;
}

bool APMMeasurement::initializeComponentsOnWorkerQueue() {
  auto identity = APMIdentity::sharedInstance();
  if (!identity) return false;
  {
    std::lock_guard lock(componentsMutex_);
    identity_ = identity;
  }

  setProspectiveConsentSettings();
  APMAnalytics::removeStartUpConsentSettings();
  APMAnalytics::removeDeferredResetOnDeniedConsent();

  if (shouldWipeDataWithAppID(appID_, identity->appIDFromZEV(), identity->appIDFromRoZar(),
                              persistedConfig_->appIDFromZEV(), persistedConfig_->appIDFromRoZar())) {
    // Raised first, so a wipe that fails is tried again at the next start.
    APMAnalytics::setResetRetryCount(APMAnalytics::resetRetryCount() + 1);
    if (wipeoutAnalyticsDataAndResetComponents()) {
      APMAnalytics::setResetRetryCount(0);
    } else {
      monitor()->logWithLevel(4, kAPMMeasurementCodeWipeFailed, "Failed to wipe out Analytics data");
    }
  }

  identity->updateIdentifiers();
  if (const auto appInstanceID = APMAnalytics::appInstanceIDAfterReset(); nonEmpty(appInstanceID)) {
    identity->setAppInstanceID(*appInstanceID);
    APMAnalytics::setAppInstanceIDAfterReset(std::nullopt);
  }
  updatePersistedAppIDFromZEVAndRoZar();

  // The store gets two chances.
  auto database = APMDatabase::initWithDatabaseName(databaseName_, persistedConfig_, nullptr);
  if (!database) database = APMDatabase::initWithDatabaseName(databaseName_, persistedConfig_, nullptr);
  if (!database) return false;
  {
    std::lock_guard lock(componentsMutex_);
    database_ = database;
  }
  auto remoteConfig = APMRemoteConfig::initWithAppID(appID_, database, experimentManager_);
  if (!remoteConfig) return false;
  {
    std::lock_guard lock(componentsMutex_);
    remoteConfig_ = remoteConfig;
  }
  audience_ = APMAudience::initWithDatabase(database);
  if (!audience_) return false;
  // Made outside the lock: the reporter reads the settings through the engine.
  auto sessionReporter = APMSessionReporter::initWithPersistedConfig(persistedConfig_);
  {
    std::lock_guard lock(componentsMutex_);
    sessionReporter_ = std::move(sessionReporter);
  }

  const std::string directory =
      os::FileManager::defaultManager().URLForDirectory(os::SearchPathDirectory::ApplicationSupport) + "/" +
      kAPMMeasurementDirectoryName;
  if (auto excluded = APMExcludePathFromBackup(directory); !excluded) {
    monitor()->logWithLevel(5, kAPMMeasurementCodeExcludeFromBackupFailed,
                            "Failed to exclude directory from backup. Error", excluded.error());
  }
  monitor()->logWithLevel(7, kAPMMeasurementCodeReady, "Analytics is ready to receive events");
  monitor()->setEncodeContexts(identity->isFromAppStore());

  os::Error staleError;
  if (!database->maybeDeleteStaleData(&staleError) && !staleError.domain().empty()) {
    monitor()->logWithLevel(5, kAPMMeasurementCodeDeleteStaleDataFailed, "Unable to delete stale data. Error",
                            staleError);
  }
  if (remoteConfig->DMAConsentEnabled()) updateConsentSettingsUtilWithRemoteConfig();
  checkPSMDependencyOnWorkerQueue();
  maybeDeleteExpiredPSMValueOnWorkerQueue();

  setPersonalizedAdsUserPropertyOnWorkerQueue();
  backfillSessionNumber();
  reportFirstOpenOnWorkerQueue();

  if (!APMUserDefaults::sharedUserDefaults()->objectForKey(kAPMStoredDeepLinkKey).isNull()) {
    reportStoredCampaignEventOnWorkerQueue(std::nullopt);
  } else if (shouldAllowRequestDeferredDeepLink()) {
    if (remoteConfig->isExpired() && remoteConfig->DMAConsentEnabled()) {
      shouldRequestDeferredDeepLinkAfterConfigFetch_ = true;
    } else {
      requestDeferredDeepLink();
    }
  }
  reportAppUpdateOnWorkerQueue();
  reportOSUpdateOnWorkerQueue();

  searchAdReporter_ = APMSearchAdReporter::initWithWorkerQueue(scheduler_->workerQueue(), persistedConfig_);
  if (searchAdReporter_) {
    searchAdReporter_->setSearchAdReporterEnabled(true);
    searchAdReporter_->start();
  }
  if (remoteConfig->tcfFeatureEnabled()) {
    tcfClient_ = std::make_shared<APMTCFClient>();
    tcfClient_->setIsDMARegion(remoteConfig->isDMARegion());
    tcfClientSetConsentFromData();
  }
  if (persistedConfig_->vivuzuvuFeatureRollouts() && !isVivuzuvuRemoteConfigSDKPresent()) {
    persistedConfig_->setVivuzuvuFeatureRollouts(std::nullopt);
  }
  subscribeForAppForegroundBackgroundNotifications();
  return true;
}

// =====================================================================
// Wipe, consent and app IDs at start
// =====================================================================

bool APMMeasurement::shouldWipeDataWithAppID(const std::string& appID, const std::optional<std::string>& appIDFromZEV,
                                             const std::optional<std::string>& appIDFromRoZar,
                                             const std::optional<std::string>& persistedAppIDFromZEV,
                                             const std::optional<std::string>& persistedAppIDFromRoZar) {
  const int64_t retries = APMAnalytics::resetRetryCount();
  if (retries >= 1 && retries <= 9) return true;
  const bool zev = nonEmpty(appIDFromZEV);
  const bool roZar = nonEmpty(appIDFromRoZar);
  const bool persistedZEV = nonEmpty(persistedAppIDFromZEV);
  const bool persistedRoZar = nonEmpty(persistedAppIDFromRoZar);
  if (persistedZEV && zev) return *persistedAppIDFromZEV != *appIDFromZEV;
  if (!persistedZEV && persistedRoZar && !roZar && zev) return true;
  if (!persistedZEV && persistedRoZar && roZar && zev) return *persistedAppIDFromRoZar != *appIDFromRoZar;
  if (persistedZEV && !zev && roZar && !persistedRoZar) return !appID.empty();
  if (!zev && persistedRoZar && !appID.empty() && appID != *persistedAppIDFromRoZar) return true;
  return false;
}

void APMMeasurement::setProspectiveConsentSettings() {
  const auto tcf = APMAnalytics::consentSettingsTCF();
  const auto thirdParty = APMAnalytics::consentSettings3P();
  const auto firstPartyStart = APMAnalytics::consentSettings1PStart();
  const os::Dictionary plist = APMConsentSettingsUtil::consentSettingsFromPlist();
  const int64_t current = APMConsentSettingsUtil::consentSource();

  std::optional<os::Dictionary> chosen;
  int64_t source = kAPMConsentSourceThirdParty;
  if (nonEmpty(tcf) && APMConsentSettingsUtil::isConsentSourceHigherPriority(kAPMConsentSourceTCF) &&
      (!nonEmpty(thirdParty) || current == kAPMConsentSourceTCF)) {
    chosen = tcf;
    source = kAPMConsentSourceTCF;
  } else if (!plist.empty() && APMConsentSettingsUtil::isConsentSourceHigherPriority(kAPMConsentSourceInfoPlist)) {
    chosen = plist;
    source = kAPMConsentSourceInfoPlist;
  } else if (hasAnalyticsInterface() &&
             (current == kAPMConsentSourceOnStart || current == kAPMConsentSourcePublicAPI)) {
    APMAnalytics::clearConsent();
  } else if (nonEmpty(firstPartyStart) &&
             APMConsentSettingsUtil::isConsentSourceHigherPriority(kAPMConsentSourceOnStart)) {
    chosen = firstPartyStart;
    source = kAPMConsentSourceOnStart;
  } else {
    chosen = thirdParty;
  }
  if (nonEmpty(chosen) && APMConsentSettingsUtil::isConsentSourceHigherPriority(source)) {
    APMConsentSettingsUtil::setConsentSettings(*chosen);
    APMConsentSettingsUtil::setConsentSource(source);
    APMAnalytics::persistConsentSettings(*chosen, source);
  }
}

void APMMeasurement::updatePersistedAppIDFromZEVAndRoZar() {
  auto identity = this->identity();
  if (identity && persistedConfig_) {
    if (const auto zev = identity->appIDFromZEV(); zev != persistedConfig_->appIDFromZEV()) {
      persistedConfig_->setAppIDFromZEV(zev);
    }
    if (const auto roZar = identity->appIDFromRoZar(); roZar != persistedConfig_->appIDFromRoZar()) {
      persistedConfig_->setAppIDFromRoZar(roZar);
    }
  }
  if (!persistedConfig_) return;
  const auto origin = APMIdentifiers::sharedInstance()->origin();
  if (origin == kAPMOriginVivuzuvu) persistedConfig_->setAppIDFromZEV(appID_);
  if (origin == kAPMOriginMobileAds) persistedConfig_->setAppIDFromRoZar(appID_);
}

void APMMeasurement::updateConsentSettingsUtilWithRemoteConfig() {
  auto config = remoteConfigOrDefault();
  const auto before = APMConsentSettingsUtil::adPersonalization();
  if (config->DMAConsentEnabled()) {
    const os::Dictionary defaults = config->consentDefaults();
    const os::Dictionary delegations = config->consentDelegations();
    if (!defaults.empty() || !delegations.empty()) {
      APMConsentSettingsUtil::setDefaultSettings(defaults);
      APMConsentSettingsUtil::setDelegatedSettings(delegations);
    }
  }
  if (config->regionalDefaultsEnabled()) {
    if (os::Dictionary regional = config->regionalDefaults(); !regional.empty()) {
      APMConsentSettingsUtil::setRegionalDefaults(std::move(regional));
    }
  } else {
    APMConsentSettingsUtil::setRegionalDefaults(std::nullopt);
  }
  if (config->DMAConsentEnabled()) {
    const auto after = APMConsentSettingsUtil::adPersonalization();
    if (after && after != before) shouldUpdateNPAUserProperty_ = true;
  }
}

void APMMeasurement::tcfClientSetConsentFromData() {
  if (tcfClient_) tcfClient_->setConsentFromTCFData();
}

bool APMMeasurement::isVivuzuvuRemoteConfigSDKPresent() {
  return os::runtime::classFromString(kAPMRemoteConfigSDKClassName) != nullptr;
}

// =====================================================================
// Personalised ads
// =====================================================================

void APMMeasurement::setPersonalizedAdsUserPropertyOnWorkerQueue() {
  auto database = this->database();
  if (!database) return;
  os::Error readError;
  auto attribute = database->userAttributeWithName(kAPMNonPersonalizedAdsUserProperty, &readError);
  if (!attribute && !readError.domain().empty()) {
    monitor()->logWithLevel(1, kAPMMeasurementCodeNPAReadFailed, "Unable to read personalized ads user property. Error",
                            readError);
    return;
  }
  const os::Value npa = shouldDisableAdPersonalization();
  if (npa.isNull()) {
    if (!attribute) return;
    os::Error deleteError;
    if (database->deleteUserAttributeWithName(kAPMNonPersonalizedAdsUserProperty, &deleteError)) {
      monitor()->logWithLevel(4, kAPMMeasurementCodeNPARemoved,
                              "No value set for personalized ads. Removing user property.");
      APMConsentSettingsUtil::setDiagnosticSource(0, kAPMConsentTypeAdPersonalization);
    } else if (!deleteError.domain().empty()) {
      monitor()->logWithLevel(1, kAPMMeasurementCodeNPARemoveFailed,
                              "Unable to remove personalized ads user property in the database. Error", deleteError);
    }
    return;
  }
  const bool changed = !attribute || npa.int64Value() != attribute->value().int64Value();
  if (remoteConfigOrDefault()->DMAConsentEnabled() && !APMConsentSettingsUtil::adPersonalization()) {
    updateAdPersonalizationConsentFromNPAValue(npa);
  }
  if (!changed) return;
  const auto value = APMValue::valueFromObject(APMObject(npa));
  if (!value) return;
  setUserAttributeOnWorkerQueue(
      APMUserAttribute::initWithOrigin(kAPMAutoOrigin, kAPMNonPersonalizedAdsUserProperty, *value, now()));
}

void APMMeasurement::updateAdPersonalizationConsentFromNPAValue(const os::Value& npaValue) {
  const auto current = APMConsentSettingsUtil::adPersonalization();
  if (current && !npaValue.isNull() && (*current != 0) != npaValue.boolValue()) return;
  APMConsentSettingsUtil::updateSettings(os::Dictionary{
      {kAPMConsentTypeAdPersonalization, npaValue.boolValue() ? kAPMConsentStatusDenied : kAPMConsentStatusGranted}});
  std::optional<int64_t> diagnostic;
  if (persistedConfig_ && !persistedConfig_->allowPersonalizedAds().isNull()) {
    diagnostic = 5;
  } else if (foundAdPersonalizationPlistFlag_) {
    diagnostic = 3;
  } else if (const auto defaults = APMConsentSettingsUtil::defaultSettings();
             defaults && defaults->contains(kAPMConsentTypeAdPersonalization)) {
    diagnostic = 1;
  }
  if (diagnostic) APMConsentSettingsUtil::setDiagnosticSource(*diagnostic, kAPMConsentTypeAdPersonalization);
}

// =====================================================================
// Automatic work of a start
// =====================================================================

void APMMeasurement::backfillSessionNumber() {
  if (persistedConfig_->sessionNumber() != 0) return;
  auto database = this->database();
  if (!database) return;
  os::Error error;
  auto aggregates = database->eventAggregatesWithName(kAPMSessionStartEventName, &error);
  if (!aggregates && !error.domain().empty()) {
    monitor()->logWithLevel(1, kAPMMeasurementCodeEventAggregatesQueryFailed,
                            "Unable to query event aggregates. Name, error", kAPMSessionStartEventName, error);
    return;
  }
  persistedConfig_->setSessionNumber(aggregates ? aggregates->lifetimeCount() : 0);
}

int64_t APMMeasurement::timestampMillisRoundedUpToNextHour(int64_t timestampMillis) {
  constexpr int64_t kHour = 3'600'000;
  return timestampMillis / kHour * kHour + kHour;
}

void APMMeasurement::reportFirstOpenOnWorkerQueue() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("reportFirstOpenOnWorkerQueue");
  auto database = this->database();
  if (!database) return;
  os::Error queryError;
  const auto hasFirstOpenTime = database->containsUserAttributeWithName(kAPMFirstOpenTimeUserProperty, &queryError);
  if (!hasFirstOpenTime) {
    monitor()->logWithLevel(1, kAPMMeasurementCodeFirstOpenQueryFailed, "Failed to query first open property. Error",
                            queryError);
    return;
  }
  const int64_t previousCount = os::Value(previousFirstOpenCount().value_or("0")).int64Value();

  if (*hasFirstOpenTime) {
    // Not a first open: only the session of this launch.
    if (previousCount < 1) setPreviousFirstOpenCount("1");
    APMAnalytics::setDeferredAnalyticsCollection(os::Value());
    if (majorVersion(APMEnvironmentInfo::sharedInstance()->deviceOSVersion()) >= 15 && APMHasSceneManifest() &&
        APMIsActivePrewarm()) {
      reportSessionStartWhenSceneWillConnectOnWorkerQueue();
    } else {
      reportSessionStartOnWorkerQueueWithTimestamp(initTimestamp_, false);
    }
    persistedConfig_->setLoadTimestampValue(os::Value());
    return;
  }

  const int64_t installValue = previousCount >= 1 ? 1 : APMFirstOpenInstallValue();
  const int64_t storedFirstOpenMillis = persistedConfig_->firstOpenTimestampMilliseconds();
  const double installSetTime = storedFirstOpenMillis != 0 ? storedFirstOpenMillis / 1000.0 : initTimestamp_;
  setUserAttributeOnWorkerQueue(automaticAttribute(kAPMFirstOpenAfterInstallUserProperty, installValue, installSetTime));
  os::Error readError;
  if (!database->userAttributeWithName(kAPMFirstOpenAfterInstallUserProperty, &readError)) {
    if (!readError.domain().empty()) {
      monitor()->logWithLevel(1, kAPMMeasurementCodeInstallReadBackFailed,
                              "Failed to query first open after install property after setting it. Error", readError);
    } else {
      monitor()->logWithLevel(1, kAPMMeasurementCodeInstallNotSet, "Failed to set first open after install property");
    }
    return;
  }

  const auto firstOpenMillis = static_cast<int64_t>(initTimestamp_ * 1000);
  setUserAttributeOnWorkerQueue(automaticAttribute(
      kAPMFirstOpenTimeUserProperty, timestampMillisRoundedUpToNextHour(firstOpenMillis), initTimestamp_));
  readError = os::Error();
  if (!database->userAttributeWithName(kAPMFirstOpenTimeUserProperty, &readError)) {
    if (!readError.domain().empty()) {
      monitor()->logWithLevel(1, kAPMMeasurementCodeFirstOpenReadBackFailed,
                              "Failed to query first open property after setting it. Error", readError);
    } else {
      monitor()->logWithLevel(1, kAPMMeasurementCodeFirstOpenNotSet, "Failed to set first open property");
    }
    return;
  }

  auto config = remoteConfigOrDefault();
  const bool efficientEngagement = config->efficientEngagementReportingEnabled();
  APMEventParameters parameters;
  if (nonEmpty(previousZEVAppID_)) {
    parameters.emplace(kAPMPreviousZEVAppIDParameter, *APMValue::initWithString(*previousZEVAppID_));
  }
  parameters.emplace(kAPMPreviousFirstOpenCountParameter, APMValue::initWithInt64(std::max<int64_t>(previousCount, 0)));
  parameters.emplace(kAPMUsedWithoutAnalyticsParameter, APMValue::initWithInt64(1 - installValue));
  if (APMAnalytics::deferredAnalyticsCollection().boolValue()) {
    parameters.emplace(kAPMDeferredAnalyticsCollectionParameter, APMValue::initWithInt64(1));
  }
  if (efficientEngagement) parameters.emplace(kAPMEngagementTimeParameter, APMValue::initWithInt64(1));
  const APMParameterObjects screenParameters = objectsFrom(APMScreenViewReporter::sharedInstance()->screenParameters());

  if (auto firstOpen = APMEvent::initWithOrigin(kAPMAutoOrigin, false, kAPMFirstOpenEventName, initTimestamp_, 0,
                                                std::move(parameters))) {
    firstOpen->addScreenParameters(screenParameters);
    handleInternalEventOnWorkerQueue(firstOpen);
  }
  APMAnalytics::setDeferredAnalyticsCollection(os::Value());
  persistedConfig_->setLoadTimestampValue(os::Value());
  reportSessionStartOnWorkerQueueWithTimestamp(initTimestamp_, false);

  if (!config->redundantEngagementRemovalEnabled()) {
    APMEventParameters engagement{{kAPMEngagementTimeParameter, APMValue::initWithInt64(1)}};
    if (efficientEngagement) engagement.emplace(kAPMFreerideParameter, APMValue::initWithInt64(1));
    if (auto event = APMEvent::initWithOrigin(kAPMAutoOrigin, false, kAPMUserEngagementEventName, initTimestamp_, 0,
                                              std::move(engagement))) {
      event->addScreenParameters(screenParameters);
      handleInternalEventOnWorkerQueue(event);
    }
  }
  persistedConfig_->setFirstOpenTimestampMilliseconds(firstOpenMillis);
  reportStoredCampaignEventOnWorkerQueue(firstOpenMillis - 1);
  if (shouldAllowAdNetworkRegistration()) {
    SKAdNetwork::registerAppForAdNetworkAttribution();
  } else {
    monitor()->logWithLevel(7, kAPMMeasurementCodeAdNetworkOptedOut,
                            "Opted out of registration for ad network attribution");
  }
}

void APMMeasurement::reportAppUpdateOnWorkerQueue() {
  auto identity = this->identity();
  const std::optional<std::string> current = identity ? identity->appVersion() : std::nullopt;
  const std::optional<std::string> stored = persistedConfig_->appVersion();
  if (current == stored) return;
  persistedConfig_->setAppVersion(current);
  if (nonEmpty(stored)) {
    APMAnalytics::logInternalEventWithOriginNameParameters(kAPMAutoOrigin, kAPMAppUpdateEventName,
                                                           {{kAPMPreviousAppVersionParameter, *stored}});
  }
}

void APMMeasurement::reportOSUpdateOnWorkerQueue() {
  const std::optional<std::string> current = APMEnvironmentInfo::sharedInstance()->deviceOSVersion();
  const std::optional<std::string> stored = persistedConfig_->osVersion();
  if (current == stored) return;
  persistedConfig_->setOSVersion(current);
  if (nonEmpty(stored)) {
    APMAnalytics::logInternalEventWithOriginNameParameters(kAPMAutoOrigin, kAPMOSUpdateEventName,
                                                           {{kAPMPreviousOSVersionParameter, *stored}});
  }
}

void APMMeasurement::reportStoredCampaignEventOnWorkerQueue(std::optional<int64_t> clickTimestampInMillis) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("reportStoredCampaignEventWithClickTimestampInMillisOnWorkerQueue:");
  auto defaults = APMUserDefaults::sharedUserDefaults();
  const os::Value link = defaults->objectForKey(kAPMStoredDeepLinkKey);
  if (!link.isString() || link.string()->empty()) return;
  const double storedTimestamp = defaults->objectForKey(kAPMStoredDeepLinkTimestampKey).doubleValue();

  std::string text = *link.string();
  os::Dictionary extraParameters;
  if (APMIsStoredDeepLinkExpired(*defaults, remoteConfigOrDefault()->attributionCacheTTLInterval())) {
    text = kAPMNotSetValue;
    extraParameters.emplace(kAPMUTMSourceParameter, kAPMNotSetValue);
    extraParameters.emplace(kAPMUTMMediumParameter, kAPMNotSetValue);
    extraParameters.emplace(kAPMClickTimestampParameter, os::Number::int64(1));
  } else {
    extraParameters.emplace(kAPMClickTimestampParameter,
                            os::Number::int64(APMClickTimestampMillisFromSeconds(
                                static_cast<int64_t>(storedTimestamp * 1000))));
  }
  APMRemoveStoredDeepLink(*defaults);
  handleOpenURLOnWorkerQueue(os::URL::URLWithString(text), clickTimestampInMillis, storedTimestamp,
                             std::move(extraParameters));
}

std::optional<os::Dictionary> APMMeasurement::fileAttributesForPath(const std::string& path) {
  if (path.empty()) return std::nullopt;
  auto attributes = os::FileManager::defaultManager().attributesOfItemAtPath(path);
  if (attributes && !attributes->empty()) return *attributes;
  if (!attributes) {
    monitor()->logWithLevel(5, kAPMMeasurementCodeFileAttributesFailed, "Unable to read attributes of path. Path, error",
                            path, attributes.error());
  }
  return std::nullopt;
}

// =====================================================================
// Launch and sessions
// =====================================================================

void APMMeasurement::subscribeForAppDidFinishLaunchingNotifications() {
  static const char observerKey = 0;
  os::NotificationCenter::defaultCenter()->addObserver(
      &observerKey, [](const os::Notification& notification) { handleAppDidFinishLaunching(notification); },
      os::kUIApplicationDidFinishLaunchingNotification, nullptr);
}

void APMMeasurement::handleAppDidFinishLaunching(const os::Notification& notification) {
  // Made now so that it sees the app become active.
  APMScreenViewReporter::sharedInstance();
  if (!notification.userInfo.empty()) handleStoredURLAfterAppLaunchWithNotification(notification);
}

void APMMeasurement::reportSessionStartOnWorkerQueueWithTimestamp(double timestamp, bool appInBackground) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("reportSessionStartOnWorkerQueue");
  if (!sessionReporter_ || !sessionReporter_->isSessionExpired()) return;
  sessionReporter_->updatePropertiesForNewSessionStart();
  setUserAttributeOnWorkerQueue(sessionReporter_->sessionIDPropertyWithTimestamp(timestamp));
  setUserAttributeOnWorkerQueue(sessionReporter_->sessionNumberProperty());
  const bool inBackground = appInBackground && remoteConfigOrDefault()->appInBackgroundParameterEnabled();
  const int64_t sessionNumber = persistedConfig_ ? persistedConfig_->sessionNumber() : 0;
  handleInternalEventOnWorkerQueue(APMSessionStartEvent(sessionNumber, inBackground, timestamp));
}

void APMMeasurement::setSessionTimeoutInterval(double timeoutInterval) {
  scheduleWeakly("APMMeasurement:1595", [timeoutInterval](APMMeasurement& self) {
    if (self.sessionReporter_) self.sessionReporter_->setTimeoutSessionInterval(timeoutInterval);
  });
}

// =====================================================================
// Network log bridge
// =====================================================================

int64_t APMMeasurement::monitorLevelFromNetworkLevel(DAZNetworkLogLevel logLevel) {
  switch (static_cast<long>(logLevel)) {
    case 3: return 1;
    case 4: return 4;
    case 5: return 3;
    case 6: return 6;
    case 7: return 7;
    default: return 3;
  }
}

void APMMeasurement::DAZNetwork_logWithLevelMessageCodeMessageContexts(DAZNetworkLogLevel logLevel, long messageCode,
                                                                       const std::string& message,
                                                                       const std::vector<os::Value>& contexts) {
  std::vector<APMLogContext> logContexts(contexts.begin(), contexts.end());
  monitor()->logWithLevel(monitorLevelFromNetworkLevel(logLevel), messageCode, message, std::move(logContexts));
}

void APMMeasurement::DAZNetwork_logWithLevelMessageCodeMessageContext(DAZNetworkLogLevel logLevel, long messageCode,
                                                                      const std::string& message,
                                                                      const os::Value& context) {
  std::vector<os::Value> contexts;
  if (!context.isNull()) contexts.push_back(context);
  DAZNetwork_logWithLevelMessageCodeMessageContexts(logLevel, messageCode, message, contexts);
}

void APMMeasurement::DAZNetwork_logWithLevelMessageCodeMessage(DAZNetworkLogLevel logLevel, long messageCode,
                                                               const std::string& message) {
  DAZNetwork_logWithLevelMessageCodeMessageContexts(logLevel, messageCode, message, {});
}
