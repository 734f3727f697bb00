// Applying a binary delta: one zstd frame made with the old file as its
// reference prefix. The installed file is mapped read-only, never read into
// the heap; the result is written out as it is decompressed and hashed on
// the way, and counts only when it has exactly the size and digest the
// manifest gives.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "updater/release_manifest.h"

namespace brindax {

// Deltas are applied to files up to this size (old and new alike): the old
// file is mapped and the decoder keeps a window as large as the new one,
// which must fit the address space of a 32-bit process.
inline constexpr std::uint64_t DELTA_MAX_FILE_SIZE = std::uint64_t{256} << 20;
// Files larger than this are patched one at a time, after the others.
inline constexpr std::uint64_t DELTA_LARGE_FILE_SIZE = std::uint64_t{32} << 20;

enum class DeltaOutcome : std::uint8_t {
  applied,
  no_base,       // the installed file is not there or cannot be mapped
  too_large,     // old or new file beyond DELTA_MAX_FILE_SIZE
  corrupt,       // not one whole zstd frame, or more bytes than announced
  other_content, // the result's size or digest is not the manifest's
  write_failed,
};

// Decompresses `frame` with the file `base` (null: a delta from nothing) as
// its reference into `output` (created, or emptied). Anything but `applied`
// leaves `output` holding no file of use: the caller takes another path for
// it. The output's mode is not the base's: the release states it (see
// DeltaJob::executable).
DeltaOutcome apply_delta(const char* base, std::string_view frame, std::uint64_t size,
                         const Digest256& digest, const char* output);

// The same for a difference delta (updater/difference_delta.h), which
// always has a base: the base is mapped, the streams decompressed a block
// at a time, the result written and hashed as it is made.
DeltaOutcome apply_difference_file(const char* base, std::string_view delta, std::uint64_t size,
                                   const Digest256& digest, const char* output);

struct DeltaJob {
  DeltaKind kind = DeltaKind::zstd_frame;
  std::string base;  // empty: a delta from nothing
  std::string frame;
  std::uint64_t size = 0;
  Digest256 digest{};
  std::string output;
  bool executable = false;  // POSIX: the applied output's executable bit, as the package records it
  DeltaOutcome outcome = DeltaOutcome::corrupt;
};

// Applies every job: those of files up to DELTA_LARGE_FILE_SIZE on one
// worker per core, the larger ones then one at a time, so that only one
// large window and mapping is held at once.
void apply_deltas(std::vector<DeltaJob>& jobs);

}  // namespace brindax
