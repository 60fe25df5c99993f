#include <cmath>

#include "measurement/script/commands/tests/program_support.h"

namespace {
using namespace program;

class ArrayMethodsTest : public ProgramTest {};

Entity Nums(std::initializer_list<double> values) {
  Entities elements;
  for (double value : values) elements.push_back(N(value));
  return Arr(std::move(elements));
}

// [1, hole, 3]: an array with a hole in the middle.
Entity Holed() { return Op("13", {Let("h", Nums({1})), Put(Get("h"), N(2), N(3)), Get("h")}); }

// A function that logs its arguments and returns the first.
Entity Spy() { return Fn({"a", "b", "c"}, {Log({Get("a"), Get("b")}), Ret(Get("a"))}); }

TEST_F(ArrayMethodsTest, ArrayMethods) {
  const Entity sub = Fn({"a", "b"}, {Ret(Op("37", {Get("a"), Get("b")}))});
  const Entity concat = Fn({"x", "y"}, {Ret(Add(Get("x"), Get("y")))});
  struct Case {
    const char* name;
    Entity statement;
    const char* expected;
    const char* logged;
  } cases[] = {
      // searching
      {"indexOf", Call(Nums({1, 2, 1}), "indexOf", {N(1), N(1)}), "2", ""},
      {"indexOf: start at the length", Call(Nums({1, 2, 3}), "indexOf", {N(1), N(3)}), "-1", ""},
      {"indexOf: start far below zero", Call(Nums({1, 2, 3}), "indexOf", {N(1), N(-100)}), "0", ""},
      {"indexOf: negative start", Call(Nums({1, 2, 1}), "indexOf", {N(1), N(-2)}), "2", ""},
      {"indexOf: NaN", Call(Nums({NAN}), "indexOf", {N(NAN)}), "-1", ""},
      {"indexOf: strict", Call(Arr({S("1")}), "indexOf", {N(1)}), "-1", ""},
      {"indexOf: no argument finds undefined", Call(Arr({N(1), Undef()}), "indexOf"), "1", ""},
      {"lastIndexOf", Call(Nums({1, 2, 1}), "lastIndexOf", {N(1)}), "2", ""},
      {"lastIndexOf: start NaN searches all", Call(Nums({1, 2, 1}), "lastIndexOf", {N(1), N(NAN)}), "2", ""},
      {"lastIndexOf: start -4 of three", Call(Nums({1, 2, 3}), "lastIndexOf", {N(1), N(-4)}), "-1", ""},
      {"lastIndexOf: start past the end", Call(Nums({1, 2, 3}), "lastIndexOf", {N(3), N(99)}), "2", ""},
      {"lastIndexOf: negative start", Call(Nums({1, 2, 1}), "lastIndexOf", {N(1), N(-2)}), "0", ""},
      {"hasOwnProperty: length", Call(Arr(), "hasOwnProperty", {S("length")}), "true", ""},
      {"hasOwnProperty: a hole", Call(Holed(), "hasOwnProperty", {N(1)}), "false", ""},
      {"hasOwnProperty: an index text", Call(Holed(), "hasOwnProperty", {S("2")}), "true", ""},
      // strings
      {"join", Call(Arr({N(1), Null(), N(3)}), "join"), "'1,,3'", ""},
      {"join: undefined separator", Call(Arr({N(1), Null(), N(3)}), "join", {Undef()}), "'13'", ""},
      {"join: a separator", Call(Holed(), "join", {S("-")}), "'1--3'", ""},
      {"join: empty", Call(Arr(), "join"), "''", ""},
      {"toString", Call(Nums({1, 2}), "toString"), "'1,2'", ""},
      {"toString: an argument", Call(Nums({1, 2}), "toString", {N(1)}), "rovav 9", ""},
      // in place
      {"push", Call(Arr(), "push", {N(1), N(2)}), "2", ""},
      {"unshift", Op("13", {Let("a", Nums({3})), Call(Get("a"), "unshift", {N(1), N(2)}), Get("a")}), "[1,2,3]", ""},
      {"pop", Call(Nums({1, 2}), "pop"), "2", ""},
      {"pop: empty", Call(Arr(), "pop"), "undefined", ""},
      {"shift", Call(Nums({1, 2}), "shift"), "1", ""},
      {"shift: a hole", Op("13", {Holed(), Call(Get("h"), "shift"), Call(Get("h"), "shift")}), "undefined", ""},
      {"reverse keeps holes", Call(Holed(), "reverse"), "[3,_,1]", ""},
      {"sort: string order", Call(Nums({10, 9, 1}), "sort"), "[1,10,9]", ""},
      {"sort: undefined and holes last", Call(Op("13", {Holed(), Put(Get("h"), N(1), Undef()), Put(Get("h"), N(4), S("a")), Get("h")}), "sort"),
       "[1,3,'a',undefined,_]", ""},
      {"sort: strings around undefined", Call(Arr({S("b"), Undef(), S("a")}), "sort"), "['a','b',undefined]", ""},
      {"sort: with a function", Call(Nums({10, 9, 1}), "sort", {sub}), "[1,9,10]", ""},
      {"sort: not a function", Call(Nums({2, 1}), "sort", {N(1)}), "rovav 10", ""},
      {"sort: one slot ignores the argument", Call(Nums({2}), "sort", {N(1)}), "[2]", ""},
      {"sort: a failing function", Call(Nums({3, 2, 1}), "sort", {Fn({}, {Fail()})}), "rovav 9", ""},
      {"splice: one argument", Op("13", {Let("a", Nums({1, 2, 3, 4, 5})), Arr({Call(Get("a"), "splice", {N(1)}), Get("a")})}),
       "[[2,3,4,5],[1]]", ""},
      {"splice: insert before the last", Op("13", {Let("a", Nums({1, 2})), Call(Get("a"), "splice", {N(-1), N(0), S("x")}), Get("a")}),
       "[1,'x',2]", ""},
      {"splice: past the end appends", Op("13", {Let("a", Nums({1})), Call(Get("a"), "splice", {N(10), N(1), N(2)}), Get("a")}),
       "[1,2]", ""},
      {"splice: no arguments", Call(Nums({1}), "splice"), "[]", ""},
      // new arrays
      {"concat", Call(Holed(), "concat", {Nums({4}), N(5), Arr({Arr()})}), "[1,_,3,4,5,[]]", ""},
      {"concat: a control value", Call(Arr(), "concat", {Op("4")}), "rovav 10", ""},
      {"slice: last two", Call(Nums({1, 2, 3, 4, 5}), "slice", {N(-2)}), "[4,5]", ""},
      {"slice: end before start", Call(Nums({1, 2, 3, 4, 5}), "slice", {N(3), N(1)}), "[]", ""},
      {"slice: an undefined end", Call(Nums({1, 2}), "slice", {N(0), Undef()}), "[]", ""},
      {"slice: keeps holes", Call(Holed(), "slice"), "[1,_,3]", ""},
      // iteration: holes are skipped, the callback sees (element, index)
      {"forEach", Call(Holed(), "forEach", {Spy()}), "undefined", "1 0 3 2"},
      {"map: an element then a hole",
       Call(Op("13", {Let("a", Nums({1})), Put(Get("a"), S("length"), N(2)), Get("a")}), "map", {Spy()}), "[1]", "1 0"},
      {"map: a hole then an element", Call(Op("13", {Holed(), Call(Get("h"), "shift"), Get("h")}), "map", {Spy()}), "[_,3]",
       "3 1"},
      {"filter", Call(Nums({1, 0, 2}), "filter", {Spy()}), "[1,2]", "1 0 0 1 2 2"},
      {"filter: two arguments", Call(Nums({1}), "filter", {Spy(), N(1)}), "rovav 9", ""},
      {"every: empty", Call(Arr(), "every", {Spy()}), "true", ""},
      {"every: stops at false", Call(Nums({1, 0, 2}), "every", {Spy()}), "false", "1 0 0 1"},
      {"some: empty", Call(Arr(), "some", {Spy()}), "false", ""},
      {"some: stops at true", Call(Nums({0, 1, 2}), "some", {Spy()}), "true", "0 0 1 1"},
      {"forEach: not a function", Call(Nums({1}), "forEach", {N(1)}), "rovav 10", ""},
      {"forEach: an error stops the walk", Call(Nums({1, 2}), "forEach", {Fn({"x"}, {Log({Get("x")}), Fail()})}), "rovav 9",
       "1"},
      // reduction
      {"reduce", Call(Arr({S("a"), S("b"), S("c")}), "reduce", {concat}), "'abc'", ""},
      {"reduceRight", Call(Arr({S("a"), S("b"), S("c")}), "reduceRight", {concat}), "'cba'", ""},
      {"reduce: a start", Call(Nums({1, 2}), "reduce", {concat, S("s")}), "'s12'", ""},
      {"reduce: one slot returns it uncalled", Call(Nums({7}), "reduce", {Spy()}), "7", ""},
      {"reduce: holes are skipped", Call(Holed(), "reduce", {Spy()}), "1", "1 3"},
      {"reduce: empty with a start", Call(Arr(), "reduce", {Spy(), S("s")}), "'s'", ""},
      {"reduce: empty without a start", Call(Arr(), "reduce", {Spy()}), "rovav 8", ""},
      {"reduceRight: holes only", Call(Op("13", {Let("a", Arr()), Put(Get("a"), S("length"), N(3)), Get("a")}), "reduceRight", {Spy()}),
       "rovav 8", ""},
      {"reduce: not a function", Call(Nums({1}), "reduce", {N(1)}), "rovav 10", ""},
      {"reduce: a control start", Call(Nums({1}), "reduce", {Spy(), Op("6")}), "rovav 10", ""},
      {"reduce: three arguments", Call(Nums({1}), "reduce", {Spy(), N(1), N(2)}), "rovav 9", ""},
      // method names
      {"an unknown method", Call(Arr(), "includes", {N(1)}), "rovav 17", ""},
      {"an own function property first", Op("13", {Let("a", Arr()), Put(Get("a"), S("push"), Fn({}, {Ret(S("own"))})),
                                                   Call(Get("a"), "push", {N(1)})}),
       "'own'", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(show({c.statement}), c.expected);
    EXPECT_EQ(logged(), c.logged);
  }
}

TEST_F(ArrayMethodsTest, CallbacksThatChangeTheArrayAreSeenSafely) {
  // The length is read once; slots removed by the callback are skipped, slots
  // added past the first length are not visited.
  Entities shrink = {Let("a", Nums({1, 2, 3, 4})),
                     Call(Get("a"), "forEach", {Fn({"x"}, {Log({Get("x")}), Call(Get("a"), "pop")})}), Get("a")};
  EXPECT_EQ(show(shrink), "[1,2]");
  EXPECT_EQ(logged(), "1 2");
  Entities grow = {Let("a", Nums({1, 2})),
                   Call(Get("a"), "map", {Fn({"x"}, {Call(Get("a"), "push", {Get("x")}), Ret(Get("x"))})}), Get("a")};
  EXPECT_EQ(show(grow), "[1,2,1,2]");
  // A comparison that rewrites the array it sorts leaves a whole array behind.
  Entities rewrite = {Let("a", Nums({3, 1, 2})),
                      Call(Get("a"), "sort", {Fn({"x", "y"}, {Put(Get("a"), S("length"), N(0)), Ret(Op("37", {Get("x"), Get("y")}))})}),
                      Get("a")};
  EXPECT_EQ(show(rewrite), "[1,2,3]");
}

}  // namespace
