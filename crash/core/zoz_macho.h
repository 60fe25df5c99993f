// Mach-O files and slices: plain functions over a read-only mapping of a file
// or over an image already loaded in memory.
//
// A file is thin (one Mach-O header) or fat (magic 0xcafebabe in either byte
// order, then a count and 20-byte entries, all read big-endian; each slice
// starts at the mapping plus its entry's offset). A Mach-O header with magic
// 0xfeedface or 0xcefaedfe has its load commands 28 bytes after it,
// 0xfeedfacf or 0xcffaedfe 32 bytes; any other magic gives a slice without
// load commands. The header's fields are read in the host's byte order.
//
// Bounds: a slice from a file knows how many bytes follow its start, and
// nothing here reads past them. Fat entries that run past the mapping, or a
// slice that lies outside it, end the enumeration; a load command shorter
// than 8 bytes or reaching past the slice or past the header's sizeofcmds
// ends the walk, whatever count the header claims; so does a fat count whose
// entries do not fit in the file. A slice of a loaded image (size unknown) is
// bounded by its header's sizeofcmds. The command readers take
// the command's size and refuse commands too short for what they read.
// Every read goes through memcpy, so damaged, unaligned bytes are safe.
//
// The slice and command functions are async-signal-safe (no allocation, no
// lock); opening, mapping, path look-up and the block forms are ordinary
// code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

struct ZOZMachOFile {
  int fd = -1;
  size_t mappedSize = 0;               // the file's size
  const void* mappedFile = nullptr;    // the read-only mapping
};

// A slice's size when it is a loaded image's: bounded by its header only.
inline constexpr size_t kZOZMachOSliceSizeUnknown = SIZE_MAX;

struct ZOZMachOSlice {
  const void* startAddress = nullptr;  // the slice's Mach-O header
  int32_t cputype = 0;
  int32_t cpusubtype = 0;
  size_t size = kZOZMachOSliceSizeUnknown;  // bytes readable from startAddress
};

// A version-minimum command's packed version (major in the upper 16 bits,
// minor in bits 8 to 15, patch in bits 0 to 7), unpacked.
struct ZOZMachOVersion {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t bugfix = 0;
  friend bool operator==(const ZOZMachOVersion&, const ZOZMachOVersion&) = default;
};

// Opens `path` read-only; it must be a regular file of at least 16 bytes,
// which is mapped whole (shared, read-only). Any failure closes the
// descriptor and gives false.
bool ZOZMachOFileInitWithPath(ZOZMachOFile* file, const char* path);
// Maps the running executable's file.
bool ZOZMachOFileInitWithCurrent(ZOZMachOFile* file);
// Unmaps (when mapped) and closes.
void ZOZMachOFileDestroy(ZOZMachOFile* file);

// The running executable's slice: the main program's header and the local
// architecture's CPU type and subtype.
ZOZMachOSlice ZOZMachOGetSlice();
// The loader's path for the image whose header the slice starts at.
std::optional<std::string> ZOZMachOSliceGetExecutablePath(const ZOZMachOSlice* slice);

using ZOZMachOSliceBlock = std::function<void(const ZOZMachOSlice& slice)>;
// Once for a thin file (the whole mapping), once per fat entry in file order.
void ZOZMachOFileEnumerateSlices(const ZOZMachOFile* file, const ZOZMachOSliceBlock& block);
// The same over memory of unknown size (a loaded image).
void ZOZMachOEnumerateSlicesAtAddress(const void* address, const ZOZMachOSliceBlock& block);

// "armv7s", "armv7k", "arm64", "arm64e", else the platform's name for the
// type and subtype ("x86_64", "armv7", ...), else "unknown". Static text.
const char* ZOZMachOSliceGetArchitectureName(const ZOZMachOSlice* slice);
// The 64-bit ABI bit of the CPU type.
bool ZOZMachOSliceIs64Bit(const ZOZMachOSlice* slice);

// Calls `function` with (command, command size, command address) for each
// load command, within the bounds above.
using ZOZMachOLoadCommandFunction = void (*)(uint32_t type, uint32_t size, const void* command, void* context);
void ZOZMachOSliceEnumerateLoadCommands_f(const ZOZMachOSlice* slice, void* context,
                                          ZOZMachOLoadCommandFunction function);
using ZOZMachOLoadCommandBlock = std::function<void(uint32_t type, uint32_t size, const void* command)>;
void ZOZMachOSliceEnumerateLoadCommands(const ZOZMachOSlice* slice, const ZOZMachOLoadCommandBlock& block);

// The command readers; `size` is the command's size from the walk.
// The 16 bytes of a UUID command.
bool ZOZMachOGetUUID(const void* command, uint32_t size, uint8_t uuid[16]);
// The name of a dylib command, inside the command and zero-terminated there;
// null when the offset or the name falls outside it.
const char* ZOZMachOGetDylibName(const void* command, uint32_t size);
// The crypt id of an encryption-info command is not 0.
bool ZOZMachOIsEncrypted(const void* command, uint32_t size);
// The first and the second packed word of a version-minimum command.
ZOZMachOVersion ZOZMachOGetMinimumOSVersion(const void* command, uint32_t size);
ZOZMachOVersion ZOZMachOGetSDKVersion(const void* command, uint32_t size);
ZOZMachOVersion ZOZMachOVersionFromPacked(uint32_t packed);
// "%d.%d.%d"; nullopt for no version.
std::optional<std::string> ZOZMachOFormatVersion(const ZOZMachOVersion* version);
