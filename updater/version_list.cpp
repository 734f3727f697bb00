#include "updater/version_list.h"

#include <algorithm>
#include <string_view>

#include "runtime/core/file.h"
#include "runtime/core/strings.h"
#include "runtime/core/text.h"

namespace brindax {
namespace {

std::int32_t count_line_feeds(const char* text) { return string_count(text, "\n"); }

}  // namespace

std::string_view ListLines::next() {
  std::size_t end = rest_.find('\n');
  std::string_view line = rest_.substr(0, end);
  rest_ = end == std::string_view::npos ? std::string_view{} : rest_.substr(end + 1);
  return line;
}

std::string_view package_name_of(const char* text) {
  std::string_view line = ListLines(text).next();
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

std::string_view record_field(std::string_view line, std::int32_t k) {
  if (k < 1) return {};
  for (std::int32_t field = 1; field < k; ++field) {
    std::size_t at = line.find('@');
    if (at == std::string_view::npos) return {};
    line.remove_prefix(at + 1);
  }
  return line.substr(0, line.find('@'));
}

char* read_version_list(const char* file_name, std::int32_t offset) {
  if (file_size(file_name) < 0) return string_stack_set_empty(offset);
  std::intptr_t handle = file_open(OBJECT_DYNAMIC, file_name);
  if (handle == 0) return string_stack_set_empty(offset);
  char* text = file_read_string(handle, READ_WHOLE_TEXT, offset);
  file_close(handle);
  return text;
}

char* version_line(const char* text, std::int32_t i, std::int32_t offset) {
  return string_field(text, i, "\n", offset);
}

char* version_field(const char* line, std::int32_t k, std::int32_t offset) {
  return string_field(line, k, "@", offset);
}

std::int32_t compare_version_lists(const char* local, const char* server) {
  // The usual answer, nothing changed since the install, in one comparison
  // of the records as bytes (from the first line's LF on: the package names
  // are not compared).
  const std::string_view local_text(local);
  const std::string_view server_text(server);
  const std::size_t local_records = std::min(local_text.find('\n'), local_text.size());
  const std::size_t server_records = std::min(server_text.find('\n'), server_text.size());
  if (local_text.substr(local_records) == server_text.substr(server_records)) return 0;

  std::int32_t local_feeds = count_line_feeds(local);
  if (local_feeds != count_line_feeds(server)) return 1;
  ListLines local_lines(local);
  ListLines server_lines(server);
  local_lines.next();  // the package names are not compared
  server_lines.next();
  for (std::int32_t i = 2; i <= local_feeds + 1; ++i) {
    if (record_field(local_lines.next(), 2) != record_field(server_lines.next(), 2)) return 2;
  }
  return 0;
}

}  // namespace brindax
