#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "os/foundation/date_format.h"

namespace os {
namespace {

// 2024-03-05T14:07:09Z and 2024-07-01T12:00:00Z.
const Date kWinter = Date::fromTimeIntervalSince1970(1709647629);
const Date kSummer = Date::fromTimeIntervalSince1970(1719835200);

TEST(TimeZoneTest, NamedAndFixedZones) {
  auto ny = TimeZone::timeZoneWithName("America/New_York");
  ASSERT_TRUE(ny);
  EXPECT_EQ(ny->identifier(), "America/New_York");
  EXPECT_EQ(ny->secondsFromGMT(kWinter), -5 * 3600);
  EXPECT_EQ(ny->secondsFromGMT(kSummer), -4 * 3600);
  EXPECT_FALSE(ny->isDaylightSavingTimeForDate(kWinter));
  EXPECT_TRUE(ny->isDaylightSavingTimeForDate(kSummer));

  EXPECT_EQ(TimeZone::UTC().secondsFromGMT(kSummer), 0);
  EXPECT_FALSE(TimeZone::timeZoneWithName("Nowhere/City"));
  EXPECT_FALSE(TimeZone::timeZoneWithName(""));

  const std::pair<int, const char*> fixed[] = {{0, "GMT"}, {3600, "GMT+0100"}, {-19800, "GMT-0530"}};
  for (auto [seconds, name] : fixed) {
    TimeZone z = TimeZone::timeZoneForSecondsFromGMT(seconds);
    EXPECT_EQ(z.identifier(), name);
    EXPECT_EQ(z.secondsFromGMT(kSummer), seconds);
  }
  EXPECT_EQ(TimeZone::timeZoneForSecondsFromGMT(3600), TimeZone::timeZoneForSecondsFromGMT(3600));
  EXPECT_FALSE(TimeZone::timeZoneForSecondsFromGMT(3600) == TimeZone::UTC());
}

TEST(TimeZoneTest, DefaultZoneCanBeSetAndCleared) {
  TimeZone::setDefaultTimeZone(TimeZone::timeZoneForSecondsFromGMT(7200));
  EXPECT_EQ(TimeZone::defaultTimeZone().secondsFromGMT(kWinter), 7200);
  EXPECT_EQ(DateFormatter("HH:mm").stringFromDate(kWinter), "16:07");
  TimeZone::setDefaultTimeZone(std::nullopt);
  EXPECT_EQ(TimeZone::defaultTimeZone(), TimeZone::systemTimeZone());
}

TEST(DateFormatterTest, FormatsPatternsInFixedZoneAndLocale) {
  const TimeZone utc = TimeZone::UTC();
  const TimeZone india = TimeZone::timeZoneForSecondsFromGMT(19800);
  struct Case {
    const char* pattern;
    const char* locale;
    TimeZone zone;
    const char* expected;
  } cases[] = {
      {"yyyy-MM-dd", kPOSIXLocaleIdentifier, utc, "2024-03-05"},
      {"HH:mm • MMM d, yyyy", kPOSIXLocaleIdentifier, utc, "14:07 • Mar 5, 2024"},
      {"yyyy-MM-dd'T'HH:mm:ssZZZZZ", kPOSIXLocaleIdentifier, utc, "2024-03-05T14:07:09Z"},
      {"yyyy-MM-dd'T'HH:mm:ssZZZZZ", kPOSIXLocaleIdentifier, india, "2024-03-05T19:37:09+05:30"},
      {"d MMMM yyyy", "fr_FR", utc, "5 mars 2024"},
      {"EEEE h:mm a", "en_US", *TimeZone::timeZoneWithName("America/New_York"), "Tuesday 9:07 AM"},
  };
  for (const auto& c : cases) {
    DateFormatter f(c.pattern, c.locale, c.zone);
    EXPECT_EQ(f.stringFromDate(kWinter), c.expected) << c.pattern;
  }
  EXPECT_EQ(DateFormatter().stringFromDate(kWinter), "");
}

TEST(DateFormatterTest, ParsesWholeTextStrictly) {
  DateFormatter iso("yyyy-MM-dd'T'HH:mm:ssZZZZZ", kPOSIXLocaleIdentifier, TimeZone::UTC());
  EXPECT_EQ(iso.dateFromString("2024-03-05T19:37:09+05:30"), kWinter);
  EXPECT_EQ(iso.dateFromString("2024-03-05T14:07:09Z"), kWinter);

  DateFormatter day("yyyy-MM-dd", kPOSIXLocaleIdentifier, TimeZone::timeZoneForSecondsFromGMT(3600));
  EXPECT_EQ(day.dateFromString("2024-03-05"), Date::fromTimeIntervalSince1970(1709593200));  // 23:00Z the day before

  const char* rejected[] = {"", "garbage", "2024-13-05", "2024-02-30", "2024-03-05x", "2024-03"};
  for (const char* text : rejected) EXPECT_FALSE(day.dateFromString(text)) << text;
  EXPECT_FALSE(DateFormatter().dateFromString("2024-03-05"));
}

TEST(DateFormatterTest, SettersRebuildAndCopiesAreIndependent) {
  DateFormatter f("HH:mm", kPOSIXLocaleIdentifier, TimeZone::UTC());
  EXPECT_EQ(f.stringFromDate(kWinter), "14:07");
  DateFormatter copy = f;
  f.setTimeZone(TimeZone::timeZoneForSecondsFromGMT(3600));
  EXPECT_EQ(f.stringFromDate(kWinter), "15:07");
  f.setDateFormat("MMMM");
  f.setLocale("de_DE");
  EXPECT_EQ(f.stringFromDate(kWinter), "März");
  EXPECT_EQ(copy.stringFromDate(kWinter), "14:07");
}

TEST(DateFormatterTest, SharedFormatterIsSafeAcrossThreads) {
  const DateFormatter f("yyyy-MM-dd HH:mm:ss", kPOSIXLocaleIdentifier, TimeZone::UTC());
  std::vector<std::thread> threads;
  std::atomic<int> mismatches{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        if (f.stringFromDate(kWinter) != "2024-03-05 14:07:09") ++mismatches;
        if (f.dateFromString("2024-03-05 14:07:09") != kWinter) ++mismatches;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(mismatches, 0);
}

}  // namespace
}  // namespace os
