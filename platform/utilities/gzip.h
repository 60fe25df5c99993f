// DAZGzip: gzip compression and expansion of byte buffers over zlib.
//
// Compressing writes a gzip stream (deflate at zlib's default level, gzip
// header and trailer). Expanding accepts a gzip or a zlib stream, detected
// from its header. Both are re-entrant: all state lives on the caller's stack.
//
// Results: the bytes; std::nullopt (no error) for empty input; or an error in
// kDAZNSDataZlibErrorDomain:
//   1024 input longer than 4,294,967,295 bytes (compressing only)
//   1025 zlib failed; user info kDAZNSDataZlibErrorKey = the zlib status and,
//        when expanding, the localized description from zlib's message
//   1026 trailing bytes after the end of the gzip stream (expanding only);
//        user info kDAZNSDataZlibRemainingBytesKey = the unread byte count
#pragma once

#include <optional>

#include "os/foundation/data.h"
#include "os/foundation/error.h"

inline constexpr const char* kDAZNSDataZlibErrorDomain = "com.devuvo.DAZNSDataZlibErrorDomain";
inline constexpr const char* kDAZNSDataZlibErrorKey = "DAZNSDataZlibErrorKey";
inline constexpr const char* kDAZNSDataZlibRemainingBytesKey = "DAZNSDataZlibRemainingBytesKey";

enum class DAZZlibError : int64_t {
  GreaterThan32BitsToCompress = 1024,
  Internal = 1025,
  DataRemaining = 1026,
};

class DAZGzip {
 public:
  // The gzip stream of `data`; nullopt for empty input.
  static os::Result<std::optional<os::Data>> daz_dataByGzippingData(const os::Data& data);
  // The expanded bytes of a gzip or zlib stream; nullopt for empty input and
  // for input longer than 4,294,967,295 bytes.
  static os::Result<std::optional<os::Data>> daz_dataByInflatingGzippedData(const os::Data& data);
};
