#include "runtime/core/registry.h"

#include <gtest/gtest.h>

#include <vector>

#include "runtime/core/heap.h"

namespace brindax {
namespace {

struct Element {
  std::intptr_t marker;
  int payload;
};

// Records every call of the free routine and, like a library's close
// operation, releases the object it is given.
ObjectRegistry* g_registry = nullptr;
std::vector<ObjectId> g_closed;

void close_routine(ObjectId id) {
  g_closed.push_back(id);
  registry_release(g_registry, id);
}

class RegistryTest : public testing::Test {
 protected:
  void SetUp() override {
    g_closed.clear();
    registry = registry_create(sizeof(Element), 16, close_routine);
    ASSERT_NE(registry, nullptr);
    g_registry = registry;
  }
  void TearDown() override { heap_fail_allocations_after(-1); }

  Element* open(ObjectId id, std::intptr_t marker = 1) {
    auto* element = static_cast<Element*>(registry_obtain(registry, id));
    if (element != nullptr) element->marker = marker;
    return element;
  }
  static ObjectId handle(const void* element) { return reinterpret_cast<ObjectId>(element); }

  ObjectRegistry* registry = nullptr;
};

TEST_F(RegistryTest, TableGrowsToTheNumberPlusTheGrowthStep) {
  for (ObjectId id = 0; id < 16; ++id) ASSERT_NE(open(id), nullptr);
  EXPECT_EQ(registry->capacity, 16);

  ASSERT_NE(open(40), nullptr);
  EXPECT_EQ(registry->capacity, 56);
  for (ObjectId id = 16; id < 56; ++id) {
    if (id != 40) {
      EXPECT_EQ(registry_lookup(registry, id), nullptr) << id;
    }
  }
  // Elements opened before the growth keep their place.
  for (ObjectId id = 0; id < 16; ++id) EXPECT_NE(registry_lookup(registry, id), nullptr);
  // A number beyond the table is not read as an address.
  EXPECT_EQ(registry_lookup(registry, 56), nullptr);
  EXPECT_EQ(registry_lookup(registry, 1000), nullptr);
}

TEST_F(RegistryTest, ObtainingAnOpenNumberClosesItAndReusesTheElement) {
  Element* first = open(3);
  first->payload = 77;
  Element* second = static_cast<Element*>(registry_obtain(registry, 3));
  EXPECT_EQ(first, second);
  ASSERT_EQ(g_closed, std::vector<ObjectId>{3});
  EXPECT_EQ(second->marker, 0);  // the close zero-filled it
  EXPECT_EQ(second->payload, 0);
}

TEST_F(RegistryTest, ClosedNumberIsEmptyAndReopensWithoutAllocating) {
  Element* element = open(7);
  registry_release(registry, 7);
  EXPECT_EQ(registry_lookup(registry, 7), nullptr);
  // With every allocation failing, re-opening still succeeds: nothing is allocated.
  heap_fail_allocations_after(0);
  EXPECT_EQ(open(7), element);
  EXPECT_EQ(registry_lookup(registry, 7), element);
}

TEST_F(RegistryTest, DynamicHandlesAreDistinctAndSurviveEachOther) {
  Element* a = open(OBJECT_DYNAMIC);
  Element* b = open(OBJECT_DYNAMIC);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  registry_release(registry, handle(a));
  EXPECT_EQ(registry_lookup(registry, handle(b)), b);
  // The released handle names nothing any more, nor does -1 itself.
  EXPECT_EQ(registry_lookup(registry, handle(a)), nullptr);
  EXPECT_EQ(registry_lookup(registry, OBJECT_DYNAMIC), nullptr);
  EXPECT_EQ(registry->dynamic_list, list_node_of(b));
}

TEST_F(RegistryTest, ZeroIsTheNumberZero) {
  EXPECT_EQ(registry_lookup(registry, 0), nullptr);
  Element* zero = open(0);
  EXPECT_EQ(registry_lookup(registry, 0), zero);
}

TEST_F(RegistryTest, WalkVisitsNumbersAscendingThenDynamicOldestFirst) {
  open(5);
  open(2);
  Element* a = open(OBJECT_DYNAMIC);
  Element* b = open(OBJECT_DYNAMIC);
  Element* unset = static_cast<Element*>(registry_obtain(registry, 9));  // marker left 0
  ASSERT_NE(unset, nullptr);

  registry_iterate_begin(registry);
  std::vector<ObjectId> seen;
  ObjectId id = 0;
  while (registry_iterate_next(registry, &id) != nullptr) seen.push_back(id);
  EXPECT_EQ(seen, (std::vector<ObjectId>{2, 5, handle(a), handle(b)}));
}

TEST_F(RegistryTest, FreeAllClosesEverythingInWalkOrder) {
  open(4);
  open(1);
  Element* a = open(OBJECT_DYNAMIC);
  Element* b = open(OBJECT_DYNAMIC);
  Element* c = open(OBJECT_DYNAMIC);
  registry_free_all(registry);
  EXPECT_EQ(g_closed, (std::vector<ObjectId>{1, 4, handle(a), handle(b), handle(c)}));
  EXPECT_EQ(registry->dynamic_list, nullptr);
  EXPECT_EQ(registry_lookup(registry, 1), nullptr);
  EXPECT_EQ(registry_lookup(registry, 4), nullptr);
}

TEST(RegistryFreeAll, DoesNothingWhenEmptyOrWithoutFreeRoutine) {
  g_closed.clear();
  ObjectRegistry* empty = registry_create(sizeof(Element), 16, close_routine);
  g_registry = empty;
  registry_free_all(empty);
  EXPECT_TRUE(g_closed.empty());

  ObjectRegistry* plain = registry_create(sizeof(Element), 4, nullptr);
  auto* element = static_cast<Element*>(registry_obtain(plain, 1));
  element->marker = 5;
  registry_free_all(plain);
  EXPECT_EQ(registry_lookup(plain, 1), element);
  // Without a free routine, obtaining the number again returns it untouched.
  EXPECT_EQ(registry_obtain(plain, 1), element);
  EXPECT_EQ(element->marker, 5);
}

TEST_F(RegistryTest, FailedAllocationsLeaveNothingBehind) {
  Element* kept = open(OBJECT_DYNAMIC);

  heap_fail_allocations_after(0);
  EXPECT_EQ(registry_obtain(registry, OBJECT_DYNAMIC), nullptr);
  EXPECT_EQ(registry->dynamic_list, list_node_of(kept));
  EXPECT_EQ(list_node_of(kept)->newer, nullptr);

  // Growing the table fails: the capacity and the slots stay as they were.
  void** slots = registry->slots;
  EXPECT_EQ(registry_obtain(registry, 100), nullptr);
  EXPECT_EQ(registry->capacity, 16);
  EXPECT_EQ(registry->slots, slots);

  // The table grows, then the element cannot be allocated: the slot stays empty.
  heap_fail_allocations_after(1);
  EXPECT_EQ(registry_obtain(registry, 30), nullptr);
  EXPECT_EQ(registry->capacity, 46);
  EXPECT_EQ(registry->slots[30], nullptr);

  heap_fail_allocations_after(-1);
  EXPECT_NE(open(30), nullptr);
  EXPECT_EQ(registry_obtain(registry, -7), nullptr);
}

TEST(ListNodes, UnlinkFromHeadMiddleAndTail) {
  ListNode* head = nullptr;
  void* p1 = list_add_node(&head, sizeof(ListNode) + 4);
  void* p2 = list_add_node(&head, sizeof(ListNode) + 4);
  void* p3 = list_add_node(&head, sizeof(ListNode) + 4);
  ASSERT_EQ(head, list_node_of(p3));

  list_remove_node(&head, p2);  // middle
  EXPECT_EQ(list_node_of(p3)->older, list_node_of(p1));
  EXPECT_EQ(list_node_of(p1)->newer, list_node_of(p3));

  list_remove_node(&head, p3);  // head
  EXPECT_EQ(head, list_node_of(p1));
  EXPECT_EQ(head->newer, nullptr);

  list_remove_node(&head, p1);  // last one
  EXPECT_EQ(head, nullptr);
}

TEST(HeapBlocks, NewBlockIsZeroFilledAndInitialised) {
  auto* block = static_cast<int*>(heap_new_block(4 * sizeof(int), [](void* b) {
    static_cast<int*>(b)[1] = 42;
  }));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(block[0], 0);
  EXPECT_EQ(block[1], 42);
  EXPECT_EQ(block[3], 0);
  main_free(block);
}

TEST(HeapBlocks, ReallocZeroFillsTheAddedPartAndDestroyFreesEverything) {
  Heap* heap = heap_create();
  ASSERT_NE(heap, nullptr);
  auto* block = static_cast<unsigned char*>(heap_alloc(heap, 8, false));
  ASSERT_NE(block, nullptr);
  for (int i = 0; i < 8; ++i) block[i] = 0xAB;
  block = static_cast<unsigned char*>(heap_realloc(heap, block, 4096, true));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(block[7], 0xAB);
  EXPECT_EQ(block[8], 0);
  EXPECT_EQ(block[4095], 0);
  for (int i = 0; i < 100; ++i) ASSERT_NE(heap_alloc(heap, 64, true), nullptr);
  heap_destroy(heap);  // frees the 101 blocks still allocated (checked under ASan)
}

TEST(HeapBlocks, FaultInjectionFailsAfterTheGivenNumberOfAllocations) {
  Heap* heap = heap_create();
  heap_fail_allocations_after(2);
  void* block = heap_alloc(heap, 1, true);
  EXPECT_NE(block, nullptr);
  EXPECT_NE(heap_alloc(heap, 1, true), nullptr);
  EXPECT_EQ(heap_alloc(heap, 1, true), nullptr);
  // A failed resize keeps the old block valid.
  EXPECT_EQ(heap_realloc(heap, block, 64, true), nullptr);
  heap_fail_allocations_after(-1);
  EXPECT_NE(heap_realloc(heap, block, 64, true), nullptr);
  heap_destroy(heap);
}

}  // namespace
}  // namespace brindax
