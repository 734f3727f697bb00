// Binary deltas between releases: a file of the new release compressed as
// one zstd frame with the same file of an earlier release as its prefix (or
// alone, for a file new since then), at the strongest level with
// long-distance matching and a window that covers both files. Pure
// functions over bytes; release_manifest.h says how frames are served.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "updater/release_manifest.h"

namespace brindax::publish {

// The frame that rebuilds `content` from `base` (empty: from nothing).
// Empty when libzstd fails (out of memory).
std::string make_delta_frame(std::string_view base, std::string_view content);

// `content` rebuilt from `base` and `frame`; nullopt unless the frame is one
// whole frame that decodes to exactly `size` bytes.
std::optional<std::string> apply_delta_frame(std::string_view base, std::string_view frame,
                                             std::uint64_t size);

// Makes the difference delta of `content` from `base` too and, when it is
// smaller than `*bytes` (a zstd frame of the same), puts it there and sets
// `*kind` to difference. A difference delta that cannot be made (out of
// memory, a control stream over the updater's bound) leaves the frame.
void take_smaller_difference(std::string_view base, std::string_view content, DeltaKind* kind,
                             std::string* bytes);

// Whether a frame is offered for an entry of `compressed_size` bytes in the
// package, whose local header and name take `header_size` more: a delta
// from an earlier file when it saves at least a tenth of the entry (less
// would not pay for its line in the manifest and the risk of a fallback);
// a whole file compressed alone (new since that release, or changed with no
// delta worth it) when it is smaller at all than what fetching the entry
// moves, as it rides in the delta file and saves a download of its own.
bool delta_is_worth_it(bool from_nothing, std::uint64_t frame_size, std::uint64_t compressed_size,
                       std::uint64_t header_size);

}  // namespace brindax::publish
