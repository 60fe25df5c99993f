#include <cmath>
#include <limits>

#include "measurement/script/commands/tests/program_support.h"

namespace {
using namespace program;

class ArithmeticTest : public ProgramTest {};

TEST_F(ArithmeticTest, MathAndBitwiseCommands) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    Entity statement;
    const char* expected;
  } cases[] = {
      // add: concatenation as soon as one side is a string, array, map or function
      {Add(S("a"), Null()), "'anull'"},
      {Add(Null(), N(1)), "1"},
      {Add(B(true), S("x")), "'truex'"},
      {Add(N(1), Obj()), "'1[object Object]'"},
      {Add(N(1), S("2")), "'12'"},
      {Add(Arr({N(1), N(2)}), S("x")), "'1,2x'"},
      {Add(Fn({}, {}), N(1)), "'1'"},
      {Add(B(true), B(true)), "2"},
      {Add(Undef(), N(1)), "NaN"},
      // the other arithmetic converts to numbers
      {Op("10", {N(1), N(0)}), "Infinity"},
      {Op("10", {N(0), N(0)}), "NaN"},
      {Op("25", {N(-7), N(2)}), "-1"},
      {Op("25", {N(7), N(0)}), "NaN"},
      {Op("25", {N(inf), N(2)}), "NaN"},
      {Op("25", {N(5.5), N(inf)}), "5.5"},
      {Op("26", {S("3"), N(2)}), "6"},
      {Op("27", {N(0)}), "-0"},
      {Op("27", {S("4")}), "-4"},
      {Op("37", {Obj(), N(1)}), "NaN"},
      {Op("37", {N(5), Null()}), "5"},
      {Op("32", {N(1), N(2)}), "1"},
      {Op("33", {S("a"), N(2)}), "'a'"},
      {Op("35", {S("7")}), "'7'"},
      // 32-bit operations: ToInt32 / ToUint32, shift counts mod 32
      {Op("61", {N(-1), N(0)}), "4294967295"},
      {Op("61", {N(-8), N(1)}), "2147483644"},
      {Op("60", {N(-1), N(0)}), "-1"},
      {Op("60", {N(-8), N(1)}), "-4"},
      {Op("57", {N(1), N(31)}), "-2147483648"},
      {Op("57", {N(1), N(32)}), "1"},
      {Op("57", {N(1), N(-1)}), "-2147483648"},
      {Op("57", {N(3), N(31)}), "-2147483648"},
      {Op("56", {N(2147483648.0), N(-1)}), "-2147483648"},
      {Op("58", {N(NAN)}), "-1"},
      {Op("58", {S("5")}), "-6"},
      {Op("59", {N(1), N(2)}), "3"},
      {Op("62", {N(5), N(1)}), "4"},
      {Op("62", {N(4294967297.0), N(0)}), "1"},
      // failures: counts after evaluation, values without a number or string form
      {Op("27"), "rovav 9"},
      {Op("0", {Op("4"), N(1)}), "rovav 4"},
      {Op("0", {S("a"), Op("6")}), "rovav 5"},
      {Op("26", {N(2), Op("4")}), "rovav 4"},
      {Op("56", {Op("4"), N(1)}), "rovav 4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(show({c.statement}), c.expected);
  }
}

TEST_F(ArithmeticTest, PassThroughKeepsTheObjectAndAFailureStopsTheOperands) {
  EXPECT_EQ(show({Let("m", Obj()), Op("20", {Op("34", {Get("m")}), Get("m")})}), "true");
  // The second operand is never evaluated once the first fails.
  EXPECT_EQ(show({Add(Fail(), Log({N(1)}))}), "rovav 9");
  EXPECT_EQ(logged(), "");
}

}  // namespace
