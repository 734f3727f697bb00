// Runtime strings and the string stack.
//
// A runtime string is NUL-terminated 8-bit text in the ANSI code page (Latin-1
// where the system has none); a null pointer reads as the empty string.
// Producing operations write their result onto the string stack at an offset
// given by the caller (normally the current position), leave the position at
// the result's terminator and return the result's address, which stays valid
// until the stack next grows. String variables own blocks in the string heap.
#pragma once

#include <cstdint>

namespace brindax {

struct StringStack {
  char* base;
  std::int32_t capacity;
  std::int32_t position;  // offset of the first free byte
};

// The program's one string stack.
StringStack& string_stack();

// Start and end of the string services: the string heap and a 16-byte stack.
void string_library_init();
void string_library_end();

// --- stack primitives -------------------------------------------------------
// Makes room for `length` bytes and a terminator at `offset`; position =
// offset + length; returns base + offset. Null (position unchanged) when the
// string heap cannot grow the stack or an argument is negative: a producing
// operation then yields the empty string with string_stack_set_empty.
char* string_stack_reserve(std::int32_t length, std::int32_t offset);
// position = offset, terminator written there; returns base + offset.
char* string_stack_set_empty(std::int32_t offset);
// address - base + 1 when base <= address <= base + position, else 0.
std::intptr_t string_stack_contains(const void* address);
// Offset of an address anywhere in the stack's block, also behind the
// position (a temporary used in place), or -1 when it lies elsewhere.
// Producers whose source may be such a temporary keep this offset across a
// reservation, which may move the block.
std::int64_t string_stack_offset_of(const void* address);
char* string_stack_address(std::int32_t offset);
std::int32_t string_stack_position();
void string_stack_set_position(std::int32_t position);

// --- producing operations -----------------------------------------------------
// The index-th field (1-based) of `text` cut at `separator`; the source may
// itself lie on the stack, even at `offset`.
char* string_field(const char* text, std::int32_t index, const char* separator,
                   std::int32_t offset);
// Appends a text at the position (one step of a concatenation).
char* string_append(const char* text);

// --- consuming operations -----------------------------------------------------
// Stores the temporary from `start` to the position into the variable and sets
// the position back to `start`.
void string_assign_from_stack(char** variable, std::int32_t start);
// Stores a plain text; returns length + 1. Null frees the block, returns 1.
// When the string heap cannot supply the block, the variable is unchanged
// and the result is 0 (string_assign_from_stack also leaves it unchanged,
// but pops the stack).
std::int32_t string_assign(char** variable, const char* text);
// A new copy without freeing what the variable held; null leaves it alone, as
// does a failed allocation.
void string_new_copy(char** variable, const char* text);
void string_free(char* block);

std::int32_t string_equal(const char* a, const char* b);
// Non-overlapping occurrences; 0 for a null or empty text or substring.
std::int32_t string_count(const char* text, const char* substring);

// --- RAII helpers -------------------------------------------------------------
// Saves the stack position and restores it when the scope ends.
class StackMark {
 public:
  StackMark() : saved_(string_stack_position()) {}
  ~StackMark() { string_stack_set_position(saved_); }
  StackMark(const StackMark&) = delete;
  StackMark& operator=(const StackMark&) = delete;
  std::int32_t offset() const { return saved_; }

 private:
  std::int32_t saved_;
};

// A string variable that frees its block when it goes out of scope.
class StringVar {
 public:
  StringVar() = default;
  explicit StringVar(const char* text) { string_assign(&block_, text); }
  ~StringVar() { string_free(block_); }
  StringVar(const StringVar&) = delete;
  StringVar& operator=(const StringVar&) = delete;

  // Takes the temporary from `start` to the position (see string_assign_from_stack).
  void take_from_stack(std::int32_t start) { string_assign_from_stack(&block_, start); }
  void assign(const char* text) { string_assign(&block_, text); }
  // Never null: the empty string when nothing is held.
  const char* c_str() const { return block_ ? block_ : ""; }
  char** slot() { return &block_; }

 private:
  char* block_ = nullptr;
};

}  // namespace brindax
