// The "difference" kind of binary delta: bsdiff's method in a format of our
// own, with zstd as the entropy coder. Rebuilt binaries move code and data by
// a few bytes and so change most addresses a little; a byte-wise difference
// against an approximately matching stretch of the old file is mostly zeros
// and compresses far better than a list of exact-match references.
//
// A delta is a header and three zstd frames, one per stream, back to back
// (all numbers in the header little-endian):
//
//   8 bytes   "BXDIFF1\n"
//   8 bytes   length of the control frame
//   8 bytes   length of the difference frame
//   8 bytes   length of the extra frame
//   ...       the three frames, exactly filling the rest
//
// Each frame announces its content size. The control stream is a sequence
// of triples of LEB128 numbers (at most 10 bytes each):
//   add    bytes built as old byte + difference byte (mod 256), reading the
//          old file on from the current old position;
//   extra  bytes copied from the extra stream;
//   seek   zigzag-coded signed move of the old position after both.
// Each "add" stretch lies wholly in the old file, and the old position
// stays within [0, old size]. The difference and extra streams are used up
// exactly, and together are the new file's size; the control stream is at
// most difference_control_limit(new size) bytes, which also bounds the
// number of triples. Anything else is a damaged delta.
//
// Applying streams: each frame is decompressed a block at a time, so memory
// is the three decoders' windows (bounded by the streams' sizes) and a few
// blocks, never a copy of the old file or of the whole result.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

namespace brindax {

inline constexpr std::string_view DIFFERENCE_MAGIC{"BXDIFF1\n", 8};
inline constexpr std::size_t DIFFERENCE_HEADER_BYTES = 32;

// The most control bytes a delta for a new file of `size` bytes may hold.
constexpr std::uint64_t difference_control_limit(std::uint64_t size) { return size / 8 + 4096; }

enum class DifferenceResult : std::uint8_t { rebuilt, damaged, sink_refused };

// Gives the new file's bytes, in order, to `sink` (false from the sink stops
// with sink_refused). `rebuilt` only when the delta is sound and made
// exactly `size` bytes; after `damaged` the bytes already given are of no use.
using DifferenceSink = std::function<bool(const unsigned char* data, std::size_t size)>;
DifferenceResult apply_difference(const unsigned char* old_data, std::uint64_t old_size,
                                  std::string_view delta, std::uint64_t size, const DifferenceSink& sink);

}  // namespace brindax
