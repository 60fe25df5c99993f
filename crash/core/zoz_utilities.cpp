// Stateless helpers (see zoz_utilities.h).
#include "crash/core/zoz_utilities.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include "os/foundation/crypto.h"
#include "os/foundation/uuid.h"
#include "os/kernel/vm.h"

namespace {
constexpr char kHexDigits[] = "0123456789abcdef";
}  // namespace

void ZOZHexFromByte(uint8_t byte, char output[2]) {
  output[0] = kHexDigits[byte >> 4];
  output[1] = kHexDigits[byte & 15];
}

void ZOZSafeHexToString(const void* bytes, size_t length, char* output) {
  if (!output) return;
  std::memset(output, 0, 2 * length + 1);
  if (!bytes) return;
  const auto* in = static_cast<const uint8_t*>(bytes);
  for (size_t i = 0; i < length; ++i) ZOZHexFromByte(in[i], output + 2 * i);
}

std::string ZOZNSDataToNSString(const os::Data& data) {
  std::string text(2 * data.length(), '\0');
  for (size_t i = 0; i < data.length(); ++i) ZOZHexFromByte(data.bytes()[i], text.data() + 2 * i);
  return text;
}

std::string ZOZHashBytesSHA1(const void* bytes, size_t length) { return ZOZNSDataToNSString(os::sha1(bytes, length)); }
std::string ZOZHashNSData(const os::Data& data) { return ZOZNSDataToNSString(os::sha1(data)); }
std::string ZOZHashBytes(const void* bytes, size_t length) { return ZOZNSDataToNSString(os::sha256(bytes, length)); }
std::string ZOZHashNSDataSHA256(const os::Data& data) { return ZOZNSDataToNSString(os::sha256(data)); }

uint8_t ZOZHexCharToValue(char c) {
  if (c >= '0' && c <= '9') return uint8_t(c - '0');
  if (c >= 'a' && c <= 'f') return uint8_t(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return uint8_t(c - 'A' + 10);
  return 255;
}

std::string ZOZUUIDCreate() { return os::UUID().UUIDString(); }

std::string ZOZUUIDToNSString(const uint8_t uuid[16]) {
  char text[33];
  ZOZSafeHexToString(uuid, 16, text);
  return std::string(text, 32);
}

bool ZOZReadMemory(uintptr_t source, void* destination, size_t length) {
  if (source < kZOZMinimumValidAddress || !destination) return false;
  os::kernel::vm_size_t read = 0;
  return os::kernel::vm_read_overwrite(os::kernel::mach_task_self(), source, length,
                                       reinterpret_cast<os::kernel::vm_address_t>(destination),
                                       &read) == os::kernel::KERN_SUCCESS;
}

bool ZOZReadString(uintptr_t address, const char** string, size_t maxLength) {
  if (maxLength == 0) {
    if (string) *string = reinterpret_cast<const char*>(address);
    return true;
  }
  if (address < kZOZMinimumValidAddress) return false;
  // A range that wraps around the address space is never a string (it would
  // run through the top of memory into address 0).
  if (maxLength - 1 > UINTPTR_MAX - address) return false;
  for (size_t i = 0; i < maxLength; ++i) {
    char byte = 0;
    if (!ZOZReadMemory(address + i, &byte, 1)) return false;
    if (byte == '\0') break;
  }
  if (string) *string = reinterpret_cast<const char*>(address);
  return true;
}

bool ZOZUnlinkIfExists(const char* path) {
  if (!path) return false;
  return ::unlink(path) == 0 || errno == ENOENT;
}

void ZOZLookupFunctionPointer(uintptr_t address,
                              const std::function<void(const char* name, const char* path)>& block) {
  if (!block) return;
  Dl_info info{};
  if (::dladdr(reinterpret_cast<const void*>(address), &info) == 0) {
    block(nullptr, nullptr);
    return;
  }
  block(info.dli_sname ? info.dli_sname : "unknown", info.dli_fname ? info.dli_fname : "unknown");
}

void ZOZDispatchAfter(float seconds, const std::shared_ptr<os::DispatchQueue>& queue, os::DispatchBlock block) {
  if (!queue) return;
  const auto nanos = static_cast<int64_t>(std::llround(double(seconds) * double(os::kNanosPerSecond)));
  queue->after(os::DispatchTime::fromNowNanos(nanos), std::move(block));
}
