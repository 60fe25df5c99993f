#include "measurement/script/runtime/scope.h"

#include <utility>

#include "measurement/script/runtime/object_manager.h"

APMPScope::APMPScope(APMPScopeRef parentScope) : parentScope_(std::move(parentScope)) {
  if (parentScope_) {
    executionState_ = parentScope_->executionState_;
    if (!parentScope_->hasChildren_) parentScope_->hasChildren_ = true;
  } else {
    ownedState_ = std::make_unique<APMPExecutionState>();
    executionState_ = ownedState_.get();
  }
}

namespace {

// The scopes recycle keeps for this thread. Under AddressSanitizer none are
// kept, as no blocks are (block_cache.h).
constexpr size_t kKeptScopes = 64;
std::vector<APMPScopeRef>& keptScopes() {
  thread_local std::vector<APMPScopeRef> kept;
  return kept;
}

}  // namespace

APMPScopeRef APMPScope::childOf(const APMPScopeRef& parent) {
  if constexpr (apmp::detail::kCacheBlocks) {
    std::vector<APMPScopeRef>& kept = keptScopes();
    if (!kept.empty()) {
      APMPScopeRef scope = std::move(kept.back());
      kept.pop_back();
      scope->parentScope_ = parent;
      scope->executionState_ = parent->executionState_;
      if (!parent->hasChildren_) parent->hasChildren_ = true;
      return scope;
    }
  }
  return std::allocate_shared<APMPScope>(apmp::detail::CachingAllocator<APMPScope>(), parent);
}

void APMPScope::recycle(APMPScopeRef scope) {
  if constexpr (apmp::detail::kCacheBlocks) {
    if (scope.use_count() != 1 || !scope->parentScope_ || scope->objectManager_) return;
    std::vector<APMPScopeRef>& kept = keptScopes();
    if (kept.size() >= kKeptScopes) return;
    // As new: no names, not frozen, no parent, no children, never marked.
    scope->contents_.clear();
    scope->releaseParent();
    scope->executionState_ = nullptr;
    scope->hasChildren_ = false;
    scope->markEpoch_ = 0;
    scope->skip_ = nullptr;
    scope->skipEpoch_ = 0;
    kept.push_back(std::move(scope));
  }
}

void APMPScope::releaseParent() {
  // A long chain of scopes is released one by one, not recursively; a parent
  // that others hold is only let go.
  if (parentScope_.use_count() > 1) {
    parentScope_.reset();
  } else {
    apmp::detail::releaseLater(std::move(parentScope_));
  }
}

APMPScope::~APMPScope() {
  releaseParent();
}

const APMPScope* APMPScope::nextToAsk() const {
  const uint64_t epoch = executionState_->scopeEpoch;
  if (skipEpoch_ == epoch) return skip_;
  const APMPScope* scope = parentScope_.get();
  while (scope != nullptr && scope->isOpen()) {
    scope = scope->skipEpoch_ == epoch ? scope->skip_ : scope->parentScope_.get();
  }
  skip_ = scope;
  skipEpoch_ = epoch;
  return scope;
}

void APMPScope::contentsChanged(bool wasOpen) {
  if (wasOpen && hasChildren_ && !isOpen()) ++executionState_->scopeEpoch;
}

bool APMPScope::hasName(const APMPNameKey& key) const {
  for (const APMPScope* scope = this; scope != nullptr; scope = scope->nextToAsk()) {
    if (scope->contents_.hasName(key)) return true;
  }
  return false;
}

void APMPScope::addValue(APMPValueRef value, const APMPNameKey& key) {
  const bool wasOpen = isOpen();
  contents_.setValue(std::move(value), key);
  contentsChanged(wasOpen);
}

void APMPScope::addImmutableValue(APMPValueRef value, std::u16string_view name) {
  const bool wasOpen = isOpen();
  contents_.setImmutableValue(std::move(value), name);
  contentsChanged(wasOpen);
}

void APMPScope::makeImmutable() {
  const bool wasOpen = isOpen();
  contents_.makeImmutable();
  contentsChanged(wasOpen);
}

void APMPScope::setValue(APMPValueRef value, std::u16string_view name) {
  // Without a holder the name is declared here.
  const APMPNameKey key(name);
  if (assignExisting(value, key)) return;
  if (!contents_.isImmutable()) addValue(std::move(value), name);
}

bool APMPScope::assignExisting(APMPValueRef value, const APMPNameKey& key) {
  bool held = false;
  if (APMPValueRef* target = assignmentTarget(key, held)) {
    apmp::detail::releaseValueLater(std::exchange(*target, std::move(value)));
  }
  return held;
}

APMPValueRef* APMPScope::assignmentTarget(const APMPNameKey& key, bool& held) {
  // One walk to the nearest holder; a frozen scope on the way there ignores
  // the write (the scopes skipped are neither frozen nor holders).
  bool frozenOnTheWay = false;
  for (APMPScope* scope = this; scope != nullptr; scope = const_cast<APMPScope*>(scope->nextToAsk())) {
    frozenOnTheWay = frozenOnTheWay || scope->contents_.isImmutable();
    bool frozen = false;
    if (APMPValueRef* value = scope->contents_.findForWrite(key, frozen)) {
      held = true;
      return frozenOnTheWay || frozen ? nullptr : value;
    }
  }
  held = false;
  return nullptr;
}

const APMPValueRef& APMPScope::valueAboveForName(const APMPNameKey& key) const {
  for (const APMPScope* scope = nextToAsk(); scope != nullptr; scope = scope->nextToAsk()) {
    if (const APMPValueRef* value = scope->contents_.find(key)) return *value;
  }
  return APMPUndefinedValue::sharedInstance();
}

const APMPValueRef& APMPScope::valueForName(const APMPNameKey& key) const {
  for (const APMPScope* scope = this; scope != nullptr; scope = scope->nextToAsk()) {
    if (const APMPValueRef* value = scope->contents_.find(key)) return *value;
  }
  return APMPUndefinedValue::sharedInstance();
}

APMPObjectManager* APMPScope::objectManager() const {
  for (const APMPScope* scope = this; scope != nullptr; scope = scope->parentScope_.get()) {
    if (scope->objectManager_) return scope->objectManager_.get();
  }
  return nullptr;
}

void APMPScope::mark(APMPMarker& marker) { marker.markScope(this); }
