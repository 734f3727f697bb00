// The pack interface: a format-neutral front for archives. A pack is opened
// from an archive file, its entries are walked one by one, named and written
// to files, then it is closed. Every operation is forwarded to a backend, a
// table of operations registered by an archive format under a backend id.
#pragma once

#include <cstdint>

#include "runtime/core/registry.h"
#include "runtime/core/types.h"

namespace brindax {

// "zip" packed into one word, z in the highest used byte.
inline constexpr std::int32_t PACK_BACKEND_ZIP = 0x007A6970;
// Selects the first registered backend.
inline constexpr std::int32_t PACK_BACKEND_ANY = -1;
inline constexpr std::int32_t PACK_BACKEND_TABLE_SIZE = 64;

struct PackBackend;

// The pack object, an element of the pack registry. `backend` is non-null
// exactly while the pack is open (it is the element's existence marker).
struct Pack {
  const PackBackend* backend;
  void* state;  // the backend's per-pack state, released by its close slot
};

// The operations a backend supplies, in their fixed slot order. Slots 1 and
// 4 fill in the pack object on success; slots 13 and 14 need no pack; every
// other slot receives the backend's per-pack state.
struct PackBackend {
  // 0: releases everything the pack holds.
  void (*close)(void* state);
  // 1: opens an existing archive for reading; non-zero on success.
  std::intptr_t (*open)(Pack* pack, const char* file);
  // 2: adds a file from disk under a name in the archive; 1 / 0.
  std::int32_t (*add_file)(void* state, const char* source, const char* name);
  // 3: adds a memory block under a name in the archive; 1 / 0.
  std::int32_t (*add_memory)(void* state, const void* data, std::int32_t size, const char* name);
  // 4: creates a new, empty archive; non-zero on success.
  std::intptr_t (*create)(Pack* pack, const char* file);
  // 5: starts an entry enumeration; 1 / 0.
  std::int32_t (*examine)(void* state);
  // 6: size of the current entry (kind 1: compressed, other: uncompressed);
  // -1 without a current entry.
  std::int32_t (*entry_size)(void* state, std::int32_t kind);
  // 7: 0 file, 1 directory, -1 without a current entry.
  std::int32_t (*entry_type)(void* state);
  // 8: steps to the next entry; 1 / 0.
  std::int32_t (*next_entry)(void* state);
  // 9: name of the current entry, produced on the string stack at `offset`.
  char* (*entry_name)(void* state, std::int32_t offset);
  // 10: writes an entry (by name, or the current one for an empty name) to a
  // file; bytes written, -1 on failure.
  std::int32_t (*unpack_to_file)(void* state, const char* destination, const char* entry_name);
  // 11: reads an entry into memory; bytes read, -1 on failure.
  std::int32_t (*unpack_to_memory)(void* state, void* buffer, std::int32_t size,
                                   const char* entry_name);
  // 12: deletes an entry by name; 1 / 0.
  std::int32_t (*remove_entry)(void* state, const char* entry_name);
  // 13: compresses a block; compressed size, 0 on failure.
  std::int32_t (*compress_memory)(const void* source, std::int32_t source_size, void* destination,
                                  std::int32_t capacity);
  // 14: uncompresses a block; uncompressed size, -1 on failure.
  std::int32_t (*uncompress_memory)(const void* source, std::int32_t source_size,
                                    void* destination, std::int32_t capacity);
};
static_assert(sizeof(PackBackend) == 15 * sizeof(void (*)()), "a backend has 15 slots");

struct PackBackendEntry {
  std::int32_t id;
  const PackBackend* backend;
};

// Start and end of the pack library: the pack registry is created, and at
// the end every open pack is closed.
void pack_library_init();
void pack_library_end();
ObjectRegistry* pack_registry();

// Does nothing when the id is already registered or the table is full.
void pack_register_backend(std::int32_t id, const PackBackend* backend);
// PACK_BACKEND_ANY: the first registered backend. Null when none matches.
const PackBackendEntry* pack_find_backend(std::int32_t id);
// Number of registered backends.
std::int32_t pack_backend_count();

// Opens `file` as a pack under a number (a pack held there is closed first)
// or, with -1, as a new dynamic pack. The pack's element address (its handle
// for -1), 0 on failure.
std::intptr_t pack_open_with_backend(ObjectId pack, const char* file, std::int32_t backend_id);
std::intptr_t pack_open(ObjectId pack, const char* file);
// The open pack, or null.
Pack* pack_lookup(ObjectId pack);

// (Re)starts the entry walk; 0 for a missing pack.
std::int32_t pack_examine(ObjectId pack);
// 1 while there is a next entry; 0 past the last one and for a missing pack.
std::int32_t pack_next_entry(ObjectId pack);
// Producing operation: the current entry's name at `offset`, empty without
// one or for a missing pack.
char* pack_entry_name(ObjectId pack, std::int32_t offset);
// Size of the current entry as its archive declares it (kind 1: compressed,
// other: uncompressed); -1 without a current entry or for a missing pack.
std::int32_t pack_entry_size(ObjectId pack, std::int32_t kind);
// Writes the named entry (the current one when the name is empty) to
// `destination`; bytes written, -1 on failure or for a missing pack.
std::int32_t pack_unpack_entry_to_file(ObjectId pack, const char* destination,
                                       const char* entry_name);
// -1 closes every open pack.
void pack_close(ObjectId pack);

}  // namespace brindax
