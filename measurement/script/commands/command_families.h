// The seven command families and the opcode table they are built from.
//
// Design note.
// 1. Every opcode in use ("0" to "66" except "11", "14", "31", "48", "49")
//    has one row in kAPMPOpcodeTable (opcode_table.cpp): its family, the
//    argument counts it accepts, and its handler. Each family takes its rows
//    once, at construction; the table is read-only.
// 2. A family's argument mode decides evaluation order and what runs before
//    a count error (rovav 9):
//    - eager (bitwise, math, variable): every argument is evaluated in order
//      (stopping at the first error); then the count is checked; then the
//      handler receives the values;
//    - counted eager (comparison): the count is checked first, nothing
//      evaluated on failure; then as eager;
//    - lazy (control, logical, loop): the count is checked first; the handler
//      receives the argument entries as they stand and evaluates them itself
//      (APMPEvaluator::evaluateStatement), when and as often as it needs.
//    Handlers therefore never check their own counts.
// 3. A handler takes the argument list and the scope and returns a value or
//    the first error; it holds no state of its own. A row whose handler is
//    null is routed and counted like the others and yields undefined.
// 4. Adding a command: write its handler as a free function of type
//    APMPCommandHandler (one source file per family), declare it in a header
//    that opcode_table.cpp includes, and name it in its row. Handlers build
//    on the argument routines and number forms of the runtime (evaluator.h,
//    number_forms.h), make containers through APMPObjectManager, make
//    strings longer than their inputs through APMPMakeString/APMPConcatenate
//    so the string cap holds, and pay bulk work to the budget with
//    APMPChargeBulkWork / APMPChargeSlots (command_handlers.h says which).
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "measurement/script/runtime/evaluator.h"
#include "measurement/script/runtime/values.h"

// The argument counts a command or method accepts.
struct APMPArity {
  static constexpr uint32_t kUnbounded = std::numeric_limits<uint32_t>::max();
  uint32_t minimum = 0;
  uint32_t maximum = kUnbounded;
  bool even = false;

  static constexpr APMPArity exactly(uint32_t n) { return {n, n, false}; }
  static constexpr APMPArity atLeast(uint32_t n) { return {n, kUnbounded, false}; }
  static constexpr APMPArity atMost(uint32_t n) { return {0, n, false}; }
  static constexpr APMPArity between(uint32_t low, uint32_t high) { return {low, high, false}; }
  static constexpr APMPArity any() { return {0, kUnbounded, false}; }
  static constexpr APMPArity evenCount() { return {0, kUnbounded, true}; }

  bool accepts(size_t count) const {
    return count >= minimum && count <= maximum && (!even || count % 2 == 0);
  }
  // rovav 9 unless the count is accepted.
  os::Status check(size_t count) const;
};

enum class APMPCommandFamilyID : uint8_t { Bitwise, Comparison, Control, Logical, Loop, Math, Variable };

enum class APMPArgumentMode : uint8_t { Eager, CountedEager, Lazy };

// Eager families receive evaluated values, lazy ones the unevaluated entries.
using APMPCommandHandler = APMPResult (*)(APMPArguments arguments, const APMPScopeRef& scope);

struct APMPOpcode {
  std::u16string_view opcode;
  APMPCommandFamilyID family;
  APMPArity arity;
  APMPCommandHandler handler;
};

// Every opcode in use, in opcode order.
std::span<const APMPOpcode> APMPOpcodeTable();

// The argument mode of each of the seven families (design note, 2).
constexpr APMPArgumentMode APMPArgumentModeOf(APMPCommandFamilyID family) {
  switch (family) {
    case APMPCommandFamilyID::Comparison:
      return APMPArgumentMode::CountedEager;
    case APMPCommandFamilyID::Control:
    case APMPCommandFamilyID::Logical:
    case APMPCommandFamilyID::Loop:
      return APMPArgumentMode::Lazy;
    default:
      return APMPArgumentMode::Eager;
  }
}

// Runs a table row on a statement's unevaluated arguments in the given
// argument mode: what a family's evaluateResolved does for the row.
APMPResult APMPEvaluateOpcodeRow(APMPArgumentMode mode, const APMPOpcode& row, APMPArguments arguments,
                                 const APMPScopeRef& scope);

// A command family: the rows of one family and its argument mode.
class APMPCommandFamily : public APMPCommandEvaluator {
 public:
  APMPCommandFamily(APMPArgumentMode mode, std::span<const APMPOpcode> rows);
  // An opcode without a row yields undefined and no error.
  APMPResult evaluateCommand(std::u16string_view command, const APMPValueList& arguments,
                             const APMPScopeRef& scope) const override;
  std::vector<std::u16string> allSupportedCommands() const override;
  // The opcode's row (it lives as long as the family), or null.
  const void* resolveCommand(std::u16string_view command) const override;
  APMPResult evaluateResolved(const void* resolved, std::u16string_view command, const APMPValueList& arguments,
                              const APMPScopeRef& scope) const override;
  const APMPOpcode* rowOf(const void* resolved) const override { return static_cast<const APMPOpcode*>(resolved); }
  APMPArgumentMode mode() const { return mode_; }

 protected:
  // The rows of the table that belong to the family.
  static std::vector<APMPOpcode> rowsOf(APMPCommandFamilyID family);

 private:
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::u16string_view s) const { return std::hash<std::u16string_view>()(s); }
  };
  APMPArgumentMode mode_;
  std::unordered_map<std::u16string, APMPOpcode, Hash, std::equal_to<>> handlers_;
};

class APMPBitwiseCommandEvaluator final : public APMPCommandFamily {
 public:
  APMPBitwiseCommandEvaluator();
};
class APMPComparisonCommandEvaluator final : public APMPCommandFamily {
 public:
  APMPComparisonCommandEvaluator();
};
class APMPControlCommandEvaluator final : public APMPCommandFamily {
 public:
  APMPControlCommandEvaluator();
};
class APMPLogicalCommandEvaluator final : public APMPCommandFamily {
 public:
  APMPLogicalCommandEvaluator();
};
class APMPLoopCommandEvaluator final : public APMPCommandFamily {
 public:
  APMPLoopCommandEvaluator();
};
class APMPMathCommandEvaluator final : public APMPCommandFamily {
 public:
  APMPMathCommandEvaluator();
};
class APMPVariableCommandEvaluator final : public APMPCommandFamily {
 public:
  APMPVariableCommandEvaluator();
};
