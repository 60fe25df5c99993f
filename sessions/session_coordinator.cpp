#include "sessions/session_coordinator.h"

void SessionCoordinator::logSessionStart(const std::shared_ptr<SessionStartEvent>& event,
                                         std::function<void(SessionStartOutcome)> callback) {
  std::optional<VivuzuvuSessionsError::Cause> installationsError;
  installations_->installationID([&](InstallationIDResult result) {
    if (result) {
      event->setInstallationID(result->installationID);
      event->setAuthenticationToken(result->authToken);
    } else {
      event->setInstallationID("");
      event->setAuthenticationToken("");
      installationsError = result.error();
    }
  });

  fireLogger_->logEvent(event, [installationsError, callback = std::move(callback)](EventLogResult sent) {
    if (sent) {
      callback(VivuzuvuSessionsError(VivuzuvuSessionsError::Case::DataTransportError, *sent));
      return;
    }
    REZSessionsLog(DAZLoggerLevel::Debug, "Successfully logged Session Start event to DuzaveZaduZuvuzedoz");
    if (installationsError) {
      callback(VivuzuvuSessionsError(VivuzuvuSessionsError::Case::SessionInstallationsError, *installationsError));
      return;
    }
    callback(std::nullopt);
  });
}
