// AppDelegate: the application delegate. It owns the main window, the watch
// session and one compensation preference object. At launch it activates the
// watch session, tags analytics with the per-install identifier and then
// configures the SDK, in that order; every later life-cycle change clears
// what the watch shows.
//
// Registered with the runtime as "Drosil.AppDelegate" (kAppDelegateClassName),
// which is the name the process entry hands to UIApplicationMain.
//
// Threads: the application callbacks run on the main thread; the watch
// session's callbacks on the session's own queue.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "os/uikit/app_host.h"
#include "os/watchconnectivity/wc_session.h"

class CompensateManager;

inline constexpr const char* kAppDelegateClassName = "Drosil.AppDelegate";
// Standard user-defaults key of the install identifier.
inline constexpr const char* kInstallIdentifierKey = "uuid";

class AppDelegate : public UIApplicationDelegate, public WCSessionDelegate {
 public:
  // window nil; watchSession = WCSession::defaultSession(); a new
  // CompensateManager (seeding "CompensateKey").
  AppDelegate();
  ~AppDelegate() override;

  const std::shared_ptr<WCSession>& watchSession() const { return watchSession_; }
  const std::shared_ptr<CompensateManager>& compensateManager() const { return compensateManager_; }

  // The launch sequence; returns true. Launch options are ignored.
  // An SDK configuration error (os::Exception "com.vivuzuvu.core") is not
  // caught.
  bool applicationDidFinishLaunchingWithOptions(std::shared_ptr<UIApplication> application,
                                                os::Dictionary launchOptions) override;
  void applicationWillResignActive(std::shared_ptr<UIApplication> application) override;
  void applicationDidEnterBackground(std::shared_ptr<UIApplication> application) override;
  void applicationWillEnterForeground(std::shared_ptr<UIApplication> application) override;
  void applicationDidBecomeActive(std::shared_ptr<UIApplication> application) override;
  void applicationWillTerminate(std::shared_ptr<UIApplication> application) override;

  // The per-install identifier under "uuid" in the standard user defaults:
  // created on first use as a fresh upper-case UUID string; a stored empty
  // string counts as missing. "" when the value does not read back.
  static std::string installIdentifier();

  // Cancels the outstanding user-info transfers and sends an empty reading.
  void clearWatch();
  // The session's reachability changed. Unreachable: nothing. Reachable: when
  // transfers are outstanding, the last one's user info is queued again (the
  // empty reading when the queue emptied meanwhile; nothing is cancelled);
  // then "RefreshTheWatchApp" is posted on the calling thread, every time.
  void watchBecameReachable(const std::shared_ptr<WCSession>& session);
  // Posts "changeZoom", "takePhoto" and "flipCamera" (no object), in that
  // order, for each of those keys the watch sent; other keys are ignored.
  // Runs on the calling thread (the session's queue).
  void handleWatchUserInfo(const os::Dictionary& userInfo);

  // WCSessionDelegate.
  void sessionActivationDidCompleteWithStateError(const std::shared_ptr<WCSession>& session,
                                                  WCSessionActivationState state,
                                                  const std::optional<os::Error>& error) override;
  void sessionDidBecomeInactive(const std::shared_ptr<WCSession>& session) override;
  void sessionDidDeactivate(const std::shared_ptr<WCSession>& session) override;
  void sessionWatchStateDidChange(const std::shared_ptr<WCSession>& session) override;
  void sessionReachabilityDidChange(const std::shared_ptr<WCSession>& session) override;
  void sessionDidReceiveUserInfo(const std::shared_ptr<WCSession>& session, const os::Dictionary& userInfo) override;
  // Messages are not part of the contract: ignored, the reply handler is
  // never called.
  void sessionDidReceiveMessageReplyHandler(const std::shared_ptr<WCSession>& session, const os::Dictionary& message,
                                            std::function<void(const os::Dictionary&)> replyHandler) override;
  void sessionDidFinishUserInfoTransferError(const std::shared_ptr<WCSession>& session,
                                             const std::shared_ptr<WCSessionUserInfoTransfer>& transfer,
                                             const std::optional<os::Error>& error) override;

 protected:
  // The two calls into the SDK, in launch order (a seam for tests).
  virtual void setAnalyticsUserID(const std::string& identifier);
  virtual void configureSDK();

 private:
  const std::shared_ptr<WCSession> watchSession_;
  const std::shared_ptr<CompensateManager> compensateManager_;
};
