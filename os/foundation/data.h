// os::Data: an owned, immutable-by-default sequence of bytes.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace os {

class Data {
 public:
  Data() = default;
  explicit Data(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  Data(const void* bytes, size_t length)
      : bytes_(static_cast<const uint8_t*>(bytes), static_cast<const uint8_t*>(bytes) + length) {}
  // The bytes of a string, without a terminator.
  static Data fromString(std::string_view s) { return Data(s.data(), s.size()); }

  const uint8_t* bytes() const { return bytes_.data(); }
  uint8_t* mutableBytes() { return bytes_.data(); }
  size_t length() const { return bytes_.size(); }
  size_t size() const { return bytes_.size(); }
  bool empty() const { return bytes_.empty(); }
  uint8_t operator[](size_t i) const { return bytes_[i]; }

  std::string_view view() const {
    return std::string_view(reinterpret_cast<const char*>(bytes_.data()), bytes_.size());
  }
  std::string toString() const { return std::string(view()); }
  const std::vector<uint8_t>& vector() const { return bytes_; }
  std::vector<uint8_t>& vector() { return bytes_; }

  void append(const void* bytes, size_t length) {
    auto p = static_cast<const uint8_t*>(bytes);
    bytes_.insert(bytes_.end(), p, p + length);
  }
  void append(const Data& other) { append(other.bytes(), other.length()); }
  void append(std::string_view s) { append(s.data(), s.size()); }
  void resize(size_t n) { bytes_.resize(n); }
  Data subdata(size_t location, size_t length) const {
    return Data(bytes_.data() + location, length);
  }

  friend bool operator==(const Data&, const Data&) = default;
  friend auto operator<=>(const Data&, const Data&) = default;

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace os
