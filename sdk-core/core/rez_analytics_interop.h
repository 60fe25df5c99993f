// REZAnalyticsInterop: what the SDKs built on the core ask of analytics,
// without depending on the measurement engine. The engine implements it and
// is found at run time through the component container; an SDK holds a null
// pointer when analytics is not present.
#pragma once

#include <memory>
#include <string>

#include "os/foundation/value.h"

inline constexpr const char* kREZAnalyticsInteropProtocol = "REZAnalyticsInterop";

// Told of every event that analytics logs with the app's own origin.
class REZAnalyticsInteropListener {
 public:
  virtual ~REZAnalyticsInteropListener() = default;
  virtual void messageTriggered(const std::string& name, const os::Dictionary& parameters) = 0;
};

class REZAnalyticsInterop {
 public:
  virtual ~REZAnalyticsInterop() = default;
  // Logs an internal event when the origin is allowed and the event passes
  // the connector's checks.
  virtual void logEventWithOrigin(const std::string& origin, const std::string& name,
                                  const os::Dictionary& parameters) = 0;
  // One listener per origin (a later one replaces it), for origins allowed
  // to listen. The listener is held weakly: it usually holds the interop.
  virtual void registerAnalyticsListener(std::shared_ptr<REZAnalyticsInteropListener> listener,
                                         const std::string& origin) = 0;
};
