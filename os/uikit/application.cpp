#include "os/uikit/application.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <utility>

#include "os/dispatch/notification.h"
#include "os/foundation/device_profile.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/sandbox.h"
#include "os/uikit/view.h"

namespace {
std::mutex& sharedAppMutex() {
  static auto& m = *new std::mutex;
  return m;
}
std::shared_ptr<UIApplication>& sharedApp() {
  static auto& app = *new std::shared_ptr<UIApplication>();  // guarded by sharedAppMutex()
  return app;
}
}  // namespace

std::shared_ptr<UIApplication> UIApplication::sharedApplication() {
  std::lock_guard lock(sharedAppMutex());
  auto& app = sharedApp();
  if (!app) app = std::make_shared<UIApplication>();
  return app;
}

void UIApplication::setSharedApplication(std::shared_ptr<UIApplication> app) {
  std::lock_guard lock(sharedAppMutex());
  sharedApp() = std::move(app);
}

UIBackgroundTaskIdentifier UIApplication::beginBackgroundTask(const std::string& name, std::function<void()> handler) {
  std::lock_guard lock(tasksMutex_);
  UIBackgroundTaskIdentifier id = nextTask_++;
  tasks_[id] = {name, std::move(handler)};
  return id;
}

void UIApplication::endBackgroundTask(UIBackgroundTaskIdentifier identifier) {
  std::function<void()> handler;  // released outside the lock: it may own what ends tasks
  std::lock_guard lock(tasksMutex_);
  auto it = tasks_.find(identifier);
  if (it == tasks_.end()) return;
  handler = std::move(it->second.expiration);
  tasks_.erase(it);
}

std::vector<std::string> UIApplication::TEST_activeBackgroundTaskNames() const {
  std::lock_guard lock(tasksMutex_);
  std::vector<std::string> names;
  for (const auto& [id, task] : tasks_) names.push_back(task.name);
  return names;
}

void UIApplication::TEST_expireBackgroundTasks() {
  // Handlers usually end their task; each runs once even if it does not.
  std::vector<std::pair<UIBackgroundTaskIdentifier, std::function<void()>>> due;
  {
    std::lock_guard lock(tasksMutex_);
    for (auto& [id, task] : tasks_)
      if (task.expiration) due.emplace_back(id, std::exchange(task.expiration, nullptr));
  }
  for (auto& [id, handler] : due) handler();
}

std::vector<std::shared_ptr<UIWindow>> UIApplication::windows() const {
  std::vector<std::shared_ptr<UIWindow>> out;
  for (auto& w : windows_)
    if (auto s = w.lock()) out.push_back(s);
  return out;
}

void UIApplication::TEST_setKeyWindow(const std::shared_ptr<UIWindow>& window) {
  std::erase_if(windows_, [&](auto& w) { return w.expired() || w.lock() == window; });
  if (window) windows_.push_back(window);
  keyWindow_ = window;
}

std::shared_ptr<UIDevice> UIDevice::currentDevice() {
  static auto& device = *new std::shared_ptr<UIDevice>(std::make_shared<UIDevice>());
  return device;
}

void UIDevice::setOrientation(UIDeviceOrientation orientation) {
  if (orientation == orientation_) return;
  orientation_ = orientation;
  if (generating_ > 0)
    os::NotificationCenter::defaultCenter()->postNotificationName(UIDeviceOrientationDidChangeNotification, this);
}

std::string UIDevice::model() const { return os::DeviceProfile::current().model; }
std::string UIDevice::name() const { return os::DeviceProfile::current().name; }
std::string UIDevice::systemName() const { return os::DeviceProfile::current().systemName; }
std::string UIDevice::systemVersion() const { return os::DeviceProfile::current().systemVersion; }

UIUserInterfaceIdiom UIDevice::userInterfaceIdiom() const { return os::DeviceProfile::current().idiom; }

std::optional<os::UUID> UIDevice::identifierForVendor() const {
  // One reader or maker at a time, so two first readers agree.
  static auto& mutex = *new std::mutex;
  std::lock_guard lock(mutex);
  const std::string folder = os::Sandbox::current()->libraryDirectory() + "/Device";
  const std::string path = folder + "/identifierForVendor";
  auto& files = os::FileManager::defaultManager();
  if (auto data = files.contentsAtPath(path)) {
    if (auto kept = os::UUID::initWithUUIDString(data->view())) return kept;
  }
  const os::UUID made;
  if (!files.createDirectoryAtPath(folder, true)) return std::nullopt;
  if (!files.createFileAtPath(path, os::Data::fromString(made.UUIDString()))) return std::nullopt;
  return made;
}

UIDevice::ScreenProfile UIDevice::screenProfile() const {
  auto p = os::DeviceProfile::current();
  ScreenProfile s;
  if (std::isfinite(p.screenWidth) && p.screenWidth > 0) s.width = p.screenWidth;
  if (std::isfinite(p.screenHeight) && p.screenHeight > 0) s.height = p.screenHeight;
  if (std::isfinite(p.screenScale) && p.screenScale > 0) s.scale = p.screenScale;
  return s;
}

namespace {
std::mutex& feedbackMutex() {
  static std::mutex m;
  return m;
}
std::vector<UIFeedbackEvent>& feedbackLog() {
  static auto& log = *new std::vector<UIFeedbackEvent>();  // never destroyed
  return log;
}
void record(UIFeedbackEvent e) {
  std::lock_guard lock(feedbackMutex());
  feedbackLog().push_back(e);
}
}  // namespace

std::vector<UIFeedbackEvent> TEST_feedbackEvents() {
  std::lock_guard lock(feedbackMutex());
  return feedbackLog();
}

void TEST_clearFeedbackEvents() {
  std::lock_guard lock(feedbackMutex());
  feedbackLog().clear();
}

void UIImpactFeedbackGenerator::impactOccurred(double intensity) {
  double i = std::isfinite(intensity) ? std::clamp(intensity, 0.0, 1.0) : 1.0;
  record({UIFeedbackEvent::Kind::Impact, static_cast<int>(style_), i});
}

void UINotificationFeedbackGenerator::notificationOccurred(UINotificationFeedbackType type) {
  record({UIFeedbackEvent::Kind::Notification, static_cast<int>(type), 1.0});
}

void UISelectionFeedbackGenerator::selectionChanged() { record({UIFeedbackEvent::Kind::Selection, 0, 1.0}); }

// --- Delegate, scenes, URLs ----------------------------------------------------

void UIApplication::setDelegate(std::shared_ptr<os::runtime::Object> delegate) {
  auto old = std::exchange(delegate_, std::move(delegate));
  // Observers may add or remove observers: call a snapshot.
  auto observers = delegateObservers_;
  for (auto& [token, observer] : observers)
    if (delegateObservers_.count(token)) observer(old, delegate_);
}

uint64_t UIApplication::addDelegateObserver(DelegateObserver observer) {
  uint64_t token = nextDelegateObserver_++;
  delegateObservers_[token] = std::move(observer);
  return token;
}

void UIApplication::removeDelegateObserver(uint64_t token) { delegateObservers_.erase(token); }

void UIApplication::TEST_connectScene(const std::shared_ptr<UIScene>& scene) {
  if (scene && std::find(scenes_.begin(), scenes_.end(), scene) == scenes_.end()) scenes_.push_back(scene);
}

void UIApplication::TEST_disconnectScene(const std::shared_ptr<UIScene>& scene) { std::erase(scenes_, scene); }

bool UIApplication::canOpenURL(const os::URL& url) const {
  if (url.empty()) return false;
  if (url.absoluteString() == UIApplicationOpenSettingsURLString) return true;
  const std::string& scheme = url.scheme();
  if (auto it = openableSchemes_.find(scheme); it != openableSchemes_.end()) return it->second;
  return scheme == "http" || scheme == "https";
}

void UIApplication::openURL(const os::URL& url, const os::Dictionary& options,
                            std::function<void(bool success)> completionHandler) {
  bool success = canOpenURL(url);
  openedURLs_.push_back({url, options, success});
  if (completionHandler)
    os::DispatchQueue::main()->async([completionHandler = std::move(completionHandler), success] {
      completionHandler(success);
    });
}

void UIApplication::TEST_setCanOpenScheme(const std::string& scheme, bool canOpen) {
  std::string lower = scheme;
  for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  openableSchemes_[lower] = canOpen;
}
