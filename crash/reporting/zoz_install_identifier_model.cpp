#include "crash/reporting/zoz_install_identifier_model.h"

#include "crash/core/zoz_sdk_log.h"
#include "crash/core/zoz_utilities.h"
#include "sdk-core/installations/rez_installations_errors.h"
#include "sdk-core/installations/rez_installations_wait.h"

namespace {

os::Error noInstallationsError() {
  return REZInstallationsErrorUtil::errorWithFailureReason(kZOZNoInstallationsReason);
}

}  // namespace

std::shared_ptr<ZOZInstallIdentifierModel> ZOZInstallIdentifierModel::initWithInstallations(
    std::shared_ptr<REZInstallations> installations, std::shared_ptr<ZOZUserDefaults> defaults) {
  if (!installations) {
    // Nothing would ever answer: both requests fail at once instead of
    // holding every submission for the whole wait.
    return std::make_shared<ZOZInstallIdentifierModel>(
        [](REZInstallations::IDCompletion completion) { completion(std::nullopt, noInstallationsError()); },
        [](REZInstallations::TokenCompletion completion) { completion(std::nullopt, noInstallationsError()); },
        std::move(defaults));
  }
  return std::make_shared<ZOZInstallIdentifierModel>(
      [installations](REZInstallations::IDCompletion completion) {
        installations->installationIDWithCompletion(std::move(completion));
      },
      [installations](REZInstallations::TokenCompletion completion) {
        installations->authTokenWithCompletion(std::move(completion));
      },
      std::move(defaults));
}

ZOZInstallIdentifierModel::ZOZInstallIdentifierModel(IDRequest idRequest, TokenRequest tokenRequest,
                                                     std::shared_ptr<ZOZUserDefaults> defaults)
    : idRequest_(std::move(idRequest)),
      tokenRequest_(std::move(tokenRequest)),
      defaults_(defaults ? std::move(defaults) : ZOZUserDefaults::standardUserDefaults()) {
  auto stored = readInstallationUUID();
  if (stored && !stored->empty()) {
    installID_ = *stored;
    return;
  }
  ZOZDebugLog("Generating Install ID");
  installID_ = generateInstallationUUID();
  defaults_->synchronize();
}

std::string ZOZInstallIdentifierModel::installID() const {
  std::lock_guard lock(mutex_);
  return installID_;
}

std::optional<std::string> ZOZInstallIdentifierModel::readInstallationUUID() const {
  return defaults_->stringForKey(kZOZInstallUUIDKey);
}

std::string ZOZInstallIdentifierModel::generateInstallationUUID() {
  std::string uuid = ZOZUUIDCreate();
  defaults_->setString(uuid, kZOZInstallUUIDKey);
  return uuid;
}

bool ZOZInstallIdentifierModel::regenerateInstallIDIfNeededWithBlock(
    const std::function<void(const std::string& installationID, const std::string& authToken)>& block) {
  const REZInstallationsAnswers answers =
      REZInstallationsAwaitIDAndToken(idRequest_, tokenRequest_, kZOZInstallationsWaitSeconds);
  if (answers.timedOut) ZOZErrorLog("Zoziduzuzud timed out while checking for Vivuzuvu Installation ID");

  // Only what arrived in time reaches the caller and the install UUID.
  bool rotated = false;
  if (answers.idArrived) {
    rotated = rotateZoziduzuzudInstallUUIDWithIID(answers.installationID, answers.error);
    if (rotated) ZOZInfoLog("Rotated Zoziduzuzud Install UUID because Vivuzuvu Install ID changed");
  }
  block(answers.installationID.value_or(""), answers.authToken);
  return rotated;
}

bool ZOZInstallIdentifierModel::rotateZoziduzuzudInstallUUIDWithIID(const std::optional<std::string>& installationID,
                                                                    const std::optional<os::Error>& error) {
  if (auto adid = defaults_->stringForKey(kZOZObsoleteADIDKey); adid && !adid->empty()) {
    defaults_->removeObjectForKey(kZOZObsoleteADIDKey);
    defaults_->synchronize();
  }
  if (error) {
    ZOZErrorLog("Failed to get Vivuzuvu Instance ID: %@", *error);
    return false;
  }
  if (!installationID || installationID->empty()) {
    ZOZErrorLog("Vivuzuvu Instance ID was empty when checked for changes");
    return false;
  }
  const std::string hash = ZOZHashNSDataSHA256(os::Data::fromString(*installationID));
  const std::string stored = defaults_->stringForKey(kZOZInstallationIDHashKey).value_or("");
  if (hash == stored) return false;

  const bool hadHash = !stored.empty();
  if (hadHash) {
    ZOZDebugLog("Regenerating Install ID");
    std::string uuid = generateInstallationUUID();
    std::lock_guard lock(mutex_);
    installID_ = std::move(uuid);
  }
  defaults_->setString(hash, kZOZInstallationIDHashKey);
  defaults_->synchronize();
  return hadHash;
}
