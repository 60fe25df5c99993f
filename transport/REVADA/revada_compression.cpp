#include "transport/REVADA/revada_compression.h"

#include <zlib.h>

#include <cstdint>
#include <limits>

namespace {

// Window bits 15 plus 16: a 32 KiB window, written with a gzip wrapper.
constexpr int kGzipWindowBits = 31;
constexpr int kMemoryLevel = 8;
constexpr size_t kChunkSize = 1024;

}  // namespace

std::optional<os::Data> REVADACompressionHelper::gzippedData(const os::Data& data) {
  if (data.empty() || data.length() > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  z_stream stream{};
  if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kGzipWindowBits, kMemoryLevel, Z_DEFAULT_STRATEGY) !=
      Z_OK)
    return std::nullopt;
  stream.next_in = const_cast<Bytef*>(data.bytes());
  stream.avail_in = static_cast<uInt>(data.length());

  std::vector<uint8_t> out;
  out.reserve(data.length() / 4);
  uint8_t chunk[kChunkSize];
  int status = Z_OK;
  while (status != Z_STREAM_END) {
    stream.next_out = chunk;
    stream.avail_out = kChunkSize;
    status = deflate(&stream, Z_FINISH);
    if (status != Z_OK && status != Z_STREAM_END) {
      deflateEnd(&stream);
      return std::nullopt;
    }
    out.insert(out.end(), chunk, chunk + (kChunkSize - stream.avail_out));
  }
  deflateEnd(&stream);
  return os::Data(std::move(out));
}

bool REVADACompressionHelper::isGzipped(const os::Data& data) {
  return data.length() >= 2 && data[0] == 0x1F && data[1] == 0x8B;
}
