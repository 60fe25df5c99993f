// drosil: the meter's process entry on the headless host.
//
// This first form launches the app with its delegate on the simulated camera
// (access granted), on virtual time, puts each light source given on the
// command line (kelvin; a few by default) before the camera, lets the meter
// settle and prints what the screen shows:
//
//   reading: <temperature text>  tint <tint text>  <light-source text>  slider <position>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/controls/sliders.h"
#include "app/screens/app_delegate.h"
#include "app/screens/main_storyboard.h"
#include "app/screens/new_landing_view_controller.h"
#include "os/avfoundation/avfoundation.h"
#include "os/dispatch/manual_clock.h"
#include "os/foundation/format.h"
#include "os/uikit/app_host.h"
#include "os/uikit/view_controller.h"

namespace {

constexpr double kSettleSeconds = 1.0;

void printReading(const NewLandingViewController& screen) {
  std::printf("reading: %s  tint %s  %s  slider %s\n", screen.tempReading()->text().c_str(),
              screen.tintReading()->text().c_str(), screen.lightTypeLbl()->text().c_str(),
              os::format("%.0f", screen.cctTempSlider()->slider()->value()).c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<double> scenes;
  for (int i = 1; i < argc; ++i) {
    char* end = nullptr;
    const double kelvin = std::strtod(argv[i], &end);
    if (end == argv[i] || *end != '\0') {
      std::fprintf(stderr, "usage: %s [kelvin ...]\n", argv[0]);
      return 2;
    }
    scenes.push_back(kelvin);
  }
  if (scenes.empty()) scenes = {2700, 5500, 9000};

  std::printf("drosil %s\n", DROSIL_VERSION);
  os::ManualClock::install();
  os::CameraSimulator::setAuthorizationStatus(AVMediaTypeVideo, AVAuthorizationStatus::Authorized);
  registerMainStoryboard();

  os::uikit::ApplicationHost host;
  if (auto launched = host.launch("", kAppDelegateClassName); !launched) {
    std::fprintf(stderr, "drosil: launch refused: %s\n", launched.error().localizedDescription().c_str());
    return 1;
  }
  host.runUntilIdle();
  auto window = host.keyWindow();
  auto screen = std::dynamic_pointer_cast<NewLandingViewController>(window ? window->rootViewController() : nullptr);
  if (!screen) {
    std::fprintf(stderr, "drosil: the meter screen is not on screen\n");
    return 1;
  }

  for (double kelvin : scenes) {
    auto scene = os::CaptureScene::lightSource(kelvin);
    if (!scene) {
      std::fprintf(stderr, "drosil: no light source of %g K: %s\n", kelvin,
                   scene.error().localizedDescription().c_str());
      continue;
    }
    os::CameraSimulator::setScene(*scene);
    host.runFor(kSettleSeconds);
    printReading(*screen);
  }
  (void)host.terminate();
  return 0;
}
