// Heartbeat values: the ring buffer of heartbeats not yet sent, the bundle
// kept per app (ring + last-added date per time period), the payload sent in
// the "X-vivuzuvu-client" header, and their JSON forms.
//
// Stored JSON of a bundle (every key required when reading; dates are seconds
// since 2001-01-01T00:00:00Z):
//   {"capacity": 30,
//    "lastAddedHeartbeatDates": [1, <date>],            // period, date, ...
//    "buffer": {"circularQueue": [null | heartbeat, ...], "tailIndex": 0}}
//   heartbeat: {"agent": "...", "date": <date>, "version": 0, "timePeriods": [1]}
//
// Header payload JSON: {"heartbeats": [{"agent": "...", "dates": ["2024-05-01"]}],
// "version": 2}, compressed with gzip and written as base64url without padding.
//
// Value types; not synchronised.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "os/foundation/data.h"
#include "os/foundation/date.h"
#include "os/foundation/error.h"
#include "os/foundation/value.h"

namespace heartbeats {

enum class TimePeriod : int { daily = 1 };
inline constexpr TimePeriod kAllTimePeriods[] = {TimePeriod::daily};
inline constexpr double kTimePeriodDailySeconds = 86400;
inline double timeInterval(TimePeriod) { return kTimePeriodDailySeconds; }

inline constexpr int kHeartbeatsStorageCapacity = 30;
// Stored bundles with a larger capacity are refused as damaged.
inline constexpr int64_t kHeartbeatsMaximumStoredCapacity = 1024;
inline constexpr int kHeartbeatsPayloadVersion = 2;

struct Heartbeat {
  std::string agent;
  os::Date date;  // a UTC day start
  int version = 0;
  std::vector<TimePeriod> timePeriods;
  friend bool operator==(const Heartbeat&, const Heartbeat&) = default;
};

// The push failure: a tail index outside the ring.
struct OutOfBoundsPush {
  int64_t pushIndex;
  int64_t endIndex;
  // "Out-of-bounds push at index <i> to ring bufferend index of <n>."
  std::string description() const;
};

class RingBuffer {
 public:
  RingBuffer() = default;
  explicit RingBuffer(size_t capacity) : circularQueue_(capacity) {}
  RingBuffer(std::vector<std::optional<Heartbeat>> circularQueue, int64_t tailIndex)
      : circularQueue_(std::move(circularQueue)), tailIndex_(tailIndex) {}

  // Writes at the tail and advances it; the replaced element, or nullopt. A
  // ring without slots stores nothing.
  std::expected<std::optional<Heartbeat>, OutOfBoundsPush> push(Heartbeat element);
  // Steps the tail back and empties that slot; its old content.
  std::optional<Heartbeat> pop();

  // Non-empty slots in slot order.
  std::vector<Heartbeat> elements() const;
  const std::vector<std::optional<Heartbeat>>& circularQueue() const { return circularQueue_; }
  int64_t tailIndex() const { return tailIndex_; }
  friend bool operator==(const RingBuffer&, const RingBuffer&) = default;

 private:
  std::vector<std::optional<Heartbeat>> circularQueue_;
  int64_t tailIndex_ = 0;
};

struct UserAgentPayload {
  std::string agent;
  std::vector<os::Date> dates;
  friend bool operator==(const UserAgentPayload&, const UserAgentPayload&) = default;
};

struct HeartbeatsPayload {
  std::vector<UserAgentPayload> userAgentPayloads;
  int version = kHeartbeatsPayloadVersion;

  static const HeartbeatsPayload& emptyPayload();
  bool isEmpty() const { return userAgentPayloads.empty(); }
  // The JSON object of the header (dates as "yyyy-MM-dd" in UTC).
  os::Value jsonValue() const;
  // gzip of the JSON, base64url without padding; never empty.
  std::string headerValue() const;
  friend bool operator==(const HeartbeatsPayload&, const HeartbeatsPayload&) = default;
};

class HeartbeatsBundle {
 public:
  // Empty ring of `capacity` slots, every last-added date distant past.
  explicit HeartbeatsBundle(int64_t capacity);
  // Empty ring, keeping the given last-added dates.
  HeartbeatsBundle(int64_t capacity, std::map<TimePeriod, os::Date> lastAddedHeartbeatDates);

  void addHeartbeat(const Heartbeat& heartbeat);
  // Removes the newest heartbeat dated `date` (searching back to the first
  // empty slot); the last-added dates are kept.
  std::optional<Heartbeat> takeHeartbeat(os::Date date);
  // Stored heartbeats grouped by agent, agents in ascending order.
  HeartbeatsPayload makePayload() const;

  int64_t capacity() const { return capacity_; }
  const std::map<TimePeriod, os::Date>& lastAddedHeartbeatDates() const { return lastAddedHeartbeatDates_; }
  const RingBuffer& buffer() const { return buffer_; }

  os::Value jsonValue() const;
  // Fails (NSCocoaErrorDomain 3840) on a missing key, a wrong type, a time
  // period other than 1, or a capacity outside 0..kHeartbeatsMaximumStoredCapacity.
  static os::Result<HeartbeatsBundle> fromJSONValue(const os::Value& value);

  friend bool operator==(const HeartbeatsBundle&, const HeartbeatsBundle&) = default;

  // For tests of damaged bundles.
  static HeartbeatsBundle TEST_make(int64_t capacity, std::map<TimePeriod, os::Date> lastAdded, RingBuffer buffer);

 private:
  int64_t capacity_;
  std::map<TimePeriod, os::Date> lastAddedHeartbeatDates_;
  RingBuffer buffer_;
};

// The start of the UTC day holding `date`.
os::Date utcDayStart(os::Date date);
// "yyyy-MM-dd" in UTC.
std::string formatHeartbeatDate(os::Date date);

// The inverse of HeartbeatsPayload::headerValue: base64url with padding
// restored, gzip inflated, JSON parsed. Fails on malformed text.
os::Result<os::Value> decodeHeaderValue(const std::string& headerValue);

}  // namespace heartbeats
