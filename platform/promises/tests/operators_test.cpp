// The promise operators, under the manual clock where time matters, and again
// with real threads and the real clock.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "os/dispatch/manual_clock.h"
#include "platform/promises/aravuvo.h"
#include "platform/promises/tests/test_support.h"

namespace {

using promises_test::drain;
using promises_test::intOf;
using promises_test::testError;

// Fulfilled with `value` or rejected with testError(code), checked in one go.
void expectFulfilled(const VUVAravuvoPtr& promise, int value) {
  ASSERT_TRUE(promise->isFulfilled()) << promise->description();
  EXPECT_EQ(intOf(promise->value()), value);
}
void expectRejected(const VUVAravuvoPtr& promise, const os::Error& error) {
  ASSERT_TRUE(promise->isRejected()) << promise->description();
  EXPECT_EQ(*promise->error(), error);
}

TEST(VUVAravuvoOperators, ThenCatchAlwaysRecoverValidate) {
  const os::Error failure = testError(5);
  const os::Error validation(kVUVAravuvoErrorDomain, 2);
  struct Case {
    const char* name;
    std::any input;  // fulfils with it, or rejects when an error
    std::function<VUVAravuvoPtr(const VUVAravuvoPtr&, int& calls)> apply;
    int expectedCalls;
    std::any expected;  // value, or error
  };
  const Case cases[] = {
      {"then on fulfilled", 2,
       [](auto& p, int& calls) { return p->then([&calls](const std::any& v) -> std::any { ++calls; return intOf(v) * 10; }); },
       1, 20},
      {"then on rejected", failure,
       [](auto& p, int& calls) { return p->then([&calls](const std::any& v) { ++calls; return v; }); }, 0, failure},
      {"catch on fulfilled", 2, [](auto& p, int& calls) { return p->catch_([&calls](const os::Error&) { ++calls; }); },
       0, 2},
      {"catch on rejected", failure,
       [](auto& p, int& calls) { return p->catch_([&calls](const os::Error&) { ++calls; }); }, 1, failure},
      {"always on fulfilled", 2, [](auto& p, int& calls) { return p->always([&calls] { ++calls; }); }, 1, 2},
      {"always on rejected", failure, [](auto& p, int& calls) { return p->always([&calls] { ++calls; }); }, 1,
       failure},
      {"recover with a plain object", failure,
       [](auto& p, int& calls) { return p->recover([&calls](const os::Error&) -> std::any { ++calls; return 7; }); },
       1, 7},
      {"recover with an error", failure,
       [](auto& p, int& calls) {
         return p->recover([&calls](const os::Error&) -> std::any { ++calls; return testError(6); });
       },
       1, testError(6)},
      {"recover on fulfilled", 2,
       [](auto& p, int& calls) { return p->recover([&calls](const os::Error&) -> std::any { ++calls; return 7; }); },
       0, 2},
      {"validate accepts", 2,
       [](auto& p, int& calls) { return p->validate([&calls](const std::any&) { ++calls; return true; }); }, 1, 2},
      {"validate refuses", 2,
       [](auto& p, int& calls) { return p->validate([&calls](const std::any&) { ++calls; return false; }); }, 1,
       validation},
      {"validate on rejected", failure,
       [](auto& p, int& calls) { return p->validate([&calls](const std::any&) { ++calls; return true; }); }, 0,
       failure},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto receiver = VUVAravuvo::pendingPromise();
    int calls = 0;
    auto result = c.apply(receiver, calls);
    receiver->fulfill(c.input);
    drain();
    EXPECT_EQ(calls, c.expectedCalls);
    if (auto* error = VUVAravuvo::asError(c.expected)) {
      expectRejected(result, *error);
      if (*error == validation) {
        EXPECT_TRUE(result->error()->userInfo().empty());
      }
    } else {
      expectFulfilled(result, intOf(c.expected));
    }
  }
}

TEST(VUVAravuvoOperators, TimeoutUnderManualClock) {
  os::ManualClockScope clock;
  const os::Error timedOut(kVUVAravuvoErrorDomain, 1);
  struct Case {
    const char* name;
    double timeout;
    double settleAt;
    std::any outcome;
    std::any expected;
  };
  const Case cases[] = {
      {"expires before fulfilment", 1.0, 2.0, 3, timedOut},
      {"expires before rejection", 1.0, 2.0, testError(4), timedOut},
      {"fulfilled first", 3.0, 2.0, 3, 3},
      {"rejected first", 3.0, 2.0, testError(4), testError(4)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto receiver = VUVAravuvo::pendingPromise();
    auto timed = receiver->timeout(c.timeout);
    clock->advance(c.settleAt - 0.001);
    EXPECT_EQ(timed->isPending(), c.timeout > c.settleAt);
    clock->advance(0.001);
    receiver->fulfill(c.outcome);
    drain();
    clock->advance(5);  // the late timer, or the late outcome, changes nothing
    if (auto* error = VUVAravuvo::asError(c.expected)) {
      expectRejected(timed, *error);
    } else {
      expectFulfilled(timed, intOf(c.expected));
    }
  }
}

TEST(VUVAravuvoOperators, DelayDelaysFulfilmentsOnly) {
  os::ManualClockScope clock;
  auto fulfilled = VUVAravuvo::pendingPromise();
  auto delayed = fulfilled->delay(2.0);
  clock->advance(10);  // the delay counts from the fulfilment, not the call
  fulfilled->fulfill(1);
  drain();  // the delay starts when the fulfilment reaches the queue
  clock->advance(1.999);
  EXPECT_TRUE(delayed->isPending());
  clock->advance(0.001);
  expectFulfilled(delayed, 1);

  auto rejected = VUVAravuvo::pendingPromise();
  auto notDelayed = rejected->delay(2.0);
  rejected->reject(testError(3));
  drain();
  expectRejected(notDelayed, testError(3));
}

TEST(VUVAravuvoOperators, RetryUnderManualClock) {
  os::ManualClockScope clock;
  struct Case {
    const char* name;
    int64_t attempts;
    bool conditionAgrees;  // a condition is given only when false
    int succeedOnRun;      // 0: never
    bool workReturnsPromises;
    int expectedRuns;
  };
  const Case cases[] = {
      {"attempts 2, always failing", 2, true, 0, false, 3},
      {"attempts 2, failing promises", 2, true, 0, true, 3},
      {"attempts 0", 0, true, 0, false, 1},
      {"negative attempts", -3, true, 0, false, 1},
      {"condition refuses", 2, false, 0, false, 1},
      {"succeeds on the second run", 2, true, 2, true, 2},
  };
  const double delay = 3.0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int runs = 0;
    std::vector<int64_t> conditionSaw;
    auto work = [&]() -> std::any {
      ++runs;
      std::any outcome = runs == c.succeedOnRun ? std::any(runs * 100) : std::any(testError(runs));
      if (c.workReturnsPromises) return VUVAravuvo::resolvedWith(outcome);
      return outcome;
    };
    VUVAravuvo::RetryCondition condition;
    if (!c.conditionAgrees) {
      condition = [&](int64_t remaining, const os::Error& error) {
        conditionSaw.push_back(remaining);
        EXPECT_EQ(error, testError(runs));
        return false;
      };
    }
    auto promise = VUVAravuvo::attempts(c.attempts, delay, condition, work);
    EXPECT_EQ(runs, 1) << "the first run is synchronous";
    for (int run = 2; run <= c.expectedRuns; ++run) {
      drain();  // a failing promise reports on the queue, which then sets the timer
      clock->advance(delay - 0.001);
      EXPECT_EQ(runs, run - 1) << "waits the delay before each repeat";
      clock->advance(0.001);
      EXPECT_EQ(runs, run);
    }
    clock->advance(delay * 3);
    EXPECT_EQ(runs, c.expectedRuns);
    if (c.succeedOnRun) {
      expectFulfilled(promise, c.succeedOnRun * 100);
    } else {
      expectRejected(promise, testError(c.expectedRuns));
    }
    if (!c.conditionAgrees) {
      EXPECT_EQ(conditionSaw, std::vector<int64_t>{2});
    }
  }

  // The short form: one retry, one second later.
  int runs = 0;
  auto promise = VUVAravuvo::retry([&]() -> std::any { return testError(++runs); });
  clock->advance(0.999);
  EXPECT_EQ(runs, 1);
  clock->advance(0.001);
  EXPECT_EQ(runs, 2);
  clock->advance(10);
  expectRejected(promise, testError(2));
}

TEST(VUVAravuvoOperators, DoAndAsync) {
  auto queue = os::DispatchQueue::serial("test.work");
  std::atomic<bool> ranOnQueue{false};
  auto done = VUVAravuvo::onQueueDo(queue, [&]() -> std::any {
    ranOnQueue = queue->isCurrent();
    return 4;
  });
  auto failed = VUVAravuvo::do_([]() -> std::any { return testError(2); });
  auto adopted = VUVAravuvo::do_([]() -> std::any { return VUVAravuvo::resolvedWith(9); });
  drain();
  EXPECT_TRUE(ranOnQueue);
  expectFulfilled(done, 4);
  expectRejected(failed, testError(2));
  expectFulfilled(adopted, 9);

  // The blocks may be called later from any thread; only the first call counts.
  VUVAravuvo::FulfillBlock keptFulfill;
  VUVAravuvo::RejectBlock keptReject;
  auto async = VUVAravuvo::onQueueAsync(queue, [&](VUVAravuvo::FulfillBlock f, VUVAravuvo::RejectBlock r) {
    keptFulfill = std::move(f);
    keptReject = std::move(r);
  });
  drain();
  EXPECT_TRUE(async->isPending());
  std::thread([&] {
    keptFulfill(8);
    keptReject(testError(1));
  }).join();
  expectFulfilled(async, 8);
  auto asyncRejected = VUVAravuvo::async([](auto, VUVAravuvo::RejectBlock reject) { reject(testError(3)); });
  drain();
  expectRejected(asyncRejected, testError(3));
}

TEST(VUVAravuvoOperators, WrapMembers) {
  const os::Error e = testError(9);
  using P = VUVAravuvoPtr;
  auto isNumber = [](const P& p, os::Number expected) {
    std::any value = p->value();
    auto* n = std::any_cast<os::Number>(&value);
    ASSERT_TRUE(n) << p->description();
    EXPECT_EQ(n->kind(), expected.kind());
    EXPECT_EQ(*n, expected);
  };
  struct Case {
    const char* name;
    P promise;
    std::function<void(const P&)> check;
  };
  const Case cases[] = {
      {"completion", VUVAravuvo::wrapCompletion([](auto done) { done(); }),
       [](const P& p) { EXPECT_TRUE(p->isFulfilled() && !p->value().has_value()); }},
      {"object", VUVAravuvo::wrapObjectCompletion([](auto done) { done(5); }), [](const P& p) { expectFulfilled(p, 5); }},
      {"object that is an error", VUVAravuvo::wrapObjectCompletion([e](auto done) { done(e); }),
       [e](const P& p) { expectRejected(p, e); }},
      {"object, called twice", VUVAravuvo::wrapObjectCompletion([](auto done) { done(1); done(2); }),
       [](const P& p) { expectFulfilled(p, 1); }},
      {"error absent", VUVAravuvo::wrapErrorCompletion([](auto done) { done(std::nullopt); }),
       [](const P& p) { EXPECT_TRUE(p->isFulfilled() && !p->value().has_value()); }},
      {"error present", VUVAravuvo::wrapErrorCompletion([e](auto done) { done(e); }),
       [e](const P& p) { expectRejected(p, e); }},
      {"object or error: object", VUVAravuvo::wrapObjectOrErrorCompletion([](auto done) { done(5, std::nullopt); }),
       [](const P& p) { expectFulfilled(p, 5); }},
      {"object or error: both", VUVAravuvo::wrapObjectOrErrorCompletion([e](auto done) { done(5, e); }),
       [e](const P& p) { expectRejected(p, e); }},
      {"error or object: object", VUVAravuvo::wrapErrorOrObjectCompletion([](auto done) { done(std::nullopt, 5); }),
       [](const P& p) { expectFulfilled(p, 5); }},
      {"error or object: both", VUVAravuvo::wrapErrorOrObjectCompletion([e](auto done) { done(e, 5); }),
       [e](const P& p) { expectRejected(p, e); }},
      {"two objects, first nil",
       VUVAravuvo::wrap2ObjectsOrErrorCompletion([](auto done) { done(std::any(), std::string("s"), std::nullopt); }),
       [](const P& p) {
         auto list = std::any_cast<VUVAravuvo::Objects>(p->value());
         ASSERT_EQ(list.size(), 2u);
         EXPECT_TRUE(VUVAravuvo::isNullObject(list[0]));
         EXPECT_EQ(std::any_cast<std::string>(list[1]), "s");
       }},
      {"two objects with error", VUVAravuvo::wrap2ObjectsOrErrorCompletion([e](auto done) { done(1, 2, e); }),
       [e](const P& p) { expectRejected(p, e); }},
      {"bool", VUVAravuvo::wrapBoolCompletion([](auto done) { done(true); }),
       [&](const P& p) { isNumber(p, os::Number::boolean(true)); }},
      {"bool or error", VUVAravuvo::wrapBoolOrErrorCompletion([](auto done) { done(false, std::nullopt); }),
       [&](const P& p) { isNumber(p, os::Number::boolean(false)); }},
      {"integer", VUVAravuvo::wrapIntegerCompletion([](auto done) { done(-7); }),
       [&](const P& p) { isNumber(p, os::Number::int64(-7)); }},
      {"integer or error: error", VUVAravuvo::wrapIntegerOrErrorCompletion([e](auto done) { done(7, e); }),
       [e](const P& p) { expectRejected(p, e); }},
      {"double", VUVAravuvo::wrapDoubleCompletion([](auto done) { done(1.5); }),
       [&](const P& p) { isNumber(p, os::Number::float64(1.5)); }},
      {"double or error", VUVAravuvo::wrapDoubleOrErrorCompletion([](auto done) { done(1.5, std::nullopt); }),
       [&](const P& p) { isNumber(p, os::Number::float64(1.5)); }},
  };
  drain();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.check(c.promise);
  }
}

TEST(VUVAravuvoOperators, AwaitBlocksUntilSettled) {
  std::optional<os::Error> error = testError(0);
  EXPECT_FALSE(VUVAravuvoAwait(VUVAravuvo::resolvedWith(testError(4)), &error).has_value());
  EXPECT_EQ(error, testError(4));

  // Settled from another queue while the main thread waits; its observers
  // target the main queue, which is not running meanwhile.
  auto promise = VUVAravuvo::pendingPromise();
  auto onMain = promise->then([](const std::any& v) { return v; });
  os::DispatchQueue::global()->async([promise] { promise->fulfill(6); });
  EXPECT_EQ(intOf(VUVAravuvoAwait(promise, &error)), 6);
  EXPECT_FALSE(error);
  drain();
  expectFulfilled(onMain, 6);
}

// The same operators on real threads: a concurrent queue, the real clock, and
// await in place of draining.
TEST(VUVAravuvoOperatorsRealThreads, TimeDelayRetryAndChains) {
  auto queue = os::DispatchQueue::concurrent("test.real");
  std::optional<os::Error> error;

  auto never = VUVAravuvo::pendingPromise();
  auto timed = never->onQueueTimeout(queue, 0.02);
  VUVAravuvoAwait(timed, &error);
  EXPECT_EQ(error, os::Error(kVUVAravuvoErrorDomain, 1));
  never->fulfill(1);

  auto quick = VUVAravuvo::onQueueDo(queue, []() -> std::any { return 2; })->onQueueTimeout(queue, 30);
  EXPECT_EQ(intOf(VUVAravuvoAwait(quick, &error)), 2);
  EXPECT_FALSE(error);

  const int64_t start = os::Clock::current().uptimeNanos();
  auto delayed = VUVAravuvo::resolvedWith(3)->onQueueDelay(queue, 0.02);
  EXPECT_EQ(intOf(VUVAravuvoAwait(delayed)), 3);
  EXPECT_GE(os::Clock::current().uptimeNanos() - start, 20'000'000);

  std::atomic<int> runs{0};
  auto retried = VUVAravuvo::onQueueAttemptsDelayConditionRetry(
      queue, 2, 0.005, nullptr, [&]() -> std::any { return testError(++runs); });
  VUVAravuvoAwait(retried, &error);
  EXPECT_EQ(runs, 3);
  EXPECT_EQ(error, testError(3));

  auto chain = VUVAravuvo::onQueueAsync(queue, [](auto fulfill, auto) {
                 os::DispatchQueue::global()->async([fulfill] { fulfill(1); });
               })
                   ->onQueueThen(queue, [](const std::any& v) -> std::any { return intOf(v) + 1; })
                   ->onQueueValidate(queue, [](const std::any& v) { return intOf(v) == 2; })
                   ->onQueueThen(queue, [](const std::any&) -> std::any { return testError(5); })
                   ->onQueueRecover(queue, [](const os::Error& e) -> std::any { return int(e.code()); });
  EXPECT_EQ(intOf(VUVAravuvoAwait(chain)), 5);
}

}  // namespace
