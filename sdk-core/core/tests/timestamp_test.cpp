#include "sdk-core/core/rez_timestamp.h"

#include <gtest/gtest.h>

#include <cmath>

#include "os/dispatch/manual_clock.h"
#include "os/foundation/error.h"

namespace {

TEST(REZTimestampTest, SplitsDatesIntoSecondsAndNanoseconds) {
  struct Case {
    double date;
    int64_t seconds;
    int32_t nanoseconds;
  };
  const Case cases[] = {
      {0.0, 0, 0},
      {-0.25, -1, 750'000'000},
      {1'700'000'000.5, 1'700'000'000, 500'000'000},
      {-1e-20, 0, 0},  // a negative fraction too small to show
      {-62'135'596'800.0, -62'135'596'800, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.date);
    auto t = REZTimestamp::timestampWithDate(os::Date::fromTimeIntervalSince1970(c.date));
    EXPECT_EQ(t->seconds(), c.seconds);
    EXPECT_EQ(t->nanoseconds(), c.nanoseconds);
  }
  EXPECT_DOUBLE_EQ(REZTimestamp(-1, 750'000'000).dateValue().timeIntervalSince1970(), -0.25);

  os::ManualClockScope clock;
  clock->setWallTime(1'700'000'000.125);
  EXPECT_EQ(REZTimestamp::timestamp()->nanoseconds(), 125'000'000);
}

TEST(REZTimestampTest, OutOfRangeIsRefused) {
  struct Case {
    int64_t seconds;
    int32_t nanoseconds;
    const char* reason;  // null: valid
  };
  const Case cases[] = {
      {0, 999'999'999, nullptr},
      {0, 1'000'000'000, "Timestamp nanoseconds out of range: 1000000000"},
      {0, -1, "Timestamp nanoseconds out of range: -1"},
      {kREZTimestampMinSeconds, 0, nullptr},
      {kREZTimestampMinSeconds - 1, 0, "Timestamp seconds out of range: -62135596801"},
      {kREZTimestampMaxSeconds - 1, 999'999'999, nullptr},
      {kREZTimestampMaxSeconds, 0, "Timestamp seconds out of range: 253402300800"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.seconds);
    try {
      REZTimestamp t(c.seconds, c.nanoseconds);
      EXPECT_EQ(c.reason, nullptr);
    } catch (const os::Exception& e) {
      ASSERT_NE(c.reason, nullptr) << e.reason();
      EXPECT_EQ(e.name(), kREZInvalidTimestampException);
      EXPECT_EQ(e.reason(), c.reason);
    }
  }
  for (double date : {1e300, -1e300, std::nan("")}) {
    EXPECT_THROW(REZTimestamp::timestampWithDate(os::Date::fromTimeIntervalSince1970(date)), os::Exception);
  }
}

TEST(REZTimestampTest, OrderEqualityHashAndText) {
  const REZTimestamp a(10, 5), b(10, 6), c(11, 0), a2(10, 5);
  EXPECT_EQ(a.compare(b), std::strong_ordering::less);
  EXPECT_EQ(c.compare(b), std::strong_ordering::greater);
  EXPECT_TRUE(a.isEqualToTimestamp(a2));
  EXPECT_FALSE(a.isEqual(nullptr));
  EXPECT_EQ(a.hash(), a2.hash());
  EXPECT_EQ(REZTimestamp(-1, 3).hash(), static_cast<size_t>(int64_t{-1} ^ int64_t{-1} ^ 3));
  EXPECT_EQ(REZTimestamp((int64_t{7} << 32) | 1, 0).hash(), static_cast<size_t>(((int64_t{7} << 32) | 1) ^ 7));

  EXPECT_EQ(a.description(), "<REZTimestamp: seconds=10 nanoseconds=5>");
  EXPECT_EQ(REZTimestamp(1'700'000'000, 7).ISO8601String(), "2023-11-14T22:13:20.000000007Z");
  EXPECT_EQ(REZTimestamp(-1, 750'000'000).ISO8601String(), "1969-12-31T23:59:59.750000000Z");
  EXPECT_EQ(REZTimestamp(kREZTimestampMaxSeconds - 1, 999'999'999).ISO8601String(),
            "9999-12-31T23:59:59.999999999Z");

  auto shared = REZTimestamp::timestampWithSeconds(1, 2);
  EXPECT_EQ(shared->copy(), shared);
}

}  // namespace
