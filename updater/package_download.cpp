#include "updater/package_download.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "runtime/core/file.h"
#include "runtime/core/os_file.h"
#include "runtime/core/replacing_file.h"
#include "updater/settings.h"

namespace brindax {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kRecordHeading = "Brindax partial package";
constexpr int kContinuations = 3;
// How often the download looks at the free space of its volume.
constexpr std::uint64_t kFreeSpaceCheckBytes = std::uint64_t{4} << 20;
constexpr std::size_t kReadBlock = 64 * 1024;

// The partial package and its record are this program's own files: opened
// only as plain files, never through a link (see os::open_private). Writes
// are gathered into blocks, since the network hands over small pieces.
class PrivateFile {
 public:
  PrivateFile() = default;
  ~PrivateFile() { close(); }
  PrivateFile(const PrivateFile&) = delete;
  PrivateFile& operator=(const PrivateFile&) = delete;

  bool open(const char* path, os::PrivateAccess access) {
    close();
    file_ = os::open_private(path, access);
    return file_ != os::NO_FILE;
  }
  std::int64_t size() const { return os::open_file_size(file_); }
  // Bytes read; fewer only at the end of the file or on an error.
  std::size_t read(char* into, std::size_t n) {
    return static_cast<std::size_t>(os::read(file_, into, static_cast<std::int32_t>(n)));
  }
  bool write(const char* data, std::size_t n) {
    if (pending_.size() + n > kWriteBlock && !flush()) return false;
    if (n >= kWriteBlock) return os::write_all(file_, data, static_cast<std::int32_t>(n));
    pending_.insert(pending_.end(), data, data + n);
    return true;
  }
  // Writes what is pending and closes; false when anything failed.
  bool close() {
    if (file_ == os::NO_FILE) return true;
    const bool flushed = flush();
    const bool closed = os::close(file_);
    file_ = os::NO_FILE;
    return flushed && closed;
  }

 private:
  static constexpr std::size_t kWriteBlock = 64 * 1024;
  bool flush() {
    const bool written =
        pending_.empty() || os::write_all(file_, pending_.data(), static_cast<std::int32_t>(pending_.size()));
    pending_.clear();
    return written;
  }
  os::FileHandle file_ = os::NO_FILE;
  std::vector<char> pending_;
};

std::string record_of(const char* local) { return std::string(local) + "-record"; }

// Removes whatever stands at the names, a folder or a link included.
void discard(const char* local) {
  for (const std::string& name : {record_of(local), std::string(local)}) {
    os::clear_private_name(name.c_str());
    file_delete(name.c_str());
  }
}

// What a record says the partial package is; nullopt when it is no record.
struct Record {
  std::string remote;
  std::int64_t size = -1;
  std::string identity;
};

std::optional<Record> read_record(const std::string& path) {
  PrivateFile file;
  if (!file.open(path.c_str(), os::PrivateAccess::read)) return std::nullopt;
  char text[4096];
  const std::size_t got = file.read(text, sizeof text);
  if (got == sizeof text) return std::nullopt;
  std::string_view rest(text, got);
  std::vector<std::string_view> lines;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    if (end == std::string_view::npos) return std::nullopt;  // cut short
    lines.push_back(rest.substr(0, end));
    rest.remove_prefix(end + 1);
  }
  if (lines.size() != 4 || lines[0] != kRecordHeading || lines[1].empty() || lines[3].empty()) {
    return std::nullopt;
  }
  Record record;
  record.remote = lines[1];
  record.identity = lines[3];
  std::int64_t size = 0;
  for (const char c : lines[2]) {
    if (c < '0' || c > '9' || size > (INT64_MAX - 9) / 10) return std::nullopt;
    size = size * 10 + (c - '0');
  }
  if (lines[2].empty() || size <= 0) return std::nullopt;
  record.size = size;
  return record;
}

bool write_record(const std::string& path, const char* remote, const RemoteFileInfo& info) {
  const std::string text = std::string(kRecordHeading) + "\n" + remote + "\n" +
                           std::to_string(info.size) + "\n" + info.identity + "\n";
  if (text.size() >= 4096 || info.identity.find('\n') != std::string::npos) return false;
  return replace_contents_durably(path.c_str(), text);
}

// One package download into the partial file.
class PackageDownload final : public DataObserver {
 public:
  PackageDownload(Transport& server, const char* remote, const char* local,
                  const RemoteFileInfo& info, const ReceiveOptions& options,
                  const PackageObserverFactory& fresh_observer)
      : server_(server),
        remote_(remote),
        local_(local),
        info_(info),
        options_(options),
        fresh_observer_(fresh_observer),
        folder_(os::folder_of(local)),
        patience_(std::chrono::milliseconds(builtin_settings().ftp_timeout_seconds * 2500)) {}

  ~PackageDownload() { server_.give_up_at(std::nullopt); }

  bool run() {
    const auto record = read_record(record_of(local_));
    const std::int64_t held =
        os::private_kind(local_) == os::PrivateKind::plain ? file_size(local_) : -1;
    const bool continuing = record && record->remote == remote_ && record->size == info_.size &&
                            record->identity == info_.identity && held >= 0 && held <= info_.size;
    if (!continuing) {
      discard(local_);
      if (!write_record(record_of(local_), remote_, info_)) return whole_download();
    }
    observer_ = fresh_observer_ ? fresh_observer_() : options_.observer;
    have_ = continuing ? static_cast<std::uint64_t>(held) : 0;
    if (have_ > 0 && !show_held_bytes()) {
      discard(local_);
      return false;
    }
    if (!file_.open(local_, continuing ? os::PrivateAccess::append : os::PrivateAccess::write) ||
        (continuing && file_.size() != held)) {
      return false;
    }
    made_progress();

    bool broken = continuing && have_ > 0;  // bytes of another run: ask again at the end
    int continuations = 0;
    const auto size = static_cast<std::uint64_t>(info_.size);
    while (have_ < size) {
      const std::uint64_t before = have_;
      server_.receive_range(remote_, have_, size - have_, &PackageDownload::take, this);
      if (have_ == size) break;
      if (failed_ || server_.unreachable()) return false;
      if (have_ == before) {
        // Nothing came: the server does not continue (or sent another
        // package from its start). One whole download more.
        file_.close();
        return whole_download();
      }
      broken = true;
      if (++continuations > kContinuations || Clock::now() >= give_up_) return false;
      pause();
    }
    if (!file_.close()) return false;
    if (broken && !still_the_same_package()) {
      discard(local_);
      return false;
    }
    file_delete(record_of(local_).c_str());
    return true;
  }

  // The whole package once more through the transport's whole-file download,
  // from its first byte, as without a partial package.
  bool whole_download() {
    file_.close();
    discard(local_);
    if (shown_ && !fresh_observer_) return false;  // the observer saw bytes it cannot forget
    observer_ = fresh_observer_ ? fresh_observer_() : options_.observer;
    ReceiveOptions whole = options_;
    whole.observer = this;  // the time to give up stays: only bytes move it
    return server_.receive_file(remote_, local_, whole);
  }

 private:
  // Every piece passes here on its way to the caller's observer: it moves
  // the time by which the download gives up.
  void received(const char* data, std::int32_t size) override {
    if (observer_ != nullptr) {
      observer_->received(data, size);
      shown_ = true;
    }
    made_progress();
  }

  static bool take(void* context, std::uint64_t offset, const char* data, std::int32_t size) {
    auto* self = static_cast<PackageDownload*>(context);
    if (offset != self->have_) return false;  // not where the bytes stop
    if (self->options_.max_size > 0 &&
        self->have_ + static_cast<std::uint64_t>(size) > static_cast<std::uint64_t>(self->options_.max_size)) {
      self->failed_ = true;
      return false;
    }
    if (self->options_.keep_free > 0 && self->have_ + size > self->next_space_check_) {
      const std::int64_t free_bytes = os::free_space(self->folder_.c_str());
      if (free_bytes >= 0 &&
          free_bytes - static_cast<std::int64_t>(kFreeSpaceCheckBytes) < self->options_.keep_free) {
        self->failed_ = true;
        return false;
      }
      self->next_space_check_ = self->have_ + kFreeSpaceCheckBytes;
    }
    if (!self->file_.write(data, static_cast<std::size_t>(size))) {
      self->failed_ = true;
      return false;
    }
    self->have_ += static_cast<std::uint64_t>(size);
    self->received(data, size);
    return true;
  }

  // The bytes a former run received go to the observer first.
  bool show_held_bytes() {
    PrivateFile file;
    if (!file.open(local_, os::PrivateAccess::read)) return false;
    std::vector<char> block(kReadBlock);
    std::uint64_t shown = 0;
    while (shown < have_) {
      const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kReadBlock, have_ - shown));
      if (file.read(block.data(), want) != want) return false;
      if (observer_ != nullptr) {
        observer_->received(block.data(), static_cast<std::int32_t>(want));
        shown_ = true;
      }
      shown += want;
    }
    return true;
  }

  void made_progress() {
    give_up_ = Clock::now() + patience_;
    server_.give_up_at(give_up_);
  }

  void pause() {
    const auto step = std::min<Clock::duration>(patience_ / 75, give_up_ - Clock::now());
    if (step > Clock::duration::zero()) std::this_thread::sleep_for(step);
  }

  // After a break the package must still be the one the bytes came from.
  bool still_the_same_package() {
    const auto now = server_.remote_file(remote_);
    return now && now->size == info_.size && now->identity == info_.identity;
  }

  Transport& server_;
  const char* remote_;
  const char* local_;
  RemoteFileInfo info_;
  ReceiveOptions options_;
  const PackageObserverFactory& fresh_observer_;
  std::string folder_;
  Clock::duration patience_;
  Clock::time_point give_up_{};
  DataObserver* observer_ = nullptr;
  PrivateFile file_;
  std::uint64_t have_ = 0;
  std::uint64_t next_space_check_ = 0;
  bool failed_ = false;
  bool shown_ = false;
};

}  // namespace

void discard_partial_package() { discard(PARTIAL_PACKAGE_FILE); }

void discard_unusable_partial_package() {
  // Whatever stands at either name and is not a plain file (a link, a FIFO,
  // a folder) was not left by a download: it goes, unopened.
  os::clear_private_name(PARTIAL_PACKAGE_RECORD);
  os::clear_private_name(PARTIAL_PACKAGE_FILE);
  const std::int64_t held = file_size(PARTIAL_PACKAGE_FILE);
  const auto record = read_record(PARTIAL_PACKAGE_RECORD);
  if (held < 0 || !record || held > record->size) discard_partial_package();
}

bool receive_package(Transport& server, const char* remote, const char* local,
                     const ReceiveOptions& options, const PackageObserverFactory& fresh_observer) {
  os::clear_private_name(record_of(local).c_str());
  os::clear_private_name(local);
  const auto info = server.remote_file(remote);
  if (!info || info->size <= 0 || info->identity.empty() ||
      (options.max_size > 0 && info->size > options.max_size)) {
    // Nothing tells this package from a replaced one: whole, as ever.
    discard(local);
    ReceiveOptions whole = options;
    if (fresh_observer) whole.observer = fresh_observer();
    return server.receive_file(remote, local, whole);
  }
  PackageDownload download(server, remote, local, *info, options, fresh_observer);
  return download.run();
}

}  // namespace brindax
