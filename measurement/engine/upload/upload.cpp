// The upload schedule and the upload of measurement batches.
//
// State: idle (alarm off) -> scheduled (alarm armed for nextUploadingTime)
// -> uploading (isNetworkRequestPending_, uploadingBundleIDs_ set) -> idle or
// scheduled again from the completion. A failed deletion of uploaded bundles
// suspends uploads for one hour of device uptime; a 503 or 429 answer holds
// the next upload for uploadingBackoffInterval. Bundles leave the queue only
// after a 200 or 204 answer and a successful deletion.
//
// Everything here runs on the worker queue; the alarm and the network
// completion hop back onto it and hold the engine weakly.

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "measurement/engine/core/measurement.h"
#include "measurement/engine/sessions/session_reporter.h"
#include "measurement/engine/upload/bundle_operations.h"
#include "measurement/engine/upload/upload_codes.h"
#include "measurement/messages/field_access.h"
#include "measurement/store/consent_settings.h"
#include "measurement/store/engine_services/shorthands.h"
#include "measurement/store/foundation_extensions.h"
#include "measurement/store/monitor.h"
#include "os/foundation/date.h"

namespace {

using apm_shorthands::now;

bool nearZero(double value) { return std::fabs(value) < DBL_EPSILON; }

// Bundle and batch fields, by record index.
constexpr int32_t kBundleUploadTimestampField = 3;
constexpr int32_t kBundleEndTimestampField = 5;
constexpr int32_t kBundleAppIDField = 14;
constexpr int32_t kBundleLibraryVersionField = 18;
constexpr int32_t kBundleResettableDeviceIDField = 19;
constexpr int32_t kBundleVendorDeviceIDField = 20;
constexpr int32_t kBundleChecksumField = 38;
constexpr int32_t kBatchBundlesField = 0;

constexpr double kSuspensionSeconds = 3600;

std::string stringField(const std::shared_ptr<APMPBMeasurementBundle>& bundle, int32_t index) {
  return APMPBGetString(bundle.get(), index).value_or("");
}

}  // namespace

// =====================================================================
// Schedule
// =====================================================================

void APMMeasurement::updateSchedule() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("updateSchedule");
  auto config = remoteConfigOrDefault();
  auto stop = [this] {
    if (alarm_) alarm_->cancel();
    if (network_) network_->setReachabilityDelegate({});
    terminateBackgroundTask();
  };

  if (suspendedUploadTimestamp_ != 0) {
    const double elapsed = std::fabs(APMCurrentUptime() - suspendedUploadTimestamp_);
    if (elapsed < kSuspensionSeconds) {
      monitor()->logWithLevel(3, kAPMMeasurementCodeUploadSuspended,
                              "Upload has been suspended. Will update scheduling later. Seconds",
                              kSuspensionSeconds - elapsed);
      stop();
      return;
    }
    suspendedUploadTimestamp_ = 0;
  }

  // The schedule's store reads share one read transaction: one file lock
  // for all of them instead of one each.
  bool hasData = false;
  double next = 0;
  const auto readSchedule = [&] {
    hasData = hasDataToUpload();
    if (hasData) next = nextUploadingTime();
  };
  if (auto database = this->database()) {
    database->performReadTransaction(readSchedule);
  } else {
    readSchedule();
  }

  if (!hasData) {
    config->activateNewSnapshot();
    monitor()->logWithLevel(8, kAPMMeasurementCodeNoDataToSchedule,
                            "No data to upload. Upload task will not be scheduled");
    stop();
    return;
  }

  if (nearZero(next)) {
    monitor()->logWithLevel(8, kAPMMeasurementCodeNoNextUploadTime,
                            "No next uploading time. Upload task will not be scheduled");
    stop();
    return;
  }

  if (!network_ || !network_->isNetworkConnected()) {
    monitor()->logWithLevel(8, kAPMMeasurementCodeNoNetworkToSchedule, "No network. Upload task will not be scheduled");
    if (network_) network_->setReachabilityDelegate(std::weak_ptr<DAZNetworkReachabilityDelegate>(weak_from_this()));
    if (alarm_) alarm_->cancel();
    terminateBackgroundTask();
    return;
  }
  network_->setReachabilityDelegate({});

  const double currentTime = now();
  const double backoff = persistedConfig_->lastBackoffTimestamp();
  const double backoffInterval = config->uploadingBackoffInterval();
  // An alarm armed before a back-off began does not cut it short.
  double backoffEnd = 0;
  if (std::fabs(backoff) > DBL_EPSILON && backoffInterval > currentTime - backoff) {
    backoffEnd = backoff + backoffInterval;
    next = std::max(next, backoffEnd);
  }

  if (const auto scheduled = alarm_->scheduledTimestamp();
      scheduled && scheduled->timeIntervalSince1970() <= next && scheduled->timeIntervalSince1970() >= backoffEnd) {
    monitor()->logWithLevel(8, kAPMMeasurementCodeUploadTaskExists,
                            "Do not schedule an upload task. Task already exists. Will be executed in seconds",
                            scheduled->timeIntervalSince1970() - currentTime);
    return;
  }

  double delay = next - currentTime;
  if (std::fabs(delay) < DBL_EPSILON) delay = 0.001;
  std::weak_ptr<APMMeasurement> weakSelf = weak_from_this();
  alarm_->runAfterDelay(delay, [weakSelf] {
    if (auto self = weakSelf.lock()) {
      self->scheduleWeakly("APMMeasurement:1773", [](APMMeasurement& engine) { engine.uploadData(); });
    }
  });
  monitor()->logWithLevel(8, kAPMMeasurementCodeUploadTaskScheduled, "Upload task scheduled to be executed in approx. (s)",
                          delay);
}

double APMMeasurement::nextUploadingTime() {
  auto database = this->database();
  if (!database) return 0;
  auto config = remoteConfigOrDefault();
  const double success = persistedConfig_->lastSuccessfulUploadTimestamp();
  const double failure = persistedConfig_->lastFailedUploadTimestamp();

  os::Error rawError;
  const auto rawTime = database->queryLatestRawEventTime(&rawError);
  if (!rawTime && !rawError.domain().empty()) {
    monitor()->logWithLevel(5, kAPMMeasurementCodeLatestRawEventTimeFailed,
                            "Failed to query latest raw event time. Error", rawError);
  }
  os::Error bundleError;
  const auto bundleTime = database->queryLatestBundleTime(&bundleError);
  if (!bundleTime && !bundleError.domain().empty()) {
    monitor()->logWithLevel(5, kAPMMeasurementCodeLatestBundleTimeFailed, "Failed to query latest bundle time. Error",
                            bundleError);
  }
  const double latest = std::max(rawTime.value_or(0), bundleTime.value_or(0));
  if (nearZero(latest)) return 0;

  const bool debug = monitor()->isDebugModeEnabled();
  double interval = 0;
  if (debug) {
    interval = config->uploadingRealTimeInterval();
  } else {
    os::Error error;
    const auto realtimeBundles = database->containsRealtimeBundlesWithError(&error);
    if (!realtimeBundles && !error.domain().empty()) {
      monitor()->logWithLevel(5, kAPMMeasurementCodeRealtimeBundleQueryFailed,
                              "Failed to query for real-time bundle indicator. Error", error);
    }
    bool realtime = realtimeBundles.value_or(false);
    if (!realtime) {
      error = os::Error();
      const auto realtimeRawEvents = database->containsRealtimeRawEventsWithError(&error);
      if (!realtimeRawEvents && !error.domain().empty()) {
        monitor()->logWithLevel(5, kAPMMeasurementCodeRealtimeRawEventQueryFailed,
                                "Failed to query for real-time raw event indicator. Error", error);
      }
      realtime = realtimeRawEvents.value_or(false);
    }
    if (realtime) {
      interval = config->uploadingRealTimeInterval();
    } else if (config->SKANUpdateConversionValueEnabled() && isInFirstSKANPostbackWindow()) {
      interval = config->SKANFirstWindowUploadInterval();
    } else {
      interval = config->uploadingInterval();
    }
  }

  const double currentTime = now();
  const double base = currentTime - std::fabs(latest - currentTime);
  double next = success + interval;
  if (interval <= std::fabs(currentTime - success)) next = base + config->uploadingInitialDelayInterval();

  if (base <= failure) {
    const int32_t retries = config->uploadingRetryCount();
    const double retryInterval = config->uploadingRetryInterval();
    for (int32_t k = 0; k < retries; ++k) {
      next += retryInterval * std::ldexp(1.0, k);
      if (next > failure) return next;
    }
    return 0;
  }
  if (debug) next = std::min(next, base + config->uploadingDebugModeInterval());
  return next;
}

void APMMeasurement::uploadDataOrRegisterAlarm() {
  if (network_ && network_->isNetworkConnected() && hasDataToUpload()) {
    uploadData();
  } else {
    updateSchedule();
  }
}

void APMMeasurement::reachabilityDidChange() {
  scheduleWeakly("APMMeasurement:1045", [](APMMeasurement& self) {
    self.updateSchedule();
    self.maybeFetchSKANCVAfterReachabilityChange();
  });
}

bool APMMeasurement::isNetworkReadyForRequest() {
  const bool networkUploading = network_ && network_->hasUploadInProgress();
  if (!isNetworkRequestPending_) return !networkUploading;
  if (!networkUploading) {
    monitor()->logWithLevel(1, kAPMMeasurementCodeUploadingWithoutNetwork,
                            "Analytics is uploading but network is not uploading");
  }
  return false;
}

bool APMMeasurement::shouldUseBackgroundSession() {
  return remoteConfigOrDefault()->isNetworkBackgroundSessionEnabled() &&
         backgroundUpdateTask_.load() != UIBackgroundTaskInvalid;
}

// =====================================================================
// Upload
// =====================================================================

void APMMeasurement::uploadData() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("uploadData");
  if (suspendedUploadTimestamp_ > 0) {
    updateSchedule();
    return;
  }
  monitor()->logWithLevel(8, kAPMMeasurementCodeStartingUpload, "Starting data upload");
  if (!isNetworkReadyForRequest()) {
    monitor()->logWithLevel(8, kAPMMeasurementCodeUploadNetworkPending,
                            "Network operation is pending. Ignoring upload request");
    return;
  }
  if (!network_ || !network_->isNetworkConnected()) {
    monitor()->logWithLevel(7, kAPMMeasurementCodeUploadNoNetwork, "Network not connected, ignoring upload request");
    updateSchedule();
    return;
  }
  auto database = this->database();
  auto config = remoteConfigOrDefault();
  if (!database) return;

  if (!config->isExpired()) {
    const int64_t iterations = std::max<int64_t>(config->maxBundlesCreatedPerIteration(), 1);
    for (int64_t i = 0; i < iterations && bundleRawEvents(); ++i) {
    }
  }

  os::Error queryError;
  auto queued =
      database->queryBundlesWithCountLimit(config->uploadMaxBundlesLimit(), config->uploadMaxSizeLimitBytes(), &queryError);
  if (!queued) {
    monitor()->logWithLevel(1, kAPMMeasurementCodeQueryBundlesFailed, "Failed to query bundles. Error", queryError);
    terminateBackgroundTask();
    return;
  }
  if (queued->empty()) {
    config->activateNewSnapshot();
    monitor()->logWithLevel(8, kAPMMeasurementCodeNoDataToUpload, "No data to upload");
    if (config->isExpired()) {
      fetchRemoteConfig();
    } else {
      terminateBackgroundTask();
    }
    return;
  }

  const auto url = config->uploadURL();
  if (config->tcfFeatureEnabled()) tcfClientSetConsentFromData();

  // Consent stamping.
  const std::string signals = APMConsentSettingsUtil::consentSignals();
  const bool gate = config->gateIDFAOnATTMASEnabled();
  const bool dma = config->DMAConsentEnabled();
  const std::string diagnostics = APMConsentSettingsUtil::consentDiagnostics();
  const bool adUserDataDenied = APMConsentSettingsUtil::isAdUserDataDenied();
  std::shared_ptr<APMPBUserAttribute> npa;
  if (auto attribute = database->userAttributeWithName(kAPMNonPersonalizedAdsUserProperty, nullptr)) {
    npa = attribute->protoUserAttribute();
  }
  auto identity = this->identity();
  if (!identity) {
    terminateBackgroundTask();
    return;
  }
  bool overwrite = !dma || signals.find('0') != std::string::npos;
  for (const auto& queuedBundle : *queued) {
    if (!overwrite) overwrite = APMBundleHasFirstOpenEvent(*queuedBundle.bundle);
    APMBundleApplyConsentAndIdentifiers(*queuedBundle.bundle, signals, gate, *identity, overwrite);
    if (dma) APMBundleApplyDMAFields(*queuedBundle.bundle, diagnostics, adUserDataDenied, npa, *config, overwrite);
  }

  const double lastSuccess = persistedConfig_->lastSuccessfulUploadTimestamp();
  if (lastSuccess != 0) {
    monitor()->logWithLevel(8, kAPMMeasurementCodeUploadingEvents,
                            "Uploading events. Elapsed time since last successful upload (s)",
                            std::fabs(now() - lastSuccess));
  }

  // The compatibility key: the first bundle's app ID and the first device
  // identifier found.
  const std::string appID = stringField(queued->front().bundle, kBundleAppIDField);
  std::optional<std::string> resettableDeviceID;
  std::optional<std::string> vendorDeviceID;
  for (const auto& queuedBundle : *queued) {
    const std::string resettable = stringField(queuedBundle.bundle, kBundleResettableDeviceIDField);
    const std::string vendor = stringField(queuedBundle.bundle, kBundleVendorDeviceIDField);
    if (resettable.empty() && vendor.empty()) continue;
    if (!resettable.empty()) {
      resettableDeviceID = resettable;
    } else {
      vendorDeviceID = vendor;
    }
    break;
  }
  const auto selected = filteredBundlesWithCompatibleAppID(appID, resettableDeviceID, vendorDeviceID, *queued);

  const auto nowMs = static_cast<int64_t>(now() * 1000);
  const std::shared_ptr<APMPBMeasurementBundle> reference = selected.size() >= 2 ? selected.front().bundle : nullptr;
  const std::vector<std::string> dataControls = config->dataControls();
  const bool checksum = config->checksumEnabled();
  std::vector<std::shared_ptr<APMPBMeasurementBundle>> batchBundles;
  std::vector<int64_t> bundleIDs;
  std::optional<int64_t> largestEnd;
  for (const auto& [bundle, rowID] : selected) {
    APMPBSetInt64(bundle.get(), kBundleLibraryVersionField, APMIdentity::duvEvodedezudiLibraryVersion());
    APMPBSetInt64(bundle.get(), kBundleUploadTimestampField, nowMs);
    APMBundleApplyDataControls(*bundle, dataControls, *identity);
    if (checksum) {
      if (const auto encoded = bundle->protoBuffer()) {
        APMPBSetInt64(bundle.get(), kBundleChecksumField, apm_64LSBMD5(*encoded));
      }
    }
    if (dma && reference && bundle != reference && !APMBundlesShareConsentState(reference.get(), bundle.get())) break;
    // Only bundles that go in this batch count towards the uploaded end
    // time; one left queued has not been uploaded.
    if (APMPBHasField(bundle.get(), kBundleEndTimestampField)) {
      largestEnd = std::max(largestEnd.value_or(INT64_MIN), APMPBGetInt64(bundle.get(), kBundleEndTimestampField));
    }
    batchBundles.push_back(bundle);
    bundleIDs.push_back(rowID);
  }
  if (largestEnd) lastEventEndTimestampMsec_ = std::max(lastEventEndTimestampMsec_.get(), *largestEnd);

  auto batch = APMPBMeasurementBatch::initWithMessageInfo(nullptr);
  APMPBSetArray(batch.get(), kBatchBundlesField, batchBundles);
  monitor()->logWithLevel(7, kAPMMeasurementCodeDataSent, "Measurement data sent to network. Timestamp (ms), data",
                          nowMs, os::Value(static_cast<int64_t>(batchBundles.size())));

  setUploadInProgressWithBundleIDs(bundleIDs);
  if (bundleIDs.empty()) {
    terminateBackgroundTask();
    return;
  }
  persistedConfig_->setLastFailedUploadTimestamp(now());
  isNetworkRequestPending_ = true;
  network_->setTimeoutInterval(config->networkTimeout());

  const auto payload = batch->protoBuffer();
  std::weak_ptr<APMMeasurement> weakSelf = weak_from_this();
  auto completion = [weakSelf](std::optional<os::HTTPURLResponse> response, std::optional<os::Data>,
                               std::optional<os::Error> error) {
    auto self = weakSelf.lock();
    if (!self) return;
    self->isNetworkRequestPending_ = false;
    self->networkUploadCompletionHandlerWithResponse(response, error);
  };
  std::optional<std::string> sessionID;
  if (url && payload) {
    sessionID = network_->postURL(*url, {}, *payload, scheduler_->workerQueue(), shouldUseBackgroundSession(),
                                  std::move(completion));
  } else {
    // No endpoint or no encoding: the attempt fails as a refused request
    // would, keeping the bundles for a later one.
    scheduler_->workerQueue()->async([completion = std::move(completion)] {
      completion(std::nullopt, std::nullopt, os::Error(kDAZNetworkErrorDomain, 1));
    });
  }
  if (!sessionID || sessionID->empty()) {
    monitor()->logWithLevel(2, kAPMMeasurementCodeNoNetworkSession, "Unable to create network session.");
    uploadingBundleIDs_.get().clear();
  }
}

std::vector<APMQueuedBundle> APMMeasurement::filteredBundlesWithCompatibleAppID(
    const std::string& appID, const std::optional<std::string>& resettableDeviceID,
    const std::optional<std::string>& vendorDeviceID, const std::vector<APMQueuedBundle>& bundlesToUpload) {
  const std::string resettable = resettableDeviceID.value_or("");
  const std::string vendor = vendorDeviceID.value_or("");
  if (!resettable.empty() && !vendor.empty()) {
    monitor()->logWithLevel(2, kAPMMeasurementCodeBothDeviceIDs,
                            "Bundle filter must not specify both resettableDeviceID and vendorDeviceID");
    return {};
  }
  const bool useResettable = !resettable.empty();
  const std::string& filter = useResettable ? resettable : vendor;
  const int32_t field = useResettable ? kBundleResettableDeviceIDField : kBundleVendorDeviceIDField;
  std::vector<APMQueuedBundle> out;
  for (const auto& queuedBundle : bundlesToUpload) {
    const std::string identifier = stringField(queuedBundle.bundle, field);
    const bool identifierFits = identifier.empty() || filter.empty() || identifier == filter;
    if (!identifierFits || stringField(queuedBundle.bundle, kBundleAppIDField) != appID) break;
    out.push_back(queuedBundle);
  }
  return out;
}

void APMMeasurement::setUploadInProgressWithBundleIDs(std::vector<int64_t> bundleIDs) {
  if (bundleIDs.empty()) {
    monitor()->logWithLevel(2, kAPMMeasurementCodeEmptyBundleList, "Bundle list is empty. Cancelling upload");
    return;
  }
  if (!uploadingBundleIDs_.get().empty()) {
    monitor()->logWithLevel(2, kAPMMeasurementCodeUploadAlreadyInProgress,
                            "Set uploading progress before finishing the previous upload");
    return;
  }
  uploadingBundleIDs_ = std::move(bundleIDs);
}

void APMMeasurement::incrementRetryCounter() {
  auto database = this->database();
  if (!database) return;
  os::Error error;
  if (!database->incrementRetryCounterForBundlesWithIDs(uploadingBundleIDs_, &error) && !error.domain().empty()) {
    monitor()->logWithLevel(2, kAPMMeasurementCodeRetryCountFailed, "Failed to update the bundles' retry counts. Error",
                            error);
  }
}

void APMMeasurement::networkUploadCompletionHandlerWithResponse(const std::optional<os::HTTPURLResponse>& response,
                                                                const std::optional<os::Error>& error) {
  const int status = response ? response->statusCode() : 0;
  const double currentTime = now();
  if (status != 200 && status != 204) {
    persistedConfig_->setLastFailedUploadTimestamp(currentTime);
    if (status == 503 || status == 429) persistedConfig_->setLastBackoffTimestamp(currentTime);
    monitor()->logWithLevel(7, kAPMMeasurementCodeUploadFailed, "Network upload failed. Will retry later. Code, error",
                            status, error ? APMLogContext(*error) : APMLogContext());
    incrementRetryCounter();
    uploadingBundleIDs_.get().clear();
    updateSchedule();
    return;
  }

  monitor()->logWithLevel(7, kAPMMeasurementCodeUploadSucceeded, "Successful upload. Got network response. Code, size",
                          status, static_cast<int64_t>(response->expectedContentLength()));
  persistedConfig_->setLastSuccessfulUploadTimestamp(currentTime);
  persistedConfig_->setLastFailedUploadTimestamp(0);
  persistedConfig_->setLastBackoffTimestamp(0);
  persistedConfig_->setLastUploadedEventTimestampMillis(
      std::max(persistedConfig_->lastUploadedEventTimestampMillis(), lastEventEndTimestampMsec_.get()));
  // On disk before the bundles go: a process that ends right after the
  // deletion would otherwise lose them with the delayed write.
  persistedConfig_->synchronizeToDisk();
  SKANRetryCount_ = 0;
  updateSchedule();

  if (!removeBundlesFromDatabaseWithIDs(uploadingBundleIDs_)) {
    monitor()->logWithLevel(1, kAPMMeasurementCodeDeleteUploadedFailed,
                            "Unable to delete uploaded bundles. Uploads will be suspended for seconds",
                            kSuspensionSeconds);
    suspendedUploadTimestamp_ = APMCurrentUptime();
  } else {
    suspendedUploadTimestamp_ = 0;
  }
  uploadingBundleIDs_.get().clear();

  const bool expired = remoteConfigOrDefault()->isExpired();
  const bool more = network_ && network_->isNetworkConnected() && hasDataToUpload();
  if (!more && !expired) {
    if (isPSMRequestPostponed_) {
      isPSMRequestPostponed_ = false;
      retrievePSMResponse();
    } else {
      updateSchedule();
      scheduleSKANCVFetchAfterDataUpload();
    }
  }
  if (more || expired) uploadData();
}
