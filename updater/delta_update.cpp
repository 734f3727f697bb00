#include "updater/delta_update.h"

#include <zlib.h>

#include <algorithm>
#include <map>
#include <memory>

#include "runtime/core/mapped_file.h"
#include "runtime/core/os_file.h"
#include "updater/delta_apply.h"
#include "updater/file_digests.h"
#include "updater/piece_fetch.h"
#include "updater/piece_plan.h"
#include "updater/release_binding.h"
#include "updater/release_check.h"
#include "updater/release_signature.h"

namespace brindax {
namespace {

// What a ZIP local header holds before the name: signature, versions,
// flags, method, time, CRC, sizes, name and extra lengths.
constexpr std::size_t kLocalHeaderSize = 30;
// Room asked for beyond an entry's name and data, for extra fields.
constexpr std::uint64_t kExtraRoom = 1024;
// Verified deltas are applied once this many bytes of them wait.
constexpr std::size_t kDeltaBatchBytes = 16u << 20;

// --- the manifest and its signature ----------------------------------------

struct Collected {
  std::string bytes;
};

bool collect(void* context, std::uint64_t offset, const char* data, std::int32_t n) {
  auto& into = static_cast<Collected*>(context)->bytes;
  if (offset < into.size()) into.resize(static_cast<std::size_t>(offset));  // started over
  if (offset != into.size() || n < 0) return false;
  into.append(data, static_cast<std::size_t>(n));
  return true;
}

std::optional<std::string> fetch_small(Transport& server, const std::string& remote,
                                       std::size_t limit) {
  Collected collected;
  if (!server.receive_stream(remote.c_str(), static_cast<std::int64_t>(limit), collect, &collected)) {
    return std::nullopt;
  }
  return std::move(collected.bytes);
}

// BLAKE2b-512 of a plain file (never waits on a FIFO or the like).
std::optional<Digest512> file_blake2b512(const char* path) {
  os::ReadOnlyFile file;
  if (!file.open(path)) return std::nullopt;
  ReleaseHash hash;
  char block[65536];
  for (;;) {
    const std::int32_t got = file.read(block, sizeof block);
    if (got < 0) return std::nullopt;
    if (got == 0) break;
    hash.update(block, static_cast<std::size_t>(got));
  }
  return hash.finish();
}

// With a key: the manifest's signature must hold and bind exactly the
// accepted release. False when the manifest has no signature (it is then
// not used); a signature that fails or binds anything else refuses the run.
bool manifest_signature_binds(Transport& server, const std::string& remote_manifest,
                              const std::string& manifest_bytes, const Digest512& list_digest) {
  const auto signature_text =
      fetch_small(server, remote_manifest + ".minisig", SIGNATURE_FILE_LIMIT);
  if (!signature_text) return false;  // an unsigned manifest: the whole package, as today
  ReleaseSignature signature;
  if (!parse_release_signature(*signature_text, &signature)) {
    refuse_release("The release manifest's signature is malformed.");
  }
  ReleaseHash hash;
  hash.update(manifest_bytes.data(), manifest_bytes.size());
  const Digest512 digest = hash.finish();
  const SignatureCheck check = check_with_release_keys(
      signature, std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()));
  if (check != SignatureCheck::ok) {
    const std::string text =
        std::string("The release manifest is not signed by the publisher: ") + describe(check) + ".";
    refuse_release(text.c_str());
  }
  const auto binding = parse_manifest_binding(signature.trusted_comment);
  const ReleaseBinding* release = accepted_release_binding();
  if (!binding || release == nullptr || binding->sequence != release->sequence ||
      binding->list_digest != list_digest) {
    refuse_release("The release manifest does not belong to the signed release.");
  }
  return true;
}

// --- receivers of pieces ---------------------------------------------------

// A file being written from a piece: created at its first byte, closed
// when the piece is through, hashed on the way, and never longer than the
// manifest says (an entry that inflates to more fails at once).
class ContentWriter {
 public:
  explicit ContentWriter(std::uint64_t size) : size_(size) {}
  ~ContentWriter() { drop(); }
  void drop() {
    if (file_ != os::NO_FILE) os::close(file_);
    file_ = os::NO_FILE;
    written_ = 0;
    hash_ = ContentHash256();
  }
  bool write(const char* path, const void* data, std::size_t size) {
    if (size > size_ - written_) return false;
    if (file_ == os::NO_FILE) {
      file_ = os::create_always(path);
      if (file_ == os::NO_FILE) return false;
    }
    hash_.update(data, size);
    written_ += size;
    return os::write_all(file_, data, static_cast<std::int32_t>(size));
  }
  // True when the file holds exactly the size's bytes of `digest`.
  bool finish(const char* path, const Digest256& digest) {
    if (file_ == os::NO_FILE && !write(path, "", 0)) return false;
    const bool closed = os::close(file_);
    file_ = os::NO_FILE;
    return closed && written_ == size_ && hash_.finish() == digest;
  }

 private:
  std::uint64_t size_;
  os::FileHandle file_ = os::NO_FILE;
  std::uint64_t written_ = 0;
  ContentHash256 hash_;
};

// An entry's bytes from the package: its local header, then its data,
// inflated (or stored) into the destination as they come.
class EntryReceiver final : public PieceReceiver {
 public:
  explicit EntryReceiver(PieceWork& work) : work_(work), writer_(work.file->size) {}
  ~EntryReceiver() { end_inflate(); }

  void start() override {
    if (finished_) return;  // already written and checked
    header_.clear();
    skip_ = 0;
    data_left_ = work_.file->compressed_size;
    failed_ = false;
    end_inflate();
    writer_.drop();
  }

  bool take(const unsigned char* data, std::size_t size) override {
    if (finished_) return true;
    if (failed_) return false;
    while (size > 0 && !failed_) {
      if (header_.size() < kLocalHeaderSize) {
        const std::size_t n = std::min(size, kLocalHeaderSize - header_.size());
        header_.append(reinterpret_cast<const char*>(data), n);
        data += n;
        size -= n;
        if (header_.size() == kLocalHeaderSize) failed_ = !read_header();
        continue;
      }
      if (skip_ > 0) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, skip_));
        skip_ -= n;
        data += n;
        size -= n;
        continue;
      }
      if (data_left_ == 0) break;
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, data_left_));
      failed_ = !(work_.file->method == 0 ? writer_.write(work_.destination.c_str(), data, n)
                                          : inflate_some(data, n));
      data_left_ -= n;
      data += n;
      size -= n;
    }
    // The rest is the room asked for beyond the data.
    if (!failed_ && header_.size() == kLocalHeaderSize && skip_ == 0 && data_left_ == 0) finish();
    return !failed_;
  }

  bool finished() const { return finished_; }

 private:
  static std::uint16_t u16(const std::string& b, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(b[at]) |
                                      static_cast<unsigned char>(b[at + 1]) << 8);
  }

  bool read_header() {
    if (header_.compare(0, 4, "PK\x03\x04", 4) != 0 || u16(header_, 8) != work_.file->method) return false;
    skip_ = std::uint64_t{u16(header_, 26)} + u16(header_, 28);
    if (work_.file->method == 8) {
      stream_ = std::make_unique<z_stream>();
      if (inflateInit2(stream_.get(), -MAX_WBITS) != Z_OK) {
        stream_.reset();
        return false;
      }
    }
    return true;
  }

  bool inflate_some(const unsigned char* data, std::size_t size) {
    if (!stream_ || stream_ended_) return false;  // data after the deflate stream ended
    unsigned char out[65536];
    stream_->next_in = const_cast<unsigned char*>(data);
    stream_->avail_in = static_cast<uInt>(size);
    do {
      stream_->next_out = out;
      stream_->avail_out = sizeof out;
      const int result = inflate(stream_.get(), Z_NO_FLUSH);
      if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) return false;
      const std::size_t produced = sizeof out - stream_->avail_out;
      if (produced > 0 && !writer_.write(work_.destination.c_str(), out, produced)) return false;
      if (result == Z_STREAM_END) {
        stream_ended_ = true;
        return stream_->avail_in == 0;
      }
      if (result == Z_BUF_ERROR && produced == 0) break;
    } while (stream_->avail_in > 0 || stream_->avail_out == 0);
    return true;
  }

  void finish() {
    const bool ended = work_.file->method == 0 || stream_ended_;
    end_inflate();
    finished_ = ended && writer_.finish(work_.destination.c_str(), work_.file->digest);
    failed_ = !finished_;
    // The mode the package records for the entry, as its unpack would give.
    if (finished_) os::set_executable(work_.destination.c_str(), work_.file->executable);
  }

  void end_inflate() {
    if (stream_) inflateEnd(stream_.get());
    stream_.reset();
    stream_ended_ = false;
  }

  PieceWork& work_;
  std::string header_;
  std::uint64_t skip_ = 0;
  std::uint64_t data_left_ = 0;
  std::unique_ptr<z_stream> stream_;
  bool stream_ended_ = false;
  bool failed_ = false;
  bool finished_ = false;
  ContentWriter writer_;
};

// Verified deltas waiting to be applied, applied a batch at a time so that
// few of them are held in memory at once.
class DeltaBatch {
 public:
  void add(DeltaJob job, std::size_t owner) {
    bytes_ += job.frame.size();
    jobs_.push_back(std::move(job));
    owners_.push_back(owner);
    if (bytes_ >= kDeltaBatchBytes) apply();
  }
  void apply() {
    apply_deltas(jobs_);
    for (std::size_t i = 0; i < jobs_.size(); ++i) outcomes_[owners_[i]] = jobs_[i].outcome;
    jobs_.clear();
    owners_.clear();
    bytes_ = 0;
  }
  bool applied(std::size_t owner) const {
    const auto found = outcomes_.find(owner);
    return found != outcomes_.end() && found->second == DeltaOutcome::applied;
  }

 private:
  std::vector<DeltaJob> jobs_;
  std::vector<std::size_t> owners_;
  std::size_t bytes_ = 0;
  std::map<std::size_t, DeltaOutcome> outcomes_;
};

// A delta's frame: held until all of it is there and its digest is the
// manifest's, then handed to the batch.
class DeltaReceiver final : public PieceReceiver {
 public:
  DeltaReceiver(PieceWork& work, const ManifestDelta& delta, DeltaBatch& batch, std::size_t owner)
      : work_(work), delta_(delta), batch_(batch), owner_(owner) {}

  void start() override {
    if (handed_) return;
    frame_.clear();
    hash_ = ContentHash256();
  }
  bool take(const unsigned char* data, std::size_t size) override {
    if (handed_) return true;
    frame_.append(reinterpret_cast<const char*>(data), size);
    hash_.update(data, size);
    if (frame_.size() < delta_.size) return true;
    if (frame_.size() > delta_.size || hash_.finish() != delta_.digest) return false;
    DeltaJob job;
    job.kind = delta_.kind;
    job.base = delta_.from_nothing ? std::string() : work_.file->name;
    job.frame = std::move(frame_);
    job.size = work_.file->size;
    job.digest = work_.file->digest;
    job.output = work_.destination;
    job.executable = work_.file->executable;
    handed_ = true;
    batch_.add(std::move(job), owner_);
    return true;
  }

 private:
  PieceWork& work_;
  const ManifestDelta& delta_;
  DeltaBatch& batch_;
  std::size_t owner_;
  std::string frame_;
  ContentHash256 hash_;
  bool handed_ = false;
};

// Where a file's entry lies in the package, with room for its name and
// extra fields; nullopt when it cannot lie there.
std::optional<WantedPiece> entry_piece(const ReleaseManifest& manifest, const ManifestFile& file) {
  const std::uint64_t size = manifest.package_size;
  const std::uint64_t wanted = kLocalHeaderSize + 2 * file.name.size() + kExtraRoom + file.compressed_size;
  if (file.header_offset >= size || size - file.header_offset < kLocalHeaderSize + file.compressed_size) {
    return std::nullopt;
  }
  return WantedPiece{manifest.package, file.header_offset, std::min(wanted, size - file.header_offset)};
}

std::map<std::string, std::uint64_t> delta_file_extents(const ReleaseManifest& manifest) {
  std::map<std::string, std::uint64_t> extents;
  for (const auto& file : manifest.files) {
    for (const auto& delta : file.deltas) {
      auto& extent = extents[delta.file];
      extent = std::max(extent, delta.offset + delta.size);
    }
  }
  return extents;
}

}  // namespace

std::optional<ReleaseManifest> fetch_release_manifest(Transport& server, const char* remote_list,
                                                      const char* list_copy, std::string_view package) {
  const std::string remote = manifest_name_for(remote_list);
  const auto bytes = fetch_small(server, remote, MANIFEST_MAX_BYTES);
  if (!bytes) return std::nullopt;  // no manifest: everything as before
  const auto list_digest = file_blake2b512(list_copy);
  if (!list_digest) return std::nullopt;
  if (release_signatures_checked() && !manifest_signature_binds(server, remote, *bytes, *list_digest)) {
    return std::nullopt;
  }
  auto text = decompress_release_manifest(*bytes);
  std::optional<ReleaseManifest> manifest;
  if (text) manifest = parse_release_manifest(*text);
  const bool fits = manifest && manifest->list_digest == *list_digest && manifest->package == package;
  if (release_signatures_checked()) {
    const ReleaseBinding* release = accepted_release_binding();
    if (!fits || release == nullptr || manifest->package_size != release->package_size ||
        manifest->package_digest != release->package_digest) {
      refuse_release("The release manifest does not describe the signed release.");
    }
  }
  if (!fits) return std::nullopt;
  return manifest;
}

const ManifestDelta* delta_for(const ManifestFile& file, const std::optional<Digest256>& installed) {
  if (file.size > DELTA_MAX_FILE_SIZE) return nullptr;
  const ManifestDelta* from_nothing = nullptr;
  for (const auto& delta : file.deltas) {
    // A frame is held in memory until it is applied: never one larger
    // than the files deltas are made for.
    if (delta.size > DELTA_MAX_FILE_SIZE) continue;
    if (delta.from_nothing) {
      from_nothing = &delta;
    } else if (installed && delta.base == *installed) {
      return &delta;
    }
  }
  return from_nothing;
}

std::string deltas_from_installed_release(const ReleaseManifest& manifest, const char* installed_list) {
  const auto digest = file_blake2b512(installed_list);
  return digest ? delta_file_name(*digest, manifest.list_digest) : std::string();
}

const ManifestDelta* only_delta_from_installed_release(const ManifestFile& file, std::string_view installed_deltas) {
  if (installed_deltas.empty() || file.deltas.size() != 1 || file.deltas[0].from_nothing ||
      file.deltas[0].file != installed_deltas) {
    return nullptr;
  }
  return delta_for(file, file.deltas[0].base);
}

bool way_depends_on_installed(const ManifestFile& file) {
  return std::any_of(file.deltas.begin(), file.deltas.end(), [](const auto& delta) { return !delta.from_nothing; });
}

std::uint64_t piece_bytes(const ReleaseManifest& manifest, const std::vector<PieceWork>& work) {
  std::vector<WantedPiece> pieces;
  for (const auto& item : work) {
    if (item.done) continue;
    if (const ManifestDelta* delta = delta_for(*item.file, item.installed)) {
      pieces.push_back({delta->file, delta->offset, delta->size});
    } else if (const auto piece = entry_piece(manifest, *item.file)) {
      pieces.push_back(*piece);
    } else {
      return manifest.package_size;  // only the package has it
    }
  }
  return planned_bytes(plan_downloads(pieces, delta_file_extents(manifest)));
}

PieceTally bring_by_pieces(Transport& server, const ReleaseManifest& manifest,
                           std::vector<PieceWork>& work) {
  PieceTally tally;
  const auto extents = delta_file_extents(manifest);
  // Round one: a delta for every file that has one, the entry's bytes for
  // the others; round two: the entry's bytes for the files whose delta
  // failed. What is still missing then comes with the whole package.
  enum class Tried : std::uint8_t { nothing, delta, range };
  std::vector<Tried> tried(work.size(), Tried::nothing);
  for (int round = 0; round < 2; ++round) {
    DeltaBatch batch;
    std::vector<WantedPiece> pieces;
    std::vector<std::size_t> owners;
    std::vector<std::unique_ptr<EntryReceiver>> entries;
    std::vector<std::unique_ptr<DeltaReceiver>> deltas;
    std::vector<PieceReceiver*> receivers;
    std::vector<EntryReceiver*> entry_of(work.size(), nullptr);
    for (std::size_t i = 0; i < work.size(); ++i) {
      PieceWork& item = work[i];
      if (item.done || tried[i] == Tried::range) continue;
      const ManifestDelta* delta =
          tried[i] == Tried::nothing ? delta_for(*item.file, item.installed) : nullptr;
      if (delta != nullptr) {
        tried[i] = Tried::delta;
        pieces.push_back({delta->file, delta->offset, delta->size});
        deltas.push_back(std::make_unique<DeltaReceiver>(item, *delta, batch, i));
        receivers.push_back(deltas.back().get());
      } else {
        tried[i] = Tried::range;
        const auto piece = entry_piece(manifest, *item.file);
        if (!piece) continue;
        pieces.push_back(*piece);
        entries.push_back(std::make_unique<EntryReceiver>(item));
        entry_of[i] = entries.back().get();
        receivers.push_back(entries.back().get());
      }
      owners.push_back(i);
    }
    if (pieces.empty()) break;
    const auto plan = plan_downloads(pieces, extents);
    tally.downloads += static_cast<int>(plan.size());
    tally.bytes += planned_bytes(plan);
    fetch_pieces(server, pieces, plan, receivers);
    batch.apply();
    for (const std::size_t i : owners) {
      PieceWork& item = work[i];
      item.done = entry_of[i] != nullptr ? entry_of[i]->finished() : batch.applied(i);
      if (!item.done && tried[i] == Tried::delta && item.may_already_be_the_releases &&
          digest_file(item.file->name.c_str()) == item.file->digest) {
        item.already_the_releases = item.done = true;
      }
    }
  }
  return tally;
}

}  // namespace brindax
