// The folder lock on Windows: a mutex in the session's namespace named after
// the folder's full path (long form, upper case, as Windows compares names),
// "Local\brindax-<64-bit FNV-1a of it in hex>". The system abandons a mutex
// whose owner ends, and the next waiter then receives it.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "runtime/core/folder_lock.h"

namespace brindax {
namespace {

// The folder's full, long path in upper case; empty when unknown.
std::wstring folder_key(const char* folder) {
  const std::string given = (folder == nullptr || *folder == '\0') ? std::string(".") : folder;
  char full[MAX_PATH * 4];
  const DWORD full_length = GetFullPathNameA(given.c_str(), sizeof full, full, nullptr);
  if (full_length == 0 || full_length >= sizeof full) return std::wstring();
  const int wide_length = MultiByteToWideChar(CP_ACP, 0, full, -1, nullptr, 0);
  if (wide_length <= 0) return std::wstring();
  std::vector<wchar_t> wide(static_cast<std::size_t>(wide_length));
  MultiByteToWideChar(CP_ACP, 0, full, -1, wide.data(), wide_length);
  // Short (8.3) names and the long ones name the same folder.
  std::vector<wchar_t> long_form(32768);
  const DWORD long_length =
      GetLongPathNameW(wide.data(), long_form.data(), static_cast<DWORD>(long_form.size()));
  std::wstring path = (long_length > 0 && long_length < long_form.size())
                          ? std::wstring(long_form.data(), long_length)
                          : std::wstring(wide.data());
  while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  std::vector<wchar_t> upper(path.size() + 1);
  const int upper_length = LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, path.c_str(),
                                        static_cast<int>(path.size()), upper.data(),
                                        static_cast<int>(upper.size()));
  if (upper_length <= 0) return path;
  return std::wstring(upper.data(), static_cast<std::size_t>(upper_length));
}

std::string mutex_name(const std::wstring& key) {
  std::uint64_t hash = 14695981039346656037ull;
  for (const wchar_t c : key) {
    for (int shift = 0; shift < 16; shift += 8) {
      hash ^= static_cast<std::uint8_t>((static_cast<unsigned>(c) >> shift) & 0xFF);
      hash *= 1099511628211ull;
    }
  }
  char name[64];
  std::snprintf(name, sizeof name, "Local\\brindax-%016llx", static_cast<unsigned long long>(hash));
  return name;
}

}  // namespace

FolderLockResult FolderLock::acquire(const char* folder, std::chrono::milliseconds patience) {
  release();
  const std::wstring key = folder_key(folder);
  if (key.empty()) return FolderLockResult::failed;
  // Not inherited: a started program never holds it.
  HANDLE mutex = CreateMutexA(nullptr, FALSE, mutex_name(key).c_str());
  if (mutex == nullptr) return FolderLockResult::failed;
  const auto wait = patience.count() <= 0 ? 0 : patience.count();
  const DWORD result =
      WaitForSingleObject(mutex, wait >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(wait));
  if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
    handle_ = reinterpret_cast<std::intptr_t>(mutex);
    return FolderLockResult::acquired;
  }
  CloseHandle(mutex);
  return result == WAIT_TIMEOUT ? FolderLockResult::busy : FolderLockResult::failed;
}

void FolderLock::release() {
  if (handle_ == 0) return;
  HANDLE mutex = reinterpret_cast<HANDLE>(handle_);
  ReleaseMutex(mutex);
  CloseHandle(mutex);
  handle_ = 0;
}

}  // namespace brindax
