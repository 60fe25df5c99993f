// APMDailyCounts: the counters of one day that the engine checks against its
// daily limits (conversions, all events, public events, error events,
// real-time conversions, real-time DCU events), kept in the database's
// app_metadata row (APMDatabase::dailyCounts / updateDailyCounts).
//
// A day is a number of whole days since 1970 shifted by the install's
// midnight offset (APMDayNumber). The counters of an older day are carried
// until an increment for a new day zeroes them first. A mutable value: one
// thread at a time.
#pragma once

#include <cstdint>

// floor((now - midnightOffset) / 86400), both in seconds since 1970, as a
// 32-bit day number (rounded toward minus infinity; saturated at the int32
// range).
int32_t APMDayNumber(double now, double midnightOffset);

class APMDailyCounts {
 public:
  APMDailyCounts(int32_t day, int32_t conversionsCount, int32_t allEventsCount, int32_t publicEventsCount,
                 int32_t errorEventsCount, int32_t realtimeCount, int32_t dcuRealtimeCount)
      : day_(day),
        conversionsCount_(conversionsCount),
        allEventsCount_(allEventsCount),
        publicEventsCount_(publicEventsCount),
        errorEventsCount_(errorEventsCount),
        realtimeCount_(realtimeCount),
        dcuRealtimeCount_(dcuRealtimeCount) {}

  // Each increment first zeroes the counters when `day` is not the record's
  // day (resetWithNewDay). Counters stop at the largest int32.

  // One conversion when isConversion; `byEffectiveEventCount` more events,
  // and as many public ones when isPublicEvent.
  void incrementCountsForCurrentDay(int32_t day, bool isPublicEvent, bool isConversion,
                                    int32_t byEffectiveEventCount);
  // The same for one event.
  void incrementCountsForCurrentDay(int32_t day, bool isPublicEvent, bool isConversion) {
    incrementCountsForCurrentDay(day, isPublicEvent, isConversion, 1);
  }
  // One more event and one more error event.
  void incrementErrorEventsCountForCurrentDay(int32_t day);
  void incrementRealtimeCountsForCurrentDay(int32_t day);
  void incrementDCURealtimeCountsForCurrentDay(int32_t day);
  // One event less, never below 0.
  void decrementAllEventsCount();
  // The day, with every counter at 0.
  void resetWithNewDay(int32_t day);

  int32_t day() const { return day_; }
  int32_t conversionsCount() const { return conversionsCount_; }
  int32_t allEventsCount() const { return allEventsCount_; }
  int32_t publicEventsCount() const { return publicEventsCount_; }
  int32_t errorEventsCount() const { return errorEventsCount_; }
  int32_t realtimeCount() const { return realtimeCount_; }
  int32_t dcuRealtimeCount() const { return dcuRealtimeCount_; }

  friend bool operator==(const APMDailyCounts&, const APMDailyCounts&) = default;

 private:
  void rollOver(int32_t day) {
    if (day != day_) resetWithNewDay(day);
  }

  int32_t day_;
  int32_t conversionsCount_;
  int32_t allEventsCount_;
  int32_t publicEventsCount_;
  int32_t errorEventsCount_;
  int32_t realtimeCount_;
  int32_t dcuRealtimeCount_;
};
