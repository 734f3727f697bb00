// Unpacking many entries of a ZIP archive at once, two workers per core.
// Inflating and checking the CRC is most of an install's work and every
// entry is independent of the others, so each worker opens the archive
// file with a libzip handle of its own (libzip handles are never shared
// between threads) and takes the next entry in the archive's order until
// none is left. Nothing here touches the pack registries or the string
// stack, which belong to the main thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace brindax {

// Upper bound of the workers: beyond it the disk, not inflating, limits.
inline constexpr int UNPACK_MAX_WORKERS = 8;
// Chunk size of one worker's unpack.
inline constexpr std::int32_t WORKER_UNPACK_BUFFER_SIZE = 256 * 1024;

// One file to write: the archive's entry at `index` (which must be one a
// walk may unpack as its current entry) or, with index -1, the entry named
// `name`, into `destination` (8-bit text), a private file of the caller's
// such as a staged temporary: it is written in place, and after a failure
// it holds part of the entry.
struct UnpackJob {
  std::int64_t index = -1;
  std::string name;
  std::string destination;
};

enum class UnpackResult : std::uint8_t {
  not_run,  // an earlier job failed before this one was finished
  done,     // written, or nothing to write
  failed,
};

// What the preparation of a job found.
enum class JobReadiness : std::uint8_t { ready, nothing_to_write, failed };
// Gets job `position` ready (its destination, typically) on the calling
// thread, just before the workers may take it; jobs are prepared in order,
// and a failed preparation fails the job and ends the preparing there.
using PrepareJob = std::function<JobReadiness(std::size_t position, UnpackJob& job)>;

// Two workers per core (one of them waits for the disk while it flushes
// what it wrote), at least 1, at most UNPACK_MAX_WORKERS and `jobs`.
int unpack_worker_count(std::size_t jobs);

// Runs the jobs on `workers` workers (the calling thread is one of them,
// once it has prepared every job; without `prepare` every job is ready)
// and returns a result per job. Jobs are taken in order, so every job
// before the first failed one is done: the first job that is not `done` is
// the one a one-by-one unpack would have failed on. Once a job fails,
// later ones stop at their next chunk; what they left in their
// destinations is the caller's to remove. When the archive cannot be
// opened, the first job to run fails.
std::vector<UnpackResult> unpack_entries(const char* archive_path, std::vector<UnpackJob>& jobs,
                                         int workers, const PrepareJob& prepare = nullptr);

// The position of the first job not done, `results.size()` when all are.
std::size_t first_unfinished(const std::vector<UnpackResult>& results);

// The file an open ZIP pack reads (a pack handle of pack_open); empty for
// anything else.
std::string pack_archive_path(std::intptr_t pack);

}  // namespace brindax
