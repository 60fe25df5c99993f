// os::UUID: a 128-bit universally unique identifier.
//
// A default-constructed UUID is a fresh random (version 4, RFC 4122 variant)
// identifier drawn from the secure random source. Text is the upper-case
// 8-4-4-4-12 form, "E621E1F8-C36C-495A-93FC-0C247A3E6E5F".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace os {

class UUID {
 public:
  using Bytes = std::array<uint8_t, 16>;

  // A new random version-4 UUID.
  UUID();
  // The UUID with exactly these bytes (no version or variant is imposed).
  explicit constexpr UUID(const Bytes& bytes) : bytes_(bytes) {}

  // Parses the 36-character 8-4-4-4-12 form; hex digits of either case. Anything
  // else (braces, missing or extra hyphens, surrounding spaces, other lengths)
  // gives nullopt.
  static std::optional<UUID> initWithUUIDString(std::string_view text);

  // Upper-case 8-4-4-4-12 text.
  std::string UUIDString() const;
  const Bytes& bytes() const { return bytes_; }
  // Copies the 16 bytes to `out`.
  void getUUIDBytes(uint8_t out[16]) const;
  size_t hash() const;

  friend constexpr bool operator==(const UUID&, const UUID&) = default;
  friend constexpr auto operator<=>(const UUID&, const UUID&) = default;

 private:
  Bytes bytes_{};
};

}  // namespace os

template <>
struct std::hash<os::UUID> {
  size_t operator()(const os::UUID& u) const { return u.hash(); }
};
