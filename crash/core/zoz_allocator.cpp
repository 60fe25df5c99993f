// The crash allocator (see zoz_allocator.h).
#include "crash/core/zoz_allocator.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "crash/core/zoz_application.h"
#include "crash/core/zoz_sdk_log.h"

namespace {

std::atomic<ZOZAllocatorProtectFunction> gProtect{nullptr};

int protect(void* address, size_t length, int protection) {
  ZOZAllocatorProtectFunction function = gProtect.load(std::memory_order_acquire);
  return function ? function(address, length, protection) : ::mprotect(address, length, protection);
}

const char* errorName(int error) {
  const char* name = ::strerrorname_np(error);
  return name ? name : "unknown error";
}

// (requested / page + 1) whole pages: a whole number of pages still gets one
// more.
size_t regionSize(size_t requested, size_t pageSize) { return (requested / pageSize + 1) * pageSize; }

void* heapFallback(size_t size, const char* failure) {
  void* memory = std::malloc(size);
  if (!memory) ZOZSDKLogError("%s", failure);
  return memory;
}

}  // namespace

void ZOZAllocatorTEST_setProtectFunction(ZOZAllocatorProtectFunction function) {
  gProtect.store(function, std::memory_order_release);
}

ZOZAllocator* ZOZAllocatorCreate(size_t writableSpace, size_t readableSpace) {
  const size_t pageSize = ZOZHostGetPageSize();
  const size_t writableSize = regionSize(writableSpace, pageSize);
  const size_t readableSize = regionSize(readableSpace + kZOZAllocatorRecordSize, pageSize);
  const size_t total = writableSize + readableSize + 3 * pageSize;

  void* mapping = ::mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_ANON | MAP_PRIVATE, -1, 0);
  if (mapping == MAP_FAILED) {
    ZOZSDKLogError("Mapping failed %s", errorName(errno));
    return nullptr;
  }
  char* base = static_cast<char*>(mapping);
  char* writableStart = base + pageSize;
  char* readableStart = base + 2 * pageSize + writableSize;
  ZOZSDKLogInfo("Mapping: %p %p %p, total: %u K", mapping, static_cast<void*>(writableStart),
                static_cast<void*>(readableStart), static_cast<unsigned>(total / 1024));

  // A failed fence gives the whole mapping back: nothing was handed out yet.
  if (protect(base, pageSize, PROT_NONE) != 0) {
    ZOZSDKLogError("First guard protection failed %s", errorName(errno));
    ::munmap(mapping, total);
    return nullptr;
  }
  if (protect(writableStart + writableSize, pageSize, PROT_NONE) != 0) {
    ZOZSDKLogError("Middle guard protection failed %s", errorName(errno));
    ::munmap(mapping, total);
    return nullptr;
  }
  if (protect(readableStart + readableSize, pageSize, PROT_NONE) != 0) {
    ZOZSDKLogError("Last guard protection failed %s", errorName(errno));
    ::munmap(mapping, total);
    return nullptr;
  }

  // The allocator's own record is the read-only region's first block.
  auto* allocator = new (readableStart) ZOZAllocator();
  allocator->buffer = mapping;
  allocator->writableRegion.size = writableSize;
  allocator->writableRegion.start = writableStart;
  allocator->writableRegion.cursor.store(reinterpret_cast<uintptr_t>(writableStart));
  allocator->readableRegion.size = readableSize;
  allocator->readableRegion.start = readableStart;
  allocator->readableRegion.cursor.store(reinterpret_cast<uintptr_t>(readableStart) + kZOZAllocatorRecordSize);
  ZOZSDKLogDebug("Allocator successfully created %p", static_cast<void*>(allocator));
  return allocator;
}

void* ZOZAllocatorSafeAllocateFromRegion(ZOZAllocatorRegion* region, size_t size) {
  if (!region) return nullptr;
  const uintptr_t start = reinterpret_cast<uintptr_t>(region->start);
  uintptr_t cursor = region->cursor.load(std::memory_order_acquire);
  for (;;) {
    if (cursor - start > region->size || size > region->size - (cursor - start)) {
      ZOZSDKLogWarn("Unable to allocate sufficient memory, falling back to malloc");
      return heapFallback(size, "Unable to malloc in ZOZAllocatorSafeAllocateFromRegion");
    }
    // On failure the exchange reloads `cursor`: another thread moved it.
    if (region->cursor.compare_exchange_weak(cursor, cursor + size, std::memory_order_acq_rel)) {
      return reinterpret_cast<void*>(cursor);
    }
  }
}

void* ZOZAllocatorSafeAllocate(ZOZAllocator* allocator, size_t size, int type) {
  if (!allocator) {
    ZOZSDKLogWarn("Allocator invalid, falling back to malloc");
    return heapFallback(size, "Unable to malloc in ZOZAllocatorSafeAllocate");
  }
  if (allocator->protectionEnabled.load(std::memory_order_acquire)) {
    ZOZSDKLogWarn("Allocator already protected, falling back to malloc");
    return heapFallback(size, "Unable to malloc in ZOZAllocatorSafeAllocate");
  }
  switch (type) {
    case ZOZAllocationTypeWritable:
      return ZOZAllocatorSafeAllocateFromRegion(&allocator->writableRegion, size);
    case ZOZAllocationTypeReadOnly:
      return ZOZAllocatorSafeAllocateFromRegion(&allocator->readableRegion, size);
    default:
      return nullptr;
  }
}

bool ZOZAllocatorProtect(ZOZAllocator* allocator) {
  if (!allocator) {
    ZOZSDKLogError("Invalid allocator");
    return false;
  }
  // Read first: once protected, the record itself can no longer be written.
  if (allocator->protectionEnabled.load(std::memory_order_acquire)) {
    ZOZSDKLogWarn("Write protection already enabled");
    return true;
  }
  allocator->protectionEnabled.store(true, std::memory_order_release);
  // The record itself lies in the region: it is read-only from here on.
  return protect(allocator->readableRegion.start, allocator->readableRegion.size, PROT_READ) == 0;
}

size_t ZOZAllocatorMappingSize(const ZOZAllocator* allocator) {
  if (!allocator) return 0;
  const auto base = reinterpret_cast<uintptr_t>(allocator->buffer);
  const size_t pageSize = reinterpret_cast<uintptr_t>(allocator->writableRegion.start) - base;
  return reinterpret_cast<uintptr_t>(allocator->readableRegion.start) + allocator->readableRegion.size + pageSize -
         base;
}
