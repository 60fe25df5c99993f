// APMPPropertyMap: the name-to-value store of scopes, maps, arrays and
// functions, with names that may be frozen one by one or all at once.
// Writes to a frozen map or a frozen name are ignored without an error.
// allNames lists names in the order they were first stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "measurement/script/runtime/block_cache.h"

class APMPRuntimeValue;
using APMPValueRef = std::shared_ptr<APMPRuntimeValue>;

// A name with its hash, computed once for a walk through many maps (a scope
// chain) or kept with an immutable string.
struct APMPNameKey {
  explicit APMPNameKey(std::u16string_view name) : text(name), hash(std::hash<std::u16string_view>()(name)) {}
  APMPNameKey(std::u16string_view name, size_t nameHash) : text(name), hash(nameHash) {}
  std::u16string_view text;
  size_t hash;
  friend bool operator==(const APMPNameKey& key, const std::u16string& name) { return key.text == name; }
};

class APMPPropertyMap;

// Where a name was last found in a map: valid while the map keeps its
// layout (its names, their places and which of them are frozen).
struct APMPSlotCache {
  const APMPPropertyMap* map = nullptr;
  uint64_t layout = 0;
  APMPValueRef* value = nullptr;
};

namespace apmp::detail {
// A layout number no map has had before.
uint64_t nextLayout();
}  // namespace apmp::detail

// Design note: up to kSmallCount names live in a vector in the order they
// were stored, found by a scan that compares hashes first (scopes of calls
// and blocks, and most maps, hold a handful); the first name past that moves
// them all into a hash map that keeps each name's storing order.
class APMPPropertyMap {
 public:
  APMPPropertyMap() = default;
  // Releases the values through apmp::detail::releaseLater.
  ~APMPPropertyMap();
  APMPPropertyMap(const APMPPropertyMap&) = delete;
  APMPPropertyMap& operator=(const APMPPropertyMap&) = delete;

  bool hasName(std::u16string_view name) const { return hasName(APMPNameKey(name)); }
  bool hasName(const APMPNameKey& key) const { return findEntry(key) != nullptr; }
  // Ignored when the map or the name is frozen.
  void setValue(APMPValueRef value, std::u16string_view name) { setValue(std::move(value), APMPNameKey(name)); }
  void setValue(APMPValueRef value, const APMPNameKey& key) { store(std::move(value), key, false); }
  // The same guard; then the name is frozen.
  void setImmutableValue(APMPValueRef value, std::u16string_view name) {
    store(std::move(value), APMPNameKey(name), true);
  }
  // The value, or the undefined value when absent.
  const APMPValueRef& valueForName(std::u16string_view name) const;
  // The value, or null when absent.
  const APMPValueRef* find(std::u16string_view name) const { return find(APMPNameKey(name)); }
  const APMPValueRef* find(const APMPNameKey& key) const {
    const Entry* entry = findEntry(key);
    return entry != nullptr ? &entry->value : nullptr;
  }
  // The value, or null when absent; frozen tells whether a write of the
  // name would be ignored.
  APMPValueRef* findForWrite(const APMPNameKey& key, bool& frozen) {
    Entry* entry = findEntry(key);
    if (entry == nullptr) return nullptr;
    frozen = immutable_ || entry->immutable;
    return &entry->value;
  }
  // find through a cache of the name's place in this map.
  const APMPValueRef* find(const APMPNameKey& key, APMPSlotCache& cache) const {
    if (cache.map == this && cache.layout == layout_) return cache.value;
    const Entry* entry = findEntry(key);
    if (entry == nullptr) return nullptr;
    cache = {this, layout_, const_cast<APMPValueRef*>(&entry->value)};
    return &entry->value;
  }
  // The same for a write: the value when the name is present and a write
  // would not be ignored. The cache keeps only writable places.
  APMPValueRef* findWritable(const APMPNameKey& key, APMPSlotCache& cache) {
    if (cache.map == this && cache.layout == layout_) return cache.value;
    Entry* entry = findEntry(key);
    if (entry == nullptr || immutable_ || entry->immutable) return nullptr;
    cache = {this, layout_, &entry->value};
    return &entry->value;
  }
  // Ignored when the map or the name is frozen.
  void removeValueForName(std::u16string_view name);
  void makeImmutable() {
    immutable_ = true;
    layout_ = apmp::detail::nextLayout();
  }
  bool isImmutable() const { return immutable_; }
  bool isImmutableName(std::u16string_view name) const;
  std::vector<std::u16string> allNames() const;
  size_t count() const { return isSmall() ? small_.size() : large_->size(); }

  template <class F>
  void forEachValue(F&& f) const {
    for (const auto& slot : small_) f(slot.entry.value);
    if (large_) {
      for (const auto& [name, entry] : *large_) f(entry.value);
    }
  }
  // Drops every name and value and unfreezes: the map is as new.
  void clear();

 private:
  static constexpr size_t kSmallCount = 8;
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::u16string_view s) const { return std::hash<std::u16string_view>()(s); }
    size_t operator()(const APMPNameKey& key) const { return key.hash; }
  };
  struct Entry {
    APMPValueRef value;
    uint64_t order;
    bool immutable;
  };
  struct Slot {
    Slot(std::u16string_view slotName, size_t nameHash, Entry slotEntry)
        : name(slotName), hash(nameHash), entry(std::move(slotEntry)) {}
    std::u16string name;
    size_t hash;
    Entry entry;
  };
  const Entry* findEntry(const APMPNameKey& key) const;
  Entry* findEntry(const APMPNameKey& key) {
    return const_cast<Entry*>(static_cast<const APMPPropertyMap&>(*this).findEntry(key));
  }
  void store(APMPValueRef value, const APMPNameKey& key, bool immutable);
  // Exactly one of the two holds the names: small_ while at most kSmallCount,
  // large_ from the first name past that until clear(). large_ is made on
  // that first name, so a small map carries no table.
  // The first slots (a call's parameters, a block's names) come from a
  // per-thread cache.
  static constexpr size_t kCachedSlots = 2;
  std::vector<Slot, apmp::detail::SmallArrayAllocator<Slot, kCachedSlots>> small_;
  using LargeMap = std::unordered_map<std::u16string, Entry, Hash, std::equal_to<>>;
  bool isSmall() const { return !large_ || large_->empty(); }
  std::unique_ptr<LargeMap> large_;
  uint64_t nextOrder_ = 0;
  // Changes whenever a name is added, removed or frozen (APMPSlotCache).
  uint64_t layout_ = 0;
  bool immutable_ = false;
};
