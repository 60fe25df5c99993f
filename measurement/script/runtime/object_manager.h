// APMPObjectManager: the mark-and-sweep collector of one runtime.
//
// Design note.
// 1. The manager never keeps a value alive: it holds weak references to its
//    roots (the runtime's initial and global scopes, and whatever the host
//    adds) and to every container made through its factories.
// 2. collectGarbage = mark, then sweep. Mark starts at the roots and walks
//    containers and scopes with an explicit work list (no recursion), setting
//    each container's flag once. Sweep empties every tracked container whose
//    flag is clear and clears the flags of the others; emptying breaks the
//    cycles among containers, closures and scopes, so ordinary ownership then
//    frees what nothing refers to.
// 3. A reachable value is never changed by a collection. A container that is
//    emptied while the host still refers to it keeps working, empty.
// 4. Collections run between script runs only: run scopes and the scopes of
//    calls in progress need not be roots.
// 5. teardown (when the runtime goes) empties every tracked container and
//    every container reachable from the roots, then the root scopes: all the
//    runtime made is freed.
// Used by the thread that runs the program; no locks.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "measurement/script/runtime/scope.h"
#include "measurement/script/runtime/values.h"

class APMPArrayValue;

// One mark phase: containers and scopes hand what they hold to it.
class APMPMarker {
 public:
  explicit APMPMarker(uint64_t epoch) : epoch_(epoch) {}
  // Only containers and control values hold values: nothing else is queued.
  void markValue(const APMPValueRef& value) {
    if (!value) return;
    const APMPRuntimeValue::Kind kind = value->kind();
    if (kind >= APMPRuntimeValue::Kind::Map && kind <= APMPRuntimeValue::Kind::Control) {
      pendingValues_.push_back(value.get());
    }
  }
  void markScope(APMPScope* scope) {
    if (scope != nullptr) pendingScopes_.push_back(scope);
  }
  // Marks everything reachable from what was handed in so far.
  void drain();
  // When set, every container marked is also appended here.
  void recordInto(std::vector<APMPValueRef>* marked) { recorded_ = marked; }
  void didMark(APMPRuntimeValue& container) {
    if (recorded_ != nullptr) recorded_->push_back(container.shared_from_this());
  }

 private:
  uint64_t epoch_;
  std::vector<APMPRuntimeValue*> pendingValues_;
  std::vector<APMPScope*> pendingScopes_;
  std::vector<APMPValueRef>* recorded_ = nullptr;
};

class APMPObjectManager {
 public:
  APMPObjectManager() = default;
  APMPObjectManager(const APMPObjectManager&) = delete;
  APMPObjectManager& operator=(const APMPObjectManager&) = delete;

  // Factories: a new value, tracked by the manager of the given scope's chain
  // (untracked when the chain has none).
  static std::shared_ptr<APMPFunctionValue> functionValueWithFunctionName(std::u16string functionName,
                                                                          std::vector<std::u16string> parameterNames,
                                                                          APMPValueList statements,
                                                                          APMPScopeRef definingScope);
  static std::shared_ptr<APMPMapValue> mapValueWithScope(const APMPScopeRef& scope);
  static std::shared_ptr<APMPArrayValue> arrayValueWithScope(const APMPScopeRef& scope);
  // A new array holding the given elements; rovav 11 past kAPMPMaxArraySlots.
  static os::Result<std::shared_ptr<APMPArrayValue>> arrayValueWithArray(APMPValueList elements,
                                                                         const APMPScopeRef& scope);
  // A new array of the slots [location, location + length), clamped.
  static std::shared_ptr<APMPArrayValue> subarrayWithArray(const APMPArrayValue& array, int64_t location,
                                                           int64_t length, const APMPScopeRef& scope);

  void addRoot(const std::shared_ptr<APMPGarbageCollectionRoot>& root);
  // Tracks a value (null is ignored). Natives that scripts can write
  // properties into may be tracked too, so their cycles are broken.
  void addObject(const APMPValueRef& object);
  // Values tracked since the manager was made.
  uint64_t objectsAdded() const { return objectsAdded_; }

  void collectGarbage() {
    mark();
    sweep();
  }
  void mark();
  void sweep();
  // Empties everything the runtime made (see the design note).
  void teardown();

  // Slots and items (array slots and the properties of arrays, maps and
  // functions) of the containers the last mark reached.
  size_t reachableSlots() const { return reachableSlots_; }
  // The tracked values still alive.
  std::vector<APMPValueRef> trackedObjects() const;
  std::vector<std::shared_ptr<APMPGarbageCollectionRoot>> roots() const;

 private:
  void markFromRoots(std::vector<APMPValueRef>* recorded);
  void pruneObjects();

  std::vector<std::weak_ptr<APMPGarbageCollectionRoot>> roots_;
  std::vector<std::weak_ptr<APMPRuntimeValue>> objects_;
  uint64_t objectsAdded_ = 0;
  // The containers the last mark reached, until the sweep after it.
  std::vector<APMPValueRef> marked_;
  // objects_ is pruned of expired entries when it doubles past this.
  size_t pruneThreshold_ = 1024;
  uint64_t epoch_ = 0;
  size_t reachableSlots_ = 0;
};
