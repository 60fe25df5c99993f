#include "os/foundation/date_format.h"

#include <unicode/locid.h>
#include <unicode/parsepos.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>
#include <unicode/simpletz.h>
#include <unicode/unistr.h>

#include <cstdlib>

#include "os/foundation/format.h"

namespace os {
namespace foundation::detail {

// An immutable ICU zone. ICU's const zone methods are safe to call from
// several threads at once.
struct TimeZoneImpl {
  std::string identifier;
  std::unique_ptr<const icu::TimeZone> zone;
};

// The ICU formatter built from a DateFormatter's settings.
struct DateFormatterCache {
  std::unique_ptr<icu::SimpleDateFormat> format;  // null when the pattern is unusable
};

}  // namespace foundation::detail

namespace {

constexpr int kMaxOffsetSeconds = 18 * 3600;

icu::UnicodeString unicode(std::string_view s) {
  return icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())));
}

std::string utf8(const icu::UnicodeString& s) {
  std::string out;
  s.toUTF8String(out);
  return out;
}

std::mutex& defaultZoneMutex() {
  static std::mutex m;
  return m;
}
// Guarded by defaultZoneMutex().
std::optional<TimeZone>& defaultZoneOverride() {
  static auto& zone = *new std::optional<TimeZone>();  // never destroyed
  return zone;
}

}  // namespace

std::optional<TimeZone> TimeZone::timeZoneWithName(std::string_view identifier) {
  if (identifier.empty() || identifier.size() > 256) return std::nullopt;
  std::unique_ptr<icu::TimeZone> zone(icu::TimeZone::createTimeZone(unicode(identifier)));
  icu::UnicodeString id;
  if (!zone || zone->getID(id) == icu::UnicodeString(UCAL_UNKNOWN_ZONE_ID)) return std::nullopt;
  auto impl = std::make_shared<foundation::detail::TimeZoneImpl>();
  impl->identifier = std::string(identifier);
  impl->zone = std::move(zone);
  return TimeZone(std::move(impl));
}

TimeZone TimeZone::timeZoneForSecondsFromGMT(int seconds) {
  if (seconds > kMaxOffsetSeconds) seconds = kMaxOffsetSeconds;
  if (seconds < -kMaxOffsetSeconds) seconds = -kMaxOffsetSeconds;
  std::string identifier = "GMT";
  if (seconds != 0) {
    int magnitude = seconds < 0 ? -seconds : seconds;
    identifier = os::format("GMT%c%02d%02d", seconds < 0 ? '-' : '+', magnitude / 3600, magnitude % 3600 / 60);
  }
  auto impl = std::make_shared<foundation::detail::TimeZoneImpl>();
  impl->identifier = identifier;
  impl->zone = std::make_unique<icu::SimpleTimeZone>(seconds * 1000, unicode(identifier));
  return TimeZone(std::move(impl));
}

TimeZone TimeZone::UTC() {
  static const TimeZone& utc = *new TimeZone(*timeZoneWithName("UTC"));  // never destroyed
  return utc;
}

TimeZone TimeZone::systemTimeZone() {
  static const TimeZone& zone = *new TimeZone([] {  // never destroyed
    const char* tz = std::getenv("TZ");
    if (tz != nullptr) {
      std::string_view name(tz);
      if (!name.empty() && name.front() == ':') name.remove_prefix(1);
      if (auto z = timeZoneWithName(name)) return *z;
    }
    return UTC();
  }());
  return zone;
}

TimeZone TimeZone::defaultTimeZone() {
  {
    std::lock_guard<std::mutex> lock(defaultZoneMutex());
    if (defaultZoneOverride()) return *defaultZoneOverride();
  }
  return systemTimeZone();
}

void TimeZone::setDefaultTimeZone(std::optional<TimeZone> zone) {
  std::lock_guard<std::mutex> lock(defaultZoneMutex());
  defaultZoneOverride() = std::move(zone);
}

const std::string& TimeZone::identifier() const { return impl_->identifier; }

int TimeZone::secondsFromGMT(Date date) const {
  int32_t raw = 0, dst = 0;
  UErrorCode status = U_ZERO_ERROR;
  impl_->zone->getOffset(date.timeIntervalSince1970() * 1000.0, false, raw, dst, status);
  if (U_FAILURE(status)) return 0;
  return (raw + dst) / 1000;
}

int TimeZone::secondsFromGMT() const { return secondsFromGMT(Date::now()); }

bool TimeZone::isDaylightSavingTimeForDate(Date date) const {
  int32_t raw = 0, dst = 0;
  UErrorCode status = U_ZERO_ERROR;
  impl_->zone->getOffset(date.timeIntervalSince1970() * 1000.0, false, raw, dst, status);
  return U_SUCCESS(status) && dst != 0;
}

bool operator==(const TimeZone& a, const TimeZone& b) {
  return a.impl_ == b.impl_ || (a.impl_->identifier == b.impl_->identifier && *a.impl_->zone == *b.impl_->zone);
}

// ---- DateFormatter ----

DateFormatter::DateFormatter() : DateFormatter(std::string()) {}

DateFormatter::DateFormatter(std::string dateFormat, std::string localeIdentifier, std::optional<TimeZone> timeZone)
    : dateFormat_(std::move(dateFormat)),
      locale_(std::move(localeIdentifier)),
      timeZone_(timeZone ? std::move(*timeZone) : TimeZone::defaultTimeZone()) {}

DateFormatter::DateFormatter(const DateFormatter& other)
    : dateFormat_(other.dateFormat_), locale_(other.locale_), timeZone_(other.timeZone_) {}

DateFormatter& DateFormatter::operator=(const DateFormatter& other) {
  if (this != &other) {
    dateFormat_ = other.dateFormat_;
    locale_ = other.locale_;
    timeZone_ = other.timeZone_;
    invalidate();
  }
  return *this;
}

DateFormatter::~DateFormatter() = default;

void DateFormatter::invalidate() {
  std::lock_guard<std::mutex> lock(mutex_);
  cache_.reset();
}

void DateFormatter::setDateFormat(std::string dateFormat) {
  dateFormat_ = std::move(dateFormat);
  invalidate();
}

void DateFormatter::setLocale(std::string localeIdentifier) {
  locale_ = std::move(localeIdentifier);
  invalidate();
}

void DateFormatter::setTimeZone(TimeZone timeZone) {
  timeZone_ = std::move(timeZone);
  invalidate();
}

namespace {

// Builds the ICU formatter for the settings; null when ICU refuses the
// pattern or locale.
std::unique_ptr<icu::SimpleDateFormat> makeFormat(const std::string& pattern, const std::string& locale,
                                                  const icu::TimeZone& icuZone) {
  UErrorCode status = U_ZERO_ERROR;
  auto format = std::make_unique<icu::SimpleDateFormat>(unicode(pattern), icu::Locale(locale.c_str()), status);
  if (U_FAILURE(status)) return nullptr;
  format->setTimeZone(icuZone);
  // Parsing is strict: the platform's formatters are not lenient by default.
  format->setLenient(false);
  return format;
}

}  // namespace

std::string DateFormatter::stringFromDate(Date date) const {
  if (dateFormat_.empty()) return {};
  std::lock_guard<std::mutex> lock(mutex_);
  if (!cache_) {
    cache_ = std::make_unique<foundation::detail::DateFormatterCache>();
    cache_->format = makeFormat(dateFormat_, locale_, *timeZone_.impl().zone);
  }
  if (!cache_->format) return {};
  icu::UnicodeString out;
  cache_->format->format(date.timeIntervalSince1970() * 1000.0, out);
  return utf8(out);
}

std::optional<Date> DateFormatter::dateFromString(std::string_view text) const {
  if (dateFormat_.empty() || text.size() > size_t(INT32_MAX) / 4) return std::nullopt;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!cache_) {
    cache_ = std::make_unique<foundation::detail::DateFormatterCache>();
    cache_->format = makeFormat(dateFormat_, locale_, *timeZone_.impl().zone);
  }
  if (!cache_->format) return std::nullopt;
  icu::UnicodeString input = unicode(text);
  icu::ParsePosition position(0);
  UDate udate = 0;
  {
    // ICU's parse needs a mutable calendar; the formatter is ours under mutex_.
    std::unique_ptr<icu::Calendar> calendar(cache_->format->getCalendar()->clone());
    if (!calendar) return std::nullopt;
    calendar->clear();
    cache_->format->parse(input, *calendar, position);
    if (position.getErrorIndex() >= 0 || position.getIndex() != input.length() || position.getIndex() == 0)
      return std::nullopt;
    UErrorCode status = U_ZERO_ERROR;
    udate = calendar->getTime(status);
    if (U_FAILURE(status)) return std::nullopt;
  }
  return Date::fromTimeIntervalSince1970(udate / 1000.0);
}

}  // namespace os
