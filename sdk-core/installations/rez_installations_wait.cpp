#include "sdk-core/installations/rez_installations_wait.h"

#include <memory>
#include <mutex>

#include "os/dispatch/queue.h"

REZInstallationsAnswers REZInstallationsAwaitIDAndToken(
    const std::function<void(REZInstallations::IDCompletion)>& idRequest,
    const std::function<void(REZInstallations::TokenCompletion)>& tokenRequest, double seconds) {
  // Shared with both requests: an answer after the wait lands here, never in
  // this frame.
  struct Shared {
    std::mutex mutex;
    REZInstallationsAnswers answers;  // guarded by mutex
  };
  auto shared = std::make_shared<Shared>();
  auto group = os::DispatchGroup::create();
  // Fixed before the requests start, so the wait ends at the same moment
  // however long they take to be made.
  const os::DispatchTime deadline = os::DispatchTime::fromNow(seconds);

  group->enter();
  tokenRequest([shared, group](std::optional<REZInstallationsAuthTokenResult> result, std::optional<os::Error>) {
    {
      std::lock_guard lock(shared->mutex);
      if (result) shared->answers.authToken = result->authToken;
    }
    group->leave();
  });
  group->enter();
  idRequest([shared, group](std::optional<std::string> identifier, std::optional<os::Error> error) {
    {
      std::lock_guard lock(shared->mutex);
      shared->answers.idArrived = true;
      shared->answers.installationID = std::move(identifier);
      shared->answers.error = std::move(error);
    }
    group->leave();
  });

  const bool timedOut = group->wait(deadline) == os::DispatchWaitResult::TimedOut;
  // Taken once: later answers no longer reach the caller.
  std::lock_guard lock(shared->mutex);
  REZInstallationsAnswers answers = shared->answers;
  answers.timedOut = timedOut;
  return answers;
}
