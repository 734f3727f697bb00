// Private heaps over malloc. Every block carries a header that links it into
// its heap, so that destroying the heap frees whatever is still allocated.
// A mutex serialises each heap, as the Windows heaps are serialised.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "runtime/core/heap_os.h"

namespace brindax {

namespace {
struct alignas(alignof(std::max_align_t)) BlockHeader {
  BlockHeader* previous;
  BlockHeader* next;
  std::size_t size;
};
}  // namespace

struct Heap {
  std::mutex lock;
  BlockHeader* blocks = nullptr;  // most recently allocated first
};

namespace os {

namespace {

BlockHeader* header_of(void* block) { return static_cast<BlockHeader*>(block) - 1; }
void* block_of(BlockHeader* header) { return header + 1; }

void link(Heap* heap, BlockHeader* header) {
  header->previous = nullptr;
  header->next = heap->blocks;
  if (heap->blocks != nullptr) heap->blocks->previous = header;
  heap->blocks = header;
}

void unlink(Heap* heap, BlockHeader* header) {
  if (header->previous != nullptr) {
    header->previous->next = header->next;
  } else {
    heap->blocks = header->next;
  }
  if (header->next != nullptr) header->next->previous = header->previous;
}

bool too_large(std::size_t size) { return size > SIZE_MAX - sizeof(BlockHeader); }

}  // namespace

Heap* heap_create() { return new (std::nothrow) Heap; }

void heap_destroy(Heap* heap) {
  BlockHeader* header = heap->blocks;
  while (header != nullptr) {
    BlockHeader* next = header->next;
    std::free(header);
    header = next;
  }
  delete heap;
}

void* heap_alloc(Heap* heap, std::size_t size, bool zero) {
  if (too_large(size)) return nullptr;
  auto* header = static_cast<BlockHeader*>(zero ? std::calloc(1, sizeof(BlockHeader) + size)
                                                : std::malloc(sizeof(BlockHeader) + size));
  if (header == nullptr) return nullptr;
  header->size = size;
  std::lock_guard guard(heap->lock);
  link(heap, header);
  return block_of(header);
}

void* heap_realloc(Heap* heap, void* block, std::size_t size, bool zero) {
  if (too_large(size)) return nullptr;
  std::lock_guard guard(heap->lock);
  BlockHeader* header = header_of(block);
  const std::size_t old_size = header->size;
  // The block may move: take it off the chain first and put the surviving
  // header back on, so that the chain never points at freed memory.
  unlink(heap, header);
  auto* moved = static_cast<BlockHeader*>(std::realloc(header, sizeof(BlockHeader) + size));
  if (moved == nullptr) {
    link(heap, header);
    return nullptr;
  }
  moved->size = size;
  link(heap, moved);
  if (zero && size > old_size) {
    std::memset(static_cast<char*>(block_of(moved)) + old_size, 0, size - old_size);
  }
  return block_of(moved);
}

void heap_free(Heap* heap, void* block) {
  BlockHeader* header = header_of(block);
  {
    std::lock_guard guard(heap->lock);
    unlink(heap, header);
  }
  std::free(header);
}

}  // namespace os
}  // namespace brindax
