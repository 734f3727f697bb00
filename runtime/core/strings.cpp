// Runtime strings, string variables and the string stack.
#include "runtime/core/strings.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>

#include "runtime/core/heap.h"

namespace brindax {

namespace {

constexpr std::int32_t kInitialCapacity = 16;
constexpr std::int32_t kGrowthSlack = 16384;
constexpr std::int32_t kBlockSlack = 5;  // a variable's block: text + terminator + 4 bytes

Heap* g_string_heap = nullptr;
StringStack g_stack{nullptr, 0, 0};
// Bytes actually allocated for the stack block (capacity + 5 after a growth,
// 16 at the start). Every write is checked against it.
std::int64_t g_block_size = 0;

// Read-only empty text for results that cannot be written to the stack.
char g_empty[1] = {0};

Heap* string_heap() {
  if (g_string_heap == nullptr) g_string_heap = heap_create();
  return g_string_heap;
}

bool ensure_stack() {
  if (g_stack.base != nullptr) return true;
  auto* base = static_cast<char*>(heap_alloc(string_heap(), kInitialCapacity, true));
  if (base == nullptr) return false;
  g_stack = {base, kInitialCapacity, 0};
  g_block_size = kInitialCapacity;
  return true;
}

}  // namespace

std::int64_t string_stack_offset_of(const void* address) {
  if (g_stack.base == nullptr || address == nullptr) return -1;
  const auto a = reinterpret_cast<std::uintptr_t>(address);
  const auto b = reinterpret_cast<std::uintptr_t>(g_stack.base);
  if (a < b || a - b >= static_cast<std::uintptr_t>(g_block_size)) return -1;
  return static_cast<std::int64_t>(a - b);
}

namespace {

std::string_view view(const char* text) { return text != nullptr ? text : ""; }

// A new block of n + 5 bytes holding `text`'s n bytes and a terminator.
char* copy_to_block(char* block, const char* text, std::size_t n) {
  auto* result = static_cast<char*>(heap_realloc(string_heap(), block, n + kBlockSlack, false));
  if (result == nullptr) return nullptr;
  std::memcpy(result, text, n);
  result[n] = '\0';
  return result;
}

}  // namespace

StringStack& string_stack() { return g_stack; }

void string_library_init() {
  string_heap();
  ensure_stack();
}

void string_library_end() {
  if (g_string_heap != nullptr) {
    heap_free(g_string_heap, g_stack.base);
    heap_destroy(g_string_heap);
  }
  g_string_heap = nullptr;
  g_stack = {nullptr, 0, 0};
  g_block_size = 0;
}

char* string_stack_reserve(std::int32_t length, std::int32_t offset) {
  if (length < 0 || offset < 0 || !ensure_stack()) return nullptr;
  // The growth test is made against the position. A caller that writes
  // beyond the position is covered too, so the block always holds
  // offset + length + 1 bytes afterwards.
  const std::int64_t end = std::max(g_stack.position, offset) + static_cast<std::int64_t>(length);
  if (end >= g_stack.capacity - 4) {
    const std::int64_t capacity = end + kGrowthSlack;
    if (capacity > std::numeric_limits<std::int32_t>::max() - kBlockSlack) return nullptr;
    auto* base = static_cast<char*>(heap_realloc(
        string_heap(), g_stack.base, static_cast<std::size_t>(capacity + kBlockSlack), false));
    if (base == nullptr) return nullptr;
    g_stack.base = base;
    g_stack.capacity = static_cast<std::int32_t>(capacity);
    g_block_size = capacity + kBlockSlack;
  }
  g_stack.position = offset + length;
  return g_stack.base + offset;
}

char* string_stack_set_empty(std::int32_t offset) {
  if (offset < 0 || !ensure_stack()) return g_empty;
  if (offset >= g_block_size) {
    char* result = string_stack_reserve(0, offset);
    if (result == nullptr) return g_empty;
  }
  g_stack.position = offset;
  g_stack.base[offset] = '\0';
  return g_stack.base + offset;
}

std::intptr_t string_stack_contains(const void* address) {
  if (g_stack.base == nullptr || address == nullptr) return 0;
  const auto a = reinterpret_cast<std::uintptr_t>(address);
  const auto b = reinterpret_cast<std::uintptr_t>(g_stack.base);
  if (a < b || a > b + static_cast<std::uintptr_t>(g_stack.position)) return 0;
  return static_cast<std::intptr_t>(a - b + 1);
}

char* string_stack_address(std::int32_t offset) { return g_stack.base + offset; }

std::int32_t string_stack_position() { return g_stack.position; }

void string_stack_set_position(std::int32_t position) {
  if (position >= 0 && position < g_block_size) g_stack.position = position;
}

char* string_field(const char* text, std::int32_t index, const char* separator,
                   std::int32_t offset) {
  if (index < 1) return string_stack_set_empty(offset);
  const std::string_view source = view(text);
  const std::string_view sep = view(separator);
  const std::size_t step = std::max<std::size_t>(sep.size(), 1);

  std::size_t start = 0;
  std::string_view field;
  for (std::int32_t count = 1;; ++count) {
    std::size_t hit = std::string_view::npos;
    if (sep.size() >= 2) {
      hit = source.find(sep, start);
    } else if (sep.size() == 1) {
      hit = source.find(sep[0], start);
    }
    if (count == index) {
      field = source.substr(start, (hit == std::string_view::npos ? source.size() : hit) - start);
      break;
    }
    if (hit == std::string_view::npos) return string_stack_set_empty(offset);
    start = hit + step;
  }

  // The source may be a temporary on the stack, even at `offset`, and the
  // reservation may move the block: remember where the field lies inside it.
  const std::int64_t field_offset = string_stack_offset_of(field.data());
  const auto length = static_cast<std::int32_t>(field.size());
  char* destination = string_stack_reserve(length, offset);
  if (destination == nullptr) return string_stack_set_empty(offset);
  const char* from = field_offset >= 0 ? g_stack.base + field_offset : field.data();
  std::memmove(destination, from, field.size());
  destination[length] = '\0';
  return destination;
}

char* string_append(const char* text) {
  if (!ensure_stack()) return g_empty;
  const std::int32_t position = g_stack.position;
  if (text == nullptr) {
    g_stack.base[position] = '\0';
    return g_stack.base + position;
  }
  const std::size_t n = std::strlen(text);
  if (n > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) return g_empty;
  const std::int64_t text_offset = string_stack_offset_of(text);
  char* destination = string_stack_reserve(static_cast<std::int32_t>(n), position);
  if (destination == nullptr) {
    g_stack.base[position] = '\0';
    return g_stack.base + position;
  }
  const char* from = text_offset >= 0 ? g_stack.base + text_offset : text;
  std::memmove(destination, from, n);
  destination[n] = '\0';
  return destination;
}

void string_assign_from_stack(char** variable, std::int32_t start) {
  if (variable == nullptr || !ensure_stack()) return;
  if (start < 0 || start > g_stack.position) {
    string_stack_set_position(start);
    return;
  }
  const auto n = static_cast<std::size_t>(g_stack.position - start);
  if (char* block = copy_to_block(*variable, g_stack.base + start, n)) *variable = block;
  g_stack.position = start;
}

std::int32_t string_assign(char** variable, const char* text) {
  if (variable == nullptr) return 0;
  if (text == nullptr) {
    string_free(*variable);
    *variable = nullptr;
    return 1;
  }
  const std::size_t n = std::strlen(text);
  if (n > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max() - kBlockSlack)) {
    return 0;
  }
  char* old = *variable;
  if (old != nullptr && text >= old && text <= old + std::strlen(old)) {
    // The text is (a tail of) the variable's own text: bring it to the front
    // before the block is resized.
    std::memmove(old, text, n + 1);
    if (void* resized = heap_realloc(string_heap(), old, n + kBlockSlack, false)) {
      *variable = static_cast<char*>(resized);
    }
    return static_cast<std::int32_t>(n + 1);
  }
  char* block = copy_to_block(old, text, n);
  if (block == nullptr) return 0;
  *variable = block;
  return static_cast<std::int32_t>(n + 1);
}

void string_new_copy(char** variable, const char* text) {
  if (variable == nullptr || text == nullptr) return;
  if (char* block = copy_to_block(nullptr, text, std::strlen(text))) *variable = block;
}

void string_free(char* block) {
  if (block != nullptr && g_string_heap != nullptr) heap_free(g_string_heap, block);
}

std::int32_t string_equal(const char* a, const char* b) { return view(a) == view(b) ? 1 : 0; }

std::int32_t string_count(const char* text, const char* substring) {
  const std::string_view haystack = view(text);
  const std::string_view needle = view(substring);
  if (haystack.empty() || needle.empty()) return 0;
  std::int32_t count = 0;
  for (std::size_t at = haystack.find(needle); at != std::string_view::npos;
       at = haystack.find(needle, at + needle.size())) {
    ++count;
  }
  return count;
}

}  // namespace brindax
