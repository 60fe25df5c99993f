#include "measurement/script/commands/method_evaluators.h"

// The handlers come with the array and string methods: a row names its
// handler in the last column (nullptr until the handler is written).

namespace {

using A = APMPArity;

// clang-format off
constexpr APMPArrayMethod kArrayMethods[] = {
    {u"concat", A::any(), nullptr},
    {u"every", A::exactly(1), nullptr},
    {u"filter", A::exactly(1), nullptr},
    {u"forEach", A::exactly(1), nullptr},
    {u"hasOwnProperty", A::exactly(1), nullptr},
    {u"indexOf", A::atMost(2), nullptr},
    {u"join", A::atMost(1), nullptr},
    {u"lastIndexOf", A::atMost(2), nullptr},
    {u"map", A::exactly(1), nullptr},
    {u"pop", A::exactly(0), nullptr},
    {u"push", A::any(), nullptr},
    {u"reduce", A::between(1, 2), nullptr},
    {u"reduceRight", A::between(1, 2), nullptr},
    {u"reverse", A::exactly(0), nullptr},
    {u"shift", A::exactly(0), nullptr},
    {u"slice", A::atMost(2), nullptr},
    {u"some", A::exactly(1), nullptr},
    {u"sort", A::atMost(1), nullptr},
    {u"splice", A::any(), nullptr},
    {u"toString", A::exactly(0), nullptr},
    {u"unshift", A::any(), nullptr},
};

constexpr APMPStringMethod kStringMethods[] = {
    {u"charAt", A::atMost(1), nullptr},
    {u"concat", A::any(), nullptr},
    {u"hasOwnProperty", A::exactly(1), nullptr},
    {u"indexOf", A::atMost(2), nullptr},
    {u"lastIndexOf", A::atMost(2), nullptr},
    {u"match", A::atMost(1), nullptr},
    {u"replace", A::atMost(2), nullptr},
    {u"search", A::atMost(1), nullptr},
    {u"slice", A::atMost(2), nullptr},
    {u"split", A::atMost(2), nullptr},
    {u"substring", A::atMost(2), nullptr},
    {u"toLocaleLowerCase", A::exactly(0), nullptr},
    {u"toLocaleUpperCase", A::exactly(0), nullptr},
    {u"toLowerCase", A::exactly(0), nullptr},
    {u"toString", A::exactly(0), nullptr},
    {u"toUpperCase", A::exactly(0), nullptr},
    {u"trim", A::exactly(0), nullptr},
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
