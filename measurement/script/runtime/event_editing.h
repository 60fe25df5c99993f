// APMPEventEditing: the event-editing engine, what the measurement library
// sees of the script runtime (through APMPEventEditingInterface, declared
// with the event records in measurement/store/engine_services/event_editing.h).
//
// Design note.
// 1. States: created (a runtime, an empty context, an empty callback
//    registry, the modules "internal.registerCallback" and
//    "internal.eventLogger"); loaded (loadProgram ran the top-level
//    statements, then each activity's data through the function the
//    activity names, whose calls to "internal.registerCallback" fill the
//    registry); per event (handleEvent replaces the context's input, output
//    and created events, which stay readable until the next call). After a
//    failed load the caller discards the engine.
// 2. Callbacks: edit and create callbacks, each kind keyed by a 32-bit
//    priority and run in ascending order. A priority already taken within its
//    kind becomes the highest of that kind plus one; when that highest is
//    INT32_MAX the registration fails (editing 4) instead of wrapping to a
//    priority that would run first. At most 1,000 callbacks in all.
// 3. A run: every callback gets the same native functions object over the
//    context. Each edit callback is an edit of the context, which keeps
//    what its writes replaced; a failure or a result code of 2 or -1 puts
//    that back (a failure then ends the run). Create callbacks run after the edits; their result is ignored and
//    a failure ends the run with what was done kept. The callbacks of a run
//    are those registered when its phase begins.
// 4. The instruction budget covers one whole load and one whole run; the
//    collector runs after a successful load and after every run, failed or
//    not, that made a container (beyond its native functions object) or
//    wrote into one; a run that did neither cannot have grown what the
//    program keeps. The registry is a collector root, so registered callbacks and what
//    they reach survive every collection.
// 5. Errors: rovav codes from the runtime and the commands; editing 2 to 7
//    from loading and registration (errors.h).
//
// Runs on the caller's thread (the measurement worker queue); one thread at
// a time; no locks.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "measurement/messages/message_classes.h"
#include "measurement/script/runtime/modules.h"
#include "measurement/script/runtime/runtime.h"
#include "measurement/script/runtime/scope.h"
#include "measurement/script/runtime/values.h"
#include "measurement/store/engine_services/event_editing.h"

inline constexpr std::u16string_view kAPMPRegisterCallbackModuleName = u"internal.registerCallback";
inline constexpr std::u16string_view kAPMPEventLoggerModuleName = u"internal.eventLogger";
// Callbacks one engine holds, edit and create together.
inline constexpr size_t kAPMPMaxCallbackCount = 1000;
// The priority of options without "priority".
inline constexpr int32_t kAPMPDefaultCallbackPriority = 1000;

// The count of the script's writes to the output event (the context keeps
// what they replaced, APMPEventContext): a count unchanged since an answer
// about the event was taken leaves that answer good.
class APMPEditJournal {
 public:
  void noteWrite() { ++writes_; }
  uint64_t writes() const { return writes_; }

 private:
  uint64_t writes_ = 0;
};

class APMPEventNativeFunctions;
class APMPObjectManager;

// The registry of edit and create callbacks (design note 2). A collector
// root: marking it marks every callback.
class APMPEditingCallbackHandler final : public APMPGarbageCollectionRoot {
 public:
  using CallbackMap = std::map<int32_t, std::shared_ptr<APMPFunctionValue>>;

  APMPEditingCallbackHandler();
  ~APMPEditingCallbackHandler() override;

  // editing 4 when 1,000 callbacks are registered (checked first), editing 3
  // for a type other than "edit" and "create", else addCallback.
  os::Status registerWithPriority(int32_t priority, std::shared_ptr<APMPFunctionValue> callback,
                                  std::u16string_view ruleType);
  // Stores the callback under the priority, or under the highest priority
  // of the map plus one when the priority is taken; editing 4 when that
  // highest is INT32_MAX.
  static os::Status addCallback(std::shared_ptr<APMPFunctionValue> callback, CallbackMap& callbacks,
                                int32_t priority);
  // One run over the context (design note 3).
  os::Status triggerCallbacksWithScope(const APMPScopeRef& scope, const std::shared_ptr<APMPEventContext>& context);
  // Calls the callback with the native functions object as its one
  // argument: its result's ToInt32 when that is a number, -1 for any other
  // result, or the failure (whose result code is 2).
  static os::Result<int32_t> invokeCallbackWithScope(const APMPScopeRef& scope, APMPFunctionValue& callback,
                                                     const APMPValueRef& eventHandler);

  // Ascending by priority.
  const CallbackMap& editCallbacks() const { return editCallbackMap_; }
  const CallbackMap& createCallbacks() const { return createCallbackMap_; }
  size_t count() const { return editCallbackMap_.size() + createCallbackMap_.size(); }

  void mark(APMPMarker& marker) override;
  // The writes of the runs' native functions objects.
  const std::shared_ptr<APMPEditJournal>& journal() const { return journal_; }
  // Native functions objects made (and tracked) so far: a run that reuses the
  // last one makes none.
  uint64_t nativeFunctionsMade() const { return nativesMade_; }

 private:
  // The native functions object of a run over the context: the last run's
  // when nothing else holds it and nothing was written into it (no program
  // can tell it from a new one), else a new one tracked by the scope's
  // collector.
  std::shared_ptr<APMPEventNativeFunctions> nativeFunctionsFor(const APMPScopeRef& scope,
                                                               const std::shared_ptr<APMPEventContext>& context);
  os::Status runCallbacks(const APMPScopeRef& scope, const std::shared_ptr<APMPEventContext>& context);
  // invokeCallbackWithScope with the argument list made.
  static os::Result<int32_t> invokeCallback(const APMPScopeRef& scope, APMPFunctionValue& callback,
                                            const APMPValueList& arguments);

  CallbackMap editCallbackMap_;
  CallbackMap createCallbackMap_;
  const std::shared_ptr<APMPEditJournal> journal_ = std::make_shared<APMPEditJournal>();
  std::shared_ptr<APMPEventNativeFunctions> natives_;
  // The collector that tracks natives_.
  APMPObjectManager* nativesManager_ = nullptr;
  uint64_t nativesMade_ = 0;
  // The one-entry argument list of the callbacks of a run, kept between runs
  // (empty then) so a run makes no list; busy while a run uses it and the
  // phase lists below.
  APMPValueList callbackArguments_;
  bool callbackArgumentsBusy_ = false;
  // The callbacks of each phase of a run, as runs took them last.
  struct PhaseLists;
  std::unique_ptr<PhaseLists> phases_;
};

// "internal.registerCallback"(label, callback, options): exactly three
// arguments, counted before evaluation (rovav 9); the callback must be a
// function and the options a map (rovav 10, checked in that order); the
// options need "type" (editing 2), whose string form is the type; "priority"
// gives the priority by ToInt32 of its number form, else 1000. The label is
// evaluated and not used. Yields undefined.
class APMPRegisterCallbackNativeFunctionValue final : public APMPNativeFunctionValue {
 public:
  explicit APMPRegisterCallbackNativeFunctionValue(std::shared_ptr<APMPEditingCallbackHandler> callbackHandler);
  APMPResult invokeWithArguments(const APMPValueList& arguments, const APMPScopeRef& scope) override;

 private:
  const std::shared_ptr<APMPEditingCallbackHandler> callbackHandler_;
};

// The map every callback of a run receives. Its six methods work on the
// context's output event; each evaluates its arguments, then checks their
// count (rovav 9):
//   getEventName()        the name
//   getParamValue(name)   the parameter as a script value; null when absent
//   getParams()           a new map of every parameter
//   getTimestamp()        the timestamp
//   setEventName(name)    rovav 10 for null or undefined; else sets the
//                         string form and yields it
//   setParamValue(n, v)   stores v as a platform value (null removes,
//                         undefined stores "") through the parameter rule
//                         of APMPEvent; yields v
// Any other method is a map's. Made per run and tracked by the run's
// collector, so cycles a program builds through it are broken afterwards.
class APMPEventNativeFunctions final : public APMPMapValue {
 public:
  // Writes are counted by the journal, when there is one.
  explicit APMPEventNativeFunctions(std::shared_ptr<APMPEventContext> eventContext,
                                    std::shared_ptr<APMPEditJournal> journal = nullptr);
  APMPResult applyWithName(std::u16string_view name, const APMPValueList& arguments,
                           const APMPScopeRef& scope) override;
  const std::shared_ptr<APMPEventContext>& eventContext() const { return eventContext_; }

 private:
  const std::shared_ptr<APMPEventContext> eventContext_;
  const std::shared_ptr<APMPEditJournal> journal_;
};

// "internal.eventLogger"(name, timestamp, parameters): exactly three
// arguments, counted before evaluation (rovav 9); the name's string form,
// the timestamp's number form by ToInteger truncated to 64 bits, and a map
// of parameters (rovav 10 otherwise) whose values become platform values
// (null ones left out). Appends a created event to the context; yields
// undefined.
class APMPEventLogger final : public APMPNativeFunctionValue {
 public:
  explicit APMPEventLogger(std::shared_ptr<APMPEventContext> eventContext);
  APMPResult invokeWithArguments(const APMPValueList& arguments, const APMPScopeRef& scope) override;

 private:
  const std::shared_ptr<APMPEventContext> eventContext_;
};

class APMPEventEditing final : public APMPEventEditingInterface {
 public:
  // With a new runtime.
  APMPEventEditing();
  explicit APMPEventEditing(std::shared_ptr<APMPRuntime> runtime);
  ~APMPEventEditing() override;
  APMPEventEditing(const APMPEventEditing&) = delete;
  APMPEventEditing& operator=(const APMPEventEditing&) = delete;

  // Forwards to the runtime's module provider.
  void setModuleCreator(APMPModuleCreator creator, std::string_view name) override;
  // The top-level statements (a control value as their result: editing 5),
  // then each activity in order; collects garbage when all succeeded.
  os::Status loadProgram(const APMPBProgram& program) override;
  // Each data statement of the activity alone in the global scope (not a
  // map: editing 6), registered under the activity's name.
  os::Status loadActivityData(const APMPBOgtActivity& activity);
  // Calls the function bound to the name (editing 7 for anything else) with
  // the rule map, in a new run scope; its result is ignored.
  os::Status registerRuleWithName(std::u16string_view name, const APMPValueRef& rule);
  os::Result<bool> handleEvent(APMPEvent event) override;
  bool hasEdits() const override;
  bool hasCreatedEvents() const override { return !eventContext_->eventsToLog().empty(); }
  const APMPEventContext& eventContext() const override { return *eventContext_; }

  APMPRuntime& runtime() const { return *runtime_; }
  APMPEditingCallbackHandler& callbackHandler() const { return *callbackHandler_; }

 private:
  std::shared_ptr<APMPRuntime> runtime_;
  std::shared_ptr<APMPEventContext> eventContext_;
  std::shared_ptr<APMPEditingCallbackHandler> callbackHandler_;
  // hasEdits' last answer, good while the journal's write count is the same.
  mutable std::optional<std::pair<uint64_t, bool>> edits_;
  // The last run's scope, taken again while nothing holds it and it holds
  // no name: only the callbacks' arguments are evaluated in it, so it stays
  // empty and is as good as a new child of the global scope.
  APMPScopeRef runScope_;
};
