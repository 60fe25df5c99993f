// Binary images: every image the loader maps into the process, logged to
// "binary_images.zozrecord" as it comes and goes, and kept in a fixed table
// of the writable context so that the crash path can find an address's image
// and its unwind and crash-information sections without allocating.
//
// Images are the os/kernel registry's: the process's real ELF images (UUID =
// the GNU build-id, extent = the mapped segments, ".eh_frame" and its
// ".eh_frame_hdr" search table; never encrypted, versions 0.0.0) and
// synthetic Mach-O images, whose load commands give the UUID, the "__TEXT"
// size, encryption, versions and the sections "__unwind_info", "__eh_frame"
// ("__TEXT") and "__crash_info" ("__DATA").
//
// Record lines: {"load":{...}} or {"unload":{...}} with "path", for a loaded
// image whose path does not begin with "/System" and contains ".framework"
// the framework bundle's "bundle_id", "build_version" and "display_version"
// (each only when not empty), then "uuid", "base" and "size".
//
// Concurrency: the loader's callbacks may come on any thread; every table
// update and record write runs on the context's binary-images queue. The
// table's bases are read and replaced atomically, so the crash path reads it
// without a lock (with the other threads suspended) and never sees a slot
// half-claimed. ZOZBinaryImageSafeFindImageForAddress is async-signal-safe;
// everything else here is ordinary code.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crash/core/zoz_file.h"
#include "crash/core/zoz_macho.h"

inline constexpr size_t kZOZBinaryImageSlotCount = 1024;
inline constexpr const char* kZOZBinaryImageRecordFileName = "binary_images.zozrecord";

// One slot of the table. A free slot has base 0. Read `baseAddress` with
// ZOZBinaryImageNodeBase (atomically); the other fields are written after the
// base has been claimed, before the next image event is handled.
struct ZOZBinaryImageRuntimeNode {
  uintptr_t baseAddress = 0;  // the image's header address
  uint64_t size = 0;          // [baseAddress, baseAddress + size) is the image
  uintptr_t ehFrame = 0;      // "__eh_frame" / ".eh_frame", 0 when none
  uintptr_t unwindInfo = 0;   // "__unwind_info", 0 when none (no unwind information)
  uintptr_t crashInfo = 0;    // "__crash_info", 0 when none
  uintptr_t ehFrameHdr = 0;   // ".eh_frame_hdr" and its search table (ELF), 0 when none
};

inline uintptr_t ZOZBinaryImageNodeBase(const ZOZBinaryImageRuntimeNode& node) {
  return __atomic_load_n(&node.baseAddress, __ATOMIC_ACQUIRE);
}

// The binary-image part of the writable context.
struct ZOZBinaryImageWritableContext {
  ZOZFile file;  // the image log while it is open
  ZOZBinaryImageRuntimeNode nodes[kZOZBinaryImageSlotCount];
};

// The binary-image part of the read-only context.
struct ZOZBinaryImageReadOnlyContext {
  const char* path = nullptr;  // "binary_images.zozrecord" in the report directory
};

// What an image's headers say about it.
struct ZOZBinaryImageDetails {
  ZOZMachOSlice slice;           // the header, and the CPU type for Mach-O images
  uintptr_t baseAddress = 0;     // the header address
  intptr_t vmaddrSlide = 0;      // the loader's slide
  uint64_t size = 0;             // "__TEXT"'s vmsize, or the mapped extent
  char uuidString[33] = {};      // 32 lower-case hex digits, or empty
  bool encrypted = false;        // LC_ENCRYPTION_INFO's crypt id is not 0
  ZOZMachOVersion minSDK;        // from a version-minimum command, else 0.0.0
  ZOZMachOVersion builtSDK;
  ZOZBinaryImageRuntimeNode node;  // base, size and the slid section addresses
};

// Start-up task: clears the image log's handle and the table, resets the
// image log and starts tracking (the loader's callbacks report every image
// already loaded, then each that comes or goes). Requires the context's
// read-only and writable parts.
void ZOZBinaryImageInit();

// Async-signal-safe. The first loaded image whose [base, base + size) holds
// the address, copied into *image; false when none, or while the context is
// not initialized.
bool ZOZBinaryImageSafeFindImageForAddress(uintptr_t address, ZOZBinaryImageRuntimeNode* image);

// Async-signal-safe (the crash path runs it with the other threads
// suspended). Adds to the table every image that the loader has mapped and
// the table lacks (a library opened after start-up whose loader callbacks
// have not been handled): the loader's list of loaded objects and each
// object's ELF headers are read with the safe reads, without the loader's
// lock and without the heap. Each one added gets a "load" line in the image
// log, so that the report can be symbolicated. Returns how many were added.
size_t ZOZBinaryImageSafeAddUnlistedImages();

// Searches the loader's current images for the one whose UUID text matches
// (the first 33 characters compared). Ordinary code.
bool ZOZBinaryImageFindImageForUUID(const char* uuidString, ZOZBinaryImageDetails* details);

// Writes the entries "uuid", "base" and "size" ("Error: file is invalid"
// without a file). Async-signal-safe.
void ZOZBinaryImageRecordDetails(ZOZFile* file, const ZOZBinaryImageDetails* details);

// Fills the details of the image whose header is details->slice.startAddress,
// loaded with details->vmaddrSlide. Ordinary code (it asks the registry about
// ELF images).
void ZOZBinaryImageFillInImageDetails(ZOZBinaryImageDetails* details);
