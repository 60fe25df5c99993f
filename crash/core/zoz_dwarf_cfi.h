// DWARF call-frame information for the stack unwinder: readers of encoded
// values, the CIE and FDE parsers, the call-frame instructions, the rules
// applied to a register state, and the expression machine.
//
// Design note.
// - Only a subset of the format is handled. Pointer encodings: formats
//   absptr, udata2/4/8, sdata2/4/8, uleb128, sleb128; applications absolute
//   and pc-relative, optionally indirect. Augmentations "", and "z" followed
//   by L, P, R, S. Instructions: nop, set_loc, advance_loc (all widths),
//   offset, undefined, same_value, register, def_cfa, def_cfa_register,
//   def_cfa_offset, def_cfa_expression, expression, val_expression; on the
//   x86-64 layout
//   also remember_state, restore_state and restore, which the compiler and
//   the C library emit around epilogues. Everything else refuses the step,
//   and the unwinder falls back to frame records.
// - A DWARF step (ZOZDwarfUnwindComputeRegisters): clear a rule set, run the
//   CIE's initial instructions without limit, then the FDE's up to the pc's
//   offset from the FDE's pc begin; compute the CFA; give every register with
//   a rule its value in the caller (each rule reads the incoming state); the
//   caller's sp is the CFA. The step is refused when sp or the return-address
//   register (ARM64 lr, x86-64 column 16) did not change, so a walk always
//   moves.
// - The return-address register named by the CIE is parsed and not used: the
//   layout's own column carries the return address.
// - Memory: every read of the sections, of saved registers and of computed
//   addresses goes through the safe memory read, so hostile or damaged data
//   gives a refused step, never a fault. A read position is an address; the
//   readers advance it past what they read and return false when the bytes
//   cannot be read. While a ZOZDwarfSectionCache lives on the thread, section
//   bytes come from blocks it copied once (through the same safe read).
// - Nothing is allocated and no lock is taken: records, rule sets and the
//   100-value expression machine live in the callers' frames. Every function
//   here may run in a signal handler.
//
// Messages go to the capture core's internal log; their texts are those in
// the source.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crash/core/zoz_register_state.h"

// ---- Records ----
struct ZOZDwarfInstructions {
  uint32_t length;
  uint64_t start;
};

struct ZOZDwarfCIERecord {
  uint64_t length;
  uint8_t version;
  uint64_t augmentationString;  // the address of the NUL-terminated string
  uint8_t pointerEncoding;      // "R"; 0 when absent
  uint8_t lsdaEncoding;         // "L"; 0 when absent
  uint8_t personalityEncoding;  // "P"
  uint64_t personalityAddress;
  uint64_t codeAlignFactor;
  int64_t dataAlignFactor;
  uint64_t returnAddressRegister;  // parsed, not used
  bool signalFrame;                // "S"; parsed, not used
  ZOZDwarfInstructions instructions;
};

struct ZOZDwarfFDERecord {
  uint64_t length;
  uint32_t ciePointer;
  uint64_t pcBegin;
  uint64_t addressRange;
  ZOZDwarfInstructions instructions;
};

struct ZOZDwarfCFIRecord {
  ZOZDwarfCIERecord cie;
  ZOZDwarfFDERecord fde;
};

// Rule kinds: how a register's value in the caller is found.
enum ZOZDwarfRuleKind : uint32_t {
  ZOZDwarfRuleUnchanged = 0,         // the register keeps its value
  ZOZDwarfRuleCFAOffset = 1,         // the 8 bytes at CFA + value
  ZOZDwarfRuleOffsetFromCFA = 2,     // CFA + value (never set; refused)
  ZOZDwarfRuleRegister = 3,          // the value of register number value
  ZOZDwarfRuleCFAExpression = 4,     // the 8 bytes at the result of the expression at value
  ZOZDwarfRuleValueExpression = 5,   // the result of the expression at value
  ZOZDwarfRuleUndefined = 6,         // no value in the caller (written as 0)
};

inline constexpr uint64_t ZOZDwarfRuleSetRegisterCount = 32;
// The CFA register number that marks a CFA expression.
inline constexpr uint64_t ZOZDwarfCFARegisterExpression = 32;

struct ZOZDwarfRule {
  uint32_t kind;
  uint64_t value;
};

struct ZOZDwarfRuleSet {
  struct {
    uint64_t registerNum;  // 32 while an expression decides the CFA
    uint64_t offset;
    uint64_t expression;   // the address of the expression block; 0 when none
  } cfaRule;
  ZOZDwarfRule registers[ZOZDwarfRuleSetRegisterCount];
};

inline constexpr int ZOZDwarfExpressionStackSize = 100;

struct ZOZDwarfExpressionMachine {
  uint64_t stack[ZOZDwarfExpressionStackSize];
  uint64_t* stackPointer;  // the next free slot; null once the stack was misused
  uint64_t position;
  uint64_t end;
  const ZOZThreadContext* registers;
};

// The value a pointer-encoded read gives on failure.
inline constexpr uint64_t ZOZDwarfEncodedValueFailure = ~uint64_t(0);

// ---- Section reads ----
// While one lives on a thread, the readers below, the CIE and FDE parsers and
// the ".eh_frame_hdr" search take the bytes of unwind sections from copies of
// the small aligned blocks that hold them: each block is copied once through
// the safe read, and the least recently used copy makes room for a new one.
// A block lies within one page, so its bytes are readable together or not at
// all: a read succeeds exactly when the safe read would. Without one, every
// read is a safe read of its own. Saved registers, and addresses that
// expressions compute, are always read through the safe read. Open one only
// over sections that do not change while it lives (the crash path, with the
// other threads suspended). An inner one, while another lives, does nothing.
// About 9 KiB: it lives in the opener's frame; async-signal-safe.
class ZOZDwarfSectionCache {
 public:
  ZOZDwarfSectionCache();
  ~ZOZDwarfSectionCache();
  ZOZDwarfSectionCache(const ZOZDwarfSectionCache&) = delete;
  ZOZDwarfSectionCache& operator=(const ZOZDwarfSectionCache&) = delete;

  // Copies `length` bytes at `address`; false when any of them is unreadable.
  bool read(uint64_t address, void* destination, size_t length);

  static constexpr size_t kBlockSize = 128;
  static constexpr size_t kBlocks = 64;

 private:
  size_t slotFor(uint64_t block);  // kBlocks when the block cannot be read

  bool owner_ = false;
  uint32_t clock_ = 0;               // stamps uses
  uint32_t last_ = 0;                // the slot used last
  uint64_t blocks_[kBlocks] = {};    // each copy's address; 0 when empty
  uint32_t used_[kBlocks] = {};      // each copy's last use
  alignas(16) uint8_t bytes_[kBlocks][kBlockSize];
};

// Reads section bytes: through the thread's section cache when one lives,
// else through the safe read.
bool ZOZDwarfReadSection(uint64_t address, void* destination, size_t length);

// ---- Readers (little-endian; false when the bytes cannot be read) ----
bool ZOZDwarfReadU8(uint64_t* position, uint8_t* value);
bool ZOZDwarfReadU16(uint64_t* position, uint16_t* value);
bool ZOZDwarfReadU32(uint64_t* position, uint32_t* value);
bool ZOZDwarfReadU64(uint64_t* position, uint64_t* value);
// LEB128 numbers of at most 8 bytes: the eighth byte ends the number whatever
// its high bit.
bool ZOZDwarfReadULEB128(uint64_t* position, uint64_t* value);
bool ZOZDwarfReadSLEB128(uint64_t* position, int64_t* value);
// The address of a NUL-terminated string that ends before `limit`; moves
// past its NUL.
bool ZOZDwarfReadCString(uint64_t* position, uint64_t limit, uint64_t* string);
// A 32-bit length; 0xFFFFFFFF means that a 64-bit length follows.
bool ZOZDwarfReadRecordLength(uint64_t* position, uint64_t* length);
// A pointer-encoded value; ZOZDwarfEncodedValueFailure on failure. Encoding
// 0xFF (omitted) gives 0 and reads nothing.
uint64_t ZOZParseAddressWithEncodingAndAdvance(uint64_t* position, uint8_t encoding);

// ---- CIE and FDE ----
bool ZOZDwarfParseCIERecord(ZOZDwarfCIERecord* cie, uint64_t address);
// Reads the augmentation letters of `cie` (its string already read) starting
// at `*position`.
bool ZOZDwarfParseAndProcessAugmentation(uint64_t* position, ZOZDwarfCIERecord* cie);
// With `parseCIE`, the CIE that the FDE points at is parsed into `cie`;
// without, `cie` must already hold it.
bool ZOZDwarfParseFDERecord(ZOZDwarfFDERecord* fde, bool parseCIE, ZOZDwarfCIERecord* cie, uint64_t address);
// The FDE at ehFrame + offset, with its CIE.
bool ZOZDwarfLoadFDEAtOffset(ZOZDwarfCFIRecord* record, uint64_t ehFrame, uint64_t offset);

// The FDE for `pc` in an ".eh_frame_hdr" search table (version 1, table
// entries of two 4-byte offsets from the header's start, encoding 0x3B):
// the entry with the greatest initial location at most `pc`, found by a
// binary search that reads at most 64 entries. False without such a table
// or entry; the FDE's own range is not checked here.
bool ZOZDwarfSearchEhFrameHeader(uint64_t ehFrameHdr, uint64_t pc, uint64_t* fde);

// ---- Instructions and rules ----
// Runs `instructions` on `rules`, one at a time, while the location (an
// offset from the FDE's pc begin, starting at 0) stays below `pcLimit`. A
// pcLimit of 0 or less runs nothing. DW_CFA_set_loc's operand is an address:
// the location becomes operand - `pcBegin`. Register operands must be below
// the layout's register count. On the x86-64 layout, remember_state and
// restore_state keep up to ZOZDwarfRememberedStateDepth rule sets, and
// restore returns a register to its rule at the start of the run (the CIE's
// initial rules when the run is an FDE's); on ARM64 they refuse the run.
inline constexpr int ZOZDwarfRememberedStateDepth = 8;
bool ZOZDwarfInstructionsEnumerate(const ZOZDwarfInstructions* instructions, const ZOZDwarfCIERecord* cie,
                                   ZOZDwarfRuleSet* rules, int64_t pcLimit, uint64_t pcBegin,
                                   ZOZRegisterLayout layout);
// One DWARF step: `state` becomes the caller's state. The state's pc must
// already be the look-up pc (the interrupted instruction's own, or a return
// address lowered by 1). A return address whose rule is undefined marks the
// outermost frame: the step succeeds with a pc of 0, which ends the walk.
bool ZOZDwarfUnwindComputeRegisters(const ZOZDwarfCFIRecord* record, ZOZThreadContext* state);
bool ZOZDwarfGetCFA(const ZOZDwarfRuleSet* rules, const ZOZThreadContext* state, uint64_t* cfa);
bool ZOZDwarfUnwindAssignRegisters(const ZOZDwarfRuleSet* rules, const ZOZThreadContext* state, uint64_t cfa,
                                   ZOZThreadContext* outState);
// The caller's value of a register with rule (kind, value); 0 on failure.
uint64_t ZOZDwarfGetSavedRegister(const ZOZThreadContext* state, uint64_t cfa, uint32_t kind, uint64_t value);

// ---- Expressions ----
// The expression block at `expression` (an unsigned LEB128 length, then the
// opcodes), run with `initialValue` as the only value on the stack.
bool ZOZDwarfEvalulateExpression(uint64_t expression, const ZOZThreadContext* state, uint64_t initialValue,
                                 uint64_t* result);
bool ZOZDwarfExpressionMachineInit(ZOZDwarfExpressionMachine* machine, uint64_t expression,
                                   const ZOZThreadContext* state, uint64_t initialValue);
bool ZOZDwarfExpressionMachinePrepareForExecution(ZOZDwarfExpressionMachine* machine);
bool ZOZDwarfExpressionMachineIsFinished(ZOZDwarfExpressionMachine* machine);
bool ZOZDwarfExpressionMachineExecuteNextOpcode(ZOZDwarfExpressionMachine* machine);
// The value on top of the stack (it stays there), once the whole block has
// run.
bool ZOZDwarfExpressionMachineGetResult(ZOZDwarfExpressionMachine* machine, uint64_t* result);
