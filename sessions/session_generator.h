// Sessions: their ids, and when a new one starts.
//
// SessionGenerator makes each session: a new id, the process's first id, the
// index (0 for the first session of the process) and whether its event may be
// sent (decided once per process by sampling). SessionInitiator starts the
// first session at once and a new one whenever the application becomes active
// strictly more than the session timeout after it last entered the
// background (every become-active measures from that last background).
//
// Thread-safety: the generator is locked; the initiator's observers run on the
// thread that posts the application's notifications (the main thread).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "os/foundation/date.h"
#include "sessions/settings.h"

namespace os {
class NotificationObserverToken;
}

struct SessionInfo {
  std::string sessionId;
  std::string firstSessionId;
  bool shouldDispatchEvents = false;
  int32_t sessionIndex = 0;
};

class SessionGenerator {
 public:
  explicit SessionGenerator(bool collectEvents) : collectEvents_(collectEvents) {}

  // A new session (id: a random UUID's text, lowercased, without "-"); it
  // becomes the current one. Stops the process when the index would
  // overflow.
  SessionInfo generateNewSession();
  std::optional<SessionInfo> currentSession() const;
  bool collectEvents() const { return collectEvents_; }

 private:
  mutable std::mutex mutex_;
  std::optional<SessionInfo> thisSession_;  // guarded by mutex_
  std::string firstSessionId_;              // guarded by mutex_
  int32_t sessionIndex_ = -1;               // guarded by mutex_
  const bool collectEvents_;
};

// The sampling decision of a process: a draw from 0 to 2^53 (inclusive, from
// the system's random source) times 2^-53, at or below the rate. Rate 1
// always collects; rate 0 only when the draw is exactly 0.
bool REZSessionsShouldCollectEvents(double samplingRate);

class SessionInitiator {
 public:
  SessionInitiator(std::shared_ptr<const SettingsProtocol> settings, std::function<os::Date()> currentTime);
  ~SessionInitiator();
  SessionInitiator(const SessionInitiator&) = delete;
  SessionInitiator& operator=(const SessionInitiator&) = delete;

  // Keeps `initiateSessionStart`, calls it once at once, then observes the
  // default centre's "UIApplicationDidEnterBackgroundNotification" and
  // "UIApplicationDidBecomeActiveNotification". Call once.
  void beginListening(std::function<void()> initiateSessionStart);

  // The background time becomes now.
  void appBackgrounded();
  // Starts a session when now minus the background time exceeds the timeout.
  void appForegrounded();

 private:
  const std::shared_ptr<const SettingsProtocol> settings_;
  const std::function<os::Date()> currentTime_;
  std::atomic<double> backgroundTime_;  // seconds since 1970; the distant future at first
  std::function<void()> initiateSessionStart_;
  std::shared_ptr<os::NotificationObserverToken> backgroundObserver_;
  std::shared_ptr<os::NotificationObserverToken> activeObserver_;
};
