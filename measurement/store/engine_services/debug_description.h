// Readable names for log lines: an internal event or user-property name is
// shown with its long form beside it ("screen_view (_vs)") while debug mode
// is on and the analytics interface ("REZAnalytics") is in the process;
// otherwise the name itself. A user-property name beginning with "_exp_"
// always reads "experiment_id (<name>)". Thread-safe.
#pragma once

#include <string>
#include <string_view>

// Against APMEventNameMap.
std::string APMEventNameDebugDescription(std::string_view eventName);
// A user-property name, against APMUserPropertyShortNames.
std::string APMParameterNameDebugDescription(std::string_view userPropertyName);
