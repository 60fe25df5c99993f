#include "measurement/script/commands/tests/program_support.h"

namespace {
using namespace program;

class LoopTest : public ProgramTest {};

// for-in / for-of over the collection, logging each item.
Entity Each(const char* opcode, Entity collection, Entities body = {Log({Get("v")})}) {
  return Op(opcode, {S("v"), std::move(collection), Body(std::move(body))});
}

// i counts from 0 while below 3, by assignment in the current scope.
Entity While(bool bodyFirst, Entity condition, Entities body) {
  return Op("42", {std::move(condition), Set("i", Add(Get("i"), N(1))), B(bodyFirst), Body(std::move(body))});
}

TEST_F(LoopTest, LoopCommands) {
  // [1, 2, hole, 4] with a named property "x".
  const Entities holed = {Let("a", Arr({N(1), N(2)})), Put(Get("a"), N(3), N(4)), Put(Get("a"), S("x"), N(9))};
  auto with = [](Entities prefix, Entity last) {
    prefix.push_back(std::move(last));
    return prefix;
  };
  struct Case {
    const char* name;
    Entities program;
    const char* expected;
    const char* logged;
  } cases[] = {
      {"for-in over a string", {Each("55", S("ab"))}, "undefined", "'0' '1'"},
      {"for-of over a string", {Each("66", S("ab"))}, "undefined", "'a' 'b'"},
      {"for-of: code units", {Each("66", S("\xF0\x9F\x98\x80"), {Log({Prop(Get("v"), S("length"))})})}, "undefined",
       "1 1"},
      {"for-in over a number", {Each("54", N(5))}, "undefined", ""},
      {"for-in over null", {Each("47", Null())}, "undefined", ""},
      {"for-of over a map", {Each("65", Obj({S("a"), N(1)}))}, "rovav 16", ""},
      {"for-of over a number", {Each("64", N(5))}, "rovav 16", ""},
      {"for-in over a map", {Each("55", Obj({S("a"), N(1), S("b"), N(2)}))}, "undefined", "'a' 'b'"},
      {"for-in skips holes, names first", with(holed, Each("55", Get("a"))), "undefined", "'x' '0' '1' '3'"},
      {"for-of reads holes as undefined", with(holed, Each("66", Get("a"))), "undefined", "1 2 undefined 4"},
      {"a body that is not an array", {Op("54", {S("v"), N(5), N(1)})}, "rovav 10", ""},
      {"a constant per iteration ignores assignment",
       {Each("65", S("ab"), {Set("v", S("z")), Log({Get("v")})})}, "undefined", "'a' 'b'"},
      {"a variable per iteration takes assignment",
       {Each("66", S("ab"), {Set("v", S("z")), Log({Get("v")})})}, "undefined", "'z' 'z'"},
      {"assigning binds in the current scope", {Each("47", S("ab"), {}), Get("v")}, "'1'", ""},
      {"the items are taken before the first iteration",
       {Let("a", Arr({N(1), N(2)})), Each("66", Get("a"), {Call(Get("a"), "push", {N(3)}), Log({Get("v")})}),
        Prop(Get("a"), S("length"))},
       "4", "1 2"},
      {"break ends the loop", {Each("66", S("abc"), {Log({Get("v")}), Op("4")})}, "undefined", "'a'"},
      {"continue goes on",
       {Each("66", S("abc"), {Op("22", {Op("20", {Get("v"), S("b")}), Body({Op("6")})}), Log({Get("v")})})},
       "undefined", "'a' 'c'"},
      {"return passes out", {Each("66", S("abc"), {Ret(Get("v"))})}, "return 'a'", ""},
      {"an error stops the loop", {Each("66", S("abc"), {Log({Get("v")}), Fail()})}, "rovav 9", "'a'"},
      {"for-in: wrong count", {Op("55", {S("v"), Log({N(1)})})}, "rovav 9", ""},
      {"while", {Let("i", N(0)), While(false, Lt(Get("i"), N(3)), {Log({Get("i")})})}, "undefined", "0 1 2"},
      {"do-while runs once on a false condition", {Let("i", N(0)), While(true, B(false), {Log({Get("i")})})},
       "undefined", "0"},
      {"while never runs on a false condition", {Let("i", N(0)), While(false, B(false), {Log({Get("i")})})},
       "undefined", ""},
      {"do-while: the update waits for the first test",
       {Let("i", N(0)), While(true, Lt(Get("i"), N(2)), {Log({Get("i")})})}, "undefined", "0 0 1"},
      {"while: continue still runs the update",
       {Let("i", N(0)), While(false, Lt(Get("i"), N(3)), {Op("6"), Log({S("never")})}), Get("i")}, "3", ""},
      {"while: break", {Let("i", N(0)), While(false, B(true), {Op("4")}), Get("i")}, "0", ""},
      {"while: a body that is not an array", {Op("42", {B(false), N(0), B(false), N(1)})}, "rovav 10", ""},
      {"while: wrong count", {Op("42", {Log({N(1)}), N(0), B(false)})}, "rovav 9", ""},
      {"for: names not an array", {Op("63", {N(1), B(false), N(0), Body()})}, "rovav 10", ""},
      {"for: body not an array", {Op("63", {Arr(), B(false), N(0), N(1)})}, "rovav 10", ""},
      {"for: continue still runs the update",
       {Let("i", N(0)),
        Op("63", {Arr({S("i")}), Lt(Get("i"), N(3)), Set("i", Add(Get("i"), N(1))), Body({Op("6"), Log({S("x")})})}),
        Get("i")},
       "0", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(show(c.program), c.expected);
    EXPECT_EQ(logged(), c.logged);
  }
}

TEST_F(LoopTest, EachIterationOfAForLoopKeepsItsOwnCopies) {
  // var fs = []; for (i = 0; i < 3; i++) fs.push(function () { return i; });
  // then every function is called: each sees its own iteration's i, and the
  // loop's own i in the enclosing scope never changed.
  Entities program = {
      Let("fs", Arr()), Let("i", N(0)),
      Op("63", {Arr({S("i")}), Lt(Get("i"), N(3)), Set("i", Add(Get("i"), N(1))),
                Body({Call(Get("fs"), "push", {Fn({}, {Ret(Get("i"))})})})}),
      Arr({Call(Get("fs"), "map", {Fn({"f"}, {Ret(Op("f"))})}), Get("i")}),
  };
  EXPECT_EQ(show(program), "[[0,1,2],0]");
  // With a while loop every function shares the one variable.
  Entities shared = {
      Let("fs", Arr()), Let("i", N(0)),
      While(false, Lt(Get("i"), N(3)), {Call(Get("fs"), "push", {Fn({}, {Ret(Get("i"))})})}),
      Call(Get("fs"), "map", {Fn({"f"}, {Ret(Op("f"))})}),
  };
  EXPECT_EQ(show(shared), "[3,3,3]");
}

TEST_F(LoopTest, BreakEndsOnlyTheInnermostLoopAndReturnEndsTheFunction) {
  Entity nested = Each("66", S("ab"), {Op("66", {S("w"), S("xy"), Body({Log({Add(Get("v"), Get("w"))}), Op("4")})})});
  EXPECT_EQ(show({nested}), "undefined");
  EXPECT_EQ(logged(), "'ax' 'bx'");
  Entity find = Op("50", {S("find"), Arr({S("s"), S("c")}),
                          Op("55", {S("k"), Get("s"), Body({Op("22", {Op("20", {Prop(Get("s"), Get("k")), Get("c")}),
                                                                        Body({Ret(Get("k"))})})})}),
                          Ret(N(-1))});
  EXPECT_EQ(show({find, Arr({Op("find", {S("abc"), S("b")}), Op("find", {S("abc"), S("z")})})}), "['1',-1]");
}

}  // namespace
