#include "measurement/store/daily_counts.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr double kSecondsPerDay = 86'400;

int32_t saturated(double value) {
  if (std::isnan(value)) return 0;
  return static_cast<int32_t>(std::clamp(value, double(std::numeric_limits<int32_t>::min()),
                                         double(std::numeric_limits<int32_t>::max())));
}

// counter + amount without signed overflow.
void add(int32_t& counter, int32_t amount) {
  const int64_t sum = int64_t(counter) + amount;
  counter = static_cast<int32_t>(
      std::clamp<int64_t>(sum, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}

}  // namespace

int32_t APMDayNumber(double now, double midnightOffset) {
  return saturated(std::floor((now - midnightOffset) / kSecondsPerDay));
}

void APMDailyCounts::incrementCountsForCurrentDay(int32_t day, bool isPublicEvent, bool isConversion,
                                                  int32_t byEffectiveEventCount) {
  rollOver(day);
  if (isConversion) add(conversionsCount_, 1);
  add(allEventsCount_, byEffectiveEventCount);
  if (isPublicEvent) add(publicEventsCount_, byEffectiveEventCount);
}

void APMDailyCounts::incrementErrorEventsCountForCurrentDay(int32_t day) {
  rollOver(day);
  add(allEventsCount_, 1);
  add(errorEventsCount_, 1);
}

void APMDailyCounts::incrementRealtimeCountsForCurrentDay(int32_t day) {
  rollOver(day);
  add(realtimeCount_, 1);
}

void APMDailyCounts::incrementDCURealtimeCountsForCurrentDay(int32_t day) {
  rollOver(day);
  add(dcuRealtimeCount_, 1);
}

void APMDailyCounts::decrementAllEventsCount() {
  if (allEventsCount_ > 0) --allEventsCount_;
}

void APMDailyCounts::resetWithNewDay(int32_t day) {
  day_ = day;
  conversionsCount_ = 0;
  allEventsCount_ = 0;
  publicEventsCount_ = 0;
  errorEventsCount_ = 0;
  realtimeCount_ = 0;
  dcuRealtimeCount_ = 0;
}
