#include "measurement/messages/record_arena.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace apmpb::detail {

namespace {

constexpr size_t kAlignment = 8;
constexpr size_t kSmallestChunk = 1024;
constexpr size_t kLargestChunk = size_t{4} << 20;

size_t roundUp(size_t size) { return (size + kAlignment - 1) / kAlignment * kAlignment; }

size_t firstChunkSize(size_t sizeHint) {
  return std::clamp(roundUp(sizeHint), kSmallestChunk, kLargestChunk);
}

}  // namespace

Arena::Arena(const MessageInfo* owner, size_t sizeHint)
    : owner_(owner), nextChunkSize_(firstChunkSize(sizeHint)) {}

Arena::~Arena() { freeChunks(); }

void Arena::freeChunks() {
  while (chunks_ != nullptr) {
    Chunk* next = chunks_->next;
    std::free(chunks_);
    chunks_ = next;
  }
  cursor_ = nullptr;
  limit_ = nullptr;
}

void Arena::reset(size_t sizeHint) {
  freeChunks();
  nextChunkSize_ = firstChunkSize(sizeHint);
}

void* Arena::allocate(size_t size) {
  void* block = allocateUninitialized(size);
  if (block != nullptr) std::memset(block, 0, size);
  return block;
}

void* Arena::allocateUninitialized(size_t size) {
  if (size > SIZE_MAX - kAlignment) return nullptr;
  size = roundUp(size == 0 ? 1 : size);
  if (static_cast<size_t>(limit_ - cursor_) < size) {
    // Invariant: a chunk's storage starts right after its header, aligned.
    constexpr size_t header = (sizeof(Chunk) + kAlignment - 1) / kAlignment * kAlignment;
    size_t capacity = std::max(nextChunkSize_, size);
    if (capacity > SIZE_MAX - header) return nullptr;
    auto* chunk = static_cast<Chunk*>(std::malloc(header + capacity));
    if (chunk == nullptr) return nullptr;
    cursor_ = reinterpret_cast<unsigned char*>(chunk) + header;
    limit_ = cursor_ + capacity;
    chunk->begin = reinterpret_cast<uintptr_t>(cursor_);
    chunk->end = reinterpret_cast<uintptr_t>(limit_);
    chunk->next = chunks_;
    chunks_ = chunk;
    nextChunkSize_ = std::min(nextChunkSize_ * 2, kLargestChunk);
  }
  void* block = cursor_;
  cursor_ += size;
  return block;
}

bool Arena::contains(const void* pointer) const {
  auto address = reinterpret_cast<uintptr_t>(pointer);
  for (const Chunk* chunk = chunks_; chunk != nullptr; chunk = chunk->next) {
    if (address >= chunk->begin && address < chunk->end) return true;
  }
  return false;
}

void releaseBlock(const Arena* arena, void* pointer) {
  if (arena != nullptr && arena->contains(pointer)) return;
  std::free(pointer);
}

}  // namespace apmpb::detail
