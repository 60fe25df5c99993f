// Feeds bytes to the unwinder's readers as a CIE, an FDE with its CIE,
// call-frame instructions, an expression, compact unwind information, an
// ".eh_frame_hdr" search table, or a run of encoded values, and applies what
// parses to register states of both layouts whose registers point into the
// bytes.
//
// The bytes sit at the end of a mapping that an inaccessible page follows,
// in low memory (the ARM64 layout keeps 36 bits of its addresses), so reads
// past them fail as they would past a damaged section. Whatever the bytes,
// every call must return: a fault, a hang or a sanitizer report is a
// finding.
//
// Input: byte 0 picks the reader, bytes 1 to 7 are a knob (offsets, limits,
// factors; its top bit puts a section cache in force), the rest is the data.
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "crash/core/zoz_compact_unwind.h"
#include "crash/core/zoz_dwarf_cfi.h"
#include "os/kernel/vm.h"

// The capture core's internal log has no context here, so it writes nothing.
void ZOZSDKFileLog(int, const char*, ...) {}

// As the capture core's (zoz_utilities.cpp): the kernel stand-in's safe read.
bool ZOZReadMemory(uintptr_t source, void* destination, size_t length) {
  if (source < 4096 || !destination) return false;
  os::kernel::vm_size_t read = 0;
  return os::kernel::vm_read_overwrite(os::kernel::mach_task_self(), source, length,
                                       reinterpret_cast<os::kernel::vm_address_t>(destination),
                                       &read) == os::kernel::KERN_SUCCESS;
}

namespace {

constexpr size_t kRegion = 1 << 16;

// kRegion writable bytes, then a page without access.
uint8_t* region() {
  static uint8_t* base = [] {
    for (uint64_t hint = 0x10000000; hint < 0x70000000; hint += 0x01000000) {
      void* p = ::mmap(reinterpret_cast<void*>(hint), kRegion + 4096, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
      if (p == MAP_FAILED) continue;
      if (::mprotect(static_cast<uint8_t*>(p) + kRegion, 4096, PROT_NONE) != 0) std::abort();
      return static_cast<uint8_t*>(p);
    }
    std::abort();
  }();
  return base;
}

ZOZThreadContext stateFor(ZOZRegisterLayout layout, uint64_t start, uint64_t pc, uint64_t knob) {
  ZOZThreadContext state;
  state.layout = layout;
  if (layout == ZOZRegisterLayout::X86_64) {
    state.x86_64 = {};
    state.x86_64.rip = pc;
    state.x86_64.rsp = start + (knob & 0xFF);
    state.x86_64.rbp = start + ((knob >> 8) & 0xFF);
    state.x86_64.rax = start;
  } else {
    state.arm64.ss.pc = pc;
    state.arm64.ss.sp = start + (knob & 0xFF);
    state.arm64.ss.fp = start + ((knob >> 8) & 0xFF);
    state.arm64.ss.lr = pc + 4;
    state.arm64.ss.x[0] = start;
  }
  return state;
}

constexpr ZOZRegisterLayout kLayouts[] = {ZOZRegisterLayout::ARM64, ZOZRegisterLayout::X86_64};

void applyRecord(const ZOZDwarfCFIRecord& record, uint64_t start, uint64_t knob) {
  for (ZOZRegisterLayout layout : kLayouts) {
    ZOZThreadContext state = stateFor(layout, start, record.fde.pcBegin + ((knob >> 16) & 0xFFF), knob);
    ZOZDwarfUnwindComputeRegisters(&record, &state);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  const uint8_t mode = data[0] % 7;
  uint64_t knob = 0;
  std::memcpy(&knob, data + 1, 7);
  const size_t length = size - 8 < kRegion ? size - 8 : kRegion;
  uint8_t* end = region() + kRegion;
  uint8_t* bytes = end - length;
  std::memset(region(), 0, kRegion - length);
  std::memcpy(bytes, data + 8, length);
  const uint64_t start = uint64_t(bytes);
  // The knob's top bit: the section cache of the crash path serves the reads.
  std::optional<ZOZDwarfSectionCache> sections;
  if ((knob >> 55) & 1) sections.emplace();

  switch (mode) {
    case 0: {  // a CIE and its initial instructions
      ZOZDwarfCIERecord cie;
      if (!ZOZDwarfParseCIERecord(&cie, start)) break;
      for (ZOZRegisterLayout layout : kLayouts) {
        ZOZDwarfRuleSet rules{};
        ZOZDwarfInstructionsEnumerate(&cie.instructions, &cie, &rules, INT64_MAX, 0, layout);
      }
      break;
    }
    case 1: {  // an FDE at an offset, with its CIE, applied
      ZOZDwarfCFIRecord record;
      const uint64_t offset = length ? 1 + (knob & 0xFFFF) % length : 1;
      if (ZOZDwarfLoadFDEAtOffset(&record, start - 1, offset)) applyRecord(record, start, knob);
      break;
    }
    case 2: {  // instructions under a made-up CIE, then the rules applied
      ZOZDwarfCIERecord cie{};
      cie.version = 1;
      cie.codeAlignFactor = knob & 0x0F;
      cie.dataAlignFactor = int8_t(knob >> 8);
      cie.pointerEncoding = uint8_t(knob >> 16);
      const ZOZDwarfInstructions instructions{uint32_t(length), start};
      for (ZOZRegisterLayout layout : kLayouts) {
        ZOZDwarfRuleSet rules{};
        if (!ZOZDwarfInstructionsEnumerate(&instructions, &cie, &rules, int64_t(knob >> 24), start, layout)) continue;
        ZOZThreadContext state = stateFor(layout, start, start + 64, knob);
        uint64_t cfa = 0;
        if (ZOZDwarfGetCFA(&rules, &state, &cfa)) ZOZDwarfUnwindAssignRegisters(&rules, &state, cfa, &state);
      }
      break;
    }
    case 3: {  // an expression block
      for (ZOZRegisterLayout layout : kLayouts) {
        const ZOZThreadContext state = stateFor(layout, start, start, knob);
        uint64_t result = 0;
        ZOZDwarfEvalulateExpression(start, &state, knob >> 16, &result);
      }
      break;
    }
    case 4: {  // compact unwind information, its DWARF entries in the same bytes
      const uint64_t load = start & ~uint64_t(0xFFFF);
      for (ZOZRegisterLayout layout : kLayouts) {
        ZOZCompactUnwindContext context;
        if (!ZOZCompactUnwindInit(&context, start, start, load)) break;
        ZOZThreadContext state = stateFor(layout, start, load + ((knob >> 16) & 0xFFFFF), knob);
        ZOZCompactUnwindLookupAndCompute(&context, &state);
      }
      break;
    }
    case 5: {  // an ".eh_frame_hdr" table and the FDE it gives
      uint64_t fde = 0;
      if (!ZOZDwarfSearchEhFrameHeader(start, start + (knob & 0xFFFF), &fde)) break;
      ZOZDwarfCFIRecord record;
      if (ZOZDwarfParseFDERecord(&record.fde, true, &record.cie, fde)) applyRecord(record, start, knob);
      break;
    }
    case 6: {  // encoded values and LEB128 numbers, one after another
      uint64_t position = start;
      while (position < uint64_t(end)) {
        uint8_t encoding = 0;
        if (!ZOZDwarfReadU8(&position, &encoding)) break;
        if (encoding == 0xFE) {
          int64_t value = 0;
          if (!ZOZDwarfReadSLEB128(&position, &value)) break;
        } else if (ZOZParseAddressWithEncodingAndAdvance(&position, encoding) == ZOZDwarfEncodedValueFailure) {
          break;
        }
      }
      break;
    }
  }
  return 0;
}
