// REZInstallations: the installation ID (VID) and auth token of an app, for
// the SDKs built on the core.
//
// A component of every app's container, created eagerly when the app is
// configured: the class registers itself at class-load time as the library
// "rez-install" and provides "REZInstallationsInstanceProvider" (timing 1,
// cached). Creating it checks the app's options and throws os::Exception
// named "com.vivuzuvu.installations" when the app name, API key, Devuvo app ID
// or project ID is empty ("I-VIS008000"), when the API key is not 39
// characters of letters, digits, "-" and "_" starting with "A", or when an
// incompatible older identity class ("REZInstanceID" without "usesVIS") is
// present.
//
// The work is done by REZInstallationsIDController. Completions run on the
// promise library's default queue (the main queue); every failure reaches
// them as an error of "com.vivuzuvu.installations" (an error of another
// domain, such as a network error, as the underlying error of code 0).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "os/foundation/date.h"
#include "os/foundation/error.h"
#include "os/runtime/runtime.h"
#include "sdk-core/installations/rez_installations_id_controller.h"

class REZApp;
class REZOptions;

inline constexpr const char* kREZInstallationsClassName = "REZInstallations";
inline constexpr const char* kREZInstallationsLibraryName = "rez-install";
inline constexpr const char* kREZInstallationsInstanceProviderProtocol = "REZInstallationsInstanceProvider";
inline constexpr const char* kREZInstallationsExceptionName = "com.vivuzuvu.installations";
inline constexpr size_t kREZInstallationsAPIKeyLength = 39;

struct REZInstallationsAuthTokenResult {
  std::string authToken;
  os::Date expirationDate;
};

class REZInstallations : public os::runtime::Object {
 public:
  using IDCompletion = std::function<void(std::optional<std::string> identifier, std::optional<os::Error> error)>;
  using TokenCompletion =
      std::function<void(std::optional<REZInstallationsAuthTokenResult> result, std::optional<os::Error> error)>;
  using DeleteCompletion = std::function<void(std::optional<os::Error> error)>;

  // The default app's instance; throws "com.vivuzuvu.installations" when the
  // default app is not configured.
  static std::shared_ptr<REZInstallations> installations();
  // The instance of the app's container.
  static std::shared_ptr<REZInstallations> installationsWithApp(const std::shared_ptr<REZApp>& app);
  // A new instance for the app, with its own controller. Throws as above.
  static std::shared_ptr<REZInstallations> initWithApp(const REZApp& app);
  static std::shared_ptr<REZInstallations> initWithAppOptions(
      const std::shared_ptr<REZOptions>& appOptions, const std::string& appName,
      std::shared_ptr<REZInstallationsIDController> installationsIDController, bool prefetchAuthToken);

  void installationIDWithCompletion(IDCompletion completion);
  void authTokenWithCompletion(TokenCompletion completion) { authTokenForcingRefresh(false, std::move(completion)); }
  void authTokenForcingRefresh(bool forceRefresh, TokenCompletion completion);
  void deleteWithCompletion(DeleteCompletion completion);

  // Throws as described at the top.
  static void validateAppOptions(const REZOptions& options, const std::string& appName);

  std::shared_ptr<REZOptions> appOptions() const { return appOptions_; }
  const std::string& appName() const { return appName_; }
  const std::shared_ptr<REZInstallationsIDController>& installationsIDController() const {
    return installationsIDController_;
  }

  // Use the factories.
  struct PrivateTag {};
  REZInstallations(PrivateTag, std::shared_ptr<REZOptions> appOptions, std::string appName,
                   std::shared_ptr<REZInstallationsIDController> installationsIDController);

 private:
  const std::shared_ptr<REZOptions> appOptions_;
  const std::string appName_;
  const std::shared_ptr<REZInstallationsIDController> installationsIDController_;
};
