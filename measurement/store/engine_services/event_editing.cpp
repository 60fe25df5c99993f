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
  auto it = parameters_.lower_bound(name);
  const bool present = it != parameters_.end() && it->first == name;
  if (value.isNull()) {
    if (present) parameters_.erase(it);
    return;
  }
  if (!present) {
    parameters_.emplace_hint(it, std::string(name), normalizedParameterValue(std::move(value), name, nullptr));
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

// ---- the parameter log ----

size_t APMPParameterLog::find(std::string_view name) const {
  if (!index_.empty()) {
    ++namesCompared_;
    auto it = index_.find(name);
    return it == index_.end() ? npos : it->second;
  }
  for (size_t i = 0; i < entries_.size(); ++i) {
    ++namesCompared_;
    if (entries_[i].name == name) return i;
  }
  return npos;
}

void APMPParameterLog::add(std::string_view name, std::optional<os::Value> before) {
  entries_.push_back({std::string(name), std::move(before)});
  if (entries_.size() <= kScanned) return;
  if (index_.empty()) {
    for (size_t i = 0; i < entries_.size(); ++i) index_.emplace(entries_[i].name, i);
  } else {
    index_.emplace(entries_.back().name, entries_.size() - 1);
  }
}

void APMPParameterLog::truncate(size_t size) {
  if (size >= entries_.size()) return;
  if (size <= kScanned) {
    index_.clear();
  } else {
    for (size_t i = size; i < entries_.size(); ++i) index_.erase(entries_[i].name);
  }
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(size), entries_.end());
}

// ---- the context ----

void APMPEventContext::setInputEvent(APMPEvent event) {
  outputEvent_ = std::move(event);
  inputEvent_ = APMPEvent();
  inputBuilt_ = false;
  inputName_.reset();
  inputParameters_.clear();
  editing_ = false;
  editStart_ = editEnd_ = 0;
  editParameters_.clear();
  editName_.reset();
  loggedEvents_.clear();
}

const APMPEvent& APMPEventContext::inputEvent() const {
  if (!inputBuilt_) {
    os::Dictionary parameters = outputEvent_.parameters();
    for (size_t i = 0; i < inputParameters_.size(); ++i) {
      const APMPParameterLog::Entry& entry = inputParameters_[i];
      if (entry.before) {
        parameters.insert_or_assign(entry.name, *entry.before);
      } else if (auto it = parameters.find(entry.name); it != parameters.end()) {
        parameters.erase(it);
      }
    }
    inputEvent_ = APMPEvent(inputName_ ? *inputName_ : outputEvent_.name(), outputEvent_.timestamp(),
                            std::move(parameters));
    inputBuilt_ = true;
  }
  return inputEvent_;
}

APMPEvent& APMPEventContext::outputEvent() {
  inputEvent();
  return outputEvent_;
}

void APMPEventContext::setOutputEvent(APMPEvent event) {
  inputEvent();
  outputEvent_ = std::move(event);
}

void APMPEventContext::setOutputName(std::string name) {
  if (!inputName_) inputName_ = outputEvent_.name();
  if (editing_ && !editName_) editName_ = outputEvent_.name();
  outputEvent_.setName(std::move(name));
}

void APMPEventContext::setOutputParameter(os::Value value, std::string_view name) {
  os::Dictionary& parameters = outputEvent_.parameters_;
  auto it = parameters.lower_bound(name);
  const bool present = it != parameters.end() && it->first == name;
  const os::Value* current = present ? &it->second : nullptr;
  // The value replaced goes into the log that must remember it (moved: it
  // is overwritten or erased next), and is read there.
  APMPParameterLog* log = nullptr;
  const size_t written = inputParameters_.find(name);
  if (written == APMPParameterLog::npos) {
    log = &inputParameters_;
  } else if (editing_ && written < editStart_ && editParameters_.find(name) == APMPParameterLog::npos) {
    log = &editParameters_;
  }
  if (log != nullptr) {
    log->add(name, present ? std::optional<os::Value>(std::move(it->second)) : std::nullopt);
    if (present) current = &*(*log)[log->size() - 1].before;
  }
  if (value.isNull()) {
    if (present) parameters.erase(it);
  } else if (present) {
    it->second = APMPEvent::normalizedParameterValue(std::move(value), name, current);
  } else {
    parameters.emplace_hint(it, std::string(name),
                            APMPEvent::normalizedParameterValue(std::move(value), name, nullptr));
  }
}

void APMPEventContext::beginEdit() {
  editing_ = true;
  editStart_ = editEnd_ = inputParameters_.size();
  editParameters_.clear();
  editName_.reset();
}

void APMPEventContext::endEdit() {
  if (!editing_) return;
  editing_ = false;
  editEnd_ = inputParameters_.size();
}

void APMPEventContext::restore(const APMPParameterLog::Entry& entry) {
  os::Dictionary& parameters = outputEvent_.parameters_;
  if (entry.before) {
    parameters.insert_or_assign(entry.name, *entry.before);
  } else if (auto it = parameters.find(entry.name); it != parameters.end()) {
    parameters.erase(it);
  }
}

void APMPEventContext::undoEdit() {
  endEdit();
  for (size_t i = 0; i < editParameters_.size(); ++i) restore(editParameters_[i]);
  // The parameters the edit wrote first are back to their input values:
  // nothing of them is left to remember.
  for (size_t i = editStart_; i < editEnd_; ++i) restore(inputParameters_[i]);
  if (editEnd_ == inputParameters_.size()) inputParameters_.truncate(editStart_);
  if (editName_) outputEvent_.setName(std::move(*editName_));
  editParameters_.clear();
  editName_.reset();
  editEnd_ = editStart_;
}

bool APMPEventContext::outputDiffersFromInput() const {
  if (inputBuilt_) return !outputEvent_.isEqualToEvent(inputEvent_);
  if (inputName_ && *inputName_ != outputEvent_.name()) return true;
  for (size_t i = 0; i < inputParameters_.size(); ++i) {
    const APMPParameterLog::Entry& entry = inputParameters_[i];
    const os::Value* now = outputEvent_.parameterForName(entry.name);
    if ((now != nullptr) != entry.before.has_value()) return true;
    if (now == nullptr) continue;
    if (*now != *entry.before) return true;
    const os::Number* a = now->number();
    const os::Number* b = entry.before->number();
    if (a != nullptr && b != nullptr && a->isFloatingPoint() != b->isFloatingPoint()) return true;
  }
  // Every written parameter is back as it was; the whole comparison also
  // tells a value unequal to itself (a date that is not a number), as it
  // always did.
  return !outputEvent_.isEqualToEvent(inputEvent());
}

const os::Value* APMPEventContext::inputParameterForName(std::string_view name) const {
  if (inputBuilt_) return inputEvent_.parameterForName(name);
  if (size_t written = inputParameters_.find(name); written != APMPParameterLog::npos) {
    const std::optional<os::Value>& before = inputParameters_[written].before;
    return before ? &*before : nullptr;
  }
  return outputEvent_.parameterForName(name);
}

void APMPEventContext::logEventWithName(std::string name, double timestamp, const os::Dictionary& parameters) {
  os::Dictionary normalized;
  for (const auto& [key, value] : parameters) {
    if (value.isNull()) continue;
    normalized.emplace(key, APMPEvent::normalizedParameterValue(value, key, inputParameterForName(key)));
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
