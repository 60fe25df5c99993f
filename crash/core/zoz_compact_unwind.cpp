#include "crash/core/zoz_compact_unwind.h"

#include <cstring>

#include "crash/core/zoz_dwarf_cfi.h"
#include "crash/core/zoz_unwind_support.h"

namespace {

constexpr uint32_t kSecondLevelRegular = 2;
constexpr uint32_t kSecondLevelCompressed = 3;
constexpr uint32_t kCompressedOffsetMask = 0x00FFFFFF;

struct CompressedPageHeader {
  uint32_t kind;
  uint16_t entryPageOffset;
  uint16_t entryCount;
  uint16_t encodingsPageOffset;
  uint16_t encodingsCount;
};

bool isValidAddress(uint64_t address) { return address >= kZOZUnwindMinimumValidAddress; }

bool readU32(uint64_t address, uint32_t* value) { return ZOZReadMemory(address, value, sizeof *value); }

}  // namespace

bool ZOZCompactUnwindInit(ZOZCompactUnwindContext* context, uint64_t unwindInfo, uint64_t ehFrame,
                          uint64_t loadAddress) {
  if (!isValidAddress(uintptr_t(context))) {
    ZOZ_UNWIND_WARN("Error: invalid context passed to compact unwind init");
    return false;
  }
  if (!isValidAddress(unwindInfo)) {
    ZOZ_UNWIND_WARN("Error: invalid unwind info passed to compact unwind init");
    return false;
  }
  if (!isValidAddress(loadAddress)) {
    ZOZ_UNWIND_WARN("Error: invalid load address passed to compact unwind init");
    return false;
  }
  std::memset(context, 0, sizeof *context);
  if (!ZOZReadMemory(unwindInfo, &context->unwindHeader, sizeof context->unwindHeader)) {
    ZOZ_UNWIND_WARN("Error: could not read memory contents of unwindInfo");
    return false;
  }
  if (context->unwindHeader.version != 1) {
    ZOZ_UNWIND_WARN("Error: bad unwind_info structure version (%d != %d)", int(context->unwindHeader.version), 1);
    return false;
  }
  context->unwindInfo = unwindInfo;
  context->ehFrame = ehFrame;
  context->loadAddress = loadAddress;
  return true;
}

bool ZOZCompactUnwindLookupAndCompute(ZOZCompactUnwindContext* context, ZOZThreadContext* state) {
  if (!context || !state) return false;
  const uint64_t pc = ZOZThreadContextGetPC(state);
  if (pc < context->loadAddress) return false;
  ZOZCompactUnwindResult result;
  std::memset(&result, 0, sizeof result);
  if (!ZOZCompactUnwindLookup(context, pc, &result)) {
    ZOZ_UNWIND_INFO("Unable to lookup compact unwind for pc %p", (void*)pc);
    return false;
  }
  if (!ZOZCompactUnwindComputeRegisters(context, &result, state)) {
    ZOZ_UNWIND_ERROR("Failed to compute registers");
    return false;
  }
  return true;
}

bool ZOZCompactUnwindLookup(ZOZCompactUnwindContext* context, uint64_t pc, ZOZCompactUnwindResult* result) {
  return ZOZCompactUnwindFindFirstLevelEntry(context, pc) && ZOZCompactUnwindLookupSecondLevel(context, pc, result);
}

bool ZOZCompactUnwindFindFirstLevelEntry(ZOZCompactUnwindContext* context, uint64_t pc) {
  if (!context || pc < context->loadAddress) return false;
  const uint64_t offset = pc - context->loadAddress;
  const uint64_t index = context->unwindInfo + context->unwindHeader.indexSectionOffset;
  const uint32_t count = context->unwindHeader.indexCount;
  ZOZCompactUnwindFirstLevelEntry entry;
  if (count >= 2 && ZOZReadMemory(index, &entry, sizeof entry)) {
    for (uint32_t i = 0; i + 1 < count; ++i) {
      ZOZCompactUnwindFirstLevelEntry next;
      if (!ZOZReadMemory(index + uint64_t(i + 1) * sizeof next, &next, sizeof next)) break;
      if (entry.functionOffset <= offset && offset < next.functionOffset) {
        context->firstLevelEntry = entry;
        context->firstLevelNextFunctionOffset = next.functionOffset;
        ZOZ_UNWIND_DEBUG("Found first level (second => %u)", unsigned(entry.secondLevelPagesSectionOffset));
        return true;
      }
      // The index is sorted, each entry above the one before: no later entry
      // starts at or before the pc, and an entry that does not rise is
      // damage (a run of zeros would otherwise be scanned to its end).
      if (entry.functionOffset > offset || next.functionOffset <= entry.functionOffset) break;
      entry = next;
    }
  }
  ZOZ_UNWIND_WARN("Unable to find pc in first level");
  return false;
}

bool ZOZCompactUnwindLookupSecondLevel(ZOZCompactUnwindContext* context, uint64_t pc,
                                       ZOZCompactUnwindResult* result) {
  if (!context || !result) return false;
  const uint64_t page = context->unwindInfo + context->firstLevelEntry.secondLevelPagesSectionOffset;
  uint32_t kind = 0;
  bool found = false;
  if (!readU32(page, &kind)) {
    ZOZ_UNWIND_ERROR("Unrecognized header kind - unable to continue");
  } else if (kind == kSecondLevelCompressed) {
    ZOZ_UNWIND_INFO("Found a second level compressed header");
    found = ZOZCompactUnwindLookupSecondLevelCompressed(context, pc, result);
  } else if (kind == kSecondLevelRegular) {
    ZOZ_UNWIND_INFO("Found a second level regular header");
    ZOZ_UNWIND_WARN("Encountered a regular second-level page");
  } else {
    ZOZ_UNWIND_ERROR("Unrecognized header kind - unable to continue");
  }
  if (!found) ZOZ_UNWIND_INFO("Second-level PC lookup failed");
  return found;
}

bool ZOZCompactUnwindLookupSecondLevelCompressed(ZOZCompactUnwindContext* context, uint64_t pc,
                                                 ZOZCompactUnwindResult* result) {
  if (!context || !result) return false;
  const uint64_t page = context->unwindInfo + context->firstLevelEntry.secondLevelPagesSectionOffset;
  CompressedPageHeader header;
  if (!ZOZReadMemory(page, &header, sizeof header)) return false;

  const uint64_t functionBase = context->loadAddress + context->firstLevelEntry.functionOffset;
  uint32_t target = 0;
  if (pc <= functionBase) {
    ZOZ_UNWIND_WARN("Error: PC is invalid");
  } else if (pc - functionBase <= kCompressedOffsetMask) {
    target = uint32_t(pc - functionBase);
  } else {
    // Beyond what a 24-bit entry can reach: the last entry's range decides.
    target = kCompressedOffsetMask;
  }

  const uint64_t entries = page + header.entryPageOffset;
  uint32_t index = 0;
  if (!ZOZCompactUnwindSearchCompressedEntries(target, &index, header.entryCount, entries)) {
    ZOZ_UNWIND_INFO("Unable to find PC in second level");
    return false;
  }
  uint32_t entry = 0;
  if (!readU32(entries + uint64_t(index) * 4, &entry)) return false;
  const uint64_t start = functionBase + (entry & kCompressedOffsetMask);
  uint64_t end = 0;
  if (index + 1u < header.entryCount) {
    uint32_t next = 0;
    if (!readU32(entries + uint64_t(index + 1) * 4, &next)) return false;
    end = functionBase + (next & kCompressedOffsetMask);
  } else {
    end = context->loadAddress + context->firstLevelNextFunctionOffset;
  }
  if (pc < start || pc >= end) {
    ZOZ_UNWIND_WARN("PC does not match computed function range");
    return false;
  }

  // An index past both arrays gives no encoding, like an encoding of 0.
  const uint32_t encodingIndex = entry >> 24;
  const uint32_t commonCount = context->unwindHeader.commonEncodingsArrayCount;
  uint32_t encoding = 0;
  if (encodingIndex < commonCount) {
    if (!readU32(context->unwindInfo + context->unwindHeader.commonEncodingsArraySectionOffset +
                     uint64_t(encodingIndex) * 4,
                 &encoding)) {
      return false;
    }
  } else if (encodingIndex - commonCount < header.encodingsCount) {
    if (!readU32(page + header.encodingsPageOffset + uint64_t(encodingIndex - commonCount) * 4, &encoding)) {
      return false;
    }
  }
  if (encoding == 0) {
    ZOZ_UNWIND_INFO("Entry has has no unwind info");
    return false;
  }
  result->encoding = encoding;
  result->functionStart = start;
  result->functionEnd = end;
  return true;
}

bool ZOZCompactUnwindSearchCompressedEntries(uint32_t targetOffset, uint32_t* index, uint32_t entryCount,
                                             uint64_t entries) {
  if (!index || entryCount == 0 || targetOffset == 0) return false;
  // Invariant: entries below `low` start at or before the target; entries
  // from `high` on start after it.
  uint32_t low = 0;
  uint32_t high = entryCount;
  while (low < high) {
    const uint32_t middle = low + (high - low) / 2;
    uint32_t entry = 0;
    if (!readU32(entries + uint64_t(middle) * 4, &entry)) return false;
    if ((entry & kCompressedOffsetMask) <= targetOffset) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  *index = low == 0 ? 0 : low - 1;
  return true;
}

bool ZOZCompactUnwindComputeRegisters(ZOZCompactUnwindContext* context, const ZOZCompactUnwindResult* result,
                                      ZOZThreadContext* state) {
  if (!context || !result || !state) return false;
  switch (result->encoding & ZOZCompactUnwindModeMask) {
    case ZOZCompactUnwindModeFrame:
      return zoz_detail::framePointerStep(state, false);
    case ZOZCompactUnwindModeFrameless:
      return zoz_detail::linkRegisterStep(state);
    case ZOZCompactUnwindModeDwarf:
      return ZOZCompactUnwindDwarfFrame(context, result->encoding & ZOZCompactUnwindDwarfOffsetMask, state);
    default:
      ZOZ_UNWIND_WARN("Invalid encoding 0x%x", unsigned(result->encoding));
      return false;
  }
}

bool ZOZCompactUnwindDwarfFrame(ZOZCompactUnwindContext* context, uint64_t fdeOffset, ZOZThreadContext* state) {
  if (!context || !state) return false;
  ZOZ_UNWIND_INFO("Trying to read dwarf data with offset %lx", (unsigned long)fdeOffset);
  ZOZDwarfCFIRecord record;
  if (!ZOZDwarfLoadFDEAtOffset(&record, context->ehFrame, fdeOffset)) {
    ZOZ_UNWIND_ERROR("Unable to init FDE");
    return false;
  }
  if (!ZOZDwarfUnwindComputeRegisters(&record, state)) {
    ZOZ_UNWIND_ERROR("Failed to compute DWARF registers");
    return false;
  }
  return true;
}
