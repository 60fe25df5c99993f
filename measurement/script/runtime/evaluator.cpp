#include "measurement/script/runtime/evaluator.h"

#include <cmath>
#include <utility>

#include "measurement/script/commands/command_families.h"
#include "measurement/script/commands/fused_statements.h"
#include "measurement/script/runtime/limits.h"
#include "measurement/script/runtime/scope.h"

APMPResult APMPCommandEvaluator::evaluateCommand(std::u16string_view, const APMPValueList&,
                                                 const APMPScopeRef&) const {
  return APMPUndefinedValue::sharedInstance();
}

std::vector<std::u16string> APMPCommandEvaluator::allSupportedCommands() const { return {}; }

const void* APMPCommandEvaluator::resolveCommand(std::u16string_view) const { return nullptr; }

const APMPOpcode* APMPCommandEvaluator::rowOf(const void*) const { return nullptr; }

APMPResult APMPCommandEvaluator::evaluateResolved(const void*, std::u16string_view command,
                                                  const APMPValueList& arguments, const APMPScopeRef& scope) const {
  return evaluateCommand(command, arguments, scope);
}

APMPResult APMPFunctionEvaluator::evaluateCommand(std::u16string_view command, const APMPValueList& arguments,
                                                  const APMPScopeRef& scope) const {
  return callByName(APMPNameKey(command), arguments, scope);
}

APMPResult APMPFunctionEvaluator::callByName(const APMPNameKey& command, const APMPValueList& arguments,
                                             const APMPScopeRef& scope) const {
  // The name is compared in every scope of the chain: a long one pays for it.
  if (auto paid = APMPChargeBulkWork(scope, command.text.size()); !paid) return std::unexpected(paid.error());
  APMPValueRef callee = scope->valueForName(command);  // held: the call may rebind the name
  if (callee->kind() != APMPRuntimeValue::Kind::Function) return APMPUndefinedValue::sharedInstance();
  return static_cast<APMPFunctionValue&>(*callee).invokeHeld(arguments, scope);
}

APMPCommandRegistrar::APMPCommandRegistrar() {
  families_.push_back(std::make_unique<APMPBitwiseCommandEvaluator>());
  families_.push_back(std::make_unique<APMPComparisonCommandEvaluator>());
  families_.push_back(std::make_unique<APMPControlCommandEvaluator>());
  families_.push_back(std::make_unique<APMPLogicalCommandEvaluator>());
  families_.push_back(std::make_unique<APMPLoopCommandEvaluator>());
  families_.push_back(std::make_unique<APMPMathCommandEvaluator>());
  families_.push_back(std::make_unique<APMPVariableCommandEvaluator>());
  for (const auto& family : families_) registerEvaluator(*family);
}

APMPCommandRegistrar& APMPCommandRegistrar::sharedInstance() {
  static APMPCommandRegistrar* instance = new APMPCommandRegistrar();  // lives as long as the process
  return *instance;
}

void APMPCommandRegistrar::registerEvaluator(const APMPCommandEvaluator& evaluator) {
  for (auto& command : evaluator.allSupportedCommands()) commandEvaluators_[std::move(command)] = &evaluator;
}

const APMPCommandEvaluator& APMPCommandRegistrar::evaluatorForCommand(std::u16string_view command) const {
  auto it = commandEvaluators_.find(command);
  return it == commandEvaluators_.end() ? functionEvaluator_ : *it->second;
}

bool APMPCommandRegistrar::isBuiltInFamily(const APMPCommandEvaluator& evaluator) const {
  for (const auto& family : families_) {
    if (family.get() == &evaluator) return true;
  }
  return false;
}

APMPResult APMPCommandRegistrar::evaluateStatement(const APMPValueRef& value, const APMPScopeRef& scope) const {
  APMPExecutionState& state = scope->executionState();
  if (value->kind() == APMPRuntimeValue::Kind::Statement) {
    // A fused statement runs in one step when it can run to its end.
    const APMPFusedForm& form = static_cast<const APMPStatementValue&>(*value).fused();
    if (APMPCountFused(form, state)) return APMPEvaluateFused(form, scope);
  }
  if (state.instructionCount >= kAPMPInstructionBudget) return APMPFail(APMPRovavError::BudgetExhausted);
  state.instructionCount += 1;
  if (value->kind() != APMPRuntimeValue::Kind::Statement) return value;
  if (state.depth >= kAPMPMaxEvaluationDepth) return APMPFail(APMPRovavError::BudgetExhausted);
  // Held for the call: nothing the statement does can free it meanwhile.
  APMPValueRef held = value;
  const auto& statement = static_cast<const APMPStatementValue&>(*held);
  // A table row runs directly, a call by name with its hash known; the
  // evaluator would only hand them on.
  return APMPRunStatementWork(scope, [&] {
    if (const APMPOpcode* row = statement.builtInRow()) {
      return APMPEvaluateOpcodeRow(APMPArgumentModeOf(row->family), *row, statement.arguments(), scope);
    }
    if (&statement.evaluator() == &functionEvaluator_) {
      return functionEvaluator_.callByName(statement.functionNameKey(), statement.arguments(), scope);
    }
    return statement.evaluator().evaluateResolved(statement.resolvedCommand(), statement.functionName(),
                                                  statement.arguments(), scope);
  });
}

APMPResult APMPEvaluator::executeStatements(APMPArguments statements, const APMPScopeRef& scope) {
  APMPValueRef result = APMPUndefinedValue::sharedInstance();
  for (const auto& statement : statements) {
    APMPResult value = evaluateStatement(statement, scope);
    if (!value) return value;
    result = std::move(*value);
    if (result->kind() == APMPRuntimeValue::Kind::Control) break;
  }
  return result;
}

os::Status apmp::detail::chargeInstructions(const APMPScopeRef& scope, size_t units) {
  const auto cost = static_cast<int64_t>(units / kAPMPBulkUnitsPerInstruction);
  if (cost == 0 || !scope) return {};
  APMPExecutionState& state = scope->executionState();
  if (cost > kAPMPInstructionBudget - state.instructionCount) {
    state.instructionCount = kAPMPInstructionBudget;
    return APMPFail(APMPRovavError::BudgetExhausted);
  }
  state.instructionCount += cost;
  return {};
}

os::Status APMPChargeSlots(const APMPScopeRef& scope, size_t count) {
  if (count > static_cast<size_t>(kAPMPInstructionBudget)) count = static_cast<size_t>(kAPMPInstructionBudget) + 1;
  if (scope && count > 0) {
    APMPExecutionState& state = scope->executionState();
    state.slotsMade += count;
    if (state.retainedSlots + state.slotsMade > kAPMPMaxTrackedSlots) {
      state.instructionCount = kAPMPInstructionBudget;
      return APMPFail(APMPRovavError::BudgetExhausted);
    }
  }
  return APMPChargeBulkWork(scope, count * kAPMPBulkUnitsPerInstruction);
}

os::Result<APMPValueList> APMPEvaluateArguments(APMPArguments arguments, const APMPScopeRef& scope) {
  APMPValueList values(arguments.size());
  if (auto status = APMPEvaluateArgumentsInto(arguments, values.data(), scope); !status) {
    return std::unexpected(std::move(status.error()));
  }
  return values;
}

os::Status APMPEvaluateArgumentsInto(APMPArguments arguments, APMPValueRef* values, const APMPScopeRef& scope) {
  for (size_t i = 0; i < arguments.size(); ++i) {
    APMPResult value = APMPEvaluateEntry(arguments[i], scope);
    if (!value) return std::unexpected(std::move(value.error()));
    values[i] = std::move(*value);
  }
  return {};
}

os::Status APMPCheckExactArgumentCount(APMPArguments arguments, size_t n) {
  if (arguments.size() != n) return APMPFail(APMPRovavError::ArgumentCount);
  return {};
}

os::Status APMPCheckMinimumArgumentCount(APMPArguments arguments, size_t n) {
  if (arguments.size() < n) return APMPFail(APMPRovavError::ArgumentCount);
  return {};
}

os::Status APMPCheckMaximumArgumentCount(APMPArguments arguments, size_t n) {
  if (arguments.size() > n) return APMPFail(APMPRovavError::ArgumentCount);
  return {};
}

bool APMPIsArrayIndex(const APMPRuntimeValue& value) {
  if (value.kind() != APMPRuntimeValue::Kind::Number && value.kind() != APMPRuntimeValue::Kind::String) return false;
  auto number = value.doubleValueOrError();
  return number && std::isfinite(*number) && std::trunc(*number) == *number && !(*number < 0);
}

bool APMPIsObjectLike(const APMPRuntimeValue& value) {
  switch (value.kind()) {
    case APMPRuntimeValue::Kind::Array:
    case APMPRuntimeValue::Kind::Function:
    case APMPRuntimeValue::Kind::Map:
    case APMPRuntimeValue::Kind::String:
      return true;
    default:
      return false;
  }
}
