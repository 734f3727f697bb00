// Latin-1 <-> UTF-8, used by the POSIX side of the file seam for file names.
#include "runtime/core/encoding.h"

#include <cstdint>

namespace brindax {

namespace {

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Length and code point of a well-formed UTF-8 sequence at `at`, or 0 when
// the bytes there are not one (overlong forms and surrogates included).
std::size_t decode_sequence(std::string_view text, std::size_t at, std::uint32_t* code_point) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
  const unsigned char first = byte(0);
  std::size_t length = 0;
  std::uint32_t value = 0;
  std::uint32_t minimum = 0;
  if (first >= 0xC2 && first <= 0xDF) {
    length = 2, value = first & 0x1F, minimum = 0x80;
  } else if (first >= 0xE0 && first <= 0xEF) {
    length = 3, value = first & 0x0F, minimum = 0x800;
  } else if (first >= 0xF0 && first <= 0xF4) {
    length = 4, value = first & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if (!is_continuation(byte(i))) return 0;
    value = (value << 6) | (byte(i) & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *code_point = value;
  return length;
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    if (static_cast<unsigned char>(text[at]) < 0x80) {
      ++at;
      continue;
    }
    std::uint32_t code_point = 0;
    const std::size_t length = decode_sequence(text, at, &code_point);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

// The readable form of a name that is no well-formed UTF-8: ASCII as it is,
// "?" for every other byte.
std::string ascii_with_question_marks(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (static_cast<unsigned char>(c) >= 0x80) c = '?';
  }
  return result;
}

std::string latin1_to_utf8(std::string_view latin1) {
  std::string result;
  result.reserve(latin1.size());
  for (const char c : latin1) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      result += c;
    } else {
      result += static_cast<char>(0xC0 | (byte >> 6));
      result += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return result;
}

std::string utf8_to_latin1(std::string_view utf8, char replacement) {
  std::string result;
  result.reserve(utf8.size());
  for (std::size_t at = 0; at < utf8.size();) {
    std::uint32_t code_point = 0;
    const std::size_t length = decode_sequence(utf8, at, &code_point);
    if (length == 0) {
      result += utf8[at];  // ASCII, or a byte that starts no sequence: as it is
      ++at;
      continue;
    }
    result += code_point <= 0xFF ? static_cast<char>(code_point) : replacement;
    at += length;
  }
  return result;
}

}  // namespace brindax
