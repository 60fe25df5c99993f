#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "crash/core/tests/crash_core_test_support.h"
#include "crash/core/zoz_file.h"
#include "os/foundation/sandbox.h"

namespace {

using crashtest::readFile;
using crashtest::writeFile;

class RecordFileTest : public ::testing::Test {
 protected:
  std::string path(const std::string& name) const { return sandbox_.root() + "/" + name; }
  os::TemporarySandbox sandbox_;
};

off_t sizeOf(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 ? status.st_size : -1;
}

int openDescriptorCount() {
  int count = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (::readdir(dir)) ++count;
    ::closedir(dir);
  }
  return count;
}

TEST_F(RecordFileTest, WritesEachShapeByteForByteBufferedOrNot) {
  struct Case {
    const char* name;
    std::function<void(ZOZFile*)> write;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"storage section",
       [](ZOZFile* f) {
         ZOZFileWriteSectionStart(f, "storage");
         ZOZFileWriteHashStart(f);
         ZOZFileWriteHashEntryUint64(f, "free", 0);
         ZOZFileWriteHashEntryUint64(f, "total", 0);
         ZOZFileWriteHashEnd(f);
         ZOZFileWriteSectionEnd(f);
       },
       "{\"storage\":{\"free\":0,\"total\":0}}\n"},
      {"hex-encoded and missing strings",
       [](ZOZFile* f) {
         ZOZFileWriteSectionStart(f, "h");
         ZOZFileWriteHashStart(f);
         ZOZFileWriteHashEntryHexEncodedString(f, "s", "abc");
         ZOZFileWriteHashEntryHexEncodedString(f, "n", nullptr);
         ZOZFileWriteHashEntryString(f, "m", nullptr);
         ZOZFileWriteHashEnd(f);
         ZOZFileWriteSectionEnd(f);
       },
       "{\"h\":{\"s\":\"616263\",\"n\":null,\"m\":null}}\n"},
      {"signed and unsigned extremes",
       [](ZOZFile* f) {
         ZOZFileWriteSectionStart(f, "n");
         ZOZFileWriteHashStart(f);
         ZOZFileWriteHashEntryInt64(f, "neg", -5);
         ZOZFileWriteHashEntryUint64(f, "max", UINT64_MAX);
         ZOZFileWriteHashEntryInt64(f, "min", INT64_MIN);
         ZOZFileWriteHashEntryInt64(f, "zero", 0);
         ZOZFileWriteHashEnd(f);
         ZOZFileWriteSectionEnd(f);
       },
       "{\"n\":{\"neg\":-5,\"max\":18446744073709551615,\"min\":-9223372036854775808,\"zero\":0}}\n"},
      {"an array nested in an object, then another key",
       [](ZOZFile* f) {
         ZOZFileWriteSectionStart(f, "a");
         ZOZFileWriteHashStart(f);
         ZOZFileWriteHashKey(f, "x");
         ZOZFileWriteArrayStart(f);
         ZOZFileWriteArrayEntryUint64(f, 1);
         ZOZFileWriteArrayEntryUint64(f, 2);
         ZOZFileWriteArrayEnd(f);
         ZOZFileWriteHashEntryBoolean(f, "y", false);
         ZOZFileWriteHashEnd(f);
         ZOZFileWriteSectionEnd(f);
       },
       "{\"a\":{\"x\":[1,2],\"y\":false}}\n"},
      {"array entries of every kind, objects in arrays",
       [](ZOZFile* f) {
         ZOZFileWriteSectionStart(f, "a");
         ZOZFileWriteArrayStart(f);
         ZOZFileWriteArrayEntryString(f, "s");
         ZOZFileWriteArrayEntryString(f, nullptr);
         ZOZFileWriteArrayEntryHexEncodedString(f, "hi");
         ZOZFileWriteHashStart(f);
         ZOZFileWriteHashEntryBoolean(f, "t", true);
         ZOZFileWriteHashEnd(f);
         ZOZFileWriteHashStart(f);
         ZOZFileWriteHashEnd(f);
         ZOZFileWriteArrayEnd(f);
         ZOZFileWriteSectionEnd(f);
       },
       "{\"a\":[\"s\",null,\"6869\",{\"t\":true},{}]}\n"},
      {"two sections, no comma between lines",
       [](ZOZFile* f) {
         for (const char* name : {"one", "two"}) {
           ZOZFileWriteSectionStart(f, name);
           ZOZFileWriteHashStart(f);
           ZOZFileWriteHashEntryNSString(f, "empty", "");
           ZOZFileWriteHashEntryNSString(f, "k", "v");
           ZOZFileWriteHashEnd(f);
           ZOZFileWriteSectionEnd(f);
         }
       },
       "{\"one\":{\"k\":\"v\"}}\n{\"two\":{\"k\":\"v\"}}\n"},
      // Strings used to be written raw: a quote, a backslash or a control
      // character made the line unreadable.
      {"quotes, backslashes and control characters escaped",
       [](ZOZFile* f) {
         ZOZFileWriteSectionStart(f, "e");
         ZOZFileWriteHashStart(f);
         ZOZFileWriteHashEntryString(f, "q\"k", "say \"hi\"");
         ZOZFileWriteHashEntryString(f, "b", "a\\b");
         ZOZFileWriteHashEntryString(f, "c", "x\ny\t\x01\x1f");
         ZOZFileWriteHashEntryString(f, "u", "\xc3\xa9t\xc3\xa9");
         ZOZFileWriteHashEnd(f);
         ZOZFileWriteSectionEnd(f);
       },
       "{\"e\":{\"q\\\"k\":\"say \\\"hi\\\"\",\"b\":\"a\\\\b\",\"c\":\"x\\u000ay\\u0009\\u0001\\u001f\","
       "\"u\":\"\xc3\xa9t\xc3\xa9\"}}\n"},
      {"a long escaped string spans several writes",
       [](ZOZFile* f) {
         ZOZFileWriteSectionStart(f, "l");
         ZOZFileWriteArrayStart(f);
         ZOZFileWriteArrayEntryString(f, std::string(100, '"').c_str());
         ZOZFileWriteArrayEnd(f);
         ZOZFileWriteSectionEnd(f);
       },
       "{\"l\":[\"" + [] {
         std::string s;
         for (int i = 0; i < 100; ++i) s += "\\\"";
         return s;
       }() + "\"]}\n"},
  };
  for (bool buffered : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (buffered ? " (buffered)" : " (unbuffered)"));
      const std::string file = path("shape.zozrecord");
      ZOZFile handle;
      ASSERT_TRUE(ZOZFileInitWithPathMode(&handle, file.c_str(), false, buffered));
      c.write(&handle);
      off_t offset = -1;
      ASSERT_TRUE(ZOZFileCloseWithOffset(&handle, &offset));
      EXPECT_EQ(readFile(file), c.expected);
      EXPECT_EQ(offset, off_t(c.expected.size()));
      EXPECT_FALSE(ZOZFileIsOpen(&handle));
    }
  }
}

// A quote in a locale, bundle identifier or version used to make the reader
// drop the whole line: it now reads back, quote included.
TEST_F(RecordFileTest, AStringWithAQuoteReadsBack) {
  const std::string file = path("identity.zozrecord");
  ZOZFile handle;
  ASSERT_TRUE(ZOZFileInitWithPath(&handle, file.c_str(), false));
  ZOZFileWriteSectionStart(&handle, "identity");
  ZOZFileWriteHashStart(&handle);
  ZOZFileWriteHashEntryString(&handle, "session_id", "a\"b\\c\n");
  ZOZFileWriteHashEnd(&handle);
  ZOZFileWriteSectionEnd(&handle);
  ASSERT_TRUE(ZOZFileClose(&handle));

  auto sections = ZOZFileReadSections(file, false);
  ASSERT_TRUE(sections);
  ASSERT_EQ(sections->size(), 1u);
  EXPECT_EQ((*sections)[0]["identity"]["session_id"].stringValue(), "a\"b\\c\n");
}

TEST_F(RecordFileTest, BufferKeepsAtMost999BytesPendingAndOffsetsCountAppendedFiles) {
  const std::string file = path("buffered.zozrecord");
  writeFile(file, "0123456789");
  ZOZFile handle;
  ASSERT_TRUE(ZOZFileInitWithPath(&handle, file.c_str(), true));
  EXPECT_EQ(handle.bytesWritten, 10);

  const std::string chunk(999, 'x');
  ASSERT_TRUE(ZOZFileWriteBytes(&handle, chunk.data(), chunk.size()));
  EXPECT_EQ(handle.writeBufferLength, 999u);
  EXPECT_EQ(sizeOf(file), 10);  // nothing flushed yet
  ASSERT_TRUE(ZOZFileWriteBytes(&handle, "y", 1));
  EXPECT_EQ(handle.writeBufferLength, 1u);
  EXPECT_EQ(sizeOf(file), 10 + 999);

  const std::string big(2500, 'z');  // crosses the buffer twice
  ASSERT_TRUE(ZOZFileWriteBytes(&handle, big.data(), big.size()));
  EXPECT_LE(handle.writeBufferLength, 999u);
  off_t offset = 0;
  ASSERT_TRUE(ZOZFileCloseWithOffset(&handle, &offset));
  EXPECT_EQ(offset, 10 + 999 + 1 + 2500);
  EXPECT_EQ(readFile(file), "0123456789" + chunk + "y" + big);
}

TEST(RecordFileWriteLoopTest, EndsAsTheWriteCallbackAnswers) {
  struct Case {
    const char* name;
    size_t length;
    std::function<ssize_t(size_t call, size_t left)> write;
    bool ok;
    size_t calls;
  };
  const std::vector<Case> cases = {
      {"all at once", 10, [](size_t, size_t left) { return ssize_t(left); }, true, 1},
      {"short, then the rest", 10, [](size_t call, size_t left) { return call == 0 ? ssize_t(3) : ssize_t(left); },
       true, 2},
      {"an error", 10, [](size_t, size_t) { return ssize_t(-1); }, false, 1},
      {"nothing written", 10, [](size_t, size_t) { return ssize_t(0); }, false, 1},
      {"one byte per call, 50 calls suffice", 50, [](size_t, size_t) { return ssize_t(1); }, true, 50},
      {"one byte per call, 50 calls do not", 100, [](size_t, size_t) { return ssize_t(1); }, false, 50},
      {"an empty write", 0, [](size_t, size_t left) { return ssize_t(left); }, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string bytes(c.length, 'b');
    size_t calls = 0;
    size_t consumed = 0;
    const bool ok = ZOZFileLoopWithWriteBlock(bytes.data(), c.length, [&](const void* at, size_t left) {
      EXPECT_EQ(static_cast<const char*>(at), bytes.data() + consumed);
      ssize_t written = c.write(calls++, left);
      if (written > 0) consumed += size_t(written);
      return written;
    });
    EXPECT_EQ(ok, c.ok);
    EXPECT_EQ(calls, c.calls);
  }
}

// An append-open whose size query failed used to return false with the
// descriptor still open: every such call leaked one.
TEST_F(RecordFileTest, AFailedSizeQueryClosesTheDescriptor) {
  const std::string file = path("append.zozrecord");
  writeFile(file, "x");
  const int before = openDescriptorCount();
  ZOZFileTEST_setSizeQueryError(EIO);
  ZOZFile handle;
  const bool opened = ZOZFileInitWithPath(&handle, file.c_str(), true);
  ZOZFileTEST_setSizeQueryError(0);
  EXPECT_FALSE(opened);
  EXPECT_FALSE(ZOZFileIsOpen(&handle));
  EXPECT_EQ(handle.writeBuffer, nullptr);
  EXPECT_EQ(openDescriptorCount(), before);
}

TEST_F(RecordFileTest, OpeningRefusesMissingArgumentsAndUnwritablePaths) {
  ZOZFile handle;
  EXPECT_FALSE(ZOZFileInitWithPathMode(nullptr, path("x").c_str(), true, false));
  EXPECT_FALSE(ZOZFileInitWithPathMode(&handle, nullptr, true, false));
  EXPECT_FALSE(ZOZFileInitWithPathMode(&handle, path("missing/folder/x").c_str(), true, false));
  EXPECT_FALSE(ZOZFileClose(&handle));
}

TEST_F(RecordFileTest, ReaderSkipsACutLineAndKeepsItsNeighbours) {
  const std::string file = path("cut.zozrecord");
  writeFile(file,
            "{\"log\":{\"msg\":\"61\",\"time\":1}}\n"
            "{\"log\":{\"msg\":\"62\",\"ti"  // cut by a crash
            "\n{\"log\":{\"msg\":\"63\",\"time\":3}}\n"
            "not json\n");
  auto sections = ZOZFileReadSections(file, false);
  ASSERT_TRUE(sections);
  ASSERT_EQ(sections->size(), 2u);
  EXPECT_EQ((*sections)[0]["log"]["msg"].stringValue(), "61");
  EXPECT_EQ((*sections)[1]["log"]["msg"].stringValue(), "63");

  auto onlyThird = ZOZFileReadSections(file, false, [](const os::Value& section) -> std::optional<os::Value> {
    if (section["log"]["time"].int64Value() == 3) return section["log"];
    return std::nullopt;
  });
  ASSERT_TRUE(onlyThird);
  ASSERT_EQ(onlyThird->size(), 1u);
  EXPECT_EQ((*onlyThird)[0]["msg"].stringValue(), "63");
}

TEST_F(RecordFileTest, ReaderGivesNothingForUnreadableFilesAndRemovesThemWhenAsked) {
  EXPECT_FALSE(ZOZFileReadSections("", false));
  EXPECT_FALSE(ZOZFileReadSections(path("missing.zozrecord"), true));
  const std::string unreadable = path("unreadable.zozrecord");
  writeFile(unreadable, "{\"a\":1}\n");
  ASSERT_EQ(::chmod(unreadable.c_str(), 0), 0);
  if (::access(unreadable.c_str(), R_OK) != 0) {  // not as root
    EXPECT_FALSE(ZOZFileReadSections(unreadable, true));
    EXPECT_EQ(sizeOf(unreadable), -1);
  }

  const std::string empty = path("empty.zozrecord");
  writeFile(empty, "");
  auto sections = ZOZFileReadSections(empty, false);
  ASSERT_TRUE(sections);
  EXPECT_TRUE(sections->empty());
}

// One byte that is not UTF-8 (a thread name cut inside a character by an
// older writer) used to make the whole file unreadable, and the reader then
// deleted it: now it costs that byte, and the report says so.
TEST_F(RecordFileTest, ReaderKeepsTheRestOfAFileWithBytesThatAreNotUTF8AndSaysWhatItDropped) {
  const std::string file = path("names.zozrecord");
  writeFile(file, std::string("{\"threads\":[1]}\n{\"thread_names\":[\"main\",\"w\xc3\"]}\n\xff\xfe\n{\"storage\":{}}\n"));
  ZOZFileReadReport report;
  auto sections = ZOZFileReadSections(file, true, nullptr, &report);
  ASSERT_TRUE(sections);
  ASSERT_EQ(sections->size(), 3u);
  EXPECT_EQ((*sections)[1]["thread_names"][1].stringValue(), "w\xEF\xBF\xBD");
  EXPECT_TRUE((*sections)[2].find("storage"));
  EXPECT_EQ(report.replacedBytes, 3u);
  EXPECT_EQ(report.droppedLines, 1u);  // the line of two stray bytes is no record
  EXPECT_GT(sizeOf(file), 0);
}

// Strings reach records as the kernel or the user gave them: a name cut
// inside a character, or stray bytes, used to leave a line no reader took.
TEST_F(RecordFileTest, StringsAreWrittenAsUTF8CutAtACharacterAndWithStrayBytesEscaped) {
  struct Case {
    std::string in;
    std::string written;  // between the quotes
    std::string read;
  } cases[] = {
      {"caf\xc3\xa9", "caf\xc3\xa9", "caf\xc3\xa9"},
      {"worker-\xe2\x82", "worker-", "worker-"},              // cut inside a three-byte character
      {"\xf0\x9f\x98\x80x", "\xf0\x9f\x98\x80x", "\xf0\x9f\x98\x80x"},  // four bytes
      {"a\xff-", "a\\\\xff-", "a\\xff-"},                     // a byte that starts nothing
      {"\xc3(", "\\\\xc3(", "\\xc3("},                       // a lead byte without its follower
      {"\xed\xa0\x80", "\\\\xed\\\\xa0\\\\x80", "\\xed\\xa0\\x80"},  // an encoded surrogate
      {"\xc0\xaf", "\\\\xc0\\\\xaf", "\\xc0\\xaf"},         // an overlong form
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.written);
    const std::string file = path("utf8.zozrecord");
    ZOZFile handle;
    ASSERT_TRUE(ZOZFileInitWithPathMode(&handle, file.c_str(), false, false));
    ZOZFileWriteSectionStart(&handle, "n");
    ZOZFileWriteArrayStart(&handle);
    ZOZFileWriteArrayEntryString(&handle, c.in.c_str());
    ZOZFileWriteArrayEnd(&handle);
    ZOZFileWriteSectionEnd(&handle);
    ASSERT_TRUE(ZOZFileClose(&handle));
    EXPECT_EQ(readFile(file), "{\"n\":[\"" + c.written + "\"]}\n");
    ZOZFileReadReport report;
    auto sections = ZOZFileReadSections(file, false, nullptr, &report);
    ASSERT_TRUE(sections);
    ASSERT_EQ(sections->size(), 1u);
    EXPECT_EQ((*sections)[0]["n"][0].stringValue(), c.read);
    EXPECT_EQ(report.replacedBytes + report.droppedLines, 0u);
  }
}

TEST(RecordFileHexTest, DecodesPairsUntilTheFirstNonHexCharacter) {
  struct Case {
    const char* input;
    std::optional<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"", std::string()},
      {"616263", std::string("abc")},
      {"6A6b", std::string("jk")},
      {"61zz62", std::string("a")},
      {"616", std::string("a")},
      {"610062", std::string("a")},  // the text ends at its zero byte
      {"c3a9", std::string("\xc3\xa9")},
      {"c3", std::nullopt},  // not UTF-8
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(ZOZFileHexDecodeString(c.input), c.expected);
  }
  EXPECT_EQ(ZOZFileHexDecodeString(nullptr), std::nullopt);
}

TEST(RecordFileNumberTest, PrintsDigitsByHand) {
  struct Case {
    uint64_t value;
    bool hex;
    const char* expected;
  };
  for (const Case& c : std::vector<Case>{{0, false, "0"},
                                         {1234567890, false, "1234567890"},
                                         {UINT64_MAX, false, "18446744073709551615"},
                                         {0, true, "0"},
                                         {0xdeadbeef, true, "deadbeef"},
                                         {UINT64_MAX, true, "ffffffffffffffff"}}) {
    SCOPED_TRACE(c.expected);
    char buffer[kZOZUInt64StringBufferSize];
    const size_t first = ZOZFileUInt64ToString(buffer, c.value, c.hex);
    EXPECT_STREQ(buffer + first, c.expected);
  }
}

TEST_F(RecordFileTest, SafeNumberWritesGoStraightToADescriptor) {
  const std::string file = path("numbers.txt");
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(ZOZSafeWriteInt64ToFD(fd, -42));
  EXPECT_TRUE(ZOZSafeWriteUInt64ToFD(fd, 255, true));
  EXPECT_TRUE(ZOZSafeWriteInt64ToFD(fd, INT64_MIN));
  ::close(fd);
  EXPECT_EQ(readFile(file), "-42ff-9223372036854775808");
  EXPECT_FALSE(ZOZSafeWriteUInt64ToFD(-1, 1, false));
}

}  // namespace
