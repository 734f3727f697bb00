// Private heaps on the Windows heap manager. A Heap* is the heap's HANDLE.
#include <windows.h>

#include "runtime/core/heap_os.h"

namespace brindax::os {

namespace {
HANDLE native(Heap* heap) { return reinterpret_cast<HANDLE>(heap); }
DWORD flags_for(bool zero) { return zero ? HEAP_ZERO_MEMORY : 0; }
}  // namespace

Heap* heap_create() { return reinterpret_cast<Heap*>(HeapCreate(0, 4096, 0)); }

void heap_destroy(Heap* heap) { HeapDestroy(native(heap)); }

void* heap_alloc(Heap* heap, std::size_t size, bool zero) {
  return HeapAlloc(native(heap), flags_for(zero), size);
}

void* heap_realloc(Heap* heap, void* block, std::size_t size, bool zero) {
  return HeapReAlloc(native(heap), flags_for(zero), block, size);
}

void heap_free(Heap* heap, void* block) { HeapFree(native(heap), 0, block); }

}  // namespace brindax::os
