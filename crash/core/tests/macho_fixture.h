// Mach-O fixture bytes for the tests: thin slices with segments, UUID, dylib,
// encryption and version-minimum commands; fat files; debug-symbol bundles;
// synthetic images registered with the loader.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "os/foundation/value.h"
#include "os/kernel/loader.h"

namespace crashtest {

struct MachOSection {
  std::string name;
  uint64_t addr = 0;
  uint64_t size = 0;
};
struct MachOSegment {
  std::string name;
  uint64_t vmaddr = 0;
  uint64_t vmsize = 0;
  std::vector<MachOSection> sections;  // 64-bit slices only
};
struct MachOSpec {
  bool is64 = true;
  int32_t cputype = os::kernel::CPU_TYPE_ARM64;
  int32_t cpusubtype = os::kernel::CPU_SUBTYPE_ARM64_ALL;
  std::vector<MachOSegment> segments;
  std::optional<std::array<uint8_t, 16>> uuid;
  std::vector<std::string> dylibs;
  std::optional<uint32_t> cryptid;  // an LC_ENCRYPTION_INFO command
  uint32_t versionMinCommand = 0;   // an LC_VERSION_MIN_* command, or 0
  uint32_t minimumVersion = 0;      // packed
  uint32_t sdkVersion = 0;          // packed
};

// A slice: header and load commands, in this order: segments, UUID, dylibs,
// encryption, version. Commands are padded to 8 bytes (4 in 32-bit slices).
std::vector<uint8_t> buildMachO(const MachOSpec& spec);
// The offset of the n-th load command in bytes built by buildMachO.
size_t loadCommandOffset(const std::vector<uint8_t>& slice, size_t n);

struct FatSlice {
  int32_t cputype = 0;
  int32_t cpusubtype = 0;
  std::vector<uint8_t> bytes;
};
// A fat file: big-endian header and entries, slices at 4,096-byte boundaries.
std::vector<uint8_t> buildFat(const std::vector<FatSlice>& slices);
// The offset of the n-th slice in bytes built by buildFat.
size_t fatSliceOffset(size_t n);

void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes);
// A debug-symbol bundle at `path`: "Contents/Info.plist" and
// "Contents/Resources/DWARF/<name>".
void writeDSYM(const std::string& path, const os::Dictionary& info, const std::string& name,
               const std::vector<uint8_t>& binary);

// A 64-bit image in aligned memory that stays alive with the object, added
// to the loader's registry with add() (slide = its own address, so segment
// addresses are offsets from the header) and removed by remove() or at the
// latest on destruction.
class SyntheticImage {
 public:
  SyntheticImage(const MachOSpec& spec, std::string path);
  ~SyntheticImage();
  SyntheticImage(const SyntheticImage&) = delete;
  SyntheticImage& operator=(const SyntheticImage&) = delete;

  bool add();
  bool remove();
  const os::kernel::mach_header_64* header() const;
  uintptr_t base() const { return reinterpret_cast<uintptr_t>(header()); }
  const std::string& path() const { return path_; }

 private:
  std::unique_ptr<uint64_t[]> storage_;
  std::string path_;
  bool added_ = false;
};

}  // namespace crashtest
