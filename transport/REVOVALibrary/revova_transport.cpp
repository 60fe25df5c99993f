#include "transport/REVOVALibrary/revova_transport.h"

#include <atomic>

#include "transport/REVOVALibrary/revova_platform.h"
#include "transport/REVOVALibrary/revova_registrar.h"

// ---- REVOVATransformer ----

std::shared_ptr<REVOVATransformer> REVOVATransformer::sharedInstance() {
  static auto* instance =
      new std::shared_ptr<REVOVATransformer>(initWithApplication(REVOVAApplication::sharedApplication()));
  return *instance;
}

REVOVATransformer::REVOVATransformer(std::shared_ptr<REVOVAApplicationProtocol> application)
    : eventWritingQueue_(os::DispatchQueue::serial(kREVOVATransformerQueueLabel)),
      application_(std::move(application)) {}

void REVOVATransformer::transformEvent(const REVOVAEventPtr& event, const REVOVAEventTransformers& withTransformers,
                                       REVOVASendCompletion onComplete) {
  if (!REVOVAAssert(event != nullptr, "You can't write a nil event")) {
    if (onComplete) onComplete(false, os::Error(os::kInternalInconsistencyException, -1));
    return;
  }
  // Whichever comes first, the expiration or the completion, ends the task.
  REVOVABackgroundTask task(application_, kREVOVATransformerBackgroundTaskName);
  REVOVASendCompletion completion = [task, onComplete = std::move(onComplete)](bool wasWritten,
                                                                               std::optional<os::Error> error) {
    if (onComplete) onComplete(wasWritten, std::move(error));
    if (!task.end()) {
      REVOVALogWarning(kREVOVAMessageCodeDefault, "Attempted to cancel invalid background task in REVOVATransformer.");
    }
  };
  eventWritingQueue_->async([event, transformers = withTransformers, completion = std::move(completion)] {
    REVOVAEventPtr transformed = event;
    for (const auto& transformer : transformers) {
      if (!transformer) {
        REVOVALog(kREVOVAMessageCodeTransformer, kREVOVALogLevelError,
                  "Transformer doesn't implement transformDOVEvent: %@", "(null)");
        completion(false, std::nullopt);
        return;
      }
      REVOVALogDebug("Applying a transformer to event %@", transformed->description());
      transformed = transformer->transformDOVEvent(transformed);
      if (!transformed) {
        completion(false, std::nullopt);
        return;
      }
    }
    auto storages = REVOVARegistrar::sharedInstance()->targetToStorage();
    auto storage = storages.find(transformed->target());
    if (storage == storages.end() || !storage->second) {
      // Nothing would ever report otherwise, and callers wait on the report.
      REVOVALog(kREVOVAMessageCodeDefault, kREVOVALogLevelError, "No storage is registered for target %ld.",
                transformed->target());
      os::Dictionary info{{os::kLocalizedFailureReasonErrorKey,
                           os::Value(os::format("No storage is registered for target %ld.", transformed->target()))}};
      completion(false, os::Error(kREVOVATransformerErrorDomain, -1, std::move(info)));
      return;
    }
    storage->second->storeEvent(transformed, completion);
  });
}

// ---- REVOVATransport ----

REVOVATransport::REVOVATransport(std::string mappingID, REVOVAEventTransformers transformers, int64_t target)
    : mappingID_(std::move(mappingID)),
      transformers_(std::move(transformers)),
      target_(target),
      transformerInstance_(REVOVATransformer::sharedInstance()) {}

std::shared_ptr<REVOVATransport> REVOVATransport::initWithMappingID(const std::string& mappingID,
                                                                    REVOVAEventTransformers transformers,
                                                                    int64_t target) {
  bool valid = REVOVAAssert(!mappingID.empty(), "A mapping ID cannot be nil or empty");
  valid = REVOVAAssert(target >= 1, "A target cannot be negative or 0") && valid;
  if (!valid) return nullptr;
  auto transport = std::make_shared<REVOVATransport>(mappingID, std::move(transformers), target);
  REVOVALogDebug("Transport object created. mappingID:%@ transformers:%ld target:%ld", mappingID,
                 static_cast<int64_t>(transport->transformers_.size()), target);
  return transport;
}

REVOVAEventPtr REVOVATransport::eventForTransport() const { return REVOVAEvent::initWithMappingID(mappingID_, target_); }

REVOVAEventPtr REVOVATransport::eventForTransportWithProductData(
    std::shared_ptr<const REVOVAProductData> productData) const {
  return REVOVAEvent::initWithMappingID(mappingID_, std::move(productData), target_);
}

void REVOVATransport::sendDataEvent(const REVOVAEventPtr& event, REVOVASendCompletion onComplete) {
  REVOVAAssert(!event || event->qosTier() != kREVOVAEventQoSTierTelemetry, "Use -sendTelemetryEvent, please.");
  sendEvent(event, std::move(onComplete));
}

void REVOVATransport::sendTelemetryEvent(const REVOVAEventPtr& event, REVOVASendCompletion onComplete) {
  if (event) event->setQosTier(kREVOVAEventQoSTierTelemetry);
  sendEvent(event, std::move(onComplete));
}

void REVOVATransport::sendEvent(const REVOVAEventPtr& event, REVOVASendCompletion onComplete) {
  REVOVAAssert(event != nullptr, "You can't send a nil event");
  REVOVAEventPtr copy = event ? event->copy() : nullptr;
  if (copy) copy->setClockSnapshot(REVOVAClock::snapshot());
  transformerInstance_->transformEvent(copy, transformers_, std::move(onComplete));
}
