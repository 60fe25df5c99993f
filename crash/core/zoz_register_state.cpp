#include "crash/core/zoz_register_state.h"

#include "crash/core/zoz_unwind_support.h"

namespace {

bool isValid(const ZOZThreadContext* state) { return uintptr_t(state) >= kZOZUnwindMinimumValidAddress; }

// The x86-64 register that DWARF number `number` (0 to 16) names, or null.
template <class State>
auto x86Register(State& s, uint64_t number) -> decltype(&s.rax) {
  switch (number) {
    case 0: return &s.rax;
    case 1: return &s.rdx;
    case 2: return &s.rcx;
    case 3: return &s.rbx;
    case 4: return &s.rsi;
    case 5: return &s.rdi;
    case 6: return &s.rbp;
    case 7: return &s.rsp;
    case 8: return &s.r8;
    case 9: return &s.r9;
    case 10: return &s.r10;
    case 11: return &s.r11;
    case 12: return &s.r12;
    case 13: return &s.r13;
    case 14: return &s.r14;
    case 15: return &s.r15;
    case 16: return &s.rip;
    default: return nullptr;
  }
}

}  // namespace

uint64_t ZOZRegisterLayoutRegisterCount(ZOZRegisterLayout layout) {
  return layout == ZOZRegisterLayout::X86_64 ? 17 : 32;
}

uint64_t ZOZRegisterLayoutAddressMask(ZOZRegisterLayout layout) {
  return layout == ZOZRegisterLayout::X86_64 ? ~uint64_t(0) : ZOZArm64AddressMask;
}

uint64_t ZOZRegisterLayoutStackPointerNumber(ZOZRegisterLayout layout) {
  return layout == ZOZRegisterLayout::X86_64 ? ZOZX86_64RegisterRSP : ZOZArm64RegisterSP;
}

uint64_t ZOZRegisterLayoutReturnAddressNumber(ZOZRegisterLayout layout) {
  return layout == ZOZRegisterLayout::X86_64 ? ZOZX86_64RegisterReturnAddress : ZOZArm64RegisterLR;
}

uint64_t ZOZThreadContextGetPC(const ZOZThreadContext* state) {
  if (!isValid(state)) return 0;
  if (state->layout == ZOZRegisterLayout::X86_64) return state->x86_64.rip;
  return state->arm64.ss.pc & ZOZArm64AddressMask;
}

uint64_t ZOZThreadContextGetStackPointer(const ZOZThreadContext* state) {
  if (!isValid(state)) return 0;
  if (state->layout == ZOZRegisterLayout::X86_64) return state->x86_64.rsp;
  return state->arm64.ss.sp & ZOZArm64AddressMask;
}

uint64_t ZOZThreadContextGetLinkRegister(const ZOZThreadContext* state) {
  if (!isValid(state) || state->layout == ZOZRegisterLayout::X86_64) return 0;
  return state->arm64.ss.lr & ZOZArm64AddressMask;
}

uint64_t ZOZThreadContextGetFramePointer(const ZOZThreadContext* state) {
  if (!isValid(state)) return 0;
  if (state->layout == ZOZRegisterLayout::X86_64) return state->x86_64.rbp;
  return state->arm64.ss.fp & ZOZArm64AddressMask;
}

bool ZOZThreadContextSetPC(ZOZThreadContext* state, uint64_t value) {
  if (!isValid(state)) return false;
  if (state->layout == ZOZRegisterLayout::X86_64) {
    state->x86_64.rip = value;
  } else {
    state->arm64.ss.pc = value;
  }
  return true;
}

bool ZOZThreadContextSetStackPointer(ZOZThreadContext* state, uint64_t value) {
  if (!isValid(state)) return false;
  if (state->layout == ZOZRegisterLayout::X86_64) {
    state->x86_64.rsp = value;
  } else {
    state->arm64.ss.sp = value;
  }
  return true;
}

bool ZOZThreadContextSetLinkRegister(ZOZThreadContext* state, uint64_t value) {
  if (!isValid(state) || state->layout == ZOZRegisterLayout::X86_64) return false;
  state->arm64.ss.lr = value;
  return true;
}

bool ZOZThreadContextSetFramePointer(ZOZThreadContext* state, uint64_t value) {
  if (!isValid(state)) return false;
  if (state->layout == ZOZRegisterLayout::X86_64) {
    state->x86_64.rbp = value;
  } else {
    state->arm64.ss.fp = value;
  }
  return true;
}

uint64_t ZOZDwarfUnwindGetRegisterValue(const ZOZThreadContext* state, uint64_t number) {
  if (isValid(state)) {
    if (state->layout == ZOZRegisterLayout::X86_64) {
      if (const uint64_t* r = x86Register(state->x86_64, number)) return *r;
    } else if (number <= 28) {
      return state->arm64.ss.x[number];
    } else if (number == ZOZArm64RegisterFP) {
      return ZOZThreadContextGetFramePointer(state);
    } else if (number == ZOZArm64RegisterLR) {
      return ZOZThreadContextGetLinkRegister(state);
    } else if (number == ZOZArm64RegisterSP) {
      return ZOZThreadContextGetStackPointer(state);
    }
  }
  ZOZ_UNWIND_WARN("Error: Unrecognized get register number %llu", (unsigned long long)number);
  return 0;
}

bool ZOZDwarfUnwindSetRegisterValue(ZOZThreadContext* state, uint64_t number, uint64_t value) {
  if (isValid(state)) {
    if (state->layout == ZOZRegisterLayout::X86_64) {
      if (uint64_t* r = x86Register(state->x86_64, number)) {
        *r = value;
        return true;
      }
    } else if (number <= 28) {
      state->arm64.ss.x[number] = value;
      return true;
    } else if (number == ZOZArm64RegisterFP) {
      return ZOZThreadContextSetFramePointer(state, value);
    } else if (number == ZOZArm64RegisterLR) {
      return ZOZThreadContextSetLinkRegister(state, value) && ZOZThreadContextSetPC(state, value);
    } else if (number == ZOZArm64RegisterSP) {
      return ZOZThreadContextSetStackPointer(state, value);
    }
  }
  ZOZ_UNWIND_WARN("Unrecognized set register number %llu", (unsigned long long)number);
  return false;
}
