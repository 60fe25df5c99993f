// The comparison family: loose and strict equality, and the ordering tests
// built on one three-way comparison. The table has checked for exactly two
// arguments before they were evaluated.
#include <utility>

#include "measurement/script/commands/command_handlers.h"
#include "measurement/script/commands/command_support.h"
#include "os/foundation/text.h"

namespace {

using apmp::commands::Kind;
using apmp::commands::takesStringForm;

// The kinds of loose equality, lowest first: nothing, scalar, text, object.
int rank(const APMPRuntimeValue& value) {
  switch (value.kind()) {
    case Kind::Undefined:
    case Kind::Null:
      return 0;
    case Kind::Number:
    case Kind::Boolean:
      return 1;
    case Kind::String:
      return 2;
    default:
      return 3;
  }
}

os::Result<bool> looselyEqual(APMPArguments arguments, const APMPScopeRef& scope) {
  const APMPRuntimeValue* first = arguments[0].get();
  const APMPRuntimeValue* second = arguments[1].get();
  if (rank(*second) < rank(*first)) std::swap(first, second);
  switch (rank(*first)) {
    case 0:
      return rank(*second) == 0;
    case 1:
      return APMPIsNumberEqual(*first, *second);
    case 2: {
      auto texts = apmp::commands::stringForms(*first, *second);
      if (!texts) return std::unexpected(texts.error());
      if (auto paid = APMPChargeBulkWork(scope, texts->first.size() + texts->second.size()); !paid) {
        return std::unexpected(paid.error());
      }
      return texts->first == texts->second;
    }
    default:
      return first == second;
  }
}

// -1, 0 or 1 for left less than, the same as, or greater than right. Text
// by the plain comparison, else numbers, where a NaN on either side gives 1.
os::Result<int> threeWay(const APMPRuntimeValue& left, const APMPRuntimeValue& right, const APMPScopeRef& scope) {
  if (takesStringForm(left) && takesStringForm(right)) {
    auto texts = apmp::commands::stringForms(left, right);
    if (!texts) return std::unexpected(texts.error());
    if (auto paid = APMPChargeBulkWork(scope, texts->first.size() + texts->second.size()); !paid) {
      return std::unexpected(paid.error());
    }
    return os::compareStrings(std::u16string_view(texts->first), std::u16string_view(texts->second));
  }
  auto a = left.doubleValueOrError();
  if (!a) return std::unexpected(a.error());
  auto b = right.doubleValueOrError();
  if (!b) return std::unexpected(b.error());
  if (*a < *b) return -1;
  if (*a == *b) return 0;
  return 1;
}

APMPResult answer(const os::Result<bool>& result) {
  if (!result) return std::unexpected(result.error());
  return APMPBooleanValue::booleanValueWithBool(*result);
}

// Less (or the same, when sameCounts) with left and right as given.
APMPResult ordered(const APMPValueRef& left, const APMPValueRef& right, bool sameCounts, const APMPScopeRef& scope) {
  auto order = threeWay(*left, *right, scope);
  if (!order) return std::unexpected(order.error());
  return APMPBooleanValue::booleanValueWithBool(*order < 0 || (sameCounts && *order == 0));
}

}  // namespace

APMPResult APMPCompareLooseEqual(APMPArguments arguments, const APMPScopeRef& scope) {
  return answer(looselyEqual(arguments, scope));
}

APMPResult APMPCompareLooseNotEqual(APMPArguments arguments, const APMPScopeRef& scope) {
  auto equal = looselyEqual(arguments, scope);
  if (!equal) return std::unexpected(equal.error());
  return APMPBooleanValue::booleanValueWithBool(!*equal);
}

APMPResult APMPCompareStrictEqual(APMPArguments arguments, const APMPScopeRef& scope) {
  const APMPRuntimeValue& a = *arguments[0];
  const APMPRuntimeValue& b = *arguments[1];
  if (a.kind() == Kind::String && b.kind() == Kind::String) {
    size_t length = static_cast<const APMPStringValue&>(a).value().size();
    if (auto paid = APMPChargeBulkWork(scope, length); !paid) return std::unexpected(paid.error());
  }
  return APMPBooleanValue::booleanValueWithBool(APMPIsStrictlyEqual(a, b));
}

APMPResult APMPCompareStrictNotEqual(APMPArguments arguments, const APMPScopeRef& scope) {
  APMPResult equal = APMPCompareStrictEqual(arguments, scope);
  if (!equal) return equal;
  return APMPBooleanValue::booleanValueWithBool(!static_cast<const APMPBooleanValue&>(**equal).value());
}

APMPResult APMPCompareLess(APMPArguments arguments, const APMPScopeRef& scope) {
  return ordered(arguments[0], arguments[1], false, scope);
}

APMPResult APMPCompareLessOrEqual(APMPArguments arguments, const APMPScopeRef& scope) {
  return ordered(arguments[0], arguments[1], true, scope);
}

APMPResult APMPCompareGreater(APMPArguments arguments, const APMPScopeRef& scope) {
  return ordered(arguments[1], arguments[0], false, scope);
}

APMPResult APMPCompareGreaterOrEqual(APMPArguments arguments, const APMPScopeRef& scope) {
  return ordered(arguments[1], arguments[0], true, scope);
}
