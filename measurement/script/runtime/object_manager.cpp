#include "measurement/script/runtime/object_manager.h"

#include <algorithm>

#include "measurement/script/runtime/array_value.h"
#include "measurement/script/runtime/limits.h"

void APMPMarker::drain() {
  while (!pendingValues_.empty() || !pendingScopes_.empty()) {
    if (!pendingValues_.empty()) {
      APMPRuntimeValue* value = pendingValues_.back();
      pendingValues_.pop_back();
      value->mark(*this);
      continue;
    }
    APMPScope* scope = pendingScopes_.back();
    pendingScopes_.pop_back();
    if (scope->markEpoch_ == epoch_) continue;
    scope->markEpoch_ = epoch_;
    scope->contents_.forEachValue([&](const APMPValueRef& value) { markValue(value); });
    markScope(scope->parentScope_.get());
  }
}

namespace {

// Tracked values own a control block of their own, so a value that dies
// between collections frees its memory at once, not when the weak entry goes.
template <class T, class... Args>
std::shared_ptr<T> makeTracked(const APMPScopeRef& scope, Args&&... args) {
  std::shared_ptr<T> value(new T(std::forward<Args>(args)...));
  if (scope) {
    if (APMPObjectManager* manager = scope->objectManager()) manager->addObject(value);
  }
  return value;
}

}  // namespace

std::shared_ptr<APMPFunctionValue> APMPObjectManager::functionValueWithFunctionName(
    std::u16string functionName, std::vector<std::u16string> parameterNames, APMPValueList statements,
    APMPScopeRef definingScope) {
  APMPScopeRef tracker = definingScope;
  return makeTracked<APMPFunctionValue>(tracker, std::move(functionName), std::move(parameterNames),
                                        std::move(statements), std::move(definingScope));
}

std::shared_ptr<APMPMapValue> APMPObjectManager::mapValueWithScope(const APMPScopeRef& scope) {
  return makeTracked<APMPMapValue>(scope);
}

std::shared_ptr<APMPArrayValue> APMPObjectManager::arrayValueWithScope(const APMPScopeRef& scope) {
  return makeTracked<APMPArrayValue>(scope);
}

os::Result<std::shared_ptr<APMPArrayValue>> APMPObjectManager::arrayValueWithArray(APMPValueList elements,
                                                                                   const APMPScopeRef& scope) {
  if (elements.size() > kAPMPMaxArraySlots) return APMPFail(APMPRovavError::InvalidArrayLength);
  return makeTracked<APMPArrayValue>(scope, std::move(elements));
}

std::shared_ptr<APMPArrayValue> APMPObjectManager::subarrayWithArray(const APMPArrayValue& array, int64_t location,
                                                                     int64_t length, const APMPScopeRef& scope) {
  std::shared_ptr<APMPArrayValue> result = array.subarrayWithRange(location, length);
  if (scope) {
    if (APMPObjectManager* manager = scope->objectManager()) manager->addObject(result);
  }
  return result;
}

void APMPObjectManager::addRoot(const std::shared_ptr<APMPGarbageCollectionRoot>& root) {
  if (root) roots_.push_back(root);
}

void APMPObjectManager::addObject(const APMPValueRef& object) {
  if (!object) return;
  objects_.push_back(object);
  ++objectsAdded_;
  if (objects_.size() >= pruneThreshold_) {
    pruneObjects();
    pruneThreshold_ = std::max<size_t>(1024, objects_.size() * 2);
  }
}

void APMPObjectManager::pruneObjects() {
  std::erase_if(objects_, [](const std::weak_ptr<APMPRuntimeValue>& entry) { return entry.expired(); });
}

void APMPObjectManager::markFromRoots(std::vector<APMPValueRef>* recorded) {
  APMPMarker marker(++epoch_);
  marker.recordInto(recorded);
  for (const auto& entry : roots_) {
    if (auto root = entry.lock()) {
      root->mark(marker);
      marker.drain();
    }
  }
  std::erase_if(roots_, [](const auto& entry) { return entry.expired(); });
}

void APMPObjectManager::mark() {
  marked_.clear();
  markFromRoots(&marked_);
  reachableSlots_ = 0;
  for (const auto& value : marked_) {
    if (value->kind() == APMPRuntimeValue::Kind::Array) {
      auto& array = static_cast<APMPArrayValue&>(*value);
      reachableSlots_ += array.count() + array.propertyMap().count();
    } else if (value->kind() == APMPRuntimeValue::Kind::Map || value->kind() == APMPRuntimeValue::Kind::Function) {
      reachableSlots_ += static_cast<APMPPropertyHolderValue&>(*value).propertyMap().count();
    }
  }
}

void APMPObjectManager::sweep() {
  // Every unreachable container is emptied before anything is freed, so the
  // frees that follow find nothing left to recurse into.
  std::vector<APMPValueRef> alive;
  alive.reserve(objects_.size());
  for (const auto& entry : objects_) {
    if (auto value = entry.lock()) alive.push_back(std::move(value));
  }
  for (const auto& value : alive) value->sweep();
  // Containers the manager does not track (native functions and modules)
  // are never swept: their flags are cleared here, or the next mark would
  // stop at them and miss what they hold.
  for (const auto& value : marked_) static_cast<APMPContainerValue&>(*value).unmark();
  apmp::detail::releaseAllLater(marked_);
  apmp::detail::releaseAllLater(alive);
  pruneObjects();
  pruneThreshold_ = std::max<size_t>(1024, objects_.size() * 2);
}

void APMPObjectManager::teardown() {
  std::vector<APMPValueRef> everything;
  markFromRoots(&everything);
  for (const auto& entry : objects_) {
    if (auto value = entry.lock()) everything.push_back(std::move(value));
  }
  for (const auto& value : everything) value->dropContents();
  for (const auto& entry : roots_) {
    if (auto root = entry.lock()) {
      if (auto scope = std::dynamic_pointer_cast<APMPScope>(root)) scope->dropContents();
    }
  }
  apmp::detail::releaseAllLater(everything);
  objects_.clear();
}

std::vector<APMPValueRef> APMPObjectManager::trackedObjects() const {
  std::vector<APMPValueRef> result;
  for (const auto& entry : objects_) {
    if (auto value = entry.lock()) result.push_back(std::move(value));
  }
  return result;
}

std::vector<std::shared_ptr<APMPGarbageCollectionRoot>> APMPObjectManager::roots() const {
  std::vector<std::shared_ptr<APMPGarbageCollectionRoot>> result;
  for (const auto& entry : roots_) {
    if (auto root = entry.lock()) result.push_back(std::move(root));
  }
  return result;
}
