#include <windows.h>

#include <cstdint>

#include "runtime/core/mapped_file.h"

namespace brindax::os {
namespace {
const unsigned char kNoBytes[1] = {0};
HANDLE native(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }
}  // namespace

bool ReadOnlyFile::open(const char* path) {
  close();
  const HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size{};
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &size)) {
    CloseHandle(file);
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
  size_ = static_cast<std::int64_t>(size.QuadPart);
  return true;
}

void ReadOnlyFile::close() {
  if (view_ != nullptr && view_ != kNoBytes) UnmapViewOfFile(view_);
  view_ = nullptr;
  if (mapping_ != 0) CloseHandle(native(mapping_));
  mapping_ = 0;
  if (handle_ != 0) CloseHandle(native(handle_));
  handle_ = 0;
  size_ = -1;
}

std::int32_t ReadOnlyFile::read(void* into, std::int32_t n) {
  if (handle_ == 0 || n < 0) return -1;
  DWORD got = 0;
  if (!ReadFile(native(handle_), into, static_cast<DWORD>(n), &got, nullptr)) return -1;
  return static_cast<std::int32_t>(got);
}

const unsigned char* ReadOnlyFile::map() {
  if (view_ != nullptr || handle_ == 0) return view_;
  if (size_ == 0) return view_ = kNoBytes;  // an empty file cannot be mapped
  if (static_cast<std::uint64_t>(size_) > SIZE_MAX) return nullptr;
  const HANDLE mapping = CreateFileMappingA(native(handle_), nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (mapping == nullptr) return nullptr;
  void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(size_));
  if (view == nullptr) {
    CloseHandle(mapping);
    return nullptr;
  }
  mapping_ = reinterpret_cast<std::intptr_t>(mapping);
  return view_ = static_cast<const unsigned char*>(view);
}

}  // namespace brindax::os
