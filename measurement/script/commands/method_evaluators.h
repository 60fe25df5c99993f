// The methods of array and string values, reached by name through
// applyWithName (the call-method command). Each evaluator exists once and
// holds a table from method name to its accepted counts and handler.
//
// A call: a name without a row fails with rovav 17; otherwise the arguments
// are evaluated in order (stopping at the first error), the count is checked
// (rovav 9), and the handler receives the receiver and the values. A row
// whose handler is null yields undefined. Method names are case-sensitive.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

#include "measurement/script/commands/command_families.h"
#include "measurement/script/runtime/array_value.h"

using APMPArrayMethodHandler = APMPResult (*)(const std::shared_ptr<APMPArrayValue>& array,
                                              const APMPValueList& arguments, const APMPScopeRef& scope);
// The receiver's text in UTF-16 code units.
using APMPStringMethodHandler = APMPResult (*)(const std::u16string& string, const APMPValueList& arguments,
                                               const APMPScopeRef& scope);

template <class Handler>
struct APMPMethod {
  std::u16string_view name;
  APMPArity arity;
  Handler handler;
};
using APMPArrayMethod = APMPMethod<APMPArrayMethodHandler>;
using APMPStringMethod = APMPMethod<APMPStringMethodHandler>;

// Every method of arrays and of strings, in name order.
std::span<const APMPArrayMethod> APMPArrayMethodTable();
std::span<const APMPStringMethod> APMPStringMethodTable();

class APMPArrayCommandEvaluator {
 public:
  static const APMPArrayCommandEvaluator& sharedInstance();
  APMPResult evaluateCommand(std::u16string_view name, const std::shared_ptr<APMPArrayValue>& array,
                             const APMPValueList& arguments, const APMPScopeRef& scope) const;

 private:
  APMPArrayCommandEvaluator();
  std::unordered_map<std::u16string_view, APMPArrayMethod> handlers_;
};

class APMPStringCommandEvaluator {
 public:
  static const APMPStringCommandEvaluator& sharedInstance();
  APMPResult evaluateCommand(std::u16string_view name, const std::u16string& string, const APMPValueList& arguments,
                             const APMPScopeRef& scope) const;

 private:
  APMPStringCommandEvaluator();
  std::unordered_map<std::u16string_view, APMPStringMethod> handlers_;
};
