// REZAnalytics: the public analytics interface (the part the app object and
// the application need so far).
//
// The class registers under "REZAnalytics" in os::runtime, so the SDK core
// finds it by name and calls its class method "startWithConfiguration:options:"
// while the default app is configured.
//
// Work of the interface (setUserID) is queued on the operation queue
// "APMAnalyticsOperationQueue" (one operation at a time), which stays
// suspended until startWithConfiguration has run: a call made before
// configuration is kept and runs once the engine has started.
//
// Thread-safety: every function may be called from any thread.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

class REZAnalyticsConfiguration;
class REZOptions;

namespace os {
class OperationQueue;
}

inline constexpr const char* kAPMAnalyticsOperationQueueName = "APMAnalyticsOperationQueue";
// Internal user properties set by setUserID.
inline constexpr const char* kAPMUserPropertyUserID = "_id";
inline constexpr const char* kAPMUserPropertyLastAdvertisingIDReset = "_lair";
inline constexpr const char* kAPMOriginApp = "app";

class REZAnalytics {
 public:
  // Starts the engine for the default app's options: resumes the operation
  // queue. Later calls do nothing.
  static void startWithConfiguration(const std::shared_ptr<REZAnalyticsConfiguration>& configuration,
                                     const std::shared_ptr<REZOptions>& options);

  // Queues setting the internal user property "_id" to the user ID; nullopt
  // removes "_id" and "_lair".
  static void setUserID(std::optional<std::string> userID);

  // ---- For tests ----
  struct TEST_UserProperty {
    std::string value;
    std::string origin;
    double setTimestamp = 0;  // seconds since 1970
  };
  // The operation queue of the interface.
  static std::shared_ptr<os::OperationQueue> TEST_operationQueue();
  // Whether startWithConfiguration has run.
  static bool TEST_isStarted();
  // A copy of the stored user properties; once started, after every queued
  // operation ran.
  static std::map<std::string, TEST_UserProperty> TEST_userProperties();
  static void TEST_setUserProperty(const std::string& name, TEST_UserProperty property);
  // Back to not started: a new suspended queue (pending operations of the old
  // one are dropped), no user properties.
  static void TEST_reset();
};
