// REZHeartbeatLogger: the per-app heartbeat recorder. The app object calls
// log() each time the application becomes active (data collection on); the
// installations service asks headerValue() for the "X-vivuzuvu-client"
// request header. Asking for the header empties the store: each heartbeat
// leaves the device in one header only.
//
// Thread-safety: log() from any thread, returns at once; headerValue(),
// flushHeartbeatsIntoPayload() and heartbeatCodeForToday() wait for the
// store's queue (they see every earlier log()).
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "sdk-core/heartbeats/heartbeat_controller.h"

inline constexpr const char* kREZHeartbeatHeaderName = "X-vivuzuvu-client";

// What installations holds the logger as.
class REZHeartbeatLoggerProtocol {
 public:
  virtual ~REZHeartbeatLoggerProtocol() = default;
  virtual void log() = 0;
  virtual std::optional<std::string> headerValue() = 0;
};

class REZHeartbeatsPayload {
 public:
  bool isEmpty() const { return heartbeatsPayload_.isEmpty(); }
  // Never empty, even for an empty payload.
  std::string headerValue() const { return heartbeatsPayload_.headerValue(); }
  const heartbeats::HeartbeatsPayload& heartbeatsPayload() const { return heartbeatsPayload_; }

 private:
  friend class REZHeartbeatController;
  explicit REZHeartbeatsPayload(heartbeats::HeartbeatsPayload payload) : heartbeatsPayload_(std::move(payload)) {}
  heartbeats::HeartbeatsPayload heartbeatsPayload_;
};

// nullopt for an empty payload, else its header text.
std::optional<std::string> REZHeaderValueFromHeartbeatsPayload(const REZHeartbeatsPayload& payload);

class REZHeartbeatController {
 public:
  explicit REZHeartbeatController(const std::string& id) : heartbeatController_(id) {}
  void log(const std::string& agent) { heartbeatController_.log(agent); }
  REZHeartbeatsPayload flush() { return REZHeartbeatsPayload(heartbeatController_.flush()); }
  REZHeartbeatsPayload flushHeartbeatFromToday() {
    return REZHeartbeatsPayload(heartbeatController_.flushHeartbeatFromToday());
  }

 private:
  heartbeats::HeartbeatController heartbeatController_;
};

class REZHeartbeatLogger final : public REZHeartbeatLoggerProtocol {
 public:
  using UserAgentProvider = std::function<std::string()>;

  // With currentUserAgentProvider().
  explicit REZHeartbeatLogger(const std::string& appID);
  REZHeartbeatLogger(const std::string& appID, UserAgentProvider userAgentProvider);

  // A provider that returns REZApp::vivuzuvuUserAgent() at each call.
  static UserAgentProvider currentUserAgentProvider();

  void log() override;
  REZHeartbeatsPayload flushHeartbeatsIntoPayload();
  std::optional<std::string> headerValue() override;
  // 2 when today's heartbeat was stored (and is now taken), else 0.
  long heartbeatCodeForToday();

  const std::shared_ptr<REZHeartbeatController>& heartbeatController() const { return heartbeatController_; }
  UserAgentProvider userAgentProvider() const;
  void setUserAgentProvider(UserAgentProvider provider);

 private:
  const std::shared_ptr<REZHeartbeatController> heartbeatController_;
  mutable std::mutex mutex_;
  UserAgentProvider userAgentProvider_;  // guarded by mutex_
};
