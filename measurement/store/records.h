// Small records the measurement database and the engine pass around:
//   APMUserAttribute            a user property with its origin and set time,
//                               convertible to the UserAttribute message;
//   APMRawEventData             an event read back from the database, with its
//                               row and the fingerprint of its metadata;
//   APMStoredAudienceFilter     what every stored audience filter shares;
//   APMPropertyFilter           one stored audience property filter;
//   APMSequenceTimestampsCache  per-audience timestamps of sequence-filter
//                               steps, convertible to result messages;
// and the table of user-property short names.
//
// A refused record is never half-built: its factory returns null. All but the
// sequence cache are immutable and safe to share between threads; a sequence
// cache is filled and read by one audience evaluation at a time.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/messages/message_classes.h"
#include "measurement/store/engine_services/event_names.h"
#include "measurement/store/value.h"
#include "os/foundation/data.h"

class APMEvent;

// Monitor codes.
inline constexpr int64_t kAPMRawEventDataCodeInvalidEvent = 28000;      // level 4
inline constexpr int64_t kAPMRawEventDataCodeInvalidRowID = 28001;      // level 4, the row ID
inline constexpr int64_t kAPMSequenceCodeEventTimestampOutOfOrder = 42000;     // level 5
inline constexpr int64_t kAPMSequenceCodePropertyTimestampOutOfOrder = 42001;  // level 5

// Ten entries, full name -> short name: "user_id" -> "_id",
// "first_open_time" -> "_fot", "session_user_engagement" -> "_se", ...
const APMNameMap& APMUserPropertyShortNames();

class APMUserAttribute {
 public:
  // Null unless the name passes the internal user-property name check and
  // the value the internal value check for that name (APMDataTypeValidator).
  static std::shared_ptr<APMUserAttribute> initWithOrigin(std::string_view origin, std::string_view name,
                                                          const APMValue& value, double lastSetTimestamp);

  const std::string& origin() const { return origin_; }
  const std::string& name() const { return name_; }
  const APMValue& value() const { return value_; }
  // Seconds since 1970.
  double lastSetTimestamp() const { return lastSetTimestamp_; }
  // A non-empty name that does not begin with "_".
  bool isPublic() const;
  // A new message: the name, the value as a double, an int64 or a string (an
  // array sets none), and the set time in milliseconds (truncated).
  std::shared_ptr<APMPBUserAttribute> protoUserAttribute() const;

 private:
  APMUserAttribute(std::string origin, std::string name, APMValue value, double lastSetTimestamp)
      : origin_(std::move(origin)), name_(std::move(name)), value_(std::move(value)), lastSetTimestamp_(lastSetTimestamp) {}

  std::string origin_;
  std::string name_;
  APMValue value_;
  double lastSetTimestamp_;
};

class APMRawEventData {
 public:
  // Null for a null event (28000) or a negative row ID (28001); row 0 is
  // accepted.
  static std::shared_ptr<APMRawEventData> initWithRawEvent(std::shared_ptr<APMEvent> rawEvent, int64_t rowID,
                                                           int64_t metadataFingerprint);

  const std::shared_ptr<APMEvent>& rawEvent() const { return rawEvent_; }
  int64_t rowID() const { return rowID_; }
  int64_t metadataFingerprint() const { return metadataFingerprint_; }

 private:
  APMRawEventData(std::shared_ptr<APMEvent> rawEvent, int64_t rowID, int64_t metadataFingerprint)
      : rawEvent_(std::move(rawEvent)), rowID_(rowID), metadataFingerprint_(metadataFingerprint) {}

  std::shared_ptr<APMEvent> rawEvent_;
  int64_t rowID_;
  int64_t metadataFingerprint_;
};

// What audience evaluation asks of a stored filter.
class APMAudienceFilter {
 public:
  virtual ~APMAudienceFilter() = default;
  virtual int32_t audienceID() const = 0;
  virtual int32_t filterID() const = 0;
  virtual bool isSessionScoped() const = 0;
  virtual bool isDynamic() const = 0;
  virtual bool isSequence() const = 0;
};

// The fields and accessors that every stored audience filter shares; the
// kinds add the name they match and the encoded filter.
class APMStoredAudienceFilter : public APMAudienceFilter {
 public:
  int32_t audienceID() const override { return audienceID_; }
  int32_t filterID() const override { return filterID_; }
  bool isSessionScoped() const override { return sessionScoped_; }
  bool isDynamic() const override { return dynamic_; }
  bool isSequence() const override { return sequence_; }

 protected:
  APMStoredAudienceFilter(int32_t audienceID, int32_t filterID, bool sessionScoped, bool dynamic, bool sequence)
      : sessionScoped_(sessionScoped),
        dynamic_(dynamic),
        sequence_(sequence),
        audienceID_(audienceID),
        filterID_(filterID) {}

 private:
  bool sessionScoped_;
  bool dynamic_;
  bool sequence_;
  int32_t audienceID_;
  int32_t filterID_;
};

class APMPropertyFilter final : public APMStoredAudienceFilter {
 public:
  // No checks.
  APMPropertyFilter(int32_t audienceID, int32_t filterID, std::string propertyName, os::Data data, bool sessionScoped,
                    bool dynamic, bool sequence)
      : APMStoredAudienceFilter(audienceID, filterID, sessionScoped, dynamic, sequence),
        propertyName_(std::move(propertyName)),
        data_(std::move(data)) {}

  const std::string& propertyName() const { return propertyName_; }
  // The filter as stored.
  const os::Data& data() const { return data_; }

 private:
  std::string propertyName_;
  os::Data data_;
};

class APMSequenceTimestampsCache {
 public:
  // Null without an audience ID.
  static std::shared_ptr<APMSequenceTimestampsCache> initWithAudienceID(std::optional<int32_t> audienceID);

  int32_t audienceID() const { return audienceID_; }
  // A copy of the filter's timestamps; nullopt for none (or no filter ID).
  std::optional<std::vector<double>> sequenceTimestampsForFilterID(std::optional<int32_t> filterID) const;
  // Appends the time of an event step, unless the last one has the same
  // whole seconds. An earlier time than the last is logged (42000) and kept.
  void addEventFilterTimestamp(double timestamp, std::optional<int32_t> filterID);
  // A user-property step keeps only its latest time; an earlier time than
  // the last is logged (42001) and kept.
  void setUserPropertyTimestamp(double timestamp, std::optional<int32_t> filterID);
  // One SequenceFilterResultTimestamp per filter, by ascending filter ID: the
  // ID and the timestamps sorted ascending (as whole seconds).
  std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>> sequenceFilterResultTimestamps() const;

 private:
  explicit APMSequenceTimestampsCache(int32_t audienceID) : audienceID_(audienceID) {}

  std::map<int32_t, std::vector<double>> allSequenceTimestampsByFilterID_;
  int32_t audienceID_;
};
