// os::TimeZone and os::DateFormatter: calendar text of dates, ICU underneath.
//
// Both are values: copies are independent. A DateFormatter may be used from
// several threads at once.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "os/foundation/date.h"

namespace os {

namespace foundation::detail {
struct TimeZoneImpl;
struct DateFormatterCache;
}  // namespace foundation::detail

class TimeZone {
 public:
  // The zone of a tz database identifier ("UTC", "GMT", "Europe/Paris",
  // "America/New_York") or of a fixed offset written "GMT+01:00" / "GMT-0530".
  // nullopt for an unknown identifier.
  static std::optional<TimeZone> timeZoneWithName(std::string_view identifier);
  // A fixed offset from GMT, in seconds (at most 18 hours either way; clamped).
  // Its identifier is "GMT" for 0, else "GMT+HHMM" / "GMT-HHMM".
  static TimeZone timeZoneForSecondsFromGMT(int seconds);
  static TimeZone UTC();

  // The device's zone: $TZ when it names a known zone, else UTC. Read once.
  static TimeZone systemTimeZone();
  // The zone formatters use by default: the one set with setDefaultTimeZone,
  // else systemTimeZone(). Thread-safe.
  static TimeZone defaultTimeZone();
  // Sets (or, with nullopt, clears) the process's default zone; a test seam.
  static void setDefaultTimeZone(std::optional<TimeZone> zone);

  const std::string& identifier() const;
  // Offset from GMT at `date`, daylight saving included.
  int secondsFromGMT(Date date) const;
  // Offset from GMT now (os::Clock's wall time).
  int secondsFromGMT() const;
  bool isDaylightSavingTimeForDate(Date date) const;

  friend bool operator==(const TimeZone& a, const TimeZone& b);

  // The underlying zone; for use by the implementation only.
  const foundation::detail::TimeZoneImpl& impl() const { return *impl_; }

 private:
  explicit TimeZone(std::shared_ptr<const foundation::detail::TimeZoneImpl> impl) : impl_(std::move(impl)) {}
  std::shared_ptr<const foundation::detail::TimeZoneImpl> impl_;
};

inline constexpr const char* kPOSIXLocaleIdentifier = "en_US_POSIX";

class DateFormatter {
 public:
  // Empty pattern, locale "en_US_POSIX", the default time zone at construction.
  DateFormatter();
  // A formatter with a fixed ICU pattern such as "yyyy-MM-dd",
  // "HH:mm • MMM d, yyyy" or "yyyy-MM-dd'T'HH:mm:ssZZZZZ".
  explicit DateFormatter(std::string dateFormat, std::string localeIdentifier = kPOSIXLocaleIdentifier,
                         std::optional<TimeZone> timeZone = std::nullopt);
  DateFormatter(const DateFormatter& other);
  DateFormatter& operator=(const DateFormatter& other);
  ~DateFormatter();

  const std::string& dateFormat() const { return dateFormat_; }
  void setDateFormat(std::string dateFormat);
  // The locale identifier ("en_US_POSIX", "en_US", "fr_FR", ...).
  const std::string& locale() const { return locale_; }
  void setLocale(std::string localeIdentifier);
  const TimeZone& timeZone() const { return timeZone_; }
  void setTimeZone(TimeZone timeZone);

  // The date as text in the pattern, locale and zone. An empty pattern gives "".
  std::string stringFromDate(Date date) const;
  // The date the whole of `text` denotes, strictly per the pattern; nullopt
  // when the text does not match or has anything left over.
  std::optional<Date> dateFromString(std::string_view text) const;

 private:
  void invalidate();

  std::string dateFormat_;
  std::string locale_;
  TimeZone timeZone_;
  mutable std::mutex mutex_;
  // ICU formatter built lazily from the three settings; guarded by mutex_.
  mutable std::unique_ptr<foundation::detail::DateFormatterCache> cache_;
};

}  // namespace os
