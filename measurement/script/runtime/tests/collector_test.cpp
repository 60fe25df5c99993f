#include <gtest/gtest.h>

#include <cstdlib>

#include "measurement/script/runtime/object_manager.h"
#include "measurement/script/runtime/tests/script_test_support.h"

namespace {
using namespace script_test;

class CollectorTest : public ::testing::Test {
 protected:
  std::shared_ptr<APMPMapValue> map(const APMPScopeRef& scope) { return APMPObjectManager::mapValueWithScope(scope); }
  std::shared_ptr<APMPFunctionValue> closure(const APMPScopeRef& scope) {
    return APMPObjectManager::functionValueWithFunctionName(u"f", {}, {Value(Op("x"))}, scope);
  }

  std::unique_ptr<APMPRuntime> runtime_ = std::make_unique<APMPRuntime>();
};

TEST_F(CollectorTest, UnreachableContainersAreEmptiedAndReachableOnesKept) {
  const APMPScopeRef& global = runtime_->globalScope();
  auto kept = map(global);
  kept->setValue(Num(1), u"y");
  global->addValue(kept, u"kept");

  APMPScopeRef run = runtime_->getRunScope();
  auto dropped = map(run);  // still held here, so the sweep shows
  dropped->setValue(Num(1), u"x");
  run->addValue(dropped, u"m");
  run.reset();
  runtime_->collectGarbage();
  EXPECT_FALSE(dropped->hasProperty(u"x"));
  EXPECT_TRUE(kept->hasProperty(u"y"));
  EXPECT_FALSE(kept->isMarked());
  // The emptied map keeps working.
  dropped->setValue(Num(2), u"x");
  EXPECT_TRUE(dropped->valueForProperty(u"x")->isEqualToRuntimeValue(*Num(2)));
}

TEST_F(CollectorTest, CyclesOfMapsArraysClosuresAndScopesLeaveNothingBehind) {
  std::vector<std::weak_ptr<void>> watched;
  {
    APMPScopeRef run = runtime_->getRunScope();
    auto a = map(run);
    auto b = map(run);
    a->setValue(b, u"b");
    b->setValue(a, u"a");
    auto array = APMPObjectManager::arrayValueWithScope(run);
    ASSERT_TRUE(array->appendElements({array, a}).has_value());
    auto f = closure(run);  // f -> run scope -> f
    run->addValue(f, u"f");
    f->setValue(array, u"data");
    auto inner = run->createChildScope();
    auto g = closure(inner);  // g -> inner -> run -> f
    inner->addValue(g, u"g");
    run->addValue(g, u"g");
    for (std::shared_ptr<void> object : {std::shared_ptr<void>(a), std::shared_ptr<void>(b),
                                         std::shared_ptr<void>(array), std::shared_ptr<void>(f),
                                         std::shared_ptr<void>(g), std::shared_ptr<void>(run)}) {
      watched.push_back(object);
    }
  }
  for (const auto& object : watched) EXPECT_FALSE(object.expired());
  runtime_->collectGarbage();
  for (const auto& object : watched) EXPECT_TRUE(object.expired());
  EXPECT_TRUE(runtime_->objectManager().trackedObjects().empty());
}

// Mend: marking a closure's defining scope marked that scope's own values
// only, so a map held one scope further out (a closure made in a block or a
// loop body inside a function) was emptied while the closure could still
// read it.
TEST_F(CollectorTest, WhatAClosureCanReadThroughOuterScopesStaysIntact) {
  APMPScopeRef call = runtime_->getRunScope();
  auto settings = map(call);
  settings->setValue(Num(3), u"limit");
  call->addValue(settings, u"settings");
  APMPScopeRef block = call->createChildScope();
  runtime_->globalScope()->addValue(closure(block), u"callback");
  block.reset();
  call.reset();
  runtime_->collectGarbage();
  EXPECT_TRUE(settings->valueForProperty(u"limit")->isEqualToRuntimeValue(*Num(3)));
}

// Mend: native functions are not tracked, so no sweep cleared their mark
// flags; from the second collection on, marking stopped at them and what a
// program had stored on a module was emptied.
TEST_F(CollectorTest, WhatAModuleHoldsSurvivesEveryCollection) {
  auto platform = runtime_->executeStatements({Op("require", {S("internal.platform")})});
  auto stored = map(runtime_->globalScope());
  stored->setValue(Num(1), u"x");
  static_cast<APMPFunctionValue&>(**platform).setValue(stored, u"cache");
  for (int i = 0; i < 3; ++i) runtime_->collectGarbage();
  EXPECT_TRUE(stored->hasProperty(u"x"));
}

TEST_F(CollectorTest, DestroyingTheRuntimeFreesEverythingItMade) {
  std::weak_ptr<APMPMapValue> cyclic;
  std::weak_ptr<APMPFunctionValue> held;
  std::weak_ptr<APMPScope> global = runtime_->globalScope();
  std::shared_ptr<APMPMapValue> hostHeld;
  {
    auto m = map(runtime_->globalScope());
    m->setValue(m, u"self");
    runtime_->globalScope()->addValue(m, u"m");
    cyclic = m;
    auto f = closure(runtime_->globalScope());
    runtime_->globalScope()->addValue(f, u"f");
    held = f;
    hostHeld = map(runtime_->globalScope());
    hostHeld->setValue(m, u"m");
    runtime_->globalScope()->addValue(hostHeld, u"h");
    // A module that holds itself, reachable only through require's cache.
    auto platform = runtime_->executeStatements({Op("require", {S("internal.platform")})});
    static_cast<APMPFunctionValue&>(**platform).setValue(*platform, u"self");
  }
  runtime_.reset();
  EXPECT_TRUE(cyclic.expired());
  EXPECT_TRUE(held.expired());
  EXPECT_TRUE(global.expired());
  EXPECT_FALSE(hostHeld->hasProperty(u"m"));  // left empty, still usable
}

// Mend: dropping the head of a long chain of containers freed it recursively,
// one stack frame group per link, and overflowed the stack.
TEST_F(CollectorTest, LongChainsAreFreedWithoutRecursion) {
  // A fresh child process: no other test's threads, so its leak check holds.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ASSERT_EXIT(
      {
        constexpr int kLinks = 100'000;
        {
          APMPScopeRef run = runtime_->getRunScope();
          APMPValueRef next = Null();
          for (int i = 0; i < kLinks; ++i) {
            auto link = map(run);
            link->setValue(next, u"next");
            next = link;
          }
          run->addValue(next, u"head");
        }  // the run scope and the whole chain go here
        {
          APMPScopeRef run = runtime_->getRunScope();
          APMPValueRef next = Null();
          for (int i = 0; i < kLinks; ++i) {
            auto f = closure(run->createChildScope());
            f->definingScope()->addValue(next, u"next");
            next = f;
          }
          runtime_->globalScope()->addValue(next, u"head");
        }
        runtime_.reset();  // teardown frees the chain of closures and scopes
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
