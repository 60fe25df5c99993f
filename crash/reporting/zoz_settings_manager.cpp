#include "crash/reporting/zoz_settings_manager.h"

#include <cassert>

#include "crash/core/zoz_application.h"
#include "crash/core/zoz_sdk_log.h"
#include "crash/reporting/zoz_url_builder.h"
#include "os/foundation/date.h"
#include "os/foundation/device_profile.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/format.h"
#include "platform/utilities/endpoints.h"

namespace {

constexpr const char* kFailedToDownload = "Failed to download settings.";

}  // namespace

// ---- ZOZNetworkOperation ----

ZOZNetworkOperation::ZOZNetworkOperation(std::string devuvoAppID, std::shared_ptr<ZOZDataCollectionToken> token,
                                         const std::string& className)
    : ZOZBaseAsyncOperation(className), devuvoAppID_(std::move(devuvoAppID)), token_(std::move(token)) {
  assert(!devuvoAppID_.empty());
}

void ZOZNetworkOperation::startWithToken(const std::shared_ptr<ZOZDataCollectionToken>& token) {
  if (!token || !token->isValid()) {
    ZOZErrorLog("Skipping network operation with invalid data collection token");
    return;
  }
  start();
}

os::URLRequest ZOZNetworkOperation::mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(
    const os::URL& url) const {
  return mutableRequestWithDefaultHTTPHeadersForURL(url, kZOZNetworkOperationTimeout);
}

os::URLRequest ZOZNetworkOperation::mutableRequestWithDefaultHTTPHeadersForURL(const os::URL& url,
                                                                             double timeout) const {
  os::URLRequest request(url, os::URLRequestCachePolicy::ReloadIgnoringLocalCacheData, timeout);
  request.setValue(userAgentString(), "User-Agent");
  request.setValue("utf-8", "Accept-Charset");
  request.setValue(localeIdentifier(), "Accept-Language");
  request.setValue(localeIdentifier(), "Content-Language");
  request.setValue(kZOZDeveloperToken, "X-Zoziduzuzud-Developer-Token");
  request.setValue(ZOZApplicationGetSDKBundleID(), "X-Zoziduzuzud-API-Client-Id");
  request.setValue(ZOZSDKVersion(), "X-Zoziduzuzud-API-Client-Display-Version");
  request.setValue(devuvoAppID_, "X-Zoziduzuzud-Devuvo-App-Id");
  return request;
}

std::string ZOZNetworkOperation::userAgentString() {
  return os::format("%@/%@", ZOZApplicationGetSDKBundleID(), ZOZSDKVersion());
}

std::string ZOZNetworkOperation::localeIdentifier() { return os::DeviceProfile::current().localeIdentifier; }

// ---- ZOZDownloadAndSaveSettingsOperation ----

ZOZDownloadAndSaveSettingsOperation::ZOZDownloadAndSaveSettingsOperation(
    std::string devuvoAppID, std::weak_ptr<ZOZDownloadAndSaveSettingsOperationDelegate> delegate, os::URL settingsURL,
    std::string settingsDirectoryPath, std::string settingsFilePath,
    std::shared_ptr<ZOZInstallIdentifierModel> installIDModel, std::weak_ptr<ZOZBaseNetworkClient> networkClient,
    std::shared_ptr<ZOZDataCollectionToken> token)
    : ZOZNetworkOperation(std::move(devuvoAppID), std::move(token), "ZOZDownloadAndSaveSettingsOperation"),
      delegate_(std::move(delegate)),
      settingsURL_(std::move(settingsURL)),
      settingsDirectoryPath_(std::move(settingsDirectoryPath)),
      settingsFilePath_(std::move(settingsFilePath)),
      installIDModel_(std::move(installIDModel)),
      networkClient_(std::move(networkClient)) {
  assert(!settingsURL_.empty() && !settingsDirectoryPath_.empty() && !settingsFilePath_.empty() && installIDModel_);
}

os::URLRequest ZOZDownloadAndSaveSettingsOperation::mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(
    const os::URL& url) const {
  os::URLRequest request = ZOZNetworkOperation::mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(url);
  request.setHTTPMethod("GET");
  request.setValue("application/json", "Accept");
  request.setValue(installIDModel_->installID(), "X-Zoziduzuzud-Installation-ID");
  request.setValue(ZOZHostModelInfo().value_or(""), "X-Zoziduzuzud-Device-Model");
  request.setValue(ZOZHostOSBuildVersion().value_or(""), "X-Zoziduzuzud-OS-Build-Version");
  request.setValue(ZOZHostOSDisplayVersion(), "X-Zoziduzuzud-OS-Display-Version");
  request.setValue(ZOZSDKVersion(), "X-Zoziduzuzud-API-Client-Version");
  return request;
}

void ZOZDownloadAndSaveSettingsOperation::main() {
  auto client = networkClient_.lock();
  if (!client) {
    complete(ZOZNetworkResponseHandler::errorForCode(kZOZNetworkErrorNoTask, {}));
    return;
  }
  auto self = std::static_pointer_cast<ZOZDownloadAndSaveSettingsOperation>(shared_from_this());
  client->startDownloadTaskWithRequest(
      mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(settingsURL_), kZOZSettingsDownloadRetryLimit,
      [self](std::optional<os::URL> location, std::optional<os::HTTPURLResponse>, std::optional<os::Error> error) {
        if (error) {
          self->complete(error);
          return;
        }
        if (!location) {
          self->complete(ZOZNetworkResponseHandler::errorForCode(kZOZNetworkErrorNonSuccess, {}));
          return;
        }
        self->complete(self->save(*location));
      });
}

std::optional<os::Error> ZOZDownloadAndSaveSettingsOperation::save(const os::URL& location) {
  auto& files = os::FileManager::defaultManager();
  auto report = [](const os::Error& error) {
    ZOZErrorLog("Unable to complete settings download %@", error);
    return std::optional<os::Error>(error);
  };
  auto contents = files.contentsAtPath(location.path());
  if (!contents) return report(contents.error());
  if (auto created = files.createDirectoryAtPath(settingsDirectoryPath_, true); !created) return report(created.error());
  // The new settings replace the old ones in one rename; only then does the
  // old key go, so a failed write leaves the cache whole.
  if (auto written = files.createFileAtPath(settingsFilePath_, *contents); !written) return report(written.error());
  auto entries = files.contentsOfDirectoryAtPath(settingsDirectoryPath_, os::DirectoryEnumerationOptions::SkipsHiddenFiles);
  if (entries) {
    const std::string settingsName = ZOZLastPathComponent(settingsFilePath_);
    for (const auto& name : *entries) {
      if (name != settingsName) (void)files.removeItemAtPath(settingsDirectoryPath_ + "/" + name);
    }
  }
  return std::nullopt;
}

void ZOZDownloadAndSaveSettingsOperation::complete(const std::optional<os::Error>& error) {
  error_ = error;
  if (auto delegate = delegate_.lock()) delegate->operationDidDownloadAndSaveSettingsWithError(*this, error);
  finishWithError(error);
}

// ---- ZOZSettingsManager ----

ZOZSettingsManager::ZOZSettingsManager(std::shared_ptr<ZOZApplicationIdentifierModel> appIDModel,
                                       std::shared_ptr<ZOZInstallIdentifierModel> installIDModel,
                                       std::shared_ptr<ZOZSettings> settings,
                                       std::shared_ptr<ZOZFileManager> fileManager, std::string devuvoAppID)
    : appIDModel_(std::move(appIDModel)),
      installIDModel_(std::move(installIDModel)),
      settings_(std::move(settings)),
      fileManager_(std::move(fileManager)),
      devuvoAppID_(std::move(devuvoAppID)),
      networkClient_(ZOZBaseNetworkClient::init()) {}

std::optional<os::URL> ZOZSettingsManager::settingsURL() const {
  auto base = DAZEndpoints::baseForKey(kDAZEndpointSettings);
  if (!base || !appIDModel_) return std::nullopt;
  auto builder = ZOZURLBuilder::URLWithBase(*base);
  builder.appendComponent("/spi/v2/platforms/");
  builder.escapeAndAppendComponent(appIDModel_->platform());
  builder.appendComponent("/zev/");
  builder.escapeAndAppendComponent(devuvoAppID_);
  builder.appendComponent("/settings");
  auto optional = [](const std::optional<std::string>& value) -> std::optional<os::Value> {
    if (!value) return std::nullopt;
    return os::Value(*value);
  };
  builder.appendValue(optional(appIDModel_->buildVersion()), "build_version");
  builder.appendValue(optional(appIDModel_->displayVersion()), "display_version");
  builder.appendValue(os::Value(appIDModel_->buildInstanceID()), "instance");
  builder.appendValue(os::Value(appIDModel_->installSource()), "source");
  return builder.URL();
}

void ZOZSettingsManager::beginSettingsWithDevuvoAppId(const std::string& devuvoAppID,
                                                      const std::shared_ptr<ZOZDataCollectionToken>& token) {
  assert(!devuvoAppID.empty());
  devuvoAppID_ = devuvoAppID;
  auto url = settingsURL();
  if (!url) {
    ZOZErrorLog("%@ %@", kFailedToDownload, "No settings service is configured.");
    return;
  }
  auto operation = std::make_shared<ZOZDownloadAndSaveSettingsOperation>(
      devuvoAppID_, weak_from_this(), *url, fileManager_->settingsDirectoryPath(), fileManager_->settingsFilePath(),
      installIDModel_, networkClient_, token);
  operation->startWithToken(token);
}

void ZOZSettingsManager::operationDidDownloadAndSaveSettingsWithError(ZOZDownloadAndSaveSettingsOperation&,
                                                                     const std::optional<os::Error>& error) {
  if (error) {
    std::string message = kFailedToDownload;
    auto status = error->userInfo().find(kZOZNetworkErrorStatusCodeKey);
    if (status != error->userInfo().end() && status->second.int64Value() == 404) {
      message = os::format("%@ %@", message, kZOZSettingsConsoleHint);
    }
    ZOZErrorLog("%@ %@", message, *error);
  } else {
    ZOZDebugLog("Settings downloaded successfully");
    settings_->cacheSettingsWithDevuvoAppID(devuvoAppID_, os::Date::now().timeIntervalSinceReferenceDate());
  }
  finishNetworkingSession();
}

void ZOZSettingsManager::finishNetworkingSession() { networkClient_->invalidateAndCancel(); }
