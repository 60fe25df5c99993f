#include "measurement/script/commands/method_evaluators.h"

#include "measurement/script/commands/method_handlers.h"

// One row per method: its name, the argument counts it accepts and its
// handler (method_handlers.h).

namespace {

using A = APMPArity;

// clang-format off
constexpr APMPArrayMethod kArrayMethods[] = {
    {u"concat", A::any(), &APMPArrayConcat},
    {u"every", A::exactly(1), &APMPArrayEvery},
    {u"filter", A::exactly(1), &APMPArrayFilter},
    {u"forEach", A::exactly(1), &APMPArrayForEach},
    {u"hasOwnProperty", A::exactly(1), &APMPArrayHasOwnProperty},
    {u"indexOf", A::atMost(2), &APMPArrayIndexOf},
    {u"join", A::atMost(1), &APMPArrayJoin},
    {u"lastIndexOf", A::atMost(2), &APMPArrayLastIndexOf},
    {u"map", A::exactly(1), &APMPArrayMap},
    {u"pop", A::exactly(0), &APMPArrayPop},
    {u"push", A::any(), &APMPArrayPush},
    {u"reduce", A::between(1, 2), &APMPArrayReduce},
    {u"reduceRight", A::between(1, 2), &APMPArrayReduceRight},
    {u"reverse", A::exactly(0), &APMPArrayReverse},
    {u"shift", A::exactly(0), &APMPArrayShift},
    {u"slice", A::atMost(2), &APMPArraySlice},
    {u"some", A::exactly(1), &APMPArraySome},
    {u"sort", A::atMost(1), &APMPArraySort},
    {u"splice", A::any(), &APMPArraySplice},
    {u"toString", A::exactly(0), &APMPArrayToString},
    {u"unshift", A::any(), &APMPArrayUnshift},
};

constexpr APMPStringMethod kStringMethods[] = {
    {u"charAt", A::atMost(1), &APMPStringCharAt},
    {u"concat", A::any(), &APMPStringConcat},
    {u"hasOwnProperty", A::exactly(1), &APMPStringHasOwnProperty},
    {u"indexOf", A::atMost(2), &APMPStringIndexOf},
    {u"lastIndexOf", A::atMost(2), &APMPStringLastIndexOf},
    {u"match", A::atMost(1), &APMPStringMatch},
    {u"replace", A::atMost(2), &APMPStringReplace},
    {u"search", A::atMost(1), &APMPStringSearch},
    {u"slice", A::atMost(2), &APMPStringSlice},
    {u"split", A::atMost(2), &APMPStringSplit},
    {u"substring", A::atMost(2), &APMPStringSubstring},
    {u"toLocaleLowerCase", A::exactly(0), &APMPStringToLocaleLowerCase},
    {u"toLocaleUpperCase", A::exactly(0), &APMPStringToLocaleUpperCase},
    {u"toLowerCase", A::exactly(0), &APMPStringToLowerCase},
    {u"toString", A::exactly(0), &APMPStringToString},
    {u"toUpperCase", A::exactly(0), &APMPStringToUpperCase},
    {u"trim", A::exactly(0), &APMPStringTrim},
};
// clang-format on

template <class Method, class Receiver>
APMPResult call(const std::unordered_map<std::u16string_view, Method>& handlers, std::u16string_view name,
                const Receiver& receiver, const APMPValueList& arguments, const APMPScopeRef& scope) {
  auto it = handlers.find(name);
  if (it == handlers.end()) return APMPFail(APMPRovavError::UnknownMethod);
  auto values = APMPEvaluateArguments(arguments, scope);
  if (!values) return std::unexpected(values.error());
  if (auto status = it->second.arity.check(values->size()); !status) return std::unexpected(status.error());
  if (it->second.handler == nullptr) return APMPUndefinedValue::sharedInstance();
  return it->second.handler(receiver, *values, scope);
}

}  // namespace

std::span<const APMPArrayMethod> APMPArrayMethodTable() { return kArrayMethods; }
std::span<const APMPStringMethod> APMPStringMethodTable() { return kStringMethods; }

APMPArrayCommandEvaluator::APMPArrayCommandEvaluator() {
  for (const auto& method : kArrayMethods) handlers_.emplace(method.name, method);
}

const APMPArrayCommandEvaluator& APMPArrayCommandEvaluator::sharedInstance() {
  static const APMPArrayCommandEvaluator* instance = new APMPArrayCommandEvaluator();
  return *instance;
}

APMPResult APMPArrayCommandEvaluator::evaluateCommand(std::u16string_view name,
                                                      const std::shared_ptr<APMPArrayValue>& array,
                                                      const APMPValueList& arguments, const APMPScopeRef& scope) const {
  return call(handlers_, name, array, arguments, scope);
}

APMPStringCommandEvaluator::APMPStringCommandEvaluator() {
  for (const auto& method : kStringMethods) handlers_.emplace(method.name, method);
}

const APMPStringCommandEvaluator& APMPStringCommandEvaluator::sharedInstance() {
  static const APMPStringCommandEvaluator* instance = new APMPStringCommandEvaluator();
  return *instance;
}

APMPResult APMPStringCommandEvaluator::evaluateCommand(std::u16string_view name, const std::u16string& string,
                                                       const APMPValueList& arguments,
                                                       const APMPScopeRef& scope) const {
  return call(handlers_, name, string, arguments, scope);
}
