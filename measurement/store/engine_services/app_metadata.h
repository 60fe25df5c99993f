// APMAppMetadata: the engine's record of the last bundle it made (its running
// index and time span), kept in the database's one app_metadata row.
//
// The record lives here, below the store, because the database reads and
// writes it and must not depend on the engine above it; the engine's bundling
// reads it and hands back the next one. An immutable value.
#pragma once

#include <cstdint>

class APMAppMetadata {
 public:
  // Times in seconds since 1970.
  APMAppMetadata(int32_t lastBundleIndex, double lastBundleStartTimestamp, double lastBundleEndTimestamp)
      : lastBundleIndex_(lastBundleIndex),
        lastBundleStartTimestamp_(lastBundleStartTimestamp),
        lastBundleEndTimestamp_(lastBundleEndTimestamp) {}

  int32_t lastBundleIndex() const { return lastBundleIndex_; }
  double lastBundleStartTimestamp() const { return lastBundleStartTimestamp_; }
  double lastBundleEndTimestamp() const { return lastBundleEndTimestamp_; }

  friend bool operator==(const APMAppMetadata&, const APMAppMetadata&) = default;

 private:
  int32_t lastBundleIndex_;
  double lastBundleStartTimestamp_;
  double lastBundleEndTimestamp_;
};
