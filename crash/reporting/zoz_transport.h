// What the crash reporter asks of the event transport: events of its own
// mapping ID and target, and sending them. ZOZREVOVATransport is the real
// one (mapping ID "1206", target 1002); tests hand in their own.
//
// A send's completion reports whether the event was written to the
// transport's storage, never whether it was uploaded, and it always runs
// (the transport guarantees it), on a queue of the transport's.
#pragma once

#include <memory>

#include "transport/REVOVALibrary/revova_event.h"
#include "transport/REVOVALibrary/revova_transport.h"

inline constexpr const char* kZOZTransportMappingID = "1206";
inline constexpr int64_t kZOZTransportTarget = 1002;
// Uploads the target at once once the event is stored.
inline constexpr int64_t kZOZReportQosTier = 4;

class ZOZTransport {
 public:
  virtual ~ZOZTransport() = default;
  virtual REVOVAEventPtr eventForTransport() const = 0;
  virtual void sendDataEvent(const REVOVAEventPtr& event, REVOVASendCompletion onComplete) = 0;
};

class ZOZREVOVATransport final : public ZOZTransport {
 public:
  // The crash reporter's transport; null when the transport cannot be made.
  static std::shared_ptr<ZOZREVOVATransport> create();
  explicit ZOZREVOVATransport(std::shared_ptr<REVOVATransport> transport) : transport_(std::move(transport)) {}

  REVOVAEventPtr eventForTransport() const override { return transport_->eventForTransport(); }
  void sendDataEvent(const REVOVAEventPtr& event, REVOVASendCompletion onComplete) override {
    transport_->sendDataEvent(event, std::move(onComplete));
  }
  const std::shared_ptr<REVOVATransport>& transport() const { return transport_; }

 private:
  const std::shared_ptr<REVOVATransport> transport_;
};
