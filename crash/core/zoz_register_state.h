// The register state that the crash path reads and rewrites while it walks a
// stack, in one of two layouts:
//
//  - ARM64: the kernel's 64-bit ARM machine context (exception, thread and
//    floating-point state), copied whole. DWARF numbers 0 to 28 are x0 to
//    x28, 29 fp, 30 lr, 31 sp; writing 30 also writes pc. Reads of fp, lr,
//    sp and pc keep the low 36 bits (ZOZArm64AddressMask), which strips a
//    pointer-authentication signature; writes store the whole value, and x0
//    to x28 are read whole.
//  - X86_64: the host's thread state (os/kernel/threads.h). DWARF numbers 0
//    to 15 are the general registers in the DWARF order (rax, rdx, rcx, rbx,
//    rsi, rdi, rbp, rsp, r8 to r15) and 16, the return-address column, is
//    rip. rbp, rsp and rip serve as fp, sp and pc; there is no link
//    register (it reads as 0 and cannot be written). Addresses are used
//    whole: the ARM mask would cut this machine's stack addresses.
//
// The register state does not know the frame-record size or any unwinding
// rule; it only maps names and numbers to fields.
//
// Every function here is async-signal-safe: no allocation, no lock, no
// stdio. Messages go to the capture core's internal log.
#pragma once

#include <cstdint>

#include "os/kernel/threads.h"

enum class ZOZRegisterLayout : uint32_t { ARM64 = 0, X86_64 = 1 };

// Addresses below this are never valid pointers in the capture core.
inline constexpr uint64_t ZOZInvalidPointerLimit = 4096;
inline constexpr uint64_t ZOZArm64AddressMask = 0xFFFFFFFFFull;

struct ZOZArm64ExceptionState {
  uint64_t far;
  uint32_t esr;
  uint32_t exception;
};
struct ZOZArm64ThreadState {
  uint64_t x[29];
  uint64_t fp;
  uint64_t lr;
  uint64_t sp;
  uint64_t pc;
  uint32_t cpsr;
  uint32_t flags;
};
struct ZOZArm64NeonState {
  uint64_t v[32][2];
  uint32_t fpsr;
  uint32_t fpcr;
};
struct ZOZArm64MachineContext {
  ZOZArm64ExceptionState es;
  ZOZArm64ThreadState ss;
  ZOZArm64NeonState ns;
};

struct ZOZThreadContext {
  ZOZRegisterLayout layout = ZOZRegisterLayout::ARM64;
  union {
    ZOZArm64MachineContext arm64;
    os::kernel::x86_thread_state64_t x86_64;
  };
  ZOZThreadContext() : arm64{} {}
};

// DWARF register numbers that the call-frame rules and expressions use.
inline constexpr uint64_t ZOZArm64RegisterFP = 29;
inline constexpr uint64_t ZOZArm64RegisterLR = 30;
inline constexpr uint64_t ZOZArm64RegisterSP = 31;
inline constexpr uint64_t ZOZX86_64RegisterRBP = 6;
inline constexpr uint64_t ZOZX86_64RegisterRSP = 7;
inline constexpr uint64_t ZOZX86_64RegisterReturnAddress = 16;

// How many DWARF registers the layout has (32 or 17): the bound of register
// operands in call-frame instructions.
uint64_t ZOZRegisterLayoutRegisterCount(ZOZRegisterLayout layout);
// The mask applied when fp, lr, sp or pc is read.
uint64_t ZOZRegisterLayoutAddressMask(ZOZRegisterLayout layout);
// The DWARF numbers of the stack pointer and of the register whose rule gives
// the caller's pc (lr on ARM64, the return-address column on x86-64).
uint64_t ZOZRegisterLayoutStackPointerNumber(ZOZRegisterLayout layout);
uint64_t ZOZRegisterLayoutReturnAddressNumber(ZOZRegisterLayout layout);

// pc, sp, lr and fp, masked; 0 for a state address below 4096 (lr: always 0
// on x86-64).
uint64_t ZOZThreadContextGetPC(const ZOZThreadContext* state);
uint64_t ZOZThreadContextGetStackPointer(const ZOZThreadContext* state);
uint64_t ZOZThreadContextGetLinkRegister(const ZOZThreadContext* state);
uint64_t ZOZThreadContextGetFramePointer(const ZOZThreadContext* state);
// Store pc, sp, lr or fp whole; false for a state address below 4096 (lr:
// always false on x86-64).
bool ZOZThreadContextSetPC(ZOZThreadContext* state, uint64_t value);
bool ZOZThreadContextSetStackPointer(ZOZThreadContext* state, uint64_t value);
bool ZOZThreadContextSetLinkRegister(ZOZThreadContext* state, uint64_t value);
bool ZOZThreadContextSetFramePointer(ZOZThreadContext* state, uint64_t value);

// By DWARF number. An unknown number reads as 0 ("Error: Unrecognized get
// register number %llu") and cannot be written ("Unrecognized set register
// number %llu"); both WARN.
uint64_t ZOZDwarfUnwindGetRegisterValue(const ZOZThreadContext* state, uint64_t number);
bool ZOZDwarfUnwindSetRegisterValue(ZOZThreadContext* state, uint64_t number, uint64_t value);
