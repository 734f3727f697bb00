#include <string>
#include <vector>

#include "runtime/core/encoding.h"
#include "runtime/process/params.h"

namespace brindax {
namespace {

std::string& stored_command_line() {
  static std::string line;
  return line;
}

}  // namespace

void set_program_arguments(int argc, char** argv) {
  // The file system and the terminal speak UTF-8; the runtime's text is
  // 8-bit, so each argument is brought to it before joining.
  std::vector<std::string> converted;
  std::vector<const char*> pointers;
  converted.reserve(static_cast<std::size_t>(argc));
  for (int i = 0; i < argc; ++i) converted.push_back(utf8_to_latin1(argv[i] ? argv[i] : ""));
  for (const auto& argument : converted) pointers.push_back(argument.c_str());
  stored_command_line() = join_command_line(argc, pointers.data());
}

const char* command_line() { return stored_command_line().c_str(); }

}  // namespace brindax
