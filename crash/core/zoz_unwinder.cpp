#include "crash/core/zoz_unwinder.h"

#include <atomic>
#include <cstring>

#include "crash/core/zoz_dwarf_cfi.h"
#include "crash/core/zoz_unwind_support.h"
#include "crash/core/zoz_utilities.h"

static_assert(kZOZUnwindMinimumValidAddress == kZOZMinimumValidAddress);

namespace {

std::atomic<ZOZUnwindImageLookup> gImageLookup{nullptr};

bool isValidAddress(uint64_t address) { return address >= kZOZUnwindMinimumValidAddress; }

// The image that holds `address`.
bool findImage(uint64_t address, ZOZBinaryImageRuntimeNode* image) {
  if (ZOZUnwindImageLookup lookup = gImageLookup.load(std::memory_order_acquire)) return lookup(address, image);
  return ZOZBinaryImageSafeFindImageForAddress(address, image);
}

// An ELF image: the FDE that the ".eh_frame_hdr" table gives for the pc, and
// one DWARF step.
bool unwindWithEhFrameHeader(ZOZUnwindContext* context, const ZOZBinaryImageRuntimeNode& image) {
  const uint64_t pc = ZOZThreadContextGetPC(&context->registers);
  uint64_t fde = 0;
  if (!ZOZDwarfSearchEhFrameHeader(image.ehFrameHdr, pc, &fde)) {
    ZOZ_UNWIND_INFO("Unable to find an FDE for pc %p", (void*)pc);
    return false;
  }
  ZOZDwarfCFIRecord record;
  if (!ZOZDwarfParseFDERecord(&record.fde, true, &record.cie, fde)) {
    ZOZ_UNWIND_ERROR("Unable to init FDE");
    return false;
  }
  if (pc < record.fde.pcBegin || pc - record.fde.pcBegin >= record.fde.addressRange) {
    ZOZ_UNWIND_INFO("PC %p lies outside the FDE's range", (void*)pc);
    return false;
  }
  if (!ZOZDwarfUnwindComputeRegisters(&record, &context->registers)) {
    ZOZ_UNWIND_ERROR("Failed to compute DWARF registers");
    return false;
  }
  return true;
}

bool nextFrameUsingAllStrategies(ZOZUnwindContext* context) {
  if (context->frameCount >= ZOZUnwindMaximumFrames) {
    ZOZ_UNWIND_WARN("Exceeded maximum number of frames");
    ZOZ_UNWIND_ERROR("Failed to advance to the next frame");
    return false;
  }
  if (context->frameCount > 1) {
    // A return address is looked up inside its call. The first frame's pc is
    // the interrupted instruction itself and is looked up as it is: lowered,
    // a fault on a function's first instruction would find the function
    // before it.
    const uint64_t pc = ZOZThreadContextGetPC(&context->registers) - 1;
    if (!ZOZThreadContextSetPC(&context->registers, pc)) {
      ZOZ_UNWIND_ERROR("Unable to set PC");
      ZOZ_UNWIND_ERROR("Failed to advance to the next frame");
      return false;
    }
    if (ZOZThreadContextGetPC(&context->registers) < kZOZUnwindMinimumValidAddress) {
      ZOZ_UNWIND_ERROR("PC is invalid");
      ZOZ_UNWIND_ERROR("Failed to advance to the next frame");
      return false;
    }
  }
  if (context->frameCount == 0) return true;  // the first frame is the state's own pc

  if (ZOZUnwindWithCompactUnwindInfo(context)) return true;

  if (ZOZThreadContextGetFramePointer(&context->registers) == 0) {
    ZOZ_UNWIND_WARN("FP is zero, aborting unwind");
    ZOZThreadContextSetPC(&context->registers, 0);
    return true;
  }
  if (ZOZUnwindWithFramePointer(context, context->frameCount == 1)) return true;
  ZOZ_UNWIND_ERROR("Unable to use frame pointer");
  ZOZ_UNWIND_ERROR("Failed to advance to the next frame");
  return false;
}

}  // namespace


bool ZOZUnwindInit(ZOZUnwindContext* context, const ZOZThreadContext* state) {
  if (!context || !state) return false;
  std::memset(static_cast<void*>(context), 0, sizeof *context);
  context->registers = *state;
  return true;
}

bool ZOZUnwindNextFrame(ZOZUnwindContext* context) {
  if (!isValidAddress(uintptr_t(context))) {
    ZOZ_UNWIND_WARN("Error: invalid inputs");
    return false;
  }
  const uint64_t pc = ZOZThreadContextGetPC(&context->registers);
  const uint64_t sp = ZOZThreadContextGetStackPointer(&context->registers);
  if (pc < kZOZUnwindMinimumValidAddress || sp < kZOZUnwindMinimumValidAddress) {
    if (context->frameCount == 0) {
      ZOZ_UNWIND_WARN("Cancelling unwind for thread with invalid PC/SP");
    } else {
      ZOZ_UNWIND_WARN("Error: thread PC/SP invalid before unwind");
    }
    return false;
  }
  if (!nextFrameUsingAllStrategies(context)) return false;

  const uint64_t newPC = ZOZThreadContextGetPC(&context->registers);
  const uint64_t newSP = ZOZThreadContextGetStackPointer(&context->registers);
  if (newPC < kZOZUnwindMinimumValidAddress) return false;
  if (newSP < kZOZUnwindMinimumValidAddress) {
    ZOZ_UNWIND_WARN("Error: SP (%p) isn't a valid pointer", (void*)newSP);
    return false;
  }
  context->repeatCount = newPC == context->lastFramePC ? context->repeatCount + 1 : 0;
  context->frameCount += 1;
  context->lastFramePC = newPC;
  return true;
}

uint64_t ZOZUnwindGetPC(const ZOZUnwindContext* context) {
  if (!isValidAddress(uintptr_t(context))) return 0;
  return ZOZThreadContextGetPC(&context->registers);
}

uint32_t ZOZUnwindContextGetCounter(const ZOZUnwindContext* context) {
  if (!isValidAddress(uintptr_t(context))) return 0;
  return context->repeatCount;
}

uint64_t ZOZUnwindStackPointerAdjust(uint64_t value) { return value + kZOZFrameRecordSize; }

bool ZOZUnwindWithFramePointer(ZOZUnwindContext* context, bool allowLinkRegister) {
  return context && zoz_detail::framePointerStep(&context->registers, allowLinkRegister);
}

bool ZOZUnwindWithLRRegister(ZOZUnwindContext* context) {
  return context && zoz_detail::linkRegisterStep(&context->registers);
}

bool ZOZUnwindWithCompactUnwindInfo(ZOZUnwindContext* context) {
  if (!context) return false;
  const uint64_t pc = ZOZThreadContextGetPC(&context->registers);
  ZOZBinaryImageRuntimeNode image;
  if (!findImage(pc, &image)) {
    ZOZ_UNWIND_WARN("Unable to find binary for %p", (void*)pc);
    return false;
  }
  ZOZ_UNWIND_DEBUG("Binary image for %p at %p", (void*)pc, (void*)image.baseAddress);
  if (!isValidAddress(image.unwindInfo)) {
    if (isValidAddress(image.ehFrameHdr)) return unwindWithEhFrameHeader(context, image);
    ZOZ_UNWIND_INFO("Binary image at %p has no unwind info", (void*)image.baseAddress);
    return false;
  }
  if (!ZOZCompactUnwindInit(&context->compactUnwindContext, image.unwindInfo, image.ehFrame, image.baseAddress)) {
    ZOZ_UNWIND_ERROR("Unable to read unwind info");
    return false;
  }
  return ZOZCompactUnwindLookupAndCompute(&context->compactUnwindContext, &context->registers);
}

void TEST_ZOZUnwindSetImageLookup(ZOZUnwindImageLookup lookup) {
  gImageLookup.store(lookup, std::memory_order_release);
}
