// The stack unwinder of the crash path: walks a thread's stack from its
// register state, one frame at a time.
//
// Design note.
// - Use: ZOZUnwindInit(&context, &state); then call ZOZUnwindNextFrame until
//   it returns false, reading ZOZUnwindGetPC (and ZOZUnwindContextGetCounter,
//   how many frames in a row repeated the last pc) after each true. The
//   first call yields the state's own pc and runs no strategy; each later
//   call yields one caller. At most 100,000 frames are yielded.
// - A step from a caller's frame lowers the pc by 1 first, so that a return
//   address is looked up inside its call; the step from the first frame
//   looks up the interrupted instruction's own pc. Then it tries in order:
//     1. the image that holds the pc (from the binary-image table): its
//        compact unwind information when it has some (which may send the
//        step to its DWARF call-frame information); otherwise, for an ELF
//        image, the FDE that its ".eh_frame_hdr" search table gives for the
//        pc (when the pc lies in the FDE's range), and one DWARF step;
//     2. the frame-pointer chain: the 16-byte frame record at fp (saved fp,
//        return address); on the step from the first frame to the second
//        the link register is tried first (it does not exist on x86-64).
//        A zero fp ends the walk.
//   A failure within 1 falls through to 2; a failure of 2, an invalid new
//   pc or sp (below 4096) or the frame limit ends the walk.
// - The same steps serve both register layouts (zoz_register_state.h): ARM64
//   states built for synthetic images and stacks, x86-64 states of this
//   machine's real threads.
// - Every read of the stack, of frame records, of unwind sections and of
//   computed addresses goes through the safe memory read. Nothing is
//   allocated and no lock is taken: the context lives in the caller's frame;
//   CFI records, rule sets (about 5 KiB with the remembered states) and the
//   expression machine live in the unwinder's frames for one step. It runs
//   on the crash path while the other threads are suspended.
//
// Messages go to the capture core's internal log; their texts are those in
// the source.
#pragma once

#include <cstdint>

#include "crash/core/zoz_binary_image.h"
#include "crash/core/zoz_compact_unwind.h"
#include "crash/core/zoz_register_state.h"

inline constexpr uint32_t ZOZUnwindMaximumFrames = 100000;

struct ZOZUnwindContext {
  ZOZThreadContext registers;
  uint32_t frameCount;  // frames yielded so far
  ZOZCompactUnwindContext compactUnwindContext;
  uint64_t lastFramePC;
  uint32_t repeatCount;  // how many frames in a row repeated the last pc
};

// False without a context; otherwise clears it and copies `state` in.
bool ZOZUnwindInit(ZOZUnwindContext* context, const ZOZThreadContext* state);
// True when a further frame is available (its pc from ZOZUnwindGetPC).
bool ZOZUnwindNextFrame(ZOZUnwindContext* context);
// The current frame's pc (masked); 0 for a context address below 4096.
uint64_t ZOZUnwindGetPC(const ZOZUnwindContext* context);
// The repeat count; 0 for a context address below 4096.
uint32_t ZOZUnwindContextGetCounter(const ZOZUnwindContext* context);
// value + 16, the size of a frame record.
uint64_t ZOZUnwindStackPointerAdjust(uint64_t value);

// The strategies, on the context's state.
bool ZOZUnwindWithFramePointer(ZOZUnwindContext* context, bool allowLinkRegister);
bool ZOZUnwindWithLRRegister(ZOZUnwindContext* context);
bool ZOZUnwindWithCompactUnwindInfo(ZOZUnwindContext* context);

// Replaces the binary-image table as the source of images (tests that walk
// synthetic images without the capture core started); null restores the
// table. The lookup runs on the crash path: it must be async-signal-safe.
using ZOZUnwindImageLookup = bool (*)(uintptr_t address, ZOZBinaryImageRuntimeNode* image);
void TEST_ZOZUnwindSetImageLookup(ZOZUnwindImageLookup lookup);
