#include "measurement/script/commands/command_families.h"

#include <array>

#include "measurement/script/commands/command_handlers.h"
#include "measurement/script/commands/fused_statements.h"

os::Status APMPArity::check(size_t count) const {
  if (!accepts(count)) return APMPFail(APMPRovavError::ArgumentCount);
  return {};
}

APMPCommandFamily::APMPCommandFamily(APMPArgumentMode mode, std::span<const APMPOpcode> rows) : mode_(mode) {
  for (const APMPOpcode& row : rows) handlers_.insert_or_assign(std::u16string(row.opcode), row);
}

std::vector<APMPOpcode> APMPCommandFamily::rowsOf(APMPCommandFamilyID family) {
  std::vector<APMPOpcode> rows;
  for (const APMPOpcode& row : APMPOpcodeTable()) {
    if (row.family == family) rows.push_back(row);
  }
  return rows;
}

namespace {

// Evaluated arguments of an eager command held on the stack up to this
// count; longer lists (array and map literals) go to the heap.
constexpr size_t kInlineArguments = 4;


}  // namespace

APMPResult APMPCommandFamily::evaluateCommand(std::u16string_view command, const APMPValueList& arguments,
                                              const APMPScopeRef& scope) const {
  auto it = handlers_.find(command);
  if (it == handlers_.end()) return APMPUndefinedValue::sharedInstance();
  return APMPEvaluateOpcodeRow(mode_, it->second, arguments, scope);
}

const void* APMPCommandFamily::resolveCommand(std::u16string_view command) const {
  auto it = handlers_.find(command);
  return it == handlers_.end() ? nullptr : &it->second;
}

APMPResult APMPCommandFamily::evaluateResolved(const void* resolved, std::u16string_view command,
                                               const APMPValueList& arguments, const APMPScopeRef& scope) const {
  if (resolved == nullptr) return evaluateCommand(command, arguments, scope);
  return APMPEvaluateOpcodeRow(mode_, *static_cast<const APMPOpcode*>(resolved), arguments, scope);
}

APMPResult APMPEvaluateOpcodeRow(APMPArgumentMode mode, const APMPOpcode& row, APMPArguments arguments,
                                 const APMPScopeRef& scope) {
  if (mode == APMPArgumentMode::Lazy) {
    if (!row.arity.accepts(arguments.size())) return APMPFail(APMPRovavError::ArgumentCount);
    if (row.handler == nullptr) return APMPUndefinedValue::sharedInstance();
    return row.handler(arguments, scope);
  }
  if (mode == APMPArgumentMode::CountedEager) {
    if (!row.arity.accepts(arguments.size())) return APMPFail(APMPRovavError::ArgumentCount);
  }
  const size_t count = arguments.size();
  if (count == 2) {
    std::array<APMPValueRef, 2> values;
    if (auto status = APMPEvaluateArgumentsInto(arguments, values.data(), scope); !status) {
      return std::unexpected(status.error());
    }
    if (!row.arity.accepts(count)) return APMPFail(APMPRovavError::ArgumentCount);
    if (row.handler == nullptr) return APMPUndefinedValue::sharedInstance();
    if (values[0]->kind() == APMPRuntimeValue::Kind::Number && values[1]->kind() == APMPRuntimeValue::Kind::Number) {
      const double a = static_cast<const APMPNumberValue&>(*values[0]).value();
      const double b = static_cast<const APMPNumberValue&>(*values[1]).value();
      if (APMPValueRef result = APMPNumericResult(row.handler, a, b)) return result;
    }
    return row.handler(values, scope);
  }
  if (count <= kInlineArguments) {
    std::array<APMPValueRef, kInlineArguments> values;
    if (auto status = APMPEvaluateArgumentsInto(arguments, values.data(), scope); !status) {
      return std::unexpected(status.error());
    }
    if (!row.arity.accepts(count)) return APMPFail(APMPRovavError::ArgumentCount);
    if (row.handler == nullptr) return APMPUndefinedValue::sharedInstance();
    return row.handler(APMPArguments(values.data(), count), scope);
  }
  APMPValueList values(count);
  if (auto status = APMPEvaluateArgumentsInto(arguments, values.data(), scope); !status) {
    return std::unexpected(status.error());
  }
  if (!row.arity.accepts(count)) return APMPFail(APMPRovavError::ArgumentCount);
  if (row.handler == nullptr) return APMPUndefinedValue::sharedInstance();
  return row.handler(values, scope);
}

std::vector<std::u16string> APMPCommandFamily::allSupportedCommands() const {
  std::vector<std::u16string> commands;
  commands.reserve(handlers_.size());
  for (const auto& [command, row] : handlers_) commands.push_back(command);
  return commands;
}

APMPBitwiseCommandEvaluator::APMPBitwiseCommandEvaluator()
    : APMPCommandFamily(APMPArgumentMode::Eager, rowsOf(APMPCommandFamilyID::Bitwise)) {}
APMPComparisonCommandEvaluator::APMPComparisonCommandEvaluator()
    : APMPCommandFamily(APMPArgumentMode::CountedEager, rowsOf(APMPCommandFamilyID::Comparison)) {}
APMPControlCommandEvaluator::APMPControlCommandEvaluator()
    : APMPCommandFamily(APMPArgumentMode::Lazy, rowsOf(APMPCommandFamilyID::Control)) {}
APMPLogicalCommandEvaluator::APMPLogicalCommandEvaluator()
    : APMPCommandFamily(APMPArgumentMode::Lazy, rowsOf(APMPCommandFamilyID::Logical)) {}
APMPLoopCommandEvaluator::APMPLoopCommandEvaluator()
    : APMPCommandFamily(APMPArgumentMode::Lazy, rowsOf(APMPCommandFamilyID::Loop)) {}
APMPMathCommandEvaluator::APMPMathCommandEvaluator()
    : APMPCommandFamily(APMPArgumentMode::Eager, rowsOf(APMPCommandFamilyID::Math)) {}
APMPVariableCommandEvaluator::APMPVariableCommandEvaluator()
    : APMPCommandFamily(APMPArgumentMode::Eager, rowsOf(APMPCommandFamilyID::Variable)) {}
