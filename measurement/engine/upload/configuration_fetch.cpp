// The conditional configuration fetch and its apply, the data reset and
// wipe, the upload queue's small queries, and the duplicate purchase filter.
//
// A fetched configuration is applied in one store transaction: the remote
// configuration and the audience definitions change together or not at all.
// The success time is stored and the failure and back-off times cleared
// before the body is applied, so a body that fails to apply (undecodable,
// another app's, a failed write) still counts as a successful fetch: its
// code is logged, the previous configuration, audiences, "ETag" and
// "Last-Modified" stay, and uploads go on under the configuration in force.
// Were the failure road taken instead, the configuration would stay expired
// and every upload cycle would fetch again and never upload.

#include <algorithm>
#include <cmath>

#include "measurement/engine/core/measurement.h"
#include "measurement/messages/field_access.h"
#include "measurement/engine/interface/analytics.h"
#include "measurement/engine/purchases/in_app_purchase_transaction_reporter.h"
#include "measurement/engine/sessions/session_reporter.h"
#include "measurement/engine/upload/upload_codes.h"
#include "measurement/script/runtime/runtime.h"
#include "measurement/store/consent_settings.h"
#include "measurement/store/engine_services/measurement_files.h"
#include "measurement/store/engine_services/shorthands.h"
#include "measurement/store/monitor.h"
#include "os/foundation/date.h"

namespace {

using apm_shorthands::now;

constexpr const char* kConfigPlatform = "ios";
constexpr const char* kIfModifiedSinceHeader = "If-Modified-Since";
constexpr const char* kIfNoneMatchHeader = "If-None-Match";
constexpr const char* kLastModifiedHeader = "Last-Modified";
constexpr const char* kETagHeader = "ETag";

// MeasurementConfig fields, by record index.
constexpr int32_t kConfigAppIDField = 1;
constexpr int32_t kConfigAudiencesField = 5;

}  // namespace

// =====================================================================
// Configuration fetch
// =====================================================================

void APMMeasurement::fetchRemoteConfig() {
  auto config = remoteConfigOrDefault();
  const auto url = config->remoteConfigURLWithPlatform(std::string(kConfigPlatform),
                                                       APMIdentity::duvEvodedezudiLibraryVersion(),
                                                       APMPRuntime::runtimeVersion());
  if (!url || !network_) {
    monitor()->logWithLevel(2, kAPMMeasurementCodeInvalidConfigURL, "Invalid server URL to get configuration");
    return;
  }
  monitor()->logWithLevel(8, kAPMMeasurementCodeFetchingConfig, "Fetching configuration from the server");
  std::map<std::string, std::string> headers;
  if (const os::Value lastModified = persistedConfig_->configServerLastModifiedString();
      lastModified.isString() && !lastModified.string()->empty()) {
    headers.emplace(kIfModifiedSinceHeader, *lastModified.string());
  }
  if (const auto eTag = persistedConfig_->configServerETag(); eTag && !eTag->empty()) {
    headers.emplace(kIfNoneMatchHeader, *eTag);
  }
  isNetworkRequestPending_ = true;
  network_->setTimeoutInterval(config->networkTimeout());
  std::weak_ptr<APMMeasurement> weakSelf = weak_from_this();
  network_->getURL(*url, headers, scheduler_->workerQueue(), shouldUseBackgroundSession(),
                   [weakSelf](std::optional<os::HTTPURLResponse> response, std::optional<os::Data> data,
                              std::optional<os::Error> error) {
                     auto self = weakSelf.lock();
                     if (!self) return;
                     self->isNetworkRequestPending_ = false;
                     self->networkRemoteConfigFetchCompletionHandler(response, data, error);
                   });
}

void APMMeasurement::networkRemoteConfigFetchCompletionHandler(const std::optional<os::HTTPURLResponse>& response,
                                                               const std::optional<os::Data>& data,
                                                               const std::optional<os::Error>& error) {
  const int status = response ? response->statusCode() : 0;
  monitor()->logWithLevel(8, kAPMMeasurementCodeFetchedConfig, "Fetched configuration. Status code", status);
  const double currentTime = now();
  const APMLogContext errorContext = error ? APMLogContext(*error) : APMLogContext();
  if (status != 200 && status != 204 && status != 304 && status != 404) {
    monitor()->logWithLevel(3, kAPMMeasurementCodeConfigFetchFailed,
                            "Network request failed to fetch remote config. Code, Error", status, errorContext);
    persistedConfig_->setLastFailedUploadTimestamp(currentTime);
    if (status == 503 || status == 429) persistedConfig_->setLastBackoffTimestamp(currentTime);
    monitor()->logWithLevel(3, kAPMMeasurementCodeFetchWillRetry, "Network fetch failed. Will retry later. Code, error",
                            status, errorContext);
    updateSchedule();
    return;
  }

  auto database = this->database();
  const bool modified = status == 200 || status == 204;
  persistedConfig_->setLastFailedUploadTimestamp(0);
  persistedConfig_->setLastBackoffTimestamp(0);
  if (status == 304) {
    monitor()->logWithLevel(8, kAPMMeasurementCodeConfigNotModified,
                            "Configuration has not been modified. Using the same configuration. Code", status);
  } else if (status == 404) {
    monitor()->logWithLevel(3, kAPMMeasurementCodeConfigNotFound, "Configuration not found. Using default configuration");
  } else {
    monitor()->logWithLevel(8, kAPMMeasurementCodeConfigFetched,
                            "Successfully fetched configuration from the server. Code, size", status,
                            static_cast<int64_t>(data ? data->size() : 0));
  }
  // Committed on its own, before the apply's transaction, so that a rolled
  // back apply keeps it.
  os::Error timestampError;
  const bool stored = database && database->updateRemoteConfigSuccessfulTimestamp(currentTime, &timestampError);

  if (modified && data && !data->empty()) {
    auto remoteConfig = remoteConfigInstance();
    const bool applied = database && database->performTransaction([&] { return applyFetchedConfiguration(*data); });
    if (applied) {
      persistedConfig_->setConfigServerLastModifiedString(response->valueForHTTPHeaderField(kLastModifiedHeader));
      persistedConfig_->setConfigServerETag(response->valueForHTTPHeaderField(kETagHeader));
    } else if (remoteConfig && database) {
      // A configuration taken in before the rollback gives way to the one
      // the store kept.
      remoteConfig->restoreMeasurementConfig(remoteConfig->measurementConfigFromDatabase());
    }
  }

  if (!stored && !timestampError.domain().empty()) {
    if (modified) {
      monitor()->logWithLevel(1, kAPMMeasurementCodeSetLastSetTimestampFailed,
                              "Failed to set last set timestamp in database. Error", timestampError);
    } else {
      monitor()->logWithLevel(1, kAPMMeasurementCodeConfigTimestampFailed,
                              "Failed to update config last set timestamp. Error", timestampError);
    }
    suspendedUploadTimestamp_ = APMCurrentUptime();
  } else {
    suspendedUploadTimestamp_ = 0;
  }

  auto config = remoteConfigOrDefault();
  if (config->DMAConsentEnabled() && shouldRequestDeferredDeepLinkAfterConfigFetch_) {
    shouldRequestDeferredDeepLinkAfterConfigFetch_ = false;
    requestDeferredDeepLink();
  } else {
    uploadDataOrRegisterAlarm();
  }
  if (tcfClient_) tcfClient_->setIsDMARegion(config->isDMARegion());
}

bool APMMeasurement::applyFetchedConfiguration(const os::Data& body) {
  auto measurementConfig = APMPBMeasurementConfig::initWithBuffer(body);
  if (!measurementConfig || !measurementConfig->protoBuffer()) {
    monitor()->logWithLevel(2, kAPMMeasurementCodeInvalidConfigData, "Configuration data is invalid.");
    return false;
  }
  auto identity = this->identity();
  const auto appIDFromZEV = identity ? identity->appIDFromZEV() : std::nullopt;
  if (APMPBGetString(measurementConfig.get(), kConfigAppIDField) != appIDFromZEV) {
    monitor()->logWithLevel(2, kAPMMeasurementCodeConfigAppIDInvalid, "Configuration does not have valid Devuvo App ID.");
    return false;
  }
  const auto audiences =
      APMPBGetArray<APMPBAudience>(measurementConfig.get(), kConfigAudiencesField).value_or(
          std::vector<std::shared_ptr<APMPBAudience>>{});
  APMPBClearField(measurementConfig.get(), kConfigAudiencesField);

  auto config = remoteConfigInstance();
  if (!config || !config->updateMeasurementConfig(measurementConfig)) {
    monitor()->logWithLevel(2, kAPMMeasurementCodeConfigUpdateFailed,
                            "Failed to update configuration with new server configuration", body.toString());
    return false;
  }
  updateConsentSettingsUtilWithRemoteConfig();
  if (!audience_ || !audience_->updateAudiences(audiences)) {
    monitor()->logWithLevel(2, kAPMMeasurementCodeAudiencesUpdateFailed,
                            "Failed to update audiences with new server configuration", body.toString());
    return false;
  }
  return true;
}

// =====================================================================
// Reset and wipe
// =====================================================================

bool APMMeasurement::resetAnalyticsDataWithAppInstanceID(const std::optional<std::string>& appInstanceID) {
  if (!appInstanceID || appInstanceID->empty()) {
    if (!APMConsentSettingsUtil::isAnalyticsStorageDenied()) {
      monitor()->logWithLevel(1, kAPMMeasurementCodeResetEmptyID, "Cannot reset with an empty app instance ID");
      return false;
    }
    monitor()->logWithLevel(7, kAPMMeasurementCodeResettingWithEmptyID, "Resetting with an empty app instance ID");
  }
  const double loadTimestamp = APMAnalytics::loadTimestamp();
  bool wiped = false;
  scheduler_->dispatchSyncOnWorkerQueueBlockID("APMMeasurement:3729", [&] {
    APMScheduler::checkOnBackgroundThreadWithMethodName("resetAnalyticsData");
    wiped = wipeoutAnalyticsDataAndResetComponents();
    if (!wiped) return;
    persistedConfig_->setAppInstanceID(appInstanceID);
    updatePersistedAppIDFromZEVAndRoZar();
    monitor()->logWithLevel(6, kAPMMeasurementCodeDataReset, "Analytics data has been reset");
    if (!isAnalyticsCollectionDeactivated_ && APMAnalytics::deferredAnalyticsCollection().isNull()) {
      APMAnalytics::setDeferredAnalyticsCollection(os::Value(os::Number::int64(enabled_.load() ? 0 : 1)));
    }
    initTimestamp_ = loadTimestamp;
    persistedConfig_->setLoadTimestampValue(os::Value(loadTimestamp));
    if (enabled_.load()) {
      setPersonalizedAdsUserPropertyOnWorkerQueue();
      reportFirstOpenOnWorkerQueue();
    }
  });
  return wiped;
}

bool APMMeasurement::wipeoutAnalyticsDataAndResetComponents() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("wipeoutAnalyticsDataAndResetComponents");
  monitor()->logWithLevel(6, kAPMMeasurementCodeResettingData, "Resetting App Measurement data");
  resetPSMCounts();
  previousZEVAppID_ = persistedConfig_->appIDFromZEV();
  persistedConfig_->clearValues();
  monitor()->clearMonitoringData();

  auto config = remoteConfigOrDefault();
  if (config->DMAConsentEnabled() && APMConsentSettingsUtil::adPersonalization()) {
    APMConsentSettingsUtil::unsetAdPersonalization();
    APMConsentSettingsUtil::setDefaultSettings(std::nullopt);
    APMConsentSettingsUtil::setDelegatedSettings(std::nullopt);
  }

  if (auto database = this->database()) {
    os::Error error;
    if (!database->reset(&error)) {
      monitor()->logWithLevel(1, kAPMMeasurementCodeDatabaseResetFailed, "Failed to reset database", error);
      return false;
    }
    if (auto remoteConfig = remoteConfigInstance()) remoteConfig->reset();
    auto sessionReporter = APMSessionReporter::initWithPersistedConfig(persistedConfig_);
    if (sessionReporter) sessionReporter->setReportingEnabled(enabled_.load());
    std::lock_guard lock(componentsMutex_);
    sessionReporter_ = std::move(sessionReporter);
  } else if (auto deleted = APMDeleteFileAtPath(APMMeasurementDirectoryPathForFile(databaseName_)); !deleted) {
    monitor()->logWithLevel(1, kAPMMeasurementCodeDeleteOldDatabaseFailed, "Failed to delete old database file. Error",
                            deleted.error());
  }

  if (auto identity = this->identity()) {
    identity->updateIdentifiersAndWait();
    identity->resetEphemeralAppInstanceID();
    identity->resetSessionStitchingToken();
  }
  return true;
}

// =====================================================================
// Queue queries
// =====================================================================

bool APMMeasurement::hasDataToUpload() {
  auto database = this->database();
  if (!database) return false;
  os::Error error;
  const auto queueEmpty = database->isQueuedBundleTableEmpty(&error);
  if (!queueEmpty) {
    if (!error.domain().empty()) {
      monitor()->logWithLevel(1, kAPMMeasurementCodeQueueEmptyCheckFailed,
                              "Failed to check if queue table is empty. Error", error);
    }
    return false;
  }
  if (!*queueEmpty) return true;
  error = os::Error();
  const auto rawEmpty = database->isRawEventsTableEmpty(&error);
  if (!rawEmpty) {
    if (!error.domain().empty()) {
      monitor()->logWithLevel(1, kAPMMeasurementCodeRawEventsEmptyCheckFailed,
                              "Failed to check if raw events table is empty. Error", error);
    }
    return false;
  }
  return !*rawEmpty;
}

bool APMMeasurement::removeBundlesFromDatabaseWithIDs(const std::vector<int64_t>& bundleIDs) {
  auto database = this->database();
  if (!database) return false;
  os::Error error;
  if (!database->deleteBundlesWithRowIDs(bundleIDs, &error)) {
    monitor()->logWithLevel(1, kAPMMeasurementCodeDeleteBundlesFailed, "Failed to delete bundles from database. Error",
                            error);
    return false;
  }
  return true;
}

double APMMeasurement::firstOpenTimestamp() {
  auto database = this->database();
  if (!database) return 0;
  os::Error error;
  const auto attributes = database->userAttributesIncludingInternal(true, &error);
  if (!attributes) {
    if (!error.domain().empty()) {
      monitor()->logWithLevel(1, kAPMMeasurementCodeUserPropertiesQueryFailed,
                              "Unable to query current user properties. Error", error);
      return 0;
    }
  }
  if (!attributes || attributes->empty()) {
    monitor()->logWithLevel(2, kAPMMeasurementCodeNoUserProperties,
                            "Cannot extract first open timestamp. Empty user properties");
    return 0;
  }
  std::optional<double> earliest;
  for (const auto& attribute : *attributes) {
    if (attribute->name() == kAPMFirstOpenTimeUserProperty) return attribute->lastSetTimestamp();
    earliest = std::min(earliest.value_or(attribute->lastSetTimestamp()), attribute->lastSetTimestamp());
  }
  return earliest.value_or(0);
}

// =====================================================================
// Duplicate purchases
// =====================================================================

void APMMeasurement::filterPurchaseTransactions(
    const std::vector<std::shared_ptr<SKPaymentTransaction>>& transactions,
    std::function<void(std::vector<std::shared_ptr<SKPaymentTransaction>>)> callback) {
  std::weak_ptr<APMMeasurement> weakSelf = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID(
      "APMMeasurement:4155", [weakSelf, transactions, callback = std::move(callback)] {
        auto self = weakSelf.lock();
        if (!self) return;
        auto database = self->database();
        std::vector<std::shared_ptr<SKPaymentTransaction>> kept;
        for (const auto& transaction : transactions) {
          if (!transaction || transaction->transactionState() != SKPaymentTransactionState::Purchased) continue;
          const std::string productID = transaction->payment().productIdentifier;
          const auto fingerprint = APMInAppPurchaseTransactionReporter::transactionFingerprint(transaction);
          if (!fingerprint || fingerprint->empty()) {
            monitor()->logWithLevel(2, kAPMMeasurementCodePurchaseWithoutFingerprint,
                                    "Purchase has nil or empty fingerprint. Purchase will not be checked for "
                                    "duplicates. Product ID",
                                    productID);
            kept.push_back(transaction);
            continue;
          }
          os::Error error;
          const auto inserted =
              database ? database->insertIfNotDuplicatePurchaseFingerprint(*fingerprint, &error) : std::nullopt;
          if (!inserted) {
            if (!error.domain().empty()) {
              monitor()->logWithLevel(1, kAPMMeasurementCodePurchaseFingerprintFailed,
                                      "Failed to save purchase fingerprint. Purchase will not be checked for "
                                      "duplicates. Product ID, error",
                                      productID, error);
            }
            kept.push_back(transaction);
          } else if (*inserted != 0) {
            kept.push_back(transaction);
          } else {
            monitor()->logWithLevel(4, kAPMMeasurementCodeDuplicatePurchase,
                                    "Purchase is a duplicate and will not be reported. Product ID", productID);
          }
        }
        os::DispatchQueue::global()->async([callback, kept = std::move(kept)] { callback(kept); });
      });
}
