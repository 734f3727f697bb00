#include "publish/host.h"

#include <windows.h>

namespace brindax::publish {

bool name_in_8bit(const std::filesystem::path& relative, std::string* name) {
  const std::wstring wide = relative.generic_wstring();
  name->clear();
  if (wide.empty()) return true;
  BOOL lossy = FALSE;
  const int units = static_cast<int>(wide.size());
  const int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), units, nullptr, 0,
                                       nullptr, &lossy);
  if (size <= 0 || lossy) return false;
  name->resize(static_cast<std::size_t>(size));
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), units, name->data(), size, nullptr,
                      &lossy);
  return !lossy;
}

std::string shown_name(const std::filesystem::path& path) {
  std::string name;
  if (name_in_8bit(path, &name)) return name;
  const std::u8string utf8 = path.generic_u8string();
  return std::string(utf8.begin(), utf8.end());
}

bool is_executable(const std::filesystem::path&) { return false; }

std::string find_program(const std::string& name) {
  char found[MAX_PATH];
  const DWORD n = SearchPathA(nullptr, name.c_str(), ".exe", MAX_PATH, found, nullptr);
  return n > 0 && n < MAX_PATH ? std::string(found, n) : std::string();
}

namespace {

// One argument quoted as the C runtime's command-line parser reads it.
std::string quote_argument(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (const char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');
  return quoted + "\"";
}

}  // namespace

int run_program(const std::string& program, const std::vector<std::string>& args) {
  std::string command = quote_argument(program);
  for (const std::string& arg : args) {
    command += ' ';
    command += quote_argument(arg);
  }
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return -1;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
}

}  // namespace brindax::publish
