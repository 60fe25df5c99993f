#include "measurement/engine/interface/analytics.h"

#include <map>
#include <mutex>

#include "measurement/engine/interface/app_delegate_interceptor.h"
#include "measurement/engine/purchases/in_app_purchase_transaction_reporter.h"
#include "measurement/engine/sessions/screen_view_reporter.h"
#include "measurement/store/consent_settings.h"
#include "measurement/store/engine_services/data_type_validator.h"
#include "measurement/store/engine_services/event_names.h"
#include "measurement/store/engine_services/event_parameters.h"
#include "measurement/store/engine_services/shorthands.h"
#include "measurement/store/errors.h"
#include "measurement/store/foundation_extensions.h"
#include "measurement/store/identifiers.h"
#include "measurement/store/identity.h"
#include "measurement/store/info_plist_file_util.h"
#include "measurement/store/monitor.h"
#include "measurement/store/numeric_util.h"
#include "measurement/store/persisted_config.h"
#include "os/foundation/date.h"
#include "os/foundation/format.h"
#include "os/runtime/runtime.h"
#include "platform/utilities/app_delegate_swizzler.h"
#include "sdk-core/core/rez_options.h"

std::shared_ptr<APMAnalytics> makeAnalyticsInstance();

namespace {

using apm_shorthands::monitor;

using apm_shorthands::now;

bool classExists(const char* name) { return os::runtime::classFromString(name) != nullptr; }

// Process-wide state of the facade; never destroyed, since queued work may
// use it during exit.
struct FacadeState {
  std::mutex loadMutex;
  double loadTimestamp = 0;  // guarded by loadMutex

  std::mutex mutex;
  std::shared_ptr<os::OperationQueue> operationQueue;  // guarded by mutex
  bool started = false;                                // guarded by mutex
  bool proxyCreated = false;                           // guarded by mutex
  APMEventInterceptor interceptor;                     // guarded by mutex
  // Created by the first listener added.
  std::optional<std::map<APMLogEventListenerToken, std::shared_ptr<APMLogEventListener>>> listeners;  // guarded by mutex
  APMOpenURLListener openURLListener;                  // guarded by mutex
  std::shared_ptr<APMAnalytics> instance;              // guarded by mutex

  std::atomic<bool> deactivated{false};
  std::atomic<bool> enabled{false};
};

FacadeState& loadedState() {
  static auto* state = new FacadeState();
  return *state;
}

// The class-load time.
const bool kLoaded = [] {
  APMAnalytics::setLoadTimestamp(now());
  return true;
}();

std::shared_ptr<os::OperationQueue> makeOperationQueue() {
  auto queue = os::OperationQueue::create(kAPMAnalyticsOperationQueueName);
  queue->setMaxConcurrentOperationCount(1);
  queue->setSuspended(true);
  return queue;
}

// The facade's state after its first use: the suspended operation queue and
// the shared instance, installed as the store's analytics services.
FacadeState& state() {
  static const bool initialized = [] {
    FacadeState& s = loadedState();
    std::shared_ptr<APMAnalytics> instance = makeAnalyticsInstance();
    {
      std::lock_guard lock(s.mutex);
      s.operationQueue = makeOperationQueue();
      s.instance = instance;
    }
    APMAnalyticsServices::setSharedInstance(std::move(instance));
    return true;
  }();
  (void)initialized;
  return loadedState();
}

std::shared_ptr<os::OperationQueue> operationQueue() {
  FacadeState& s = state();
  std::lock_guard lock(s.mutex);
  return s.operationQueue;
}

// Guards the serial section in which a public event takes its timestamp and
// is queued; a lock rather than a synchronous hop to a queue of its own.
std::mutex& timestampMutex() {
  static auto* mutex = new std::mutex();
  return *mutex;
}

// The key under which the facade observes the configuration's notification.
const void* configurationObserverKey() { return &loadedState(); }

os::Dictionary plainParameters(const APMParameterObjects& objects) {
  os::Dictionary plain;
  for (const auto& [name, object] : objects) {
    if (const auto* value = std::get_if<APMValue>(&object)) {
      plain.emplace(name, value->value());
    } else {
      plain.emplace(name, std::get<os::Value>(object));
    }
  }
  return plain;
}

// The current screen's parameters unless the event carries its own.
os::Dictionary screenParametersFor(const os::Dictionary& parameters) {
  if (APMHasScreenParameters(objectsOf(parameters))) return {};
  return APMScreenViewReporter::sharedInstance()->screenParameters();
}

void setListeners(const std::function<void(FacadeState&)>& change) {
  FacadeState& s = state();
  std::lock_guard lock(s.mutex);
  change(s);
}

// Runs at once on the serial queue, else through the operation queue.
void onSerialQueueOrQueued(os::DispatchBlock block) {
  if (APMAnalytics::isCurrentQueueSerialQueue()) {
    block();
  } else {
    APMAnalytics::queueOperationWithBlock(std::move(block));
  }
}

}  // namespace

std::shared_ptr<APMAnalytics> makeAnalyticsInstance() { return std::shared_ptr<APMAnalytics>(new APMAnalytics()); }

std::shared_ptr<APMAnalytics> APMAnalytics::sharedInstance() {
  FacadeState& s = state();
  std::lock_guard lock(s.mutex);
  return s.instance;
}

// ---- Load time ----

double APMAnalytics::loadTimestamp() {
  FacadeState& s = loadedState();
  std::lock_guard lock(s.loadMutex);
  return s.loadTimestamp;
}

void APMAnalytics::setLoadTimestamp(double loadTimestamp) {
  FacadeState& s = loadedState();
  std::lock_guard lock(s.loadMutex);
  s.loadTimestamp = loadTimestamp;
}

// ---- Queue primitives ----

std::shared_ptr<os::DispatchQueue> APMAnalytics::queue() {
  static const auto* queue = new std::shared_ptr<os::DispatchQueue>(
      os::DispatchQueue::create(kAPMAnalyticsQueueLabel, os::DispatchQueue::Attributes::Serial,
                                os::QualityOfService::Background,
                                os::DispatchQueue::global(os::QualityOfService::Background)));
  return *queue;
}

bool APMAnalytics::isCurrentQueueSerialQueue() { return os::DispatchQueue::currentLabel() == kAPMAnalyticsQueueLabel; }

void APMAnalytics::dispatchAsyncOnSerialQueue(os::DispatchBlock block) { queue()->async(std::move(block)); }

void APMAnalytics::queueOperationWithBlock(os::DispatchBlock block) {
  operationQueue()->addOperationWithBlock([block = std::move(block)] { dispatchAsyncOnSerialQueue(block); });
}

void APMAnalytics::queueOperationWithBlockThenWait(os::DispatchBlock block) {
  auto operations = operationQueue();
  operations->addOperationWithBlock([block = std::move(block)] { dispatchAsyncOnSerialQueue(block); });
  if (operations->isSuspended()) return;
  operations->waitUntilAllOperationsAreFinished();
  operations->setSuspended(true);
  queue()->after(os::DispatchTime::fromNow(kAPMOperationQueuePauseSeconds),
                 [operations] { operations->setSuspended(false); });
}

void APMAnalytics::unsuspendOperationQueue() { operationQueue()->setSuspended(false); }

// ---- Start ----

void APMAnalytics::startWithAppID(const std::string& appID, const std::string& origin,
                                  const APMStartOptions& options) {
  if (classExists(kAPMOlderInterfaceClassName)) {
    monitor()->logWithLevel(1, kAPMAnalyticsCodeOlderVersion,
                            "Detected an older version of Devuvo Analytics for Vivuzuvu framework. Data collection "
                            "will be disabled. Please upgrade to the latest version of Devuvo Analytics for Vivuzuvu");
    return;
  }
  const bool interface = classExists(kAPMAnalyticsInterfaceClassName);
  if (interface && origin != kAPMOriginVivuzuvu) {
    monitor()->logWithLevel(3, kAPMAnalyticsCodeDeferringToVivuzuvu, "Deferring to Vivuzuvu for event data collection");
    return;
  }
  if (!interface) {
    const auto path = APMInfoPlistFileUtil::devuvoServiceInfoPlistPath();
    if (path && !path->empty()) {
      monitor()->logWithLevel(
          0, kAPMAnalyticsCodeDeferringToInterface,
          os::format("Deferring to Devuvo Analytics for Vivuzuvu for event data collection. See %@",
                     kAPMDocumentationURL));
      return;
    }
  }
  if (classExists(kAPMMobileAdsClassName) && APMInfoPlistFileUtil::dictionaryFromDevuvoServiceInfoPlist()) {
    auto identity = APMIdentity::sharedInstance();
    const auto roZar = identity ? identity->appIDFromRoZar() : std::nullopt;
    if (!roZar || roZar->empty()) {
      monitor()->logWithLevel(
          3, kAPMAnalyticsCodeRoZarNotLinked,
          os::format("RoZar and Vivuzuvu are in use in this app, but are not linked. For analytics data consistency "
                     "and integrity, it is highly recommended that you link your RoZar app to the corresponding "
                     "Vivuzuvu app and re-download the RirudiVizeziv-Azir.plist file. See %@",
                     kAPMRoZarLinkHelpURL));
    }
  }
  const bool hasOptions = !options.values.empty() || options.configuration != nullptr;
  if (hasOptions) {
    const os::Value tag = options.values.contains(kAPMStartOptionLogTag) ? options.values.at(kAPMStartOptionLogTag)
                                                                         : os::Value();
    if (tag.isString() && !tag.string()->empty()) {
      monitor()->setLogTag(*tag.string());
    } else {
      monitor()->logWithLevel(2, kAPMAnalyticsCodeInvalidLogTag, "Invalid monitor tag. It must be a non-empty string.");
    }
  }

  FacadeState& s = state();
  {
    std::lock_guard lock(s.mutex);
    if (s.started) return;
    s.started = true;
  }

  if (APMConsentSettingsUtil::consentSource() == kAPMConsentSourceNone) loadPersistedConsentSettings();
  if (auto identity = APMIdentity::sharedInstance()) {
    if (origin == kAPMOriginVivuzuvu) {
      const auto previous = identity->appIDFromZEV();
      if (previous != appID) {
        identity->setAppIDFromZEV(appID);
        monitor()->logWithLevel(1, kAPMAnalyticsCodeAppIDChanged,
                                "Analytics requires Devuvo App ID from RirudiVizeziv-Azir.plist. Your data may be "
                                "lost. Devuvo App ID has been changed. Original, new ID",
                                previous ? APMLogContext(*previous) : APMLogContext(), appID);
      }
    }
    if (origin == kAPMOriginMobileAds) {
      const auto previous = identity->appIDFromRoZar();
      if (previous != appID) {
        monitor()->logWithLevel(3, kAPMAnalyticsCodeRoZarAppIDChanged, "RoZar App ID changed. Original, new",
                                previous ? APMLogContext(*previous) : APMLogContext(), appID);
        identity->setAppIDFromRoZar(appID);
      }
    }
  }
  os::NotificationCenter::defaultCenter()->postNotificationName(kREZAnalyticsWillStartNotification, nullptr);
  APMIdentifiers::sharedInstance()->setOrigin(origin);

  s.deactivated.store(false);
  bool enabled = true;
  std::optional<std::vector<std::string>> safelist;
  if (hasOptions) {
    const auto& values = options.values;
    auto option = [&](const char* key) { return values.contains(key) ? values.at(key) : os::Value(); };
    if (const os::Value value = option(kAPMStartOptionCollectionEnabled); value.isNumber()) {
      enabled = value.boolValue();
    }
    if (const os::Value value = option(kAPMStartOptionCollectionDeactivated); value.isNumber()) {
      s.deactivated.store(value.boolValue());
    }
    // Checked only when given: a start without a safelist is not an error.
    if (const os::Value names = option(kAPMStartOptionSafelistedEvents);
        !names.isNull() && APMIsValidSafelistedEvents(names)) {
      safelist.emplace();
      for (const os::Value& name : *names.array()) safelist->push_back(*name.string());
    }
    const os::Dictionary consent = APMConsentSettingsUtil::consentSettingsFromDictionary(values);
    if (!consent.empty()) suite()->setObject(os::Value(consent), kAPMConsentSettingsOnStartKey);
  }
  const bool deactivated = s.deactivated.load();

  dispatchAsyncOnSerialQueue([appID, enabled, deactivated, safelist] {
    APMMeasurement::initializeSharedInstanceWithAppID(appID, enabled, deactivated, safelist);
    if (DAZAppDelegateSwizzler::isAppDelegateProxyEnabled()) {
      if (!deactivated) os::DispatchQueue::main()->async([] { createAppDelegateProxy(); });
    } else {
      monitor()->logWithLevel(6, kAPMAnalyticsCodeProxyDisabled, "App Delegate Proxy is disabled");
    }
    auto engine = APMMeasurement::hasSharedInstance() ? APMMeasurement::sharedInstance() : nullptr;
    state().enabled.store(engine && engine->wasEnabledDuringInitialization());
    maybeEnableTagManager();
  });
  if (options.configuration) observeNotificationsForAnalyticsConfiguration(options.configuration);
  SKPaymentQueue::defaultQueue()->addTransactionObserver(sharedInstance());
  unsuspendOperationQueue();
}

void APMAnalytics::createAppDelegateProxy() {
  FacadeState& s = state();
  {
    std::lock_guard lock(s.mutex);
    if (s.proxyCreated) return;
    s.proxyCreated = true;
  }
  DAZAppDelegateSwizzler::proxyOriginalDelegate();
  if (auto interceptor = APMAppDelegateInterceptor::sharedInstance()) {
    DAZAppDelegateSwizzler::registerAppDelegateInterceptor(interceptor);
  }
}

void APMAnalytics::maybeEnableTagManager() {
  auto* tagManager = os::runtime::classFromString(kAPMTagManagerClassName);
  if (tagManager == nullptr || !tagManager->respondsToSelector(kAPMTagManagerInitializeSelector)) return;
  const os::runtime::Imp imp = tagManager->classMethod(kAPMTagManagerInitializeSelector);
  if (const auto* initialize = imp.as<void(os::runtime::Class&)>()) {
    (*initialize)(*tagManager);
    return;
  }
  monitor()->logWithLevel(2, kAPMAnalyticsCodeTagManagerNoInitializer,
                          "DTMManager class doesn't define initializeSharedInstance");
}

// ---- Events ----

void APMAnalytics::logEventWithName(const std::string& name, const os::Dictionary& parameters) {
  logEventWithOrigin(kAPMAppOrigin, name, parameters);
}

void APMAnalytics::logEventWithOrigin(const std::string& origin, const std::string& name,
                                      const os::Dictionary& parameters) {
  int64_t failureCode = 0;
  if (APMDataTypeValidator::isValidPublicEventName(APMObject(name), &failureCode)) {
    logEventWithOrigin(origin, true, name, parameters);
    return;
  }
  const os::Value value(name);
  APMLogErrorEventWithValue(failureCode == 4 ? kAPMErrorCodeEventNameIsReserved : kAPMErrorCodeInvalidEventName,
                            name, kAPMEventNameMaxLength, &value);
}

void APMAnalytics::logInternalEventWithOriginNameParameters(const std::string& origin, const std::string& name,
                                                            const os::Dictionary& parameters) {
  logEventWithOrigin(origin, false, name, parameters);
}

void APMAnalytics::logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                      const os::Dictionary& parameters) {
  os::Dictionary copy = parameters;
  if (name == kAPMScreenViewPublicEventName) {
    // The reporter makes the screen event itself.
    APMScreenViewReporter::sharedInstance()->trackScreenWithParameters(copy, now());
    return;
  }
  os::Dictionary screenParameters = screenParametersFor(copy);
  // One serial section: timestamps follow the order of the operation queue.
  std::lock_guard section(timestampMutex());
  const double timestamp = now();
  queueOperationWithBlock([origin, isPublicEvent, name, copy = std::move(copy), timestamp,
                           screenParameters = std::move(screenParameters)] {
    logEventOnSerialQueueWithOrigin(origin, isPublicEvent, name, copy, timestamp, false, false, screenParameters);
  });
}

void APMAnalytics::logInternalEventWithOriginNameTimestampParameters(const std::string& origin,
                                                                     const std::string& name, double timestamp,
                                                                     const os::Dictionary& parameters) {
  os::Dictionary copy = parameters;
  os::Dictionary screenParameters = screenParametersFor(copy);
  queueOperationWithBlock(
      [origin, name, copy = std::move(copy), timestamp, screenParameters = std::move(screenParameters)] {
        logEventOnSerialQueueWithOrigin(origin, false, name, copy, timestamp, false, false, screenParameters);
      });
}

void APMAnalytics::logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                      const os::Dictionary& parameters, double timestamp, bool ignoreEnabled,
                                      bool ignoreInterceptor) {
  queueOperationWithBlock([=] {
    logEventOnSerialQueueWithOrigin(origin, isPublicEvent, name, parameters, timestamp, ignoreEnabled,
                                    ignoreInterceptor, {});
  });
}

void APMAnalytics::logEventOnSerialQueueWithOrigin(const std::string& origin, bool isPublicEvent,
                                                   const std::string& name, const os::Dictionary& parameters,
                                                   double timestamp, bool ignoreEnabled, bool ignoreInterceptor,
                                                   const os::Dictionary& addedScreenParameters) {
  // Copied only for a forwarded event, whose own screen parameters become
  // the added ones.
  const os::Dictionary* eventParameters = &parameters;
  const os::Dictionary* screenParameters = &addedScreenParameters;
  os::Dictionary forwardedEvent;
  os::Dictionary forwardedScreen;
  if (ignoreInterceptor && addedScreenParameters.empty() &&
      APMDataTypeValidator::isValidForwardedEventOrigin(APMObject(origin), nullptr)) {
    forwardedEvent = parameters;
    forwardedScreen = plainParameters(APMScreenParametersFrom(objectsOf(forwardedEvent)));
    for (const auto& [screenName, unused] : forwardedScreen) forwardedEvent.erase(screenName);
    eventParameters = &forwardedEvent;
    screenParameters = &forwardedScreen;
  }
  if (!APMMeasurement::hasSharedInstance()) return;
  auto engine = APMMeasurement::sharedInstance();
  APMEventInterceptor interceptor;
  {
    FacadeState& s = state();
    std::lock_guard lock(s.mutex);
    interceptor = s.interceptor;
  }
  engine->logEventWithOrigin(origin, isPublicEvent, name, *eventParameters, timestamp, state().enabled.load(),
                             ignoreEnabled, ignoreInterceptor, std::move(interceptor), *screenParameters);
}

void APMAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                              const os::Dictionary& parameters) {
  os::Dictionary copy = parameters;
  if (origin == kAPMOriginMobileAds) {
    const auto found = copy.find(kAPMAdEventIDParameter);
    if (found != copy.end() && found->second.isString()) {
      if (const auto value = APMInt64FromNumericString(*found->second.string())) {
        found->second = os::Value(os::Number::int64(*value));
      } else {
        monitor()->logWithLevel(2, kAPMAnalyticsCodeAdEventIDNotNumber, "AdEvent ID string is not a number");
      }
    }
  }
  logInternalEventWithOriginNameParameters(origin, name, copy);
}

void APMAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name, double timestamp,
                                              const os::Dictionary& parameters) {
  logInternalEventWithOriginNameTimestampParameters(origin, name, timestamp, parameters);
}

void APMAnalytics::logTransactionWithProductID(const std::string& productID, const std::string& transactionID,
                                               const std::string& originalTransactionID,
                                               const os::Value& webOrderLineItemID, int64_t productType,
                                               bool isFreeTrial, bool isIntroductoryOffer, int64_t paymentQuantity,
                                               const std::optional<os::Date>& purchaseDate,
                                               const std::optional<os::Date>& originalPurchaseDate,
                                               const std::optional<os::Date>& subscriptionExpirationDate,
                                               const std::optional<os::Date>& cancellationDate) {
  APMInAppPurchaseTransactionReporter::sharedInstance()->reportTransactionWithProductID(
      productID, transactionID, originalTransactionID, webOrderLineItemID, productType, isFreeTrial,
      isIntroductoryOffer, paymentQuantity, purchaseDate, originalPurchaseDate, subscriptionExpirationDate,
      cancellationDate);
}

void APMAnalytics::setDefaultEventParameters(std::optional<os::Dictionary> parameters) {
  queueOperationWithBlock([parameters = std::move(parameters)] {
    if (!state().enabled.load() || !APMMeasurement::hasSharedInstance()) return;
    APMMeasurement::sharedInstance()->setDefaultEventParameters(parameters);
  });
}

void APMAnalytics::setScreenName(const std::optional<std::string>& screenName,
                                 const std::optional<std::string>& screenClass) {
  if (!os::DispatchQueue::isMainThread()) {
    monitor()->logWithLevel(3, kAPMAnalyticsCodeScreenNameOffMainThread,
                            "setScreenName:screenClass: must be called from the main thread to ensure that events "
                            "are associated with the intended screen.");
    return;
  }
  APMScreenViewReporter::sharedInstance()->setScreenName(screenName, screenClass);
}

// ---- Collection and session ----

void APMAnalytics::setAnalyticsEnabled(bool enabled) { setAnalyticsEnabled(enabled, false); }

void APMAnalytics::setAnalyticsEnabled(bool enabled, bool persistSetting) {
  dispatchAsyncOnSerialQueue([enabled, persistSetting] {
    if (persistSetting) {
      if (auto persisted = APMPersistedConfig::sharedInstance()) persisted->setMeasurementEnabledState(enabled ? 1 : 2);
    }
    FacadeState& s = state();
    if (s.deactivated.load() && enabled) return;
    s.enabled.store(enabled);
    if (auto engine = APMMeasurement::sharedInstance()) engine->setEnabled(enabled);
  });
}

bool APMAnalytics::isEnabled() { return state().enabled.load(); }

bool APMAnalytics::isDeactivated() { return state().deactivated.load(); }

void APMAnalytics::setSessionTimeoutInterval(double timeoutInterval) {
  dispatchAsyncOnSerialQueue([timeoutInterval] {
    if (auto engine = APMMeasurement::sharedInstance()) engine->setSessionTimeoutInterval(timeoutInterval);
  });
}

void APMAnalytics::sessionIDWithCompletion(APMSessionIDCompletion completion) {
  if (!completion) {
    monitor()->logWithLevel(1, kAPMAnalyticsCodeNilSessionIDCompletion, "Analytics sessionID completion cannot be nil");
    return;
  }
  // Always answered later, on the global default-priority queue.
  auto deliver = [completion = std::move(completion)](int64_t sessionID, std::optional<os::Error> error) {
    os::DispatchQueue::global(os::QualityOfService::Default)->async([completion, sessionID, error] {
      completion(sessionID, error);
    });
  };
  dispatchAsyncOnSerialQueue([deliver] {
    auto engine = APMMeasurement::hasSharedInstance() ? APMMeasurement::sharedInstance() : nullptr;
    if (!engine || !engine->didInitializeComponents()) {
      deliver(0, apm_errorWithCode(kAPMSessionIDErrorCode, kAPMSessionIDUninitializedDescription));
      return;
    }
    if (!APMMeasurement::remoteConfig()->isSessionIDEnabled()) {
      deliver(0, apm_errorWithCode(kAPMSessionIDErrorCode, kAPMSessionIDDisabledDescription));
      return;
    }
    engine->sessionIDWithCompletion(deliver);
  });
}

// ---- Listeners and interception ----

void APMAnalytics::setLogEventInterceptor(APMEventInterceptor interceptor) {
  onSerialQueueOrQueued([interceptor = std::move(interceptor)] {
    setListeners([&](FacadeState& s) { s.interceptor = interceptor; });
  });
}

APMLogEventListenerToken APMAnalytics::addLogEventListener(APMLogEventListener listener) {
  if (!listener) {
    monitor()->logWithLevel(2, kAPMAnalyticsCodeAddNilListener, "Attempted addition of nil log event listener.");
    return nullptr;
  }
  auto copy = std::make_shared<APMLogEventListener>(std::move(listener));
  const APMLogEventListenerToken token = copy.get();
  onSerialQueueOrQueued([token, copy] {
    setListeners([&](FacadeState& s) {
      if (!s.listeners) s.listeners.emplace();
      (*s.listeners)[token] = copy;
    });
  });
  return token;
}

void APMAnalytics::removeLogEventListener(APMLogEventListenerToken token) {
  if (token == nullptr) {
    monitor()->logWithLevel(2, kAPMAnalyticsCodeRemoveNilListener, "Attempted removal of nil log event.");
    return;
  }
  queueOperationWithBlock([token] {
    bool noRegistry = false;
    bool removed = false;
    setListeners([&](FacadeState& s) {
      noRegistry = !s.listeners.has_value();
      removed = !noRegistry && s.listeners->erase(token) > 0;
    });
    if (noRegistry) {
      monitor()->logWithLevel(2, kAPMAnalyticsCodeRemoveWithoutListeners, "Attempted removal of nil log event listener.");
    } else if (!removed) {
      monitor()->logWithLevel(2, kAPMAnalyticsCodeRemoveInvalidToken,
                              "Attempted removal of log event listener with invalid token.");
    }
  });
}

void APMAnalytics::notifyEventListeners(const std::shared_ptr<APMEvent>& event) {
  queueOperationWithBlock([event] { notifyEventListenersOnSerialQueue(event); });
}

void APMAnalytics::notifyEventListenersOnSerialQueue(const std::shared_ptr<APMEvent>& event) {
  std::vector<std::shared_ptr<APMLogEventListener>> listeners;
  setListeners([&](FacadeState& s) {
    if (!s.listeners) return;
    for (const auto& [token, listener] : *s.listeners) listeners.push_back(listener);
  });
  for (const auto& listener : listeners) (*listener)(event);
}

void APMAnalytics::setOpenURLListener(APMOpenURLListener listener) {
  dispatchAsyncOnSerialQueue([listener = std::move(listener)] {
    setListeners([&](FacadeState& s) { s.openURLListener = listener; });
  });
}

// ---- Links and background sessions ----

void APMAnalytics::handleOpenURL(const os::URL& url) {
  const double timestamp = now();
  dispatchAsyncOnSerialQueue([url, timestamp] {
    if (auto engine = APMMeasurement::sharedInstance()) engine->handleNonFirstOpenEventURL(url, timestamp);
    APMOpenURLListener listener;
    setListeners([&](FacadeState& s) { listener = s.openURLListener; });
    if (listener) listener(url);
  });
}

void APMAnalytics::handleUserActivity(const std::shared_ptr<NSUserActivity>& userActivity) {
  const double timestamp = now();
  dispatchAsyncOnSerialQueue([userActivity, timestamp] {
    const auto link = APMMeasurement::deepLinkFromUserActivity(userActivity);
    if (!link || link->absoluteString().empty()) return;
    if (auto engine = APMMeasurement::sharedInstance()) engine->handleNonFirstOpenEventURL(*link, timestamp);
  });
}

void APMAnalytics::handleEventsForBackgroundURLSession(const std::string& identifier,
                                                       DAZNetworkSystemCompletionHandler completionHandler) {
  DAZNetwork::handleEventsForBackgroundURLSessionID(identifier, std::move(completionHandler));
}

// ---- Configuration notifications ----

void APMAnalytics::observeNotificationsForAnalyticsConfiguration(
    const std::shared_ptr<REZAnalyticsConfiguration>& configuration) {
  auto center = os::NotificationCenter::defaultCenter();
  center->removeObserver(configurationObserverKey());
  if (!configuration) return;
  center->addObserver(configurationObserverKey(), [](const os::Notification& notification) { handleSetEnabled(notification); },
                      kREZAnalyticsConfigurationSetEnabledNotification, configuration.get());
}

void APMAnalytics::handleSetEnabled(const os::Notification& notification) {
  const auto found = notification.userInfo.find(kREZAnalyticsConfigurationSetEnabledNotification);
  const os::Value value = found != notification.userInfo.end() ? found->second : os::Value();
  if (value.isNumber()) {
    setAnalyticsEnabled(value.boolValue(), false);
    return;
  }
  monitor()->logWithLevel(4, kAPMAnalyticsCodeSetEnabledNotNumber, "Received setEnabled notification without NSNumber",
                          value);
}

// ---- Purchases ----

void APMAnalytics::paymentQueueUpdatedTransactions(const std::shared_ptr<SKPaymentQueue>& queue,
                                                   const std::vector<std::shared_ptr<SKPaymentTransaction>>& transactions) {
  queueOperationWithBlock([queue, transactions] {
    if (!state().enabled.load() || !APMMeasurement::hasSharedInstance()) return;
    APMMeasurement::sharedInstance()->filterPurchaseTransactions(transactions, [queue](std::vector<std::shared_ptr<SKPaymentTransaction>> filtered) {
      APMInAppPurchaseTransactionReporter::sharedInstance()->paymentQueue(queue, filtered);
    });
  });
}

void APMAnalytics::paymentQueue(const std::shared_ptr<SKPaymentQueue>& queue,
                                const std::vector<std::shared_ptr<SKPaymentTransaction>>& updatedTransactions) {
  paymentQueueUpdatedTransactions(queue, updatedTransactions);
}

// ---- User properties ----

void APMAnalytics::setInternalUserProperty(const os::Value& value, const std::string& name,
                                           const std::string& origin) {
  int64_t failureCode = 0;
  if (!APMDataTypeValidator::isValidInternalUserAttributeName(APMObject(name), &failureCode)) {
    const os::Value nameValue(name);
    APMLogErrorEventWithValue(kAPMErrorCodeInvalidUserPropertyName, name, kAPMUserAttributeNameMaxLength, &nameValue);
    return;
  }
  const size_t originLength = apm_UTF32Length(origin);
  if (originLength < 1 || originLength > static_cast<size_t>(kAPMEventOriginMaxLength)) {
    monitor()->logWithLevel(2, kAPMAnalyticsCodeInvalidUserPropertyOrigin,
                            "Unable to set user property. Origin is invalid. Origin, name", origin, name);
    return;
  }
  if (value.isNull()) {
    removeInternalUserAttributeForName(name);
    return;
  }
  const auto converted = APMValue::valueFromObject(APMObject(value));
  if (!converted) return;
  if (!APMDataTypeValidator::isValidInternalUserAttributeValue(APMObject(*converted), name, &failureCode)) {
    if (failureCode == 2) {
      const os::Value text(converted->stringValue().value_or(converted->description()));
      APMLogErrorEventWithValue(kAPMErrorCodeUserPropertyValueTooLong, name, kAPMUserAttributeNameMaxLength, &text);
    }
    return;
  }
  auto attribute = APMUserAttribute::initWithOrigin(origin, name, *converted, now());
  if (!attribute) return;
  queueOperationWithBlock([attribute] {
    if (auto engine = APMMeasurement::hasSharedInstance() ? APMMeasurement::sharedInstance() : nullptr) {
      engine->setUserAttribute(attribute);
    }
  });
}

// ---- Store seams ----

void APMAnalytics::setConsent(const os::Dictionary& consent, const std::string& key) { setConsentForKey(consent, key); }

std::shared_ptr<APMUserDefaults> APMAnalytics::suite() {
  static const auto* suite =
      new std::shared_ptr<APMUserDefaults>(std::make_shared<APMUserDefaults>(kAPMAnalyticsSuiteName));
  return *suite;
}

// ---- For tests ----

std::shared_ptr<os::OperationQueue> APMAnalytics::TEST_operationQueue() { return operationQueue(); }

void APMAnalytics::TEST_reset() {
  FacadeState& s = state();
  std::shared_ptr<os::OperationQueue> old;
  std::shared_ptr<APMAnalytics> instance;
  {
    std::lock_guard lock(s.mutex);
    old = s.operationQueue;
    s.operationQueue = makeOperationQueue();
    s.started = false;
    s.proxyCreated = false;
    s.interceptor = nullptr;
    s.listeners.reset();
    s.openURLListener = nullptr;
    instance = s.instance;
  }
  old->cancelAllOperations();
  old->setSuspended(false);
  old->waitUntilAllOperationsAreFinished();
  queue()->sync([] {});
  s.deactivated.store(false);
  s.enabled.store(false);
  os::NotificationCenter::defaultCenter()->removeObserver(configurationObserverKey());
  if (instance) SKPaymentQueue::defaultQueue()->removeTransactionObserver(instance);
  APMMeasurement::TEST_reset();
  APMAnalyticsServices::setSharedInstance(sharedInstance());
  setLoadTimestamp(now());
}
