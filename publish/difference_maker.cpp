#include "publish/difference_maker.h"

#include <divsufsort.h>
#include <zstd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "updater/difference_delta.h"
#include "updater/release_manifest.h"

namespace brindax::publish {
namespace {

// The streams' compression: zstd's strongest level (it fits its tables to
// each stream's size).
constexpr int kStreamLevel = 22;

struct Triple {
  std::int64_t add = 0;
  std::int64_t extra = 0;
  std::int64_t seek = 0;
};

struct Streams {
  std::vector<Triple> control;
  std::string difference;
  std::string extra;
};

// The old file with its suffixes in sorted order: the longest match of any
// string among the old file's substrings is a binary search away.
class SuffixIndex {
 public:
  explicit SuffixIndex(std::string_view old) : old_(reinterpret_cast<const unsigned char*>(old.data())),
                                               size_(static_cast<std::int64_t>(old.size())) {
    if (size_ == 0) return;
    suffixes_.resize(old.size());
    built_ = divsufsort(old_, suffixes_.data(), static_cast<saidx_t>(size_)) == 0;
  }
  bool built() const { return size_ == 0 || built_; }

  // The longest prefix of `target[0, length)` found in the old file: its
  // length, and in `*pos` where it starts there.
  std::int64_t longest_match(const unsigned char* target, std::int64_t length, std::int64_t* pos) const {
    *pos = 0;
    if (size_ == 0) return 0;
    std::size_t low = 0, high = suffixes_.size() - 1;
    while (high - low >= 2) {
      const std::size_t middle = low + (high - low) / 2;
      const std::int64_t at = suffixes_[middle];
      if (std::memcmp(old_ + at, target, static_cast<std::size_t>(std::min(size_ - at, length))) < 0) {
        low = middle;
      } else {
        high = middle;
      }
    }
    const std::int64_t low_length = common_length(suffixes_[low], target, length);
    const std::int64_t high_length = common_length(suffixes_[high], target, length);
    *pos = low_length > high_length ? suffixes_[low] : suffixes_[high];
    return std::max(low_length, high_length);
  }

 private:
  std::int64_t common_length(std::int64_t at, const unsigned char* target, std::int64_t length) const {
    const std::int64_t most = std::min(size_ - at, length);
    std::int64_t n = 0;
    while (n < most && old_[at + n] == target[n]) ++n;
    return n;
  }

  const unsigned char* old_;
  std::int64_t size_;
  std::vector<saidx_t> suffixes_;
  bool built_ = false;
};

// A match is taken only when it agrees in more than this many bytes more
// than the old file at the current offset does (bsdiff takes 8; a larger
// margin makes fewer, longer approximate matches, which came out smaller on
// rebuilt libraries).
constexpr std::int64_t kMatchMargin = 16;

// An approximate match is extended as far as its agreeing bytes, at 3 each,
// outweigh its differing ones at 2 each (bsdiff weighs them alike): a
// differing byte costs little in the sparse difference stream, an extra
// byte costs a whole byte.
constexpr std::int64_t kAgreeWeight = 3;
constexpr std::int64_t kDifferWeight = 2;

// bsdiff's matching. The new file is scanned for exact matches in the old
// file; a match is taken only when it is clearly better (by more than
// kMatchMargin bytes) than simply continuing with the old file at the
// current offset. Between two taken matches, the stretch after the previous
// match is extended forwards and the stretch before the new one backwards,
// as far as enough of their bytes agree: these approximate matches become
// byte-wise differences with carries (mostly zeros where only addresses
// moved, and one byte per moved address), and what
// lies between them is copied as extra bytes.
void match(std::string_view old_text, std::string_view new_text, const SuffixIndex& index, Streams* out) {
  const auto* old = reinterpret_cast<const unsigned char*>(old_text.data());
  const auto* now = reinterpret_cast<const unsigned char*>(new_text.data());
  const auto old_size = static_cast<std::int64_t>(old_text.size());
  const auto new_size = static_cast<std::int64_t>(new_text.size());
  // Whether the new byte at `at` equals the old one `offset` further on.
  const auto agrees = [&](std::int64_t at, std::int64_t offset) {
    const std::int64_t o = at + offset;
    return o >= 0 && o < old_size && old[o] == now[at];
  };

  std::int64_t scan = 0, length = 0, pos = 0;
  std::int64_t last_scan = 0, last_pos = 0, last_offset = 0;
  while (scan < new_size) {
    // Look for the next match worth taking. `old_score` counts how many
    // bytes of the current match also agree at the previous offset.
    std::int64_t old_score = 0;
    scan += length;
    for (std::int64_t counted = scan; scan < new_size; ++scan) {
      length = index.longest_match(now + scan, new_size - scan, &pos);
      for (; counted < scan + length; ++counted) old_score += agrees(counted, last_offset);
      if ((length == old_score && length != 0) || length > old_score + kMatchMargin) break;
      old_score -= agrees(scan, last_offset);
    }
    if (length == old_score && scan != new_size) continue;  // the previous offset serves as well

    // The weight of a stretch of `length` bytes of which `same` agree.
    const auto weight = [](std::int64_t same, std::int64_t length) {
      return same * kAgreeWeight - (length - same) * kDifferWeight;
    };
    // Forwards from the previous match: the length of the greatest weight.
    std::int64_t forward = 0;
    for (std::int64_t i = 0, same = 0, best = 0; last_scan + i < scan && last_pos + i < old_size;) {
      same += old[last_pos + i] == now[last_scan + i];
      ++i;
      if (weight(same, i) > weight(best, forward)) {
        best = same;
        forward = i;
      }
    }
    // Backwards from the new match, alike.
    std::int64_t backward = 0;
    if (scan < new_size) {
      for (std::int64_t i = 1, same = 0, best = 0; scan >= last_scan + i && pos >= i; ++i) {
        same += old[pos - i] == now[scan - i];
        if (weight(same, i) > weight(best, backward)) {
          best = same;
          backward = i;
        }
      }
    }
    // Where the two extensions overlap, split them where the most bytes
    // agree with their own side.
    if (last_scan + forward > scan - backward) {
      const std::int64_t overlap = (last_scan + forward) - (scan - backward);
      std::int64_t split = 0;
      for (std::int64_t i = 0, score = 0, best = 0; i < overlap; ++i) {
        score += now[last_scan + forward - overlap + i] == old[last_pos + forward - overlap + i];
        score -= now[scan - backward + i] == old[pos - backward + i];
        if (score > best) {
          best = score;
          split = i + 1;
        }
      }
      forward += split - overlap;
      backward -= split;
    }

    int carry = 0;  // each stretch starts without one
    for (std::int64_t i = 0; i < forward; ++i) {
      out->difference += static_cast<char>(difference_byte(old[last_pos + i], now[last_scan + i], &carry));
    }
    const std::int64_t extra = (scan - backward) - (last_scan + forward);
    out->extra.append(new_text.substr(static_cast<std::size_t>(last_scan + forward), static_cast<std::size_t>(extra)));
    const Triple triple{forward, extra, (pos - backward) - (last_pos + forward)};
    if (triple.add == 0 && triple.extra == 0 && !out->control.empty()) {
      out->control.back().seek += triple.seek;  // makes nothing: only a move
    } else {
      out->control.push_back(triple);
    }
    last_scan = scan - backward;
    last_pos = pos - backward;
    last_offset = pos - scan;
  }
}

void put_number(std::string& out, std::uint64_t value) {
  while (value >= 0x80) {
    out += static_cast<char>((value & 0x7F) | 0x80);
    value >>= 7;
  }
  out += static_cast<char>(value);
}

void put_u64(std::string& out, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

// The difference bytes in their sparse form: runs of zeros (gaps) and of
// non-zero bytes (lengths, values) in turn; a count of 255 or more is 255
// in its own stream and the number in `numbers`.
struct Sparse {
  std::string gaps, lengths, numbers, values;
};

void put_count(std::string& stream, std::string& numbers, std::size_t count) {
  if (count < 255) {
    stream += static_cast<char>(count);
  } else {
    stream += static_cast<char>(255);
    put_number(numbers, count);
  }
}

Sparse sparse_form(std::string_view difference) {
  Sparse out;
  std::size_t at = 0;
  while (true) {
    const std::size_t start = difference.find_first_not_of('\0', at);
    if (start == std::string_view::npos) break;  // zeros to the end
    std::size_t end = difference.find('\0', start);
    if (end == std::string_view::npos) end = difference.size();
    put_count(out.gaps, out.numbers, start - at);
    put_count(out.lengths, out.numbers, end - start);
    out.values.append(difference.substr(start, end - start));
    at = end;
  }
  return out;
}

std::optional<std::string> compress(std::string_view data) {
  std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> context(ZSTD_createCCtx(), &ZSTD_freeCCtx);
  // The window: the stream's size, at most what an updater allows.
  int window_log = 10;  // libzstd's smallest
  while (window_log < DIFFERENCE_WINDOW_LOG_MAX && (std::size_t{1} << window_log) < data.size()) ++window_log;
  if (!context || ZSTD_isError(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, kStreamLevel)) ||
      ZSTD_isError(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_windowLog,
                                          window_log)) ||
      ZSTD_isError(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_contentSizeFlag, 1)) ||
      ZSTD_isError(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_checksumFlag, 0))) {
    return std::nullopt;
  }
  std::string frame(ZSTD_compressBound(data.size()), '\0');
  const std::size_t written = ZSTD_compress2(context.get(), frame.data(), frame.size(), data.data(), data.size());
  if (ZSTD_isError(written)) return std::nullopt;
  frame.resize(written);
  return frame;
}

}  // namespace

std::optional<std::string> make_difference_delta(std::string_view base, std::string_view content) {
  if (base.size() > static_cast<std::size_t>(std::numeric_limits<saidx_t>::max())) return std::nullopt;
  try {
    Streams streams;
    {
      const SuffixIndex index(base);  // freed before the streams are compressed
      if (!index.built()) return std::nullopt;
      match(base, content, index, &streams);
    }
    std::string control;
    for (const Triple& triple : streams.control) {
      put_number(control, static_cast<std::uint64_t>(triple.add));
      put_number(control, static_cast<std::uint64_t>(triple.extra));
      // Zigzag: a move forward by n is 2n, back by n is 2n - 1.
      put_number(control, (static_cast<std::uint64_t>(triple.seek) << 1) ^
                              static_cast<std::uint64_t>(triple.seek >> 63));
    }
    std::vector<Triple>().swap(streams.control);
    if (control.size() > difference_control_limit(content.size())) return std::nullopt;
    const Sparse sparse = sparse_form(streams.difference);
    std::string().swap(streams.difference);
    std::string delta(DIFFERENCE_MAGIC);
    std::string frames;
    for (const std::string* stream : std::initializer_list<const std::string*>{
             &control, &sparse.gaps, &sparse.lengths, &sparse.numbers, &sparse.values, &streams.extra}) {
      const std::optional<std::string> frame = compress(*stream);
      if (!frame) return std::nullopt;
      put_u64(delta, frame->size());
      frames += *frame;
    }
    return delta + frames;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

std::optional<std::string> apply_difference_delta(std::string_view base, std::string_view delta,
                                                  std::uint64_t size) {
  std::string content;
  if (size > DELTA_MAX_FILE_BYTES) return std::nullopt;
  content.reserve(static_cast<std::size_t>(size));
  const DifferenceResult result = apply_difference(
      reinterpret_cast<const unsigned char*>(base.data()), base.size(), delta, size,
      [&](const unsigned char* data, std::size_t n) {
        content.append(reinterpret_cast<const char*>(data), n);
        return true;
      });
  if (result != DifferenceResult::rebuilt) return std::nullopt;
  return content;
}

}  // namespace brindax::publish
