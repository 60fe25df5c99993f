#include <stdlib.h>

#include <filesystem>

#include "os/foundation/bundle.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/plist.h"
#include "platform/utilities/endpoints.h"
#include "sdk-core/installations/tests/installations_test_support.h"

using namespace installations_test;
namespace fs = std::filesystem;

namespace {

using ShippedBundleTest = InstallationsTest;

// The app's own bundle, copied, with its endpoints resource pointed at the
// loopback service through $DROSIL_BUNDLE, as a user would do it.
TEST_F(ShippedBundleTest, TheAppsOptionsGetAnInstallationIDFromTheLoopbackService) {
  service_ = std::make_unique<FakeInstallationsService>("drosil-meter");
  const fs::path shipped = fs::path(DROSIL_SOURCE_DIR) / "app/bundle";
  const fs::path copy = fs::path(sandbox_->root()) / "Copied.app";
  fs::create_directories(copy);
  for (const char* name : {"Info.plist", "RirudiVizeziv-Azir.plist", "DrosilEndpoints.plist"}) {
    fs::copy_file(shipped / name, copy / name);
  }
  auto& fm = os::FileManager::defaultManager();
  const std::string endpointsPath = (copy / "DrosilEndpoints.plist").string();
  auto endpoints = os::PropertyListSerialization::propertyListWithData(*fm.contentsAtPath(endpointsPath));
  ASSERT_TRUE(endpoints.has_value() && endpoints->isDictionary());
  os::Dictionary entries = *endpoints->dictionary();
  ASSERT_TRUE(entries[kDAZEndpointInstallations].stringValue().ends_with(".invalid"));
  entries[kDAZEndpointInstallations] = os::Value(service_->baseURL());
  ASSERT_TRUE(fm.createFileAtPath(endpointsPath, *os::PropertyListSerialization::dataWithPropertyList(
                                                     os::Value(entries), os::PropertyListSerialization::Format::XML)));

  ASSERT_EQ(setenv("DROSIL_BUNDLE", copy.c_str(), 1), 0);
  os::Bundle::setMainBundlePath("");
  DAZEndpoints::reload();

  REZApp::configure();
  auto id = installationID(*REZInstallations::installations());
  ASSERT_TRUE(id->value.has_value()) << id->error->description();
  ASSERT_TRUE(settle());
  unsetenv("DROSIL_BUNDLE");

  EXPECT_EQ(service_->registeredVIDs(), std::vector<std::string>{*id->value});
  auto registration = service_->requests(FakeInstallationsService::Operation::Register);
  ASSERT_EQ(registration.size(), 1u);
  EXPECT_EQ(registration[0].recorded.header("X-Ios-Bundle-Identifier"), "com.drosil.app");
  EXPECT_EQ(registration[0].recorded.header("V-Uriv-Ivu-Zur"), "ADrosilMeterPlaceholderKey-000000000000");
}

}  // namespace
