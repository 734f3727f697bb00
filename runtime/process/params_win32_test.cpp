#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "runtime/core/file.h"
#include "runtime/core/strings.h"
#include "runtime/process/params.h"

namespace brindax {
namespace {

// The test runner is started with its path (quoted when it holds a blank)
// and GoogleTest's own options.
TEST(WindowsCommandLine, ScansTheRealCommandLine) {
  EXPECT_STREQ(command_line(), GetCommandLineA());
  std::int32_t cursor = -1, length = 0;
  const char* program = scan_command_text(command_line(), &cursor, &length);
  ASSERT_NE(program, nullptr);
  std::string path(program, static_cast<std::size_t>(length));
  EXPECT_GT(file_size(path.c_str()), 0) << path;

  StackMark mark;
  std::string first = program_parameter(0, mark.offset());
  EXPECT_EQ(first.rfind("--gtest", 0), 0u) << first;
}

}  // namespace
}  // namespace brindax
