// Test fixture of the app: a fresh sandbox and user defaults, the app's
// bundle, virtual time, the simulated camera, watch, location, mail and photo
// library at their defaults, no recorded opened URLs, and
// the SDK and storyboards forgotten.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "os/dispatch/manual_clock.h"
#include "os/foundation/sandbox.h"

namespace drosil::testing {

class AppTest : public ::testing::Test {
 protected:
  AppTest();
  ~AppTest() override;

  os::ManualClock& clock() { return clock_.clock(); }
  // Runs dispatch work and the main queue until idle.
  static void drain();

 private:
  os::TemporarySandbox sandbox_;
  os::ManualClockScope clock_;
};

}  // namespace drosil::testing
