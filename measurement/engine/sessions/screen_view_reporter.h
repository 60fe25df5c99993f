// APMScreenViewReporter: the app's current screen and its screen events.
//
// Least form: the operations the engine facade and first open call. Their
// bodies are stand-ins in core/pending_parts.cpp until the reporter is built.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "os/foundation/value.h"

// The Info.plist leaves automatic screen reporting on.
bool APMScreenReportingEnabledInInfoPlist();

class APMScreenViewReporter {
 public:
  // The one reporter of the process.
  static std::shared_ptr<APMScreenViewReporter> sharedInstance();
  // "_sn", "_sc" and "_si" of the current screen; empty when there is none.
  os::Dictionary screenParameters();
  // The app's own "screen_view" event: its parameters and time (seconds
  // since 1970).
  void trackScreenWithParameters(const os::Dictionary& parameters, double timestamp);
  // The screen the app names for the view controller on top. Main thread.
  void setScreenName(const std::optional<std::string>& screenName, const std::optional<std::string>& screenClass);
};
