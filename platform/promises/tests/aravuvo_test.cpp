// The promise core: settling, observation, chaining, accounting and
// programming errors.
#include <gtest/gtest.h>

#include <atomic>
#include <regex>

#include "platform/promises/aravuvo.h"
#include "platform/promises/tests/test_support.h"

namespace {

using promises_test::drain;
using promises_test::intOf;
using promises_test::RecordAssertions;
using promises_test::testError;

TEST(VUVAravuvoCore, SettlesOnceAndIgnoresLaterResolutions) {
  struct Case {
    const char* name;
    std::any first;
    bool fulfilled;
  };
  const Case cases[] = {
      {"nil", std::any(), true},
      {"number", std::any(42), true},
      {"error rejects", std::any(testError(7)), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto promise = VUVAravuvo::pendingPromise();
    int fulfils = 0, rejects = 0;
    promise->observeOnQueue(
        os::DispatchQueue::main(), [&](const std::any&) { ++fulfils; }, [&](const os::Error&) { ++rejects; });
    promise->fulfill(c.first);
    promise->fulfill(std::any(99));
    promise->reject(testError(1));
    drain();

    EXPECT_FALSE(promise->isPending());
    EXPECT_EQ(promise->isFulfilled(), c.fulfilled);
    EXPECT_EQ(promise->isRejected(), !c.fulfilled);
    EXPECT_EQ(fulfils, c.fulfilled ? 1 : 0);
    EXPECT_EQ(rejects, c.fulfilled ? 0 : 1);
    if (c.fulfilled) {
      EXPECT_EQ(promise->value().has_value(), c.first.has_value());
      if (c.first.has_value()) {
        EXPECT_EQ(intOf(promise->value()), 42);
      }
      EXPECT_FALSE(promise->error());
    } else {
      EXPECT_FALSE(promise->value().has_value());
      ASSERT_TRUE(promise->error());
      EXPECT_EQ(promise->error()->code(), 7);
    }
  }
}

TEST(VUVAravuvoCore, ResolvedAtBirthIsNotCounted) {
  const int64_t before = VUVAravuvo::dispatchGroup()->count();
  auto nil = VUVAravuvo::resolvedWith(std::any());
  auto rejected = VUVAravuvo::resolvedWith(testError(3));
  EXPECT_TRUE(nil->isFulfilled());
  EXPECT_FALSE(nil->value().has_value());
  EXPECT_TRUE(rejected->isRejected());
  EXPECT_EQ(rejected->error()->code(), 3);
  EXPECT_EQ(VUVAravuvo::dispatchGroup()->count(), before);
}

TEST(VUVAravuvoCore, CallbacksRunLaterOnTheirQueueInRegistrationOrder) {
  auto queue = os::DispatchQueue::serial("test.observers");
  auto promise = VUVAravuvo::pendingPromise();
  std::vector<std::string> order;  // written only on `queue`
  auto record = [&](std::string tag) {
    return [&order, queue, tag](const std::any&) {
      EXPECT_TRUE(queue->isCurrent());
      order.push_back(tag);
    };
  };
  auto noReject = [](const os::Error&) { ADD_FAILURE() << "rejected"; };
  promise->observeOnQueue(queue, record("first"), noReject);
  promise->observeOnQueue(queue, record("second"), noReject);
  promise->fulfill(std::any(1));
  promise->observeOnQueue(queue, record("after"), noReject);
  drain();
  EXPECT_EQ(order, (std::vector<std::string>{"first", "second", "after"}));

  // Already settled: still asynchronous, never inside the registering call.
  bool ran = false;
  promise->observeOnQueue(os::DispatchQueue::main(), [&](const std::any&) { ran = true; }, noReject);
  EXPECT_FALSE(ran);
  drain();
  EXPECT_TRUE(ran);
}

TEST(VUVAravuvoCore, ChainFollowsTheChainRule) {
  auto main = os::DispatchQueue::main();
  struct Case {
    const char* name;
    std::any receiverOutcome;
    VUVAravuvo::ChainedFulfill chainedFulfill;
    VUVAravuvo::ChainedReject chainedReject;
    bool fulfilled;
    int valueOrCode;
  };
  const Case cases[] = {
      {"no blocks, fulfilled", std::any(5), nullptr, nullptr, true, 5},
      {"no blocks, rejected", std::any(testError(4)), nullptr, nullptr, false, 4},
      {"fulfil returns an error", std::any(5), [](const std::any&) -> std::any { return testError(8); }, nullptr,
       false, 8},
      {"reject returns a plain object", std::any(testError(4)), nullptr,
       [](const os::Error&) -> std::any { return 11; }, true, 11},
      {"fulfil returns a settled promise", std::any(5),
       [](const std::any&) -> std::any { return VUVAravuvo::resolvedWith(testError(9)); }, nullptr, false, 9},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto receiver = VUVAravuvo::pendingPromise();
    auto chained = receiver->chainOnQueue(main, c.chainedFulfill, c.chainedReject);
    receiver->fulfill(c.receiverOutcome);
    drain();
    ASSERT_FALSE(chained->isPending());
    EXPECT_EQ(chained->isFulfilled(), c.fulfilled);
    if (c.fulfilled) {
      EXPECT_EQ(intOf(chained->value()), c.valueOrCode);
    } else {
      EXPECT_EQ(chained->error()->code(), c.valueOrCode);
    }
  }

  // A returned pending promise is waited for and its outcome adopted.
  auto inner = VUVAravuvo::pendingPromise();
  auto chained = VUVAravuvo::resolvedWith(5)->chainOnQueue(
      main, [inner](const std::any&) -> std::any { return inner; }, nullptr);
  drain();
  EXPECT_TRUE(chained->isPending());
  inner->fulfill(21);
  drain();
  EXPECT_EQ(intOf(chained->value()), 21);
}

TEST(VUVAravuvoCore, Description) {
  auto pending = VUVAravuvo::pendingPromise();
  EXPECT_TRUE(std::regex_match(pending->description(), std::regex("<VUVAravuvo 0x[0-9a-f]+> Pending")))
      << pending->description();
  EXPECT_TRUE(std::regex_match(VUVAravuvo::resolvedWith(std::string("hi"))->description(),
                               std::regex("<VUVAravuvo 0x[0-9a-f]+> Fulfilled: hi")));
  EXPECT_TRUE(std::regex_match(VUVAravuvo::resolvedWith(std::any())->description(),
                               std::regex("<VUVAravuvo 0x[0-9a-f]+> Fulfilled: \\(null\\)")));
  auto rejected = VUVAravuvo::resolvedWith(testError(2))->description();
  EXPECT_NE(rejected.find("> Rejected: Error Domain=test Code=2"), std::string::npos) << rejected;
}

TEST(VUVAravuvoCore, DestroyedPendingPromiseLeavesTheGroupAndDropsObservers) {
  drain();
  const int64_t before = VUVAravuvo::dispatchGroup()->count();
  bool ran = false;
  {
    auto promise = VUVAravuvo::pendingPromise();
    promise->observeOnQueue(
        os::DispatchQueue::main(), [&](const std::any&) { ran = true; }, [&](const os::Error&) { ran = true; });
    auto chained = promise->then([](const std::any& v) { return v; });
    EXPECT_EQ(VUVAravuvo::dispatchGroup()->count(), before + 2);
  }
  EXPECT_EQ(VUVAravuvo::dispatchGroup()->count(), before);
  EXPECT_EQ(VUVAravuvo::dispatchGroup()->wait(os::DispatchTime::now()), os::DispatchWaitResult::Success);
  drain();
  EXPECT_FALSE(ran);
}

TEST(VUVAravuvoCore, PendingObjectsLiveUntilSettlement) {
  auto promise = VUVAravuvo::pendingPromise();
  auto kept = std::make_shared<int>(1);
  std::weak_ptr<int> watch = kept;
  promise->addPendingObject(std::move(kept));
  EXPECT_FALSE(watch.expired());
  promise->fulfill(std::any());
  EXPECT_TRUE(watch.expired());

  auto late = std::make_shared<int>(2);
  watch = late;
  promise->addPendingObject(std::move(late));
  EXPECT_TRUE(watch.expired()) << "a settled promise keeps nothing";
}

TEST(VUVAravuvoCore, DefaultQueueIsMainUnlessReplaced) {
  EXPECT_EQ(VUVAravuvo::defaultDispatchQueue(), os::DispatchQueue::main());
  auto queue = os::DispatchQueue::serial("test.default");
  VUVAravuvo::setDefaultDispatchQueue(queue);
  std::atomic<bool> onQueue{false};
  auto done = VUVAravuvo::resolvedWith(1)->then([&](const std::any& v) {
    onQueue = queue->isCurrent();
    return v;
  });
  drain();
  VUVAravuvo::setDefaultDispatchQueue(os::DispatchQueue::main());
  EXPECT_TRUE(done->isFulfilled());
  EXPECT_TRUE(onQueue);
}

TEST(VUVAravuvoCore, ProgrammingErrorsGoToTheAssertionHandler) {
  auto promise = VUVAravuvo::pendingPromise();
  {
    RecordAssertions assertions;
    auto ok = [](const std::any&) {};
    auto okReject = [](const os::Error&) {};
    VUVAravuvo::setDefaultDispatchQueue(nullptr);
    promise->observeOnQueue(nullptr, ok, okReject);
    promise->observeOnQueue(os::DispatchQueue::main(), nullptr, okReject);
    promise->observeOnQueue(os::DispatchQueue::main(), ok, nullptr);
    EXPECT_EQ(promise->chainOnQueue(nullptr, nullptr, nullptr), nullptr);
    promise->addPendingObject(std::any());
    EXPECT_EQ(promise->onQueueThen(os::DispatchQueue::main(), nullptr), nullptr);
    EXPECT_EQ(promise->onQueueCatch(os::DispatchQueue::main(), nullptr), nullptr);
    EXPECT_EQ(promise->onQueueRecover(os::DispatchQueue::main(), nullptr), nullptr);
    EXPECT_EQ(promise->onQueueValidate(os::DispatchQueue::main(), nullptr), nullptr);
    EXPECT_EQ(promise->onQueueDelay(nullptr, 1), nullptr);
    EXPECT_EQ(VUVAravuvo::onQueueDo(os::DispatchQueue::main(), nullptr), nullptr);
    EXPECT_EQ(VUVAravuvo::race({}), nullptr);
    EXPECT_EQ(VUVAravuvoAwait(nullptr).has_value(), false);
    EXPECT_EQ(assertions.descriptions,
              (std::vector<std::string>{
                  "Invalid parameter not satisfying: queue", "Invalid parameter not satisfying: queue",
                  "Invalid parameter not satisfying: onFulfill", "Invalid parameter not satisfying: onReject",
                  "Invalid parameter not satisfying: queue", "Invalid parameter not satisfying: object",
                  "Invalid parameter not satisfying: work", "Invalid parameter not satisfying: reject",
                  "Invalid parameter not satisfying: recovery", "Invalid parameter not satisfying: predicate",
                  "Invalid parameter not satisfying: queue", "Invalid parameter not satisfying: work",
                  "No promises to observe", "Invalid parameter not satisfying: promise"}));
  }
  EXPECT_EQ(VUVAravuvo::defaultDispatchQueue(), os::DispatchQueue::main()) << "a refused call changes nothing";
  EXPECT_TRUE(promise->isPending());

  // The default handler raises.
  try {
    promise->observeOnQueue(nullptr, [](const std::any&) {}, [](const os::Error&) {});
    ADD_FAILURE() << "expected an exception";
  } catch (const os::Exception& e) {
    EXPECT_EQ(e.name(), os::kInternalInconsistencyException);
    EXPECT_EQ(e.reason(), "Invalid parameter not satisfying: queue");
  }
  promise->fulfill(std::any());
  drain();
}

}  // namespace
