// The tool's few needs from the operating system beyond std::filesystem:
// file names in the 8-bit code page, executable bits and running a program.
// Implemented by host_posix.cpp and host_win32.cpp.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace brindax::publish {

// The 8-bit name of a path relative to the release folder, with "/" between
// its parts; false when a character has no 8-bit form.
bool name_in_8bit(const std::filesystem::path& relative, std::string* name);
// The name as the user's terminal shows it.
std::string shown_name(const std::filesystem::path& path);
// POSIX: whether anyone may execute the file; Windows: never.
bool is_executable(const std::filesystem::path& path);
// The full path of a program found on the search path, or empty.
std::string find_program(const std::string& name);
// Runs a program with arguments, waiting for it; its exit code, or -1 when it
// could not be started.
int run_program(const std::string& program, const std::vector<std::string>& args);

}  // namespace brindax::publish
