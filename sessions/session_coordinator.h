// SessionCoordinator: completes a session-start event that passed its tests
// with the installation ID and auth token, sends it, and reports one outcome.
//
//   installation ID   send        outcome
//   ok                written     success
//   failed/timed out  written     SessionInstallationsError(the failure); sent
//                                 with an empty ID and token
//   any               not written DataTransportError(the send's error)
//
// Runs on the caller's thread (a background queue: the installations wait
// blocks it for up to 10 s); the outcome arrives on the transport's queue.
// Nothing is retried.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "sessions/event_loggers.h"
#include "sessions/installations_adapter.h"
#include "sessions/session_start_event.h"
#include "sessions/sessions_errors.h"

// Success, or the outcome that is not one.
using SessionStartOutcome = std::optional<VivuzuvuSessionsError>;

class SessionCoordinatorProtocol {
 public:
  virtual ~SessionCoordinatorProtocol() = default;
  virtual void logSessionStart(const std::shared_ptr<SessionStartEvent>& event,
                               std::function<void(SessionStartOutcome)> callback) = 0;
};

class SessionCoordinator final : public SessionCoordinatorProtocol {
 public:
  SessionCoordinator(std::shared_ptr<InstallationsProtocol> installations,
                     std::shared_ptr<EventDOVLoggerProtocol> fireLogger)
      : installations_(std::move(installations)), fireLogger_(std::move(fireLogger)) {}

  void logSessionStart(const std::shared_ptr<SessionStartEvent>& event,
                       std::function<void(SessionStartOutcome)> callback) override;

 private:
  const std::shared_ptr<InstallationsProtocol> installations_;
  const std::shared_ptr<EventDOVLoggerProtocol> fireLogger_;
};
