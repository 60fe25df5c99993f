#include "sessions/session_generator.h"

#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>

#include "os/dispatch/notification.h"
#include "os/foundation/text.h"
#include "os/foundation/uuid.h"

// ---- SessionGenerator ----

SessionInfo SessionGenerator::generateNewSession() {
  std::string id;
  for (char c : os::UUID().UUIDString()) {
    if (c != '-') id += c;
  }
  id = os::lowercaseString(id);

  std::lock_guard lock(mutex_);
  if (firstSessionId_.empty()) firstSessionId_ = id;
  if (sessionIndex_ == std::numeric_limits<int32_t>::max()) {
    std::fprintf(stderr, "sessions: the session index overflowed\n");
    std::abort();
  }
  ++sessionIndex_;
  thisSession_ = SessionInfo{id, firstSessionId_, collectEvents_, sessionIndex_};
  return *thisSession_;
}

std::optional<SessionInfo> SessionGenerator::currentSession() const {
  std::lock_guard lock(mutex_);
  return thisSession_;
}

bool REZSessionsShouldCollectEvents(double samplingRate) {
  constexpr uint64_t kMaximumDraw = uint64_t(1) << 53;
  std::random_device source;
  // Rejection sampling over the device's 32-bit words.
  std::uniform_int_distribution<uint64_t> draw(0, kMaximumDraw);
  const double value = static_cast<double>(draw(source)) * 0x1p-53;
  return value <= samplingRate;
}

// ---- SessionInitiator ----

SessionInitiator::SessionInitiator(std::shared_ptr<const SettingsProtocol> settings,
                                   std::function<os::Date()> currentTime)
    : settings_(std::move(settings)),
      currentTime_(std::move(currentTime)),
      backgroundTime_(os::Date::distantFuture().timeIntervalSince1970()) {}

SessionInitiator::~SessionInitiator() {
  auto center = os::NotificationCenter::defaultCenter();
  if (backgroundObserver_) center->removeObserver(backgroundObserver_);
  if (activeObserver_) center->removeObserver(activeObserver_);
}

void SessionInitiator::beginListening(std::function<void()> initiateSessionStart) {
  initiateSessionStart_ = std::move(initiateSessionStart);
  initiateSessionStart_();
  // The observers go with the initiator (the destructor removes them before
  // `this` is gone), so they may use it.
  auto center = os::NotificationCenter::defaultCenter();
  backgroundObserver_ = center->addObserverForName(os::kUIApplicationDidEnterBackgroundNotification, nullptr,
                                                   std::shared_ptr<os::DispatchQueue>(),
                                                   [this](const os::Notification&) { appBackgrounded(); });
  activeObserver_ = center->addObserverForName(os::kUIApplicationDidBecomeActiveNotification, nullptr,
                                               std::shared_ptr<os::DispatchQueue>(),
                                               [this](const os::Notification&) { appForegrounded(); });
}

void SessionInitiator::appBackgrounded() { backgroundTime_ = currentTime_().timeIntervalSince1970(); }

void SessionInitiator::appForegrounded() {
  const double elapsed = currentTime_().timeIntervalSince1970() - backgroundTime_.load();
  if (elapsed > settings_->sessionTimeout() && initiateSessionStart_) initiateSessionStart_();
}
