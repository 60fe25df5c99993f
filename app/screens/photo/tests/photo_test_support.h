// Helpers of the photo tests: a real photo from the simulated camera.
#pragma once

#include <memory>

#include "os/foundation/data.h"

namespace os {
class ManualClock;
}

namespace drosil::testing {

// A JPEG of a light source of `kelvin` as the back camera takes it through
// the app's camera controller (its white balance settled first). Runs
// dispatch work and advances `clock`.
os::Data takeCameraJPEG(os::ManualClock& clock, double kelvin);

}  // namespace drosil::testing
