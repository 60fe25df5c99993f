#include "measurement/engine/interface/analytics_connector.h"

#include "measurement/engine/interface/connector_utils.h"
#include "measurement/engine/interface/rez_analytics.h"
#include "measurement/store/conditional_user_property_controller.h"
#include "measurement/store/engine_services/shorthands.h"
#include "os/foundation/date.h"
#include "sdk-core/core/rez_app.h"

namespace {

using apm_shorthands::now;

const os::runtime::ClassRegistration kRegistration{
    kREZAnalyticsConnectorClassName, "NSObject", [](os::runtime::Class& c) {
      c.addProtocol(kREZLibraryProtocol);
      c.addProtocol(kREZAnalyticsInteropProtocol);
      c.addClassMethod(kREZComponentsToRegisterSelector,
                       REZMakeComponentsToRegisterImp(REZAnalyticsConnector::componentsToRegister));
    }};

// Class-load registration of the library.
[[maybe_unused]] const bool kLibraryRegistered = [] {
  REZApp::registerInternalLibrary(kRegistration.cls(), kREZAnalyticsConnectorLibraryName,
                                  kREZAnalyticsConnectorLibraryVersion);
  return true;
}();

std::optional<double> numberAt(const os::Value& value) {
  if (!value.isNumber()) return std::nullopt;
  return value.doubleValue();
}

// One dictionary entry into the property; keys that name no field are left
// out.
void setProperty(APMConditionalUserProperty& property, const std::string& key, const os::Value& value) {
  if (key == "expiredEvent" || key == "timedOutEvent" || key == "triggeredEvent") {
    std::shared_ptr<APMEvent> event;
    if (const os::Dictionary* dictionary = value.dictionary()) event = REZAnalyticsConnector::eventFromDictionary(*dictionary);
    if (key == "expiredEvent") property.setExpiredEvent(event);
    if (key == "timedOutEvent") property.setTimedOutEvent(event);
    if (key == "triggeredEvent") property.setTriggeredEvent(event);
  } else if (key == "value") {
    std::optional<APMValue> converted = APMValue::valueFromObject(APMObject(value));
    property.setValue(converted ? std::optional<APMValue>(RURIValue(*converted)) : std::nullopt);
  } else if (key == "name" && value.isString()) {
    property.setName(*value.string());
  } else if (key == "origin" && value.isString()) {
    property.setOrigin(*value.string());
  } else if (key == "triggerEventName" && value.isString()) {
    property.setTriggerEventName(*value.string());
  } else if (key == "active" && value.isNumber()) {
    property.setActive(value.boolValue());
  } else if (const auto number = numberAt(value)) {
    if (key == "triggerTimeout") property.setTriggerTimeout(*number);
    if (key == "timeToLive") property.setTimeToLive(*number);
    if (key == "creationTimestamp") property.setCreationTimestamp(*number);
    if (key == "triggeredTimestamp") property.setTriggeredTimestamp(*number);
  }
}

}  // namespace

// =====================================================================
// Registration
// =====================================================================

REZComponentList REZAnalyticsConnector::componentsToRegister() {
  return {REZComponent::componentWithProtocol(
      kREZAnalyticsInteropProtocol,
      [](REZComponentContainer&, bool*) -> std::shared_ptr<os::runtime::Object> {
        return std::make_shared<REZAnalyticsConnector>();
      })};
}

std::shared_ptr<os::DispatchQueue> REZAnalyticsConnector::connectorQueue() {
  static const auto* queue =
      new std::shared_ptr<os::DispatchQueue>(os::DispatchQueue::serial(kREZAnalyticsConnectorQueueLabel));
  return *queue;
}

REZAnalyticsConnector::REZAnalyticsConnector() : os::runtime::Object(kRegistration.cls()) {}

REZAnalyticsConnector::~REZAnalyticsConnector() {
  // A relay outliving its connector would stay with the facade for good.
  if (logEventListener_ != nullptr) REZAnalytics::removeLogEventListener(logEventListener_);
}

// =====================================================================
// Conditional user properties
// =====================================================================

void REZAnalyticsConnector::setConditionalUserProperty(const os::Dictionary& property) {
  if (property.empty()) return;
  auto conditional = std::make_shared<APMConditionalUserProperty>();
  for (const auto& [key, value] : property) setProperty(*conditional, key, value);
  APMConditionalUserPropertyController::sharedInstance()->setConditionalUserProperty(conditional,
                                                                                    conditional->name());
}

void REZAnalyticsConnector::clearConditionalUserProperty(const std::string& userPropertyName,
                                                         const std::string& origin, const std::string& clearEventName,
                                                         const os::Dictionary& clearEventParameters) {
  std::shared_ptr<APMEvent> clearEvent;
  if (!clearEventName.empty()) clearEvent = eventWithOrigin(origin, clearEventName, clearEventParameters);
  APMConditionalUserPropertyController::sharedInstance()->clearConditionalUserPropertyWithClearEvent(
      std::move(clearEvent), userPropertyName);
}

std::vector<os::Dictionary> REZAnalyticsConnector::conditionalUserProperties(const std::string& origin,
                                                                             const std::string& propertyNamePrefix) {
  std::vector<os::Dictionary> answer;
  const auto properties = APMConditionalUserPropertyController::sharedInstance()->conditionalUserPropertiesWithNamePrefix(
      APMObject(os::Value(propertyNamePrefix)), APMObject(os::Value(origin)));
  if (!properties) return answer;
  for (const auto& property : *properties) {
    if (!property || property->name().empty() || !property->value()) continue;
    const auto text = property->value()->stringValue();
    if (!property->value()->isString() || !text) continue;
    answer.push_back({{"name", property->name()}, {"value", *text}});
  }
  return answer;
}

// =====================================================================
// User properties
// =====================================================================

int REZAnalyticsConnector::maxUserProperties(const std::string& origin) {
  struct Answer {
    std::mutex mutex;
    int count = 0;  // guarded by mutex
    std::shared_ptr<os::DispatchSemaphore> delivered = os::DispatchSemaphore::create(0);
  };
  // Shared with the callback, which may come after the wait gave up.
  auto answer = std::make_shared<Answer>();
  REZAnalytics::sharedInstance()->maxUserPropertiesForOrigin(origin, connectorQueue(), [answer](int count) {
    {
      std::lock_guard lock(answer->mutex);
      answer->count = count;
    }
    answer->delivered->signal();
  });
  if (answer->delivered->wait(os::DispatchTime::fromNow(kREZMaxUserPropertiesTimeout)) ==
      os::DispatchWaitResult::TimedOut) {
    return 0;
  }
  std::lock_guard lock(answer->mutex);
  return answer->count;
}

void REZAnalyticsConnector::getUserPropertiesWithCallback(std::function<void(os::Dictionary)> callback) {
  REZAnalytics::userPropertiesIncludingInternal(
      true, connectorQueue(), [callback = std::move(callback)](os::Dictionary properties) {
        std::erase_if(properties, [](const auto& entry) {
          return !REZConnectorUtils::isUserPropertyAllowedForQuery(entry.first);
        });
        if (callback) callback(properties);
      });
}

void REZAnalyticsConnector::setUserPropertyWithOrigin(const std::string& origin, const std::string& name,
                                                      const os::Value& value) {
  if (!REZConnectorUtils::isOriginAllowed(origin) || !REZConnectorUtils::isUserPropertyAllowed(name, origin)) return;
  REZAnalytics::sharedInstance()->setInternalUserProperty(value, name, origin);
}

// =====================================================================
// Events
// =====================================================================

void REZAnalyticsConnector::logEventWithOrigin(const std::string& origin, const std::string& name,
                                               const os::Dictionary& parameters) {
  if (!REZConnectorUtils::isOriginAllowed(origin) || !REZConnectorUtils::shouldLogEventWithName(name, parameters)) {
    return;
  }
  os::Dictionary copy = parameters;
  if (name == kREZCampaignEventName) {
    if (const std::string label = REZConnectorUtils::integrationLabelForOrigin(origin); !label.empty()) {
      copy[kREZCampaignIntegrationParameter] = os::Value(label);
    }
  }
  if (name == kREZCrashEventName && origin == kREZCrashOrigin) {
    copy[kAPMEventRealtimeParameter] = os::Value(os::Number::int64(1));
  }
  REZAnalytics::logInternalEventWithOriginNameParameters(origin, name, copy);
}

std::shared_ptr<APMEvent> REZAnalyticsConnector::eventFromDictionary(const os::Dictionary& dictionary) {
  auto text = [&](const char* key) {
    const auto found = dictionary.find(key);
    return found != dictionary.end() && found->second.isString() ? *found->second.string() : std::string();
  };
  double timestamp = now();
  if (const auto found = dictionary.find("timestamp"); found != dictionary.end() && found->second.isNumber()) {
    timestamp = found->second.doubleValue();
  }
  os::Dictionary parameters;
  if (const auto found = dictionary.find("parameters"); found != dictionary.end() && found->second.isDictionary()) {
    parameters = *found->second.dictionary();
  }
  return APMEvent::initWithOrigin(text("origin"), false, text("name"), timestamp, 0, parameters);
}

std::shared_ptr<APMEvent> REZAnalyticsConnector::eventWithOrigin(const std::string& origin,
                                                                 const std::string& eventName,
                                                                 const os::Dictionary& params) {
  return APMEvent::initWithOrigin(origin, false, eventName, now(), 0, params);
}

os::Dictionary REZAnalyticsConnector::simplifiedParametersFromEventParameters(const APMEventParameters& parameters) {
  os::Dictionary simplified;
  for (const auto& [name, value] : parameters) {
    if (value.isDouble()) {
      simplified.emplace(name, os::Value(os::Number::float64(value.doubleValue())));
    } else if (value.isInt64()) {
      simplified.emplace(name, os::Value(os::Number::int64(value.int64Value())));
    } else if (value.isString()) {
      simplified.emplace(name, os::Value(value.stringValue().value_or("")));
    }
  }
  return simplified;
}

// =====================================================================
// Listeners
// =====================================================================

void REZAnalyticsConnector::registerAnalyticsListener(std::shared_ptr<REZAnalyticsInteropListener> listener,
                                                      const std::string& origin) {
  if (!listener || !REZConnectorUtils::isListenerOriginAllowed(origin)) return;
  std::lock_guard lock(mutex_);
  listeners_[origin] = listener;
  if (logEventListener_ != nullptr) return;
  std::weak_ptr<REZAnalyticsConnector> weakSelf =
      std::static_pointer_cast<REZAnalyticsConnector>(shared_from_this());
  logEventListener_ = REZAnalytics::addLogEventListener([weakSelf](const std::shared_ptr<APMEvent>& event) {
    if (auto self = weakSelf.lock()) self->relayEvent(event);
  });
}

void REZAnalyticsConnector::unregisterAnalyticsListenerWithOrigin(const std::string& origin) {
  std::lock_guard lock(mutex_);
  listeners_.erase(origin);
  if (!listeners_.empty() || logEventListener_ == nullptr) return;
  REZAnalytics::removeLogEventListener(logEventListener_);
  logEventListener_ = nullptr;
}

APMLogEventListenerToken REZAnalyticsConnector::logEventListener() const {
  std::lock_guard lock(mutex_);
  return logEventListener_;
}

std::vector<std::string> REZAnalyticsConnector::listenerOrigins() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> origins;
  for (const auto& [origin, listener] : listeners_) origins.push_back(origin);
  return origins;
}

void REZAnalyticsConnector::relayEvent(const std::shared_ptr<APMEvent>& event) {
  if (!event || !REZConnectorUtils::isEventNameAllowedForListeners(event->name())) return;
  std::vector<std::shared_ptr<REZAnalyticsInteropListener>> targets;
  {
    std::lock_guard lock(mutex_);
    if (const auto found = listeners_.find(event->origin()); found != listeners_.end()) {
      if (auto listener = found->second.lock()) targets.push_back(std::move(listener));
    } else if (REZConnectorUtils::isAppOrigin(event->origin())) {
      for (const auto& [origin, weakListener] : listeners_) {
        if (auto listener = weakListener.lock()) targets.push_back(std::move(listener));
      }
    }
  }
  if (targets.empty()) return;
  connectorQueue()->async([targets = std::move(targets), event] {
    os::Dictionary parameters = simplifiedParametersFromEventParameters(event->parameters());
    os::DispatchQueue::main()->async([targets, name = event->name(), parameters = std::move(parameters)] {
      for (const auto& listener : targets) listener->messageTriggered(name, parameters);
    });
  });
}
