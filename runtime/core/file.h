// File objects (a system file handle with a read buffer, named through the
// file registry), the size-or-kind query of a path, deletion, and the date
// value used as a seconds clock.
#pragma once

#include <cstdint>

#include "runtime/core/registry.h"
#include "runtime/core/types.h"

namespace brindax {

inline constexpr std::int32_t FILE_BUFFER_SIZE = 4096;

struct FileObject {
  std::intptr_t handle;  // system file handle (see os_file.h); non-zero while open
  unsigned char* buffer;  // null: unbuffered
  std::int32_t buffer_size;
  std::int32_t available;  // reading: bytes not yet handed out
  std::int32_t filled;     // bytes the last refill brought
  std::int32_t direction;  // 1 reading, 0 writing
};

void file_library_init();
void file_library_end();
ObjectRegistry* file_registry();

// Opens (creating it empty when missing) for reading and writing, others may
// only read. -1: the new file's handle (element address); a number: the system
// file handle. 0 on failure.
std::intptr_t file_open(ObjectId id, const char* path);
// -1 closes every open file.
void file_close(ObjectId id);
FileObject* file_lookup(ObjectId id);
std::int32_t file_read_bytes(FileObject* file, void* destination, std::int32_t n);
std::int32_t file_write_back(FileObject* file);
void file_unread(FileObject* file, std::int32_t k);

// Size in bytes; -1 when the path names nothing; -2 for a directory or drive.
std::int64_t file_size(const char* path);
// Non-zero when deleted.
std::int32_t file_delete(const char* path);

// Seconds from 1970-01-01 00:00:00 to a wall-clock reading, or -1.
std::int32_t date_from_fields(std::int32_t year, std::int32_t month, std::int32_t day,
                              std::int32_t hour, std::int32_t minute, std::int32_t second);
std::int32_t current_date();

}  // namespace brindax
