#include <gtest/gtest.h>

#include <vector>

#include "sdk-core/installations/rez_installations_backoff_controller.h"

namespace {

using Event = REZInstallationsBackoffEvent;

// Each case registers its events at one moment, then asks just before the
// shortest wait the case allows and once the longest has passed.
TEST(BackoffTest, WaitFollowsTheEventsRegistered) {
  struct Case {
    const char* name;
    std::vector<Event> events;
    double refusedAt;  // seconds after the last event
    double allowedAt;
  };
  auto recoverable = [](size_t n) { return std::vector<Event>(n, Event::RecoverableFailure); };
  auto then = [](std::vector<Event> events, Event last) {
    events.push_back(last);
    return events;
  };
  const std::vector<Case> cases = {
      {"one recoverable error: 2 to 2.999 s", recoverable(1), 1.999, 3},
      {"four in a row: 16 to 16.999 s", recoverable(4), 15.999, 17},
      {"ten in a row: still below the cap", recoverable(10), 1023.999, 1025},
      {"eleven in a row: 1800 s", recoverable(11), 1799.999, 1800},
      {"seventy in a row: still 1800 s", recoverable(70), 1799.999, 1800},
      {"an unrecoverable error: a day", {Event::UnrecoverableFailure}, 86399.999, 86400},
      {"unrecoverable after recoverable ones", then(recoverable(3), Event::UnrecoverableFailure), 86399.999, 86400},
      {"a success clears the wait", then(recoverable(5), Event::Success), -1, 0},
      {"the count starts again after a success", then(then(recoverable(5), Event::Success), Event::RecoverableFailure),
       1.999, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    os::Date now = os::Date::fromTimeIntervalSince1970(1'700'000'000.0);
    REZInstallationsBackoffController backoff([&now] { return now; });
    EXPECT_TRUE(backoff.isNextRequestAllowed());
    for (Event event : c.events) backoff.registerEvent(event);
    const os::Date last = now;
    if (c.refusedAt >= 0) {
      now = last.addingTimeInterval(c.refusedAt);
      EXPECT_FALSE(backoff.isNextRequestAllowed());
    }
    now = last.addingTimeInterval(c.allowedAt);
    EXPECT_TRUE(backoff.isNextRequestAllowed());
  }
}

// With a clock that stands still, only the events decide.
TEST(BackoffTest, FixedDateDependsOnlyOnEvents) {
  const os::Date fixed = os::Date::fromTimeIntervalSince1970(1'700'000'000.0);
  REZInstallationsBackoffController backoff([fixed] { return fixed; });
  backoff.registerEvent(Event::RecoverableFailure);
  EXPECT_FALSE(backoff.isNextRequestAllowed());
  EXPECT_FALSE(backoff.isNextRequestAllowed());
  backoff.registerEvent(Event::Success);
  EXPECT_TRUE(backoff.isNextRequestAllowed());
}

}  // namespace
