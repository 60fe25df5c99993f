#include <dlfcn.h>
#include <elf.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "os/kernel/loader.h"

// Exported from the test program (ENABLE_EXPORTS) for dladdr to name.
extern "C" int drosilKernelTestProgramFunction() { return 7; }

namespace os::kernel {
namespace {

std::string canonical(const std::string& path) {
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

// The GNU build-id of a file as `readelf -n` prints it.
std::string buildIdOf(const std::string& path) {
  std::string command = "readelf -n '" + path + "' 2>/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return {};
  std::string id;
  char line[512];
  while (std::fgets(line, sizeof line, pipe)) {
    if (const char* at = std::strstr(line, "Build ID: ")) {
      id = at + std::strlen("Build ID: ");
      while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
    }
  }
  ::pclose(pipe);
  return id;
}

std::string hex(const uint8_t* bytes, size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
  }
  return out;
}

TEST(LoaderTest, TheMainProgramComesFirstWithItsPathAndBuildId) {
  const std::string exe = canonical("/proc/self/exe");
  ASSERT_GT(_dyld_image_count(), 1u);
  EXPECT_EQ(std::string(_dyld_get_image_name(0)), exe);
  const mach_header* header = _dyld_get_image_header(0);
  EXPECT_EQ(header, _NSGetMachExecuteHeader());
  EXPECT_FALSE(isMachOHeader(header));
  EXPECT_EQ(std::memcmp(header, ELFMAG, SELFMAG), 0);

  auto info = imageInfoForHeader(header);
  ASSERT_TRUE(info);
  EXPECT_TRUE(info->isMainProgram);
  EXPECT_EQ(info->format, ImageFormat::ELF);
  EXPECT_FALSE(info->encrypted);
  ASSERT_TRUE(info->hasUUID);
  const std::string buildId = buildIdOf(exe);
  ASSERT_GE(buildId.size(), 32u) << "readelf printed no build-id for " << exe;
  EXPECT_EQ(hex(info->uuid, 16), buildId.substr(0, 32));

  const auto function = reinterpret_cast<uintptr_t>(&drosilKernelTestProgramFunction);
  EXPECT_GE(function, info->vmaddr);
  EXPECT_LT(function, info->vmaddr + info->vmsize);
  ASSERT_NE(info->ehFrameHdr, 0u);
  ASSERT_NE(info->ehFrame, 0u);
  EXPECT_GT(info->ehFrameSize, 8u);
  uint32_t cieId = 1;  // .eh_frame opens with a CIE: its id is 0
  std::memcpy(&cieId, reinterpret_cast<const void*>(info->ehFrame + 4), sizeof cieId);
  EXPECT_EQ(cieId, 0u);

  Dl_info dl{};
  ASSERT_NE(::dladdr(reinterpret_cast<void*>(&drosilKernelTestProgramFunction), &dl), 0);
  EXPECT_STREQ(dl.dli_sname, "drosilKernelTestProgramFunction");
  EXPECT_EQ(canonical(dl.dli_fname), exe);
  EXPECT_EQ(dl.dli_fbase, static_cast<const void*>(header));

  char small[4];
  uint32_t size = sizeof small;
  EXPECT_EQ(_NSGetExecutablePath(small, &size), -1);
  EXPECT_EQ(size, exe.size() + 1);
  std::string path(size, '\0');
  EXPECT_EQ(_NSGetExecutablePath(path.data(), &size), 0);
  EXPECT_STREQ(path.c_str(), exe.c_str());
}

std::mutex gMutex;
std::vector<const mach_header*> gAdded, gRemoved, gLateAdded;  // guarded by gMutex
std::vector<std::string> gRemovedPaths;                          // guarded by gMutex

void onAdd(const mach_header* header, intptr_t) {
  std::lock_guard lock(gMutex);
  gAdded.push_back(header);
}
void onRemove(const mach_header* header, intptr_t) {
  auto info = imageInfoForHeader(header);  // still answers while the callback runs
  std::lock_guard lock(gMutex);
  gRemoved.push_back(header);
  gRemovedPaths.push_back(info ? info->path : "<forgotten>");
}
void onLateAdd(const mach_header* header, intptr_t) {
  std::lock_guard lock(gMutex);
  gLateAdded.push_back(header);
}

size_t countOf(const std::vector<const mach_header*>& list, const void* header) {
  std::lock_guard lock(gMutex);
  return size_t(std::count(list.begin(), list.end(), header));
}

const mach_header* headerOfPath(const std::string& path) {
  for (uint32_t i = 0; i < _dyld_image_count(); ++i) {
    if (const char* name = _dyld_get_image_name(i); name && path == name) return _dyld_get_image_header(i);
  }
  return nullptr;
}

TEST(LoaderTest, ALibraryOpenedAndClosedThroughTheLayerIsReportedOnceEach) {
  const std::string library = DROSIL_KERNEL_TEST_LIBRARY;
  _dyld_register_func_for_add_image(onAdd);
  _dyld_register_func_for_remove_image(onRemove);
  const uint32_t before = _dyld_image_count();
  {
    std::lock_guard lock(gMutex);
    EXPECT_EQ(gAdded.size(), before);  // every loaded image at once
  }
  ASSERT_EQ(headerOfPath(library), nullptr);

  void* handle = os::kernel::dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << ::dlerror();
  const mach_header* header = headerOfPath(library);
  ASSERT_NE(header, nullptr);
  EXPECT_EQ(_dyld_image_count(), before + 1);
  EXPECT_EQ(countOf(gAdded, header), 1u);
  auto info = imageInfoForHeader(header);
  ASSERT_TRUE(info);
  EXPECT_FALSE(info->isMainProgram);
  const std::string buildId = buildIdOf(library);
  ASSERT_GE(buildId.size(), 32u);
  EXPECT_EQ(hex(info->uuid, 16), buildId.substr(0, 32));

  void* symbol = ::dlsym(handle, "drosilKernelTestLibraryAnswer");
  ASSERT_NE(symbol, nullptr);
  Dl_info dl{};
  ASSERT_NE(::dladdr(symbol, &dl), 0);
  EXPECT_STREQ(dl.dli_sname, "drosilKernelTestLibraryAnswer");
  EXPECT_EQ(canonical(dl.dli_fname), canonical(library));

  // A callback registered late gets every image loaded now, this one included.
  _dyld_register_func_for_add_image(onLateAdd);
  {
    std::lock_guard lock(gMutex);
    EXPECT_EQ(gLateAdded.size(), before + 1);
  }
  EXPECT_EQ(countOf(gLateAdded, header), 1u);

  ASSERT_EQ(os::kernel::dlclose(handle), 0);
  EXPECT_EQ(countOf(gRemoved, header), 1u);
  EXPECT_EQ(_dyld_image_count(), before);
  EXPECT_EQ(countOf(gRemoved, header), 1u);  // reading the list again reports nothing twice
  EXPECT_EQ(countOf(gAdded, header), 1u);
  EXPECT_FALSE(imageInfoForHeader(header));
  std::lock_guard lock(gMutex);
  ASSERT_EQ(gRemovedPaths.size(), 1u);
  EXPECT_EQ(gRemovedPaths[0], library);
}

// A 64-bit Mach-O header with __TEXT (__text, __unwind_info), __DATA
// (__crash_info) and a UUID.
struct MachOFixture {
  mach_header_64 header{};
  segment_command_64 text{};
  section_64 textSections[2]{};
  segment_command_64 data{};
  section_64 dataSections[1]{};
  uuid_command uuid{};

  static void name(char (&field)[16], const char* text) { std::strncpy(field, text, sizeof field); }

  MachOFixture() {
    header.magic = MH_MAGIC_64;
    header.ncmds = 3;
    header.sizeofcmds = uint32_t(sizeof *this - sizeof header);
    text.cmd = LC_SEGMENT_64;
    text.cmdsize = uint32_t(sizeof text + sizeof textSections);
    name(text.segname, "__TEXT");
    text.nsects = 2;
    name(textSections[0].segname, "__TEXT");
    name(textSections[0].sectname, "__text");
    textSections[0].addr = 0x1000;
    name(textSections[1].segname, "__TEXT");
    name(textSections[1].sectname, "__unwind_info");
    textSections[1].addr = 0x2000;
    data.cmd = LC_SEGMENT_64;
    data.cmdsize = uint32_t(sizeof data + sizeof dataSections);
    name(data.segname, "__DATA");
    data.nsects = 1;
    name(dataSections[0].segname, "__DATA");
    name(dataSections[0].sectname, "__crash_info");
    dataSections[0].addr = 0x3000;
    uuid.cmd = LC_UUID;
    uuid.cmdsize = sizeof uuid;
  }
};

std::vector<const mach_header*> gSyntheticAdded, gSyntheticRemoved;  // guarded by gMutex

TEST(LoaderTest, SyntheticMachOImagesComeAndGoAndTheirSectionsAreFound) {
  MachOFixture image;
  struct Case {
    const char* segment;
    const char* section;
    uint64_t address;  // 0: not found
  };
  const Case cases[] = {
      {"__TEXT", "__unwind_info", 0x2000},
      {"__TEXT", "__text", 0x1000},
      {"__DATA", "__crash_info", 0x3000},
      {"__TEXT", "__eh_frame", 0},
      {"__DATA", "__unwind_info", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.segment) + "," + c.section);
    const section_64* found = getsectbynamefromheader_64(&image.header, c.segment, c.section);
    EXPECT_EQ(found ? found->addr : 0, c.address);
  }
  // Load commands that claim more than sizeofcmds holds are not followed.
  MachOFixture cut;
  cut.header.sizeofcmds = uint32_t(sizeof cut.text + sizeof cut.textSections + sizeof cut.data);
  EXPECT_NE(getsectbynamefromheader_64(&cut.header, "__TEXT", "__unwind_info"), nullptr);
  EXPECT_EQ(getsectbynamefromheader_64(&cut.header, "__DATA", "__crash_info"), nullptr);
  EXPECT_EQ(getsectbynamefromheader_64(reinterpret_cast<const mach_header_64*>(_dyld_get_image_header(0)), "__TEXT",
                                       "__text"),
            nullptr);

  _dyld_register_func_for_add_image([](const mach_header* h, intptr_t) {
    std::lock_guard lock(gMutex);
    gSyntheticAdded.push_back(h);
  });
  _dyld_register_func_for_remove_image([](const mach_header* h, intptr_t) {
    std::lock_guard lock(gMutex);
    gSyntheticRemoved.push_back(h);
  });
  const auto* header = reinterpret_cast<const mach_header*>(&image.header);
  const uint32_t before = _dyld_image_count();
  ASSERT_TRUE(addSyntheticImage(&image.header, 0x4000, "/System/Library/Frameworks/Fixture.framework/Fixture"));
  EXPECT_FALSE(addSyntheticImage(&image.header, 0x4000, "again"));
  int notMachO = 0;
  EXPECT_FALSE(addSyntheticImage(reinterpret_cast<const mach_header_64*>(&notMachO), 0, "x"));
  EXPECT_EQ(countOf(gSyntheticAdded, header), 1u);
  ASSERT_EQ(_dyld_image_count(), before + 1);
  EXPECT_EQ(_dyld_get_image_header(before), header);
  EXPECT_EQ(_dyld_get_image_vmaddr_slide(before), 0x4000);
  auto info = imageInfoForHeader(header);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->format, ImageFormat::MachO);
  EXPECT_TRUE(isMachOHeader(header));

  EXPECT_TRUE(removeSyntheticImage(&image.header));
  EXPECT_FALSE(removeSyntheticImage(&image.header));
  EXPECT_EQ(countOf(gSyntheticRemoved, header), 1u);
  EXPECT_EQ(_dyld_image_count(), before);
}

}  // namespace
}  // namespace os::kernel
