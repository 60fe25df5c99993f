#include "os/watchconnectivity/wc_session.h"

#include <algorithm>

#include "os/dispatch/queue.h"

namespace {

os::Error makeError(WCErrorCode code, std::string description) {
  return os::Error::withDescription(WCErrorDomain, code, std::move(description));
}

}  // namespace

// ---- WCSessionUserInfoTransfer ----

bool WCSessionUserInfoTransfer::isTransferring() const {
  auto session = session_.lock();
  return session && session->isQueued(this);
}

void WCSessionUserInfoTransfer::cancel() {
  if (auto session = session_.lock()) session->removeTransfer(this);
}

// ---- WCSession ----

WCSession::WCSession() : queue_(os::DispatchQueue::serial("com.drosil.watchconnectivity.session")) {}

std::shared_ptr<WCSession> WCSession::defaultSession() {
  static const auto& session = *new std::shared_ptr<WCSession>(new WCSession);  // never destroyed
  return session;
}

bool WCSession::isSupported() {
  auto session = defaultSession();
  std::lock_guard lock(session->mutex_);
  return session->supported_;
}

std::shared_ptr<WCSessionDelegate> WCSession::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}

void WCSession::setDelegate(std::weak_ptr<WCSessionDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

void WCSession::toDelegate(std::function<void(WCSessionDelegate&, const std::shared_ptr<WCSession>&)> fn) {
  auto self = shared_from_this();
  queue_->async([self, fn = std::move(fn)] {
    if (auto delegate = self->delegate()) fn(*delegate, self);
  });
}

void WCSession::activateSession() {
  WCSessionActivationState state;
  std::optional<os::Error> error;
  {
    std::lock_guard lock(mutex_);
    if (supported_) {
      activationRequested_ = true;
      state_ = WCSessionActivationState::Activated;
    } else {
      error = makeError(WCErrorCodeSessionNotSupported, "Watch sessions are not supported on this device.");
    }
    state = state_;
  }
  toDelegate([state, error](WCSessionDelegate& d, const std::shared_ptr<WCSession>& s) {
    d.sessionActivationDidCompleteWithStateError(s, state, error);
  });
}

WCSessionActivationState WCSession::activationState() const {
  std::lock_guard lock(mutex_);
  return state_;
}

bool WCSession::isPaired() const {
  std::lock_guard lock(mutex_);
  return paired_;
}

bool WCSession::isWatchAppInstalled() const {
  std::lock_guard lock(mutex_);
  return appInstalled_;
}

bool WCSession::isReachable() const {
  std::lock_guard lock(mutex_);
  return reachable_ && state_ == WCSessionActivationState::Activated;
}

std::shared_ptr<WCSessionUserInfoTransfer> WCSession::transferUserInfo(os::Dictionary userInfo) {
  auto transfer = std::make_shared<WCSessionUserInfoTransfer>(weak_from_this(), std::move(userInfo));
  std::optional<os::Error> error;
  {
    std::lock_guard lock(mutex_);
    if (!activationRequested_) {
      error = makeError(WCErrorCodeSessionNotActivated, "The session has not been activated.");
    } else if (!paired_) {
      error = makeError(WCErrorCodeDeviceNotPaired, "No watch is paired.");
    } else if (!appInstalled_) {
      error = makeError(WCErrorCodeWatchAppNotInstalled, "The watch app is not installed.");
    } else {
      outstanding_.push_back(transfer);
    }
  }
  if (error) {
    toDelegate([transfer, error](WCSessionDelegate& d, const std::shared_ptr<WCSession>& s) {
      d.sessionDidFinishUserInfoTransferError(s, transfer, error);
    });
  }
  return transfer;
}

std::vector<std::shared_ptr<WCSessionUserInfoTransfer>> WCSession::outstandingUserInfoTransfers() const {
  std::lock_guard lock(mutex_);
  return outstanding_;
}

bool WCSession::isQueued(const WCSessionUserInfoTransfer* transfer) const {
  std::lock_guard lock(mutex_);
  return std::any_of(outstanding_.begin(), outstanding_.end(), [transfer](const auto& t) { return t.get() == transfer; });
}

void WCSession::removeTransfer(const WCSessionUserInfoTransfer* transfer) {
  std::lock_guard lock(mutex_);
  std::erase_if(outstanding_, [transfer](const auto& t) { return t.get() == transfer; });
}

// ---- WatchSimulator ----

namespace os {

void WatchSimulator::setSupported(bool supported) {
  auto session = WCSession::defaultSession();
  std::lock_guard lock(session->mutex_);
  session->supported_ = supported;
}

void WatchSimulator::setPaired(bool paired) {
  auto session = WCSession::defaultSession();
  {
    std::lock_guard lock(session->mutex_);
    if (session->paired_ == paired) return;
    session->paired_ = paired;
    if (!paired) session->reachable_ = false;
  }
  session->toDelegate([](WCSessionDelegate& d, const std::shared_ptr<WCSession>& s) { d.sessionWatchStateDidChange(s); });
}

void WatchSimulator::setWatchAppInstalled(bool installed) {
  auto session = WCSession::defaultSession();
  {
    std::lock_guard lock(session->mutex_);
    if (session->appInstalled_ == installed) return;
    session->appInstalled_ = installed;
    if (!installed) session->reachable_ = false;
  }
  session->toDelegate([](WCSessionDelegate& d, const std::shared_ptr<WCSession>& s) { d.sessionWatchStateDidChange(s); });
}

void WatchSimulator::setReachable(bool reachable) {
  auto session = WCSession::defaultSession();
  {
    std::lock_guard lock(session->mutex_);
    // Only a paired watch with the app installed can be in reach.
    reachable = reachable && session->paired_ && session->appInstalled_;
    if (session->reachable_ == reachable) return;
    session->reachable_ = reachable;
  }
  session->toDelegate(
      [](WCSessionDelegate& d, const std::shared_ptr<WCSession>& s) { d.sessionReachabilityDidChange(s); });
}

void WatchSimulator::switchWatch() {
  auto session = WCSession::defaultSession();
  {
    std::lock_guard lock(session->mutex_);
    if (session->state_ != WCSessionActivationState::Activated) return;
    session->state_ = WCSessionActivationState::NotActivated;
    session->activationRequested_ = false;
    session->reachable_ = false;
  }
  session->toDelegate([](WCSessionDelegate& d, const std::shared_ptr<WCSession>& s) {
    d.sessionDidBecomeInactive(s);
    d.sessionDidDeactivate(s);
  });
}

std::vector<os::Dictionary> WatchSimulator::deliverUserInfoTransfers() {
  auto session = WCSession::defaultSession();
  std::vector<std::shared_ptr<WCSessionUserInfoTransfer>> delivered;
  {
    std::lock_guard lock(session->mutex_);
    delivered.swap(session->outstanding_);
  }
  std::vector<os::Dictionary> userInfo;
  for (const auto& transfer : delivered) {
    userInfo.push_back(transfer->userInfo());
    session->toDelegate([transfer](WCSessionDelegate& d, const std::shared_ptr<WCSession>& s) {
      d.sessionDidFinishUserInfoTransferError(s, transfer, std::nullopt);
    });
  }
  return userInfo;
}

void WatchSimulator::sendUserInfo(os::Dictionary userInfo) {
  WCSession::defaultSession()->toDelegate(
      [userInfo = std::move(userInfo)](WCSessionDelegate& d, const std::shared_ptr<WCSession>& s) {
        d.sessionDidReceiveUserInfo(s, userInfo);
      });
}

void WatchSimulator::sendMessage(os::Dictionary message, std::function<void(const os::Dictionary&)> reply) {
  WCSession::defaultSession()->toDelegate(
      [message = std::move(message), reply = std::move(reply)](WCSessionDelegate& d, const std::shared_ptr<WCSession>& s) {
        d.sessionDidReceiveMessageReplyHandler(s, message, [reply](const os::Dictionary& answer) {
          if (reply) reply(answer);
        });
      });
}

void WatchSimulator::reset() {
  auto session = WCSession::defaultSession();
  std::lock_guard lock(session->mutex_);
  session->delegate_.reset();
  session->activationRequested_ = false;
  session->state_ = WCSessionActivationState::NotActivated;
  session->supported_ = true;
  session->paired_ = true;
  session->appInstalled_ = true;
  session->reachable_ = false;
  session->outstanding_.clear();
}

}  // namespace os
