#include "measurement/script/runtime/values.h"

#include <array>
#include <cmath>
#include <typeinfo>
#include <utility>

#include "measurement/script/commands/command_families.h"
#include "measurement/script/commands/command_handlers.h"
#include "measurement/script/commands/fused_statements.h"
#include "measurement/script/commands/method_evaluators.h"
#include "measurement/script/runtime/evaluator.h"
#include "measurement/script/runtime/limits.h"
#include "measurement/script/runtime/number_forms.h"
#include "measurement/script/runtime/object_manager.h"
#include "measurement/script/runtime/scope.h"

namespace apmp::detail {
namespace {
thread_local std::vector<std::shared_ptr<void>>* gReleaseQueue = nullptr;
thread_local int gValueNesting = 0;

// Drops the queued references one by one; destructors that run meanwhile
// append what they give up to the same queue instead of recursing.
void drain(std::vector<std::shared_ptr<void>>& queue) {
  gReleaseQueue = &queue;
  while (!queue.empty()) {
    // Taken out before it is dropped: its destructor may append to the queue.
    std::shared_ptr<void> next = std::move(queue.back());
    queue.pop_back();
    next.reset();
  }
  gReleaseQueue = nullptr;
}

}  // namespace

void releaseLater(std::shared_ptr<void> reference) {
  if (!reference) return;
  // Not the last reference: dropping it runs no destructor.
  if (reference.use_count() > 1) {
    reference.reset();
    return;
  }
  if (gReleaseQueue != nullptr) {
    gReleaseQueue->push_back(std::move(reference));
    return;
  }
  std::vector<std::shared_ptr<void>> queue;
  queue.push_back(std::move(reference));
  drain(queue);
}

void releaseAllLater(APMPValueList& values) {
  if (values.empty()) return;
  // What cannot recurse is dropped in place: a reference that is not the
  // last, and a value that holds no other values.
  size_t queued = 0;
  for (auto& value : values) {
    if (!value) continue;
    switch (value->kind()) {
      case APMPRuntimeValue::Kind::Undefined:
      case APMPRuntimeValue::Kind::Null:
      case APMPRuntimeValue::Kind::Boolean:
      case APMPRuntimeValue::Kind::Number:
      case APMPRuntimeValue::Kind::String:
        value.reset();
        continue;
      default:
        break;
    }
    if (value.use_count() > 1) {
      value.reset();
      continue;
    }
    ++queued;
  }
  if (queued == 0) {
    values.clear();
    return;
  }
  std::vector<std::shared_ptr<void>> local;
  std::vector<std::shared_ptr<void>>& queue = gReleaseQueue != nullptr ? *gReleaseQueue : local;
  for (auto& value : values) {
    if (value) queue.push_back(std::move(value));
  }
  values.clear();
  if (&queue == &local) drain(local);
}

void addBulkWork(size_t units) { gPendingBulkWork += units; }
size_t takeBulkWork() { return std::exchange(gPendingBulkWork, 0); }

NestingGuard::NestingGuard() : ok_(++gValueNesting <= kAPMPMaxValueNesting) {}
NestingGuard::~NestingGuard() { --gValueNesting; }

}  // namespace apmp::detail

using apmp::detail::NestingGuard;

// ---- base ----

APMPRuntimeValue::~APMPRuntimeValue() = default;

os::Result<std::u16string> APMPRuntimeValue::stringValueOrError() const {
  return APMPFail(APMPRovavError::NoStringForm);
}
os::Result<double> APMPRuntimeValue::doubleValueOrError() const { return APMPFail(APMPRovavError::NoNumberForm); }
os::Result<bool> APMPRuntimeValue::booleanValueOrError() const { return APMPFail(APMPRovavError::NoBooleanForm); }

APMPResult APMPRuntimeValue::applyWithName(std::u16string_view name, const APMPValueList&, const APMPScopeRef&) {
  if (name != u"toString") return APMPFail(APMPRovavError::UnknownMethod);
  auto text = stringValueOrError();
  if (!text) return std::unexpected(text.error());
  return APMPStringValue::make(std::move(*text));
}

bool APMPRuntimeValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const { return this == &other; }
void APMPRuntimeValue::mark(APMPMarker&) {}
void APMPRuntimeValue::sweep() {}
void APMPRuntimeValue::dropContents() {}

const APMPValueRef& APMPHoleValue() {
  static const APMPValueRef hole = std::make_shared<APMPRuntimeValue>();
  return hole;
}

// ---- undefined and null ----

const APMPValueRef& APMPUndefinedValue::sharedInstance() {
  static const APMPValueRef instance = std::make_shared<APMPUndefinedValue>();
  return instance;
}
os::Result<std::u16string> APMPUndefinedValue::stringValueOrError() const { return u"undefined"; }
os::Result<double> APMPUndefinedValue::doubleValueOrError() const { return std::nan(""); }
os::Result<bool> APMPUndefinedValue::booleanValueOrError() const { return false; }
APMPResult APMPUndefinedValue::applyWithName(std::u16string_view, const APMPValueList&, const APMPScopeRef&) {
  return APMPFail(APMPRovavError::MethodOfNothing);
}
bool APMPUndefinedValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
  return other.kind() == Kind::Undefined;
}

const APMPValueRef& APMPNullValue::sharedInstance() {
  static const APMPValueRef instance = std::make_shared<APMPNullValue>();
  return instance;
}
os::Result<std::u16string> APMPNullValue::stringValueOrError() const { return u"null"; }
os::Result<double> APMPNullValue::doubleValueOrError() const { return 0.0; }
os::Result<bool> APMPNullValue::booleanValueOrError() const { return false; }
APMPResult APMPNullValue::applyWithName(std::u16string_view, const APMPValueList&, const APMPScopeRef&) {
  return APMPFail(APMPRovavError::MethodOfNothing);
}
bool APMPNullValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const { return other.kind() == Kind::Null; }

// ---- Booleans, numbers, strings ----

const APMPValueRef& APMPBooleanValue::booleanValueWithBool(bool value) {
  static const APMPValueRef yes = std::make_shared<APMPBooleanValue>(true);
  static const APMPValueRef no = std::make_shared<APMPBooleanValue>(false);
  return value ? yes : no;
}
os::Result<std::u16string> APMPBooleanValue::stringValueOrError() const {
  return std::u16string(value_ ? u"true" : u"false");
}
os::Result<double> APMPBooleanValue::doubleValueOrError() const { return value_ ? 1.0 : 0.0; }
os::Result<bool> APMPBooleanValue::booleanValueOrError() const { return value_; }
bool APMPBooleanValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
  return other.kind() == Kind::Boolean && static_cast<const APMPBooleanValue&>(other).value_ == value_;
}

os::Result<std::u16string> APMPNumberValue::stringValueOrError() const { return APMPNumberToString(value_); }
os::Result<double> APMPNumberValue::doubleValueOrError() const { return value_; }
os::Result<bool> APMPNumberValue::booleanValueOrError() const { return !(value_ == 0 || std::isnan(value_)); }
const APMPValueRef& APMPNumberValue::sharedInteger(int value) {
  static const std::vector<APMPValueRef>* instances = [] {
    auto* made = new std::vector<APMPValueRef>();  // lives as long as the process
    made->reserve(kSharedIntegers);
    for (int i = 0; i < kSharedIntegers; ++i) made->push_back(std::make_shared<APMPNumberValue>(i));
    return made;
  }();
  return (*instances)[static_cast<size_t>(value)];
}

bool APMPNumberValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
  if (other.kind() != Kind::Number) return false;
  double theirs = static_cast<const APMPNumberValue&>(other).value_;
  return theirs == value_ || (std::isnan(theirs) && std::isnan(value_));
}

os::Result<std::u16string> APMPStringValue::stringValueOrError() const { return value_; }
os::Result<double> APMPStringValue::doubleValueOrError() const { return APMPParseNumber(value_); }
os::Result<bool> APMPStringValue::booleanValueOrError() const { return !value_.empty(); }
APMPResult APMPStringValue::applyWithName(std::u16string_view name, const APMPValueList& arguments,
                                          const APMPScopeRef& scope) {
  return APMPStringCommandEvaluator::sharedInstance().evaluateCommand(name, value_, arguments, scope);
}
bool APMPStringValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
  return other.kind() == Kind::String && static_cast<const APMPStringValue&>(other).value_ == value_;
}

// ---- containers ----

void APMPContainerValue::sweep() {
  if (marked_) {
    marked_ = false;
  } else {
    dropContents();
  }
}

APMPResult APMPPropertyHolderValue::applyWithName(std::u16string_view name, const APMPValueList& arguments,
                                                  const APMPScopeRef& scope) {
  if (const APMPValueRef* found = propertyMap_.find(name)) {
    APMPValueRef property = *found;  // the call may replace the property
    if (property->kind() != Kind::Function) return APMPFail(APMPRovavError::UnknownMethod);
    return static_cast<APMPFunctionValue&>(*property).invokeWithArguments(arguments, scope);
  }
  if (name == u"hasOwnProperty") {
    auto values = APMPEvaluateArguments(arguments, scope);
    if (!values) return std::unexpected(values.error());
    if (values->size() != 1) return APMPFail(APMPRovavError::ArgumentCount);
    auto key = values->front()->stringValueOrError();
    if (!key) return std::unexpected(key.error());
    return APMPBooleanValue::booleanValueWithBool(propertyMap_.hasName(*key));
  }
  return APMPRuntimeValue::applyWithName(name, arguments, scope);
}

void APMPPropertyHolderValue::dropContents() {
  propertyMap_.clear();
  clearMark();
}

os::Result<std::u16string> APMPMapValue::stringValueOrError() const { return u"[object Object]"; }
os::Result<double> APMPMapValue::doubleValueOrError() const { return std::nan(""); }
os::Result<bool> APMPMapValue::booleanValueOrError() const { return true; }

bool APMPMapValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
  if (this == &other) return true;
  if (other.kind() != Kind::Map) return false;
  const auto& theirs = static_cast<const APMPMapValue&>(other).propertyMap_;
  if (theirs.count() != propertyMap_.count()) return false;
  NestingGuard guard;
  if (!guard.ok()) return false;
  for (const std::u16string& name : propertyMap_.allNames()) {
    const APMPValueRef* value = theirs.find(name);
    if (value == nullptr || !propertyMap_.valueForName(name)->isEqualToRuntimeValue(**value)) return false;
  }
  return true;
}

void APMPMapValue::mark(APMPMarker& marker) {
  if (!setMarked()) return;
  marker.didMark(*this);
  propertyMap_.forEachValue([&](const APMPValueRef& value) { marker.markValue(value); });
}

// ---- functions ----

namespace {
std::vector<size_t> hashesOf(const std::vector<std::u16string>& names) {
  std::vector<size_t> hashes;
  hashes.reserve(names.size());
  for (const auto& name : names) hashes.push_back(std::hash<std::u16string_view>()(name));
  return hashes;
}
}  // namespace

APMPFunctionValue::APMPFunctionValue(std::u16string functionName, std::vector<std::u16string> parameterNames,
                                     APMPValueList statements, APMPScopeRef definingScope)
    : APMPPropertyHolderValue(Kind::Function),
      functionName_(std::move(functionName)),
      parameters_(std::move(parameterNames)),
      parameterHashes_(hashesOf(parameters_)),
      statements_(std::move(statements)),
      definingScope_(std::move(definingScope)) {}

APMPFunctionValue::~APMPFunctionValue() {
  apmp::detail::releaseAllLater(statements_);
  apmp::detail::releaseLater(std::move(definingScope_));
}

namespace {

// Evaluates the arguments in order in the scope (stopping at the first error)
// and hands them to run; the usual few are evaluated onto the stack.
template <class Run>
APMPResult withEvaluatedArguments(const APMPValueList& arguments, const APMPScopeRef& scope, Run run) {
  constexpr size_t kInline = 4;
  if (arguments.size() > kInline) {
    auto values = APMPEvaluateArguments(arguments, scope);
    if (!values) return std::unexpected(values.error());
    return run(APMPArguments(*values));
  }
  std::array<APMPValueRef, kInline> values;
  if (auto status = APMPEvaluateArgumentsInto(arguments, values.data(), scope); !status) {
    return std::unexpected(std::move(status.error()));
  }
  return run(APMPArguments(values.data(), arguments.size()));
}

// The statement as a return with the opcode table's own handler, else null.
const APMPStatementValue* plainReturnOf(const APMPValueRef& statement) {
  if (statement->kind() != APMPRuntimeValue::Kind::Statement) return nullptr;
  const auto& candidate = static_cast<const APMPStatementValue&>(*statement);
  const APMPOpcode* row = candidate.builtInRow();
  return row != nullptr && row->handler == &APMPControlReturn ? &candidate : nullptr;
}

}  // namespace

APMPResult APMPFunctionValue::invokeWithArguments(const APMPValueList& arguments, const APMPScopeRef& scope) {
  return withEvaluatedArguments(arguments, scope,
                                [&](APMPArguments values) { return invokeWithEvaluatedArguments(values); });
}

APMPResult APMPFunctionValue::invokeHeld(const APMPValueList& arguments, const APMPScopeRef& scope) {
  // Natives replace invokeWithArguments; only this class runs a script body.
  if (typeid(*this) != typeid(APMPFunctionValue)) return invokeWithArguments(arguments, scope);
  return withEvaluatedArguments(arguments, scope, [&](APMPArguments values) { return runBody(values); });
}

APMPResult APMPFunctionValue::invokeWithEvaluatedArguments(APMPArguments arguments) {
  auto self = shared_from_this();  // alive for the whole call, whatever the body rebinds
  return runBody(arguments);
}

APMPResult APMPFunctionValue::runBody(APMPArguments arguments) {
  // A function emptied by the collector runs with nothing around it.
  APMPScopeRef scope = definingScope_ ? APMPScope::childOf(definingScope_) : APMPScope::initWithParentScope(nullptr);
  struct Recycle {
    APMPScopeRef& scope;
    ~Recycle() { APMPScope::recycle(std::move(scope)); }
  } recycle{scope};
  // Binding the parameters is work of its own: a call to a function with
  // thousands of them pays for it.
  if (auto status = APMPChargeSlots(scope, parameters_.size()); !status) return std::unexpected(status.error());
  for (size_t i = 0; i < parameters_.size(); ++i) {
    scope->addValue(i < arguments.size() ? arguments[i] : APMPUndefinedValue::sharedInstance(),
                    APMPNameKey(parameters_[i], parameterHashes_[i]));
  }
  // The body runs as a statement list (APMPEvaluator::executeStatements)
  // whose return yields its data.
  APMPValueRef last = APMPUndefinedValue::sharedInstance();
  for (const APMPValueRef& statement : statements_) {
    if (const APMPStatementValue* plain = plainReturnOf(statement)) {
      // Counted, capped and paid as the registrar would run it, with its
      // data handed back directly instead of in a return value.
      return APMPEvaluateInPlace(scope, [&]() -> APMPResult {
        const APMPValueList& entries = plain->arguments();
        if (!plain->builtInRow()->arity.accepts(entries.size())) return APMPFail(APMPRovavError::ArgumentCount);
        if (entries.empty()) return APMPUndefinedValue::sharedInstance();
        return APMPEvaluator::evaluateStatement(entries[0], scope);
      });
    }
    APMPResult value = APMPEvaluator::evaluateStatement(statement, scope);
    if (!value) return value;
    if ((*value)->kind() == Kind::Control) {
      const auto& control = static_cast<const APMPControlValue&>(**value);
      if (control.type() == APMPControlValue::Type::Return) return APMPControlValue::takeReturnData(*value);
      return value;
    }
    last = std::move(*value);
  }
  return last;
}

os::Result<std::u16string> APMPFunctionValue::stringValueOrError() const { return functionName_; }
os::Result<double> APMPFunctionValue::doubleValueOrError() const { return std::nan(""); }
os::Result<bool> APMPFunctionValue::booleanValueOrError() const { return true; }

bool APMPFunctionValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
  if (this == &other) return true;
  return other.kind() == Kind::Function && !functionName_.empty() &&
         static_cast<const APMPFunctionValue&>(other).functionName_ == functionName_;
}

void APMPFunctionValue::mark(APMPMarker& marker) {
  if (!setMarked()) return;
  marker.didMark(*this);
  propertyMap_.forEachValue([&](const APMPValueRef& value) { marker.markValue(value); });
  for (const auto& statement : statements_) marker.markValue(statement);
  marker.markScope(definingScope_.get());
}

void APMPFunctionValue::dropContents() {
  APMPPropertyHolderValue::dropContents();
  apmp::detail::releaseAllLater(statements_);
  apmp::detail::releaseLater(std::move(definingScope_));
  definingScope_.reset();
}

// ---- control values ----

APMPControlValue::APMPControlValue(Type type, APMPValueRef data)
    : APMPRuntimeValue(Kind::Control), type_(type), data_(std::move(data)) {
  if (!data_) data_ = APMPUndefinedValue::sharedInstance();
}

const APMPValueRef& APMPControlValue::breakValue() {
  static const APMPValueRef instance = std::make_shared<APMPControlValue>(Type::Break, nullptr);
  return instance;
}
const APMPValueRef& APMPControlValue::continueValue() {
  static const APMPValueRef instance = std::make_shared<APMPControlValue>(Type::Continue, nullptr);
  return instance;
}
namespace {
// The thread's reusable return value (returnValueWithData).
thread_local APMPValueRef gReturnCarrier;
}  // namespace

APMPValueRef APMPControlValue::returnValueWithData(APMPValueRef data) {
  if (gReturnCarrier && gReturnCarrier.use_count() == 1) {
    // Its data was taken (null), or is what a caller read and let go.
    auto& carrier = static_cast<APMPControlValue&>(*gReturnCarrier);
    if (!data) data = APMPUndefinedValue::sharedInstance();
    APMPValueRef previous = std::exchange(carrier.data_, std::move(data));
    if (previous) apmp::detail::releaseValueLater(std::move(previous));
    return gReturnCarrier;
  }
  // Held elsewhere (a return value kept, or one still on its way out): a
  // new one, which is the one reused from now on.
  gReturnCarrier = std::allocate_shared<APMPControlValue>(apmp::detail::CachingAllocator<APMPControlValue>(),
                                                          Type::Return, std::move(data));
  return gReturnCarrier;
}

APMPValueRef APMPControlValue::takeReturnData(const APMPValueRef& returnValue) {
  auto& control = static_cast<APMPControlValue&>(*returnValue);
  if (returnValue == gReturnCarrier && returnValue.use_count() == 2) {
    // Left null: only the reuse slot can reach it, and reuse sets it first.
    return std::move(control.data_);
  }
  return control.data_;
}

std::u16string_view APMPControlValue::typeName() const {
  switch (type_) {
    case Type::Break:
      return u"break";
    case Type::Continue:
      return u"continue";
    case Type::Return:
      break;
  }
  return u"return";
}

bool APMPControlValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
  if (this == &other) return true;
  if (other.kind() != Kind::Control) return false;
  const auto& theirs = static_cast<const APMPControlValue&>(other);
  if (theirs.type_ != type_) return false;
  NestingGuard guard;
  return guard.ok() && data_->isEqualToRuntimeValue(*theirs.data_);
}

void APMPControlValue::mark(APMPMarker& marker) { marker.markValue(data_); }

// ---- statements ----

APMPStatementValue::APMPStatementValue(std::u16string functionName, APMPValueList arguments)
    : APMPRuntimeValue(Kind::Statement),
      functionName_(std::move(functionName)),
      functionNameHash_(std::hash<std::u16string_view>()(functionName_)),
      arguments_(std::move(arguments)),
      evaluator_(&APMPCommandRegistrar::sharedInstance().evaluatorForCommand(functionName_)),
      resolved_(evaluator_->resolveCommand(functionName_)),
      row_(evaluator_->rowOf(resolved_)),
      builtInRow_(APMPCommandRegistrar::sharedInstance().isBuiltInFamily(*evaluator_) ? row_ : nullptr),
      fused_(APMPFuseStatement(builtInRow_, arguments_)) {}

bool APMPStatementValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
  if (this == &other) return true;
  if (other.kind() != Kind::Statement) return false;
  const auto& theirs = static_cast<const APMPStatementValue&>(other);
  if (theirs.functionName_ != functionName_ || theirs.arguments_.size() != arguments_.size()) return false;
  NestingGuard guard;
  if (!guard.ok()) return false;
  for (size_t i = 0; i < arguments_.size(); ++i) {
    if (!arguments_[i]->isEqualToRuntimeValue(*theirs.arguments_[i])) return false;
  }
  return true;
}

// ---- comparisons and strings ----

bool APMPIsStrictlyEqual(const APMPRuntimeValue& a, const APMPRuntimeValue& b) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case APMPRuntimeValue::Kind::Number:
      return static_cast<const APMPNumberValue&>(a).value() == static_cast<const APMPNumberValue&>(b).value();
    case APMPRuntimeValue::Kind::Boolean:
      return static_cast<const APMPBooleanValue&>(a).value() == static_cast<const APMPBooleanValue&>(b).value();
    case APMPRuntimeValue::Kind::String:
      return static_cast<const APMPStringValue&>(a).value() == static_cast<const APMPStringValue&>(b).value();
    default:
      return &a == &b;
  }
}

os::Result<bool> APMPIsStringEqual(const APMPRuntimeValue& a, const APMPRuntimeValue& b) {
  auto left = a.stringValueOrError();
  if (!left) return std::unexpected(left.error());
  auto right = b.stringValueOrError();
  if (!right) return std::unexpected(right.error());
  return *left == *right;
}

os::Result<bool> APMPIsNumberEqual(const APMPRuntimeValue& a, const APMPRuntimeValue& b) {
  auto left = a.doubleValueOrError();
  if (!left) return std::unexpected(left.error());
  auto right = b.doubleValueOrError();
  if (!right) return std::unexpected(right.error());
  return *left == *right;
}

APMPResult APMPMakeString(std::u16string text) {
  if (text.size() > kAPMPMaxStringLength) return APMPFail(APMPRovavError::BudgetExhausted);
  return APMPStringValue::make(std::move(text));
}

os::Result<std::u16string> APMPConcatenate(std::u16string_view a, std::u16string_view b) {
  if (a.size() + b.size() > kAPMPMaxStringLength) return APMPFail(APMPRovavError::BudgetExhausted);
  std::u16string text;
  text.reserve(a.size() + b.size());
  text.append(a).append(b);
  return text;
}
