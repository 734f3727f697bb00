// The file seam on Windows: ANSI paths straight to the Win32 file functions.
#include <windows.h>
#include <winioctl.h>

#include <cstring>
#include <string>

#include "runtime/core/os_file.h"

namespace brindax::os {

namespace {

HANDLE native(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

FileHandle open_with(const char* path, DWORD share, DWORD disposition) {
  HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, share, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return NO_FILE;
  return reinterpret_cast<FileHandle>(handle);
}

std::int64_t drive_kind(const char* root) { return GetDriveTypeA(root) > 1 ? -2 : -1; }

}  // namespace

FileHandle open_always(const char* path) { return open_with(path, FILE_SHARE_READ, OPEN_ALWAYS); }

FileHandle create_always(const char* path) {
  return open_with(path, FILE_SHARE_READ, CREATE_ALWAYS);
}

FileHandle create_new(const char* path) { return open_with(path, FILE_SHARE_READ, CREATE_NEW); }

FileHandle create_sparse(const char* path, std::int64_t size) {
  const FileHandle file = create_always(path);
  if (file == NO_FILE) return NO_FILE;
  // Without the sparse mark (FAT volumes) the file still gets its size; the
  // system then writes the gaps as zeros.
  DWORD unused = 0;
  DeviceIoControl(native(file), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &unused, nullptr);
  LARGE_INTEGER end;
  end.QuadPart = size;
  if (size < 0 || !SetFilePointerEx(native(file), end, nullptr, FILE_BEGIN) ||
      !SetEndOfFile(native(file))) {
    close(file);
    return NO_FILE;
  }
  return file;
}

bool write_at(FileHandle file, std::int64_t offset, const void* data, std::int32_t n) {
  if (file == NO_FILE || n < 0 || offset < 0) return false;
  LARGE_INTEGER position;
  position.QuadPart = offset;
  return SetFilePointerEx(native(file), position, nullptr, FILE_BEGIN) && write_all(file, data, n);
}

std::int32_t read(FileHandle file, void* destination, std::int32_t n) {
  if (file == NO_FILE || n <= 0) return 0;
  DWORD got = 0;
  if (!ReadFile(native(file), destination, static_cast<DWORD>(n), &got, nullptr)) return 0;
  return static_cast<std::int32_t>(got);
}

bool write_all(FileHandle file, const void* data, std::int32_t n) {
  if (file == NO_FILE || n < 0) return false;
  const auto* from = static_cast<const char*>(data);
  std::int32_t done = 0;
  while (done < n) {
    DWORD put = 0;
    if (!WriteFile(native(file), from + done, static_cast<DWORD>(n - done), &put, nullptr) ||
        put == 0) {
      return false;
    }
    done += static_cast<std::int32_t>(put);
  }
  return true;
}

void seek_relative(FileHandle file, std::int32_t delta) {
  if (file != NO_FILE) SetFilePointer(native(file), delta, nullptr, FILE_CURRENT);
}

bool flush(FileHandle file) { return file != NO_FILE && FlushFileBuffers(native(file)) != 0; }

bool flush_file(const char* path) {
  HANDLE handle = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool flushed = FlushFileBuffers(handle) != 0;
  CloseHandle(handle);
  return flushed;
}

bool flush_folder(const char*) { return true; }

bool close(FileHandle file) { return file != NO_FILE && CloseHandle(native(file)) != 0; }

std::int64_t path_size(const char* path) {
  std::string copy = path;
  // A drive: "C:" or "C:\".
  if ((copy.size() == 2 || copy.size() == 3) && copy[1] == ':') {
    if (copy.size() == 2) copy += '\\';
    return drive_kind(copy.c_str());
  }
  while (!copy.empty() && (copy.back() == '\\' || copy.back() == '/')) copy.pop_back();
  // Wildcards cannot occur in a name; the search would report whatever
  // other entry they match.
  if (copy.empty() || copy.find_first_of("*?") != std::string::npos) return -1;

  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(copy.c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    FindClose(search);
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return -2;
    return (static_cast<std::int64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
  }
  // A share root or a path starting with "..", which the search does not find.
  if (copy.compare(0, 2, "\\\\") == 0 || copy.compare(0, 2, "..") == 0) {
    const DWORD attributes = GetFileAttributesA(copy.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
      return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? -2 : -1;
    }
    return drive_kind(copy.c_str());
  }
  return -1;
}

std::int32_t delete_file(const char* path) { return DeleteFileA(path) ? 1 : 0; }

bool replace_file(const char* from, const char* to) {
  return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool link_file(const char* existing, const char* link) {
  // Opening for deletion with every sharing allowed fails while a holder
  // refuses deletion; a running program's file passes.
  HANDLE probe = CreateFileA(existing, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (probe == INVALID_HANDLE_VALUE) return false;
  const bool linked = CreateHardLinkA(link, existing, nullptr) != 0;
  CloseHandle(probe);
  return linked;
}

bool move_file(const char* from, const char* to) {
  return MoveFileExA(from, to, MOVEFILE_WRITE_THROUGH) != 0;
}

std::string file_identity(const char* path) {
  HANDLE handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return std::string();
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(handle, &info) != 0;
  CloseHandle(handle);
  if (!known) return std::string();
  const std::uint64_t index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return std::to_string(info.dwVolumeSerialNumber) + ":" + std::to_string(index);
}

bool remove_directory(const char* path) { return RemoveDirectoryA(path) != 0; }

std::vector<FolderItem> folder_items(const char* folder) {
  std::vector<FolderItem> items;
  std::string pattern = (folder == nullptr || *folder == '\0') ? "." : folder;
  pattern += "\\*";
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return items;
  do {
    const std::string name = found.cFileName;
    if (name == "." || name == ".." || name.find('?') != std::string::npos) continue;
    items.push_back({name, (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return items;
}

bool make_directory(const char* path) {
  if (CreateDirectoryA(path, nullptr)) return true;
  const DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void set_executable(const char*, bool) {}

std::int64_t free_space(const char* folder) {
  const char* path = (folder == nullptr || *folder == '\0') ? "." : folder;
  ULARGE_INTEGER available{};
  if (!GetDiskFreeSpaceExA(path, &available, nullptr, nullptr)) return -1;
  return static_cast<std::int64_t>(available.QuadPart);
}

namespace {

// Removes a folder with everything below it; a link (reparse point) below
// it is removed itself, never entered.
void remove_tree(const std::string& path) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((path + "\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = found.cFileName;
      if (name == "." || name == "..") continue;
      const std::string item = path + "\\" + name;
      const DWORD attributes = found.dwFileAttributes;
      SetFileAttributesA(item.c_str(), FILE_ATTRIBUTE_NORMAL);
      if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        remove_tree(item);
      } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveDirectoryA(item.c_str());
      } else {
        DeleteFileA(item.c_str());
      }
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  RemoveDirectoryA(path.c_str());
}

}  // namespace

PrivateKind private_kind(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? PrivateKind::none
                                                                            : PrivateKind::other;
  }
  return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
                 (attributes & FILE_ATTRIBUTE_DEVICE) != 0
             ? PrivateKind::other
             : PrivateKind::plain;
}

bool clear_private_name(const char* path) {
  if (private_kind(path) != PrivateKind::other) return true;
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      remove_tree(path);
    } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
      RemoveDirectoryA(path);  // the link, not its target
    } else {
      DeleteFileA(path);
    }
  }
  return private_kind(path) != PrivateKind::other;
}

FileHandle open_private(const char* path, PrivateAccess access) {
  if (!clear_private_name(path)) return NO_FILE;
  const DWORD rights = access == PrivateAccess::read ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
  const DWORD disposition = access == PrivateAccess::read    ? OPEN_EXISTING
                            : access == PrivateAccess::write ? CREATE_ALWAYS
                                                             : OPEN_ALWAYS;
  // A link that appeared since is opened as itself, and then refused.
  HANDLE handle = CreateFileA(path, rights, FILE_SHARE_READ, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return NO_FILE;
  BY_HANDLE_FILE_INFORMATION info{};
  LARGE_INTEGER zero{};
  bool ready = GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &info) &&
               (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
  if (ready && access == PrivateAccess::append) {
    ready = SetFilePointerEx(handle, zero, nullptr, FILE_END) != 0;
  }
  if (!ready) {
    CloseHandle(handle);
    return NO_FILE;
  }
  return reinterpret_cast<FileHandle>(handle);
}

std::int64_t open_file_size(FileHandle file) {
  LARGE_INTEGER size{};
  if (file == NO_FILE || !GetFileSizeEx(native(file), &size)) return -1;
  return static_cast<std::int64_t>(size.QuadPart);
}

std::uint32_t process_id() { return GetCurrentProcessId(); }

bool process_has_ended(std::uint32_t id) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
  if (process == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER;
  DWORD code = 0;
  const bool ended = GetExitCodeProcess(process, &code) && code != STILL_ACTIVE;
  CloseHandle(process);
  return ended;
}

LocalTime local_time() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

}  // namespace brindax::os
