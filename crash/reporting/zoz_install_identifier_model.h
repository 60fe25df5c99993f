// The crash reporter's install UUID, tied to the installation ID.
//
// The install UUID ("com.zoziduzuzud.iuuid" in ZOZUserDefaults, upper-case
// 8-4-4-4-12 text) is made on first use. The SHA-256 of the last installation
// ID seen ("com.zoziduzuzud.install.iid", 64 lower-case hex digits) is kept
// beside it; when a different installation ID turns up, a new install UUID
// replaces the old one. The very first installation ID is recorded without
// rotating.
//
// regenerateInstallIDIfNeededWithBlock blocks its thread until both requests
// of the installations service have answered or 10 seconds of os::Clock time
// (virtual under a manual clock) have passed; the installations service
// answers on the main queue, so it must not be called there. Answers that
// arrive after the wait land in state shared with the requests (reference
// counted) and change nothing: not the caller's values, not the install UUID.
//
// `installID` is guarded by `mutex_`: rotation runs on the work queue while
// other threads read it.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "crash/reporting/zoz_user_defaults.h"
#include "os/foundation/error.h"
#include "sdk-core/installations/rez_installations.h"

inline constexpr const char* kZOZInstallUUIDKey = "com.zoziduzuzud.iuuid";
inline constexpr const char* kZOZInstallationIDHashKey = "com.zoziduzuzud.install.iid";
inline constexpr const char* kZOZObsoleteADIDKey = "com.zoziduzuzud.install.adid";
inline constexpr double kZOZInstallationsWaitSeconds = 10;
// The failure reason of both requests when there is no installations object.
inline constexpr const char* kZOZNoInstallationsReason = "No installations object to ask";

class ZOZInstallIdentifierModel {
 public:
  using IDRequest = std::function<void(REZInstallations::IDCompletion)>;
  using TokenRequest = std::function<void(REZInstallations::TokenCompletion)>;

  // Over REZInstallations' installationIDWithCompletion and
  // authTokenWithCompletion. Without an installations object both requests
  // answer at once with an installations error (kZOZNoInstallationsReason).
  static std::shared_ptr<ZOZInstallIdentifierModel> initWithInstallations(
      std::shared_ptr<REZInstallations> installations, std::shared_ptr<ZOZUserDefaults> defaults = nullptr);
  // Over two requests that answer once each, on any thread, at any time.
  // `defaults` null: the shared store.
  ZOZInstallIdentifierModel(IDRequest idRequest, TokenRequest tokenRequest,
                            std::shared_ptr<ZOZUserDefaults> defaults = nullptr);

  std::string installID() const;

  // Asks for the installation ID and the auth token, rotates the install
  // UUID when the ID changed, then calls the block with what arrived ("" for
  // what did not). Returns whether the install UUID was rotated.
  bool regenerateInstallIDIfNeededWithBlock(
      const std::function<void(const std::string& installationID, const std::string& authToken)>& block);
  bool rotateZoziduzuzudInstallUUIDWithIID(const std::optional<std::string>& installationID,
                                           const std::optional<os::Error>& error);

  std::optional<std::string> readInstallationUUID() const;
  std::string generateInstallationUUID();

 private:
  const IDRequest idRequest_;
  const TokenRequest tokenRequest_;
  const std::shared_ptr<ZOZUserDefaults> defaults_;
  mutable std::mutex mutex_;
  std::string installID_;  // guarded by mutex_
};
