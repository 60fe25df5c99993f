#include "measurement/store/engine_services/event_editing.h"

#include <cmath>
#include <mutex>

namespace {

// Parameters kept as integers whatever they held.
bool isIntegerParameter(std::string_view name) { return name == "_syn" || name == "_err" || name == "_el"; }

os::Value truncated(const os::Number& number) { return os::Value(os::Number::int64(number.int64Value())); }

std::mutex& servicesMutex() {
  static std::mutex mutex;
  return mutex;
}
std::shared_ptr<APMPScriptServices>& servicesSlot() {  // guarded by servicesMutex()
  static auto& slot = *new std::shared_ptr<APMPScriptServices>();  // never destroyed: read during exit
  return slot;
}

}  // namespace

const os::Value* APMPEvent::parameterForName(std::string_view name) const {
  auto it = parameters_.find(name);
  return it == parameters_.end() ? nullptr : &it->second;
}

void APMPEvent::setParameter(os::Value value, std::string_view name) {
  auto it = parameters_.find(name);
  if (value.isNull()) {
    if (it != parameters_.end()) parameters_.erase(it);
    return;
  }
  if (it == parameters_.end()) {
    parameters_.emplace(std::string(name), normalizedParameterValue(std::move(value), name, nullptr));
    return;
  }
  it->second = normalizedParameterValue(std::move(value), name, &it->second);
}

os::Value APMPEvent::normalizedParameterValue(os::Value value, std::string_view name, const os::Value* current) {
  const os::Number* number = value.number();
  if (number == nullptr) return value;
  if (isIntegerParameter(name)) return truncated(*number);
  if (current == nullptr) return value;
  if (const os::Number* held = current->number()) {
    if (held->isFloatingPoint()) return value;
    if (name.starts_with('_')) return *current;
    return truncated(*number);
  }
  if (current->isString()) return os::Value(number->description());
  return value;
}

bool APMPEvent::isEqualToEvent(const APMPEvent& other) const {
  if (this == &other) return true;
  if (std::fabs(timestamp_ - other.timestamp_) > 2.220446049250313e-16) return false;
  if (name_ != other.name_ || parameters_.size() != other.parameters_.size()) return false;
  // Both maps are ordered by name: equal name sets pair up in order.
  for (auto mine = parameters_.begin(), theirs = other.parameters_.begin(); mine != parameters_.end();
       ++mine, ++theirs) {
    if (mine->first != theirs->first || mine->second != theirs->second) return false;
    const os::Number* a = mine->second.number();
    const os::Number* b = theirs->second.number();
    if (a != nullptr && b != nullptr && a->isFloatingPoint() != b->isFloatingPoint()) return false;
  }
  return true;
}

void APMPEventContext::setInputEvent(APMPEvent event) {
  outputEvent_ = event;
  inputEvent_ = std::move(event);
  loggedEvents_.clear();
}

void APMPEventContext::logEventWithName(std::string name, double timestamp, const os::Dictionary& parameters) {
  os::Dictionary normalized;
  for (const auto& [key, value] : parameters) {
    if (value.isNull()) continue;
    normalized.emplace(key, APMPEvent::normalizedParameterValue(value, key, inputEvent_.parameterForName(key)));
  }
  loggedEvents_.emplace_back(std::move(name), timestamp, std::move(normalized));
}

std::shared_ptr<APMPScriptServices> APMPScriptServices::sharedInstance() {
  std::lock_guard lock(servicesMutex());
  return servicesSlot();
}

void APMPScriptServices::setSharedInstance(std::shared_ptr<APMPScriptServices> services) {
  std::lock_guard lock(servicesMutex());
  servicesSlot() = std::move(services);
}
