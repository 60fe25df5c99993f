#include "measurement/store/engine_services/event_editing.h"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

// The stored value with its kind: "int 3", "double 3.7", "string '5'", "none".
std::string Stored(const APMPEvent& event, std::string_view name) {
  const os::Value* value = event.parameterForName(name);
  if (value == nullptr) return "none";
  if (const os::Number* number = value->number()) {
    return (number->isFloatingPoint() ? "double " : "int ") + number->description();
  }
  if (value->isString()) return "string '" + *value->string() + "'";
  return value->description();
}

TEST(APMPEventTest, StoringANumberFollowsTheKindItReplaces) {
  struct Case {
    const char* name;
    os::Value current;  // null: absent
    os::Value stored;
    const char* expected;
  } cases[] = {
      {"value", os::Value(int64_t{2}), os::Value(3.7), "int 3"},
      {"value", os::Value(int64_t{2}), os::Value(-3.7), "int -3"},
      {"_c", os::Value(int64_t{1}), os::Value(3.7), "int 1"},
      {"_r", os::Value(1.5), os::Value(3.7), "double 3.7"},
      {"value", os::Value(1.5), os::Value(4.0), "double 4"},
      {"label", os::Value("x"), os::Value(5.0), "string '5'"},
      {"label", os::Value("x"), os::Value(3.7), "string '3.7'"},
      {"_err", os::Value("x"), os::Value(3.7), "int 3"},
      {"_el", os::Value(), os::Value(1e300), "int 9223372036854775807"},
      {"_syn", os::Value(2.5), os::Value(-7.9), "int -7"},
      {"fresh", os::Value(), os::Value(3.7), "double 3.7"},
      {"listed", os::Value::arrayOf({1}), os::Value(3.7), "double 3.7"},
      {"value", os::Value(int64_t{2}), os::Value("text"), "string 'text'"},
      {"_c", os::Value(int64_t{1}), os::Value("text"), "string 'text'"},
      {"value", os::Value(int64_t{2}), os::Value(), "none"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " <- " + c.stored.description());
    os::Dictionary parameters;
    if (!c.current.isNull()) parameters.emplace(c.name, c.current);
    APMPEvent event("e", 0, parameters);
    event.setParameter(c.stored, c.name);
    EXPECT_EQ(Stored(event, c.name), c.expected);
  }
}

TEST(APMPEventTest, EqualityTellsIntegersFromFloatingPointNumbers) {
  const APMPEvent base("e", 0, {{"n", os::Value(int64_t{3})}, {"s", os::Value("a")}});
  struct Case {
    const char* what;
    APMPEvent other;
    bool equal;
  } cases[] = {
      {"a copy", base, true},
      {"a timestamp within the tolerance", APMPEvent("e", 1e-16, base.parameters()), true},
      {"a later timestamp", APMPEvent("e", 1e-9, base.parameters()), false},
      {"another name", APMPEvent("f", 0, base.parameters()), false},
      {"3.0 for 3", APMPEvent("e", 0, {{"n", os::Value(3.0)}, {"s", os::Value("a")}}), false},
      {"4 for 3", APMPEvent("e", 0, {{"n", os::Value(int64_t{4})}, {"s", os::Value("a")}}), false},
      {"a 32-bit 3 for 3", APMPEvent("e", 0, {{"n", os::Value(3)}, {"s", os::Value("a")}}), true},
      {"a parameter fewer", APMPEvent("e", 0, {{"n", os::Value(int64_t{3})}}), false},
      {"another parameter name",
       APMPEvent("e", 0, {{"n", os::Value(int64_t{3})}, {"t", os::Value("a")}}), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(base.isEqualToEvent(c.other), c.equal);
    EXPECT_EQ(c.other.isEqualToEvent(base), c.equal);
  }
}

TEST(APMPEventContextTest, CreatedEventsAreNormalisedAgainstTheInputEvent) {
  APMPEventContext context(APMPEvent("e", 1, {{"value", os::Value(int64_t{2})}, {"_c", os::Value(int64_t{1})}}));
  // An edit that made the output's "value" floating-point does not count.
  context.outputEvent().setParameter(os::Value(), "value");
  context.outputEvent().setParameter(os::Value(2.5), "value");
  context.logEventWithName("made", 5, {{"value", os::Value(3.7)}, {"_c", os::Value(9.0)}, {"gone", os::Value()}});
  ASSERT_EQ(context.eventsToLog().size(), 1u);
  const APMPEvent& made = context.eventsToLog()[0];
  EXPECT_EQ(made.name(), "made");
  EXPECT_EQ(made.timestamp(), 5);
  EXPECT_EQ(Stored(made, "value"), "int 3");
  EXPECT_EQ(Stored(made, "_c"), "int 1");
  EXPECT_FALSE(made.hasParameterName("gone"));

  // A new input starts a new run: the output is its copy, nothing created.
  context.setInputEvent(APMPEvent("next", 2, {}));
  EXPECT_TRUE(context.outputEvent().isEqualToEvent(context.inputEvent()));
  EXPECT_TRUE(context.eventsToLog().empty());
}

// The output event takes the input's parameters and the input event is kept
// as what the writes replaced. Whatever the writes and edits, the context
// must answer as a copy of the input and a whole comparison would: written
// back, removed and re-added, undone over an earlier edit, past the index.
TEST(APMPEventContextTest, WritesKeepTheInputEventAsItWas) {
  struct Step {
    enum Kind { Name, Param, Begin, End, Undo } kind;
    std::string name;
    os::Value value;
  };
  using Steps = std::vector<Step>;
  auto Params = [](const char* prefix, int from, int to, os::Value value) {
    Steps steps;
    for (int i = from; i < to; ++i) steps.push_back({Step::Param, prefix + std::to_string(i), value});
    return steps;
  };
  auto Join = [](std::initializer_list<Steps> parts) {
    Steps steps;
    for (const Steps& part : parts) steps.insert(steps.end(), part.begin(), part.end());
    return steps;
  };
  const Step begin{Step::Begin, "", {}}, end{Step::End, "", {}}, undo{Step::Undo, "", {}};
  const APMPEvent input("e", 1,
                        {{"count", os::Value(int64_t{5})},
                         {"gone", os::Value("y")},
                         {"f", os::Value(1.5)},
                         {"p3", os::Value("in")}});
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const APMPEvent undated("e", 1, {{"when", os::Value(os::Date::fromTimeIntervalSince1970(nan))}});
  struct Case {
    const char* what;
    const APMPEvent& input;
    Steps steps;
  } cases[] = {
      {"nothing written", input, {}},
      {"a parameter written back", input, {begin, {Step::Param, "count", 7}, {Step::Param, "count", 5}, end}},
      {"renamed and back", input, {{Step::Name, "other", {}}, {Step::Name, "e", {}}}},
      {"removed and added again", input, {{Step::Param, "gone", {}}, {Step::Param, "gone", "y"}}},
      {"added and removed", input, {{Step::Param, "new", 1}, {Step::Param, "new", {}}}},
      {"an edit failing half way", input, {begin, {Step::Param, "count", 7}, {Step::Name, "x", {}}, undo}},
      {"an edit undone over a kept one",
       input,
       {begin, {Step::Param, "count", 7}, end, begin, {Step::Param, "count", 5}, {Step::Param, "f", 2.5},
        {Step::Name, "n", {}}, end, undo}},
      {"writes outside an edit, then an undone edit",
       input,
       {{Step::Param, "count", 9}, begin, {Step::Param, "count", 3}, {Step::Param, "new", 1}, undo}},
      {"past the index, then undone over it",
       input,
       Join({{begin}, Params("p", 0, 40, 1), {end, begin}, Params("p", 20, 50, 2), {{Step::Param, "count", 1}, undo}})},
      {"past the index and all written back",
       input,
       Join({{begin}, Params("p", 0, 40, 1), Params("p", 0, 40, {}), {{Step::Param, "p3", "in"}, end}})},
      {"a value unequal to itself, renamed and back", undated, {{Step::Name, "x", {}}, {Step::Name, "e", {}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    APMPEventContext context(c.input);
    APMPEvent expected = c.input;  // the output as copying and snapshots give it
    std::optional<APMPEvent> snapshot;
    std::vector<std::string> names;
    for (const auto& [name, value] : c.input.parameters()) names.push_back(name);
    for (const Step& step : c.steps) {
      switch (step.kind) {
        case Step::Name:
          expected.setName(step.name);
          context.setOutputName(step.name);
          break;
        case Step::Param:
          expected.setParameter(step.value, step.name);
          context.setOutputParameter(step.value, step.name);
          names.push_back(step.name);
          break;
        case Step::Begin:
          snapshot = expected;
          context.beginEdit();
          break;
        case Step::End:
          context.endEdit();
          break;
        case Step::Undo:
          expected = *snapshot;
          context.undoEdit();
          break;
      }
    }
    // Read through the const accessor: the mutable one builds the input.
    const APMPEvent& output = std::as_const(context).outputEvent();
    EXPECT_EQ(output.name(), expected.name());
    EXPECT_EQ(output.parameters().size(), expected.parameters().size());
    for (const std::string& name : names) {
      EXPECT_EQ(Stored(output, name), Stored(expected, name)) << name;
      const os::Value* before = context.inputParameterForName(name);
      EXPECT_EQ(before ? before->description() : "none", Stored(c.input, name) == "none" ? "none" :
                c.input.parameterForName(name)->description()) << name;
    }
    const bool differs = !expected.isEqualToEvent(c.input);
    EXPECT_EQ(context.outputDiffersFromInput(), differs);
    // Built whole, the input event is the one handed in, and answers alike.
    EXPECT_EQ(context.inputEvent().name(), c.input.name());
    EXPECT_EQ(context.inputEvent().parameters().size(), c.input.parameters().size());
    for (const std::string& name : names) EXPECT_EQ(Stored(context.inputEvent(), name), Stored(c.input, name)) << name;
    EXPECT_EQ(context.outputDiffersFromInput(), differs);
  }
}

// Mend: an edit remembered its parameters in a list searched whole at every
// write, so a run writing 60,000 names spent seconds within its budget.
TEST(APMPEventContextTest, FindingWrittenParametersDoesNotGrowWithTheirNumber) {
  constexpr int kNames = 20000;
  APMPEventContext context(APMPEvent("e", 1, {}));
  context.beginEdit();
  for (int i = 0; i < kNames; ++i) context.setOutputParameter(os::Value(i), "p" + std::to_string(i));
  context.endEdit();
  context.beginEdit();
  for (int i = 0; i < kNames; ++i) context.setOutputParameter(os::Value(-i), "p" + std::to_string(i));
  context.undoEdit();
  EXPECT_LE(context.TEST_namesCompared(), 40u * kNames);
  EXPECT_EQ(Stored(std::as_const(context).outputEvent(), "p7"), "int 7");
  EXPECT_EQ(context.inputParameterForName("p7"), nullptr);
  EXPECT_TRUE(context.outputDiffersFromInput());
}

}  // namespace
