// Reading text from file objects, the UTF-8 decoder and API string copies.
#include "runtime/core/text.h"

#include <cstdlib>
#include <cstring>
#include <limits>

#include "runtime/core/heap.h"
#include "runtime/core/os_file.h"
#include "runtime/core/strings.h"

namespace brindax {

namespace {

constexpr std::int32_t kRawBlockStep = 4096;
constexpr std::uint32_t kCarriageReturn = 13;
constexpr std::uint32_t kLineFeed = 10;

// Reads one character of `Unit` bytes; false when fewer bytes arrived.
template <typename Unit>
bool read_unit(FileObject* file, Unit* unit) {
  const auto size = static_cast<std::int32_t>(sizeof(Unit));
  const std::int32_t got = file->buffer != nullptr ? file_read_bytes(file, unit, size)
                                                   : os::read(file->handle, unit, size);
  return got == size;
}

// The collecting loop shared by the 8-bit and the 16-bit reader. The block
// grows by 4096 bytes whenever the next character would leave no room for
// the terminator; when it cannot grow, that character is given back and the
// text read so far is the result.
template <typename Unit>
Unit* read_raw_text(FileObject* file, bool whole, std::int32_t* count) {
  constexpr auto kUnitSize = static_cast<std::int32_t>(sizeof(Unit));
  std::int32_t bytes = kRawBlockStep;
  auto* block = static_cast<Unit*>(main_alloc(static_cast<std::size_t>(bytes), true));
  if (count != nullptr) *count = 0;
  if (block == nullptr) return nullptr;

  std::int32_t stored = 0;
  Unit unit{};
  while (read_unit(file, &unit)) {
    if (unit == 0) break;  // a 0 character ends the text; it is consumed
    if (!whole) {
      if (unit == kLineFeed) break;
      if (unit == kCarriageReturn) {
        Unit next{};
        if (read_unit(file, &next) && next != kLineFeed) file_unread(file, kUnitSize);
        break;
      }
    }
    if ((stored + 1) * kUnitSize >= bytes) {
      void* grown = bytes <= std::numeric_limits<std::int32_t>::max() - kRawBlockStep
                        ? main_realloc(block, static_cast<std::size_t>(bytes + kRawBlockStep), true)
                        : nullptr;
      if (grown == nullptr) {
        file_unread(file, kUnitSize);
        break;
      }
      block = static_cast<Unit*>(grown);
      bytes += kRawBlockStep;
    }
    block[stored++] = unit;
  }
  block[stored] = 0;
  if (count != nullptr) *count = stored;
  return block;
}

// Decoding of one UTF-8 sequence at bytes[at]: the bytes it consumes and
// whether it writes a character (which one is in *out).
struct Step {
  std::int32_t consumed;
  bool writes;
};

bool is_continuation(unsigned char byte) { return byte >= 0x80 && byte <= 0xBF; }

Step utf8_step(const unsigned char* bytes, std::int32_t at, std::int32_t n, unsigned char* out) {
  const unsigned char first = bytes[at];
  const std::int32_t left = n - at;
  if (first <= 0x7F) {
    *out = first;
    return {1, true};
  }
  std::int32_t length = 0;
  if (first >= 0xC0 && first <= 0xDF) {
    length = 2;
  } else if (first >= 0xE0 && first <= 0xEF) {
    length = 3;
  } else if (first >= 0xF0 && first <= 0xF7) {
    length = 4;
  }
  if (length == 0 || left < length) return {1, false};  // stray byte or cut-off sequence

  *out = '?';
  if (length == 2) {
    const unsigned char next = bytes[at + 1];
    if (!is_continuation(next)) return {1, true};
    const unsigned value = ((first & 0x1Fu) << 6) + (next & 0x3Fu);
    if (value < 256) *out = static_cast<unsigned char>(value);
    return {2, true};
  }
  std::int32_t consumed = 1;
  while (consumed < length && is_continuation(bytes[at + consumed])) ++consumed;
  return {consumed, true};
}

}  // namespace

unsigned char* read_raw_text_8bit(FileObject* file, bool whole, std::int32_t* count) {
  if (file == nullptr) return nullptr;
  return read_raw_text<unsigned char>(file, whole, count);
}

std::uint16_t* read_raw_text_utf16(FileObject* file, bool whole, std::int32_t* count) {
  if (file == nullptr) return nullptr;
  return read_raw_text<std::uint16_t>(file, whole, count);
}

char* file_read_string(ObjectId id, std::int32_t flags, std::int32_t offset) {
  FileObject* file = file_lookup(id);
  if (file == nullptr) return string_stack_set_empty(offset);
  const std::int32_t format = flags & 0x1F;
  const bool whole = (flags & READ_WHOLE_TEXT) != 0;
  std::int32_t count = 0;

  if (format == TEXT_FORMAT_UTF16) {
    std::uint16_t* units = read_raw_text_utf16(file, whole, &count);
    if (units == nullptr) return string_stack_set_empty(offset);
    char* result = utf16_to_ansi_on_stack(units, offset);
    main_free(units);
    return result;
  }

  unsigned char* raw = read_raw_text_8bit(file, whole, &count);
  if (raw == nullptr) return string_stack_set_empty(offset);
  char* result;
  if (format == TEXT_FORMAT_UTF8) {
    result = utf8_to_8bit_on_stack(reinterpret_cast<const char*>(raw), offset);
  } else if ((result = string_stack_reserve(count, offset)) != nullptr) {
    std::memcpy(result, raw, static_cast<std::size_t>(count) + 1);
  } else {
    result = string_stack_set_empty(offset);
  }
  main_free(raw);
  return result;
}

std::int32_t utf8_char_count(const unsigned char* bytes, std::int32_t n) {
  std::int32_t characters = 0;
  unsigned char ignored = 0;
  for (std::int32_t at = 0; at < n;) {
    const Step step = utf8_step(bytes, at, n, &ignored);
    characters += step.writes ? 1 : 0;
    at += step.consumed;
  }
  return characters;
}

std::int32_t utf8_decode_to_8bit(unsigned char* destination, const unsigned char* bytes,
                                 std::int32_t n) {
  std::int32_t written = 0;
  for (std::int32_t at = 0; at < n;) {
    unsigned char character = 0;
    const Step step = utf8_step(bytes, at, n, &character);
    if (step.writes) destination[written++] = character;
    at += step.consumed;
  }
  return written;
}

char* utf8_to_8bit_on_stack(const char* text, std::int32_t offset) {
  if (text == nullptr) text = "";
  const std::size_t length = std::strlen(text);
  if (length > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    return string_stack_set_empty(offset);
  }
  const auto n = static_cast<std::int32_t>(length);

  // The text may be a temporary on the stack, which the reservation may move.
  // Decoding never writes ahead of where it reads, so it can run in place as
  // long as the result starts no later than the text; otherwise it works
  // from a copy.
  std::int64_t text_offset = string_stack_offset_of(text);
  unsigned char* copy = nullptr;
  if (text_offset >= 0) {
    if (text_offset < offset) {
      copy = static_cast<unsigned char*>(main_alloc(length + 1, false));
      if (copy == nullptr) return string_stack_set_empty(offset);
      std::memcpy(copy, text, length + 1);
      text_offset = -1;
    }
  }
  const auto* source = copy != nullptr ? copy : reinterpret_cast<const unsigned char*>(text);
  const std::int32_t characters = utf8_char_count(source, n);
  char* destination = string_stack_reserve(characters, offset);
  if (destination == nullptr) {
    main_free(copy);
    return string_stack_set_empty(offset);
  }
  if (text_offset >= 0) {
    source = reinterpret_cast<const unsigned char*>(string_stack_address(
        static_cast<std::int32_t>(text_offset)));
  }
  const std::int32_t written =
      utf8_decode_to_8bit(reinterpret_cast<unsigned char*>(destination), source, n);
  destination[written] = '\0';
  main_free(copy);
  return destination;
}

char* api_string_copy(const char* text) {
  if (text == nullptr) text = "";
  const std::size_t size = std::strlen(text) + 1;
  auto* block = static_cast<char*>(std::malloc(size));
  if (block != nullptr) std::memcpy(block, text, size);
  return block;
}

void api_string_free(char* block) { std::free(block); }

}  // namespace brindax
