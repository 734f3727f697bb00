#include <gtest/gtest.h>

#include <string>

#include "runtime/core/strings.h"
#include "runtime/process/params.h"

namespace brindax {
namespace {

std::string parameter(std::int32_t index) {
  StackMark mark;
  return program_parameter(index, mark.offset());
}

TEST(ProgramParameter, IndexesAndCursorOverTheProgramsArguments) {
  char arg0[] = "/usr/bin/brindax-updater";
  char arg1[] = "";
  char arg2[] = "MajAll";
  char* argv[] = {arg0, arg1, arg2};
  set_program_arguments(3, argv);

  EXPECT_EQ(parameter(0), "");
  EXPECT_EQ(parameter_cursor(), 1);  // an empty parameter still exists
  EXPECT_EQ(parameter(-1), "MajAll");
  EXPECT_EQ(parameter_cursor(), 2);
  EXPECT_EQ(parameter(-1), "");  // no parameter 2
  EXPECT_EQ(parameter_cursor(), 2);
  EXPECT_EQ(parameter(1), "MajAll");
  EXPECT_EQ(parameter(7), "");
  EXPECT_EQ(parameter_cursor(), 7);
}

TEST(ProgramParameter, ArgumentsAreBroughtToEightBitText) {
  char arg0[] = "prog";
  char arg1[] = "caf\xC3\xA9";
  char* argv[] = {arg0, arg1};
  set_program_arguments(2, argv);
  EXPECT_EQ(parameter(0), "caf\xE9");
}

}  // namespace
}  // namespace brindax
