#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "crash/core/tests/crash_core_test_support.h"
#include "crash/core/tests/macho_fixture.h"
#include "crash/core/zoz_macho.h"
#include "crash/core/zoz_macho_binary.h"
#include "os/foundation/sandbox.h"

namespace {

namespace k = os::kernel;
using crashtest::MachOSpec;

constexpr std::array<uint8_t, 16> kUUIDA = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                            0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
constexpr std::array<uint8_t, 16> kUUIDB = {0xff, 0xee, 0xdd, 0xcc, 0xbb, 0xaa, 0x99, 0x88,
                                            0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0x00};
constexpr const char* kUUIDAText = "00112233445566778899aabbccddeeff";
constexpr const char* kUUIDBText = "ffeeddccbbaa99887766554433221100";

MachOSpec fullSpec() {
  MachOSpec spec;
  spec.segments = {{"__TEXT", 0, 0x8000, {{"__text", 0x1000, 0x100}}}};
  spec.uuid = kUUIDA;
  spec.dylibs = {"/usr/lib/libSystem.B.dylib", "@rpath/Kit.framework/Kit"};
  spec.cryptid = 1;
  spec.versionMinCommand = k::LC_VERSION_MIN_IPHONEOS;
  spec.minimumVersion = (14u << 16) | (5u << 8) | 2u;
  spec.sdkVersion = 17u << 16;
  return spec;
}

std::vector<uint8_t> thin(int32_t type, int32_t subtype, const std::array<uint8_t, 16>& uuid, bool is64 = true) {
  MachOSpec spec;
  spec.is64 = is64;
  spec.cputype = type;
  spec.cpusubtype = subtype;
  spec.uuid = uuid;
  return buildMachO(spec);
}

struct Walked {
  std::vector<const void*> sliceStarts;
  std::vector<int32_t> cputypes;
  std::vector<std::vector<uintptr_t>> commandOffsets;  // from each slice's start
};

// Slices and load commands of bytes, seen through an exact-size heap copy so
// that a read past the end is a heap overflow the address sanitizer sees.
Walked walk(const std::vector<uint8_t>& bytes, std::vector<uint8_t>* copy) {
  *copy = bytes;
  copy->shrink_to_fit();
  ZOZMachOFile file;
  file.mappedFile = copy->data();
  file.mappedSize = copy->size();
  Walked walked;
  ZOZMachOFileEnumerateSlices(&file, [&](const ZOZMachOSlice& slice) {
    walked.sliceStarts.push_back(slice.startAddress);
    walked.cputypes.push_back(slice.cputype);
    std::vector<uintptr_t> offsets;
    ZOZMachOSliceEnumerateLoadCommands(&slice, [&](uint32_t, uint32_t, const void* command) {
      offsets.push_back(reinterpret_cast<uintptr_t>(command) - reinterpret_cast<uintptr_t>(slice.startAddress));
    });
    walked.commandOffsets.push_back(offsets);
    ZOZMachOSliceObject object(slice);  // reads names, UUIDs and versions
    (void)object.architectureName();
  });
  return walked;
}

TEST(MachOSliceTest, ThinFatAndForeignFilesYieldTheirSlices) {
  std::vector<uint8_t> swappedFat = crashtest::buildFat(
      {{k::CPU_TYPE_ARM64, 0, thin(k::CPU_TYPE_ARM64, 0, kUUIDA)}, {k::CPU_TYPE_ARM64, 2, thin(k::CPU_TYPE_ARM64, 2, kUUIDB)}});
  const uint32_t cigam = k::FAT_MAGIC;  // the magic's bytes reversed on disk
  std::memcpy(swappedFat.data(), &cigam, sizeof cigam);

  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    std::vector<size_t> sliceOffsets;
    std::vector<int32_t> cputypes;
    std::vector<std::vector<uintptr_t>> commandOffsets;
  };
  const std::vector<Case> cases = {
      {"thin 64-bit: commands 32 bytes after the header", thin(k::CPU_TYPE_ARM64, 0, kUUIDA), {0},
       {k::CPU_TYPE_ARM64}, {{32}}},
      {"thin 32-bit: commands 28 bytes after the header", thin(k::CPU_TYPE_ARM, 11, kUUIDA, false), {0},
       {k::CPU_TYPE_ARM}, {{28}}},
      {"fat with two entries",
       crashtest::buildFat({{k::CPU_TYPE_ARM64, 0, thin(k::CPU_TYPE_ARM64, 0, kUUIDA)},
                            {k::CPU_TYPE_ARM, 11, thin(k::CPU_TYPE_ARM, 11, kUUIDB, false)}}),
       {crashtest::fatSliceOffset(0), crashtest::fatSliceOffset(1)},
       {k::CPU_TYPE_ARM64, k::CPU_TYPE_ARM},
       {{32}, {28}}},
      {"fat magic in the other byte order", swappedFat,
       {crashtest::fatSliceOffset(0), crashtest::fatSliceOffset(1)},
       {k::CPU_TYPE_ARM64, k::CPU_TYPE_ARM64},
       {{32}, {32}}},
      {"no Mach-O or fat magic: one slice without commands",
       std::vector<uint8_t>(64, 0x42), {0}, {0x42424242}, {{}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> copy;
    const Walked walked = walk(c.bytes, &copy);
    std::vector<size_t> offsets;
    for (const void* start : walked.sliceStarts) offsets.push_back(size_t(static_cast<const uint8_t*>(start) - copy.data()));
    EXPECT_EQ(offsets, c.sliceOffsets);
    EXPECT_EQ(walked.cputypes, c.cputypes);
    EXPECT_EQ(walked.commandOffsets, c.commandOffsets);
  }
}

// Damaged files used to be walked as their headers said, reading past the
// mapping.
TEST(MachOSliceTest, DamagedFilesNeverReadPastTheirBytes) {
  auto withCommandSize = [](std::vector<uint8_t> bytes, size_t command, uint32_t size) {
    std::memcpy(bytes.data() + crashtest::loadCommandOffset(bytes, command) + 4, &size, sizeof size);
    return bytes;
  };
  auto withHeaderWord = [](std::vector<uint8_t> bytes, size_t offset, uint32_t value) {
    std::memcpy(bytes.data() + offset, &value, sizeof value);
    return bytes;
  };
  auto withBigEndianWord = [](std::vector<uint8_t> bytes, size_t offset, uint32_t value) {
    const uint32_t swapped = __builtin_bswap32(value);
    std::memcpy(bytes.data() + offset, &swapped, sizeof swapped);
    return bytes;
  };
  const std::vector<uint8_t> full = buildMachO(fullSpec());  // 6 commands
  const std::vector<uint8_t> fat = crashtest::buildFat(
      {{k::CPU_TYPE_ARM64, 0, thin(k::CPU_TYPE_ARM64, 0, kUUIDA)}, {k::CPU_TYPE_ARM64, 2, thin(k::CPU_TYPE_ARM64, 2, kUUIDB)}});
  const size_t ncmds = offsetof(k::mach_header, ncmds);
  const size_t sizeofcmds = offsetof(k::mach_header, sizeofcmds);

  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    size_t slices;
    size_t commandsInFirstSlice;
  };
  const std::vector<Case> cases = {
      {"intact", full, 1, 6},
      {"a command size below 8", withCommandSize(full, 1, 4), 1, 1},
      {"a command size of 0", withCommandSize(full, 0, 0), 1, 0},
      {"a command past the end", withCommandSize(full, 2, 0x7fffffff), 1, 2},
      {"an absurd count", withHeaderWord(full, ncmds, 0xffffffff), 1, 6},
      {"commands claimed beyond the file", withHeaderWord(full, sizeofcmds, 0x100000), 1, 6},
      {"the last command cut off", std::vector<uint8_t>(full.begin(), full.end() - 4), 1, 5},
      {"a header cut short", std::vector<uint8_t>(full.begin(), full.begin() + 20), 1, 0},
      {"a dylib name offset past its command",
       withHeaderWord(full, crashtest::loadCommandOffset(full, 2) + 8, 4096), 1, 6},
      {"a dylib name without its end",
       [&] {
         auto bytes = full;
         const size_t at = crashtest::loadCommandOffset(bytes, 2);
         uint32_t size;
         std::memcpy(&size, bytes.data() + at + 4, sizeof size);
         std::memset(bytes.data() + at + 24, 'x', size - 24);
         return bytes;
       }(),
       1, 6},
      // The next "command" is the UUID's second half, whose size runs past the end.
      {"a UUID command too short", withCommandSize(full, 1, 16), 1, 2},
      {"a fat count past the file", withBigEndianWord(fat, 4, 1000), 0, 0},
      {"a fat slice starting past the file", withBigEndianWord(fat, 8 + 20 + 8, 0x100000), 1, 1},
      {"a fat slice running past the file", withBigEndianWord(fat, 8 + 12, 0x100000), 0, 0},
      {"a fat header and nothing else", std::vector<uint8_t>(fat.begin(), fat.begin() + 16), 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> copy;
    const Walked walked = walk(c.bytes, &copy);
    EXPECT_EQ(walked.sliceStarts.size(), c.slices);
    if (!walked.commandOffsets.empty()) {
      EXPECT_EQ(walked.commandOffsets[0].size(), c.commandsInFirstSlice);
    }
  }

  // Damaged names and short commands are refused, not read.
  {
    std::vector<uint8_t> copy;
    const auto bytes = withCommandSize(full, 1, 16);
    copy = bytes;
    ZOZMachOFile file{-1, copy.size(), copy.data()};
    ZOZMachOFileEnumerateSlices(&file, [&](const ZOZMachOSlice& slice) {
      ZOZMachOSliceObject object(slice);
      EXPECT_EQ(object.uuid(), "");
    });
  }
}

TEST(MachOSliceTest, ArchitectureNames) {
  struct Case {
    int32_t type, subtype;
    const char* name;
  };
  for (const Case& c : std::vector<Case>{{12, 11, "armv7s"},
                                         {12, 12, "armv7k"},
                                         {12, 9, "armv7"},
                                         {0x0100000c, 0, "arm64"},
                                         {0x0100000c, 2, "arm64e"},
                                         {0x0100000c, int32_t(0x80000002), "arm64e"},  // with capability bits
                                         {0x01000007, 3, "x86_64"},
                                         {7, 3, "i386"},
                                         {0x0200000c, 1, "arm64_32"},
                                         {99, 0, "unknown"}}) {
    SCOPED_TRACE(c.name);
    ZOZMachOSlice slice;
    slice.cputype = c.type;
    slice.cpusubtype = c.subtype;
    EXPECT_STREQ(ZOZMachOSliceGetArchitectureName(&slice), c.name);
  }
  ZOZMachOSlice arm64;
  arm64.cputype = 0x0100000c;
  EXPECT_TRUE(ZOZMachOSliceIs64Bit(&arm64));
  ZOZMachOSlice armv7;
  armv7.cputype = 12;
  EXPECT_FALSE(ZOZMachOSliceIs64Bit(&armv7));
}

class MachOFileTest : public ::testing::Test {
 protected:
  std::string path(const std::string& name) const { return sandbox_.root() + "/" + name; }
  os::TemporarySandbox sandbox_;
};

TEST_F(MachOFileTest, ASliceObjectReadsUUIDDylibsAndVersions) {
  crashtest::writeBytes(path("Kit"), buildMachO(fullSpec()));
  auto binary = ZOZMachOBinary::MachOBinaryWithPath(path("Kit"));
  ASSERT_NE(binary, nullptr);
  EXPECT_EQ(binary->path(), path("Kit"));
  ASSERT_EQ(binary->slices().size(), 1u);
  const auto& slice = binary->slices()[0];
  EXPECT_EQ(slice->uuid(), kUUIDAText);
  EXPECT_EQ(slice->linkedDylibs(), (std::vector<std::string>{"/usr/lib/libSystem.B.dylib", "@rpath/Kit.framework/Kit"}));
  EXPECT_EQ(slice->minimumOSVersion(), (ZOZMachOVersion{14, 5, 2}));
  EXPECT_EQ(slice->linkedSDKVersion(), (ZOZMachOVersion{17, 0, 0}));
  EXPECT_EQ(slice->architectureName(), "arm64");
  EXPECT_EQ(ZOZMachOFormatVersion(&slice->minimumOSVersion()), "14.5.2");
  EXPECT_EQ(ZOZMachOFormatVersion(nullptr), std::nullopt);

  bool encrypted = false;
  ZOZMachOSliceEnumerateLoadCommands(&slice->slice(), [&](uint32_t type, uint32_t size, const void* command) {
    if (type == k::LC_ENCRYPTION_INFO) encrypted = ZOZMachOIsEncrypted(command, size);
  });
  EXPECT_TRUE(encrypted);
}

TEST_F(MachOFileTest, AFatBinaryNamesItsSlicesAndHashesTheirUUIDs) {
  // The identifier orders slices by architecture name: the same for either
  // slice order.
  const std::vector<uint8_t> a = thin(k::CPU_TYPE_ARM64, 0, kUUIDA);
  const std::vector<uint8_t> b = thin(k::CPU_TYPE_ARM64, 2, kUUIDB);
  crashtest::writeBytes(path("ab"), crashtest::buildFat({{k::CPU_TYPE_ARM64, 0, a}, {k::CPU_TYPE_ARM64, 2, b}}));
  crashtest::writeBytes(path("ba"), crashtest::buildFat({{k::CPU_TYPE_ARM64, 2, b}, {k::CPU_TYPE_ARM64, 0, a}}));
  for (const char* name : {"ab", "ba"}) {
    SCOPED_TRACE(name);
    auto binary = ZOZMachOBinary::initWithURL(path(name));
    ASSERT_NE(binary, nullptr);
    std::vector<std::string> seen;
    binary->enumerateUUIDs([&](const std::string& uuid, const std::string& architecture) {
      seen.push_back(architecture + ":" + uuid);
    });
    const std::string arm64 = std::string("arm64:") + kUUIDAText;
    const std::string arm64e = std::string("arm64e:") + kUUIDBText;
    const std::vector<std::string> expected =
        std::string(name) == "ab" ? std::vector<std::string>{arm64, arm64e} : std::vector<std::string>{arm64e, arm64};
    EXPECT_EQ(seen, expected);
    ASSERT_NE(binary->sliceForArchitecture("arm64e"), nullptr);
    EXPECT_EQ(binary->sliceForArchitecture("arm64e")->uuid(), kUUIDBText);
    EXPECT_EQ(binary->sliceForArchitecture("armv7"), nullptr);
    // SHA-1 of the arm64 UUID text followed by the arm64e one.
    EXPECT_EQ(binary->instanceIdentifier(), "0b456a320d99802056f5a03415ac6ef994c058b9");
  }
  EXPECT_EQ(ZOZMachOBinary::hashNSString("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST_F(MachOFileTest, FilesThatCannotBeMappedAreRefused) {
  crashtest::writeBytes(path("small"), std::vector<uint8_t>(15, 0xcf));
  crashtest::writeBytes(path("sixteen"), std::vector<uint8_t>(16, 0));
  std::filesystem::create_directories(path("folder"));
  EXPECT_EQ(ZOZMachOBinary::initWithURL(path("small")), nullptr);
  EXPECT_EQ(ZOZMachOBinary::initWithURL(path("folder")), nullptr);
  EXPECT_EQ(ZOZMachOBinary::initWithURL(path("missing")), nullptr);
  EXPECT_NE(ZOZMachOBinary::initWithURL(path("sixteen")), nullptr);

  ZOZMachOFile file;
  EXPECT_FALSE(ZOZMachOFileInitWithPath(&file, path("small").c_str()));
  EXPECT_EQ(file.fd, -1);

  ASSERT_TRUE(ZOZMachOFileInitWithCurrent(&file));
  EXPECT_EQ(file.mappedSize, std::filesystem::file_size("/proc/self/exe"));
  ZOZMachOFileDestroy(&file);
  EXPECT_EQ(file.mappedFile, nullptr);
#if defined(__x86_64__)
  EXPECT_EQ(ZOZMachOSliceObject::runningSlice()->architectureName(), "x86_64");
#endif
}

TEST_F(MachOFileTest, ADebugSymbolBundleDescribesItsBinary) {
  const std::vector<uint8_t> binary = crashtest::buildFat({{k::CPU_TYPE_ARM64, 0, thin(k::CPU_TYPE_ARM64, 0, kUUIDA)},
                                                           {k::CPU_TYPE_ARM64, 2, thin(k::CPU_TYPE_ARM64, 2, kUUIDB)}});
  const std::string bundle = path("Drosil.app.dSYM");
  crashtest::writeDSYM(bundle,
                       os::Dictionary{{"CFBundleIdentifier", "com.apple.xcode.dsym.com.example.drosil"},
                                      {"CFBundleVersion", "42"},
                                      {"CFBundleShortVersionString", "1.4"}},
                       "Drosil", binary);
  auto dsym = ZOZdSYM::dSYMWithURL(bundle);
  ASSERT_NE(dsym, nullptr);
  EXPECT_EQ(dsym->bundleIdentifier(), "com.example.drosil");
  EXPECT_EQ(dsym->bundleVersion(), "42");
  EXPECT_EQ(dsym->shortBundleVersion(), "1.4");
  EXPECT_EQ(dsym->executablePath(), bundle + "/Contents/Resources/DWARF/Drosil");
  size_t uuids = 0;
  dsym->enumerateUUIDs([&](const std::string&, const std::string&) { ++uuids; });
  EXPECT_EQ(uuids, 2u);

  std::filesystem::remove_all(bundle + "/Contents/Resources/DWARF");
  EXPECT_EQ(ZOZdSYM::initWithURL(bundle), nullptr);
  EXPECT_EQ(ZOZdSYM::initWithURL(path("missing.dSYM")), nullptr);

  auto mapping = ZOZCodeMapping::mappingWithURL(bundle);
  EXPECT_EQ(mapping->URL(), bundle);
  EXPECT_EQ(mapping->source(), 0u);
}

}  // namespace
