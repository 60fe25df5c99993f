// Test fixture of the app: a fresh sandbox and user defaults, the app's
// bundle, virtual time, the simulated camera, watch, location, mail and photo
// library at their defaults, no recorded opened URLs, and
// the SDK and storyboards forgotten.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "os/dispatch/manual_clock.h"
#include "os/foundation/sandbox.h"

class NewLandingViewController;
namespace os::uikit {
class ApplicationHost;
}

namespace drosil::testing {

// Runs the host on virtual time, a twentieth of a second at a time, until
// `produced` holds; false when `limitSeconds` of virtual time passed first.
// Work on real threads (the camera's queues, the watch session's, the photo
// output's) takes what real time it takes: tests wait for what it produces,
// never for a fixed span of clock time.
bool runUntil(os::uikit::ApplicationHost& host, const std::function<bool()>& produced, double limitSeconds = 30);

// The screen shows the reading of the device's white balance, which has
// stopped adjusting: the temperature text for its current gains plus the
// stored compensation.
bool readingSettled(const NewLandingViewController& screen);

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
