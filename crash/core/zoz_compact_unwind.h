// Compact unwind information ("__unwind_info", version 1, ARM64 encodings):
// finding a function's encoding and applying it to a register state.
//
// Layout read here (offsets from the section's start, little-endian):
//  - a 28-byte header: version, common-encodings array offset and count,
//    personality array offset and count, index offset and count;
//  - the first-level index: 12-byte entries (function offset from the image,
//    second-level page offset, LSDA index offset), sorted by function
//    offset; the last entry only closes the range of the one before;
//  - second-level pages. Compressed pages (kind 3) hold 32-bit entries: low
//    24 bits the function's offset from the first-level entry's function,
//    high 8 bits an encoding index (common array first, then the page's own
//    array). Regular pages (kind 2) are recognised and not read.
//
// Encodings by mode (encoding AND 0x0F000000): frame-based (the frame
// record at fp; saved register pairs are not restored), frameless (pc = lr;
// the stack size is not applied), DWARF (the FDE at the low 24 bits'
// offset in "__eh_frame").
//
// Every read of the section goes through the safe memory read; nothing is
// allocated and no lock is taken, so all of it may run in a signal handler.
// The first-level scan stops at the first entry beyond the pc and at the
// first that does not rise above the one before (the index is sorted), so a
// damaged count cannot make it walk far.
#pragma once

#include <cstdint>

#include "crash/core/zoz_register_state.h"

inline constexpr uint32_t ZOZCompactUnwindModeMask = 0x0F000000;
inline constexpr uint32_t ZOZCompactUnwindModeFrameless = 0x02000000;
inline constexpr uint32_t ZOZCompactUnwindModeDwarf = 0x03000000;
inline constexpr uint32_t ZOZCompactUnwindModeFrame = 0x04000000;
inline constexpr uint32_t ZOZCompactUnwindDwarfOffsetMask = 0x00FFFFFF;

struct ZOZCompactUnwindHeader {
  uint32_t version;
  uint32_t commonEncodingsArraySectionOffset;
  uint32_t commonEncodingsArrayCount;
  uint32_t personalityArraySectionOffset;
  uint32_t personalityArrayCount;
  uint32_t indexSectionOffset;
  uint32_t indexCount;
};
static_assert(sizeof(ZOZCompactUnwindHeader) == 28);

struct ZOZCompactUnwindFirstLevelEntry {
  uint32_t functionOffset;
  uint32_t secondLevelPagesSectionOffset;
  uint32_t lsdaIndexArraySectionOffset;
};

struct ZOZCompactUnwindContext {
  uint64_t unwindInfo;
  uint64_t ehFrame;      // 0 when the image has none
  uint64_t loadAddress;  // the image's header address
  ZOZCompactUnwindHeader unwindHeader;
  ZOZCompactUnwindFirstLevelEntry firstLevelEntry;
  uint32_t firstLevelNextFunctionOffset;  // where that entry's range ends
};

struct ZOZCompactUnwindResult {
  uint32_t encoding;
  uint64_t functionStart;
  uint64_t functionEnd;
};

bool ZOZCompactUnwindInit(ZOZCompactUnwindContext* context, uint64_t unwindInfo, uint64_t ehFrame,
                          uint64_t loadAddress);
// Finds the state's pc and applies its encoding to the state.
bool ZOZCompactUnwindLookupAndCompute(ZOZCompactUnwindContext* context, ZOZThreadContext* state);
bool ZOZCompactUnwindLookup(ZOZCompactUnwindContext* context, uint64_t pc, ZOZCompactUnwindResult* result);
bool ZOZCompactUnwindFindFirstLevelEntry(ZOZCompactUnwindContext* context, uint64_t pc);
bool ZOZCompactUnwindLookupSecondLevel(ZOZCompactUnwindContext* context, uint64_t pc,
                                       ZOZCompactUnwindResult* result);
bool ZOZCompactUnwindLookupSecondLevelCompressed(ZOZCompactUnwindContext* context, uint64_t pc,
                                                 ZOZCompactUnwindResult* result);
// Binary search of `entryCount` compressed entries at `entries` for the last
// whose function offset is at most `targetOffset` (the first when all lie
// above it); false for no entries or a target of 0.
bool ZOZCompactUnwindSearchCompressedEntries(uint32_t targetOffset, uint32_t* index, uint32_t entryCount,
                                             uint64_t entries);
bool ZOZCompactUnwindComputeRegisters(ZOZCompactUnwindContext* context, const ZOZCompactUnwindResult* result,
                                      ZOZThreadContext* state);
bool ZOZCompactUnwindDwarfFrame(ZOZCompactUnwindContext* context, uint64_t fdeOffset, ZOZThreadContext* state);
