// Making "difference" deltas (updater/difference_delta.h describes the
// format): bsdiff's approximate matching over a suffix array of the old file
// (libdivsufsort), its three streams compressed with zstd. Pure functions
// over bytes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace brindax::publish {

// The delta that rebuilds `content` from `base`; nullopt when memory runs
// out or the control stream would exceed what an updater accepts. Memory:
// about five bytes per byte of `base` while matching, then the streams and
// zstd's tables.
std::optional<std::string> make_difference_delta(std::string_view base, std::string_view content);

// `content` rebuilt from `base` and a difference delta; nullopt unless the
// delta is sound and makes exactly `size` bytes.
std::optional<std::string> apply_difference_delta(std::string_view base, std::string_view delta,
                                                  std::uint64_t size);

}  // namespace brindax::publish
