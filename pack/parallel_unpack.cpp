#include "pack/parallel_unpack.h"

#include <zip.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <exception>
#include <thread>

#include "pack/pack.h"
#include "pack/zip_backend.h"
#include "runtime/core/heap.h"

namespace brindax {
namespace {

constexpr std::size_t NO_FAILURE = static_cast<std::size_t>(-1);

struct ArchiveCloser {
  // Only read, so there is nothing to write back.
  void operator()(zip_t* archive) const { zip_discard(archive); }
};
using Archive = std::unique_ptr<zip_t, ArchiveCloser>;

struct MainHeapDeleter {
  void operator()(void* block) const { main_free(block); }
};
using MainHeapBlock = std::unique_ptr<void, MainHeapDeleter>;

// What the workers share. A job's details and its result are written by
// the preparing thread before the job is handed over, then by the one
// worker that took it; the results are read after every worker has ended.
struct Work {
  std::string archive_path;  // as libzip takes it
  std::vector<UnpackJob>* jobs;
  std::vector<UnpackResult> results;
  std::atomic<std::size_t> next{0};                   // the next job to take
  std::atomic<std::size_t> first_failed{NO_FAILURE};  // the earliest failed job
  std::atomic<std::size_t> prepared{0};               // jobs before it may run
  std::mutex mutex;
  std::condition_variable handed_over;
  bool preparing = true;  // under the mutex

  void hand_over(std::size_t count) {
    {
      std::lock_guard lock(mutex);
      prepared.store(count);
    }
    handed_over.notify_all();
  }
  void end_preparing() {
    {
      std::lock_guard lock(mutex);
      preparing = false;
    }
    handed_over.notify_all();
  }
  // False when the preparing ended before the job.
  bool wait_until_prepared(std::size_t job) {
    if (job < prepared.load()) return true;
    std::unique_lock lock(mutex);
    handed_over.wait(lock, [&] { return job < prepared.load() || !preparing; });
    return job < prepared.load();
  }
};

struct StopContext {
  const Work* work;
  std::size_t job;
};

// A job is not worth finishing once an earlier one failed: it would not be
// installed anyway, and its failure would not be the one reported.
bool earlier_job_failed(const void* context) {
  const auto* stop = static_cast<const StopContext*>(context);
  return stop->work->first_failed.load() < stop->job;
}

void note_failure(Work& work, std::size_t job) {
  std::size_t seen = work.first_failed.load();
  while (job < seen && !work.first_failed.compare_exchange_weak(seen, job)) {
  }
}

Archive open_archive(const std::string& path) {
  int error = 0;
  return Archive(zip_open(path.c_str(), ZIP_RDONLY, &error));
}

// An exception (no memory for a name) fails the job: nothing may escape a
// worker's thread.
bool run_job(zip_t* archive, void* buffer, const UnpackJob& job, const StopContext& stop) noexcept try {
  zip_int64_t index = job.index;
  if (index < 0) {
    index = zip_locate_entry(archive, job.name.c_str());
  } else if (!zip_entry_walk_unpackable(archive, static_cast<zip_uint64_t>(index))) {
    return false;
  }
  return index >= 0 && zip_unpack_index_to_file(archive, static_cast<zip_uint64_t>(index),
                                                 job.destination.c_str(), buffer,
                                                 WORKER_UNPACK_BUFFER_SIZE, UnpackTarget::in_place,
                                                 earlier_job_failed, &stop) >= 0;
} catch (...) {
  return false;
}

// Takes jobs in order until none is left or one before the next failed.
// Without an archive handle or a buffer, every job taken fails.
void take_jobs(Work& work, zip_t* archive, void* buffer) {
  const std::size_t count = work.jobs->size();
  for (;;) {
    const std::size_t job = work.next.fetch_add(1);
    if (job >= count || job > work.first_failed.load() || !work.wait_until_prepared(job)) return;
    if (work.results[job] != UnpackResult::not_run) continue;  // nothing to write
    const StopContext stop{&work, job};
    if (archive != nullptr && buffer != nullptr && run_job(archive, buffer, (*work.jobs)[job], stop)) {
      work.results[job] = UnpackResult::done;
    } else if (!earlier_job_failed(&stop)) {
      work.results[job] = UnpackResult::failed;
      note_failure(work, job);
    }  // else stopped for an earlier failure: not run
  }
}

// Prepares the jobs in order on the calling thread, handing each over to
// the workers once ready; stops at a failed one, or once a job before the
// next has failed.
void prepare_jobs(Work& work, const PrepareJob& prepare) {
  // Should the preparing throw, the workers finish or stop the jobs they
  // hold and take no more.
  struct EndOnUnwind {
    Work& work;
    ~EndOnUnwind() {
      if (std::uncaught_exceptions() == 0) return;
      note_failure(work, 0);
      work.end_preparing();
    }
  } end_on_unwind{work};
  const std::size_t count = work.jobs->size();
  for (std::size_t job = 0; job < count && job <= work.first_failed.load(); ++job) {
    const JobReadiness readiness = prepare ? prepare(job, (*work.jobs)[job]) : JobReadiness::ready;
    if (readiness == JobReadiness::failed) {
      work.results[job] = UnpackResult::failed;
      note_failure(work, job);
      break;
    }
    if (readiness == JobReadiness::nothing_to_write) work.results[job] = UnpackResult::done;
    work.hand_over(job + 1);
  }
  work.end_preparing();
}

// A worker besides the calling thread; one that cannot open the archive or
// get its buffer leaves the jobs to the others.
void helper(Work& work) {
  const Archive archive = open_archive(work.archive_path);
  const MainHeapBlock buffer(main_alloc(WORKER_UNPACK_BUFFER_SIZE, false));
  if (archive && buffer) take_jobs(work, archive.get(), buffer.get());
}

class Helpers {
 public:
  ~Helpers() { join(); }
  // Starts up to `count` helpers; a thread the system refuses is one fewer.
  void start(Work& work, int count) {
    for (int i = 0; i < count; ++i) {
      try {
        threads_.emplace_back([&work] { helper(work); });
      } catch (...) {  // no thread or no memory for one: one helper fewer
        return;
      }
    }
  }
  void join() {
    for (std::thread& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
    threads_.clear();
  }

 private:
  std::vector<std::thread> threads_;
};

}  // namespace

int unpack_worker_count(std::size_t jobs) {
  const unsigned cores = std::thread::hardware_concurrency();
  // Two per core: a worker that flushes the file it wrote waits for the
  // disk, and another one inflates meanwhile.
  const std::size_t wanted = std::clamp<std::size_t>(std::size_t{2} * cores, 1, UNPACK_MAX_WORKERS);
  return static_cast<int>(std::max<std::size_t>(1, std::min(wanted, jobs)));
}

std::vector<UnpackResult> unpack_entries(const char* archive_path, std::vector<UnpackJob>& jobs,
                                         int workers, const PrepareJob& prepare) {
  Work work;
  work.archive_path = zip_backend_archive_path(archive_path);
  work.jobs = &jobs;
  work.results.assign(jobs.size(), UnpackResult::not_run);
  if (jobs.empty()) return std::move(work.results);

  // The calling thread opens first: with an archive it cannot open, no
  // helper is started and the first job to run fails.
  const Archive archive = open_archive(work.archive_path);
  const MainHeapBlock buffer(main_alloc(WORKER_UNPACK_BUFFER_SIZE, false));
  {
    Helpers helpers;
    if (archive) helpers.start(work, std::clamp(workers, 1, UNPACK_MAX_WORKERS) - 1);
    // The helpers unpack while the jobs after theirs are prepared.
    prepare_jobs(work, prepare);
    take_jobs(work, archive.get(), buffer.get());
  }  // every helper has ended here
  return std::move(work.results);
}

std::size_t first_unfinished(const std::vector<UnpackResult>& results) {
  const auto found = std::find_if(results.begin(), results.end(),
                                  [](UnpackResult result) { return result != UnpackResult::done; });
  return static_cast<std::size_t>(found - results.begin());
}

std::string pack_archive_path(std::intptr_t pack) {
  const Pack* element = pack_lookup(pack);
  if (element == nullptr || element->backend != zip_backend_table() || element->state == nullptr) {
    return std::string();
  }
  const auto* state = static_cast<const ZipPackState*>(element->state);
  return state->file_name != nullptr ? state->file_name : "";
}

}  // namespace brindax
