#include "publish/package_writer.h"

#include <sodium.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

namespace brindax::publish {

namespace fs = std::filesystem;

static_assert(sizeof(crypto_generichash_state) <= 384, "digest state does not fit");

ContentDigest::ContentDigest() {
  crypto_generichash_init(reinterpret_cast<crypto_generichash_state*>(state_), nullptr, 0,
                          crypto_generichash_BYTES_MIN);
}

void ContentDigest::update(const void* data, std::size_t size) {
  crypto_generichash_update(reinterpret_cast<crypto_generichash_state*>(state_),
                            static_cast<const unsigned char*>(data), size);
}

std::string ContentDigest::hex() {
  unsigned char digest[crypto_generichash_BYTES_MIN];
  crypto_generichash_final(reinterpret_cast<crypto_generichash_state*>(state_), digest,
                           sizeof digest);
  char text[17];
  sodium_bin2hex(text, sizeof text, digest, 8);
  return text;
}

std::time_t zip_time_for(std::int64_t epoch) {
  constexpr std::int64_t kFirstZipTime = 315532800;  // 1980-01-01 00:00:00 UTC
  std::time_t utc = static_cast<std::time_t>(std::max(epoch, kFirstZipTime));
  std::tm reading{};
#ifdef _WIN32
  gmtime_s(&reading, &utc);
#else
  gmtime_r(&utc, &reading);
#endif
  reading.tm_isdst = -1;
  const std::time_t local = std::mktime(&reading);
  return local == static_cast<std::time_t>(-1) ? utc : local;
}

namespace {

constexpr std::size_t kReadChunk = 256 * 1024;
constexpr std::size_t kOutChunk = 64 * 1024;

// What a worker found out about one file, and where its compressed data lies.
struct Compressed {
  std::string version;
  std::uint32_t crc = 0;
  std::uint64_t size = 0;
  std::uint64_t compressed_size = 0;
  bool stored = false;
  std::size_t spill = 0;  // which worker's spill file
  std::uint64_t offset = 0;
  std::string error;
};

// A worker's own temporary file: the compressed data of its files, one after
// the other. Removed when the writer is done.
class SpillFile {
 public:
  explicit SpillFile(fs::path path) : path_(std::move(path)) {
    out_.open(path_, std::ios::binary | std::ios::trunc | std::ios::out);
  }
  ~SpillFile() {
    out_.close();
    std::error_code ignored;
    fs::remove(path_, ignored);
  }
  bool good() const { return out_.good(); }
  std::uint64_t position() const { return position_; }
  void write(const void* data, std::size_t n) {
    out_.write(static_cast<const char*>(data), static_cast<std::streamsize>(n));
    position_ += n;
  }
  // Forgets everything from `position` on (a file that ends up stored).
  void rewind(std::uint64_t position) {
    out_.seekp(static_cast<std::streamoff>(position));
    position_ = position;
  }
  bool flush() { return out_.flush().good(); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
  std::ofstream out_;
  std::uint64_t position_ = 0;
};

constexpr std::size_t kSample = 32 * 1024;

// Whether deflate saves less than 1% on three samples of the file (its start,
// middle and end); such a file is stored without compressing the rest. Small
// files are not sampled: they are deflated whole and stored when that does
// not shrink them.
bool looks_incompressible(const fs::path& source) {
  std::error_code error;
  const std::uintmax_t size = fs::file_size(source, error);
  if (error || size < 4 * kSample) return false;
  std::ifstream in(source, std::ios::binary);
  std::vector<unsigned char> sample(kSample), packed(compressBound(kSample));
  std::uint64_t taken = 0, made = 0;
  for (const std::uintmax_t at : {std::uintmax_t{0}, (size - kSample) / 2, size - kSample}) {
    in.seekg(static_cast<std::streamoff>(at));
    in.read(reinterpret_cast<char*>(sample.data()), kSample);
    if (in.gcount() != static_cast<std::streamsize>(kSample)) return false;
    z_stream stream{};
    if (deflateInit2(&stream, 1, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
    stream.next_in = sample.data();
    stream.avail_in = kSample;
    stream.next_out = packed.data();
    stream.avail_out = static_cast<uInt>(packed.size());
    const int status = deflate(&stream, Z_FINISH);
    made += stream.total_out;
    deflateEnd(&stream);
    if (status != Z_STREAM_END) return false;
    taken += kSample;
  }
  return made * 100 >= taken * 99;
}

// One pass over a file: digest, CRC and raw deflate into the spill file.
void compress_file(const fs::path& source, int level, SpillFile& spill, Compressed* result) {
  std::ifstream in(source, std::ios::binary);
  if (!in) {
    result->error = "cannot open";
    return;
  }
  const bool deflating = !looks_incompressible(source);
  z_stream stream{};
  if (deflateInit2(&stream, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    result->error = "cannot start compression";
    return;
  }
  const std::unique_ptr<z_stream, int (*)(z_stream*)> cleanup(&stream, deflateEnd);
  std::vector<unsigned char> input(kReadChunk), output(kOutChunk);
  ContentDigest digest;
  uLong crc = crc32(0, Z_NULL, 0);
  result->offset = spill.position();
  auto pump = [&](int flush) {
    int status = Z_OK;
    do {
      stream.next_out = output.data();
      stream.avail_out = static_cast<uInt>(output.size());
      status = deflate(&stream, flush);
      spill.write(output.data(), output.size() - stream.avail_out);
    } while (stream.avail_out == 0 && status != Z_STREAM_END);
    return status;
  };
  for (;;) {
    in.read(reinterpret_cast<char*>(input.data()), static_cast<std::streamsize>(input.size()));
    const auto n = static_cast<std::size_t>(in.gcount());
    if (n == 0) break;
    digest.update(input.data(), n);
    crc = crc32(crc, input.data(), static_cast<uInt>(n));
    result->size += n;
    if (!deflating) continue;
    stream.next_in = input.data();
    stream.avail_in = static_cast<uInt>(n);
    pump(Z_NO_FLUSH);
  }
  if (in.bad()) {
    result->error = "cannot read";
    return;
  }
  result->version = digest.hex();
  result->crc = static_cast<std::uint32_t>(crc);
  if (!deflating) {
    result->stored = true;
    return;
  }
  if (pump(Z_FINISH) != Z_STREAM_END || !spill.good()) {
    result->error = "cannot write the temporary file " + spill.path().string();
    return;
  }
  result->compressed_size = spill.position() - result->offset;
  if (result->compressed_size >= result->size) {
    result->stored = true;
    spill.rewind(result->offset);
  }
}

// Runs compress_file over every folder file on a few threads.
bool compress_all(const std::vector<PackageEntry>& entries, const fs::path& package,
                  int level, std::vector<std::unique_ptr<SpillFile>>& spills,
                  std::vector<Compressed>& results, std::string* error) {
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  const std::size_t workers = std::min<std::size_t>(std::min(cores, 8u), std::max<std::size_t>(entries.size(), 1));
  for (std::size_t w = 0; w < workers; ++w) {
    fs::path path = package;
    path += ".part" + std::to_string(w);
    spills.push_back(std::make_unique<SpillFile>(path));
    if (!spills.back()->good()) {
      *error = "cannot create the temporary file " + path.string();
      return false;
    }
  }
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  auto work = [&](std::size_t w) {
    for (std::size_t i = next++; i < entries.size() && !failed; i = next++) {
      if (entries[i].previous_index >= 0) continue;
      results[i].spill = w;
      compress_file(entries[i].source, level, *spills[w], &results[i]);
      if (!results[i].error.empty()) failed = true;
    }
  };
  std::vector<std::thread> threads;
  for (std::size_t w = 1; w < workers; ++w) threads.emplace_back(work, w);
  work(0);
  for (std::thread& thread : threads) thread.join();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (!results[i].error.empty()) {
      *error = results[i].error + " " + entries[i].source.string();
      return false;
    }
  }
  for (auto& spill : spills) {
    if (!spill->flush()) {
      *error = "cannot write the temporary file " + spill->path().string();
      return false;
    }
  }
  return true;
}

// A libzip source that hands over a stretch of a file: the compressed data in
// a spill file (with its sizes and CRC, so libzip copies it unchanged), or a
// stored file's own content (libzip computes the CRC).
struct StretchSource {
  fs::path path;
  std::uint64_t offset = 0;
  std::uint64_t left = 0;
  zip_stat_t stat{};
  std::ifstream in;
  zip_error_t error{};

  static zip_int64_t callback(void* user, void* data, zip_uint64_t length, zip_source_cmd_t command) {
    auto* self = static_cast<StretchSource*>(user);
    switch (command) {
      case ZIP_SOURCE_OPEN:
        self->in.open(self->path, std::ios::binary);
        self->in.seekg(static_cast<std::streamoff>(self->offset));
        self->left = self->stat.comp_size;
        if (!self->in) {
          zip_error_set(&self->error, ZIP_ER_OPEN, 0);
          return -1;
        }
        return 0;
      case ZIP_SOURCE_READ: {
        const auto n = static_cast<std::streamsize>(std::min<zip_uint64_t>(length, self->left));
        self->in.read(static_cast<char*>(data), n);
        if (self->in.gcount() != n) {
          zip_error_set(&self->error, ZIP_ER_READ, 0);
          return -1;
        }
        self->left -= static_cast<std::uint64_t>(n);
        return n;
      }
      case ZIP_SOURCE_CLOSE:
        self->in.close();
        return 0;
      case ZIP_SOURCE_STAT:
        return zip_source_stat_copy(self, data, length);
      case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&self->error, data, length);
      case ZIP_SOURCE_FREE:
        delete self;
        return 0;
      case ZIP_SOURCE_SUPPORTS:
        return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE,
                                              ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
      default:
        zip_error_set(&self->error, ZIP_ER_OPNOTSUPP, 0);
        return -1;
    }
  }

  static zip_int64_t zip_source_stat_copy(StretchSource* self, void* data, zip_uint64_t length) {
    if (length < sizeof(zip_stat_t)) {
      zip_error_set(&self->error, ZIP_ER_INVAL, 0);
      return -1;
    }
    std::memcpy(data, &self->stat, sizeof(zip_stat_t));
    return sizeof(zip_stat_t);
  }
};

zip_source_t* make_source(zip_t* archive, const PackageEntry& entry, const Compressed& data,
                          const std::vector<std::unique_ptr<SpillFile>>& spills) {
  auto* source = new StretchSource;
  zip_error_init(&source->error);
  zip_stat_init(&source->stat);
  source->stat.valid = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_COMP_METHOD;
  source->stat.size = data.size;
  if (data.stored) {
    source->path = entry.source;
    source->stat.comp_size = data.size;
    source->stat.comp_method = ZIP_CM_STORE;
  } else {
    source->path = spills[data.spill]->path();
    source->offset = data.offset;
    source->stat.comp_size = data.compressed_size;
    source->stat.comp_method = ZIP_CM_DEFLATE;
    source->stat.crc = data.crc;
    source->stat.valid |= ZIP_STAT_CRC;
  }
  zip_source_t* made = zip_source_function(archive, &StretchSource::callback, source);
  if (made == nullptr) delete source;
  return made;
}

std::string archive_error(zip_t* archive) {
  const char* text = zip_strerror(archive);
  return text != nullptr ? text : "unknown error";
}

}  // namespace

PackageOutcome write_package(const fs::path& path, const std::vector<PackageEntry>& entries,
                             zip_t* previous, std::time_t mtime, int compression_level) {
  PackageOutcome outcome;
  std::vector<std::unique_ptr<SpillFile>> spills;
  std::vector<Compressed> compressed(entries.size());
  if (!compress_all(entries, path, compression_level, spills, compressed, &outcome.error)) {
    return outcome;
  }

  std::error_code ignored;
  fs::remove(path, ignored);
  int code = 0;
  const std::u8string utf8_path = path.u8string();
  zip_t* archive = zip_open(reinterpret_cast<const char*>(utf8_path.c_str()), ZIP_CREATE | ZIP_EXCL, &code);
  if (archive == nullptr) {
    outcome.error = "cannot create " + path.string();
    return outcome;
  }
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const PackageEntry& entry = entries[i];
    zip_source_t* source = nullptr;
    bool stored = compressed[i].stored;
    zip_uint32_t attributes = (0100000u | (entry.executable ? 0755u : 0644u)) << 16;
    zip_uint8_t system = ZIP_OPSYS_UNIX;
    if (entry.previous_index >= 0) {
      zip_stat_t old{};
      const auto index = static_cast<zip_uint64_t>(entry.previous_index);
      zip_stat_index(previous, index, 0, &old);
      stored = (old.valid & ZIP_STAT_COMP_METHOD) && old.comp_method == ZIP_CM_STORE;
      zip_file_get_external_attributes(previous, index, 0, &system, &attributes);
      source = zip_source_zip(archive, previous, index, 0, 0, -1);
    } else {
      source = make_source(archive, entry, compressed[i], spills);
    }
    const zip_int64_t index =
        source == nullptr ? -1 : zip_file_add(archive, entry.name.c_str(), source, ZIP_FL_ENC_UTF_8);
    if (index < 0) {
      if (source != nullptr) zip_source_free(source);
      outcome.error = "cannot add " + entry.name + ": " + archive_error(archive);
      zip_discard(archive);
      return outcome;
    }
    const auto added = static_cast<zip_uint64_t>(index);
    if (stored) zip_set_file_compression(archive, added, ZIP_CM_STORE, 0);
    zip_file_set_external_attributes(archive, added, 0, system, attributes);
    zip_file_set_mtime(archive, added, mtime, 0);
  }
  if (zip_close(archive) != 0) {
    outcome.error = "cannot write " + path.string() + ": " + archive_error(archive);
    zip_discard(archive);
    return outcome;
  }
  for (std::size_t i = 0; i < entries.size(); ++i) outcome.versions.push_back(compressed[i].version);
  outcome.ok = true;
  return outcome;
}

}  // namespace brindax::publish
