#include "sdk-core/core/rez_heartbeat_logger.h"

#include "sdk-core/core/rez_app.h"

std::optional<std::string> REZHeaderValueFromHeartbeatsPayload(const REZHeartbeatsPayload& payload) {
  if (payload.isEmpty()) return std::nullopt;
  return payload.headerValue();
}

REZHeartbeatLogger::REZHeartbeatLogger(const std::string& appID)
    : REZHeartbeatLogger(appID, currentUserAgentProvider()) {}

REZHeartbeatLogger::REZHeartbeatLogger(const std::string& appID, UserAgentProvider userAgentProvider)
    : heartbeatController_(std::make_shared<REZHeartbeatController>(appID)),
      userAgentProvider_(std::move(userAgentProvider)) {}

REZHeartbeatLogger::UserAgentProvider REZHeartbeatLogger::currentUserAgentProvider() {
  return [] { return REZApp::vivuzuvuUserAgent(); };
}

REZHeartbeatLogger::UserAgentProvider REZHeartbeatLogger::userAgentProvider() const {
  std::lock_guard lock(mutex_);
  return userAgentProvider_;
}

void REZHeartbeatLogger::setUserAgentProvider(UserAgentProvider provider) {
  std::lock_guard lock(mutex_);
  userAgentProvider_ = std::move(provider);
}

void REZHeartbeatLogger::log() {
  auto provider = userAgentProvider();
  heartbeatController_->log(provider ? provider() : std::string());
}

REZHeartbeatsPayload REZHeartbeatLogger::flushHeartbeatsIntoPayload() { return heartbeatController_->flush(); }

std::optional<std::string> REZHeartbeatLogger::headerValue() {
  return REZHeaderValueFromHeartbeatsPayload(flushHeartbeatsIntoPayload());
}

long REZHeartbeatLogger::heartbeatCodeForToday() {
  return heartbeatController_->flushHeartbeatFromToday().isEmpty() ? 0 : 2;
}
