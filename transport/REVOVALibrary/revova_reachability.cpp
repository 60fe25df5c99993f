#include "transport/REVOVALibrary/revova_reachability.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include "transport/REVOVALibrary/revova_platform.h"

std::shared_ptr<REVOVAReachability> REVOVAReachability::sharedInstance() {
  static auto* instance = new std::shared_ptr<REVOVAReachability>(std::make_shared<REVOVAReachability>());
  return *instance;
}

uint32_t REVOVAReachability::currentFlags() { return sharedInstance()->flags(); }

REVOVAReachability::REVOVAReachability()
    : reachabilityQueue_(os::DispatchQueue::serial(kREVOVAReachabilityQueueLabel)) {
  sockaddr_in zero{};
  zero.sin_family = AF_INET;
  reachabilityRef_ = os::SCNetworkReachabilityCreateWithAddress(reinterpret_cast<const sockaddr*>(&zero));
  // The callback runs on the queue, which outlives every reference to this
  // object it could see: the callback is cleared before the object goes.
  auto* self = this;
  if (!os::SCNetworkReachabilitySetCallback(
          reachabilityRef_, [self](const os::SCNetworkReachabilityRef&, os::SCNetworkReachabilityFlags flags) {
            REVOVALogDebug("Reachability changed, new flags: %d", flags);
            if (self->callbackFlags_ != flags) self->callbackFlags_ = flags;
          }))
    REVOVALogWarning(kREVOVAMessageCodeReachability, "The reachability callback wasn't set.");
  if (!os::SCNetworkReachabilitySetDispatchQueue(reachabilityRef_, reachabilityQueue_))
    REVOVALogWarning(kREVOVAMessageCodeReachability, "The reachability queue wasn't set.");
  reachabilityQueue_->async([self] {
    os::SCNetworkReachabilityFlags flags = 0;
    if (!os::SCNetworkReachabilityGetFlags(self->reachabilityRef_, &flags)) {
      REVOVALogDebug("Determining reachability failed.");
      flags = 0;
    }
    self->flags_ = flags;
  });
}

REVOVAReachability::~REVOVAReachability() {
  os::SCNetworkReachabilitySetCallback(reachabilityRef_, nullptr);
  os::SCNetworkReachabilitySetDispatchQueue(reachabilityRef_, nullptr);
  reachabilityQueue_->sync([] {});  // nothing of this object runs after this
}

uint32_t REVOVAReachability::flags() const {
  return reachabilityQueue_->sync([this] {
    uint32_t flags = callbackFlags_ ? *callbackFlags_ : flags_;
    REVOVALogDebug("Initial reachability flags determined: %d", flags);
    return flags;
  });
}
