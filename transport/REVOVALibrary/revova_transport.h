// The front door of the event transport.
//
// A client component makes one REVOVATransport per mapping ID and target, asks
// it for events, fills them and sends them. A send copies the event (the
// client may go on changing its own), stamps the copy with a clock snapshot
// and hands it to the shared REVOVATransformer, which runs the client's
// transformers on the serial queue "com.devuvo.REVOVATransformer" and passes
// the result to the storage registered for the event's target.
//
// A send's completion reports whether the event was written to storage, never
// whether it was uploaded; it runs on the storage's or the transformer's
// queue. It always runs: with false and no error when a transformer dropped
// the event, with false and an error when storing failed or no storage serves
// the target.
//
// Background time ("DOVTransformer") is held from the hand-over until the
// storage reports.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "os/dispatch/queue.h"
#include "os/foundation/error.h"
#include "transport/REVOVALibrary/revova_application.h"
#include "transport/REVOVALibrary/revova_event.h"
#include "transport/REVOVALibrary/revova_protocols.h"

inline constexpr const char* kREVOVATransformerQueueLabel = "com.devuvo.REVOVATransformer";
inline constexpr const char* kREVOVATransformerBackgroundTaskName = "DOVTransformer";
// Domain of the error of a send that no storage serves.
inline constexpr const char* kREVOVATransformerErrorDomain = "REVOVATransformer";

// Changes or drops an event on its way to storage.
class REVOVAEventTransformer {
 public:
  virtual ~REVOVAEventTransformer() = default;
  // The event to keep (the same or another), or null to drop it.
  virtual REVOVAEventPtr transformDOVEvent(const REVOVAEventPtr& event) = 0;
};
using REVOVAEventTransformers = std::vector<std::shared_ptr<REVOVAEventTransformer>>;

using REVOVASendCompletion = std::function<void(bool wasWritten, std::optional<os::Error> error)>;

class REVOVATransformer : public REVOVALifecycleProtocol {
 public:
  // Over REVOVAApplication's shared instance; made once.
  static std::shared_ptr<REVOVATransformer> sharedInstance();
  // Over another application object (tests).
  explicit REVOVATransformer(std::shared_ptr<REVOVAApplicationProtocol> application);
  static std::shared_ptr<REVOVATransformer> initWithApplication(std::shared_ptr<REVOVAApplicationProtocol> application) {
    return std::make_shared<REVOVATransformer>(std::move(application));
  }

  // Runs the transformers in order, then stores what is left with the
  // storage registered for its target. A null entry among the transformers
  // drops the event (logged, code 1000). `onComplete` may be empty.
  void transformEvent(const REVOVAEventPtr& event, const REVOVAEventTransformers& withTransformers,
                      REVOVASendCompletion onComplete);

  const std::shared_ptr<os::DispatchQueue>& eventWritingQueue() const { return eventWritingQueue_; }
  const std::shared_ptr<REVOVAApplicationProtocol>& application() const { return application_; }

 private:
  std::shared_ptr<os::DispatchQueue> eventWritingQueue_;
  std::shared_ptr<REVOVAApplicationProtocol> application_;
};

class REVOVATransport {
 public:
  // Null (after an assertion) for an empty mapping ID or a target below 1.
  // The transport holds its transformers.
  static std::shared_ptr<REVOVATransport> initWithMappingID(const std::string& mappingID,
                                                            REVOVAEventTransformers transformers, int64_t target);

  // A new event of this transport's mapping ID and target.
  REVOVAEventPtr eventForTransport() const;
  REVOVAEventPtr eventForTransportWithProductData(std::shared_ptr<const REVOVAProductData> productData) const;

  // Sends the event as it is now. A telemetry-tier event is an assertion here
  // (use sendTelemetryEvent) and is sent all the same.
  void sendDataEvent(const REVOVAEventPtr& event, REVOVASendCompletion onComplete);
  void sendDataEvent(const REVOVAEventPtr& event) { sendDataEvent(event, nullptr); }
  // Sends the event at QoS tier 1 (the client's event is set to it).
  void sendTelemetryEvent(const REVOVAEventPtr& event, REVOVASendCompletion onComplete);
  void sendTelemetryEvent(const REVOVAEventPtr& event) { sendTelemetryEvent(event, nullptr); }
  static void noop() {}

  const std::string& mappingID() const { return mappingID_; }
  const REVOVAEventTransformers& transformers() const { return transformers_; }
  int64_t target() const { return target_; }
  const std::shared_ptr<REVOVATransformer>& transformerInstance() const { return transformerInstance_; }

  REVOVATransport(std::string mappingID, REVOVAEventTransformers transformers, int64_t target);

 private:
  void sendEvent(const REVOVAEventPtr& event, REVOVASendCompletion onComplete);

  std::string mappingID_;
  REVOVAEventTransformers transformers_;
  int64_t target_;
  std::shared_ptr<REVOVATransformer> transformerInstance_;
};
