#include <gtest/gtest.h>

#include "os/foundation/file_manager.h"
#include "os/foundation/sandbox.h"
#include "os/uikit/application.h"

namespace {

TEST(UIDeviceTest, TheVendorIdentifierIsMadeOncePerInstall) {
  std::optional<os::UUID> first;
  {
    os::TemporarySandbox install;
    first = UIDevice::currentDevice()->identifierForVendor();
    ASSERT_TRUE(first);
    EXPECT_EQ(UIDevice::currentDevice()->identifierForVendor(), first);
    const std::string path = install.sandbox()->libraryDirectory() + "/Device/identifierForVendor";
    auto kept = os::FileManager::defaultManager().contentsAtPath(path);
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->toString(), first->UUIDString());

    // A damaged file is replaced by a new identifier, which is kept from then on.
    ASSERT_TRUE(os::FileManager::defaultManager().createFileAtPath(path, os::Data::fromString("garbage")));
    const auto replaced = UIDevice::currentDevice()->identifierForVendor();
    ASSERT_TRUE(replaced);
    EXPECT_NE(replaced, first);
    EXPECT_EQ(UIDevice::currentDevice()->identifierForVendor(), replaced);
  }
  os::TemporarySandbox reinstall;
  const auto other = UIDevice::currentDevice()->identifierForVendor();
  ASSERT_TRUE(other);
  EXPECT_NE(other, first);
}

}  // namespace
