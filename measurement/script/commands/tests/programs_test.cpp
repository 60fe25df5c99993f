// Small programs that mix loops, closures and methods, and the bounds that
// stop hostile ones: the budget, the slot and string caps, the depth cap and
// the regular-expression time limit.
#include <time.h>

#include <future>

#include "measurement/script/commands/tests/program_support.h"
#include "measurement/script/runtime/limits.h"
#include "os/dispatch/queue.h"

namespace {
using namespace program;

class ProgramsTest : public ProgramTest {
 protected:
  // Runs the program on a worker thread, as the engine does: its stack is
  // the one the depth cap protects.
  std::string showOnWorker(const Entities& statements) {
    auto queue = os::DispatchQueue::create("script.programs", os::DispatchQueue::Attributes::Serial);
    std::promise<std::string> done;
    queue->async([&] { done.set_value(show(statements)); });
    return done.get_future().get();
  }
};

Entity Inc(std::string_view name) { return Set(name, Add(Get(name), N(1))); }
Entity Forever(Entities body) { return Op("42", {B(true), N(0), B(false), Body(std::move(body))}); }

// w: an array holding the same chain [[[...[]...]]] of the given depth count times.
Entities SharedChains(int depth, int count) {
  return {Let("f", Arr()), Let("j", N(0)),
          Op("42", {Lt(Get("j"), N(depth)), Inc("j"), B(false), Body({Set("f", Arr({Get("f")}))})}),
          Let("w", Arr()), Set("j", N(0)),
          Op("42", {Lt(Get("j"), N(count)), Inc("j"), B(false), Body({Call(Get("w"), "push", {Get("f")})})})};
}

TEST_F(ProgramsTest, AnEventEditingProgram) {
  // Turns "item_id=7;price=12.5;;note= a b " into a map of trimmed values,
  // skipping empty pairs, then counts the keys that start with "p" through a
  // closure over a counter.
  Entities program = {
      Let("params", Obj()),
      Op("66", {S("pair"), Call(S("item_id=7;price=12.5;;note= a b "), "split", {S(";")}),
                Body({Op("22", {Op("20", {Get("pair"), S("")}), Body({Op("6")})}),
                      Const("at", Call(Get("pair"), "indexOf", {S("=")})),
                      Put(Get("params"), Call(Get("pair"), "substring", {N(0), Get("at")}),
                          Call(Call(Get("pair"), "slice", {Add(Get("at"), N(1))}), "trim"))})}),
      Let("count", N(0)),
      Let("counter", Fn({"key"}, {Op("22", {Op("20", {Call(Get("key"), "charAt"), S("p")}),
                                          Body({Inc("count")})})})),
      Op("54", {S("k"), Get("params"), Body({Op("counter", {Get("k")})})}),
      Put(Get("params"), S("price"), Op("26", {Prop(Get("params"), S("price")), N(2)})),
      Arr({Get("params"), Get("count"),
           Call(Call(Call(Get("params"), "hasOwnProperty", {S("note")}), "toString"), "toUpperCase")}),
  };
  EXPECT_EQ(show(program), "[{item_id:'7',price:25,note:'a b'},1,'TRUE']");
}

TEST_F(ProgramsTest, ClosuresLoopsAndArrayMethodsTogether) {
  // adders[i] = x => x + i for i in 0..3 (per-iteration copies), applied
  // with map, filtered, sorted by a comparison function and reduced.
  Entities program = {
      Let("adders", Arr()),
      Let("i", N(0)),
      Op("63", {Arr({S("i")}), Lt(Get("i"), N(4)), Inc("i"),
                Body({Call(Get("adders"), "push", {Fn({"x"}, {Ret(Add(Get("x"), Get("i")))})})})}),
      Let("results", Call(Get("adders"), "map", {Fn({"f", "n"}, {Ret(Op("f", {Op("26", {Get("n"), N(10)})}))})})),
      Let("odd", Call(Get("results"), "filter", {Fn({"v"}, {Ret(Op("25", {Get("v"), N(2)}))})})),
      Call(Get("results"), "sort", {Fn({"a", "b"}, {Ret(Op("37", {Get("b"), Get("a")}))})}),
      Arr({Get("results"), Get("odd"),
           Call(Get("results"), "reduce", {Fn({"s", "v"}, {Ret(Add(Get("s"), Get("v")))}), S("")}),
           Call(Get("results"), "join", {S("+")})}),
  };
  EXPECT_EQ(show(program), "[[33,22,11,0],[11,33],'3322110','33+22+11+0']");
}

TEST_F(ProgramsTest, GrowingStringsAndArraysStopAtTheirCaps) {
  EXPECT_EQ(show({Let("s", S("a")), Forever({Set("s", Add(Get("s"), Get("s")))})}), "rovav 18");
  EXPECT_EQ(show({Prop(Get("s"), S("length"))}), std::to_string(kAPMPMaxStringLength));
  EXPECT_EQ(show({Call(Get("s"), "concat", {S("x")})}), "rovav 18");
  EXPECT_EQ(show({Call(Get("s"), "replace", {S("a"), S("xy")})}), "rovav 18");
  EXPECT_EQ(show({Prop(Call(Get("s"), "toUpperCase"), S("length"))}), std::to_string(kAPMPMaxStringLength));
  // Case mapping may lengthen a text: "ß" upper-cases to "SS".
  EXPECT_EQ(show({Call(Call(Get("s"), "replace", {S("a"), S("\xC3\x9F")}), "toUpperCase")}), "rovav 18");

  EXPECT_EQ(show({Let("a", Arr()), Forever({Call(Get("a"), "push", {N(1)})})}), "rovav 11");
  EXPECT_EQ(show({Prop(Get("a"), S("length"))}), std::to_string(kAPMPMaxArraySlots));
  for (const char* grow : {"unshift", "push"}) {
    SCOPED_TRACE(grow);
    EXPECT_EQ(show({Call(Get("a"), grow, {N(1)})}), "rovav 11");
  }
  EXPECT_EQ(show({Call(Get("a"), "concat", {N(1)})}), "rovav 11");
  EXPECT_EQ(show({Call(Get("a"), "splice", {N(0), N(0), N(1)})}), "rovav 11");
  EXPECT_EQ(show({Put(Get("a"), N(kAPMPMaxArraySlots), N(1))}), "rovav 11");
  EXPECT_EQ(show({Prop(Get("a"), S("length"))}), std::to_string(kAPMPMaxArraySlots));
  // A text from the program itself may be longer than the cap; its pieces still are not made.
  EXPECT_EQ(show({Call(S(std::string(kAPMPMaxArraySlots + 5, 'x')), "split", {S("")})}), "rovav 11");
}

// Mend: one statement could copy or scan a full array or string, bind
// thousands of names, or run a regular expression for milliseconds, for the
// price of one instruction, so a loop of them held the worker queue for
// seconds to minutes within the budget. Such work now pays by its size.
// Mend: an assignment asked every scope on its way whether an ancestor held
// the name, walking the rest of the chain again each time (quadratic in the
// depth): a budget-bound run at depth 190 took seconds, not milliseconds.
TEST_F(ProgramsTest, AssignmentDeepInTheScopeChainCostsAboutWhatItCostsNearby) {
  auto cpuSecondsAtDepth = [&](int depth) {
    Entity work = Forever({Inc("x")});
    for (int level = 1; level < depth; ++level) work = Op("53", {work});  // a block: one scope more
    timespec start{}, end{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
    EXPECT_EQ(show({Let("x", N(0)), work}), "rovav 18");
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
    EXPECT_EQ(runtime_.getInstructionCount(), kAPMPInstructionBudget);
    return static_cast<double>(end.tv_sec - start.tv_sec) + static_cast<double>(end.tv_nsec - start.tv_nsec) * 1e-9;
  };
  const double nearby = cpuSecondsAtDepth(1);
  const double deep = cpuSecondsAtDepth(190);
  EXPECT_LT(deep, 8 * nearby) << "depth 1: " << nearby << " s, depth 190: " << deep << " s";
}

TEST_F(ProgramsTest, BulkWorkPaysTheBudget) {
  const int slots = static_cast<int>(kAPMPMaxArraySlots);
  struct Case {
    const char* name;
    Entities setup;
    Entity work;
  } cases[] = {
      {"slice", {Let("a", Arr()), Put(Get("a"), S("length"), N(slots))}, Call(Get("a"), "slice")},
      {"reverse", {Let("a", Arr()), Put(Get("a"), S("length"), N(slots))}, Call(Get("a"), "reverse")},
      {"indexOf", {Let("a", Arr()), Put(Get("a"), S("length"), N(slots))}, Call(Get("a"), "indexOf", {N(1)})},
      {"forEach over holes", {Let("a", Arr()), Put(Get("a"), S("length"), N(slots))},
       Call(Get("a"), "forEach", {Fn({}, {})})},
      {"for-of with an empty body", {Let("a", Arr()), Put(Get("a"), S("length"), N(slots))},
       Op("66", {S("v"), Get("a"), Body()})},
      {"a call binding many parameters",
       {Let("names", Arr()), Put(Get("names"), S("length"), N(slots)), Let("f", Op("51", {S("f"), Get("names")}))},
       Op("f")},
      {"string equality", {Let("s", S(std::string(slots, 'a')))}, Op("12", {Get("s"), Add(Get("s"), S(""))})},
      {"indexOf in a string", {Let("s", S(std::string(slots, 'a')))}, Call(Get("s"), "indexOf", {S("b")})},
      {"a long name", {Let(std::string(slots, 'n'), N(1))}, Get(std::string(slots, 'n'))},
      {"a call by a long name", {}, Op(std::string(slots, 'f'))},
      {"a long key to a map's method", {Let("s", S(std::string(slots, 'k'))), Let("m", Obj())},
       Call(Get("m"), "hasOwnProperty", {Get("s")})},
      {"the text of one chain shared many times", SharedChains(100, 1000), Add(Get("w"), S(""))},
      {"a pattern that backtracks just within its limit", {Let("s", S(std::string(16, 'a') + "b"))},
       Call(Get("s"), "search", {S("(a+)+$")})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Entities program = c.setup;
    program.push_back(Let("n", N(0)));
    program.push_back(Forever({c.work, Inc("n")}));
    EXPECT_EQ(show(program), "rovav 18");
    EXPECT_EQ(runtime_.getInstructionCount(), kAPMPInstructionBudget);
    // Without the charge each of these loops ran about 100,000 times.
    auto rounds = std::stoi(show({Get("n")}));
    EXPECT_GT(rounds, 10);
    EXPECT_LT(rounds, 1000);
  }
}

// Mend: the text of an array that holds one chain of one-element arrays many
// times is short, but making it visited every link each time: millions of
// steps for one instruction. The slots a string form visits are paid for and
// capped.
TEST_F(ProgramsTest, AStringFormThatVisitsTooManySlotsFails) {
  ASSERT_EQ(show(SharedChains(150, 1000)), "undefined");
  EXPECT_EQ(show({Let("big", Arr()), Let("j", N(0)),
                  Op("42", {Lt(Get("j"), N(200)), Inc("j"), B(false), Body({Call(Get("big"), "push", {Get("w")})})}),
                  Call(Get("big"), "join")}),
            "rovav 18");
  // Each of these makes the text of "big" once; none may walk it whole.
  for (const Entity& form : {Add(Get("big"), S("")), Lt(Get("big"), S("")), Op("12", {Get("big"), S("")}),
                             Call(S(""), "concat", {Get("big")}), Op("27", {Get("big")})}) {
    EXPECT_EQ(show({form}), "rovav 18");
    EXPECT_LT(runtime_.getInstructionCount(), 20'000);
  }
}

// Mend: a recursion through a method's callback passes twice the native
// frames per level of the depth cap that a plain call does, and overflowed
// the worker's stack in the sanitizer build before the cap stopped it. A
// method call now counts as more than one level.
TEST_F(ProgramsTest, RecursionThroughCallbacksStopsAtTheDepthCap) {
  // Each function hands itself to a method that calls it back.
  struct Case {
    const char* name;
    Entity call;
  } cases[] = {
      {"forEach", Call(Arr({N(1)}), "forEach", {Get("f")})},
      {"map", Call(Arr({N(1)}), "map", {Get("f")})},
      {"sort", Call(Arr({N(2), N(1)}), "sort", {Get("f")})},
      {"reduce", Call(Arr({N(1), N(2)}), "reduce", {Get("f")})},
      {"replace", Call(S("a"), "replace", {S("a"), Get("f")})},
      {"a switch body", Op("38", {N(1), Body({N(1)}), Body({Op("f")})})},
      {"a for-of body", Op("66", {S("v"), S("a"), Body({Op("f")})})},
      {"a for body", Op("63", {Arr(), B(true), N(0), Body({Op("f")})})},
      {"an if branch", Op("22", {B(true), Body({Op("f")})})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(showOnWorker({Let("f", Fn({}, {c.call})), Op("f")}), "rovav 18");
    EXPECT_LT(runtime_.getInstructionCount(), 20'000);
  }
}

}  // namespace
