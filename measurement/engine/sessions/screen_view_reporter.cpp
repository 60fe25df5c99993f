#include "measurement/engine/sessions/screen_view_reporter.h"

#include <utility>

#include "measurement/engine/sessions/screen.h"
#include "measurement/engine/sessions/session_reporter.h"
#include "measurement/engine/sessions/view_controller_screens.h"
#include "measurement/store/engine_services/data_type_validator.h"
#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/engine_services/event_parameters.h"
#include "measurement/store/engine_services/shorthands.h"
#include "measurement/store/monitor.h"
#include "measurement/store/numeric_util.h"
#include "os/foundation/bundle.h"
#include "os/foundation/encoding.h"
#include "os/runtime/runtime.h"
#include "os/uikit/application.h"
#include "os/uikit/view.h"
#include "os/uikit/view_controller.h"

namespace {

using apm_shorthands::monitor;

bool isValidScreenValue(const os::Value& value) {
  return APMDataTypeValidator::isValidScreenParameterValue(APMObject(value), nullptr);
}

// The engine's session reporter once the engine has started its components.
std::shared_ptr<APMSessionReporter> engineSessionReporter() {
  auto engine = APMMeasurementServices::sharedInstance();
  return engine && engine->didInitializeComponents() ? engine->sessionReporter() : nullptr;
}

// The ad-exposure reporter, found by its class name; null when it is not
// linked in.
std::shared_ptr<APMScreenActivityObserver> adExposureReporter() {
  os::runtime::Class* cls = os::runtime::classFromString(kAPMAdExposureReporterClassName);
  if (cls == nullptr) return nullptr;
  const os::runtime::Imp imp = cls->classMethod(kAPMSharedInstanceSelector);
  const auto* sharedInstance = imp.as<APMScreenActivityObserverSharedInstanceImp>();
  return sharedInstance != nullptr ? (*sharedInstance)(*cls) : nullptr;
}

// The first `maxLength` code points of the text.
std::string prefixOfCodePoints(const std::string& text, size_t maxLength) {
  size_t offset = 0;
  for (size_t taken = 0; taken < maxLength && offset < text.size(); ++taken) {
    char32_t c;
    const size_t n = os::nextUTF8(text, offset, c);
    offset += n == 0 ? 1 : n;
  }
  return text.substr(0, offset);
}

// The short class name of the key window's root view controller.
std::optional<std::string> keyWindowRootClassName() {
  const auto application = APMAEU::sharedApplication();
  if (!application) return std::nullopt;
  for (const auto& window : application->windows()) {
    if (!window->isKeyWindow()) continue;
    const auto& root = window->rootViewController();
    if (!root) return std::nullopt;
    return APMShortClassName(APMViewControllerClassName(*root));
  }
  return std::nullopt;
}

std::optional<std::string> nameOf(const std::shared_ptr<APMScreen>& screen) {
  return screen ? screen->name() : std::nullopt;
}
std::optional<std::string> classOf(const std::shared_ptr<APMScreen>& screen) {
  return screen ? screen->className() : std::nullopt;
}
APMLogContext context(const std::optional<std::string>& text) {
  return text ? APMLogContext(*text) : APMLogContext();
}

std::mutex& sharedMutex() {
  static std::mutex mutex;
  return mutex;
}
// Guarded by sharedMutex().
std::shared_ptr<APMScreenViewReporter>& sharedReporter() {
  static std::shared_ptr<APMScreenViewReporter> reporter;
  return reporter;
}

}  // namespace

bool APMScreenReportingEnabledInInfoPlist() {
  const auto bundle = os::Bundle::mainBundle();
  os::Value value = bundle->objectForInfoDictionaryKey(kAPMScreenReportingEnabledKey);
  if (value.isNull()) value = bundle->objectForInfoDictionaryKey(kAPMAutomaticScreenReportingEnabledKey);
  return value.isNumber() ? value.boolValue() : true;
}

// ---- Life ----

std::shared_ptr<APMScreenViewReporter> APMScreenViewReporter::sharedInstance() {
  std::shared_ptr<APMScreenViewReporter> made;
  {
    std::lock_guard lock(sharedMutex());
    if (sharedReporter()) return sharedReporter();
    made = std::shared_ptr<APMScreenViewReporter>(new APMScreenViewReporter());
    made->observeNotifications();
    sharedReporter() = made;
  }
  APMAppActivityServices::setSharedInstance(made);
  return made;
}

APMScreenViewReporter::APMScreenViewReporter()
    : queue_(os::DispatchQueue::serial(kAPMScreenViewReporterQueueLabel)),
      currentScreenInstanceID_(APMNumericUtil::randomInt64()) {}

APMScreenViewReporter::~APMScreenViewReporter() { os::NotificationCenter::defaultCenter()->removeObserver(this); }

void APMScreenViewReporter::observeNotifications() {
  const auto center = os::NotificationCenter::defaultCenter();
  std::weak_ptr<APMScreenViewReporter> weak = weak_from_this();
  const auto observe = [&](const char* name, void (APMScreenViewReporter::*handler)(const os::Notification&)) {
    center->addObserver(
        this,
        [weak, handler](const os::Notification& notification) {
          if (auto self = weak.lock()) ((*self).*handler)(notification);
        },
        name, nullptr);
  };
  observe(kUIWindowDidResignKeyNotification, &APMScreenViewReporter::handleWindowDidResign);
  observe(os::kUIApplicationDidBecomeActiveNotification, &APMScreenViewReporter::handleApplicationDidBecomeActive);
  observe(os::kUIApplicationWillResignActiveNotification, &APMScreenViewReporter::handleApplicationWillResignActive);
  observe(os::kUIApplicationDidEnterBackgroundNotification,
          &APMScreenViewReporter::handleApplicationDidEnterBackground);
}

void APMScreenViewReporter::syncOnQueue(const std::function<void()>& block) {
  if (queue_->isCurrent()) {
    block();
  } else {
    queue_->sync(block);
  }
}

int64_t APMScreenViewReporter::incrementScreenInstanceID() { return currentScreenInstanceID_.fetch_add(1) + 1; }

// ---- Reads ----

void APMScreenViewReporter::getScreenName(std::optional<std::string>* name, std::optional<std::string>* screenClass) {
  syncOnQueue([&] {
    if (name != nullptr) *name = nameOf(currentScreen_);
    if (screenClass != nullptr) *screenClass = classOf(currentScreen_);
  });
}

os::Dictionary APMScreenViewReporter::screenParameters() {
  os::Dictionary parameters;
  if (isInactiveForScreenEvents()) return parameters;
  syncOnQueue([&] {
    if (!currentScreen_) return;
    parameters.insert_or_assign(kAPMScreenInstanceIDParameter, os::Value(os::Number::int64(currentScreen_->instanceID())));
    const auto& className = currentScreen_->className();
    if (className && !className->empty()) parameters.insert_or_assign(kAPMScreenClassParameter, *className);
    const auto& name = currentScreen_->name();
    if (name && !name->empty()) parameters.insert_or_assign(kAPMScreenNameParameter, *name);
  });
  return parameters;
}

// ---- Screens ----

void APMScreenViewReporter::trackScreenWithParameters(const os::Dictionary& parameters, double timestamp) {
  if (isInactiveForScreenEvents()) {
    monitor()->logWithLevel(3, kAPMScreenCodeTrackNotActive, "Cannot log screen view event when the app is not active");
    return;
  }
  std::optional<std::string> name, screenClass;
  if (auto it = parameters.find(kAPMScreenViewScreenNameParameter); it != parameters.end()) {
    if (!isValidScreenValue(it->second)) {
      monitor()->logWithLevel(3, kAPMScreenCodeTrackInvalidName, "Received invalid name for screen");
      return;
    }
    name = *it->second.string();
  }
  if (auto it = parameters.find(kAPMScreenViewScreenClassParameter); it != parameters.end()) {
    if (!isValidScreenValue(it->second)) {
      monitor()->logWithLevel(3, kAPMScreenCodeTrackInvalidClass, "Received invalid class for screen");
      return;
    }
    screenClass = *it->second.string();
  }
  bool classFromCurrentScreen = false;
  if (!screenClass) {
    if (os::DispatchQueue::isMainThread()) {
      screenClass = keyWindowRootClassName();
    } else {
      classFromCurrentScreen = APMScreenReportingEnabledInInfoPlist();
    }
  }

  // The current screen is read and replaced in one step, so a change made
  // meanwhile on the queue is neither lost nor reported as the previous one
  // twice.
  std::shared_ptr<APMScreen> previous, screen;
  syncOnQueue([&] {
    if (classFromCurrentScreen) screenClass = classOf(currentScreen_);
    screen = APMScreen::initWithName(name, screenClass, incrementScreenInstanceID());
    screen->setIsManuallyTracked(true);
    screen->setEventTimestamp(timestamp);
    monitor()->logWithLevel(7, kAPMScreenCodeTrackLogging, "Logging screen view with screen name and screen class",
                            context(name), context(screenClass));
    previous = currentScreen_;
    currentScreen_ = screen;
  });

  std::weak_ptr<APMScreenViewReporter> weak = weak_from_this();
  queue_->async([weak, previous, screen, parameters] {
    auto self = weak.lock();
    if (!self) return;
    self->postScreenDidChangeNotificationWithPreviousScreen(previous, screen);
    APMParameterObjects objects;
    for (const auto& [key, value] : parameters) objects.emplace(key, value);
    APMEventParameters cleaned = APMCleanParameters(objects, kAPMScreenViewPublicEventName, true, false);
    cleaned.erase(kAPMScreenViewScreenNameParameter);
    cleaned.erase(kAPMScreenViewScreenClassParameter);
    self->logViewScreenEventWithPreviousScreen(previous, screen, APMPlainParameters(cleaned));
  });
}

void APMScreenViewReporter::setScreenName(std::optional<std::string> name, std::optional<std::string> screenClass) {
  const bool reportingEnabled = APMScreenReportingEnabledInInfoPlist();
  if (!reportingEnabled) {
    monitor()->logWithLevel(3, kAPMScreenCodeReportingDisabled,
                            "Ignoring call to setScreenName:screenClass:. Screen reporting is disabled.");
    return;
  }
  if (name && !isValidScreenValue(os::Value(*name))) {
    monitor()->logWithLevel(3, kAPMScreenCodeInvalidScreenName, "Received invalid screen name");
    return;
  }
  if (screenClass && !isValidScreenValue(os::Value(*screenClass))) {
    monitor()->logWithLevel(3, kAPMScreenCodeInvalidScreenClass, "Received invalid screen class");
    return;
  }
  syncOnQueue([&] {
    const auto stack = APMKeyWindowScreenStack();
    if (stack) stack->compact();
    const auto top = stack ? stack->top() : nullptr;
    if (!top) {
      monitor()->logWithLevel(3, kAPMScreenCodeNoViewController,
                              "setScreenName:screenClass: must be called after a view controller has appeared");
      return;
    }
    const bool sameName = name == nameOf(currentScreen_);
    if (!screenClass) screenClass = APMShortClassName(APMViewControllerClassName(*top));
    const bool sameClass = screenClass == classOf(currentScreen_);
    if (sameName && sameClass) {
      monitor()->logWithLevel(7, kAPMScreenCodeDuplicateScreen, "Ignoring duplicate screen name and screen class");
      return;
    }
    auto screen = APMScreen::initWithName(name, screenClass, incrementScreenInstanceID());
    screen->setIsManuallySet(true);
    setApmScreen(*top, screen);
    currentViewController_ = top;
    monitor()->logWithLevel(7, kAPMScreenCodeSetScreenName, "Set screen name and screen class", context(name),
                            context(screenClass));
    auto previous = std::exchange(currentScreen_, screen);
    postScreenDidChangeNotificationWithPreviousScreen(previous, screen);
    logViewScreenEventWithPreviousScreen(previous, screen, {});
  });
}

void APMScreenViewReporter::setCurrentViewController(const std::shared_ptr<UIViewController>& viewController) {
  if (!viewController) {
    monitor()->logWithLevel(3, kAPMScreenCodeNilViewController, "Received nil view controller");
    return;
  }
  syncOnQueue([&] {
    const auto engine = APMMeasurementServices::sharedInstance();
    const bool engineEnabled = engine && engine->isEnabled();
    auto screen = apmScreen(*viewController);
    std::string className = APMShortClassName(APMViewControllerClassName(*viewController));
    if (engineEnabled && currentViewController_.lock() == viewController) {
      monitor()->logWithLevel(7, kAPMScreenCodeAlreadyTracked, "View controller already tracked. Class, ID", className,
                              screen ? APMLogContext(screen->instanceID()) : APMLogContext());
      return;
    }
    const auto maxLength = APMMeasurementServices::remoteConfig()->maxPublicEventParameterValueLength();
    if (maxLength >= 0 && os::utf32Length(className) > static_cast<size_t>(maxLength)) {
      std::string trimmed = prefixOfCodePoints(className, static_cast<size_t>(maxLength));
      monitor()->logWithLevel(7, kAPMScreenCodeTrimmedClassName,
                              "Trimmed name of default screen class. Original screen class, trimmed screen class",
                              className, trimmed);
      className = std::move(trimmed);
    }
    if (!isValidScreenValue(os::Value(className))) {
      monitor()->logWithLevel(3, kAPMScreenCodeInvalidDefaultClass, "Received invalid default screen class");
      return;
    }
    if (!screen) {
      screen = APMScreen::initWithName(std::nullopt, className, incrementScreenInstanceID());
      setApmScreen(*viewController, screen);
    }
    currentViewController_ = viewController;
    if (screen == currentScreen_) return;
    if (engineEnabled) {
      monitor()->logWithLevel(7, kAPMScreenCodeTrackingViewController, "Tracking view controller. Class, ID",
                              className, screen->instanceID());
    }
    auto previous = currentScreen_ ? currentScreen_->copy() : nullptr;
    currentScreen_ = screen;
    postScreenDidChangeNotificationWithPreviousScreen(previous, screen);
    if (APMScreenReportingEnabledInInfoPlist()) logViewScreenEventWithPreviousScreen(previous, screen, {});
  });
}

// ---- View-controller transitions ----

void APMScreenViewReporter::trackCurrentViewControllerFromStack(const APMScreenStack& stack) {
  const auto current = APMCurrentViewControllerFromStack(stack);
  if (current && APMIsTrackableViewController(*current)) setCurrentViewController(current);
}

void APMScreenViewReporter::viewControllerDidAppear(const std::shared_ptr<UIViewController>& viewController) {
  if (!viewController) return;
  const bool trackable = APMIsTrackableViewController(*viewController);
  if (auto stack = APMKeyWindowScreenStack()) {
    const auto window = APMAEU::sharedApplication()->keyWindow();
    if (window && window->rootViewController() == viewController && !stack->empty() &&
        stack->at(0) != viewController) {
      // A new root starts a new stack.
      stack = std::make_shared<APMScreenStack>();
      setApmStack(*window, stack);
    }
    if (const size_t index = APMIndexOfViewControllerInStack(*viewController, *stack); index != APMScreenStack::npos) {
      stack->removeAt(index);
    }
    if (trackable) stack->append(viewController);
    stack->compact();
    trackCurrentViewControllerFromStack(*stack);
  }
  if (auto delegate = vivuzuvuPerfDelegate()) delegate->viewControllerDidAppear(viewController, trackable);
}

void APMScreenViewReporter::viewControllerDidDisappear(const std::shared_ptr<UIViewController>& viewController) {
  if (!viewController) return;
  if (auto stack = APMKeyWindowScreenStack()) {
    // The bottom entry stays: it is what the window falls back to.
    if (const size_t index = APMIndexOfViewControllerInStack(*viewController, *stack);
        index != APMScreenStack::npos && index != 0) {
      stack->removeAt(index);
    }
    stack->compact();
    trackCurrentViewControllerFromStack(*stack);
  }
  if (auto delegate = vivuzuvuPerfDelegate()) delegate->viewControllerDidDisappear(viewController);
}

void APMScreenViewReporter::handleWindowDidResign(const os::Notification&) {
  const auto stack = APMKeyWindowScreenStack();
  if (stack && !stack->empty()) trackCurrentViewControllerFromStack(*stack);
}

void APMScreenViewReporter::postScreenDidChangeNotificationWithPreviousScreen(
    const std::shared_ptr<APMScreen>& previousScreen, const std::shared_ptr<APMScreen>& newScreen) {
  if (!isAppActive_) return;
  if (previousScreen) {
    if (auto sessionReporter = engineSessionReporter()) {
      sessionReporter->handleScreenDidChangeFromScreen(previousScreen, newScreen);
    }
  }
  if (auto adExposure = adExposureReporter()) adExposure->handleScreenDidChangeFromScreen(previousScreen, newScreen);
}

void APMScreenViewReporter::logViewScreenEventWithPreviousScreen(const std::shared_ptr<APMScreen>& previousScreen,
                                                                 const std::shared_ptr<APMScreen>& newScreen,
                                                                 const os::Dictionary& extraParameters) {
  if (!newScreen) return;
  if (isInactiveForScreenEvents()) {
    monitor()->logWithLevel(7, kAPMScreenCodeNotActive, "Screen view event not logged. App is not active.");
    return;
  }
  os::Dictionary parameters = extraParameters;
  for (auto& [key, value] : APMScreenParametersForScreen(*newScreen)) parameters.insert_or_assign(key, value);
  if (previousScreen) {
    for (auto& [key, value] : APMPreviousScreenParametersForScreen(*previousScreen)) {
      parameters.insert_or_assign(key, value);
    }
    const auto sessionReporter = engineSessionReporter();
    if (sessionReporter && APMMeasurementServices::remoteConfig()->efficientEngagementReportingEnabled()) {
      const int64_t milliseconds = sessionReporter->cutFreerideEngagementTimeMillis();
      if (milliseconds >= 1) {
        parameters.insert_or_assign(kAPMEngagementTimeParameter, os::Value(os::Number::int64(milliseconds)));
      }
    }
  }
  if (!APMScreenReportingEnabledInInfoPlist()) {
    parameters.insert_or_assign(kAPMManualScreenTrackingParameter, os::Value(os::Number::int64(1)));
  }
  const bool hasScreenParameter = parameters.contains(kAPMScreenInstanceIDParameter) ||
                                  parameters.contains(kAPMScreenClassParameter) ||
                                  parameters.contains(kAPMScreenNameParameter);
  if (!hasScreenParameter) {
    monitor()->logWithLevel(1, kAPMScreenCodeEmptyParameters,
                            "Screen view event not logged. Screen parameters were empty");
    return;
  }
  previousScreen_ = newScreen;
  auto analytics = APMAnalyticsServices::sharedInstance();
  if (!analytics) return;
  if (newScreen->isManuallyTracked()) {
    analytics->logInternalEventWithOrigin(kAPMAppOrigin, kAPMScreenViewEventName, newScreen->eventTimestamp(),
                                          parameters);
  } else {
    analytics->logInternalEventWithOrigin(kAPMAutoOrigin, kAPMScreenViewEventName, parameters);
  }
}

// ---- Delegate ----

void APMScreenViewReporter::setVivuzuvuPerfDelegate(const std::shared_ptr<APMScreenViewReporterDelegate>& delegate) {
  std::lock_guard lock(delegateMutex_);
  if (delegate && delegate_.lock()) {
    monitor()->logWithLevel(3, kAPMScreenCodeDelegateOverride, "Tried to override screen reporter delegate");
    return;
  }
  delegate_ = delegate;
}

std::shared_ptr<APMScreenViewReporterDelegate> APMScreenViewReporter::vivuzuvuPerfDelegate() const {
  std::lock_guard lock(delegateMutex_);
  return delegate_.lock();
}

// ---- Activity ----

void APMScreenViewReporter::handleApplicationDidBecomeActive(const os::Notification&) {
  isAppActive_ = true;
  appHasBeenInitialized_ = true;
  if (auto sessionReporter = engineSessionReporter()) sessionReporter->handleAppDidBecomeActive();
  if (auto adExposure = adExposureReporter()) adExposure->handleAppDidBecomeActive();
  std::weak_ptr<APMScreenViewReporter> weak = weak_from_this();
  queue_->async([weak] {
    auto self = weak.lock();
    if (!self) return;
    // A screen that changed while the app was away is reported now.
    if (self->previousScreen_ != self->currentScreen_ && APMScreenReportingEnabledInInfoPlist()) {
      self->logViewScreenEventWithPreviousScreen(self->previousScreen_, self->currentScreen_, {});
    }
  });
}

void APMScreenViewReporter::handleApplicationWillResignActive(const os::Notification&) {
  std::shared_ptr<APMScreen> screen;
  if (APMScreenReportingEnabledInInfoPlist() && isAppActive_) syncOnQueue([&] { screen = currentScreen_; });
  if (auto sessionReporter = engineSessionReporter()) sessionReporter->handleAppWillResignActiveWithScreen(screen);
  if (auto adExposure = adExposureReporter()) adExposure->handleAppWillResignActiveWithScreen(screen);
}

void APMScreenViewReporter::handleApplicationDidEnterBackground(const os::Notification&) { isAppActive_ = false; }

// ---- For tests ----

void APMScreenViewReporter::TEST_reset() {
  {
    std::lock_guard lock(sharedMutex());
    sharedReporter().reset();
  }
  APMAppActivityServices::setSharedInstance(nullptr);
}

void APMScreenViewReporter::TEST_flush() {
  queue_->sync([] {});
}

std::shared_ptr<APMScreen> APMScreenViewReporter::TEST_currentScreen() {
  std::shared_ptr<APMScreen> screen;
  syncOnQueue([&] { screen = currentScreen_; });
  return screen;
}

std::shared_ptr<APMScreen> APMScreenViewReporter::TEST_previousScreen() {
  std::shared_ptr<APMScreen> screen;
  syncOnQueue([&] { screen = previousScreen_; });
  return screen;
}
