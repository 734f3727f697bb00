#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/core/file.h"
#include "runtime/core/strings.h"
#include "runtime/process/params.h"

namespace brindax {
namespace {

// The test runner's own command line: its path (quoted when it holds a
// blank), then the arguments that GoogleTest was given.
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

}  // namespace
}  // namespace brindax
