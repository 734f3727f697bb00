// Turning bytes into runtime strings: reading text from file objects, the
// UTF-8 decoder (one byte per character, "?" above U+00FF), UTF-16 to ANSI, and
// private copies of runtime strings for system calls.
#pragma once

#include <cstdint>

#include "runtime/core/file.h"
#include "runtime/core/types.h"

namespace brindax {

inline constexpr std::int32_t TEXT_FORMAT_UTF8 = 2;
inline constexpr std::int32_t TEXT_FORMAT_UTF16 = 25;
inline constexpr std::int32_t READ_WHOLE_TEXT = 0x10000;

// Producing operation: a line, or with READ_WHOLE_TEXT the rest of the file.
char* file_read_string(ObjectId file, std::int32_t flags, std::int32_t offset);

// Collecting loops; the block (from the main heap) is terminated and `count`
// holds the bytes or units before the terminator. Null when out of memory.
unsigned char* read_raw_text_8bit(FileObject* file, bool whole, std::int32_t* count);
std::uint16_t* read_raw_text_utf16(FileObject* file, bool whole, std::int32_t* count);

char* utf8_to_8bit_on_stack(const char* text, std::int32_t offset);
char* utf16_to_ansi_on_stack(const std::uint16_t* units, std::int32_t offset);
std::int32_t utf8_char_count(const unsigned char* bytes, std::int32_t n);
std::int32_t utf8_decode_to_8bit(unsigned char* destination, const unsigned char* bytes,
                                 std::int32_t n);

// A malloc'd copy of a runtime string (null reads as empty), freed with
// api_string_free.
char* api_string_copy(const char* text);
void api_string_free(char* block);

}  // namespace brindax
