// Asks for the installation ID and an auth token together and waits for both,
// for callers that need them before they go on (crash reports, sessions).
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "os/foundation/error.h"
#include "sdk-core/installations/rez_installations.h"

// What arrived before the deadline.
struct REZInstallationsAnswers {
  bool timedOut = false;                      // an answer was still missing at the deadline
  bool idArrived = false;                     // the ID request answered (with an ID or an error)
  std::optional<std::string> installationID;
  std::optional<os::Error> error;             // the ID request's error
  std::string authToken;                      // empty when the token request failed or was late
};

// Starts both requests and blocks the calling thread until both have answered
// or `seconds` have passed; the deadline is fixed before the requests start.
// Answers that come later are dropped. Never call on the queue that answers.
REZInstallationsAnswers REZInstallationsAwaitIDAndToken(
    const std::function<void(REZInstallations::IDCompletion)>& idRequest,
    const std::function<void(REZInstallations::TokenCompletion)>& tokenRequest, double seconds);
