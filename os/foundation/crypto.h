// Secure randomness (the kernel's getrandom(2), OpenSSL libcrypto when that
// fails) and message digests (libcrypto).
//
// All functions are thread-safe; the random ones also while the process
// exits. None is async-signal-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "os/foundation/data.h"

namespace os {

inline constexpr size_t kMD5DigestLength = 16;
inline constexpr size_t kSHA1DigestLength = 20;
inline constexpr size_t kSHA256DigestLength = 32;

// Fills `out` with `count` bytes from the cryptographically secure source.
// Returns false (leaving `out` unspecified) only when the source fails.
bool randomBytes(void* out, size_t count);
// `count` secure random bytes. Should both sources fail, the process aborts
// rather than hand out predictable bytes. Likewise random32, random64,
// randomUniform.
Data randomBytes(size_t count);
// A uniform random integer in [0, upperBound), without modulo bias; 0 when
// upperBound is 0 or 1.
uint32_t randomUniform(uint32_t upperBound);
// A uniform random 32-bit integer.
uint32_t random32();
// A uniform random 64-bit integer.
uint64_t random64();

// Digests of the given bytes: 16, 20 and 32 bytes long respectively.
Data md5(const void* bytes, size_t length);
Data md5(const Data& data);
Data md5(std::string_view text);
Data sha1(const void* bytes, size_t length);
Data sha1(const Data& data);
Data sha1(std::string_view text);
Data sha256(const void* bytes, size_t length);
Data sha256(const Data& data);
Data sha256(std::string_view text);

}  // namespace os
