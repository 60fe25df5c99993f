#include "measurement/script/runtime/scope.h"

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

APMPScope::~APMPScope() {
  // A long chain of scopes is released one by one, not recursively; a parent
  // that others hold is only let go.
  if (parentScope_.use_count() > 1) {
    parentScope_.reset();
  } else {
    apmp::detail::releaseLater(std::move(parentScope_));
  }
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
  // One walk to the nearest holder; a frozen scope on the way there ignores
  // the write (the scopes skipped are neither frozen nor holders).
  bool frozenOnTheWay = false;
  for (APMPScope* scope = this; scope != nullptr; scope = const_cast<APMPScope*>(scope->nextToAsk())) {
    frozenOnTheWay = frozenOnTheWay || scope->contents_.isImmutable();
    if (scope->contents_.hasName(key)) {
      if (!frozenOnTheWay) scope->contents_.setValue(std::move(value), key);
      return true;
    }
  }
  return false;
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
