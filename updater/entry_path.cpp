#include "updater/entry_path.h"

#include <string_view>

#include "runtime/core/file_transaction.h"
#include "updater/settings.h"

namespace brindax {

namespace {

// Letters of the 8-bit code page in one case: ASCII, and the Latin letters
// of Windows-1252 / Latin-1 (the ones with a lower-case partner).
unsigned char fold_case(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<unsigned char>(c + 32);
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<unsigned char>(c + 32);
  if (c == 0x8A || c == 0x8C || c == 0x8E) return static_cast<unsigned char>(c + 16);
  if (c == 0x9F) return 0xFF;
  return c;
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (fold_case(static_cast<unsigned char>(a[i])) != fold_case(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// The device names Windows opens whatever folder they are in: the part
// before the first dot, blanks at its end ignored ("nul .txt" is NUL).
bool is_device_name(std::string_view component) {
  std::string_view base = component.substr(0, component.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (equal_ignoring_case(base, device)) return true;
  }
  if (base.size() != 4) return false;
  const std::string_view stem = base.substr(0, 3);
  if (!equal_ignoring_case(stem, "COM") && !equal_ignoring_case(stem, "LPT")) return false;
  const auto digit = static_cast<unsigned char>(base[3]);
  // Superscript one, two and three count as digits there too.
  return (digit >= '0' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
}

bool is_forbidden_character(unsigned char c) {
  return c < 0x20 || c == '<' || c == '>' || c == '"' || c == '|' || c == '?' || c == '*';
}

EntryNameProblem component_problem(std::string_view component) {
  if (component == "..") return EntryNameProblem::leaves_folder;
  if (component.empty() || component.back() == '.' || component.back() == ' ') {
    return EntryNameProblem::bad_ending;
  }
  for (const char c : component) {
    if (is_forbidden_character(static_cast<unsigned char>(c))) return EntryNameProblem::bad_character;
  }
  if (is_device_name(component)) return EntryNameProblem::device_name;
  if (FileTransaction::is_private_name(component)) return EntryNameProblem::own_file;
  return EntryNameProblem::none;
}

}  // namespace

EntryNameProblem entry_name_problem(const char* name) {
  const std::string_view text = name ? name : "";
  if (text.empty()) return EntryNameProblem::none;
  if (text.front() == '/' || text.front() == '\\' || text.find(':') != std::string_view::npos) {
    return EntryNameProblem::leaves_folder;
  }
  if (equal_ignoring_case(text, LOCAL_VERSION_FILE) || equal_ignoring_case(text, SERVER_VERSION_FILE) ||
      equal_ignoring_case(text, RELEASE_RECORD_FILE)) {
    return EntryNameProblem::own_file;
  }
  // A directory entry ends in one "/"; its last component is the one before.
  const std::string_view path = text.back() == '/' ? text.substr(0, text.size() - 1) : text;
  // "..\x" leaves the folder however late its other components fail, so
  // that problem is reported before any other.
  EntryNameProblem first = EntryNameProblem::none;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = path.size();
    const EntryNameProblem problem = component_problem(path.substr(start, end - start));
    if (problem == EntryNameProblem::leaves_folder) return problem;
    if (first == EntryNameProblem::none) first = problem;
    start = end + 1;
  }
  return first;
}

bool entry_name_is_safe(const char* name) {
  return entry_name_problem(name) == EntryNameProblem::none;
}

std::string entry_name_key(const char* name) {
  std::string key = name ? name : "";
  for (char& c : key) {
    c = c == '\\' ? '/' : static_cast<char>(fold_case(static_cast<unsigned char>(c)));
  }
  return key;
}

bool entry_is_directory(const char* name) {
  std::string_view text = name ? name : "";
  return !text.empty() && text.back() == '/';
}

bool make_entry_folders(const char* name, FileTransaction& transaction) {
  std::string path = name ? name : "";
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (!is_folder_separator(path[i]) || i == 0 || is_folder_separator(path[i - 1])) continue;
    if (!transaction.make_folder(path.substr(0, i).c_str())) return false;
  }
  return true;
}

}  // namespace brindax
