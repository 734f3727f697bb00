#include "updater/difference_delta.h"

#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace brindax {
namespace {

constexpr std::size_t kStreams = 6;

std::uint64_t little_endian_u64(const char* bytes) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
  return value;
}

// The window log a decoder needs for a frame of `bytes` content: the
// publisher's compressor shrinks its window to the content.
int window_log_for(std::uint64_t bytes) {
  int log = 10;  // libzstd's smallest window
  while (log < 31 && (std::uint64_t{1} << log) < bytes) ++log;
  return log;
}

struct DContextFree {
  void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

// One stream of the delta, decompressed a block at a time.
class FrameReader {
 public:
  // False unless `frame` is exactly one zstd frame announcing its content
  // size, which is then `*content_size`.
  bool open(std::string_view frame, std::uint64_t* content_size) {
    const unsigned long long announced = ZSTD_getFrameContentSize(frame.data(), frame.size());
    if (announced == ZSTD_CONTENTSIZE_ERROR || announced == ZSTD_CONTENTSIZE_UNKNOWN ||
        ZSTD_findFrameCompressedSize(frame.data(), frame.size()) != frame.size()) {
      return false;
    }
    context_.reset(ZSTD_createDCtx());
    const int window_log = std::min(window_log_for(announced), DIFFERENCE_WINDOW_LOG_MAX);
    if (!context_ || ZSTD_isError(ZSTD_DCtx_setParameter(context_.get(), ZSTD_d_windowLogMax, window_log))) {
      return false;
    }
    in_ = ZSTD_inBuffer{frame.data(), frame.size(), 0};
    block_.resize(ZSTD_DStreamOutSize());
    *content_size = announced;
    return true;
  }

  // Up to `wanted` bytes of the stream, at least one: `*data` points at
  // them until the next call. 0 at the end of the frame or when it is damaged.
  std::size_t next(std::size_t wanted, const unsigned char** data) {
    if (pos_ == end_ && !refill()) return 0;
    const std::size_t n = std::min(wanted, end_ - pos_);
    *data = block_.data() + pos_;
    pos_ += n;
    return n;
  }

  bool byte(unsigned char* value) {
    const unsigned char* data = nullptr;
    if (next(1, &data) != 1) return false;
    *value = *data;
    return true;
  }

  // Whether every byte has been taken and the frame is complete (zstd checks
  // the announced content size against what it decoded).
  bool used_up() {
    if (pos_ < end_ || (!done_ && refill())) return false;
    return done_ && in_.pos == in_.size;
  }

 private:
  bool refill() {
    pos_ = end_ = 0;
    while (!done_ && !damaged_) {
      ZSTD_outBuffer out{block_.data(), block_.size(), 0};
      const std::size_t left = ZSTD_decompressStream(context_.get(), &out, &in_);
      if (ZSTD_isError(left)) {
        damaged_ = true;
        break;
      }
      done_ = left == 0;
      end_ = out.pos;
      if (end_ > 0) return true;
      if (!done_ && in_.pos == in_.size) damaged_ = true;  // cut short
    }
    return false;
  }

  std::unique_ptr<ZSTD_DCtx, DContextFree> context_;
  ZSTD_inBuffer in_{};
  std::vector<unsigned char> block_;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  bool done_ = false;
  bool damaged_ = false;
};

// One LEB128 number of the control stream (at most 64 bits).
bool read_number(FrameReader& control, std::uint64_t* value) {
  *value = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    unsigned char byte = 0;
    if (!control.byte(&byte)) return false;
    const std::uint64_t bits = byte & 0x7F;
    if (shift == 63 && bits > 1) return false;  // beyond 64 bits
    *value |= bits << shift;
    if ((byte & 0x80) == 0) return true;
  }
  return false;
}

// The difference bytes, rebuilt from their sparse form: runs of zeros and
// runs of non-zero bytes taken in turn.
class DifferenceBytes {
 public:
  FrameReader gaps, lengths, numbers, values;

  // The next `wanted` (at least one) difference bytes into `out`, or false
  // when the streams are damaged.
  bool next(std::size_t wanted, unsigned char* out) {
    while (wanted > 0) {
      while (zeros_ == 0 && nonzero_ == 0) {
        if (gaps.used_up()) {
          tail_ = true;  // after the last run of non-zero bytes: zeros to the end
          zeros_ = UINT64_MAX;
        } else if (!count(gaps, &zeros_) || !count(lengths, &nonzero_) || nonzero_ == 0) {
          return false;
        }
      }
      if (zeros_ > 0) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(zeros_, wanted));
        std::fill_n(out, n, 0);
        zeros_ -= n;
        out += n;
        wanted -= n;
        continue;
      }
      const unsigned char* data = nullptr;
      const std::size_t n = values.next(static_cast<std::size_t>(std::min<std::uint64_t>(nonzero_, wanted)), &data);
      if (n == 0) return false;
      std::copy_n(data, n, out);
      nonzero_ -= n;
      out += n;
      wanted -= n;
    }
    return true;
  }

  // Whether every run given was used up, and every stream.
  bool used_up() {
    return (zeros_ == 0 || tail_) && nonzero_ == 0 && gaps.used_up() && lengths.used_up() &&
           numbers.used_up() && values.used_up();
  }

 private:
  // A gap or a length: one byte, or 255 and a number of the numbers' stream.
  bool count(FrameReader& stream, std::uint64_t* value) {
    unsigned char byte = 0;
    if (!stream.byte(&byte)) return false;
    *value = byte;
    return byte < 255 || read_number(numbers, value);
  }

  std::uint64_t zeros_ = 0;
  std::uint64_t nonzero_ = 0;
  bool tail_ = false;
};

// Turns the difference bytes `bytes[0, n)` into new bytes, against the old
// bytes `old[0, n)`, under and on with `*carry`. Where nothing is carried,
// runs of zero differences (most bytes) are the old bytes as they are.
void add_with_carry(const unsigned char* old, unsigned char* bytes, std::size_t n, int* carry) {
  std::size_t i = 0;
  while (i < n) {
    if (*carry == 0) {
      std::size_t end = i;
      for (std::uint64_t word = 0; end + 8 <= n; end += 8) {
        std::memcpy(&word, bytes + end, 8);
        if (word != 0) break;
      }
      while (end < n && bytes[end] == 0) ++end;
      std::memcpy(bytes + i, old + i, end - i);
      if (end == n) return;
      i = end;
    }
    const int sum = old[i] + static_cast<signed char>(bytes[i]) + *carry;
    bytes[i] = static_cast<unsigned char>(sum);
    *carry = sum < 0 ? -1 : (sum > 255 ? 1 : 0);
    ++i;
  }
}

}  // namespace

DifferenceResult apply_difference(const unsigned char* old_data, std::uint64_t old_size,
                                  std::string_view delta, std::uint64_t size, const DifferenceSink& sink) {
  using enum DifferenceResult;
  if (delta.size() < DIFFERENCE_HEADER_BYTES) return damaged;
  const std::string_view magic = delta.substr(0, DIFFERENCE_MAGIC.size());
  const bool carries = magic == DIFFERENCE_MAGIC;
  if (!carries && magic != DIFFERENCE_MAGIC_NO_CARRY) return damaged;
  FrameReader control, extra;
  DifferenceBytes difference;
  FrameReader* const streams[kStreams] = {&control,           &difference.gaps,   &difference.lengths,
                                          &difference.numbers, &difference.values, &extra};
  std::string_view frames = delta.substr(DIFFERENCE_HEADER_BYTES);
  for (std::size_t i = 0; i < kStreams; ++i) {
    const std::uint64_t length = little_endian_u64(delta.data() + DIFFERENCE_MAGIC.size() + 8 * i);
    std::uint64_t content = 0;
    if (length > frames.size() || !streams[i]->open(frames.substr(0, static_cast<std::size_t>(length)), &content) ||
        content > (i == 0 ? difference_control_limit(size) : size)) {
      return damaged;
    }
    frames.remove_prefix(static_cast<std::size_t>(length));
  }
  if (!frames.empty()) return damaged;

  std::vector<unsigned char> block(ZSTD_DStreamOutSize());
  std::uint64_t made = 0, old_pos = 0;
  while (made < size) {
    std::uint64_t add = 0, copy = 0, seek = 0;
    if (!read_number(control, &add) || !read_number(control, &copy) || !read_number(control, &seek)) {
      return damaged;
    }
    if (add > size - made || add > old_size - old_pos) return damaged;
    int carry = 0;
    for (std::uint64_t left = add; left > 0;) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, block.size()));
      if (!difference.next(n, block.data())) return damaged;
      if (carries) {
        add_with_carry(old_data + old_pos, block.data(), n, &carry);
      } else {
        for (std::size_t i = 0; i < n; ++i) block[i] = static_cast<unsigned char>(block[i] + old_data[old_pos + i]);
      }
      if (!sink(block.data(), n)) return sink_refused;
      old_pos += n;
      made += n;
      left -= n;
    }
    if (copy > size - made) return damaged;
    for (std::uint64_t left = copy; left > 0;) {
      const unsigned char* data = nullptr;
      const std::size_t n = extra.next(static_cast<std::size_t>(std::min<std::uint64_t>(left, block.size())), &data);
      if (n == 0) return damaged;
      if (!sink(data, n)) return sink_refused;
      made += n;
      left -= n;
    }
    // Zigzag: even numbers move forward, odd ones back.
    if ((seek & 1) == 0) {
      if ((seek >> 1) > old_size - old_pos) return damaged;
      old_pos += seek >> 1;
    } else {
      const std::uint64_t back = (seek >> 1) + 1;
      if (back > old_pos) return damaged;
      old_pos -= back;
    }
  }
  if (!control.used_up() || !difference.used_up() || !extra.used_up()) return damaged;
  return rebuilt;
}

}  // namespace brindax
