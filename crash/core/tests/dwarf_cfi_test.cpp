#include "crash/core/zoz_dwarf_cfi.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <optional>

#include "crash/core/tests/unwind_test_support.h"
#include "crash/core/zoz_unwind_support.h"
#include "crash/core/zoz_unwinder.h"

using namespace unwind_test;

namespace {

// ---- Register state ----

TEST(RegisterState, AddressesAreMaskedOnArm64AndWholeOnX86) {
  // The arm64 mask strips a signature; applied to this machine's addresses it
  // would cut them, so the x86-64 layout reads them whole.
  const uint64_t signedValue = 0xA5B6'0000'0000'0000ull | 0x0000'0008'1234'5678ull;
  const uint64_t stackAddress = 0x7FFD'1234'5678ull;

  ZOZThreadContext arm = arm64State(signedValue, signedValue, signedValue, signedValue);
  EXPECT_EQ(ZOZThreadContextGetPC(&arm), 0x8'1234'5678ull);
  EXPECT_EQ(ZOZThreadContextGetStackPointer(&arm), 0x8'1234'5678ull);
  EXPECT_EQ(ZOZThreadContextGetFramePointer(&arm), 0x8'1234'5678ull);
  EXPECT_EQ(ZOZThreadContextGetLinkRegister(&arm), 0x8'1234'5678ull);
  EXPECT_EQ(arm.arm64.ss.lr, signedValue) << "writes keep the whole value";
  arm.arm64.ss.x[3] = signedValue;
  EXPECT_EQ(ZOZDwarfUnwindGetRegisterValue(&arm, 3), signedValue) << "x0 to x28 are read whole";
  EXPECT_EQ(ZOZDwarfUnwindGetRegisterValue(&arm, 31), 0x8'1234'5678ull);

  ZOZThreadContext x86 = x86State(stackAddress + 1, stackAddress, stackAddress + 16);
  EXPECT_EQ(ZOZThreadContextGetPC(&x86), stackAddress + 1);
  EXPECT_EQ(ZOZThreadContextGetStackPointer(&x86), stackAddress);
  EXPECT_EQ(ZOZThreadContextGetFramePointer(&x86), stackAddress + 16);
  EXPECT_EQ(ZOZDwarfUnwindGetRegisterValue(&x86, 7), stackAddress);
  EXPECT_EQ(ZOZDwarfUnwindGetRegisterValue(&x86, 16), stackAddress + 1);
}

TEST(RegisterState, DwarfNumbersAndTheirLimits) {
  LogCapture log;
  ZOZThreadContext arm = arm64State(0x1000, 0x2000, 0x3000, 0x4000);
  ASSERT_TRUE(ZOZDwarfUnwindSetRegisterValue(&arm, 30, 0x5000));
  EXPECT_EQ(arm.arm64.ss.lr, 0x5000u);
  EXPECT_EQ(arm.arm64.ss.pc, 0x5000u) << "writing register 30 also writes pc";
  ASSERT_TRUE(ZOZDwarfUnwindSetRegisterValue(&arm, 29, 0x6000));
  EXPECT_EQ(arm.arm64.ss.fp, 0x6000u);
  EXPECT_FALSE(ZOZDwarfUnwindSetRegisterValue(&arm, 32, 1));
  EXPECT_TRUE(log.has("Unrecognized set register number %llu"));
  EXPECT_EQ(ZOZDwarfUnwindGetRegisterValue(&arm, 32), 0u);
  EXPECT_TRUE(log.has("Error: Unrecognized get register number %llu"));

  // x86-64: DWARF order rax, rdx, rcx, rbx, rsi, rdi, rbp, rsp, r8..r15, rip.
  ZOZThreadContext x86 = x86State(0x1000, 0x2000, 0x3000);
  for (uint64_t n = 0; n <= 16; ++n) ASSERT_TRUE(ZOZDwarfUnwindSetRegisterValue(&x86, n, 0x100 + n));
  EXPECT_EQ(x86.x86_64.rax, 0x100u);
  EXPECT_EQ(x86.x86_64.rdx, 0x101u);
  EXPECT_EQ(x86.x86_64.rbx, 0x103u);
  EXPECT_EQ(x86.x86_64.rbp, 0x106u);
  EXPECT_EQ(x86.x86_64.rsp, 0x107u);
  EXPECT_EQ(x86.x86_64.r15, 0x10Fu);
  EXPECT_EQ(x86.x86_64.rip, 0x110u);
  EXPECT_FALSE(ZOZDwarfUnwindSetRegisterValue(&x86, 17, 1));
  EXPECT_EQ(ZOZThreadContextGetLinkRegister(&x86), 0u) << "x86-64 has no link register";
  EXPECT_FALSE(ZOZThreadContextSetLinkRegister(&x86, 0x5000));

  const auto* low = reinterpret_cast<ZOZThreadContext*>(uintptr_t(16));
  EXPECT_EQ(ZOZThreadContextGetPC(low), 0u);
  EXPECT_EQ(ZOZThreadContextGetFramePointer(low), 0u);
  EXPECT_FALSE(ZOZThreadContextSetStackPointer(const_cast<ZOZThreadContext*>(low), 1));
}

// ---- Readers ----

TEST(DwarfReaders, LEB128) {
  struct Case {
    const char* name;
    Bytes bytes;
    bool isSigned;
    uint64_t value;
    size_t consumed;
  };
  const Case cases[] = {
      {"one byte", {0x7F}, false, 127, 1},
      {"three bytes", {0xE5, 0x8E, 0x26}, false, 624485, 3},
      {"signed -2", {0x7E}, true, uint64_t(-2), 1},
      {"signed -128", {0x80, 0x7F}, true, uint64_t(-128), 2},
      {"signed 63", {0x3F}, true, 63, 1},
      {"signed 64 needs two bytes", {0xC0, 0x00}, true, 64, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Memory memory;
    const uint64_t start = memory.address(memory.append(c.bytes));
    uint64_t position = start;
    uint64_t value = 0;
    if (c.isSigned) {
      int64_t v = 0;
      ASSERT_TRUE(ZOZDwarfReadSLEB128(&position, &v));
      value = uint64_t(v);
    } else {
      ASSERT_TRUE(ZOZDwarfReadULEB128(&position, &value));
    }
    EXPECT_EQ(value, c.value);
    EXPECT_EQ(position - start, c.consumed);
  }
  uint64_t unreadable = unreadableAddress();
  uint64_t value = 0;
  EXPECT_FALSE(ZOZDwarfReadULEB128(&unreadable, &value));
}

// Reads through a section cache answer as the safe read does, a range that
// runs into an unreadable page included; while the outermost cache lives its
// copies are served (an inner one takes nothing over), and after it the
// memory itself is read again.
TEST(DwarfReaders, SectionCache) {
  const size_t page = size_t(::sysconf(_SC_PAGESIZE));
  auto* base = static_cast<uint8_t*>(::mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE,
                                            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(base, MAP_FAILED);
  ASSERT_EQ(::mprotect(base + page, page, PROT_NONE), 0);
  for (size_t i = 0; i < page; ++i) base[i] = uint8_t(i * 7);
  const uint64_t start = uint64_t(base);
  const uint64_t block = ZOZDwarfSectionCache::kBlockSize;

  struct Case {
    const char* name;
    uint64_t address;
    size_t length;
    bool readable;
  };
  const Case cases[] = {
      {"inside one block", start + 3, 5, true},
      {"across blocks", start + block - 3, block + 6, true},
      {"up to the page's end", start + page - 8, 8, true},
      {"into the unreadable page", start + page - 4, 8, false},
      {"inside the unreadable page", start + page + 16, 4, false},
      {"below 4096", 16, 4, false},
      {"wrapping around", ~uint64_t(0) - 2, 8, false},
  };
  std::optional<ZOZDwarfSectionCache> cache;
  cache.emplace();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> cached(c.length), safe(c.length);
    EXPECT_EQ(ZOZDwarfReadSection(c.address, cached.data(), c.length), c.readable);
    EXPECT_EQ(ZOZReadMemory(c.address, safe.data(), c.length), c.readable);
    if (c.readable) {
      EXPECT_EQ(cached, safe);
    }
  }

  uint8_t value = 0;
  base[3] = 0xEE;
  {
    ZOZDwarfSectionCache inner;
    ASSERT_TRUE(ZOZDwarfReadSection(start + 3, &value, 1));
    EXPECT_EQ(value, uint8_t(3 * 7));
  }
  ASSERT_TRUE(ZOZDwarfReadSection(start + 3, &value, 1));
  EXPECT_EQ(value, uint8_t(3 * 7));
  cache.reset();
  cache.emplace();  // a fresh one copies the memory as it is now
  ASSERT_TRUE(ZOZDwarfReadSection(start + 3, &value, 1));
  EXPECT_EQ(value, 0xEE);
  ::munmap(base, 2 * page);
}

TEST(DwarfReaders, PointerEncodings) {
  LogCapture log;
  Memory memory;
  const size_t cell = memory.appendU64(0x1234567);  // the target of indirect values
  struct Case {
    const char* name;
    uint8_t encoding;
    Bytes field;
    std::optional<uint64_t> value;  // none: failure; pc-relative ones add the field's address
    bool relative;
    size_t consumed;
    const char* message;
  };
  auto le32 = [](int32_t v) {
    Bytes b(4);
    std::memcpy(b.data(), &v, 4);
    return b;
  };
  auto le64 = [](uint64_t v) {
    Bytes b(8);
    std::memcpy(b.data(), &v, 8);
    return b;
  };
  const Case cases[] = {
      {"absolute 8 bytes", 0x00, le64(0x1122334455667788ull), 0x1122334455667788ull, false, 8, nullptr},
      {"unsigned 4 bytes", 0x03, le32(int32_t(0x80000000u)), 0x80000000ull, false, 4, nullptr},
      {"signed 4 bytes", 0x0B, le32(int32_t(0x80000000u)), 0xFFFFFFFF80000000ull, false, 4, nullptr},
      {"unsigned 2 bytes", 0x02, {0xFE, 0xFF}, 0xFFFE, false, 2, nullptr},
      {"signed 2 bytes", 0x0A, {0xFE, 0xFF}, uint64_t(-2), false, 2, nullptr},
      {"unsigned LEB128", 0x01, {0xE5, 0x8E, 0x26}, 624485, false, 3, nullptr},
      {"signed LEB128", 0x09, {0x7D}, uint64_t(-3), false, 1, nullptr},
      {"unhandled format", 0x05, {0, 0, 0, 0}, std::nullopt, false, 0, "Unhandled: encoding 0x%02x"},
      {"unhandled application", 0x33, {0, 0, 0, 0}, std::nullopt, false, 0, "Unhandled: relative encoding 0x%02x"},
      // Indirect pointers are read through the safe read: no fault.
      {"indirect through an unreadable address", 0x80, le64(unreadableAddress()), std::nullopt, false, 0, nullptr},
      {"indirect through address 0", 0x80, le64(0), std::nullopt, false, 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log.clear();
    const uint64_t field = memory.address(memory.append(c.field));
    uint64_t position = field;
    const uint64_t value = ZOZParseAddressWithEncodingAndAdvance(&position, c.encoding);
    if (!c.value) {
      EXPECT_EQ(value, ZOZDwarfEncodedValueFailure);
    } else {
      EXPECT_EQ(value, *c.value + (c.relative ? field : 0));
      EXPECT_EQ(position - field, c.consumed);
    }
    if (c.message) {
      EXPECT_TRUE(log.has(c.message)) << log.recent();
    }
  }

  // Indirect and pc-relative: the field points at a cell holding the value.
  const size_t field = memory.appendU32(0);
  memory.putU32(field, uint32_t(int32_t(int64_t(memory.address(cell)) - int64_t(memory.address(field)))));
  uint64_t position = memory.address(field);
  EXPECT_EQ(ZOZParseAddressWithEncodingAndAdvance(&position, 0x9B), 0x1234567u);

  position = 0;
  EXPECT_EQ(ZOZParseAddressWithEncodingAndAdvance(&position, 0x03), ZOZDwarfEncodedValueFailure);
}

// ---- CIE and FDE ----

TEST(DwarfRecords, ParsesCIEAndFDE) {
  Memory memory;
  struct Case {
    const char* name;
    CIESpec cie;
  };
  const Case cases[] = {
      {"version 1, zR", {1, "zR", 4, -8, 30, 0x1B, {0x0C, 31, 0}}},
      {"version 3, pc-relative and absolute pointers", {3, "zR", 4, -8, 300, 0x00, {0x0C, 31, 0}}},
      {"personality, LSDA and signal frame", {1, "zPLRS", 1, -8, 16, 0x1B, {0x0C, 7, 8}}},
      {"no augmentation", {1, "", 1, -8, 16, 0x00, {0x0C, 7, 8}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t cieOffset = appendCIE(memory, c.cie);
    const Bytes instructions{0x44, 0x0E, 32};
    const size_t fdeOffset = appendFDE(memory, cieOffset, c.cie, 0x40001000, 0x80, instructions);

    ZOZDwarfCFIRecord record;
    ASSERT_TRUE(ZOZDwarfLoadFDEAtOffset(&record, memory.base(), fdeOffset));
    EXPECT_EQ(record.cie.version, c.cie.version);
    EXPECT_EQ(record.cie.codeAlignFactor, c.cie.codeAlign);
    EXPECT_EQ(record.cie.dataAlignFactor, c.cie.dataAlign);
    EXPECT_EQ(record.cie.returnAddressRegister, c.cie.returnAddressRegister);
    EXPECT_STREQ(reinterpret_cast<const char*>(record.cie.augmentationString), c.cie.augmentation.c_str());
    EXPECT_EQ(record.cie.pointerEncoding, c.cie.augmentation.find('R') != std::string::npos ? c.cie.fdeEncoding : 0);
    EXPECT_EQ(record.cie.signalFrame, c.cie.augmentation.find('S') != std::string::npos);
    if (c.cie.augmentation.find('P') != std::string::npos) {
      EXPECT_EQ(record.cie.personalityAddress, 0x1111111111111111ull);
      EXPECT_EQ(record.cie.lsdaEncoding, 0x1B);
    }
    ASSERT_GE(record.cie.instructions.length, 3u);
    EXPECT_EQ(0,
              std::memcmp(reinterpret_cast<const void*>(record.cie.instructions.start), c.cie.instructions.data(), 3));
    EXPECT_EQ(record.fde.pcBegin, 0x40001000u);
    EXPECT_EQ(record.fde.addressRange, 0x80u);
    ASSERT_GE(record.fde.instructions.length, 3u);
    EXPECT_EQ(0, std::memcmp(reinterpret_cast<const void*>(record.fde.instructions.start), instructions.data(), 3));
    EXPECT_EQ(record.fde.instructions.start + record.fde.instructions.length,
              memory.address(fdeOffset) + 4 + record.fde.length);
  }
}

TEST(DwarfRecords, RefusesWhatItDoesNotHandle) {
  LogCapture log;
  struct Case {
    const char* name;
    std::function<uint64_t(Memory&)> build;  // returns the FDE's offset
    const char* message;
  };
  auto withCIE = [](CIESpec cie) {
    return [cie](Memory& m) {
      const size_t c = appendCIE(m, cie);
      return uint64_t(appendFDE(m, c, cie, 0x40001000, 0x80, {0}));
    };
  };
  const Case cases[] = {
      {"augmentation without z", withCIE({1, "eh", 4, -8, 30, 0x1B, {}}),
       "Error: Unimplemented: augmentation string %s"},
      {"unknown augmentation letter", withCIE({1, "zRX", 4, -8, 30, 0x1B, {}}),
       "Error: Unhandled augmentation string entry %c"},
      {"unhandled pointer encoding", withCIE({1, "zR", 4, -8, 30, 0x06, {}}), "Error: Found an invalid start address"},
      {"FDE of zero length",
       [](Memory& m) {
         m.append({0x55});  // keeps the offset non-zero
         return uint64_t(m.appendU32(0));
       },
       "Error: FDE has zero length"},
      {"FDE with a zero CIE pointer",
       [](Memory& m) {
         m.append({0x55});
         const size_t f = m.appendU32(12);
         m.append(Bytes(12, 0));
         return uint64_t(f);
       },
       "Error: CIE offset invalid"},
      {"CIE of zero length",
       [](Memory& m) {
         const size_t c = m.appendU32(0);
         const size_t f = m.appendU32(12);
         m.appendU32(uint32_t(m.size() - c));
         m.append(Bytes(8, 0));
         return uint64_t(f);
       },
       "Error: CIE length invalid"},
      // Unwind sections are read through the safe read: no fault.
      {"CIE pointer into unreadable memory",
       [](Memory& m) {
         m.append({0x55});
         const size_t f = m.appendU32(12);
         const size_t p = m.appendU32(0);
         m.putU32(p, uint32_t(m.address(p) - unreadableAddress()));
         m.append(Bytes(8, 0));
         return uint64_t(f);
       },
       "Error: Unable to parse CIE record"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log.clear();
    Memory memory;
    const uint64_t offset = c.build(memory);
    ZOZDwarfCFIRecord record;
    EXPECT_FALSE(ZOZDwarfLoadFDEAtOffset(&record, memory.base(), offset));
    EXPECT_TRUE(log.has(c.message)) << log.recent();
  }
  ZOZDwarfCFIRecord record;
  EXPECT_FALSE(ZOZDwarfLoadFDEAtOffset(&record, 0x40000000, 0));
  EXPECT_FALSE(ZOZDwarfLoadFDEAtOffset(&record, unreadableAddress(), 16));
}

// ---- Instructions ----

struct InstructionCase {
  const char* name;
  ZOZRegisterLayout layout;
  Bytes initial;       // run first, without limit, as a CIE's would be
  Bytes instructions;  // then these, up to pcLimit
  int64_t pcLimit;
  bool ok;
  std::function<void(const ZOZDwarfRuleSet&)> check;
  const char* message;
};

void runInstructionCases(const std::vector<InstructionCase>& cases) {
  LogCapture log;
  for (const InstructionCase& c : cases) {
    SCOPED_TRACE(c.name);
    log.clear();
    Memory memory;
    ZOZDwarfCIERecord cie{};
    cie.version = 1;
    cie.codeAlignFactor = 4;
    cie.dataAlignFactor = -8;
    cie.pointerEncoding = 0x00;
    ZOZDwarfRuleSet rules{};
    const ZOZDwarfInstructions initial{uint32_t(c.initial.size()), memory.address(memory.append(c.initial))};
    ASSERT_TRUE(ZOZDwarfInstructionsEnumerate(&initial, &cie, &rules, INT64_MAX, 0x40000000, c.layout));
    const ZOZDwarfInstructions instructions{uint32_t(c.instructions.size()),
                                            memory.address(memory.append(c.instructions))};
    EXPECT_EQ(ZOZDwarfInstructionsEnumerate(&instructions, &cie, &rules, c.pcLimit, 0x40000000, c.layout), c.ok)
        << log.recent();
    if (c.check) c.check(rules);
    if (c.message) {
      EXPECT_TRUE(log.has(c.message)) << log.recent();
    }
  }
}

auto cfaOffset(uint64_t expected) {
  return [expected](const ZOZDwarfRuleSet& r) { EXPECT_EQ(r.cfaRule.offset, expected); };
}

auto rule(uint64_t reg, uint32_t kind, uint64_t value) {
  return [=](const ZOZDwarfRuleSet& r) {
    EXPECT_EQ(r.registers[reg].kind, kind);
    EXPECT_EQ(r.registers[reg].value, value);
  };
}

Bytes le64(uint64_t v) {
  Bytes b(8);
  std::memcpy(b.data(), &v, 8);
  return b;
}

TEST(DwarfInstructions, LocationsAndLimits) {
  constexpr auto arm = ZOZRegisterLayout::ARM64;
  runInstructionCases({
      // Code alignment factor 4: the three advances reach location 12.
      {"advance_loc1, 2 and 4 add up", arm, {}, {0x02, 1, 0x03, 1, 0, 0x04, 1, 0, 0, 0, 0x0E, 32}, 12, true,
       cfaOffset(0), nullptr},
      {"advance_loc1, 2 and 4 then the rule past them", arm, {}, {0x02, 1, 0x03, 1, 0, 0x04, 1, 0, 0, 0, 0x0E, 32},
       13, true, cfaOffset(32), nullptr},
      {"a pc limit of 0 runs nothing", arm, {}, {0x0E, 32}, 0, true, cfaOffset(0), nullptr},
      // set_loc's operand is an address: taken whole as the location, it would
      // lie past every pc limit; the location is its offset from pc begin.
      {"set_loc counts from pc begin", arm, {}, cat({{0x01}, le64(0x40000010), {0x0E, 32}}), 0x11, true,
       cfaOffset(32), nullptr},
      {"set_loc to the limit stops", arm, {}, cat({{0x01}, le64(0x40000010), {0x0E, 32}}), 0x10, true, cfaOffset(0),
       nullptr},
  });
}

TEST(DwarfInstructions, Rules) {
  constexpr auto arm = ZOZRegisterLayout::ARM64;
  constexpr auto x86 = ZOZRegisterLayout::X86_64;
  runInstructionCases({
      {"offset is factored by the data alignment", arm, {}, {0x9E, 2}, 100, true,
       rule(30, ZOZDwarfRuleCFAOffset, uint64_t(-16)), "DW_CFA_offset %u, %lld"},
      {"register", arm, {}, {0x09, 19, 20}, 100, true, rule(19, ZOZDwarfRuleRegister, 20), nullptr},
      {"same_value clears a rule", arm, {0x9E, 2}, {0x08, 30}, 100, true, rule(30, ZOZDwarfRuleUnchanged, 0),
       nullptr},
      {"def_cfa", arm, {}, {0x0C, 29, 16}, 100, true,
       [](const ZOZDwarfRuleSet& r) {
         EXPECT_EQ(r.cfaRule.registerNum, 29u);
         EXPECT_EQ(r.cfaRule.offset, 16u);
       },
       nullptr},
      // A CFA expression kept after def_cfa would still decide the CFA; in
      // DWARF a register rule for the CFA replaces an expression rule.
      {"def_cfa ends a CFA expression", arm, {0x0F, 2, 0x8F, 0x00}, {0x0C, 31, 16}, 100, true,
       [](const ZOZDwarfRuleSet& r) {
         EXPECT_EQ(r.cfaRule.expression, 0u);
         EXPECT_EQ(r.cfaRule.registerNum, 31u);
       },
       nullptr},
      {"def_cfa_register ends a CFA expression", arm, {0x0F, 2, 0x8F, 0x00}, {0x0D, 29}, 100, true,
       [](const ZOZDwarfRuleSet& r) {
         EXPECT_EQ(r.cfaRule.expression, 0u);
         EXPECT_EQ(r.cfaRule.registerNum, 29u);
       },
       nullptr},
      {"def_cfa_offset keeps a CFA expression", arm, {0x0F, 2, 0x8F, 0x00}, {0x0E, 8}, 100, true,
       [](const ZOZDwarfRuleSet& r) {
         EXPECT_NE(r.cfaRule.expression, 0u);
         EXPECT_EQ(r.cfaRule.registerNum, ZOZDwarfCFARegisterExpression);
       },
       nullptr},
      {"expression and val_expression keep the block's address", arm, {}, {0x10, 19, 1, 0x30, 0x16, 20, 1, 0x31},
       100, true,
       [](const ZOZDwarfRuleSet& r) {
         EXPECT_EQ(r.registers[19].kind, ZOZDwarfRuleCFAExpression);
         EXPECT_EQ(r.registers[20].kind, ZOZDwarfRuleValueExpression);
         EXPECT_EQ(r.registers[20].value, r.registers[19].value + 4);
       },
       nullptr},
      {"x86-64 registers stop at 16", x86, {}, {0x0C, 17, 8}, 100, false, nullptr,
       "Error: Found an invalid DW_CFA_def_cfa register number"},
  });
}

TEST(DwarfInstructions, RefusalsAndStates) {
  constexpr auto arm = ZOZRegisterLayout::ARM64;
  constexpr auto x86 = ZOZRegisterLayout::X86_64;
  runInstructionCases({
      {"arm64: restore refuses", arm, {}, {0xDE}, 100, false, nullptr,
       "Error: Unimplemented DWARF instruction with operand 0x%x"},
      {"x86-64: restore_state brings back the remembered rules", x86, {},
       {0x0E, 16, 0x86, 2, 0x0A, 0x0E, 8, 0xC6, 0x41, 0x0B}, 100, true,
       [](const ZOZDwarfRuleSet& r) {
         EXPECT_EQ(r.cfaRule.offset, 16u);
         EXPECT_EQ(r.registers[6].kind, ZOZDwarfRuleCFAOffset);
       },
       "DW_CFA_restore_state"},
      {"x86-64: restore brings back the rule the run began with", x86, {0x86, 2}, {0x86, 4, 0xC6}, 100, true,
       rule(6, ZOZDwarfRuleCFAOffset, uint64_t(-16)), "DW_CFA_restore %u"},
      {"x86-64: restore_state without remember_state", x86, {}, {0x0B}, 100, false, nullptr,
       "Error: DW_CFA_restore_state without a remembered state"},
      {"x86-64: remembered states are bounded", x86, {}, Bytes(ZOZDwarfRememberedStateDepth + 1, 0x0A), 100, false,
       nullptr, "Error: DW_CFA_remember_state nested too deeply"},
      {"x86-64: restore_extended stays refused", x86, {}, {0x06, 6}, 100, false, nullptr,
       "Error: Unimplemented DWARF instruction 0x%x"},
      {"GNU_args_size refuses", x86, {}, {0x2E, 16}, 100, false, nullptr,
       "Error: Unimplemented DWARF instruction 0x%x"},
      {"unrecognized instruction", arm, {}, {0x20}, 100, false, nullptr, "Error: Unrecognized DWARF instruction 0x%x"},
      {"offset of register 32", arm, {}, {0xA0, 1}, 100, false, nullptr,
       "Error: Found an invalid DW_CFA_offset register number"},
      {"register with a second operand of 32", arm, {}, {0x09, 1, 32}, 100, false, nullptr,
       "Error: Found an invalid DW_CFA_register value"},
  });
}

// ---- Expressions ----

TEST(DwarfExpressions, Opcodes) {
  LogCapture log;
  Memory memory;
  const size_t wordOffset = memory.appendU64(0xFFFFFFFFFFFF1234ull);
  const uint64_t word = memory.address(wordOffset);
  const uint64_t signedSP = 0xA5B6'0000'0000'0000ull | 0x8'0000'1000ull;

  struct Case {
    const char* name;
    ZOZThreadContext state;
    Bytes opcodes;
    std::optional<uint64_t> result;
    const char* message;
  };
  ZOZThreadContext arm = arm64State(0x1000, signedSP, 0x2000, 0x3000);
  arm.arm64.ss.x[0] = word;
  ZOZThreadContext x86 = x86State(0x1000, 0x7FFD'0000'1000ull, 0x2000);
  x86.x86_64.rax = word;
  // breg0 0 pushes the word's address in both layouts.
  const Bytes pushWord{0x70, 0x00};
  const Case cases[] = {
      {"x86-64 breg7 is rsp whole", x86, {0x77, 0x10}, 0x7FFD'0000'1010ull, nullptr},
      {"breg with a negative operand", arm, {0x8F, 0x70}, 0x8'0000'0FF0ull, nullptr},
      {"plus of the initial value and a literal", arm, {0x35, 0x22}, 0x105, nullptr},
      {"deref_size 2 is zero-extended", arm, cat({pushWord, {0x94, 2}}), 0x1234, nullptr},
      {"deref_size 8", x86, cat({pushWord, {0x94, 8}}), 0xFFFFFFFFFFFF1234ull, nullptr},
      {"deref", arm, cat({pushWord, {0x06}}), 0xFFFFFFFFFFFF1234ull, nullptr},
      {"deref of an unreadable address", arm, {0x30, 0x06}, std::nullopt, "Error: DW_OP_deref failed to read memory"},
      {"dup, lit, swap, and, ne", arm, {0x3C, 0x12, 0x3A, 0x1A, 0x3C, 0x16, 0x2E}, 1, nullptr},
      {"plus_uconst", arm, {0x23, 0x80, 0x01}, 0x100 + 128, nullptr},
      {"the stack holds 100 values", arm, Bytes(99, 0x31), 1, nullptr},
      {"a 101st value fails", arm, Bytes(100, 0x31), std::nullopt, "Error: failed to execute DWARF machine opcode"},
      {"unrecognized opcode", arm, {0x96}, std::nullopt, "Error: Unrecognized DWARF expression opcode 0x%x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log.clear();
    const uint64_t expression = memory.address(memory.append(cat({uleb(c.opcodes.size()), c.opcodes})));
    uint64_t result = 0;
    const bool ok = ZOZDwarfEvalulateExpression(expression, &c.state, 0x100, &result);
    EXPECT_EQ(ok, c.result.has_value()) << log.recent();
    if (ok && c.result) {
      EXPECT_EQ(result, *c.result);
    }
    if (c.message) {
      EXPECT_TRUE(log.has(c.message)) << log.recent();
    }
  }

  // An operand that runs past the block's end.
  log.clear();
  uint64_t result = 0;
  const uint64_t overrun = memory.address(memory.append({0x01, 0x23, 0x05}));
  EXPECT_FALSE(ZOZDwarfEvalulateExpression(overrun, &arm, 0, &result));
  EXPECT_TRUE(log.has("Error: DWARF expression hasn't completed execution"));
  log.clear();
  const uint64_t empty = memory.address(memory.append({0x00}));
  EXPECT_FALSE(ZOZDwarfEvalulateExpression(empty, &arm, 0, &result));
  EXPECT_TRUE(log.has("Error: DWARF expression length is zero"));
  EXPECT_FALSE(ZOZDwarfEvalulateExpression(unreadableAddress(), &arm, 0, &result));
}

// ---- One DWARF step ----

TEST(DwarfStep, Arm64FrameFromBuiltStack) {
  LogCapture log;
  Memory memory;
  // The function at 0x40001000 stores fp and lr at sp and sp + 8 after
  // lowering sp by 32; its caller's x19 lives in x20.
  const CIESpec spec{1, "zR", 4, -8, 30, 0x1B, {0x0C, 31, 0}};
  const size_t cie = appendCIE(memory, spec);
  const Bytes body{0x41, 0x0E, 32, 0x9D, 4, 0x9E, 3, 0x09, 19, 20};
  const size_t fde = appendFDE(memory, cie, spec, 0x40001000, 0x100, body);
  memory.align(16);
  const size_t stack = memory.append(Bytes(64, 0));
  memory.putU64(stack, 0x40008000);      // saved fp
  memory.putU64(stack + 8, 0x4000207C);  // saved lr
  const uint64_t sp = memory.address(stack);

  ZOZDwarfCFIRecord record;
  ASSERT_TRUE(ZOZDwarfLoadFDEAtOffset(&record, memory.base(), fde));
  ZOZThreadContext state = arm64State(0x40001013, sp, 0x1234, 0x40001999);
  state.arm64.ss.x[20] = 77;
  ASSERT_TRUE(ZOZDwarfUnwindComputeRegisters(&record, &state)) << log.recent();
  EXPECT_EQ(state.arm64.ss.sp, sp + 32);
  EXPECT_EQ(state.arm64.ss.fp, 0x40008000u);
  EXPECT_EQ(state.arm64.ss.lr, 0x4000207Cu);
  EXPECT_EQ(state.arm64.ss.pc, 0x4000207Cu);
  EXPECT_EQ(state.arm64.ss.x[19], 77u);

  // At the first instruction the prologue has not run: CFA = sp, and no rule
  // moves lr.
  log.clear();
  ZOZThreadContext entry = arm64State(0x40001000, sp, 0x1234, 0x40001999);
  EXPECT_FALSE(ZOZDwarfUnwindComputeRegisters(&record, &entry));
  EXPECT_TRUE(log.has("Error: Stack pointer hasn't changed")) << log.recent();

  // A pc below the FDE's start.
  log.clear();
  ZOZThreadContext before = arm64State(0x40000FFF, sp, 0x1234, 0x40001999);
  EXPECT_FALSE(ZOZDwarfUnwindComputeRegisters(&record, &before));
  EXPECT_TRUE(log.has("Error: The FDE pcOffset value cannot be negative"));
}

TEST(DwarfStep, FailingRulesAndUnchangedPC) {
  LogCapture log;
  Memory memory;
  memory.align(16);
  const size_t stack = memory.append(Bytes(64, 0));
  const uint64_t sp = memory.address(stack);
  memory.putU64(stack + 24, 0x40002000);

  struct Case {
    const char* name;
    Bytes cie;
    Bytes fde;
    bool ok;
    const char* message;
  };
  const Case cases[] = {
      // CFA = x0 + 8 with x0 unreadable: lr is read from x0 and becomes 0.
      {"an unreadable saved register becomes 0", {0x0C, 0, 8}, {0x9E, 1}, true, "Error: Unable to read CFA value"},
      {"a CFA expression", {0x0F, 2, 0x8F, 0x20}, {0x9E, 1}, true, nullptr},
      {"a broken CFA expression", {0x0F, 1, 0x22}, {0x9E, 1}, false, "Error: failed to get CFA"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log.clear();
    const CIESpec spec{1, "zR", 4, -8, 30, 0x1B, c.cie};
    const size_t cie = appendCIE(memory, spec);
    const size_t fde = appendFDE(memory, cie, spec, 0x40001000, 0x100, c.fde);
    ZOZDwarfCFIRecord record;
    ASSERT_TRUE(ZOZDwarfLoadFDEAtOffset(&record, memory.base(), fde));
    ZOZThreadContext state = arm64State(0x40001010, sp, 0x1234, 0x40001999);
    state.arm64.ss.x[0] = unreadableAddress();
    EXPECT_EQ(ZOZDwarfUnwindComputeRegisters(&record, &state), c.ok) << log.recent();
    if (c.message) {
      EXPECT_TRUE(log.has(c.message)) << log.recent();
    }
  }
}

// A thread's or the program's entry marks its return address undefined: the
// step succeeds with no caller (pc 0, which ends a walk) instead of refusing
// the instruction and leaving the walk on an error.
TEST(DwarfStep, AnUndefinedReturnAddressMarksTheOutermostFrame) {
  LogCapture log;
  Memory memory;
  const CIESpec spec{1, "zR", 1, -8, 16, 0x00, {0x0C, 7, 8, 0x90, 1}};
  const size_t cie = appendCIE(memory, spec);
  const uint64_t begin = 0x7F00'0000'2000ull;
  const size_t fde = appendFDE(memory, cie, spec, begin, 0x40, {0x41, 0x07, 16, 0x07, 6});
  memory.align(16);
  const size_t stack = memory.append(Bytes(32, 0));
  memory.putU64(stack, 0x5555'0000'3333ull);
  const uint64_t rsp = memory.address(stack);
  ZOZDwarfCFIRecord record;
  ASSERT_TRUE(ZOZDwarfLoadFDEAtOffset(&record, memory.base(), fde));

  ZOZThreadContext state = x86State(begin + 4, rsp, 0x1234);
  ASSERT_TRUE(ZOZDwarfUnwindComputeRegisters(&record, &state)) << log.recent();
  EXPECT_EQ(state.x86_64.rip, 0u);
  // Before the instruction the frame is an ordinary one.
  ZOZThreadContext atEntry = x86State(begin, rsp, 0x1234);
  ASSERT_TRUE(ZOZDwarfUnwindComputeRegisters(&record, &atEntry)) << log.recent();
  EXPECT_EQ(atEntry.x86_64.rip, 0x5555'0000'3333ull);

  ZOZDwarfRuleSet rules{};
  const Bytes bad{0x07, 17};
  const uint64_t start = memory.address(memory.append(bad));
  const ZOZDwarfInstructions instructions{uint32_t(bad.size()), start};
  EXPECT_FALSE(ZOZDwarfInstructionsEnumerate(&instructions, &record.cie, &rules, 100, begin, ZOZRegisterLayout::X86_64));
  EXPECT_TRUE(log.has("Error: Found an invalid DW_CFA_undefined register number"));
}

// The shape of compiled x86-64 code: push rbp; mov rbp, rsp; ...; an
// epilogue between remember_state and restore_state; code after it.
TEST(DwarfStep, X86FrameWithRememberedState) {
  LogCapture log;
  Memory memory;
  const CIESpec spec{1, "zR", 1, -8, 16, 0x1B, {0x0C, 7, 8, 0x90, 1}};
  const size_t cie = appendCIE(memory, spec);
  const uint64_t begin = 0x7F00'0000'1000ull;
  const Bytes body{0x41, 0x0E, 16, 0x86, 2,  // 0: push rbp
                   0x43, 0x0D, 6,            // 1: mov rbp, rsp
                   0x4A, 0x0A,               // 14: pop rbp
                   0x41, 0x0C, 7, 8,         // 15: ret
                   0x41, 0x0B};              // 16: code after the epilogue
  const size_t fde = appendFDE(memory, cie, spec, begin, 0x40, body);
  memory.align(16);
  const size_t stack = memory.append(Bytes(64, 0));
  const uint64_t rbp = memory.address(stack + 16);
  memory.putU64(stack + 16, 0x7FFD'0000'9000ull);  // saved rbp
  memory.putU64(stack + 24, 0x5555'0000'2222ull);  // return address

  ZOZDwarfCFIRecord record;
  ASSERT_TRUE(ZOZDwarfLoadFDEAtOffset(&record, memory.base(), fde));
  struct Case {
    const char* name;
    uint64_t pcOffset;
    uint64_t rsp;
  };
  const Case cases[] = {
      {"in the body", 8, memory.address(stack)},
      {"at the return", 15, memory.address(stack + 24)},
      {"after the epilogue", 20, memory.address(stack)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ZOZThreadContext state = x86State(begin + c.pcOffset, c.rsp, rbp);
    ASSERT_TRUE(ZOZDwarfUnwindComputeRegisters(&record, &state)) << log.recent();
    EXPECT_EQ(state.x86_64.rip, 0x5555'0000'2222ull);
    EXPECT_EQ(state.x86_64.rsp, rbp + 16);
    EXPECT_EQ(state.x86_64.rbp, 0x7FFD'0000'9000ull);
  }
}

// ---- The edge cases, side by side ----

// A synthetic arm64 image whose functions (0x100 bytes each from 0x1000) are
// sent by their compact encoding to one FDE each. Every function's frame
// keeps the caller's fp and lr at sp and sp + 8 (the DWARF answer, lr =
// kDwarfReturn), while the frame record at fp says kRecordReturn: the next
// pc tells which rule the step took.
class DwarfImage {
 public:
  static constexpr uint64_t kDwarfReturn = 0x60000100;
  static constexpr uint64_t kRecordReturn = 0x60000200;

  explicit DwarfImage(const std::vector<std::pair<CIESpec, Bytes>>& functions) : memory(0x10000) {
    memory.append(Bytes(0x4000, 0));
    const size_t ehFrame = memory.size();
    std::vector<uint32_t> encodings;
    CompactPage page{3, 0x1000, {}, {}};
    for (size_t i = 0; i < functions.size(); ++i) {
      const auto& [cie, body] = functions[i];
      const size_t c = appendCIE(memory, cie);
      const size_t f = appendFDE(memory, c, cie, memory.address(0x1000 + 0x100 * i), 0x100, body);
      page.entries.push_back({uint32_t(0x1000 + 0x100 * i), uint8_t(i)});
      page.encodings.push_back(ZOZCompactUnwindModeDwarf | uint32_t(f - ehFrame));
    }
    appendTerminator(memory);
    const size_t info = appendUnwindInfo(memory, {}, {page}, uint32_t(0x1000 + 0x100 * functions.size()));
    memory.align(16);
    stack = memory.append(Bytes(0x100, 0));
    memory.putU64(stack + 0x00, memory.address(stack + 0x80));  // saved fp
    memory.putU64(stack + 0x08, kDwarfReturn);                    // saved lr
    memory.putU64(stack + 0x80, 0);                               // the frame record at fp
    memory.putU64(stack + 0x88, kRecordReturn);
    images.add(imageNode(memory.base(), 0x10000, memory.address(info), memory.address(ehFrame)));
  }

  // The pc of the second frame when the first is at `offset` (lr is 0, so
  // the fallback reads the frame record).
  uint64_t callerOf(uint64_t offset) {
    const ZOZThreadContext state =
        arm64State(memory.address(offset), memory.address(stack), memory.address(stack + 0x80), 0);
    ZOZUnwindContext context;
    if (!ZOZUnwindInit(&context, &state) || !ZOZUnwindNextFrame(&context) || !ZOZUnwindNextFrame(&context)) return 0;
    return ZOZUnwindGetPC(&context);
  }

  Memory memory;
  size_t stack = 0;
  ImageTable images;
};

TEST(DwarfEdgeCases, Table) {
  LogCapture log;
  // CFA = sp + 16; fp, lr at CFA - 16, CFA - 8.
  const Bytes prologue{0x0C, 31, 16, 0x9D, 2, 0x9E, 1};
  const CIESpec cie{1, "zR", 4, -8, 30, 0x1B, prologue};
  CIESpec version2 = cie;
  version2.version = 2;
  // remember_state lies at location 16 (four instructions in).
  DwarfImage image({{cie, {}},
                    {version2, {}},
                    {cie, {0x44, 0x0A, 0x0E, 32}},
                    {{1, "zR", 4, -8, 30, 0x1B, {0x0C, 31, 16, 0x9D, 2}}, {}}});

  Memory memory;
  ZOZThreadContext arm = arm64State(0x1000, 0xA5B6'0000'0000'0000ull | 0x8'0000'1000ull, 0x2000, 0x3000);
  auto evaluate = [&](const Bytes& opcodes, uint64_t* result) {
    const uint64_t expression = memory.address(memory.append(cat({uleb(opcodes.size()), opcodes})));
    return ZOZDwarfEvalulateExpression(expression, &arm, 0x100, result);
  };
  auto leb = [&](const Bytes& bytes, uint64_t expected, size_t consumed) {
    const uint64_t start = memory.address(memory.append(bytes));
    uint64_t position = start;
    uint64_t value = 0;
    EXPECT_TRUE(ZOZDwarfReadULEB128(&position, &value));
    EXPECT_EQ(value, expected);
    EXPECT_EQ(position - start, consumed);
  };
  auto cfaOffsetAt = [&](int64_t pcLimit) {
    ZOZDwarfCIERecord record{};
    record.version = 1;
    record.codeAlignFactor = 4;
    ZOZDwarfRuleSet rules{};
    const Bytes code{0x41, 0x41, 0x0E, 32};
    const ZOZDwarfInstructions instructions{uint32_t(code.size()), memory.address(memory.append(code))};
    EXPECT_TRUE(ZOZDwarfInstructionsEnumerate(&instructions, &record, &rules, pcLimit, 0, ZOZRegisterLayout::ARM64));
    return rules.cfaRule.offset;
  };

  struct Case {
    const char* name;
    std::function<void()> check;
    const char* message;  // logged on the way, when given
  };
  const Case cases[] = {
      {"a usable FDE gives the caller", [&] { EXPECT_EQ(image.callerOf(0x1010), DwarfImage::kDwarfReturn); }, nullptr},
      {"a CIE of version 2 is refused and the frame record is used",
       [&] { EXPECT_EQ(image.callerOf(0x1110), DwarfImage::kRecordReturn); }, "Error: CIE version %u unsupported"},
      {"two DW_CFA_advance_loc 1 give twice the code alignment factor",
       [&] {
         EXPECT_EQ(cfaOffsetAt(8), 0u);
         EXPECT_EQ(cfaOffsetAt(9), 32u);
       },
       nullptr},
      {"arm64: DW_CFA_remember_state before the pc's location refuses the FDE",
       [&] { EXPECT_EQ(image.callerOf(0x1220), DwarfImage::kRecordReturn); },
       "Error: Unimplemented DWARF instruction 0x%x"},
      {"arm64: DW_CFA_remember_state after the pc's location leaves the FDE usable",
       [&] { EXPECT_EQ(image.callerOf(0x1208), DwarfImage::kDwarfReturn); }, nullptr},
      {"an FDE without a rule for register 30 fails",
       [&] { EXPECT_EQ(image.callerOf(0x1310), DwarfImage::kRecordReturn); }, "Error: PC hasn't changed"},
      {"DW_OP_breg31 16 gives the masked sp + 16",
       [&] {
         uint64_t result = 0;
         EXPECT_TRUE(evaluate({0x8F, 0x10}, &result));
         EXPECT_EQ(result, 0x8'0000'1010ull);
       },
       nullptr},
      {"DW_OP_plus alone fails",
       [&] {
         uint64_t result = 0;
         EXPECT_FALSE(evaluate({0x22}, &result));
       },
       "Error: failed to execute DWARF machine opcode"},
      {"DW_OP_deref_size 3 fails",
       [&] {
         uint64_t result = 0;
         EXPECT_FALSE(evaluate({0x8F, 0x00, 0x94, 3}, &result));
       },
       "Error: unrecognized DW_OP_deref_size argument %x"},
      {"encoding 0xFF yields 0 and reads nothing",
       [&] {
         uint64_t position = memory.address(memory.append({0x12, 0x34}));
         const uint64_t start = position;
         EXPECT_EQ(ZOZParseAddressWithEncodingAndAdvance(&position, 0xFF), 0u);
         EXPECT_EQ(position, start);
       },
       nullptr},
      {"encoding 0x1B yields the field's own address plus the signed value",
       [&] {
         uint64_t position = memory.address(memory.append({0xF0, 0xFF, 0xFF, 0xFF}));
         const uint64_t field = position;
         EXPECT_EQ(ZOZParseAddressWithEncodingAndAdvance(&position, 0x1B), field - 16);
         EXPECT_EQ(position, field + 4);
       },
       nullptr},
      {"a five-byte ULEB128 of 35 bits is whole", [&] { leb({0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, 0x7'FFFF'FFFFull, 5); },
       nullptr},
      {"a nine-byte ULEB128 stops after its eighth byte",
       [&] { leb({0x81, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x81, 0x01}, 1 | (1ull << 49), 8); }, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log.clear();
    c.check();
    if (c.message) {
      EXPECT_TRUE(log.has(c.message)) << log.recent();
    }
  }
}

}  // namespace
