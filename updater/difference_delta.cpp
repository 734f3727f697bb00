#include "updater/difference_delta.h"

#include <zstd.h>

#include <algorithm>
#include <array>
#include <memory>
#include <vector>

namespace brindax {
namespace {

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
    if (!context_ || ZSTD_isError(ZSTD_DCtx_setParameter(context_.get(), ZSTD_d_windowLogMax,
                                                          window_log_for(announced)))) {
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

}  // namespace

DifferenceResult apply_difference(const unsigned char* old_data, std::uint64_t old_size,
                                  std::string_view delta, std::uint64_t size, const DifferenceSink& sink) {
  using enum DifferenceResult;
  if (delta.size() < DIFFERENCE_HEADER_BYTES || delta.substr(0, DIFFERENCE_MAGIC.size()) != DIFFERENCE_MAGIC) {
    return damaged;
  }
  std::array<std::uint64_t, 3> lengths{};
  std::uint64_t rest = delta.size() - DIFFERENCE_HEADER_BYTES;
  for (std::size_t i = 0; i < 3; ++i) {
    lengths[i] = little_endian_u64(delta.data() + 8 + 8 * i);
    if (lengths[i] > rest) return damaged;
    rest -= lengths[i];
  }
  if (rest != 0) return damaged;

  FrameReader control, difference, extra;
  std::uint64_t control_size = 0, difference_size = 0, extra_size = 0;
  std::string_view frames = delta.substr(DIFFERENCE_HEADER_BYTES);
  if (!control.open(frames.substr(0, lengths[0]), &control_size) ||
      !difference.open(frames.substr(lengths[0], lengths[1]), &difference_size) ||
      !extra.open(frames.substr(lengths[0] + lengths[1]), &extra_size) ||
      control_size > difference_control_limit(size) || difference_size > size ||
      extra_size != size - difference_size) {
    return damaged;
  }

  std::vector<unsigned char> block(ZSTD_DStreamOutSize());
  std::uint64_t made = 0, old_pos = 0;
  while (made < size) {
    std::uint64_t add = 0, copy = 0, seek = 0;
    if (!read_number(control, &add) || !read_number(control, &copy) || !read_number(control, &seek)) {
      return damaged;
    }
    if (add > size - made || add > old_size - old_pos) return damaged;
    for (std::uint64_t left = add; left > 0;) {
      const unsigned char* data = nullptr;
      const std::size_t n = difference.next(static_cast<std::size_t>(std::min<std::uint64_t>(left, block.size())), &data);
      if (n == 0) return damaged;
      for (std::size_t i = 0; i < n; ++i) block[i] = static_cast<unsigned char>(data[i] + old_data[old_pos + i]);
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
