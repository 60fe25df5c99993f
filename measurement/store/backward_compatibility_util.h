// APMBackwardCompatibilityUtil: switches off an older measurement library,
// the class "VEZMeasurement", when one is registered in the process (found by
// name in os::runtime). Thread-safe.
#pragma once

#include <memory>

inline constexpr const char* kAPMOlderMeasurementClassName = "VEZMeasurement";
inline constexpr const char* kAPMOlderMeasurementSharedInstanceSelector = "sharedInstance";
inline constexpr const char* kAPMSetIsEnabledSelector = "setIsEnabled:";

class APMBackwardCompatibilityUtil {
 public:
  // True when the older library's class answers the class method
  // "sharedInstance" (returning a std::shared_ptr<os::runtime::Object>), its
  // instances answer "setIsEnabled:" (taking a bool), and its shared instance
  // exists and was sent "setIsEnabled:" with false.
  static bool disableVEZMeasurement();

  // The two messages the switch sends, declared here as well: always null,
  // and nothing.
  static std::shared_ptr<APMBackwardCompatibilityUtil> sharedInstance() { return nullptr; }
  void setIsEnabled(bool) {}
};
