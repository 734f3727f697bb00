// Object registries and the runtime's doubly linked lists.
#include "runtime/core/registry.h"

#include <cstring>
#include <limits>

#include "runtime/core/heap.h"

namespace brindax {

namespace {

bool is_number(const ObjectRegistry* registry, ObjectId id) {
  return id >= 0 && id < registry->capacity;
}

// A handle is trusted only when it is the payload of a node on the dynamic
// list: a closed handle or a number beyond the table then names nothing
// instead of being read as an address. The lists hold a handful of objects.
ListNode* dynamic_node(const ObjectRegistry* registry, ObjectId id) {
  if (id == OBJECT_DYNAMIC || id < 0 || is_number(registry, id)) return nullptr;
  for (ListNode* node = registry->dynamic_list; node != nullptr; node = node->older) {
    if (reinterpret_cast<ObjectId>(list_payload_of(node)) == id) return node;
  }
  return nullptr;
}

bool grow_slots(ObjectRegistry* registry, ObjectId id) {
  const long long wanted = static_cast<long long>(id) + registry->growth_step;
  if (wanted > std::numeric_limits<std::int32_t>::max()) return false;
  const auto capacity = static_cast<std::int32_t>(wanted);
  void* slots = main_realloc(registry->slots, sizeof(void*) * static_cast<std::size_t>(capacity));
  if (slots == nullptr) return false;
  registry->slots = static_cast<void**>(slots);
  registry->capacity = capacity;
  return true;
}

}  // namespace

ObjectRegistry* registry_create(std::int32_t element_size, std::int32_t growth_step,
                                FreeRoutine free_routine) {
  if (element_size < static_cast<std::int32_t>(sizeof(std::intptr_t)) || growth_step < 1) {
    return nullptr;
  }
  auto* registry = static_cast<ObjectRegistry*>(main_alloc(sizeof(ObjectRegistry)));
  if (registry == nullptr) return nullptr;
  registry->slots =
      static_cast<void**>(main_alloc(sizeof(void*) * static_cast<std::size_t>(growth_step)));
  if (registry->slots == nullptr) {
    main_free(registry);
    return nullptr;
  }
  registry->element_size = element_size;
  registry->growth_step = growth_step;
  registry->capacity = growth_step;
  registry->free_routine = free_routine;
  return registry;
}

void* registry_obtain(ObjectRegistry* registry, ObjectId id) {
  if (registry == nullptr) return nullptr;
  if (id == OBJECT_DYNAMIC) {
    return list_add_node(&registry->dynamic_list,
                         sizeof(ListNode) + static_cast<std::size_t>(registry->element_size));
  }
  if (id < 0) return nullptr;
  if (id >= registry->capacity && !grow_slots(registry, id)) return nullptr;

  void*& slot = registry->slots[id];
  if (slot != nullptr) {
    // The number names an element already: close what it holds and re-use it.
    if (registry->free_routine != nullptr) registry->free_routine(id);
    return slot;
  }
  slot = main_alloc(static_cast<std::size_t>(registry->element_size));
  return slot;
}

void* registry_lookup(ObjectRegistry* registry, ObjectId id) {
  if (registry == nullptr) return nullptr;
  void* element = nullptr;
  if (is_number(registry, id)) {
    element = registry->slots[id];
  } else if (ListNode* node = dynamic_node(registry, id)) {
    element = list_payload_of(node);
  }
  if (element == nullptr || element_marker(element) == 0) return nullptr;
  return element;
}

void registry_release(ObjectRegistry* registry, ObjectId id) {
  if (registry == nullptr) return;
  if (is_number(registry, id)) {
    if (registry->slots[id] != nullptr) {
      std::memset(registry->slots[id], 0, static_cast<std::size_t>(registry->element_size));
    }
    return;
  }
  if (ListNode* node = dynamic_node(registry, id)) {
    // A walk that is about to hand out this node moves on to the next one.
    if (registry->walk_node == node) registry->walk_node = node->newer;
    list_remove_node(&registry->dynamic_list, list_payload_of(node));
  }
}

void registry_free_all(ObjectRegistry* registry) {
  if (registry == nullptr || registry->free_routine == nullptr) return;
  registry_iterate_begin(registry);
  ObjectId id = 0;
  while (registry_iterate_next(registry, &id) != nullptr) registry->free_routine(id);
}

void registry_iterate_begin(ObjectRegistry* registry) {
  if (registry == nullptr) return;
  registry->walk_index = 0;
  ListNode* node = registry->dynamic_list;
  while (node != nullptr && node->older != nullptr) node = node->older;
  registry->walk_node = node;
}

void* registry_iterate_next(ObjectRegistry* registry, ObjectId* out_id) {
  if (registry == nullptr) return nullptr;
  while (registry->walk_index < registry->capacity) {
    const std::int32_t number = registry->walk_index++;
    void* element = registry->slots[number];
    if (element != nullptr && element_marker(element) != 0) {
      if (out_id != nullptr) *out_id = number;
      return element;
    }
  }
  if (ListNode* node = registry->walk_node) {
    registry->walk_node = node->newer;
    void* payload = list_payload_of(node);
    if (out_id != nullptr) *out_id = reinterpret_cast<ObjectId>(payload);
    return payload;
  }
  return nullptr;
}

void* list_add_node(ListNode** head, std::size_t size) {
  if (head == nullptr || size < sizeof(ListNode)) return nullptr;
  auto* node = static_cast<ListNode*>(main_alloc(size));
  if (node == nullptr) return nullptr;  // nothing linked yet
  if (*head != nullptr) {
    (*head)->newer = node;
    node->older = *head;
  }
  *head = node;
  return list_payload_of(node);
}

void list_remove_node(ListNode** head, void* payload) {
  if (head == nullptr || payload == nullptr) return;
  ListNode* node = list_node_of(payload);
  if (node == *head) {
    *head = node->older;
    if (*head != nullptr) (*head)->newer = nullptr;
  } else {
    if (node->newer != nullptr) node->newer->older = node->older;
    if (node->older != nullptr) node->older->newer = node->newer;
  }
  main_free(node);
}

}  // namespace brindax
