// Fused statements must end exactly as the general way ends: the same
// value or error, the same instructions counted and the same variables,
// wherever the budget or the depth cap stops the program.
#include "measurement/script/commands/fused_statements.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "measurement/script/commands/tests/program_support.h"
#include "measurement/script/runtime/entity_converter.h"
#include "measurement/script/runtime/evaluator.h"
#include "measurement/script/runtime/limits.h"
#include "measurement/script/runtime/runtime.h"

namespace {

using namespace program;

Entity Sub(Entity a, Entity b) { return Op("37", {std::move(a), std::move(b)}); }
Entity Mul(Entity a, Entity b) { return Op("26", {std::move(a), std::move(b)}); }
Entity Div(Entity a, Entity b) { return Op("10", {std::move(a), std::move(b)}); }
Entity Ge(Entity a, Entity b) { return Op("19", {std::move(a), std::move(b)}); }
Entity While(Entity condition, Entity update, Entities body) {
  return Op("42", {std::move(condition), std::move(update), B(false), Body(std::move(body))});
}

struct Outcome {
  std::string result;
  int64_t instructions;
  std::string variables;
  bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Outcome& outcome) {
  return out << outcome.result << " after " << outcome.instructions << " with " << outcome.variables;
}

// Runs the program on a fresh runtime whose counters start where given,
// its statements made with or without fusion.
Outcome runFrom(const Entities& program, bool fused, int64_t instructions, int depth,
                const std::vector<std::u16string>& names) {
  APMPRuntime runtime;
  APMPValueList statements;
  apmp::detail::setStatementFusion(fused);
  for (const Entity& entity : program) {
    statements.push_back(APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(*entity).value());
  }
  apmp::detail::setStatementFusion(true);
  APMPExecutionState& state = runtime.globalScope()->executionState();
  state.instructionCount = instructions;
  state.depth = depth;
  APMPResult result = APMPEvaluator::executeStatements(statements, runtime.globalScope());
  Outcome outcome{Show(result), state.instructionCount, ""};
  for (const auto& name : names) outcome.variables += Show(runtime.globalScope()->valueForName(name)) + " ";
  return outcome;
}

struct Case {
  const char* name;
  Entities program;
};

std::vector<Case> cases() {
  return {
    {"a loop of arithmetic",
     {Let("s", N(0)), Let("i", N(0)),
      While(Lt(Get("i"), N(4)), Set("i", Add(Get("i"), N(1))), {Set("s", Add(Get("s"), Mul(Get("i"), N(2.5))))})}},
    {"a loop of fused statements",
     {Let("s", N(0.5)), Let("i", N(0)), Let("b", N(0)),
      While(Lt(Get("i"), N(3)), Set("i", Add(Get("i"), N(1))),
            {Set("s", Add(Get("s"), Get("i"))), Set("b", Get("s"))})}},
    {"operands that are not numbers",
     {Let("s", S("a")), Set("s", Add(Get("s"), N(1))), Set("s", Add(Arr({}), Get("s"))), Let("b", Ge(Get("s"), S("a"))),
      Set("b", Div(Get("b"), Null())), Sub(Get("s"), Get("b"))}},
    {"reads and assignments of names no scope holds",
     {Let("s", Get("nope")), Set("s", Get("nope")), Set("nope", N(1)), Get("s")}},
    {"constants keep their value", {Const("c", N(1)), Set("c", Add(Get("c"), N(1))), Get("c")}},
    {"a name frozen between runs of a statement",
     {Let("i", N(0)), Let("c", N(0.5)),
      While(Lt(Get("i"), N(3)), Set("i", Add(Get("i"), N(1))), {Set("c", Add(Get("c"), Get("i"))), Const("c", N(7))})}},
    {"a name added between runs of a statement",
     {Let("i", N(0)), Let("c", N(0.5)),
      While(Lt(Get("i"), N(3)), Set("i", Add(Get("i"), N(1))),
            {Set("c", Add(Get("c"), Get("i"))), Op("41", {S("b")}), Set("b", Get("c"))})}},
    {"a call's scope, reused, without the name the last call declared",
     {Let("c", B(true)),
      Op("50", {S("g"), Arr({}), Op("22", {Get("c"), Body({Op("41", {S("y")}), Set("y", N(5))})}), Ret(Get("y"))}),
      Let("b", Op("g")), Set("c", B(false)), Let("s", Op("g"))}},
  };
}

TEST(FusedStatementsTest, EndAsTheGeneralWayWhereverTheBudgetStopsThem) {
  const std::vector<std::u16string> names = {u"s", u"i", u"b", u"c"};
  for (const Case& c : cases()) {
    const Outcome whole = runFrom(c.program, false, 0, 0, names);
    EXPECT_EQ(runFrom(c.program, true, 0, 0, names), whole) << c.name;
    for (int64_t left = 0; left <= whole.instructions; ++left) {
      const int64_t start = kAPMPInstructionBudget - left;
      EXPECT_EQ(runFrom(c.program, true, start, 0, names), runFrom(c.program, false, start, 0, names))
          << c.name << ", " << left << " instructions left";
    }
  }
}

TEST(FusedStatementsTest, EndAsTheGeneralWayWhereverTheDepthCapStopsThem) {
  const std::vector<std::u16string> names = {u"s", u"i", u"b", u"c"};
  for (const Case& c : cases()) {
    for (int room = 0; room <= 6; ++room) {
      const int depth = kAPMPMaxEvaluationDepth - room;
      EXPECT_EQ(runFrom(c.program, true, 0, depth, names), runFrom(c.program, false, 0, depth, names))
          << c.name << ", room for " << room << " levels";
    }
  }
}

// A number reused in place by an assignment must be one nobody else holds.
TEST_F(ProgramTest, AnAssignedNumberOthersHoldKeepsItsValue) {
  EXPECT_EQ(show({Let("x", N(1000.5)), Let("y", Get("x")), Set("x", Add(Get("x"), N(1))), Get("y")}), "1000.5");
  EXPECT_EQ(show({Let("a", Arr({Get("x")})), Set("x", Add(Get("x"), N(1))), Prop(Get("a"), N(0))}), "1001.5");
  EXPECT_EQ(show({Let("z", Set("x", Add(Get("x"), N(1)))), Set("x", Add(Get("x"), N(1))), Get("z")}), "1003.5");
  EXPECT_EQ(show({Get("x")}), "1004.5");
}

}  // namespace
