#include "updater/release_check.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "runtime/core/file.h"
#include "runtime/core/file_transaction.h"
#include "runtime/core/os_file.h"
#include "runtime/process/message.h"
#include "runtime/process/runtime.h"
#include "updater/package_download.h"
#include "updater/release_binding.h"
#include "updater/release_record.h"
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

// What the accepted list's signature binds: the release's sequence and
// expiry, the package's size and digest.
std::optional<ReleaseBinding>& accepted_binding() {
  static std::optional<ReleaseBinding> binding;
  return binding;
}

// Deletes what this run received of the release, reports `text` and ends.
[[noreturn]] void refuse(const char* text, const char* received_file,
                         const std::string& signature_file) {
  if (!signature_file.empty()) file_delete(signature_file.c_str());
  if (*received_file != '\0') file_delete(received_file);
  if (!accepted_list_copy().empty()) file_delete(accepted_list_copy().c_str());
  show_notice("Signature Error", text);
  end_program(0);
}

[[noreturn]] void reject(const char* what, const char* reason, const char* signed_file,
                         const std::string& signature_file) {
  const std::string text = std::string("The ") + what + " is not signed by the publisher: " + reason + ".";
  refuse(text.c_str(), signed_file, signature_file);
}

[[noreturn]] void reject(const char* what, SignatureCheck result, const char* signed_file,
                         const std::string& signature_file) {
  reject(what, describe(result), signed_file, signature_file);
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// The record of the installed release as it stands. Anything at its name
// but a plain file that says a sequence is unreadable, and never opened in
// a way that could wait (a FIFO) or follow a link.
ReleaseRecord installed_release() {
  switch (os::private_kind(RELEASE_RECORD_FILE)) {
    case os::PrivateKind::none:
      return {};
    case os::PrivateKind::other:
      return {ReleaseRecord::State::unreadable, 0};
    case os::PrivateKind::plain:
      break;
  }
  const os::FileHandle file = os::open_private(RELEASE_RECORD_FILE, os::PrivateAccess::read);
  if (file == os::NO_FILE) return {ReleaseRecord::State::unreadable, 0};
  char text[RELEASE_RECORD_MAX_BYTES + 1];
  const std::int32_t got = os::read(file, text, static_cast<std::int32_t>(sizeof text));
  os::close(file);
  return parse_release_record(std::string_view(text, static_cast<std::size_t>(got)));
}

// The binding of an accepted list signature, held against the clock and the
// installed release; refuses the list otherwise.
void accept_binding(const ReleaseSignature& signature, const char* local_copy,
                    const std::string& signature_file) {
  const auto binding = parse_release_binding(signature.trusted_comment);
  if (!binding) reject("version list", "its signature names no release", local_copy, signature_file);
  if (binding->expires && *binding->expires < static_cast<std::int64_t>(std::time(nullptr))) {
    refuse("The update server's release has expired.", local_copy, signature_file);
  }
  // A record that cannot be compared refuses every release rather than
  // letting an older one in; deleting it accepts any release again.
  const ReleaseRecord installed = installed_release();
  if (installed.state == ReleaseRecord::State::unreadable) {
    refuse("The record of the installed release, LocalVersion.seq, cannot be read: delete it to "
           "accept the update server's release.",
           local_copy, signature_file);
  }
  if (installed.state == ReleaseRecord::State::value && binding->sequence < installed.sequence) {
    refuse("The update server's release is older than the installed one.", local_copy,
           signature_file);
  }
  accepted_binding() = binding;
}

ReleaseKey built_in_key(const char* what, const char* local_path, const std::string& signature_file) {
  ReleaseKey key;
  if (!parse_release_key(updater_settings().release_public_key, &key)) {
    reject(what, SignatureCheck::malformed, local_path, signature_file);
  }
  return key;
}

// Fetches the signature of `remote_name` to `signature_file`. Signatures
// are small: a larger file ends its transfer at the cap.
void fetch_signature(const char* what, const char* remote_name, const char* local_path,
                     const std::string& signature_file) {
  const std::string remote_signature = std::string(remote_name) + kSignatureSuffix;
  ReceiveOptions options;
  options.max_size = static_cast<std::int64_t>(SIGNATURE_FILE_LIMIT);
  if (!update_server().receive_file(remote_signature.c_str(), signature_file.c_str(), options)) {
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

  // The bytes handed over so far.
  std::uint64_t size() const { return total_; }

  void received(const char* data, std::int32_t size) override {
    total_ += static_cast<std::uint64_t>(size);
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
  std::uint64_t total_ = 0;
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

namespace {

// Fetches the list's signature and holds the list to it with `verify`
// (signature file, key) -> SignatureCheck, then holds the release it names
// to the clock and the installed one. `local_copy` (empty when the list
// was kept in memory) is deleted when the list is refused.
template <typename Verify>
void accept_signed_list(const char* local_copy, Verify verify) {
  const char* what = "version list";
  const std::string signature_file = private_signature_file();
  const ReleaseKey key = built_in_key(what, local_copy, signature_file);
  fetch_signature(what, updater_settings().remote_version_file, local_copy, signature_file);
  const SignatureCheck result = verify(signature_file.c_str(), key);
  if (result != SignatureCheck::ok) reject(what, result, local_copy, signature_file);
  ReleaseSignature signature;
  if (read_signature_file(signature_file.c_str(), &signature) != SignatureCheck::ok) {
    reject(what, SignatureCheck::malformed, local_copy, signature_file);
  }
  accept_binding(signature, local_copy, signature_file);
  file_delete(signature_file.c_str());
}

}  // namespace

void require_signed_list(const char* local_copy) {
  if (!release_signatures_checked()) return;
  accept_signed_list(local_copy, [local_copy](const char* signature_file, const ReleaseKey& key) {
    return verify_file_signature(local_copy, signature_file, key);
  });
  accepted_list_copy() = local_copy;
}

void require_signed_list_digest(const std::array<std::uint8_t, 64>& digest) {
  if (!release_signatures_checked()) return;
  accept_signed_list("", [&digest](const char* signature_file, const ReleaseKey& key) {
    return verify_digest_signature(signature_file, key, digest);
  });
}

std::int32_t receive_signed_package(const char* remote_name, const char* local_path) {
  Transport& server = update_server();
  if (!release_signatures_checked()) {
    return receive_package(server, remote_name, local_path, ReceiveOptions{}) ? 1 : 0;
  }

  // The list's signature names the package's size and digest: a larger
  // package fails as it arrives, and what came must be that package.
  const std::optional<ReleaseBinding>& binding = accepted_binding();
  if (!binding) reject("update package", SignatureCheck::missing, local_path, std::string());
  // The hash covers the package from its first byte: a fresh one whenever
  // the download (re)starts there, bytes of an earlier run included.
  std::unique_ptr<DownloadHash> hash;
  const auto fresh_hash = [&hash]() -> DataObserver* {
    hash.reset();
    hash = std::make_unique<DownloadHash>();
    return hash.get();
  };
  ReceiveOptions options;
  options.max_size = static_cast<std::int64_t>(binding->package_size);
  if (binding->package_size == 0 ||
      !receive_package(server, remote_name, local_path, options, fresh_hash) || !hash) {
    return 0;
  }
  const auto digest = hash->finish();
  if (hash->size() != binding->package_size || digest != binding->package_digest) {
    reject("update package", "it is not the package that the version list names", local_path,
           std::string());
  }
  return 1;
}

bool stage_release_record(FileTransaction& transaction) {
  const std::optional<ReleaseBinding>& binding = accepted_binding();
  if (!release_signatures_checked() || !binding) return true;
  const std::string& staged = transaction.stage(RELEASE_RECORD_FILE);
  if (staged.empty()) return false;
  File file(std::fopen(staged.c_str(), "wb"));
  if (!file) return false;
  const std::string text = format_release_record(binding->sequence);
  const bool written = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
  return std::fclose(file.release()) == 0 && written;
}

}  // namespace brindax
