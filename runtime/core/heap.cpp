// The heap interface on top of the platform heaps: argument checks, the main
// heap of the process and the fault injection used by the tests.
#include "runtime/core/heap.h"

#include <atomic>

#include "runtime/core/heap_os.h"

namespace brindax {

namespace {

Heap* g_main_heap = nullptr;

// Allocations still allowed before every allocation fails; negative: no limit.
std::atomic<long> g_allocations_left{-1};

bool allocation_allowed() {
  long left = g_allocations_left.load();
  while (left >= 0) {
    if (left == 0) return false;
    if (g_allocations_left.compare_exchange_weak(left, left - 1)) return true;
  }
  return true;
}

}  // namespace

Heap* heap_create() { return os::heap_create(); }

void heap_destroy(Heap* heap) {
  if (heap != nullptr) os::heap_destroy(heap);
}

void* heap_alloc(Heap* heap, std::size_t size, bool zero) {
  if (heap == nullptr || !allocation_allowed()) return nullptr;
  return os::heap_alloc(heap, size, zero);
}

void* heap_realloc(Heap* heap, void* block, std::size_t size, bool zero) {
  if (block == nullptr) return heap_alloc(heap, size, zero);
  if (heap == nullptr || !allocation_allowed()) return nullptr;
  return os::heap_realloc(heap, block, size, zero);
}

void heap_free(Heap* heap, void* block) {
  if (heap != nullptr && block != nullptr) os::heap_free(heap, block);
}

Heap* main_heap() {
  // Made by the start-up; made here as well if something allocates before
  // it, so that an early caller gets memory instead of a null heap.
  if (g_main_heap == nullptr) g_main_heap = heap_create();
  return g_main_heap;
}

void main_heap_create() {
  if (g_main_heap == nullptr) g_main_heap = heap_create();
}

void main_heap_destroy() {
  heap_destroy(g_main_heap);
  g_main_heap = nullptr;
}

void* main_alloc(std::size_t size, bool zero) { return heap_alloc(main_heap(), size, zero); }

void* main_realloc(void* block, std::size_t size, bool zero) {
  return heap_realloc(main_heap(), block, size, zero);
}

void main_free(void* block) { heap_free(g_main_heap, block); }

void* heap_new_block(std::size_t size, void (*initialiser)(void* block)) {
  void* block = main_alloc(size, true);
  if (block != nullptr && initialiser != nullptr) initialiser(block);
  return block;
}

void heap_fail_allocations_after(long successes) {
  g_allocations_left.store(successes < 0 ? -1 : successes);
}

}  // namespace brindax
