#include "measurement/script/commands/tests/program_support.h"

namespace {
using namespace program;

class VariableTest : public ProgramTest {};

TEST_F(VariableTest, VariablePropertyAndLiteralCommands) {
  struct Case {
    const char* name;
    Entities program;
    const char* expected;
  } cases[] = {
      {"read an undeclared name", {Get("nowhere")}, "undefined"},
      {"assign an undeclared name", {Set("nowhere", N(1))}, "rovav 2"},
      {"declare, assign, read", {Op("41", {S("a"), S("b")}), Set("b", N(2)), Arr({Get("a"), Get("b")})},
       "[undefined,2]"},
      {"a constant ignores assignment", {Const("c", N(1)), Arr({Set("c", N(2)), Get("c")})}, "[2,1]"},
      {"a constant ignores redeclaration", {Const("c", N(1)), Op("41", {S("c")}), Get("c")}, "1"},
      {"constants: three arguments", {Op("52", {S("k"), N(1), S("j")})}, "rovav 9"},
      {"constants: none", {Op("52")}, "undefined"},
      {"constants: a name that is not a string", {Op("52", {N(1), N(2)})}, "rovav 10"},
      {"read: a name that is not a string", {Op("15", {N(1)})}, "rovav 10"},
      {"assign: a name that is not a string", {Op("3", {Null(), N(1)})}, "rovav 10"},
      {"map keys by their string form", {Obj({N(1), S("a"), S("1"), S("b"), Null(), N(3)})}, "{1:'b',null:3}"},
      {"map: an odd count", {Obj({S("a")})}, "rovav 9"},
      {"array literal", {Arr({N(1), S("a"), Null()})}, "[1,'a',null]"},
      {"string: index", {Prop(S("abc"), N(1))}, "'b'"},
      {"string: index text", {Prop(S("abc"), S("1"))}, "'b'"},
      {"string: past the end", {Prop(S("abc"), N(3))}, "undefined"},
      {"string: not an index", {Prop(S("abc"), N(1.5))}, "undefined"},
      {"string: length", {Prop(S("abc"), S("length"))}, "3"},
      {"string: length in code units", {Prop(S("\xF0\x9F\x98\x80"), S("length"))}, "2"},
      {"number property", {Prop(N(5), S("x"))}, "undefined"},
      {"null property", {Prop(Null(), S("x"))}, "undefined"},
      {"write on null", {Put(Null(), S("x"), N(1))}, "rovav 6"},
      {"write on undefined", {Put(Undef(), S("x"), N(1))}, "rovav 6"},
      {"write on a string", {Let("s", S("ab")), Arr({Put(Get("s"), N(0), S("z")), Get("s")})}, "['z','ab']"},
      {"array: length and index", {Let("a", Arr({N(1), N(2)})), Arr({Prop(Get("a"), S("length")), Prop(Get("a"), S("1"))})},
       "[2,2]"},
      {"array: write grows with holes", {Let("a", Arr()), Put(Get("a"), N(2), S("x")), Get("a")}, "[_,_,'x']"},
      {"array: a named property", {Let("a", Arr()), Put(Get("a"), S("k"), N(1)), Arr({Prop(Get("a"), S("k")), Get("a")})},
       "[1,[]]"},
      {"array: a bad length", {Put(Arr({N(1)}), S("length"), N(-1))}, "rovav 11"},
      {"map: write then read", {Let("m", Obj()), Put(Get("m"), N(1), S("v")), Prop(Get("m"), S("1"))}, "'v'"},
      {"map: a missing property", {Prop(Obj(), S("x"))}, "undefined"},
      {"function: a property", {Let("f", Fn({}, {})), Put(Get("f"), S("p"), N(4)), Prop(Get("f"), S("p"))}, "4"},
      {"type of null", {Op("40", {Null()})}, "'object'"},
      {"type of an array", {Op("40", {Arr()})}, "'object'"},
      {"type of a map", {Op("40", {Obj()})}, "'object'"},
      {"type of a function", {Op("40", {Fn({}, {})})}, "'function'"},
      {"type of undefined", {Op("40", {Undef()})}, "'undefined'"},
      {"type of a Boolean", {Op("40", {B(false)})}, "'boolean'"},
      {"type of a number", {Op("40", {N(1)})}, "'number'"},
      {"type of a string", {Op("40", {S("")})}, "'string'"},
      {"undefined evaluates its arguments", {Op("44", {Log({N(1)}), N(2)})}, "undefined"},
      {"null with a failing argument", {Op("45", {Fail()})}, "rovav 9"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(show(c.program), c.expected);
  }
  EXPECT_EQ(logged(), "1");
}

TEST_F(VariableTest, DeclarationsStopAtTheFirstBadName) {
  EXPECT_EQ(show({Op("41", {S("a"), N(1), S("b")})}), "rovav 10");
  EXPECT_TRUE(runtime_.globalScope()->hasName(u"a"));
  EXPECT_FALSE(runtime_.globalScope()->hasName(u"b"));
  EXPECT_EQ(show({Op("52", {S("k"), N(1), N(2), N(3)})}), "rovav 10");
  EXPECT_EQ(show({Get("k")}), "1");
  // Assignment reaches the scope that declared the name, from inside a function.
  EXPECT_EQ(show({Let("g", N(1)), Op("f", {}), Op("50", {S("f"), Arr(), Set("g", N(2))}), Op("f"), Get("g")}), "2");
}

}  // namespace
