// Object registries: every library that hands out objects keeps them in one.
// An object is named by a number (0, 1, ...), indexing a slot table, or by a
// dynamic handle, the element's own address. Dynamic elements sit behind a
// ListNode header on a doubly linked list, newest first.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/core/types.h"

namespace brindax {

// Header in front of a list payload. A list is a head pointer to the newest.
struct ListNode {
  ListNode* older;  // node that was head before this one was added
  ListNode* newer;  // node added after this one; null for the head
};

// The library's close operation, called with one identifier.
using FreeRoutine = void (*)(ObjectId id);

struct ObjectRegistry {
  std::int32_t element_size;
  std::int32_t growth_step;
  std::int32_t capacity;
  void** slots;            // capacity element pointers; null: number never used
  ListNode* dynamic_list;  // newest dynamic object, or null
  FreeRoutine free_routine;
  std::int32_t walk_index;
  ListNode* walk_node;
};

// Every element starts with a pointer-sized existence marker: the element
// holds an object exactly while that first field is non-zero.
inline std::intptr_t element_marker(const void* element) {
  return *static_cast<const std::intptr_t*>(element);
}

// Null when the main heap cannot supply the record or the slot table, or when
// the element is smaller than its pointer-sized marker.
ObjectRegistry* registry_create(std::int32_t element_size, std::int32_t growth_step,
                                FreeRoutine free_routine);
// The creating half of an open: -1 gives a new zero-filled dynamic element; a
// number gives its slot's element (closing the object it held first, through
// the free routine), growing the table when needed. Null when memory fails;
// nothing is then left half-linked.
void* registry_obtain(ObjectRegistry* registry, ObjectId id);
// The element of a live object, or null. A value that is neither a number
// below the capacity nor the handle of a dynamic object on the list (a closed
// handle, a number beyond the table, -1) names nothing and is never read as an
// address.
void* registry_lookup(ObjectRegistry* registry, ObjectId id);
// Gives an element back: a number's element is zero-filled and kept for
// re-use; a dynamic element is unlinked and freed.
void registry_release(ObjectRegistry* registry, ObjectId id);
// Calls the free routine for every live numbered object and every dynamic one.
void registry_free_all(ObjectRegistry* registry);
// Walk: live numbered objects in ascending order, then dynamic objects from
// the oldest to the newest. The caller may close the element just returned.
void registry_iterate_begin(ObjectRegistry* registry);
void* registry_iterate_next(ObjectRegistry* registry, ObjectId* out_id);

// A zero-filled block of `size` bytes (header included) linked in as the new
// head; returns the payload address just behind the header, null on failure.
void* list_add_node(ListNode** head, std::size_t size);
// Unlinks the node in front of `payload` and frees it.
void list_remove_node(ListNode** head, void* payload);
// The node header of a payload, and the payload of a node.
inline ListNode* list_node_of(void* payload) {
  return reinterpret_cast<ListNode*>(static_cast<char*>(payload) - sizeof(ListNode));
}
inline void* list_payload_of(ListNode* node) {
  return reinterpret_cast<char*>(node) + sizeof(ListNode);
}

}  // namespace brindax
