// The crash allocator: one anonymous mapping that holds everything the
// capture core needs while the process dies, carved up at start-up.
//
// Layout, from low to high addresses:
//   guard page | writable region | guard page | read-only region | guard page
// Guard pages have no access. Each region is (requested size / page size + 1)
// pages, so a request of a whole number of pages still gets one more page;
// the read-only request grows by 64 bytes for the allocator's own record,
// which is the first block of the read-only region. The page size is
// ZOZHostGetPageSize()'s.
//
// Allocation is lock-free and async-signal-safe while it stays inside the
// mapping: each region has a cursor advanced by compare-and-swap, and blocks
// follow each other unrounded. What cannot come from the mapping (no
// allocator, protection already on, a region that is full) falls back to the
// heap with a message in the internal log: that fallback allocates, so the
// crash path must never need it. ZOZAllocatorProtect makes the read-only
// region read-only; writes to it fault from then on.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

enum ZOZAllocationType : int {
  ZOZAllocationTypeReadOnly = 0,  // from the read-only region
  ZOZAllocationTypeWritable = 1,  // from the writable region
};

struct ZOZAllocatorRegion {
  size_t size = 0;
  void* start = nullptr;
  std::atomic<uintptr_t> cursor{0};  // the next free byte
};

struct ZOZAllocator {
  void* buffer = nullptr;  // the start of the mapping
  std::atomic<bool> protectionEnabled{false};
  ZOZAllocatorRegion writableRegion;
  ZOZAllocatorRegion readableRegion;
};

// The allocator's record, carved from its own read-only region.
inline constexpr size_t kZOZAllocatorRecordSize = 64;
static_assert(sizeof(ZOZAllocator) <= kZOZAllocatorRecordSize);

// Maps and fences the regions; null when mapping or fencing fails (a failed
// fence unmaps again). Not async-signal-safe (it logs the page-size query).
ZOZAllocator* ZOZAllocatorCreate(size_t writableSpace, size_t readableSpace);
// `size` bytes of the given class; null for any other class.
void* ZOZAllocatorSafeAllocate(ZOZAllocator* allocator, size_t size, int type);
// One region's allocation, with the heap fallback described above.
void* ZOZAllocatorSafeAllocateFromRegion(ZOZAllocatorRegion* region, size_t size);
// Makes the read-only region read-only; true also when it already was.
bool ZOZAllocatorProtect(ZOZAllocator* allocator);
// The bytes the mapping spans, guard pages included.
size_t ZOZAllocatorMappingSize(const ZOZAllocator* allocator);

// Replaces mprotect(2) for the allocator (null: mprotect again). For tests
// that make a protection fail.
using ZOZAllocatorProtectFunction = int (*)(void* address, size_t length, int protection);
void ZOZAllocatorTEST_setProtectFunction(ZOZAllocatorProtectFunction function);
