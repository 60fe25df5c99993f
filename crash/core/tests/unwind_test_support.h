// Fixtures for the unwinder's tests: call-frame bytes and stacks built in
// memory, an unreadable page, and a capture of the unwinder's log messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "crash/core/zoz_register_state.h"
#include "crash/core/zoz_unwinder.h"

namespace unwind_test {

using Bytes = std::vector<uint8_t>;

Bytes uleb(uint64_t value);
Bytes sleb(int64_t value);
// Concatenation: cat({0x0C}, uleb(31), uleb(16)).
Bytes cat(std::initializer_list<Bytes> parts);

// A fixed block of memory that bytes are appended to; addresses handed out
// stay valid for the block's life.
class Memory {
 public:
  explicit Memory(size_t capacity = 1 << 16);
  ~Memory();
  Memory(const Memory&) = delete;
  Memory& operator=(const Memory&) = delete;

  uint64_t base() const { return uint64_t(data_); }
  uint64_t address(size_t offset) const { return base() + offset; }
  size_t size() const { return size_; }
  // Appends and returns the offset of the first byte.
  size_t append(const Bytes& bytes);
  size_t appendU32(uint32_t value);
  size_t appendU64(uint64_t value);
  void align(size_t alignment);
  void putU32(size_t offset, uint32_t value);
  void putU64(size_t offset, uint64_t value);

 private:
  uint8_t* data_;
  size_t capacity_;
  size_t size_ = 0;
};

// A CIE and FDEs in the layout of an unwind section, pointer fields written
// in the CIE's FDE pointer encoding (0x1B pc-relative 4 bytes, or 0x00 for
// 8-byte absolute).
struct CIESpec {
  uint8_t version = 1;
  std::string augmentation = "zR";
  uint64_t codeAlign = 1;
  int64_t dataAlign = -8;
  uint64_t returnAddressRegister = 30;
  uint8_t fdeEncoding = 0x1B;
  Bytes instructions;
};
size_t appendCIE(Memory& memory, const CIESpec& cie);
size_t appendFDE(Memory& memory, size_t cieOffset, const CIESpec& cie, uint64_t pcBegin, uint64_t range,
                 const Bytes& instructions);
// The zero terminator of a section.
void appendTerminator(Memory& memory);

// Compact unwind information: pages of functions given by their offsets from
// the image's base. A compressed page's entries carry an encoding index
// (common array first, then the page's own `encodings`); a regular page
// (kind 2) is written with its entries but never read by the unwinder.
struct CompactEntry {
  uint32_t functionOffset;
  uint8_t encodingIndex;
};
struct CompactPage {
  uint32_t kind = 3;
  uint32_t functionBase;  // the first-level entry's function offset
  std::vector<CompactEntry> entries;
  std::vector<uint32_t> encodings;
};
// The section's offset in `memory`; the last first-level entry closes at
// `end` (an offset from the base).
size_t appendUnwindInfo(Memory& memory, const std::vector<uint32_t>& common, const std::vector<CompactPage>& pages,
                        uint32_t end);

// A binary-image table slot.
ZOZBinaryImageRuntimeNode imageNode(uint64_t base, uint64_t size, uint64_t unwindInfo, uint64_t ehFrame,
                                    uint64_t ehFrameHdr = 0);

// Images the unwinder finds while the table is alive (one table at a time),
// instead of the capture core's table.
class ImageTable {
 public:
  ImageTable();
  ~ImageTable();
  void add(const ZOZBinaryImageRuntimeNode& image);
  // Every ELF image the loader reports, with its ".eh_frame_hdr".
  void addLoadedImages();
};

// An address at which nothing can be read (a page mapped without access).
uint64_t unreadableAddress();

// Collects the unwinder's messages while alive (one at a time).
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  bool has(const char* message) const;
  size_t count(const char* message) const;
  // Messages seen (the last 16,384 are kept in full).
  size_t total() const;
  std::string recent(size_t n = 20) const;
  void clear();
};

// Register states.
ZOZThreadContext arm64State(uint64_t pc, uint64_t sp, uint64_t fp, uint64_t lr);
ZOZThreadContext x86State(uint64_t pc, uint64_t sp, uint64_t fp);

}  // namespace unwind_test
