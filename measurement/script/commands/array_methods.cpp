// The array methods: iteration with a callback, reduction, searching,
// joining, and the methods that change the array in place or make a new one.
// The element storage and its primitives are the array value's.
#include <algorithm>
#include <bit>
#include <cmath>

#include "measurement/script/commands/command_support.h"
#include "measurement/script/commands/method_handlers.h"
#include "measurement/script/runtime/limits.h"
#include "measurement/script/runtime/number_forms.h"
#include "measurement/script/runtime/object_manager.h"

namespace {

using apmp::commands::asArray;
using apmp::commands::asFunction;
using apmp::commands::clampPosition;
using apmp::commands::integerArgument;
using apmp::commands::isControl;
using apmp::commands::Kind;
using ArrayRef = std::shared_ptr<APMPArrayValue>;

bool isPresent(const APMPArrayValue& array, size_t index) {
  return index < array.count() && array.slotAtIndex(index)->kind() != Kind::Hole;
}

APMPValueRef indexValue(size_t index) { return APMPNumberValue::make(static_cast<double>(index)); }

// Scanning or moving slots in place: bulk work.
APMPResult paid(const APMPScopeRef& scope, size_t units) {
  if (auto status = APMPChargeBulkWork(scope, units); !status) return std::unexpected(status.error());
  return APMPUndefinedValue::sharedInstance();
}
// Copying slots into a new array: one instruction each.
APMPResult paidSlots(const APMPScopeRef& scope, size_t count) {
  if (auto status = APMPChargeSlots(scope, count); !status) return std::unexpected(status.error());
  return APMPUndefinedValue::sharedInstance();
}

enum class Walk { Every, Some, Filter, Map, ForEach };

// Calls the function with (element, index, array) for each index below the
// length read at the start whose slot is present when its turn comes.
APMPResult walk(const ArrayRef& array, const APMPValueList& arguments, const APMPScopeRef& scope, Walk kind) {
  auto function = asFunction(arguments[0]);
  if (!function) return APMPFail(APMPRovavError::ArgumentKind);
  const size_t length = array->count();
  if (auto charged = paid(scope, length); !charged) return charged;
  ArrayRef result;
  if (kind == Walk::Filter || kind == Walk::Map) result = APMPObjectManager::arrayValueWithScope(scope);
  for (size_t i = 0; i < length; ++i) {
    if (!isPresent(*array, i)) continue;
    APMPValueRef element = array->slotAtIndex(i);
    APMPResult answer = function->invokeWithArguments({element, indexValue(i), array}, scope);
    if (!answer) return answer;
    switch (kind) {
      case Walk::Every:
      case Walk::Some:
      case Walk::Filter: {
        auto truth = (*answer)->booleanValueOrError();
        if (!truth) return std::unexpected(truth.error());
        if (kind == Walk::Every && !*truth) return APMPBooleanValue::booleanValueWithBool(false);
        if (kind == Walk::Some && *truth) return APMPBooleanValue::booleanValueWithBool(true);
        if (kind == Walk::Filter && *truth) {
          if (auto added = result->appendElements({element}); !added) return std::unexpected(added.error());
        }
        break;
      }
      case Walk::Map:
        if (auto stored = result->setValue(std::move(*answer), *indexValue(i)); !stored) {
          return std::unexpected(stored.error());
        }
        break;
      case Walk::ForEach:
        break;
    }
  }
  switch (kind) {
    case Walk::Every:
      return APMPBooleanValue::booleanValueWithBool(true);
    case Walk::Some:
      return APMPBooleanValue::booleanValueWithBool(false);
    case Walk::Filter:
    case Walk::Map:
      return APMPValueRef(std::move(result));
    case Walk::ForEach:
      break;
  }
  return APMPUndefinedValue::sharedInstance();
}

// Folds the present slots in walking order (from the end when fromRight);
// without a start value the first present slot is the start.
APMPResult reduce(const ArrayRef& array, const APMPValueList& arguments, const APMPScopeRef& scope, bool fromRight) {
  auto function = asFunction(arguments[0]);
  if (!function) return APMPFail(APMPRovavError::ArgumentKind);
  if (arguments.size() == 2 && isControl(arguments[1])) return APMPFail(APMPRovavError::ArgumentKind);
  const size_t length = array->count();
  if (auto charged = paid(scope, length); !charged) return charged;
  auto indexAt = [&](size_t step) { return fromRight ? length - 1 - step : step; };
  size_t step = 0;
  APMPValueRef accumulator;
  if (arguments.size() == 2) {
    accumulator = arguments[1];
  } else {
    for (; step < length && !accumulator; ++step) {
      if (isPresent(*array, indexAt(step))) accumulator = array->slotAtIndex(indexAt(step));
    }
    if (!accumulator) return APMPFail(APMPRovavError::EmptyReduction);
  }
  for (; step < length; ++step) {
    size_t index = indexAt(step);
    if (!isPresent(*array, index)) continue;
    APMPResult next =
        function->invokeWithArguments({accumulator, array->slotAtIndex(index), indexValue(index), array}, scope);
    if (!next) return next;
    accumulator = std::move(*next);
  }
  return accumulator;
}

// ceil(log2(n)): the comparisons a merge sort makes per slot.
size_t sortPasses(size_t n) { return n < 2 ? 0 : std::bit_width(n - 1); }

}  // namespace

APMPResult APMPArrayEvery(const ArrayRef& array, const APMPValueList& arguments, const APMPScopeRef& scope) {
  return walk(array, arguments, scope, Walk::Every);
}
APMPResult APMPArraySome(const ArrayRef& array, const APMPValueList& arguments, const APMPScopeRef& scope) {
  return walk(array, arguments, scope, Walk::Some);
}
APMPResult APMPArrayFilter(const ArrayRef& array, const APMPValueList& arguments, const APMPScopeRef& scope) {
  return walk(array, arguments, scope, Walk::Filter);
}
APMPResult APMPArrayMap(const ArrayRef& array, const APMPValueList& arguments, const APMPScopeRef& scope) {
  return walk(array, arguments, scope, Walk::Map);
}
APMPResult APMPArrayForEach(const ArrayRef& array, const APMPValueList& arguments, const APMPScopeRef& scope) {
  return walk(array, arguments, scope, Walk::ForEach);
}

APMPResult APMPArrayReduce(const ArrayRef& array, const APMPValueList& arguments, const APMPScopeRef& scope) {
  return reduce(array, arguments, scope, false);
}
APMPResult APMPArrayReduceRight(const ArrayRef& array, const APMPValueList& arguments, const APMPScopeRef& scope) {
  return reduce(array, arguments, scope, true);
}

APMPResult APMPArrayIndexOf(const ArrayRef& array, const APMPValueList& arguments, const APMPScopeRef& scope) {
  const APMPValueRef& value = arguments.empty() ? APMPUndefinedValue::sharedInstance() : arguments[0];
  const auto length = static_cast<int64_t>(array->count());
  double start = 0;
  if (arguments.size() == 2) {
    auto integer = integerArgument(*arguments[1]);
    if (!integer) return std::unexpected(integer.error());
    start = *integer;
  }
  if (start >= static_cast<double>(length)) return APMPNumberValue::make(-1);
  if (start < 0) start += static_cast<double>(length);
  if (auto charged = paid(scope, static_cast<size_t>(length)); !charged) return charged;
  int64_t from = clampPosition(start, 0, length);
  return APMPNumberValue::make(static_cast<double>(array->indexOfValue(*value, static_cast<size_t>(from))));
}

APMPResult APMPArrayLastIndexOf(const ArrayRef& array, const APMPValueList& arguments, const APMPScopeRef& scope) {
  const APMPValueRef& value = arguments.empty() ? APMPUndefinedValue::sharedInstance() : arguments[0];
  const auto length = static_cast<int64_t>(array->count());
  double start = static_cast<double>(length - 1);
  if (arguments.size() == 2) {
    auto number = arguments[1]->doubleValueOrError();
    if (!number) return std::unexpected(number.error());
    if (!std::isnan(*number)) start = APMPToInteger(*number);
  }
  if (start < 0) start += static_cast<double>(length);
  if (start < 0) return APMPNumberValue::make(-1);
  if (auto charged = paid(scope, static_cast<size_t>(length)); !charged) return charged;
  int64_t from = clampPosition(start, 0, length - 1);
  return APMPNumberValue::make(static_cast<double>(array->lastIndexOfValue(*value, static_cast<size_t>(from))));
}

APMPResult APMPArrayHasOwnProperty(const ArrayRef& array, const APMPValueList& arguments, const APMPScopeRef& scope) {
  auto key = arguments[0]->stringValueOrError();
  if (!key) return std::unexpected(key.error());
  if (auto charged = paid(scope, key->size()); !charged) return charged;
  if (*key == u"length") return APMPBooleanValue::booleanValueWithBool(true);
  auto present = array->hasProperty(*arguments[0]);
  if (!present) return std::unexpected(present.error());
  return APMPBooleanValue::booleanValueWithBool(*present);
}

APMPResult APMPArrayJoin(const ArrayRef& array, const APMPValueList& arguments, const APMPScopeRef& scope) {
  std::u16string separator = u",";
  if (!arguments.empty()) {
    if (arguments[0]->isNullOrUndefined()) {
      separator.clear();
    } else {
      auto text = arguments[0]->stringValueOrError();
      if (!text) return std::unexpected(text.error());
      separator = std::move(*text);
    }
  }
  // The slots visited are paid through the bulk-work meter of the string form.
  auto joined = array->stringValueWithSeparator(separator);
  if (!joined) return std::unexpected(joined.error());
  if (auto charged = paid(scope, joined->size()); !charged) return charged;
  return APMPMakeString(std::move(*joined));
}

APMPResult APMPArrayToString(const ArrayRef& array, const APMPValueList&, const APMPScopeRef& scope) {
  auto text = array->stringValueOrError();
  if (!text) return std::unexpected(text.error());
  if (auto charged = paid(scope, text->size()); !charged) return charged;
  return APMPMakeString(std::move(*text));
}

APMPResult APMPArrayPush(const ArrayRef& array, const APMPValueList& arguments, const APMPScopeRef&) {
  auto count = array->appendElements(arguments);
  if (!count) return std::unexpected(count.error());
  return APMPNumberValue::make(static_cast<double>(*count));
}

APMPResult APMPArrayUnshift(const ArrayRef& array, const APMPValueList& arguments, const APMPScopeRef& scope) {
  if (auto charged = paid(scope, array->count()); !charged) return charged;
  auto count = array->prependElements(arguments);
  if (!count) return std::unexpected(count.error());
  return APMPNumberValue::make(static_cast<double>(*count));
}

APMPResult APMPArrayPop(const ArrayRef& array, const APMPValueList&, const APMPScopeRef&) {
  return array->removeLastElement();
}

APMPResult APMPArrayShift(const ArrayRef& array, const APMPValueList&, const APMPScopeRef& scope) {
  if (auto charged = paid(scope, array->count()); !charged) return charged;
  return array->removeFirstElement();
}

APMPResult APMPArrayReverse(const ArrayRef& array, const APMPValueList&, const APMPScopeRef& scope) {
  if (auto charged = paid(scope, array->count()); !charged) return charged;
  array->reverse();
  return APMPValueRef(array);
}

APMPResult APMPArraySort(const ArrayRef& array, const APMPValueList& arguments, const APMPScopeRef& scope) {
  const size_t count = array->count();
  if (count < 2) return APMPValueRef(array);
  std::shared_ptr<APMPFunctionValue> function;
  if (!arguments.empty()) {
    function = asFunction(arguments[0]);
    if (!function) return APMPFail(APMPRovavError::ArgumentKind);
  }
  const size_t passes = sortPasses(count);
  size_t units = count * passes;
  if (!function) {
    // Without a function every comparison converts both slots and compares
    // their texts: one instruction each, and the texts' lengths on top.
    units *= kAPMPBulkUnitsPerInstruction;
    for (size_t i = 0; i < count; ++i) {
      const APMPValueRef& slot = array->slotAtIndex(i);
      if (slot->kind() != Kind::String) continue;
      units += passes * static_cast<const APMPStringValue&>(*slot).value().size();
    }
  }
  if (auto charged = paid(scope, units); !charged) return charged;
  if (auto sorted = array->sortUsingFunctionValue(function, scope); !sorted) return std::unexpected(sorted.error());
  return APMPValueRef(array);
}

APMPResult APMPArraySplice(const ArrayRef& array, const APMPValueList& arguments, const APMPScopeRef& scope) {
  if (arguments.empty()) return APMPValueRef(APMPObjectManager::arrayValueWithScope(scope));
  const auto length = static_cast<int64_t>(array->count());
  auto start = integerArgument(*arguments[0]);
  if (!start) return std::unexpected(start.error());
  if (*start < 0) *start += static_cast<double>(length);
  int64_t first = clampPosition(*start, 0, length);
  int64_t deleteCount = length - first;
  if (arguments.size() >= 2) {
    auto count = integerArgument(*arguments[1]);
    if (!count) return std::unexpected(count.error());
    deleteCount = clampPosition(*count, 0, length - first);
  }
  if (auto charged = paid(scope, array->count()); !charged) return charged;
  if (auto charged = paidSlots(scope, static_cast<size_t>(deleteCount)); !charged) return charged;
  APMPValueList inserted(arguments.begin() + std::min<ptrdiff_t>(2, static_cast<ptrdiff_t>(arguments.size())),
                         arguments.end());
  auto removed = array->spliceFrom(first, deleteCount, inserted);
  if (!removed) return std::unexpected(removed.error());
  auto result = APMPObjectManager::arrayValueWithArray(std::move(*removed), scope);
  if (!result) return std::unexpected(result.error());
  return APMPValueRef(std::move(*result));
}

APMPResult APMPArrayConcat(const ArrayRef& array, const APMPValueList& arguments, const APMPScopeRef& scope) {
  size_t units = array->count();
  for (const APMPValueRef& argument : arguments) {
    units += argument->kind() == Kind::Array ? static_cast<const APMPArrayValue&>(*argument).count() : 1;
  }
  if (auto charged = paidSlots(scope, units); !charged) return charged;
  auto result = APMPObjectManager::subarrayWithArray(*array, 0, static_cast<int64_t>(array->count()), scope);
  for (const APMPValueRef& argument : arguments) {
    if (auto added = result->concat(argument); !added) return std::unexpected(added.error());
  }
  return APMPValueRef(std::move(result));
}

APMPResult APMPArraySlice(const ArrayRef& array, const APMPValueList& arguments, const APMPScopeRef& scope) {
  const auto length = static_cast<int64_t>(array->count());
  int64_t start = 0;
  int64_t end = length;
  if (!arguments.empty()) {
    auto integer = integerArgument(*arguments[0]);
    if (!integer) return std::unexpected(integer.error());
    start = clampPosition(*integer < 0 ? *integer + static_cast<double>(length) : *integer, 0, length);
  }
  if (arguments.size() == 2) {
    auto integer = integerArgument(*arguments[1]);
    if (!integer) return std::unexpected(integer.error());
    end = clampPosition(*integer < 0 ? *integer + static_cast<double>(length) : *integer, start, length);
  }
  if (auto charged = paidSlots(scope, static_cast<size_t>(end - start)); !charged) return charged;
  return APMPValueRef(APMPObjectManager::subarrayWithArray(*array, start, end - start, scope));
}
