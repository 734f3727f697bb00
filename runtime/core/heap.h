// Private heaps. The main heap holds every runtime object, registry, list node
// and I/O buffer; the string heap (see strings.h) holds string variables and
// the string stack. A heap is released as a whole when it is destroyed.
#pragma once

#include <cstddef>

namespace brindax {

struct Heap;  // opaque; HeapCreate on Windows, a tracking allocator elsewhere

// HeapCreate(0, 4096, 0). Null on failure.
Heap* heap_create();
// Releases every block still allocated from the heap, then the heap itself.
void heap_destroy(Heap* heap);
// A block of `size` bytes, zero-filled when `zero` is true. Null on failure.
void* heap_alloc(Heap* heap, std::size_t size, bool zero);
// Resizes a block (null block: allocates). Bytes added are zero-filled when
// `zero` is true. Null on failure, the old block then stays valid.
void* heap_realloc(Heap* heap, void* block, std::size_t size, bool zero);
// Frees a block; a null block is ignored.
void heap_free(Heap* heap, void* block);

// The main heap of the process, made by main_heap_create (start-up) and
// destroyed by main_heap_destroy (exit).
Heap* main_heap();
void main_heap_create();
void main_heap_destroy();

// Shorthands on the main heap.
void* main_alloc(std::size_t size, bool zero = true);
void* main_realloc(void* block, std::size_t size, bool zero = true);
void main_free(void* block);

// A zero-filled block from the main heap; the initialiser, when given, is
// called with the block before it is returned. Null on failure.
void* heap_new_block(std::size_t size, void (*initialiser)(void* block));

// Fault injection for tests: after `successes` more successful allocations
// from any heap, every allocation fails until this is called with -1.
void heap_fail_allocations_after(long successes);

}  // namespace brindax
