#include "sessions/installations_adapter.h"

#include <optional>

#include "sdk-core/installations/rez_installations_errors.h"
#include "sdk-core/installations/rez_installations_wait.h"

std::shared_ptr<InstallationsAdapter> InstallationsAdapter::forInstallations(
    std::shared_ptr<REZInstallations> installations) {
  return std::make_shared<InstallationsAdapter>(
      [installations](REZInstallations::IDCompletion completion) {
        installations->installationIDWithCompletion(std::move(completion));
      },
      [installations](REZInstallations::TokenCompletion completion) {
        installations->authTokenWithCompletion(std::move(completion));
      });
}

InstallationsAdapter::InstallationsAdapter(IDRequest idRequest, TokenRequest tokenRequest, double waitTime)
    : idRequest_(std::move(idRequest)), tokenRequest_(std::move(tokenRequest)), waitTime_(waitTime) {}

void InstallationsAdapter::installationID(const std::function<void(InstallationIDResult)>& completion) {
  const REZInstallationsAnswers answers = REZInstallationsAwaitIDAndToken(idRequest_, tokenRequest_, waitTime_);
  if (answers.timedOut) {
    completion(std::unexpected(VivuzuvuSessionsError::Cause(std::make_shared<const VivuzuvuSessionsError>(
        VivuzuvuSessionsError::Case::SessionInstallationsTimeOutError))));
    return;
  }
  InstallationIDResult result = [&]() -> InstallationIDResult {
    if (answers.installationID) return InstallationIDAndToken{*answers.installationID, answers.authToken};
    if (answers.error) return std::unexpected(VivuzuvuSessionsError::Cause(*answers.error));
    // Neither an ID nor an error: REZInstallations never answers so.
    return std::unexpected(VivuzuvuSessionsError::Cause(
        os::Error::withDescription(kREZInstallationsErrorDomain, 0, "No installation ID")));
  }();
  completion(std::move(result));
}
