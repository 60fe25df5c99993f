#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <future>
#include <limits>
#include <typeinfo>

#include "measurement/messages/message_info.h"
#include "measurement/script/commands/command_families.h"
#include "measurement/script/commands/method_evaluators.h"
#include "measurement/script/runtime/entity_converter.h"
#include "measurement/script/runtime/limits.h"
#include "measurement/script/runtime/number_forms.h"
#include "measurement/script/runtime/tests/script_test_support.h"
#include "os/foundation/text.h"
#include "os/dispatch/queue.h"

namespace {
using namespace script_test;
using Kind = APMPRuntimeValue::Kind;

// A runtime whose global scope holds "tick", a native that counts its calls
// and evaluates nothing.
class RuntimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    runtime_.globalScope()->addValue(Native(u"tick",
                                            [this](const APMPValueList&, const APMPScopeRef&) -> APMPResult {
                                              ++ticks_;
                                              return Num(ticks_);
                                            }),
                                     u"tick");
  }
  APMPResult run(std::vector<Entity> statements) {
    runtime_.resetInstructionCount();
    return runtime_.executeStatements(statements);
  }

  APMPRuntime runtime_;
  int ticks_ = 0;
};

TEST(ScriptEntities, ConvertByTypeWithDefaultsForAbsentValues) {
  APMPValueRef number = Value(Typed(2));
  ASSERT_EQ(number->kind(), Kind::Number);
  EXPECT_TRUE(std::isnan(static_cast<APMPNumberValue&>(*number).value()));
  EXPECT_EQ(static_cast<APMPStringValue&>(*Value(Typed(1))).value(), u"");
  EXPECT_EQ(Value(Typed(3)), APMPBooleanValue::booleanValueWithBool(false));
  EXPECT_EQ(Value(B(true)), APMPBooleanValue::booleanValueWithBool(true));

  APMPValueRef statement = Value(Op("12", {S("a"), Op("x"), N(2)}));
  ASSERT_EQ(statement->kind(), Kind::Statement);
  const auto& s = static_cast<APMPStatementValue&>(*statement);
  EXPECT_EQ(s.functionName(), u"12");
  ASSERT_EQ(s.arguments().size(), 3u);
  EXPECT_EQ(s.arguments()[1]->kind(), Kind::Statement);
  EXPECT_TRUE(s.isEqualToRuntimeValue(*Value(Op("12", {S("a"), Op("x"), N(2)}))));
  EXPECT_FALSE(s.isEqualToRuntimeValue(*Value(Op("12", {S("a"), Op("x"), N(3)}))));
}

TEST(ScriptEntities, BadRecordsFailTheWholeConversion) {
  Entity noOpcode = Typed(4);
  struct Case {
    const char* name;
    Entity entity;
    APMPRovavError code;
  } cases[] = {
      {"type 0", Typed(0), APMPRovavError::UnknownEntityType},
      {"type 7", Typed(7), APMPRovavError::UnknownEntityType},
      {"no opcode", noOpcode, APMPRovavError::MissingOpcode},
      {"no opcode, deep", Op("13", {N(1), Op("0", {N(1), Op("27", {noOpcode})})}), APMPRovavError::MissingOpcode},
      {"type 7, deep", Op("13", {Op("0", {Typed(7)})}), APMPRovavError::UnknownEntityType},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    APMPResult value = APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(*c.entity);
    ASSERT_FALSE(value.has_value());
    EXPECT_TRUE(IsRovav(value.error(), c.code)) << value.error().description();
  }
}

// Mend: the converter read each statement's arguments through the copying
// field accessor, copying every sub-tree once per level above it: a
// 20,000-deep program took seconds before the depth cap refused it.
TEST(ScriptEntities, ConversionReadsEachEntityOnceAndStopsAtTheDepthCap) {
  // A chain of "0" statements, 20,000 deep, built in place: building it
  // through the field setters would copy each sub-tree once per level too.
  constexpr int kLevels = 20'000;
  auto root = APMPBRuntimeEntity::initWithMessageInfo(nullptr);
  ASSERT_TRUE(root);
  std::vector<MessageInfo*> levels = {root->messageInfo()};
  for (int i = 1; i < kLevels; ++i) {
    auto* child = static_cast<MessageInfo*>(std::calloc(1, sizeof(MessageInfo)));
    ASSERT_TRUE(child != nullptr && APMPBRuntimeEntityInit(child));
    auto* arguments = static_cast<APMPBArray*>(levels.back()->values[1]);
    arguments->data = std::calloc(1, sizeof(void*));
    arguments->size = 1;
    static_cast<void**>(arguments->data)[0] = child;
    levels.push_back(child);
  }
  for (MessageInfo* level : levels) {
    APMPBSetUInt32Cell(&level->values[0], 4);
    APMPBSetStringCell(&level->values[2], "0", 1);
  }

  size_t before = APMPRuntimeEntityConverter::TEST_entitiesRead();
  APMPResult deep = APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(*root);
  ASSERT_FALSE(deep.has_value());
  EXPECT_TRUE(IsRovav(deep.error(), APMPRovavError::BudgetExhausted));
  EXPECT_EQ(APMPRuntimeEntityConverter::TEST_entitiesRead() - before, static_cast<size_t>(kAPMPMaxEvaluationDepth) + 1);

  // Freed from the bottom up: the records' own release recurses per level.
  for (size_t i = levels.size() - 1; i > 0; --i) {
    APMPBRuntimeEntityFree(levels[i]);
    APMPBResetArray(static_cast<APMPBArray*>(levels[i - 1]->values[1]));
  }

  // A wide tree: every entity read exactly once.
  std::vector<Entity> leaves;
  for (int i = 0; i < 500; ++i) leaves.push_back(Op("0", {N(i), S("x")}));
  Entity wide = Op("7", leaves);
  before = APMPRuntimeEntityConverter::TEST_entitiesRead();
  ASSERT_TRUE(APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(*wide).has_value());
  EXPECT_EQ(APMPRuntimeEntityConverter::TEST_entitiesRead() - before, 1u + 500u * 3u);
}

TEST(ScriptNumbers, IntegerConversions) {
  const double nan = std::nan("");
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    double value;
    int32_t int32;
    uint32_t uint32;
    double integer;
  } cases[] = {
      {4294967297.0, 1, 1, 4294967297.0},
      {2147483648.0, -2147483648, 2147483648u, 2147483648.0},
      {-1.5, -1, 4294967295u, -1},
      {-1, -1, 4294967295u, -1},
      {nan, 0, 0, 0},
      {inf, 0, 0, inf},
      {-inf, 0, 0, -inf},
      {-4294967296.5, 0, 0, -4294967296.0},
      {1e300, 0, 0, 1e300},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(APMPToInt32(c.value), c.int32);
    EXPECT_EQ(APMPToUint32(c.value), c.uint32);
    EXPECT_EQ(APMPToInteger(c.value), c.integer);
  }
}

TEST_F(RuntimeTest, TheMillionthEvaluationAfterAResetSucceedsAndTheNextFails) {
  APMPValueRef literal = Num(1);
  const APMPScopeRef& scope = runtime_.globalScope();
  runtime_.resetInstructionCount();
  EXPECT_EQ(runtime_.getInstructionCount(), 0);
  for (int i = 0; i < 999'999; ++i) ASSERT_TRUE(APMPEvaluator::evaluateStatement(literal, scope).has_value());
  APMPResult last = APMPEvaluator::evaluateStatement(literal, scope);
  ASSERT_TRUE(last.has_value());
  EXPECT_EQ(*last, literal);
  EXPECT_EQ(runtime_.getInstructionCount(), 1'000'000);
  APMPResult next = APMPEvaluator::evaluateStatement(literal, scope);
  ASSERT_FALSE(next.has_value());
  EXPECT_TRUE(IsRovav(next.error(), APMPRovavError::BudgetExhausted));
  // Each evaluation counts: a statement and each literal argument it evaluates.
  ASSERT_TRUE(run({Op("44", {N(1), S("x")})}).has_value());
  EXPECT_EQ(runtime_.getInstructionCount(), 3);
  // A read of a name as an argument: the read, its name literal, and a long
  // name's bulk work (16 code units, two instructions).
  ASSERT_TRUE(run({Op("44", {Op("15", {S("x")})})}).has_value());
  EXPECT_EQ(runtime_.getInstructionCount(), 3);
  ASSERT_TRUE(run({Op("44", {Op("15", {S("sixteen-letters!")})})}).has_value());
  EXPECT_EQ(runtime_.getInstructionCount(), 5);
}

// Mend: the counter was an ordinary name in the initial scope, so a program
// that declared or assigned "runtime.counter" could reset its own budget and
// loop for ever. It is kept outside the names a program sees.
TEST_F(RuntimeTest, ShadowingOrAssigningTheCounterNameCannotDefeatTheBudget) {
  auto shadow = Native(u"shadow", [](const APMPValueList&, const APMPScopeRef& scope) -> APMPResult {
    scope->addValue(Num(0), u"runtime.counter");
    scope->setValue(Num(0), u"runtime.counter");
    return Undefined();
  });
  auto loop = Native(u"loop", [](const APMPValueList& arguments, const APMPScopeRef& scope) -> APMPResult {
    for (;;) {
      auto values = APMPEvaluateArguments(arguments, scope);
      if (!values) return std::unexpected(values.error());
    }
  });
  runtime_.globalScope()->addValue(shadow, u"shadow");
  runtime_.globalScope()->addValue(loop, u"loop");
  APMPResult result = run({Op("loop", {Op("shadow"), Op("tick")})});
  ASSERT_FALSE(result.has_value());
  EXPECT_TRUE(IsRovav(result.error(), APMPRovavError::BudgetExhausted));
  EXPECT_EQ(runtime_.getInstructionCount(), kAPMPInstructionBudget);
  EXPECT_GT(ticks_, 300'000);
}

// Mend: nothing bounded the depth of nested calls, so runaway recursion
// overflowed the worker thread's stack and killed the process.
TEST_F(RuntimeTest, RunawayRecursionStopsWithTheBudgetErrorOnAWorkerThread) {
  // f() { return f() } through the function evaluator alone.
  auto f = APMPObjectManager::functionValueWithFunctionName(u"f", {}, {Value(Op("f", {N(1)}))},
                                                            runtime_.globalScope());
  runtime_.globalScope()->addValue(f, u"f");
  auto queue = os::DispatchQueue::create("script.recursion", os::DispatchQueue::Attributes::Serial);
  std::promise<APMPResult> done;
  queue->async([&] { done.set_value(run({Op("f")})); });
  APMPResult result = done.get_future().get();
  ASSERT_FALSE(result.has_value());
  EXPECT_TRUE(IsRovav(result.error(), APMPRovavError::BudgetExhausted));
  EXPECT_LT(runtime_.getInstructionCount(), 10'000);
  // The depth is given back: the same runtime runs on.
  EXPECT_TRUE(run({Op("tick")}).has_value());
}

TEST_F(RuntimeTest, UnownedOpcodesCallTheFunctionBoundToThatName) {
  runtime_.globalScope()->addValue(runtime_.globalScope()->valueForName(u"tick"), u"11");
  runtime_.globalScope()->addValue(runtime_.globalScope()->valueForName(u"tick"), u"07");
  runtime_.globalScope()->addValue(Num(5), u"49");
  struct Case {
    const char* opcode;
    int ticks;
  } cases[] = {{"11", 1}, {"07", 2}, {"14", 2}, {"49", 2}, {"nothing", 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.opcode);
    APMPResult result = run({Op(c.opcode, {N(1)})});
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(ticks_, c.ticks);
    if (std::string(c.opcode) == "11" || std::string(c.opcode) == "07") {
      EXPECT_TRUE((*result)->isEqualToRuntimeValue(*Num(c.ticks)));
    } else {
      EXPECT_EQ(*result, Undefined());
    }
  }
}

TEST_F(RuntimeTest, TopLevelStatementsRunOnPastControlValuesAndStopAtTheFirstError) {
  runtime_.globalScope()->addValue(Native(u"brk", [](const APMPValueList&, const APMPScopeRef&) -> APMPResult {
                                     return APMPControlValue::breakValue();
                                   }),
                                   u"brk");
  APMPResult result = run({Op("tick"), Op("brk"), Op("tick")});
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(ticks_, 2);
  EXPECT_TRUE((*result)->isEqualToRuntimeValue(*Num(2)));
  result = run({Op("tick"), Op("brk")});
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(*result, APMPControlValue::breakValue());

  // The first error ends the run; later statements are neither converted nor run.
  result = run({Op("tick"), Op("12", {N(1)}), Op("tick"), Typed(9)});
  ASSERT_FALSE(result.has_value());
  EXPECT_TRUE(IsRovav(result.error(), APMPRovavError::ArgumentCount));
  EXPECT_EQ(ticks_, 4);
}

// Opcode ownership: every opcode in use belongs to exactly one family.
TEST(ScriptOpcodes, EachOpcodeReachesTheFamilyThatOwnsIt) {
  struct Family {
    const std::type_info& type;
    std::vector<const char16_t*> opcodes;
  } families[] = {
      {typeid(APMPMathCommandEvaluator), {u"0", u"10", u"25", u"26", u"27", u"32", u"33", u"34", u"35", u"37"}},
      {typeid(APMPLogicalCommandEvaluator), {u"1", u"28", u"30"}},
      {typeid(APMPControlCommandEvaluator),
       {u"2", u"4", u"5", u"6", u"9", u"13", u"22", u"36", u"38", u"39", u"46", u"50", u"51", u"53"}},
      {typeid(APMPVariableCommandEvaluator),
       {u"3", u"7", u"8", u"15", u"16", u"17", u"40", u"41", u"43", u"44", u"45", u"52"}},
      {typeid(APMPComparisonCommandEvaluator), {u"12", u"18", u"19", u"20", u"21", u"23", u"24", u"29"}},
      {typeid(APMPLoopCommandEvaluator), {u"42", u"47", u"54", u"55", u"63", u"64", u"65", u"66"}},
      {typeid(APMPBitwiseCommandEvaluator), {u"56", u"57", u"58", u"59", u"60", u"61", u"62"}},
  };
  const auto& registrar = APMPCommandRegistrar::sharedInstance();
  size_t owned = 0;
  for (const auto& family : families) {
    for (const char16_t* opcode : family.opcodes) {
      SCOPED_TRACE(os::utf8(opcode));
      EXPECT_EQ(typeid(registrar.evaluatorForCommand(opcode)), family.type);
      ++owned;
    }
  }
  EXPECT_EQ(owned, 62u);
  EXPECT_EQ(APMPOpcodeTable().size(), 62u);
  for (const char16_t* unowned : {u"11", u"14", u"31", u"48", u"49", u"07", u"67", u"", u"getValue"}) {
    EXPECT_EQ(typeid(registrar.evaluatorForCommand(unowned)), typeid(APMPFunctionEvaluator)) << os::utf8(unowned);
  }
}

TEST_F(RuntimeTest, FamiliesEvaluateArgumentsByTheirModeBeforeTheCountCheck) {
  struct Case {
    const char* name;
    Entity statement;
    int instructions;  // the statement itself plus every argument evaluated
    bool fails;
  } cases[] = {
      {"eager, too many: all evaluated, then the count", Op("0", {N(1), Op("tick"), N(3)}), 1 + 3, true},
      {"eager, any count", Op("44", {Op("tick"), N(2)}), 1 + 2, false},
      {"eager, odd pairs", Op("8", {S("a"), N(1), Op("tick")}), 1 + 3, true},
      {"comparison, too many: nothing evaluated", Op("12", {Op("tick"), N(2), N(3)}), 1, true},
      {"lazy, too many: nothing evaluated", Op("22", {Op("tick"), N(1), N(2), N(3)}), 1, true},
      {"lazy, too few", Op("50", {S("f")}), 1, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    APMPResult result = run({c.statement});
    EXPECT_EQ(runtime_.getInstructionCount(), c.instructions);
    if (c.fails) {
      ASSERT_FALSE(result.has_value());
      EXPECT_TRUE(IsRovav(result.error(), APMPRovavError::ArgumentCount));
    } else {
      ASSERT_TRUE(result.has_value());
      EXPECT_EQ(*result, Undefined());
    }
  }
  // An argument that fails stops the evaluation of the ones after it.
  int before = ticks_;
  APMPResult result = run({Op("0", {Op("12", {N(1)}), Op("tick")})});
  ASSERT_FALSE(result.has_value());
  EXPECT_TRUE(IsRovav(result.error(), APMPRovavError::ArgumentCount));
  EXPECT_EQ(ticks_, before);
}

// A family of test handlers shows what each mode hands to its handler.
APMPResult echo(APMPArguments arguments, const APMPScopeRef& scope) {
  auto array = APMPObjectManager::arrayValueWithArray(APMPValueList(arguments.begin(), arguments.end()), scope);
  return APMPValueRef(*array);
}

TEST_F(RuntimeTest, EagerHandlersReceiveValuesAndLazyOnesTheEntries) {
  const APMPOpcode rows[] = {{u"t.echo", APMPCommandFamilyID::Math, APMPArity::between(1, 2), &echo}};
  APMPCommandFamily eager(APMPArgumentMode::Eager, rows);
  APMPCommandFamily lazy(APMPArgumentMode::Lazy, rows);
  APMPValueList arguments = {Value(Op("tick")), Num(2)};
  for (const auto* family : {&eager, &lazy}) {
    APMPResult result = family->evaluateCommand(u"t.echo", arguments, runtime_.globalScope());
    ASSERT_TRUE(result.has_value());
    const auto& seen = static_cast<APMPArrayValue&>(**result);
    ASSERT_EQ(seen.count(), 2u);
    EXPECT_EQ(seen.slotAtIndex(0)->kind(), family == &eager ? Kind::Number : Kind::Statement);
    EXPECT_EQ(seen.slotAtIndex(1), arguments[1]);
  }
  EXPECT_EQ(ticks_, 1);
  EXPECT_EQ(eager.allSupportedCommands(), std::vector<std::u16string>{u"t.echo"});
  EXPECT_EQ(*eager.evaluateCommand(u"t.other", arguments, runtime_.globalScope()), Undefined());
  EXPECT_EQ(ticks_, 1);
}

TEST_F(RuntimeTest, MethodTablesRefuseUnknownNamesAndCountAfterEvaluating) {
  auto array = APMPObjectManager::arrayValueWithScope(runtime_.globalScope());
  APMPValueRef text = Str(u"abc");
  APMPValueList tick = {Value(Op("tick"))};
  struct Case {
    APMPValueRef receiver;
    std::u16string_view method;
    APMPValueList arguments;
    APMPRovavError code;
    int ticks;
  } cases[] = {
      {array, u"at", tick, APMPRovavError::UnknownMethod, 0},
      {array, u"includes", tick, APMPRovavError::UnknownMethod, 0},
      {array, u"Push", tick, APMPRovavError::UnknownMethod, 0},
      {text, u"at", tick, APMPRovavError::UnknownMethod, 0},
      {array, u"pop", tick, APMPRovavError::ArgumentCount, 1},
      {text, u"trim", tick, APMPRovavError::ArgumentCount, 1},
      {array, u"filter", {}, APMPRovavError::ArgumentCount, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(os::utf8(c.method));
    ticks_ = 0;
    APMPResult result = c.receiver->applyWithName(c.method, c.arguments, runtime_.globalScope());
    ASSERT_FALSE(result.has_value());
    EXPECT_TRUE(IsRovav(result.error(), c.code));
    EXPECT_EQ(ticks_, c.ticks);
  }
  EXPECT_EQ(APMPArrayMethodTable().size(), 21u);
  EXPECT_EQ(APMPStringMethodTable().size(), 17u);
}

TEST_F(RuntimeTest, RequireCachesModulesAndPlatformReportsVersionZero) {
  auto module = run({Op("require", {S("internal.platform")})});
  ASSERT_TRUE(module.has_value());
  ASSERT_EQ((*module)->kind(), Kind::Function);
  EXPECT_EQ(*run({Op("require", {S("internal.platform")})}), *module);
  APMPResult version = (*module)->applyWithName(u"getVersion", {Value(Op("tick"))}, runtime_.globalScope());
  ASSERT_TRUE(version.has_value());
  EXPECT_TRUE((*version)->isEqualToRuntimeValue(*Num(0)));
  EXPECT_EQ(ticks_, 0);  // its arguments are not evaluated

  // A name without a creator gives undefined, also after a creator arrives.
  EXPECT_EQ(*run({Op("require", {S("m")})}), Undefined());
  runtime_.setModuleCreator([] { return Num(1); }, u"m");
  EXPECT_EQ(*run({Op("require", {S("m")})}), Undefined());
  runtime_.setModuleCreator([] { return APMPValueRef(); }, u"broken");
  APMPResult broken = run({Op("require", {S("broken")})});
  ASSERT_FALSE(broken.has_value());
  EXPECT_TRUE(IsRovav(broken.error(), APMPRovavError::ModuleMissing));
  APMPResult counted = run({Op("require", {Op("tick"), S("b")})});
  ASSERT_FALSE(counted.has_value());
  EXPECT_TRUE(IsRovav(counted.error(), APMPRovavError::ArgumentCount));
  EXPECT_EQ(ticks_, 0);
}

}  // namespace
