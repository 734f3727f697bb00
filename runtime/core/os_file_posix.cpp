// The file seam on POSIX. Paths arrive as the runtime's 8-bit text (Latin-1)
// and reach the file system as UTF-8. A handle is the descriptor + 1, so that
// descriptor 0 is a valid open file and 0 still means "no file".
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include "runtime/core/encoding.h"
#include "runtime/core/os_file.h"

namespace brindax::os {

namespace {

std::string native_path(const char* path) { return latin1_to_utf8(path != nullptr ? path : ""); }

FileHandle handle_of(int descriptor) { return static_cast<FileHandle>(descriptor) + 1; }
int descriptor_of(FileHandle file) { return static_cast<int>(file - 1); }

// The stand-in for the Windows share mode: one writer per file. A file
// system without flock support cannot enforce it, and then nothing is locked.
bool claim_for_writing(int descriptor) {
  if (flock(descriptor, LOCK_EX | LOCK_NB) == 0) return true;
  return errno != EWOULDBLOCK;
}

// True when a handle of this seam holds the file open for writing.
bool held_by_a_writer(const std::string& path) {
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (descriptor < 0) return false;
  const bool held = !claim_for_writing(descriptor);
  ::close(descriptor);
  return held;
}

// A regular file without any write permission: what Windows calls read-only.
bool is_read_only_file(const struct stat& status) {
  return S_ISREG(status.st_mode) && (status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

FileHandle open_for_writing(const char* path, int flags) {
  const std::string native = native_path(path);
  int descriptor;
  do {
    descriptor = ::open(native.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | flags, 0666);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) return NO_FILE;
  if (!claim_for_writing(descriptor)) {
    ::close(descriptor);
    return NO_FILE;
  }
  return handle_of(descriptor);
}

mode_t current_umask() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "Umask:") {
      std::string value;
      status >> value;
      return static_cast<mode_t>(std::stoul(value, nullptr, 8));
    }
  }
  const mode_t mask = umask(022);
  umask(mask);
  return mask;
}

}  // namespace

FileHandle open_always(const char* path) { return open_for_writing(path, O_CREAT); }

FileHandle create_always(const char* path) {
  const FileHandle file = open_for_writing(path, O_CREAT);
  if (file != NO_FILE && ftruncate(descriptor_of(file), 0) != 0) {
    close(file);
    return NO_FILE;
  }
  return file;
}

FileHandle create_new(const char* path) { return open_for_writing(path, O_CREAT | O_EXCL); }

FileHandle create_sparse(const char* path, std::int64_t size) {
  const FileHandle file = create_always(path);
  // Growing a file by ftruncate leaves a hole, not written zeros.
  if (file != NO_FILE && (size < 0 || ftruncate(descriptor_of(file), static_cast<off_t>(size)) != 0)) {
    close(file);
    return NO_FILE;
  }
  return file;
}

bool write_at(FileHandle file, std::int64_t offset, const void* data, std::int32_t n) {
  if (file == NO_FILE || n < 0 || offset < 0) return false;
  const auto* from = static_cast<const char*>(data);
  std::int32_t done = 0;
  while (done < n) {
    const ssize_t put = ::pwrite(descriptor_of(file), from + done, static_cast<size_t>(n - done),
                                 static_cast<off_t>(offset + done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<std::int32_t>(put);
  }
  return true;
}

std::int32_t read(FileHandle file, void* destination, std::int32_t n) {
  if (file == NO_FILE || n <= 0) return 0;
  auto* to = static_cast<char*>(destination);
  std::int32_t total = 0;
  while (total < n) {
    const ssize_t got = ::read(descriptor_of(file), to + total, static_cast<size_t>(n - total));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    total += static_cast<std::int32_t>(got);
  }
  return total;
}

bool write_all(FileHandle file, const void* data, std::int32_t n) {
  if (file == NO_FILE || n < 0) return false;
  const auto* from = static_cast<const char*>(data);
  std::int32_t done = 0;
  while (done < n) {
    const ssize_t put = ::write(descriptor_of(file), from + done, static_cast<size_t>(n - done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<std::int32_t>(put);
  }
  return true;
}

void seek_relative(FileHandle file, std::int32_t delta) {
  if (file != NO_FILE) lseek(descriptor_of(file), delta, SEEK_CUR);
}

bool flush(FileHandle file) { return file != NO_FILE && fdatasync(descriptor_of(file)) == 0; }

bool flush_file(const char* path) {
  const int descriptor = ::open(native_path(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (descriptor < 0) return false;
  const bool flushed = fdatasync(descriptor) == 0;
  ::close(descriptor);
  return flushed;
}

bool flush_folder(const char* folder) {
  std::string path = native_path(folder);
  if (path.empty()) path = ".";
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0) return false;
  const bool flushed = fsync(descriptor) == 0;
  ::close(descriptor);
  return flushed;
}

bool close(FileHandle file) {
  if (file == NO_FILE) return false;
  return ::close(descriptor_of(file)) == 0;
}

std::int64_t path_size(const char* path) {
  std::string native = native_path(path);
  // Trailing separators name the same thing; a path of nothing else is no
  // path at all (as on Windows, where "\\" alone is not looked up).
  while (!native.empty() && (native.back() == '/' || native.back() == '\\')) native.pop_back();
  if (native.empty()) return -1;
  struct stat status {};
  if (stat(native.c_str(), &status) != 0) return -1;
  if (S_ISDIR(status.st_mode)) return -2;
  // A FIFO, socket or device holds no file's bytes, and reading one may
  // wait for ever: to the updater nothing is there.
  if (!S_ISREG(status.st_mode)) return -1;
  return static_cast<std::int64_t>(status.st_size);
}

std::int32_t delete_file(const char* path) {
  const std::string native = native_path(path);
  struct stat status {};
  if (lstat(native.c_str(), &status) != 0 || S_ISDIR(status.st_mode)) return 0;
  if (is_read_only_file(status) || held_by_a_writer(native)) return 0;
  return unlink(native.c_str()) == 0 ? 1 : 0;
}

bool replace_file(const char* from, const char* to) {
  const std::string target = native_path(to);
  struct stat status {};
  if (stat(target.c_str(), &status) == 0) {
    if (is_read_only_file(status) || held_by_a_writer(target)) return false;
  }
  return std::rename(native_path(from).c_str(), target.c_str()) == 0;
}

bool link_file(const char* existing, const char* link) {
  const std::string source = native_path(existing);
  if (held_by_a_writer(source)) return false;
  return ::link(source.c_str(), native_path(link).c_str()) == 0;
}

bool move_file(const char* from, const char* to) {
  const std::string source = native_path(from);
  const std::string target = native_path(to);
  struct stat status {};
  if (lstat(target.c_str(), &status) == 0 || lstat(source.c_str(), &status) != 0) return false;
  if (held_by_a_writer(source)) return false;
  return std::rename(source.c_str(), target.c_str()) == 0;
}

std::string file_identity(const char* path) {
  struct stat status {};
  if (lstat(native_path(path).c_str(), &status) != 0) return std::string();
  return std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
}

bool remove_directory(const char* path) { return rmdir(native_path(path).c_str()) == 0; }

std::vector<FolderItem> folder_items(const char* folder) {
  std::vector<FolderItem> items;
  std::string path = native_path(folder);
  if (path.empty()) path = ".";
  DIR* listing = opendir(path.c_str());
  if (listing == nullptr) return items;
  while (const dirent* item = readdir(listing)) {
    const std::string name = item->d_name;
    if (name == "." || name == "..") continue;
    std::string latin1;
    if (!utf8_to_ansi_exact(name, &latin1)) continue;
    struct stat status {};
    const bool is_folder = lstat((path + "/" + name).c_str(), &status) == 0 && S_ISDIR(status.st_mode);
    items.push_back({latin1, is_folder});
  }
  closedir(listing);
  return items;
}

bool make_directory(const char* path) {
  const std::string native = native_path(path);
  mkdir(native.c_str(), 0777);
  struct stat status {};
  return stat(native.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

std::int64_t free_space(const char* folder) {
  std::string path = native_path(folder);
  if (path.empty()) path = ".";
  struct statvfs info {};
  if (::statvfs(path.c_str(), &info) != 0) return -1;
  return static_cast<std::int64_t>(info.f_bavail) * static_cast<std::int64_t>(info.f_frsize);
}

void set_executable(const char* path, bool executable) {
  const std::string native = native_path(path);
  struct stat status {};
  if (stat(native.c_str(), &status) != 0) return;
  mode_t mode = status.st_mode & 07777;
  if (executable) {
    // x where r is set, as far as the umask lets it through.
    mode |= ((mode & 0444) >> 2) & ~current_umask();
  } else {
    mode &= ~static_cast<mode_t>(0111);
  }
  chmod(native.c_str(), mode);
}

PrivateKind private_kind(const char* path) {
  struct stat status {};
  if (lstat(native_path(path).c_str(), &status) != 0) {
    return errno == ENOENT || errno == ENOTDIR ? PrivateKind::none : PrivateKind::other;
  }
  return S_ISREG(status.st_mode) ? PrivateKind::plain : PrivateKind::other;
}

bool clear_private_name(const char* path) {
  const PrivateKind kind = private_kind(path);
  if (kind != PrivateKind::other) return true;
  // remove_all takes a link itself away, never what it points to.
  std::error_code ignored;
  std::filesystem::remove_all(native_path(path), ignored);
  return private_kind(path) != PrivateKind::other;
}

FileHandle open_private(const char* path, PrivateAccess access) {
  if (!clear_private_name(path)) return NO_FILE;
  const std::string native = native_path(path);
  // No link is followed, and a FIFO that appeared since is opened without
  // waiting for a writer, then refused.
  int flags = O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK;
  flags |= access == PrivateAccess::read ? O_RDONLY : (O_RDWR | O_CREAT);
  int descriptor;
  do {
    descriptor = ::open(native.c_str(), flags, 0666);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) return NO_FILE;
  struct stat status {};
  const bool plain = fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode);
  const bool blocking = fcntl(descriptor, F_SETFL, fcntl(descriptor, F_GETFL) & ~O_NONBLOCK) == 0;
  bool ready = plain && blocking;
  if (ready && access != PrivateAccess::read) {
    ready = claim_for_writing(descriptor) &&
            (access == PrivateAccess::write ? ftruncate(descriptor, 0) == 0
                                            : lseek(descriptor, 0, SEEK_END) >= 0);
  }
  if (!ready) {
    ::close(descriptor);
    return NO_FILE;
  }
  return handle_of(descriptor);
}

std::int64_t open_file_size(FileHandle file) {
  struct stat status {};
  if (file == NO_FILE || fstat(descriptor_of(file), &status) != 0) return -1;
  return static_cast<std::int64_t>(status.st_size);
}

std::uint32_t process_id() { return static_cast<std::uint32_t>(getpid()); }

bool process_has_ended(std::uint32_t id) {
  const auto pid = static_cast<pid_t>(id);
  if (pid <= 0 || static_cast<std::uint32_t>(pid) != id) return false;
  if (::kill(pid, 0) != 0) return errno == ESRCH;
  // A process that has ended but is not yet reaped (a zombie) is still
  // there for kill().
  std::ifstream status("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(status, line);
  const std::size_t state = line.rfind(") ");
  return state != std::string::npos && state + 2 < line.size() && line[state + 2] == 'Z';
}

LocalTime local_time() {
  const std::time_t now = std::time(nullptr);
  std::tm fields{};
  localtime_r(&now, &fields);
  return {fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday,
          fields.tm_hour,        fields.tm_min,     fields.tm_sec};
}

}  // namespace brindax::os
