#include <gtest/gtest.h>

#include <cmath>

#include "measurement/script/runtime/array_value.h"
#include "measurement/script/runtime/limits.h"
#include "measurement/script/runtime/object_manager.h"
#include "measurement/script/runtime/tests/script_test_support.h"
#include "os/foundation/text.h"

namespace {
using namespace script_test;
using Kind = APMPRuntimeValue::Kind;

class ArrayTest : public ::testing::Test {
 protected:
  std::shared_ptr<APMPArrayValue> array(APMPValueList elements = {}) {
    return *APMPObjectManager::arrayValueWithArray(std::move(elements), runtime_.globalScope());
  }
  // The slots as text: holes "_", undefined "u", others their string form.
  static std::string slots(const APMPArrayValue& a) {
    std::string text;
    for (size_t i = 0; i < a.count(); ++i) {
      if (i > 0) text += ",";
      const APMPValueRef& slot = a.slotAtIndex(i);
      text += slot->kind() == Kind::Hole ? "_" : slot->kind() == Kind::Undefined ? "u" : os::utf8(*slot->stringValueOrError());
    }
    return text;
  }
  APMPValueRef hole() { return APMPHoleValue(); }

  APMPRuntime runtime_;
};

TEST_F(ArrayTest, IndexesGrowTheArrayWithHoles) {
  auto a = array();
  ASSERT_TRUE(a->setValue(Num(1), *Num(5)).has_value());
  ASSERT_TRUE(a->setValue(Num(2), *Str(u"name")).has_value());
  EXPECT_EQ(a->count(), 6u);
  EXPECT_EQ(slots(*a), "_,_,_,_,_,1");
  EXPECT_EQ(*a->valueForProperty(*Num(2)), Undefined());
  EXPECT_EQ(*a->valueForProperty(*Num(60)), Undefined());
  EXPECT_TRUE((*a->valueForProperty(*Str(u"length")))->isEqualToRuntimeValue(*Num(6)));
  APMPValueList names = a->allPropertyNames();
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[0]->stringValueOrError().value(), u"name");
  EXPECT_EQ(names[1]->stringValueOrError().value(), u"5");

  // "3" and "03" name slot 3; "-0" names slot 0; 1.5 and "x" are named properties.
  ASSERT_TRUE(a->setValue(Num(3), *Str(u"03")).has_value());
  EXPECT_TRUE((*a->valueForProperty(*Str(u"3")))->isEqualToRuntimeValue(*Num(3)));
  ASSERT_TRUE(a->setValue(Num(0), *Str(u"-0")).has_value());
  ASSERT_TRUE(a->setValue(Num(9), *Num(1.5)).has_value());
  EXPECT_EQ(slots(*a), "0,_,_,3,_,1");
  EXPECT_TRUE((*a->valueForProperty(*Str(u"1.5")))->isEqualToRuntimeValue(*Num(9)));

  // Deleting a slot leaves a hole and the count.
  auto pair = array({Num(1), Num(2)});
  ASSERT_TRUE(pair->removeValueForProperty(*Num(0)).has_value());
  EXPECT_EQ(pair->count(), 2u);
  EXPECT_FALSE(pair->hasProperty(*Num(0)).value());
  EXPECT_TRUE(pair->hasProperty(*Str(u"1")).value());
  ASSERT_TRUE(pair->removeValueForProperty(*Num(7)).has_value());
  EXPECT_EQ(pair->count(), 2u);
}

TEST_F(ArrayTest, LengthTakesArrayIndexesOnly) {
  auto a = array({Num(1), Num(2), Num(3), Num(4), Num(5)});
  ASSERT_TRUE(a->setValue(Num(2), *Str(u"length")).has_value());
  EXPECT_EQ(slots(*a), "1,2");
  ASSERT_TRUE(a->setValue(Str(u"4"), *Str(u"length")).has_value());
  EXPECT_EQ(slots(*a), "1,2,_,_");
  // Mend: lengths and indexes past the slot cap would allocate without bound
  // (4294967295 holes); they fail like any other bad length.
  for (const APMPValueRef& bad : {Num(-1), Num(1.5), Num(NAN), Str(u"x"), Null(), Num(4294967295.0), Num(1e21),
                                  Num(static_cast<double>(kAPMPMaxArraySlots) + 1)}) {
    SCOPED_TRACE(os::utf8(bad->stringValueOrError().value()));
    auto status = a->setValue(bad, *Str(u"length"));
    ASSERT_FALSE(status.has_value());
    EXPECT_TRUE(IsRovav(status.error(), APMPRovavError::InvalidArrayLength));
    EXPECT_EQ(a->count(), 4u);
  }
  auto status = a->setValue(Num(1), *Num(static_cast<double>(kAPMPMaxArraySlots)));
  EXPECT_TRUE(IsRovav(status.error(), APMPRovavError::InvalidArrayLength));
  ASSERT_TRUE(a->setValue(Num(1), *Num(static_cast<double>(kAPMPMaxArraySlots - 1))).has_value());
  EXPECT_EQ(a->count(), kAPMPMaxArraySlots);
  EXPECT_TRUE(IsRovav(a->appendElements({Num(1)}).error(), APMPRovavError::InvalidArrayLength));
  EXPECT_TRUE(IsRovav(a->concat(a).error(), APMPRovavError::InvalidArrayLength));
  EXPECT_TRUE(IsRovav(a->spliceFrom(0, 0, {Num(1)}).error(), APMPRovavError::InvalidArrayLength));
  EXPECT_EQ(a->count(), kAPMPMaxArraySlots);
}

TEST_F(ArrayTest, StringAndNumberForms) {
  struct Case {
    const char* name;
    APMPValueList elements;
    std::u16string text;
    double number;
  } cases[] = {
      {"[]", {}, u"", 0},
      {"[1, undefined, null, 2]", {Num(1), Undefined(), Null(), Num(2)}, u"1,,,2", NAN},
      {"[' 5 ']", {Str(u" 5 ")}, u" 5 ", 5},
      {"[hole, 1]", {hole(), Num(1)}, u",1", NAN},
      {"[[1, 2], 3]", {array({Num(1), Num(2)}), Num(3)}, u"1,2,3", NAN},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto a = array(c.elements);
    EXPECT_EQ(a->stringValueOrError().value(), c.text);
    double number = a->doubleValueOrError().value();
    EXPECT_TRUE(std::isnan(c.number) ? std::isnan(number) : number == c.number);
    EXPECT_TRUE(a->booleanValueOrError().value());
  }
  EXPECT_EQ(array({Num(1), Num(2)})->stringValueWithSeparator(u" - ").value(), u"1 - 2");
  auto broken = array({Num(1), APMPControlValue::breakValue()});
  EXPECT_TRUE(IsRovav(broken->stringValueOrError().error(), APMPRovavError::NoStringForm));
}

// Mend: joining had no bound, so a program could double a string until memory
// ran out, and an array holding itself recursed until the stack overflowed.
TEST_F(ArrayTest, JoiningStopsAtTheStringCapAndAtCycles) {
  APMPValueRef text = Str(u"ab");
  int doublings = 0;
  os::Result<std::u16string> joined;
  for (; doublings < 40; ++doublings) {
    joined = array({text, text})->stringValueWithSeparator(u"");
    if (!joined) break;
    text = Str(*joined);
  }
  ASSERT_FALSE(joined.has_value());
  EXPECT_TRUE(IsRovav(joined.error(), APMPRovavError::BudgetExhausted));
  EXPECT_LT(doublings, 40);
  EXPECT_LE(static_cast<APMPStringValue&>(*text).value().size(), kAPMPMaxStringLength);
  EXPECT_TRUE(IsRovav(APMPConcatenate(static_cast<APMPStringValue&>(*text).value(), u"xx").error(),
                      APMPRovavError::BudgetExhausted));

  auto cyclic = array({Num(1)});
  ASSERT_TRUE(cyclic->appendElements({cyclic}).has_value());
  EXPECT_TRUE(IsRovav(cyclic->stringValueOrError().error(), APMPRovavError::BudgetExhausted));
  EXPECT_TRUE(cyclic->isEqualToRuntimeValue(*cyclic));
  auto other = array({Num(1)});
  ASSERT_TRUE(other->appendElements({other}).has_value());
  EXPECT_FALSE(cyclic->isEqualToRuntimeValue(*other));
}

TEST_F(ArrayTest, SortingPutsUndefinedAndHolesLastAndSurvivesBadComparisons) {
  auto a = array({Num(3), Undefined(), Num(1), hole(), Num(2)});
  ASSERT_TRUE(a->sortUsingFunctionValue(nullptr, runtime_.globalScope()).has_value());
  EXPECT_EQ(slots(*a), "1,2,3,u,_");
  auto strings = array({Num(10), Num(9), Num(1), Str(u"B"), Str(u"a")});
  ASSERT_TRUE(strings->sortUsingFunctionValue(nullptr, runtime_.globalScope()).has_value());
  EXPECT_EQ(slots(*strings), "1,10,9,B,a");

  // Descending through a comparison function.
  auto descending = Native(u"desc", [](const APMPValueList& arguments, const APMPScopeRef& scope) -> APMPResult {
    auto values = APMPEvaluateArguments(arguments, scope);
    return Num(values->at(1)->doubleValueOrError().value() - values->at(0)->doubleValueOrError().value());
  });
  auto numbers = array({Num(1), Num(3), Undefined(), Num(2)});
  ASSERT_TRUE(numbers->sortUsingFunctionValue(descending, runtime_.globalScope()).has_value());
  EXPECT_EQ(slots(*numbers), "3,2,1,u");

  // A failing comparison stops reordering and is reported; nothing is lost.
  int calls = 0;
  auto failing = Native(u"fail", [&](const APMPValueList&, const APMPScopeRef&) -> APMPResult {
    ++calls;
    return APMPFail(APMPRovavError::ArgumentKind);
  });
  auto stuck = array({Num(4), Num(3), Num(2), Num(1)});
  auto status = stuck->sortUsingFunctionValue(failing, runtime_.globalScope());
  ASSERT_FALSE(status.has_value());
  EXPECT_TRUE(IsRovav(status.error(), APMPRovavError::ArgumentKind));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(slots(*stuck), "4,3,2,1");

  // Answers that contradict each other, and a function that changes the array.
  unsigned seed = 7;
  std::shared_ptr<APMPArrayValue> big;
  auto erratic = Native(u"erratic", [&](const APMPValueList&, const APMPScopeRef&) -> APMPResult {
    seed = seed * 1103515245 + 12345;
    if (seed % 17 == 0) (void)big->appendElements({Num(-1)});
    return Num(static_cast<double>(seed % 3) - 1);
  });
  APMPValueList elements;
  for (int i = 0; i < 200; ++i) elements.push_back(Num(i));
  big = array(elements);
  ASSERT_TRUE(big->sortUsingFunctionValue(erratic, runtime_.globalScope()).has_value());
  ASSERT_EQ(big->count(), 200u);
  double sum = 0;
  for (size_t i = 0; i < big->count(); ++i) sum += big->slotAtIndex(i)->doubleValueOrError().value();
  EXPECT_EQ(sum, 199 * 200 / 2);
}

TEST_F(ArrayTest, SlicingSplicingAndTheEnds) {
  auto a = array({Num(0), hole(), Num(2), Num(3), Num(4)});
  EXPECT_EQ(slots(*a->subarrayWithRange(1, 2)), "_,2");
  EXPECT_EQ(slots(*a->subarrayWithRange(-3, 2)), "0,_");
  EXPECT_EQ(slots(*a->subarrayWithRange(4, 9)), "4");
  EXPECT_EQ(a->subarrayWithRange(9, 1)->count(), 0u);
  auto tracked = APMPObjectManager::subarrayWithArray(*a, 0, 2, runtime_.globalScope());
  EXPECT_EQ(runtime_.objectManager().trackedObjects().back(), tracked);

  auto removed = a->spliceFrom(1, 2, {Str(u"x")});
  ASSERT_TRUE(removed.has_value());
  EXPECT_EQ(removed->size(), 2u);
  EXPECT_EQ((*removed)[0]->kind(), Kind::Hole);
  EXPECT_EQ(slots(*a), "0,x,3,4");
  auto three = array({Num(1), Num(2), Num(3)});
  EXPECT_TRUE(three->spliceFrom(10, 1, {Num(9)})->empty());
  EXPECT_EQ(slots(*three), "1,2,3,9");
  EXPECT_EQ(three->spliceFrom(-5, 2, {})->size(), 2u);
  EXPECT_EQ(slots(*three), "3,9");

  auto ends = array({hole(), Num(1), hole()});
  EXPECT_EQ(*ends->prependElements({Num(0)}), 4u);
  EXPECT_EQ(*ends->appendElements({Num(2), Num(3)}), 6u);
  ends->reverse();
  EXPECT_EQ(slots(*ends), "3,2,_,1,_,0");
  EXPECT_TRUE(ends->removeFirstElement()->isEqualToRuntimeValue(*Num(3)));
  EXPECT_EQ(ends->removeFirstElement()->kind(), Kind::Number);
  EXPECT_EQ(ends->removeFirstElement(), Undefined());  // a hole reads as undefined
  EXPECT_TRUE(ends->removeLastElement()->isEqualToRuntimeValue(*Num(0)));
  EXPECT_EQ(array()->removeLastElement(), Undefined());

  auto joined = array({Num(1)});
  ASSERT_TRUE(joined->concat(array({hole(), Num(2)})).has_value());
  ASSERT_TRUE(joined->concat(Str(u"s")).has_value());
  EXPECT_EQ(slots(*joined), "1,_,2,s");
  EXPECT_TRUE(IsRovav(joined->concat(APMPControlValue::breakValue()).error(), APMPRovavError::ArgumentKind));
}

TEST_F(ArrayTest, SearchingUsesStrictEquality) {
  auto nan = Num(NAN);
  auto a = array({Num(1), Str(u"1"), nan, hole(), Num(1)});
  struct Case {
    const char* name;
    APMPValueRef value;
    size_t from;
    int64_t first, last;
  } cases[] = {
      {"1", Num(1), 0, 0, 4},
      {"1 from 1", Num(1), 1, 4, 0},
      {"'1'", Str(u"1"), 0, 1, 1},
      {"true", APMPBooleanValue::booleanValueWithBool(true), 0, -1, -1},
      {"NaN", nan, 0, -1, -1},
      {"hole", hole(), 0, 3, 3},
      {"undefined", Undefined(), 0, -1, -1},
      {"past the end", Num(1), 9, -1, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(a->indexOfValue(*c.value, c.from), c.first);
    EXPECT_EQ(a->lastIndexOfValue(*c.value, c.from == 0 ? 4 : c.from), c.last);
  }
}

TEST_F(ArrayTest, EqualityAndOwnFunctionProperties) {
  EXPECT_TRUE(array({Num(NAN), hole()})->isEqualToRuntimeValue(*array({Num(NAN), hole()})));
  EXPECT_FALSE(array({hole()})->isEqualToRuntimeValue(*array({Undefined()})));
  EXPECT_FALSE(array({Num(1)})->isEqualToRuntimeValue(*array({Num(1), Num(2)})));

  auto a = array({Num(1)});
  ASSERT_TRUE(a->setValue(Native(u"own", [](const APMPValueList&, const APMPScopeRef&) -> APMPResult { return Num(7); }),
                          *Str(u"push"))
                  .has_value());
  ASSERT_TRUE(a->setValue(Num(1), *Str(u"pop")).has_value());
  EXPECT_TRUE((*a->applyWithName(u"push", {}, runtime_.globalScope()))->isEqualToRuntimeValue(*Num(7)));
  EXPECT_TRUE(IsRovav(a->applyWithName(u"pop", {}, runtime_.globalScope()).error(), APMPRovavError::UnknownMethod));
}

}  // namespace
