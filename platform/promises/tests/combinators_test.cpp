// all, any, race and reduce.
#include <gtest/gtest.h>

#include "platform/promises/aravuvo.h"
#include "platform/promises/tests/test_support.h"

namespace {

using promises_test::drain;
using promises_test::intOf;
using promises_test::testError;
using Objects = VUVAravuvo::Objects;

Objects listOf(const VUVAravuvoPtr& promise) {
  std::any value = promise->value();
  auto* list = std::any_cast<Objects>(&value);
  return list ? *list : Objects{};
}

TEST(VUVAravuvoCombinators, EmptyInputsFulfilWithAnEmptyList) {
  for (auto promise : {VUVAravuvo::all({}), VUVAravuvo::any({})}) {
    ASSERT_TRUE(promise->isFulfilled());
    EXPECT_TRUE(std::any_cast<Objects>(promise->value()).empty());
  }
}

TEST(VUVAravuvoCombinators, AllCollectsValuesInInputOrder) {
  auto later = VUVAravuvo::pendingPromise();
  auto all = VUVAravuvo::all({later, VUVAravuvo::resolvedWith(1), std::string("s"), VUVAravuvo::resolvedWith(std::any())});
  drain();
  EXPECT_TRUE(all->isPending());
  later->fulfill(0);
  drain();
  auto values = listOf(all);
  ASSERT_EQ(values.size(), 4u);
  EXPECT_EQ(intOf(values[0]), 0);
  EXPECT_EQ(intOf(values[1]), 1);
  EXPECT_EQ(std::any_cast<std::string>(values[2]), "s");
  EXPECT_TRUE(VUVAravuvo::isNullObject(values[3])) << "nil becomes the null object";
}

TEST(VUVAravuvoCombinators, AllRejectsWithTheFirstRejection) {
  // A plain error element rejects even if the promises later fulfil.
  auto pending = VUVAravuvo::pendingPromise();
  auto withError = VUVAravuvo::all({pending, testError(1)});
  drain();
  pending->fulfill(2);
  drain();
  ASSERT_TRUE(withError->isRejected());
  EXPECT_EQ(*withError->error(), testError(1));

  // The second rejects first: no waiting for the first.
  auto first = VUVAravuvo::pendingPromise();
  auto second = VUVAravuvo::pendingPromise();
  auto all = VUVAravuvo::all({first, second});
  second->reject(testError(2));
  drain();
  ASSERT_TRUE(all->isRejected());
  EXPECT_EQ(*all->error(), testError(2));
  first->reject(testError(3));
  drain();
  EXPECT_EQ(*all->error(), testError(2));
}

TEST(VUVAravuvoCombinators, AnyWaitsForEveryOutcome) {
  struct Case {
    const char* name;
    std::any first, second;  // outcomes, settled in order
    bool fulfilled;
  };
  const Case cases[] = {
      {"one fulfilled, one rejected", 7, testError(1), true},
      {"both rejected", testError(1), testError(2), false},
      {"both fulfilled", 7, 8, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto a = VUVAravuvo::pendingPromise();
    auto b = VUVAravuvo::pendingPromise();
    auto any = VUVAravuvo::any({a, b});
    a->fulfill(c.first);
    drain();
    EXPECT_TRUE(any->isPending()) << "must not settle while a promise is pending";
    b->fulfill(c.second);
    drain();
    if (!c.fulfilled) {
      ASSERT_TRUE(any->isRejected());
      EXPECT_EQ(*any->error(), testError(2)) << "the rejection that completed the set";
      continue;
    }
    auto outcomes = listOf(any);
    ASSERT_EQ(outcomes.size(), 2u);
    EXPECT_EQ(intOf(outcomes[0]), 7);
    if (auto* error = VUVAravuvo::asError(c.second)) {
      EXPECT_EQ(*VUVAravuvo::asError(outcomes[1]), *error);
    } else {
      EXPECT_EQ(intOf(outcomes[1]), 8);
    }
  }
  // Plain elements count as settled promises; a plain error as a rejection.
  auto mixed = VUVAravuvo::any({testError(4), 5});
  drain();
  auto outcomes = listOf(mixed);
  ASSERT_EQ(outcomes.size(), 2u);
  EXPECT_EQ(*VUVAravuvo::asError(outcomes[0]), testError(4));
  EXPECT_EQ(intOf(outcomes[1]), 5);
}

TEST(VUVAravuvoCombinators, RaceTakesTheFirstOutcome) {
  auto pending = VUVAravuvo::pendingPromise();
  auto plain = VUVAravuvo::race({pending, std::string("now")});
  drain();
  ASSERT_TRUE(plain->isFulfilled());
  EXPECT_EQ(std::any_cast<std::string>(plain->value()), "now");

  auto a = VUVAravuvo::pendingPromise();
  auto b = VUVAravuvo::pendingPromise();
  auto race = VUVAravuvo::race({a, b});
  b->reject(testError(2));
  drain();
  a->fulfill(1);
  drain();
  ASSERT_TRUE(race->isRejected());
  EXPECT_EQ(*race->error(), testError(2));
  pending->fulfill(std::any());
}

TEST(VUVAravuvoCombinators, ReduceFoldsThroughAChain) {
  auto add = [](const std::any& partial, const std::any& item) -> std::any { return intOf(partial) + intOf(item); };
  auto zero = VUVAravuvo::resolvedWith(0);
  auto sum = zero->reduce({1, 2, 3}, add);
  drain();
  ASSERT_TRUE(sum->isFulfilled());
  EXPECT_EQ(intOf(sum->value()), 6);
  EXPECT_EQ(zero->reduce({}, add), zero) << "no items: the receiver itself";

  // A reducer may return a promise; a rejection skips the later reducers.
  int calls = 0;
  auto stopped = zero->reduce({1, 2, 3}, [&](const std::any& partial, const std::any& item) -> std::any {
    ++calls;
    if (intOf(item) == 2) return VUVAravuvo::resolvedWith(testError(2));
    return VUVAravuvo::resolvedWith(intOf(partial) + intOf(item));
  });
  drain();
  EXPECT_EQ(calls, 2);
  ASSERT_TRUE(stopped->isRejected());
  EXPECT_EQ(*stopped->error(), testError(2));
}

}  // namespace
