#include "os/foundation/crypto.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/random.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace os {
namespace {

// getrandom(2) in a loop: it may return short counts for large requests and
// be interrupted by signals.
bool kernelRandomBytes(void* out, size_t count) {
  auto* p = static_cast<uint8_t*>(out);
  while (count > 0) {
    ssize_t n = getrandom(p, count, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

Data digest(const EVP_MD* md, const void* bytes, size_t length) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int outLength = 0;
  // EVP_Digest cannot fail for these built-in algorithms short of memory
  // exhaustion; an empty result then tells the caller something is wrong.
  if (EVP_Digest(bytes, length, out, &outLength, md, nullptr) != 1) return Data();
  return Data(out, outLength);
}

}  // namespace

bool randomBytes(void* out, size_t count) {
  // The kernel's source first: it keeps no state in the process, so it serves
  // any thread at any time. The crypto library frees its state in an exit
  // handler (registered by whichever library loads it first) while queued
  // work may still draw during exit.
  if (kernelRandomBytes(out, count)) return true;
  auto* p = static_cast<uint8_t*>(out);
  while (count > 0) {
    int chunk = count > size_t(INT_MAX) ? INT_MAX : static_cast<int>(count);
    if (RAND_bytes(p, chunk) != 1) return false;
    p += chunk;
    count -= static_cast<size_t>(chunk);
  }
  return true;
}

Data randomBytes(size_t count) {
  Data d;
  d.resize(count);
  if (!randomBytes(d.mutableBytes(), count)) {
    // Both sources failed: there is no secure randomness to give. An all-zero
    // buffer would pass silently, so this is treated as fatal.
    abort();
  }
  return d;
}

uint32_t random32() {
  uint32_t v = 0;
  if (!randomBytes(&v, sizeof v)) abort();
  return v;
}

uint64_t random64() {
  uint64_t v = 0;
  if (!randomBytes(&v, sizeof v)) abort();
  return v;
}

uint32_t randomUniform(uint32_t upperBound) {
  if (upperBound < 2) return 0;
  // Reject the low values that would make the modulo uneven: 2^32 mod bound.
  uint32_t threshold = static_cast<uint32_t>(-upperBound) % upperBound;
  for (;;) {
    uint32_t r = random32();
    if (r >= threshold) return r % upperBound;
  }
}

Data md5(const void* bytes, size_t length) { return digest(EVP_md5(), bytes, length); }
Data md5(const Data& data) { return md5(data.bytes(), data.length()); }
Data md5(std::string_view text) { return md5(text.data(), text.size()); }
Data sha1(const void* bytes, size_t length) { return digest(EVP_sha1(), bytes, length); }
Data sha1(const Data& data) { return sha1(data.bytes(), data.length()); }
Data sha1(std::string_view text) { return sha1(text.data(), text.size()); }
Data sha256(const void* bytes, size_t length) { return digest(EVP_sha256(), bytes, length); }
Data sha256(const Data& data) { return sha256(data.bytes(), data.length()); }
Data sha256(std::string_view text) { return sha256(text.data(), text.size()); }

}  // namespace os
