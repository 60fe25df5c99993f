// APMEventSampler: sampling of the events of one bundle. An event whose name
// the configuration gives a sampling rate above 1 (with sampling enabled) is
// kept with probability 1/rate and then carries "_sr" = rate; the first
// occurrence of each account day that loses the roll is kept anyway, with
// "_sr" and "_efs" = 1. The decisions go into the per-name event aggregates
// of the store (last bundled time and day, last rate, exemption, and the
// "_eid" of the last dropped complex event) so that the next bundle goes on
// where this one stopped; their counts are not touched.
//
// The account day is floor-toward-zero((seconds + offset) / 86400), the
// offset being the setting analyticsAccountTimeZoneOffsetMinutes. Settings
// come from APMMeasurementServices::remoteConfig() at each call.
//
// Worker queue only, inside the bundling transaction; not thread-safe.
// sampleEvents checks that the queue given at creation is current.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "measurement/messages/message_classes.h"
#include "os/dispatch/queue_confined.h"
#include "os/foundation/error.h"

class APMDatabase;

// Monitor codes.
inline constexpr int64_t kAPMSamplingCodeAggregatesQueryFailed = 23151;   // level 1
inline constexpr int64_t kAPMSamplingCodeAggregatesUpdateFailed = 23152;  // level 1
inline constexpr int64_t kAPMSamplingCodeRateParameterFailed = 23153;     // level 2
inline constexpr int64_t kAPMSamplingCodeInvalidRate = 23154;             // level 5
inline constexpr int64_t kAPMSamplingCodeEventWithoutName = 23155;        // level 2
inline constexpr int64_t kAPMSamplingCodeParameterExists = 23156;         // level 4
inline constexpr int64_t kAPMSamplingCodeCacheQueryFailed = 23157;        // level 1
inline constexpr int64_t kAPMSamplingCodeExemptParameterFailed = 23158;   // level 2

inline constexpr const char* kAPMSamplingRateParameter = "_sr";
inline constexpr const char* kAPMExemptFromSamplingParameter = "_efs";
inline constexpr const char* kAPMComplexEventIDParameter = "_eid";

// A uniform random integer in [0, upperBound) for upperBound > 0.
using APMUniformRandomSource = std::function<uint32_t(uint32_t upperBound)>;

class APMEventSampler {
 public:
  // `queue` is the worker queue; `random` defaults to the secure random
  // source (os::randomUniform).
  APMEventSampler(std::shared_ptr<os::DispatchQueue> queue, std::shared_ptr<APMDatabase> database,
                  APMUniformRandomSource random = {});

  // The kept events, in input order; kept sampled events gain "_sr" (and
  // "_efs") in place. nullopt with the store's error when reading or
  // writing the aggregates fails. Events without a name are dropped (23155).
  std::optional<std::vector<std::shared_ptr<APMPBEvent>>> sampleEvents(
      const std::vector<std::shared_ptr<APMPBEvent>>& events, os::Error* error);
  // Sampling enabled, and the event's name has a rate above 1 (a rate of 1
  // or less logs 23154).
  bool canEventBeSampled(const APMPBEvent& event) const;
  // True with probability 1/rate: a draw in [0, rate) is 0.
  bool isEventBundledAfterRoll(int64_t rate) const;

 private:
  os::QueueConfined<std::shared_ptr<APMDatabase>> database_;
  APMUniformRandomSource random_;
};
