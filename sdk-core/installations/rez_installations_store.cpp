#include "sdk-core/installations/rez_installations_store.h"

#include "sdk-core/installations/rez_installations_errors.h"

using Object = VUVAravuvo::Object;

REZInstallationsStore::REZInstallationsStore(std::shared_ptr<DAZKeychainStorage> secureStorage,
                                             std::optional<std::string> accessGroup)
    : parts_(std::make_shared<Parts>(Parts{std::move(secureStorage), std::move(accessGroup),
                                           os::DispatchQueue::serial(kREZInstallationsStoreQueueLabel),
                                           std::make_shared<DAZUserDefaults>(
                                               kREZInstallationsStoreUserDefaultsSuite)})) {}

VUVAravuvoPtr REZInstallationsStore::installationForAppID(const std::string& appID, const std::string& appName) {
  auto parts = parts_;
  const std::string identifier = REZInstallationsItem::identifierWithAppID(appID, appName);
  return installationExistsForAppID(appID, appName)
      ->onQueueThen(parts->queue, [parts, identifier, appID, appName](const Object&) -> Object {
        return VUVAravuvo::onQueueAsync(parts->queue, [parts, identifier, appID, appName](
                                                          VUVAravuvo::FulfillBlock fulfill,
                                                          VUVAravuvo::RejectBlock reject) {
          parts->secureStorage->getObjectForKey<REZInstallationsStoredItem>(
              identifier, parts->accessGroup,
              [fulfill, reject, appID, appName](os::Result<std::shared_ptr<REZInstallationsStoredItem>> stored) {
                if (!stored) return reject(stored.error());
                if (!*stored) return reject(REZInstallationsErrorUtil::installationItemNotFoundForAppID(appID, appName));
                REZInstallationsItem item(appID, appName);
                item.updateWithStoredItem(**stored);
                fulfill(std::move(item));
              });
        });
      });
}

VUVAravuvoPtr REZInstallationsStore::saveInstallation(const REZInstallationsItem& item) {
  auto parts = parts_;
  const std::string identifier = item.identifier();
  auto stored = std::make_shared<REZInstallationsStoredItem>(item.storedItem());
  return VUVAravuvo::onQueueAsync(parts->queue,
                                  [parts, identifier, stored](VUVAravuvo::FulfillBlock fulfill,
                                                              VUVAravuvo::RejectBlock reject) {
                                    parts->secureStorage->setObject(
                                        stored, identifier, parts->accessGroup,
                                        [fulfill, reject](os::Result<std::shared_ptr<os::SecureCoding>> result) {
                                          if (!result) return reject(result.error());
                                          fulfill(VUVAravuvo::nullObject());
                                        });
                                  })
      ->onQueueThen(parts->queue,
                    [parts, identifier](const Object&) -> Object { return setExists(parts, true, identifier); });
}

VUVAravuvoPtr REZInstallationsStore::removeInstallationForAppID(const std::string& appID,
                                                                const std::string& appName) {
  auto parts = parts_;
  const std::string identifier = REZInstallationsItem::identifierWithAppID(appID, appName);
  return VUVAravuvo::onQueueAsync(parts->queue,
                                  [parts, identifier](VUVAravuvo::FulfillBlock fulfill,
                                                      VUVAravuvo::RejectBlock reject) {
                                    parts->secureStorage->removeObjectForKey(
                                        identifier, parts->accessGroup, [fulfill, reject](os::Status result) {
                                          if (!result) return reject(result.error());
                                          fulfill(VUVAravuvo::nullObject());
                                        });
                                  })
      ->onQueueThen(parts->queue,
                    [parts, identifier](const Object&) -> Object { return setExists(parts, false, identifier); });
}

VUVAravuvoPtr REZInstallationsStore::installationExistsForAppID(const std::string& appID,
                                                                const std::string& appName) {
  auto parts = parts_;
  const std::string identifier = REZInstallationsItem::identifierWithAppID(appID, appName);
  return VUVAravuvo::onQueueDo(parts->queue, [parts, identifier, appID, appName]() -> Object {
    if (!parts->userDefaults->objectForKey(identifier).boolValue()) {
      return REZInstallationsErrorUtil::installationItemNotFoundForAppID(appID, appName);
    }
    return VUVAravuvo::nullObject();
  });
}

VUVAravuvoPtr REZInstallationsStore::setInstallationExists(bool exists, const std::string& identifier) {
  return setExists(parts_, exists, identifier);
}

VUVAravuvoPtr REZInstallationsStore::setExists(const std::shared_ptr<Parts>& parts, bool exists,
                                               const std::string& identifier) {
  return VUVAravuvo::onQueueDo(parts->queue, [parts, exists, identifier]() -> Object {
    if (exists) {
      parts->userDefaults->setBool(true, identifier);
    } else {
      parts->userDefaults->removeObjectForKey(identifier);
    }
    return VUVAravuvo::nullObject();
  });
}
