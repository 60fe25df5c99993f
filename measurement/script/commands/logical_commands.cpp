// The logical family: short-circuit and, or, and not. Lazy: each handler
// evaluates its operands itself; the second operand of and and or runs only
// when the first does not decide.
#include "measurement/script/commands/command_handlers.h"
#include "measurement/script/runtime/evaluator.h"

namespace {

// The first operand when its Boolean form is not secondWhen, else the
// second operand, evaluated only then.
APMPResult shortCircuit(APMPArguments arguments, const APMPScopeRef& scope, bool secondWhen) {
  APMPResult first = APMPEvaluator::evaluateStatement(arguments[0], scope);
  if (!first) return first;
  auto truth = (*first)->booleanValueOrError();
  if (!truth) return std::unexpected(truth.error());
  if (*truth != secondWhen) return first;
  return APMPEvaluator::evaluateStatement(arguments[1], scope);
}

}  // namespace

APMPResult APMPLogicalAnd(APMPArguments arguments, const APMPScopeRef& scope) {
  return shortCircuit(arguments, scope, true);
}

APMPResult APMPLogicalOr(APMPArguments arguments, const APMPScopeRef& scope) {
  return shortCircuit(arguments, scope, false);
}

APMPResult APMPLogicalNot(APMPArguments arguments, const APMPScopeRef& scope) {
  APMPResult operand = APMPEvaluator::evaluateStatement(arguments[0], scope);
  if (!operand) return operand;
  auto truth = (*operand)->booleanValueOrError();
  if (!truth) return std::unexpected(truth.error());
  return APMPBooleanValue::booleanValueWithBool(!*truth);
}
