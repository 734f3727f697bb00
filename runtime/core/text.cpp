// Reading text from file objects, the UTF-8 decoder and API string copies.
#include "runtime/core/text.h"

#include <algorithm>
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

// Rounds a wanted size up to the next multiple of 4096 bytes and to at least
// twice the current size, so that a long text costs a logarithmic number of
// reallocations; 0 when no int32 size can hold `needed`.
std::int32_t next_block_size(std::int32_t current, std::int64_t needed) {
  std::int64_t size = std::max<std::int64_t>(needed, std::int64_t{current} * 2);
  size = (size + kRawBlockStep - 1) / kRawBlockStep * kRawBlockStep;
  if (size > std::numeric_limits<std::int32_t>::max()) {
    size = std::int64_t{std::numeric_limits<std::int32_t>::max()} / kRawBlockStep * kRawBlockStep;
    if (size < needed) return 0;
  }
  return static_cast<std::int32_t>(size);
}

// Where the collecting loop puts characters: a raw block from the main heap
// (its added parts zero-filled), ...
template <typename Unit>
class HeapBlock {
 public:
  bool start() {
    data_ = static_cast<Unit*>(main_alloc(static_cast<std::size_t>(kRawBlockStep), true));
    bytes_ = data_ != nullptr ? kRawBlockStep : 0;
    return data_ != nullptr;
  }
  // Makes room for `needed` bytes; false when the block cannot grow.
  bool ensure(std::int64_t needed) {
    if (needed <= bytes_) return true;
    const std::int32_t size = next_block_size(bytes_, needed);
    void* grown = size != 0 ? main_realloc(data_, static_cast<std::size_t>(size), true) : nullptr;
    if (grown == nullptr) return false;
    data_ = static_cast<Unit*>(grown);
    bytes_ = size;
    return true;
  }
  Unit* data() const { return data_; }
  std::int32_t bytes() const { return bytes_; }

 private:
  Unit* data_ = nullptr;
  std::int32_t bytes_ = 0;
};

// ... or, for 8-bit text that becomes a runtime string as it is, the string
// stack at the result's offset, which saves copying the text once more.
class StackBlock {
 public:
  explicit StackBlock(std::int32_t offset) : offset_(offset) {}
  bool start() { return ensure(kRawBlockStep); }
  bool ensure(std::int64_t needed) {
    if (needed <= bytes_) return true;
    const std::int32_t size = next_block_size(bytes_, needed);
    string_stack_set_position(offset_);  // growth is measured from the result
    if (size == 0 || string_stack_reserve(size - 1, offset_) == nullptr) return false;
    bytes_ = size;
    return true;
  }
  unsigned char* data() const { return reinterpret_cast<unsigned char*>(string_stack_address(offset_)); }
  std::int32_t bytes() const { return bytes_; }
  // Ends the text after `count` characters: terminator and stack position.
  char* finish(std::int32_t count) {
    string_stack_set_position(offset_);
    char* text = string_stack_reserve(count, offset_);  // fits: no growth
    if (text == nullptr) return string_stack_set_empty(offset_);
    text[count] = 0;
    return text;
  }

 private:
  std::int32_t offset_;
  std::int32_t bytes_ = 0;
};

// Whole 8-bit text from a buffered file: the bytes waiting in the buffer are
// taken as one run up to the first 0 byte, which ends the text and is
// consumed. The same bytes as one character at a time, without the per-byte
// calls. Returns true when the text ended (0 byte) or the block cannot grow.
template <typename Block>
bool take_buffered_run(FileObject* file, Block& block, std::int32_t* stored) {
  const unsigned char* run = file->buffer + (file->filled - file->available);
  const void* zero = std::memchr(run, 0, static_cast<std::size_t>(file->available));
  auto take = static_cast<std::int32_t>(zero ? static_cast<const unsigned char*>(zero) - run
                                             : file->available);
  bool full = false;
  if (!block.ensure(std::int64_t{*stored} + take + 1)) {
    take = block.bytes() - 1 - *stored;  // what fits; the rest stays for a later read
    full = true;
  }
  std::memcpy(block.data() + *stored, run, static_cast<std::size_t>(take));
  *stored += take;
  file->available -= take;
  if (full) return true;
  if (zero != nullptr) {
    file->available -= 1;
    return true;
  }
  return false;
}

// Whole 8-bit text once the buffer is drained: reads of up to 64 KiB go
// straight into the block. A 0 byte ends the text; the bytes read behind it
// are given back to the file, so that the next read starts right after it.
enum class DirectRun { more, ended, unavailable };

template <typename Block>
DirectRun take_direct_run(FileObject* file, Block& block, std::int32_t* stored) {
  constexpr std::int32_t kRun = 65536;
  if (!block.ensure(std::int64_t{*stored} + kRun + 1)) {
    return DirectRun::unavailable;  // the character loop copes with a full block
  }
  unsigned char* run = block.data() + *stored;
  const std::int32_t got = os::read(file->handle, run, kRun);
  if (got <= 0) return DirectRun::ended;
  const void* zero = std::memchr(run, 0, static_cast<std::size_t>(got));
  if (zero == nullptr) {
    *stored += got;
    return DirectRun::more;
  }
  const auto text = static_cast<std::int32_t>(static_cast<const unsigned char*>(zero) - run);
  *stored += text;
  os::seek_relative(file->handle, -(got - text - 1));
  return DirectRun::ended;
}

// The collecting loop shared by the 8-bit and the 16-bit reader. When the
// next character would leave no room for the terminator the block grows;
// when it cannot grow, that character is given back and the text read so far
// is the result. Returns the count of characters stored (no terminator yet).
template <typename Unit, typename Block>
std::int32_t collect_text(FileObject* file, bool whole, Block& block) {
  constexpr auto kUnitSize = static_cast<std::int32_t>(sizeof(Unit));
  std::int32_t stored = 0;
  Unit unit{};
  for (;;) {
    if constexpr (sizeof(Unit) == 1) {
      if (whole && file->buffer != nullptr && file->direction == 1) {
        if (file->available > 0) {
          if (take_buffered_run(file, block, &stored)) break;
          continue;
        }
        const DirectRun direct = take_direct_run(file, block, &stored);
        if (direct == DirectRun::ended) break;
        if (direct == DirectRun::more) continue;
      }
    }
    if (!read_unit(file, &unit)) break;
    if (unit == 0) break;  // a 0 character ends the text; it is consumed
    if (!whole) {
      if (unit == kLineFeed) break;
      if (unit == kCarriageReturn) {
        Unit next{};
        if (read_unit(file, &next) && next != kLineFeed) file_unread(file, kUnitSize);
        break;
      }
    }
    if (!block.ensure((std::int64_t{stored} + 2) * kUnitSize)) {
      file_unread(file, kUnitSize);
      break;
    }
    reinterpret_cast<Unit*>(block.data())[stored++] = unit;
  }
  return stored;
}

template <typename Unit>
Unit* read_raw_text(FileObject* file, bool whole, std::int32_t* count) {
  if (count != nullptr) *count = 0;
  HeapBlock<Unit> block;
  if (!block.start()) return nullptr;
  const std::int32_t stored = collect_text<Unit>(file, whole, block);
  block.data()[stored] = 0;
  if (count != nullptr) *count = stored;
  return block.data();
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

  if (format == TEXT_FORMAT_UTF8) {
    unsigned char* raw = read_raw_text_8bit(file, whole, &count);
    if (raw == nullptr) return string_stack_set_empty(offset);
    char* result = utf8_to_8bit_on_stack(reinterpret_cast<const char*>(raw), offset);
    main_free(raw);
    return result;
  }
  // 8-bit text is the runtime string as it stands: collected in place.
  StackBlock block(offset);
  if (!block.start()) return string_stack_set_empty(offset);
  count = collect_text<unsigned char>(file, whole, block);
  return block.finish(count);
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
