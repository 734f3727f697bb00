// The ZIP backend of the pack interface, on libzip and zlib. Entry names are
// UTF-8 towards libzip and 8-bit runtime strings towards callers; file names
// on disk are 8-bit runtime strings.
#pragma once

#include <cstdint>
#include <string>

#include <zip.h>

#include "pack/pack.h"

namespace brindax {

// Chunk size of an unpack to a file.
inline constexpr std::int32_t UNPACK_BUFFER_SIZE = 0x200000;

// One per open pack, zero-filled from the main heap by open / create and
// freed by close.
struct ZipPackState {
  zip_t* archive;
  char* file_name;        // malloc'd copy of the archive's file name
  zip_stat_t entry_stat;  // the current entry, while has_entry is set
  std::int32_t entry_count;
  std::int32_t current_index;
  std::int32_t has_entry;
};

// Registers PACK_BACKEND_ZIP with the pack interface; repeating it is
// harmless. Returns 1.
std::int32_t zip_backend_register();
// The backend's table of operations.
const PackBackend* zip_backend_table();

void zip_backend_close(void* state);
std::intptr_t zip_backend_open(Pack* pack, const char* file);
std::int32_t zip_backend_add_file(void* state, const char* source, const char* name);
std::int32_t zip_backend_add_memory(void* state, const void* data, std::int32_t size,
                                    const char* name);
std::intptr_t zip_backend_create(Pack* pack, const char* file);
std::int32_t zip_backend_examine(void* state);
std::int32_t zip_backend_entry_size(void* state, std::int32_t kind);
std::int32_t zip_backend_entry_type(void* state);
std::int32_t zip_backend_next_entry(void* state);
char* zip_backend_entry_name(void* state, std::int32_t offset);
std::int32_t zip_backend_unpack_to_file(void* state, const char* destination,
                                        const char* entry_name);
std::int32_t zip_backend_unpack_to_memory(void* state, void* buffer, std::int32_t size,
                                          const char* entry_name);
std::int32_t zip_backend_remove_entry(void* state, const char* entry_name);
std::int32_t zip_backend_compress_memory(const void* source, std::int32_t source_size,
                                         void* destination, std::int32_t capacity);
std::int32_t zip_backend_uncompress_memory(const void* source, std::int32_t source_size,
                                           void* destination, std::int32_t capacity);

// Asked between the chunks of an unpack; true ends the unpack as failed.
using UnpackStopCheck = bool (*)(const void* context);

enum class UnpackTarget {
  // The destination is replaced only when all is written; until then it
  // stays as it was.
  replace,
  // Written into directly: the destination is a private file of the
  // caller's (a staged temporary), which holds part of the entry when the
  // unpack fails. One file fewer to create and rename per entry. A
  // complete file is flushed to the disk before the unpack returns.
  in_place,
};

// Writes the entry at `index` of `archive` to `destination` through `buffer`,
// as an unpack of the pack interface does: exactly the size the archive
// declares, the CRC checked. `stop_requested` (may be null) is asked with
// `stop_context` before every chunk. Bytes written, -1 on failure. Touches
// nothing but its arguments, so threads with archives of their own may call
// it at once.
std::int32_t zip_unpack_index_to_file(zip_t* archive, zip_uint64_t index, const char* destination,
                                      void* buffer, std::int32_t buffer_size, UnpackTarget target,
                                      UnpackStopCheck stop_requested, const void* stop_context);
// The index of the entry named `entry_name` (8-bit text), -1 when none.
zip_int64_t zip_locate_entry(zip_t* archive, const char* entry_name);
// Whether the archive records the entry at `index` as executable: made on
// Unix, with an x bit in its mode. What an unpack on POSIX gives the file,
// and what the release manifest states for it.
bool zip_entry_recorded_executable(zip_t* archive, zip_uint64_t index);
// Whether the entry at `index` may be unpacked as a walk's current entry: a
// file, not a directory, whose name 8-bit text holds exactly.
bool zip_entry_walk_unpackable(zip_t* archive, zip_uint64_t index);

// A malloc'd UTF-8 copy of an 8-bit ANSI text (null reads as empty), released
// with free(). Empty when the conversion failed; null when out of memory.
char* ansi_to_utf8(const char* text);

// The name under which libzip opens an archive given as an 8-bit runtime
// string: libzip takes file names as UTF-8 on every platform.
std::string zip_backend_archive_path(const char* path);
// The name under which the C library's fopen finds a file (Windows: the ANSI
// name unchanged; POSIX: the file system's UTF-8).
std::string zip_backend_stream_path(const char* path);

}  // namespace brindax
