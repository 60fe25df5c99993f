#include "measurement/script/commands/fused_statements.h"

#include <algorithm>
#include <array>

#include "measurement/script/commands/command_families.h"
#include "measurement/script/commands/command_handlers.h"
#include "measurement/script/runtime/evaluator.h"
#include "measurement/script/runtime/limits.h"
#include "measurement/script/runtime/scope.h"

namespace {

thread_local bool gFusion = true;

using Kind = APMPRuntimeValue::Kind;
using Shape = APMPFusedForm::Shape;
using Operation = APMPFusedForm::Operation;

// A name literal short enough to owe no bulk work; null otherwise.
const APMPStringValue* shortName(const APMPValueRef& entry) {
  if (entry->kind() != Kind::String) return nullptr;
  const auto& name = static_cast<const APMPStringValue&>(*entry);
  return name.value().size() < kAPMPBulkUnitsPerInstruction ? &name : nullptr;
}

// The operation of a handler that two numbers reduce to plain arithmetic
// (it must agree with the handler's conversions), if it has one.
bool operationOf(APMPCommandHandler handler, Operation& operation) {
  static constexpr std::pair<APMPCommandHandler, Operation> kOperations[] = {
      {&APMPMathAdd, Operation::Add},
      {&APMPMathSubtract, Operation::Subtract},
      {&APMPMathMultiply, Operation::Multiply},
      {&APMPMathDivide, Operation::Divide},
      {&APMPCompareLess, Operation::Less},
      {&APMPCompareLessOrEqual, Operation::LessOrEqual},
      {&APMPCompareGreater, Operation::Greater},
      {&APMPCompareGreaterOrEqual, Operation::GreaterOrEqual},
  };
  for (const auto& [candidate, op] : kOperations) {
    if (candidate == handler) {
      operation = op;
      return true;
    }
  }
  return false;
}

// An entry as an operand: a literal (one evaluation) or a fused read (a
// statement one level down and its literal).
bool operandOf(const APMPValueRef& entry, APMPFusedOperand& operand, int& instructions, int& depth) {
  if (entry->kind() != Kind::Statement) {
    operand.literal = &entry;
    instructions += 1;
    return true;
  }
  const APMPFusedForm& form = static_cast<const APMPStatementValue&>(*entry).fused();
  if (form.shape != Shape::Read) return false;
  operand.name = form.left.name;
  instructions += form.instructions;
  depth = std::max(depth, 1);
  return true;
}

// Two numbers under an arithmetic operation.
double arithmetic(Operation operation, double x, double y) {
  switch (operation) {
    case Operation::Add:
      return x + y;
    case Operation::Subtract:
      return x - y;
    case Operation::Multiply:
      return x * y;
    default:
      return x / y;
  }
}

// Two numbers under an ordering.
bool ordering(Operation operation, double x, double y) {
  switch (operation) {
    case Operation::Less:
      return x < y;
    case Operation::LessOrEqual:
      return x <= y;
    case Operation::Greater:
      return y < x;
    default:
      return y <= x;
  }
}

bool isArithmetic(Operation operation) { return operation <= Operation::Divide; }

APMPValueRef numericResult(Operation operation, double x, double y) {
  if (isArithmetic(operation)) return APMPNumberValue::make(arithmetic(operation, x, y));
  return APMPBooleanValue::booleanValueWithBool(ordering(operation, x, y));
}

// Both operands' numbers, when both are numbers.
bool numbersOf(const APMPValueRef& a, const APMPValueRef& b, double& x, double& y) {
  if (a->kind() != Kind::Number || b->kind() != Kind::Number) return false;
  x = static_cast<const APMPNumberValue&>(*a).value();
  y = static_cast<const APMPNumberValue&>(*b).value();
  return true;
}

inline const APMPValueRef& operandValue(const APMPFusedOperand& operand, const APMPScope& scope) {
  return operand.literal != nullptr ? *operand.literal : scope.valueForName(operand.name, operand.cache);
}

// The number an arithmetic fused statement makes of two number operands;
// false for any other operation or operands.
bool arithmeticResult(const APMPFusedForm& form, const APMPScope& scope, double& result) {
  double x = 0, y = 0;
  if (!isArithmetic(form.operation) ||
      !numbersOf(operandValue(form.left, scope), operandValue(form.right, scope), x, y)) {
    return false;
  }
  result = arithmetic(form.operation, x, y);
  return true;
}

APMPResult evaluateBinary(const APMPFusedForm& form, const APMPScopeRef& scope) {
  const APMPValueRef& a = operandValue(form.left, *scope);
  const APMPValueRef& b = operandValue(form.right, *scope);
  double x = 0, y = 0;
  if (numbersOf(a, b, x, y)) return numericResult(form.operation, x, y);
  std::array<APMPValueRef, 2> values{a, b};
  return APMPRunStatementWork(scope, [&] { return form.row->handler(values, scope); });
}

}  // namespace

APMPFusedForm APMPFuseStatement(const APMPOpcode* builtInRow, const APMPValueList& arguments) {
  APMPFusedForm form;
  if (!gFusion || builtInRow == nullptr || builtInRow->handler == nullptr) return form;
  const APMPCommandHandler handler = builtInRow->handler;
  int instructions = 1;
  int depth = 0;
  if (handler == &APMPVariableRead && arguments.size() == 1) {
    const APMPStringValue* name = shortName(arguments[0]);
    if (name == nullptr) return form;
    form.left.name = name->nameKey();
    form.shape = Shape::Read;
    instructions += 1;
  } else if (operationOf(handler, form.operation) && arguments.size() == 2) {
    if (!operandOf(arguments[0], form.left, instructions, depth)) return form;
    if (!operandOf(arguments[1], form.right, instructions, depth)) return form;
    form.row = builtInRow;
    form.shape = Shape::Binary;
  } else if (handler == &APMPVariableAssign && arguments.size() == 2) {
    const APMPStringValue* name = shortName(arguments[0]);
    if (name == nullptr) return form;
    form.left.name = name->nameKey();
    instructions += 1;
    const APMPValueRef& value = arguments[1];
    const auto* statement =
        value->kind() == Kind::Statement ? static_cast<const APMPStatementValue*>(value.get()) : nullptr;
    if (statement != nullptr && statement->fused().shape == Shape::Binary) {
      form.binary = statement;
      instructions += statement->fused().instructions;
      depth = 1 + statement->fused().depth;
    } else if (!operandOf(value, form.right, instructions, depth)) {
      return form;
    }
    form.shape = Shape::Assign;
  } else {
    return form;
  }
  form.instructions = static_cast<uint8_t>(instructions);
  form.depth = static_cast<uint8_t>(depth);
  return form;
}

namespace {

// An assignment; the value assigned, unless wanted is false (null then).
APMPResult assign(const APMPFusedForm& form, const APMPScopeRef& scope, bool wanted) {
  APMPValueRef value;
  bool held = false;
  APMPValueRef* target = nullptr;
  bool found = false;
  if (form.binary != nullptr) {
    const APMPFusedForm& binary = form.binary->fused();
    double number = 0;
    if (arithmeticResult(binary, *scope, number)) {
      target = scope->assignableValue(form.left.name, form.left.cache, held);
      found = true;
      // A number only the target holds takes the new value in place.
      if (target != nullptr && (*target)->kind() == Kind::Number && target->use_count() == 1) {
        static_cast<APMPNumberValue&>(**target).reuseForValue(number);
        return wanted ? *target : nullptr;
      }
      value = APMPNumberValue::make(number);
    } else {
      APMPExecutionState& state = scope->executionState();
      ++state.depth;
      APMPResult result = evaluateBinary(binary, scope);
      --state.depth;
      if (!result) return result;
      value = std::move(*result);
    }
  } else {
    value = operandValue(form.right, *scope);
  }
  if (!found) target = scope->assignableValue(form.left.name, form.left.cache, held);
  if (!held) return APMPFail(APMPRovavError::UndeclaredAssignment);
  APMPValueRef result = wanted ? value : nullptr;
  if (target != nullptr) apmp::detail::releaseValueLater(std::exchange(*target, std::move(value)));
  return result;
}

}  // namespace

APMPResult APMPEvaluateFused(const APMPFusedForm& form, const APMPScopeRef& scope) {
  switch (form.shape) {
    case Shape::Read:
      return operandValue(form.left, *scope);
    case Shape::Binary:
      return evaluateBinary(form, scope);
    case Shape::Assign:
      return assign(form, scope, true);
    case Shape::None:
      break;
  }
  return APMPUndefinedValue::sharedInstance();
}

os::Status APMPRunFused(const APMPFusedForm& form, const APMPScopeRef& scope) {
  if (form.shape == Shape::Read) return {};
  APMPResult result = form.shape == Shape::Assign ? assign(form, scope, false) : evaluateBinary(form, scope);
  if (!result) return std::unexpected(std::move(result.error()));
  return {};
}

os::Result<bool> APMPFusedCondition(const APMPFusedForm& form, const APMPScopeRef& scope) {
  double x = 0, y = 0;
  if (form.shape == Shape::Binary && !isArithmetic(form.operation) &&
      numbersOf(operandValue(form.left, *scope), operandValue(form.right, *scope), x, y)) {
    return ordering(form.operation, x, y);
  }
  APMPResult value = APMPEvaluateFused(form, scope);
  if (!value) return std::unexpected(std::move(value.error()));
  return (*value)->booleanValueOrError();
}

APMPValueRef APMPNumericResult(APMPCommandHandler handler, double x, double y) {
  Operation operation;
  return operationOf(handler, operation) ? numericResult(operation, x, y) : nullptr;
}

void apmp::detail::setStatementFusion(bool enabled) { gFusion = enabled; }
