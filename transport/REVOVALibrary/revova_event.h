// The value types every part of the event transport passes around: the event
// a client fills and sends, the protocol through which it supplies the
// payload, the time snapshot stamped on every event, the optional product
// tag, and the two integer vocabularies that route and prioritise events
// (target numbers and QoS tiers).
//
// Events are archived one per file with secure keyed coding; the coding keys
// below are a stored format. Decoding does not validate: a decoded event keeps
// whatever mapping ID and target were stored and has no data object.
//
// Threads: an event is not thread-safe. A client fills it on one thread and
// hands it over; the transport sends a copy, which is then touched by one
// queue at a time (transformers, then the storage).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>

#include "os/foundation/data.h"
#include "os/foundation/date.h"
#include "os/foundation/keyed_archiver.h"
#include "os/foundation/value.h"

class REVOVAMetrics;

// Target numbers.
inline constexpr int64_t kREVOVATargetTest = 999;  // stored, never uploaded
inline constexpr int64_t kREVOVATargetREVADA = 1000;
inline constexpr int64_t kREVOVATargetFLL = 1001;  // session tracking
inline constexpr int64_t kREVOVATargetCSH = 1002;  // crash reporting
inline constexpr int64_t kREVOVATargetINT = 1003;

// QoS tiers (0 to 5) that the core gives a meaning to; the uploader decides
// which tiers each network condition selects.
inline constexpr int64_t kREVOVAEventQoSTierTelemetry = 1;
inline constexpr int64_t kREVOVAEventQoSTierDefault = 3;
inline constexpr int64_t kREVOVAEventQoSTierFast = 4;  // forces an upload of its target once stored

// An event expires this long after its creation.
inline constexpr double kREVOVAEventDefaultLifetimeSeconds = 604'800;  // 7 days

// Coding keys of REVOVAEvent.
inline constexpr const char* kREVOVAEventEventIDKey = "REVOVAEventEventIDKey";
inline constexpr const char* kREVOVAEventMappingIDKey = "REVOVAEventMappingIDKey";
inline constexpr const char* kREVOVAEventProductDataKey = "REVOVAEventProductDataKey";
inline constexpr const char* kREVOVAEventTargetKey = "REVOVAEventTargetKey";
inline constexpr const char* kREVOVAEventQoSTierKey = "REVOVAEventQoSTierKey";
inline constexpr const char* kREVOVAEventClockSnapshotKey = "REVOVAEventClockSnapshotKey";
inline constexpr const char* kREVOVAEventCustomDataKey = "REVOVAEventCustomDataKey";
inline constexpr const char* kREVOVAEventExpirationDateKey = "REVOVAEventExpirationDateKey";
inline constexpr const char* kREVOVAEventSerializedDataObjectBytesKey = "REVOVAEventSerializedDataObjectBytesKey";

// Keys of the upload attributes in an event's custom bytes.
inline constexpr const char* kREVOVAEventNeedsNetworkConnectionInfoKey = "needs_network_connection_info";
inline constexpr const char* kREVOVAEventNetworkConnectionInfoKey = "network_connection_info";
inline constexpr const char* kREVOVAEventCodeInfoKey = "event_code_info";
// The mapping ID of the transport's own metrics event.
inline constexpr const char* kREVOVAMetricsEventMappingID = "1710";

// Coding keys of REVOVAClock and REVOVAProductData.
inline constexpr const char* kREVOVAClockTimeMillisKey = "REVOVAClockTimeMillis";
inline constexpr const char* kREVOVAClockTimezoneOffsetSecondsKey = "REVOVAClockTimezoneOffsetSeconds";
inline constexpr const char* kREVOVAClockKernelBootTimeKey = "REVOVAClockKernelBootTime";
inline constexpr const char* kREVOVAClockUptimeKey = "REVOVAClockUptime";
inline constexpr const char* kREVOVAProductDataProductIDKey = "REVOVAProductDataProductIDKey";

// What a client's payload implements.
class REVOVAEventDataObject {
 public:
  virtual ~REVOVAEventDataObject() = default;
  // The bytes to upload for the event; nullopt for none.
  virtual std::optional<os::Data> transportBytes() const = 0;
};

// A time snapshot. Value semantics through const sharing: never changed after
// it is made.
class REVOVAClock : public os::SecureCoding {
 public:
  REVOVAClock(int64_t timeMillis, int64_t timezoneOffsetSeconds, int64_t kernelBootTimeNanoseconds,
              int64_t uptimeNanoseconds);

  // Now: the kernel boot time, the uptime since it, the wall time and the
  // system time zone's offset.
  static std::shared_ptr<REVOVAClock> snapshot();
  // Now, with timeMillis moved forward by `millisInTheFuture`.
  static std::shared_ptr<REVOVAClock> clockSnapshotInTheFuture(uint64_t millisInTheFuture);

  int64_t timeMillis() const { return timeMillis_; }
  int64_t timezoneOffsetSeconds() const { return timezoneOffsetSeconds_; }
  int64_t kernelBootTimeNanoseconds() const { return kernelBootTimeNanoseconds_; }
  int64_t uptimeNanoseconds() const { return uptimeNanoseconds_; }
  int64_t kernelBootTime() const { return kernelBootTimeNanoseconds_; }
  int64_t uptime() const { return uptimeNanoseconds_; }
  int64_t uptimeMilliseconds() const { return uptimeNanoseconds_ / 1'000'000; }

  // A later boot counts as later whatever the wall clock says; within one
  // boot, timeMillis plus timezoneOffsetSeconds decides (the offset added in
  // seconds to the milliseconds, unscaled, as stored snapshots have always
  // been compared).
  bool isAfter(const REVOVAClock& other) const;

  // Exclusive-or of the four fields' hashes.
  size_t hash() const;
  // Equal when all four fields are.
  bool isEqual(const REVOVAClock& other) const;
  friend bool operator==(const REVOVAClock& a, const REVOVAClock& b) { return a.isEqual(b); }

  void encodeWithCoder(os::KeyedArchiver& coder) const override;
  static std::shared_ptr<REVOVAClock> initWithCoder(os::KeyedUnarchiver& coder);

 private:
  int64_t timeMillis_;
  int64_t timezoneOffsetSeconds_;
  int64_t kernelBootTimeNanoseconds_;
  int64_t uptimeNanoseconds_;
};

// An optional product tag of an event. Immutable.
class REVOVAProductData : public os::SecureCoding {
 public:
  explicit REVOVAProductData(int32_t productID) : productID_(productID) {}
  static std::shared_ptr<REVOVAProductData> initWithProductID(int32_t productID) {
    return std::make_shared<REVOVAProductData>(productID);
  }

  int32_t productID() const { return productID_; }
  size_t hash() const { return static_cast<size_t>(static_cast<int64_t>(productID_)); }
  bool isEqual(const REVOVAProductData& other) const { return productID_ == other.productID_; }
  std::shared_ptr<REVOVAProductData> copy() const { return initWithProductID(productID_); }

  void encodeWithCoder(os::KeyedArchiver& coder) const override;
  static std::shared_ptr<REVOVAProductData> initWithCoder(os::KeyedUnarchiver& coder);

 private:
  int32_t productID_;
};

class REVOVAEvent : public os::SecureCoding {
 public:
  // A new event: a fresh event ID, QoS tier 3, expiring 7 days from now. An
  // empty mapping ID or a target below 1 is an assertion and gives null.
  static std::shared_ptr<REVOVAEvent> initWithMappingID(const std::string& mappingID,
                                                        std::shared_ptr<const REVOVAProductData> productData,
                                                        int64_t target);
  static std::shared_ptr<REVOVAEvent> initWithMappingID(const std::string& mappingID, int64_t target) {
    return initWithMappingID(mappingID, nullptr, target);
  }

  // A new random UUID in upper case with every "-" removed: 32 hex digits.
  static std::string nextEventID();

  // A new event with the same mapping ID, product data and target, then the
  // same event ID and data object (whose bytes are read again), QoS tier,
  // clock snapshot and custom bytes. Its expiration is its own default: now
  // plus 7 days.
  std::shared_ptr<REVOVAEvent> copy() const;

  const std::string& eventID() const { return eventID_; }
  void setEventID(std::string eventID) { eventID_ = std::move(eventID); }
  const std::string& mappingID() const { return mappingID_; }
  int64_t target() const { return target_; }

  const std::shared_ptr<REVOVAEventDataObject>& dataObject() const { return dataObject_; }
  // Keeps the object and takes its transportBytes now: later changes to the
  // object do not reach the event.
  void setDataObject(std::shared_ptr<REVOVAEventDataObject> dataObject);
  // The payload captured from the data object; nullopt when it gave none.
  const std::optional<os::Data>& serializedDataObjectBytes() const { return serializedDataObjectBytes_; }

  int64_t qosTier() const { return qosTier_; }
  void setQosTier(int64_t qosTier) { qosTier_ = qosTier; }
  const std::shared_ptr<const REVOVAClock>& clockSnapshot() const { return clockSnapshot_; }
  void setClockSnapshot(std::shared_ptr<const REVOVAClock> clock) { clockSnapshot_ = std::move(clock); }
  os::Date expirationDate() const { return expirationDate_; }
  void setExpirationDate(os::Date date) { expirationDate_ = date; }
  const std::optional<os::Data>& customBytes() const { return customBytes_; }
  void setCustomBytes(std::optional<os::Data> bytes) { customBytes_ = std::move(bytes); }
  const std::shared_ptr<const REVOVAProductData>& productData() const { return productData_; }

  // ---- Upload attributes (defined with the uploader) ----
  // Kept in customBytes as the UTF-8 JSON text of one object:
  //   "needs_network_connection_info"  true
  //   "network_connection_info"        standard base64 of the 16-byte image of
  //                                    the upload's network record
  //   "event_code_info"                the event code in decimal
  // A getter gives false or nothing when there are no custom bytes, when they
  // are not a JSON object, or when its key is absent or of another type. A
  // setter rewrites the whole object and keeps the keys it does not touch;
  // custom bytes that are not a JSON object are left as they are.
  bool needsNetworkConnectionInfoPopulated() const;
  // False keeps only "event_code_info" (no custom bytes when there is none).
  void setNeedsNetworkConnectionInfoPopulated(bool needsNetworkConnectionInfoPopulated);
  std::optional<os::Data> networkConnectionInfoData() const;
  // Nothing happens for no bytes.
  void setNetworkConnectionInfoData(const std::optional<os::Data>& networkConnectionInfoData);
  // "event_code_info" read by a decimal-style number formatter.
  std::optional<os::Number> eventCode() const;
  // Nothing removes the key.
  void setEventCode(const std::optional<os::Number>& eventCode);

  // A new event of mapping ID "1710" for the target whose payload is the
  // metrics' encoding; the defaults of a new event, no clock snapshot.
  static std::shared_ptr<REVOVAEvent> eventWithMetrics(const REVOVAMetrics& metrics, int64_t target);

  // Exclusive-or of the hashes of the event ID, mapping ID, product data,
  // clock snapshot and payload bytes with the target and QoS tier.
  size_t hash() const;
  // Equal when the event ID and every hashed field are equal. Events travel
  // in sets (a batch): equal hashes alone must never merge two events.
  bool isEqual(const REVOVAEvent& other) const;

  // "<REVOVAEvent 0x...> ID:<event ID> mappingID:<mapping ID> target:<target>"
  std::string description() const;

  void encodeWithCoder(os::KeyedArchiver& coder) const override;
  // Null (and a coder error) without the payload bytes; a fresh event ID when
  // none was stored.
  static std::shared_ptr<REVOVAEvent> initWithCoder(os::KeyedUnarchiver& coder);

  // Use initWithMappingID or decoding.
  REVOVAEvent() = default;

 private:
  std::string eventID_;
  std::string mappingID_;
  int64_t target_ = 0;
  std::shared_ptr<REVOVAEventDataObject> dataObject_;
  std::optional<os::Data> serializedDataObjectBytes_;
  int64_t qosTier_ = 0;
  std::shared_ptr<const REVOVAClock> clockSnapshot_;
  os::Date expirationDate_;
  std::optional<os::Data> customBytes_;
  std::shared_ptr<const REVOVAProductData> productData_;
};

using REVOVAEventPtr = std::shared_ptr<REVOVAEvent>;

// A set of events by the events' hash and equality.
struct REVOVAEventPtrHash {
  size_t operator()(const REVOVAEventPtr& event) const { return event ? event->hash() : 0; }
};
struct REVOVAEventPtrEqual {
  bool operator()(const REVOVAEventPtr& a, const REVOVAEventPtr& b) const {
    return a == b || (a && b && a->isEqual(*b));
  }
};
using REVOVAEventSet = std::unordered_set<REVOVAEventPtr, REVOVAEventPtrHash, REVOVAEventPtrEqual>;
