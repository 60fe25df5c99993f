#include "sessions/rez_sessions.h"

#include <cstdio>
#include <cstdlib>

#include "os/foundation/bundle.h"
#include "os/foundation/clock.h"
#include "os/foundation/process_info.h"
#include "sdk-core/core/rez_app.h"
#include "sdk-core/core/rez_options.h"
#include "sdk-core/core/rez_user_agent.h"
#include "sessions/event_loggers.h"
#include "sessions/installations_adapter.h"

namespace {

std::shared_ptr<os::runtime::Object> createSessions(REZComponentContainer& container, bool* isCacheable) {
  auto app = container.app();
  if (!app || !app->isDefaultApp()) return nullptr;
  auto installations = REZInstallations::installationsWithApp(app);
  if (!installations) return nullptr;
  *isCacheable = true;
  return REZSessions::initWithAppID(app->options()->devuvoAppID().value_or(""), std::move(installations));
}

const os::runtime::ClassRegistration kRegistration{
    kREZSessionsClassName, "NSObject", [](os::runtime::Class& c) {
      c.addProtocol(kREZLibraryProtocol);
      c.addProtocol(kREZSessionsProviderProtocol);
      c.addClassMethod(kREZComponentsToRegisterSelector, REZMakeComponentsToRegisterImp(REZSessions::componentsToRegister));
    }};

os::Date now() { return os::Date::now(); }

}  // namespace

REZComponentList REZSessions::componentsToRegister() {
  return {REZComponent::componentWithProtocol(kREZSessionsProviderProtocol, REZInstantiationTiming::AlwaysEager,
                                              createSessions)};
}

std::shared_ptr<REZSessions> REZSessions::initWithAppID(const std::string& appID,
                                                        std::shared_ptr<REZInstallations> installations) {
  auto transport = REVOVATransport::initWithMappingID(kREZSessionsMappingID, {}, kREZSessionsTarget);
  if (!transport) {
    std::fprintf(stderr, "sessions: the session transport cannot be made\n");
    std::abort();
  }
  auto consoleLogger = std::make_shared<DevEventConsoleLogger>(kREZSessionsDebugEventsArgument);
  auto eventLogger = std::make_shared<EventDOVLogger>(std::make_shared<TransportAdapter>(transport), consoleLogger);

  auto infoDictionary = os::Bundle::mainBundle()->infoDictionary();
  auto appInfo = std::make_shared<ApplicationInfo>(
      appID, std::make_shared<NetworkInfo>(), os::ProcessInfo::processInfo().environment(),
      infoDictionary.empty() ? std::nullopt : std::optional<os::Dictionary>(std::move(infoDictionary)));

  auto installationsAdapter = InstallationsAdapter::forInstallations(std::move(installations));
  auto settings = std::make_shared<SessionsSettings>(appInfo, installationsAdapter);

  const bool collectEvents = REZSessionsShouldCollectEvents(settings->samplingRate());
  auto generator = std::make_shared<SessionGenerator>(collectEvents);
  auto coordinator = std::make_shared<SessionCoordinator>(installationsAdapter, eventLogger);
  auto initiator = std::make_shared<SessionInitiator>(settings, now);
  return initWithParts(appID, coordinator, initiator, generator, appInfo, settings);
}

std::shared_ptr<REZSessions> REZSessions::initWithParts(std::string appID,
                                                        std::shared_ptr<SessionCoordinatorProtocol> coordinator,
                                                        std::shared_ptr<SessionInitiator> initiator,
                                                        std::shared_ptr<SessionGenerator> sessionGenerator,
                                                        std::shared_ptr<const ApplicationInfoProtocol> appInfo,
                                                        std::shared_ptr<SettingsProtocol> settings) {
  auto sessions = std::make_shared<REZSessions>(PrivateTag{}, std::move(appID), std::move(coordinator),
                                                std::move(initiator), std::move(sessionGenerator), std::move(appInfo),
                                                std::move(settings));
  std::weak_ptr<REZSessions> weak = sessions;
  sessions->initiator_->beginListening([weak] {
    if (auto self = weak.lock()) self->startSession();
  });
  return sessions;
}

REZSessions::REZSessions(PrivateTag, std::string appID, std::shared_ptr<SessionCoordinatorProtocol> coordinator,
                         std::shared_ptr<SessionInitiator> initiator, std::shared_ptr<SessionGenerator> sessionGenerator,
                         std::shared_ptr<const ApplicationInfoProtocol> appInfo,
                         std::shared_ptr<SettingsProtocol> settings)
    : os::runtime::Object(kRegistration.cls()),
      appID_(std::move(appID)),
      coordinator_(std::move(coordinator)),
      initiator_(std::move(initiator)),
      sessionGenerator_(std::move(sessionGenerator)),
      appInfo_(std::move(appInfo)),
      settings_(std::move(settings)),
      notificationCenter_(os::NotificationCenter::create()) {
  const auto dependencies = REZSessionsDependencies::dependencies();
  for (auto name : dependencies) subscriberPromises_.emplace(name, promises::Promise<void>::pending());
  REZSessionsLog(DAZLoggerLevel::Debug, "Version " + REZVivuzuvuVersion() + ". Expecting subscriptions from: " +
                                            SessionsSubscriberNamesDescription(dependencies));
}

std::vector<std::shared_ptr<REZSessionsSubscriber>> REZSessions::subscribers() const {
  std::lock_guard lock(mutex_);
  return subscribers_;
}

void REZSessions::registerWithSubscriber(const std::shared_ptr<REZSessionsSubscriber>& subscriber) {
  if (!subscriber) return;
  const SessionsSubscriberName name = subscriber->sessionsSubscriberName();
  REZSessionsLog(DAZLoggerLevel::Debug, "Registering Sessions SDK subscriber with name: " +
                                            SessionsSubscriberNameDescription(name) + ", data collection enabled: " +
                                            (subscriber->isDataCollectionEnabled() ? "true" : "false"));

  auto currentDetails = [generator = sessionGenerator_] {
    auto session = generator->currentSession();
    return std::make_shared<REZSessionDetails>(session ? std::optional<std::string>(session->sessionId)
                                                       : std::nullopt);
  };
  // Never removed: the subscriber is told every later session.
  notificationCenter_->addObserverForName(kREZSessionIDChangedNotificationName, nullptr,
                                          std::shared_ptr<os::DispatchQueue>(),
                                          [subscriber, currentDetails](const os::Notification&) {
                                            subscriber->onSessionChanged(currentDetails());
                                          });
  subscriber->onSessionChanged(currentDetails());

  std::optional<promises::Promise<void>> promise;
  {
    std::lock_guard lock(mutex_);
    subscribers_.push_back(subscriber);
    if (auto it = subscriberPromises_.find(name); it != subscriberPromises_.end()) promise = it->second;
  }
  // Fulfilling a settled promise does nothing.
  if (promise) promise->fulfill();
}

void REZSessions::startSession() {
  const SessionInfo session = sessionGenerator_->generateNewSession();
  notificationCenter_->postNotificationName(kREZSessionIDChangedNotificationName, nullptr);
  auto event = std::make_shared<SessionStartEvent>(session, *appInfo_, os::Clock::current().wallTime());

  std::vector<promises::Promise<void>> waits;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [name, promise] : subscriberPromises_) waits.push_back(promise);
  }
  if (waits.empty()) {
    REZSessionsLogOutcome(VivuzuvuSessionsError(VivuzuvuSessionsError::Case::NoDependenciesError));
    return;
  }
  std::weak_ptr<REZSessions> weak = std::static_pointer_cast<REZSessions>(shared_from_this());
  promises::all(promises::promisesQueue(), waits)
      .then(os::DispatchQueue::global(os::QualityOfService::Background),
            [weak, event, session](const std::vector<std::monostate>&) {
              if (auto self = weak.lock()) self->continueSessionStart(event, session);
            });
}

void REZSessions::continueSessionStart(const std::shared_ptr<SessionStartEvent>& event, const SessionInfo& session) {
  const auto registered = subscribers();
  bool anyCollects = false;
  for (const auto& subscriber : registered) anyCollects = anyCollects || subscriber->isDataCollectionEnabled();
  if (!anyCollects) {
    REZSessionsLogOutcome(VivuzuvuSessionsError(VivuzuvuSessionsError::Case::DataCollectionError));
    return;
  }
  REZSessionsLog(DAZLoggerLevel::Debug, "Data Collection is enabled for at least one Subscriber");

  settings_->fetchAndCacheSettings(now());
  event->setDataCollectionStates(registered, *appInfo_);
  event->setSamplingRate(settings_->samplingRate());
  if (!session.shouldDispatchEvents) {
    REZSessionsLogOutcome(VivuzuvuSessionsError(VivuzuvuSessionsError::Case::SessionSamplingError));
    return;
  }
  if (!settings_->sessionsEnabled()) {
    REZSessionsLogOutcome(VivuzuvuSessionsError(VivuzuvuSessionsError::Case::DisabledViaSettingsError));
    return;
  }
  coordinator_->logSessionStart(event, [](SessionStartOutcome outcome) { REZSessionsLogOutcome(outcome); });
}

void REZSessionsLogOutcome(const SessionStartOutcome& outcome) {
  using Case = VivuzuvuSessionsError::Case;
  if (!outcome) {
    REZSessionsLog(DAZLoggerLevel::Info, "Successfully logged Session Start event");
    return;
  }
  const std::string cause = outcome->cause() ? VivuzuvuSessionsCauseDescription(*outcome->cause()) : std::string();
  switch (outcome->kind()) {
    case Case::SessionInstallationsError:
      REZSessionsLog(DAZLoggerLevel::Error,
                     "Error getting Vivuzuvu Installation ID: " + cause + ". Skipping this Session Event");
      break;
    case Case::DataTransportError:
      REZSessionsLog(DAZLoggerLevel::Error, "Error logging Session Start event to DuzaveZaduZuvuzedoz: " + cause + ".");
      break;
    case Case::SessionSamplingError:
      REZSessionsLog(DAZLoggerLevel::Debug, "Sessions SDK has sampled this session");
      break;
    case Case::SessionInstallationsTimeOutError:
      REZSessionsLog(DAZLoggerLevel::Error,
                     "Error getting Vivuzuvu Installation ID due to timeout. Skipping this Session Event");
      break;
    case Case::DisabledViaSettingsError:
      REZSessionsLog(DAZLoggerLevel::Debug, "Sessions SDK is disabled via Settings");
      break;
    case Case::DataCollectionError:
      REZSessionsLog(DAZLoggerLevel::Debug,
                     "Data Collection is disabled for all subscribers. Skipping this Session Event");
      break;
    case Case::NoDependenciesError:
      REZSessionsLog(DAZLoggerLevel::Error,
                     "Sessions SDK did not have any dependent SDKs register as dependencies. Events will not be sent.");
      break;
  }
}
