#include "updater/entry_path.h"

#include <string>
#include <string_view>

#include "runtime/core/os_file.h"

namespace brindax {

bool entry_name_is_safe(const char* name) {
  std::string_view text = name ? name : "";
  if (!text.empty() && (text.front() == '/' || text.front() == '\\')) return false;
  if (text.find(':') != std::string_view::npos) return false;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = text.size();
    if (text.substr(start, end - start) == "..") return false;
    start = end + 1;
  }
  return true;
}

bool entry_is_directory(const char* name) {
  std::string_view text = name ? name : "";
  return !text.empty() && text.back() == '/';
}

bool make_entry_folders(const char* name) {
  std::string path = name ? name : "";
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (!is_folder_separator(path[i]) || i == 0 || is_folder_separator(path[i - 1])) continue;
    if (!os::make_directory(path.substr(0, i).c_str())) return false;
  }
  return true;
}

}  // namespace brindax
