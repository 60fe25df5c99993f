// The control family: blocks and statement arrays, break, continue, return,
// sequence, conditional, if, switch, method calls and functions. Lazy: each
// handler receives the statement's entries and evaluates what it needs.
#include "measurement/script/commands/command_handlers.h"
#include "measurement/script/commands/command_families.h"
#include "measurement/script/commands/command_support.h"
#include "measurement/script/runtime/limits.h"
#include "measurement/script/runtime/object_manager.h"
#include "measurement/script/runtime/scope.h"

namespace {

using apmp::commands::asArray;
using apmp::commands::condition;
using apmp::commands::evaluate;
using apmp::commands::isControl;
using apmp::commands::Kind;
using apmp::commands::runStatementArray;
using ControlType = APMPControlValue::Type;

constexpr int kMethodCallDepth = 2;

// A function from the entries: name (not evaluated), parameter array, body.
os::Result<std::shared_ptr<APMPFunctionValue>> makeFunction(APMPArguments arguments, const APMPScopeRef& scope) {
  auto name = arguments[0]->stringValueOrError();
  if (!name) return std::unexpected(name.error());
  APMPResult parameterList = evaluate(arguments[1], scope);
  if (!parameterList) return std::unexpected(parameterList.error());
  auto parameterArray = asArray(*parameterList);
  if (!parameterArray) return APMPFail(APMPRovavError::ArgumentKind);
  if (auto paid = APMPChargeSlots(scope, parameterArray->count() + arguments.size()); !paid) {
    return std::unexpected(paid.error());
  }
  std::vector<std::u16string> parameters;
  size_t units = name->size();
  for (const APMPValueRef& element : parameterArray->allElements()) {
    auto parameter = element->stringValueOrError();
    if (!parameter) return std::unexpected(parameter.error());
    units += parameter->size();
    parameters.push_back(std::move(*parameter));
  }
  if (auto paid = APMPChargeBulkWork(scope, units); !paid) return std::unexpected(paid.error());
  APMPValueList statements(arguments.begin() + 2, arguments.end());
  return APMPObjectManager::functionValueWithFunctionName(std::move(*name), std::move(parameters),
                                                          std::move(statements), scope);
}

// The entry as a statement-array literal with the table's own handler, else null.
const APMPStatementValue* statementArrayLiteral(const APMPValueRef& entry) {
  if (entry->kind() != Kind::Statement) return nullptr;
  const auto& statement = static_cast<const APMPStatementValue&>(*entry);
  if (statement.row() == nullptr || statement.row()->handler != &APMPControlStatementArray) return nullptr;
  return &statement;
}

}  // namespace

APMPResult APMPControlBlock(APMPArguments arguments, const APMPScopeRef& scope) {
  return APMPEvaluator::executeStatements(arguments, APMPScope::childOf(scope));
}

APMPResult APMPControlRunStatementArray(APMPArguments arguments, const APMPScopeRef& scope) {
  APMPResult value = evaluate(arguments[0], scope);
  if (!value) return value;
  auto statements = asArray(*value);
  if (!statements) return APMPFail(APMPRovavError::ArgumentKind);
  return runStatementArray(statements, scope);
}

APMPResult APMPControlStatementArray(APMPArguments arguments, const APMPScopeRef& scope) {
  if (auto paid = APMPChargeSlots(scope, arguments.size()); !paid) return std::unexpected(paid.error());
  auto array = APMPObjectManager::arrayValueWithArray(APMPValueList(arguments.begin(), arguments.end()), scope);
  if (!array) return std::unexpected(array.error());
  return APMPValueRef(std::move(*array));
}

APMPResult APMPControlBreak(APMPArguments, const APMPScopeRef&) { return APMPControlValue::breakValue(); }

APMPResult APMPControlContinue(APMPArguments, const APMPScopeRef&) { return APMPControlValue::continueValue(); }

APMPResult APMPControlReturn(APMPArguments arguments, const APMPScopeRef& scope) {
  if (arguments.empty()) return APMPControlValue::returnValueWithData(APMPUndefinedValue::sharedInstance());
  APMPResult value = evaluate(arguments[0], scope);
  if (!value) return value;
  return APMPControlValue::returnValueWithData(std::move(*value));
}

APMPResult APMPControlSequence(APMPArguments arguments, const APMPScopeRef& scope) {
  APMPValueRef result;
  for (const APMPValueRef& entry : arguments) {
    APMPResult value = evaluate(entry, scope);
    if (!value) return value;
    if (isControl(*value)) return APMPFail(APMPRovavError::ArgumentKind);
    result = std::move(*value);
  }
  return result;
}

APMPResult APMPControlConditional(APMPArguments arguments, const APMPScopeRef& scope) {
  auto truth = condition(arguments[0], scope);
  if (!truth) return std::unexpected(truth.error());
  return evaluate(arguments[*truth ? 1 : 2], scope);
}

APMPResult APMPControlIf(APMPArguments arguments, const APMPScopeRef& scope) {
  auto truth = condition(arguments[0], scope);
  if (!truth) return std::unexpected(truth.error());
  size_t branch = *truth ? 1 : 2;
  if (branch >= arguments.size()) return APMPUndefinedValue::sharedInstance();
  // A statement-array literal (the usual branch) runs its entries in place:
  // the array it would make is never seen by the program, so it is only paid
  // for, counted and capped as the literal would be.
  if (const auto* literal = statementArrayLiteral(arguments[branch])) {
    auto made = APMPEvaluateInPlace(scope, [&]() -> os::Status {
      if (auto paid = APMPChargeSlots(scope, literal->arguments().size()); !paid) return paid;
      if (literal->arguments().size() > kAPMPMaxArraySlots) return APMPFail(APMPRovavError::InvalidArrayLength);
      return {};
    });
    if (!made) return std::unexpected(std::move(made.error()));
    return APMPEvaluator::executeStatements(literal->arguments(), scope);
  }
  APMPResult value = evaluate(arguments[branch], scope);
  if (!value) return value;
  // A statement array runs in place, so break, continue and return pass out.
  if (auto statements = asArray(*value)) return runStatementArray(statements, scope);
  return value;
}

// Cases are compared strictly until one matches; from there the bodies run
// in turn (fall-through) until a break or a continue or return, which leaves
// the switch. The default is the one body past the cases.
APMPResult APMPControlSwitch(APMPArguments arguments, const APMPScopeRef& scope) {
  auto values = APMPEvaluateArguments(arguments, scope);
  if (!values) return std::unexpected(values.error());
  const APMPValueRef& discriminant = (*values)[0];
  auto cases = asArray((*values)[1]);
  auto bodies = asArray((*values)[2]);
  if (!cases || !bodies) return APMPFail(APMPRovavError::ArgumentCount);

  auto runBody = [&](size_t index) -> APMPResult {
    // A list may have changed meanwhile: a body past its end runs as nothing.
    if (index >= bodies->count()) return APMPUndefinedValue::sharedInstance();
    return evaluate(bodies->slotAtIndex(index), scope);
  };
  bool matched = false;
  for (size_t i = 0; i < cases->count(); ++i) {
    if (!matched) {
      APMPValueRef entry = cases->slotAtIndex(i);
      APMPResult label = evaluate(entry->kind() == Kind::Hole ? APMPUndefinedValue::sharedInstance() : entry, scope);
      if (!label) return label;
      matched = APMPIsStrictlyEqual(**label, *discriminant);
      if (!matched) continue;
    }
    APMPResult body = runBody(i);
    if (!body) return body;
    if (isControl(*body, ControlType::Break)) return APMPUndefinedValue::sharedInstance();
    if (isControl(*body)) return body;
  }
  if (bodies->count() == cases->count() + 1) {
    APMPResult fallback = runBody(cases->count());
    if (!fallback) return fallback;
    if (isControl(*fallback, ControlType::Continue) || isControl(*fallback, ControlType::Return)) return fallback;
  }
  return APMPUndefinedValue::sharedInstance();
}

namespace {

// The lists of evaluated method arguments, kept per thread and reused: calls
// nest only so deep, so a few lists serve every call without a trip through
// malloc. A lease hands one out and takes it back emptied.
class ArgumentListLease {
 public:
  ArgumentListLease() {
    std::vector<APMPValueList>& pool = freeLists();
    if (!pool.empty()) {
      list_ = std::move(pool.back());
      pool.pop_back();
    }
  }
  ~ArgumentListLease() {
    list_.clear();
    std::vector<APMPValueList>& pool = freeLists();
    if (pool.size() < kKeptLists && list_.capacity() <= kKeptCapacity) pool.push_back(std::move(list_));
  }
  ArgumentListLease(const ArgumentListLease&) = delete;
  ArgumentListLease& operator=(const ArgumentListLease&) = delete;
  APMPValueList& list() { return list_; }

 private:
  static constexpr size_t kKeptLists = 64;
  static constexpr size_t kKeptCapacity = 16;
  static std::vector<APMPValueList>& freeLists() {
    static thread_local std::vector<APMPValueList> lists;
    return lists;
  }
  APMPValueList list_;
};

// A method call's argument list, into values. An array literal (the usual
// form) has its entries evaluated in place, with the literal's own count,
// depth and cap, but no array made; anything else must evaluate to an array.
os::Status methodArguments(const APMPValueRef& entry, const APMPScopeRef& scope, APMPValueList& values) {
  if (entry->kind() == Kind::Statement) {
    const auto& literal = static_cast<const APMPStatementValue&>(*entry);
    if (literal.row() != nullptr && literal.row()->handler == &APMPVariableArrayLiteral) {
      return APMPEvaluateInPlace(scope, [&]() -> os::Status {
        const APMPValueList& entries = literal.arguments();
        values.resize(entries.size());
        if (auto status = APMPEvaluateArgumentsInto(entries, values.data(), scope); !status) return status;
        if (values.size() > kAPMPMaxArraySlots) return APMPFail(APMPRovavError::InvalidArrayLength);
        return {};
      });
    }
  }
  APMPResult value = evaluate(entry, scope);
  if (!value) return std::unexpected(std::move(value.error()));
  auto array = asArray(*value);
  if (!array) return APMPFail(APMPRovavError::ArgumentKind);
  values = array->allElements();
  return {};
}

}  // namespace

APMPResult APMPControlCallMethod(APMPArguments arguments, const APMPScopeRef& scope) {
  APMPResult receiver = evaluate(arguments[0], scope);
  if (!receiver) return receiver;
  APMPResult name = evaluate(arguments[1], scope);
  if (!name) return name;
  ArgumentListLease lease;
  const APMPValueList& values = lease.list();
  if (auto evaluated = methodArguments(arguments[2], scope, lease.list()); !evaluated) {
    return std::unexpected(std::move(evaluated.error()));
  }
  if ((*name)->kind() != Kind::String) return APMPFail(APMPRovavError::ArgumentKind);
  const std::u16string& method = static_cast<const APMPStringValue&>(**name).value();  // held by name
  // Every receiver reads the name, and text arguments at least once (map
  // keys are hashed, for one): both are paid here by their lengths.
  size_t units = method.size() + values.size();
  for (const APMPValueRef& argument : values) {
    if (argument->kind() == Kind::String) units += static_cast<const APMPStringValue&>(*argument).value().size();
  }
  if (auto paid = APMPChargeBulkWork(scope, units); !paid) return std::unexpected(paid.error());
  // A method that calls back into the program (forEach, sort, replace, ...)
  // re-enters the evaluator through twice the native frames of a plain call,
  // so a method call counts as kMethodCallDepth levels of the depth cap.
  APMPExecutionState& state = scope->executionState();
  if (state.depth + kMethodCallDepth > kAPMPMaxEvaluationDepth) return APMPFail(APMPRovavError::BudgetExhausted);
  state.depth += kMethodCallDepth;
  APMPResult result = (*receiver)->applyWithName(method, values, scope);
  state.depth -= kMethodCallDepth;
  return result;
}

APMPResult APMPControlFunctionExpression(APMPArguments arguments, const APMPScopeRef& scope) {
  auto function = makeFunction(arguments, scope);
  if (!function) return std::unexpected(function.error());
  return APMPValueRef(std::move(*function));
}

APMPResult APMPControlFunctionDeclaration(APMPArguments arguments, const APMPScopeRef& scope) {
  auto function = makeFunction(arguments, scope);
  if (!function) return std::unexpected(function.error());
  scope->setValue(*function, (*function)->functionName());
  return APMPValueRef(std::move(*function));
}
