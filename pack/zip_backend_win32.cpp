// Windows side of the ZIP backend: 8-bit text is in the ANSI code page, which
// the C library takes unchanged as file names and libzip wants as UTF-8.
#include <windows.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "pack/zip_backend.h"

namespace brindax {

char* ansi_to_utf8(const char* text) {
  if (text == nullptr) {
    text = "";
  }
  const std::size_t length = std::strlen(text);
  if (length > (INT_MAX - 1) / 4) {
    return nullptr;
  }
  const int capacity = static_cast<int>(4 * length + 1);
  auto* result = static_cast<char*>(std::malloc(static_cast<std::size_t>(capacity)));
  if (result == nullptr) {
    return nullptr;
  }
  result[0] = '\0';
  if (length == 0) {
    return result;
  }
  // ANSI -> UTF-16 -> UTF-8, the terminator included.
  const int units = static_cast<int>(length + 1);
  std::unique_ptr<wchar_t, decltype(&std::free)> wide(
      static_cast<wchar_t*>(std::malloc(sizeof(wchar_t) * static_cast<std::size_t>(units))),
      &std::free);
  if (!wide) {
    return result;
  }
  const int converted = MultiByteToWideChar(CP_ACP, 0, text, units, wide.get(), units);
  if (converted <= 0 ||
      WideCharToMultiByte(CP_UTF8, 0, wide.get(), converted, result, capacity, nullptr,
                          nullptr) <= 0) {
    result[0] = '\0';
  }
  return result;
}

// libzip turns the name from UTF-8 into UTF-16 itself, so an ANSI name
// beyond ASCII must be converted first or the archive is not found.
std::string zip_backend_archive_path(const char* path) {
  std::unique_ptr<char, decltype(&std::free)> utf8(ansi_to_utf8(path), &std::free);
  return utf8 ? std::string(utf8.get()) : std::string();
}

std::string zip_backend_stream_path(const char* path) { return path != nullptr ? path : ""; }

}  // namespace brindax
