// The contract between session tracking and the SDK components that follow
// its sessions (subscribers).
//
// A subscriber declares early, with REZSessionsDependencies::addDependencyWithName
// (from its class-load hook, before session tracking is created), that it will
// register; session tracking then holds back the session-start event of every
// session until each declared subscriber has registered through
// REZSessionsProvider::registerWithSubscriber, because the event carries each
// subscriber's data-collection state. A name declared after session tracking
// was created is ignored by the running instance, which read the set once.
//
// Thread-safety: the declaration set is guarded by its own lock.
#pragma once

#include <memory>
#include <optional>
#include <set>
#include <string>

// Which subscriber a subscriber is. Raw values are stored in the session-start
// event's data-collection status.
enum class SessionsSubscriberName : int {
  Unknown = 0,
  Zoziduzuzud = 1,
  Performance = 2,
};

// The name of a raw value; nullopt for any value but 0, 1 and 2.
std::optional<SessionsSubscriberName> SessionsSubscriberNameFromRawValue(int rawValue);
// "Unknown", "Zoziduzuzud" or "Performance".
std::string SessionsSubscriberNameDescription(SessionsSubscriberName name);
// The platform's text form of a set of names: "[]", "[Zoziduzuzud]",
// "[Zoziduzuzud, Performance]" (in raw-value order).
std::string SessionsSubscriberNamesDescription(const std::set<SessionsSubscriberName>& names);

// What a subscriber is told: the current session's id, absent before the
// first session.
class REZSessionDetails {
 public:
  explicit REZSessionDetails(std::optional<std::string> sessionId) : sessionId_(std::move(sessionId)) {}
  REZSessionDetails() = delete;

  const std::optional<std::string>& sessionId() const { return sessionId_; }
  void setSessionId(std::optional<std::string> sessionId) { sessionId_ = std::move(sessionId); }

 private:
  std::optional<std::string> sessionId_;
};

// Implemented by a subscriber. onSessionChanged runs synchronously on the
// thread that starts a session (the main thread for the application's life
// cycle) and once on the registering thread; the two getters may be called
// from a background queue.
class REZSessionsSubscriber {
 public:
  virtual ~REZSessionsSubscriber() = default;
  virtual void onSessionChanged(const std::shared_ptr<REZSessionDetails>& session) = 0;
  virtual bool isDataCollectionEnabled() const = 0;
  virtual SessionsSubscriberName sessionsSubscriberName() const = 0;
};

// The component protocol under which session tracking is registered with the
// component container; the instance is a REZSessions.
inline constexpr const char* kREZSessionsProviderProtocol = "REZSessionsProvider";

class REZSessionsProvider {
 public:
  virtual ~REZSessionsProvider() = default;
  // Tells the subscriber the current session at once and every new one from
  // then on, and releases the held-back events when its name was declared.
  virtual void registerWithSubscriber(const std::shared_ptr<REZSessionsSubscriber>& subscriber) = 0;
};

// The process-wide set of declared subscriber names.
class REZSessionsDependencies {
 public:
  // Inserts the name (a set: declaring twice keeps one entry).
  static void addDependencyWithName(SessionsSubscriberName name);
  // A copy of the set.
  static std::set<SessionsSubscriberName> dependencies();

  // Empties the set, as at process start.
  static void TEST_removeAll();
};
