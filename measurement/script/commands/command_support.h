// What the command and method handlers share: kind tests, the statement-array
// runner, number arguments, and plain-text search in linear time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "measurement/script/runtime/array_value.h"
#include "measurement/script/runtime/evaluator.h"
#include "measurement/script/runtime/values.h"

namespace apmp::commands {

using Kind = APMPRuntimeValue::Kind;

// The value as an array, or null when it is not one.
inline std::shared_ptr<APMPArrayValue> asArray(const APMPValueRef& value) {
  if (value->kind() != Kind::Array) return nullptr;
  return std::static_pointer_cast<APMPArrayValue>(value);
}
inline std::shared_ptr<APMPFunctionValue> asFunction(const APMPValueRef& value) {
  if (value->kind() != Kind::Function) return nullptr;
  return std::static_pointer_cast<APMPFunctionValue>(value);
}
inline bool isControl(const APMPValueRef& value, APMPControlValue::Type type) {
  return value->kind() == Kind::Control && static_cast<const APMPControlValue&>(*value).type() == type;
}
inline bool isControl(const APMPValueRef& value) { return value->kind() == Kind::Control; }
// Values whose string form decides comparison and addition: arrays,
// functions, maps and strings.
inline bool takesStringForm(const APMPRuntimeValue& value) {
  switch (value.kind()) {
    case Kind::Array:
    case Kind::Function:
    case Kind::Map:
    case Kind::String:
      return true;
    default:
      return false;
  }
}

inline APMPResult evaluate(const APMPValueRef& entry, const APMPScopeRef& scope) {
  return APMPEvaluator::evaluateStatement(entry, scope);
}
// The entry evaluated and taken by its Boolean form.
inline os::Result<bool> condition(const APMPValueRef& entry, const APMPScopeRef& scope) {
  APMPResult value = evaluate(entry, scope);
  if (!value) return std::unexpected(value.error());
  // A comparison's Boolean, the usual condition, is read without a call.
  if ((*value)->kind() == Kind::Boolean) return static_cast<const APMPBooleanValue&>(**value).value();
  return (*value)->booleanValueOrError();
}

// Runs the slots of a statement array in order in the scope, as a statement
// list: stops at the first error or the first control value (the result);
// otherwise the last value, undefined for an empty array. Slots are read as
// they stand at each step (holes as undefined), so a body that changes its
// own array cannot make the walk read past the end.
APMPResult runStatementArray(const std::shared_ptr<APMPArrayValue>& statements, const APMPScopeRef& scope);

// What a loop does after one run of its body.
enum class LoopStep { Next, Stop };
// Break stops with undefined, return stops with the return value, continue
// and ordinary values go on; an error stops with the error.
LoopStep afterBody(APMPResult& result);

// ToInteger of the value's number form; a conversion failure is that error.
os::Result<double> integerArgument(const APMPRuntimeValue& value);
// A position from ToInteger clamped to [low, high] (both within int64).
int64_t clampPosition(double position, int64_t low, int64_t high);

// The first occurrence of a non-empty pattern at or after from, or npos;
// linear in the lengths of both (Knuth-Morris-Pratt), whatever they hold.
size_t findText(std::u16string_view text, std::u16string_view pattern, size_t from = 0);
// The last occurrence of a non-empty pattern that lies wholly in text, or npos.
size_t findLastText(std::u16string_view text, std::u16string_view pattern);

// The string forms of two values, the second only when the first converts.
struct StringPair {
  std::u16string first;
  std::u16string second;
};
os::Result<StringPair> stringForms(const APMPRuntimeValue& first, const APMPRuntimeValue& second);

}  // namespace apmp::commands
