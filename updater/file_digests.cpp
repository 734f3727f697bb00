#include "updater/file_digests.h"

#include <sodium.h>

#include <atomic>
#include <thread>

#include "pack/parallel_unpack.h"
#include "runtime/core/mapped_file.h"

namespace brindax {
namespace {

constexpr std::int32_t kReadBlock = 256 * 1024;

crypto_generichash_state* state_of(unsigned char* bytes) {
  return reinterpret_cast<crypto_generichash_state*>(bytes);
}

}  // namespace

FileHash::FileHash() {
  static_assert(sizeof state_ >= sizeof(crypto_generichash_state));
  static const bool ready = sodium_init() >= 0;
  (void)ready;
  crypto_generichash_init(state_of(state_), nullptr, 0, 32);
}

void FileHash::update(const void* data, std::size_t size) {
  crypto_generichash_update(state_of(state_), static_cast<const unsigned char*>(data), size);
}

Digest256 FileHash::finish() {
  Digest256 digest{};
  crypto_generichash_final(state_of(state_), digest.data(), digest.size());
  return digest;
}

Digest256 digest_of(const void* data, std::size_t size) {
  FileHash hash;
  hash.update(data, size);
  return hash.finish();
}

std::optional<Digest256> digest_file(const char* path) {
  os::ReadOnlyFile file;
  if (!file.open(path)) return std::nullopt;
  std::vector<unsigned char> block(kReadBlock);
  FileHash hash;
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
