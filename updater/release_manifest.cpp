#include "updater/release_manifest.h"

#include <sodium.h>
#include <zstd.h>

#include <limits>
#include <memory>
#include <set>
#include <utility>

#include "updater/entry_path.h"

namespace brindax {
namespace {

constexpr std::string_view kHeader = "brindax-manifest 1";
constexpr std::string_view kDeltaFolder = "deltas/";
constexpr std::string_view kExecutableLine = "executable";
constexpr char kHexDigits[] = "0123456789abcdef";
// The smallest local header of a ZIP entry (before its name and extra field).
constexpr std::uint64_t kLocalHeaderBytes = 30;
// The compression of the served file: the strongest level, as the manifest
// is made once and fetched by every updater.
constexpr int kCompressionLevel = 22;
// A window no larger than the text can need (64 MiB).
constexpr int kWindowLogMax = 26;

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// One line's fields, taken from the left; the last may hold blanks.
class Fields {
 public:
  explicit Fields(std::string_view line) : rest_(line) {}

  bool word(std::string_view expected) {
    std::string_view got;
    return next(&got) && got == expected;
  }

  bool number(std::uint64_t* value) {
    std::string_view digits;
    if (!next(&digits) || digits.empty() || (digits.size() > 1 && digits[0] == '0')) return false;
    std::uint64_t result = 0;
    for (const char c : digits) {
      if (c < '0' || c > '9') return false;
      const auto digit = static_cast<std::uint64_t>(c - '0');
      if (result > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return false;
      result = result * 10 + digit;
    }
    *value = result;
    return true;
  }

  template <std::size_t N>
  bool digest(std::array<std::uint8_t, N>* value) {
    std::string_view hex;
    if (!next(&hex)) return false;
    return parse_hex(hex, value);
  }

  template <std::size_t N>
  static bool parse_hex(std::string_view hex, std::array<std::uint8_t, N>* value) {
    if (hex.size() != 2 * N) return false;
    for (std::size_t i = 0; i < N; ++i) {
      const int high = hex_value(hex[2 * i]), low = hex_value(hex[2 * i + 1]);
      if (high < 0 || low < 0) return false;
      (*value)[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return true;
  }

  // Everything left: a name (not empty).
  bool rest(std::string* value) {
    if (done_ || rest_.empty()) return false;
    value->assign(rest_);
    done_ = true;
    return true;
  }

  bool next(std::string_view* value) {
    if (done_) return false;
    const std::size_t blank = rest_.find(' ');
    *value = rest_.substr(0, blank);
    if (blank == std::string_view::npos) {
      done_ = true;
    } else {
      rest_.remove_prefix(blank + 1);
    }
    return true;
  }

  bool finished() const { return done_; }

 private:
  std::string_view rest_;
  bool done_ = false;
};

bool name_is_installable(const std::string& name) {
  return !name.empty() && name.back() != '/' && name.back() != '\\' &&
         entry_name_is_safe(name.c_str());
}

// "deltas/<one plain component>", of letters, digits, ".", "-" and "_".
bool delta_file_is_sound(std::string_view file) {
  if (file.substr(0, kDeltaFolder.size()) != kDeltaFolder) return false;
  const std::string_view component = file.substr(kDeltaFolder.size());
  if (component.empty() || component.front() == '.' || component.back() == '.') return false;
  for (const char c : component) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '-' || c == '_';
    if (!plain) return false;
  }
  return true;
}

bool parse_file_line(std::string_view line, std::uint64_t package_size, ManifestFile* file) {
  Fields fields(line);
  std::uint64_t method = 0;
  if (!fields.word("file") || !fields.number(&file->size) || !fields.digest(&file->digest) ||
      !fields.number(&file->header_offset) || !fields.number(&file->compressed_size) ||
      !fields.number(&method) || !fields.rest(&file->name)) {
    return false;
  }
  if (method != 0 && method != 8) return false;
  file->method = static_cast<std::uint16_t>(method);
  if (file->method == 0 && file->compressed_size != file->size) return false;
  // The entry's header and its bytes lie inside the package.
  if (file->header_offset > package_size ||
      package_size - file->header_offset < kLocalHeaderBytes ||
      package_size - file->header_offset - kLocalHeaderBytes < file->compressed_size) {
    return false;
  }
  return name_is_installable(file->name);
}

bool parse_delta_line(std::string_view line, ManifestDelta* delta) {
  Fields fields(line);
  std::string_view base;
  std::string_view kind;
  if (!fields.next(&kind) || !fields.next(&base)) return false;
  if (kind == "difference") {
    delta->kind = DeltaKind::difference;
  } else if (kind != "delta") {
    return false;
  }
  delta->from_nothing = base == "-" && delta->kind == DeltaKind::zstd_frame;
  if (!delta->from_nothing && !Fields::parse_hex(base, &delta->base)) return false;
  if (!fields.number(&delta->offset) || !fields.number(&delta->size) ||
      !fields.digest(&delta->digest) || !fields.rest(&delta->file)) {
    return false;
  }
  if (delta->size == 0 || delta->offset > std::numeric_limits<std::uint64_t>::max() - delta->size) {
    return false;
  }
  return delta_file_is_sound(delta->file);
}

// The lines of the text: each ended by LF, none empty.
bool split_lines(std::string_view text, std::vector<std::string_view>* lines) {
  if (text.empty() || text.back() != '\n') return false;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    if (line.empty() || line.find('\r') != std::string_view::npos) return false;
    lines->push_back(line);
    text.remove_prefix(end + 1);
  }
  return true;
}

struct ZstdDecompressor {
  ZSTD_DCtx* context = ZSTD_createDCtx();
  ~ZstdDecompressor() { ZSTD_freeDCtx(context); }
};

}  // namespace

std::optional<ReleaseManifest> parse_release_manifest(std::string_view text) {
  if (text.size() > MANIFEST_MAX_BYTES) return std::nullopt;
  std::vector<std::string_view> lines;
  if (!split_lines(text, &lines) || lines.size() < 3 || lines[0] != kHeader) return std::nullopt;

  ReleaseManifest manifest;
  {
    Fields fields(lines[1]);
    if (!fields.word("package") || !fields.number(&manifest.package_size) ||
        !fields.digest(&manifest.package_digest) || !fields.rest(&manifest.package)) {
      return std::nullopt;
    }
    if (!name_is_installable(manifest.package) ||
        manifest.package.find_first_of("/\\") != std::string::npos) {
      return std::nullopt;
    }
  }
  {
    Fields fields(lines[2]);
    if (!fields.word("list") || !fields.digest(&manifest.list_digest) || !fields.finished()) {
      return std::nullopt;
    }
  }

  std::set<std::string> keys;
  std::set<Digest256> bases;
  bool from_nothing = false;
  for (std::size_t i = 3; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    if (line == kExecutableLine) {
      // Only right after its file line: once per file, before the deltas.
      if (lines[i - 1].substr(0, 5) != "file ") return std::nullopt;
      manifest.files.back().executable = true;
    } else if (line.substr(0, 5) == "file ") {
      ManifestFile file;
      if (!parse_file_line(line, manifest.package_size, &file)) return std::nullopt;
      if (!keys.insert(entry_name_key(file.name.c_str())).second) return std::nullopt;
      manifest.files.push_back(std::move(file));
      bases.clear();
      from_nothing = false;
    } else if ((line.substr(0, 6) == "delta " || line.substr(0, 11) == "difference ") && !manifest.files.empty()) {
      ManifestDelta delta;
      if (!parse_delta_line(line, &delta)) return std::nullopt;
      // One delta per base: which of two would be the one to take?
      if (delta.from_nothing ? std::exchange(from_nothing, true) : !bases.insert(delta.base).second) {
        return std::nullopt;
      }
      manifest.files.back().deltas.push_back(std::move(delta));
    } else {
      return std::nullopt;
    }
  }
  return manifest;
}

std::string format_release_manifest(const ReleaseManifest& manifest) {
  std::string text(kHeader);
  text += "\npackage " + std::to_string(manifest.package_size) + ' ' +
          digest_hex(manifest.package_digest) + ' ' + manifest.package;
  text += "\nlist " + digest_hex(manifest.list_digest) + '\n';
  for (const ManifestFile& file : manifest.files) {
    text += "file " + std::to_string(file.size) + ' ' + digest_hex(file.digest) + ' ' +
            std::to_string(file.header_offset) + ' ' + std::to_string(file.compressed_size) + ' ' +
            std::to_string(file.method) + ' ' + file.name + '\n';
    if (file.executable) text += std::string(kExecutableLine) + '\n';
    for (const ManifestDelta& delta : file.deltas) {
      text += delta.kind == DeltaKind::difference ? "difference " : "delta ";
      text += delta.from_nothing ? std::string("-") : digest_hex(delta.base);
      text += ' ' + std::to_string(delta.offset) + ' ' + std::to_string(delta.size) + ' ' +
              digest_hex(delta.digest) + ' ' + delta.file + '\n';
    }
  }
  return text;
}

std::string compress_release_manifest(std::string_view text) {
  std::string out(ZSTD_compressBound(text.size()), '\0');
  const std::size_t written =
      ZSTD_compress(out.data(), out.size(), text.data(), text.size(), kCompressionLevel);
  if (ZSTD_isError(written)) return {};  // cannot happen with a bound-sized buffer
  out.resize(written);
  return out;
}

std::optional<std::string> decompress_release_manifest(std::string_view bytes) {
  ZstdDecompressor decompressor;
  if (decompressor.context == nullptr ||
      ZSTD_isError(ZSTD_DCtx_setParameter(decompressor.context, ZSTD_d_windowLogMax, kWindowLogMax))) {
    return std::nullopt;
  }
  std::string text;
  ZSTD_inBuffer in{bytes.data(), bytes.size(), 0};
  std::array<char, 1 << 16> chunk;
  for (;;) {
    ZSTD_outBuffer out{chunk.data(), chunk.size(), 0};
    const std::size_t pending = ZSTD_decompressStream(decompressor.context, &out, &in);
    if (ZSTD_isError(pending) || out.pos > MANIFEST_MAX_BYTES - text.size()) return std::nullopt;
    text.append(chunk.data(), out.pos);
    // One whole frame and nothing after it.
    if (pending == 0) {
      if (in.pos != in.size) return std::nullopt;
      break;
    }
    // All input taken and all output given, but the frame is not complete.
    if (in.pos == in.size && out.pos < out.size) return std::nullopt;
  }
  return text;
}

std::string manifest_name_for(std::string_view list_name) {
  return std::string(list_name) + ".manifest";
}

std::string delta_file_name(const Digest512& old_list, const Digest512& new_list) {
  return std::string(kDeltaFolder) + digest_hex(old_list.data(), 16) + '-' +
         digest_hex(new_list.data(), 16) + ".delta";
}

ContentHash256::ContentHash256() {
  static_assert(sizeof state_ >= sizeof(crypto_generichash_state));
  // Picks the fastest BLAKE2b code for this processor; hashing needs nothing
  // else of it (it fails only for want of a source of random numbers).
  static const int ready = sodium_init();
  (void)ready;
  crypto_generichash_init(reinterpret_cast<crypto_generichash_state*>(state_), nullptr, 0,
                          Digest256{}.size());
}

void ContentHash256::update(const void* data, std::size_t size) {
  crypto_generichash_update(reinterpret_cast<crypto_generichash_state*>(state_),
                            static_cast<const unsigned char*>(data), size);
}

Digest256 ContentHash256::finish() {
  Digest256 digest{};
  crypto_generichash_final(reinterpret_cast<crypto_generichash_state*>(state_), digest.data(),
                           digest.size());
  return digest;
}

Digest256 content_digest(std::string_view content) {
  ContentHash256 hash;
  hash.update(content.data(), content.size());
  return hash.finish();
}

std::string digest_hex(const std::uint8_t* bytes, std::size_t size) {
  std::string text;
  text.reserve(2 * size);
  for (std::size_t i = 0; i < size; ++i) {
    text += kHexDigits[bytes[i] >> 4];
    text += kHexDigits[bytes[i] & 0xF];
  }
  return text;
}

}  // namespace brindax
