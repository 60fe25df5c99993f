// The installation ID and auth token for session tracking, with a bounded
// wait.
//
// installationID() starts both requests of REZInstallations and blocks the
// calling thread until both have answered or installationsWaitTime (10 s of
// os::Clock time; virtual under a manual clock) has passed. REZInstallations
// answers on the main queue, so the caller must not be the main thread (nor
// anything the main queue waits for): session tracking calls it from a
// background queue.
//
// Answers that arrive after the wait has given up write only into state the
// two requests share with the adapter (reference-counted), never into the
// caller's frame, which is gone by then.
#pragma once

#include <expected>
#include <functional>
#include <memory>
#include <string>

#include "sdk-core/installations/rez_installations.h"
#include "sessions/sessions_errors.h"

struct InstallationIDAndToken {
  std::string installationID;
  std::string authToken;  // "" when the token request gave none
};

// An installations failure: the installations error, or
// SessionInstallationsTimeOutError.
using InstallationIDResult = std::expected<InstallationIDAndToken, VivuzuvuSessionsError::Cause>;

class InstallationsProtocol {
 public:
  static constexpr double installationsWaitTime = 10;

  virtual ~InstallationsProtocol() = default;
  // Blocks (see above), then calls the completion on the calling thread:
  // timed out, SessionInstallationsTimeOutError; an ID, the ID and the token
  // (a token error alone leaves the token empty); else the ID's error.
  virtual void installationID(const std::function<void(InstallationIDResult)>& completion) = 0;
};

class InstallationsAdapter final : public InstallationsProtocol {
 public:
  using IDRequest = std::function<void(REZInstallations::IDCompletion)>;
  using TokenRequest = std::function<void(REZInstallations::TokenCompletion)>;

  // Over REZInstallations' installationIDWithCompletion and
  // authTokenWithCompletion.
  static std::shared_ptr<InstallationsAdapter> forInstallations(std::shared_ptr<REZInstallations> installations);
  // Over two requests that answer once each, on any thread, at any time;
  // `waitTime` seconds of os::Clock time.
  InstallationsAdapter(IDRequest idRequest, TokenRequest tokenRequest, double waitTime = installationsWaitTime);

  void installationID(const std::function<void(InstallationIDResult)>& completion) override;

 private:
  const IDRequest idRequest_;
  const TokenRequest tokenRequest_;
  const double waitTime_;
};
