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
#include "updater/keys_file.h"
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
  // A refusal may come once files were staged (a package fetched after
  // pieces): nothing of them stays.
  FileTransaction::roll_back_open();
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

bool root_keys_built_in() {
  const char* roots = updater_settings().root_public_keys;
  return roots != nullptr && *roots != '\0';
}

// The keys file accepted in this run and its bytes, the record to be.
struct AcceptedKeys {
  KeysFile file;
  std::string bytes;
};
std::optional<AcceptedKeys>& accepted_keys() {
  static std::optional<AcceptedKeys> keys;
  return keys;
}

// Reads a small file whole; nullopt when it is not there, `*unreadable`
// set when it holds more than `limit` bytes or cannot be read.
std::optional<std::string> read_small_file(const char* path, std::size_t limit, bool* unreadable) {
  File file(std::fopen(path, "rb"));
  if (!file) return std::nullopt;
  std::string text;
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0 && text.size() <= limit) {
    text.append(buffer, got);
  }
  *unreadable = std::ferror(file.get()) != 0 || text.size() > limit;
  return text;
}

// A remote file of at most KEYS_FILE_LIMIT bytes, received into memory;
// nullopt when it is not there or larger.
std::optional<std::string> fetch_keys_file(const std::string& remote) {
  std::string bytes;
  const RangeSink sink = [](void* context, std::uint64_t offset, const char* data, std::int32_t n) {
    auto* text = static_cast<std::string*>(context);
    if (offset == 0) text->clear();  // the transfer started over
    text->append(data, static_cast<std::size_t>(n));
    return true;
  };
  if (!update_server().receive_stream(remote.c_str(), static_cast<std::int64_t>(KEYS_FILE_LIMIT),
                                      sink, &bytes)) {
    return std::nullopt;
  }
  return bytes;
}

// The roots trusted before this run: those of the recorded keys file, or
// the built-in ones. A record that is there but cannot be read is refused
// rather than passed over, so that it never falls back to older roots.
std::optional<TrustedRoots> roots_trusted_now() {
  bool unreadable = false;
  const std::optional<std::string> record = read_small_file(KEYS_RECORD_FILE, KEYS_FILE_LIMIT, &unreadable);
  if (record) {
    const std::optional<KeysFile> file = unreadable ? std::nullopt : parse_keys_file(*record);
    if (!file) return std::nullopt;
    return roots_of(*file);
  }
  TrustedRoots roots;
  roots.threshold = static_cast<std::uint32_t>(updater_settings().root_threshold);
  std::string_view rest = updater_settings().root_public_keys;
  while (!rest.empty()) {
    const std::size_t end = rest.find(';');
    ReleaseKey key;
    if (!parse_release_key(rest.substr(0, end), &key)) return std::nullopt;
    roots.roots.push_back(key);
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
  }
  return roots;
}

// The newest keys file that the trusted roots lead to, fetched and walked
// once per run; refuses the run otherwise.
const KeysFile& trusted_keys_file(const char* received_file, const std::string& signature_file) {
  if (accepted_keys()) return accepted_keys()->file;
  const std::optional<TrustedRoots> trusted = roots_trusted_now();
  if (!trusted) {
    refuse("The keys file is not trusted: the record of trusted keys (LocalVersion.keys) cannot be read.",
           received_file, signature_file);
  }
  const char* list = updater_settings().remote_version_file;
  const std::optional<std::string> current_bytes = fetch_keys_file(keys_file_name(list));
  const KeysChain chain = walk_keys_chain(
      *trusted, current_bytes,
      [list](std::uint64_t version) { return fetch_keys_file(keys_file_name(list, version)); },
      static_cast<std::int64_t>(std::time(nullptr)));
  if (!chain.newest) {
    const std::string text = "The keys file is not trusted: " + describe(chain, trusted->version) + ".";
    refuse(text.c_str(), received_file, signature_file);
  }
  accepted_keys() = AcceptedKeys{*chain.newest, *current_bytes};
  return accepted_keys()->file;
}

// The one check of a release signature; `received_file` and
// `signature_file` are deleted when the keys file refuses the run.
SignatureCheck check_release_keys(const ReleaseSignature& signature, std::string_view signed_bytes,
                                  const char* received_file, const std::string& signature_file) {
  if (!signature.prehashed) return SignatureCheck::legacy;
  if (root_keys_built_in()) {
    const ReleaseKey* key = release_key_for(trusted_keys_file(received_file, signature_file), signature);
    if (key == nullptr) return SignatureCheck::not_release_key;
    return check_release_signature(signature, *key, signed_bytes);
  }
  ReleaseKey key;
  if (!parse_release_key(updater_settings().release_public_key, &key)) return SignatureCheck::malformed;
  return check_release_signature(signature, key, signed_bytes);
}

std::string_view digest_bytes(const std::array<std::uint8_t, 64>& digest) {
  return std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size());
}

// The BLAKE2b-512 of a file, read in one pass; nullopt when it cannot be read.
std::optional<std::array<std::uint8_t, 64>> file_digest(const char* path) {
  File file(std::fopen(path, "rb"));
  if (!file) return std::nullopt;
  ReleaseHash hash;
  std::vector<char> buffer(256 * 1024);
  std::size_t got;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), file.get())) > 0) hash.update(buffer.data(), got);
  if (std::ferror(file.get())) return std::nullopt;
  return hash.finish();
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
  return (key != nullptr && *key != '\0') || root_keys_built_in();
}

SignatureCheck check_with_release_keys(const ReleaseSignature& signature,
                                       std::string_view signed_bytes) {
  return check_release_keys(signature, signed_bytes, "", std::string());
}

namespace {

// Fetches the list's signature and holds the list, whose BLAKE2b-512 is
// `digest` (nullopt: it cannot be read), to it, then holds the release it
// names to the clock and the installed one. `local_copy` (empty when the
// list was kept in memory) is deleted when the list is refused.
void accept_signed_list(const char* local_copy,
                        const std::optional<std::array<std::uint8_t, 64>>& digest) {
  const char* what = "version list";
  const std::string signature_file = private_signature_file();
  fetch_signature(what, updater_settings().remote_version_file, local_copy, signature_file);
  ReleaseSignature signature;
  const SignatureCheck read = read_signature_file(signature_file.c_str(), &signature);
  if (read != SignatureCheck::ok) reject(what, read, local_copy, signature_file);
  if (!digest) reject(what, SignatureCheck::unreadable, local_copy, signature_file);
  const SignatureCheck result =
      check_release_keys(signature, digest_bytes(*digest), local_copy, signature_file);
  if (result != SignatureCheck::ok) reject(what, result, local_copy, signature_file);
  accept_binding(signature, local_copy, signature_file);
  file_delete(signature_file.c_str());
}

}  // namespace

void require_signed_list(const char* local_copy) {
  if (!release_signatures_checked()) return;
  accept_signed_list(local_copy, file_digest(local_copy));
  accepted_list_copy() = local_copy;
}

void require_signed_list_digest(const std::array<std::uint8_t, 64>& digest) {
  if (!release_signatures_checked()) return;
  accept_signed_list("", digest);
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

const ReleaseBinding* accepted_release_binding() {
  const std::optional<ReleaseBinding>& binding = accepted_binding();
  return release_signatures_checked() && binding ? &*binding : nullptr;
}

void refuse_release(const char* text) { refuse(text, "", std::string()); }

bool stage_release_record(FileTransaction& transaction) {
  const std::optional<ReleaseBinding>& binding = accepted_binding();
  if (!release_signatures_checked() || !binding) return true;
  const std::string& staged = transaction.stage(RELEASE_RECORD_FILE);
  if (staged.empty()) return false;
  File file(std::fopen(staged.c_str(), "wb"));
  if (!file) return false;
  const std::string text = format_release_record(binding->sequence);
  const bool written = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
  if (std::fclose(file.release()) != 0 || !written) return false;
  // The roots trusted from now on: the newest keys file accepted.
  if (!accepted_keys()) return true;
  const std::string& keys_staged = transaction.stage(KEYS_RECORD_FILE);
  if (keys_staged.empty()) return false;
  File keys(std::fopen(keys_staged.c_str(), "wb"));
  if (!keys) return false;
  const std::string& bytes = accepted_keys()->bytes;
  const bool keys_written = std::fwrite(bytes.data(), 1, bytes.size(), keys.get()) == bytes.size();
  return std::fclose(keys.release()) == 0 && keys_written;
}

}  // namespace brindax
