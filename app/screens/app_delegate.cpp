#include "app/screens/app_delegate.h"


#include "app/preferences/preferences.h"
#include "app/watch/watch_link.h"
#include "measurement/engine/interface/rez_analytics.h"
#include "os/dispatch/notification.h"
#include "os/foundation/console.h"
#include "os/foundation/user_defaults.h"
#include "os/foundation/uuid.h"
#include "sdk-core/core/rez_app.h"

namespace {

const UIApplicationDelegateRegistration<AppDelegate> kRegistration(kAppDelegateClassName, {"WCSessionDelegate"});

void logSessionCallback(const char* selector, const std::shared_ptr<WCSession>& session) {
  os::Console::writef("%s activationState %d\n", selector, session ? static_cast<int>(session->activationState()) : -1);
}

}  // namespace

AppDelegate::AppDelegate()
    : watchSession_(WCSession::defaultSession()), compensateManager_(std::make_shared<CompensateManager>()) {}

AppDelegate::~AppDelegate() = default;

bool AppDelegate::applicationDidFinishLaunchingWithOptions(std::shared_ptr<UIApplication>, os::Dictionary) {
  auto self = std::dynamic_pointer_cast<AppDelegate>(shared_from_this());
  watchSession_->setDelegate(std::weak_ptr<WCSessionDelegate>(self));
  watchSession_->activateSession();
  setAnalyticsUserID(installIdentifier());
  configureSDK();
  return true;
}

void AppDelegate::setAnalyticsUserID(const std::string& identifier) { REZAnalytics::setUserID(identifier); }

void AppDelegate::configureSDK() { REZApp::configure(); }

std::string AppDelegate::installIdentifier() {
  auto defaults = os::UserDefaults::standardUserDefaults();
  std::string stored = defaults->stringForKey(kInstallIdentifierKey).value_or("");
  if (stored.empty()) {
    defaults->setObject(os::Value(os::UUID().UUIDString()), kInstallIdentifierKey);
    (void)defaults->synchronize();
  }
  return defaults->stringForKey(kInstallIdentifierKey).value_or("");
}

void AppDelegate::applicationWillResignActive(std::shared_ptr<UIApplication>) {}
void AppDelegate::applicationDidEnterBackground(std::shared_ptr<UIApplication>) { clearWatch(); }
void AppDelegate::applicationWillEnterForeground(std::shared_ptr<UIApplication>) { clearWatch(); }
void AppDelegate::applicationDidBecomeActive(std::shared_ptr<UIApplication>) { clearWatch(); }
void AppDelegate::applicationWillTerminate(std::shared_ptr<UIApplication>) { clearWatch(); }

void AppDelegate::clearWatch() {
  for (const auto& transfer : watchSession_->outstandingUserInfoTransfers()) transfer->cancel();
  watchSession_->transferUserInfo(watchClearPayload());
}

void AppDelegate::watchBecameReachable(const std::shared_ptr<WCSession>& session) {
  if (!session || !session->isReachable()) return;
  if (!session->outstandingUserInfoTransfers().empty()) {
    // Transfers may finish in between: take the list again.
    const auto outstanding = session->outstandingUserInfoTransfers();
    session->transferUserInfo(outstanding.empty() ? watchClearPayload() : outstanding.back()->userInfo());
  }
  os::NotificationCenter::defaultCenter()->postNotificationName(kRefreshTheWatchAppNotification, nullptr);
}

void AppDelegate::handleWatchUserInfo(const os::Dictionary& userInfo) {
  auto center = os::NotificationCenter::defaultCenter();
  for (const char* command : kWatchCommandsInOrder) {
    if (userInfo.contains(command)) center->postNotificationName(command, nullptr);
  }
}

void AppDelegate::sessionActivationDidCompleteWithStateError(const std::shared_ptr<WCSession>&,
                                                             WCSessionActivationState,
                                                             const std::optional<os::Error>&) {}

void AppDelegate::sessionDidBecomeInactive(const std::shared_ptr<WCSession>& session) {
  logSessionCallback("sessionDidBecomeInactive:", session);
}

void AppDelegate::sessionDidDeactivate(const std::shared_ptr<WCSession>& session) {
  logSessionCallback("sessionDidDeactivate:", session);
}

void AppDelegate::sessionWatchStateDidChange(const std::shared_ptr<WCSession>& session) {
  logSessionCallback("sessionWatchStateDidChange:", session);
}

void AppDelegate::sessionReachabilityDidChange(const std::shared_ptr<WCSession>& session) {
  watchBecameReachable(session);
}

void AppDelegate::sessionDidReceiveUserInfo(const std::shared_ptr<WCSession>&, const os::Dictionary& userInfo) {
  handleWatchUserInfo(userInfo);
}

void AppDelegate::sessionDidReceiveMessageReplyHandler(const std::shared_ptr<WCSession>&, const os::Dictionary&,
                                                       std::function<void(const os::Dictionary&)>) {}

void AppDelegate::sessionDidFinishUserInfoTransferError(const std::shared_ptr<WCSession>&,
                                                        const std::shared_ptr<WCSessionUserInfoTransfer>&,
                                                        const std::optional<os::Error>&) {}
