#include "updater/release_check.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "runtime/core/file.h"
#include "runtime/core/file_transaction.h"
#include "runtime/process/message.h"
#include "runtime/process/runtime.h"
#include "updater/release_signature.h"
#include "updater/settings.h"
#include "updater/update_server.h"

namespace brindax {
namespace {

constexpr const char* kSignatureSuffix = ".minisig";

// The list copy accepted in this run; dropped as well when the package fails.
std::string& accepted_list_copy() {
  static std::string path;
  return path;
}


[[noreturn]] void reject(const char* what, SignatureCheck result, const char* signed_file,
                         const std::string& signature_file) {
  file_delete(signature_file.c_str());
  file_delete(signed_file);
  if (!accepted_list_copy().empty()) file_delete(accepted_list_copy().c_str());
  const std::string text =
      std::string("The ") + what + " is not signed by the publisher: " + describe(result) + ".";
  show_notice("Signature Error", text.c_str());
  end_program(0);
}

ReleaseKey built_in_key(const char* what, const char* local_path, const std::string& signature_file) {
  ReleaseKey key;
  if (!parse_release_key(updater_settings().release_public_key, &key)) {
    reject(what, SignatureCheck::malformed, local_path, signature_file);
  }
  return key;
}

// Fetches the signature of `remote_name` to `signature_file`.
void fetch_signature(const char* what, const char* remote_name, const char* local_path,
                     const std::string& signature_file) {
  const std::string remote_signature = std::string(remote_name) + kSignatureSuffix;
  if (!update_server().receive_file(remote_signature.c_str(), signature_file.c_str(),
                                    ReceiveOptions{})) {
    reject(what, SignatureCheck::missing, local_path, signature_file);
  }
}

// BLAKE2b of a download, computed on a thread of its own while the data
// arrives, so that little of the hashing is left once the download ends. The
// data passes through a ring of fixed buffers; the download waits only when
// the ring is full, and is woken again once half of it is free.
class DownloadHash final : public DataObserver {
 public:
  DownloadHash() : buffers_(kSlots * kSlotSize), worker_([this] { run(); }) {}
  ~DownloadHash() { finish(); }

  void received(const char* data, std::int32_t size) override {
    while (size > 0) {
      std::unique_lock lock(mutex_);
      if (filled_ == kSlots) {
        writer_waits_ = true;
        space_.wait(lock, [this] { return filled_ <= kSlots / 2; });
        writer_waits_ = false;
      }
      const std::size_t slot = (first_ + filled_) % kSlots;
      lock.unlock();  // the slot is the writer's until it is counted as filled
      const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(size), kSlotSize);
      std::memcpy(&buffers_[slot * kSlotSize], data, n);
      sizes_[slot] = n;
      data += n;
      size -= static_cast<std::int32_t>(n);
      lock.lock();
      ++filled_;
      if (hasher_waits_) ready_.notify_one();
    }
  }

  std::array<std::uint8_t, 64> finish() {
    if (worker_.joinable()) {
      {
        std::lock_guard lock(mutex_);
        done_ = true;
        ready_.notify_one();
      }
      worker_.join();
      digest_ = hash_.finish();
    }
    return digest_;
  }

 private:
  static constexpr std::size_t kSlots = 32;
  static constexpr std::size_t kSlotSize = 64 * 1024;

  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (filled_ == 0) {
        if (done_) return;
        hasher_waits_ = true;
        ready_.wait(lock, [this] { return filled_ > 0 || done_; });
        hasher_waits_ = false;
        continue;
      }
      const std::size_t slot = first_;
      lock.unlock();
      hash_.update(&buffers_[slot * kSlotSize], sizes_[slot]);
      lock.lock();
      first_ = (first_ + 1) % kSlots;
      --filled_;
      if (writer_waits_ && filled_ <= kSlots / 2) space_.notify_one();
    }
  }

  std::vector<char> buffers_;
  std::size_t sizes_[kSlots] = {};
  std::size_t first_ = 0, filled_ = 0;
  bool done_ = false, writer_waits_ = false, hasher_waits_ = false;
  std::mutex mutex_;
  std::condition_variable ready_, space_;
  ReleaseHash hash_;
  std::array<std::uint8_t, 64> digest_{};
  std::thread worker_;  // last: starts once everything above exists
};

// A fresh file of this run's own to receive a signature into (so that no
// file that was there before is overwritten); every path deletes it.
std::string private_signature_file() {
  TemporaryFile file;
  if (!file.create("signature")) return std::string();  // the fetch then fails
  std::string path = file.path();
  file.release();
  return path;
}

}  // namespace

bool release_signatures_checked() {
  const char* key = updater_settings().release_public_key;
  return key != nullptr && *key != '\0';
}

void require_signed_list(const char* local_copy) {
  if (!release_signatures_checked()) return;
  const char* what = "version list";
  const std::string signature_file = private_signature_file();
  const ReleaseKey key = built_in_key(what, local_copy, signature_file);
  fetch_signature(what, updater_settings().remote_version_file, local_copy, signature_file);
  const SignatureCheck result = verify_file_signature(local_copy, signature_file.c_str(), key);
  if (result != SignatureCheck::ok) reject(what, result, local_copy, signature_file);
  file_delete(signature_file.c_str());
  accepted_list_copy() = local_copy;
}

std::int32_t receive_signed_package(const char* remote_name, const char* local_path) {
  Transport& server = update_server();
  if (!release_signatures_checked()) {
    return server.receive_file(remote_name, local_path, ReceiveOptions{}) ? 1 : 0;
  }

  const char* what = "update package";
  const std::string signature_file = private_signature_file();
  const ReleaseKey key = built_in_key(what, local_path, signature_file);
  DownloadHash hash;
  ReceiveOptions options;
  options.observer = &hash;
  if (!server.receive_file(remote_name, local_path, options)) return 0;
  const auto digest = hash.finish();

  fetch_signature(what, remote_name, local_path, signature_file);
  ReleaseSignature signature;
  SignatureCheck result = read_signature_file(signature_file.c_str(), &signature);
  if (result == SignatureCheck::ok) {
    // A legacy signature covers the package itself: checked from the file.
    result = signature.prehashed
                 ? check_release_signature(signature, key,
                                           std::string_view(reinterpret_cast<const char*>(digest.data()),
                                                            digest.size()))
                 : verify_file_signature(local_path, signature_file.c_str(), key);
  }
  if (result != SignatureCheck::ok) reject(what, result, local_path, signature_file);
  file_delete(signature_file.c_str());
  return 1;
}

}  // namespace brindax
