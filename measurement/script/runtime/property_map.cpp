#include "measurement/script/runtime/property_map.h"

#include <algorithm>
#include <atomic>
#include <utility>

#include "measurement/script/runtime/values.h"

uint64_t apmp::detail::nextLayout() {
  // Each thread counts in its own range, so no two maps ever share a number.
  static std::atomic<uint64_t> ranges{0};
  thread_local uint64_t next = (ranges.fetch_add(1) + 1) << 40;
  return ++next;
}

APMPPropertyMap::~APMPPropertyMap() { clear(); }

const APMPPropertyMap::Entry* APMPPropertyMap::findEntry(const APMPNameKey& key) const {
  if (!isSmall()) {
    auto it = large_->find(key);
    return it == large_->end() ? nullptr : &it->second;
  }
  for (const Slot& slot : small_) {
    if (slot.hash == key.hash && slot.name == key.text) return &slot.entry;
  }
  return nullptr;
}

void APMPPropertyMap::store(APMPValueRef value, const APMPNameKey& key, bool immutable) {
  if (immutable_) return;
  if (Entry* entry = count() == 0 ? nullptr : findEntry(key)) {
    if (entry->immutable) return;
    if (immutable) {
      entry->immutable = true;
      layout_ = apmp::detail::nextLayout();
    }
    apmp::detail::releaseValueLater(std::exchange(entry->value, std::move(value)));
    return;
  }
  Entry entry{std::move(value), nextOrder_++, immutable};
  layout_ = apmp::detail::nextLayout();
  if (isSmall() && small_.size() < kSmallCount) {
    if (small_.capacity() == 0) small_.reserve(kCachedSlots);
    small_.emplace_back(key.text, key.hash, std::move(entry));  // the name copied once, in place
    return;
  }
  if (isSmall()) {
    if (!large_) large_ = std::make_unique<LargeMap>();
    large_->reserve(small_.size() + 1);
    for (Slot& slot : small_) large_->emplace(std::move(slot.name), std::move(slot.entry));
    small_.clear();
    small_.shrink_to_fit();
  }
  large_->emplace(std::u16string(key.text), std::move(entry));
}

const APMPValueRef& APMPPropertyMap::valueForName(std::u16string_view name) const {
  const APMPValueRef* value = find(name);
  return value != nullptr ? *value : APMPUndefinedValue::sharedInstance();
}

void APMPPropertyMap::removeValueForName(std::u16string_view name) {
  if (immutable_) return;
  const APMPNameKey key(name);
  APMPValueRef value;
  if (!isSmall()) {
    auto it = large_->find(key);
    if (it == large_->end() || it->second.immutable) return;
    value = std::move(it->second.value);
    large_->erase(it);
  } else {
    auto it = std::find_if(small_.begin(), small_.end(),
                           [&](const Slot& slot) { return slot.hash == key.hash && slot.name == key.text; });
    if (it == small_.end() || it->entry.immutable) return;
    value = std::move(it->entry.value);
    small_.erase(it);  // the others keep their order
  }
  layout_ = apmp::detail::nextLayout();
  apmp::detail::releaseValueLater(std::move(value));
}

bool APMPPropertyMap::isImmutableName(std::u16string_view name) const {
  const Entry* entry = findEntry(APMPNameKey(name));
  return entry != nullptr && entry->immutable;
}

std::vector<std::u16string> APMPPropertyMap::allNames() const {
  std::vector<std::u16string> names;
  if (isSmall()) {
    names.reserve(small_.size());
    for (const Slot& slot : small_) names.push_back(slot.name);
    return names;
  }
  std::vector<std::pair<uint64_t, const std::u16string*>> ordered;
  ordered.reserve(large_->size());
  for (const auto& [name, entry] : *large_) ordered.emplace_back(entry.order, &name);
  std::sort(ordered.begin(), ordered.end());
  names.reserve(ordered.size());
  for (const auto& [order, name] : ordered) names.push_back(*name);
  return names;
}

void APMPPropertyMap::clear() {
  // Emptied before anything is released, so no destructor sees a half-cleared map.
  if (isSmall()) {
    auto slots = std::move(small_);  // leaves small_ empty: the allocators are equal
    nextOrder_ = 0;
    immutable_ = false;
    layout_ = apmp::detail::nextLayout();
    for (Slot& slot : slots) apmp::detail::releaseValueLater(std::move(slot.entry.value));
    return;
  }
  APMPValueList values;
  values.reserve(large_->size());
  for (auto& [name, entry] : *large_) values.push_back(std::move(entry.value));
  large_->clear();
  nextOrder_ = 0;
  immutable_ = false;
  layout_ = apmp::detail::nextLayout();
  apmp::detail::releaseAllLater(values);
}
