// Readable text for log lines while debug mode is on and the analytics
// interface (a class registered as "REZAnalytics") is in the process: an
// internal event, parameter or user-property name is shown with its long
// form beside it ("screen_view (_vs)"), an "_err" code with its name
// ("EventNameIsReserved (13)"), and parameters as indented lines sorted
// without regard to case. Otherwise the name itself, or the parameters'
// ordinary description. A user-property name beginning with "_exp_" always
// reads "experiment_id (<name>)". Thread-safe.
#pragma once

#include <string>
#include <string_view>

#include "measurement/store/engine_services/event.h"

// Against APMEventNameMap.
std::string APMEventNameDebugDescription(std::string_view eventName);
// Against APMPublicToInternalParameterNames.
std::string APMParameterNameDebugDescription(std::string_view parameterName);
// Against APMUserPropertyShortNames.
std::string APMUserPropertyNameDebugDescription(std::string_view userPropertyName);
// "{\n" + one "    <name> = <value>;\n" line per parameter + "}"; an array
// parameter as its items' texts, indented once more, between "[" and "]".
std::string APMParametersDebugDescription(const APMEventParameters& parameters);
