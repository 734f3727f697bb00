// File objects, the size-or-kind query, deletion and the date value.
#include "runtime/core/file.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "runtime/core/heap.h"
#include "runtime/core/os_file.h"

namespace brindax {

namespace {

ObjectRegistry* g_files = nullptr;

// Paths are looked up by their first 260 characters, as the system's own
// path buffers hold.
constexpr std::size_t kMaxPath = 260;

void copy_out(FileObject* file, void* destination, std::int32_t n) {
  std::memcpy(destination, file->buffer + (file->filled - file->available),
              static_cast<std::size_t>(n));
  file->available -= n;
}

}  // namespace

void file_library_init() {
  if (g_files == nullptr) {
    g_files = registry_create(static_cast<std::int32_t>(sizeof(FileObject)), 16, file_close);
  }
}

void file_library_end() { registry_free_all(g_files); }

ObjectRegistry* file_registry() { return g_files; }

FileObject* file_lookup(ObjectId id) {
  return static_cast<FileObject*>(registry_lookup(g_files, id));
}

std::intptr_t file_open(ObjectId id, const char* path) {
  auto* file = static_cast<FileObject*>(registry_obtain(g_files, id));
  if (file == nullptr) return 0;
  const os::FileHandle handle = os::open_always(path != nullptr ? path : "");
  if (handle == os::NO_FILE) {
    if (id == OBJECT_DYNAMIC) registry_release(g_files, reinterpret_cast<ObjectId>(file));
    return 0;
  }
  // Without a buffer the file still works, straight on the system.
  file->buffer = static_cast<unsigned char*>(main_alloc(FILE_BUFFER_SIZE, false));
  file->buffer_size = file->buffer != nullptr ? FILE_BUFFER_SIZE : 0;
  file->available = 0;
  file->filled = 0;
  file->direction = 1;
  file->handle = handle;
  return id == OBJECT_DYNAMIC ? reinterpret_cast<std::intptr_t>(file) : handle;
}

void file_close(ObjectId id) {
  if (id == OBJECT_DYNAMIC) {
    registry_free_all(g_files);
    return;
  }
  FileObject* file = file_lookup(id);
  if (file == nullptr) return;
  if (file->buffer != nullptr) {
    file_write_back(file);
    main_free(file->buffer);
  }
  os::close(file->handle);
  registry_release(g_files, id);
}

std::int32_t file_write_back(FileObject* file) {
  if (file == nullptr || file->direction != 0 || file->buffer == nullptr) return 0;
  const std::int32_t pending = file->buffer_size - file->available;
  std::int32_t written = 0;
  if (pending > 0 && os::write_all(file->handle, file->buffer, pending)) written = pending;
  file->available = file->buffer_size;
  return written;
}

std::int32_t file_read_bytes(FileObject* file, void* destination, std::int32_t n) {
  if (file == nullptr || n <= 0) return 0;
  if (file->buffer == nullptr) return os::read(file->handle, destination, n);
  if (file->direction == 0) {
    file_write_back(file);
    file->direction = 1;
    file->available = 0;
  }
  if (file->available >= n) {
    copy_out(file, destination, n);
    return n;
  }
  const std::int32_t taken = file->available;
  copy_out(file, destination, taken);
  auto* rest = static_cast<unsigned char*>(destination) + taken;
  const std::int32_t needed = n - taken;
  if (needed >= file->buffer_size) {
    // Large requests bypass the buffer, which then holds nothing of the file.
    const std::int32_t got = os::read(file->handle, rest, needed);
    file->available = 0;
    file->filled = 0;
    return taken + got;
  }
  const std::int32_t obtained = os::read(file->handle, file->buffer, file->buffer_size);
  file->available = obtained;
  file->filled = obtained;
  const std::int32_t more = std::min(needed, obtained);
  copy_out(file, rest, more);
  return taken + more;
}

void file_unread(FileObject* file, std::int32_t k) {
  if (file == nullptr || k <= 0) return;
  if (file->buffer == nullptr) {
    os::seek_relative(file->handle, -k);
    return;
  }
  if (file->direction == 1 && k <= file->filled - file->available) {
    file->available += k;
    return;
  }
  // Some of the bytes came from an earlier refill that the buffer no longer
  // holds: go back on the system and start the buffer afresh.
  if (file->direction == 1) {
    os::seek_relative(file->handle, -(file->available + k));
    file->available = 0;
    file->filled = 0;
  }
}

std::int64_t file_size(const char* path) {
  if (path == nullptr || *path == '\0') return -1;
  const std::string copy(path, std::min(std::strlen(path), kMaxPath));
  return os::path_size(copy.c_str());
}

std::int32_t file_delete(const char* path) {
  if (path == nullptr) return 0;
  return os::delete_file(path);
}

std::int32_t date_from_fields(std::int32_t year, std::int32_t month, std::int32_t day,
                              std::int32_t hour, std::int32_t minute, std::int32_t second) {
  if (second < 0 || second > 59 || minute < 0 || minute > 59 || hour < 0 || hour > 23 ||
      day < 1 || day > 31 || month < 1 || month > 12 || year < 1970 || year > 2038) {
    return -1;
  }
  if (year == 2038) {
    if (month > 1 || day > 19) return -1;
    if (day == 19 && hour * 3600 + minute * 60 + second > 3 * 3600 + 14 * 60 + 7) return -1;
  }
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (day == 31 && (month == 4 || month == 6 || month == 9 || month == 11)) return -1;
  if (month == 2 && (day > 29 || (day == 29 && !leap))) return -1;

  // Days from 1970-01-01 to the date (proleptic Gregorian calendar).
  static constexpr std::int32_t kDaysBeforeMonth[12] = {0,   31,  59,  90,  120, 151,
                                                        181, 212, 243, 273, 304, 334};
  const std::int64_t previous = year - 1;
  const std::int64_t leap_days_before_year =
      (previous / 4 - previous / 100 + previous / 400) - (1969 / 4 - 1969 / 100 + 1969 / 400);
  std::int64_t days = 365LL * (year - 1970) + leap_days_before_year + kDaysBeforeMonth[month - 1] +
                      (day - 1);
  if (leap && month > 2) ++days;
  return static_cast<std::int32_t>(days * 86400 + hour * 3600 + minute * 60 + second);
}

std::int32_t current_date() {
  const os::LocalTime now = os::local_time();
  return date_from_fields(now.year, now.month, now.day, now.hour, now.minute, now.second);
}

}  // namespace brindax
