// REZAnalyticsInterop: what the SDKs built on the core ask of analytics,
// without depending on the measurement engine. The engine implements it and
// is found at run time through the component container; an SDK holds a null
// pointer when analytics is not present.
//
// Callers use their own origins ("zzd", "vcm", "viam", "vdl", "vrc",
// "crash"); the engine's own origins, events, parameters and user properties
// are refused without a message. Every operation may be called from any
// thread; maxUserProperties blocks its caller.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "os/foundation/value.h"

inline constexpr const char* kREZAnalyticsInteropProtocol = "REZAnalyticsInterop";

// Told, on the main queue, of the events analytics logs with the listener's
// origin or an app origin.
class REZAnalyticsInteropListener {
 public:
  virtual ~REZAnalyticsInteropListener() = default;
  virtual void messageTriggered(const std::string& name, const os::Dictionary& parameters) = 0;
};

class REZAnalyticsInterop {
 public:
  virtual ~REZAnalyticsInterop() = default;

  // ---- Conditional user properties ----
  // A property described by a dictionary: "name", "origin", "value",
  // "triggerEventName", "triggerTimeout", "timeToLive", "creationTimestamp",
  // and the event dictionaries "triggeredEvent", "timedOutEvent",
  // "expiredEvent" ("origin", "name", "timestamp", "parameters"). An empty
  // dictionary does nothing.
  virtual void setConditionalUserProperty(const os::Dictionary& property) = 0;
  // Clears the named property; with a clear-event name, the clear event
  // (origin, that name, the parameters) is logged once it is cleared.
  virtual void clearConditionalUserProperty(const std::string& userPropertyName, const std::string& origin,
                                            const std::string& clearEventName,
                                            const os::Dictionary& clearEventParameters) = 0;
  // {"name", "value"} of each stored property of the origin whose name
  // begins with the prefix and whose value is a string.
  virtual std::vector<os::Dictionary> conditionalUserProperties(const std::string& origin,
                                                                const std::string& propertyNamePrefix) = 0;

  // ---- User properties ----
  // The number of properties the origin may set; 0 when analytics does not
  // answer within 10 s. Blocks the caller.
  virtual int maxUserProperties(const std::string& origin) = 0;
  // The stored properties, without internal ones (but "_fot").
  virtual void getUserPropertiesWithCallback(std::function<void(os::Dictionary)> callback) = 0;
  virtual void setUserPropertyWithOrigin(const std::string& origin, const std::string& name,
                                         const os::Value& value) = 0;

  // ---- Events and listeners ----
  // Logs an internal event when the origin is allowed and the event passes
  // the connector's checks.
  virtual void logEventWithOrigin(const std::string& origin, const std::string& name,
                                  const os::Dictionary& parameters) = 0;
  // One listener per origin (a later one replaces it), for origins allowed
  // to listen. The listener is held weakly: it usually holds the interop.
  virtual void registerAnalyticsListener(std::shared_ptr<REZAnalyticsInteropListener> listener,
                                         const std::string& origin) = 0;
  virtual void unregisterAnalyticsListenerWithOrigin(const std::string& origin) = 0;
};
