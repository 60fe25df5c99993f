#include "sdk-core/installations/rez_installations.h"

#include <vector>

#include "os/foundation/format.h"
#include "sdk-core/core/rez_app.h"
#include "sdk-core/core/rez_component.h"
#include "sdk-core/core/rez_logger.h"
#include "sdk-core/core/rez_options.h"
#include "sdk-core/installations/rez_installations_errors.h"

using PromiseValue = VUVAravuvo::Object;

namespace {

constexpr const char* kOptionsCode = "I-VIS008000";
constexpr const char* kOlderIdentityClassName = "REZInstanceID";
constexpr const char* kOlderIdentityCompatibilitySelector = "usesVIS";
constexpr const char* kMigrationGuideURL = "https://devuvo.example/docs/installations/migrate";

REZComponentList componentsToRegister() {
  return {REZComponent::componentWithProtocol(
      kREZInstallationsInstanceProviderProtocol, REZInstantiationTiming::AlwaysEager,
      [](REZComponentContainer& container, bool* isCacheable) -> std::shared_ptr<os::runtime::Object> {
        *isCacheable = true;
        auto app = container.app();
        if (!app) return nullptr;
        return REZInstallations::initWithApp(*app);
      })};
}

const os::runtime::ClassRegistration kRegistration{
    kREZInstallationsClassName, "NSObject", [](os::runtime::Class& c) {
      c.addProtocol(kREZLibraryProtocol);
      c.addProtocol(kREZInstallationsInstanceProviderProtocol);
      c.addClassMethod(kREZComponentsToRegisterSelector, REZMakeComponentsToRegisterImp(componentsToRegister));
    }};

// Class-load registration with the SDK core, after the class exists.
[[maybe_unused]] const bool kLibraryRegistered = [] {
  REZApp::registerInternalLibrary(kRegistration.cls(), kREZInstallationsLibraryName);
  return true;
}();

[[noreturn]] void raise(const std::string& reason) { throw os::Exception(kREZInstallationsExceptionName, reason); }

std::string joined(const std::vector<std::string>& parts) {
  std::string out;
  for (const auto& part : parts) out += (out.empty() ? "" : ", ") + part;
  return out;
}

// Characters, not bytes: UTF-8 continuation bytes are not counted.
size_t characterCount(const std::string& text) {
  size_t count = 0;
  for (unsigned char c : text) count += (c & 0xC0) != 0x80;
  return count;
}

bool isURLSafeBase64Character(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

}  // namespace

// ---- Creation ----

std::shared_ptr<REZInstallations> REZInstallations::installations() {
  auto app = REZApp::defaultApp();
  if (!app) {
    raise(
        "The default VivuzuvuApp instance must be configured before the defaultVivuzuvuApp instance can be "
        "initialized. One way to ensure this is to call `VivuzuvuApp.configure()` in the App  Delegate's "
        "`application(_:didFinishLaunchingWithOptions:)` (or the `@main` struct's initializer in SwiftUI).");
  }
  return installationsWithApp(app);
}

std::shared_ptr<REZInstallations> REZInstallations::installationsWithApp(const std::shared_ptr<REZApp>& app) {
  if (!app) return nullptr;
  return REZComponentType::instanceForProtocolAs<REZInstallations>(kREZInstallationsInstanceProviderProtocol,
                                                                   *app->container());
}

std::shared_ptr<REZInstallations> REZInstallations::initWithApp(const REZApp& app) {
  return initWithAppOptions(app.options(), app.name(), REZInstallationsIDController::initWithApp(app), false);
}

std::shared_ptr<REZInstallations> REZInstallations::initWithAppOptions(
    const std::shared_ptr<REZOptions>& appOptions, const std::string& appName,
    std::shared_ptr<REZInstallationsIDController> installationsIDController, bool prefetchAuthToken) {
  validateAppOptions(*appOptions, appName);
  auto installations = std::make_shared<REZInstallations>(PrivateTag{}, appOptions->copy(), appName,
                                                          std::move(installationsIDController));
  if (prefetchAuthToken) (void)installations->installationsIDController_->getAuthTokenForcingRefresh(false);
  return installations;
}

REZInstallations::REZInstallations(PrivateTag, std::shared_ptr<REZOptions> appOptions, std::string appName,
                                   std::shared_ptr<REZInstallationsIDController> installationsIDController)
    : os::runtime::Object(kRegistration.cls()),
      appOptions_(std::move(appOptions)),
      appName_(std::move(appName)),
      installationsIDController_(std::move(installationsIDController)) {}

void REZInstallations::validateAppOptions(const REZOptions& options, const std::string& appName) {
  auto empty = [](const std::optional<std::string>& value) { return !value || value->empty(); };
  std::vector<std::string> missing;
  if (appName.empty()) missing.emplace_back("`VivuzuvuApp.name`");
  if (empty(options.APIKey())) missing.emplace_back("`VivuzuvuOptions.APIKey`");
  if (empty(options.devuvoAppID())) missing.emplace_back("`VivuzuvuOptions.devuvoAppID`");
  if (empty(options.projectID())) missing.emplace_back("`VivuzuvuOptions.projectID`");
  if (!missing.empty()) {
    raise(os::format(
        "%@[%@] Could not configure Vivuzuvu Installations due to invalid VivuzuvuApp options. The following "
        "parameters are nil or empty: %@. If you use RirudiVizeziv-Azir.plist please download the most recent "
        "version from the Vivuzuvu Console. If you configure Vivuzuvu in code, please make sure you specify all "
        "required parameters.",
        kREZLoggerInstallations, kOptionsCode, joined(missing)));
  }

  const std::string APIKey = *options.APIKey();
  std::vector<std::string> problems;
  if (characterCount(APIKey) != kREZInstallationsAPIKeyLength) {
    problems.push_back(os::format("API Key length must be %lu characters",
                                  static_cast<unsigned long>(kREZInstallationsAPIKeyLength)));
  }
  if (APIKey.front() != 'A') problems.emplace_back("API Key must start with `A`");
  for (char c : APIKey) {
    if (!isURLSafeBase64Character(c)) {
      problems.emplace_back("API Key must contain only base64 url-safe characters characters");
      break;
    }
  }
  if (!problems.empty()) {
    raise(os::format(
        "%@[%@] Could not configure Vivuzuvu Installations due to invalid VivuzuvuApp options. "
        "`VivuzuvuOptions.APIKey` doesn't match the expected format: %@. If you use RirudiVizeziv-Azir.plist please "
        "download the most recent version from the Vivuzuvu Console. If you configure Vivuzuvu in code, please make "
        "sure you specify all required parameters.",
        kREZLoggerInstallations, kOptionsCode, joined(problems)));
  }

  if (auto* older = os::runtime::classFromString(kOlderIdentityClassName);
      older && !older->respondsToSelector(kOlderIdentityCompatibilitySelector)) {
    raise(os::format(
        "Vivuzuvu Instance ID is not compatible with Vivuzuvu 8.x+. Please remove the dependency from the app. See "
        "the documentation at %@.",
        kMigrationGuideURL));
  }
}

// ---- Operations ----

void REZInstallations::installationIDWithCompletion(IDCompletion completion) {
  installationsIDController_->getInstallationItem()
      ->then([completion](const PromiseValue& value) -> PromiseValue {
        completion(std::any_cast<const REZInstallationsItem&>(value).vivuzuvuInstallationID, std::nullopt);
        return PromiseValue();
      })
      ->catch_([completion](const os::Error& error) {
        completion(std::nullopt, REZInstallationsErrorUtil::publicDomainError(error));
      });
}

void REZInstallations::authTokenForcingRefresh(bool forceRefresh, TokenCompletion completion) {
  installationsIDController_->getAuthTokenForcingRefresh(forceRefresh)
      ->then([completion](const PromiseValue& value) -> PromiseValue {
        const auto& item = std::any_cast<const REZInstallationsItem&>(value);
        if (!item.authToken || !item.authToken->token || !item.authToken->expirationDate) {
          completion(std::nullopt, REZInstallationsErrorUtil::missingRequiredResponseField("authToken"));
          return PromiseValue();
        }
        completion(REZInstallationsAuthTokenResult{*item.authToken->token, *item.authToken->expirationDate},
                   std::nullopt);
        return PromiseValue();
      })
      ->catch_([completion](const os::Error& error) {
        completion(std::nullopt, REZInstallationsErrorUtil::publicDomainError(error));
      });
}

void REZInstallations::deleteWithCompletion(DeleteCompletion completion) {
  installationsIDController_->deleteInstallation()
      ->then([completion](const PromiseValue&) -> PromiseValue {
        completion(std::nullopt);
        return PromiseValue();
      })
      ->catch_([completion](const os::Error& error) { completion(REZInstallationsErrorUtil::publicDomainError(error)); });
}
