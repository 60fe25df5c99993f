// The dynamic loader's image registry, Mach-shaped over the real ELF images.
//
// The registry lists the images the process has loaded: the real ELF images
// that dl_iterate_phdr reports (the main program first, then libraries in
// load order) and synthetic Mach-O images that tests add and remove. For an
// ELF image the "header" handed out is the address of its ELF header; it is
// an address to compare and look up with imageInfoForHeader, not a Mach-O
// header to walk (check isMachOHeader first). For a synthetic image it is
// the test's Mach-O header bytes, which stay the test's to keep alive while
// the image is registered.
//
// Add callbacks are called at once, on the registering thread, for every
// image loaded then, and later for every image that arrives; remove
// callbacks for every image that goes. The registry notices ELF images that
// arrive or go by the loader's add and remove counters, re-read whenever a
// callback registers, a library is opened or closed through dlopen/dlclose
// below, or the image list is read. Callbacks run one at a time (never two
// at once) and may call back into the registry. A remove callback runs
// after the library is gone: its ELF header address can no longer be read,
// but imageInfoForHeader still answers for it until the callback returns.
//
// Thread-safe. Nothing here is async-signal-safe: crash-time code keeps its
// own table, filled from the callbacks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace os::kernel {

// ---- Mach-O headers, as far as loaded images need them ----
inline constexpr uint32_t MH_MAGIC = 0xfeedface;
inline constexpr uint32_t MH_MAGIC_64 = 0xfeedfacf;
inline constexpr uint32_t MH_EXECUTE = 0x2;  // file type of a main executable
inline constexpr uint32_t LC_SEGMENT = 0x1;
inline constexpr uint32_t LC_SEGMENT_64 = 0x19;
inline constexpr uint32_t LC_UUID = 0x1b;
inline constexpr uint32_t LC_ENCRYPTION_INFO = 0x21;
inline constexpr uint32_t LC_VERSION_MIN_MACOSX = 0x24;
inline constexpr uint32_t LC_VERSION_MIN_IPHONEOS = 0x25;
inline constexpr uint32_t LC_VERSION_MIN_TVOS = 0x2F;
inline constexpr uint32_t LC_VERSION_MIN_WATCHOS = 0x30;

struct mach_header {
  uint32_t magic;
  int32_t cputype;
  int32_t cpusubtype;
  uint32_t filetype;
  uint32_t ncmds;
  uint32_t sizeofcmds;
  uint32_t flags;
};
// The file format's layouts: 64-bit forms repeat the 32-bit fields, byte for byte.
struct mach_header_64 {
  uint32_t magic;
  int32_t cputype;
  int32_t cpusubtype;
  uint32_t filetype;
  uint32_t ncmds;
  uint32_t sizeofcmds;
  uint32_t flags;
  uint32_t reserved;
};
struct load_command {
  uint32_t cmd;
  uint32_t cmdsize;
};
struct segment_command {
  uint32_t cmd;
  uint32_t cmdsize;
  char segname[16];
  uint32_t vmaddr;
  uint32_t vmsize;
  uint32_t fileoff;
  uint32_t filesize;
  int32_t maxprot;
  int32_t initprot;
  uint32_t nsects;
  uint32_t flags;
};
struct segment_command_64 {
  uint32_t cmd;
  uint32_t cmdsize;
  char segname[16];
  uint64_t vmaddr;
  uint64_t vmsize;
  uint64_t fileoff;
  uint64_t filesize;
  int32_t maxprot;
  int32_t initprot;
  uint32_t nsects;
  uint32_t flags;
};
struct section_64 {
  char sectname[16];
  char segname[16];
  uint64_t addr;
  uint64_t size;
  uint32_t offset;
  uint32_t align;
  uint32_t reloff;
  uint32_t nreloc;
  uint32_t flags;
  uint32_t reserved1;
  uint32_t reserved2;
  uint32_t reserved3;
};
struct uuid_command {
  uint32_t cmd;
  uint32_t cmdsize;
  uint8_t uuid[16];
};
struct encryption_info_command {
  uint32_t cmd;
  uint32_t cmdsize;
  uint32_t cryptoff;
  uint32_t cryptsize;
  uint32_t cryptid;
};
struct version_min_command {
  uint32_t cmd;
  uint32_t cmdsize;
  uint32_t version;  // X.Y.Z as xxxx.yy.zz nibbles
  uint32_t sdk;
};

// ---- Mach-O files, as far as file parsing needs them ----
// The header magics as read in the other byte order.
inline constexpr uint32_t MH_CIGAM = 0xcefaedfe;
inline constexpr uint32_t MH_CIGAM_64 = 0xcffaedfe;
// Fat (universal) files: a big-endian header and one big-endian entry per
// architecture.
inline constexpr uint32_t FAT_MAGIC = 0xcafebabe;
inline constexpr uint32_t FAT_CIGAM = 0xbebafeca;
struct fat_header {
  uint32_t magic;
  uint32_t nfat_arch;
};
struct fat_arch {
  int32_t cputype;
  int32_t cpusubtype;
  uint32_t offset;
  uint32_t size;
  uint32_t align;
};
inline constexpr uint32_t LC_LOAD_DYLIB = 0xc;
inline constexpr uint32_t LC_ENCRYPTION_INFO_64 = 0x2C;
struct dylib_command {
  uint32_t cmd;
  uint32_t cmdsize;
  uint32_t name_offset;  // from the start of the command
  uint32_t timestamp;
  uint32_t current_version;
  uint32_t compatibility_version;
};
// CPU types and the subtypes callers name.
inline constexpr int32_t CPU_ARCH_ABI64 = 0x01000000;
inline constexpr int32_t CPU_ARCH_ABI64_32 = 0x02000000;
inline constexpr int32_t CPU_TYPE_X86 = 7;
inline constexpr int32_t CPU_TYPE_X86_64 = CPU_TYPE_X86 | CPU_ARCH_ABI64;
inline constexpr int32_t CPU_TYPE_ARM = 12;
inline constexpr int32_t CPU_TYPE_ARM64 = CPU_TYPE_ARM | CPU_ARCH_ABI64;
inline constexpr int32_t CPU_TYPE_ARM64_32 = CPU_TYPE_ARM | CPU_ARCH_ABI64_32;
inline constexpr int32_t CPU_TYPE_POWERPC = 18;
inline constexpr int32_t CPU_TYPE_POWERPC64 = CPU_TYPE_POWERPC | CPU_ARCH_ABI64;
// Capability bits in the subtype's high byte.
inline constexpr uint32_t CPU_SUBTYPE_MASK = 0xff000000u;
inline constexpr int32_t CPU_SUBTYPE_X86_ALL = 3;
inline constexpr int32_t CPU_SUBTYPE_X86_64_ALL = 3;
inline constexpr int32_t CPU_SUBTYPE_X86_64_H = 8;
inline constexpr int32_t CPU_SUBTYPE_ARM_ALL = 0;
inline constexpr int32_t CPU_SUBTYPE_ARM_V6 = 6;
inline constexpr int32_t CPU_SUBTYPE_ARM_V7 = 9;
inline constexpr int32_t CPU_SUBTYPE_ARM_V7S = 11;
inline constexpr int32_t CPU_SUBTYPE_ARM_V7K = 12;
inline constexpr int32_t CPU_SUBTYPE_ARM64_ALL = 0;
inline constexpr int32_t CPU_SUBTYPE_ARM64_V8 = 1;
inline constexpr int32_t CPU_SUBTYPE_ARM64E = 2;

// Whether `header` points at a Mach-O header (32- or 64-bit magic).
bool isMachOHeader(const void* header);

// The section `sectname` of segment `segname` in a 64-bit Mach-O header's
// load commands, or null (no such section, not a 64-bit Mach-O header,
// load commands that overrun sizeofcmds). Addresses in it are unslid.
const section_64* getsectbynamefromheader_64(const mach_header_64* header, const char* segname,
                                             const char* sectname);

// ---- The registry ----
enum class ImageFormat { ELF, MachO };

struct ImageInfo {
  ImageFormat format = ImageFormat::ELF;
  const void* header = nullptr;
  intptr_t slide = 0;       // the load bias
  std::string path;         // the main program's: its executable's path
  // ELF only (0 or false for synthetic images, whose load commands say):
  uintptr_t vmaddr = 0;     // the mapped extent: lowest loaded address ...
  uint64_t vmsize = 0;      // ... and its size up to the highest
  bool hasUUID = false;
  uint8_t uuid[16] = {};    // the first 16 bytes of the GNU build-id
  uintptr_t ehFrame = 0;    // .eh_frame, through .eh_frame_hdr's pointer
  uint64_t ehFrameSize = 0; // up to its terminator
  uintptr_t ehFrameHdr = 0; // .eh_frame_hdr and its search table
  uint64_t ehFrameHdrSize = 0;
  // The main program only: whether the executable is encrypted.
  bool encrypted = false;
  bool isMainProgram = false;
};

// The record of a registered image (or of one whose remove callbacks run).
std::optional<ImageInfo> imageInfoForHeader(const void* header);

using dyld_image_callback = void (*)(const mach_header* header, intptr_t slide);
void _dyld_register_func_for_add_image(dyld_image_callback callback);
void _dyld_register_func_for_remove_image(dyld_image_callback callback);

// Index access to the current list (0 is the main program). Indices shift as
// images come and go: out of range gives 0 / null.
uint32_t _dyld_image_count();
const mach_header* _dyld_get_image_header(uint32_t index);
intptr_t _dyld_get_image_vmaddr_slide(uint32_t index);
// Valid while the image stays registered.
const char* _dyld_get_image_name(uint32_t index);

// The main program's header and path (the path into `buffer`, zero-terminated;
// -1 with *size set to the room needed when it does not fit).
const mach_header* _NSGetMachExecuteHeader();
int _NSGetExecutablePath(char* buffer, uint32_t* size);

// Libraries opened and closed through the registry, so that it reports them
// at once. Same contracts as the system calls.
void* dlopen(const char* path, int mode);
int dlclose(void* handle);

// Synthetic Mach-O images (tests): false when the bytes are not a Mach-O
// header or the header is registered already / not registered.
bool addSyntheticImage(const mach_header_64* header, intptr_t slide, std::string path);
bool removeSyntheticImage(const mach_header_64* header);

}  // namespace os::kernel
