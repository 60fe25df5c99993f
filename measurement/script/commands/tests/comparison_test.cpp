#include <cmath>

#include "measurement/script/commands/tests/program_support.h"

namespace {
using namespace program;

class ComparisonTest : public ProgramTest {};

TEST_F(ComparisonTest, EqualityAndOrdering) {
  const Entity precomposed = S("\xC3\xA9");  // é
  const Entity decomposed = S("e\xCC\x81");  // e + combining acute
  struct Case {
    Entity statement;
    const char* expected;
  } cases[] = {
      // loose equality by rank: nothing, scalar, text, object
      {Op("12", {Undef(), Null()}), "true"},
      {Op("12", {Null(), N(0)}), "false"},
      {Op("12", {Undef(), S("")}), "false"},
      {Op("12", {S(""), N(0)}), "true"},
      {Op("12", {S("1"), B(true)}), "true"},
      {Op("12", {B(true), N(1)}), "true"},
      {Op("12", {N(NAN), N(NAN)}), "false"},
      {Op("12", {Arr({N(1), N(2)}), S("1,2")}), "true"},
      {Op("12", {Obj(), S("[object Object]")}), "true"},
      {Op("12", {Arr({N(7)}), N(7)}), "true"},
      {Op("12", {Arr(), Arr()}), "false"},
      {Op("29", {N(1), S("1")}), "false"},
      {Op("29", {Null(), N(0)}), "true"},
      // strict equality: same class, then value (numbers, Booleans, strings) or identity
      {Op("20", {N(1), B(true)}), "false"},
      {Op("20", {N(NAN), N(NAN)}), "false"},
      {Op("20", {N(0), Op("27", {N(0)})}), "true"},
      {Op("20", {S("a"), S("a")}), "true"},
      {Op("20", {Undef(), Undef()}), "true"},
      {Op("20", {Arr(), Arr()}), "false"},
      {Op("21", {N(1), S("1")}), "true"},
      // ordering: text by the plain comparison when both sides are object-like, else numbers
      {Lt(S("a"), S("b")), "true"},
      {Lt(S("B"), S("a")), "true"},
      {Lt(S("10"), S("9")), "true"},
      {Lt(N(10), S("9")), "false"},
      {Lt(Arr({N(10)}), Arr({N(2)})), "true"},
      {Lt(N(NAN), N(1)), "false"},
      {Op("18", {N(NAN), N(1)}), "false"},
      {Op("19", {N(NAN), N(NAN)}), "false"},
      {Op("18", {N(2), N(1)}), "true"},
      {Op("19", {S("a"), S("a")}), "true"},
      {Op("24", {N(1), N(1)}), "true"},
      {Op("24", {Null(), Undef()}), "false"},
      {Lt(precomposed, decomposed), "false"},
      {Op("24", {precomposed, decomposed}), "true"},
      {Op("19", {precomposed, decomposed}), "true"},
      // failures
      {Lt(Op("4"), N(1)), "rovav 4"},
      {Op("12", {S("a"), Op("4")}), "rovav 5"},
      {Op("12", {N(1), N(2), Log({N(3)})}), "rovav 9"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(show({c.statement}), c.expected);
  }
  EXPECT_EQ(logged(), "");
  EXPECT_EQ(show({Let("m", Obj()), Op("20", {Get("m"), Get("m")})}), "true");
}

TEST_F(ComparisonTest, LogicalCommandsShortCircuit) {
  struct Case {
    Entity statement;
    const char* expected;
    const char* logged;
  } cases[] = {
      {Op("1", {N(0), Fail()}), "0", ""},
      {Op("1", {N(1), S("x")}), "'x'", ""},
      {Op("1", {S(""), Log({N(2)})}), "''", ""},
      {Op("1", {B(true), Log({N(2)})}), "undefined", "2"},
      {Op("30", {S("x"), Fail()}), "'x'", ""},
      {Op("30", {N(0), S("y")}), "'y'", ""},
      {Op("30", {Null(), Log({N(3)})}), "undefined", "3"},
      {Op("28", {S("")}), "true", ""},
      {Op("28", {Obj()}), "false", ""},
      {Op("28", {Op("4")}), "rovav 3", ""},
      {Op("1", {Op("6"), N(1)}), "rovav 3", ""},
      {Op("1", {Log({N(1)})}), "rovav 9", ""},
      {Op("30", {Log({N(1)}), N(2), N(3)}), "rovav 9", ""},
      {Op("28"), "rovav 9", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(show({c.statement}), c.expected);
    EXPECT_EQ(logged(), c.logged);
  }
}

}  // namespace
