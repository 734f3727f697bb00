#include "publish/host.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "runtime/core/encoding.h"

namespace brindax::publish {

// File names are UTF-8 here; Latin-1 stands in for the 8-bit code page.
bool name_in_8bit(const std::filesystem::path& relative, std::string* name) {
  const std::string utf8 = relative.generic_string();
  *name = utf8_to_latin1(utf8);
  return latin1_to_utf8(*name) == utf8;
}

std::string shown_name(const std::filesystem::path& path) { return path.generic_string(); }

bool is_executable(const std::filesystem::path& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && (info.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
}

std::string find_program(const std::string& name) {
  const char* search = std::getenv("PATH");
  std::istringstream folders(search != nullptr ? search : "/usr/bin:/bin");
  for (std::string folder; std::getline(folders, folder, ':');) {
    const std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

int run_program(const std::string& program, const std::vector<std::string>& args) {
  const pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace brindax::publish
