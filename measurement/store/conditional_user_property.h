// APMConditionalUserProperty: a user property registered now that takes
// effect only when its trigger event is logged within the trigger timeout (or
// at once without a trigger event name), stays in effect for its time to
// live, and logs its own events when triggered, timed out, expired or
// cleared. Kept in the database's conditional_properties table; the
// controller (conditional_user_property_controller.h) moves it through its
// states.
//
// A plain record: copies carry every field. Not thread-safe; one owner at a
// time.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "measurement/store/engine_services/event.h"
#include "measurement/store/value.h"

class APMConditionalUserProperty {
 public:
  APMConditionalUserProperty() = default;

  bool active() const { return active_; }
  void setActive(bool value) { active_ = value; }
  const std::string& name() const { return name_; }
  void setName(std::string value) { name_ = std::move(value); }
  const std::string& origin() const { return origin_; }
  void setOrigin(std::string value) { origin_ = std::move(value); }
  // None: setting the record through the controller removes the stored one.
  const std::optional<APMValue>& value() const { return value_; }
  void setValue(std::optional<APMValue> value) { value_ = std::move(value); }
  // Empty: active at once.
  const std::string& triggerEventName() const { return triggerEventName_; }
  void setTriggerEventName(std::string value) { triggerEventName_ = std::move(value); }
  // Seconds after creation within which a trigger is accepted.
  double triggerTimeout() const { return triggerTimeout_; }
  void setTriggerTimeout(double value) { triggerTimeout_ = value; }
  // Seconds after triggering during which the property stays in effect.
  double timeToLive() const { return timeToLive_; }
  void setTimeToLive(double value) { timeToLive_ = value; }
  const std::shared_ptr<APMEvent>& triggeredEvent() const { return triggeredEvent_; }
  void setTriggeredEvent(std::shared_ptr<APMEvent> value) { triggeredEvent_ = std::move(value); }
  const std::shared_ptr<APMEvent>& timedOutEvent() const { return timedOutEvent_; }
  void setTimedOutEvent(std::shared_ptr<APMEvent> value) { timedOutEvent_ = std::move(value); }
  // Also carries the clear event of a removal.
  const std::shared_ptr<APMEvent>& expiredEvent() const { return expiredEvent_; }
  void setExpiredEvent(std::shared_ptr<APMEvent> value) { expiredEvent_ = std::move(value); }
  // Seconds since 1970.
  double creationTimestamp() const { return creationTimestamp_; }
  void setCreationTimestamp(double value) { creationTimestamp_ = value; }
  double triggeredTimestamp() const { return triggeredTimestamp_; }
  void setTriggeredTimestamp(double value) { triggeredTimestamp_ = value; }

 private:
  bool active_ = false;
  std::string name_;
  std::string origin_;
  std::optional<APMValue> value_;
  std::string triggerEventName_;
  double triggerTimeout_ = 0;
  double timeToLive_ = 0;
  std::shared_ptr<APMEvent> triggeredEvent_;
  std::shared_ptr<APMEvent> timedOutEvent_;
  std::shared_ptr<APMEvent> expiredEvent_;
  double creationTimestamp_ = 0;
  double triggeredTimestamp_ = 0;
};
