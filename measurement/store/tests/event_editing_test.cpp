#include "measurement/store/engine_services/event_editing.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

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

}  // namespace
