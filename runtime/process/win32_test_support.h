// Small helpers of the Windows tests of this folder.
#pragma once

#include <windows.h>

#include <string>

namespace brindax::test {

// An environment variable's value, or "" when it is not set.
inline std::string variable(const char* name) {
  char value[1024];
  const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
  return length > 0 && length < sizeof value ? std::string(value, length) : std::string();
}

// The path of the running test program.
inline std::string own_path() {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  return std::string(path, length);
}

}  // namespace brindax::test
