#include "sdk-core/heartbeats/heartbeat_controller.h"

namespace heartbeats {

HeartbeatController::HeartbeatController(const std::string& id) : HeartbeatController(id, [] { return os::Date::now(); }) {}

HeartbeatController::HeartbeatController(const std::string& id, DateProvider rawDateSource)
    : HeartbeatController(HeartbeatStorage::instance(id), std::move(rawDateSource)) {}

HeartbeatController::HeartbeatController(std::shared_ptr<HeartbeatStorage> storage, DateProvider rawDateSource)
    : storage_(std::move(storage)),
      dateProvider_([source = std::move(rawDateSource)] { return utcDayStart(source()); }) {}

void HeartbeatController::log(const std::string& agent) {
  const os::Date date = dateProvider_();
  const int capacity = heartbeatsStorageCapacity_;
  storage_->updateAsync([agent, date, capacity](std::optional<HeartbeatsBundle> stored) {
    HeartbeatsBundle bundle = stored ? std::move(*stored) : HeartbeatsBundle(capacity);
    std::vector<TimePeriod> due;
    for (auto period : kAllTimePeriods) {
      auto it = bundle.lastAddedHeartbeatDates().find(period);
      const os::Date last = it == bundle.lastAddedHeartbeatDates().end() ? os::Date::distantPast() : it->second;
      if (date.timeIntervalSinceDate(last) >= timeInterval(period)) due.push_back(period);
    }
    if (!due.empty()) bundle.addHeartbeat(Heartbeat{agent, date, 0, due});
    return std::optional<HeartbeatsBundle>(std::move(bundle));
  });
}

HeartbeatsPayload HeartbeatController::flush() {
  const int capacity = heartbeatsStorageCapacity_;
  auto old = storage_->exchange([capacity](std::optional<HeartbeatsBundle> stored) -> std::optional<HeartbeatsBundle> {
    if (!stored) return std::nullopt;
    return HeartbeatsBundle(capacity, stored->lastAddedHeartbeatDates());
  });
  if (!old || !*old) return HeartbeatsPayload::emptyPayload();
  return (*old)->makePayload();
}

HeartbeatsPayload HeartbeatController::flushHeartbeatFromToday() {
  const os::Date date = dateProvider_();
  std::optional<Heartbeat> taken;
  storage_->updateSync([&](std::optional<HeartbeatsBundle> stored) -> std::optional<HeartbeatsBundle> {
    if (!stored) return std::nullopt;
    taken = stored->takeHeartbeat(date);
    return stored;
  });
  if (!taken) return HeartbeatsPayload::emptyPayload();
  HeartbeatsPayload payload;
  payload.userAgentPayloads.push_back({taken->agent, {taken->date}});
  return payload;
}

}  // namespace heartbeats
