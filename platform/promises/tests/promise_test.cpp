// The typed wrapper promises::Promise<T>.
#include "platform/promises/promise.h"

#include <gtest/gtest.h>

#include "os/dispatch/manual_clock.h"
#include "platform/promises/tests/test_support.h"

namespace {

using promises::Promise;
using promises::PromiseError;
using promises_test::drain;
using promises_test::testError;

promises::Queue mainQueue() { return promises::promisesQueue(); }

TEST(Promise, FulfilRejectAndDescribe) {
  auto promise = Promise<int>::pending();
  EXPECT_EQ(promise.description(), "Pending: int");
  EXPECT_EQ(Promise<std::string>::pending().description(), "Pending: string");
  promise.fulfill(42);
  EXPECT_EQ(promise.value(), 42);
  EXPECT_EQ(promise.description(), "Fulfilled: 42");
  Promise<int> same(promise.asObjCPromise());
  EXPECT_EQ(same.value(), 42) << "two wrappers over one core promise are one promise";

  auto rejected = Promise<int>::pending();
  rejected.reject(PromiseError::timedOut);
  auto core = rejected.asObjCPromise()->error();
  ASSERT_TRUE(core);
  EXPECT_EQ(core->domain(), kVUVAravuvoErrorDomain);
  EXPECT_EQ(core->code(), 1);
  EXPECT_TRUE(core->userInfo().empty());
  EXPECT_EQ(promises::promiseError(*rejected.error()), PromiseError::timedOut);
  EXPECT_EQ(rejected.description(), "Rejected: timedOut");
  EXPECT_FALSE(rejected.value());

  // Mapping: only codes 1 and 2 of the library's domain are PromiseErrors.
  EXPECT_EQ(promises::promiseError(os::Error(kVUVAravuvoErrorDomain, 2)), PromiseError::validationFailure);
  EXPECT_FALSE(promises::promiseError(os::Error(kVUVAravuvoErrorDomain, 3)));
  EXPECT_FALSE(promises::promiseError(os::Error("other", 1)));

  // An optional fulfilled with nil reads back nil, not the null object.
  auto optional = Promise<std::optional<int>>::pending();
  optional.fulfill(std::nullopt);
  EXPECT_FALSE(optional.asObjCPromise()->value().has_value());
  EXPECT_EQ(optional.description(), "Fulfilled: nil");
  auto awaited = promises::awaitPromise(optional);
  ASSERT_TRUE(awaited);
  EXPECT_FALSE(awaited->has_value());
}

TEST(Promise, ResolutionConstructors) {
  EXPECT_EQ(Promise<int>([] { return 3; }).value(), 3);
  EXPECT_EQ(Promise<int>([]() -> os::Result<int> { return os::fail(testError(1)); }).error(), testError(1));
  EXPECT_EQ(Promise<os::Error>([] { return testError(2); }).error(), testError(2));
  auto shared = Promise<int>::pending();
  EXPECT_EQ(Promise<int>([shared] { return shared; }).asObjCPromise(), shared.asObjCPromise());
  EXPECT_EQ(Promise<int>(testError(3)).error(), testError(3));
  EXPECT_TRUE(Promise<void>([] {}).asObjCPromise()->isFulfilled());

  auto queue = os::DispatchQueue::serial("test.typed");
  Promise<int> viaDo(queue, [] { return 4; });
  Promise<int> viaDoPromise(queue, [] { return Promise<int>([] { return 5; }); });
  Promise<int> viaDoError(queue, []() -> os::Result<int> { return os::fail(testError(6)); });
  Promise<std::string> viaAsync(queue, [](auto fulfill, auto) { fulfill("x"); });
  Promise<int> viaAsyncReject(queue, [](auto, auto reject) { reject(testError(7)); });
  Promise<int> viaAsyncStatus(queue, [](auto, auto) -> os::Status { return os::fail(testError(8)); });
  Promise<void> viaAsyncVoid(queue, [](auto fulfill, auto) { fulfill(); });
  drain();
  EXPECT_EQ(viaDo.value(), 4);
  EXPECT_EQ(viaDoPromise.value(), 5);
  EXPECT_EQ(viaDoError.error(), testError(6));
  EXPECT_EQ(viaAsync.value(), "x");
  EXPECT_EQ(viaAsyncReject.error(), testError(7));
  EXPECT_EQ(viaAsyncStatus.error(), testError(8));
  EXPECT_TRUE(viaAsyncVoid.asObjCPromise()->isFulfilled());
}

TEST(Promise, Operators) {
  auto q = mainQueue();
  auto source = Promise<int>::pending();
  int seen = 0;
  auto passed = source.then(q, [&](int v) { seen = v; });
  auto mapped = source.then(q, [](int v) { return std::to_string(v); });
  auto chained = source.then(q, [](int v) { return Promise<double>([v] { return v / 2.0; }); });
  auto thrown = source.then(q, [](int) -> os::Result<int> { return os::fail(testError(1)); });
  auto thrownVoid = source.then(q, [](int) -> os::Status { return os::fail(testError(2)); });
  auto refused = source.validate(q, [](int v) { return v < 0; });
  auto accepted = source.validate(q, [](int v) { return v > 0; });
  int always = 0;
  auto after = source.always(q, [&] { ++always; });
  source.fulfill(4);
  drain();
  EXPECT_EQ(seen, 4);
  EXPECT_EQ(passed.value(), 4) << "a work returning nothing passes the value on";
  EXPECT_EQ(mapped.value(), "4");
  EXPECT_EQ(chained.value(), 2.0);
  EXPECT_EQ(thrown.error(), testError(1));
  EXPECT_EQ(thrownVoid.error(), testError(2));
  EXPECT_EQ(promises::promiseError(*refused.error()), PromiseError::validationFailure);
  EXPECT_EQ(accepted.value(), 4);
  EXPECT_EQ(after.value(), 4);
  EXPECT_EQ(always, 1);

  auto failing = Promise<int>(testError(3));
  std::optional<os::Error> caught;
  auto stillRejected = failing.catch_(q, [&](const os::Error& e) { caught = e; });
  auto recovered = failing.recover(q, [](const os::Error& e) { return int(e.code()) * 10; });
  auto recoveredLater = failing.recover(q, [](const os::Error&) { return Promise<int>([] { return 9; }); });
  auto recoverFails = failing.recover(q, [](const os::Error&) -> os::Result<int> { return os::fail(testError(4)); });
  drain();
  EXPECT_EQ(caught, testError(3));
  EXPECT_EQ(stillRejected.error(), testError(3));
  EXPECT_EQ(recovered.value(), 30);
  EXPECT_EQ(recoveredLater.value(), 9);
  EXPECT_EQ(recoverFails.error(), testError(4));

  auto sum = Promise<int>([] { return 0; }).reduce(std::vector<int>{1, 2, 3}, [](int partial, int item) {
    return Promise<int>([=] { return partial + item; });
  });
  drain();
  EXPECT_EQ(sum.value(), 6);
}

TEST(Promise, TimeoutDelayAndRetryUnderManualClock) {
  os::ManualClockScope clock;
  auto q = mainQueue();
  auto never = Promise<int>::pending();
  auto timed = never.timeout(q, 1.0);
  std::optional<PromiseError> caught;
  timed.catch_(q, [&](const os::Error& e) { caught = promises::promiseError(e); });
  clock->advance(1.0);
  EXPECT_EQ(caught, PromiseError::timedOut);
  // awaitPromise reports the error itself, unmapped.
  auto awaited = promises::awaitPromise(timed);
  ASSERT_FALSE(awaited);
  EXPECT_EQ(awaited.error(), os::Error(kVUVAravuvoErrorDomain, 1));

  auto delayed = Promise<int>([] { return 1; }).delay(q, 2.0);
  drain();
  clock->advance(1.5);
  EXPECT_FALSE(delayed.value());
  clock->advance(0.5);
  EXPECT_EQ(delayed.value(), 1);

  int runs = 0;
  auto retried = promises::retry(q, 2, 1.0, nullptr, [&] {
    ++runs;
    return runs < 3 ? Promise<int>(testError(runs)) : Promise<int>([&] { return runs; });
  });
  for (int run = 2; run <= 3; ++run) {
    drain();
    clock->advance(1.0);
    EXPECT_EQ(runs, run);
  }
  drain();
  EXPECT_EQ(retried.value(), 3);

  auto refused = promises::retry(q, 5, 1.0, [](int64_t, const os::Error&) { return false; },
                                 [] { return Promise<int>(testError(1)); });
  drain();
  EXPECT_EQ(refused.error(), testError(1));
  never.fulfill(0);
}

TEST(Promise, Combinators) {
  auto q = mainQueue();
  std::vector<Promise<void>> voids = {Promise<void>::pending(), Promise<void>::pending(), Promise<void>::pending()};
  auto allVoid = promises::all(q, voids);
  for (auto& p : voids) p.fulfill();
  drain();
  ASSERT_TRUE(allVoid.value());
  EXPECT_EQ(allVoid.value()->size(), 3u);

  auto allInts = promises::all(q, {Promise<int>([] { return 1; }), Promise<int>([] { return 2; })});
  auto tuple = promises::all(q, Promise<int>([] { return 1; }), Promise<std::string>([] { return std::string("a"); }),
                             Promise<std::optional<int>>([] { return std::optional<int>(); }));
  auto anyOf = promises::any(q, {Promise<int>([] { return 7; }), Promise<int>(testError(1))});
  auto anyTuple = promises::any(q, Promise<int>([] { return 7; }), Promise<std::string>(testError(2)));
  auto raced = promises::race(q, {Promise<int>::pending(), Promise<int>([] { return 5; })});
  drain();
  EXPECT_EQ(allInts.value(), (std::vector<int>{1, 2}));
  ASSERT_TRUE(tuple.value());
  EXPECT_EQ(*tuple.value(), std::make_tuple(1, std::string("a"), std::optional<int>()));
  using M = promises::Maybe<int>;
  EXPECT_EQ(anyOf.value(), (std::vector<M>{M(7), M(testError(1))}));
  ASSERT_TRUE(anyTuple.value());
  EXPECT_EQ(std::get<0>(*anyTuple.value()).value(), 7);
  EXPECT_EQ(std::get<1>(*anyTuple.value()).error(), testError(2));
  EXPECT_EQ(raced.value(), 5);

  // Maybe equality compares errors by domain, code and user info.
  EXPECT_NE(M(os::Error("d", 1, {{"k", 1}})), M(os::Error("d", 1)));
  EXPECT_NE(M(1), M(testError(1)));
}

TEST(Promise, WrapFamily) {
  auto q = mainQueue();
  using OptionalError = std::optional<os::Error>;
  auto none = promises::wrap<>(q, [](auto done) { done(); });
  auto value = promises::wrap<int>(q, [](auto done) { done(3); });
  auto optional = promises::wrap<std::optional<int>>(q, [](auto done) { done(std::nullopt); });
  auto valueOrError = promises::wrap<int, OptionalError>(q, [](auto done) { done(3, testError(1)); });
  auto errorOrValue = promises::wrap<OptionalError, std::string>(q, [](auto done) { done(std::nullopt, "s"); });
  auto two = promises::wrap<std::optional<int>, std::optional<std::string>, OptionalError>(
      q, [](auto done) { done(std::nullopt, std::string("b"), std::nullopt); });
  auto throws = promises::wrap<int>(q, [](auto) -> os::Status { return os::fail(testError(2)); });
  auto twice = promises::wrap<int>(q, [](auto done) {
    done(1);
    done(2);
  });
  drain();
  EXPECT_TRUE(none.asObjCPromise()->isFulfilled());
  EXPECT_EQ(value.value(), 3);
  EXPECT_TRUE(optional.asObjCPromise()->isFulfilled());
  EXPECT_FALSE(optional.value());
  EXPECT_EQ(valueOrError.error(), testError(1));
  EXPECT_EQ(errorOrValue.value(), "s");
  EXPECT_EQ(two.value(), std::make_tuple(std::optional<int>(), std::optional<std::string>("b")));
  EXPECT_EQ(throws.error(), testError(2));
  EXPECT_EQ(twice.value(), 1);
}

TEST(PromiseDeathTest, ValueOfAnotherTypeStopsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Promise<int> wrong(VUVAravuvo::resolvedWith(std::string("text")));
        (void)promises::awaitPromise(wrong);
      },
      "cannot be read as int");
}

}  // namespace
