#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/process/params.h"

namespace brindax {
namespace {

// Every token of a command line, from token -1 (the program) on, taken the
// way program_parameter takes them: a call per token with the cursor moving.
std::vector<std::string> tokens(const char* line) {
  std::vector<std::string> result;
  std::int32_t cursor = -1;
  for (;;) {
    std::int32_t before = cursor;
    std::int32_t length = 0;
    const char* token = scan_command_text(line, &cursor, &length);
    if (cursor == before) break;  // nothing found: the cursor stays
    result.emplace_back(token, static_cast<std::size_t>(length));
  }
  return result;
}

using Tokens = std::vector<std::string>;

TEST(CommandLineScan, QuotedProgramPathThenModeWord) {
  EXPECT_EQ(tokens("\"C:\\Program Files\\Brindax\\updater.exe\" MajAll"),
            (Tokens{"C:\\Program Files\\Brindax\\updater.exe", "MajAll"}));
}

TEST(CommandLineScan, BlanksInsideQuotesKeptAndRunsOfBlanksSkipped) {
  EXPECT_EQ(tokens("prog    \"two words\"    next  "), (Tokens{"prog", "two words", "next"}));
}

TEST(CommandLineScan, UnquotedPathWithBlankSplits) {
  EXPECT_EQ(tokens("C:\\My Apps\\updater.exe MajLocal"),
            (Tokens{"C:\\My", "Apps\\updater.exe", "MajLocal"}));
}

TEST(CommandLineScan, EmptyQuotesAreAnEmptyParameter) {
  EXPECT_EQ(tokens("prog \"\""), (Tokens{"prog", ""}));
  EXPECT_EQ(tokens("prog \"\" x"), (Tokens{"prog", "", "x"}));
}

TEST(CommandLineScan, UnclosedQuoteRunsToTheEnd) {
  EXPECT_EQ(tokens("prog \"open ended"), (Tokens{"prog", "open ended"}));
}

TEST(CommandLineScan, QuotedWordFollowedDirectlyByWordGivesTwo) {
  EXPECT_EQ(tokens("prog \"a\"b"), (Tokens{"prog", "a", "b"}));
}

TEST(CommandLineScan, QuoteInsideUnquotedTokenIsOrdinary) {
  EXPECT_EQ(tokens("prog ab\"c d\""), (Tokens{"prog", "ab\"c", "d\""}));
}

TEST(CommandLineScan, TabDoesNotSeparate) {
  EXPECT_EQ(tokens("prog a\tb"), (Tokens{"prog", "a\tb"}));
}

TEST(CommandLineScan, EmptyAndBlankLines) {
  EXPECT_TRUE(tokens("").empty());
  EXPECT_TRUE(tokens("   ").empty());
  std::int32_t cursor = 0, length = 7;
  EXPECT_EQ(scan_command_text(nullptr, &cursor, &length), nullptr);
  EXPECT_EQ(length, 0);
}

TEST(CommandLineScan, CursorStaysWhenNothingFound) {
  std::int32_t cursor = 1, length = -1;
  scan_command_text("prog only", &cursor, &length);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(cursor, 1);
  cursor = 0;
  const char* token = scan_command_text("prog only", &cursor, &length);
  EXPECT_EQ(std::string(token, static_cast<std::size_t>(length)), "only");
  EXPECT_EQ(cursor, 1);
}

TEST(CommandLineJoin, PresentsArgumentsTheWindowsWay) {
  const char* argv[] = {"/opt/brindax/brindax-updater", "Maj All", "", "UpdateAvailable"};
  std::string line = join_command_line(4, argv);
  EXPECT_EQ(line, "/opt/brindax/brindax-updater \"Maj All\" \"\" UpdateAvailable");
  EXPECT_EQ(tokens(line.c_str()),
            (Tokens{"/opt/brindax/brindax-updater", "Maj All", "", "UpdateAvailable"}));
}

}  // namespace
}  // namespace brindax
