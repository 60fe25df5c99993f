// What the measurement store asks of the measurement engine and of the
// analytics facade above it.
//
// The engine (APMMeasurement) and the facade (APMAnalytics) live above the
// store and are built on it; the store calls back into them through these two
// interfaces, which they implement and install once they exist. Tests install
// recording doubles. Nothing here includes the engine.
//
//   APMMeasurementServices  the engine singleton: its switch, identity,
//                           database, remote configuration, worker scheduler
//                           and event writes; with the process-wide monitor.
//   APMAnalyticsServices    the facade's consent, internal-event and
//                           internal user-property entries.
//
// The accessors are thread-safe. What the installed objects do on which
// thread is their own contract (the event writes hop to the worker queue).
#pragma once

#include <memory>
#include <string>

#include "measurement/store/engine_services/remote_config_settings.h"
#include "os/foundation/value.h"

class APMDatabase;
class APMEvent;
class APMIdentity;
class APMMonitor;
class APMScheduler;
class APMSessionReporter;

class APMMeasurementServices {
 public:
  virtual ~APMMeasurementServices() = default;

  // ---- Process-wide ----
  // The measurement monitor, created on first use (level 6, an APMASLLogger
  // sink, the library's version). Never null.
  static std::shared_ptr<APMMonitor> monitor();
  // The engine singleton, or null before it exists.
  static std::shared_ptr<APMMeasurementServices> sharedInstance();
  static bool hasSharedInstance() { return sharedInstance() != nullptr; }
  // The settings of the engine's remote configuration; the defaults
  // (APMDefaultRemoteConfigSettings) while there is no engine or it has no
  // configuration. Never null.
  static std::shared_ptr<APMRemoteConfigSettings> remoteConfig();
  // Installed by the engine once it is built, and by tests (null removes).
  static void setSharedInstance(std::shared_ptr<APMMeasurementServices> engine);

  // ---- The engine ----
  // Whether measurement is enabled.
  virtual bool isEnabled() const = 0;
  // The one-time start of the engine's components on the worker queue has
  // run. Until then the components below may be absent.
  virtual bool didInitializeComponents() const { return false; }
  // The engine's session reporter (measurement/engine/sessions), or null
  // before start. The store never calls it; the screen-view reporter does.
  virtual std::shared_ptr<APMSessionReporter> sessionReporter() const { return nullptr; }
  // Null before start.
  virtual std::shared_ptr<APMIdentity> identity() const = 0;
  virtual std::shared_ptr<APMDatabase> database() const = 0;
  // The configuration remoteConfig() answers; null for none.
  virtual std::shared_ptr<APMRemoteConfigSettings> engineRemoteConfig() const = 0;
  // The wrapper of the worker queue "com.devuvo.ruri.worker".
  virtual std::shared_ptr<APMScheduler> scheduler() const = 0;
  // On the worker queue: logs the event, passes it through the conditional
  // user properties, then performs the filtered write.
  virtual void writeEventOnWorkerQueue(std::shared_ptr<APMEvent> event) = 0;
  // On the worker queue: applies the configuration's block lists and
  // error-event rules and writes the raw event in a transaction.
  virtual void writeFilteredEventOnWorkerQueue(std::shared_ptr<APMEvent> event) = 0;

  // ---- For tests ----
  // Replaces the process-wide monitor; null makes a new one on next use.
  static void TEST_setMonitor(std::shared_ptr<APMMonitor> monitor);
};

class APMAnalyticsServices {
 public:
  virtual ~APMAnalyticsServices() = default;

  // The facade, or null before it is installed.
  static std::shared_ptr<APMAnalyticsServices> sharedInstance();
  // Installed by the facade, and by tests (null removes).
  static void setSharedInstance(std::shared_ptr<APMAnalyticsServices> analytics);

  // Consent type -> "granted" / "denied", kept under a persistence key
  // ("consent_settings_tcf", "consent_settings_3p", or another).
  virtual void setConsent(const os::Dictionary& consent, const std::string& key) = 0;
  // Logs an internal event (such as "_tcf" with the origin "auto"), timed
  // when the facade takes it.
  virtual void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                          const os::Dictionary& parameters) = 0;
  // The same with the event's own time, in seconds since 1970.
  virtual void logInternalEventWithOrigin(const std::string& origin, const std::string& name, double timestamp,
                                          const os::Dictionary& parameters) = 0;
  // Sets an internal user property ("_sid", "_sno", ...) for the origin; the
  // null value removes it.
  virtual void setInternalUserProperty(const os::Value& value, const std::string& name,
                                       const std::string& origin) = 0;
};
