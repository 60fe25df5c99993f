// Shorthands the measurement store and engine sources share. A source pulls
// the ones it calls into its own anonymous namespace with a using-declaration.
#pragma once

#include "os/foundation/clock.h"

namespace apm_shorthands {

// Wall-clock seconds since 1970 from the current os::Clock.
inline double now() { return os::Clock::current().wallTime(); }

}  // namespace apm_shorthands
