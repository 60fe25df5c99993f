#include "transport/REVADA/revada_upload_operation.h"

#include <cmath>
#include <limits>

#include "os/foundation/number_formatter.h"
#include "transport/REVADA/revada_compression.h"
#include "transport/REVADA/revada_messages.h"
#include "transport/REVOVALibrary/revova_platform.h"

namespace {

// The name of a target in the user agent.
const char* targetName(int64_t target) {
  switch (target) {
    case kREVOVATargetREVADA: return "revada";
    case kREVOVATargetFLL: return "fll";
    case kREVOVATargetCSH: return "csh";
    case kREVOVATargetINT: return "int";
    default: return "unknown";
  }
}

// The "Retry-After" value in milliseconds: a decimal number of seconds, its
// whole part taken. Nothing when it is not a number, is negative, or is too
// large for milliseconds.
std::optional<uint64_t> retryAfterMillis(const std::string& header) {
  auto number = os::NumberFormatter(os::NumberFormatterStyle::Decimal).numberFromString(header);
  if (!number) return std::nullopt;
  constexpr uint64_t kMaxSeconds = uint64_t(std::numeric_limits<int64_t>::max()) / 1000;
  uint64_t seconds = 0;
  if (number->isFloatingPoint()) {
    const double value = number->doubleValue();
    if (!(value >= 0) || value >= double(kMaxSeconds)) return std::nullopt;
    seconds = static_cast<uint64_t>(value);
  } else {
    if (number->int64Value() < 0 || uint64_t(number->int64Value()) > kMaxSeconds) return std::nullopt;
    seconds = uint64_t(number->int64Value());
  }
  return seconds * 1000;
}

}  // namespace

REVADAUploadOperation::REVADAUploadOperation(int64_t target, int64_t conditions, std::optional<os::URL> uploadURL,
                                             std::shared_ptr<os::DispatchQueue> queue,
                                             std::shared_ptr<REVOVAStoragePromiseProtocol> storage,
                                             std::shared_ptr<REVADAUploadMetadataProvider> metadataProvider,
                                             std::shared_ptr<REVOVAMetricsControllerProtocol> metricsController)
    : target_(target),
      conditions_(conditions),
      uploadURL_(std::move(uploadURL)),
      uploaderQueue_(std::move(queue)),
      storage_(std::move(storage)),
      metadataProvider_(std::move(metadataProvider)),
      metricsController_(std::move(metricsController)) {}

REVADAUploadOperation::~REVADAUploadOperation() = default;

std::shared_ptr<REVADAUploadOperation> REVADAUploadOperation::self() {
  return std::static_pointer_cast<REVADAUploadOperation>(shared_from_this());
}

// ---- the operation ----

void REVADAUploadOperation::start() {
  startOperation();
  REVOVALogDebug("Upload operation started: %@", static_cast<const void*>(this));
  uploadTarget(target_, conditions_);
}

void REVADAUploadOperation::startOperation() {
  willChangeValueForKey(os::kOperationIsExecutingKey);
  willChangeValueForKey(os::kOperationIsFinishedKey);
  {
    std::lock_guard lock(mutex_);
    executing_ = true;
    finished_ = false;
  }
  didChangeValueForKey(os::kOperationIsExecutingKey);
  didChangeValueForKey(os::kOperationIsFinishedKey);
}

void REVADAUploadOperation::finishOperation() {
  willChangeValueForKey(os::kOperationIsExecutingKey);
  willChangeValueForKey(os::kOperationIsFinishedKey);
  {
    std::lock_guard lock(mutex_);
    executing_ = false;
    finished_ = true;
  }
  didChangeValueForKey(os::kOperationIsExecutingKey);
  didChangeValueForKey(os::kOperationIsFinishedKey);
}

void REVADAUploadOperation::cancel() {
  os::Operation::cancel();
  std::lock_guard lock(mutex_);
  if (!executing_) finished_ = true;
}

bool REVADAUploadOperation::isExecuting() const {
  std::lock_guard lock(mutex_);
  return executing_;
}

bool REVADAUploadOperation::isFinished() const {
  std::lock_guard lock(mutex_);
  return finished_;
}

bool REVADAUploadOperation::uploadAttempted() const {
  std::lock_guard lock(mutex_);
  return uploadAttempted_;
}

// ---- background time ----

// Runs before the background task ends at its expiry.
void REVADAUploadOperation::backgroundTaskExpired() {
  std::shared_ptr<os::URLSessionDataTask> task;
  {
    std::lock_guard lock(mutex_);
    if (!backgroundTask_.isActive()) {
      REVOVALogWarning(kREVOVAMessageCodeDefault, "Attempted to cancel invalid background task in REVADAUploadOperation.");
      return;
    }
    task = currentTask_;
  }
  if (task) task->cancel();
}

void REVADAUploadOperation::endBackgroundTask() {
  REVOVABackgroundTask ending;
  {
    std::lock_guard lock(mutex_);
    ending = backgroundTask_;
  }
  ending.end();
}

// ---- the chain ----

void REVADAUploadOperation::uploadTarget(int64_t target, int64_t conditions) {
  auto self = this->self();
  std::weak_ptr<REVADAUploadOperation> weak = self;
  auto app = REVOVAApplication::sharedApplication();
  {
    // Held while the identifier is stored: an expiry cannot slip in between.
    std::lock_guard lock(mutex_);
    backgroundTask_ = REVOVABackgroundTask(app, kREVADAUploadBackgroundTaskName, [weak] {
      if (auto operation = weak.lock()) operation->backgroundTaskExpired();
    });
  }
  const auto& q = uploaderQueue_;
  auto storage = storage_;
  isReadyToUploadTarget(target, conditions)
      .validate(q, [self] { return !self->isCancelled(); })
      .then(q, [storage, target] { return storage->removeAllBatchesForTarget(target, false); })
      .then(q, [storage, target] { return storage->hasEventsForTarget(target); })
      .validate(q, [](bool hasEvents) { return hasEvents; })
      .then(q,
            [storage, target, conditions](bool) {
              return storage->batchWithEventSelector(eventSelectorTarget(target, conditions),
                                                     os::Date::now().addingTimeInterval(kREVADABatchLifetimeSeconds));
            })
      .then(q,
            [self, target](const REVOVAUploadBatch& batch) {
              if (!self->metricsController_) return promises::Promise<REVOVAUploadBatch>([batch] { return batch; });
              return self->batchByAddingMetricsEventToBatch(batch, target);
            })
      .validate(q, [self](const REVOVAUploadBatch&) { return !self->isCancelled(); })
      .then(q,
            [self, target, storage](const REVOVAUploadBatch& batch) {
              {
                std::lock_guard lock(self->mutex_);
                self->uploadAttempted_ = true;
              }
              return self->uploadBatch(batch, target, storage);
            })
      .always(q, [self] {
        self->finishOperation();
        self->endBackgroundTask();
      });
}

bool REVADAUploadOperation::readyToUploadTarget(int64_t target, int64_t conditions) {
  if (conditions & kREVOVAUploadConditionNoNetwork) {
    REVOVALogDebug("REVADA: Not ready to upload without a network connection.");
    return false;
  }
  if (conditions & kREVOVAUploadConditionHighPriority) {
    REVOVALogDebug("REVADA: a high priority event is allowing an upload");
    return true;
  }
  auto next = metadataProvider_ ? metadataProvider_->nextUploadTimeForTarget(target) : nullptr;
  if (!next) return true;
  const bool ready = REVOVAClock::snapshot()->isAfter(*next);
  if (ready) REVOVALogDebug("REVADA: can upload to target %ld because the request wait time has transpired", target);
  else REVOVALogDebug("REVADA: can't upload to target %ld because the backend asked to wait", target);
  return ready;
}

promises::Promise<void> REVADAUploadOperation::isReadyToUploadTarget(int64_t target, int64_t conditions) {
  auto self = this->self();
  return promises::Promise<void>(uploaderQueue_, [self, target, conditions]() -> os::Status {
    if (self->readyToUploadTarget(target, conditions)) return {};
    return os::fail(genericRejectedPromiseErrorWithReason(
        os::format("Target %ld is not ready to upload with condition: %ld", target, conditions)));
  });
}

REVOVAStorageEventSelector REVADAUploadOperation::eventSelectorTarget(int64_t target, int64_t conditions) {
  if (conditions & kREVOVAUploadConditionHighPriority) return REVOVAStorageEventSelector::eventSelectorForTarget(target);
  std::set<int64_t> tiers;
  if (conditions & kREVOVAUploadConditionWifiData) tiers.insert({4, 5, 3, 1, 0});
  if (conditions & kREVOVAUploadConditionMobileData) tiers.insert({4, 3});
  return REVOVAStorageEventSelector::initWithTarget(target, {}, {}, std::move(tiers));
}

promises::Promise<REVOVAUploadBatch> REVADAUploadOperation::batchByAddingMetricsEventToBatch(
    const REVOVAUploadBatch& batch, int64_t target) {
  auto self = this->self();
  return metricsController_->getAndResetMetrics()
      .then(uploaderQueue_,
            [self, batch, target](const REVOVAMetrics& metrics) {
              self->currentMetrics_ = metrics;
              REVOVAEventSet events = batch.events;
              if (auto event = REVOVAEvent::eventWithMetrics(metrics, target)) events.insert(std::move(event));
              return REVOVAUploadBatch::initWithBatchID(batch.batchID, std::move(events));
            })
      .recover(uploaderQueue_, [batch](const os::Error&) { return batch; });
}

promises::Promise<void> REVADAUploadOperation::uploadBatch(const REVOVAUploadBatch& batch, int64_t target,
                                                           const std::shared_ptr<REVOVAStoragePromiseProtocol>& storage) {
  auto self = this->self();
  return sendURLRequestWithBatch(batch, target)
      .then(uploaderQueue_,
            [self, batch, target, storage](const REVADAURLSessionDataResponse& response) {
              self->updateNextUploadTimeWithResponse(response, target);
              return self->processResponse(response, batch, storage);
            })
      .recover(uploaderQueue_, [self, batch, storage](const os::Error&) {
        self->offerCurrentMetrics();
        return storage->removeBatchWithID(batch.batchID, false);
      });
}

promises::Promise<REVADAURLSessionDataResponse> REVADAUploadOperation::sendURLRequestWithBatch(
    const REVOVAUploadBatch& batch, int64_t target) {
  auto self = this->self();
  return promises::Promise<os::URLRequest>(
             uploaderQueue_,
             [self, batch, target]() -> os::Result<os::URLRequest> {
               os::Data body = constructRequestProtoWithEvents(batch.events);
               if (auto gzipped = REVADACompressionHelper::gzippedData(body); gzipped && gzipped->length() < body.length())
                 body = std::move(*gzipped);
               auto request = self->constructRequestWithURL(self->uploadURL_, target, body);
               if (!request)
                 return os::fail(genericRejectedPromiseErrorWithReason(
                     os::format("There was no request for batch: %ld for target: %ld", batch.batchID, target)));
               REVOVALogDebug("REVADA: request containing %lu events for batch: %@ for target: %ld created: %@",
                              batch.events.size(), batch.batchID, target, request->url().absoluteString());
               return std::move(*request);
             })
      .then(promises::promisesQueue(),
            [self](const os::URLRequest& request) { return self->startDataTask(request); })
      .always(uploaderQueue_, [self] {
        std::shared_ptr<os::URLSession> session;
        {
          std::lock_guard lock(self->mutex_);
          session = self->uploaderSession_;
        }
        if (session) session->finishTasksAndInvalidate();
      });
}

promises::Promise<REVADAURLSessionDataResponse> REVADAUploadOperation::startDataTask(const os::URLRequest& request) {
  auto promise = promises::Promise<REVADAURLSessionDataResponse>::pending();
  auto session = uploaderSessionCreateIfNeeded();
  auto task = session ? session->dataTaskWithRequest(
                            request,
                            [promise, url = request.url()](std::optional<os::Data> data,
                                                           std::optional<os::HTTPURLResponse> response,
                                                           std::optional<os::Error> error) {
                              if (error) return promise.reject(*error);
                              if (!response) return promise.reject(os::URLError(os::kURLErrorBadServerResponse, url));
                              promise.fulfill(REVADAURLSessionDataResponse::initWithResponse(
                                  std::move(*response), data.value_or(os::Data())));
                            })
                      : nullptr;
  if (!task) {
    promise.reject(os::URLError(os::kURLErrorUnknown, request.url()));
    return promise;
  }
  {
    std::lock_guard lock(mutex_);
    currentTask_ = task;
  }
  task->resume();
  return promise;
}

std::shared_ptr<os::URLSession> REVADAUploadOperation::uploaderSessionCreateIfNeeded() {
  std::lock_guard lock(mutex_);
  if (!uploaderSession_) {
    uploaderSession_ = os::URLSession::sessionWithConfiguration(os::URLSessionConfiguration::defaultSessionConfiguration(),
                                                                self(), os::URLSessionDelegateQueue());
  }
  return uploaderSession_;
}

os::Data REVADAUploadOperation::constructRequestProtoWithEvents(const REVOVAEventSet& events) {
  return REVADAEncodeUploadRequest(events);
}

std::optional<os::URLRequest> REVADAUploadOperation::constructRequestWithURL(const std::optional<os::URL>& url,
                                                                             int64_t target, const os::Data& data) {
  if (data.empty() || !url) {
    REVOVALogDebug("There was no data to construct a request for target %ld.", target);
    return std::nullopt;
  }
  os::URLRequest request(*url);
  if (auto key = metadataProvider_ ? metadataProvider_->APIKeyForTarget(target) : std::nullopt)
    request.setValue(*key, kREVADAAPIKeyHeader);
  if (REVADACompressionHelper::isGzipped(data)) request.setValue("gzip", "Content-Encoding");
  request.setValue("application/x-protobuf", "Content-Type");
  request.setValue("gzip", "Accept-Encoding");
  request.setValue(os::format("eventtransport/%@ %@support/%@ apple/", kREVADATransportVersion, targetName(target),
                              kREVADATransportVersion),
                   "User-Agent");
  request.setHTTPMethod("POST");
  request.setHTTPBody(data);
  return request;
}

void REVADAUploadOperation::updateNextUploadTimeWithResponse(const REVADAURLSessionDataResponse& response,
                                                             int64_t target) {
  std::shared_ptr<const REVOVAClock> next;
  if (!response.HTTPBody.empty()) {
    auto decoded = REVADADecodeUploadResponse(response.HTTPBody);
    if (!decoded) {
      REVOVALogDebug("There was a response decoding error: %@", decoded.error());
    } else if (decoded->nextRequestWaitMillis) {
      const int64_t wait = *decoded->nextRequestWaitMillis;
      REVOVALogDebug("REVADA: The backend responded asking to not upload for %lld millis from now.", wait);
      // A wait below zero asks for none.
      next = REVOVAClock::clockSnapshotInTheFuture(wait > 0 ? uint64_t(wait) : 0);
    }
  }
  if (!next) {
    auto header = response.HTTPResponse.valueForHTTPHeaderField("Retry-After");
    if (header && !header->empty()) {
      if (auto millis = retryAfterMillis(*header)) next = REVOVAClock::clockSnapshotInTheFuture(*millis);
    }
  }
  if (!next) {
    REVOVALogDebug(
        "REVADA: The backend response failed to parse, so the next request won't occur until 15 minutes from now");
    next = REVOVAClock::clockSnapshotInTheFuture(kREVADADefaultWaitMillis);
  }
  if (metadataProvider_) metadataProvider_->setNextUploadTime(next, target);
}

void REVADAUploadOperation::offerCurrentMetrics() {
  const auto& metrics = currentMetrics_.get();
  if (metrics && metricsController_) metricsController_->offerMetrics(metrics);
}

promises::Promise<void> REVADAUploadOperation::processResponse(
    const REVADAURLSessionDataResponse& response, const REVOVAUploadBatch& batch,
    const std::shared_ptr<REVOVAStoragePromiseProtocol>& storage) {
  const int status = response.HTTPResponse.statusCode();
  bool deleteEvents = true;
  if (status >= 200 && status <= 299) {
    REVOVALogDebug("REVADA: batch %@ uploaded. Batch will be deleted.", batch.batchID);
    if (const auto& metrics = currentMetrics_.get(); metrics && metricsController_)
      metricsController_->commitMetrics(*metrics);
  } else if (status == 404 || status == 429 || (status >= 500 && status <= 599)) {
    REVOVALogDebug("REVADA: batch %@ upload failed. Batch will attempt to be uploaded later.", batch.batchID);
    deleteEvents = false;
    offerCurrentMetrics();
  } else {
    REVOVALogDebug("REVADA: batch %@ upload failed. Batch will be deleted.", batch.batchID);
    offerCurrentMetrics();
    if (status == 400 && metricsController_)
      metricsController_->logEventsDroppedForReason(kREVADADropReasonServerError, batch.events);
  }
  // The metrics updates above are queued on the storage's queue before the
  // removal, so they are done when it is.
  return storage->removeBatchWithID(batch.batchID, deleteEvents);
}

os::Error REVADAUploadOperation::genericRejectedPromiseErrorWithReason(const std::string& reason) {
  return os::Error(kREVADAUploaderErrorDomain, -1, os::Dictionary{{os::kLocalizedFailureReasonErrorKey, os::Value(reason)}});
}

void REVADAUploadOperation::URLSessionTaskWillPerformHTTPRedirectionNewRequestCompletionHandler(
    os::URLSession&, os::URLSessionTask& task, const os::HTTPURLResponse& response, const os::URLRequest& request,
    std::function<void(std::optional<os::URLRequest>)> completionHandler) {
  if (!completionHandler) return;
  if (response.statusCode() == 301 || response.statusCode() == 302) {
    // Built for this operation's target, so that the key and the user agent
    // of 1001 to 1003 survive the redirect.
    completionHandler(
        constructRequestWithURL(request.url(), target_, task.originalRequest().HTTPBody().value_or(os::Data())));
    return;
  }
  completionHandler(request);
}
