#include "runtime/process/params.h"

#include <cstring>

#include "runtime/core/heap.h"
#include "runtime/core/strings.h"

namespace brindax {
namespace {

struct ParameterState {
  std::int32_t cursor;
};

ParameterState* g_parameters = nullptr;

}  // namespace

void parameter_library_init() {
  g_parameters = static_cast<ParameterState*>(heap_new_block(sizeof(ParameterState), nullptr));
}

std::int32_t parameter_cursor() { return g_parameters ? g_parameters->cursor : 0; }

const char* scan_command_text(const char* text, std::int32_t* cursor, std::int32_t* length_out) {
  *length_out = 0;
  if (text == nullptr || *text == '\0') return nullptr;
  const char* p = text;
  std::int32_t count = -1;
  while (*p != '\0') {
    while (*p == ' ') ++p;
    const char* start = nullptr;
    std::int32_t length = 0;
    bool found = false;
    if (*p == '"') {
      start = ++p;
      while (*p != '\0' && *p != '"') ++p;
      length = static_cast<std::int32_t>(p - start);
      if (*p == '"') ++p;
      found = true;
    } else if (*p != '\0') {
      start = p;
      while (*p != '\0' && *p != ' ') ++p;
      length = static_cast<std::int32_t>(p - start);
      if (*p == ' ') ++p;
      found = true;
    }
    if (count == *cursor) {
      if (!found) return nullptr;
      *length_out = length;
      ++*cursor;
      return start;
    }
    if (found) ++count;
  }
  return nullptr;
}

const char* scan_command_line(std::int32_t* length_out) {
  std::int32_t local_cursor = 0;
  std::int32_t* cursor = g_parameters ? &g_parameters->cursor : &local_cursor;
  return scan_command_text(command_line(), cursor, length_out);
}

char* program_parameter(std::int32_t index, std::int32_t offset) {
  if (index >= 0 && g_parameters != nullptr) g_parameters->cursor = index;
  std::int32_t length = 0;
  const char* token = scan_command_line(&length);
  char* destination = string_stack_reserve(length, offset);
  if (length > 0) std::memcpy(destination, token, static_cast<std::size_t>(length));
  destination[length] = '\0';
  return destination;
}

std::string join_command_line(int argc, const char* const* argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) {
    if (i > 0) line += ' ';
    const char* argument = argv[i] ? argv[i] : "";
    bool quote = *argument == '\0' || std::strchr(argument, ' ') != nullptr;
    if (quote) line += '"';
    line += argument;
    if (quote) line += '"';
  }
  return line;
}

}  // namespace brindax
