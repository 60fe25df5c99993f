#include "measurement/engine/audiences/audience_results.h"

#include <algorithm>

#include "measurement/messages/field_access.h"

namespace apm_audience {
namespace {

std::vector<uint64_t> words(const APMPBResultData* data, int32_t index) {
  std::vector<uint64_t> out;
  if (data == nullptr) return out;
  for (const os::Value& value : APMPBGetArray(data, index).value_or(os::Array{})) {
    out.push_back(value.number() ? value.number()->uint64Value() : 0);
  }
  return out;
}

os::Array values(const std::vector<uint64_t>& words) {
  os::Array out;
  out.reserve(words.size());
  for (uint64_t word : words) out.emplace_back(os::Number::uint64(word));
  return out;
}

uint64_t wordAt(const std::vector<uint64_t>& words, size_t index) { return index < words.size() ? words[index] : 0; }

template <class Entry>
void copyEntriesExcept(const APMPBResultData* from, APMPBResultData* to, int32_t index,
                       const std::set<int32_t>& filterIDs) {
  auto entries = APMPBGetArray<Entry>(from, index).value_or(std::vector<std::shared_ptr<Entry>>{});
  std::erase_if(entries, [&](const auto& entry) { return filterIDs.contains(APMPBGetInt32(entry.get(), kTimestampFilterID)); });
  APMPBSetArray(to, index, entries);
}

}  // namespace

ResultBits ResultBits::of(const APMPBResultData* data) {
  return ResultBits{words(data, kResultDataEvaluated), words(data, kResultDataResults)};
}

bool ResultBits::isTrue(int32_t filterID) const {
  if (filterID < 0) return false;
  const size_t word = size_t(filterID) / 64;
  const uint64_t bit = uint64_t(1) << (filterID % 64);
  if (word >= evaluated.size()) return false;
  return (evaluated[word] & bit) != 0 && (wordAt(results, word) & bit) != 0;
}

bool ResultBits::anyEvaluated() const {
  return std::any_of(evaluated.begin(), evaluated.end(), [](uint64_t word) { return word != 0; });
}

void ResultBits::set(int32_t filterID, bool value) {
  if (filterID < 0) return;
  const size_t word = size_t(filterID) / 64;
  const uint64_t bit = uint64_t(1) << (filterID % 64);
  const size_t length = std::max({evaluated.size(), results.size(), word + 1});
  evaluated.resize(length, 0);
  results.resize(length, 0);
  evaluated[word] |= bit;
  if (value) {
    results[word] |= bit;
  } else {
    results[word] &= ~bit;
  }
}

void ResultBits::clear(int32_t filterID) {
  if (filterID < 0) return;
  const size_t word = size_t(filterID) / 64;
  const uint64_t bit = uint64_t(1) << (filterID % 64);
  if (word < evaluated.size()) evaluated[word] &= ~bit;
  if (word < results.size()) results[word] &= ~bit;
}

void ResultBits::writeTo(APMPBResultData* data) const {
  APMPBSetArray(data, kResultDataEvaluated, values(evaluated));
  APMPBSetArray(data, kResultDataResults, values(results));
}

void copyTimestampsExcept(const APMPBResultData* from, APMPBResultData* to, const std::set<int32_t>& filterIDs) {
  if (from == nullptr) return;
  copyEntriesExcept<APMPBDynamicFilterResultTimestamp>(from, to, kResultDataDynamicTimestamps, filterIDs);
  copyEntriesExcept<APMPBSequenceFilterResultTimestamp>(from, to, kResultDataSequenceTimestamps, filterIDs);
}

}  // namespace apm_audience
