#include "os/foundation/uuid.h"

#include <cstring>

#include "os/foundation/crypto.h"

namespace os {
namespace {

// Hyphens follow bytes 4, 6, 8 and 10.
constexpr bool hyphenAfter(size_t byteIndex) {
  return byteIndex == 4 || byteIndex == 6 || byteIndex == 8 || byteIndex == 10;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

UUID::UUID() {
  if (!randomBytes(bytes_.data(), bytes_.size())) abort();
  bytes_[6] = static_cast<uint8_t>((bytes_[6] & 0x0F) | 0x40);  // version 4
  bytes_[8] = static_cast<uint8_t>((bytes_[8] & 0x3F) | 0x80);  // RFC 4122 variant
}

std::optional<UUID> UUID::initWithUUIDString(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  Bytes bytes{};
  size_t pos = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (hyphenAfter(i)) {
      if (text[pos] != '-') return std::nullopt;
      ++pos;
    }
    int hi = hexValue(text[pos]);
    int lo = hexValue(text[pos + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    bytes[i] = static_cast<uint8_t>(hi << 4 | lo);
    pos += 2;
  }
  return UUID(bytes);
}

std::string UUID::UUIDString() const {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string s;
  s.reserve(36);
  for (size_t i = 0; i < bytes_.size(); ++i) {
    if (hyphenAfter(i)) s.push_back('-');
    s.push_back(kDigits[bytes_[i] >> 4]);
    s.push_back(kDigits[bytes_[i] & 0x0F]);
  }
  return s;
}

void UUID::getUUIDBytes(uint8_t out[16]) const { std::memcpy(out, bytes_.data(), bytes_.size()); }

size_t UUID::hash() const {
  uint64_t a, b;
  std::memcpy(&a, bytes_.data(), 8);
  std::memcpy(&b, bytes_.data() + 8, 8);
  return static_cast<size_t>(a ^ (b * 0x9E3779B97F4A7C15ull));
}

}  // namespace os
