// WCSession: the link to a paired watch, simulated. The watch side is played
// by os::WatchSimulator (a test or the program): it pairs, installs the app,
// becomes reachable, takes delivery of queued user info and sends user info
// and messages back.
//
// Delegate callbacks run on the session's own serial background queue, in
// the order of the events, never on the main queue. The delegate is held
// weakly.
//
// Delegate method names: the platform's selectors all begin with "session";
// to keep overrides from hiding one another they are named by all their
// keywords (session:didReceiveUserInfo: is sessionDidReceiveUserInfo).
//
// Threads: every method is thread-safe.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "os/foundation/error.h"
#include "os/foundation/value.h"

namespace os {
class DispatchQueue;
class WatchSimulator;
}  // namespace os

inline constexpr const char* WCErrorDomain = "WCErrorDomain";
enum WCErrorCode : int64_t {
  WCErrorCodeGenericError = 7001,
  WCErrorCodeSessionNotSupported = 7002,
  WCErrorCodeSessionNotActivated = 7004,
  WCErrorCodeDeviceNotPaired = 7005,
  WCErrorCodeWatchAppNotInstalled = 7006,
};

enum class WCSessionActivationState : int { NotActivated = 0, Inactive = 1, Activated = 2 };

class WCSession;

// One queued user-info transfer to the watch.
class WCSessionUserInfoTransfer {
 public:
  WCSessionUserInfoTransfer(std::weak_ptr<WCSession> session, os::Dictionary userInfo)
      : session_(std::move(session)), userInfo_(std::move(userInfo)) {}
  const os::Dictionary& userInfo() const { return userInfo_; }
  // True while queued: until delivered, cancelled or failed.
  bool isTransferring() const;
  // Takes it off the queue; the watch never receives it. No effect once
  // delivered.
  void cancel();

 private:
  friend class WCSession;
  std::weak_ptr<WCSession> session_;
  const os::Dictionary userInfo_;
};

class WCSessionDelegate {
 public:
  virtual ~WCSessionDelegate() = default;
  // session:activationDidCompleteWithState:error:
  virtual void sessionActivationDidCompleteWithStateError(const std::shared_ptr<WCSession>& session,
                                                          WCSessionActivationState state,
                                                          const std::optional<os::Error>& error) = 0;
  virtual void sessionDidBecomeInactive(const std::shared_ptr<WCSession>& session) = 0;
  virtual void sessionDidDeactivate(const std::shared_ptr<WCSession>& session) = 0;
  virtual void sessionWatchStateDidChange(const std::shared_ptr<WCSession>&) {}
  virtual void sessionReachabilityDidChange(const std::shared_ptr<WCSession>&) {}
  // session:didReceiveUserInfo:
  virtual void sessionDidReceiveUserInfo(const std::shared_ptr<WCSession>&, const os::Dictionary&) {}
  // session:didReceiveMessage:replyHandler: -- the reply handler may be
  // called at most once, from any thread.
  virtual void sessionDidReceiveMessageReplyHandler(const std::shared_ptr<WCSession>&, const os::Dictionary&,
                                                    std::function<void(const os::Dictionary&)>) {}
  // session:didFinishUserInfoTransfer:error: -- delivered, or failed.
  virtual void sessionDidFinishUserInfoTransferError(const std::shared_ptr<WCSession>&,
                                                     const std::shared_ptr<WCSessionUserInfoTransfer>&,
                                                     const std::optional<os::Error>&) {}
};

class WCSession : public std::enable_shared_from_this<WCSession> {
 public:
  // Whether this device can talk to a watch (the simulation says; default yes).
  static bool isSupported();
  // The one session of the process.
  static std::shared_ptr<WCSession> defaultSession();

  std::shared_ptr<WCSessionDelegate> delegate() const;
  void setDelegate(std::weak_ptr<WCSessionDelegate> delegate);

  // Activates asynchronously; the delegate hears of the result. On a device
  // without watch support the result is NotActivated with
  // WCErrorCodeSessionNotSupported.
  void activateSession();
  WCSessionActivationState activationState() const;

  bool isPaired() const;
  bool isWatchAppInstalled() const;
  // The watch app is running in reach; only while activated.
  bool isReachable() const;

  // Queues user info for the watch. Queued once activation was asked for;
  // otherwise (never activated, not paired, app not installed) the transfer
  // is returned finished and the delegate hears of the error.
  std::shared_ptr<WCSessionUserInfoTransfer> transferUserInfo(os::Dictionary userInfo);
  // Queued transfers, oldest first.
  std::vector<std::shared_ptr<WCSessionUserInfoTransfer>> outstandingUserInfoTransfers() const;

  // The queue delegate callbacks run on.
  std::shared_ptr<os::DispatchQueue> delegateQueue() const { return queue_; }

 private:
  friend class WCSessionUserInfoTransfer;
  friend class os::WatchSimulator;
  WCSession();

  // Runs fn(delegate) on the queue when there is a delegate then.
  void toDelegate(std::function<void(WCSessionDelegate&, const std::shared_ptr<WCSession>&)> fn);
  bool isQueued(const WCSessionUserInfoTransfer* transfer) const;
  void removeTransfer(const WCSessionUserInfoTransfer* transfer);

  const std::shared_ptr<os::DispatchQueue> queue_;
  mutable std::mutex mutex_;
  // Everything below is guarded by mutex_.
  std::weak_ptr<WCSessionDelegate> delegate_;
  bool activationRequested_ = false;
  WCSessionActivationState state_ = WCSessionActivationState::NotActivated;
  bool supported_ = true;
  bool paired_ = true;
  bool appInstalled_ = true;
  bool reachable_ = false;
  std::vector<std::shared_ptr<WCSessionUserInfoTransfer>> outstanding_;
};

namespace os {

// The watch's side of the link, for tests and the program. Thread-safe.
// Changes reach the phone's delegate on the session's queue.
class WatchSimulator {
 public:
  static void setSupported(bool supported);
  // Pairing and installing tell the delegate sessionWatchStateDidChange.
  static void setPaired(bool paired);
  static void setWatchAppInstalled(bool installed);
  // Tells the delegate sessionReachabilityDidChange when it changes.
  static void setReachable(bool reachable);
  // The phone deactivates (sessionDidBecomeInactive, then
  // sessionDidDeactivate) as when the user switches watches.
  static void switchWatch();

  // Takes every queued transfer, oldest first, off the phone's queue: each is
  // delivered (the delegate hears sessionDidFinishUserInfoTransferError
  // without error) and its user info returned.
  static std::vector<os::Dictionary> deliverUserInfoTransfers();
  // Sends user info to the phone (sessionDidReceiveUserInfo).
  static void sendUserInfo(os::Dictionary userInfo);
  // Sends a message to the phone; `reply` runs if and when the phone replies.
  static void sendMessage(os::Dictionary message, std::function<void(const os::Dictionary&)> reply = nullptr);

  // Back to the start: supported, paired, installed, unreachable, not
  // activated, nothing queued, no delegate.
  static void reset();
};

}  // namespace os
