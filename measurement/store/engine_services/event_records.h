// The engine's per-name and audience records that the store reads and
// writes:
//   APMEventAggregates  running counts and sampling state of one event name
//                       (a row of the events table);
//   APMEventFilter      one stored audience event filter (a row of
//                       event_filters);
//   APMFilterResult     an audience's encoded current and previous filter
//                       results (a row of audience_filter_values).
//
// They live here, below the store, because the database builds them from rows
// and must not depend on the engine above it.
//
// APMEventFilter and APMFilterResult are immutable; an APMEventAggregates is
// changed through its setters by one caller at a time (the worker queue).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "measurement/store/records.h"
#include "os/foundation/data.h"

// Monitor codes (level 5).
inline constexpr int64_t kAPMEventAggregatesCodeNegativeCount = 17000;
inline constexpr int64_t kAPMEventAggregatesCodeLifetimeOverflow = 17001;
inline constexpr int64_t kAPMEventAggregatesCodeBundleOverflow = 17002;
inline constexpr int64_t kAPMEventAggregatesCodeSessionOverflow = 17003;

class APMEventAggregates {
 public:
  // Null when the name is not a valid internal event name, or when a count
  // is negative (17000).
  static std::shared_ptr<APMEventAggregates> initWithName(std::string_view name, int32_t lifetimeCount,
                                                          int32_t currentBundleCount, int32_t currentSessionCount,
                                                          double lastFireTimestamp);
  // Without checks, for rows read back. Times in seconds since 1970. The
  // other fields start at: last bundled 0, no sampled complex event,
  // sampling rate 1, not exempt, bundled day 0.
  APMEventAggregates(std::string name, int32_t lifetimeCount, int32_t currentBundleCount,
                     int32_t currentSessionCount, double lastFireTimestamp)
      : lifetimeCount_(lifetimeCount),
        currentBundleCount_(currentBundleCount),
        currentSessionCount_(currentSessionCount),
        name_(std::move(name)),
        lastFireTimestamp_(lastFireTimestamp) {}

  const std::string& name() const { return name_; }
  int32_t lifetimeCount() const { return lifetimeCount_; }
  int32_t currentBundleCount() const { return currentBundleCount_; }
  int32_t currentSessionCount() const { return currentSessionCount_; }
  double lastFireTimestamp() const { return lastFireTimestamp_; }
  double lastBundledTimestamp() const { return lastBundledTimestamp_; }
  const std::optional<int64_t>& lastSampledComplexEventID() const { return lastSampledComplexEventID_; }
  int32_t lastSamplingRate() const { return lastSamplingRate_; }
  bool lastExemptFromSampling() const { return lastExemptFromSampling_; }
  int32_t lastBundledDay() const { return lastBundledDay_; }

  // Each adds 1; at 2147483647 the count becomes 0 instead (17001, 17002,
  // 17003).
  void incrementLifetimeCount();
  void incrementCurrentBundleCount();
  void incrementCurrentSessionCount();

  void setLastFireTimestamp(double value) { lastFireTimestamp_ = value; }
  void setLastBundledTimestamp(double value) { lastBundledTimestamp_ = value; }
  void setLastSampledComplexEventID(std::optional<int64_t> value) { lastSampledComplexEventID_ = value; }
  void setLastSamplingRate(int32_t value) { lastSamplingRate_ = value; }
  void setLastExemptFromSampling(bool value) { lastExemptFromSampling_ = value; }
  void setLastBundledDay(int32_t value) { lastBundledDay_ = value; }

  friend bool operator==(const APMEventAggregates&, const APMEventAggregates&) = default;

 private:
  bool lastExemptFromSampling_ = false;
  int32_t lifetimeCount_;
  int32_t currentBundleCount_;
  int32_t currentSessionCount_;
  int32_t lastSamplingRate_ = 1;
  int32_t lastBundledDay_ = 0;
  std::string name_;
  double lastFireTimestamp_;
  double lastBundledTimestamp_ = 0;
  std::optional<int64_t> lastSampledComplexEventID_;
};

class APMEventFilter final : public APMStoredAudienceFilter {
 public:
  // No checks. `data` is the encoded EventFilter message.
  APMEventFilter(int32_t audienceID, int32_t filterID, std::string eventName, os::Data data, bool sessionScoped,
                 bool dynamic, bool sequence)
      : APMStoredAudienceFilter(audienceID, filterID, sessionScoped, dynamic, sequence),
        eventName_(std::move(eventName)),
        data_(std::move(data)) {}

  const std::string& eventName() const { return eventName_; }
  const os::Data& data() const { return data_; }

 private:
  std::string eventName_;
  os::Data data_;
};

class APMFilterResult {
 public:
  // The audience's encoded results; no previous results: nullopt.
  APMFilterResult(int32_t audienceID, std::optional<os::Data> currentResults, std::optional<os::Data> previousResults)
      : audienceID_(audienceID),
        currentResults_(std::move(currentResults)),
        previousResults_(std::move(previousResults)) {}

  int32_t audienceID() const { return audienceID_; }
  const std::optional<os::Data>& currentResults() const { return currentResults_; }
  const std::optional<os::Data>& previousResults() const { return previousResults_; }

 private:
  int32_t audienceID_;
  std::optional<os::Data> currentResults_;
  std::optional<os::Data> previousResults_;
};
