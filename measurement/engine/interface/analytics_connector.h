// REZAnalyticsConnector: the analytics interop (REZAnalyticsInterop) that
// other SDKs find through the component container. It registers, at class
// load, the library "ride-rodududur" version "11.1.0", whose one component
// makes a new connector for every request (none is cached).
//
// Interop callers log events and set user properties under their own
// origins (REZConnectorUtils refuses the engine's), manage conditional user
// properties, query user properties and register one listener per origin.
//
// Design note: the listener relay.
//   1. The first listener registered adds one relay block to the facade's
//      log-event listeners (holding the connector weakly); removing the last
//      removes it. The table (origin -> listener, held weakly) and the relay's
//      token are guarded by one lock, since registration runs on the caller's
//      thread while the relay reads the table on the facade's queue.
//   2. For each logged event not hidden from listeners, the relay takes the
//      listener of the event's origin; without one, an app origin ("app",
//      "app+...") goes to every listener and any other origin to none. The
//      parameters are simplified on "com.devuvo.analytics_connector.queue"
//      (strings and numbers kept) and the listeners called on the main queue.
//
// A cleared conditional user property is named by the property-name
// argument; with a clear-event name its clear event carries the origin, that
// name and all the given parameters.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "measurement/engine/interface/analytics.h"
#include "os/dispatch/queue.h"
#include "os/runtime/runtime.h"
#include "sdk-core/core/rez_analytics_interop.h"
#include "sdk-core/core/rez_component.h"

inline constexpr const char* kREZAnalyticsConnectorClassName = "REZAnalyticsConnector";
inline constexpr const char* kREZAnalyticsConnectorLibraryName = "ride-rodududur";
inline constexpr const char* kREZAnalyticsConnectorLibraryVersion = "11.1.0";
inline constexpr const char* kREZAnalyticsConnectorQueueLabel = "com.devuvo.analytics_connector.queue";
// How long maxUserProperties waits for the engine, in os::Clock seconds.
inline constexpr double kREZMaxUserPropertiesTimeout = 10;

class REZAnalyticsConnector final : public os::runtime::Object, public REZAnalyticsInterop {
 public:
  // The library's one component: REZAnalyticsInterop, a new connector each
  // time.
  static REZComponentList componentsToRegister();
  // The serial queue of answers and parameter simplification, made once.
  static std::shared_ptr<os::DispatchQueue> connectorQueue();

  REZAnalyticsConnector();
  ~REZAnalyticsConnector() override;

  // ---- REZAnalyticsInterop ----
  void setConditionalUserProperty(const os::Dictionary& property) override;
  void clearConditionalUserProperty(const std::string& userPropertyName, const std::string& origin,
                                    const std::string& clearEventName,
                                    const os::Dictionary& clearEventParameters) override;
  std::vector<os::Dictionary> conditionalUserProperties(const std::string& origin,
                                                        const std::string& propertyNamePrefix) override;
  // Must not be called on the connector queue.
  int maxUserProperties(const std::string& origin) override;
  void getUserPropertiesWithCallback(std::function<void(os::Dictionary)> callback) override;
  void logEventWithOrigin(const std::string& origin, const std::string& name,
                          const os::Dictionary& parameters) override;
  void setUserPropertyWithOrigin(const std::string& origin, const std::string& name,
                                 const os::Value& value) override;
  void registerAnalyticsListener(std::shared_ptr<REZAnalyticsInteropListener> listener,
                                 const std::string& origin) override;
  void unregisterAnalyticsListenerWithOrigin(const std::string& origin) override;

  // ---- Event builders ----
  // A non-public event from an event dictionary ("origin", "name",
  // "timestamp" in seconds, now when missing, "parameters"), previous time 0;
  // null when it makes no event.
  static std::shared_ptr<APMEvent> eventFromDictionary(const os::Dictionary& dictionary);
  // A non-public event stamped now.
  static std::shared_ptr<APMEvent> eventWithOrigin(const std::string& origin, const std::string& eventName,
                                                   const os::Dictionary& params);
  // Strings and numbers; other values are dropped.
  static os::Dictionary simplifiedParametersFromEventParameters(const APMEventParameters& parameters);

  // The relay's token while any listener is registered, else null.
  APMLogEventListenerToken logEventListener() const;
  // The origins with a registered listener.
  std::vector<std::string> listenerOrigins() const;

 private:
  // The relay's work for one logged event (design note, step 2).
  void relayEvent(const std::shared_ptr<APMEvent>& event);

  mutable std::mutex mutex_;
  APMLogEventListenerToken logEventListener_ = nullptr;  // guarded by mutex_
  // Empty when none is registered.
  std::map<std::string, std::weak_ptr<REZAnalyticsInteropListener>> listeners_;  // guarded by mutex_
};
