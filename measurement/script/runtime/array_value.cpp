#include "measurement/script/runtime/array_value.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

#include "measurement/script/commands/method_evaluators.h"
#include "measurement/script/runtime/evaluator.h"
#include "measurement/script/runtime/limits.h"
#include "measurement/script/runtime/number_forms.h"
#include "measurement/script/runtime/object_manager.h"
#include "os/foundation/text.h"

namespace {

bool isLengthName(const APMPRuntimeValue& property) {
  return property.kind() == APMPRuntimeValue::Kind::String &&
         static_cast<const APMPStringValue&>(property).value() == u"length";
}

// The index a property names (APMPIsArrayIndex holds: the form is a number).
double indexOf(const APMPRuntimeValue& property) { return std::trunc(property.doubleValueOrError().value_or(0)); }

bool isHole(const APMPValueRef& value) { return value->kind() == APMPRuntimeValue::Kind::Hole; }

const APMPValueRef& readable(const APMPValueRef& slot) {
  return isHole(slot) ? APMPUndefinedValue::sharedInstance() : slot;
}

int64_t clamp(int64_t value, int64_t low, int64_t high) { return std::min(std::max(value, low), high); }

}  // namespace

APMPArrayValue::APMPArrayValue(APMPValueList elements) : APMPContainerValue(Kind::Array), elements_(std::move(elements)) {}

APMPArrayValue::~APMPArrayValue() { apmp::detail::releaseAllLater(elements_); }

os::Status APMPArrayValue::checkCount(size_t count) {
  if (count > kAPMPMaxArraySlots) return APMPFail(APMPRovavError::InvalidArrayLength);
  return {};
}

// ---- conversions ----

namespace {
// String forms in progress on this thread, and the slots the outermost one
// has visited so far (nested arrays included).
thread_local int gStringForms = 0;
thread_local size_t gStringFormSlots = 0;
}  // namespace

os::Result<std::u16string> APMPArrayValue::stringValueWithSeparator(std::u16string_view separator) const {
  apmp::detail::NestingGuard guard;
  if (!guard.ok()) return APMPFail(APMPRovavError::BudgetExhausted);
  struct FormGuard {
    FormGuard() {
      if (gStringForms++ == 0) gStringFormSlots = 0;
    }
    ~FormGuard() { --gStringForms; }
  } form;
  gStringFormSlots += elements_.size();
  apmp::detail::addBulkWork(elements_.size());
  if (gStringFormSlots > kAPMPMaxStringFormSlots) return APMPFail(APMPRovavError::BudgetExhausted);
  std::u16string text;
  for (size_t i = 0; i < elements_.size(); ++i) {
    if (i > 0) text.append(separator);
    const APMPValueRef& element = elements_[i];
    if (!isHole(element) && !element->isNullOrUndefined()) {
      auto part = element->stringValueOrError();
      if (!part) return std::unexpected(part.error());
      text.append(*part);
    }
    if (text.size() > kAPMPMaxStringLength) return APMPFail(APMPRovavError::BudgetExhausted);
  }
  return text;
}

os::Result<std::u16string> APMPArrayValue::stringValueOrError() const { return stringValueWithSeparator(u","); }

os::Result<double> APMPArrayValue::doubleValueOrError() const {
  auto text = stringValueOrError();
  if (!text) return std::unexpected(text.error());
  return APMPParseNumber(*text);
}

os::Result<bool> APMPArrayValue::booleanValueOrError() const { return true; }

// ---- properties ----

os::Status APMPArrayValue::setLength(size_t count) {
  apmp::detail::noteContainerWrite();
  if (auto status = checkCount(count); !status) return status;
  if (count < elements_.size()) {
    APMPValueList removed(std::make_move_iterator(elements_.begin() + static_cast<ptrdiff_t>(count)),
                          std::make_move_iterator(elements_.end()));
    elements_.resize(count);
    apmp::detail::releaseAllLater(removed);
  } else {
    elements_.resize(count, APMPHoleValue());
  }
  return {};
}

os::Status APMPArrayValue::setValue(APMPValueRef value, const APMPRuntimeValue& property) {
  apmp::detail::noteContainerWrite();
  if (isLengthName(property)) {
    if (!APMPIsArrayIndex(*value)) return APMPFail(APMPRovavError::InvalidArrayLength);
    double count = indexOf(*value);
    if (count > static_cast<double>(kAPMPMaxArraySlots)) return APMPFail(APMPRovavError::InvalidArrayLength);
    return setLength(static_cast<size_t>(count));
  }
  if (APMPIsArrayIndex(property)) {
    double index = indexOf(property);
    if (index >= static_cast<double>(kAPMPMaxArraySlots)) return APMPFail(APMPRovavError::InvalidArrayLength);
    auto slot = static_cast<size_t>(index);
    if (slot >= elements_.size()) elements_.resize(slot + 1, APMPHoleValue());
    apmp::detail::releaseLater(std::exchange(elements_[slot], std::move(value)));
    return {};
  }
  auto key = property.stringValueOrError();
  if (!key) return std::unexpected(key.error());
  propertyMap_.setValue(std::move(value), *key);
  return {};
}

APMPResult APMPArrayValue::valueForProperty(const APMPRuntimeValue& property) const {
  if (isLengthName(property)) return APMPNumberValue::make(static_cast<double>(elements_.size()));
  if (APMPIsArrayIndex(property)) {
    double index = indexOf(property);
    if (index >= static_cast<double>(elements_.size())) return APMPUndefinedValue::sharedInstance();
    return readable(elements_[static_cast<size_t>(index)]);
  }
  auto key = property.stringValueOrError();
  if (!key) return std::unexpected(key.error());
  return propertyMap_.valueForName(*key);
}

os::Status APMPArrayValue::removeValueForProperty(const APMPRuntimeValue& property) {
  apmp::detail::noteContainerWrite();
  if (APMPIsArrayIndex(property)) {
    double index = indexOf(property);
    if (index < static_cast<double>(elements_.size())) {
      apmp::detail::releaseLater(std::exchange(elements_[static_cast<size_t>(index)], APMPHoleValue()));
    }
    return {};
  }
  auto key = property.stringValueOrError();
  if (!key) return std::unexpected(key.error());
  propertyMap_.removeValueForName(*key);
  return {};
}

os::Result<bool> APMPArrayValue::hasProperty(const APMPRuntimeValue& property) const {
  if (APMPIsArrayIndex(property)) {
    double index = indexOf(property);
    return index < static_cast<double>(elements_.size()) && !isHole(elements_[static_cast<size_t>(index)]);
  }
  auto key = property.stringValueOrError();
  if (!key) return std::unexpected(key.error());
  return propertyMap_.hasName(*key);
}

APMPValueList APMPArrayValue::allPropertyNames() const {
  APMPValueList names;
  for (auto& name : propertyMap_.allNames()) names.push_back(APMPStringValue::make(std::move(name)));
  for (size_t i = 0; i < elements_.size(); ++i) {
    if (!isHole(elements_[i])) names.push_back(APMPStringValue::make(APMPNumberToString(static_cast<double>(i))));
  }
  return names;
}

APMPValueList APMPArrayValue::allElements() const {
  APMPValueList result;
  result.reserve(elements_.size());
  for (const auto& slot : elements_) result.push_back(readable(slot));
  return result;
}

APMPResult APMPArrayValue::applyWithName(std::u16string_view name, const APMPValueList& arguments,
                                         const APMPScopeRef& scope) {
  if (const APMPValueRef* found = propertyMap_.find(name)) {
    APMPValueRef property = *found;  // the call may replace the property
    if (property->kind() != Kind::Function) return APMPFail(APMPRovavError::UnknownMethod);
    return static_cast<APMPFunctionValue&>(*property).invokeWithArguments(arguments, scope);
  }
  auto self = std::static_pointer_cast<APMPArrayValue>(shared_from_this());
  return APMPArrayCommandEvaluator::sharedInstance().evaluateCommand(name, self, arguments, scope);
}

// ---- primitives ----

std::shared_ptr<APMPArrayValue> APMPArrayValue::subarrayWithRange(int64_t location, int64_t length) const {
  auto count = static_cast<int64_t>(elements_.size());
  int64_t start = clamp(location, 0, count);
  int64_t run = clamp(length, 0, count - start);
  APMPValueList slots(elements_.begin() + start, elements_.begin() + start + run);
  // Its own control block: the object manager may track it weakly.
  return std::shared_ptr<APMPArrayValue>(new APMPArrayValue(std::move(slots)));
}

os::Status APMPArrayValue::sortUsingFunctionValue(const std::shared_ptr<APMPFunctionValue>& function,
                                                  const APMPScopeRef& scope) {
  apmp::detail::noteContainerWrite();
  std::optional<os::Error> failure;
  auto compare = [&](const APMPValueRef& a, const APMPValueRef& b) -> int {
    if (failure) return 0;
    if (isHole(a) || isHole(b)) return int(isHole(a)) - int(isHole(b));
    bool aUndefined = a->kind() == Kind::Undefined;
    bool bUndefined = b->kind() == Kind::Undefined;
    if (aUndefined || bUndefined) return int(aUndefined) - int(bUndefined);
    if (function) {
      APMPResult result = function->invokeWithArguments({a, b}, scope);
      if (!result) {
        failure = result.error();
        return 0;
      }
      auto order = (*result)->doubleValueOrError();
      if (!order) {
        failure = order.error();
        return 0;
      }
      return *order < 0 ? -1 : (*order > 0 ? 1 : 0);
    }
    auto left = a->stringValueOrError();
    if (!left) {
      failure = left.error();
      return 0;
    }
    auto right = b->stringValueOrError();
    if (!right) {
      failure = right.error();
      return 0;
    }
    return os::compareStrings(std::u16string_view(*left), std::u16string_view(*right));
  };
  // A bottom-up merge sort over a copy: it stays within bounds whatever the
  // comparison answers, and a comparison function that changes this array
  // meanwhile cannot disturb it.
  APMPValueList slots = elements_;
  APMPValueList merged(slots.size());
  const size_t n = slots.size();
  for (size_t width = 1; width < n; width *= 2) {
    for (size_t low = 0; low < n; low += 2 * width) {
      size_t middle = std::min(low + width, n);
      size_t high = std::min(low + 2 * width, n);
      size_t i = low, j = middle, k = low;
      while (i < middle && j < high) merged[k++] = std::move(compare(slots[j], slots[i]) < 0 ? slots[j++] : slots[i++]);
      while (i < middle) merged[k++] = std::move(slots[i++]);
      while (j < high) merged[k++] = std::move(slots[j++]);
    }
    slots.swap(merged);
  }
  APMPValueList previous = std::exchange(elements_, std::move(slots));
  apmp::detail::releaseAllLater(previous);
  if (failure) return std::unexpected(*failure);
  return {};
}

os::Result<APMPValueList> APMPArrayValue::spliceFrom(int64_t start, int64_t deleteCount, const APMPValueList& values) {
  apmp::detail::noteContainerWrite();
  auto count = static_cast<int64_t>(elements_.size());
  int64_t first = clamp(start, 0, count);
  int64_t removedCount = clamp(deleteCount, 0, count - first);
  if (auto status = checkCount(static_cast<size_t>(count - removedCount) + values.size()); !status) {
    return std::unexpected(status.error());
  }
  auto begin = elements_.begin() + first;
  APMPValueList removed(std::make_move_iterator(begin), std::make_move_iterator(begin + removedCount));
  elements_.erase(begin, begin + removedCount);
  elements_.insert(elements_.begin() + first, values.begin(), values.end());
  return removed;
}

os::Status APMPArrayValue::concat(const APMPValueRef& value) {
  apmp::detail::noteContainerWrite();
  if (value->kind() == Kind::Control) return APMPFail(APMPRovavError::ArgumentKind);
  if (value->kind() != Kind::Array) {
    if (auto status = checkCount(elements_.size() + 1); !status) return status;
    elements_.push_back(value);
    return {};
  }
  APMPValueList slots = static_cast<const APMPArrayValue&>(*value).elements_;  // a copy: value may be this array
  if (auto status = checkCount(elements_.size() + slots.size()); !status) return status;
  elements_.insert(elements_.end(), std::make_move_iterator(slots.begin()), std::make_move_iterator(slots.end()));
  return {};
}

void APMPArrayValue::reverse() {
  apmp::detail::noteContainerWrite();
  std::reverse(elements_.begin(), elements_.end());
}

APMPValueRef APMPArrayValue::removeFirstElement() {
  apmp::detail::noteContainerWrite();
  if (elements_.empty()) return APMPUndefinedValue::sharedInstance();
  APMPValueRef slot = std::move(elements_.front());
  elements_.erase(elements_.begin());
  return readable(slot);
}

APMPValueRef APMPArrayValue::removeLastElement() {
  apmp::detail::noteContainerWrite();
  if (elements_.empty()) return APMPUndefinedValue::sharedInstance();
  APMPValueRef slot = std::move(elements_.back());
  elements_.pop_back();
  return readable(slot);
}

os::Result<size_t> APMPArrayValue::appendElements(const APMPValueList& values) {
  apmp::detail::noteContainerWrite();
  if (auto status = checkCount(elements_.size() + values.size()); !status) return std::unexpected(status.error());
  elements_.insert(elements_.end(), values.begin(), values.end());
  return elements_.size();
}

os::Result<size_t> APMPArrayValue::prependElements(const APMPValueList& values) {
  apmp::detail::noteContainerWrite();
  if (auto status = checkCount(elements_.size() + values.size()); !status) return std::unexpected(status.error());
  elements_.insert(elements_.begin(), values.begin(), values.end());
  return elements_.size();
}

int64_t APMPArrayValue::indexOfValue(const APMPRuntimeValue& value, size_t fromIndex) const {
  for (size_t i = fromIndex; i < elements_.size(); ++i) {
    if (APMPIsStrictlyEqual(*elements_[i], value)) return static_cast<int64_t>(i);
  }
  return -1;
}

int64_t APMPArrayValue::lastIndexOfValue(const APMPRuntimeValue& value, size_t fromIndex) const {
  if (elements_.empty()) return -1;
  for (size_t i = std::min(fromIndex, elements_.size() - 1) + 1; i-- > 0;) {
    if (APMPIsStrictlyEqual(*elements_[i], value)) return static_cast<int64_t>(i);
  }
  return -1;
}

// ---- equality and collection ----

bool APMPArrayValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
  if (this == &other) return true;
  if (other.kind() != Kind::Array) return false;
  const auto& theirs = static_cast<const APMPArrayValue&>(other).elements_;
  if (theirs.size() != elements_.size()) return false;
  apmp::detail::NestingGuard guard;
  if (!guard.ok()) return false;
  for (size_t i = 0; i < elements_.size(); ++i) {
    if (!elements_[i]->isEqualToRuntimeValue(*theirs[i])) return false;
  }
  return true;
}

void APMPArrayValue::mark(APMPMarker& marker) {
  if (!setMarked()) return;
  marker.didMark(*this);
  propertyMap_.forEachValue([&](const APMPValueRef& value) { marker.markValue(value); });
  for (const auto& slot : elements_) marker.markValue(slot);
}

void APMPArrayValue::dropContents() {
  propertyMap_.clear();
  apmp::detail::releaseAllLater(elements_);
  clearMark();
}
