// APMEvent: one logged event as the measurement engine and the store pass it
// around: origin, name, time, the time of its previous occurrence, and its
// parameters as APMValues; with its stored message form (APMPBEvent).
//
// The record lives here, below the store, because the store builds, reads
// and writes events (raw events, conditional user properties, main events of
// audience evaluation) and must not depend on the engine above it. The
// engine completes it here: the validation of origin and name and the
// cleaning of parameters at creation, the flag parameters and the copies.
// Until then creation stores what it is given, adding "_o" = the origin.
//
// Not changed after creation; safe to share between threads.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "measurement/messages/message_classes.h"
#include "measurement/store/value.h"

// Parameter name -> value.
using APMEventParameters = std::map<std::string, APMValue, std::less<>>;

// The parameter that carries the event's origin.
inline constexpr const char* kAPMEventOriginParameter = "_o";
// A previous time at or below this many seconds is not written to the
// message form.
inline constexpr double kAPMEventPreviousTimestampEpsilon = 2.220446049250313e-16;

// Monitor codes (level 2 unless noted).
inline constexpr int64_t kAPMEventCodeParameterNameNil = 15000;
inline constexpr int64_t kAPMEventCodeOriginNotAString = 15001;
inline constexpr int64_t kAPMEventCodeUnknownParameterType = 15002;  // level 5
inline constexpr int64_t kAPMEventCodeInvalidParameterValue = 16005;
inline constexpr int64_t kAPMEventCodeNestedParameters = 16007;

class APMEvent {
 public:
  // Times in seconds since 1970. The public flag selects the validation
  // rules; it is not kept.
  static std::shared_ptr<APMEvent> initWithOrigin(std::string_view origin, bool isPublic, std::string_view name,
                                                  double timestamp, double previousTimestamp,
                                                  APMEventParameters parameters);
  // From the message form: name, both times (milliseconds) and the string,
  // integer and double parameters ("_o" gives the origin; arrays are not
  // restored). Null without a name or an origin, or when "_o" is not a
  // string (15001).
  static std::shared_ptr<APMEvent> initWithEventProto(const APMPBEvent& proto);

  const std::string& origin() const { return origin_; }
  const std::string& name() const { return name_; }
  double timestamp() const { return timestamp_; }
  double previousTimestamp() const { return previousTimestamp_; }
  // Always holds "_o".
  const APMEventParameters& parameters() const { return parameters_; }

  // A new message: name, times in milliseconds (truncated; the previous one
  // only above kAPMEventPreviousTimestampEpsilon), and one EventParam per
  // parameter in name order. An array parameter becomes one unnamed
  // EventParam per item holding the item's parameters; what an item holds
  // besides numbers and strings is left out (16005; an array inside an item,
  // 16007).
  std::shared_ptr<APMPBEvent> protoEvent() const;

 private:
  APMEvent(std::string origin, std::string name, double timestamp, double previousTimestamp,
           APMEventParameters parameters);

  std::string origin_;
  std::string name_;
  double timestamp_;
  double previousTimestamp_;
  APMEventParameters parameters_;
};
