// APMPArrayValue: the script array. An ordered list of slots that may hold
// holes (slots never set or deleted), plus named properties like a map.
//
// Index properties are number or string values whose number form is a
// finite, integral, non-negative number ("3" and "03" both name slot 3);
// "length" is the slot count. Reads give undefined for holes and for slots
// past the end. No array holds more than kAPMPMaxArraySlots slots: every
// operation that would grow one past it fails with rovav 11 and leaves the
// array as it was.
//
// The primitives below serve the array methods of the commands (push,
// slice, sort, ...), which reach them through applyWithName.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/script/runtime/values.h"

class APMPArrayValue final : public APMPContainerValue {
 public:
  APMPArrayValue() : APMPContainerValue(Kind::Array) {}
  // A copy of the given slots (callers check the cap: see arrayValueWithArray).
  explicit APMPArrayValue(APMPValueList elements);
  ~APMPArrayValue() override;

  static const APMPValueRef& emptyValue() { return APMPHoleValue(); }

  // The string forms of the slots joined by the separator; holes, undefined
  // and null contribute nothing; an empty array gives "". rovav 18 past
  // kAPMPMaxStringLength or kAPMPMaxValueNesting (a cyclic array).
  os::Result<std::u16string> stringValueWithSeparator(std::u16string_view separator) const;
  // Joined with ",".
  os::Result<std::u16string> stringValueOrError() const override;
  // The string form parsed as a number.
  os::Result<double> doubleValueOrError() const override;
  // Always true.
  os::Result<bool> booleanValueOrError() const override;

  // Removes slots past count, or appends holes up to it; rovav 11 past the cap.
  os::Status setLength(size_t count);
  // "length" takes an array index only (else rovav 11); an index grows the
  // array to reach it; any other property goes to the property map under its
  // string form (a failing conversion is that error).
  os::Status setValue(APMPValueRef value, const APMPRuntimeValue& property);
  APMPResult valueForProperty(const APMPRuntimeValue& property) const;
  // An index below the count becomes a hole (the count stays).
  os::Status removeValueForProperty(const APMPRuntimeValue& property);
  os::Result<bool> hasProperty(const APMPRuntimeValue& property) const;
  // The property map's names, then the indexes of the slots that are not holes.
  APMPValueList allPropertyNames() const;
  // Mutable access counts as a write (apmp::detail::noteContainerWrite).
  APMPPropertyMap& propertyMap() {
    apmp::detail::noteContainerWrite();
    return propertyMap_;
  }
  const APMPPropertyMap& propertyMap() const { return propertyMap_; }

  size_t count() const { return elements_.size(); }
  // The slot itself (the hole included); index must be below count().
  const APMPValueRef& slotAtIndex(size_t index) const { return elements_[index]; }
  // The slots with holes read as undefined.
  APMPValueList allElements() const;

  // An own property holding a function is invoked; any other own property
  // fails with rovav 17; otherwise the array methods (APMPArrayCommandEvaluator).
  APMPResult applyWithName(std::u16string_view name, const APMPValueList& arguments,
                           const APMPScopeRef& scope) override;

  // The slots [location, location + length) after clamping, holes kept.
  std::shared_ptr<APMPArrayValue> subarrayWithRange(int64_t location, int64_t length) const;
  // Sorts in place: holes last, undefined before them, other pairs by the
  // function (called with a and b in the scope; negative puts a first) or by
  // plain comparison of their string forms. After the first failure every
  // further comparison says equal; that failure is returned and the slots
  // stay in the order reached. Safe whatever the function answers.
  os::Status sortUsingFunctionValue(const std::shared_ptr<APMPFunctionValue>& function, const APMPScopeRef& scope);
  // Removes the clamped range, inserts the values there, returns the removed
  // slots (holes kept).
  os::Result<APMPValueList> spliceFrom(int64_t start, int64_t deleteCount, const APMPValueList& values);
  // An array's slots, or any other value as one slot; a control value fails
  // with rovav 10.
  os::Status concat(const APMPValueRef& value);
  void reverse();
  // The removed slot's element (a hole reads as undefined; undefined when empty).
  APMPValueRef removeFirstElement();
  APMPValueRef removeLastElement();
  // The new count.
  os::Result<size_t> appendElements(const APMPValueList& values);
  os::Result<size_t> prependElements(const APMPValueList& values);
  // The first slot at or after start (the last at or before it) strictly
  // equal to the value; -1 when none.
  int64_t indexOfValue(const APMPRuntimeValue& value, size_t fromIndex) const;
  int64_t lastIndexOfValue(const APMPRuntimeValue& value, size_t fromIndex) const;

  // The same object, or the same count and pairwise equal slots.
  bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const override;
  void mark(APMPMarker& marker) override;
  void dropContents() override;

 private:
  // rovav 11 when a count would pass the cap.
  static os::Status checkCount(size_t count);
  APMPPropertyMap propertyMap_;
  APMPValueList elements_;
};
