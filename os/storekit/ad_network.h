// SKAdNetwork: the app tells the system of its ad-network attribution
// (registration, postback conversion values). Headless, the system records
// what it accepts, for tests to read, and answers as a test tells it.
//
// Availability follows the device profile's system version:
// updatePostbackConversionValue needs 16.1 or later; on an earlier system it
// is refused with SKANErrorUnsupported. A fine value outside 0...63 or a
// coarse value that is not one of the three constants is refused with
// SKANErrorInvalidConversionValue. Refused updates are not recorded. An
// accepted update is recorded and answered with the error a test set
// (TEST_setUpdateError; none by default, success).
//
// Completions run asynchronously on the global default-priority queue.
// Thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "os/foundation/error.h"

inline constexpr const char* SKANErrorDomain = "SKANErrorDomain";
enum SKANError : int64_t {
  SKANErrorImpressionMissingRequiredValue = 0,
  SKANErrorUnsupported = 1,
  SKANErrorAdNetworkIdMissing = 2,
  SKANErrorMismatchedSourceAppId = 3,
  SKANErrorImpressionNotFound = 4,
  SKANErrorInvalidCampaignId = 5,
  SKANErrorInvalidConversionValue = 6,
  SKANErrorInvalidSourceAppId = 7,
  SKANErrorInvalidAdvertisedAppId = 8,
  SKANErrorInvalidVersion = 9,
  SKANErrorUnknown = 10,
  SKANErrorImpressionTooShort = 11,
};

using SKAdNetworkCoarseConversionValue = std::string;
inline constexpr const char* SKAdNetworkCoarseConversionValueHigh = "high";
inline constexpr const char* SKAdNetworkCoarseConversionValueMedium = "medium";
inline constexpr const char* SKAdNetworkCoarseConversionValueLow = "low";

// One accepted postback update.
struct SKAdNetworkPostbackUpdate {
  int64_t fineValue = 0;
  SKAdNetworkCoarseConversionValue coarseValue;
  bool lockWindow = false;
  friend bool operator==(const SKAdNetworkPostbackUpdate&, const SKAdNetworkPostbackUpdate&) = default;
};

class SKAdNetwork {
 public:
  using CompletionHandler = std::function<void(const std::optional<os::Error>& error)>;

  static void registerAppForAdNetworkAttribution();
  // updatePostbackConversionValue:coarseValue:lockWindow:completionHandler:
  static void updatePostbackConversionValue(int64_t fineValue, const SKAdNetworkCoarseConversionValue& coarseValue,
                                            bool lockWindow, CompletionHandler completionHandler);

  static int64_t TEST_registrationCount();
  static std::vector<SKAdNetworkPostbackUpdate> TEST_postbackUpdates();
  // The answer to accepted updates from now on (none: success).
  static void TEST_setUpdateError(std::optional<os::Error> error);
  static void TEST_reset();
};
