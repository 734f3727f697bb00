// Unpacking many entries of a ZIP archive at once, one worker per core.
// Inflating and checking the CRC is most of an install's work and every
// entry is independent of the others, so each worker opens the archive
// file with a libzip handle of its own (libzip handles are never shared
// between threads) and takes the next entry in the archive's order until
// none is left. Nothing here touches the pack registries or the string
// stack, which belong to the main thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace brindax {

// Upper bound of the workers: beyond it the disk, not inflating, limits.
inline constexpr int UNPACK_MAX_WORKERS = 8;
// Chunk size of one worker's unpack.
inline constexpr std::int32_t WORKER_UNPACK_BUFFER_SIZE = 256 * 1024;

// One file to write: the archive's entry at `index` (which must be one a
// walk may unpack as its current entry) or, with index -1, the entry named
// `name`, to `destination` (8-bit text), replaced whole once complete.
struct UnpackJob {
  std::int64_t index = -1;
  std::string name;
  std::string destination;
};

enum class UnpackResult : std::uint8_t {
  not_run,  // an earlier job failed before this one was finished
  written,
  failed,
};

// One worker per core, at least 1, at most UNPACK_MAX_WORKERS and `jobs`.
int unpack_worker_count(std::size_t jobs);

// Runs the jobs on `workers` workers (the calling thread is one of them)
// and returns a result per job. Jobs are taken in order, so every job
// before the first failed one has been written: the first job that is not
// `written` is the one a one-by-one unpack would have failed on. Once a job
// fails, later ones stop at their next chunk; what they left at their
// destination is the caller's to remove. When the archive cannot be opened,
// the first job fails.
std::vector<UnpackResult> unpack_entries(const char* archive_path,
                                         const std::vector<UnpackJob>& jobs, int workers);

// The position of the first job not written, `results.size()` when all were.
std::size_t first_unwritten(const std::vector<UnpackResult>& results);

// The file an open ZIP pack reads (a pack handle of pack_open); empty for
// anything else.
std::string pack_archive_path(std::intptr_t pack);

}  // namespace brindax
