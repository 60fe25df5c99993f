// The loop family: for-in over keys and for-of over values in three binding
// modes, the counting for with a fresh scope per iteration, and while and
// do-while. Lazy: each handler evaluates its entries itself. Loops have no
// limit of their own: every iteration evaluates at least its condition or a
// binding paid to the budget, which ends any loop that runs too long.
#include <array>
#include <optional>

#include "measurement/script/commands/command_handlers.h"
#include "measurement/script/commands/command_support.h"
#include "measurement/script/commands/fused_statements.h"
#include "measurement/script/runtime/number_forms.h"
#include "measurement/script/runtime/scope.h"

namespace {

using apmp::commands::afterBody;
using apmp::commands::asArray;
using apmp::commands::condition;
using apmp::commands::evaluate;
using apmp::commands::Kind;
using apmp::commands::LoopStep;
using apmp::commands::runStatementArray;

// How a for-in or for-of binds each item.
enum class Binding {
  Assign,    // setValue in the current scope; the body runs there
  Constant,  // a constant in a new child scope; the body runs there
  Variable,  // a variable in a new child scope; the body runs there
};

// The items of a loop, taken once before the first iteration. A string's
// items are made one at a time from the string value (a long text does not
// become a list first).
class Items {
 public:
  static os::Result<Items> keys(const APMPValueRef& collection) {
    Items items;
    switch (collection->kind()) {
      case Kind::String:
        items.text_ = std::static_pointer_cast<const APMPStringValue>(collection);
        items.textKeys_ = true;
        break;
      case Kind::Array:
        items.list_ = static_cast<const APMPArrayValue&>(*collection).allPropertyNames();
        break;
      case Kind::Map:
      case Kind::Function:
        for (auto& name : static_cast<const APMPPropertyHolderValue&>(*collection).allPropertyNames()) {
          items.list_.push_back(APMPStringValue::make(std::move(name)));
        }
        break;
      default:
        break;
    }
    return items;
  }

  static os::Result<Items> values(const APMPValueRef& collection) {
    Items items;
    switch (collection->kind()) {
      case Kind::String:
        items.text_ = std::static_pointer_cast<const APMPStringValue>(collection);
        break;
      case Kind::Array:
        items.list_ = static_cast<const APMPArrayValue&>(*collection).allElements();
        break;
      default:
        return APMPFail(APMPRovavError::NotIterable);
    }
    return items;
  }

  size_t count() const { return text_ ? text_->value().size() : list_.size(); }
  APMPValueRef at(size_t i) const {
    if (!text_) return list_[i];
    if (textKeys_) return APMPStringValue::make(APMPNumberToString(static_cast<double>(i)));
    return APMPStringValue::make(std::u16string(1, text_->value()[i]));
  }

 private:
  std::shared_ptr<const APMPStringValue> text_;
  bool textKeys_ = false;
  APMPValueList list_;
};

APMPResult forEachItem(APMPArguments arguments, const APMPScopeRef& scope, bool keys, Binding binding) {
  auto values = APMPEvaluateArguments(arguments, scope);
  if (!values) return std::unexpected(values.error());
  auto name = (*values)[0]->stringValueOrError();
  if (!name) return std::unexpected(name.error());
  auto body = asArray((*values)[2]);
  if (!body) return APMPFail(APMPRovavError::ArgumentKind);
  auto items = keys ? Items::keys((*values)[1]) : Items::values((*values)[1]);
  if (!items) return std::unexpected(items.error());
  // Each item is copied out or made, and bound (in a new scope but for
  // assignment); each binding hashes or copies the name.
  if (auto paid = APMPChargeSlots(scope, items->count()); !paid) return std::unexpected(paid.error());
  if (auto paid = APMPChargeBulkWork(scope, items->count() * name->size()); !paid) {
    return std::unexpected(paid.error());
  }
  for (size_t i = 0; i < items->count(); ++i) {
    APMPScopeRef iteration = scope;
    switch (binding) {
      case Binding::Assign:
        scope->setValue(items->at(i), *name);
        break;
      case Binding::Constant:
        iteration = scope->createChildScope();
        iteration->addImmutableValue(items->at(i), *name);
        break;
      case Binding::Variable:
        iteration = scope->createChildScope();
        iteration->addValue(items->at(i), *name);
        break;
    }
    APMPResult result = runStatementArray(body, iteration);
    if (afterBody(result) == LoopStep::Stop) return result;
  }
  return APMPUndefinedValue::sharedInstance();
}

// A new child of the scope holding each name with its value as seen from
// the source scope.
os::Result<APMPScopeRef> copyNames(const std::vector<std::u16string>& names, const APMPScopeRef& scope,
                                   const APMPScopeRef& source, size_t units) {
  if (auto paid = APMPChargeSlots(scope, names.size()); !paid) return std::unexpected(paid.error());
  if (auto paid = APMPChargeBulkWork(scope, units); !paid) return std::unexpected(paid.error());
  APMPScopeRef iteration = scope->createChildScope();
  for (const std::u16string& name : names) iteration->addValue(source->valueForName(name), name);
  return iteration;
}

}  // namespace

APMPResult APMPLoopForInAssign(APMPArguments arguments, const APMPScopeRef& scope) {
  return forEachItem(arguments, scope, true, Binding::Assign);
}
APMPResult APMPLoopForInConstant(APMPArguments arguments, const APMPScopeRef& scope) {
  return forEachItem(arguments, scope, true, Binding::Constant);
}
APMPResult APMPLoopForInVariable(APMPArguments arguments, const APMPScopeRef& scope) {
  return forEachItem(arguments, scope, true, Binding::Variable);
}
APMPResult APMPLoopForOfAssign(APMPArguments arguments, const APMPScopeRef& scope) {
  return forEachItem(arguments, scope, false, Binding::Assign);
}
APMPResult APMPLoopForOfConstant(APMPArguments arguments, const APMPScopeRef& scope) {
  return forEachItem(arguments, scope, false, Binding::Constant);
}
APMPResult APMPLoopForOfVariable(APMPArguments arguments, const APMPScopeRef& scope) {
  return forEachItem(arguments, scope, false, Binding::Variable);
}

// for (copied names; condition; update) body: each iteration runs in a new
// child of the current scope holding copies of the loop's names, so closures
// made in the body keep their own iteration's values, while the update works
// on the next iteration's copies.
APMPResult APMPLoopFor(APMPArguments arguments, const APMPScopeRef& scope) {
  APMPResult copied = evaluate(arguments[0], scope);
  if (!copied) return copied;
  auto copiedArray = asArray(*copied);
  if (!copiedArray) return APMPFail(APMPRovavError::ArgumentKind);
  APMPResult bodyValue = evaluate(arguments[3], scope);
  if (!bodyValue) return bodyValue;
  auto body = asArray(*bodyValue);
  if (!body) return APMPFail(APMPRovavError::ArgumentKind);

  std::vector<std::u16string> names;
  size_t units = 0;
  for (const APMPValueRef& element : copiedArray->allElements()) {
    auto name = element->stringValueOrError();
    if (!name) return std::unexpected(name.error());
    units += name->size();
    names.push_back(std::move(*name));
  }
  auto iteration = copyNames(names, scope, scope, units);
  if (!iteration) return std::unexpected(iteration.error());
  for (;;) {
    auto truth = condition(arguments[1], *iteration);
    if (!truth) return std::unexpected(truth.error());
    if (!*truth) break;
    APMPResult result = runStatementArray(body, *iteration);
    if (afterBody(result) == LoopStep::Stop) return result;
    iteration = copyNames(names, scope, *iteration, units);
    if (!iteration) return std::unexpected(iteration.error());
    APMPResult update = evaluate(arguments[2], *iteration);
    if (!update) return update;
  }
  return APMPUndefinedValue::sharedInstance();
}

// while (condition) { body; update } or, with the body-first flag, the body
// once before the first test. Everything runs in the current scope.
namespace {

// A while loop whose condition, update and body statements are all fused:
// nothing they do can change the body array or yield a control value, so
// the loop runs their forms without their values.
struct FusedLoop {
  static constexpr size_t kMaxBody = 8;
  const APMPFusedForm* condition = nullptr;
  const APMPFusedForm* update = nullptr;
  std::array<const APMPValueRef*, kMaxBody> body{};
  size_t count = 0;
};

const APMPFusedForm* fusedFormOf(const APMPValueRef& entry) {
  if (entry->kind() != Kind::Statement) return nullptr;
  const APMPFusedForm& form = static_cast<const APMPStatementValue&>(*entry).fused();
  return form.shape == APMPFusedForm::Shape::None ? nullptr : &form;
}

std::optional<FusedLoop> fusedLoopOf(const APMPValueRef& condition, const APMPValueRef& update,
                                     const APMPArrayValue& body) {
  FusedLoop loop;
  loop.condition = fusedFormOf(condition);
  loop.update = fusedFormOf(update);
  if (loop.condition == nullptr || loop.update == nullptr || body.count() > FusedLoop::kMaxBody) return std::nullopt;
  for (size_t i = 0; i < body.count(); ++i) {
    const APMPValueRef& statement = body.slotAtIndex(i);
    if (fusedFormOf(statement) == nullptr) return std::nullopt;
    loop.body[loop.count++] = &statement;
  }
  return loop;
}

// One fused entry: in one step when it can run to its end, else the general
// way.
os::Status runFused(const APMPFusedForm& form, const APMPValueRef& entry, const APMPScopeRef& scope) {
  if (APMPCountFused(form, scope->executionState())) return APMPRunFused(form, scope);
  APMPResult value = evaluate(entry, scope);
  if (!value) return std::unexpected(std::move(value.error()));
  return {};
}

APMPResult runFusedLoop(const FusedLoop& loop, APMPArguments arguments, const APMPScopeRef& scope) {
  APMPExecutionState& state = scope->executionState();
  for (;;) {
    auto truth = APMPCountFused(*loop.condition, state) ? APMPFusedCondition(*loop.condition, scope)
                                                         : condition(arguments[0], scope);
    if (!truth) return std::unexpected(truth.error());
    if (!*truth) break;
    for (size_t i = 0; i < loop.count; ++i) {
      const APMPValueRef& statement = *loop.body[i];
      auto ran = runFused(static_cast<const APMPStatementValue&>(*statement).fused(), statement, scope);
      if (!ran) return std::unexpected(ran.error());
    }
    if (auto ran = runFused(*loop.update, arguments[1], scope); !ran) return std::unexpected(ran.error());
  }
  return APMPUndefinedValue::sharedInstance();
}

}  // namespace

APMPResult APMPLoopWhile(APMPArguments arguments, const APMPScopeRef& scope) {
  auto bodyFirst = condition(arguments[2], scope);
  if (!bodyFirst) return std::unexpected(bodyFirst.error());
  APMPResult bodyValue = evaluate(arguments[3], scope);
  if (!bodyValue) return bodyValue;
  auto body = asArray(*bodyValue);
  if (!body) return APMPFail(APMPRovavError::ArgumentKind);
  if (*bodyFirst) {
    APMPResult result = runStatementArray(body, scope);
    if (afterBody(result) == LoopStep::Stop) return result;
  }
  if (auto loop = fusedLoopOf(arguments[0], arguments[1], *body)) return runFusedLoop(*loop, arguments, scope);
  for (;;) {
    auto truth = condition(arguments[0], scope);
    if (!truth) return std::unexpected(truth.error());
    if (!*truth) break;
    APMPResult result = runStatementArray(body, scope);
    if (afterBody(result) == LoopStep::Stop) return result;
    APMPResult update = evaluate(arguments[1], scope);
    if (!update) return update;
  }
  return APMPUndefinedValue::sharedInstance();
}
