#include "crash/core/zoz_unwinder.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "crash/core/tests/unwind_test_support.h"
#include "crash/core/zoz_context.h"
#include "os/testing/child_process.h"

using namespace unwind_test;

namespace {

constexpr uint32_t kFrame = ZOZCompactUnwindModeFrame;
constexpr uint32_t kFrameless = ZOZCompactUnwindModeFrameless;
constexpr uint64_t kNowhere = 0x60000010;  // in no image

struct Frame {
  uint64_t pc, sp, fp;
  bool operator==(const Frame&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Frame& f) {
  return os << std::hex << "{pc 0x" << f.pc << ", sp 0x" << f.sp << ", fp 0x" << f.fp << "}";
}

std::vector<Frame> walk(const ZOZThreadContext& state, size_t limit = 64) {
  ZOZUnwindContext context;
  EXPECT_TRUE(ZOZUnwindInit(&context, &state));
  std::vector<Frame> frames;
  while (frames.size() < limit && ZOZUnwindNextFrame(&context)) {
    frames.push_back({ZOZUnwindGetPC(&context), ZOZThreadContextGetStackPointer(&context.registers),
                      ZOZThreadContextGetFramePointer(&context.registers)});
  }
  return frames;
}

// A synthetic image with compact unwind information:
//   page 1 (compressed, from 0x1000): frame-based at 0x1000, frameless at
//     0x1100, DWARF at 0x1200, frame-based at 0x1300 (the page's last);
//   page 2 (regular) from 0x1800;
//   page 3 (compressed, from 0x2000): an entry whose encoding index lies
//     beyond the page's own array at 0x2000, frameless (from the page's
//     array) at 0x2100; the index closes at 0x3000.
// Its "__eh_frame" and a stack follow the code's range in the same memory.
class CompactImage {
 public:
  CompactImage() : memory(0x10000) {
    memory.append(Bytes(0x4000, 0));
    ehFrame = memory.size();
    const CIESpec spec{1, "zR", 4, -8, 30, 0x1B, {0x0C, 31, 0}};
    const size_t cie = appendCIE(memory, spec);
    // CFA = sp + 16; fp and lr saved at CFA - 16 and CFA - 8.
    const size_t fde = appendFDE(memory, cie, spec, address(0x1200), 0x100, {0x41, 0x0E, 16, 0x9D, 2, 0x9E, 1});
    appendTerminator(memory);
    const uint32_t dwarf = ZOZCompactUnwindModeDwarf | uint32_t(fde - ehFrame);
    const size_t info = appendUnwindInfo(
        memory, {0, kFrame, kFrameless, dwarf},
        {{3, 0x1000, {{0x1000, 1}, {0x1100, 2}, {0x1200, 3}, {0x1300, 1}}, {}},
         {2, 0x1800, {{0x1800, 0}}, {}},
         {3, 0x2000, {{0x2000, 5}, {0x2100, 4}}, {kFrameless}}},
        0x3000);
    memory.align(16);
    stack = memory.append(Bytes(0x1000, 0));
    image = imageNode(memory.base(), 0x10000, memory.address(info), memory.address(ehFrame));
  }
  uint64_t address(uint64_t offset) const { return memory.address(offset); }
  uint64_t stackAddress(uint64_t offset) const { return memory.address(stack + offset); }
  void put(uint64_t stackOffset, uint64_t value) { memory.putU64(stack + stackOffset, value); }

  Memory memory;
  size_t ehFrame = 0;
  size_t stack = 0;
  ZOZBinaryImageRuntimeNode image;
};

TEST(Unwinder, FirstFrameIsThePCAndRunsNoStrategy) {
  LogCapture log;
  ImageTable images;
  const ZOZThreadContext state = arm64State(0x40001234, 0x40008000, 0, 0);
  ZOZUnwindContext context;
  ASSERT_TRUE(ZOZUnwindInit(&context, &state));
  ASSERT_TRUE(ZOZUnwindNextFrame(&context));
  EXPECT_EQ(ZOZUnwindGetPC(&context), 0x40001234u);
  EXPECT_EQ(context.frameCount, 1u);
  EXPECT_EQ(log.total(), 0u) << log.recent();
}

TEST(Unwinder, EndsWhereNothingLeadsOn) {
  LogCapture log;
  ImageTable images;
  struct Case {
    const char* name;
    ZOZThreadContext state;
    size_t frames;
    const char* message;
  };
  const Case cases[] = {
      {"no image and fp 0", arm64State(kNowhere, 0x40008000, 0, 0x40001000), 1, "FP is zero, aborting unwind"},
      {"x86-64, no image and rbp 0", x86State(0x7F00'0000'1000ull, 0x7FFD'0000'0000ull, 0), 1,
       "FP is zero, aborting unwind"},
      {"invalid sp", arm64State(kNowhere, 0x10, 0, 0), 0, "Cancelling unwind for thread with invalid PC/SP"},
      {"unreadable frame record", arm64State(kNowhere, 0x40008000, unreadableAddress(), 0), 1,
       "Unable to use frame pointer"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log.clear();
    EXPECT_EQ(walk(c.state).size(), c.frames);
    EXPECT_TRUE(log.has(c.message)) << log.recent();
  }
}

TEST(Unwinder, CompactLookups) {
  LogCapture log;
  CompactImage image;
  ZOZCompactUnwindContext context;
  ASSERT_TRUE(ZOZCompactUnwindInit(&context, image.image.unwindInfo, image.image.ehFrame, image.image.baseAddress));
  struct Case {
    const char* name;
    uint64_t pc;  // offset from the base
    bool found;
    uint64_t start, end;
    uint32_t mode;
    const char* message;
  };
  const Case cases[] = {
      {"a frame-based function", 0x1010, true, 0x1000, 0x1100, kFrame, nullptr},
      {"a function's first byte", 0x1100, true, 0x1100, 0x1200, kFrameless, nullptr},
      {"the page's last function ends where the next first-level entry begins", 0x17FC, true, 0x1300, 0x1800,
       kFrame, nullptr},
      {"a regular page is not read", 0x1900, false, 0, 0, 0, "Encountered a regular second-level page"},
      // The index is not compared with the page's count: beyond the page's
      // own array there is no encoding, and the step falls back.
      {"an encoding index beyond the page's array", 0x2010, false, 0, 0, 0, "Entry has has no unwind info"},
      {"an encoding from the page's own array", 0x2110, true, 0x2100, 0x3000, kFrameless, nullptr},
      {"beyond the last first-level entry", 0x3000, false, 0, 0, 0, "Unable to find pc in first level"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log.clear();
    ZOZCompactUnwindResult result{};
    ASSERT_EQ(ZOZCompactUnwindLookup(&context, image.address(c.pc), &result), c.found) << log.recent();
    if (c.found) {
      EXPECT_EQ(result.functionStart, image.address(c.start));
      EXPECT_EQ(result.functionEnd, image.address(c.end));
      EXPECT_EQ(result.encoding & ZOZCompactUnwindModeMask, c.mode);
    }
    if (c.message) {
      EXPECT_TRUE(log.has(c.message)) << log.recent();
    }
  }

  // A damaged index count over a run of zeros: the scan stops at the first
  // entry that does not rise, instead of reading 256 MiB one entry at a time.
  {
    const size_t size = size_t(256) << 20;
    void* zeros = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(zeros, MAP_FAILED);
    const uint32_t header[] = {1, 28, 0, 0, 0, 28, 0xFFFFFFFF, 0x1000, 0, 0};
    std::memcpy(zeros, header, sizeof header);
    ZOZCompactUnwindContext damaged;
    ASSERT_TRUE(ZOZCompactUnwindInit(&damaged, uint64_t(zeros), 0, uint64_t(zeros)));
    log.clear();
    EXPECT_FALSE(ZOZCompactUnwindFindFirstLevelEntry(&damaged, uint64_t(zeros) + 0x2000));
    EXPECT_TRUE(log.has("Unable to find pc in first level"));
    ::munmap(zeros, size);
  }

  ZOZCompactUnwindContext bad;
  Memory version2;
  const uint64_t header = version2.address(version2.appendU32(2));
  log.clear();
  EXPECT_FALSE(ZOZCompactUnwindInit(&bad, header, 0, image.image.baseAddress));
  EXPECT_TRUE(log.has("Error: bad unwind_info structure version (%d != %d)"));
  EXPECT_FALSE(ZOZCompactUnwindInit(&bad, unreadableAddress(), 0, image.image.baseAddress));
}

// One walk through every compact strategy, then the frame-record fallback:
// the stack it reads, the state it starts from and the frames it yields.
struct CompactWalk {
  ZOZThreadContext state;
  std::vector<Frame> frames;
};

CompactWalk compactWalk(CompactImage& image) {
  const uint64_t recordA = image.stackAddress(0x100);
  const uint64_t recordB = image.stackAddress(0x200);
  image.put(0x100, recordB);               // A: saved fp ...
  image.put(0x108, image.address(0x1200));  // ... and a return address just past the frameless function
  image.put(0x110, recordB);               // the DWARF function's saved fp ...
  image.put(0x118, image.address(0x1900));  // ... and lr, in the regular page
  image.put(0x200, 0);                     // B: the outermost record
  image.put(0x208, kNowhere);
  // The crash is in the frame-based function; lr leads into the DWARF one.
  return {arm64State(image.address(0x1050), image.stackAddress(0x80), recordA, image.address(0x1250)),
          {
              {image.address(0x1050), image.stackAddress(0x80), recordA},
              // Frame-based: the record at fp.
              {image.address(0x1200), recordA + 16, recordB},
              // Looked up at 0x11FF, inside the frameless function: pc = lr,
              // sp and fp stay.
              {image.address(0x1250), recordA + 16, recordB},
              // DWARF: CFA = sp + 16.
              {image.address(0x1900), recordA + 32, recordB},
              // A regular page: the record at fp.
              {kNowhere, recordB + 16, 0},
          }};
}

TEST(Unwinder, WalksCompactEncodingsThenFrameRecords) {
  LogCapture log;
  CompactImage image;
  ImageTable images;
  images.add(image.image);
  const CompactWalk expected = compactWalk(image);
  EXPECT_EQ(walk(expected.state), expected.frames) << log.recent(40);
  EXPECT_TRUE(log.has("Trying to read dwarf data with offset %lx"));
  EXPECT_TRUE(log.has("Encountered a regular second-level page"));
  EXPECT_TRUE(log.has("Unable to find binary for %p"));
  EXPECT_TRUE(log.has("FP is zero, aborting unwind"));

  // A fault on a function's first instruction used to be looked up at pc - 1,
  // in the function before it, as though it were a return address: at 0x1100
  // (frameless) its own rule applies, pc = lr, not the record of 0x1000's.
  ZOZThreadContext atEntry = expected.state;
  atEntry.arm64.ss.pc = image.address(0x1100);
  const std::vector<Frame> frames = walk(atEntry, 2);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1].pc, image.address(0x1250));
}

// Without a test lookup the images come from the capture core's table, and
// the messages go to its internal log.
TEST(Unwinder, UsesTheBinaryImageTableAndTheInternalLog) {
  const os::testing::ChildResult result = os::testing::runInChild([]() -> std::string {
    char directory[] = "/tmp/drosil-unwind-XXXXXX";
    if (!::mkdtemp(directory)) return "mkdtemp failed";
    const std::string logPath = std::string(directory) + "/sdk.log";
    static ZOZReadOnlyContext readonly;
    static ZOZWritableContext writable;
    readonly.logPath = logPath.c_str();
    readonly.initialized = true;
    zozContext.readonly = &readonly;
    zozContext.writable = &writable;

    CompactImage image;
    writable.binaryImage.nodes[7] = image.image;
    const CompactWalk expected = compactWalk(image);
    const std::vector<Frame> frames = walk(expected.state);

    std::ifstream file(logPath);
    const std::string log((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ::unlink(logPath.c_str());
    ::rmdir(directory);
    if (frames != expected.frames) return "the walk differs: " + std::to_string(frames.size()) + " frames";
    if (log.find("WARN  [ZOZCompactUnwindLookupSecondLevel:") == std::string::npos ||
        log.find("] Encountered a regular second-level page\n") == std::string::npos) {
      return "sdk.log lacks the unwinder's lines:\n" + log;
    }
    return "";
  });
  EXPECT_TRUE(result.succeeded()) << result.describe();
}

TEST(Unwinder, LinkRegisterServesTheFirstStepOnly) {
  LogCapture log;
  ImageTable images;
  Memory memory;
  memory.align(16);
  const size_t c = memory.append(Bytes(32, 0));
  const uint64_t recordC = memory.address(c);
  const uint64_t recordD = memory.address(c + 16);
  memory.putU64(c, recordD);
  memory.putU64(c + 8, kNowhere + 0x100);
  memory.putU64(c + 16, 0);
  memory.putU64(c + 24, kNowhere + 0x200);
  const uint64_t sp = memory.address(0) + 0x800;

  const std::vector<Frame> arm = walk(arm64State(kNowhere, sp, recordC, kNowhere + 0x40));
  const std::vector<Frame> armExpected = {
      {kNowhere, sp, recordC},
      {kNowhere + 0x40, sp, recordC},  // lr; fp and sp stay
      {kNowhere + 0x100, recordC + 16, recordD},
      {kNowhere + 0x200, recordD + 16, 0},
  };
  EXPECT_EQ(arm, armExpected) << log.recent();

  // x86-64 has no link register: the first step reads the frame record.
  log.clear();
  const std::vector<Frame> x86 = walk(x86State(kNowhere, sp, recordC));
  const std::vector<Frame> x86Expected = {
      {kNowhere, sp, recordC},
      {kNowhere + 0x100, recordC + 16, recordD},
      {kNowhere + 0x200, recordD + 16, 0},
  };
  EXPECT_EQ(x86, x86Expected) << log.recent();
  EXPECT_TRUE(log.has("Error: LR value is invalid"));
  EXPECT_TRUE(log.has("Unable to use LR, skipping"));
}

TEST(Unwinder, StopsAfterTheMaximumNumberOfFrames) {
  LogCapture log;
  ImageTable images;
  Memory memory;
  memory.align(16);
  const size_t r = memory.append(Bytes(16, 0));
  const uint64_t record = memory.address(r);
  memory.putU64(r, record);  // a record that points at itself
  memory.putU64(r + 8, kNowhere + 0x10);

  ZOZUnwindContext context;
  const ZOZThreadContext state = arm64State(kNowhere, record, record, 0);
  ASSERT_TRUE(ZOZUnwindInit(&context, &state));
  uint32_t frames = 0;
  while (ZOZUnwindNextFrame(&context)) ++frames;
  EXPECT_EQ(frames, ZOZUnwindMaximumFrames);
  EXPECT_EQ(ZOZUnwindContextGetCounter(&context), ZOZUnwindMaximumFrames - 2) << "every frame after the second repeats";
  EXPECT_TRUE(log.has("Exceeded maximum number of frames")) << log.recent();
}

}  // namespace
