// Mach-O files and slices (see zoz_macho.h).
#include "crash/core/zoz_macho.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "os/foundation/format.h"
#include "os/kernel/loader.h"

namespace {

namespace k = os::kernel;

constexpr size_t kMinimumFileSize = 16;
constexpr size_t kHeaderSize32 = 28;
constexpr size_t kHeaderSize64 = 32;
constexpr size_t kFatHeaderSize = 8;
constexpr size_t kFatEntrySize = 20;
constexpr size_t kLoadCommandSize = 8;

template <class T>
T load(const void* at, size_t offset = 0) {
  T value;
  std::memcpy(&value, static_cast<const char*>(at) + offset, sizeof value);
  return value;
}

uint32_t loadBigEndian(const void* at, size_t offset) { return __builtin_bswap32(load<uint32_t>(at, offset)); }

// Whether `needed` bytes from the slice's start may be read.
bool fits(const ZOZMachOSlice* slice, size_t needed) { return needed <= slice->size; }

// The slice's header size and its load commands' end, or false when it has
// no load commands to walk.
bool commandBounds(const ZOZMachOSlice* slice, size_t* headerSize, size_t* limit) {
  if (!slice || !slice->startAddress || !fits(slice, sizeof(uint32_t))) return false;
  const uint32_t magic = load<uint32_t>(slice->startAddress);
  if (magic == k::MH_MAGIC_64 || magic == k::MH_CIGAM_64) {
    *headerSize = kHeaderSize64;
  } else if (magic == k::MH_MAGIC || magic == k::MH_CIGAM) {
    *headerSize = kHeaderSize32;
  } else {
    return false;
  }
  if (!fits(slice, *headerSize)) return false;
  const uint32_t sizeofcmds = load<uint32_t>(slice->startAddress, offsetof(k::mach_header, sizeofcmds));
  *limit = std::min(*headerSize + sizeofcmds, slice->size);
  return true;
}

ZOZMachOSlice sliceAt(const void* start, size_t size) {
  ZOZMachOSlice slice;
  slice.startAddress = start;
  slice.size = size;
  // The CPU type and subtype are header bytes 4 to 11 (any magic).
  if (size >= 12) {
    slice.cputype = load<int32_t>(start, offsetof(k::mach_header, cputype));
    slice.cpusubtype = load<int32_t>(start, offsetof(k::mach_header, cpusubtype));
  }
  return slice;
}

bool isFatMagic(uint32_t magicAsBigEndian) { return magicAsBigEndian == k::FAT_MAGIC || magicAsBigEndian == k::FAT_CIGAM; }

// `size` kZOZMachOSliceSizeUnknown: memory of unknown extent, taken as it says.
void enumerateSlices(const void* start, size_t size, const ZOZMachOSliceBlock& block) {
  if (!start || !block) return;
  if (size >= kFatHeaderSize && isFatMagic(loadBigEndian(start, 0))) {
    const uint32_t count = loadBigEndian(start, 4);
    const bool bounded = size != kZOZMachOSliceSizeUnknown;
    // A table that does not fit in the file is no table.
    if (bounded && (size - kFatHeaderSize) / kFatEntrySize < count) return;
    for (uint32_t i = 0; i < count; ++i) {
      const size_t entry = kFatHeaderSize + size_t(i) * kFatEntrySize;
      const uint32_t offset = loadBigEndian(start, entry + 8);
      const uint32_t length = loadBigEndian(start, entry + 12);
      if (bounded && (offset >= size || length > size - offset)) return;
      ZOZMachOSlice slice;
      slice.startAddress = static_cast<const char*>(start) + offset;
      slice.cputype = int32_t(loadBigEndian(start, entry));
      slice.cpusubtype = int32_t(loadBigEndian(start, entry + 4));
      slice.size = bounded ? length : kZOZMachOSliceSizeUnknown;
      block(slice);
    }
    return;
  }
  block(sliceAt(start, size));
}

}  // namespace

bool ZOZMachOFileInitWithPath(ZOZMachOFile* file, const char* path) {
  if (!file || !path) return false;
  *file = ZOZMachOFile{};
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < off_t(kMinimumFileSize)) {
    ::close(fd);
    return false;
  }
  void* mapping = ::mmap(nullptr, size_t(status.st_size), PROT_READ, MAP_SHARED, fd, 0);
  if (mapping == MAP_FAILED) {
    ::close(fd);
    return false;
  }
  file->fd = fd;
  file->mappedSize = size_t(status.st_size);
  file->mappedFile = mapping;
  return true;
}

bool ZOZMachOFileInitWithCurrent(ZOZMachOFile* file) {
  const ZOZMachOSlice slice = ZOZMachOGetSlice();
  const auto path = ZOZMachOSliceGetExecutablePath(&slice);
  return path && ZOZMachOFileInitWithPath(file, path->c_str());
}

void ZOZMachOFileDestroy(ZOZMachOFile* file) {
  if (!file) return;
  if (file->mappedFile) ::munmap(const_cast<void*>(file->mappedFile), file->mappedSize);
  if (file->fd >= 0) ::close(file->fd);
  *file = ZOZMachOFile{};
}

ZOZMachOSlice ZOZMachOGetSlice() {
  ZOZMachOSlice slice;
  slice.startAddress = k::_NSGetMachExecuteHeader();
#if defined(__aarch64__)
  slice.cputype = k::CPU_TYPE_ARM64;
  slice.cpusubtype = k::CPU_SUBTYPE_ARM64_ALL;
#else
  slice.cputype = k::CPU_TYPE_X86_64;
  slice.cpusubtype = k::CPU_SUBTYPE_X86_64_ALL;
#endif
  return slice;
}

std::optional<std::string> ZOZMachOSliceGetExecutablePath(const ZOZMachOSlice* slice) {
  if (!slice || !slice->startAddress) return std::nullopt;
  auto info = k::imageInfoForHeader(slice->startAddress);
  if (!info || info->path.empty()) return std::nullopt;
  return info->path;
}

void ZOZMachOFileEnumerateSlices(const ZOZMachOFile* file, const ZOZMachOSliceBlock& block) {
  if (!file || !file->mappedFile || file->mappedSize == 0) return;
  enumerateSlices(file->mappedFile, file->mappedSize, block);
}

void ZOZMachOEnumerateSlicesAtAddress(const void* address, const ZOZMachOSliceBlock& block) {
  enumerateSlices(address, kZOZMachOSliceSizeUnknown, block);
}

const char* ZOZMachOSliceGetArchitectureName(const ZOZMachOSlice* slice) {
  if (!slice) return "unknown";
  const int32_t type = slice->cputype;
  const int32_t subtype = int32_t(uint32_t(slice->cpusubtype) & ~k::CPU_SUBTYPE_MASK);
  if (type == k::CPU_TYPE_ARM && subtype == k::CPU_SUBTYPE_ARM_V7S) return "armv7s";
  if (type == k::CPU_TYPE_ARM && subtype == k::CPU_SUBTYPE_ARM_V7K) return "armv7k";
  if (type == k::CPU_TYPE_ARM64 && subtype == k::CPU_SUBTYPE_ARM64_ALL) return "arm64";
  if (type == k::CPU_TYPE_ARM64 && subtype == k::CPU_SUBTYPE_ARM64E) return "arm64e";
  // The platform's names for the other types and subtypes.
  switch (type) {
    case k::CPU_TYPE_X86:
      return "i386";
    case k::CPU_TYPE_X86_64:
      return subtype == k::CPU_SUBTYPE_X86_64_H ? "x86_64h" : "x86_64";
    case k::CPU_TYPE_ARM:
      switch (subtype) {
        case k::CPU_SUBTYPE_ARM_V6: return "armv6";
        case k::CPU_SUBTYPE_ARM_V7: return "armv7";
        default: return "arm";
      }
    case k::CPU_TYPE_ARM64:
      return subtype == k::CPU_SUBTYPE_ARM64_V8 ? "arm64v8" : "arm64";
    case k::CPU_TYPE_ARM64_32:
      return "arm64_32";
    case k::CPU_TYPE_POWERPC:
      return "ppc";
    case k::CPU_TYPE_POWERPC64:
      return "ppc64";
    default:
      return "unknown";
  }
}

bool ZOZMachOSliceIs64Bit(const ZOZMachOSlice* slice) { return slice && (slice->cputype & k::CPU_ARCH_ABI64) != 0; }

void ZOZMachOSliceEnumerateLoadCommands_f(const ZOZMachOSlice* slice, void* context,
                                          ZOZMachOLoadCommandFunction function) {
  size_t headerSize = 0;
  size_t limit = 0;
  if (!function || !commandBounds(slice, &headerSize, &limit)) return;
  const uint32_t count = load<uint32_t>(slice->startAddress, offsetof(k::mach_header, ncmds));
  const char* start = static_cast<const char*>(slice->startAddress);
  size_t at = headerSize;
  for (uint32_t i = 0; i < count; ++i) {
    if (at > limit || limit - at < kLoadCommandSize) return;
    const uint32_t type = load<uint32_t>(start, at);
    const uint32_t size = load<uint32_t>(start, at + 4);
    if (size < kLoadCommandSize || size > limit - at) return;
    function(type, size, start + at, context);
    at += size;
  }
}

void ZOZMachOSliceEnumerateLoadCommands(const ZOZMachOSlice* slice, const ZOZMachOLoadCommandBlock& block) {
  if (!block) return;
  ZOZMachOSliceEnumerateLoadCommands_f(
      slice, const_cast<ZOZMachOLoadCommandBlock*>(&block), [](uint32_t type, uint32_t size, const void* command,
                                                               void* context) {
        (*static_cast<const ZOZMachOLoadCommandBlock*>(context))(type, size, command);
      });
}

bool ZOZMachOGetUUID(const void* command, uint32_t size, uint8_t uuid[16]) {
  if (!command || !uuid || size < sizeof(k::uuid_command)) return false;
  std::memcpy(uuid, static_cast<const char*>(command) + kLoadCommandSize, 16);
  return true;
}

const char* ZOZMachOGetDylibName(const void* command, uint32_t size) {
  if (!command || size < sizeof(k::dylib_command)) return nullptr;
  const uint32_t offset = load<uint32_t>(command, offsetof(k::dylib_command, name_offset));
  if (offset >= size) return nullptr;
  const char* name = static_cast<const char*>(command) + offset;
  // The name must end inside the command.
  if (::memchr(name, '\0', size - offset) == nullptr) return nullptr;
  return name;
}

bool ZOZMachOIsEncrypted(const void* command, uint32_t size) {
  if (!command || size < sizeof(k::encryption_info_command)) return false;
  return load<uint32_t>(command, offsetof(k::encryption_info_command, cryptid)) != 0;
}

ZOZMachOVersion ZOZMachOVersionFromPacked(uint32_t packed) {
  return ZOZMachOVersion{packed >> 16, (packed >> 8) & 0xff, packed & 0xff};
}

ZOZMachOVersion ZOZMachOGetMinimumOSVersion(const void* command, uint32_t size) {
  if (!command || size < sizeof(k::version_min_command)) return {};
  return ZOZMachOVersionFromPacked(load<uint32_t>(command, offsetof(k::version_min_command, version)));
}

ZOZMachOVersion ZOZMachOGetSDKVersion(const void* command, uint32_t size) {
  if (!command || size < sizeof(k::version_min_command)) return {};
  return ZOZMachOVersionFromPacked(load<uint32_t>(command, offsetof(k::version_min_command, sdk)));
}

std::optional<std::string> ZOZMachOFormatVersion(const ZOZMachOVersion* version) {
  if (!version) return std::nullopt;
  return os::format("%d.%d.%d", version->major, version->minor, version->bugfix);
}
