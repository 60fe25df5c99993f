// Small stateless helpers shared by the capture core and the reporting layer:
// hex and digests, UUID text, and crash-time utilities.
//
// Async-signal-safe (no allocation, no lock, no stdio, no formatting):
// ZOZHexFromByte, ZOZSafeHexToString, ZOZHexCharToValue, ZOZReadMemory,
// ZOZReadString, ZOZUnlinkIfExists. Everything else is ordinary code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "os/dispatch/queue.h"
#include "os/foundation/data.h"

// Addresses below this are never valid pointers in the capture core.
inline constexpr uintptr_t kZOZMinimumValidAddress = 4096;

// ---- Hex and digests ----
// Two lower-case digits.
void ZOZHexFromByte(uint8_t byte, char output[2]);
// Zeroes 2 * length + 1 bytes of `output`, then writes two digits per byte.
void ZOZSafeHexToString(const void* bytes, size_t length, char* output);
std::string ZOZNSDataToNSString(const os::Data& data);
// SHA-1 as 40 and SHA-256 as 64 lower-case hex digits.
std::string ZOZHashBytesSHA1(const void* bytes, size_t length);
std::string ZOZHashNSData(const os::Data& data);
std::string ZOZHashBytes(const void* bytes, size_t length);
std::string ZOZHashNSDataSHA256(const os::Data& data);
// 0 to 15 for "0"-"9", "a"-"f", "A"-"F"; 255 for anything else.
uint8_t ZOZHexCharToValue(char c);

// ---- UUIDs ----
// A new random UUID in its standard upper-case form (with hyphens).
std::string ZOZUUIDCreate();
// 32 lower-case hex digits, no hyphens.
std::string ZOZUUIDToNSString(const uint8_t uuid[16]);

// ---- Crash-time utilities ----
// Copies `length` bytes of the own task at `source` through the kernel's safe
// read; false for a source below 4096 or when any byte is unreadable.
bool ZOZReadMemory(uintptr_t source, void* destination, size_t length);
// Checks that the string at `address` is readable, one byte at a time, up to
// its zero byte or `maxLength` bytes; true then, with `address` in *string. A
// maximum length of 0 is true at once. False for an address below 4096, a
// range that wraps around the address space, or an unreadable byte.
bool ZOZReadString(uintptr_t address, const char** string, size_t maxLength);
// True when the file was removed or was not there.
bool ZOZUnlinkIfExists(const char* path);
// Calls `block` with the symbol name and the image path that dladdr gives for
// the address ("unknown" for a missing part), or with two nulls when the
// address lies in no image.
void ZOZLookupFunctionPointer(uintptr_t address, const std::function<void(const char* name, const char* path)>& block);
// Runs `block` on `queue` after `seconds`.
void ZOZDispatchAfter(float seconds, const std::shared_ptr<os::DispatchQueue>& queue, os::DispatchBlock block);
