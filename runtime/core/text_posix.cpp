// UTF-16 to 8-bit text where the system has no ANSI code page: Latin-1, with
// "?" for every character above U+00FF (a surrogate pair is one character).
#include "runtime/core/strings.h"
#include "runtime/core/text.h"

namespace brindax {

namespace {

bool is_high_surrogate(std::uint16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(std::uint16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Calls `emit` with each character's Latin-1 byte.
template <typename Emit>
void for_each_character(const std::uint16_t* units, Emit emit) {
  for (std::size_t at = 0; units[at] != 0; ++at) {
    if (is_high_surrogate(units[at]) && is_low_surrogate(units[at + 1])) ++at;
    emit(units[at] <= 0xFF ? static_cast<char>(units[at]) : '?');
  }
}

}  // namespace

char* utf16_to_ansi_on_stack(const std::uint16_t* units, std::int32_t offset) {
  static const std::uint16_t kEmpty[1] = {0};
  if (units == nullptr) units = kEmpty;
  std::int32_t length = 0;
  for_each_character(units, [&](char) { ++length; });
  char* destination = string_stack_reserve(length, offset);
  if (destination == nullptr) return string_stack_set_empty(offset);
  char* out = destination;
  for_each_character(units, [&](char c) { *out++ = c; });
  *out = '\0';
  return destination;
}

}  // namespace brindax
