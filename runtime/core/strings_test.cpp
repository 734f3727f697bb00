#include "runtime/core/strings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "runtime/core/heap.h"

namespace brindax {
namespace {

class StringsTest : public testing::Test {
 protected:
  void SetUp() override { start = string_stack_position(); }
  void TearDown() override {
    heap_fail_allocations_after(-1);
    string_stack_set_position(start);
  }

  // Field `index` of `text`, produced at the current position and popped.
  static std::string field(const char* text, int index, const char* separator) {
    StackMark mark;
    const char* result = string_field(text, index, separator, mark.offset());
    EXPECT_EQ(string_stack_position(), mark.offset() + static_cast<int>(std::strlen(result)));
    return result;
  }

  // A fresh 16-byte stack, as the start-up leaves it.
  static void restart_string_library() {
    string_library_end();
    string_library_init();
  }

  std::int32_t start = 0;
};

TEST_F(StringsTest, FieldsBySingleCharacterSeparator) {
  EXPECT_EQ(field("a@b@@c", 1, "@"), "a");
  EXPECT_EQ(field("a@b@@c", 2, "@"), "b");
  EXPECT_EQ(field("a@b@@c", 3, "@"), "");
  EXPECT_EQ(field("a@b@@c", 4, "@"), "c");
  EXPECT_EQ(field("a@b@@c", 5, "@"), "");
  EXPECT_EQ(field("a@b@@c", 0, "@"), "");
  EXPECT_EQ(field("a@b@@c", -1, "@"), "");
  EXPECT_EQ(field("", 1, "@"), "");
  EXPECT_EQ(field(nullptr, 1, "@"), "");
  EXPECT_EQ(field("x@", 2, "@"), "");
  EXPECT_EQ(field("x@", 3, "@"), "");
  // Only the separator is removed: a CR in front of the LF stays.
  EXPECT_EQ(field("left\r\nright", 1, "\n"), "left\r");
  EXPECT_EQ(field("left\r\nright", 2, "\n"), "right");
}

TEST_F(StringsTest, EmptySeparatorMatchesOnlyTheEnd) {
  EXPECT_EQ(field("abc", 1, ""), "abc");
  EXPECT_EQ(field("abc", 2, ""), "");
  EXPECT_EQ(field("abc", 1, nullptr), "abc");
}

TEST_F(StringsTest, FieldsByMultiCharacterSeparator) {
  EXPECT_EQ(field("aXYbXYc", 2, "XY"), "b");
  EXPECT_EQ(field("aXYbXYc", 3, "XY"), "c");
  EXPECT_EQ(field("aXXXb", 1, "XX"), "a");
  EXPECT_EQ(field("aXXXb", 2, "XX"), "Xb");
  EXPECT_EQ(field("aXYbX", 2, "XY"), "bX");   // a partial separator at the end is text
  EXPECT_EQ(field("XYXY", 2, "XY"), "");
  EXPECT_EQ(field("line1\r\nline2\r\n", 2, "\r\n"), "line2");
  EXPECT_EQ(field("line1\r\nline2\r\n", 3, "\r\n"), "");
}

TEST_F(StringsTest, FieldOfAFieldInPlace) {
  StackMark mark;
  const std::int32_t p = mark.offset();
  string_field("x@y\nz", 1, "\n", p);
  string_field(string_stack_address(p), 2, "@", p);
  EXPECT_STREQ(string_stack_address(p), "y");
  EXPECT_EQ(string_stack_position(), p + 1);

  // A later field overlapping its own source at the same offset.
  string_append("abc@defgh");
  string_field(string_stack_address(p), 2, "@", p);
  EXPECT_STREQ(string_stack_address(p), "defgh");
}

TEST_F(StringsTest, FieldInPlaceWhileTheStackGrows) {
  restart_string_library();
  ASSERT_EQ(string_stack().capacity, 16);
  // At offset 8 the inner field "x@y" still fits (8 + 3 < 12); the outer
  // reservation tests 11 + 1 >= 12 and moves the stack while its source, the
  // inner result, lies in the old block.
  string_stack_set_position(8);
  string_field("x@y\nz", 1, "\n", 8);
  ASSERT_EQ(string_stack().capacity, 16);
  string_field(string_stack_address(8), 2, "@", 8);
  EXPECT_EQ(string_stack().capacity, 11 + 1 + 16384);
  EXPECT_STREQ(string_stack_address(8), "y");

  // A long temporary whose second field is taken behind it, growing again.
  restart_string_library();
  const std::string head(3000, 'h');
  const std::string tail(20000, 't');
  string_append((head + "|" + tail).c_str());
  const std::int32_t behind = string_stack_position();
  string_field(string_stack_address(0), 2, "|", behind);
  EXPECT_EQ(std::string(string_stack_address(behind)), tail);
  EXPECT_EQ(string_stack_position(), behind + 20000);
  string_stack_set_position(0);
}

TEST_F(StringsTest, StackGrowthRule) {
  restart_string_library();
  StringStack& stack = string_stack();
  // 0 + 11 < 16 - 4: no growth.
  char* base = stack.base;
  string_stack_reserve(11, 0);
  EXPECT_EQ(stack.capacity, 16);
  EXPECT_EQ(stack.base, base);
  // The test uses the position (11), not the offset: 11 + 1 >= 12 grows.
  string_stack_reserve(1, 0);
  EXPECT_EQ(stack.capacity, 11 + 1 + 16384);
  EXPECT_EQ(stack.position, 1);
  // Reservations that keep the 4-byte margin never reallocate.
  base = stack.base;
  string_stack_reserve(16396 - 5 - 1, 1);
  EXPECT_EQ(stack.base, base);
  EXPECT_EQ(stack.capacity, 16396);
  string_stack_reserve(1, stack.position);  // 16391 + 1 >= 16392
  EXPECT_EQ(stack.capacity, 16392 + 16384);

  // Writing behind the position: the block still holds what is reserved.
  restart_string_library();
  char* far = string_stack_reserve(10, 100);
  ASSERT_NE(far, nullptr);
  EXPECT_GE(string_stack().capacity, 110 + 4);
  string_stack_set_position(0);
}

TEST_F(StringsTest, CountNonOverlapping) {
  EXPECT_EQ(string_count("a\nb\nc", "\n"), 2);
  EXPECT_EQ(string_count("aaaa", "aa"), 2);
  EXPECT_EQ(string_count("aaa", "aa"), 1);
  EXPECT_EQ(string_count("abab", "ab"), 2);
  EXPECT_EQ(string_count("aab", "ab"), 1);  // a failed start does not skip the match
  EXPECT_EQ(string_count("", "\n"), 0);
  EXPECT_EQ(string_count(nullptr, "\n"), 0);
  EXPECT_EQ(string_count("x", ""), 0);
  EXPECT_EQ(string_count("x", nullptr), 0);
  EXPECT_EQ(string_count("ab", "abc"), 0);
}

TEST_F(StringsTest, Equality) {
  EXPECT_EQ(string_equal(nullptr, ""), 1);
  EXPECT_EQ(string_equal(nullptr, nullptr), 1);
  EXPECT_EQ(string_equal("A", "a"), 0);
  EXPECT_EQ(string_equal("ab", "ab "), 0);
  EXPECT_EQ(string_equal("ab", "a"), 0);
  EXPECT_EQ(string_equal("\xE9t\xE9", "\xE9t\xE9"), 1);
}

TEST_F(StringsTest, ConcatenationAndAssignment) {
  StringVar var;
  {
    StackMark mark;
    string_append("one");
    const std::int32_t position = string_stack_position();
    string_append(nullptr);
    EXPECT_EQ(string_stack_position(), position);
    EXPECT_STREQ(string_stack_address(mark.offset()), "one");
    string_field("a,two", 2, ",", string_stack_position());
    string_append("!");
    var.take_from_stack(mark.offset());
    EXPECT_EQ(string_stack_position(), mark.offset());
  }
  EXPECT_STREQ(var.c_str(), "onetwo!");

  char* plain = nullptr;
  EXPECT_EQ(string_assign(&plain, "hello world"), 12);
  EXPECT_STREQ(plain, "hello world");
  // A tail of the variable's own text.
  EXPECT_EQ(string_assign(&plain, plain + 6), 6);
  EXPECT_STREQ(plain, "world");
  EXPECT_EQ(string_assign(&plain, nullptr), 1);
  EXPECT_EQ(plain, nullptr);

  char* first = nullptr;
  string_new_copy(&first, "copy");
  char* held = first;
  string_new_copy(&first, nullptr);
  EXPECT_EQ(first, held);
  string_new_copy(&first, "second");  // does not free what it held
  EXPECT_STREQ(held, "copy");
  EXPECT_STREQ(first, "second");
  string_free(held);
  string_free(first);
  string_free(nullptr);
}

TEST_F(StringsTest, AllocationFailuresNeverWriteOutOfBounds) {
  restart_string_library();
  const std::string long_text(1000, 'z');
  heap_fail_allocations_after(0);

  const char* result = string_field(long_text.c_str(), 1, "@", 0);
  EXPECT_STREQ(result, "");
  EXPECT_EQ(string_stack_position(), 0);
  EXPECT_EQ(string_stack().capacity, 16);

  string_append("abc");
  string_append(long_text.c_str());
  EXPECT_STREQ(string_stack_address(0), "abc");
  EXPECT_EQ(string_stack_position(), 3);

  char* var = nullptr;
  string_assign_from_stack(&var, 0);  // cannot allocate: stays null, stack popped
  EXPECT_EQ(var, nullptr);
  EXPECT_EQ(string_stack_position(), 0);
  EXPECT_EQ(string_assign(&var, "text"), 0);
  EXPECT_EQ(var, nullptr);
  string_new_copy(&var, "text");
  EXPECT_EQ(var, nullptr);

  heap_fail_allocations_after(-1);
  string_assign(&var, "short");
  heap_fail_allocations_after(0);
  string_assign(&var, long_text.c_str());
  EXPECT_STREQ(var, "short");
  heap_fail_allocations_after(-1);
  string_free(var);
}

TEST_F(StringsTest, StackContains) {
  StackMark mark;
  char* text = string_append("abc");
  EXPECT_EQ(string_stack_contains(text), mark.offset() + 1);
  EXPECT_EQ(string_stack_contains(text + 3), mark.offset() + 4);  // the position itself
  EXPECT_EQ(string_stack_contains(text + 4), 0);
  EXPECT_EQ(string_stack_contains("abc"), 0);
}

}  // namespace
}  // namespace brindax
