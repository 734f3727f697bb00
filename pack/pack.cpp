#include "pack/pack.h"

#include <array>

#include "runtime/core/strings.h"

namespace brindax {
namespace {

ObjectRegistry* g_registry = nullptr;

struct BackendTable {
  std::array<PackBackendEntry, PACK_BACKEND_TABLE_SIZE> entries{};
  std::int32_t count = 0;
};
BackendTable g_backends;

}  // namespace

void pack_library_init() {
  if (g_registry == nullptr) {
    g_registry = registry_create(static_cast<std::int32_t>(sizeof(Pack)), 16, pack_close);
  }
}

void pack_library_end() { pack_close(OBJECT_DYNAMIC); }

ObjectRegistry* pack_registry() { return g_registry; }

void pack_register_backend(std::int32_t id, const PackBackend* backend) {
  if (pack_find_backend(id) != nullptr || g_backends.count >= PACK_BACKEND_TABLE_SIZE) {
    return;
  }
  g_backends.entries[static_cast<std::size_t>(g_backends.count)] = {id, backend};
  ++g_backends.count;
}

const PackBackendEntry* pack_find_backend(std::int32_t id) {
  if (id == PACK_BACKEND_ANY) {
    return g_backends.count != 0 ? &g_backends.entries[0] : nullptr;
  }
  const PackBackendEntry* found = nullptr;
  for (std::int32_t i = 0; i < g_backends.count; ++i) {
    if (g_backends.entries[static_cast<std::size_t>(i)].id == id) {
      found = &g_backends.entries[static_cast<std::size_t>(i)];
    }
  }
  return found;
}

std::int32_t pack_backend_count() { return g_backends.count; }

std::intptr_t pack_open_with_backend(ObjectId pack, const char* file, std::int32_t backend_id) {
  if (g_registry == nullptr) {
    return 0;
  }
  // A pack held under the number is closed here, whatever the outcome.
  auto* element = static_cast<Pack*>(registry_obtain(g_registry, pack));
  if (element == nullptr) {
    return 0;
  }
  const PackBackendEntry* entry = pack_find_backend(backend_id);
  const bool opened = entry != nullptr && entry->backend != nullptr &&
                      entry->backend->open != nullptr && entry->backend->open(element, file) != 0;
  if (!opened) {
    // A dynamic element that never held a pack is given back at once; a
    // numbered one stays zeroed, free for the next open.
    if (pack == OBJECT_DYNAMIC) {
      registry_release(g_registry, reinterpret_cast<ObjectId>(element));
    }
    return 0;
  }
  return reinterpret_cast<std::intptr_t>(element);
}

std::intptr_t pack_open(ObjectId pack, const char* file) {
  return pack_open_with_backend(pack, file, PACK_BACKEND_ANY);
}

Pack* pack_lookup(ObjectId pack) {
  if (g_registry == nullptr) {
    return nullptr;
  }
  return static_cast<Pack*>(registry_lookup(g_registry, pack));
}

std::int32_t pack_examine(ObjectId pack) {
  Pack* element = pack_lookup(pack);
  return element != nullptr && element->backend->examine != nullptr
             ? element->backend->examine(element->state)
             : 0;
}

std::int32_t pack_next_entry(ObjectId pack) {
  Pack* element = pack_lookup(pack);
  return element != nullptr && element->backend->next_entry != nullptr
             ? element->backend->next_entry(element->state)
             : 0;
}

char* pack_entry_name(ObjectId pack, std::int32_t offset) {
  Pack* element = pack_lookup(pack);
  if (element == nullptr || element->backend->entry_name == nullptr) {
    return string_stack_set_empty(offset);
  }
  return element->backend->entry_name(element->state, offset);
}

std::int32_t pack_entry_size(ObjectId pack, std::int32_t kind) {
  Pack* element = pack_lookup(pack);
  if (element == nullptr || element->backend->entry_size == nullptr) {
    return -1;
  }
  return element->backend->entry_size(element->state, kind);
}

std::int32_t pack_unpack_entry_to_file(ObjectId pack, const char* destination,
                                       const char* entry_name) {
  Pack* element = pack_lookup(pack);
  if (element == nullptr || element->backend->unpack_to_file == nullptr) {
    return -1;
  }
  return element->backend->unpack_to_file(element->state, destination, entry_name);
}

void pack_close(ObjectId pack) {
  if (g_registry == nullptr) {
    return;
  }
  if (pack == OBJECT_DYNAMIC) {
    registry_free_all(g_registry);
    return;
  }
  Pack* element = pack_lookup(pack);
  if (element == nullptr) {
    return;
  }
  if (element->backend->close != nullptr) {
    element->backend->close(element->state);
  }
  registry_release(g_registry, pack);
}

}  // namespace brindax
