#include "platform/utilities/gzip.h"

#include <zlib.h>

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <limits>
#include <vector>

namespace {

// The version handed to the zlib initialisers; zlib checks its major digit
// and the stream-structure size.
constexpr const char* kZlibVersion = "1.2.12";
constexpr size_t kChunkSize = 1024;
constexpr uint64_t kMaxStreamLength = std::numeric_limits<uint32_t>::max();

os::Error zlibError(int status, const char* message = nullptr) {
  os::Dictionary userInfo{{kDAZNSDataZlibErrorKey, os::Value(status)}};
  if (message != nullptr) userInfo[os::kLocalizedDescriptionKey] = os::Value(message);
  return os::Error(kDAZNSDataZlibErrorDomain, static_cast<int64_t>(DAZZlibError::Internal),
                   std::move(userInfo));
}

// Deflate cannot expand more than 1032:1; a trailer claiming more is damaged.
constexpr uint64_t kMaxDeflateRatio = 1032;
// Never pre-size beyond this from an unchecked trailer; growth takes over.
constexpr size_t kMaxPresize = 64u << 20;

size_t initialOutputCapacity(const os::Data& data) {
  const size_t n = data.length();
  if (n >= 18 && data[0] == 0x1F && data[1] == 0x8B) {
    const uint8_t* trailer = data.bytes() + n - 4;
    const uint64_t isize = uint64_t(trailer[0]) | uint64_t(trailer[1]) << 8 | uint64_t(trailer[2]) << 16 |
                           uint64_t(trailer[3]) << 24;
    if (isize > 0 && isize <= n * kMaxDeflateRatio && isize <= kMaxPresize) return static_cast<size_t>(isize);
  }
  return std::min<size_t>(n * 4, kMaxPresize);
}

}  // namespace

os::Result<std::optional<os::Data>> DAZGzip::daz_dataByGzippingData(const os::Data& data) {
  if (data.empty()) return std::optional<os::Data>();
  if (data.length() > kMaxStreamLength) {
    return os::fail(os::Error(kDAZNSDataZlibErrorDomain,
                              static_cast<int64_t>(DAZZlibError::GreaterThan32BitsToCompress)));
  }

  z_stream stream{};
  stream.next_in = const_cast<Bytef*>(data.bytes());
  stream.avail_in = static_cast<uInt>(data.length());
  int status = deflateInit2_(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY,
                             kZlibVersion, static_cast<int>(sizeof(z_stream)));
  if (status != Z_OK) return os::fail(zlibError(status));

  os::Data output;
  output.vector().reserve(data.length() / 4);  // a guess at the compression ratio
  Bytef chunk[kChunkSize];
  for (;;) {
    stream.next_out = chunk;
    stream.avail_out = kChunkSize;
    status = deflate(&stream, Z_FINISH);
    if (status < Z_OK || status > Z_STREAM_END) {
      deflateEnd(&stream);
      return os::fail(zlibError(status));
    }
    const size_t produced = kChunkSize - stream.avail_out;
    if (produced > 0) output.append(chunk, produced);
    if (status == Z_STREAM_END) break;
  }
  // Z_FINISH with the whole input supplied consumes all of it.
  assert(stream.avail_in == 0 && "Should have finished deflating without using all input");
  deflateEnd(&stream);
  return std::optional<os::Data>(std::move(output));
}

os::Result<std::optional<os::Data>> DAZGzip::daz_dataByInflatingGzippedData(const os::Data& data) {
  if (data.empty() || data.length() > kMaxStreamLength) return std::optional<os::Data>();

  z_stream stream{};
  stream.next_in = const_cast<Bytef*>(data.bytes());
  stream.avail_in = static_cast<uInt>(data.length());
  // 32 + 15: detect a zlib or gzip header, 15-bit window.
  int status = inflateInit2_(&stream, 47, kZlibVersion, static_cast<int>(sizeof(z_stream)));
  if (status != Z_OK) return os::fail(zlibError(status));

  os::Data output;
  // Inflate straight into the output, sized by the gzip trailer's length
  // field when it is plausible, else by a guess of four times the input.
  std::vector<uint8_t>& out = output.vector();
  out.resize(std::max<size_t>(initialOutputCapacity(data), kChunkSize));
  size_t produced = 0;
  for (;;) {
    if (produced == out.size()) out.resize(out.size() * 2);
    stream.next_out = out.data() + produced;
    stream.avail_out = static_cast<uInt>(std::min<size_t>(out.size() - produced, kMaxStreamLength));
    const uInt space = stream.avail_out;
    status = inflate(&stream, Z_NO_FLUSH);
    // Every negative status, and Z_NEED_DICT, fails; Z_BUF_ERROR is how a
    // truncated stream shows.
    if (static_cast<unsigned>(status) >= static_cast<unsigned>(Z_NEED_DICT)) {
      os::Error error = zlibError(status, stream.msg);
      inflateEnd(&stream);
      return os::fail(std::move(error));
    }
    produced += space - stream.avail_out;
    if (status == Z_STREAM_END) break;
  }
  out.resize(produced);
  const uInt remaining = stream.avail_in;
  inflateEnd(&stream);
  if (remaining > 0) {
    return os::fail(os::Error(kDAZNSDataZlibErrorDomain, static_cast<int64_t>(DAZZlibError::DataRemaining),
                              {{kDAZNSDataZlibRemainingBytesKey, os::Value(static_cast<unsigned>(remaining))}}));
  }
  return std::optional<os::Data>(std::move(output));
}
