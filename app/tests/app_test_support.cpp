#include "app/tests/app_test_support.h"

#include "app/preferences/preferences.h"
#include "app/screens/new_landing_view_controller.h"
#include "os/foundation/format.h"
#include "os/uikit/app_host.h"

#include "measurement/engine/interface/rez_analytics.h"
#include "os/avfoundation/avfoundation.h"
#include "os/corelocation/location.h"
#include "os/dispatch/queue.h"
#include "os/foundation/bundle.h"
#include "os/foundation/user_defaults.h"
#include "os/messageui/mail_compose.h"
#include "os/photos/photo_library.h"
#include "os/uikit/uikit.h"
#include "os/uikit/view_controller.h"
#include "os/watchconnectivity/wc_session.h"
#include "sdk-core/core/rez_app.h"
#include "sdk-core/core/rez_options.h"

namespace drosil::testing {

namespace {

void resetWorld() {
  os::dispatch::drainUntilIdle();
  os::CameraSimulator::reset();
  os::WatchSimulator::reset();
  os::LocationSimulator::reset();
  os::MailSimulator::setCanSendMail(true);
  os::PhotoLibrarySimulator::setAuthorizationStatus(PHAuthorizationStatus::Authorized);
  UIApplication::sharedApplication()->TEST_clearOpenedURLs();
  REZApp::resetApps();
  REZOptions::resetDefaultOptions();
  REZAnalytics::TEST_reset();
  UIStoryboard::TEST_reset();
  UIApplication::sharedApplication()->setDelegate(nullptr);
  TEST_clearFeedbackEvents();
  os::UserDefaults::resetStandardUserDefaults();
}

}  // namespace

AppTest::AppTest() {
  os::Bundle::setMainBundlePath(DROSIL_TEST_BUNDLE_DIR);
  UIImage::setAssetDirectory(DROSIL_TEST_BUNDLE_DIR);
  resetWorld();
}

AppTest::~AppTest() { resetWorld(); }

void AppTest::drain() { os::dispatch::drainUntilIdle(); }

bool runUntil(os::uikit::ApplicationHost& host, const std::function<bool()>& produced, double limitSeconds) {
  constexpr double kStep = 0.05;
  for (double ran = 0; !produced(); ran += kStep) {
    if (ran >= limitSeconds) return false;
    host.runFor(kStep);
  }
  return true;
}

bool readingSettled(const NewLandingViewController& screen) {
  auto controller = screen.cameraController();
  auto device = controller ? controller->currentCameraDevice() : nullptr;
  auto gains = controller ? controller->normalizedGains() : std::nullopt;
  if (!device || !gains || device->isAdjustingWhiteBalance() || controller->session()->inputs().empty()) return false;
  auto values = device->temperatureAndTintValuesForDeviceWhiteBalanceGains(*gains);
  if (!values) return false;
  const float compensation = static_cast<float>(os::UserDefaults::standardUserDefaults()->doubleForKey(kCompensateKey));
  return screen.tempReading()->text() == os::format("%.0fK", compensation + values->temperature);
}

}  // namespace drosil::testing
