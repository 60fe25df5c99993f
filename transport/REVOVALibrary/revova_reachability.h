// REVOVAReachability: the reachability of the network in general, watched
// through the system's reachability of the all-zero IPv4 address.
//
// At creation it schedules the reference's notifications on its serial queue
// "com.devuvo.REVOVAReachability" and reads the flags once. Each notification
// replaces the flags it keeps; currentFlags() answers the latest notified
// flags, or the flags read at start while none has come.
//
// Thread-safe: the flags are written and read on the queue.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "os/dispatch/queue.h"
#include "os/net/reachability.h"

inline constexpr const char* kREVOVAReachabilityQueueLabel = "com.devuvo.REVOVAReachability";

class REVOVAReachability {
 public:
  // Made once, on first use.
  static std::shared_ptr<REVOVAReachability> sharedInstance();
  // The shared instance's flags.
  static uint32_t currentFlags();

  REVOVAReachability();
  ~REVOVAReachability();
  REVOVAReachability(const REVOVAReachability&) = delete;
  REVOVAReachability& operator=(const REVOVAReachability&) = delete;

  uint32_t flags() const;

 private:
  os::SCNetworkReachabilityRef reachabilityRef_;
  std::shared_ptr<os::DispatchQueue> reachabilityQueue_;
  // Both touched on reachabilityQueue_ only.
  std::optional<uint32_t> callbackFlags_;  // the latest notified; none until one comes
  uint32_t flags_ = 0;                     // read once at start
};
