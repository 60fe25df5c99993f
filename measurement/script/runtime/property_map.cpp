#include "measurement/script/runtime/property_map.h"

#include <algorithm>
#include <utility>

#include "measurement/script/runtime/values.h"

APMPPropertyMap::~APMPPropertyMap() { clear(); }

void APMPPropertyMap::setValue(APMPValueRef value, const APMPNameKey& key) {
  if (immutable_) return;
  auto it = contents_.find(key);
  if (it == contents_.end()) {
    contents_.emplace(std::u16string(key.text), Entry{std::move(value), nextOrder_++, false});
    return;
  }
  if (it->second.immutable) return;
  apmp::detail::releaseValueLater(std::exchange(it->second.value, std::move(value)));
}

void APMPPropertyMap::setImmutableValue(APMPValueRef value, std::u16string_view name) {
  if (immutable_) return;
  auto it = contents_.find(name);
  if (it == contents_.end()) {
    contents_.emplace(std::u16string(name), Entry{std::move(value), nextOrder_++, true});
    return;
  }
  if (it->second.immutable) return;
  apmp::detail::releaseValueLater(std::exchange(it->second.value, std::move(value)));
  it->second.immutable = true;
}

const APMPValueRef& APMPPropertyMap::valueForName(std::u16string_view name) const {
  auto it = contents_.find(name);
  return it == contents_.end() ? APMPUndefinedValue::sharedInstance() : it->second.value;
}

const APMPValueRef* APMPPropertyMap::find(const APMPNameKey& key) const {
  // Most scopes of a chain are blocks that declare nothing: no look-up there.
  if (contents_.empty()) return nullptr;
  auto it = contents_.find(key);
  return it == contents_.end() ? nullptr : &it->second.value;
}

void APMPPropertyMap::removeValueForName(std::u16string_view name) {
  if (immutable_) return;
  auto it = contents_.find(name);
  if (it == contents_.end() || it->second.immutable) return;
  APMPValueRef value = std::move(it->second.value);
  contents_.erase(it);
  apmp::detail::releaseValueLater(std::move(value));
}

bool APMPPropertyMap::isImmutableName(std::u16string_view name) const {
  auto it = contents_.find(name);
  return it != contents_.end() && it->second.immutable;
}

std::vector<std::u16string> APMPPropertyMap::allNames() const {
  std::vector<std::pair<uint64_t, const std::u16string*>> ordered;
  ordered.reserve(contents_.size());
  for (const auto& [name, entry] : contents_) ordered.emplace_back(entry.order, &name);
  std::sort(ordered.begin(), ordered.end());
  std::vector<std::u16string> names;
  names.reserve(ordered.size());
  for (const auto& [order, name] : ordered) names.push_back(*name);
  return names;
}

void APMPPropertyMap::clear() {
  // Emptied before anything is released, so no destructor sees a half-cleared map.
  APMPValueList values;
  values.reserve(contents_.size());
  for (auto& [name, entry] : contents_) values.push_back(std::move(entry.value));
  contents_.clear();
  nextOrder_ = 0;
  immutable_ = false;
  apmp::detail::releaseAllLater(values);
}
