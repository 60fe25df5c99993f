// The child of the killed-upload test: stores five events for target 1001
// ("killed 0" to "killed 4"), starts their upload to the endpoints of the
// given bundle, and runs the main queue until it is killed.
//
//   transport_upload_child <container root> <bundle folder>
#include <cstdio>

#include "os/foundation/bundle.h"
#include "os/foundation/device_profile.h"
#include "os/foundation/sandbox.h"
#include "os/testing/test_http_server.h"
#include "transport/REVADA/revada_uploader.h"
#include "transport/REVOVALibrary/revova_flat_file_storage.h"
#include "transport/REVOVALibrary/revova_upload_coordinator.h"
#include "transport/REVOVALibrary/tests/test_support.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s root bundle\n", argv[0]);
    return 2;
  }
  os::Sandbox::setCurrent(std::make_shared<os::Sandbox>(argv[1]));
  os::Bundle::setMainBundlePath(argv[2]);
  REVOVAUploadCoordinator::sharedInstance()->stopTimer();

  // Stored without network, so that nothing uploads before the call below.
  os::DeviceProfile device;
  device.network = os::DeviceNetwork::None;
  os::DeviceProfile::setCurrent(device);
  auto storage = REVOVAFlatFileStorage::sharedInstance();
  for (int i = 0; i < 5; ++i) {
    auto stored = revova_test::store(*storage, revova_test::makeEvent("1974", 1001, "killed " + std::to_string(i)));
    if (!stored.first) return 3;
  }
  device.network = os::DeviceNetwork::WiFi;
  os::DeviceProfile::setCurrent(device);

  REVADAUploader::sharedInstance()->uploadTarget(1001, 4);
  os::testing::runMainUntil([] { return false; }, 600);
  return 4;  // never answered and never killed
}
