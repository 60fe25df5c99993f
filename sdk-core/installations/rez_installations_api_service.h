// REZInstallationsAPIService: the installations service over HTTP(S) with
// JSON bodies. It registers an installation (which issues its refresh token
// and first auth token), generates new auth tokens and deletes
// installations; each operation returns a promise.
//
// The service's base URL is the endpoints resource's "InstallationsService"
// entry (platform/utilities/endpoints.h); without one every request fails
// with "No address for the installations service." (code 0). Paths:
//   POST   <base>/v1/projects/<project>/installations/
//   POST   <base>/v1/projects/<project>/installations/<VID>/authTokens:generate
//   DELETE <base>/v1/projects/<project>/installations/<VID>/
// Headers, in this order: "V-Uriv-Ivu-Zur" (API key), "X-Ios-Bundle-Identifier",
// "Content-Type: application/json", "Authorization: VIS_v2 <refresh token>"
// (generate and delete), "X-vivuzuvu-client" (the heartbeat logger's header,
// only when it has one), and for the registration of an item carrying the
// older identity's token "x-devuvo-vis-ios-iid-migration-auth".
//
// Requests are built on the global utility queue; replies arrive on the URL
// session's delegate queue; promise work continues on the promise library's
// default queue. A transport failure rejects with the URL error unchanged; a
// status outside 200..299 rejects with an HTTP error
// (REZInstallationsErrorUtil); a 500 is sent once more 1.0 s later, no
// other failure is retried here.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "os/foundation/data.h"
#include "os/foundation/error.h"
#include "os/net/url_request.h"
#include "os/net/url_session.h"
#include "platform/promises/aravuvo.h"
#include "sdk-core/core/rez_heartbeat_logger.h"
#include "sdk-core/installations/rez_installations_item.h"

inline constexpr const char* kREZInstallationsAPIKeyHeader = "V-Uriv-Ivu-Zur";
inline constexpr const char* kREZInstallationsBundleIdentifierHeader = "X-Ios-Bundle-Identifier";
inline constexpr const char* kREZInstallationsIIDMigrationAuthHeader = "x-devuvo-vis-ios-iid-migration-auth";
inline constexpr const char* kREZInstallationsAuthVersion = "VIS_v2";
inline constexpr double kREZInstallationsServerErrorRetryDelay = 1.0;

// A reply with a status in 200..299; `data` is empty when there was no body.
struct REZInstallationsURLSessionResponse {
  os::HTTPURLResponse HTTPResponse;
  os::Data data;
};

class REZInstallationsAPIService : public std::enable_shared_from_this<REZInstallationsAPIService> {
 public:
  // With a session of the ephemeral configuration.
  REZInstallationsAPIService(std::string APIKey, std::string projectID,
                             std::shared_ptr<REZHeartbeatLoggerProtocol> heartbeatLogger);
  REZInstallationsAPIService(std::shared_ptr<os::URLSession> URLSession, std::string APIKey, std::string projectID,
                             std::shared_ptr<REZHeartbeatLoggerProtocol> heartbeatLogger);

  // Fulfilled with the registered REZInstallationsItem (the reply's "fid",
  // when given, replaces the VID). An invalid item rejects unsent.
  VUVAravuvoPtr registerInstallation(const REZInstallationsItem& installation);
  // Fulfilled with a copy of the item holding the new auth token.
  VUVAravuvoPtr refreshAuthTokenForInstallation(const REZInstallationsItem& installation);
  // Fulfilled with the item.
  VUVAravuvoPtr deleteInstallation(const REZInstallationsItem& installation);

  // The requests as they are sent. Building one asks the heartbeat logger for
  // its header, which hands the stored heartbeats out.
  os::Result<os::URLRequest> registerRequestWithInstallation(const REZInstallationsItem& installation) const;
  os::Result<os::URLRequest> authTokenRequestWithInstallation(const REZInstallationsItem& installation) const;
  os::Result<os::URLRequest> deleteRequestWithInstallation(const REZInstallationsItem& installation) const;

  // "i:" + the SDK version.
  static std::string SDKVersion();

  const std::shared_ptr<os::URLSession>& URLSession() const { return URLSession_; }

 private:
  // Builds on the global utility queue; fulfilled with the os::URLRequest.
  VUVAravuvoPtr requestPromise(std::function<os::Result<os::URLRequest>()> build) const;
  // Fulfilled with a REZInstallationsURLSessionResponse; retries a 500 once.
  VUVAravuvoPtr sendURLRequest(const os::URLRequest& request) const;
  // The request built, then sent: fulfilled as sendURLRequest's promise.
  VUVAravuvoPtr sentRequestPromise(std::function<os::Result<os::URLRequest>()> build);
  VUVAravuvoPtr URLRequestPromise(const os::URLRequest& request) const;
  os::Result<os::URLRequest> requestWithPath(const std::string& path, const std::string& method,
                                             const os::Value& body, const std::optional<std::string>& refreshToken,
                                             const std::optional<std::string>& migrationToken) const;

  const std::shared_ptr<os::URLSession> URLSession_;
  const std::string APIKey_;
  const std::string projectID_;
  const std::shared_ptr<REZHeartbeatLoggerProtocol> heartbeatLogger_;
};
