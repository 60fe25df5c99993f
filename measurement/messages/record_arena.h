// Block storage for the records and cells that one decode makes.
//
// A decode places every child record it makes (with its slot array and array
// cells), every scalar cell, every string cell with its bytes and every
// element pointer array in the arena of the record it decodes into, instead
// of one allocation each. A cell whose bytes or element array lie here says
// so (APMPBArray::dataInArena); APMPBFreeString and APMPBResetArray then drop
// them instead of freeing them.
//
// Ownership: the record a decode is called on owns the arena (it is created
// there when the record has none); the records inside carry a pointer to it.
// Freeing a cell or record the arena contains is a no-op (releaseBlock); the
// owner's free releases the arena as a whole. A setter that replaces a cell
// later allocates it with malloc, so arena and malloc'd cells mix in one tree.
// Not locked: used by the one thread that uses the record.
#pragma once

#include <cstddef>
#include <cstdint>

struct MessageInfo;

namespace apmpb::detail {

class Arena {
 public:
  // sizeHint: the expected total of the allocations (the first chunk's size).
  Arena(const MessageInfo* owner, size_t sizeHint);
  ~Arena();
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;

  // Zeroed, aligned for pointers and 64-bit values; null when memory runs out.
  void* allocate(size_t size);
  // As allocate, not zeroed: for bytes the caller writes at once.
  void* allocateUninitialized(size_t size);
  bool contains(const void* pointer) const;
  // The record that releases the arena when it is freed.
  const MessageInfo* owner() const { return owner_; }
  // Drops every allocation; only when nothing refers to one any more.
  void reset(size_t sizeHint);

 private:
  struct Chunk {
    Chunk* next;
    uintptr_t begin;
    uintptr_t end;
  };
  void freeChunks();

  const MessageInfo* owner_;
  Chunk* chunks_ = nullptr;  // newest first
  unsigned char* cursor_ = nullptr;
  unsigned char* limit_ = nullptr;
  size_t nextChunkSize_;
};

// free(pointer) unless the arena (may be null) contains it.
void releaseBlock(const Arena* arena, void* pointer);

}  // namespace apmpb::detail
