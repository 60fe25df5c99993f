// REVADACompressionHelper: the gzip form of an upload body, made with zlib
// directly (deflate with a gzip header and trailer).
//
// Re-entrant: all state lives on the caller's stack.
#pragma once

#include <optional>

#include "os/foundation/data.h"

class REVADACompressionHelper {
 public:
  // The gzip stream of the bytes (default level, 32 KiB window, memory level
  // 8, default strategy); nothing for empty input, for input longer than
  // 4,294,967,295 bytes, and when zlib fails.
  static std::optional<os::Data> gzippedData(const os::Data& data);
  // Whether the bytes begin with the gzip magic 0x1F 0x8B.
  static bool isGzipped(const os::Data& data);
};
