#include "sdk-core/installations/rez_installations_id_controller.h"

#include "os/dispatch/notification.h"
#include "os/foundation/format.h"
#include "sdk-core/core/rez_app.h"
#include "sdk-core/core/rez_logger.h"
#include "sdk-core/core/rez_options.h"
#include "sdk-core/installations/rez_installations_errors.h"

using Object = VUVAravuvo::Object;

namespace {

const REZInstallationsItem& itemOf(const Object& value) { return std::any_cast<const REZInstallationsItem&>(value); }

VUVAravuvoPtr rejected(os::Error error) { return VUVAravuvo::resolvedWith(std::move(error)); }

os::Error controllerGoneError() {
  return REZInstallationsErrorUtil::errorWithFailureReason("The installations object was released.");
}

bool tokenExpiresSoon(const REZInstallationsItem& item) {
  if (!item.authToken || !item.authToken->expirationDate) return true;
  return item.authToken->expirationDate->timeIntervalSinceNow() < kREZInstallationsTokenExpirationThreshold;
}

}  // namespace

// ---- REZInstallationsSingleOperationPromiseCache ----

REZInstallationsSingleOperationPromiseCache::REZInstallationsSingleOperationPromiseCache(
    NewOperationHandler newOperationHandler)
    : newOperationHandler_(std::move(newOperationHandler)) {
  if (!newOperationHandler_) {
    throw os::Exception(os::kInvalidArgumentException, "`newOperationHandler` must not be `nil`.");
  }
}

VUVAravuvoPtr REZInstallationsSingleOperationPromiseCache::getExistingPendingOrCreateNewPromise() {
  std::lock_guard lock(mutex_);
  if (pendingPromise_) return pendingPromise_;
  VUVAravuvoPtr promise = newOperationHandler_();
  if (!promise) return promise;
  pendingPromise_ = promise;
  std::weak_ptr<REZInstallationsSingleOperationPromiseCache> weakSelf = weak_from_this();
  std::weak_ptr<VUVAravuvo> weakPromise = promise;
  auto clear = [weakSelf, weakPromise] {
    auto self = weakSelf.lock();
    if (!self) return;
    std::lock_guard lock(self->mutex_);
    if (self->pendingPromise_ && self->pendingPromise_ == weakPromise.lock()) self->pendingPromise_.reset();
  };
  promise->observeOnQueue(
      VUVAravuvo::defaultDispatchQueue(), [clear](const Object&) { clear(); }, [clear](const os::Error&) { clear(); });
  return promise;
}

VUVAravuvoPtr REZInstallationsSingleOperationPromiseCache::getExistingPendingPromise() {
  std::lock_guard lock(mutex_);
  return pendingPromise_;
}

// ---- Creation ----

std::shared_ptr<REZInstallationsIDController> REZInstallationsIDController::initWithApp(const REZApp& app) {
  auto options = app.options();
  auto secureStorage = std::make_shared<DAZKeychainStorage>(kREZInstallationsStoreService);
  auto store = std::make_shared<REZInstallationsStore>(secureStorage, options->appGroupID());
  auto APIService = std::make_shared<REZInstallationsAPIService>(
      options->APIKey().value_or(""), options->projectID().value_or(""), app.heartbeatLogger());
  return create(options->devuvoAppID().value_or(""), app.name(), std::move(store),
                std::make_shared<REZInstallationsIIDStore>(),
                std::make_shared<REZInstallationsIIDTokenStore>(options->VCMSenderID().value_or("")),
                std::move(APIService), std::make_shared<REZInstallationsBackoffController>());
}

std::shared_ptr<REZInstallationsIDController> REZInstallationsIDController::create(
    std::string appID, std::string appName, std::shared_ptr<REZInstallationsStore> installationsStore,
    std::shared_ptr<REZInstallationsIIDStore> IIDStore, std::shared_ptr<REZInstallationsIIDTokenStore> IIDTokenStore,
    std::shared_ptr<REZInstallationsAPIService> APIService,
    std::shared_ptr<REZInstallationsBackoffController> backoffController) {
  auto controller = std::make_shared<REZInstallationsIDController>(
      PrivateTag{}, std::move(appID), std::move(appName), std::move(installationsStore), std::move(IIDStore),
      std::move(IIDTokenStore), std::move(APIService), std::move(backoffController));
  std::weak_ptr<REZInstallationsIDController> weak = controller;
  auto makeCache = [weak](std::function<VUVAravuvoPtr(REZInstallationsIDController&)> operation) {
    return std::make_shared<REZInstallationsSingleOperationPromiseCache>([weak, operation]() -> VUVAravuvoPtr {
      auto self = weak.lock();
      if (!self) return rejected(controllerGoneError());
      return operation(*self);
    });
  };
  controller->getInstallationPromiseCache_ =
      makeCache([](REZInstallationsIDController& self) { return self.createGetInstallationItemPromise(); });
  controller->authTokenPromiseCache_ = makeCache([](REZInstallationsIDController& self) {
    return self.installationWithValidAuthTokenForcingRefresh(false, true);
  });
  controller->authTokenForcingRefreshPromiseCache_ = makeCache([](REZInstallationsIDController& self) {
    return self.installationWithValidAuthTokenForcingRefresh(true, true);
  });
  controller->deleteInstallationPromiseCache_ =
      makeCache([](REZInstallationsIDController& self) { return self.createDeleteInstallationPromise(); });
  return controller;
}

REZInstallationsIDController::REZInstallationsIDController(
    PrivateTag, std::string appID, std::string appName, std::shared_ptr<REZInstallationsStore> installationsStore,
    std::shared_ptr<REZInstallationsIIDStore> IIDStore, std::shared_ptr<REZInstallationsIIDTokenStore> IIDTokenStore,
    std::shared_ptr<REZInstallationsAPIService> APIService,
    std::shared_ptr<REZInstallationsBackoffController> backoffController)
    : appID_(std::move(appID)),
      appName_(std::move(appName)),
      installationsStore_(std::move(installationsStore)),
      IIDStore_(std::move(IIDStore)),
      IIDTokenStore_(std::move(IIDTokenStore)),
      APIService_(std::move(APIService)),
      backoffController_(std::move(backoffController)) {}

bool REZInstallationsIDController::isDefaultApp() const { return appName_ == kREZDefaultAppName; }

// ---- Get installation ----

VUVAravuvoPtr REZInstallationsIDController::getInstallationItem() {
  return getInstallationPromiseCache_->getExistingPendingOrCreateNewPromise();
}

VUVAravuvoPtr REZInstallationsIDController::createGetInstallationItemPromise() {
  REZLogDebug(kREZLoggerInstallations, "I-VIS002000", "%s, appName: %@",
              "-[REZInstallationsIDController createGetInstallationItemPromise]", appName_);
  auto self = shared_from_this();
  return installationsStore_->installationForAppID(appID_, appName_)
      ->then([](const Object& value) -> Object {
        if (auto valid = itemOf(value).isValid(); !valid) {
          REZLogWarning(kREZLoggerInstallations, "I-VIS002004", "Stored installation validation error: %@",
                        valid.error());
          return valid.error();
        }
        return value;
      })
      ->recover([self](const os::Error&) -> Object { return self->createAndSaveInstallation(); })
      ->then([self](const Object& value) -> Object {
        // Fetch a token in the background; its outcome reaches no one.
        (void)self->getAuthTokenForcingRefresh(false);
        return value;
      });
}

VUVAravuvoPtr REZInstallationsIDController::createAndSaveInstallation() {
  auto self = shared_from_this();
  return migrateOrGenerateInstallation()
      ->then([self](const Object& value) -> Object {
        return self->installationsStore_->saveInstallation(itemOf(value))->then([value](const Object&) -> Object {
          return value;
        });
      })
      ->then([self](const Object& value) -> Object {
        self->postVIDDidChangeNotification();
        return value;
      });
}

VUVAravuvoPtr REZInstallationsIDController::migrateOrGenerateInstallation() {
  auto self = shared_from_this();
  if (!isDefaultApp()) {
    return VUVAravuvo::resolvedWith(createInstallationWithVID(REZInstallationsItem::generateVID(), std::nullopt));
  }
  // The token is read only when an identifier exists: both are needed, and
  // without the identifier's flag file the keychain is not asked at all.
  return IIDStore_->existingIID()
      ->then([self](const Object& IID) -> Object {
        const std::string identifier = std::any_cast<std::string>(IID);
        return self->IIDTokenStore_->existingIIDDefaultToken()->then([self, identifier](const Object& token) -> Object {
          return self->createInstallationWithVID(identifier, std::any_cast<std::string>(token));
        });
      })
      ->recover([self](const os::Error&) -> Object {
        return self->createInstallationWithVID(REZInstallationsItem::generateVID(), std::nullopt);
      });
}

REZInstallationsItem REZInstallationsIDController::createInstallationWithVID(
    std::string VID, std::optional<std::string> IIDDefaultToken) const {
  REZInstallationsItem item(appID_, appName_);
  item.vivuzuvuInstallationID = std::move(VID);
  item.IIDDefaultToken = std::move(IIDDefaultToken);
  item.registrationStatus = REZInstallationsRegistrationStatus::Unregistered;
  return item;
}

// ---- Auth token ----

VUVAravuvoPtr REZInstallationsIDController::getAuthTokenForcingRefresh(bool forceRefresh) {
  if (forceRefresh) return authTokenForcingRefreshPromiseCache_->getExistingPendingOrCreateNewPromise();
  if (auto forcing = authTokenForcingRefreshPromiseCache_->getExistingPendingPromise()) return forcing;
  return authTokenPromiseCache_->getExistingPendingOrCreateNewPromise();
}

VUVAravuvoPtr REZInstallationsIDController::installationWithValidAuthTokenForcingRefresh(bool forceRefresh,
                                                                                        bool mayRegenerate) {
  REZLogDebug(kREZLoggerInstallations, "I-VIS002001",
              "-[REZInstallationsIDController installationWithValidAuthTokenForcingRefresh:%@], appName: %@",
              os::Value(static_cast<long>(forceRefresh)), appName_);
  auto self = shared_from_this();
  return getInstallationItem()
      ->then([self](const Object& value) -> Object { return self->registerInstallationIfNeeded(itemOf(value)); })
      ->then([self, forceRefresh](const Object& value) -> Object {
        const REZInstallationsItem& item = itemOf(value);
        if (forceRefresh || tokenExpiresSoon(item)) return self->refreshAuthTokenForInstallation(item);
        return value;
      })
      ->recover([self, mayRegenerate](const os::Error& error) -> Object {
        return self->regenerateVIDOnRefreshTokenErrorIfNeeded(error, mayRegenerate);
      });
}

VUVAravuvoPtr REZInstallationsIDController::registerInstallationIfNeeded(const REZInstallationsItem& item) {
  if (item.registrationStatus == REZInstallationsRegistrationStatus::Registered) {
    return VUVAravuvo::resolvedWith(item);
  }
  if (!backoffController_->isNextRequestAllowed()) return rejected(REZInstallationsErrorUtil::backoffIntervalWaitError());
  auto self = shared_from_this();
  const std::optional<std::string> sentVID = item.vivuzuvuInstallationID;
  return APIService_->registerInstallation(item)
      ->catch_([self](const os::Error& error) {
        self->updateBackoffWithSuccess(false, &error);
        const auto status = REZInstallationsErrorUtil::HTTPStatusCodeOfError(error);
        if (status == kREZInstallationsHTTPCodeBadRequest || status == kREZInstallationsHTTPCodeForbidden ||
            status == kREZInstallationsHTTPCodeNotFound) {
          REZLogError(kREZLoggerInstallations, "I-VIS002003",
                      "Vivuzuvu Installation registration failed for app with name: %@, error:\n%@\nPlease make "
                      "sure you use valid RirudiVizeziv-Azir.plist",
                      self->appName_, error.localizedFailureReason());
        }
      })
      ->then([self, sentVID](const Object& value) -> Object {
        self->updateBackoffWithSuccess(true, nullptr);
        return self->installationsStore_->saveInstallation(itemOf(value))
            ->then([self, sentVID, value](const Object&) -> Object {
              if (itemOf(value).vivuzuvuInstallationID != sentVID) self->postVIDDidChangeNotification();
              return value;
            });
      });
}

VUVAravuvoPtr REZInstallationsIDController::refreshAuthTokenForInstallation(const REZInstallationsItem& item) {
  if (!backoffController_->isNextRequestAllowed()) return rejected(REZInstallationsErrorUtil::backoffIntervalWaitError());
  auto self = shared_from_this();
  return APIService_->refreshAuthTokenForInstallation(item)
      ->catch_([self](const os::Error& error) { self->updateBackoffWithSuccess(false, &error); })
      ->then([self](const Object& value) -> Object {
        self->updateBackoffWithSuccess(true, nullptr);
        return self->installationsStore_->saveInstallation(itemOf(value))->then([value](const Object&) -> Object {
          return value;
        });
      });
}

VUVAravuvoPtr REZInstallationsIDController::regenerateVIDOnRefreshTokenErrorIfNeeded(const os::Error& error,
                                                                                    bool mayRegenerate) {
  const auto status = REZInstallationsErrorUtil::HTTPStatusCodeOfError(error);
  const bool unknownToService =
      status == kREZInstallationsHTTPCodeUnauthorized || status == kREZInstallationsHTTPCodeNotFound;
  // One new VID per request: a service that keeps answering 401/404 would
  // otherwise make register and generate loop without end.
  if (!unknownToService || !mayRegenerate) return rejected(error);
  auto self = shared_from_this();
  return getInstallationItem()
      ->then([self](const Object& value) -> Object { return self->deleteInstallationLocally(itemOf(value)); })
      ->then([self](const Object&) -> Object { return self->installationWithValidAuthTokenForcingRefresh(false, false); });
}

void REZInstallationsIDController::updateBackoffWithSuccess(bool success, const os::Error* APIError) {
  if (success) {
    backoffController_->registerEvent(REZInstallationsBackoffEvent::Success);
    return;
  }
  const auto status = APIError ? REZInstallationsErrorUtil::HTTPStatusCodeOfError(*APIError) : std::nullopt;
  if (!status) return;  // not an HTTP error: a network failure counts for nothing
  switch (*status) {
    case kREZInstallationsHTTPCodeBadRequest:
    case kREZInstallationsHTTPCodeForbidden:
      backoffController_->registerEvent(REZInstallationsBackoffEvent::UnrecoverableFailure);
      break;
    case kREZInstallationsHTTPCodeUnauthorized:
    case kREZInstallationsHTTPCodeNotFound:
      break;  // the installation is regenerated instead
    default:
      backoffController_->registerEvent(REZInstallationsBackoffEvent::RecoverableFailure);
      break;
  }
}

// ---- Delete ----

VUVAravuvoPtr REZInstallationsIDController::deleteInstallation() {
  return deleteInstallationPromiseCache_->getExistingPendingOrCreateNewPromise();
}

VUVAravuvoPtr REZInstallationsIDController::createDeleteInstallationPromise() {
  REZLogDebug(kREZLoggerInstallations, "I-VIS002002", "%s, appName: %@",
              "-[REZInstallationsIDController createDeleteInstallationPromise]", appName_);
  VUVAravuvoPtr start = authTokenForcingRefreshPromiseCache_->getExistingPendingPromise();
  if (!start) start = authTokenPromiseCache_->getExistingPendingPromise();
  if (!start) start = getInstallationPromiseCache_->getExistingPendingPromise();
  if (!start) start = installationsStore_->installationForAppID(appID_, appName_);
  auto self = shared_from_this();
  return start
      ->then([self](const Object& value) -> Object { return self->deleteServerInstallationIfNeeded(itemOf(value)); })
      ->then([self](const Object& value) -> Object { return self->deleteInstallationLocally(itemOf(value)); });
}

VUVAravuvoPtr REZInstallationsIDController::deleteServerInstallationIfNeeded(const REZInstallationsItem& item) {
  if (item.registrationStatus != REZInstallationsRegistrationStatus::Registered) return VUVAravuvo::resolvedWith(item);
  return APIService_->deleteInstallation(item)->recover([item](const os::Error& error) -> Object {
    // Unknown to the service already: deleted as far as it is concerned.
    if (REZInstallationsErrorUtil::isAPIError(error, kREZInstallationsHTTPCodeNotFound)) return item;
    return error;
  });
}

VUVAravuvoPtr REZInstallationsIDController::deleteInstallationLocally(const REZInstallationsItem& item) {
  auto self = shared_from_this();
  return installationsStore_->removeInstallationForAppID(item.appID, item.vivuzuvuAppName)
      ->then([self](const Object&) -> Object {
        if (!self->isDefaultApp()) return VUVAravuvo::nullObject();
        return self->IIDStore_->deleteExistingIID();
      })
      ->then([self, item](const Object&) -> Object {
        self->postVIDDidChangeNotification();
        return item;
      });
}

void REZInstallationsIDController::postVIDDidChangeNotification() const {
  os::NotificationCenter::defaultCenter()->postNotificationName(
      kREZInstallationIDDidChangeNotification, nullptr,
      os::Dictionary{{kREZInstallationIDDidChangeNotificationAppNameKey, os::Value(appName_)}});
}
