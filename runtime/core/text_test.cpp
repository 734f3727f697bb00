#include "runtime/core/text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "runtime/core/core_test_support.h"
#include "runtime/core/heap.h"
#include "runtime/core/strings.h"

namespace brindax {
namespace {

using testing_support::ScratchDir;
using namespace std::string_literals;

class TextTest : public testing::Test {
 protected:
  void TearDown() override {
    heap_fail_allocations_after(-1);
    file_close(OBJECT_DYNAMIC);
  }

  std::intptr_t open_with(const std::string& content) {
    const std::string name = "text" + std::to_string(files_made++);
    const std::intptr_t handle = file_open(OBJECT_DYNAMIC, dir.write(name, content).c_str());
    EXPECT_NE(handle, 0);
    return handle;
  }

  static std::string read(std::intptr_t handle, std::int32_t flags) {
    StackMark mark;
    const char* result = file_read_string(handle, flags, mark.offset());
    EXPECT_EQ(string_stack_position(), mark.offset() + static_cast<int>(std::strlen(result)));
    return result;
  }

  // Every line until the end of the file (which reads as one more empty line).
  static std::vector<std::string> lines(std::intptr_t handle, std::int32_t format, int count) {
    std::vector<std::string> result;
    for (int i = 0; i < count; ++i) result.push_back(read(handle, format));
    return result;
  }

  static std::string utf8(const std::string& bytes) {
    StackMark mark;
    return utf8_to_8bit_on_stack(bytes.c_str(), mark.offset());
  }

  ScratchDir dir;
  int files_made = 0;
};

TEST_F(TextTest, WholeReadKeepsLineEndsAndStopsAtNul) {
  std::intptr_t file = open_with("1\n2\r\n");
  EXPECT_EQ(read(file, READ_WHOLE_TEXT), "1\n2\r\n");
  EXPECT_EQ(read(file, READ_WHOLE_TEXT), "");

  file = open_with("");
  EXPECT_EQ(read(file, READ_WHOLE_TEXT), "");

  file = open_with("ab\0cd"s);
  EXPECT_EQ(read(file, READ_WHOLE_TEXT), "ab");
  EXPECT_EQ(read(file, READ_WHOLE_TEXT), "cd");

  // A byte-order mark is text like any other in 8-bit format.
  file = open_with("\xEF\xBB\xBFx");
  EXPECT_EQ(read(file, READ_WHOLE_TEXT), "\xEF\xBB\xBFx");
}

TEST_F(TextTest, WholeReadOfTextsAroundTheBlockSteps) {
  std::mt19937 random(7);
  for (const int size : {4095, 4096, 4097, 8191, 8192, 10000, 70000}) {
    std::string content(static_cast<std::size_t>(size), '\0');
    for (char& c : content) c = static_cast<char>(1 + random() % 255);
    const std::intptr_t file = open_with(content);
    EXPECT_EQ(read(file, READ_WHOLE_TEXT), content) << size;
    file_close(file);
  }
}

TEST_F(TextTest, WholeReadsAcrossBufferedAndLargeRunsStopAtEachNul) {
  // Zero bytes at places inside the first buffer, inside a large run, and
  // right at its edges: each whole read ends there and the next one goes on
  // right behind it, after a line read has left bytes in the buffer.
  std::string content(200000, 'x');
  for (std::size_t at : {5u, 4096u, 70000u, 65541u, 131077u}) content[at] = '\0';
  content[2] = '\n';
  const std::intptr_t file = open_with(content);
  EXPECT_EQ(read(file, 0), "xx");
  std::size_t from = 3;
  for (std::size_t at : std::initializer_list<std::size_t>{5, 4096, 65541, 70000, 131077, content.size()}) {
    EXPECT_EQ(read(file, READ_WHOLE_TEXT), content.substr(from, at - from)) << at;
    from = at + 1;
  }
  EXPECT_EQ(read(file, READ_WHOLE_TEXT), "");
}

TEST_F(TextTest, LineModeEndsAtLfCrOrCrLf) {
  std::intptr_t file = open_with("a\r\nb\rc\nd");
  EXPECT_EQ(lines(file, 0, 5), (std::vector<std::string>{"a", "b", "c", "d", ""}));

  file = open_with("a\n\rb");
  EXPECT_EQ(lines(file, 0, 3), (std::vector<std::string>{"a", "", "b"}));

  // A CR at the end: nothing to give back, and nothing read twice.
  file = open_with("x\r");
  EXPECT_EQ(lines(file, 0, 2), (std::vector<std::string>{"x", ""}));

  // The character read ahead behind a lone CR is read again exactly once.
  file = open_with("one\rtwo\r\rend");
  EXPECT_EQ(read(file, 0), "one");
  EXPECT_EQ(read(file, 0), "two");
  EXPECT_EQ(read(file, READ_WHOLE_TEXT), "\rend");

  // A 0 byte ends a line too, and is consumed.
  file = open_with("ab\0cd\n"s);
  EXPECT_EQ(lines(file, 0, 3), (std::vector<std::string>{"ab", "cd", ""}));
}

TEST_F(TextTest, LineReadAtEveryPositionOfTheBuffer) {
  // Lines whose CR LF pairs fall on both sides of every refill boundary.
  std::string content;
  std::vector<std::string> expected;
  for (int i = 0; content.size() < 3 * 4096; ++i) {
    // Never empty: a lone CR followed by an empty line ended by LF would be a CR LF.
    std::string line(static_cast<std::size_t>(1 + i % 37), static_cast<char>('a' + i % 26));
    expected.push_back(line);
    content += line + (i % 3 == 0 ? "\r\n" : i % 3 == 1 ? "\r" : "\n");
  }
  const std::intptr_t file = open_with(content);
  for (std::size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(read(file, 0), expected[i]) << i;
  EXPECT_EQ(read(file, READ_WHOLE_TEXT), "");
}

TEST_F(TextTest, Utf8FormatDecodesOneByteCharacters) {
  const std::int32_t whole_utf8 = READ_WHOLE_TEXT | TEXT_FORMAT_UTF8;
  EXPECT_EQ(read(open_with("\xC3\xA9t\xC3\xA9"), whole_utf8), "\xE9t\xE9");
  EXPECT_EQ(read(open_with("\xEF\xBB\xBFx"), whole_utf8), "?x");  // no byte-order mark
  EXPECT_EQ(read(open_with("a\r\n\xC3\xA9\n"), TEXT_FORMAT_UTF8), "a");

  EXPECT_EQ(utf8("\xC3\xA9"), "\xE9");
  EXPECT_EQ(utf8("\xC2\xA0\xC3\xBF"), "\xA0\xFF");
  EXPECT_EQ(utf8("\xC4\x80"), "?");              // U+0100: beyond one byte
  EXPECT_EQ(utf8("\xE2\x82\xAC"), "?");          // the euro sign
  EXPECT_EQ(utf8("\xF0\x9F\x98\x80!"), "?!");    // four bytes
  EXPECT_EQ(utf8("\xC3" "A"), "?A");             // no continuation: only the lead is eaten
  EXPECT_EQ(utf8("\xE2\x82" "AB"), "?AB");       // 3-byte form with one continuation
  EXPECT_EQ(utf8("\xF0\x9F" "ABC"), "?ABC");
  EXPECT_EQ(utf8("\x80"), "");                   // a lone continuation
  EXPECT_EQ(utf8("ab\xC3"), "ab");               // a lead byte cut off at the end
  EXPECT_EQ(utf8("ab\xE2\x82"), "ab");            // a cut-off 3-byte sequence
  EXPECT_EQ(utf8("\xF8\xFF" "a"), "a");          // never lead bytes
  EXPECT_EQ(utf8("a\xC0\x80" "b"), "a");         // overlong 0 ends the text
  EXPECT_EQ(utf8(""), "");
  StackMark mark;
  EXPECT_STREQ(utf8_to_8bit_on_stack(nullptr, mark.offset()), "");
}

TEST_F(TextTest, Utf8CountMatchesWhatTheDecoderWrites) {
  std::mt19937 random(99);
  // Bytes biased towards lead and continuation bytes, where the rules differ.
  const unsigned char interesting[] = {0x41, 0x80, 0xBF, 0xC0, 0xC3, 0xDF, 0xE0,
                                       0xEF, 0xF0, 0xF7, 0xF8, 0xFF, 0x00, 0x9F};
  std::vector<unsigned char> bytes(64);
  std::vector<unsigned char> out(64);
  for (int round = 0; round < 5000; ++round) {
    const auto n = static_cast<std::int32_t>(random() % bytes.size());
    for (std::int32_t i = 0; i < n; ++i) bytes[i] = interesting[random() % sizeof(interesting)];
    const std::int32_t counted = utf8_char_count(bytes.data(), n);
    ASSERT_EQ(utf8_decode_to_8bit(out.data(), bytes.data(), n), counted);
    ASSERT_LE(counted, n);
  }
}

TEST_F(TextTest, Utf8DecodedInPlaceOnTheStack) {
  StackMark mark;
  string_append("caf\xC3\xA9 \xE2\x82\xAC");
  const char* result = utf8_to_8bit_on_stack(string_stack_address(mark.offset()), mark.offset());
  EXPECT_STREQ(result, "caf\xE9 ?");
  EXPECT_EQ(string_stack_position(), mark.offset() + 6);

  // Behind its source, while the stack has to grow for it.
  string_stack_set_position(mark.offset());
  const std::string long_text(40000, 'u');
  string_append(long_text.c_str());
  const std::int32_t behind = string_stack_position();
  utf8_to_8bit_on_stack(string_stack_address(mark.offset()), behind);
  EXPECT_EQ(std::string(string_stack_address(behind)), long_text);
}

TEST_F(TextTest, Utf16FormatUnitsAndLines) {
  const std::int32_t whole16 = READ_WHOLE_TEXT | TEXT_FORMAT_UTF16;
  // "ab" then a lone last byte: the byte is dropped.
  EXPECT_EQ(read(open_with("a\0b\0c"s), whole16), "ab");
  // A 0 unit ends the text; a 0 byte inside a unit does not.
  std::intptr_t file = open_with("a\0\0\0b\0"s);
  EXPECT_EQ(read(file, whole16), "a");
  EXPECT_EQ(read(file, whole16), "b");
  // Line ends are the units 13 and 10; the unit read ahead behind a lone CR
  // is given back whole.
  file = open_with("a\0\r\0\n\0b\0\r\0c\0\n\0"s);
  EXPECT_EQ(lines(file, TEXT_FORMAT_UTF16, 4), (std::vector<std::string>{"a", "b", "c", ""}));
  // 0x0A00 and 0x0D00 are no line ends.
  file = open_with("\x0A\x0A\x0D\x0D"s);
  EXPECT_EQ(read(file, TEXT_FORMAT_UTF16).size(), 2u);
}

TEST_F(TextTest, MissingFileAndFailedBlockGiveTheEmptyString) {
  EXPECT_EQ(read(12345, READ_WHOLE_TEXT), "");
  EXPECT_EQ(read(9, READ_WHOLE_TEXT), "");

  // Formats that are converted collect the text in a raw block first.
  const std::intptr_t file = open_with("content");
  heap_fail_allocations_after(0);
  EXPECT_EQ(read(file, READ_WHOLE_TEXT | TEXT_FORMAT_UTF8), "");
  heap_fail_allocations_after(-1);
}

TEST_F(TextTest, BlockThatCannotGrowEndsTheTextWithoutLosingBytes) {
  std::string content(10000, 'q');
  content[4095] = 'R';
  const std::intptr_t file = open_with(content);
  FileObject* object = file_lookup(file);
  heap_fail_allocations_after(1);  // the first block, then no growth
  std::int32_t count = 0;
  unsigned char* block = read_raw_text_8bit(object, true, &count);
  heap_fail_allocations_after(-1);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(count, 4095);
  EXPECT_EQ(block[4095], 0);
  main_free(block);
  // The byte that did not fit is read next.
  EXPECT_EQ(read(file, READ_WHOLE_TEXT), content.substr(4095));
}

TEST_F(TextTest, StackThatCannotGrowEndsTheTextWithoutLosingBytes) {
  // 8-bit text is collected on the string stack itself; a text longer than
  // the stack can take is cut where growth failed, and the rest comes next.
  std::string content(static_cast<std::size_t>(string_stack().capacity) + 300000, 'z');
  for (std::size_t i = 0; i < content.size(); i += 7) content[i] = static_cast<char>('a' + i % 26);
  const std::intptr_t file = open_with(content);
  heap_fail_allocations_after(0);
  const std::string first = read(file, READ_WHOLE_TEXT);
  heap_fail_allocations_after(-1);
  EXPECT_LT(first.size(), content.size());
  EXPECT_EQ(first + read(file, READ_WHOLE_TEXT), content);
}

TEST(ApiStrings, CopyIsIndependentAndNullReadsAsEmpty) {
  char* copy = api_string_copy("user");
  ASSERT_NE(copy, nullptr);
  EXPECT_STREQ(copy, "user");
  api_string_free(copy);
  char* empty = api_string_copy(nullptr);
  ASSERT_NE(empty, nullptr);
  EXPECT_STREQ(empty, "");
  api_string_free(empty);
  api_string_free(nullptr);
}

}  // namespace
}  // namespace brindax
