// SKAdNetwork conversion values: APMMeasurement's fetch of the postback
// conversion value and its hand-over to the platform.

#include "measurement/engine/attribution/skan_conversion_values.h"

#include <algorithm>
#include <cctype>

#include "measurement/engine/core/measurement.h"
#include "measurement/messages/field_access.h"
#include "measurement/store/engine_services/event.h"
#include "os/foundation/clock.h"
#include "os/foundation/process_info.h"
#include "os/storekit/ad_network.h"
#include "platform/utilities/endpoints.h"
#include "platform/utilities/gzip.h"

namespace {

int64_t nowMillis() { return static_cast<int64_t>(os::Clock::current().wallTime() * 1000); }

bool systemAtLeast(int major, int minor) {
  return os::ProcessInfo::processInfo().isOperatingSystemAtLeastVersion({major, minor, 0});
}

bool supportsConversionValueUpdates() { return systemAtLeast(16, 1); }

std::optional<os::URL> SKANURL() {
  auto base = DAZEndpoints::URLForKey(kDAZEndpointMeasurementUpload);
  if (!base) return std::nullopt;
  std::string text = base->absoluteString();
  while (text.ends_with('/')) text.pop_back();
  return os::URL::URLWithString(text + kAPMSKANPath);
}

}  // namespace

std::string APMMeasurement::SKANVersion() {
  if (systemAtLeast(16, 1)) return "4.0";
  if (systemAtLeast(14, 6)) return "3.0";
  if (systemAtLeast(14, 5)) return "2.2";
  if (systemAtLeast(14, 0)) return "2.1";
  if (systemAtLeast(13, 7)) return "1.0";
  return "0";
}

bool APMMeasurement::isInFirstSKANPostbackWindow() {
  return persistedConfig_->firstOpenTimestampMilliseconds() + kAPMSKANFirstPostbackWindowMillis >= nowMillis();
}

bool APMMeasurement::isPastAllSKANPostbackWindows() {
  return persistedConfig_->firstOpenTimestampMilliseconds() + kAPMSKANAllPostbackWindowsMillis < nowMillis();
}

bool APMMeasurement::isValidFineConversionValue(int value) { return value >= 0 && value <= 63; }

SKAdNetworkCoarseConversionValue APMMeasurement::convertCoarseConversionValueFromProtoValue(int value) {
  if (value == 3) return SKAdNetworkCoarseConversionValueHigh;
  if (value == 2) return SKAdNetworkCoarseConversionValueMedium;
  return SKAdNetworkCoarseConversionValueLow;
}

int64_t APMMeasurement::SKANFetchRetryLimit() {
  const int64_t evaluationTime = persistedConfig_->SKANEvaluationEventTimeMillis();
  const int64_t backoff = persistedConfig_->SKANEvaluationUpdateBackoffMillis();
  if (evaluationTime >= 1 && backoff >= 1 && evaluationTime + backoff >= nowMillis()) return 1;
  auto config = remoteConfigOrDefault();
  return isInFirstSKANPostbackWindow() ? config->SKANFirstWindowCVFetchRetryLimit() : config->SKANCVFetchRetryLimit();
}

bool APMMeasurement::shouldFetchSKANConversionValue() {
  if (!supportsConversionValueUpdates() || !remoteConfigOrDefault()->SKANUpdateConversionValueEnabled()) return false;
  if (isPastAllSKANPostbackWindows() || isSKANRequestInProgress_) return false;
  auto identity = this->identity();
  return identity && !identity->appInstanceID().value_or("").empty();
}

void APMMeasurement::scheduleSKANCVFetchAfterDataUpload() {
  if (!shouldFetchSKANConversionValue()) return;
  if (!SKANDelayAlarm_)
    SKANDelayAlarm_ = APMAlarm::initWithDispatchQueue(scheduler_->workerQueue(), kAPMSKANDelayAlarmName);
  auto config = remoteConfigOrDefault();
  const double delay =
      isInFirstSKANPostbackWindow() ? config->SKANFirstWindowCVFetchDelay() : config->SKANInitialCVFetchDelay();
  std::weak_ptr<APMMeasurement> weakSelf = weak_from_this();
  SKANDelayAlarm_->runAfterDelay(delay, [weakSelf] {
    if (auto self = weakSelf.lock()) self->fetchSKANCV();
  });
}

void APMMeasurement::fetchSKANCV() {
  if (!shouldFetchSKANConversionValue()) return;
  if (!isNetworkReadyForRequest()) {
    monitor()->logWithLevel(7, kAPMSKANCodePostponed,
                            "Network operation is pending. Request to fetch SKAdNetwork conversion value postponed.");
    return;
  }
  if (!network_ || !network_->isNetworkConnected()) {
    fetchSKANWhenNetworkConnected_ = true;
    return;
  }
  const auto url = SKANURL();
  if (!url) return;  // no measurement service configured (the endpoints resource logs it)

  isSKANRequestInProgress_ = true;
  fetchSKANWhenNetworkConnected_ = false;
  isNetworkRequestPending_ = true;
  network_->setTimeoutInterval(remoteConfigOrDefault()->networkTimeout());
  if (SKANDelayAlarm_) SKANDelayAlarm_->cancel();
  if (SKANRetryAlarm_) SKANRetryAlarm_->cancel();

  auto request = APMPBSkAdNetworkConversionValueRequest::initWithBuffer(os::Data());
  APMPBSetInt64(request.get(), APMSKANRequestFieldLibraryVersion, APMIdentity::duvEvodedezudiLibraryVersion());
  if (auto identity = this->identity()) {
    APMPBSetString(request.get(), APMSKANRequestFieldAppID, identity->appID());
    APMPBSetString(request.get(), APMSKANRequestFieldAppInstanceID, identity->appInstanceID());
  }
  APMPBSetString(request.get(), APMSKANRequestFieldSKANVersion, SKANVersion());
  APMPBSetInt64(request.get(), APMSKANRequestFieldEvaluationEventTime,
                persistedConfig_->SKANEvaluationEventTimeMillis());
  APMPBSetInt64(request.get(), APMSKANRequestFieldLastUploadedEventTime,
                persistedConfig_->lastUploadedEventTimestampMillis());

  std::weak_ptr<APMMeasurement> weakSelf = weak_from_this();
  network_->postURL(*url, {{"Accept-Encoding", "gzip"}}, request->protoBuffer().value_or(os::Data()),
                    scheduler_->workerQueue(), false,
                    [weakSelf](std::optional<os::HTTPURLResponse> response, std::optional<os::Data> data,
                               std::optional<os::Error> error) {
                      auto self = weakSelf.lock();
                      if (!self) return;
                      self->isSKANRequestInProgress_ = false;
                      self->fetchSKANWhenNetworkConnected_ = false;
                      self->isNetworkRequestPending_ = false;
                      self->handleSKANFetchResponse(response, data, error);
                    });
}

void APMMeasurement::maybeFetchSKANCVAfterReachabilityChange() {
  if (fetchSKANWhenNetworkConnected_ && network_ && network_->isNetworkConnected()) fetchSKANCV();
}

void APMMeasurement::handleSKANFetchResponse(const std::optional<os::HTTPURLResponse>& response,
                                             const std::optional<os::Data>& data,
                                             const std::optional<os::Error>& error) {
  const int status = response ? response->statusCode() : 0;
  if (status == 304) {
    stopProcessingSKANResponseAndResetRetryCount();
    return;
  }
  if (status != 200) {
    monitor()->logWithLevel(7, kAPMSKANCodeFetchFailed,
                            "Network request failed to fetch SKAN conversion value. Code, Error", int64_t(status),
                            error ? APMLogContext(*error) : APMLogContext());
    maybeScheduleSKANCVFetchRetry();
    return;
  }
  os::Data body = data.value_or(os::Data());
  std::string encoding = response->valueForHTTPHeaderField("Content-Encoding").value_or("");
  std::transform(encoding.begin(), encoding.end(), encoding.begin(), [](unsigned char c) { return std::tolower(c); });
  if (encoding == "gzip" && !body.empty()) {
    // The transfer layer may have expanded it already; then the bytes stay.
    auto inflated = DAZGzip::daz_dataByInflatingGzippedData(body);
    if (inflated && *inflated) body = **inflated;
  }
  if (body.empty()) {
    monitor()->logWithLevel(1, kAPMSKANCodeEmptyData, "No SKAdNetwork conversion value data returned.");
    stopProcessingSKANResponseAndResetRetryCount();
    return;
  }
  auto message = APMPBSkAdNetworkConversionValueResponse::initWithBuffer(body);
  if (!message) {
    monitor()->logWithLevel(1, kAPMSKANCodeInvalidData, "Invalid SKAdNetwork conversion value data returned.");
    stopProcessingSKANResponseAndResetRetryCount();
    return;
  }
  const bool hasStatus = APMPBHasField(message.get(), APMSKANResponseFieldStatus);
  const int32_t answer = hasStatus ? APMPBGetInt32(message.get(), APMSKANResponseFieldStatus) : 0;
  if (answer == kAPMSKANStatusApply) {
    updateSKANPostbackConversionValueFromResponse(message);
  } else if (answer == kAPMSKANStatusNothingToApply) {
    stopProcessingSKANResponseAndResetRetryCount();
  } else {
    maybeScheduleSKANCVFetchRetry();
  }
}

void APMMeasurement::updateSKANPostbackConversionValueFromResponse(
    const std::shared_ptr<APMPBSkAdNetworkConversionValueResponse>& response) {
  if (!response || !supportsConversionValueUpdates()) return;
  const auto* r = response.get();
  if (!APMPBHasField(r, APMSKANResponseFieldEvaluationEventTime)) {
    monitor()->logWithLevel(1, kAPMSKANCodeNoEventTime, "SKAdNetwork conversion value data missing event time field.");
    maybeScheduleSKANCVFetchRetry();
    return;
  }
  const bool hasFine = APMPBHasField(r, APMSKANResponseFieldFineValue);
  const bool hasCoarse = APMPBHasField(r, APMSKANResponseFieldCoarseValue);
  if (!hasFine && !hasCoarse) {
    monitor()->logWithLevel(1, kAPMSKANCodeNoValues, "SKAdNetwork fine and coarse conversion values missing.");
    stopProcessingSKANResponseAndResetRetryCount();
    return;
  }
  const int fine = hasFine ? APMPBGetInt32(r, APMSKANResponseFieldFineValue) : 0;
  const SKAdNetworkCoarseConversionValue coarse =
      convertCoarseConversionValueFromProtoValue(hasCoarse ? APMPBGetInt32(r, APMSKANResponseFieldCoarseValue) : 1);
  const bool lockWindow =
      APMPBHasField(r, APMSKANResponseFieldLockWindow) && APMPBGetBool(r, APMSKANResponseFieldLockWindow);
  if (!isValidFineConversionValue(fine)) {
    monitor()->logWithLevel(1, kAPMSKANCodeInvalidFineValue, "Invalid SKAdNetwork fine conversion value. Fine value",
                            int64_t(fine));
    stopProcessingSKANResponseAndResetRetryCount();
    return;
  }
  if (!APMPBHasField(r, APMSKANResponseFieldExpiryTime)) {
    monitor()->logWithLevel(1, kAPMSKANCodeNoExpiry, "SKAdNetwork conversion value data missing result time field.");
    maybeScheduleSKANCVFetchRetry();
    return;
  }
  // Whole seconds in 64 bits: a 32-bit count would wrap in 2038 and make
  // every later expiry look past.
  const int64_t expirySeconds = APMPBGetInt64(r, APMSKANResponseFieldExpiryTime) / 1000;
  if (os::Clock::current().wallTime() > double(expirySeconds)) {
    monitor()->logWithLevel(4, kAPMSKANCodeExpired, "SKAdNetwork conversion value expired.");
    maybeScheduleSKANCVFetchRetry();
    return;
  }
  const int64_t evaluationTime = APMPBGetInt64(r, APMSKANResponseFieldEvaluationEventTime);
  if (evaluationTime < persistedConfig_->lastUploadedEventTimestampMillis()) {
    monitor()->logWithLevel(4, kAPMSKANCodeOutdated, "Received outdated SKAdNetwork conversion value.");
    maybeScheduleSKANCVFetchRetry();
    return;
  }
  SKANRetryCount_ = 0;
  persistedConfig_->setSKANEvaluationEventTimeMillis(evaluationTime);
  persistedConfig_->setSKANEvaluationUpdateBackoffMillis(
      APMPBHasField(r, APMSKANResponseFieldUpdateBackoff) ? APMPBGetInt64(r, APMSKANResponseFieldUpdateBackoff) : 0);
  monitor()->logWithLevel(7, kAPMSKANCodeUpdating, "Updating SKAdNetwork postback conversion value.");
  std::weak_ptr<APMMeasurement> weakSelf = weak_from_this();
  auto scheduler = scheduler_;
  SKAdNetwork::updatePostbackConversionValue(
      fine, coarse, lockWindow, [weakSelf, scheduler, response](const std::optional<os::Error>& error) {
        scheduler->scheduleOnWorkerQueueBlockID("APMMeasurement:429", [weakSelf, response, error] {
          if (auto self = weakSelf.lock()) {
            self->handleSKANUpdatePostbackCompletion(response, error);
          }
        });
      });
}

void APMMeasurement::handleSKANUpdatePostbackCompletion(
    const std::shared_ptr<APMPBSkAdNetworkConversionValueResponse>& response, const std::optional<os::Error>& error) {
  const bool ignored = error && supportsConversionValueUpdates() && error->domain() == SKANErrorDomain &&
                       error->code() == kAPMSKANIgnoredErrorCode;
  if (error && !ignored) {
    monitor()->logWithLevel(1, kAPMSKANCodeUpdateFailed, "SKAdNetwork postback conversion value update failed. Error",
                            *error);
    return;
  }
  APMEventParameters parameters;
  const auto* r = response.get();
  if (r && APMPBHasField(r, APMSKANResponseFieldMessage)) {
    if (auto text = APMPBGetString(r, APMSKANResponseFieldMessage)) {
      if (auto value = APMValue::initWithString(*text)) parameters.emplace("_skanm", *value);
    }
  }
  auto int64Field = [&](const char* name, int32_t field, bool isBool = false) {
    if (!r || !APMPBHasField(r, field)) return;
    const int64_t value = isBool
                              ? int64_t(APMPBGetBool(r, field))
                              : (field == APMSKANResponseFieldEvaluationEventTime ? APMPBGetInt64(r, field)
                                                                                  : int64_t(APMPBGetInt32(r, field)));
    parameters.emplace(name, APMValue::initWithInt64(value));
  };
  int64Field("_skanf", APMSKANResponseFieldFineValue);
  int64Field("_skanc", APMSKANResponseFieldCoarseValue);
  int64Field("_skanl", APMSKANResponseFieldLockWindow, true);
  int64Field("_skane", APMSKANResponseFieldEvaluationEventTime);
  auto event = APMEvent::initWithOrigin(kAPMSKANOrigin, false, kAPMSKANEventName, os::Clock::current().wallTime(), 0,
                                        std::move(parameters));
  if (event) handleInternalEventOnWorkerQueue(event);
}

void APMMeasurement::maybeScheduleSKANCVFetchRetry() {
  ++SKANRetryCount_;
  if (SKANRetryCount_ > SKANFetchRetryLimit()) {
    monitor()->logWithLevel(4, kAPMSKANCodeRetryLimit, "Reached retry limit for SKAdNetwork conversion value fetch.");
    return;
  }
  if (!SKANRetryAlarm_)
    SKANRetryAlarm_ = APMAlarm::initWithDispatchQueue(scheduler_->workerQueue(), kAPMSKANRetryAlarmName);
  auto config = remoteConfigOrDefault();
  const double delay = isInFirstSKANPostbackWindow() ? config->SKANFirstWindowCVFetchRetryInterval()
                                                     : config->SKANCVFetchRetryInterval();
  std::weak_ptr<APMMeasurement> weakSelf = weak_from_this();
  SKANRetryAlarm_->runAfterDelay(delay, [weakSelf] {
    if (auto self = weakSelf.lock()) self->fetchSKANCV();
  });
}

void APMMeasurement::stopProcessingSKANResponseAndResetRetryCount() { SKANRetryCount_ = 0; }
