// REZTimestamp: a point in time as whole seconds since 1970-01-01T00:00:00Z
// and nanoseconds within that second. Immutable; copy() gives the same
// object.
//
// Valid timestamps lie from 0001-01-01T00:00:00Z (seconds -62,135,596,800)
// up to, not including, 10000-01-01T00:00:00Z (253,402,300,800), with
// nanoseconds 0 ... 999,999,999. Making one outside that range throws
// os::Exception "Invalid timestamp"; that is a caller error.
//
// Thread-safe (immutable).
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "os/foundation/date.h"

inline constexpr const char* kREZInvalidTimestampException = "Invalid timestamp";
inline constexpr const char* kREZInvalidISOStringException = "Invalid ISO string";
// The range of valid seconds: [kREZTimestampMinSeconds, kREZTimestampMaxSeconds).
inline constexpr int64_t kREZTimestampMinSeconds = -62'135'596'800;
inline constexpr int64_t kREZTimestampMaxSeconds = 253'402'300'800;

class REZTimestamp : public std::enable_shared_from_this<REZTimestamp> {
 public:
  // Now, from os::Clock.
  static std::shared_ptr<REZTimestamp> timestamp();
  // The date split into whole seconds (rounded down) and the nanoseconds of
  // the fraction (truncated): 0.25 s before 1970 is seconds -1, nanoseconds
  // 750,000,000.
  static std::shared_ptr<REZTimestamp> timestampWithDate(os::Date date);
  static std::shared_ptr<REZTimestamp> timestampWithSeconds(int64_t seconds, int32_t nanoseconds);

  // Throws os::Exception kREZInvalidTimestampException when out of range.
  REZTimestamp(int64_t seconds, int32_t nanoseconds);

  int64_t seconds() const { return seconds_; }
  int32_t nanoseconds() const { return nanoseconds_; }
  // Seconds plus nanoseconds / 1e9.
  os::Date dateValue() const;

  // By seconds, then by nanoseconds.
  std::strong_ordering compare(const REZTimestamp& other) const;
  bool isEqualToTimestamp(const REZTimestamp& other) const { return compare(other) == 0; }
  // False for null.
  bool isEqual(const REZTimestamp* other) const { return other != nullptr && isEqualToTimestamp(*other); }
  // seconds ^ (seconds >> 32, sign-extending) ^ nanoseconds.
  size_t hash() const;
  // "<REZTimestamp: seconds=%lld nanoseconds=%d>".
  std::string description() const;
  // "yyyy-MM-ddTHH:mm:ss.nnnnnnnnnZ" in UTC. Throws os::Exception
  // kREZInvalidISOStringException when the date part is not 19 characters.
  std::string ISO8601String() const;
  // The same object.
  std::shared_ptr<REZTimestamp> copy() { return shared_from_this(); }

 private:
  const int64_t seconds_;
  const int32_t nanoseconds_;
};
