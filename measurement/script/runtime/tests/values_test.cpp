#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "measurement/script/runtime/entity_converter.h"
#include "measurement/script/runtime/number_forms.h"
#include "measurement/script/runtime/object_manager.h"
#include "measurement/script/runtime/tests/script_test_support.h"
#include "os/foundation/text.h"

namespace {
using namespace script_test;
using Kind = APMPRuntimeValue::Kind;

TEST(ScriptNumberForms, FormatsNumbers) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    double value;
    std::u16string text;
  } cases[] = {
      {1e20, u"100000000000000000000"},
      {1e21, u"1e+21"},
      {0.000001, u"0.000001"},
      {0.0000001, u"1e-7"},
      {-0.0, u"0"},
      {1234567, u"1234567"},
      {2.5, u"2.5"},
      {0.1, u"0.1"},
      {-1.5e-7, u"-1.5e-7"},
      {1.23e27, u"1.23e+27"},
      {123456789.125, u"123456789.125"},
      {std::nan(""), u"NaN"},
      {inf, u"Infinity"},
      {-inf, u"-Infinity"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(APMPNumberToString(c.value), c.text);
  }
}

TEST(ScriptNumberForms, ParsesStrings) {
  const double nan = std::nan("");
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    std::u16string text;
    double value;
  } cases[] = {
      {u" 42 ", 42},       {u"\u00A0\n42\u3000", 42}, {u"", 0},          {u" \t", 0},       {u"42abc", nan},
      {u"0x10", nan},      {u"-1.5e3", -1500},        {u"+.5", 0.5},       {u"5.", 5},        {u"1e", nan},
      {u".", nan},         {u"NaN", nan},             {u"Infinity", inf},  {u"-Infinity", -inf}, {u"infinity", nan},
      {u"1e400", inf},     {u"4 2", nan},             {u"\uFF14\uFF12", nan},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(os::utf8(c.text));
    double parsed = APMPParseNumber(c.text);
    if (std::isnan(c.value)) {
      EXPECT_TRUE(std::isnan(parsed)) << parsed;
    } else {
      EXPECT_EQ(parsed, c.value);
    }
  }
}

TEST(ScriptValues, ConvertByClass) {
  auto scope = APMPScope::initWithParentScope(nullptr);
  auto map = APMPObjectManager::mapValueWithScope(scope);
  auto function = APMPObjectManager::functionValueWithFunctionName(u"f", {}, {}, scope);
  struct Case {
    const char* name;
    APMPValueRef value;
    std::u16string text;
    double number;  // NaN stands for NaN
    bool truth;
  } cases[] = {
      {"undefined", Undefined(), u"undefined", NAN, false},
      {"null", Null(), u"null", 0, false},
      {"true", APMPBooleanValue::booleanValueWithBool(true), u"true", 1, true},
      {"false", APMPBooleanValue::booleanValueWithBool(false), u"false", 0, false},
      {"0", Num(0), u"0", 0, false},
      {"NaN", Num(NAN), u"NaN", NAN, false},
      {"-2", Num(-2), u"-2", -2, true},
      {"''", Str(u""), u"", 0, false},
      {"' 7 '", Str(u" 7 "), u" 7 ", 7, true},
      {"map", map, u"[object Object]", NAN, true},
      {"function", function, u"f", NAN, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.value->stringValueOrError().value(), c.text);
    double number = c.value->doubleValueOrError().value();
    if (std::isnan(c.number)) {
      EXPECT_TRUE(std::isnan(number));
    } else {
      EXPECT_EQ(number, c.number);
    }
    EXPECT_EQ(c.value->booleanValueOrError().value(), c.truth);
  }
  // Internal kinds have no forms.
  for (const APMPValueRef& value :
       {APMPControlValue::breakValue(), APMPControlValue::returnValueWithData(Num(1)), Value(Op("1")), APMPHoleValue()}) {
    EXPECT_TRUE(IsRovav(value->stringValueOrError().error(), APMPRovavError::NoStringForm));
    EXPECT_TRUE(IsRovav(value->doubleValueOrError().error(), APMPRovavError::NoNumberForm));
    EXPECT_TRUE(IsRovav(value->booleanValueOrError().error(), APMPRovavError::NoBooleanForm));
  }
}

TEST(ScriptValues, EqualityAndStrictEquality) {
  auto scope = APMPScope::initWithParentScope(nullptr);
  auto mapA = APMPObjectManager::mapValueWithScope(scope);
  auto mapB = APMPObjectManager::mapValueWithScope(scope);
  mapA->setValue(Num(NAN), u"x");
  mapB->setValue(Num(NAN), u"x");
  auto f1 = APMPObjectManager::functionValueWithFunctionName(u"f", {}, {}, scope);
  auto f2 = APMPObjectManager::functionValueWithFunctionName(u"f", {u"a"}, {}, scope);
  auto anonymous1 = APMPObjectManager::functionValueWithFunctionName(u"", {}, {}, scope);
  auto anonymous2 = APMPObjectManager::functionValueWithFunctionName(u"", {}, {}, scope);
  struct Case {
    const char* name;
    APMPValueRef a, b;
    bool equal, strict;
  } cases[] = {
      {"NaN, NaN", Num(NAN), Num(NAN), true, false},
      {"0, -0", Num(0), Num(-0.0), true, true},
      {"1, true", Num(1), APMPBooleanValue::booleanValueWithBool(true), false, false},
      {"'a', 'a'", Str(u"a"), Str(u"a"), true, true},
      {"undefined, null", Undefined(), Null(), false, false},
      {"maps alike", mapA, mapB, true, false},
      {"map, itself", mapA, mapA, true, true},
      {"functions of one name", f1, f2, true, false},
      {"anonymous functions", anonymous1, anonymous2, false, false},
      {"returns of equal data", APMPControlValue::returnValueWithData(Num(1)),
       APMPControlValue::returnValueWithData(Num(1)), true, false},
      {"break, continue", APMPControlValue::breakValue(), APMPControlValue::continueValue(), false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.a->isEqualToRuntimeValue(*c.b), c.equal);
    EXPECT_EQ(c.b->isEqualToRuntimeValue(*c.a), c.equal);
    EXPECT_EQ(APMPIsStrictlyEqual(*c.a, *c.b), c.strict);
  }
  mapB->setValue(Num(1), u"y");
  EXPECT_FALSE(mapA->isEqualToRuntimeValue(*mapB));
  EXPECT_TRUE(APMPIsStringEqual(*Num(1), *Str(u"1")).value());
  EXPECT_TRUE(APMPIsNumberEqual(*Str(u" 1 "), *APMPBooleanValue::booleanValueWithBool(true)).value());
  EXPECT_TRUE(IsRovav(APMPIsNumberEqual(*Num(1), *APMPHoleValue()).error(), APMPRovavError::NoNumberForm));
}

TEST(ScriptValues, MethodCalls) {
  APMPRuntime runtime;
  const APMPScopeRef& scope = runtime.globalScope();
  auto map = APMPObjectManager::mapValueWithScope(scope);
  map->setValue(Num(1), u"n");
  map->setValue(Native(u"twice", [](const APMPValueList& arguments, const APMPScopeRef& s) -> APMPResult {
                  auto values = APMPEvaluateArguments(arguments, s);
                  return Num(2 * values->at(0)->doubleValueOrError().value());
                }),
                u"twice");
  struct Case {
    const char* name;
    APMPValueRef receiver;
    std::u16string_view method;
    APMPValueList arguments;
    APMPValueRef expected;  // null: fails with code
    APMPRovavError code;
  } cases[] = {
      {"undefined.toString", Undefined(), u"toString", {}, nullptr, APMPRovavError::MethodOfNothing},
      {"null.x", Null(), u"x", {}, nullptr, APMPRovavError::MethodOfNothing},
      {"number.toString", Num(1.5), u"toString", {}, Str(u"1.5"), {}},
      {"number.x", Num(1.5), u"x", {}, nullptr, APMPRovavError::UnknownMethod},
      {"true.toString", APMPBooleanValue::booleanValueWithBool(true), u"toString", {}, Str(u"true"), {}},
      {"break.toString", APMPControlValue::breakValue(), u"toString", {}, nullptr, APMPRovavError::NoStringForm},
      {"map.twice", map, u"twice", {Num(4)}, Num(8), {}},
      {"map.n", map, u"n", {}, nullptr, APMPRovavError::UnknownMethod},
      {"map.hasOwnProperty n", map, u"hasOwnProperty", {Str(u"n")}, APMPBooleanValue::booleanValueWithBool(true), {}},
      {"map.hasOwnProperty m", map, u"hasOwnProperty", {Str(u"m")}, APMPBooleanValue::booleanValueWithBool(false), {}},
      {"map.hasOwnProperty, two", map, u"hasOwnProperty", {Str(u"n"), Num(1)}, nullptr, APMPRovavError::ArgumentCount},
      {"map.toString", map, u"toString", {}, Str(u"[object Object]"), {}},
      {"map.other", map, u"other", {}, nullptr, APMPRovavError::UnknownMethod},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    APMPResult result = c.receiver->applyWithName(c.method, c.arguments, scope);
    if (c.expected) {
      ASSERT_TRUE(result.has_value()) << result.error().description();
      EXPECT_TRUE((*result)->isEqualToRuntimeValue(*c.expected));
    } else {
      ASSERT_FALSE(result.has_value());
      EXPECT_TRUE(IsRovav(result.error(), c.code));
    }
  }
}

TEST(ScriptScopes, AssignmentReachesTheNearestHolderOrDeclaresHere) {
  auto root = APMPScope::initWithParentScope(nullptr);
  auto global = root->createChildScope();
  auto call = global->createChildScope();
  auto block = call->createChildScope();
  global->addValue(Num(1), u"g");
  call->addValue(Num(2), u"c");
  block->setValue(Num(10), u"g");
  block->setValue(Num(20), u"c");
  block->setValue(Num(30), u"fresh");
  EXPECT_TRUE(global->valueForName(u"g")->isEqualToRuntimeValue(*Num(10)));
  EXPECT_FALSE(block->contents().hasName(u"g"));
  EXPECT_TRUE(call->valueForName(u"c")->isEqualToRuntimeValue(*Num(20)));
  EXPECT_TRUE(block->contents().hasName(u"fresh"));
  EXPECT_FALSE(call->hasName(u"fresh"));
  EXPECT_EQ(call->valueForName(u"fresh"), Undefined());

  // Shadowing: a declaration in the block hides the global one.
  block->addValue(Num(5), u"g");
  block->setValue(Num(6), u"g");
  EXPECT_TRUE(block->valueForName(u"g")->isEqualToRuntimeValue(*Num(6)));
  EXPECT_TRUE(global->valueForName(u"g")->isEqualToRuntimeValue(*Num(10)));

  // A constant keeps its value through redeclaration and assignment.
  call->addImmutableValue(Num(7), u"k");
  call->addValue(Num(8), u"k");
  call->addImmutableValue(Num(8), u"k");
  block->setValue(Num(9), u"k");
  EXPECT_TRUE(block->valueForName(u"k")->isEqualToRuntimeValue(*Num(7)));

  // A frozen scope on the way ignores the write, and declares nothing.
  call->makeImmutable();
  block->setValue(Num(11), u"g");
  block->setValue(Num(0), u"c");
  EXPECT_TRUE(call->valueForName(u"c")->isEqualToRuntimeValue(*Num(20)));
  call->addValue(Num(1), u"new");
  EXPECT_FALSE(call->hasName(u"new"));
}

TEST(ScriptFunctions, InvocationBindsParametersInAChildOfTheDefiningScope) {
  APMPRuntime runtime;
  const APMPScopeRef& global = runtime.globalScope();
  global->addValue(Str(u"global"), u"where");
  auto inner = global->createChildScope();
  inner->addValue(Str(u"inner"), u"where");
  auto read = [](std::u16string name) {
    return Native(u"read", [name](const APMPValueList&, const APMPScopeRef& scope) -> APMPResult {
      return scope->valueForName(name);
    });
  };
  global->addValue(read(u"where"), u"where?");
  global->addValue(read(u"b"), u"b?");
  global->addValue(Native(u"ret",
                          [](const APMPValueList& arguments, const APMPScopeRef& scope) -> APMPResult {
                            auto values = APMPEvaluateArguments(arguments, scope);
                            return APMPControlValue::returnValueWithData(values->at(0));
                          }),
                   u"ret");

  // The closure made in `inner` reads its defining scope, not the caller's.
  auto closure = APMPObjectManager::functionValueWithFunctionName(u"c", {u"a", u"b"}, {Value(Op("where?"))}, inner);
  APMPResult result = closure->invokeWithArguments({Num(1)}, global);
  EXPECT_TRUE((*result)->isEqualToRuntimeValue(*Str(u"inner")));
  // A missing argument is undefined; the last statement's value is the result.
  auto missing = APMPObjectManager::functionValueWithFunctionName(u"m", {u"a", u"b"}, {Value(Op("b?"))}, global);
  EXPECT_EQ(*missing->invokeWithArguments({Num(1)}, global), Undefined());
  // A return yields its data; statements after it do not run.
  auto returns = APMPObjectManager::functionValueWithFunctionName(
      u"r", {u"a"}, {Value(Op("ret", {N(3)})), Value(Op("12", {N(1)}))}, global);
  result = returns->invokeWithArguments({}, global);
  ASSERT_TRUE(result.has_value());
  EXPECT_TRUE((*result)->isEqualToRuntimeValue(*Num(3)));
  // Parameters are declared in the call's own scope and vanish with it.
  EXPECT_FALSE(global->hasName(u"a"));
}

TEST(ScriptConversions, PlatformValuesIntoRuntimeValues) {
  APMPRuntime runtime;
  const APMPScopeRef& scope = runtime.globalScope();
  os::Value object = os::Value{{"b", os::Value(true)},
                               {"c", os::Value(os::Number::int8(0))},
                               {"u", os::Value(os::Number::uint8(2))},
                               {"n", os::Value(int64_t(7))},
                               {"s", os::Value("x")},
                               {"z", os::Value()},
                               {"list", os::Value::arrayOf({1, "two"})}};
  APMPResult converted = APMPRuntimeEntityConverter::runtimeValueFromNSObject(object, scope);
  ASSERT_TRUE(converted.has_value());
  ASSERT_EQ((*converted)->kind(), Kind::Map);
  auto& map = static_cast<APMPMapValue&>(**converted);
  EXPECT_EQ(map.valueForProperty(u"b"), APMPBooleanValue::booleanValueWithBool(true));
  EXPECT_EQ(map.valueForProperty(u"c"), APMPBooleanValue::booleanValueWithBool(false));
  EXPECT_EQ(map.valueForProperty(u"u"), APMPBooleanValue::booleanValueWithBool(true));
  EXPECT_TRUE(map.valueForProperty(u"n")->isEqualToRuntimeValue(*Num(7)));
  EXPECT_EQ(map.valueForProperty(u"z"), Null());
  EXPECT_EQ(map.valueForProperty(u"list")->stringValueOrError().value(), u"1,two");
  // Tracked by the runtime's collector.
  EXPECT_EQ(runtime.objectManager().trackedObjects().size(), 2u);

  for (const os::Value& unsupported : {os::Value(os::Data()), os::Value(os::Date()),
                                       os::Value{{"deep", os::Value::arrayOf({os::Value(os::Data())})}}}) {
    APMPResult failed = APMPRuntimeEntityConverter::runtimeValueFromNSObject(unsupported, scope);
    ASSERT_FALSE(failed.has_value());
    EXPECT_TRUE(IsRovav(failed.error(), APMPRovavError::UnsupportedObject));
  }
}

TEST(ScriptConversions, RuntimeValuesIntoPlatformValues) {
  APMPRuntime runtime;
  const APMPScopeRef& scope = runtime.globalScope();
  auto map = APMPObjectManager::mapValueWithScope(scope);
  map->setValue(Null(), u"a");
  map->setValue(Num(1), u"b");
  auto array = *APMPObjectManager::arrayValueWithArray({Num(1), Null(), Undefined(), Str(u" 7 ")}, scope);
  ASSERT_TRUE(array->setValue(Num(2), *Num(5)).has_value());  // slot 4 stays a hole
  auto function = APMPObjectManager::functionValueWithFunctionName(u"fn", {}, {}, scope);
  struct Case {
    const char* name;
    APMPValueRef value;
    os::Value expected;
  } cases[] = {
      {"{a: null, b: 1}", map, os::Value{{"b", os::Value(1.0)}}},
      {"array", array, os::Value::arrayOf({1.0, "", 7.0, "", 2.0})},
      {"null", Null(), os::Value()},
      {"undefined", Undefined(), os::Value("")},
      {"'42'", Str(u"42"), os::Value(42.0)},
      {"true", APMPBooleanValue::booleanValueWithBool(true), os::Value(1.0)},
      {"function", function, os::Value("fn")},
      {"'abc'", Str(u"abc"), os::Value("abc")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto converted = APMPRuntimeEntityConverter::objectFromRuntimeValue(*c.value);
    ASSERT_TRUE(converted.has_value());
    EXPECT_EQ(*converted, c.expected);
    if (converted->isNumber()) {
      EXPECT_EQ(converted->number()->kind(), os::Number::Kind::Double);
    }
  }
  auto failed = APMPRuntimeEntityConverter::objectFromRuntimeValue(*APMPControlValue::breakValue());
  EXPECT_TRUE(IsRovav(failed.error(), APMPRovavError::NoNumberForm));
}

// Mend: a map that holds itself sent the conversion into endless recursion
// (a stack overflow); the nesting bound turns it into the depth error.
TEST(ScriptConversions, ACyclicMapFailsInsteadOfOverflowingTheStack) {
  APMPRuntime runtime;
  auto map = APMPObjectManager::mapValueWithScope(runtime.globalScope());
  map->setValue(map, u"self");
  auto converted = APMPRuntimeEntityConverter::objectFromRuntimeValue(*map);
  ASSERT_FALSE(converted.has_value());
  EXPECT_TRUE(IsRovav(converted.error(), APMPRovavError::BudgetExhausted));
  auto other = APMPObjectManager::mapValueWithScope(runtime.globalScope());
  other->setValue(other, u"self");
  EXPECT_FALSE(map->isEqualToRuntimeValue(*other));
}

}  // namespace

namespace {

double NumberOf(const APMPValueRef& value) { return value->doubleValueOrError().value_or(std::nan("")); }

std::string Names(const APMPPropertyMap& map) {
  std::string joined;
  for (const auto& name : map.allNames()) joined += os::utf8(name) + " ";
  return joined;
}

// A property map keeps a few names in a vector and moves them to a hash map
// past that: both hold the same names, values, frozen names and storing order,
// across the move and across removals and re-stores on either side of it.
TEST(ScriptPropertyMap, NamesKeepTheirOrderAndGuardsAcrossTheSwitchToHashing) {
  for (int count : {3, 8, 9, 40}) {
    SCOPED_TRACE(count);
    APMPPropertyMap map;
    std::string expected;
    for (int i = 0; i < count; ++i) {
      const std::u16string name = os::utf16("n" + std::to_string(i));
      if (i == 1) {
        map.setImmutableValue(APMPNumberValue::make(i), name);
      } else {
        map.setValue(APMPNumberValue::make(i), name);
      }
      if (i != 0) expected += "n" + std::to_string(i) + " ";
    }
    map.removeValueForName(u"n0");  // removed, then stored again: last
    map.setValue(APMPNumberValue::make(-1), u"n0");
    map.setValue(APMPNumberValue::make(100), u"n1");  // frozen: ignored
    map.removeValueForName(u"n1");                    // frozen: kept
    map.setImmutableValue(APMPNumberValue::make(-2), u"n0");  // stored again, then frozen
    map.setValue(APMPNumberValue::make(-3), u"n0");
    EXPECT_EQ(Names(map), expected + "n0 ");
    EXPECT_EQ(map.count(), static_cast<size_t>(count));
    EXPECT_EQ(NumberOf(map.valueForName(u"n1")), 1);
    EXPECT_EQ(NumberOf(map.valueForName(u"n0")), -2);
    EXPECT_EQ(NumberOf(map.valueForName(os::utf16("n" + std::to_string(count - 1)))), count - 1);
    EXPECT_EQ(map.find(u"absent"), nullptr);
    EXPECT_TRUE(map.isImmutableName(u"n1"));
    map.clear();
    EXPECT_EQ(map.count(), 0u);
    map.setValue(APMPNumberValue::make(7), u"n1");  // as new: nothing frozen
    EXPECT_EQ(NumberOf(map.valueForName(u"n1")), 7);
  }
}

}  // namespace
