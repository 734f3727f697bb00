// The platform half of the heaps: heap.cpp adds the main heap and the test
// fault injection on top of these. Implemented by heap_win32.cpp and
// heap_posix.cpp.
#pragma once

#include <cstddef>

#include "runtime/core/heap.h"

namespace brindax::os {

Heap* heap_create();
void heap_destroy(Heap* heap);
void* heap_alloc(Heap* heap, std::size_t size, bool zero);
// `block` is never null here.
void* heap_realloc(Heap* heap, void* block, std::size_t size, bool zero);
void heap_free(Heap* heap, void* block);

}  // namespace brindax::os
