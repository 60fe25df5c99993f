// APMEvent: one logged event as the measurement engine and the store pass it
// around: origin, name, time, the time of its previous occurrence, and its
// parameters as APMValues; with its stored message form (APMPBEvent) and the
// form event-editing programs see (APMPEvent).
//
// Creation validates: the origin (an internal origin, or a forwarded one
// ending in "+dtm") and the name (public or internal rules) must pass
// APMDataTypeValidator, else there is no event; the parameters are cleaned
// (event_parameters.h) and "_o" is set to the origin. The flags travel as
// int64 parameters: "_c" = 1 conversion, "_r" = 1 real-time, "_dbg" = 1
// debug.
//
// The record lives here, below the store, because the store builds, reads
// and writes events (raw events, conditional user properties, main events of
// audience evaluation) and must not depend on the engine above it.
//
// Threads: the getters are safe to share once an event is no longer changed;
// the setters (flags, parameters) are for its one owner at a time.
#pragma once

#include <concepts>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "measurement/messages/message_classes.h"
#include "measurement/store/value.h"

// Parameter name -> value.
using APMEventParameters = std::map<std::string, APMValue, std::less<>>;

class APMPEvent;

// A parameter as callers hand it in: an APMValue, or a plain object (a
// string, number or array is taken; anything else is refused).
using APMParameterObject = std::variant<APMValue, os::Value>;
using APMParameterObjects = std::map<std::string, APMParameterObject, std::less<>>;

// Every value of the dictionary as a plain object.
inline APMParameterObjects objectsOf(const os::Dictionary& dictionary) {
  APMParameterObjects objects;
  for (const auto& [name, value] : dictionary) objects.emplace(name, value);
  return objects;
}

// Field indices of the Event and EventParam messages.
namespace apm_event_fields {
inline constexpr int32_t kEventParams = 0;
inline constexpr int32_t kEventName = 1;
inline constexpr int32_t kEventTimestampMillis = 2;
inline constexpr int32_t kEventPreviousTimestampMillis = 3;
inline constexpr int32_t kParamName = 0;
inline constexpr int32_t kParamStringValue = 1;
inline constexpr int32_t kParamIntValue = 2;
inline constexpr int32_t kParamDoubleValue = 4;
inline constexpr int32_t kParamParamValue = 5;
}  // namespace apm_event_fields

// The parameters that carry the event's origin and flags.
inline constexpr const char* kAPMEventOriginParameter = "_o";
inline constexpr const char* kAPMEventConversionParameter = "_c";
inline constexpr const char* kAPMEventRealtimeParameter = "_r";
inline constexpr const char* kAPMEventDebugParameter = "_dbg";
// Screen parameters: instance ID, class, name.
inline constexpr const char* kAPMScreenInstanceIDParameter = "_si";
inline constexpr const char* kAPMScreenClassParameter = "_sc";
inline constexpr const char* kAPMScreenNameParameter = "_sn";
// A previous time at or below this many seconds is not written to the
// message form.
inline constexpr double kAPMEventPreviousTimestampEpsilon = 2.220446049250313e-16;

// Monitor codes (level 2 unless noted).
inline constexpr int64_t kAPMEventCodeParameterNameNil = 15000;
inline constexpr int64_t kAPMEventCodeOriginNotAString = 15001;
inline constexpr int64_t kAPMEventCodeUnknownParameterType = 15002;  // level 5
inline constexpr int64_t kAPMEventCodePreviousTimestampLater = 16002;  // level 5
inline constexpr int64_t kAPMEventCodeInvalidScreenClass = 16003;      // level 3
inline constexpr int64_t kAPMEventCodeInvalidScreenName = 16004;       // level 3
inline constexpr int64_t kAPMEventCodeInvalidParameterValue = 16005;
inline constexpr int64_t kAPMEventCodeRealtimeNotInt64 = 16006;
inline constexpr int64_t kAPMEventCodeNestedParameters = 16007;

class APMEvent {
 public:
  // Times in seconds since 1970. The public flag selects the validation
  // rules; it is not kept. Null when the origin or the name is refused. A
  // previous time after the time is only logged (16002). A conversion, "ad_
  // impression" or "_ai" whose "value" and "currency" fail the value/currency
  // check loses "_c".
  static std::shared_ptr<APMEvent> initWithOrigin(std::string_view origin, bool isPublic, std::string_view name,
                                                  double timestamp, double previousTimestamp,
                                                  APMEventParameters parameters);
  // The same from plain objects or a mix (os::Dictionary, APMParameterObjects).
  template <class Parameters>
    requires std::same_as<Parameters, os::Dictionary> || std::same_as<Parameters, APMParameterObjects>
  static std::shared_ptr<APMEvent> initWithOrigin(std::string_view origin, bool isPublic, std::string_view name,
                                                  double timestamp, double previousTimestamp,
                                                  const Parameters& parameters) {
    if constexpr (std::same_as<Parameters, os::Dictionary>) {
      return create(origin, isPublic, name, timestamp, previousTimestamp, objectsFromDictionary(parameters));
    } else {
      return create(origin, isPublic, name, timestamp, previousTimestamp, parameters);
    }
  }
  // From the message form: name, both times (milliseconds) and the string,
  // integer and double parameters ("_o" gives the origin; arrays are not
  // restored), created as not public. Null when "_o" is not a string
  // (15001) or creation refuses the event.
  static std::shared_ptr<APMEvent> initWithEventProto(const APMPBEvent& proto);
  // From the edit form: the short name of a long name of APMEventNameMap
  // (else the name itself), the origin "_o" when it is a string (else
  // "app"), the time, previous time 0, the parameters cleaned again; not
  // public.
  static std::shared_ptr<APMEvent> eventFromEditEvent(const APMPEvent& editEvent);

  // Copies through creation (not public): with another previous time, with
  // other parameters, or as they are.
  std::shared_ptr<APMEvent> copyWithPreviousTimestamp(double previousTimestamp) const;
  std::shared_ptr<APMEvent> copyWithParameters(APMEventParameters parameters) const;
  std::shared_ptr<APMEvent> copy() const;

  const std::string& origin() const { return origin_; }
  const std::string& name() const { return name_; }
  double timestamp() const { return timestamp_; }
  double previousTimestamp() const { return previousTimestamp_; }
  // Always holds "_o".
  const APMEventParameters& parameters() const { return parameters_; }

  // "_c", "_r", "_dbg" an int64 1. A "_r" of another type logs 16006 and
  // reads false.
  bool isConversion() const;
  bool isRealtime() const;
  bool isDebug() const;
  // true: only when "value" and "currency" pass the value/currency check
  // (which may remove "value" and record "_err" 18 or 19), sets "_c" = 1 and
  // drops an "_err" of 10. false: removes a "_c", recording "_err" 10 unless
  // an "_err" is present.
  void setConversion(bool conversion);
  // true sets the flag parameter to int64 1; false removes it.
  void setRealtime(bool realtime);
  void setDebug(bool debug);
  // A conversion, or the names "ad_impression" and "_ai".
  bool shouldValidateParams() const;
  // Cleans the parameters by the public rules without an event name and
  // puts what remains under the event's own: the event's values win.
  void applyParameters(const APMParameterObjects& parameters);
  // Adds "_si" (an int64 value or an integer number) with a valid "_sc" and
  // "_sn" when present (strings: 16003, 16004 for invalid ones). Nothing,
  // and false, for an empty dictionary, an event that already has any of
  // them, or any of them refused.
  bool addScreenParameters(const APMParameterObjects& screenParameters);

  // The edit form: the long name of a short one (APMEventShortToLongNameMap,
  // else the name), the time, and the parameters as plain values (doubles,
  // 64-bit integers, strings; an array as its item dictionaries without
  // arrays inside them).
  APMPEvent editEvent() const;

  // A new message: name, times in milliseconds (truncated; the previous one
  // only above kAPMEventPreviousTimestampEpsilon), and one EventParam per
  // parameter in name order. An array parameter becomes one unnamed
  // EventParam per item holding the item's parameters; what an item holds
  // besides numbers and strings is left out (16005; an array inside an item,
  // 16007).
  std::shared_ptr<APMPBEvent> protoEvent() const;

 private:
  static std::shared_ptr<APMEvent> create(std::string_view origin, bool isPublic, std::string_view name,
                                          double timestamp, double previousTimestamp,
                                          const APMParameterObjects& parameters);
  static APMParameterObjects objectsFromDictionary(const os::Dictionary& parameters);
  bool hasInt64One(const char* name) const;

  APMEvent(std::string origin, std::string name, double timestamp, double previousTimestamp,
           APMEventParameters parameters);

  std::string origin_;
  std::string name_;
  double timestamp_;
  double previousTimestamp_;
  APMEventParameters parameters_;
};
