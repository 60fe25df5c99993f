// REZInstallationsIDController: the life cycle of one app's installation.
//
// States of an app's installation and the operation behind each change:
//   no item --get--> unregistered item stored (VID change posted)
//           --register--> registered item with refresh and auth tokens
//           --token refresh (forced, or under an hour left)--> new auth token
//           --delete--> local item gone (VID change posted); the next get
//                       starts again with a new VID.
// A 401 or 404 from the service means it no longer knows the installation:
// the local item is deleted and the request starts again with a new VID, at
// most once per request (a second 401/404 reaches the caller).
//
// Invariants:
//  1. Concurrent requests of one kind share one operation (a single-operation
//     cache per kind); an unforced token request joins a running forced one,
//     never the other way round.
//  2. Registration and token requests go to the service only while the
//     backoff controller allows; otherwise they fail with code 2 at once.
//  3. The default app ("__REZAPP_DEFAULT") takes over the older instance
//     identity when there is one; other apps always get a new VID.
//
// Every operation returns a promise; the work runs on the promise library's
// default queue and the stores' queues. "REZInstallationIDDidChangeNotification"
// is posted with no object and {"REZInstallationIDDidChangeNotification":
// app name}.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/promises/aravuvo.h"
#include "sdk-core/installations/rez_installations_api_service.h"
#include "sdk-core/installations/rez_installations_backoff_controller.h"
#include "sdk-core/installations/rez_installations_iid_store.h"
#include "sdk-core/installations/rez_installations_item.h"
#include "sdk-core/installations/rez_installations_store.h"

class REZApp;

inline constexpr const char* kREZInstallationIDDidChangeNotification = "REZInstallationIDDidChangeNotification";
inline constexpr const char* kREZInstallationIDDidChangeNotificationAppNameKey = "REZInstallationIDDidChangeNotification";
// An auth token with less left than this is refreshed by an unforced request.
inline constexpr double kREZInstallationsTokenExpirationThreshold = 3600;

// Joins concurrent requests into the one pending operation. Thread-safe.
class REZInstallationsSingleOperationPromiseCache
    : public std::enable_shared_from_this<REZInstallationsSingleOperationPromiseCache> {
 public:
  using NewOperationHandler = std::function<VUVAravuvoPtr()>;

  // An empty handler throws NSInvalidArgumentException.
  explicit REZInstallationsSingleOperationPromiseCache(NewOperationHandler newOperationHandler);

  // The pending operation, or a new one from the handler, kept until it
  // settles.
  VUVAravuvoPtr getExistingPendingOrCreateNewPromise();
  // The pending operation, or null.
  VUVAravuvoPtr getExistingPendingPromise();

 private:
  const NewOperationHandler newOperationHandler_;
  std::mutex mutex_;
  VUVAravuvoPtr pendingPromise_;  // guarded by mutex_
};

class REZInstallationsIDController : public std::enable_shared_from_this<REZInstallationsIDController> {
 public:
  // The parts made from the app: the keychain store, the API service with
  // the options' API key and project ID and the app's heartbeat logger, the
  // migration stores, a backoff controller.
  static std::shared_ptr<REZInstallationsIDController> initWithApp(const REZApp& app);
  static std::shared_ptr<REZInstallationsIDController> create(
      std::string appID, std::string appName, std::shared_ptr<REZInstallationsStore> installationsStore,
      std::shared_ptr<REZInstallationsIIDStore> IIDStore, std::shared_ptr<REZInstallationsIIDTokenStore> IIDTokenStore,
      std::shared_ptr<REZInstallationsAPIService> APIService,
      std::shared_ptr<REZInstallationsBackoffController> backoffController);

  // Fulfilled with the REZInstallationsItem (stored, migrated or new).
  VUVAravuvoPtr getInstallationItem();
  // Fulfilled with a registered REZInstallationsItem whose auth token has an
  // hour or more left (or was just issued when forcing).
  VUVAravuvoPtr getAuthTokenForcingRefresh(bool forceRefresh);
  // Deletes the installation at the service (when registered) and locally.
  VUVAravuvoPtr deleteInstallation();

  const std::string& appID() const { return appID_; }
  const std::string& appName() const { return appName_; }
  bool isDefaultApp() const;

  // Use create.
  struct PrivateTag {};
  REZInstallationsIDController(PrivateTag, std::string appID, std::string appName,
                               std::shared_ptr<REZInstallationsStore> installationsStore,
                               std::shared_ptr<REZInstallationsIIDStore> IIDStore,
                               std::shared_ptr<REZInstallationsIIDTokenStore> IIDTokenStore,
                               std::shared_ptr<REZInstallationsAPIService> APIService,
                               std::shared_ptr<REZInstallationsBackoffController> backoffController);

 private:
  VUVAravuvoPtr createGetInstallationItemPromise();
  VUVAravuvoPtr createAndSaveInstallation();
  VUVAravuvoPtr migrateOrGenerateInstallation();
  REZInstallationsItem createInstallationWithVID(std::string VID, std::optional<std::string> IIDDefaultToken) const;

  // `mayRegenerate`: whether a 401/404 may still restart with a new VID.
  VUVAravuvoPtr installationWithValidAuthTokenForcingRefresh(bool forceRefresh, bool mayRegenerate);
  VUVAravuvoPtr registerInstallationIfNeeded(const REZInstallationsItem& item);
  VUVAravuvoPtr refreshAuthTokenForInstallation(const REZInstallationsItem& item);
  VUVAravuvoPtr regenerateVIDOnRefreshTokenErrorIfNeeded(const os::Error& error, bool mayRegenerate);
  void updateBackoffWithSuccess(bool success, const os::Error* APIError);

  VUVAravuvoPtr createDeleteInstallationPromise();
  VUVAravuvoPtr deleteServerInstallationIfNeeded(const REZInstallationsItem& item);
  VUVAravuvoPtr deleteInstallationLocally(const REZInstallationsItem& item);
  void postVIDDidChangeNotification() const;

  const std::string appID_;
  const std::string appName_;
  const std::shared_ptr<REZInstallationsStore> installationsStore_;
  const std::shared_ptr<REZInstallationsIIDStore> IIDStore_;
  const std::shared_ptr<REZInstallationsIIDTokenStore> IIDTokenStore_;
  const std::shared_ptr<REZInstallationsAPIService> APIService_;
  const std::shared_ptr<REZInstallationsBackoffController> backoffController_;
  // Set once by create(); each handler holds the controller weakly.
  std::shared_ptr<REZInstallationsSingleOperationPromiseCache> getInstallationPromiseCache_;
  std::shared_ptr<REZInstallationsSingleOperationPromiseCache> authTokenPromiseCache_;
  std::shared_ptr<REZInstallationsSingleOperationPromiseCache> authTokenForcingRefreshPromiseCache_;
  std::shared_ptr<REZInstallationsSingleOperationPromiseCache> deleteInstallationPromiseCache_;
};
