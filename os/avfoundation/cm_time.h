// CMTime: a rational time value (value / timescale seconds), as the capture
// device reports its exposure duration.
#pragma once

#include <cmath>
#include <cstdint>

struct CMTime {
  int64_t value = 0;
  int32_t timescale = 0;  // 0 marks an invalid time
  friend bool operator==(const CMTime&, const CMTime&) = default;
};

inline constexpr CMTime kCMTimeInvalid{};

inline CMTime CMTimeMake(int64_t value, int32_t timescale) { return {value, timescale}; }
inline CMTime CMTimeMakeWithSeconds(double seconds, int32_t preferredTimescale) {
  return {static_cast<int64_t>(std::llround(seconds * preferredTimescale)), preferredTimescale};
}
// Seconds; NaN for an invalid time.
inline double CMTimeGetSeconds(CMTime t) {
  return t.timescale == 0 ? std::nan("") : static_cast<double>(t.value) / t.timescale;
}
