// Record files and their writer.
//
// A record file (extension "zozrecord") is text: one line per section, each a
// JSON object with exactly one key, the section's name, whose value is the
// section's content: {"signal":{"number":11,...}}. A file may hold many
// lines of one section. No white space is written except the newline that
// ends a line.
//
// Values: objects and arrays as JSON writes them; strings between double
// quotes with '"' and '\' escaped by a backslash and control characters
// (below 0x20) as \u00XX, so any text reads back as it was written; strings
// are always UTF-8: one cut inside a character ends before it, and a byte
// that starts no character is written as the text \xHH (JSON "\\xHH"); text
// that may hold anything is also written hex-encoded (two lower-case digits
// per byte up to its first zero byte); a missing string is null; Booleans;
// unsigned decimals without sign or leading zeros; signed decimals with "-"
// before the magnitude of a negative number.
//
// The writer (ZOZFile) is async-signal-safe when it does not buffer: it uses
// only its descriptor, prints numbers by hand and escapes strings through a
// stack buffer; no allocation, no lock, no stdio, no formatting routine. The
// crash path opens its files without buffering. Ordinary code may buffer:
// the handle then owns a 1,000-byte heap buffer (never more than 999 bytes
// pending) until it is closed. A handle belongs to one writer at a time.
//
// Write failures are reported by the low-level calls; the structure and entry
// calls ignore them and go on, so a failed or interrupted write leaves at
// most one cut line, which the reader skips.
//
// The reader (ZOZFileReadSections) and ZOZFileHexDecodeString are ordinary
// code for the next launch: they allocate and log through the SDK logger.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "os/foundation/value.h"

inline constexpr const char* kZOZRecordFileExtension = "zozrecord";
inline constexpr size_t kZOZFileBufferSize = 1000;
// The write loop gives up after this many calls of its write callback.
inline constexpr int kZOZFileMaxWriteAttempts = 50;
// ZOZFileUInt64ToString's buffer: 20 decimal digits and a zero.
inline constexpr size_t kZOZUInt64StringBufferSize = 21;

struct ZOZFile {
  int fd = -1;                  // -1 when closed
  int collectionDepth = 0;      // open objects and arrays
  bool needComma = false;       // the next key or value is preceded by ","
  bool bufferWrites = false;
  char* writeBuffer = nullptr;  // kZOZFileBufferSize bytes, only when buffering
  size_t writeBufferLength = 0; // bytes pending in writeBuffer
  off_t bytesWritten = 0;       // file offset reached (an appended file's size included)
};

// ---- Opening and closing ----
// Opens for appending.
bool ZOZFileInitWithPath(ZOZFile* file, const char* path, bool bufferWrites);
// Opens `path` write-only, created with 0644, appending or truncating. When
// appending, bytesWritten starts at the file's size; a size that cannot be
// read closes the descriptor again and gives false. Failures are written to
// the internal log. Async-signal-safe unless buffering.
bool ZOZFileInitWithPathMode(ZOZFile* file, const char* path, bool appendMode, bool bufferWrites);
// Flushes, frees the buffer, closes; *finalOffset (when given) receives
// bytesWritten. False for a closed handle or a failed close(2).
bool ZOZFileClose(ZOZFile* file);
bool ZOZFileCloseWithOffset(ZOZFile* file, off_t* finalOffset);
bool ZOZFileIsOpen(const ZOZFile* file);
void ZOZFileFlushWriteBuffer(ZOZFile* file);

// ---- Structure ----
// "{" and the quoted name and ":"; "}" and the newline.
void ZOZFileWriteSectionStart(ZOZFile* file, const char* name);
void ZOZFileWriteSectionEnd(ZOZFile* file);
void ZOZFileWriteHashStart(ZOZFile* file);
void ZOZFileWriteHashEnd(ZOZFile* file);
void ZOZFileWriteHashKey(ZOZFile* file, const char* key);
void ZOZFileWriteArrayStart(ZOZFile* file);
void ZOZFileWriteArrayEnd(ZOZFile* file);

// ---- Values ----
void ZOZFileWriteHashEntryUint64(ZOZFile* file, const char* key, uint64_t value);
void ZOZFileWriteHashEntryInt64(ZOZFile* file, const char* key, int64_t value);
// A null string is written as null.
void ZOZFileWriteHashEntryString(ZOZFile* file, const char* key, const char* value);
// Ordinary code: the key and the quoted string, only when the string is not
// empty; nothing at all otherwise.
void ZOZFileWriteHashEntryNSString(ZOZFile* file, const char* key, const std::string& value);
void ZOZFileWriteHashEntryHexEncodedString(ZOZFile* file, const char* key, const char* value);
void ZOZFileWriteHashEntryBoolean(ZOZFile* file, const char* key, bool value);
void ZOZFileWriteArrayEntryUint64(ZOZFile* file, uint64_t value);
void ZOZFileWriteArrayEntryString(ZOZFile* file, const char* value);
void ZOZFileWriteArrayEntryHexEncodedString(ZOZFile* file, const char* value);

// ---- Lower level ----
// Through the buffer when buffering, else at once. False when a write failed.
bool ZOZFileWriteBytes(ZOZFile* file, const void* bytes, size_t length);
bool ZOZFileWriteUnbuffered(ZOZFile* file, const void* bytes, size_t length);
// The bytes as they are (no quotes, no escaping): for text that is already
// JSON.
void ZOZFileWriteStringUnquoted(ZOZFile* file, const char* string);
void ZOZFileWriteUInt64(ZOZFile* file, uint64_t value, bool hex);
void ZOZFileWriteInt64(ZOZFile* file, int64_t value);
// Writes the digits (base 10, or 16 in lower case) at the end of a zeroed
// buffer of kZOZUInt64StringBufferSize bytes; returns the index of the first.
size_t ZOZFileUInt64ToString(char* buffer, uint64_t value, bool hex);
// Numbers straight to a descriptor; false when the write failed.
bool ZOZSafeWriteUInt64ToFD(int fd, uint64_t value, bool hex);
bool ZOZSafeWriteInt64ToFD(int fd, int64_t value);

// Calls `write(bytes, length)` (which returns what write(2) returns) with what
// is left until everything is written: a partial write goes on with the rest,
// an error or a zero-length write ends in failure, and so do
// kZOZFileMaxWriteAttempts calls without finishing. A length of 0 writes
// nothing and is a failure. Async-signal-safe when `write` is.
template <class Write>
bool ZOZFileLoopWithWriteBlock(const void* bytes, size_t length, Write&& write) {
  if (!bytes || length == 0) return false;
  const char* at = static_cast<const char*>(bytes);
  size_t left = length;
  for (int attempt = 0; attempt < kZOZFileMaxWriteAttempts; ++attempt) {
    ssize_t written = write(static_cast<const void*>(at), left);
    if (written <= 0) return false;
    if (static_cast<size_t>(written) >= left) return true;
    at += written;
    left -= static_cast<size_t>(written);
  }
  return false;
}

// write(2) on a descriptor, resumed after an interruption. Async-signal-safe.
inline ssize_t ZOZFileWriteToFD(int fd, const void* bytes, size_t length) {
  for (;;) {
    ssize_t written = ::write(fd, bytes, length);
    if (written >= 0 || errno != EINTR) return written;
  }
}

// Makes the size query of the next append-opens fail with `error` (0: as
// the file system answers). For tests.
void ZOZFileTEST_setSizeQueryError(int error);

// ---- Reading (ordinary code) ----
using ZOZFileSectionTransform = std::function<std::optional<os::Value>(const os::Value&)>;
// What a read left out.
struct ZOZFileReadReport {
  size_t droppedLines = 0;   // non-empty lines that did not parse as JSON
  size_t replacedBytes = 0;  // bytes that start no UTF-8 character, read as U+FFFD
};
// The sections of a record file, parsed line by line, in file order. Damage
// costs only what it touches: bytes that are not UTF-8 are read as U+FFFD
// (the rest of their line stands), and lines that do not parse as JSON (a
// line cut by a crash) are dropped; both are counted in *report (when given)
// and logged at warning level. The empty piece after the last newline is no
// line. With a transform, each object goes through it and a nullopt result
// is dropped. nullopt for an empty path ("Error: input path is invalid") or
// an unreadable file ("Unable to read file %s"), which is removed first when
// `deleteOnFailure` is set.
std::optional<std::vector<os::Value>> ZOZFileReadSections(const std::string& path, bool deleteOnFailure,
                                                          const ZOZFileSectionTransform& transform = nullptr,
                                                          ZOZFileReadReport* report = nullptr);
// Each pair of hex digits (either case) becomes a byte, up to the first
// character that is no hex digit or the first zero byte; nullopt when the
// bytes are not UTF-8.
std::optional<std::string> ZOZFileHexDecodeString(const char* string);
