#include "crash/core/zoz_dwarf_cfi.h"

#include <cstring>

#include "crash/core/zoz_unwind_support.h"

namespace {

// The section cache in force on this thread (initial-exec: reading it never
// allocates, so the crash path may).
[[gnu::tls_model("initial-exec")]] thread_local ZOZDwarfSectionCache* tSectionCache = nullptr;

bool isValidAddress(uint64_t address) { return address >= kZOZUnwindMinimumValidAddress; }
bool isValidPointer(const void* pointer) { return isValidAddress(uintptr_t(pointer)); }

template <class T>
bool readValue(uint64_t* position, T* value) {
  if (!position || !value) return false;
  T v;
  if (!ZOZDwarfReadSection(*position, &v, sizeof v)) return false;
  *value = v;
  *position += sizeof v;
  return true;
}

// position + length, false when that wraps.
bool advanced(uint64_t position, uint64_t length, uint64_t* end) {
  if (length > ~uint64_t(0) - position) return false;
  *end = position + length;
  return true;
}

// ---- Call-frame instructions ----

// The state of one run of instructions.
struct InstructionRun {
  uint64_t position;
  uint64_t end;
  int64_t location;
  const ZOZDwarfCIERecord* cie;
  ZOZDwarfRuleSet* rules;
  uint64_t pcBegin;
  uint64_t registerCount;
  ZOZRegisterLayout layout;
  // x86-64 only: the rules at the start of the run, and the remembered sets.
  const ZOZDwarfRuleSet* initial;
  ZOZDwarfRuleSet* remembered;
  int rememberedCount;
};

enum class Outcome {
  Handled,
  Failed,   // an operand was bad or unreadable: "Failed to execute" follows
  Refused,  // the instruction is not handled; its own message was written
};

void addToLocation(InstructionRun& run, uint64_t delta) {
  run.location = int64_t(uint64_t(run.location) + delta * run.cie->codeAlignFactor);
}

bool readRegister(InstructionRun& run, uint64_t* number) {
  return ZOZDwarfReadULEB128(&run.position, number) && *number < run.registerCount;
}

// Reads an expression block's length and skips the block; `block` is its
// address (where the length begins).
bool skipBlock(InstructionRun& run, uint64_t* block, uint64_t* length) {
  *block = run.position;
  return ZOZDwarfReadULEB128(&run.position, length) && advanced(run.position, *length, &run.position);
}

bool isRefused(uint8_t op) {
  return op == 0x05 || op == 0x06 || op == 0x0A || op == 0x0B || (op >= 0x11 && op <= 0x15) ||
         (op >= 0x2D && op <= 0x2F);
}

Outcome executeInstruction(InstructionRun& run, uint8_t op) {
  ZOZDwarfRuleSet& rules = *run.rules;
  const bool keepsStates = run.layout == ZOZRegisterLayout::X86_64;
  switch (op & 0xC0) {
    case 0x40: {
      const uint8_t delta = op & 0x3F;
      addToLocation(run, delta);
      ZOZ_UNWIND_TRACE("DW_CFA_advance_loc %u", unsigned(delta));
      return Outcome::Handled;
    }
    case 0x80: {
      const uint8_t reg = op & 0x3F;
      uint64_t factored = 0;
      if (!ZOZDwarfReadULEB128(&run.position, &factored)) return Outcome::Failed;
      if (reg >= run.registerCount) {
        ZOZ_UNWIND_WARN("Error: Found an invalid DW_CFA_offset register number");
        return Outcome::Failed;
      }
      const uint64_t value = factored * uint64_t(run.cie->dataAlignFactor);
      rules.registers[reg] = {ZOZDwarfRuleCFAOffset, value};
      ZOZ_UNWIND_TRACE("DW_CFA_offset %u, %lld", unsigned(reg), (long long)value);
      return Outcome::Handled;
    }
    case 0xC0: {
      const uint8_t reg = op & 0x3F;
      if (!keepsStates) {
        ZOZ_UNWIND_WARN("Error: Unimplemented DWARF instruction with operand 0x%x", unsigned(op));
        return Outcome::Failed;
      }
      if (reg >= run.registerCount) {
        ZOZ_UNWIND_WARN("Error: Found an invalid DW_CFA_restore register number");
        return Outcome::Failed;
      }
      rules.registers[reg] = run.initial->registers[reg];
      ZOZ_UNWIND_TRACE("DW_CFA_restore %u", unsigned(reg));
      return Outcome::Handled;
    }
    default: break;
  }

  if (keepsStates && op == 0x0A) {
    if (run.rememberedCount >= ZOZDwarfRememberedStateDepth) {
      ZOZ_UNWIND_WARN("Error: DW_CFA_remember_state nested too deeply");
      return Outcome::Failed;
    }
    run.remembered[run.rememberedCount++] = rules;
    ZOZ_UNWIND_TRACE("DW_CFA_remember_state");
    return Outcome::Handled;
  }
  if (keepsStates && op == 0x0B) {
    if (run.rememberedCount == 0) {
      ZOZ_UNWIND_WARN("Error: DW_CFA_restore_state without a remembered state");
      return Outcome::Failed;
    }
    rules = run.remembered[--run.rememberedCount];
    ZOZ_UNWIND_TRACE("DW_CFA_restore_state");
    return Outcome::Handled;
  }
  if (isRefused(op)) {
    ZOZ_UNWIND_WARN("Error: Unimplemented DWARF instruction 0x%x", unsigned(op));
    return Outcome::Refused;
  }

  switch (op) {
    case 0x00:
      ZOZ_UNWIND_TRACE("DW_CFA_nop");
      return Outcome::Handled;
    case 0x01: {
      const uint64_t address = ZOZParseAddressWithEncodingAndAdvance(&run.position, run.cie->pointerEncoding);
      if (address == ZOZDwarfEncodedValueFailure) return Outcome::Failed;
      run.location = int64_t(address - run.pcBegin);
      ZOZ_UNWIND_TRACE("DW_CFA_set_loc %lu", (unsigned long)address);
      return Outcome::Handled;
    }
    case 0x02: {
      uint8_t delta = 0;
      if (!ZOZDwarfReadU8(&run.position, &delta)) return Outcome::Failed;
      addToLocation(run, delta);
      ZOZ_UNWIND_TRACE("DW_CFA_advance_loc1 %lld", (long long)(delta * run.cie->codeAlignFactor));
      return Outcome::Handled;
    }
    case 0x03: {
      uint16_t delta = 0;
      if (!ZOZDwarfReadU16(&run.position, &delta)) return Outcome::Failed;
      addToLocation(run, delta);
      ZOZ_UNWIND_TRACE("DW_CFA_advance_loc2 %lld", (long long)(delta * run.cie->codeAlignFactor));
      return Outcome::Handled;
    }
    case 0x04: {
      uint32_t delta = 0;
      if (!ZOZDwarfReadU32(&run.position, &delta)) return Outcome::Failed;
      addToLocation(run, delta);
      ZOZ_UNWIND_TRACE("DW_CFA_advance_loc4 %lld", (long long)(delta * run.cie->codeAlignFactor));
      return Outcome::Handled;
    }
    case 0x07: {
      uint64_t reg = 0;
      if (!readRegister(run, &reg)) {
        ZOZ_UNWIND_WARN("Error: Found an invalid DW_CFA_undefined register number");
        return Outcome::Failed;
      }
      rules.registers[reg] = {ZOZDwarfRuleUndefined, 0};
      ZOZ_UNWIND_TRACE("DW_CFA_undefined %llu", (unsigned long long)reg);
      return Outcome::Handled;
    }
    case 0x08: {
      uint64_t reg = 0;
      if (!readRegister(run, &reg)) {
        ZOZ_UNWIND_WARN("Error: Found an invalid DW_CFA_same_value register number");
        return Outcome::Failed;
      }
      rules.registers[reg] = {ZOZDwarfRuleUnchanged, 0};
      ZOZ_UNWIND_TRACE("DW_CFA_same_value %llu", (unsigned long long)reg);
      return Outcome::Handled;
    }
    case 0x09: {
      uint64_t reg = 0;
      uint64_t source = 0;
      if (!readRegister(run, &reg)) {
        ZOZ_UNWIND_WARN("Error: Found an invalid DW_CFA_register number");
        return Outcome::Failed;
      }
      if (!readRegister(run, &source)) {
        ZOZ_UNWIND_WARN("Error: Found an invalid DW_CFA_register value");
        return Outcome::Failed;
      }
      rules.registers[reg] = {ZOZDwarfRuleRegister, source};
      ZOZ_UNWIND_TRACE("DW_CFA_register %llu %llu", (unsigned long long)reg, (unsigned long long)source);
      return Outcome::Handled;
    }
    case 0x0C: {
      uint64_t reg = 0;
      uint64_t offset = 0;
      if (!readRegister(run, &reg)) {
        ZOZ_UNWIND_WARN("Error: Found an invalid DW_CFA_def_cfa register number");
        return Outcome::Failed;
      }
      if (!ZOZDwarfReadULEB128(&run.position, &offset)) return Outcome::Failed;
      // A register rule replaces a CFA expression.
      rules.cfaRule.registerNum = reg;
      rules.cfaRule.offset = offset;
      rules.cfaRule.expression = 0;
      ZOZ_UNWIND_TRACE("DW_CFA_def_cfa %llu, %lld", (unsigned long long)reg, (long long)offset);
      return Outcome::Handled;
    }
    case 0x0D: {
      uint64_t reg = 0;
      if (!readRegister(run, &reg)) {
        ZOZ_UNWIND_WARN("Error: Found an invalid DW_CFA_def_cfa_register register number");
        return Outcome::Failed;
      }
      rules.cfaRule.registerNum = reg;
      rules.cfaRule.expression = 0;
      ZOZ_UNWIND_TRACE("DW_CFA_def_cfa_register %llu", (unsigned long long)reg);
      return Outcome::Handled;
    }
    case 0x0E: {
      uint64_t offset = 0;
      if (!ZOZDwarfReadULEB128(&run.position, &offset)) return Outcome::Failed;
      rules.cfaRule.offset = offset;
      ZOZ_UNWIND_TRACE("DW_CFA_def_cfa_offset %lld", (long long)offset);
      return Outcome::Handled;
    }
    case 0x0F: {
      uint64_t block = 0;
      uint64_t length = 0;
      if (!skipBlock(run, &block, &length)) return Outcome::Failed;
      rules.cfaRule.registerNum = ZOZDwarfCFARegisterExpression;
      rules.cfaRule.expression = block;
      ZOZ_UNWIND_TRACE("DW_CFA_def_cfa_expression %llu", (unsigned long long)length);
      return Outcome::Handled;
    }
    case 0x10:
    case 0x16: {
      uint64_t reg = 0;
      uint64_t block = 0;
      uint64_t length = 0;
      if (!readRegister(run, &reg)) {
        if (op == 0x10) {
          ZOZ_UNWIND_WARN("Error: Found an invalid DW_CFA_expression register number");
        } else {
          ZOZ_UNWIND_WARN("Error: Found an invalid DW_CFA_val_expression register number");
        }
        return Outcome::Failed;
      }
      if (!skipBlock(run, &block, &length)) return Outcome::Failed;
      if (op == 0x10) {
        rules.registers[reg] = {ZOZDwarfRuleCFAExpression, block};
        ZOZ_UNWIND_TRACE("DW_CFA_expression %llu %llu", (unsigned long long)reg, (unsigned long long)length);
      } else {
        rules.registers[reg] = {ZOZDwarfRuleValueExpression, block};
        ZOZ_UNWIND_TRACE("DW_CFA_val_expression %llu %llu", (unsigned long long)reg, (unsigned long long)length);
      }
      return Outcome::Handled;
    }
    default:
      ZOZ_UNWIND_WARN("Error: Unrecognized DWARF instruction 0x%x", unsigned(op));
      return Outcome::Failed;
  }
}

// ---- The expression machine's stack ----

bool stackIsValid(const ZOZDwarfExpressionMachine* m) {
  return m->stackPointer && m->stackPointer >= m->stack && m->stackPointer <= m->stack + ZOZDwarfExpressionStackSize;
}

bool push(ZOZDwarfExpressionMachine* m, uint64_t value) {
  if (!stackIsValid(m) || m->stackPointer == m->stack + ZOZDwarfExpressionStackSize) {
    m->stackPointer = nullptr;
    return false;
  }
  *m->stackPointer++ = value;
  return true;
}

uint64_t pop(ZOZDwarfExpressionMachine* m) {
  if (!stackIsValid(m) || m->stackPointer == m->stack) {
    m->stackPointer = nullptr;
    return 0;
  }
  return *--m->stackPointer;
}

uint64_t top(ZOZDwarfExpressionMachine* m) {
  if (!stackIsValid(m) || m->stackPointer == m->stack) {
    m->stackPointer = nullptr;
    return 0;
  }
  return m->stackPointer[-1];
}

}  // namespace

// ---- Section reads ----

ZOZDwarfSectionCache::ZOZDwarfSectionCache() {
  if (tSectionCache) return;
  tSectionCache = this;
  owner_ = true;
}

ZOZDwarfSectionCache::~ZOZDwarfSectionCache() {
  if (owner_) tSectionCache = nullptr;
}

size_t ZOZDwarfSectionCache::slotFor(uint64_t block) {
  size_t slot = last_;
  if (blocks_[slot] != block) {
    size_t oldest = 0;
    for (slot = 0; slot < kBlocks && blocks_[slot] != block; ++slot) {
      if (used_[slot] < used_[oldest]) oldest = slot;
    }
    if (slot == kBlocks) {
      slot = oldest;
      blocks_[slot] = 0;
      if (!ZOZReadMemory(block, bytes_[slot], kBlockSize)) return kBlocks;
      blocks_[slot] = block;
    }
  }
  used_[slot] = ++clock_;
  last_ = uint32_t(slot);
  return slot;
}

bool ZOZDwarfSectionCache::read(uint64_t address, void* destination, size_t length) {
  if (length == 0) return ZOZReadMemory(address, destination, length);
  if (address < kZOZUnwindMinimumValidAddress || length - 1 > ~uint64_t(0) - address) return false;
  auto* out = static_cast<uint8_t*>(destination);
  while (length > 0) {
    const uint64_t block = address & ~uint64_t(kBlockSize - 1);
    const size_t slot = slotFor(block);
    if (slot == kBlocks) return false;
    const size_t offset = size_t(address - block);
    const size_t n = length < kBlockSize - offset ? length : kBlockSize - offset;
    std::memcpy(out, bytes_[slot] + offset, n);
    out += n;
    address += n;
    length -= n;
  }
  return true;
}

bool ZOZDwarfReadSection(uint64_t address, void* destination, size_t length) {
  ZOZDwarfSectionCache* cache = tSectionCache;
  // A block that cannot be copied whole leaves the exact range to the safe
  // read, so the answer never differs from it.
  if (cache && cache->read(address, destination, length)) return true;
  return ZOZReadMemory(address, destination, length);
}

// ---- Readers ----

bool ZOZDwarfReadU8(uint64_t* position, uint8_t* value) { return readValue(position, value); }
bool ZOZDwarfReadU16(uint64_t* position, uint16_t* value) { return readValue(position, value); }
bool ZOZDwarfReadU32(uint64_t* position, uint32_t* value) { return readValue(position, value); }
bool ZOZDwarfReadU64(uint64_t* position, uint64_t* value) { return readValue(position, value); }

bool ZOZDwarfReadULEB128(uint64_t* position, uint64_t* value) {
  if (!value) return false;
  uint64_t result = 0;
  unsigned shift = 0;
  for (int i = 0; i < 8; ++i) {
    uint8_t byte = 0;
    if (!ZOZDwarfReadU8(position, &byte)) return false;
    result |= uint64_t(byte & 0x7F) << shift;
    shift += 7;
    if (!(byte & 0x80)) break;
  }
  *value = result;
  return true;
}

bool ZOZDwarfReadSLEB128(uint64_t* position, int64_t* value) {
  if (!value) return false;
  uint64_t result = 0;
  unsigned shift = 0;
  uint8_t byte = 0;
  for (int i = 0; i < 8; ++i) {
    if (!ZOZDwarfReadU8(position, &byte)) return false;
    result |= uint64_t(byte & 0x7F) << shift;
    shift += 7;
    if (!(byte & 0x80)) break;
  }
  if (byte & 0x40) result |= ~uint64_t(0) << shift;
  *value = int64_t(result);
  return true;
}

bool ZOZDwarfReadCString(uint64_t* position, uint64_t limit, uint64_t* string) {
  if (!position || !string) return false;
  for (uint64_t p = *position; p < limit; ++p) {
    uint8_t c = 0;
    if (!ZOZDwarfReadSection(p, &c, 1)) return false;
    if (c == 0) {
      *string = *position;
      *position = p + 1;
      return true;
    }
  }
  return false;
}

bool ZOZDwarfReadRecordLength(uint64_t* position, uint64_t* length) {
  uint32_t short_length = 0;
  if (!ZOZDwarfReadU32(position, &short_length)) return false;
  if (short_length != 0xFFFFFFFFu) {
    *length = short_length;
    return true;
  }
  return ZOZDwarfReadU64(position, length);
}

uint64_t ZOZParseAddressWithEncodingAndAdvance(uint64_t* position, uint8_t encoding) {
  constexpr uint64_t failure = ZOZDwarfEncodedValueFailure;
  if (encoding == 0xFF) return 0;
  if (!position || *position == 0) return failure;
  const uint64_t start = *position;
  uint64_t value = 0;
  switch (encoding & 0x0F) {
    case 0x00:
    case 0x04:
    case 0x0C:
      if (!ZOZDwarfReadU64(position, &value)) return failure;
      break;
    case 0x01:
      if (!ZOZDwarfReadULEB128(position, &value)) return failure;
      break;
    case 0x02: {
      uint16_t v = 0;
      if (!ZOZDwarfReadU16(position, &v)) return failure;
      value = v;
      break;
    }
    case 0x03: {
      uint32_t v = 0;
      if (!ZOZDwarfReadU32(position, &v)) return failure;
      value = v;
      break;
    }
    case 0x09: {
      int64_t v = 0;
      if (!ZOZDwarfReadSLEB128(position, &v)) return failure;
      value = uint64_t(v);
      break;
    }
    case 0x0A: {
      uint16_t v = 0;
      if (!ZOZDwarfReadU16(position, &v)) return failure;
      value = uint64_t(int64_t(int16_t(v)));
      break;
    }
    case 0x0B: {
      uint32_t v = 0;
      if (!ZOZDwarfReadU32(position, &v)) return failure;
      value = uint64_t(int64_t(int32_t(v)));
      break;
    }
    default:
      ZOZ_UNWIND_WARN("Unhandled: encoding 0x%02x", unsigned(encoding));
      return failure;
  }
  switch (encoding & 0x70) {
    case 0x00: break;
    case 0x10: value += start; break;
    default:
      ZOZ_UNWIND_WARN("Unhandled: relative encoding 0x%02x", unsigned(encoding));
      return failure;
  }
  if (encoding & 0x80) {
    uint64_t pointer = 0;
    if (value == 0 || !ZOZReadMemory(value, &pointer, sizeof pointer)) return failure;
    value = pointer;
  }
  return value;
}

// ---- CIE and FDE ----

bool ZOZDwarfParseAndProcessAugmentation(uint64_t* position, ZOZDwarfCIERecord* cie) {
  if (!position || !cie) return false;
  uint64_t letter = cie->augmentationString;
  uint8_t c = 0;
  if (!ZOZDwarfReadSection(letter, &c, 1)) return false;
  if (c == 0) return true;
  if (c != 'z') {
    ZOZ_UNWIND_WARN("Error: Unimplemented: augmentation string %s", (const char*)cie->augmentationString);
    return false;
  }
  uint64_t dataLength = 0;
  uint64_t dataEnd = 0;
  if (!ZOZDwarfReadULEB128(position, &dataLength) || !advanced(*position, dataLength, &dataEnd)) return false;
  // The string was found whole by ZOZDwarfReadCString: it ends.
  for (++letter;; ++letter) {
    if (!ZOZDwarfReadSection(letter, &c, 1)) return false;
    if (c == 0) break;
    switch (c) {
      case 'L':
        if (!ZOZDwarfReadU8(position, &cie->lsdaEncoding)) return false;
        break;
      case 'P':
        if (!ZOZDwarfReadU8(position, &cie->personalityEncoding)) return false;
        cie->personalityAddress = ZOZParseAddressWithEncodingAndAdvance(position, cie->personalityEncoding);
        if (cie->personalityAddress == ZOZDwarfEncodedValueFailure) {
          ZOZ_UNWIND_WARN("Error: Found an invalid start address");
          return false;
        }
        break;
      case 'R':
        if (!ZOZDwarfReadU8(position, &cie->pointerEncoding)) return false;
        break;
      case 'S':
        cie->signalFrame = true;
        break;
      default:
        ZOZ_UNWIND_WARN("Error: Unhandled augmentation string entry %c", int(c));
        return false;
    }
    if (*position > dataEnd) return false;
  }
  return true;
}

bool ZOZDwarfParseCIERecord(ZOZDwarfCIERecord* cie, uint64_t address) {
  if (!cie || address == 0) return false;
  std::memset(cie, 0, sizeof *cie);
  uint64_t p = address;
  uint64_t length = 0;
  uint64_t end = 0;
  if (!ZOZDwarfReadRecordLength(&p, &length)) return false;
  if (length == 0) {
    ZOZ_UNWIND_WARN("Error: CIE length invalid");
    return false;
  }
  if (!advanced(p, length, &end)) return false;
  cie->length = length;

  uint32_t id = 0;
  if (!ZOZDwarfReadU32(&p, &id)) return false;
  if (id != 0) ZOZ_UNWIND_WARN("Error: CIE flag not found");
  if (!ZOZDwarfReadU8(&p, &cie->version)) return false;
  const bool supported = cie->version == 1 || cie->version == 3;
  if (!supported) ZOZ_UNWIND_WARN("Error: CIE version %u unsupported", unsigned(cie->version));

  cie->pointerEncoding = 0;
  cie->lsdaEncoding = 0;
  if (!ZOZDwarfReadCString(&p, end, &cie->augmentationString)) return false;
  if (!ZOZDwarfReadULEB128(&p, &cie->codeAlignFactor)) return false;
  if (!ZOZDwarfReadSLEB128(&p, &cie->dataAlignFactor)) return false;

  if (cie->version == 3) {
    if (!ZOZDwarfReadULEB128(&p, &cie->returnAddressRegister)) return false;
  } else if (cie->version == 1) {
    uint8_t reg = 0;
    if (!ZOZDwarfReadU8(&p, &reg)) return false;
    cie->returnAddressRegister = reg;
  } else {
    ZOZ_UNWIND_WARN("Error: CIE version %u unsupported", unsigned(cie->version));
    return false;
  }

  if (!ZOZDwarfParseAndProcessAugmentation(&p, cie)) return false;
  if (p > end || end - p > UINT32_MAX) return false;
  cie->instructions.start = p;
  cie->instructions.length = uint32_t(end - p);
  return true;
}

bool ZOZDwarfParseFDERecord(ZOZDwarfFDERecord* fde, bool parseCIE, ZOZDwarfCIERecord* cie, uint64_t address) {
  if (!fde || !cie || address == 0) return false;
  std::memset(fde, 0, sizeof *fde);
  uint64_t p = address;
  uint64_t length = 0;
  uint64_t end = 0;
  if (!ZOZDwarfReadRecordLength(&p, &length)) return false;
  if (length == 0) {
    ZOZ_UNWIND_WARN("Error: FDE has zero length");
    return false;
  }
  if (!advanced(p, length, &end)) return false;
  fde->length = length;

  const uint64_t ciePointerField = p;
  if (!ZOZDwarfReadU32(&p, &fde->ciePointer)) return false;
  if (fde->ciePointer == 0) {
    ZOZ_UNWIND_WARN("Error: CIE offset invalid");
    return false;
  }
  if (parseCIE && !ZOZDwarfParseCIERecord(cie, ciePointerField - fde->ciePointer)) {
    ZOZ_UNWIND_WARN("Error: Unable to parse CIE record");
    return false;
  }
  if (cie->length == 0 || (cie->version != 1 && cie->version != 3)) {
    ZOZ_UNWIND_WARN("Error: CIE invalid");
    return false;
  }

  fde->pcBegin = ZOZParseAddressWithEncodingAndAdvance(&p, cie->pointerEncoding);
  if (fde->pcBegin == ZOZDwarfEncodedValueFailure) {
    ZOZ_UNWIND_WARN("Error: Found an invalid start address");
    return false;
  }
  fde->addressRange = ZOZParseAddressWithEncodingAndAdvance(&p, cie->pointerEncoding & 0x0F);
  if (fde->addressRange == ZOZDwarfEncodedValueFailure) {
    ZOZ_UNWIND_WARN("Error: Found an invalid address range");
    return false;
  }

  uint8_t first = 0;
  if (!ZOZDwarfReadSection(cie->augmentationString, &first, 1)) return false;
  if (first == 'z') {
    uint64_t augmentationLength = 0;
    if (!ZOZDwarfReadULEB128(&p, &augmentationLength) || !advanced(p, augmentationLength, &p)) return false;
  }

  if (p > end || end - p > UINT32_MAX) return false;
  fde->instructions.start = p;
  fde->instructions.length = uint32_t(end - p);
  return true;
}

bool ZOZDwarfLoadFDEAtOffset(ZOZDwarfCFIRecord* record, uint64_t ehFrame, uint64_t offset) {
  if (!record || ehFrame == 0 || offset == 0 || ehFrame + offset == 0) return false;
  return ZOZDwarfParseFDERecord(&record->fde, true, &record->cie, ehFrame + offset);
}

bool ZOZDwarfSearchEhFrameHeader(uint64_t ehFrameHdr, uint64_t pc, uint64_t* fde) {
  if (!isValidAddress(ehFrameHdr) || !fde) return false;
  struct {
    uint8_t version;
    uint8_t ehFramePointerEncoding;
    uint8_t countEncoding;
    uint8_t tableEncoding;
  } header;
  if (!ZOZDwarfReadSection(ehFrameHdr, &header, sizeof header)) return false;
  if (header.version != 1 || header.tableEncoding != 0x3B || header.countEncoding == 0xFF) return false;
  uint64_t p = ehFrameHdr + sizeof header;
  if (ZOZParseAddressWithEncodingAndAdvance(&p, header.ehFramePointerEncoding) == ZOZDwarfEncodedValueFailure) {
    return false;
  }
  const uint64_t count = ZOZParseAddressWithEncodingAndAdvance(&p, header.countEncoding);
  if (count == 0 || count == ZOZDwarfEncodedValueFailure) return false;
  const uint64_t table = p;

  struct Entry {
    int32_t location;
    int32_t fde;
  };
  // Invariant: entries below `low` start at or before pc; entries from
  // `high` on start after it.
  uint64_t low = 0;
  uint64_t high = count;
  while (low < high) {
    const uint64_t middle = low + (high - low) / 2;
    Entry entry;
    if (middle > (UINT64_MAX - table) / sizeof entry ||
        !ZOZDwarfReadSection(table + middle * sizeof entry, &entry, sizeof entry)) {
      return false;
    }
    if (ehFrameHdr + uint64_t(int64_t(entry.location)) <= pc) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  if (low == 0) return false;
  Entry entry;
  if (!ZOZDwarfReadSection(table + (low - 1) * sizeof entry, &entry, sizeof entry)) return false;
  *fde = ehFrameHdr + uint64_t(int64_t(entry.fde));
  return true;
}

// ---- Instructions and rules ----

bool ZOZDwarfInstructionsEnumerate(const ZOZDwarfInstructions* instructions, const ZOZDwarfCIERecord* cie,
                                   ZOZDwarfRuleSet* rules, int64_t pcLimit, uint64_t pcBegin,
                                   ZOZRegisterLayout layout) {
  if (!instructions || !cie || !rules) {
    ZOZ_UNWIND_WARN("Error: inputs invalid");
    return false;
  }
  const uint64_t start = instructions->start;
  const uint64_t end = start + instructions->length;
  ZOZ_UNWIND_TRACE("Running instructions from %p to %p", (void*)start, (void*)end);
  if (start == 0 || instructions->length == 0 || pcLimit <= 0) return true;
  if (end < start) return false;

  const bool keepsStates = layout == ZOZRegisterLayout::X86_64;
  ZOZDwarfRuleSet initial;
  ZOZDwarfRuleSet remembered[ZOZDwarfRememberedStateDepth];
  if (keepsStates) initial = *rules;

  InstructionRun run{start, end, 0, cie, rules, pcBegin, ZOZRegisterLayoutRegisterCount(layout), layout,
                     &initial, remembered, 0};
  bool result = false;
  do {
    uint8_t op = 0;
    if (!ZOZDwarfReadU8(&run.position, &op)) return false;
    switch (executeInstruction(run, op)) {
      case Outcome::Handled:
        result = true;
        break;
      case Outcome::Failed:
        ZOZ_UNWIND_WARN("Error: Failed to execute dwarf instruction 0x%x", unsigned(op));
        return false;
      case Outcome::Refused:
        return false;
    }
  } while (run.position < run.end && run.location < pcLimit);
  return result;
}

bool ZOZDwarfUnwindComputeRegisters(const ZOZDwarfCFIRecord* record, ZOZThreadContext* state) {
  if (!record || !state) return false;
  ZOZDwarfRuleSet rules;
  std::memset(&rules, 0, sizeof rules);
  const ZOZRegisterLayout layout = state->layout;

  if (!ZOZDwarfInstructionsEnumerate(&record->cie.instructions, &record->cie, &rules, INT64_MAX,
                                     record->fde.pcBegin, layout)) {
    ZOZ_UNWIND_WARN("Error: Unable to run CIE instructions");
    return false;
  }
  const int64_t pcOffset = int64_t(ZOZThreadContextGetPC(state) - record->fde.pcBegin);
  if (pcOffset < 0) {
    ZOZ_UNWIND_WARN("Error: The FDE pcOffset value cannot be negative");
    return false;
  }
  if (!ZOZDwarfInstructionsEnumerate(&record->fde.instructions, &record->cie, &rules, pcOffset,
                                     record->fde.pcBegin, layout)) {
    ZOZ_UNWIND_WARN("Error: Unable to run FDE instructions");
    return false;
  }
  if (rules.registers[ZOZRegisterLayoutReturnAddressNumber(layout)].kind == ZOZDwarfRuleUndefined) {
    // The outermost frame (a thread's or the program's entry): no caller.
    ZOZ_UNWIND_DEBUG("Return address undefined: outermost frame");
    ZOZThreadContextSetPC(state, 0);
    return true;
  }
  uint64_t cfa = 0;
  if (!ZOZDwarfGetCFA(&rules, state, &cfa)) {
    ZOZ_UNWIND_WARN("Error: failed to get CFA");
    return false;
  }
  if (!ZOZDwarfUnwindAssignRegisters(&rules, state, cfa, state)) {
    ZOZ_UNWIND_ERROR("Error: Unable to assign DWARF registers");
    return false;
  }
  return true;
}

bool ZOZDwarfGetCFA(const ZOZDwarfRuleSet* rules, const ZOZThreadContext* state, uint64_t* cfa) {
  if (!isValidPointer(rules) || !isValidPointer(state) || !isValidPointer(cfa)) {
    ZOZ_UNWIND_WARN("Error: invalid input");
    return false;
  }
  if (rules->cfaRule.expression == 0) {
    *cfa = ZOZDwarfUnwindGetRegisterValue(state, rules->cfaRule.registerNum) + rules->cfaRule.offset;
    return true;
  }
  if (!ZOZDwarfEvalulateExpression(rules->cfaRule.expression, state, 0, cfa)) {
    ZOZ_UNWIND_WARN("Error: failed to compute CFA expression");
    return false;
  }
  return true;
}

bool ZOZDwarfUnwindAssignRegisters(const ZOZDwarfRuleSet* rules, const ZOZThreadContext* state, uint64_t cfa,
                                   ZOZThreadContext* outState) {
  if (!isValidPointer(rules) || !isValidPointer(state) || !isValidPointer(outState)) {
    ZOZ_UNWIND_ERROR("Error: input invalid");
    return false;
  }
  const ZOZRegisterLayout layout = state->layout;
  // Every rule reads the incoming state, never the copy being updated.
  ZOZThreadContext copy = *state;
  for (uint64_t reg = 0; reg < ZOZDwarfRuleSetRegisterCount; ++reg) {
    const ZOZDwarfRule& rule = rules->registers[reg];
    if (rule.kind == ZOZDwarfRuleUnchanged) continue;
    const uint64_t value =
        rule.kind == ZOZDwarfRuleUndefined ? 0 : ZOZDwarfGetSavedRegister(state, cfa, rule.kind, rule.value);
    if (!ZOZDwarfUnwindSetRegisterValue(&copy, reg, value)) {
      ZOZ_UNWIND_WARN("Error: Unable to restore register value");
      return false;
    }
  }
  if (!ZOZDwarfUnwindSetRegisterValue(&copy, ZOZRegisterLayoutStackPointerNumber(layout), cfa)) {
    ZOZ_UNWIND_WARN("Error: Unable to restore SP value");
    return false;
  }
  if (ZOZThreadContextGetStackPointer(&copy) == ZOZThreadContextGetStackPointer(state)) {
    ZOZ_UNWIND_WARN("Error: Stack pointer hasn't changed");
    return false;
  }
  const uint64_t ra = ZOZRegisterLayoutReturnAddressNumber(layout);
  if (ZOZDwarfUnwindGetRegisterValue(&copy, ra) == ZOZDwarfUnwindGetRegisterValue(state, ra)) {
    ZOZ_UNWIND_WARN("Error: PC hasn't changed");
    return false;
  }
  *outState = copy;
  return true;
}

uint64_t ZOZDwarfGetSavedRegister(const ZOZThreadContext* state, uint64_t cfa, uint32_t kind, uint64_t value) {
  ZOZ_UNWIND_TRACE("Getting register %x", unsigned(kind));
  switch (kind) {
    case ZOZDwarfRuleCFAOffset: {
      uint64_t saved = 0;
      if (!ZOZReadMemory(cfa + value, &saved, sizeof saved)) {
        ZOZ_UNWIND_WARN("Error: Unable to read CFA value");
        return 0;
      }
      return saved;
    }
    case ZOZDwarfRuleOffsetFromCFA:
      ZOZ_UNWIND_WARN("Error: OffsetFromCFA unhandled");
      return 0;
    case ZOZDwarfRuleRegister:
      return ZOZDwarfUnwindGetRegisterValue(state, value);
    case ZOZDwarfRuleCFAExpression: {
      uint64_t address = 0;
      if (!ZOZDwarfEvalulateExpression(value, state, cfa, &address)) {
        ZOZ_UNWIND_WARN("Error: unable to evaluate expression");
        return 0;
      }
      uint64_t saved = 0;
      if (!ZOZReadMemory(address, &saved, sizeof saved)) {
        ZOZ_UNWIND_WARN("Error: Unable to read memory computed from expression");
        return 0;
      }
      return saved;
    }
    case ZOZDwarfRuleValueExpression: {
      uint64_t result = 0;
      if (!ZOZDwarfEvalulateExpression(value, state, cfa, &result)) {
        ZOZ_UNWIND_WARN("Error: unable to evaluate expression");
        return 0;
      }
      return result;
    }
    default:
      ZOZ_UNWIND_WARN("Error: Unrecognized register save location 0x%x", unsigned(kind));
      return 0;
  }
}

// ---- Expressions ----

bool ZOZDwarfEvalulateExpression(uint64_t expression, const ZOZThreadContext* state, uint64_t initialValue,
                                 uint64_t* result) {
  ZOZ_UNWIND_TRACE("starting at %p with initial value %lx", (void*)expression, (unsigned long)initialValue);
  if (!isValidAddress(expression) || !isValidPointer(result)) {
    ZOZ_UNWIND_WARN("Error: inputs invalid");
    return false;
  }
  ZOZDwarfExpressionMachine machine;
  if (!ZOZDwarfExpressionMachineInit(&machine, expression, state, initialValue)) {
    ZOZ_UNWIND_WARN("Error: unable to init DWARF expression machine");
    return false;
  }
  if (!ZOZDwarfExpressionMachinePrepareForExecution(&machine)) {
    ZOZ_UNWIND_WARN("Error: unable to prepare for execution");
    return false;
  }
  while (!ZOZDwarfExpressionMachineIsFinished(&machine)) {
    if (!ZOZDwarfExpressionMachineExecuteNextOpcode(&machine)) {
      ZOZ_UNWIND_WARN("Error: failed to execute DWARF machine opcode");
      return false;
    }
  }
  if (!ZOZDwarfExpressionMachineGetResult(&machine, result)) {
    ZOZ_UNWIND_WARN("Error: failed to get DWARF expression result");
    return false;
  }
  ZOZ_UNWIND_TRACE("successfully computed expression result");
  return true;
}

bool ZOZDwarfExpressionMachineInit(ZOZDwarfExpressionMachine* machine, uint64_t expression,
                                   const ZOZThreadContext* state, uint64_t initialValue) {
  if (!isValidPointer(machine) || !isValidAddress(expression)) return false;
  std::memset(machine, 0, sizeof *machine);
  machine->stackPointer = machine->stack;
  machine->registers = state;
  machine->position = expression;
  return push(machine, initialValue);
}

bool ZOZDwarfExpressionMachinePrepareForExecution(ZOZDwarfExpressionMachine* machine) {
  if (!isValidPointer(machine)) {
    ZOZ_UNWIND_WARN("Error: invalid inputs");
    return false;
  }
  uint64_t length = 0;
  if (!ZOZDwarfReadULEB128(&machine->position, &length)) return false;
  if (length == 0) {
    ZOZ_UNWIND_WARN("Error: DWARF expression length is zero");
    return false;
  }
  return advanced(machine->position, length, &machine->end);
}

bool ZOZDwarfExpressionMachineIsFinished(ZOZDwarfExpressionMachine* machine) {
  if (!isValidPointer(machine)) {
    ZOZ_UNWIND_WARN("Error: invalid inputs");
    return true;
  }
  if (!isValidAddress(machine->position) || !isValidAddress(machine->end)) {
    ZOZ_UNWIND_WARN("Error: DWARF machine pointers invalid");
    return true;
  }
  if (!stackIsValid(machine)) {
    ZOZ_UNWIND_WARN("Error: DWARF machine stack invalid");
    return true;
  }
  return machine->position >= machine->end;
}

bool ZOZDwarfExpressionMachineExecuteNextOpcode(ZOZDwarfExpressionMachine* machine) {
  if (!isValidPointer(machine)) return false;
  ZOZDwarfExpressionMachine* m = machine;
  uint8_t op = 0;
  if (!ZOZDwarfReadU8(&m->position, &op)) return false;

  if (op >= 0x30 && op <= 0x4F) {
    const unsigned literal = op - 0x30u;
    ZOZ_UNWIND_TRACE("DW_OP_lit %u", literal);
    return push(m, literal);
  }
  if (op >= 0x70 && op <= 0x8F) {
    const unsigned reg = op - 0x70u;
    int64_t offset = 0;
    if (!ZOZDwarfReadSLEB128(&m->position, &offset)) return false;
    ZOZ_UNWIND_TRACE("DW_OP_breg %d value %d", int(reg), int(offset));
    return push(m, ZOZDwarfUnwindGetRegisterValue(m->registers, reg) + uint64_t(offset));
  }
  switch (op) {
    case 0x06: {
      const uint64_t address = pop(m);
      ZOZ_UNWIND_TRACE("DW_OP_deref value %p", (void*)address);
      uint64_t value = 0;
      if (!ZOZReadMemory(address, &value, sizeof value)) {
        ZOZ_UNWIND_WARN("Error: DW_OP_deref failed to read memory");
        return false;
      }
      return push(m, value);
    }
    case 0x12: {
      const uint64_t value = top(m);
      ZOZ_UNWIND_TRACE("DW_OP_dup value %lu", (unsigned long)value);
      return push(m, value);
    }
    case 0x16: {
      const uint64_t a = pop(m);
      const uint64_t b = pop(m);
      ZOZ_UNWIND_TRACE("DW_OP_swap");
      return push(m, a) && push(m, b);
    }
    case 0x1A: {
      const uint64_t a = pop(m);
      const uint64_t b = pop(m);
      ZOZ_UNWIND_TRACE("DW_OP_plus_and");
      return push(m, b & a);
    }
    case 0x22: {
      const uint64_t a = pop(m);
      const uint64_t b = pop(m);
      ZOZ_UNWIND_TRACE("DW_OP_plus");
      return push(m, b + a);
    }
    case 0x23: {
      const uint64_t a = pop(m);
      uint64_t operand = 0;
      if (!ZOZDwarfReadULEB128(&m->position, &operand)) return false;
      ZOZ_UNWIND_TRACE("DW_OP_plus_uconst value %lu", (unsigned long)(a + operand));
      return push(m, a + operand);
    }
    case 0x2E: {
      const uint64_t a = pop(m);
      const uint64_t b = pop(m);
      ZOZ_UNWIND_TRACE("DW_OP_ne");
      return push(m, a != b ? 1 : 0);
    }
    case 0x94: {
      const uint64_t address = pop(m);
      uint8_t size = 0;
      if (!ZOZDwarfReadU8(&m->position, &size)) return false;
      ZOZ_UNWIND_TRACE("DW_OP_deref_size %p size %u", (void*)address, unsigned(size));
      if (size != 1 && size != 2 && size != 4 && size != 8) {
        ZOZ_UNWIND_WARN("Error: unrecognized DW_OP_deref_size argument %x", unsigned(size));
        return false;
      }
      uint64_t value = 0;  // little-endian: the low bytes, zero-extended
      if (!ZOZReadMemory(address, &value, size)) return false;
      return push(m, value);
    }
    default:
      ZOZ_UNWIND_WARN("Error: Unrecognized DWARF expression opcode 0x%x", unsigned(op));
      return false;
  }
}

bool ZOZDwarfExpressionMachineGetResult(ZOZDwarfExpressionMachine* machine, uint64_t* result) {
  if (!isValidPointer(machine) || !result) return false;
  if (machine->position != machine->end) {
    ZOZ_UNWIND_WARN("Error: DWARF expression hasn't completed execution");
    return false;
  }
  if (!stackIsValid(machine) || machine->stackPointer == machine->stack) return false;
  *result = machine->stackPointer[-1];
  return true;
}
