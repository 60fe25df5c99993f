// os::Date: a point in time as seconds since 1970-01-01T00:00:00Z.
#pragma once

#include <compare>

namespace os {

class Date {
 public:
  // Seconds between 1970 and the reference date, 2001-01-01T00:00:00Z.
  static constexpr double kTimeIntervalBetween1970AndReferenceDate = 978307200.0;

  constexpr Date() = default;
  static constexpr Date fromTimeIntervalSince1970(double t) { return Date(t); }
  static constexpr Date fromTimeIntervalSinceReferenceDate(double t) {
    return Date(t + kTimeIntervalBetween1970AndReferenceDate);
  }
  // The current wall time of os::Clock::current().
  static Date now();
  static constexpr Date distantPast() { return Date(-63114076800.0); }
  static constexpr Date distantFuture() { return Date(64092211200.0); }

  constexpr double timeIntervalSince1970() const { return t_; }
  constexpr double timeIntervalSinceReferenceDate() const {
    return t_ - kTimeIntervalBetween1970AndReferenceDate;
  }
  constexpr double timeIntervalSinceDate(Date other) const { return t_ - other.t_; }
  double timeIntervalSinceNow() const;
  constexpr Date addingTimeInterval(double seconds) const { return Date(t_ + seconds); }

  friend constexpr bool operator==(Date, Date) = default;
  friend constexpr auto operator<=>(Date, Date) = default;

 private:
  explicit constexpr Date(double t) : t_(t) {}
  double t_ = 0;
};

}  // namespace os
