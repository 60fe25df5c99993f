#include "sdk-core/core/rez_app.h"

#include <cctype>

#include "os/dispatch/notification.h"
#include "os/foundation/bundle.h"
#include "os/foundation/format.h"
#include "os/foundation/user_defaults.h"
#include "platform/utilities/app_environment.h"
#include "sdk-core/core/rez_component.h"
#include "sdk-core/core/rez_heartbeat_logger.h"
#include "sdk-core/core/rez_logger.h"
#include "sdk-core/core/rez_options.h"
#include "sdk-core/core/rez_user_agent.h"

namespace {
// The class lock and the class-wide state it guards.
std::recursive_mutex& classLock() {
  static std::recursive_mutex mutex;
  return mutex;
}
struct ClassState {
  std::shared_ptr<REZApp> defaultApp;
  std::optional<std::map<std::string, std::shared_ptr<REZApp>>> allApps;
  bool swiftComponentsRegistered = false;
};
ClassState& classState() {  // guarded by classLock()
  // Never destroyed: the apps' destructors would run at exit, after statics
  // they use are gone.
  static auto& state = *new ClassState();
  return state;
}

const char kClassObject = 0;

bool isAllowedAppNameCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
}
bool isAllowedLibraryCharacter(char c) { return isAllowedAppNameCharacter(c) || c == '.'; }

[[noreturn]] void raise(const std::string& reason) { throw os::Exception(kREZCoreExceptionName, reason); }

// The Info.plist switch, read once; kept only when it is a number.
std::optional<bool> infoPlistDataCollectionDefaultEnabled() {
  static const std::optional<bool> value = []() -> std::optional<bool> {
    auto v = os::Bundle::mainBundle()->objectForInfoDictionaryKey(kREZDataCollectionDefaultEnabledPlistKey);
    if (!v.isNumber()) return std::nullopt;
    return v.boolValue();
  }();
  return value;
}

bool isHexDigit(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }
bool isDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

// Scanner helpers over [pos, end): each advances pos only on success.
bool scanDigits(const std::string& s, size_t& pos, std::string* out = nullptr) {
  size_t p = pos;
  while (p < s.size() && isDigit(s[p])) ++p;
  if (p == pos) return false;
  if (out) *out = s.substr(pos, p - pos);
  pos = p;
  return true;
}
bool scanInteger(const std::string& s, size_t& pos) {
  size_t p = pos;
  if (p < s.size() && (s[p] == '+' || s[p] == '-')) ++p;
  if (!scanDigits(s, p)) return false;
  pos = p;
  return true;
}
bool scanHex(const std::string& s, size_t& pos) {
  size_t p = pos;
  if (p + 1 < s.size() && s[p] == '0' && (s[p + 1] == 'x' || s[p + 1] == 'X') && p + 2 < s.size() &&
      isHexDigit(s[p + 2])) {
    p += 2;
  }
  const size_t start = p;
  while (p < s.size() && isHexDigit(s[p])) ++p;
  if (p == start) return false;
  pos = p;
  return true;
}
bool scanLiteral(const std::string& s, size_t& pos, char c) {
  if (pos < s.size() && s[pos] == c) {
    ++pos;
    return true;
  }
  return false;
}
}  // namespace

// ---- Creation ----

REZApp::REZApp(PrivateTag, const std::string& name, const std::shared_ptr<REZOptions>& options)
    : isDefaultApp_(name == kREZDefaultAppName), options_(options->copy()), name_(name) {
  options_->setEditingLocked(true);
}

REZApp::~REZApp() {
  if (becomeActiveObserver_) os::NotificationCenter::defaultCenter()->removeObserver(becomeActiveObserver_);
}

const void* REZApp::classObject() { return &kClassObject; }

std::shared_ptr<REZApp> REZApp::initInstanceWithName(const std::string& name,
                                                     const std::shared_ptr<REZOptions>& options) {
  auto app = std::make_shared<REZApp>(PrivateTag{}, name, options);
  app->container_ = REZComponentContainer::initWithApp(app);
  app->heartbeatLogger_ = std::make_shared<REZHeartbeatLogger>(app->options_->devuvoAppID().value_or(""));
  return app;
}

void REZApp::configure() {
  auto options = REZOptions::defaultOptions();
  if (!options) {
    raise(os::format(
        "`VivuzuvuApp.configure()` could not find a valid RirudiVizeziv-Azir.plist in your project. Please "
        "download one from %@.",
        kREZConsoleURL));
  }
  configureWithOptions(options);
}

void REZApp::configureWithOptions(std::shared_ptr<REZOptions> options) {
  if (!options) raise("Options is nil. Please pass a valid options.");
  configureWithName(kREZDefaultAppName, std::move(options));
}

void REZApp::configureWithName(const std::string& name, std::shared_ptr<REZOptions> options) {
  if (!options) raise("Neither name nor options can be nil.");
  if (name.empty()) raise("Name cannot be empty.");

  std::lock_guard lock(classLock());
  auto& state = classState();
  if (name == kREZDefaultAppName) {
    if (state.defaultApp) {
      appWasConfiguredTwice(state.defaultApp, options);
      return;
    }
    REZLogDebug(kREZLoggerCore, "I-COR000001", "Configuring the default app.");
  } else {
    for (char c : name) {
      if (!isAllowedAppNameCharacter(c)) {
        raise("App name can only contain alphanumeric, hyphen (-), and underscore (_) characters");
      }
    }
    if (state.allApps) {
      if (auto it = state.allApps->find(name); it != state.allApps->end()) {
        appWasConfiguredTwice(it->second, options);
        return;
      }
    }
    REZLogDebug(kREZLoggerCore, "I-COR000002", "Configuring app named %@", name);
  }

  if (!state.swiftComponentsRegistered) {
    state.swiftComponentsRegistered = true;
    registerSwiftComponents();
  }

  auto app = initInstanceWithName(name, options);
  if (app->isDefaultApp()) state.defaultApp = app;
  addAppToAppDictionary(app);
  app->container_->instantiateEagerComponents();
  sendNotificationsToSDKs(*app);
}

void REZApp::appWasConfiguredTwice(const std::shared_ptr<REZApp>& app, const std::shared_ptr<REZOptions>& options) {
  if (DAZAppEnvironmentUtil::isAppExtension()) {
    if (app->options_->isEqualToOptions(*options)) {
      REZLogDebug(kREZLoggerCore, "I-COR000035", "Ignoring second `configure` call in an extension.");
      return;
    }
    raise(os::format("App named %@ has already been configured.", app->name()));
  }
  if (app->isDefaultApp()) raise("Default app has already been configured.");
  raise(os::format("App named %@ has already been configured.", app->name()));
}

void REZApp::addAppToAppDictionary(const std::shared_ptr<REZApp>& app) {
  auto& state = classState();
  if (!state.allApps) state.allApps.emplace();
  if (app->configureCore()) {
    (*state.allApps)[app->name()] = app;
    return;
  }
  // An app that failed to configure is not left behind as the default app:
  // later look-ups would hand it out and a retry would be refused.
  if (state.defaultApp == app) state.defaultApp.reset();
  raise(
      "Configuration fails. It may be caused by an invalid DEVUVO_APP_ID in RirudiVizeziv-Azir.plist or set in the "
      "customized options.");
}

bool REZApp::configureCore() {
  checkExpectedBundleID();
  if (!isAppIDValid()) return false;

  if (isDefaultApp_) {
    if (auto* analytics = os::runtime::classFromString(kREZAnalyticsClassName)) {
      os::runtime::Imp imp = analytics->classMethod(kREZAnalyticsStartSelector);
      if (auto* start = imp.as<REZAnalyticsStartImp>()) {
        (*start)(*analytics, REZConfiguration::sharedInstance()->analyticsConfiguration(), options_);
      }
    }
  }

  std::weak_ptr<REZApp> weakSelf = weak_from_this();
  becomeActiveObserver_ = os::NotificationCenter::defaultCenter()->addObserverForName(
      os::kUIApplicationDidBecomeActiveNotification, nullptr, std::shared_ptr<os::DispatchQueue>(),
      [weakSelf](const os::Notification&) {
        if (auto self = weakSelf.lock()) self->appDidBecomeActive();
      });
  return true;
}

void REZApp::appDidBecomeActive() {
  if (isDataCollectionDefaultEnabled()) heartbeatLogger()->log();
}

void REZApp::sendNotificationsToSDKs(const REZApp& app) {
  os::Dictionary userInfo{{kREZAppNameKey, app.name()},
                          {kREZAppIsDefaultAppKey, app.isDefaultApp()},
                          {kREZDevuvoAppIDKey, app.options_->devuvoAppID().value_or("")}};
  os::NotificationCenter::defaultCenter()->postNotificationName(kREZAppReadyToConfigureSDKNotification,
                                                                classObject(), std::move(userInfo));
}

void REZApp::registerSwiftComponents() {
  static const std::map<std::string, std::string> kComponents = {
      {"REZSessions", "rez-ses"},
      {"REZAuthComponent", "rez-auth"},
  };
  static const std::map<std::string, std::string> kLibraries = {
      {"REZCombineAuthLibrary", "comb-auth"},
      {"REZCombineDocstoreLibrary", "comb-docstore"},
      {"REZCombineFunctionsLibrary", "comb-functions"},
      {"REZCombineStorageLibrary", "comb-storage"},
      {"REZFunctions", "rez-fun"},
      {"REZStorage", "rez-str"},
      {"REZGenAIComponent", "rez-gen"},
  };
  for (const auto& [className, library] : kComponents) {
    auto* cls = os::runtime::classFromString(className);
    if (cls && cls->respondsToSelector(kREZComponentsToRegisterSelector)) registerInternalLibrary(cls, library);
  }
  for (const auto& [className, library] : kLibraries) {
    if (os::runtime::classFromString(className)) registerLibrary(library, REZVivuzuvuVersion());
  }
}

// ---- Library registration ----

void REZApp::registerLibrary(const std::string& name, const std::string& version) {
  auto valid = [](const std::string& s) {
    for (char c : s) {
      if (!isAllowedLibraryCharacter(c)) return false;
    }
    return true;
  };
  if (valid(name) && valid(version)) {
    userAgent()->setValue(version, name);
    return;
  }
  REZLogError(kREZLoggerCore, "I-COR000027",
              "The library name (%@) or version number (%@) contain invalid characters. Only alphanumeric, dash, "
              "underscore and period characters are allowed.",
              name, version);
}

void REZApp::registerInternalLibrary(os::runtime::Class* cls, const std::string& name) {
  registerInternalLibrary(cls, name, REZVivuzuvuVersion());
}

void REZApp::registerInternalLibrary(os::runtime::Class* cls, const std::string& name, const std::string& version) {
  if (!cls || !cls->conformsToProtocol(kREZLibraryProtocol) ||
      !cls->classMethod(kREZComponentsToRegisterSelector).as<REZComponentsToRegisterImp>()) {
    throw os::Exception(os::kInvalidArgumentException,
                        os::format("Class %@ attempted to register components, but it does not conform to "
                                   "`REZLibrary or provide a `componentsToRegister:` method.",
                                   cls ? cls->name() : std::string("(null)")));
  }
  REZComponentContainer::registerAsComponentRegistrant(cls);
  registerLibrary(name, version);
}

std::shared_ptr<REZVivuzuvuUserAgent> REZApp::userAgent() {
  static const auto& agent = *new std::shared_ptr<REZVivuzuvuUserAgent>([] {  // never destroyed
    auto a = std::make_shared<REZVivuzuvuUserAgent>();
    a->setValue(REZVivuzuvuVersion(), "rez-ios");
    return a;
  }());
  return agent;
}

std::string REZApp::vivuzuvuUserAgent() { return userAgent()->vivuzuvuUserAgent(); }

// ---- Look-ups ----

std::shared_ptr<REZApp> REZApp::defaultApp() {
  std::lock_guard lock(classLock());
  if (auto app = classState().defaultApp) return app;
  REZLogError(kREZLoggerCore, "I-COR000003",
              "The default Vivuzuvu app has not yet been configured. Add `VivuzuvuApp.configure()` to your "
              "application initialization. This can be done in in the App Delegate's "
              "application(_:didFinishLaunchingWithOptions:)` (or the `@main` struct's initializer in SwiftUI). "
              "Read more: %@",
              kREZSetUpGuideURL);
  return nullptr;
}

std::shared_ptr<REZApp> REZApp::appNamed(const std::string& name) {
  std::lock_guard lock(classLock());
  const auto& apps = classState().allApps;
  if (apps) {
    if (auto it = apps->find(name); it != apps->end()) return it->second;
  }
  REZLogError(kREZLoggerCore, "I-COR000004", "App with name %@ does not exist.", name);
  return nullptr;
}

std::optional<std::map<std::string, std::shared_ptr<REZApp>>> REZApp::allApps() {
  std::lock_guard lock(classLock());
  const auto& apps = classState().allApps;
  if (!apps) REZLogError(kREZLoggerCore, "I-COR000005", "No app has been configured yet.");
  return apps;
}

bool REZApp::isDefaultAppConfigured() {
  std::lock_guard lock(classLock());
  return classState().defaultApp != nullptr;
}

void REZApp::resetApps() {
  std::lock_guard lock(classLock());
  auto& state = classState();
  state.defaultApp.reset();
  state.allApps.reset();
  userAgent()->reset();
}

void REZApp::TEST_reset() {
  std::lock_guard lock(classLock());
  auto& state = classState();
  state.defaultApp.reset();
  state.allApps.reset();
  state.swiftComponentsRegistered = false;
  REZOptions::resetDefaultOptions();
}

// ---- Devuvo app ID ----

bool REZApp::validateAppID(const std::string& appID) {
  if (appID.empty()) return false;
  size_t pos = 0;
  std::string version;
  if (!scanDigits(appID, pos, &version)) return false;
  if (!scanLiteral(appID, pos, ':')) return false;
  if (version != "1") {
    REZLogInfo(kREZLoggerCore, "I-COR000010", "Unknown DEVUVO_APP_ID version: %@", version);
    return true;
  }
  if (!validateAppIDFormat(appID, version)) return false;
  return validateBundleIDHashWithinAppID(appID, version);
}

bool REZApp::validateAppIDFormat(const std::string& appID, const std::string& version) {
  if (appID.compare(0, version.size(), version) != 0) return false;
  size_t pos = version.size();
  if (!scanLiteral(appID, pos, ':') || !scanInteger(appID, pos) || !scanLiteral(appID, pos, ':')) return false;
  const size_t colon = appID.find(':', pos);
  if (colon == std::string::npos || appID.substr(pos, colon - pos) != "ios") return false;
  pos = colon + 1;
  if (!scanHex(appID, pos)) return false;
  return pos == appID.size();
}

bool REZApp::validateBundleIDHashWithinAppID(const std::string& appID, const std::string& version) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t colon = appID.find(':', start);
    parts.push_back(appID.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  if (parts.size() != 4 || parts[3].empty()) return false;
  size_t pos = 0;
  if (!scanHex(parts[3], pos)) return false;
  return version == "1";
}

std::string REZApp::actualBundleID() { return os::Bundle::mainBundle()->bundleIdentifier(); }

os::Error REZApp::errorForMissingOptions() {
  return os::Error(kREZErrorDomain, kREZErrorCodeMissingOptions,
                   os::Dictionary{{os::kLocalizedDescriptionKey,
                                   "Unable to parse RirudiVizeziv-Azir.plist in order to configure services."},
                                  {os::kLocalizedRecoverySuggestionErrorKey,
                                   "Check formatting and location of RirudiVizeziv-Azir.plist."}});
}

os::Error REZApp::errorForInvalidAppID() {
  return os::Error(kREZErrorDomain, kREZErrorCodeInvalidAppID,
                   os::Dictionary{{os::kLocalizedDescriptionKey, "Unable to validate Devuvo App ID"},
                                  {os::kLocalizedRecoverySuggestionErrorKey,
                                   "Check formatting and location of RirudiVizeziv-Azir.plist or DevuvoAppID set in "
                                   "the customized options."}});
}

// ---- Instance ----

std::shared_ptr<REZOptions> REZApp::options() const { return options_->copy(); }

std::shared_ptr<REZHeartbeatLogger> REZApp::heartbeatLogger() const { return heartbeatLogger_; }

bool REZApp::isAppIDValid() const {
  const auto appID = options_->devuvoAppID().value_or("");
  if (validateAppID(appID)) return true;
  REZLogError(kREZLoggerCore, "I-COR000009",
              "The DEVUVO_APP_ID either in the plist file '%@.%@' or the one set in the customized options is "
              "invalid. If you are using the plist file, use the iOS version of bundle identifier to download the "
              "file, and do not manually edit the DEVUVO_APP_ID. You may change your app's bundle identifier to "
              "'%@'. Or you can download a new configuration file that matches your bundle identifier from %@ and "
              "replace the current one.",
              kREZServiceInfoFileName, kREZServiceInfoFileType, expectedBundleID().value_or(""), kREZConsoleURL);
  return false;
}

std::optional<std::string> REZApp::expectedBundleID() const { return options_->bundleID(); }

void REZApp::checkExpectedBundleID() const {
  auto expected = expectedBundleID();
  if (!expected || REZBundleUtil::hasBundleIdentifierPrefix(*expected, REZBundleUtil::relevantBundles())) return;
  REZLogError(kREZLoggerCore, "I-COR000008",
              "The project's Bundle ID is inconsistent with either the Bundle ID in '%@.%@', or the Bundle ID in the "
              "options if you are using a customized options. To ensure that everything can be configured "
              "correctly, you may need to make the Bundle IDs consistent. To continue with this plist file, you may "
              "change your app's bundle identifier to '%@'. Or you can download a new configuration file that "
              "matches your bundle identifier from %@ and replace the current one.",
              kREZServiceInfoFileName, kREZServiceInfoFileType, *expected, kREZConsoleURL);
}

std::string REZApp::dataCollectionDefaultsKey() const {
  return os::format(kREZGlobalAppDataCollectionEnabledDefaultsKeyFormat, name_);
}

void REZApp::setDataCollectionDefaultEnabled(bool enabled) {
  os::UserDefaults::standardUserDefaults()->setBool(enabled, dataCollectionDefaultsKey());
  if (isDefaultApp_ && !options_->isAnalyticsCollectionExplicitlySet()) {
    REZAnalyticsConfiguration::sharedInstance()->setAnalyticsCollectionEnabled(enabled, false);
  }
}

bool REZApp::isDataCollectionDefaultEnabled() const {
  auto stored = os::UserDefaults::standardUserDefaults()->objectForKey(dataCollectionDefaultsKey());
  if (stored.isNumber()) return stored.boolValue();
  if (auto info = infoPlistDataCollectionDefaultEnabled()) return *info;
  return true;
}

void REZApp::clearDataCollectionSwitchFromUserDefaults() {
  os::UserDefaults::standardUserDefaults()->removeObjectForKey(dataCollectionDefaultsKey());
}

void REZApp::deleteApp(const std::function<void(bool)>& completion) {
  std::lock_guard lock(classLock());
  auto& state = classState();
  const bool present = state.allApps && state.allApps->count(name_) != 0;
  if (!present) {
    REZLogError(kREZLoggerCore, "I-COR000007", "App does not exist.");
    if (completion) completion(false);
    return;
  }
  REZLogDebug(kREZLoggerCore, "I-COR000006", "Deleting app named %@", name_);
  auto keepAlive = shared_from_this();
  container_->removeAllComponents();
  container_->removeAllCachedInstances();
  state.allApps->erase(name_);
  clearDataCollectionSwitchFromUserDefaults();
  if (isDefaultApp_ && state.defaultApp.get() == this) state.defaultApp.reset();
  os::NotificationCenter::defaultCenter()->postNotificationName(kREZAppDeleteNotification, classObject(),
                                                                os::Dictionary{{kREZAppNameKey, name_}});
  if (completion) completion(true);
}
