// The math family: add or concatenate, the other arithmetic in floating
// point, negate, and the pass-through opcodes.
#include <cmath>

#include "measurement/script/commands/command_handlers.h"
#include "measurement/script/commands/command_support.h"

namespace {

using apmp::commands::Kind;
using apmp::commands::takesStringForm;

// Both number forms, first operand first, then the operation.
template <class Operation>
APMPResult numeric(APMPArguments arguments, Operation operation) {
  auto first = arguments[0]->doubleValueOrError();
  if (!first) return std::unexpected(first.error());
  auto second = arguments[1]->doubleValueOrError();
  if (!second) return std::unexpected(second.error());
  return APMPNumberValue::make(operation(*first, *second));
}

}  // namespace

APMPResult APMPMathAdd(APMPArguments arguments, const APMPScopeRef& scope) {
  if (!takesStringForm(*arguments[0]) && !takesStringForm(*arguments[1])) {
    return numeric(arguments, [](double a, double b) { return a + b; });
  }
  auto texts = apmp::commands::stringForms(*arguments[0], *arguments[1]);
  if (!texts) return std::unexpected(texts.error());
  if (auto paid = APMPChargeBulkWork(scope, texts->first.size() + texts->second.size()); !paid) {
    return std::unexpected(paid.error());
  }
  auto text = APMPConcatenate(texts->first, texts->second);
  if (!text) return std::unexpected(text.error());
  return APMPStringValue::make(std::move(*text));
}

APMPResult APMPMathDivide(APMPArguments arguments, const APMPScopeRef&) {
  return numeric(arguments, [](double a, double b) { return a / b; });
}

// fmod truncates: the sign of the dividend; NaN for a zero divisor or an
// infinite dividend; the dividend for an infinite divisor.
APMPResult APMPMathRemainder(APMPArguments arguments, const APMPScopeRef&) {
  return numeric(arguments, [](double a, double b) { return std::fmod(a, b); });
}

APMPResult APMPMathMultiply(APMPArguments arguments, const APMPScopeRef&) {
  return numeric(arguments, [](double a, double b) { return a * b; });
}

APMPResult APMPMathNegate(APMPArguments arguments, const APMPScopeRef&) {
  auto operand = arguments[0]->doubleValueOrError();
  if (!operand) return std::unexpected(operand.error());
  return APMPNumberValue::make(-*operand);
}

APMPResult APMPMathFirst(APMPArguments arguments, const APMPScopeRef&) { return arguments[0]; }

APMPResult APMPMathPassThrough(APMPArguments arguments, const APMPScopeRef&) { return arguments[0]; }

APMPResult APMPMathSubtract(APMPArguments arguments, const APMPScopeRef&) {
  return numeric(arguments, [](double a, double b) { return a - b; });
}
