// Statement evaluation: the registrar that routes each opcode to the command
// family owning it, the function evaluator for every other opcode, and the
// argument routines every native function, method and command shares.
//
// Every evaluation (of a literal or a statement) first counts one
// instruction in the scope chain's execution state: once kAPMPInstructionBudget
// evaluations have run since the last reset, the next fails with rovav 18.
// Statement evaluations nested more than kAPMPMaxEvaluationDepth deep fail
// with rovav 18 too. Both counters live outside the names a program sees.
//
// The registrar and its families are made once per process and only read
// afterwards; they hold no per-run state, so runtimes on different threads
// share them.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "measurement/script/runtime/limits.h"
#include "measurement/script/runtime/scope.h"
#include "measurement/script/runtime/values.h"

// The base of the command families (commands/command_families.h): its own
// evaluateCommand yields undefined and it supports no command.
class APMPCommandEvaluator {
 public:
  virtual ~APMPCommandEvaluator() = default;
  // The opcode, its statement's unevaluated arguments and the scope.
  virtual APMPResult evaluateCommand(std::u16string_view command, const APMPValueList& arguments,
                                     const APMPScopeRef& scope) const;
  virtual std::vector<std::u16string> allSupportedCommands() const;
  // What this evaluator resolves for the opcode once, when a statement is
  // made (null by default); handed back to evaluateResolved.
  virtual const void* resolveCommand(std::u16string_view command) const;
  // The opcode table row behind a resolved entry, when there is one.
  virtual const APMPOpcode* rowOf(const void* resolved) const;
  // evaluateCommand for a statement whose opcode resolved to the given entry.
  virtual APMPResult evaluateResolved(const void* resolved, std::u16string_view command,
                                      const APMPValueList& arguments, const APMPScopeRef& scope) const;
};

// Calls by name: the opcode is looked up as a name in the scope; a function
// found there is invoked with the unevaluated arguments in the same scope;
// anything else yields undefined without an error.
class APMPFunctionEvaluator final : public APMPCommandEvaluator {
 public:
  APMPResult evaluateCommand(std::u16string_view command, const APMPValueList& arguments,
                             const APMPScopeRef& scope) const override;
  // The same with the name's hash known.
  APMPResult callByName(const APMPNameKey& command, const APMPValueList& arguments, const APMPScopeRef& scope) const;
};

class APMPCommandRegistrar {
 public:
  // Made on first use with the seven families registered in order: bitwise,
  // comparison, control, logical, loop, math, variable.
  static APMPCommandRegistrar& sharedInstance();

  // Maps every command of the family to it; a later registration of an
  // opcode replaces an earlier one. The evaluator must live as long as the
  // process. Statements made earlier keep the evaluator they found. Not
  // locked: register before programs run on other threads.
  void registerEvaluator(const APMPCommandEvaluator& evaluator);
  // The evaluator owning the opcode, else the function evaluator.
  const APMPCommandEvaluator& evaluatorForCommand(std::u16string_view command) const;
  // One of the seven families made with the registrar.
  bool isBuiltInFamily(const APMPCommandEvaluator& evaluator) const;
  // Counts one instruction, then: a statement goes to its evaluator, any
  // other value is returned unchanged.
  APMPResult evaluateStatement(const APMPValueRef& value, const APMPScopeRef& scope) const;

 private:
  APMPCommandRegistrar();
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::u16string_view s) const { return std::hash<std::u16string_view>()(s); }
  };
  std::unordered_map<std::u16string, const APMPCommandEvaluator*, Hash, std::equal_to<>> commandEvaluators_;
  APMPFunctionEvaluator functionEvaluator_;
  std::vector<std::unique_ptr<APMPCommandEvaluator>> families_;
};

// The registrar's evaluateStatement, with literals counted and returned
// inline: the most frequent entry of all.
inline APMPResult APMPEvaluateEntry(const APMPValueRef& value, const APMPScopeRef& scope) {
  if (value->kind() != APMPRuntimeValue::Kind::Statement) {
    APMPExecutionState& state = scope->executionState();
    if (state.instructionCount >= kAPMPInstructionBudget) return APMPFail(APMPRovavError::BudgetExhausted);
    state.instructionCount += 1;
    return value;
  }
  return APMPCommandRegistrar::sharedInstance().evaluateStatement(value, scope);
}

namespace apmp::detail {
os::Status chargeInstructions(const APMPScopeRef& scope, size_t units);
}  // namespace apmp::detail

// Charges bulk work (slots or code units copied, scanned or built; names
// bound) to the scope chain's instruction budget: one instruction per
// kAPMPBulkUnitsPerInstruction units, rounded down. rovav 18 when the budget
// cannot pay; the budget is then spent.
inline os::Status APMPChargeBulkWork(const APMPScopeRef& scope, size_t units) {
  if (units < kAPMPBulkUnitsPerInstruction) return {};
  return apmp::detail::chargeInstructions(scope, units);
}

// Runs a statement's work one level deeper than the current one, then pays
// the bulk work that work caused (work pending from before belongs to the
// caller). Every statement evaluation pays its bulk work here.
template <class Work>
auto APMPRunStatementWork(const APMPScopeRef& scope, Work work) -> decltype(work()) {
  APMPExecutionState& state = scope->executionState();
  size_t& bulk = apmp::detail::pendingBulkWork();
  const size_t pending = std::exchange(bulk, 0);
  ++state.depth;
  auto result = work();
  --state.depth;
  const size_t units = std::exchange(bulk, pending);
  if (units < kAPMPBulkUnitsPerInstruction) return result;
  if (auto paid = APMPChargeBulkWork(scope, units); !paid && result) return std::unexpected(paid.error());
  return result;
}

// Evaluates a statement whose work the caller does in place of its
// evaluator: counts it and checks the depth cap as evaluateStatement does,
// then runs work as APMPRunStatementWork.
template <class Work>
auto APMPEvaluateInPlace(const APMPScopeRef& scope, Work work) -> decltype(work()) {
  APMPExecutionState& state = scope->executionState();
  if (state.instructionCount >= kAPMPInstructionBudget) return APMPFail(APMPRovavError::BudgetExhausted);
  state.instructionCount += 1;
  if (state.depth >= kAPMPMaxEvaluationDepth) return APMPFail(APMPRovavError::BudgetExhausted);
  return APMPRunStatementWork(scope, work);
}

class APMPEvaluator {
 public:
  // As the registrar's evaluateStatement; a literal is counted here.
  static APMPResult evaluateStatement(const APMPValueRef& value, const APMPScopeRef& scope) {
    return APMPEvaluateEntry(value, scope);
  }
  // A statement list (function bodies, blocks): each value in order; stops
  // at the first error, or at the first control value, which is the result;
  // otherwise the last value (undefined for an empty list).
  static APMPResult executeStatements(APMPArguments statements, const APMPScopeRef& scope);
};

// Charges one instruction per slot, item, scope or binding made in bulk: each
// is an allocation now and a release later, as dear as an evaluation. The
// count also goes toward kAPMPMaxTrackedSlots: past it, rovav 18 and the
// budget is spent.
os::Status APMPChargeSlots(const APMPScopeRef& scope, size_t count);

// ---- argument routines ----

// Evaluates each argument in order in the scope; stops at the first error.
os::Result<APMPValueList> APMPEvaluateArguments(APMPArguments arguments, const APMPScopeRef& scope);
// The same into values[0 .. arguments.size()).
os::Status APMPEvaluateArgumentsInto(APMPArguments arguments, APMPValueRef* values, const APMPScopeRef& scope);
// rovav 9 unless the list has exactly / at least / at most n entries.
os::Status APMPCheckExactArgumentCount(APMPArguments arguments, size_t n);
os::Status APMPCheckMinimumArgumentCount(APMPArguments arguments, size_t n);
os::Status APMPCheckMaximumArgumentCount(APMPArguments arguments, size_t n);
// A number or string value whose number form is finite, integral and not
// negative; never raises.
bool APMPIsArrayIndex(const APMPRuntimeValue& value);
// Array, function, map and string values.
bool APMPIsObjectLike(const APMPRuntimeValue& value);
