// The event-editing engine: loading programs and their activities, callback
// registration and order, what an edit or create callback leaves behind, the
// native functions of a run, and a program delivered inside a configuration
// as the remote configuration hands it over.
#include "measurement/script/runtime/event_editing.h"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "measurement/messages/field_access.h"
#include "measurement/script/commands/tests/program_support.h"
#include "measurement/script/runtime/limits.h"
#include "measurement/script/runtime/object_manager.h"
#include "os/foundation/text.h"

namespace {

using namespace program;
using Activities = std::vector<std::pair<std::string, Entities>>;

// A program message: top-level statements and activities (name, data).
std::shared_ptr<APMPBProgram> Program(const Entities& statements, const Activities& activities = {}) {
  auto message = APMPBProgram::initWithMessageInfo(nullptr);
  APMPBSetArray(message.get(), 0, statements);
  if (!activities.empty()) {
    std::vector<std::shared_ptr<APMPBOgtActivity>> list;
    for (const auto& [name, data] : activities) {
      auto activity = APMPBOgtActivity::initWithMessageInfo(nullptr);
      APMPBSetString(activity.get(), 0, name);
      APMPBSetArray(activity.get(), 1, data);
      list.push_back(activity);
    }
    auto all = APMPBOgtActivities::initWithMessageInfo(nullptr);
    APMPBSetArray(all.get(), 0, list);
    APMPBSetMessage(message.get(), 1, all.get());
  }
  return message;
}

// "ok", or the error as "rovav 10" / "editing 4".
std::string Outcome(const os::Status& status) {
  if (status) return "ok";
  const std::string& domain = status.error().domain();
  std::string name = domain == kAPMPRovavErrorDomain ? "rovav" : domain == kAPMPEditingErrorDomain ? "editing" : domain;
  return name + " " + std::to_string(status.error().code());
}

// The parameter with its kind: "int 3", "double 3.7", "'5'", "none".
std::string Param(const APMPEvent& event, std::string_view name) {
  const os::Value* value = event.parameterForName(name);
  if (value == nullptr) return "none";
  if (const os::Number* number = value->number()) {
    return (number->isFloatingPoint() ? "double " : "int ") + number->description();
  }
  if (value->isString()) return "'" + *value->string() + "'";
  return value->description();
}

// reg = require("internal.registerCallback"), then the callbacks.
Entity Prelude() { return Const("reg", Op("require", {S("internal.registerCallback")})); }
Entity Register(Entity callback, Entities options) { return Op("reg", {S("label"), std::move(callback), Obj(std::move(options))}); }
Entity Edit(double priority, Entities body) {
  return Register(Fn({"e"}, std::move(body)), {S("type"), S("edit"), S("priority"), N(priority)});
}
Entity Create(double priority, Entities body) {
  return Register(Fn({"e"}, std::move(body)), {S("type"), S("create"), S("priority"), N(priority)});
}
// e.method(arguments...), on the native functions object of the callback.
Entity E(std::string_view method, Entities arguments = {}) { return Call(Get("e"), method, std::move(arguments)); }
// require("internal.eventLogger")(name, timestamp, parameters)
Entity Spawn(Entity name, Entity timestamp, Entities parameters) {
  return Op("13", {Const("spawn", Op("require", {S("internal.eventLogger")})),
                   Op("spawn", {std::move(name), std::move(timestamp), Obj(std::move(parameters))})});
}
// A function declaration (opcode 50).
Entity Decl(std::string_view name, std::vector<std::string_view> parameters, Entities body) {
  Entities names;
  for (std::string_view parameter : parameters) names.push_back(S(parameter));
  Entities arguments = {S(name), Arr(std::move(names))};
  for (auto& statement : body) arguments.push_back(std::move(statement));
  return Op("50", std::move(arguments));
}

class EventEditingTest : public ::testing::Test {
 protected:
  EventEditingTest() { reset(); }

  // A fresh engine whose global scope binds log(...), which records what it
  // is given, and weak(v), which keeps a weak reference to v.
  void reset() {
    editing_ = std::make_unique<APMPEventEditing>();
    editing_->runtime().globalScope()->addValue(
        script_test::Native(u"log",
                            [this](const APMPValueList& arguments, const APMPScopeRef& scope) -> APMPResult {
                              auto values = APMPEvaluateArguments(arguments, scope);
                              if (!values) return std::unexpected(values.error());
                              for (const auto& value : *values) log_.push_back(Show(value));
                              return APMPUndefinedValue::sharedInstance();
                            }),
        u"log");
    editing_->runtime().globalScope()->addValue(
        script_test::Native(u"weak",
                            [this](const APMPValueList& arguments, const APMPScopeRef& scope) -> APMPResult {
                              auto values = APMPEvaluateArguments(arguments, scope);
                              if (!values) return std::unexpected(values.error());
                              weak_ = values->front();
                              return APMPUndefinedValue::sharedInstance();
                            }),
        u"weak");
  }

  std::string load(const Entities& statements, const Activities& activities = {}) {
    auto program = Program(statements, activities);
    WriteSeed(*program);
    return Outcome(editing_->loadProgram(*program));
  }
  // Loads the callbacks after the prelude; fails the test when that fails.
  void loadCallbacks(Entities callbacks) {
    callbacks.insert(callbacks.begin(), Prelude());
    ASSERT_EQ(load(callbacks), "ok");
  }
  // "true", "false", or the failure.
  std::string handle(const APMPEvent& event) {
    os::Result<bool> handled = editing_->handleEvent(event);
    if (!handled) return Outcome(std::unexpected(handled.error()));
    return *handled ? "true" : "false";
  }
  const APMPEvent& output() const { return editing_->eventContext().outputEvent(); }
  std::string logged() {
    std::string text;
    for (const auto& entry : log_) text += (text.empty() ? "" : " ") + entry;
    log_.clear();
    return text;
  }

  std::unique_ptr<APMPEventEditing> editing_;
  std::vector<std::string> log_;
  std::weak_ptr<APMPRuntimeValue> weak_;
};

TEST_F(EventEditingTest, AnEditCallbackKeepsItsChangesOnlyByYieldingAKeepingNumber) {
  struct Case {
    const char* what;
    std::optional<Entity> returned;  // none: the body ends without return
    bool kept;
  } cases[] = {
      {"0", Ret(N(0)), true},
      {"1", Ret(N(1)), true},
      {"2", Ret(N(2)), false},
      {"-1", Ret(N(-1)), false},
      {"4294967295 (ToInt32 -1)", Ret(N(4294967295.0)), false},
      {"4294967298 (ToInt32 2)", Ret(N(4294967298.0)), false},
      {"the string 1", Ret(S("1")), false},
      {"undefined", Ret(Undef()), false},
      {"no return: the last statement's value, the 7 just stored", std::nullopt, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    reset();
    Entities body = {E("setParamValue", {S("p"), N(7)})};
    if (c.returned) body.push_back(*c.returned);
    loadCallbacks({Edit(1, body)});
    EXPECT_EQ(handle(APMPEvent("e", 1, {})), c.kept ? "true" : "false");
    EXPECT_EQ(Param(output(), "p"), c.kept ? "double 7" : "none");
    EXPECT_EQ(editing_->hasEdits(), c.kept);
  }
}

TEST_F(EventEditingTest, AFailureEndsTheRunRestoringOnlyTheFailingEditCallback) {
  loadCallbacks({
      Edit(1, {E("setParamValue", {S("a"), N(1)}), Ret(N(0))}),
      Edit(2, {E("setParamValue", {S("b"), N(2)}), E("setEventName", {S("half")}), E("setEventName", {Null()})}),
      Edit(3, {E("setParamValue", {S("c"), N(3)}), Ret(N(0))}),
      Create(1, {Spawn(S("never"), N(0), {})}),
  });
  EXPECT_EQ(handle(APMPEvent("e", 1, {})), "rovav 10");
  EXPECT_EQ(output().name(), "e");
  EXPECT_EQ(Param(output(), "a"), "double 1");
  EXPECT_EQ(Param(output(), "b"), "none");
  EXPECT_EQ(Param(output(), "c"), "none");
  EXPECT_FALSE(editing_->hasCreatedEvents());

  // A create callback that fails keeps what it changed and created.
  reset();
  loadCallbacks({Create(1, {E("setParamValue", {S("d"), N(4)}), Spawn(S("made"), N(0), {}), Fail()})});
  EXPECT_EQ(handle(APMPEvent("e", 1, {})), "rovav 9");
  EXPECT_EQ(Param(output(), "d"), "double 4");
  ASSERT_EQ(editing_->eventContext().eventsToLog().size(), 1u);
  EXPECT_EQ(editing_->eventContext().eventsToLog()[0].name(), "made");
}

// A discarded edit callback is undone from what its writes replaced, not from
// a copy: each parameter it changed, removed or added, written once or more,
// comes back exactly as it was (an integer stays an integer), and the name.
TEST_F(EventEditingTest, ADiscardedEditCallbackPutsBackEveryValueItReplaced) {
  const APMPEvent input("e", 1, {{"count", os::Value(int64_t{5})}, {"gone", os::Value("x")}, {"kept", os::Value(2.5)}});
  for (const auto& ending : {Ret(N(2)), Fail()}) {
    reset();
    loadCallbacks({Edit(1, {E("setParamValue", {S("count"), N(7.5)}), E("setParamValue", {S("count"), N(9)}),
                            E("setParamValue", {S("gone"), Null()}), E("setParamValue", {S("added"), N(1)}),
                            E("setEventName", {S("renamed")}), E("setEventName", {S("again")}), ending})});
    handle(input);
    EXPECT_TRUE(output().isEqualToEvent(input));
    EXPECT_EQ(Param(output(), "count"), Param(input, "count"));
    EXPECT_FALSE(editing_->hasEdits());
  }
}

// The input event is kept as what the writes replaced, not as a copy: an
// edit that puts every value back is no edit, and the input event reads as
// handed in after any run.
TEST_F(EventEditingTest, AnEditThatPutsEveryValueBackIsNoEdit) {
  const APMPEvent input("e", 1, {{"count", os::Value(int64_t{5})}, {"gone", os::Value("x")}});
  struct Case {
    const char* what;
    Entities body;
    const char* handled;
  } cases[] = {
      {"written and renamed back",
       {E("setParamValue", {S("count"), N(7)}), E("setParamValue", {S("count"), N(5)}),
        E("setEventName", {S("r")}), E("setEventName", {S("e")}), Ret(N(0))},
       "false"},
      {"removed and added again",
       {E("setParamValue", {S("gone"), Null()}), E("setParamValue", {S("gone"), S("x")}), Ret(N(0))},
       "false"},
      {"written for good", {E("setParamValue", {S("count"), N(7)}), Ret(N(0))}, "true"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    reset();
    loadCallbacks({Edit(1, c.body)});
    EXPECT_EQ(handle(input), c.handled);
    EXPECT_EQ(editing_->hasEdits(), std::string(c.handled) == "true");
    EXPECT_TRUE(editing_->eventContext().inputEvent().isEqualToEvent(input));
    EXPECT_EQ(Param(editing_->eventContext().inputEvent(), "count"), "int 5");
  }
}

TEST_F(EventEditingTest, CallbacksRunByPriorityWithCollisionsMovedPastTheHighest) {
  auto Mark = [](std::string_view label) {
    return Entities{E("setParamValue", {S("order"), Add(E("getParamValue", {S("order")}), S(label))}), Ret(N(0))};
  };
  loadCallbacks({
      Edit(5, Mark("A")),
      Edit(5, Mark("B")),
      Edit(5, Mark("C")),
      Edit(3, Mark("D")),
      Create(1, Mark("X")),
      Register(Fn({"e"}, Mark("Y")), {S("type"), S("create")}),
  });
  EXPECT_EQ(handle(APMPEvent("e", 1, {{"order", os::Value("")}})), "true");
  EXPECT_EQ(Param(output(), "order"), "'DABCXY'");
  std::vector<int32_t> edits, creates;
  for (const auto& [priority, callback] : editing_->callbackHandler().editCallbacks()) edits.push_back(priority);
  for (const auto& [priority, callback] : editing_->callbackHandler().createCallbacks()) creates.push_back(priority);
  EXPECT_EQ(edits, (std::vector<int32_t>{3, 5, 6, 7}));
  EXPECT_EQ(creates, (std::vector<int32_t>{1, 1000}));
}

TEST_F(EventEditingTest, RegistrationChecksItsArgumentsInOrder) {
  struct Case {
    const char* what;
    Entity registration;
    const char* outcome;
  } cases[] = {
      {"two arguments", Op("reg", {S("l"), Fn({"e"}, {})}), "rovav 9"},
      {"a callback that is not a function", Op("reg", {S("l"), N(1), Obj({S("type"), S("edit")})}), "rovav 10"},
      {"options that are not a map", Op("reg", {S("l"), Fn({"e"}, {}), S("edit")}), "rovav 10"},
      {"options without a type", Register(Fn({"e"}, {}), {S("priority"), N(1)}), "editing 2"},
      {"the type Edit", Register(Fn({"e"}, {}), {S("type"), S("Edit")}), "editing 3"},
      {"a priority without a number form", Register(Fn({"e"}, {}), {S("type"), S("edit"), S("priority"), Op("4")}),
       "rovav 4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    reset();
    EXPECT_EQ(load({Prelude(), c.registration}), c.outcome);
    EXPECT_EQ(editing_->callbackHandler().count(), 0u);
  }
}

TEST_F(EventEditingTest, AtMostAThousandCallbacksWhateverTheirType) {
  APMPEditingCallbackHandler handler;
  auto callback = APMPObjectManager::functionValueWithFunctionName(u"f", {}, {}, editing_->runtime().globalScope());
  for (int32_t i = 0; i < 999; ++i) ASSERT_EQ(Outcome(handler.registerWithPriority(i, callback, u"edit")), "ok");
  EXPECT_EQ(Outcome(handler.registerWithPriority(0, callback, u"create")), "ok");
  for (std::u16string_view type : {u"edit", u"create", u"bogus"}) {
    EXPECT_EQ(Outcome(handler.registerWithPriority(5000, callback, type)), "editing 4");
  }
  EXPECT_EQ(handler.count(), 1000u);
}

// Moving a taken priority past a highest of INT32_MAX overflowed into
// INT32_MIN, a callback that would run first: it fails as a full registry.
TEST_F(EventEditingTest, APriorityCollisionAtTheTopFailsInsteadOfWrapping) {
  constexpr int32_t kTop = std::numeric_limits<int32_t>::max();
  APMPEditingCallbackHandler handler;
  auto callback = APMPObjectManager::functionValueWithFunctionName(u"f", {}, {}, editing_->runtime().globalScope());
  ASSERT_EQ(Outcome(handler.registerWithPriority(5, callback, u"edit")), "ok");
  ASSERT_EQ(Outcome(handler.registerWithPriority(kTop, callback, u"edit")), "ok");
  EXPECT_EQ(Outcome(handler.registerWithPriority(kTop, callback, u"edit")), "editing 4");
  EXPECT_EQ(Outcome(handler.registerWithPriority(5, callback, u"edit")), "editing 4");
  // The create callbacks keep their own priorities.
  EXPECT_EQ(Outcome(handler.registerWithPriority(kTop, callback, u"create")), "ok");
  EXPECT_EQ(handler.editCallbacks().begin()->first, 5);
  EXPECT_EQ(handler.count(), 3u);

  // Through a program, a priority of 2^31 - 1 given as a number.
  loadCallbacks({Edit(kTop, {})});
  EXPECT_EQ(load({Edit(kTop, {})}), "editing 4");
}

TEST_F(EventEditingTest, StoredValuesFollowTheParameterRule) {
  loadCallbacks({
      Edit(1,
           {E("setParamValue", {S("count"), N(3.7)}), E("setParamValue", {S("_c"), N(3.7)}),
            E("setParamValue", {S("_r"), N(3.7)}), E("setParamValue", {S("label"), N(5)}),
            E("setParamValue", {S("_err"), N(3.7)}), E("setParamValue", {S("value"), S("s")}),
            E("setParamValue", {S("gone"), Null()}), E("setParamValue", {S("empty"), Undef()}),
            E("setParamValue", {S("digits"), S("42")}), E("setParamValue", {S("flag"), B(true)}),
            E("setParamValue", {S("list"), Arr({N(1), Null(), Undef()})}), Ret(N(0))}),
      Create(1, {Spawn(S("made"), N(12.9), {S("value"), N(3.7), S("skipped"), Null()})}),
  });
  const APMPEvent input("e", 1,
                        {{"count", os::Value(int64_t{2})},
                         {"_c", os::Value(int64_t{1})},
                         {"_r", os::Value(1.5)},
                         {"label", os::Value("x")},
                         {"value", os::Value(int64_t{2})},
                         {"gone", os::Value("y")}});
  EXPECT_EQ(handle(input), "true");
  EXPECT_EQ(Param(output(), "count"), "int 3");
  EXPECT_EQ(Param(output(), "_c"), "int 1");
  EXPECT_EQ(Param(output(), "_r"), "double 3.7");
  EXPECT_EQ(Param(output(), "label"), "'5'");
  EXPECT_EQ(Param(output(), "_err"), "int 3");
  EXPECT_EQ(Param(output(), "value"), "'s'");
  EXPECT_EQ(Param(output(), "gone"), "none");
  EXPECT_EQ(Param(output(), "empty"), "''");
  EXPECT_EQ(Param(output(), "digits"), "double 42");
  EXPECT_EQ(Param(output(), "flag"), "double 1");
  EXPECT_EQ(*output().parameterForName("list"), os::Value::arrayOf({1.0, ""}));

  // The created event's "value" follows the input's integer, not the
  // output's string.
  ASSERT_EQ(editing_->eventContext().eventsToLog().size(), 1u);
  const APMPEvent& made = editing_->eventContext().eventsToLog()[0];
  EXPECT_EQ(made.name(), "made");
  EXPECT_EQ(made.timestamp(), 12);
  EXPECT_EQ(Param(made, "value"), "int 3");
  EXPECT_FALSE(made.hasParameterName("skipped"));
}

TEST_F(EventEditingTest, RemovingAParameterIsAnEdit) {
  loadCallbacks({Edit(1, {E("setParamValue", {S("gone"), Null()}), Ret(N(0))})});
  EXPECT_EQ(handle(APMPEvent("e", 1, {{"gone", os::Value("y")}})), "true");
  EXPECT_TRUE(editing_->hasEdits());
  EXPECT_FALSE(editing_->hasCreatedEvents());
  // Nothing to remove: no edit.
  EXPECT_EQ(handle(APMPEvent("e", 1, {})), "false");
  EXPECT_FALSE(editing_->hasEdits());
}

TEST_F(EventEditingTest, TheNativeFunctionsReadAndCheckTheOutputEvent) {
  loadCallbacks({Edit(1, {Op("log", {E("getEventName"), E("getTimestamp"), E("getParamValue", {S("i")}),
                                     E("getParamValue", {S("b")}), E("getParamValue", {S("missing")}),
                                     E("getParams"), E("hasOwnProperty", {S("getParams")}), E("toString")})})});
  EXPECT_EQ(handle(APMPEvent("e", 1.5, {{"i", os::Value(2)}, {"b", os::Value(true)}, {"s", os::Value("t")}})),
            "false");
  EXPECT_EQ(logged(), "'e' 1.5 2 true null {b:true,i:2,s:'t'} false '[object Object]'");

  struct Case {
    const char* what;
    Entity call;
    const char* outcome;
  } cases[] = {
      {"getEventName with an argument", E("getEventName", {N(1)}), "rovav 9"},
      {"setParamValue with one argument", E("setParamValue", {S("a")}), "rovav 9"},
      {"setEventName with undefined", E("setEventName", {Undef()}), "rovav 10"},
      {"a method no map has", E("getEvent"), "rovav 17"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    reset();
    loadCallbacks({Edit(1, {c.call})});
    EXPECT_EQ(handle(APMPEvent("e", 1, {})), c.outcome);
  }
}

TEST_F(EventEditingTest, LoadingFailsOnControlValuesNonMapDataAndUnboundActivities) {
  Entity rule = Decl("rule", {"r"}, {});
  struct Case {
    const char* what;
    Entities statements;
    Activities activities;
    const char* outcome;
  } cases[] = {
      {"a return as the last top-level statement", {N(1), Ret(N(1))}, {}, "editing 5"},
      {"a return before the last one", {Ret(N(1)), N(1)}, {}, "ok"},
      {"data that is not a map", {rule}, {{"rule", {N(1)}}}, "editing 6"},
      {"an activity bound to a number", {Const("rule", N(1))}, {{"rule", {Obj()}}}, "editing 7"},
      {"an activity bound to nothing", {}, {{"rule", {Obj()}}}, "editing 7"},
      {"a rule that fails", {Decl("rule", {"r"}, {Fail()})}, {{"rule", {Obj()}}}, "rovav 9"},
      {"an activity without data", {}, {{"rule", {}}}, "ok"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    reset();
    EXPECT_EQ(load(c.statements, c.activities), c.outcome);
  }

  // An engine without callbacks leaves every event alone.
  reset();
  EXPECT_EQ(handle(APMPEvent("e", 1, {{"p", os::Value(1)}})), "false");
  EXPECT_FALSE(editing_->hasEdits());
  EXPECT_FALSE(editing_->hasCreatedEvents());
}

TEST_F(EventEditingTest, CyclesThroughARunsNativeFunctionsAreBrokenAfterTheRun) {
  // e.self = e; e.again = function () { return e; }: both cycles run through
  // the object a run hands its callbacks, which nothing keeps afterwards.
  loadCallbacks({Edit(1, {Put(Get("e"), S("self"), Get("e")), Put(Get("e"), S("again"), Fn({}, {Ret(Get("e"))})),
                          Op("weak", {Get("e")})})});
  EXPECT_EQ(handle(APMPEvent("e", 1, {})), "false");
  EXPECT_TRUE(weak_.expired());
}

// An array holding one large array many times is cheap to build but converts
// into far more parameter items: past the cap the conversion stops, even with
// budget left to pay for the items.
TEST_F(EventEditingTest, StoringAValueThatWouldMakeTooManyItemsFails) {
  auto Fill = [](std::string_view array, double count, Entity item) {
    return Op("13", {Let("j", N(0)), Op("42", {Lt(Get("j"), N(count)), Set("j", Add(Get("j"), N(1))), B(false),
                                                Body({Call(Get(array), "push", {std::move(item)})})})});
  };
  loadCallbacks({Edit(1, {Let("f", Arr()), Fill("f", 1000, N(1)), Let("w", Arr()), Fill("w", 300, Get("f")),
                          E("setParamValue", {S("small"), Get("f")}), E("setParamValue", {S("p"), Get("w")})})});
  EXPECT_EQ(handle(APMPEvent("e", 1, {})), "rovav 18");
  EXPECT_FALSE(output().hasParameterName("small"));
}

// Mend: nothing bounded what a program keeps across events: a callback that
// kept 14 arrays of 65,000 slots per event grew the process by hundreds of MB.
TEST_F(EventEditingTest, WhatAProgramKeepsAcrossEventsIsCappedAndLettingGoFreesIt) {
  // if (e.getParamValue("grow")) keep 14 more arrays of 65,000 slots, else drop all.
  Entity grow = Op("42", {Lt(Get("j"), N(14)), Set("j", Add(Get("j"), N(1))), B(false),
                          Body({Let("a", Arr()), Put(Get("a"), S("length"), N(65000)),
                                Call(Get("kept"), "push", {Get("a")})})});
  loadCallbacks({Let("kept", Arr()), Edit(1, {Let("j", N(0)),
                                              Op("22", {E("getParamValue", {S("grow")}), Body({grow}),
                                                        Body({Set("kept", Arr())})}),
                                              Ret(N(0))})});
  const APMPEvent growing("g", 1, {{"grow", os::Value(1)}});
  int kept = 0;
  std::string outcome;
  while ((outcome = handle(growing)) == "false" && kept < 40) ++kept;
  EXPECT_EQ(outcome, "rovav 18");
  EXPECT_GE(kept, 1);
  EXPECT_LE(kept * 14 * 65000, static_cast<int>(kAPMPMaxTrackedSlots));
  // The engine goes on: letting go frees the room, and growing works again.
  EXPECT_EQ(handle(APMPEvent("g", 2, {})), "false");
  EXPECT_EQ(handle(growing), "false");
}

// A run that makes no container may skip the collection after it, but not
// one that grows arrays made earlier: only a collection tells the cap what
// the program keeps, so pushing onto kept arrays is stopped all the same.
TEST_F(EventEditingTest, GrowingKeptArraysWithoutMakingContainersIsCappedToo) {
  // ks = forty arrays, i = 0; on each event: ks[i].push(1, 1, ... 60,000 times); i = i + 1
  constexpr int kPushed = 60000;
  loadCallbacks({Let("ks", Arr(Entities(40, Arr()))), Let("i", N(0)),
                 Edit(1, {Call(Prop(Get("ks"), Get("i")), "push", Entities(kPushed, N(1))),
                          Set("i", Add(Get("i"), N(1))), Ret(N(0))})});
  int events = 0;
  std::string outcome;
  while ((outcome = handle(APMPEvent("g", 1, {}))) == "false" && events < 40) ++events;
  EXPECT_EQ(outcome, "rovav 18");
  EXPECT_LE(static_cast<size_t>(events - 1) * kPushed, kAPMPMaxTrackedSlots);
}

// The remote configuration's path: a program inside an encoded configuration,
// an engine and host modules made through the installed services.
TEST_F(EventEditingTest, AProgramDeliveredInAConfigurationRenamesAndCreates) {
  Entities statements = {
      Decl("rename", {"rule"},
           {Op("13", {Const("reg", Op("require", {S("internal.registerCallback")})),
                      Op("reg", {S("rename"),
                                 Fn({"e"}, {E("setEventName", {Prop(Get("rule"), S("to"))}),
                                            E("setParamValue",
                                              {S("setting"), Call(Op("require", {S("internal.remoteConfig")}),
                                                                  "getValue", {S("k"), N(0)})}),
                                            Ret(N(0))}),
                                 Get("rule")})})}),
      Decl("spawn", {"rule"},
           {Op("13", {Const("reg", Op("require", {S("internal.registerCallback")})),
                      Op("reg", {S("spawn"),
                                 Fn({"e"}, {Const("meta", Op("require", {S("internal.appMetadata")})),
                                            Spawn(S("spawned"), E("getTimestamp"),
                                                  {S("from"), E("getEventName"), S("platform"),
                                                   Prop(Op("meta"), S("platform"))})}),
                                 Get("rule")})})}),
  };
  Activities activities = {{"rename", {Obj({S("type"), S("edit"), S("to"), S("renamed")})}},
                           {"spawn", {Obj({S("type"), S("create")})}}};
  auto config = APMPBMeasurementConfig::initWithMessageInfo(nullptr);
  APMPBSetArray(config.get(), 8, std::vector<std::shared_ptr<APMPBProgram>>{Program(statements, activities)});
  std::optional<os::Data> bytes = config->protoBuffer();
  ASSERT_TRUE(bytes.has_value());
  auto delivered = APMPBMeasurementConfig::initWithBuffer(*bytes);
  ASSERT_NE(delivered, nullptr);
  auto programs = APMPBGetArray<APMPBProgram>(delivered.get(), 8);
  ASSERT_TRUE(programs.has_value() && programs->size() == 1);

  auto services = APMPScriptServices::sharedInstance();
  ASSERT_NE(services, nullptr);
  std::shared_ptr<APMPEventEditingInterface> editing = services->newEventEditing();
  editing->setModuleCreator(
      [services] {
        return services->newKeyValueStore("internal.remoteConfig", [](const std::string& key) {
          return key == "k" ? std::optional<std::string>("v") : std::nullopt;
        });
      },
      "internal.remoteConfig");
  editing->setModuleCreator(
      [services] {
        return services->newObjectProvider("internal.appMetadata", [] {
          return os::Dictionary{{"platform", os::Value("ios")}, {"zev_version", os::Value(int64_t{110100})}};
        });
      },
      "internal.appMetadata");
  editing->setModuleCreator([services] { return services->newMessageLogger(); }, "internal.logger");
  ASSERT_EQ(Outcome(editing->loadProgram(*programs->front())), "ok");

  os::Result<bool> handled = editing->handleEvent(APMPEvent("original", 1000, {{"p", os::Value(1)}}));
  ASSERT_TRUE(handled.has_value());
  EXPECT_TRUE(*handled);
  EXPECT_TRUE(editing->hasEdits());
  const APMPEvent& edited = editing->eventContext().outputEvent();
  EXPECT_EQ(edited.name(), "renamed");
  EXPECT_EQ(Param(edited, "setting"), "'v'");
  EXPECT_EQ(Param(edited, "p"), "int 1");
  ASSERT_TRUE(editing->hasCreatedEvents());
  ASSERT_EQ(editing->eventContext().eventsToLog().size(), 1u);
  const APMPEvent& spawned = editing->eventContext().eventsToLog()[0];
  EXPECT_EQ(spawned.name(), "spawned");
  EXPECT_EQ(spawned.timestamp(), 1000);
  EXPECT_EQ(Param(spawned, "from"), "'renamed'");
  EXPECT_EQ(Param(spawned, "platform"), "'ios'");
}

}  // namespace
