// The record writer and reader (see zoz_file.h).
#include "crash/core/zoz_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "crash/core/zoz_sdk_log.h"
#include "os/foundation/data.h"
#include "os/foundation/encoding.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/json.h"
#include "os/kernel/files.h"

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
// Escaped tokens are staged here before they are written.
constexpr size_t kStageSize = 64;
// Hex digits are written in chunks of this many characters.
constexpr size_t kHexChunkSize = 32;

std::atomic<int> gSizeQueryError{0};

// The name of an errno value ("ENOENT"), without allocating.
const char* errorName(int error) {
  const char* name = ::strerrorname_np(error);
  return name ? name : "unknown error";
}

// Collects bytes for one token and writes them in as few calls as fit.
class Stage {
 public:
  explicit Stage(ZOZFile* file) : file_(file) {}
  ~Stage() { flush(); }

  void put(const char* bytes, size_t length) {
    if (used_ + length > sizeof buffer_) flush();
    std::memcpy(buffer_ + used_, bytes, length);
    used_ += length;
  }
  void put(char c) { put(&c, 1); }
  void flush() {
    if (used_ > 0) ZOZFileWriteBytes(file_, buffer_, used_);
    used_ = 0;
  }

 private:
  ZOZFile* file_;
  char buffer_[kStageSize];
  size_t used_ = 0;
};

// The length of the well-formed UTF-8 sequence that starts at `p` (1 to 4),
// kNotUTF8 when the byte at `p` starts none, kCutUTF8 when the `available`
// bytes end inside a sequence that is well-formed so far.
constexpr size_t kNotUTF8 = 0;
constexpr size_t kCutUTF8 = SIZE_MAX;
size_t utf8SequenceLength(const unsigned char* p, size_t available) {
  const unsigned char c = p[0];
  if (c < 0x80) return 1;
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    if (c == 0xE0) low = 0xA0;   // no overlong forms
    if (c == 0xED) high = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return kNotUTF8;
  }
  for (size_t i = 1; i < length; ++i) {
    if (i >= available) return kCutUTF8;
    const unsigned char b = p[i];
    if (b < (i == 1 ? low : 0x80) || b > (i == 1 ? high : 0xBF)) return kNotUTF8;
  }
  return length;
}

// The string between quotes, escaped, with ":" after a key. The result is
// always UTF-8: a string cut inside a character (a thread name the kernel
// shortened, say) ends before that character, and a byte that starts no
// character is written as the text \xHH.
void writeQuoted(ZOZFile* file, const char* string, bool isKey) {
  Stage stage(file);
  stage.put('"');
  const auto* bytes = reinterpret_cast<const unsigned char*>(string);
  const size_t length = std::strlen(string);
  for (size_t at = 0; at < length;) {
    const unsigned char c = bytes[at];
    const size_t sequence = utf8SequenceLength(bytes + at, length - at);
    if (sequence == kCutUTF8) break;
    if (sequence == kNotUTF8) {
      const char escaped[5] = {'\\', '\\', 'x', kHexDigits[c >> 4], kHexDigits[c & 15]};
      stage.put(escaped, 5);
      ++at;
    } else if (c == '"' || c == '\\') {
      const char escaped[2] = {'\\', static_cast<char>(c)};
      stage.put(escaped, 2);
      ++at;
    } else if (c < 0x20) {
      const char escaped[6] = {'\\', 'u', '0', '0', kHexDigits[c >> 4], kHexDigits[c & 15]};
      stage.put(escaped, 6);
      ++at;
    } else {
      stage.put(string + at, sequence);
      at += sequence;
    }
  }
  stage.put(isKey ? "\":" : "\"", isKey ? 2 : 1);
}

// The line with every byte that starts no UTF-8 character read as U+FFFD;
// *replaced counts them.
std::string repairedUTF8(std::string_view line, size_t* replaced) {
  std::string repaired;
  repaired.reserve(line.size() + 8);
  const auto* bytes = reinterpret_cast<const unsigned char*>(line.data());
  for (size_t at = 0; at < line.size();) {
    const size_t sequence = utf8SequenceLength(bytes + at, line.size() - at);
    if (sequence == kNotUTF8 || sequence == kCutUTF8) {
      repaired += "\xEF\xBF\xBD";
      ++*replaced;
      ++at;
    } else {
      repaired.append(line.substr(at, sequence));
      at += sequence;
    }
  }
  return repaired;
}

void writeHexEncoded(ZOZFile* file, const char* string) {
  ZOZFileWriteBytes(file, "\"", 1);
  char chunk[kHexChunkSize];
  size_t used = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(string); *p; ++p) {
    chunk[used++] = kHexDigits[*p >> 4];
    chunk[used++] = kHexDigits[*p & 15];
    if (used == sizeof chunk) {
      ZOZFileWriteBytes(file, chunk, used);
      used = 0;
    }
  }
  if (used > 0) ZOZFileWriteBytes(file, chunk, used);
  ZOZFileWriteBytes(file, "\"", 1);
}

void writeNull(ZOZFile* file) { ZOZFileWriteBytes(file, "null", 4); }

void writeCommaIfNeeded(ZOZFile* file) {
  if (file->needComma) ZOZFileWriteBytes(file, ",", 1);
}

void writeCollectionStart(ZOZFile* file, char opening) {
  writeCommaIfNeeded(file);
  ZOZFileWriteBytes(file, &opening, 1);
  file->collectionDepth++;
  file->needComma = false;
}

void writeCollectionEnd(ZOZFile* file, char closing) {
  ZOZFileWriteBytes(file, &closing, 1);
  if (file->collectionDepth >= 1) {
    file->collectionDepth--;
    file->needComma = file->collectionDepth > 0;
  }
}

void releaseBuffer(ZOZFile* file) {
  std::free(file->writeBuffer);
  file->writeBuffer = nullptr;
  file->writeBufferLength = 0;
}

}  // namespace

// ---- Opening and closing ----

bool ZOZFileInitWithPath(ZOZFile* file, const char* path, bool bufferWrites) {
  return ZOZFileInitWithPathMode(file, path, true, bufferWrites);
}

bool ZOZFileInitWithPathMode(ZOZFile* file, const char* path, bool appendMode, bool bufferWrites) {
  if (!file) {
    ZOZSDKLogError("Error: file is null");
    return false;
  }
  if (!path) {
    ZOZSDKLogError("Error: file descriptor invalid");
    return false;
  }
  const int flags = O_WRONLY | O_CREAT | (appendMode ? O_APPEND : O_TRUNC);
  const int fd = os::kernel::open_dprotected_np(path, flags, os::kernel::PROTECTION_CLASS_D, 0, 0644);
  if (fd < 0) {
    ZOZSDKLogError("Error: Unable to open file %s", errorName(errno));
    return false;
  }
  *file = ZOZFile{};
  file->fd = fd;
  file->bufferWrites = bufferWrites;
  if (bufferWrites) {
    file->writeBuffer = static_cast<char*>(std::malloc(kZOZFileBufferSize));
    if (!file->writeBuffer) {
      ZOZErrorLog("Unable to malloc in ZOZFileInit");
      ::close(fd);
      file->fd = -1;
      return false;
    }
  }
  if (appendMode) {
    // The size comes from the open descriptor: fstat is async-signal-safe and
    // describes the very file that was opened.
    struct stat status {};
    int error = gSizeQueryError.load(std::memory_order_relaxed);
    if (error == 0 && ::fstat(fd, &status) != 0) error = errno;
    if (error != 0) {
      ZOZSDKLogError("Failed to read filesize from %s with error %s", path, errorName(error));
      releaseBuffer(file);
      ::close(fd);
      file->fd = -1;
      return false;
    }
    if (status.st_size > 0) file->bytesWritten += status.st_size;
  }
  return true;
}

void ZOZFileTEST_setSizeQueryError(int error) { gSizeQueryError.store(error, std::memory_order_relaxed); }

bool ZOZFileIsOpen(const ZOZFile* file) { return file && file->fd >= 0; }

void ZOZFileFlushWriteBuffer(ZOZFile* file) {
  if (!file || !file->bufferWrites || !file->writeBuffer || file->writeBufferLength == 0) return;
  ZOZFileWriteUnbuffered(file, file->writeBuffer, file->writeBufferLength);
  file->writeBufferLength = 0;
}

bool ZOZFileClose(ZOZFile* file) { return ZOZFileCloseWithOffset(file, nullptr); }

bool ZOZFileCloseWithOffset(ZOZFile* file, off_t* finalOffset) {
  if (!ZOZFileIsOpen(file)) return false;
  if (file->bufferWrites) {
    ZOZFileFlushWriteBuffer(file);
    releaseBuffer(file);
  }
  if (finalOffset) *finalOffset = file->bytesWritten;
  const int fd = file->fd;
  // The descriptor is gone after close(2) whatever it answers: never close
  // it twice.
  file->fd = -1;
  if (::close(fd) != 0) {
    ZOZSDKLogError("Error: Unable to close file %s", errorName(errno));
    return false;
  }
  *file = ZOZFile{};
  return true;
}

// ---- Structure ----

void ZOZFileWriteSectionStart(ZOZFile* file, const char* name) {
  ZOZFileWriteHashStart(file);
  ZOZFileWriteHashKey(file, name);
}

void ZOZFileWriteSectionEnd(ZOZFile* file) {
  ZOZFileWriteHashEnd(file);
  ZOZFileWriteBytes(file, "\n", 1);
}

void ZOZFileWriteHashStart(ZOZFile* file) { writeCollectionStart(file, '{'); }
void ZOZFileWriteHashEnd(ZOZFile* file) { writeCollectionEnd(file, '}'); }
void ZOZFileWriteArrayStart(ZOZFile* file) { writeCollectionStart(file, '['); }
void ZOZFileWriteArrayEnd(ZOZFile* file) { writeCollectionEnd(file, ']'); }

void ZOZFileWriteHashKey(ZOZFile* file, const char* key) {
  writeCommaIfNeeded(file);
  writeQuoted(file, key ? key : "", true);
  file->needComma = false;
}

// ---- Values ----

void ZOZFileWriteHashEntryUint64(ZOZFile* file, const char* key, uint64_t value) {
  ZOZFileWriteHashKey(file, key);
  ZOZFileWriteUInt64(file, value, false);
  file->needComma = true;
}

void ZOZFileWriteHashEntryInt64(ZOZFile* file, const char* key, int64_t value) {
  ZOZFileWriteHashKey(file, key);
  ZOZFileWriteInt64(file, value);
  file->needComma = true;
}

void ZOZFileWriteHashEntryString(ZOZFile* file, const char* key, const char* value) {
  ZOZFileWriteHashKey(file, key);
  if (value) {
    writeQuoted(file, value, false);
  } else {
    writeNull(file);
  }
  file->needComma = true;
}

void ZOZFileWriteHashEntryNSString(ZOZFile* file, const char* key, const std::string& value) {
  if (value.empty()) return;
  ZOZFileWriteHashEntryString(file, key, value.c_str());
}

void ZOZFileWriteHashEntryHexEncodedString(ZOZFile* file, const char* key, const char* value) {
  ZOZFileWriteHashKey(file, key);
  if (value) {
    writeHexEncoded(file, value);
  } else {
    writeNull(file);
  }
  file->needComma = true;
}

void ZOZFileWriteHashEntryBoolean(ZOZFile* file, const char* key, bool value) {
  ZOZFileWriteHashKey(file, key);
  if (value) {
    ZOZFileWriteBytes(file, "true", 4);
  } else {
    ZOZFileWriteBytes(file, "false", 5);
  }
  file->needComma = true;
}

void ZOZFileWriteArrayEntryUint64(ZOZFile* file, uint64_t value) {
  writeCommaIfNeeded(file);
  ZOZFileWriteUInt64(file, value, false);
  file->needComma = true;
}

void ZOZFileWriteArrayEntryString(ZOZFile* file, const char* value) {
  writeCommaIfNeeded(file);
  if (value) {
    writeQuoted(file, value, false);
  } else {
    writeNull(file);
  }
  file->needComma = true;
}

void ZOZFileWriteArrayEntryHexEncodedString(ZOZFile* file, const char* value) {
  writeCommaIfNeeded(file);
  if (value) {
    writeHexEncoded(file, value);
  } else {
    writeNull(file);
  }
  file->needComma = true;
}

// ---- Lower level ----

bool ZOZFileWriteBytes(ZOZFile* file, const void* bytes, size_t length) {
  if (!file) return false;
  if (!file->bufferWrites || !file->writeBuffer) return ZOZFileWriteUnbuffered(file, bytes, length);
  // Invariant: at most kZOZFileBufferSize - 1 bytes stay pending; the last
  // byte of a full buffer is a terminating zero.
  const char* at = static_cast<const char*>(bytes);
  bool ok = true;
  while (file->writeBufferLength + length >= kZOZFileBufferSize) {
    const size_t take = kZOZFileBufferSize - 1 - file->writeBufferLength;
    std::memcpy(file->writeBuffer + file->writeBufferLength, at, take);
    file->writeBufferLength += take;
    file->writeBuffer[file->writeBufferLength] = '\0';
    if (!ZOZFileWriteUnbuffered(file, file->writeBuffer, file->writeBufferLength)) ok = false;
    file->writeBufferLength = 0;
    at += take;
    length -= take;
  }
  if (length > 0) {
    std::memcpy(file->writeBuffer + file->writeBufferLength, at, length);
    file->writeBufferLength += length;
  }
  return ok;
}

bool ZOZFileWriteUnbuffered(ZOZFile* file, const void* bytes, size_t length) {
  if (!file) return false;
  const int fd = file->fd;
  const bool ok = ZOZFileLoopWithWriteBlock(
      bytes, length, [fd](const void* p, size_t n) { return ZOZFileWriteToFD(fd, p, n); });
  if (ok) file->bytesWritten += static_cast<off_t>(length);
  return ok;
}

void ZOZFileWriteStringUnquoted(ZOZFile* file, const char* string) {
  if (!string) return;
  const size_t length = std::strlen(string);
  if (length > 0) ZOZFileWriteBytes(file, string, length);
}

size_t ZOZFileUInt64ToString(char* buffer, uint64_t value, bool hex) {
  std::memset(buffer, 0, kZOZUInt64StringBufferSize);
  const uint64_t base = hex ? 16 : 10;
  size_t index = kZOZUInt64StringBufferSize - 1;  // the last byte stays zero
  do {
    buffer[--index] = kHexDigits[value % base];
    value /= base;
  } while (value != 0);
  return index;
}

void ZOZFileWriteUInt64(ZOZFile* file, uint64_t value, bool hex) {
  char buffer[kZOZUInt64StringBufferSize];
  const size_t first = ZOZFileUInt64ToString(buffer, value, hex);
  ZOZFileWriteBytes(file, buffer + first, kZOZUInt64StringBufferSize - 1 - first);
}

void ZOZFileWriteInt64(ZOZFile* file, int64_t value) {
  if (value < 0) {
    ZOZFileWriteBytes(file, "-", 1);
    ZOZFileWriteUInt64(file, uint64_t(0) - static_cast<uint64_t>(value), false);
  } else {
    ZOZFileWriteUInt64(file, static_cast<uint64_t>(value), false);
  }
}

bool ZOZSafeWriteUInt64ToFD(int fd, uint64_t value, bool hex) {
  char buffer[kZOZUInt64StringBufferSize];
  const size_t first = ZOZFileUInt64ToString(buffer, value, hex);
  return ZOZFileLoopWithWriteBlock(buffer + first, kZOZUInt64StringBufferSize - 1 - first,
                                   [fd](const void* p, size_t n) { return ZOZFileWriteToFD(fd, p, n); });
}

bool ZOZSafeWriteInt64ToFD(int fd, int64_t value) {
  if (value >= 0) return ZOZSafeWriteUInt64ToFD(fd, static_cast<uint64_t>(value), false);
  if (ZOZFileWriteToFD(fd, "-", 1) != 1) return false;
  return ZOZSafeWriteUInt64ToFD(fd, uint64_t(0) - static_cast<uint64_t>(value), false);
}

// ---- Reading ----

std::optional<std::vector<os::Value>> ZOZFileReadSections(const std::string& path, bool deleteOnFailure,
                                                          const ZOZFileSectionTransform& transform,
                                                          ZOZFileReadReport* report) {
  if (path.empty()) {
    ZOZErrorLog("Error: input path is invalid");
    return std::nullopt;
  }
  auto& manager = os::FileManager::defaultManager();
  auto contents = manager.contentsAtPath(path);
  if (!contents) {
    if (deleteOnFailure) (void)manager.removeItemAtPath(path);
    ZOZErrorLog("Unable to read file %s", path);
    return std::nullopt;
  }
  // Each line stands alone: bytes that are not UTF-8 cost only themselves
  // (read as U+FFFD), a line that is no record only itself.
  const std::string_view text(reinterpret_cast<const char*>(contents->bytes()), contents->length());
  ZOZFileReadReport found;
  std::vector<os::Value> sections;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) {
      std::string_view line = text.substr(start, end - start);
      std::string repaired;
      if (!os::isValidUTF8(line)) {
        repaired = repairedUTF8(line, &found.replacedBytes);
        line = repaired;
      }
      auto parsed = os::JSONSerialization::JSONObjectWithData(os::Data(line.data(), line.size()));
      if (!parsed) {
        ++found.droppedLines;
      } else if (transform) {
        if (auto transformed = transform(*parsed)) sections.push_back(std::move(*transformed));
      } else {
        sections.push_back(std::move(*parsed));
      }
    }
    start = end + 1;
  }
  if (found.replacedBytes > 0) {
    ZOZWarningLog("Read %zu bytes of %s that are not UTF-8 as U+FFFD", found.replacedBytes, path);
  }
  if (found.droppedLines > 0) ZOZWarningLog("Dropped %zu lines of %s that are not records", found.droppedLines, path);
  if (report) *report = found;
  return sections;
}

std::optional<std::string> ZOZFileHexDecodeString(const char* string) {
  if (!string) return std::nullopt;
  auto value = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string decoded;
  for (const char* p = string; p[0] && p[1]; p += 2) {
    const int high = value(p[0]);
    const int low = value(p[1]);
    if (high < 0 || low < 0) break;
    const char byte = static_cast<char>((high << 4) | low);
    if (byte == '\0') break;  // the text ends at its first zero byte
    decoded.push_back(byte);
  }
  if (!os::isValidUTF8(decoded)) return std::nullopt;
  return decoded;
}
