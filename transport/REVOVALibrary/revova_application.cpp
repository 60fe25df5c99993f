#include "transport/REVOVALibrary/revova_application.h"

#include <cstdlib>

#include "os/foundation/bundle.h"
#include "os/foundation/device_profile.h"
#include "transport/REVOVALibrary/revova_platform.h"
#include "transport/REVOVALibrary/revova_registrar.h"
#include "transport/REVOVALibrary/revova_transport.h"
#include "transport/REVOVALibrary/revova_upload_coordinator.h"

namespace {

// Scenes, and their notifications, exist from system version 13 on.
constexpr int kFirstSystemVersionWithScenes = 13;

int systemMajorVersion() {
  return std::atoi(os::DeviceProfile::current().systemVersion.c_str());
}

}  // namespace

// ---- REVOVAApplication ----

std::shared_ptr<REVOVAApplication> REVOVAApplication::sharedApplication() {
  static auto* instance = new std::shared_ptr<REVOVAApplication>([] {
    REVOVALogDebug(
        "DOV is initializing. Please note that if you quit the app via the debugger and not through a lifecycle "
        "event, event data will remain on disk but storage won't have a reference to them since the singleton "
        "wasn't saved to disk.");
    return std::make_shared<REVOVAApplication>();
  }());
  return *instance;
}

REVOVAApplication::REVOVAApplication() {
  auto center = os::NotificationCenter::defaultCenter();
  auto background = [this](const os::Notification& n) { iOSApplicationDidEnterBackground(n); };
  auto foreground = [this](const os::Notification& n) { iOSApplicationWillEnterForeground(n); };
  center->addObserver(this, background, os::kUIApplicationDidEnterBackgroundNotification, nullptr);
  center->addObserver(this, foreground, os::kUIApplicationWillEnterForegroundNotification, nullptr);
  center->addObserver(
      this, [this](const os::Notification& n) { iOSApplicationWillTerminate(n); },
      os::kUIApplicationWillTerminateNotification, nullptr);
  if (systemMajorVersion() >= kFirstSystemVersionWithScenes) {
    center->addObserver(this, foreground, os::kUISceneWillEnterForegroundNotification, nullptr);
    center->addObserver(this, background, os::kUISceneWillDeactivateNotification, nullptr);
  }
}

REVOVAApplication::~REVOVAApplication() { os::NotificationCenter::defaultCenter()->removeObserver(this); }

bool REVOVAApplication::isAppExtension() {
  auto bundle = os::Bundle::mainBundle();  // held: the main bundle may be replaced meanwhile
  const std::string& path = bundle->bundlePath();
  return path.ends_with(".appex") || path.ends_with(".appex/");
}

std::shared_ptr<UIApplication> REVOVAApplication::sharedApplicationForBackgroundTask() {
  if (isAppExtension()) return nullptr;
  return UIApplication::sharedApplication();
}

REVOVABackgroundIdentifier REVOVAApplication::beginBackgroundTaskWithName(const std::string& name,
                                                                          std::function<void()> expirationHandler) {
  auto host = sharedApplicationForBackgroundTask();
  if (!host) return kREVOVABackgroundIdentifierInvalid;
  REVOVABackgroundIdentifier bgID = host->beginBackgroundTask(name, std::move(expirationHandler));
  if (bgID != kREVOVABackgroundIdentifierInvalid)
    REVOVALogDebug("Creating background task with name:%@ bgID:%ld", name, static_cast<int64_t>(bgID));
  return bgID;
}

void REVOVAApplication::endBackgroundTask(REVOVABackgroundIdentifier bgID) {
  if (bgID == kREVOVABackgroundIdentifierInvalid) return;
  auto host = sharedApplicationForBackgroundTask();
  if (!host) return;
  REVOVALogDebug("Ending background task with ID:%ld was successful", static_cast<int64_t>(bgID));
  host->endBackgroundTask(bgID);
}

void REVOVAApplication::iOSApplicationDidEnterBackground(const os::Notification&) {
  isRunningInBackground_.store(true);
  REVOVALogDebug("REVOVAPlatform is sending a notif that the app is backgrounding.");
  os::NotificationCenter::defaultCenter()->postNotificationName(kREVOVAApplicationDidEnterBackgroundNotification,
                                                                nullptr);
}

void REVOVAApplication::iOSApplicationWillEnterForeground(const os::Notification&) {
  isRunningInBackground_.store(false);
  REVOVALogDebug("REVOVAPlatform is sending a notif that the app is foregrounding.");
  os::NotificationCenter::defaultCenter()->postNotificationName(kREVOVAApplicationWillEnterForegroundNotification,
                                                                nullptr);
}

void REVOVAApplication::iOSApplicationWillTerminate(const os::Notification&) {
  REVOVALogDebug("REVOVAPlatform is sending a notif that the app is terminating.");
  os::NotificationCenter::defaultCenter()->postNotificationName(kREVOVAApplicationWillTerminateNotification, nullptr);
}

// ---- REVOVABackgroundTask ----

REVOVABackgroundTask::REVOVABackgroundTask(const std::shared_ptr<REVOVAApplicationProtocol>& app,
                                           const std::string& name, std::function<void()> expired)
    : app_(app), id_(std::make_shared<std::atomic<REVOVABackgroundIdentifier>>(kREVOVABackgroundIdentifierInvalid)) {
  // The handler holds the identifier, not this object: it may outlive it.
  id_->store(app_->beginBackgroundTaskWithName(name, [app = app_, id = id_, expired = std::move(expired)] {
    if (expired) expired();
    app->endBackgroundTask(id->exchange(kREVOVABackgroundIdentifierInvalid));
  }));
}

bool REVOVABackgroundTask::end() const {
  if (!id_) return false;
  const REVOVABackgroundIdentifier id = id_->exchange(kREVOVABackgroundIdentifierInvalid);
  if (id == kREVOVABackgroundIdentifierInvalid) return false;
  app_->endBackgroundTask(id);
  return true;
}

bool REVOVABackgroundTask::isActive() const { return id_ && id_->load() != kREVOVABackgroundIdentifierInvalid; }

// ---- REVOVALifecycle ----

std::shared_ptr<REVOVALifecycle> REVOVALifecycle::sharedInstance() {
  static auto* instance = new std::shared_ptr<REVOVALifecycle>(std::make_shared<REVOVALifecycle>());
  return *instance;
}

REVOVALifecycle::REVOVALifecycle() {
  auto center = os::NotificationCenter::defaultCenter();
  center->addObserver(
      this, [this](const os::Notification& n) { applicationDidEnterBackgroundNotification(n); },
      kREVOVAApplicationDidEnterBackgroundNotification, nullptr);
  center->addObserver(
      this, [this](const os::Notification& n) { applicationWillEnterForegroundNotification(n); },
      kREVOVAApplicationWillEnterForegroundNotification, nullptr);
  center->addObserver(
      this, [this](const os::Notification& n) { applicationWillTerminateNotification(n); },
      kREVOVAApplicationWillTerminateNotification, nullptr);
}

REVOVALifecycle::~REVOVALifecycle() { os::NotificationCenter::defaultCenter()->removeObserver(this); }

void REVOVALifecycle::applicationDidEnterBackgroundNotification(const os::Notification&) {
  auto app = REVOVAApplication::sharedApplication();
  REVOVALogDebug("Signaling REVOVATransformer that the app is backgrounding.");
  REVOVATransformer::sharedInstance()->appWillBackground(app);
  REVOVALogDebug("Signaling REVOVAUploadCoordinator that the app is backgrounding.");
  REVOVAUploadCoordinator::sharedInstance()->appWillBackground(app);
  REVOVALogDebug("Signaling REVOVARegistrar that the app is backgrounding.");
  REVOVARegistrar::sharedInstance()->appWillBackground(app);
}

void REVOVALifecycle::applicationWillEnterForegroundNotification(const os::Notification&) {
  auto app = REVOVAApplication::sharedApplication();
  REVOVALogDebug("Signaling REVOVATransformer that the app is foregrounding.");
  REVOVATransformer::sharedInstance()->appWillForeground(app);
  REVOVALogDebug("Signaling REVOVAUploadCoordinator that the app is foregrounding.");
  REVOVAUploadCoordinator::sharedInstance()->appWillForeground(app);
  REVOVALogDebug("Signaling REVOVARegistrar that the app is foregrounding.");
  REVOVARegistrar::sharedInstance()->appWillForeground(app);
}

void REVOVALifecycle::applicationWillTerminateNotification(const os::Notification&) {
  auto app = REVOVAApplication::sharedApplication();
  REVOVALogDebug("Signaling REVOVATransformer that the app is terminating.");
  REVOVATransformer::sharedInstance()->appWillTerminate(app);
  REVOVALogDebug("Signaling REVOVAUploadCoordinator that the app is terminating.");
  REVOVAUploadCoordinator::sharedInstance()->appWillTerminate(app);
  REVOVALogDebug("Signaling REVOVARegistrar that the app is terminating.");
  REVOVARegistrar::sharedInstance()->appWillTerminate(app);
}
