// APMAppMetadata: the engine's record of the last bundle it made (its running
// index and time span), kept in the database's one app_metadata row.
//
// The record lives here, below the store, because the database reads and
// writes it and must not depend on the engine above it; the engine's bundling
// reads it, advances it for every bundle it makes and writes it back.
//
// The index is never negative: the checked factory refuses a negative one
// (4000) and advancing past the largest int32 starts again at 0 (4001).
// A value type; one owner changes it at a time.
#pragma once

#include <cstdint>
#include <optional>

inline constexpr int64_t kAPMAppMetadataCodeNegativeBundleIndex = 4000;  // level 2
inline constexpr int64_t kAPMAppMetadataCodeBundleIndexOverflow = 4001;  // level 5

class APMAppMetadata {
 public:
  // Without checks, for rows read back. Times in seconds since 1970.
  APMAppMetadata(int32_t lastBundleIndex, double lastBundleStartTimestamp, double lastBundleEndTimestamp)
      : lastBundleIndex_(lastBundleIndex),
        lastBundleStartTimestamp_(lastBundleStartTimestamp),
        lastBundleEndTimestamp_(lastBundleEndTimestamp) {}
  // nullopt, logging 4000, for a negative index.
  static std::optional<APMAppMetadata> initWithLastBundleIndex(int32_t lastBundleIndex,
                                                               double lastBundleStartTimestamp,
                                                               double lastBundleEndTimestamp);

  int32_t lastBundleIndex() const { return lastBundleIndex_; }
  double lastBundleStartTimestamp() const { return lastBundleStartTimestamp_; }
  double lastBundleEndTimestamp() const { return lastBundleEndTimestamp_; }
  void setLastBundleStartTimestamp(double timestamp) { lastBundleStartTimestamp_ = timestamp; }
  void setLastBundleEndTimestamp(double timestamp) { lastBundleEndTimestamp_ = timestamp; }
  // Adds one; 2147483647 becomes 0 (4001).
  void incrementLastBundleIndex();

  friend bool operator==(const APMAppMetadata&, const APMAppMetadata&) = default;

 private:
  int32_t lastBundleIndex_;
  double lastBundleStartTimestamp_;
  double lastBundleEndTimestamp_;
};
