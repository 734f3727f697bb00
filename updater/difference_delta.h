// The "difference" kind of binary delta: bsdiff's method in a format of our
// own, with zstd as the entropy coder. Rebuilt binaries move code and data by
// a few bytes and so change most addresses a little; a byte-wise difference
// against an approximately matching stretch of the old file is mostly zeros
// and compresses far better than a list of exact-match references.
//
// A delta is a header and six zstd frames, one per stream, back to back:
//
//   8 bytes      "BXDIFF2\n" (or "BXDIFF1\n", the earlier form: see "add")
//   6 x 8 bytes  the frames' lengths (little-endian), in the order below
//   ...          the frames, exactly filling the rest
//
// Each frame announces its content size and needs a window of at most
// 2^DIFFERENCE_WINDOW_LOG_MAX bytes. The streams:
//   control  triples of LEB128 numbers (at most 10 bytes each):
//              add    bytes built from the old file, read on from the current
//                     old position, and the difference bytes: each new byte is
//                     old byte + difference byte + carry (mod 256), where the
//                     difference byte counts as signed (-128..127) and the
//                     carry is what the previous byte of the same stretch
//                     carried over: -1 below 0, +1 above 255, else 0 (0 at a
//                     stretch's first byte). A moved address then differs in
//                     its low byte only, whatever borrow the old value needed.
//                     (The "BXDIFF1" form carries nothing.)
//              extra  bytes copied from the extra stream;
//              seek   zigzag-coded signed move of the old position after both;
//   gaps, lengths, numbers, values
//            the difference bytes of all "add" stretches one after another,
//            in a sparse form (where only addresses moved they are mostly
//            zeros): in turn a run of zeros, as long as the next gap, and a
//            run of bytes of the values stream, as long as the next length
//            (never 0); a gap or length is one byte, or 255 and then a
//            LEB128 number from the numbers stream. After the last gap,
//            zeros to the end;
//   extra    the bytes copied as they are.
// Each "add" stretch lies wholly in the old file, and the old position
// stays within [0, old size]. Every stream is used up exactly and the
// result is exactly the new file's size; the control stream is at most
// difference_control_limit(new size) bytes (which also bounds the number of
// triples) and every other stream at most the new file's size. Anything
// else is a damaged delta.
//
// Applying streams: each frame is decompressed a block at a time, so memory
// is the six decoders' windows (at most 8 MiB each) and a few blocks, never
// a copy of the old file or of the whole result.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

namespace brindax {

inline constexpr std::string_view DIFFERENCE_MAGIC{"BXDIFF2\n", 8};
inline constexpr std::string_view DIFFERENCE_MAGIC_NO_CARRY{"BXDIFF1\n", 8};  // still read
inline constexpr std::size_t DIFFERENCE_HEADER_BYTES = 8 + 6 * 8;
inline constexpr int DIFFERENCE_WINDOW_LOG_MAX = 23;

// The most control bytes a delta for a new file of `size` bytes may hold.
constexpr std::uint64_t difference_control_limit(std::uint64_t size) { return size / 8 + 4096; }

// The difference byte that rebuilds `now` from `old` under `*carry`, which
// it then moves on to the next byte's (the publisher's side of "add").
inline unsigned char difference_byte(unsigned char old, unsigned char now, int* carry) {
  const auto difference = static_cast<unsigned char>(now - old - *carry);
  const int sum = old + static_cast<signed char>(difference) + *carry;
  *carry = sum < 0 ? -1 : (sum > 255 ? 1 : 0);
  return difference;
}

enum class DifferenceResult : std::uint8_t { rebuilt, damaged, sink_refused };

// Gives the new file's bytes, in order, to `sink` (false from the sink stops
// with sink_refused). `rebuilt` only when the delta is sound and made
// exactly `size` bytes; after `damaged` the bytes already given are of no use.
using DifferenceSink = std::function<bool(const unsigned char* data, std::size_t size)>;
DifferenceResult apply_difference(const unsigned char* old_data, std::uint64_t old_size,
                                  std::string_view delta, std::uint64_t size, const DifferenceSink& sink);

}  // namespace brindax
