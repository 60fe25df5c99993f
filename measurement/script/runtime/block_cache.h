// A per-thread cache of freed blocks of one size, for the values a program
// makes and drops at every step (numbers, scopes, the slots of a call's
// names): taking a cached block costs a pointer swap instead of a trip
// through malloc.
//
// Blocks come from ::operator new and go back to it, so a block freed on
// another thread than the one that made it joins that thread's cache. Each
// thread keeps at most kCachedBlocks per size and frees them when it ends;
// a block freed during or after that goes straight back to ::operator delete.
// Under AddressSanitizer nothing is cached, so use after free stays visible.
#pragma once

#include <cstddef>
#include <new>

namespace apmp::detail {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kCacheBlocks = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kCacheBlocks = false;
#else
inline constexpr bool kCacheBlocks = true;
#endif
#else
inline constexpr bool kCacheBlocks = true;
#endif

inline constexpr size_t kCachedBlocks = 256;

template <size_t Size>
class BlockCache {
 public:
  static void* take() {
    if constexpr (kCacheBlocks) {
      if (!closed_) {
        BlockCache& cache = threadCache();
        if (Node* node = cache.head_) {
          cache.head_ = node->next;
          --cache.count_;
          return node;
        }
      }
    }
    return ::operator new(Size);
  }

  static void give(void* block) {
    if constexpr (kCacheBlocks) {
      if (!closed_) {
        BlockCache& cache = threadCache();
        if (cache.count_ < kCachedBlocks) {
          cache.head_ = new (block) Node{cache.head_};
          ++cache.count_;
          return;
        }
      }
    }
    ::operator delete(block);
  }

  ~BlockCache() {
    closed_ = true;
    while (Node* node = head_) {
      head_ = node->next;
      ::operator delete(node);
    }
  }

 private:
  struct Node {
    Node* next;
  };
  static_assert(Size >= sizeof(Node));
  static BlockCache& threadCache() {
    thread_local BlockCache cache;
    return cache;
  }
  // Set when this thread's cache is gone; plain data, so valid to the end.
  static inline thread_local bool closed_ = false;
  Node* head_ = nullptr;
  size_t count_ = 0;
};

// An allocator for std::allocate_shared whose single-object blocks go
// through the thread's BlockCache of their size.
template <class T>
struct CachingAllocator {
  using value_type = T;
  CachingAllocator() = default;
  template <class U>
  CachingAllocator(const CachingAllocator<U>&) {}
  T* allocate(size_t n) {
    if (n == 1) return static_cast<T*>(BlockCache<sizeof(T)>::take());
    return static_cast<T*>(::operator new(n * sizeof(T)));
  }
  void deallocate(T* block, size_t n) {
    if (n == 1) {
      BlockCache<sizeof(T)>::give(block);
    } else {
      ::operator delete(block);
    }
  }
  template <class U>
  bool operator==(const CachingAllocator<U>&) const {
    return true;
  }
};

// The same for the short arrays of a container (a vector's first few
// slots): arrays of up to Count elements go through the thread's BlockCache
// of that size, longer ones through ::operator new.
template <class T, size_t Count>
struct SmallArrayAllocator {
  using value_type = T;
  template <class U>
  struct rebind {
    using other = SmallArrayAllocator<U, Count>;
  };
  SmallArrayAllocator() = default;
  template <class U>
  SmallArrayAllocator(const SmallArrayAllocator<U, Count>&) {}
  T* allocate(size_t n) {
    if (n <= Count) return static_cast<T*>(BlockCache<Count * sizeof(T)>::take());
    return static_cast<T*>(::operator new(n * sizeof(T)));
  }
  void deallocate(T* block, size_t n) {
    if (n <= Count) {
      BlockCache<Count * sizeof(T)>::give(block);
    } else {
      ::operator delete(block);
    }
  }
  template <class U>
  bool operator==(const SmallArrayAllocator<U, Count>&) const {
    return true;
  }
};

}  // namespace apmp::detail
