#include "measurement/engine/rez_analytics.h"

#include <mutex>

#include "os/dispatch/operation.h"
#include "os/foundation/date.h"
#include "os/runtime/runtime.h"
#include "sdk-core/core/rez_app.h"
#include "sdk-core/core/rez_options.h"

namespace {
struct AnalyticsState {
  std::shared_ptr<os::OperationQueue> queue;
  bool started = false;
};

std::mutex& stateMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<os::OperationQueue> makeQueue() {
  auto queue = os::OperationQueue::create(kAPMAnalyticsOperationQueueName);
  queue->setMaxConcurrentOperationCount(1);
  queue->setSuspended(true);
  return queue;
}

AnalyticsState& state() {  // guarded by stateMutex()
  static auto& s = *new AnalyticsState{makeQueue(), false};  // never destroyed: its queue runs during exit
  return s;
}

// The user properties written by queued operations. Stands in for the
// measurement store until the engine lands.
std::mutex& propertiesMutex() {
  static std::mutex mutex;
  return mutex;
}
std::map<std::string, REZAnalytics::TEST_UserProperty>& userProperties() {  // guarded by propertiesMutex()
  static auto& properties = *new std::map<std::string, REZAnalytics::TEST_UserProperty>();  // never destroyed
  return properties;
}

std::shared_ptr<os::OperationQueue> currentQueue() {
  std::lock_guard lock(stateMutex());
  return state().queue;
}

// Found by name by the SDK core, which calls "startWithConfiguration:options:".
const os::runtime::ClassRegistration kREZAnalyticsRegistration{
    kREZAnalyticsClassName, "NSObject", [](os::runtime::Class& c) {
      c.addClassMethod(kREZAnalyticsStartSelector,
                       os::runtime::Imp(std::function<REZAnalyticsStartImp>(
                           [](os::runtime::Class&, std::shared_ptr<REZAnalyticsConfiguration> configuration,
                              std::shared_ptr<REZOptions> options) {
                             REZAnalytics::startWithConfiguration(configuration, options);
                           })));
    }};
}  // namespace

void REZAnalytics::startWithConfiguration(const std::shared_ptr<REZAnalyticsConfiguration>&,
                                          const std::shared_ptr<REZOptions>&) {
  std::lock_guard lock(stateMutex());
  if (state().started) return;
  state().started = true;
  state().queue->setSuspended(false);
}

void REZAnalytics::setUserID(std::optional<std::string> userID) {
  // The time the call was made, not the time the queue gets to it.
  const double now = os::Date::now().timeIntervalSince1970();
  currentQueue()->addOperationWithBlock([userID = std::move(userID), now] {
    std::lock_guard lock(propertiesMutex());
    auto& properties = userProperties();
    if (userID) {
      properties[kAPMUserPropertyUserID] = TEST_UserProperty{*userID, kAPMOriginApp, now};
    } else {
      properties.erase(kAPMUserPropertyUserID);
      properties.erase(kAPMUserPropertyLastAdvertisingIDReset);
    }
  });
}

std::shared_ptr<os::OperationQueue> REZAnalytics::TEST_operationQueue() { return currentQueue(); }

bool REZAnalytics::TEST_isStarted() {
  std::lock_guard lock(stateMutex());
  return state().started;
}

std::map<std::string, REZAnalytics::TEST_UserProperty> REZAnalytics::TEST_userProperties() {
  if (TEST_isStarted()) currentQueue()->waitUntilAllOperationsAreFinished();
  std::lock_guard lock(propertiesMutex());
  return userProperties();
}

void REZAnalytics::TEST_setUserProperty(const std::string& name, TEST_UserProperty property) {
  std::lock_guard lock(propertiesMutex());
  userProperties()[name] = std::move(property);
}

void REZAnalytics::TEST_reset() {
  std::shared_ptr<os::OperationQueue> old;
  {
    std::lock_guard lock(stateMutex());
    old = state().queue;
    state().queue = makeQueue();
    state().started = false;
  }
  old->cancelAllOperations();
  old->setSuspended(false);
  old->waitUntilAllOperationsAreFinished();
  std::lock_guard lock(propertiesMutex());
  userProperties().clear();
}
