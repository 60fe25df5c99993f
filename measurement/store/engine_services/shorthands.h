// Shorthands the measurement store and engine sources share. A source pulls
// the ones it calls into its own anonymous namespace with a using-declaration.
#pragma once

#include <memory>

#include "measurement/store/engine_services/engine_services.h"
#include "os/foundation/clock.h"

namespace apm_shorthands {

// Wall-clock seconds since 1970 from the current os::Clock.
inline double now() { return os::Clock::current().wallTime(); }

// The process-wide measurement monitor (APMMeasurementServices::monitor).
inline std::shared_ptr<APMMonitor> monitor() { return APMMeasurementServices::monitor(); }

}  // namespace apm_shorthands
