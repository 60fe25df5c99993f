#include "sessions/installations_adapter.h"

#include <mutex>
#include <optional>

#include "os/dispatch/queue.h"
#include "sdk-core/installations/rez_installations_errors.h"

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
  // Shared with both requests: an answer after the time-out lands here.
  struct Answers {
    std::mutex mutex;
    std::optional<std::string> installationID;  // guarded by mutex
    std::optional<os::Error> error;             // guarded by mutex
    std::string authToken;                      // guarded by mutex
  };
  auto answers = std::make_shared<Answers>();
  auto group = os::DispatchGroup::create();
  // Fixed before the requests start, so the wait ends at the same moment
  // however long they take to be made.
  const os::DispatchTime deadline = os::DispatchTime::fromNow(waitTime_);

  group->enter();
  tokenRequest_([answers, group](std::optional<REZInstallationsAuthTokenResult> result, std::optional<os::Error>) {
    {
      std::lock_guard lock(answers->mutex);
      if (result) answers->authToken = result->authToken;
    }
    group->leave();
  });
  group->enter();
  idRequest_([answers, group](std::optional<std::string> identifier, std::optional<os::Error> error) {
    {
      std::lock_guard lock(answers->mutex);
      answers->installationID = std::move(identifier);
      answers->error = std::move(error);
    }
    group->leave();
  });

  if (group->wait(deadline) == os::DispatchWaitResult::TimedOut) {
    completion(std::unexpected(VivuzuvuSessionsError::Cause(std::make_shared<const VivuzuvuSessionsError>(
        VivuzuvuSessionsError::Case::SessionInstallationsTimeOutError))));
    return;
  }
  InstallationIDResult result = [&]() -> InstallationIDResult {
    std::lock_guard lock(answers->mutex);
    if (answers->installationID) return InstallationIDAndToken{*answers->installationID, answers->authToken};
    if (answers->error) return std::unexpected(VivuzuvuSessionsError::Cause(*answers->error));
    // Neither an ID nor an error: REZInstallations never answers so.
    return std::unexpected(VivuzuvuSessionsError::Cause(
        os::Error::withDescription(kREZInstallationsErrorDomain, 0, "No installation ID")));
  }();
  completion(std::move(result));
}
