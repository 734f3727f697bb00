#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "runtime/core/file.h"
#include "runtime/core/strings.h"
#include "runtime/process/params.h"
#include "runtime/process/win32_test_support.h"

namespace brindax {
namespace {

using test::own_path;
using test::variable;

// Started as a child with BRINDAX_PARAMS_OUTPUT set, this program writes the
// tokens of its own command line, one per line, into that file and ends.
const bool child_ran = [] {
  const std::string output = variable("BRINDAX_PARAMS_OUTPUT");
  if (output.empty()) return false;
  if (FILE* file = std::fopen(output.c_str(), "w")) {
    std::int32_t cursor = -1, length = 0;
    for (;;) {
      const std::int32_t before = cursor;
      const char* token = scan_command_text(command_line(), &cursor, &length);
      if (cursor == before) break;
      std::fprintf(file, "[%.*s]\n", static_cast<int>(length), token);
    }
    std::fclose(file);
  }
  ExitProcess(0);
}();

// The test runner's own command line: its path, then the arguments that
// GoogleTest was given.
TEST(WindowsCommandLine, ScansTheRealCommandLine) {
  EXPECT_STREQ(command_line(), GetCommandLineA());
  std::int32_t cursor = -1, length = 0;
  const char* program = scan_command_text(command_line(), &cursor, &length);
  ASSERT_NE(program, nullptr);
  std::string path(program, static_cast<std::size_t>(length));
  EXPECT_GT(file_size(path.c_str()), 0) << path;

  const std::vector<std::string> argv = ::testing::internal::GetArgvs();
  StackMark mark;
  std::string first = program_parameter(0, mark.offset());
  EXPECT_EQ(first, argv.size() > 1 ? argv[1] : std::string());
}

// A program in a folder with blanks, started the way a launcher starts it:
// the quoted path is one token without its quotes, the mode word follows.
TEST(WindowsCommandLine, QuotedProgramPathWithBlanks) {
  namespace fs = std::filesystem;
  const fs::path folder = fs::temp_directory_path() / "brindax params test";
  fs::remove_all(folder);
  fs::create_directories(folder);
  const fs::path program = folder / "run me.exe";
  fs::copy_file(own_path(), program);
  const fs::path output = folder / "tokens.txt";
  SetEnvironmentVariableA("BRINDAX_PARAMS_OUTPUT", output.string().c_str());

  std::string line = "\"" + program.string() + "\"  MajAll \"two  words\"x \"\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  const BOOL started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                      nullptr, &startup, &process);
  SetEnvironmentVariableA("BRINDAX_PARAMS_OUTPUT", nullptr);
  ASSERT_TRUE(started);
  WaitForSingleObject(process.hProcess, 20000);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);

  std::string tokens;
  if (FILE* file = std::fopen(output.string().c_str(), "r")) {
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, file)) tokens += buffer;
    std::fclose(file);
  }
  EXPECT_EQ(tokens, "[" + program.string() + "]\n[MajAll]\n[two  words]\n[x]\n[]\n");
  std::error_code ignored;
  fs::remove_all(folder, ignored);
}

}  // namespace
}  // namespace brindax
