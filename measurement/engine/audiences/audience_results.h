// Internal helpers of APMAudience over the ResultData message: its two bit
// arrays and its timestamp entries. Not part of the audience interface.
#pragma once

#include <cstdint>
#include <set>
#include <vector>

#include "measurement/messages/message_classes.h"

namespace apm_audience {

// ResultData fields.
inline constexpr int32_t kResultDataEvaluated = 0;
inline constexpr int32_t kResultDataResults = 1;
inline constexpr int32_t kResultDataDynamicTimestamps = 2;
inline constexpr int32_t kResultDataSequenceTimestamps = 3;
// DynamicFilterResultTimestamp and SequenceFilterResultTimestamp fields.
inline constexpr int32_t kTimestampFilterID = 0;
inline constexpr int32_t kTimestampValue = 1;

// The evaluated and true bits. Filter f is bit f % 64 of word f / 64; a word
// beyond an array reads as 0.
struct ResultBits {
  std::vector<uint64_t> evaluated;
  std::vector<uint64_t> results;

  // The arrays of the message; empty ones for null.
  static ResultBits of(const APMPBResultData* data);
  bool isTrue(int32_t filterID) const;
  bool anyEvaluated() const;
  // Sets the evaluated bit and the true bit to `value`, first growing both
  // arrays with zero words to one length that holds the filter's word.
  void set(int32_t filterID, bool value);
  // Clears both bits; nothing to clear beyond the arrays.
  void clear(int32_t filterID);
  void writeTo(APMPBResultData* data) const;
};

// Copies the dynamic and sequence timestamp entries of `from` into `to`,
// leaving out those of the given filters.
void copyTimestampsExcept(const APMPBResultData* from, APMPBResultData* to, const std::set<int32_t>& filterIDs);

}  // namespace apm_audience
