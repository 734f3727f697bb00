#include "updater/file_digests.h"

#include <atomic>
#include <thread>

#include "pack/parallel_unpack.h"
#include "runtime/core/mapped_file.h"

namespace brindax {
namespace {

constexpr std::int32_t kReadBlock = 256 * 1024;

}  // namespace

std::optional<Digest256> digest_file(const char* path) {
  os::ReadOnlyFile file;
  if (!file.open(path)) return std::nullopt;
  std::vector<unsigned char> block(kReadBlock);
  ContentHash256 hash;
  std::int64_t total = 0;
  for (;;) {
    const std::int32_t got = file.read(block.data(), kReadBlock);
    if (got < 0) return std::nullopt;
    if (got == 0) break;
    hash.update(block.data(), static_cast<std::size_t>(got));
    total += got;
  }
  // A file that grew or shrank while it was read is not the one it was.
  if (total != file.size()) return std::nullopt;
  return hash.finish();
}

std::vector<std::optional<Digest256>> digest_files(const std::vector<std::string>& paths) {
  std::vector<std::optional<Digest256>> digests(paths.size());
  std::atomic<std::size_t> next{0};
  const auto work = [&] {
    for (std::size_t i = next++; i < paths.size(); i = next++) {
      digests[i] = digest_file(paths[i].c_str());
    }
  };
  const int workers = unpack_worker_count(paths.size());
  std::vector<std::thread> threads;
  try {
    for (int i = 1; i < workers; ++i) threads.emplace_back(work);
  } catch (const std::system_error&) {
    // Fewer threads than cores: the calling thread still does every job.
  }
  work();
  for (auto& thread : threads) thread.join();
  return digests;
}

}  // namespace brindax
