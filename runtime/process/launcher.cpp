// Program launcher, the parts shared by every platform: the command line and
// its splitting, and the plain start used by the updater.
#include "runtime/process/launcher.h"

#include <cstring>

#include "runtime/core/heap.h"

namespace brindax {

ListNode* launched_programs = nullptr;

char* build_command_line(const char* program, const char* parameters) {
  if (program == nullptr) program = "";
  if (parameters == nullptr) parameters = "";
  const std::size_t program_length = std::strlen(program);
  const std::size_t parameters_length = std::strlen(parameters);
  auto* line = static_cast<char*>(main_alloc(program_length + parameters_length + 4, false));
  if (line == nullptr) return nullptr;

  char* out = line;
  if (program[0] == '"') {
    std::memcpy(out, program, program_length);
    out += program_length;
  } else {
    *out++ = '"';
    std::memcpy(out, program, program_length);
    out += program_length;
    *out++ = '"';
  }
  if (parameters_length != 0) {
    *out++ = ' ';
    std::memcpy(out, parameters, parameters_length);
    out += parameters_length;
  }
  *out = '\0';
  return line;
}

std::vector<std::string> split_command_line(const char* command_line) {
  std::vector<std::string> arguments;
  if (command_line == nullptr) return arguments;

  std::string current;
  bool in_argument = false;  // an argument has started, possibly empty ("")
  bool quoted = false;
  for (const char* p = command_line; *p != '\0'; ++p) {
    const char c = *p;
    if (c == '"') {
      quoted = !quoted;
      in_argument = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (in_argument) {
        arguments.push_back(std::move(current));
        current.clear();
        in_argument = false;
      }
    } else {
      current.push_back(c);
      in_argument = true;
    }
  }
  if (in_argument) arguments.push_back(std::move(current));
  return arguments;
}

std::intptr_t launch_application(const char* program) {
  return start_program(program, "", "", 0, nullptr);
}

}  // namespace brindax
