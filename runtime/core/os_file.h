// The file-system side of the operating-system seam. Paths are runtime
// strings (8-bit ANSI; on POSIX Latin-1, converted to the UTF-8 of the file
// system here). Implemented by os_file_win32.cpp and os_file_posix.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace brindax::os {

// A system file handle. 0 never names an open file on any platform (the
// POSIX side stores descriptor + 1), so it can serve as an existence marker.
using FileHandle = std::intptr_t;
inline constexpr FileHandle NO_FILE = 0;

// Read and write, others may share for reading only; a missing file is
// created empty (OPEN_ALWAYS).
//
// POSIX cannot forbid other processes to write: there every handle opened for
// writing by this seam takes an exclusive advisory lock (flock), and the
// seam's own writers, deletion and replacement fail while another holder has
// it, so that the program behaves towards itself as it does on Windows.
FileHandle open_always(const char* path);
// Read and write, others may share for reading only; created, or truncated
// when it exists (CREATE_ALWAYS).
FileHandle create_always(const char* path);
// Read and write; fails when the path exists (CREATE_NEW).
FileHandle create_new(const char* path);
// Like create_always, and then `size` bytes long: a sparse file whose
// unwritten parts read as zeros and take no disk space (Windows: marked
// sparse where the volume allows it, else the system fills the gap with
// zeros). Meant for write_at.
FileHandle create_sparse(const char* path, std::int64_t size);
// Writes all n bytes at `offset` (the file pointer is not used); false when
// that failed or fell short.
bool write_at(FileHandle file, std::int64_t offset, const void* data, std::int32_t n);
// Bytes read; 0 at the end of the file or on an error.
std::int32_t read(FileHandle file, void* destination, std::int32_t n);
// Writes all n bytes; false when that failed or fell short (disk full).
bool write_all(FileHandle file, const void* data, std::int32_t n);
// Moves the file pointer by `delta` bytes from the current position.
void seek_relative(FileHandle file, std::int32_t delta);
// Asks the system to put the file's data on the disk; false on failure.
bool flush(FileHandle file);
// The same for a file by its path, whoever wrote it.
bool flush_file(const char* path);
// POSIX: puts the folder's names (files created, renamed or deleted in it)
// on the disk; Windows: nothing to do, the moves write through.
bool flush_folder(const char* folder);
// Flushes to the system and closes; false when the close reported an error.
bool close(FileHandle file);

// The size-or-kind query: the size, -1 for nothing there (POSIX: nor for a
// FIFO, socket or device, which hold no file's bytes), -2 for a directory
// or drive. The caller has already turned null and empty paths into -1.
std::int64_t path_size(const char* path);
// Non-zero when the file was deleted (a directory is not).
std::int32_t delete_file(const char* path);
// Replaces `to` by `from` (both in the same folder) in one step: the name
// `to` never goes missing. False on failure (Windows: a running program).
bool replace_file(const char* from, const char* to);
// Gives the file `existing` the second name `link` (a hard link; same
// folder), never over an existing file; false when the volume cannot, or
// when another program holds the file so that it could not be moved either
// (see move_file): a name made then could not be deleted again.
bool link_file(const char* existing, const char* link);
// Renames `from` to `to` (same volume), never over an existing file; false
// when `to` exists or `from` cannot be moved (Windows: another program holds
// it without sharing deletion; POSIX: another holder of the seam's lock).
bool move_file(const char* from, const char* to);
// Which file a path names, the same under every name of the file: its
// volume and its number there; empty when there is none.
std::string file_identity(const char* path);
// Creates one directory; true when it exists afterwards.
bool make_directory(const char* path);
// Removes an empty directory; false otherwise.
bool remove_directory(const char* path);
// The names in a folder (without "." and ".."), each with whether it is a
// folder itself. Names the runtime's 8-bit text cannot hold are left out.
struct FolderItem {
  std::string name;
  bool is_folder;
};
std::vector<FolderItem> folder_items(const char* folder);
// POSIX: sets or clears the executable bits (as far as the umask allows
// read bits); Windows: nothing.
void set_executable(const char* path, bool executable);
// Bytes this process may still write on the volume that holds `folder`
// (a folder path; "" or "." is the current folder); -1 when unknown.
std::int64_t free_space(const char* folder);
// The folder part of a file's path, as free_space takes it ("" for the
// current folder).
inline std::string folder_of(std::string_view path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash + 1));
}

// Files of this program's own (a partial download and its record, ...):
// only a plain file is ever opened at such a name, never through a link, and
// opening never waits (on a FIFO, say).
enum class PrivateKind {
  none,   // nothing at the name
  plain,  // a plain file
  other,  // a link, a folder, a FIFO, a device, ...
};
// What stands at `path`, links not followed.
PrivateKind private_kind(const char* path);
// Removes whatever stands at `path` that is not a plain file: a link itself
// (never what it points to), a FIFO, a folder with everything below it.
// True when the name is free or holds a plain file afterwards.
bool clear_private_name(const char* path);
enum class PrivateAccess {
  read,    // an existing plain file
  write,   // created, or emptied when there
  append,  // read and write, created when missing, positioned at its end
};
// Opens a private file after clear_private_name; NO_FILE when that failed
// (or, for `read`, when no plain file is there). Writing handles take the
// seam's writer lock as open_always does.
FileHandle open_private(const char* path, PrivateAccess access);
// The size of an open file; -1 on failure.
std::int64_t open_file_size(FileHandle file);

// The id of this process (used to name temporary files).
std::uint32_t process_id();
// True only when no process with the id `id` exists any more (one that
// merely cannot be inspected counts as running).
bool process_has_ended(std::uint32_t id);

// Local wall-clock time.
struct LocalTime {
  std::int32_t year, month, day, hour, minute, second;
};
LocalTime local_time();

}  // namespace brindax::os
