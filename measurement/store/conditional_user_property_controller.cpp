#include "measurement/store/conditional_user_property_controller.h"

#include "measurement/store/database.h"
#include "measurement/store/engine_services/data_type_validator.h"
#include "measurement/store/engine_services/debug_description.h"
#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/engine_services/event_names.h"
#include "measurement/store/engine_services/scheduler.h"
#include "measurement/store/engine_services/shorthands.h"
#include "measurement/store/monitor.h"
#include "os/dispatch/queue.h"
#include "os/dispatch/queue_confined.h"
#include "os/foundation/clock.h"

namespace {

using apm_shorthands::monitor;

using apm_shorthands::now;

bool isWithinLimits(double interval) {
  return interval >= kAPMCUPMinimumInterval && interval <= kAPMCUPMaximumInterval;
}

bool hasError(const os::Error& error) { return !error.domain().empty(); }

// The worker-queue steps check that the engine's worker queue is current.
void checkOnWorkerQueue(const std::shared_ptr<APMMeasurementServices>& engine, const char* step) {
  if (auto scheduler = engine ? engine->scheduler() : nullptr) os::checkQueue(scheduler->workerQueue().get(), step);
}

// The property's own event as the controller logs it: the stored event's
// name and parameters, the given origin and time, not public.
std::shared_ptr<APMEvent> eventFrom(const std::shared_ptr<APMEvent>& stored, std::string_view origin,
                                    double timestamp) {
  if (!stored) return nullptr;
  return APMEvent::initWithOrigin(origin, false, stored->name(), timestamp, 0, stored->parameters());
}

bool isValid(const APMConditionalUserProperty& property) {
  if (!APMDataTypeValidator::isValidConditionalUserPropertyOrigin(property.origin(), nullptr) ||
      !APMDataTypeValidator::isValidConditionalUserPropertyName(property.name(), nullptr) ||
      (property.value() && !APMDataTypeValidator::isValidConditionalUserPropertyValue(*property.value(), nullptr))) {
    return false;
  }
  if (!isWithinLimits(property.triggerTimeout())) {
    monitor()->logWithLevel(2, kAPMCUPCodeInvalidTriggerTimeout, "Invalid conditional user property trigger timeout",
                            property.triggerTimeout());
    return false;
  }
  if (!isWithinLimits(property.timeToLive())) {
    monitor()->logWithLevel(2, kAPMCUPCodeInvalidTimeToLive, "Invalid conditional user property time to live",
                            property.timeToLive());
    return false;
  }
  return true;
}

// Writes the property's user attribute, last set at `timestamp`; false with
// the error (when there is one) on failure.
bool writeUserAttribute(APMDatabase& database, const APMConditionalUserProperty& property, double timestamp,
                        os::Error* error) {
  auto attribute = property.value()
                       ? APMUserAttribute::initWithOrigin(property.origin(), property.name(), *property.value(),
                                                          timestamp)
                       : nullptr;
  if (!APMCheckNotNil(attribute, error, APMErrorCode::InvalidArgument, "Invalid user property")) return false;
  return database.updateUserAttribute(attribute, error);
}

// The string of an optional string argument: "" for nil; nullopt (logged) for
// another object.
std::optional<std::string> stringArgument(const APMObject& object, int64_t code, std::string_view message) {
  if (object.isNil()) return std::string();
  const os::Value* value = object.value();
  if (value != nullptr && value->isString()) return *value->string();
  if (value != nullptr && value->isNull()) return std::string();
  monitor()->logWithLevel(2, code, message, object.className());
  return std::nullopt;
}

}  // namespace

std::shared_ptr<APMConditionalUserPropertyController> APMConditionalUserPropertyController::sharedInstance() {
  static const auto* instance =
      new std::shared_ptr<APMConditionalUserPropertyController>(std::make_shared<APMConditionalUserPropertyController>());
  return *instance;
}

// ---- Caller's thread ----

void APMConditionalUserPropertyController::setConditionalUserProperty(
    const std::shared_ptr<APMConditionalUserProperty>& property, std::string_view name) {
  if (!property) {
    monitor()->logWithLevel(2, kAPMCUPCodeSetNil, "Cannot set nil conditional user property");
    return;
  }
  auto copy = std::make_shared<APMConditionalUserProperty>(*property);
  copy->setName(std::string(name));
  if (!isValid(*copy)) return;
  copy->setCreationTimestamp(now());
  auto engine = APMMeasurementServices::sharedInstance();
  auto scheduler = engine ? engine->scheduler() : nullptr;
  if (!scheduler) return;
  std::weak_ptr<APMConditionalUserPropertyController> weakSelf = weak_from_this();
  scheduler->scheduleOnWorkerQueueBlockID(kAPMCUPSetBlockID, [weakSelf, copy] {
    auto self = weakSelf.lock();
    if (!self) return;
    if (copy->value()) {
      self->setConditionalUserPropertyOnWorkerQueue(copy);
    } else {
      self->removeConditionalUserPropertyOnWorkerQueue(copy);
    }
  });
}

void APMConditionalUserPropertyController::clearConditionalUserPropertyWithClearEvent(
    std::shared_ptr<APMEvent> clearEvent, std::string_view name) {
  if (!APMDataTypeValidator::isValidConditionalUserPropertyName(name, nullptr)) return;
  auto property = std::make_shared<APMConditionalUserProperty>();
  property->setName(std::string(name));
  property->setExpiredEvent(std::move(clearEvent));
  auto engine = APMMeasurementServices::sharedInstance();
  auto scheduler = engine ? engine->scheduler() : nullptr;
  if (!scheduler) return;
  std::weak_ptr<APMConditionalUserPropertyController> weakSelf = weak_from_this();
  scheduler->scheduleOnWorkerQueueBlockID(kAPMCUPClearBlockID, [weakSelf, property] {
    if (auto self = weakSelf.lock()) self->removeConditionalUserPropertyOnWorkerQueue(property);
  });
}

std::optional<APMConditionalUserProperties> APMConditionalUserPropertyController::conditionalUserPropertiesWithNamePrefix(
    const APMObject& namePrefix, const APMObject& filterByOrigin) {
  const auto prefix = stringArgument(namePrefix, kAPMCUPCodePrefixNotString,
                                     "Cannot query for conditional user properties. Name prefix is not a string. Class");
  if (!prefix) return std::nullopt;
  const auto origin = stringArgument(filterByOrigin, kAPMCUPCodeOriginNotString,
                                     "Cannot query for conditional user properties. Origin is not a string. Class");
  if (!origin) return std::nullopt;
  auto engine = APMMeasurementServices::sharedInstance();
  auto scheduler = engine ? engine->scheduler() : nullptr;
  if (!scheduler) return std::nullopt;

  // Shared with the task, which may finish after the wait gave up.
  struct Answer {
    std::optional<APMConditionalUserProperties> properties;
    os::Error error;
  };
  auto answer = std::make_shared<Answer>();
  auto done = os::DispatchSemaphore::create(0);
  scheduler->scheduleOnWorkerQueueBlockID(kAPMCUPListBlockID, [engine, answer, done, prefix = *prefix,
                                                               origin = *origin] {
    auto database = engine->database();
    if (!engine->isEnabled()) {
      monitor()->logWithLevel(3, kAPMCUPCodeListDisabled,
                              "Cannot query for conditional user properties. Analytics is disabled");
    } else if (!database) {
      answer->error = apm_errorWithCode(APMErrorCode::InvalidState, "Database not open");
    } else {
      answer->properties = database->conditionalUserPropertiesWithPrefix(prefix, origin, &answer->error);
    }
    done->signal();
  });
  if (done->wait(os::DispatchTime::fromNow(kAPMCUPListTimeout)) != os::DispatchWaitResult::Success) {
    return std::nullopt;
  }
  if (!answer->properties && hasError(answer->error)) {
    monitor()->logWithLevel(2, kAPMCUPCodeListFailed, "Cannot query for conditional user properties. Name prefix, origin, error",
                            *prefix, *origin, answer->error);
  }
  return answer->properties;
}

// ---- Worker queue ----

void APMConditionalUserPropertyController::setConditionalUserPropertyOnWorkerQueue(
    std::shared_ptr<APMConditionalUserProperty> property) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("setConditionalUserPropertyOnWorkerQueue");
  auto engine = APMMeasurementServices::sharedInstance();
  checkOnWorkerQueue(engine, "setConditionalUserPropertyOnWorkerQueue");
  if (!engine || !engine->isEnabled()) {
    monitor()->logWithLevel(3, kAPMCUPCodeSetDisabled, "Cannot set conditional user property. Analytics is disabled");
    return;
  }
  if (!property) {
    monitor()->logWithLevel(2, kAPMCUPCodeSetNilOnWorkerQueue, "Cannot set nil conditional user property on worker queue");
    return;
  }
  auto database = engine->database();
  if (!database) return;
  APMConditionalUserProperty& p = *property;
  const std::string name = APMUserPropertyNameDebugDescription(p.name());
  std::shared_ptr<APMEvent> triggeredEvent;
  const bool committed = database->performTransaction([&] {
    triggeredEvent.reset();
    os::Error error;
    auto stored = database->conditionalUserPropertyWithName(p.name(), &error);
    if (!stored && hasError(error)) {
      monitor()->logWithLevel(1, kAPMCUPCodeSetQueryFailed, "Cannot query conditional user property. Name, origin, error",
                              name, p.origin(), error);
      return false;
    }
    if (stored && stored->origin() != p.origin()) {
      monitor()->logWithLevel(5, kAPMCUPCodeOriginChanged,
                              "Updating a conditional user property with different origin. Name, origin, saved origin",
                              name, p.origin(), stored->origin());
    }
    bool newlyActive = false;
    if (stored && stored->active()) {
      p.setOrigin(stored->origin());
      p.setCreationTimestamp(stored->creationTimestamp());
      p.setTriggerEventName(stored->triggerEventName());
      p.setTriggeredEvent(stored->triggeredEvent());
      p.setTriggerTimeout(stored->triggerTimeout());
    } else if (p.triggerEventName().empty()) {
      p.setActive(true);
      p.setTriggeredTimestamp(p.creationTimestamp());
      newlyActive = true;
    }
    if (p.active()) {
      os::Error attributeError;
      if (writeUserAttribute(*database, p, p.triggeredTimestamp(), &attributeError)) {
        monitor()->logWithLevel(7, kAPMCUPCodeSetAttributeUpdated, "User property updated. Name, origin", name,
                                p.origin());
      } else {
        monitor()->logWithLevel(1, kAPMCUPCodeSetAttributeFailed,
                                "Cannot update user property from conditional user property. Name, origin, error", name,
                                p.origin(), attributeError);
      }
      if (newlyActive) triggeredEvent = eventFrom(p.triggeredEvent(), p.origin(), p.triggeredTimestamp());
    }
    if (stored && stored->active()) {
      p.setActive(true);
      p.setTriggeredTimestamp(stored->triggeredTimestamp());
    }
    os::Error insertError;
    if (!database->updateConditionalUserProperty(property, &insertError)) {
      monitor()->logWithLevel(1, kAPMCUPCodeInsertFailed,
                              "Cannot insert user property from conditional user property. Name, origin, error", name,
                              p.origin(), insertError);
      // Without its row the attribute would never expire: undo it all.
      return false;
    }
    monitor()->logWithLevel(7, kAPMCUPCodeAdded, "Conditional user property added. Name, origin", name, p.origin());
    return true;
  });
  if (committed && triggeredEvent) engine->writeEventOnWorkerQueue(triggeredEvent);
}

void APMConditionalUserPropertyController::removeConditionalUserPropertyOnWorkerQueue(
    const std::shared_ptr<APMConditionalUserProperty>& property) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("removeConditionalUserPropertyOnWorkerQueue:");
  auto engine = APMMeasurementServices::sharedInstance();
  checkOnWorkerQueue(engine, "removeConditionalUserPropertyOnWorkerQueue");
  if (!engine || !engine->isEnabled()) {
    monitor()->logWithLevel(3, kAPMCUPCodeRemoveDisabled, "Cannot remove conditional user property. Analytics is disabled");
    return;
  }
  if (!property) {
    monitor()->logWithLevel(0, kAPMCUPCodeRemoveNil, "Cannot remove nil conditional user property on worker queue");
    return;
  }
  auto database = engine->database();
  if (!database) return;
  const std::string name = APMUserPropertyNameDebugDescription(property->name());
  std::shared_ptr<APMEvent> clearEvent;
  const bool committed = database->performTransaction([&] {
    clearEvent.reset();
    os::Error error;
    auto stored = database->conditionalUserPropertyWithName(property->name(), &error);
    if (!stored) {
      if (hasError(error)) {
        monitor()->logWithLevel(1, kAPMCUPCodeRemoveQueryFailed,
                                "Cannot query conditional user property to remove. Name, origin, error", name,
                                property->origin(), error);
        return false;
      }
      monitor()->logWithLevel(4, kAPMCUPCodeRemoveNonexistent,
                              "Cannot remove nonexistent conditional user property. Name, origin", name,
                              property->origin());
      return true;
    }
    if (!database->deleteConditionalUserPropertyWithName(property->name(), &error)) {
      monitor()->logWithLevel(1, kAPMCUPCodeRemoveDeleteFailed, "Cannot delete conditional user property. Name, origin, error",
                              name, stored->origin(), error);
      return false;
    }
    if (stored->active() && !database->deleteUserAttributeWithName(property->name(), &error)) {
      monitor()->logWithLevel(
          1, kAPMCUPCodeRemoveAttributeFailed,
          "Cannot remove conditional user property. Failed to delete the user property. Name, origin, error", name,
          stored->origin(), error);
      return false;
    }
    clearEvent = eventFrom(property->expiredEvent(), stored->origin(), now());
    return true;
  });
  if (committed && clearEvent) engine->writeEventOnWorkerQueue(clearEvent);
}

std::optional<APMEvents> APMConditionalUserPropertyController::processEventOnWorkerQueue(
    const std::shared_ptr<APMEvent>& event) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("processEventOnWorkerQueue:");
  if (!event) {
    monitor()->logWithLevel(2, kAPMCUPCodeNilEvent, "Cannot process nil event for conditional user property");
    return std::nullopt;
  }
  auto engine = APMMeasurementServices::sharedInstance();
  checkOnWorkerQueue(engine, "processEventOnWorkerQueue");
  auto database = engine ? engine->database() : nullptr;
  if (!database) return std::nullopt;
  APMEvents timedOutEvents;
  APMEvents expiredEvents;
  std::optional<APMEvents> triggeredEvents;
  const bool committed = database->performTransaction([&] {
    timedOutEvents.clear();
    expiredEvents.clear();
    triggeredEvents.reset();
    if (!removeTimedOutCUPWithTimedOutEvents(timedOutEvents) || !removeExpiredCUPWithExpiredEvents(expiredEvents)) {
      return false;
    }
    triggeredEvents = updateConditionalUserPropertiesWithEventNameOnWorkerQueue(event->name());
    return triggeredEvents.has_value();
  });
  if (!committed) return std::nullopt;
  for (const auto& timedOut : timedOutEvents) engine->writeFilteredEventOnWorkerQueue(timedOut);
  for (const auto& expired : expiredEvents) engine->writeFilteredEventOnWorkerQueue(expired);
  return triggeredEvents;
}

bool APMConditionalUserPropertyController::removeTimedOutCUPWithTimedOutEvents(APMEvents& timedOutEvents) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("removeTimedOutCUPWithTimedOutEvents:");
  auto engine = APMMeasurementServices::sharedInstance();
  checkOnWorkerQueue(engine, "removeTimedOutCUPWithTimedOutEvents");
  auto database = engine ? engine->database() : nullptr;
  if (!database) return false;
  os::Error error;
  auto properties = database->timedOutConditionalUserPropertiesWithError(&error);
  if (!properties) {
    monitor()->logWithLevel(1, kAPMCUPCodeFetchTimedOutFailed, "Cannot fetch timed out conditional user properties. Error",
                            error);
    return false;
  }
  for (const auto& property : *properties) {
    const std::string name = APMUserPropertyNameDebugDescription(property->name());
    monitor()->logWithLevel(7, kAPMCUPCodeTimedOut, "Conditional user property has timed out. Name", name);
    if (!database->deleteConditionalUserPropertyWithName(property->name(), &error)) {
      monitor()->logWithLevel(1, kAPMCUPCodeDeleteTimedOutFailed,
                              "Cannot delete timed out condition user property. Name, error", name, error);
      return false;
    }
    if (auto timedOut = eventFrom(property->timedOutEvent(), property->origin(), now())) {
      timedOutEvents.push_back(std::move(timedOut));
    }
  }
  return true;
}

bool APMConditionalUserPropertyController::removeExpiredCUPWithExpiredEvents(APMEvents& expiredEvents) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("removeExpiredCUPWithExpiredEvents:");
  auto engine = APMMeasurementServices::sharedInstance();
  checkOnWorkerQueue(engine, "removeExpiredCUPWithExpiredEvents");
  auto database = engine ? engine->database() : nullptr;
  if (!database) return false;
  os::Error error;
  auto properties = database->expiredConditionalUserPropertiesWithError(&error);
  if (!properties) {
    monitor()->logWithLevel(1, kAPMCUPCodeFetchExpiredFailed, "Cannot fetch expired conditional user properties. Error",
                            error);
    return false;
  }
  for (const auto& property : *properties) {
    const std::string name = APMUserPropertyNameDebugDescription(property->name());
    const auto& expiredEvent = property->expiredEvent();
    monitor()->logWithLevel(7, kAPMCUPCodeExpired, "Conditional user property has expired. Name, expired event", name,
                            expiredEvent ? APMEventNameDebugDescription(expiredEvent->name()) : std::string());
    if (!database->deleteUserAttributeWithName(property->name(), &error)) {
      monitor()->logWithLevel(
          1, kAPMCUPCodeExpiredAttributeDeleteFailed,
          "Cannot remove conditional user property. Failed to delete the user property. Name, origin, error", name,
          property->origin(), error);
      return false;
    }
    if (!database->deleteConditionalUserPropertyWithName(property->name(), &error)) {
      monitor()->logWithLevel(1, kAPMCUPCodeDeleteExpiredFailed, "Cannot delete expired condition user property. Name, error",
                              name, error);
      return false;
    }
    if (auto expired = eventFrom(expiredEvent, property->origin(), now())) expiredEvents.push_back(std::move(expired));
  }
  return true;
}

std::optional<APMEvents> APMConditionalUserPropertyController::updateConditionalUserPropertiesWithEventNameOnWorkerQueue(
    std::string_view eventName) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("updateConditionalUserPropertiesBasedOnEventNameOnWorkerQueue:");
  auto engine = APMMeasurementServices::sharedInstance();
  checkOnWorkerQueue(engine, "updateConditionalUserPropertiesWithEventNameOnWorkerQueue");
  auto database = engine ? engine->database() : nullptr;
  if (!database) return std::nullopt;
  os::Error error;
  auto properties = database->triggeredConditionalUserPropertiesWithEventName(eventName, &error);
  if (properties && properties->empty()) {
    const auto& paired = APMAdImpressionEventNameMap();
    if (const auto it = paired.find(eventName); it != paired.end()) {
      properties = database->triggeredConditionalUserPropertiesWithEventName(it->second, &error);
    }
  }
  if (!properties) {
    monitor()->logWithLevel(1, kAPMCUPCodeFetchTriggeredFailed,
                            "Cannot fetch triggering conditional user properties. Event name, error",
                            APMEventNameDebugDescription(eventName), error);
    return std::nullopt;
  }
  APMEvents triggeredEvents;
  for (const auto& property : *properties) {
    const double timestamp = now();
    const std::string name = APMUserPropertyNameDebugDescription(property->name());
    os::Error attributeError;
    if (writeUserAttribute(*database, *property, timestamp, &attributeError)) {
      monitor()->logWithLevel(7, kAPMCUPCodeTriggerAttributeUpdated, "User property updated. Name, origin, value", name,
                              property->origin(), property->value() ? property->value()->description() : std::string());
    } else {
      monitor()->logWithLevel(1, kAPMCUPCodeTriggerAttributeFailed,
                              "Cannot update user property from conditional user property. Name, origin, error", name,
                              property->origin(), attributeError);
    }
    if (auto triggered = eventFrom(property->triggeredEvent(), property->origin(), timestamp)) {
      triggeredEvents.push_back(std::move(triggered));
    }
    property->setActive(true);
    property->setTriggeredTimestamp(timestamp);
    if (!database->updateConditionalUserProperty(property, &error)) {
      monitor()->logWithLevel(1, kAPMCUPCodeTriggerUpdateFailed,
                              "Cannot update conditional user property. Name, origin, error", name, property->origin(),
                              error);
      return std::nullopt;
    }
  }
  return triggeredEvents;
}
