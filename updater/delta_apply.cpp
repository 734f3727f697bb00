#include "updater/delta_apply.h"

#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "pack/parallel_unpack.h"
#include "runtime/core/mapped_file.h"
#include "runtime/core/os_file.h"
#include "updater/difference_delta.h"

namespace brindax {
namespace {

struct DContextFree {
  void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

struct OutputFile {
  os::FileHandle handle = os::NO_FILE;
  ~OutputFile() {
    if (handle != os::NO_FILE) os::close(handle);
  }
  bool close() {
    const bool closed = os::close(handle);
    handle = os::NO_FILE;
    return closed;
  }
};

// A rebuilt file on its way to disk, and its digest. Its bytes are gathered
// into large blocks (few writes); for a large file a second thread hashes
// and writes each block while the next one is made, as hashing costs about
// as much as making the bytes.
class RebuiltFile {
 public:
  RebuiltFile(os::FileHandle handle, std::uint64_t size) : handle_(handle) {
    filling_.reserve(kBlockBytes);
    if (size < kThreadedBytes) return;
    try {
      pending_.reserve(kBlockBytes);
      worker_ = std::thread([this] { drain_pending(); });
    } catch (const std::exception&) {
      // No second thread: the calling thread does it all.
    }
  }
  RebuiltFile(const RebuiltFile&) = delete;
  RebuiltFile& operator=(const RebuiltFile&) = delete;
  ~RebuiltFile() { stop(); }

  // False once a write failed.
  bool put(const unsigned char* data, std::size_t n) {
    while (n > 0) {
      const std::size_t taken = std::min(n, kBlockBytes - filling_.size());
      filling_.insert(filling_.end(), data, data + taken);
      data += taken;
      n -= taken;
      if (filling_.size() == kBlockBytes) hand_over();
    }
    return !failed_;
  }

  // The digest of every byte put, once all are written; nullopt when a
  // write failed.
  std::optional<Digest256> finish() {
    hand_over();
    stop();
    if (failed_) return std::nullopt;
    return hash_.finish();
  }

 private:
  static constexpr std::size_t kBlockBytes = std::size_t{1} << 20;
  static constexpr std::uint64_t kThreadedBytes = std::uint64_t{4} << 20;

  void write_out(const std::vector<unsigned char>& block) {
    if (block.empty() || failed_) return;
    hash_.update(block.data(), block.size());
    if (!os::write_all(handle_, block.data(), static_cast<std::int32_t>(block.size()))) failed_ = true;
  }

  // Gives the full block to the second thread (once it took the last one),
  // or writes it out here.
  void hand_over() {
    if (!worker_.joinable()) {
      write_out(filling_);
      filling_.clear();
      return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return pending_.empty(); });
    pending_.swap(filling_);
    changed_.notify_all();
  }

  void drain_pending() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return !pending_.empty() || stopping_; });
      if (pending_.empty()) return;
      lock.unlock();
      write_out(pending_);
      lock.lock();
      pending_.clear();
      changed_.notify_all();
    }
  }

  void stop() {
    if (!worker_.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    worker_.join();
  }

  os::FileHandle handle_;
  ContentHash256 hash_;
  std::vector<unsigned char> filling_;
  std::vector<unsigned char> pending_;  // the second thread's, under mutex_
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ = false;
  std::atomic<bool> failed_{false};
  std::thread worker_;
};

// The window the decoder may be asked for: enough for the old and the new
// file together (a publisher's window covers them), never less than zstd's
// default limit.
// (zstd's own limits: 27 by default, 30 for 32-bit and 31 for 64-bit builds.)
int window_log_for(std::uint64_t bytes) {
  constexpr int kDefault = 27;
  constexpr int kMost = sizeof(std::size_t) == 4 ? 30 : 31;
  int log = 10;
  while (log < kMost && (std::uint64_t{1} << log) < bytes) ++log;
  return std::clamp(log + 1, kDefault, kMost);
}

}  // namespace

DeltaOutcome apply_delta(const char* base, std::string_view frame, std::uint64_t size,
                         const Digest256& digest, const char* output) {
  if (size > DELTA_MAX_FILE_SIZE) return DeltaOutcome::too_large;
  os::ReadOnlyFile old_file;
  const unsigned char* prefix = nullptr;
  std::uint64_t prefix_size = 0;
  if (base != nullptr) {
    if (!old_file.open(base)) return DeltaOutcome::no_base;
    if (static_cast<std::uint64_t>(old_file.size()) > DELTA_MAX_FILE_SIZE) return DeltaOutcome::too_large;
    prefix = old_file.map();
    if (prefix == nullptr) return DeltaOutcome::no_base;
    prefix_size = static_cast<std::uint64_t>(old_file.size());
  }
  const unsigned long long announced = ZSTD_getFrameContentSize(frame.data(), frame.size());
  if (announced == ZSTD_CONTENTSIZE_ERROR || (announced != ZSTD_CONTENTSIZE_UNKNOWN && announced != size)) {
    return DeltaOutcome::corrupt;
  }

  std::unique_ptr<ZSTD_DCtx, DContextFree> context(ZSTD_createDCtx());
  if (!context ||
      ZSTD_isError(ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax,
                                          window_log_for(prefix_size + size))) ||
      (prefix_size > 0 &&
       ZSTD_isError(ZSTD_DCtx_refPrefix(context.get(), prefix, static_cast<std::size_t>(prefix_size))))) {
    return DeltaOutcome::corrupt;
  }

  OutputFile out;
  out.handle = os::create_always(output);
  if (out.handle == os::NO_FILE) return DeltaOutcome::write_failed;
  std::vector<unsigned char> block(ZSTD_DStreamOutSize());
  ZSTD_inBuffer in{frame.data(), frame.size(), 0};
  std::optional<Digest256> made;
  {
    RebuiltFile rebuilt(out.handle, size);
    std::uint64_t produced = 0;
    for (;;) {
      ZSTD_outBuffer piece{block.data(), block.size(), 0};
      const std::size_t left = ZSTD_decompressStream(context.get(), &piece, &in);
      if (ZSTD_isError(left)) return DeltaOutcome::corrupt;
      produced += piece.pos;
      if (produced > size) return DeltaOutcome::corrupt;
      if (!rebuilt.put(block.data(), piece.pos)) return DeltaOutcome::write_failed;
      if (left == 0) break;                                          // the frame is complete
      if (in.pos == in.size && piece.pos < piece.size) return DeltaOutcome::corrupt;  // cut short
    }
    if (in.pos != in.size) return DeltaOutcome::corrupt;  // bytes after the frame
    made = rebuilt.finish();
    if (!made) return DeltaOutcome::write_failed;
    if (produced != size) return DeltaOutcome::other_content;
  }
  if (*made != digest) return DeltaOutcome::other_content;
  if (!out.close()) return DeltaOutcome::write_failed;
  return DeltaOutcome::applied;
}

DeltaOutcome apply_difference_file(const char* base, std::string_view delta, std::uint64_t size,
                                   const Digest256& digest, const char* output) {
  if (size > DELTA_MAX_FILE_SIZE) return DeltaOutcome::too_large;
  os::ReadOnlyFile old_file;
  if (base == nullptr || !old_file.open(base)) return DeltaOutcome::no_base;
  if (static_cast<std::uint64_t>(old_file.size()) > DELTA_MAX_FILE_SIZE) return DeltaOutcome::too_large;
  const unsigned char* old_bytes = old_file.map();
  if (old_bytes == nullptr) return DeltaOutcome::no_base;

  OutputFile out;
  out.handle = os::create_always(output);
  if (out.handle == os::NO_FILE) return DeltaOutcome::write_failed;
  std::optional<Digest256> made;
  {
    RebuiltFile rebuilt(out.handle, size);
    const DifferenceResult result = apply_difference(
        old_bytes, static_cast<std::uint64_t>(old_file.size()), delta, size,
        [&](const unsigned char* data, std::size_t n) { return rebuilt.put(data, n); });
    if (result == DifferenceResult::sink_refused) return DeltaOutcome::write_failed;
    if (result != DifferenceResult::rebuilt) return DeltaOutcome::corrupt;
    made = rebuilt.finish();
    if (!made) return DeltaOutcome::write_failed;
  }
  if (*made != digest) return DeltaOutcome::other_content;
  if (!out.close()) return DeltaOutcome::write_failed;
  return DeltaOutcome::applied;
}

void apply_deltas(std::vector<DeltaJob>& jobs) {
  const auto run = [](DeltaJob& job) {
    const char* base = job.base.empty() ? nullptr : job.base.c_str();
    job.outcome = job.kind == DeltaKind::difference
                      ? apply_difference_file(base, job.frame, job.size, job.digest, job.output.c_str())
                      : apply_delta(base, job.frame, job.size, job.digest, job.output.c_str());
    if (job.outcome == DeltaOutcome::applied) os::set_executable(job.output.c_str(), job.executable);
    std::string().swap(job.frame);  // the frame's memory goes as soon as it is used
  };
  std::vector<DeltaJob*> small, large;
  for (auto& job : jobs) (job.size > DELTA_LARGE_FILE_SIZE ? large : small).push_back(&job);
  std::atomic<std::size_t> next{0};
  const auto work = [&] {
    for (std::size_t i = next++; i < small.size(); i = next++) run(*small[i]);
  };
  std::vector<std::thread> threads;
  try {
    for (int i = 1; i < unpack_worker_count(small.size()); ++i) threads.emplace_back(work);
  } catch (const std::system_error&) {
    // Fewer threads: the calling thread still takes every job.
  }
  work();
  for (auto& thread : threads) thread.join();
  for (DeltaJob* job : large) run(*job);
}

}  // namespace brindax
