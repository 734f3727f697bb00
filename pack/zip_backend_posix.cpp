// POSIX side of the ZIP backend: there is no ANSI code page, Latin-1 stands
// in for it, and the file system takes UTF-8 names.
#include <cstdlib>
#include <cstring>

#include "pack/zip_backend.h"
#include "runtime/core/encoding.h"

namespace brindax {

char* ansi_to_utf8(const char* text) {
  const std::string utf8 = latin1_to_utf8(text != nullptr ? text : "");
  auto* result = static_cast<char*>(std::malloc(utf8.size() + 1));
  if (result != nullptr) {
    std::memcpy(result, utf8.c_str(), utf8.size() + 1);
  }
  return result;
}

std::string zip_backend_archive_path(const char* path) {
  return latin1_to_utf8(path != nullptr ? path : "");
}

std::string zip_backend_stream_path(const char* path) { return zip_backend_archive_path(path); }

}  // namespace brindax
