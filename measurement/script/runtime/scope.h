// APMPScope: one level of the chain of names a program sees. A scope owns its
// parent; the runtime's initial scope is the root and carries the object
// manager, which every descendant finds through its parents.
//
// Every chain also shares one APMPExecutionState, made by its root scope:
// the instruction counter and the evaluation depth live there, outside the
// names a program can declare or assign.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "measurement/script/runtime/block_cache.h"
#include "measurement/script/runtime/property_map.h"
#include "measurement/script/runtime/values.h"

class APMPObjectManager;

// An object the collector starts marking from (object_manager.h).
class APMPGarbageCollectionRoot {
 public:
  virtual ~APMPGarbageCollectionRoot() = default;
  virtual void mark(APMPMarker& marker) = 0;
};

// The per-runtime counters of evaluation (evaluator.h counts and checks).
struct APMPExecutionState {
  // Evaluations since the last reset.
  int64_t instructionCount = 0;
  // Statement evaluations in progress, one inside another.
  int depth = 0;
  // Slots and items the last collection found reachable, and those made in
  // bulk since (both bounded by kAPMPMaxTrackedSlots together).
  size_t retainedSlots = 0;
  size_t slotsMade = 0;
  // Advances whenever a scope that has children gets its first name or is
  // frozen: the skip links of the scopes below it may then be stale.
  uint64_t scopeEpoch = 1;
};

class APMPScope final : public APMPGarbageCollectionRoot, public std::enable_shared_from_this<APMPScope> {
 public:
  // A root scope (no parent) starts a new execution state.
  explicit APMPScope(APMPScopeRef parentScope = nullptr);
  ~APMPScope() override;
  APMPScope(const APMPScope&) = delete;
  APMPScope& operator=(const APMPScope&) = delete;

  static APMPScopeRef initWithParentScope(APMPScopeRef parentScope) {
    return std::make_shared<APMPScope>(std::move(parentScope));
  }
  // Calls and blocks make one each: kept blocks are reused (block_cache.h).
  APMPScopeRef createChildScope() { return childOf(shared_from_this()); }
  // The same for a parent already held by reference: no weak-to-strong
  // conversion on the call path. A scope given back with recycle is taken
  // first.
  static APMPScopeRef childOf(const APMPScopeRef& parent);
  // Gives back a child scope when the call or block that made it ends: one
  // that nothing else holds (no closure, no child) is emptied as its
  // destructor would empty it and kept for the next childOf on this thread;
  // any other is only let go.
  static void recycle(APMPScopeRef scope);

  const APMPScopeRef& parentScope() const { return parentScope_; }
  const APMPPropertyMap& contents() const { return contents_; }

  // This scope or an ancestor holds the name.
  bool hasName(std::u16string_view name) const { return hasName(APMPNameKey(name)); }
  bool hasName(const APMPNameKey& key) const;
  // Declaration in this scope; ignored when this scope is frozen, and a
  // constant already declared here keeps its value.
  void addValue(APMPValueRef value, std::u16string_view name) { addValue(std::move(value), APMPNameKey(name)); }
  void addValue(APMPValueRef value, const APMPNameKey& key);
  // Constant declaration: the same, then the name is frozen here.
  void addImmutableValue(APMPValueRef value, std::u16string_view name);
  // Assignment: goes to the nearest scope (this one first) that holds the
  // name, else declares it here. Ignored when a scope on the way there is
  // frozen; a frozen name keeps its value.
  void setValue(APMPValueRef value, std::u16string_view name);
  // Assignment to a name some scope of the chain holds (as setValue); false,
  // with nothing written, when none does.
  bool assignExisting(APMPValueRef value, const APMPNameKey& key);
  // The value an assignment to the name replaces, through a cache of the
  // name's place in this scope; null when no scope of the chain holds it or
  // the assignment would be ignored (held tells the two apart).
  APMPValueRef* assignableValue(const APMPNameKey& key, APMPSlotCache& cache, bool& held) {
    if (APMPValueRef* value = contents_.findWritable(key, cache)) {
      held = true;
      return value;
    }
    return assignmentTarget(key, held);
  }
  // valueForName through a cache of the name's place in this scope.
  const APMPValueRef& valueForName(const APMPNameKey& key, APMPSlotCache& cache) const {
    if (const APMPValueRef* value = contents_.find(key, cache)) return *value;
    return valueAboveForName(key);
  }
  // The value from the nearest scope holding the name, else undefined.
  const APMPValueRef& valueForName(std::u16string_view name) const { return valueForName(APMPNameKey(name)); }
  const APMPValueRef& valueForName(const APMPNameKey& key) const;
  void makeImmutable();

  void setObjectManager(std::shared_ptr<APMPObjectManager> objectManager) {
    objectManager_ = std::move(objectManager);
  }
  // This scope's object manager, else the nearest ancestor's; null when none.
  APMPObjectManager* objectManager() const;

  APMPExecutionState& executionState() const { return *executionState_; }

  // Marks the values of this scope and of every ancestor: what a closure
  // can read through its defining scope stays reachable.
  void mark(APMPMarker& marker) override;
  // Drops every name and value (the runtime's teardown).
  void dropContents() { contents_.clear(); }

 private:
  friend class APMPMarker;
  // The next scope up the chain that a name look-up must ask: every scope
  // skipped on the way is empty and not frozen. Cached per scope epoch, so a
  // look-up deep in a chain of blocks that declare nothing costs what a
  // shallow one does.
  const APMPScope* nextToAsk() const;
  // assignableValue without a cache.
  APMPValueRef* assignmentTarget(const APMPNameKey& key, bool& held);
  // valueForName from the scopes above this one.
  const APMPValueRef& valueAboveForName(const APMPNameKey& key) const;
  // Call after a change that may make this scope hold names or be frozen.
  void contentsChanged(bool wasOpen);
  bool isOpen() const { return contents_.count() == 0 && !contents_.isImmutable(); }
  void releaseParent();
  APMPScopeRef parentScope_;
  APMPPropertyMap contents_;
  std::shared_ptr<APMPObjectManager> objectManager_;
  // The root owns the state; every descendant owns its parent, so the root
  // and its state outlive it.
  std::unique_ptr<APMPExecutionState> ownedState_;
  APMPExecutionState* executionState_;
  // The collection in which this scope was last marked.
  uint64_t markEpoch_ = 0;
  // A child scope was made below this one.
  bool hasChildren_ = false;
  // nextToAsk's answer, valid while skipEpoch_ is the state's scope epoch.
  mutable const APMPScope* skip_ = nullptr;
  mutable uint64_t skipEpoch_ = 0;
};
