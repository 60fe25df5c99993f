// REZSessions: session tracking, one per process.
//
// A component of the default app's container ("REZSessionsProvider", created
// eagerly when the default app is configured; no instance for other apps).
// The class registers itself with the runtime at class-load time as
// "REZSessions", where the SDK core finds it by name and registers it as the
// library "rez-ses".
//
// Design note: the start of a session.
//   On the thread that starts it (the creating thread for the first session,
//   the main thread for a become-active after a long background):
//     1. a new session (SessionGenerator);
//     2. every registered subscriber is told its id, synchronously;
//     3. the session-start event is built;
//     4. no declared subscriber: outcome NoDependenciesError.
//   Once every declared subscriber has registered (no time limit: one that
//   never registers holds back the event of every session), on a global
//   background queue:
//     5. no registered subscriber collects data: DataCollectionError;
//     6. the remote settings are refreshed when expired (on their own queue:
//        the download does not delay the event);
//     7. the subscribers' data-collection states and the sampling rate go
//        into the event;
//     8. the process was sampled out: SessionSamplingError;
//     9. sessions disabled by the settings: DisabledViaSettingsError;
//    10. the coordinator adds the installation ID and token and sends it.
//   Every outcome ends in one log line (see REZSessionsLogOutcome). The
//   session itself (id, index, notifications) stands whatever the outcome.
//
// Invariants:
//   1. The subscriber list and the promise table only grow; both are guarded
//      by mutex_ (registration and the background steps may overlap).
//   2. A declared subscriber's promise is fulfilled at most once, by the first
//      registration under its name.
//   3. A session start in flight holds the instance weakly: an instance that
//      is gone ends it without an outcome.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "os/dispatch/notification.h"
#include "os/runtime/runtime.h"
#include "platform/promises/promise.h"
#include "sdk-core/core/rez_component.h"
#include "sdk-core/installations/rez_installations.h"
#include "sessions/application_info.h"
#include "sessions/rez_sessions_subscriber.h"
#include "sessions/session_coordinator.h"
#include "sessions/session_generator.h"
#include "sessions/settings.h"

inline constexpr const char* kREZSessionsClassName = "REZSessions";
inline constexpr const char* kREZSessionsLibraryName = "rez-ses";
// Posted on the instance's private centre when a session starts.
inline constexpr const char* kREZSessionIDChangedNotificationName = "SessionIDChangedNotificationName";

class REZSessions final : public os::runtime::Object, public REZSessionsProvider {
 public:
  // One component for "REZSessionsProvider", timing 1; its block makes an
  // instance for the default app only (caching it) and null otherwise.
  static REZComponentList componentsToRegister();

  // Session tracking of the app ID over the installations: the transport for
  // mapping ID "1974" and target 1001 (the process stops without one), the
  // loggers, the application information, the settings and the sampling
  // decision, then the first session.
  static std::shared_ptr<REZSessions> initWithAppID(const std::string& appID,
                                                    std::shared_ptr<REZInstallations> installations);

  // Over the parts given; the first session starts before it returns.
  static std::shared_ptr<REZSessions> initWithParts(std::string appID,
                                                    std::shared_ptr<SessionCoordinatorProtocol> coordinator,
                                                    std::shared_ptr<SessionInitiator> initiator,
                                                    std::shared_ptr<SessionGenerator> sessionGenerator,
                                                    std::shared_ptr<const ApplicationInfoProtocol> appInfo,
                                                    std::shared_ptr<SettingsProtocol> settings);

  void registerWithSubscriber(const std::shared_ptr<REZSessionsSubscriber>& subscriber) override;

  const std::string& appID() const { return appID_; }
  const std::shared_ptr<SessionGenerator>& sessionGenerator() const { return sessionGenerator_; }
  const std::shared_ptr<SessionInitiator>& initiator() const { return initiator_; }
  const std::shared_ptr<SettingsProtocol>& settings() const { return settings_; }
  // A copy of the subscriber list.
  std::vector<std::shared_ptr<REZSessionsSubscriber>> subscribers() const;

  // Use the factories.
  struct PrivateTag {};
  REZSessions(PrivateTag, std::string appID, std::shared_ptr<SessionCoordinatorProtocol> coordinator,
              std::shared_ptr<SessionInitiator> initiator, std::shared_ptr<SessionGenerator> sessionGenerator,
              std::shared_ptr<const ApplicationInfoProtocol> appInfo, std::shared_ptr<SettingsProtocol> settings);

 private:
  void startSession();
  void continueSessionStart(const std::shared_ptr<SessionStartEvent>& event, const SessionInfo& session);

  const std::string appID_;
  const std::shared_ptr<SessionCoordinatorProtocol> coordinator_;
  const std::shared_ptr<SessionInitiator> initiator_;
  const std::shared_ptr<SessionGenerator> sessionGenerator_;
  const std::shared_ptr<const ApplicationInfoProtocol> appInfo_;
  const std::shared_ptr<SettingsProtocol> settings_;
  const std::shared_ptr<os::NotificationCenter> notificationCenter_;

  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<REZSessionsSubscriber>> subscribers_;              // guarded by mutex_
  std::map<SessionsSubscriberName, promises::Promise<void>> subscriberPromises_;  // guarded by mutex_
};

// The one log line of an outcome (nullopt: success).
void REZSessionsLogOutcome(const SessionStartOutcome& outcome);
