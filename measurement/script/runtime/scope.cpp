#include "measurement/script/runtime/scope.h"

#include "measurement/script/runtime/object_manager.h"

APMPScope::APMPScope(APMPScopeRef parentScope) : parentScope_(std::move(parentScope)) {
  executionState_ = parentScope_ ? parentScope_->executionState_ : std::make_shared<APMPExecutionState>();
}

APMPScope::~APMPScope() {
  // A long chain of scopes is released one by one, not recursively.
  apmp::detail::releaseLater(std::move(parentScope_));
}

bool APMPScope::hasName(std::u16string_view name) const {
  for (const APMPScope* scope = this; scope != nullptr; scope = scope->parentScope_.get()) {
    if (scope->contents_.hasName(name)) return true;
  }
  return false;
}

void APMPScope::addValue(APMPValueRef value, std::u16string_view name) { contents_.setValue(std::move(value), name); }

void APMPScope::addImmutableValue(APMPValueRef value, std::u16string_view name) {
  contents_.setImmutableValue(std::move(value), name);
}

void APMPScope::setValue(APMPValueRef value, std::u16string_view name) {
  // The nearest holder, unless a frozen scope on the way ignores the write.
  for (APMPScope* scope = this; scope != nullptr; scope = scope->parentScope_.get()) {
    if (scope->contents_.isImmutable()) return;
    if (scope->contents_.hasName(name)) {
      scope->contents_.setValue(std::move(value), name);
      return;
    }
    if (scope->parentScope_ == nullptr || !scope->parentScope_->hasName(name)) break;
  }
  contents_.setValue(std::move(value), name);
}

const APMPValueRef& APMPScope::valueForName(std::u16string_view name) const {
  for (const APMPScope* scope = this; scope != nullptr; scope = scope->parentScope_.get()) {
    if (const APMPValueRef* value = scope->contents_.find(name)) return *value;
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
