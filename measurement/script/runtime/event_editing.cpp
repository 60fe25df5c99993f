#include "measurement/script/runtime/event_editing.h"

#include <array>
#include <limits>
#include <utility>
#include <vector>

#include "measurement/messages/field_access.h"
#include "measurement/script/runtime/entity_converter.h"
#include "measurement/script/runtime/evaluator.h"
#include "measurement/script/runtime/number_forms.h"
#include "measurement/script/runtime/object_manager.h"
#include "os/foundation/text.h"

namespace {

using Kind = APMPRuntimeValue::Kind;

// Field positions of the program messages.
constexpr int32_t kProgramInstructions = 0;
constexpr int32_t kProgramActivities = 1;
constexpr int32_t kActivitiesList = 0;
constexpr int32_t kActivityName = 0;
constexpr int32_t kActivityData = 1;

// Result codes of an edit callback that discard its changes.
constexpr int32_t kCallbackFailed = 2;
constexpr int32_t kCallbackNotANumber = -1;

APMPResult undefined() { return APMPUndefinedValue::sharedInstance(); }

}  // namespace

// ---- the callback registry ----

namespace {
using CallbackList = std::vector<std::pair<int32_t, std::shared_ptr<APMPFunctionValue>>>;
}  // namespace

struct APMPEditingCallbackHandler::PhaseLists {
  CallbackList edits;
  CallbackList creates;
};

APMPEditingCallbackHandler::APMPEditingCallbackHandler() = default;
APMPEditingCallbackHandler::~APMPEditingCallbackHandler() = default;

os::Status APMPEditingCallbackHandler::registerWithPriority(int32_t priority,
                                                            std::shared_ptr<APMPFunctionValue> callback,
                                                            std::u16string_view ruleType) {
  if (count() >= kAPMPMaxCallbackCount) return APMPFail(APMPEditingError::TooManyCallbacks);
  if (ruleType == u"create") return addCallback(std::move(callback), createCallbackMap_, priority);
  if (ruleType == u"edit") return addCallback(std::move(callback), editCallbackMap_, priority);
  return APMPFail(APMPEditingError::UnknownCallbackType);
}

os::Status APMPEditingCallbackHandler::addCallback(std::shared_ptr<APMPFunctionValue> callback,
                                                   CallbackMap& callbacks, int32_t priority) {
  if (callbacks.contains(priority)) {
    const int32_t highest = callbacks.rbegin()->first;
    // The highest plus one would overflow into a priority that runs first.
    if (highest == std::numeric_limits<int32_t>::max()) return APMPFail(APMPEditingError::TooManyCallbacks);
    priority = highest + 1;
  }
  callbacks.emplace(priority, std::move(callback));
  return {};
}

std::shared_ptr<APMPEventNativeFunctions> APMPEditingCallbackHandler::nativeFunctionsFor(
    const APMPScopeRef& scope, const std::shared_ptr<APMPEventContext>& context) {
  APMPObjectManager* manager = scope->objectManager();
  if (natives_ && natives_.use_count() == 1 && natives_->eventContext() == context && nativesManager_ == manager &&
      !natives_->isMarked() && std::as_const(*natives_).propertyMap().count() == 0) {
    return natives_;
  }
  natives_ = std::make_shared<APMPEventNativeFunctions>(context, journal_);
  nativesManager_ = manager;
  ++nativesMade_;
  // Tracked, so the collection after the run breaks any cycle a program
  // builds through it; while a program keeps it reachable it stays whole.
  if (manager != nullptr) manager->addObject(natives_);
  return natives_;
}

os::Status APMPEditingCallbackHandler::triggerCallbacksWithScope(const APMPScopeRef& scope,
                                                                 const std::shared_ptr<APMPEventContext>& context) {
  os::Status status = runCallbacks(scope, context);
  // Kept for the next run only while nothing else holds it and the program
  // wrote nothing into it; otherwise its fate is the collector's, as any
  // run's object.
  if (natives_ && (natives_.use_count() != 1 || std::as_const(*natives_).propertyMap().count() != 0)) {
    natives_.reset();
  }
  return status;
}

os::Status APMPEditingCallbackHandler::runCallbacks(const APMPScopeRef& scope,
                                                    const std::shared_ptr<APMPEventContext>& context) {
  const APMPValueRef handler = nativeFunctionsFor(scope, context);
  // The callbacks' argument list; a run inside a run (not made by the engine)
  // gets one of its own.
  APMPValueList ownArguments;
  const bool shared = !callbackArgumentsBusy_;
  APMPValueList& arguments = shared ? callbackArguments_ : ownArguments;
  arguments.assign(1, handler);
  callbackArgumentsBusy_ = callbackArgumentsBusy_ || shared;
  struct Release {
    APMPValueList& arguments;
    bool& busy;
    bool shared;
    ~Release() {
      arguments.clear();
      if (shared) busy = false;
    }
  } release{arguments, callbackArgumentsBusy_, shared};

  // A callback may register further callbacks: each phase runs the ones
  // registered when it begins, from a list kept until a registration (the
  // registry only grows, so its size tells).
  if (!phases_) phases_ = std::make_unique<PhaseLists>();
  CallbackList ownEdits, ownCreates;
  auto phase = [shared](const CallbackMap& callbacks, CallbackList& kept, CallbackList& own) -> const CallbackList& {
    CallbackList& list = shared ? kept : own;
    if (!shared || list.size() != callbacks.size()) list.assign(callbacks.begin(), callbacks.end());
    return list;
  };
  for (const auto& [priority, callback] : phase(editCallbackMap_, phases_->edits, ownEdits)) {
    context->beginEdit();
    os::Result<int32_t> code = invokeCallback(scope, *callback, arguments);
    context->endEdit();
    if (!code) {
      context->undoEdit();
      return std::unexpected(code.error());
    }
    if (*code == kCallbackFailed || *code == kCallbackNotANumber) context->undoEdit();
  }
  for (const auto& [priority, callback] : phase(createCallbackMap_, phases_->creates, ownCreates)) {
    os::Result<int32_t> code = invokeCallback(scope, *callback, arguments);
    if (!code) return std::unexpected(code.error());
  }
  return {};
}

os::Result<int32_t> APMPEditingCallbackHandler::invokeCallbackWithScope(const APMPScopeRef& scope,
                                                                        APMPFunctionValue& callback,
                                                                        const APMPValueRef& eventHandler) {
  return invokeCallback(scope, callback, {eventHandler});
}

os::Result<int32_t> APMPEditingCallbackHandler::invokeCallback(const APMPScopeRef& scope, APMPFunctionValue& callback,
                                                               const APMPValueList& arguments) {
  APMPResult result = callback.invokeWithArguments(arguments, scope);
  if (!result) return std::unexpected(result.error());
  if ((*result)->kind() != Kind::Number) return kCallbackNotANumber;
  return APMPToInt32(static_cast<const APMPNumberValue&>(**result).value());
}

void APMPEditingCallbackHandler::mark(APMPMarker& marker) {
  for (const auto& [priority, callback] : editCallbackMap_) marker.markValue(callback);
  for (const auto& [priority, callback] : createCallbackMap_) marker.markValue(callback);
}

// ---- internal.registerCallback ----

APMPRegisterCallbackNativeFunctionValue::APMPRegisterCallbackNativeFunctionValue(
    std::shared_ptr<APMPEditingCallbackHandler> callbackHandler)
    : APMPNativeFunctionValue(std::u16string(kAPMPRegisterCallbackModuleName)),
      callbackHandler_(std::move(callbackHandler)) {}

APMPResult APMPRegisterCallbackNativeFunctionValue::invokeWithArguments(const APMPValueList& arguments,
                                                                        const APMPScopeRef& scope) {
  if (auto status = APMPCheckExactArgumentCount(arguments, 3); !status) return std::unexpected(status.error());
  auto values = APMPEvaluateArguments(arguments, scope);
  if (!values) return std::unexpected(values.error());
  const APMPValueRef& callback = (*values)[1];
  const APMPValueRef& options = (*values)[2];
  if (callback->kind() != Kind::Function || options->kind() != Kind::Map) {
    return APMPFail(APMPRovavError::ArgumentKind);
  }
  const auto& map = static_cast<const APMPMapValue&>(*options);
  if (!map.hasProperty(u"type")) return APMPFail(APMPEditingError::MissingCallbackType);
  auto type = map.valueForProperty(u"type")->stringValueOrError();
  if (!type) return std::unexpected(type.error());
  int32_t priority = kAPMPDefaultCallbackPriority;
  if (map.hasProperty(u"priority")) {
    auto number = map.valueForProperty(u"priority")->doubleValueOrError();
    if (!number) return std::unexpected(number.error());
    priority = APMPToInt32(*number);
  }
  if (!callbackHandler_) return undefined();
  auto registered = callbackHandler_->registerWithPriority(
      priority, std::static_pointer_cast<APMPFunctionValue>(callback), *type);
  if (!registered) return std::unexpected(registered.error());
  return undefined();
}

// ---- the native functions of a run ----

namespace {

// The journal may be null.
using Routine = APMPResult (*)(APMPEventContext& context, APMPEditJournal* journal, APMPArguments values,
                               const APMPScopeRef& scope);

struct NativeMethod {
  std::u16string_view name;
  size_t argumentCount;
  Routine routine;
};

// Script text as UTF-8; names and values are mostly ASCII, copied as they are.
std::string toUTF8(std::u16string_view text) {
  std::string bytes(text.size(), '\0');
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] >= 0x80) return os::utf8(text);
    bytes[i] = static_cast<char>(text[i]);
  }
  return bytes;
}

// The string form's UTF-8; a string value is read in place.
os::Result<std::string> textOf(const APMPRuntimeValue& value) {
  if (value.kind() == Kind::String) return toUTF8(static_cast<const APMPStringValue&>(value).value());
  auto text = value.stringValueOrError();
  if (!text) return std::unexpected(text.error());
  return toUTF8(*text);
}

// The natives read the output event through the const accessor: the
// mutable one would make the input event apart.
const APMPEvent& output(const APMPEventContext& context) { return context.outputEvent(); }

APMPResult getEventName(APMPEventContext& context, APMPEditJournal*, APMPArguments, const APMPScopeRef&) {
  return APMPStringValue::make(os::utf16(output(context).name()));
}

APMPResult getParamValue(APMPEventContext& context, APMPEditJournal*, APMPArguments values,
                         const APMPScopeRef& scope) {
  auto name = textOf(*values[0]);
  if (!name) return std::unexpected(name.error());
  const os::Value* parameter = output(context).parameterForName(*name);
  if (parameter == nullptr) return APMPNullValue::sharedInstance();
  return APMPRuntimeEntityConverter::runtimeValueFromNSObject(*parameter, scope);
}

APMPResult getParams(APMPEventContext& context, APMPEditJournal*, APMPArguments, const APMPScopeRef& scope) {
  const os::Dictionary& parameters = output(context).parameters();
  // One binding per parameter, as any bulk build pays.
  if (auto paid = APMPChargeSlots(scope, parameters.size()); !paid) return std::unexpected(paid.error());
  auto map = APMPObjectManager::mapValueWithScope(scope);
  for (const auto& [name, parameter] : parameters) {
    APMPResult value = APMPRuntimeEntityConverter::runtimeValueFromNSObject(parameter, scope);
    if (!value) return value;
    map->setValue(std::move(*value), os::utf16(name));
  }
  return map;
}

APMPResult getTimestamp(APMPEventContext& context, APMPEditJournal*, APMPArguments, const APMPScopeRef&) {
  return APMPNumberValue::make(output(context).timestamp());
}

APMPResult setEventName(APMPEventContext& context, APMPEditJournal* journal, APMPArguments values,
                        const APMPScopeRef&) {
  const APMPValueRef& argument = values[0];
  if (argument->isNullOrUndefined()) return APMPFail(APMPRovavError::ArgumentKind);
  auto name = textOf(*argument);
  if (!name) return std::unexpected(name.error());
  if (journal != nullptr) journal->noteWrite();
  context.setOutputName(std::move(*name));
  // Strings are immutable: a string argument is its own string form.
  if (argument->kind() == Kind::String) return argument;
  return APMPStringValue::make(os::utf16(output(context).name()));
}

APMPResult setParamValue(APMPEventContext& context, APMPEditJournal* journal, APMPArguments values,
                         const APMPScopeRef&) {
  auto name = textOf(*values[0]);
  if (!name) return std::unexpected(name.error());
  auto value = APMPRuntimeEntityConverter::objectFromRuntimeValue(*values[1]);
  if (!value) return std::unexpected(value.error());
  if (journal != nullptr) journal->noteWrite();
  context.setOutputParameter(std::move(*value), *name);
  return values[1];
}

constexpr NativeMethod kNativeMethods[] = {
    {u"getEventName", 0, &getEventName}, {u"getParamValue", 1, &getParamValue}, {u"getParams", 0, &getParams},
    {u"getTimestamp", 0, &getTimestamp}, {u"setEventName", 1, &setEventName},   {u"setParamValue", 2, &setParamValue},
};

}  // namespace

APMPEventNativeFunctions::APMPEventNativeFunctions(std::shared_ptr<APMPEventContext> eventContext,
                                                   std::shared_ptr<APMPEditJournal> journal)
    : eventContext_(std::move(eventContext)), journal_(std::move(journal)) {}

namespace {

// The native method of the name, or null. Names are told apart by their
// length and first letter before they are compared whole.
const NativeMethod* nativeMethodNamed(std::u16string_view name) {
  if (name.size() < 9 || name.size() > 13 || (name[0] != u'g' && name[0] != u's')) return nullptr;
  for (const NativeMethod& method : kNativeMethods) {
    if (method.name == name) return &method;
  }
  return nullptr;
}

}  // namespace

APMPResult APMPEventNativeFunctions::applyWithName(std::u16string_view name, const APMPValueList& arguments,
                                                   const APMPScopeRef& scope) {
  const NativeMethod* method = nativeMethodNamed(name);
  if (method == nullptr) return APMPMapValue::applyWithName(name, arguments, scope);
  // Every argument is evaluated before the count is checked. The arguments
  // of a method call come evaluated already, and a value evaluates to
  // itself: each is counted and read in place. A statement among them (a
  // program can hold statement values) is evaluated onto the stack.
  bool evaluated = true;
  for (const APMPValueRef& argument : arguments) evaluated = evaluated && argument->kind() != Kind::Statement;
  std::array<APMPValueRef, 2> few;
  APMPValueList many;
  const APMPValueRef* values = arguments.data();
  if (evaluated) {
    APMPExecutionState& state = scope->executionState();
    for (size_t i = 0; i < arguments.size(); ++i) {
      if (state.instructionCount >= kAPMPInstructionBudget) return APMPFail(APMPRovavError::BudgetExhausted);
      state.instructionCount += 1;
    }
  } else {
    APMPValueRef* slots = few.data();
    if (arguments.size() > few.size()) {
      many.resize(arguments.size());
      slots = many.data();
    }
    for (size_t i = 0; i < arguments.size(); ++i) {
      APMPResult value = APMPEvaluator::evaluateStatement(arguments[i], scope);
      if (!value) return value;
      slots[i] = std::move(*value);
    }
    values = slots;
  }
  if (arguments.size() != method->argumentCount) return APMPFail(APMPRovavError::ArgumentCount);
  if (!eventContext_) return undefined();
  return method->routine(*eventContext_, journal_.get(), APMPArguments(values, arguments.size()), scope);
}

// ---- internal.eventLogger ----

APMPEventLogger::APMPEventLogger(std::shared_ptr<APMPEventContext> eventContext)
    : APMPNativeFunctionValue(std::u16string(kAPMPEventLoggerModuleName)), eventContext_(std::move(eventContext)) {}

APMPResult APMPEventLogger::invokeWithArguments(const APMPValueList& arguments, const APMPScopeRef& scope) {
  if (auto status = APMPCheckExactArgumentCount(arguments, 3); !status) return std::unexpected(status.error());
  auto values = APMPEvaluateArguments(arguments, scope);
  if (!values) return std::unexpected(values.error());
  auto name = textOf(*(*values)[0]);
  if (!name) return std::unexpected(name.error());
  auto timestamp = (*values)[1]->doubleValueOrError();
  if (!timestamp) return std::unexpected(timestamp.error());
  const APMPValueRef& parameters = (*values)[2];
  if (parameters->kind() != Kind::Map) return APMPFail(APMPRovavError::ArgumentKind);
  const auto& map = static_cast<const APMPMapValue&>(*parameters);
  // A created event holds its parameters apart from the map, as any bulk
  // build pays.
  if (auto paid = APMPChargeSlots(scope, map.propertyMap().count() + 1); !paid) return std::unexpected(paid.error());
  auto dictionary = APMPRuntimeEntityConverter::dictionaryFromMapValue(map);
  if (!dictionary) return std::unexpected(dictionary.error());
  // ToInteger, then 64 bits (saturating; the infinities are not integers).
  const int64_t seconds = os::Number::float64(APMPToInteger(*timestamp)).int64Value();
  if (eventContext_) {
    eventContext_->logEventWithName(std::move(*name), static_cast<double>(seconds), *dictionary);
  }
  return undefined();
}

// ---- the engine ----

APMPEventEditing::APMPEventEditing() : APMPEventEditing(std::make_shared<APMPRuntime>()) {}

APMPEventEditing::APMPEventEditing(std::shared_ptr<APMPRuntime> runtime)
    : runtime_(std::move(runtime)),
      eventContext_(std::make_shared<APMPEventContext>()),
      callbackHandler_(std::make_shared<APMPEditingCallbackHandler>()) {
  runtime_->addGarbageCollectionRoot(callbackHandler_);
  // The creators hold the engine's parts weakly: the provider lives in the
  // runtime, which the parts must not keep alive.
  std::weak_ptr<APMPEditingCallbackHandler> handler = callbackHandler_;
  runtime_->setModuleCreator(
      [handler]() -> APMPValueRef {
        auto held = handler.lock();
        if (!held) return nullptr;
        return std::make_shared<APMPRegisterCallbackNativeFunctionValue>(std::move(held));
      },
      kAPMPRegisterCallbackModuleName);
  std::weak_ptr<APMPEventContext> context = eventContext_;
  runtime_->setModuleCreator(
      [context]() -> APMPValueRef {
        auto held = context.lock();
        if (!held) return nullptr;
        return std::make_shared<APMPEventLogger>(std::move(held));
      },
      kAPMPEventLoggerModuleName);
}

APMPEventEditing::~APMPEventEditing() = default;

void APMPEventEditing::setModuleCreator(APMPModuleCreator creator, std::string_view name) {
  runtime_->setModuleCreator(std::move(creator), os::utf16(name));
}

os::Status APMPEventEditing::loadProgram(const APMPBProgram& program) {
  std::vector<std::shared_ptr<APMPBRuntimeEntity>> statements =
      APMPBGetArray<APMPBRuntimeEntity>(&program, kProgramInstructions).value_or(
          std::vector<std::shared_ptr<APMPBRuntimeEntity>>());
  APMPResult result = runtime_->executeStatements(statements);
  if (!result) return std::unexpected(result.error());
  if ((*result)->kind() == Kind::Control) return APMPFail(APMPEditingError::ControlValueAtTopLevel);
  if (auto activities = APMPBGetMessage<APMPBOgtActivities>(&program, kProgramActivities)) {
    if (auto list = APMPBGetArray<APMPBOgtActivity>(activities.get(), kActivitiesList)) {
      for (const auto& activity : *list) {
        if (auto loaded = loadActivityData(*activity); !loaded) return loaded;
      }
    }
  }
  runtime_->collectGarbage();
  return {};
}

os::Status APMPEventEditing::loadActivityData(const APMPBOgtActivity& activity) {
  auto data = APMPBGetArray<APMPBRuntimeEntity>(&activity, kActivityData);
  if (!data) return {};
  const std::u16string name = os::utf16(APMPBGetString(&activity, kActivityName).value_or(""));
  for (const auto& entity : *data) {
    APMPResult rule = runtime_->executeStatements({entity});
    if (!rule) return std::unexpected(rule.error());
    if ((*rule)->kind() != Kind::Map) return APMPFail(APMPEditingError::ActivityDataNotMap);
    if (auto registered = registerRuleWithName(name, *rule); !registered) return registered;
  }
  return {};
}

os::Status APMPEventEditing::registerRuleWithName(std::u16string_view name, const APMPValueRef& rule) {
  APMPScopeRef scope = runtime_->getRunScope();
  APMPValueRef function = scope->valueForName(name);  // held: the call may rebind the name
  if (function->kind() != Kind::Function) return APMPFail(APMPEditingError::ActivityNotFunction);
  APMPResult result = static_cast<APMPFunctionValue&>(*function).invokeWithArguments({rule}, scope);
  if (!result) return std::unexpected(result.error());
  return {};
}

os::Result<bool> APMPEventEditing::handleEvent(APMPEvent event) {
  eventContext_->setInputEvent(std::move(event));
  edits_.emplace(callbackHandler_->journal()->writes(), false);
  runtime_->resetInstructionCount();
  const uint64_t madeBefore = runtime_->objectManager().objectsAdded();
  const uint64_t nativesBefore = callbackHandler_->nativeFunctionsMade();
  const uint64_t writesBefore = apmp::detail::containerWrites();
  if (!runScope_ || runScope_.use_count() != 1 || runScope_->contents().count() != 0 ||
      runScope_->contents().isImmutable()) {
    runScope_ = runtime_->getRunScope();
  }
  const os::Status run = callbackHandler_->triggerCallbacksWithScope(runScope_, eventContext_);
  // A run that made no container but its native functions object (when it
  // made one) and wrote into none (that object included) grew nothing and
  // closed no cycle through anything new: what the last collection found
  // still holds, and what the run let go of went with its last reference or
  // waits for the next collection. Any other run is followed by a collection.
  const uint64_t nativesMade = callbackHandler_->nativeFunctionsMade() - nativesBefore;
  const bool grewNothing = runtime_->objectManager().objectsAdded() - madeBefore <= nativesMade &&
                           apmp::detail::containerWrites() == writesBefore;
  if (!grewNothing) runtime_->collectGarbage();
  if (!run) return std::unexpected(run.error());
  return hasEdits() || hasCreatedEvents();
}

bool APMPEventEditing::hasEdits() const {
  // Only the native functions write the output event: without a write since
  // the input was set it is still the input's copy.
  const uint64_t writes = callbackHandler_->journal()->writes();
  if (!edits_ || edits_->first != writes) {
    edits_.emplace(writes, eventContext_->outputDiffersFromInput());
  }
  return edits_->second;
}
