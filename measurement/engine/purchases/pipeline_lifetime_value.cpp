// The event pipeline's lifetime-value step (APMMeasurement): runs inside the
// event's store transaction on the worker queue.

#include "measurement/engine/core/measurement.h"
#include "measurement/engine/purchases/lifetime_value_recorder.h"

bool APMMeasurement::updateLifetimeValueWithEvent(const std::shared_ptr<APMEvent>& event) {
  if (!event || !APMLifetimeValueRecorder::isPurchaseEvent(*event)) return true;
  auto database = this->database();
  return database && APMLifetimeValueRecorder::recordLifetimeValueToDatabase(*database, *event);
}
