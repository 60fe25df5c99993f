#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "crash/core/tests/crash_core_test_support.h"
#include "crash/core/tests/macho_fixture.h"
#include "crash/core/zoz_binary_image.h"
#include "crash/core/zoz_context.h"
#include "os/foundation/bundle.h"
#include "os/kernel/loader.h"

// Exported (ENABLE_EXPORTS) so that its address lies in the test program.
extern "C" int drosilBinaryImageTestFunction() { return 5; }

namespace {

namespace k = os::kernel;
using crashtest::MachOSpec;
using crashtest::SyntheticImage;
using nlohmann::ordered_json;

constexpr std::array<uint8_t, 16> kUUID = {0xfa, 0xce, 0xb0, 0x0c, 0x01, 0x23, 0x45, 0x67,
                                           0x89, 0xab, 0xcd, 0xef, 0x10, 0x32, 0x54, 0x76};

// A synthetic image of 0x4000 bytes with unwind, eh-frame and crash-info
// sections, encrypted, for iOS 15.1 built with the 17.2 SDK.
MachOSpec imageSpec() {
  MachOSpec spec;
  spec.segments = {{"__TEXT", 0, 0x4000, {{"__unwind_info", 0x3000, 0x100}, {"__eh_frame", 0x3200, 0x80}}},
                   {"__DATA", 0x4000, 0x1000, {{"__crash_info", 0x4100, 0x40}}}};
  spec.uuid = kUUID;
  spec.cryptid = 1;
  spec.versionMinCommand = k::LC_VERSION_MIN_IPHONEOS;
  spec.minimumVersion = (15u << 16) | (1u << 8);
  spec.sdkVersion = (17u << 16) | (2u << 8);
  return spec;
}

class BinaryImageTest : public crashtest::CrashCoreTest {
 protected:
  std::vector<ordered_json> records() const { return crashtest::readRecordLines(reportPath_ + "/binary_images.zozrecord"); }
  // The record lines of one image's events, by path.
  std::vector<ordered_json> recordsFor(const std::string& path) const {
    std::vector<ordered_json> found;
    for (const auto& line : records()) {
      const auto& body = line.begin().value();
      if (body.contains("path") && body["path"] == path) found.push_back(line);
    }
    return found;
  }
  size_t usedSlots() const {
    size_t used = 0;
    for (const auto& node : zozContext.writable->binaryImage.nodes) used += ZOZBinaryImageNodeBase(node) != 0;
    return used;
  }
};

TEST_F(BinaryImageTest, ARealRunListsTheMainProgramAndTheCLibraryWithTheirBuildIds) {
  startContext();
  waitForBinaryImages();
  const auto* mainHeader = k::_NSGetMachExecuteHeader();
  auto main = k::imageInfoForHeader(mainHeader);
  ASSERT_TRUE(main && main->hasUUID);

  const auto mainLines = recordsFor(main->path);
  ASSERT_EQ(mainLines.size(), 1u);
  const ordered_json& load = mainLines[0]["load"];
  EXPECT_EQ(crashtest::keysOf(load), (std::vector<std::string>{"path", "uuid", "base", "size"}));
  EXPECT_EQ(load["uuid"], crashtest::hex(main->uuid, 16));
  EXPECT_EQ(load["base"], reinterpret_cast<uintptr_t>(mainHeader));
  EXPECT_EQ(load["size"], main->vmaddr + main->vmsize - reinterpret_cast<uintptr_t>(mainHeader));

  // The C library, found through a function of its own.
  Dl_info libc{};
  ASSERT_NE(::dladdr(::dlsym(RTLD_DEFAULT, "getpid"), &libc), 0);
  auto libcInfo = k::imageInfoForHeader(libc.dli_fbase);
  ASSERT_TRUE(libcInfo && libcInfo->hasUUID);
  const auto libcLines = recordsFor(libcInfo->path);
  ASSERT_EQ(libcLines.size(), 1u);
  EXPECT_NE(libcInfo->path.find("libc.so"), std::string::npos);
  EXPECT_EQ(libcLines[0]["load"]["uuid"], crashtest::hex(libcInfo->uuid, 16));

  // The table finds both, with their unwind tables.
  ZOZBinaryImageRuntimeNode node;
  ASSERT_TRUE(ZOZBinaryImageSafeFindImageForAddress(reinterpret_cast<uintptr_t>(&drosilBinaryImageTestFunction), &node));
  EXPECT_EQ(node.baseAddress, reinterpret_cast<uintptr_t>(mainHeader));
  EXPECT_EQ(node.ehFrame, main->ehFrame);
  EXPECT_EQ(node.ehFrameHdr, main->ehFrameHdr);
  EXPECT_NE(node.ehFrameHdr, 0u);
  EXPECT_EQ(node.unwindInfo, 0u);
  ASSERT_TRUE(ZOZBinaryImageSafeFindImageForAddress(reinterpret_cast<uintptr_t>(::dlsym(RTLD_DEFAULT, "getpid")), &node));
  EXPECT_EQ(node.baseAddress, reinterpret_cast<uintptr_t>(libc.dli_fbase));

  ZOZBinaryImageDetails details;
  ASSERT_TRUE(ZOZBinaryImageFindImageForUUID(crashtest::hex(main->uuid, 16).c_str(), &details));
  EXPECT_EQ(details.baseAddress, reinterpret_cast<uintptr_t>(mainHeader));
  EXPECT_FALSE(ZOZBinaryImageFindImageForUUID("00000000000000000000000000000000", &details));
}

TEST_F(BinaryImageTest, ASyntheticImageIsTrackedFromLoadToUnload) {
  startContext();
  SyntheticImage image(imageSpec(), sandbox_->root() + "/Frameworks/Plain.dylib");
  const size_t before = usedSlots();
  ASSERT_TRUE(image.add());
  waitForBinaryImages();
  EXPECT_EQ(usedSlots(), before + 1);

  ZOZBinaryImageRuntimeNode node;
  ASSERT_TRUE(ZOZBinaryImageSafeFindImageForAddress(image.base(), &node));
  EXPECT_EQ(node.baseAddress, image.base());
  EXPECT_EQ(node.size, 0x4000u);
  EXPECT_EQ(node.unwindInfo, image.base() + 0x3000);
  EXPECT_EQ(node.ehFrame, image.base() + 0x3200);
  EXPECT_EQ(node.crashInfo, image.base() + 0x4100);
  EXPECT_EQ(node.ehFrameHdr, 0u);
  ASSERT_TRUE(ZOZBinaryImageSafeFindImageForAddress(image.base() + 0x3fff, &node));
  EXPECT_EQ(node.baseAddress, image.base());
  // Just past its end is not in it.
  if (ZOZBinaryImageSafeFindImageForAddress(image.base() + 0x4000, &node)) {
    EXPECT_NE(node.baseAddress, image.base());
  }

  ZOZBinaryImageDetails details;
  ASSERT_TRUE(ZOZBinaryImageFindImageForUUID("faceb00c0123456789abcdef10325476", &details));
  EXPECT_TRUE(details.encrypted);
  EXPECT_EQ(details.minSDK, (ZOZMachOVersion{15, 1, 0}));
  EXPECT_EQ(details.builtSDK, (ZOZMachOVersion{17, 2, 0}));
  EXPECT_EQ(ZOZMachOSliceGetArchitectureName(&details.slice), std::string("arm64"));

  ASSERT_TRUE(image.remove());
  waitForBinaryImages();
  EXPECT_EQ(usedSlots(), before);
  if (ZOZBinaryImageSafeFindImageForAddress(image.base(), &node)) {
    EXPECT_NE(node.baseAddress, image.base());
  }

  const auto lines = recordsFor(image.path());
  ASSERT_EQ(lines.size(), 2u);
  ASSERT_TRUE(lines[0].contains("load"));
  ASSERT_TRUE(lines[1].contains("unload"));
  for (const auto& line : lines) {
    const auto& body = line.begin().value();
    EXPECT_EQ(crashtest::keysOf(body), (std::vector<std::string>{"path", "uuid", "base", "size"}));
    EXPECT_EQ(body["uuid"], "faceb00c0123456789abcdef10325476");
    EXPECT_EQ(body["base"], image.base());
    EXPECT_EQ(body["size"], 0x4000u);
  }
}

TEST_F(BinaryImageTest, AFrameworkIsLoggedWithItsBundleUnlessUnderSystem) {
  startContext();
  const std::string framework = sandbox_->root() + "/Frameworks/Kit.framework";
  crashtest::writeMainBundle(framework, os::Dictionary{{os::kCFBundleIdentifierKey, "com.example.kit"},
                                                       {os::kCFBundleVersionKey, "7"},
                                                       {os::kCFBundleShortVersionStringKey, ""}});
  crashtest::writeMainBundle(bundlePath_, os::Dictionary{{os::kCFBundleIdentifierKey, crashtest::kBundleIdentifier}});
  SyntheticImage kit(imageSpec(), framework + "/Kit");
  SyntheticImage system(imageSpec(), "/System/Library/Frameworks/UIKit.framework/UIKit");
  ASSERT_TRUE(kit.add());
  ASSERT_TRUE(system.add());
  waitForBinaryImages();

  const auto kitLines = recordsFor(kit.path());
  ASSERT_EQ(kitLines.size(), 1u);
  const auto& load = kitLines[0]["load"];
  // The empty display version is left out.
  EXPECT_EQ(crashtest::keysOf(load),
            (std::vector<std::string>{"path", "bundle_id", "build_version", "uuid", "base", "size"}));
  EXPECT_EQ(load["bundle_id"], "com.example.kit");
  EXPECT_EQ(load["build_version"], "7");

  const auto systemLines = recordsFor(system.path());
  ASSERT_EQ(systemLines.size(), 1u);
  EXPECT_EQ(crashtest::keysOf(systemLines[0]["load"]), (std::vector<std::string>{"path", "uuid", "base", "size"}));
}

TEST_F(BinaryImageTest, TheTableHolds1024ImagesAndAnUnloadFreesASlot) {
  startContext();
  waitForBinaryImages();
  const size_t free = kZOZBinaryImageSlotCount - usedSlots();
  std::vector<std::unique_ptr<SyntheticImage>> images;
  MachOSpec spec;
  spec.segments = {{"__TEXT", 0, 0x40, {}}};
  for (size_t i = 0; i <= free; ++i) {
    images.push_back(std::make_unique<SyntheticImage>(spec, "/tmp/synthetic-" + std::to_string(i)));
    ASSERT_TRUE(images.back()->add());
  }
  waitForBinaryImages();
  EXPECT_EQ(usedSlots(), kZOZBinaryImageSlotCount);
  // The one image too many is not tracked.
  ZOZBinaryImageRuntimeNode node;
  EXPECT_FALSE(ZOZBinaryImageSafeFindImageForAddress(images.back()->base(), &node) &&
               node.baseAddress == images.back()->base());
  char expected[64];
  std::snprintf(expected, sizeof expected, "Error: Unable to track a loaded node %p",
                static_cast<const void*>(images.back()->header()));
  EXPECT_NE(internalLog().find(expected), std::string::npos) << expected;

  // An unload frees its slot for the next load.
  ASSERT_TRUE(images.front()->remove());
  SyntheticImage late(spec, "/tmp/synthetic-late");
  ASSERT_TRUE(late.add());
  waitForBinaryImages();
  EXPECT_EQ(usedSlots(), kZOZBinaryImageSlotCount);
  ASSERT_TRUE(ZOZBinaryImageSafeFindImageForAddress(late.base(), &node));
  EXPECT_EQ(node.baseAddress, late.base());

  images.clear();
  late.remove();
  waitForBinaryImages();
}

TEST_F(BinaryImageTest, NothingIsFoundBeforeStartUpIsDone) {
  auto data = initData();
  data->rootPath.reset();
  EXPECT_FALSE(ZOZContextInitialize(data));
  ZOZBinaryImageRuntimeNode node;
  EXPECT_FALSE(ZOZBinaryImageSafeFindImageForAddress(reinterpret_cast<uintptr_t>(&drosilBinaryImageTestFunction), &node));
  ZOZBinaryImageRecordDetails(nullptr, nullptr);  // no file: logged, nothing written
}

}  // namespace
