#include "sdk-core/core/rez_timestamp.h"

#include <algorithm>
#include <cmath>

#include "os/foundation/date_format.h"
#include "os/foundation/error.h"
#include "os/foundation/format.h"

namespace {

int64_t checkedSeconds(int64_t seconds, int32_t nanoseconds) {
  if (nanoseconds < 0 || nanoseconds > 999'999'999) {
    throw os::Exception(kREZInvalidTimestampException,
                        os::format("Timestamp nanoseconds out of range: %d", nanoseconds));
  }
  if (seconds < kREZTimestampMinSeconds || seconds >= kREZTimestampMaxSeconds) {
    throw os::Exception(kREZInvalidTimestampException,
                        os::format("Timestamp seconds out of range: %lld", static_cast<long long>(seconds)));
  }
  return seconds;
}

}  // namespace

REZTimestamp::REZTimestamp(int64_t seconds, int32_t nanoseconds)
    : seconds_(checkedSeconds(seconds, nanoseconds)), nanoseconds_(nanoseconds) {}

std::shared_ptr<REZTimestamp> REZTimestamp::timestamp() { return timestampWithDate(os::Date::now()); }

std::shared_ptr<REZTimestamp> REZTimestamp::timestampWithDate(os::Date date) {
  double whole = 0;
  double fraction = std::modf(date.timeIntervalSince1970(), &whole);
  if (fraction < 0) {
    whole -= 1;
    fraction += 1.0;
    // A fraction too small to tell from zero rounds up to a whole second.
    if (fraction >= 1.0) {
      whole += 1;
      fraction = 0;
    }
  }
  // A double beyond int64 must not be cast: clamp it, and let the
  // constructor refuse what lies outside the range (NaN included).
  if (std::isnan(whole) || std::isnan(fraction)) {
    whole = static_cast<double>(kREZTimestampMaxSeconds);
    fraction = 0;
  }
  const auto seconds = static_cast<int64_t>(std::clamp(whole, -9.0e18, 9.0e18));
  return timestampWithSeconds(seconds, static_cast<int32_t>(fraction * 1e9));
}

std::shared_ptr<REZTimestamp> REZTimestamp::timestampWithSeconds(int64_t seconds, int32_t nanoseconds) {
  return std::make_shared<REZTimestamp>(seconds, nanoseconds);
}

os::Date REZTimestamp::dateValue() const {
  return os::Date::fromTimeIntervalSince1970(static_cast<double>(seconds_) + nanoseconds_ / 1e9);
}

std::strong_ordering REZTimestamp::compare(const REZTimestamp& other) const {
  if (auto bySeconds = seconds_ <=> other.seconds_; bySeconds != 0) return bySeconds;
  return nanoseconds_ <=> other.nanoseconds_;
}

size_t REZTimestamp::hash() const {
  return static_cast<size_t>(seconds_ ^ (seconds_ >> 32) ^ static_cast<int64_t>(nanoseconds_));
}

std::string REZTimestamp::description() const {
  return os::format("<REZTimestamp: seconds=%lld nanoseconds=%d>", static_cast<long long>(seconds_), nanoseconds_);
}

std::string REZTimestamp::ISO8601String() const {
  static const os::DateFormatter formatter("yyyy-MM-dd'T'HH:mm:ss", os::kPOSIXLocaleIdentifier, os::TimeZone::UTC());
  const std::string date = formatter.stringFromDate(os::Date::fromTimeIntervalSince1970(static_cast<double>(seconds_)));
  if (date.size() != 19) {
    throw os::Exception(kREZInvalidISOStringException, os::format("Invalid ISO string: %@", date));
  }
  return os::format("%@.%@Z", date, os::format("%09d", nanoseconds_));
}
