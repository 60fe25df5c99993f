#include "crash/core/tests/unwind_test_support.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "crash/core/zoz_unwind_support.h"
#include "os/kernel/loader.h"

namespace unwind_test {

Bytes uleb(uint64_t value) {
  Bytes out;
  do {
    uint8_t byte = value & 0x7F;
    value >>= 7;
    if (value) byte |= 0x80;
    out.push_back(byte);
  } while (value);
  return out;
}

Bytes sleb(int64_t value) {
  Bytes out;
  for (;;) {
    uint8_t byte = value & 0x7F;
    value >>= 7;
    const bool done = (value == 0 && !(byte & 0x40)) || (value == -1 && (byte & 0x40));
    if (!done) byte |= 0x80;
    out.push_back(byte);
    if (done) return out;
  }
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Below 2 GiB: the ARM64 layout keeps 36 bits of every fp, lr, sp and pc, and
// the address sanitizer leaves only the low 2 GiB of that range to programs.
Memory::Memory(size_t capacity) : capacity_((capacity + 4095) / 4096 * 4096) {
  static std::atomic<uint64_t> next{0x20000000};
  for (int attempt = 0; attempt < 256; ++attempt) {
    const uint64_t hint = next.fetch_add((capacity_ + 0xFFFFF) / 0x100000 * 0x100000 + 0x100000);
    if (hint + capacity_ > 0x78000000) next.store(0x20000000);
    void* p = ::mmap(reinterpret_cast<void*>(hint), capacity_, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (p != MAP_FAILED) {
      data_ = static_cast<uint8_t*>(p);
      return;
    }
  }
  throw std::bad_alloc();
}

Memory::~Memory() { ::munmap(data_, capacity_); }

size_t Memory::append(const Bytes& bytes) {
  if (size_ + bytes.size() > capacity_) throw std::length_error("test memory full");
  const size_t offset = size_;
  if (!bytes.empty()) std::memcpy(data_ + size_, bytes.data(), bytes.size());
  size_ += bytes.size();
  return offset;
}

size_t Memory::appendU32(uint32_t value) {
  Bytes b(4);
  std::memcpy(b.data(), &value, 4);
  return append(b);
}

size_t Memory::appendU64(uint64_t value) {
  Bytes b(8);
  std::memcpy(b.data(), &value, 8);
  return append(b);
}

void Memory::align(size_t alignment) {
  while (size_ % alignment) append({0});
}

void Memory::putU32(size_t offset, uint32_t value) { std::memcpy(data_ + offset, &value, 4); }
void Memory::putU64(size_t offset, uint64_t value) { std::memcpy(data_ + offset, &value, 8); }

size_t appendCIE(Memory& memory, const CIESpec& cie) {
  Bytes body{0, 0, 0, 0, cie.version};
  for (char c : cie.augmentation) body.push_back(uint8_t(c));
  body.push_back(0);
  body = cat({body, uleb(cie.codeAlign), sleb(cie.dataAlign)});
  if (cie.version == 3) {
    body = cat({body, uleb(cie.returnAddressRegister)});
  } else {
    body.push_back(uint8_t(cie.returnAddressRegister));
  }
  if (!cie.augmentation.empty() && cie.augmentation[0] == 'z') {
    Bytes data;
    for (char c : cie.augmentation.substr(1)) {
      if (c == 'R') data.push_back(cie.fdeEncoding);
      if (c == 'L') data.push_back(0x1B);
      if (c == 'P') data = cat({data, {0x00}, Bytes(8, 0x11)});  // absolute personality
    }
    body = cat({body, uleb(data.size()), data});
  }
  body = cat({body, cie.instructions});
  while ((body.size() + 4) % 8) body.push_back(0);  // DW_CFA_nop padding
  const size_t offset = memory.appendU32(uint32_t(body.size()));
  memory.append(body);
  return offset;
}

size_t appendFDE(Memory& memory, size_t cieOffset, const CIESpec& cie, uint64_t pcBegin, uint64_t range,
                 const Bytes& instructions) {
  const size_t offset = memory.appendU32(0);  // length, patched below
  const size_t pointerField = memory.appendU32(0);
  memory.putU32(pointerField, uint32_t(pointerField - cieOffset));
  if (cie.fdeEncoding == 0x1B) {
    const size_t field = memory.appendU32(0);
    memory.putU32(field, uint32_t(int32_t(int64_t(pcBegin) - int64_t(memory.address(field)))));
    memory.appendU32(uint32_t(range));
  } else {
    memory.appendU64(pcBegin);
    memory.appendU64(range);
  }
  if (!cie.augmentation.empty() && cie.augmentation[0] == 'z') memory.append({0});
  memory.append(instructions);
  while ((memory.size() - offset) % 8) memory.append({0});
  memory.putU32(offset, uint32_t(memory.size() - offset - 4));
  return offset;
}

void appendTerminator(Memory& memory) { memory.appendU32(0); }

size_t appendUnwindInfo(Memory& memory, const std::vector<uint32_t>& common, const std::vector<CompactPage>& pages,
                        uint32_t end) {
  memory.align(4);
  const size_t section = memory.size();
  const uint32_t commonOffset = 28;
  const uint32_t indexOffset = commonOffset + uint32_t(common.size()) * 4;
  const uint32_t indexCount = uint32_t(pages.size()) + 1;
  uint32_t pageOffset = indexOffset + indexCount * 12;

  for (uint32_t v : {1u, commonOffset, uint32_t(common.size()), 0u, 0u, indexOffset, indexCount}) memory.appendU32(v);
  for (uint32_t e : common) memory.appendU32(e);
  std::vector<size_t> pageFields;
  for (const CompactPage& page : pages) {
    memory.appendU32(page.functionBase);
    pageFields.push_back(memory.appendU32(0));
    memory.appendU32(0);
  }
  memory.appendU32(end);
  memory.appendU32(0);
  memory.appendU32(0);

  for (size_t i = 0; i < pages.size(); ++i) {
    const CompactPage& page = pages[i];
    pageOffset = uint32_t(memory.size() - section);
    memory.putU32(pageFields[i], pageOffset);
    auto u16 = [&](uint16_t v) { memory.append({uint8_t(v & 0xFF), uint8_t(v >> 8)}); };
    memory.appendU32(page.kind);
    if (page.kind == 2) {
      u16(8);
      u16(uint16_t(page.entries.size()));
      for (const CompactEntry& e : page.entries) {
        memory.appendU32(e.functionOffset);
        memory.appendU32(ZOZCompactUnwindModeFrameless);
      }
      continue;
    }
    const uint16_t entriesOffset = 12;
    const uint16_t encodingsOffset = uint16_t(entriesOffset + page.entries.size() * 4);
    u16(entriesOffset);
    u16(uint16_t(page.entries.size()));
    u16(encodingsOffset);
    u16(uint16_t(page.encodings.size()));
    for (const CompactEntry& e : page.entries) {
      memory.appendU32((uint32_t(e.encodingIndex) << 24) | (e.functionOffset - page.functionBase));
    }
    for (uint32_t e : page.encodings) memory.appendU32(e);
  }
  return section;
}

ZOZBinaryImageRuntimeNode imageNode(uint64_t base, uint64_t size, uint64_t unwindInfo, uint64_t ehFrame,
                                    uint64_t ehFrameHdr) {
  ZOZBinaryImageRuntimeNode node;
  node.baseAddress = base;
  node.size = size;
  node.unwindInfo = unwindInfo;
  node.ehFrame = ehFrame;
  node.ehFrameHdr = ehFrameHdr;
  return node;
}

namespace {

constexpr size_t kMaxImages = 512;
ZOZBinaryImageRuntimeNode gImages[kMaxImages];
std::atomic<size_t> gImageCount{0};

bool lookupImage(uintptr_t address, ZOZBinaryImageRuntimeNode* image) {
  const size_t n = gImageCount.load(std::memory_order_acquire);
  for (size_t i = 0; i < n; ++i) {
    if (address >= gImages[i].baseAddress && address - gImages[i].baseAddress < gImages[i].size) {
      *image = gImages[i];
      return true;
    }
  }
  return false;
}

}  // namespace

ImageTable::ImageTable() {
  gImageCount.store(0);
  TEST_ZOZUnwindSetImageLookup(lookupImage);
}

ImageTable::~ImageTable() {
  TEST_ZOZUnwindSetImageLookup(nullptr);
  gImageCount.store(0);
}

void ImageTable::add(const ZOZBinaryImageRuntimeNode& image) {
  const size_t n = gImageCount.load();
  if (n == kMaxImages) throw std::length_error("test image table full");
  gImages[n] = image;
  gImageCount.store(n + 1, std::memory_order_release);
}

void ImageTable::addLoadedImages() {
  for (uint32_t i = 0; i < os::kernel::_dyld_image_count(); ++i) {
    const auto info = os::kernel::imageInfoForHeader(os::kernel::_dyld_get_image_header(i));
    if (!info || info->format != os::kernel::ImageFormat::ELF) continue;
    // As the binary-image table keeps them: from the header to the end of
    // the mapped extent.
    const uint64_t base = uint64_t(info->header);
    const uint64_t end = info->vmaddr + info->vmsize;
    add(imageNode(base, end > base ? end - base : 0, 0, info->ehFrame, info->ehFrameHdr));
  }
}

uint64_t unreadableAddress() {
  // Low, like the fixtures' memory, so that 32-bit offsets reach it.
  static void* page = [] {
    void* p = ::mmap(reinterpret_cast<void*>(0x1FF00000), 4096, PROT_NONE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (p == MAP_FAILED) p = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) std::abort();
    return p;
  }();
  return uint64_t(page);
}

namespace {

constexpr size_t kKept = 16384;
struct Entry {
  int level;
  const char* message;
};
Entry gEntries[kKept];
std::atomic<size_t> gTotal{0};

void observe(int level, const char* message) {
  const size_t i = gTotal.fetch_add(1, std::memory_order_relaxed);
  gEntries[i % kKept] = {level, message};
}

}  // namespace

LogCapture::LogCapture() {
  clear();
  TEST_ZOZUnwindSetLogObserver(observe);
}

LogCapture::~LogCapture() { TEST_ZOZUnwindSetLogObserver(nullptr); }

void LogCapture::clear() { gTotal.store(0); }

size_t LogCapture::total() const { return gTotal.load(); }

size_t LogCapture::count(const char* message) const {
  const size_t n = std::min(gTotal.load(), kKept);
  size_t found = 0;
  for (size_t i = 0; i < n; ++i) found += std::strcmp(gEntries[i].message, message) == 0;
  return found;
}

bool LogCapture::has(const char* message) const { return count(message) > 0; }

std::string LogCapture::recent(size_t n) const {
  const size_t total = gTotal.load();
  std::string out;
  for (size_t i = total > n ? total - n : 0; i < total; ++i) {
    out += gEntries[i % kKept].message;
    out += '\n';
  }
  return out;
}

ZOZThreadContext arm64State(uint64_t pc, uint64_t sp, uint64_t fp, uint64_t lr) {
  ZOZThreadContext state;
  state.layout = ZOZRegisterLayout::ARM64;
  state.arm64.ss.pc = pc;
  state.arm64.ss.sp = sp;
  state.arm64.ss.fp = fp;
  state.arm64.ss.lr = lr;
  return state;
}

ZOZThreadContext x86State(uint64_t pc, uint64_t sp, uint64_t fp) {
  ZOZThreadContext state;
  state.layout = ZOZRegisterLayout::X86_64;
  state.x86_64 = {};
  state.x86_64.rip = pc;
  state.x86_64.rsp = sp;
  state.x86_64.rbp = fp;
  return state;
}

}  // namespace unwind_test
