// Entry-name rules: a name that entry_name_is_safe accepts never leads out
// of the current folder, whichever separators it uses.
//
// Input: the name (up to the first NUL byte).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "updater/entry_path.h"

using namespace brindax;

namespace {

// True when the path, resolved component by component from the current
// folder ("/" and "\" both separate), stays at or below it.
bool stays_inside(std::string_view name) {
  if (!name.empty() && (name.front() == '/' || name.front() == '\\')) return false;
  if (name.find(':') != std::string_view::npos) return false;  // drive or stream
  long depth = 0;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = name.size();
    const std::string_view part = name.substr(start, end - start);
    if (part == "..") {
      if (--depth < 0) return false;
    } else if (!part.empty() && part != ".") {
      ++depth;
    }
    start = end + 1;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string name(reinterpret_cast<const char*>(data), size);
  const char* text = name.c_str();
  const std::string_view view(text);

  if (entry_name_is_safe(text)) FUZZ_CHECK(stays_inside(view));
  return 0;
}
