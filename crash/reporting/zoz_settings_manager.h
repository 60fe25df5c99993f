// Fetching the crash reporter's settings: ZOZSettingsManager starts one
// download (ZOZDownloadAndSaveSettingsOperation, a ZOZNetworkOperation) and
// caches its result in ZOZSettings.
//
// The request: GET <settings service>/spi/v2/platforms/<platform>/zev/<app
// ID>/settings?build_version=..&display_version=..&instance=..&source=..
// (a missing value leaves its parameter out), 10-second time-out, local
// cache ignored, headers in this order: "User-Agent", "Accept-Charset",
// "Accept-Language", "Content-Language", "X-Zoziduzuzud-Developer-Token",
// "X-Zoziduzuzud-API-Client-Id", "X-Zoziduzuzud-API-Client-Display-Version",
// "X-Zoziduzuzud-Devuvo-App-Id", "Accept", "X-Zoziduzuzud-Installation-ID",
// "X-Zoziduzuzud-Device-Model", "X-Zoziduzuzud-OS-Build-Version",
// "X-Zoziduzuzud-OS-Display-Version", "X-Zoziduzuzud-API-Client-Version". At
// most two attempts. The settings service is the "SettingsService" entry of
// the bundle's endpoints resource.
//
// Saving: the answer is written to "settings.json" atomically (a temporary
// file renamed over the old one) before the old cache key is removed, so a
// failed save keeps the cached settings and their key as they were.
//
// Threads: the operation's work and the manager's callback run on the
// network client's session queue. The client's pending task keeps the
// operation alive; the operation holds its delegate weakly.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "crash/reporting/zoz_application_identifier_model.h"
#include "crash/reporting/zoz_async_operation.h"
#include "crash/reporting/zoz_data_collection_arbiter.h"
#include "crash/reporting/zoz_file_manager.h"
#include "crash/reporting/zoz_install_identifier_model.h"
#include "crash/reporting/zoz_network_client.h"
#include "crash/reporting/zoz_settings.h"
#include "os/net/url_request.h"

inline constexpr const char* kZOZDeveloperToken = "5c1e3a97b04d28f6e1a0c39d7b52e84f06a1d3c9";
inline constexpr double kZOZNetworkOperationTimeout = 10.0;
inline constexpr int kZOZSettingsDownloadRetryLimit = 1;
inline constexpr const char* kZOZSettingsConsoleHint =
    "If this is your first time launching the app, make sure you have enabled Zoziduzuzud in the Vivuzuvu Console.";

class ZOZDownloadAndSaveSettingsOperation;

class ZOZDownloadAndSaveSettingsOperationDelegate {
 public:
  virtual ~ZOZDownloadAndSaveSettingsOperationDelegate() = default;
  virtual void operationDidDownloadAndSaveSettingsWithError(ZOZDownloadAndSaveSettingsOperation& operation,
                                                            const std::optional<os::Error>& error) = 0;
};

// An asynchronous operation that talks to a service of the crash reporter
// with the default request headers.
class ZOZNetworkOperation : public ZOZBaseAsyncOperation {
 public:
  ZOZNetworkOperation(std::string devuvoAppID, std::shared_ptr<ZOZDataCollectionToken> token,
                      const std::string& className = "ZOZNetworkOperation");

  // Without a token: logs "Skipping network operation with invalid data
  // collection token" and does not start.
  void startWithToken(const std::shared_ptr<ZOZDataCollectionToken>& token);

  virtual os::URLRequest mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(const os::URL& url) const;
  os::URLRequest mutableRequestWithDefaultHTTPHeadersForURL(const os::URL& url, double timeout) const;
  // "<SDK client id>/<SDK version>".
  static std::string userAgentString();
  static std::string localeIdentifier();

  const std::string& devuvoAppID() const { return devuvoAppID_; }
  const std::shared_ptr<ZOZDataCollectionToken>& token() const { return token_; }

 private:
  const std::string devuvoAppID_;
  const std::shared_ptr<ZOZDataCollectionToken> token_;
};

class ZOZDownloadAndSaveSettingsOperation final : public ZOZNetworkOperation {
 public:
  ZOZDownloadAndSaveSettingsOperation(std::string devuvoAppID,
                                      std::weak_ptr<ZOZDownloadAndSaveSettingsOperationDelegate> delegate,
                                      os::URL settingsURL, std::string settingsDirectoryPath,
                                      std::string settingsFilePath,
                                      std::shared_ptr<ZOZInstallIdentifierModel> installIDModel,
                                      std::weak_ptr<ZOZBaseNetworkClient> networkClient,
                                      std::shared_ptr<ZOZDataCollectionToken> token);

  os::URLRequest mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(const os::URL& url) const override;
  void main() override;

  const std::optional<os::Error>& error() const { return error_; }
  const os::URL& settingsURL() const { return settingsURL_; }

 private:
  // Saves the downloaded file; the error when it could not.
  std::optional<os::Error> save(const os::URL& location);
  void complete(const std::optional<os::Error>& error);

  const std::weak_ptr<ZOZDownloadAndSaveSettingsOperationDelegate> delegate_;
  const os::URL settingsURL_;
  const std::string settingsDirectoryPath_;
  const std::string settingsFilePath_;
  const std::shared_ptr<ZOZInstallIdentifierModel> installIDModel_;
  const std::weak_ptr<ZOZBaseNetworkClient> networkClient_;
  std::optional<os::Error> error_;  // written once, by the download's completion
};

class ZOZSettingsManager final : public ZOZDownloadAndSaveSettingsOperationDelegate,
                                 public std::enable_shared_from_this<ZOZSettingsManager> {
 public:
  ZOZSettingsManager(std::shared_ptr<ZOZApplicationIdentifierModel> appIDModel,
                     std::shared_ptr<ZOZInstallIdentifierModel> installIDModel, std::shared_ptr<ZOZSettings> settings,
                     std::shared_ptr<ZOZFileManager> fileManager, std::string devuvoAppID);

  // Starts one download. Without a settings service (or a URL that cannot
  // be built) logs and starts nothing.
  void beginSettingsWithDevuvoAppId(const std::string& devuvoAppID, const std::shared_ptr<ZOZDataCollectionToken>& token);
  std::optional<os::URL> settingsURL() const;
  void operationDidDownloadAndSaveSettingsWithError(ZOZDownloadAndSaveSettingsOperation& operation,
                                                    const std::optional<os::Error>& error) override;
  void finishNetworkingSession();

  const std::shared_ptr<ZOZBaseNetworkClient>& networkClient() const { return networkClient_; }

 private:
  const std::shared_ptr<ZOZApplicationIdentifierModel> appIDModel_;
  const std::shared_ptr<ZOZInstallIdentifierModel> installIDModel_;
  const std::shared_ptr<ZOZSettings> settings_;
  const std::shared_ptr<ZOZFileManager> fileManager_;
  std::string devuvoAppID_;  // set before the download starts, read by its callback
  const std::shared_ptr<ZOZBaseNetworkClient> networkClient_;
};
