#include "measurement/script/commands/command_families.h"

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

// The evaluated arguments of one eager command, in a list taken from a
// per-thread pool and given back emptied, so a statement allocates no list
// of its own once the pool has warmed up.
class PooledArguments {
 public:
  PooledArguments() {
    if (!pool().empty()) {
      values_ = std::move(pool().back());
      pool().pop_back();
    }
  }
  ~PooledArguments() {
    values_.clear();
    if (pool().size() < kKept) pool().push_back(std::move(values_));
  }
  PooledArguments(const PooledArguments&) = delete;
  PooledArguments& operator=(const PooledArguments&) = delete;
  APMPValueList& values() { return values_; }

 private:
  // Lists kept: enough for the evaluations nested in one another.
  static constexpr size_t kKept = 64;
  static std::vector<APMPValueList>& pool() {
    thread_local std::vector<APMPValueList> lists;
    return lists;
  }
  APMPValueList values_;
};

}  // namespace

APMPResult APMPCommandFamily::evaluateCommand(std::u16string_view command, const APMPValueList& arguments,
                                              const APMPScopeRef& scope) const {
  auto it = handlers_.find(command);
  if (it == handlers_.end()) return APMPUndefinedValue::sharedInstance();
  return evaluateRow(it->second, arguments, scope);
}

const void* APMPCommandFamily::resolveCommand(std::u16string_view command) const {
  auto it = handlers_.find(command);
  return it == handlers_.end() ? nullptr : &it->second;
}

APMPResult APMPCommandFamily::evaluateResolved(const void* resolved, std::u16string_view command,
                                               const APMPValueList& arguments, const APMPScopeRef& scope) const {
  if (resolved == nullptr) return evaluateCommand(command, arguments, scope);
  return evaluateRow(*static_cast<const APMPOpcode*>(resolved), arguments, scope);
}

APMPResult APMPCommandFamily::evaluateRow(const APMPOpcode& row, const APMPValueList& arguments,
                                          const APMPScopeRef& scope) const {
  if (mode_ == APMPArgumentMode::Lazy) {
    if (auto status = row.arity.check(arguments.size()); !status) return std::unexpected(status.error());
    if (row.handler == nullptr) return APMPUndefinedValue::sharedInstance();
    return row.handler(arguments, scope);
  }
  if (mode_ == APMPArgumentMode::CountedEager) {
    if (auto status = row.arity.check(arguments.size()); !status) return std::unexpected(status.error());
  }
  PooledArguments pooled;
  APMPValueList& values = pooled.values();
  values.reserve(arguments.size());
  for (const auto& argument : arguments) {
    APMPResult value = APMPEvaluator::evaluateStatement(argument, scope);
    if (!value) return value;
    values.push_back(std::move(*value));
  }
  if (auto status = row.arity.check(values.size()); !status) return std::unexpected(status.error());
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
