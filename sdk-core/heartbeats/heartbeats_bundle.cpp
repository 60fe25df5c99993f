#include "sdk-core/heartbeats/heartbeats_bundle.h"

#include <algorithm>
#include <cmath>
#include <ctime>

#include "os/foundation/encoding.h"
#include "os/foundation/format.h"
#include "os/foundation/json.h"
#include "platform/utilities/gzip.h"

namespace heartbeats {

namespace {
os::Error corrupt(const std::string& detail) {
  return os::Error(os::kCocoaErrorDomain, os::kPropertyListReadCorruptError,
                   os::Dictionary{{os::kLocalizedDescriptionKey, "The data couldn’t be read because it isn’t in the "
                                                                 "correct format."},
                                  {os::kDebugDescriptionErrorKey, detail}});
}

os::Value dateJSON(os::Date date) { return os::Value(date.timeIntervalSinceReferenceDate()); }

os::Result<os::Date> dateFromJSON(const os::Value& value, const char* what) {
  if (!value.isNumber() || value.isBool()) return os::fail(corrupt(std::string("expected a date for ") + what));
  const double seconds = value.doubleValue();
  if (!std::isfinite(seconds)) return os::fail(corrupt(std::string("date out of range for ") + what));
  return os::Date::fromTimeIntervalSinceReferenceDate(seconds);
}

os::Result<int64_t> integerFromJSON(const os::Value& value, const char* what) {
  const os::Number* n = value.number();
  if (!n || n->isBool() || n->isFloatingPoint()) return os::fail(corrupt(std::string("expected an integer for ") + what));
  if (n->isUnsigned() && n->uint64Value() > uint64_t(INT64_MAX)) return os::fail(corrupt(std::string(what) + " too large"));
  return n->int64Value();
}

os::Result<TimePeriod> timePeriodFromJSON(const os::Value& value) {
  auto raw = integerFromJSON(value, "time period");
  if (!raw) return os::fail(raw.error());
  if (*raw != static_cast<int>(TimePeriod::daily)) return os::fail(corrupt("unknown time period"));
  return TimePeriod::daily;
}

const os::Value* member(const os::Value& object, const char* key) {
  return object.isDictionary() ? object.find(key) : nullptr;
}

os::Result<Heartbeat> heartbeatFromJSON(const os::Value& value) {
  const os::Value* agent = member(value, "agent");
  const os::Value* date = member(value, "date");
  const os::Value* version = member(value, "version");
  const os::Value* periods = member(value, "timePeriods");
  if (!agent || !agent->isString() || !date || !version || !periods || !periods->isArray()) {
    return os::fail(corrupt("malformed heartbeat"));
  }
  Heartbeat heartbeat;
  heartbeat.agent = *agent->string();
  auto d = dateFromJSON(*date, "heartbeat");
  if (!d) return os::fail(d.error());
  heartbeat.date = *d;
  auto v = integerFromJSON(*version, "version");
  if (!v) return os::fail(v.error());
  heartbeat.version = static_cast<int>(*v);
  for (const auto& p : *periods->array()) {
    auto period = timePeriodFromJSON(p);
    if (!period) return os::fail(period.error());
    heartbeat.timePeriods.push_back(*period);
  }
  return heartbeat;
}

os::Value heartbeatJSON(const Heartbeat& heartbeat) {
  os::Array periods;
  for (auto p : heartbeat.timePeriods) periods.emplace_back(static_cast<int>(p));
  os::Dictionary object;
  object["agent"] = heartbeat.agent;
  object["date"] = dateJSON(heartbeat.date);
  object["version"] = heartbeat.version;
  object["timePeriods"] = std::move(periods);
  return object;
}
}  // namespace

// ---- RingBuffer ----

std::string OutOfBoundsPush::description() const {
  return "Out-of-bounds push at index " + std::to_string(pushIndex) + " to ring buffer with" + "end index of " +
         std::to_string(endIndex) + ".";
}

std::expected<std::optional<Heartbeat>, OutOfBoundsPush> RingBuffer::push(Heartbeat element) {
  if (circularQueue_.empty()) return std::nullopt;
  const auto length = static_cast<int64_t>(circularQueue_.size());
  if (tailIndex_ < 0 || tailIndex_ >= length) return std::unexpected(OutOfBoundsPush{tailIndex_, length});
  auto replaced = std::move(circularQueue_[tailIndex_]);
  circularQueue_[tailIndex_] = std::move(element);
  tailIndex_ = tailIndex_ + 1 == length ? 0 : tailIndex_ + 1;
  return replaced;
}

std::optional<Heartbeat> RingBuffer::pop() {
  if (circularQueue_.empty()) return std::nullopt;
  const auto length = static_cast<int64_t>(circularQueue_.size());
  // A damaged tail (outside the ring) is brought back into it rather than
  // indexing out of bounds.
  tailIndex_ = (tailIndex_ <= 0 || tailIndex_ > length) ? length - 1 : tailIndex_ - 1;
  auto element = std::move(circularQueue_[tailIndex_]);
  circularQueue_[tailIndex_].reset();
  return element;
}

std::vector<Heartbeat> RingBuffer::elements() const {
  std::vector<Heartbeat> out;
  for (const auto& slot : circularQueue_) {
    if (slot) out.push_back(*slot);
  }
  return out;
}

// ---- HeartbeatsPayload ----

const HeartbeatsPayload& HeartbeatsPayload::emptyPayload() {
  static const auto& empty = *new HeartbeatsPayload();  // never destroyed: flushed on any thread
  return empty;
}

os::Value HeartbeatsPayload::jsonValue() const {
  os::Array entries;
  for (const auto& entry : userAgentPayloads) {
    os::Array dates;
    for (auto date : entry.dates) dates.push_back(os::Value(formatHeartbeatDate(date)));
    entries.push_back(os::Value{{"agent", entry.agent}, {"dates", os::Value(std::move(dates))}});
  }
  return os::Value{{"heartbeats", os::Value(std::move(entries))}, {"version", version}};
}

std::string HeartbeatsPayload::headerValue() const {
  auto json = os::JSONSerialization::dataWithJSONObject(jsonValue());
  if (!json) {
    if (this != &emptyPayload()) return emptyPayload().headerValue();
    json = os::Data();
  }
  auto compressed = DAZGzip::daz_dataByGzippingData(*json);
  const os::Data& bytes = (compressed && *compressed) ? **compressed : *json;
  std::string text = os::base64EncodedString(bytes);
  std::replace(text.begin(), text.end(), '/', '_');
  std::replace(text.begin(), text.end(), '+', '-');
  std::erase(text, '=');
  return text;
}

os::Result<os::Value> decodeHeaderValue(const std::string& headerValue) {
  std::string text = headerValue;
  std::replace(text.begin(), text.end(), '_', '/');
  std::replace(text.begin(), text.end(), '-', '+');
  while (text.size() % 4 != 0) text += '=';
  auto bytes = os::base64DecodedData(text);
  if (!bytes) return os::fail(corrupt("header value is not base64url"));
  auto inflated = DAZGzip::daz_dataByInflatingGzippedData(*bytes);
  const os::Data& json = (inflated && *inflated) ? **inflated : *bytes;
  return os::JSONSerialization::JSONObjectWithData(json);
}

// ---- HeartbeatsBundle ----

HeartbeatsBundle::HeartbeatsBundle(int64_t capacity)
    : capacity_(capacity), buffer_(static_cast<size_t>(std::max<int64_t>(capacity, 0))) {
  for (auto period : kAllTimePeriods) lastAddedHeartbeatDates_[period] = os::Date::distantPast();
}

HeartbeatsBundle::HeartbeatsBundle(int64_t capacity, std::map<TimePeriod, os::Date> lastAddedHeartbeatDates)
    : capacity_(capacity),
      lastAddedHeartbeatDates_(std::move(lastAddedHeartbeatDates)),
      buffer_(static_cast<size_t>(std::max<int64_t>(capacity, 0))) {}

HeartbeatsBundle HeartbeatsBundle::TEST_make(int64_t capacity, std::map<TimePeriod, os::Date> lastAdded,
                                             RingBuffer buffer) {
  HeartbeatsBundle bundle(0, std::move(lastAdded));
  bundle.capacity_ = capacity;
  bundle.buffer_ = std::move(buffer);
  return bundle;
}

void HeartbeatsBundle::addHeartbeat(const Heartbeat& heartbeat) {
  if (capacity_ < 1) return;
  auto pushed = buffer_.push(heartbeat);
  if (pushed) {
    if (const auto& replaced = *pushed) {
      for (auto& [period, date] : lastAddedHeartbeatDates_) {
        if (date == replaced->date) date = os::Date::distantPast();
      }
    }
    for (auto period : heartbeat.timePeriods) lastAddedHeartbeatDates_[period] = heartbeat.date;
    return;
  }
  // A damaged tail: start again, and say so in the agent of the next header.
  *this = HeartbeatsBundle(capacity_);
  std::string description = pushed.error().description();
  std::replace(description.begin(), description.end(), ' ', '-');
  Heartbeat diagnostic{heartbeat.agent + " error/" + description, heartbeat.date, 0, heartbeat.timePeriods};
  if (buffer_.push(diagnostic)) {
    for (auto period : diagnostic.timePeriods) lastAddedHeartbeatDates_[period] = diagnostic.date;
  }
}

std::optional<Heartbeat> HeartbeatsBundle::takeHeartbeat(os::Date date) {
  std::vector<Heartbeat> kept;
  std::optional<Heartbeat> match;
  // Ends: every pop empties a slot, so a pop eventually finds an empty one.
  for (;;) {
    auto popped = buffer_.pop();
    if (!popped) break;
    if (popped->date == date) {
      match = std::move(popped);
      break;
    }
    kept.push_back(std::move(*popped));
  }
  for (auto it = kept.rbegin(); it != kept.rend(); ++it) (void)buffer_.push(std::move(*it));
  return match;
}

HeartbeatsPayload HeartbeatsBundle::makePayload() const {
  std::map<std::string, std::vector<os::Date>> byAgent;  // ascending byte order
  for (const auto& heartbeat : buffer_.elements()) byAgent[heartbeat.agent].push_back(heartbeat.date);
  HeartbeatsPayload payload;
  for (auto& [agent, dates] : byAgent) payload.userAgentPayloads.push_back({agent, std::move(dates)});
  return payload;
}

os::Value HeartbeatsBundle::jsonValue() const {
  os::Array lastAdded;
  for (const auto& [period, date] : lastAddedHeartbeatDates_) {
    lastAdded.emplace_back(static_cast<int>(period));
    lastAdded.emplace_back(date.timeIntervalSinceReferenceDate());
  }
  os::Array queue;
  for (const auto& slot : buffer_.circularQueue()) {
    if (slot) {
      queue.push_back(heartbeatJSON(*slot));
    } else {
      queue.emplace_back();
    }
  }
  os::Dictionary buffer;
  buffer["circularQueue"] = os::Value(std::move(queue));
  buffer["tailIndex"] = os::Value(os::Number::int64(buffer_.tailIndex()));
  os::Dictionary bundle;
  bundle["capacity"] = os::Value(os::Number::int64(capacity_));
  bundle["lastAddedHeartbeatDates"] = os::Value(std::move(lastAdded));
  bundle["buffer"] = os::Value(std::move(buffer));
  return os::Value(std::move(bundle));
}

os::Result<HeartbeatsBundle> HeartbeatsBundle::fromJSONValue(const os::Value& value) {
  const os::Value* capacity = member(value, "capacity");
  const os::Value* lastAdded = member(value, "lastAddedHeartbeatDates");
  const os::Value* buffer = member(value, "buffer");
  if (!capacity || !lastAdded || !lastAdded->isArray() || !buffer) return os::fail(corrupt("malformed bundle"));
  auto cap = integerFromJSON(*capacity, "capacity");
  if (!cap) return os::fail(cap.error());
  if (*cap < 0 || *cap > kHeartbeatsMaximumStoredCapacity) return os::fail(corrupt("capacity out of range"));

  const os::Array& pairs = *lastAdded->array();
  if (pairs.size() % 2 != 0) return os::fail(corrupt("odd number of last-added entries"));
  std::map<TimePeriod, os::Date> dates;
  for (size_t i = 0; i < pairs.size(); i += 2) {
    auto period = timePeriodFromJSON(pairs[i]);
    if (!period) return os::fail(period.error());
    auto date = dateFromJSON(pairs[i + 1], "last-added date");
    if (!date) return os::fail(date.error());
    dates[*period] = *date;
  }

  const os::Value* queue = member(*buffer, "circularQueue");
  const os::Value* tail = member(*buffer, "tailIndex");
  if (!queue || !queue->isArray() || !tail) return os::fail(corrupt("malformed ring buffer"));
  if (queue->array()->size() > size_t(kHeartbeatsMaximumStoredCapacity)) {
    return os::fail(corrupt("ring buffer too large"));
  }
  std::vector<std::optional<Heartbeat>> slots;
  for (const auto& slot : *queue->array()) {
    if (slot.isNull()) {
      slots.emplace_back();
      continue;
    }
    auto heartbeat = heartbeatFromJSON(slot);
    if (!heartbeat) return os::fail(heartbeat.error());
    slots.emplace_back(std::move(*heartbeat));
  }
  auto tailIndex = integerFromJSON(*tail, "tailIndex");
  if (!tailIndex) return os::fail(tailIndex.error());
  return TEST_make(*cap, std::move(dates), RingBuffer(std::move(slots), *tailIndex));
}

// ---- Dates ----

os::Date utcDayStart(os::Date date) {
  const double t = date.timeIntervalSince1970();
  return os::Date::fromTimeIntervalSince1970(std::floor(t / kTimePeriodDailySeconds) * kTimePeriodDailySeconds);
}

std::string formatHeartbeatDate(os::Date date) {
  const auto seconds = static_cast<time_t>(std::floor(date.timeIntervalSince1970()));
  struct tm tm {};
  if (!gmtime_r(&seconds, &tm)) return {};
  return os::format("%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
}

}  // namespace heartbeats
