#include "measurement/script/commands/tests/program_support.h"

namespace {
using namespace program;

class ControlTest : public ProgramTest {};

// A switch on x with cases 1, 2, 3 whose bodies log b1..b3, and a default
// that logs "d". Each case logs itself when it is evaluated; body 2 may break.
Entity SwitchOn(Entity x, bool breakIn2, bool withDefault) {
  auto label = [](int n) { return Op("13", {Log({S("c" + std::to_string(n))}), N(n)}); };
  auto body = [](const char* name, bool breaks) {
    Entities statements = {Log({S(name)})};
    if (breaks) statements.push_back(Op("4"));
    return Op("5", {Body(statements)});
  };
  Entities bodies = {body("b1", false), body("b2", breakIn2), body("b3", false)};
  if (withDefault) bodies.push_back(body("d", false));
  return Op("38", {std::move(x), Body({label(1), label(2), label(3)}), Body(bodies)});
}

TEST_F(ControlTest, ControlCommands) {
  struct Case {
    const char* name;
    Entities program;
    const char* expected;
    const char* logged;
  } cases[] = {
      {"if: one argument", {Op("22", {Log({S("c")})})}, "undefined", "'c'"},
      {"if: false without else", {Op("22", {B(false), Log({N(1)})})}, "undefined", ""},
      {"if: else", {Op("22", {N(0), Log({N(1)}), N(2)})}, "2", ""},
      {"if: a plain branch is its value", {Op("22", {B(true), N(5)})}, "5", ""},
      {"if: a branch array runs in place", {Op("22", {B(true), Body({Log({N(1)}), Op("4"), Log({N(2)})})})},
       "break", "1"},
      {"conditional", {Op("39", {S("x"), N(1), Log({N(2)})})}, "1", ""},
      {"conditional: else", {Op("39", {Null(), Log({N(1)}), N(2)})}, "2", ""},
      {"switch: falls through into the default", {SwitchOn(N(2), false, true)}, "undefined", "'c1' 'c2' 'b2' 'b3' 'd'"},
      {"switch: a break ends it", {SwitchOn(N(2), true, true)}, "undefined", "'c1' 'c2' 'b2'"},
      {"switch: strict equality", {SwitchOn(S("2"), false, false)}, "undefined", "'c1' 'c2' 'c3'"},
      {"switch: no match runs the default", {SwitchOn(N(9), false, true)}, "undefined", "'c1' 'c2' 'c3' 'd'"},
      {"switch: only a default", {Op("38", {N(1), Body(), Body({Log({S("d")})})})}, "undefined", "'d'"},
      {"switch: continue passes out", {Op("38", {N(1), Body({N(1)}), Body({Op("6")})})}, "continue", ""},
      {"switch: return passes out", {Op("38", {N(1), Body({N(1)}), Body({Ret(N(4))})})}, "return 4", ""},
      {"switch: a break in the default", {Op("38", {N(1), Body(), Body({Op("4")})})}, "undefined", ""},
      {"switch: case list not an array", {Op("38", {N(1), N(2), Body()})}, "rovav 9", ""},
      {"sequence", {Op("13", {Log({N(1)}), N(2)})}, "2", "1"},
      {"sequence: a control value", {Op("13", {N(1), Op("4"), Log({N(2)})})}, "rovav 10", ""},
      {"sequence: no argument", {Op("13")}, "rovav 9", ""},
      {"return: nothing", {Op("36")}, "return undefined", ""},
      {"return: two arguments", {Op("36", {Log({N(1)}), Log({N(2)})})}, "rovav 9", ""},
      {"break and continue", {Op("4")}, "break", ""},
      {"break with an argument", {Op("6", {Log({N(1)})})}, "rovav 9", ""},
      {"run a statement array", {Op("9", {Body({Log({N(1)}), N(2)})})}, "2", "1"},
      {"run: not an array", {Op("5", {N(1)})}, "rovav 10", ""},
      {"block", {Op("53", {N(1), Op("6"), N(2)})}, "continue", ""},
      {"call: number toString", {Call(N(5), "toString")}, "'5'", ""},
      {"call: number, other name", {Call(N(5), "toFixed")}, "rovav 17", ""},
      {"call: null", {Call(Null(), "toString")}, "rovav 7", ""},
      {"call: undefined, after its arguments", {Call(Undef(), "x", {Log({N(1)})})}, "rovav 7", "1"},
      {"call: name not a string", {Op("2", {S("a"), N(1), Arr()})}, "rovav 10", ""},
      {"call: arguments not an array", {Op("2", {S("a"), S("charAt"), N(0)})}, "rovav 10", ""},
      {"call: a map's function", {Let("m", Obj({S("f"), Fn({"x"}, {Ret(Add(Get("x"), N(1)))})})),
                                  Call(Get("m"), "f", {N(2)})}, "3", ""},
      {"function declaration binds its name",
       {Op("50", {S("f"), Arr({S("a"), S("b")}), Ret(Arr({Get("a"), Get("b")}))}), Op("f", {N(1)})},
       "[1,undefined]", ""},
      {"function expression: its name, not bound", {Op("51", {S("g"), Arr()}), Op("40", {Get("g")})}, "'undefined'", ""},
      {"function: parameters not an array", {Op("51", {S("g"), N(1)})}, "rovav 10", ""},
      {"function: the name is not evaluated", {Op("51", {Log({N(1)}), Arr()})}, "rovav 5", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(show(c.program), c.expected);
    EXPECT_EQ(logged(), c.logged);
  }
}

TEST_F(ControlTest, BlocksMakeAScopeAndStatementArraysRunInPlace) {
  ASSERT_EQ(show({Op("53", {Let("inner", N(1))}), Op("5", {Body({Let("here", N(2))})})}), "2");
  EXPECT_FALSE(runtime_.globalScope()->hasName(u"inner"));
  EXPECT_TRUE(runtime_.globalScope()->hasName(u"here"));
  // A block sees and assigns the enclosing names.
  EXPECT_EQ(show({Let("x", N(1)), Op("53", {Set("x", N(5))}), Get("x")}), "5");
}

TEST_F(ControlTest, FunctionsCloseOverTheScopeTheyWereMadeIn) {
  // make(n) returns a function that adds n; two of them keep their own n.
  Entity make = Op("50", {S("make"), Arr({S("n")}), Ret(Fn({"x"}, {Ret(Add(Get("x"), Get("n")))}))});
  EXPECT_EQ(show({make, Let("a", Op("make", {N(1)})), Let("b", Op("make", {N(10)})),
                  Arr({Op("a", {N(5)}), Op("b", {N(5)})})}),
            "[6,15]");
  // Recursion through a declared name: factorial.
  Entity factorial = Op("50", {S("fact"), Arr({S("n")}),
                               Op("22", {Lt(Get("n"), N(2)), Body({Ret(N(1))})}),
                               Ret(Op("26", {Get("n"), Op("fact", {Op("37", {Get("n"), N(1)})})}))});
  EXPECT_EQ(show({factorial, Op("fact", {N(10)})}), "3628800");
}

// Each thread reuses one return value once nothing holds it; a return value
// that is kept (in an array, or by a caller still evaluating) must never
// take the data of a later return.
TEST_F(ControlTest, ReturnValuesKeepTheirDataWhateverReturnsLater) {
  const Entities functions = {
      Op("50", {S("id"), Arr({S("x")}), Ret(Get("x"))}),
      // Returns from inside a loop, through an if, the first i past the limit.
      Op("50", {S("over"), Arr({S("limit")}), Let("i", N(0)),
                Op("42", {B(true), Set("i", Add(Get("i"), N(1))), B(false),
                          Body({Op("22", {Op("18", {Get("i"), Get("limit")}), Body({Ret(Get("i"))})})})}),
                Ret(N(-1))}),
      // A body that ends in a kept return value returns its data.
      Op("50", {S("peek"), Arr(), Prop(Get("kept"), N(0))}),
      // A return whose value is made of nested calls that return.
      Op("50", {S("sum"), Arr({S("a"), S("b")}), Ret(Add(Op("id", {Get("a")}), Op("id", {Get("b")})))}),
  };
  auto with = [&](Entities program) {
    Entities all = functions;
    all.insert(all.end(), program.begin(), program.end());
    return all;
  };
  struct Case {
    const char* name;
    Entities program;
    const char* expected;
  } cases[] = {
      {"nested returns", {Op("sum", {Op("sum", {N(1), N(2)}), Op("id", {N(4)})})}, "7"},
      {"returns through a loop", {Arr({Op("over", {N(2)}), Op("over", {N(5)}), Op("id", {N(9)})})}, "[3,6,9]"},
      {"return values kept in an array", {Arr({Ret(N(1)), Op("id", {N(2)}), Ret(N(3))})}, "[return 1,2,return 3]"},
      {"a kept return value passed through a call",
       {Let("kept", Arr({Ret(S("a"))})), Op("id", {Prop(Get("kept"), N(0))}), Op("sum", {N(2), N(3)}), Get("kept")},
       "[return 'a']"},
      {"a kept return value ending a body", {Let("kept", Arr({Ret(S("a"))})), Arr({Op("peek"), Get("kept")})},
       "['a',[return 'a']]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(show(with(c.program)), c.expected);
  }
}

// A return that ends a function body is run in place; it must count, check
// and fail as the return statement does: one instruction more than its value
// alone would cost as the body's last statement, and the same result.
TEST_F(ControlTest, AReturnEndingABodyCostsOneMoreThanItsValue) {
  auto call = [](Entities body) {
    Entities declaration = {S("f"), Arr({S("x")})};
    declaration.insert(declaration.end(), body.begin(), body.end());
    return Entities{Op("50", declaration), Op("f", {N(1)})};
  };
  struct Case {
    const char* name;
    Entities body;
    Entity value;
    const char* expected;
  } cases[] = {
      {"a value", {}, Add(Get("x"), N(1)), "2"},
      {"after other statements", {Let("y", N(2)), Log({Get("y")})}, Add(Get("x"), Get("y")), "3"},
      {"a value that fails", {}, Fail(), "rovav 9"},
      {"a value that calls", {Op("50", {S("g"), Arr(), Ret(N(7))})}, Op("g"), "7"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Entities returning = c.body;
    returning.push_back(Ret(c.value));
    Entities bare = c.body;
    bare.push_back(c.value);
    EXPECT_EQ(show(call(returning)), c.expected);
    const std::string logs = logged();
    const int32_t counted = runtime_.getInstructionCount();
    EXPECT_EQ(show(call(bare)), c.expected);
    EXPECT_EQ(logged(), logs);
    EXPECT_EQ(runtime_.getInstructionCount() + 1, counted);
  }
  // The count is checked before the value is evaluated.
  EXPECT_EQ(show(call({Op("36", {Log({N(1)}), Log({N(2)})})})), "rovav 9");
  EXPECT_EQ(logged(), "");
  EXPECT_EQ(show(call({Op("36"), N(5)})), "undefined");
}

}  // namespace

namespace {

Entity IfTrue(Entity branch) { return Op("22", {B(true), std::move(branch)}); }
Entity PushOntoA(Entity arguments) { return Op("2", {Get("a"), S("push"), std::move(arguments)}); }

// An if branch and a method's argument list written as array literals run
// without making the arrays; they must cost, count and fail exactly as the
// arrays would. The same literal behind a pass-through (35) makes the array:
// one evaluation more, all else the same.
TEST_F(ControlTest, LiteralBranchesAndArgumentListsCostWhatTheirArraysCost) {
  const Entities many(kAPMPMaxArraySlots + 1, N(0));
  struct Case {
    const char* name;
    Entity (*wrap)(Entity);
    Entity literal;
    const char* expected;
  } cases[] = {
      {"branch", &IfTrue, Body({Log({N(1)}), Let("x", N(2)), Add(Get("x"), N(1))}), "3"},
      {"branch that returns", &IfTrue, Body({Ret(N(4)), Log({N(5)})}), "return 4"},
      {"branch that fails", &IfTrue, Body({Log({N(1)}), Fail()}), "rovav 9"},
      {"branch past the array cap", &IfTrue, Body(many), "rovav 11"},
      {"arguments", &PushOntoA, Arr({N(1), S("two"), Add(N(1), N(2))}), "4"},
      {"arguments that fail", &PushOntoA, Arr({Log({N(1)}), Fail()}), "rovav 9"},
      {"arguments past the array cap", &PushOntoA, Arr(many), "rovav 11"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(show({Let("a", Arr({N(0)})), c.wrap(c.literal)}), c.expected);
    const std::string inPlace = logged();
    const int32_t counted = runtime_.getInstructionCount();
    EXPECT_EQ(show({Let("a", Arr({N(0)})), c.wrap(Op("35", {c.literal}))}), c.expected);
    EXPECT_EQ(logged(), inPlace);
    EXPECT_EQ(runtime_.getInstructionCount(), counted + 1);
  }
}

}  // namespace
