// The command line that start_program hands to the system, and its splitting.
#include "runtime/process/launcher.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "runtime/core/heap.h"

namespace brindax {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::string command_line(const char* program, const char* parameters) {
  std::unique_ptr<char, void (*)(void*)> line(build_command_line(program, parameters), main_free);
  EXPECT_NE(line, nullptr);
  if (!line) return {};
  // The block is exactly as large as the rule promises, and always enough.
  const std::size_t room = std::strlen(program ? program : "") +
                           std::strlen(parameters ? parameters : "") + 4;
  EXPECT_LT(std::strlen(line.get()), room);
  return line.get();
}

TEST(CommandLine, QuotesTheProgramAndAppendsParameters) {
  EXPECT_EQ(command_line("Brindax.exe", ""), "\"Brindax.exe\"");
  EXPECT_EQ(command_line("C:\\Program Files\\app.exe", "-x \"a b\""),
            "\"C:\\Program Files\\app.exe\" -x \"a b\"");
  // A name that starts with a quote is taken as already quoted.
  EXPECT_EQ(command_line("\"C:\\My App\\run.exe\" -q", "now"), "\"C:\\My App\\run.exe\" -q now");
  // Empty or missing parameters add nothing, not even a blank; a missing
  // program reads as empty.
  EXPECT_EQ(command_line("tool", nullptr), "\"tool\"");
  EXPECT_EQ(command_line(nullptr, nullptr), "\"\"");
  EXPECT_EQ(command_line("", "x"), "\"\" x");
  EXPECT_EQ(command_line("\"", ""), "\"");  // the shortest quoted name still fits
}

TEST(CommandLine, SplitsAtBlanksOutsideQuotes) {
  EXPECT_THAT(split_command_line("\"my tool\" -a  b\tc"), ElementsAre("my tool", "-a", "b", "c"));
  EXPECT_THAT(split_command_line("a\"b c\"d e"), ElementsAre("ab cd", "e"));
  EXPECT_THAT(split_command_line("x \"\" y \"\""), ElementsAre("x", "", "y", ""));
  EXPECT_THAT(split_command_line("C:\\dir\\a.exe \\\"b"), ElementsAre("C:\\dir\\a.exe", "\\b"));
  EXPECT_THAT(split_command_line("\"unterminated arg"), ElementsAre("unterminated arg"));
  EXPECT_THAT(split_command_line("   "), IsEmpty());
  EXPECT_THAT(split_command_line(nullptr), IsEmpty());
}

TEST(CommandLine, RoundTripsThroughTheBuilder) {
  std::unique_ptr<char, void (*)(void*)> line(
      build_command_line("/opt/my app/run", "--name \"Brindax Demo\" 2"), main_free);
  ASSERT_NE(line, nullptr);
  EXPECT_THAT(split_command_line(line.get()),
              ElementsAre("/opt/my app/run", "--name", "Brindax Demo", "2"));
}

}  // namespace
}  // namespace brindax
