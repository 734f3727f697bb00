// The release manifest: a file beside the version list that describes every
// file of the release — its size and content digest, where its entry lies in
// the package, and the binary deltas that rebuild it from files of earlier
// releases. With it an updater fetches only what changed, and checks every
// piece before it uses it.
//
// The served file "<list name>.manifest" is the text below compressed as one
// zstd frame. The text is lines ended by LF, single blanks between fields,
// decimal numbers without sign or leading zeros, digests in lowercase hex
// (64 digits for BLAKE2b-256, 128 for BLAKE2b-512); names come last on
// their line, as they may hold blanks:
//
//   brindax-manifest 1
//   package <size> <blake2b-512 of the package> <package name>
//   list <blake2b-512 of the version list>
//   file <size> <blake2b-256> <local header offset> <compressed size> <method> <name>
//   executable
//   delta <base blake2b-256 | -> <offset> <size> <blake2b-256 of the delta> <delta file>
//   difference <base blake2b-256> <offset> <size> <blake2b-256 of the delta> <delta file>
//   ...
//
// A "file" line per record of the list, in the list's order, each followed
// by "executable" when the package's entry records the file as executable
// (Unix mode bits; at most once, right after its "file" line, before any
// delta; a release without executables has no such line, so its manifest
// reads in updaters that predate the line, which refuse it elsewhere and
// take the whole package), then by the
// deltas offered for it, at most one per base; "-" as the base marks the
// whole content compressed alone, for a file new since that release or one
// that no delta from it makes clearly smaller (it rides in that release's
// delta file, so that a user at that release fetches one file). The
// first word names the delta's kind: "delta" a zstd frame (below),
// "difference" a difference delta (updater/difference_delta.h). Every name is one that the
// updater would install; delta files lie in the folder "deltas/".
//
// Pure functions over bytes: the publisher writes manifests, the updater and
// the fuzz target read them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brindax {

using Digest256 = std::array<std::uint8_t, 32>;  // BLAKE2b-256 (libsodium crypto_generichash)
using Digest512 = std::array<std::uint8_t, 64>;  // BLAKE2b-512, as the release binding uses

enum class DeltaKind : std::uint8_t {
  zstd_frame,  // one zstd frame with the old file as its prefix (or alone)
  difference,  // bsdiff-like streams (updater/difference_delta.h); never from nothing
};

struct ManifestDelta {
  bool from_nothing = false;  // a file new since that release: zstd of the whole file, no base
  Digest256 base{};           // digest of the old file it applies to (unused when from_nothing)
  std::string file;           // the delta file, relative to the release folder ("deltas/....")
  std::uint64_t offset = 0;   // where this delta's zstd frame lies in that file
  std::uint64_t size = 0;
  Digest256 digest{};         // BLAKE2b-256 of those `size` bytes
  DeltaKind kind = DeltaKind::zstd_frame;
};

struct ManifestFile {
  std::string name;                   // as on the list
  std::uint64_t size = 0;             // uncompressed
  Digest256 digest{};                 // BLAKE2b-256 of the content
  std::uint64_t header_offset = 0;    // its entry's local header in the package
  std::uint64_t compressed_size = 0;  // its entry's compressed bytes
  std::uint16_t method = 0;           // 0 stored, 8 deflated
  std::vector<ManifestDelta> deltas;
  bool executable = false;            // the entry records the file as executable
};

struct ReleaseManifest {
  std::string package;              // the name on the list's line 1
  std::uint64_t package_size = 0;
  Digest512 package_digest{};       // BLAKE2b-512 of the package
  Digest512 list_digest{};          // BLAKE2b-512 of the list the manifest describes
  std::vector<ManifestFile> files;  // in the list's record order
};

inline constexpr std::size_t MANIFEST_MAX_BYTES = 64u << 20;  // the manifest's text, decompressed

// A zstd delta ("delta" lines) is one zstd frame of the new file compressed
// with the old file as its prefix (ZSTD_CCtx_refPrefix /
// ZSTD_DCtx_refPrefix), or alone for a file new since that release. Deltas are made for, and applied to, files of
// up to DELTA_MAX_FILE_BYTES (old and new): the old file is mapped into a
// 32-bit address space. A frame's window covers both files, so it needs at
// most 2^DELTA_WINDOW_LOG_MAX bytes: a decoder sets ZSTD_d_windowLogMax to it.
inline constexpr std::uint64_t DELTA_MAX_FILE_BYTES = std::uint64_t{256} << 20;
inline constexpr int DELTA_WINDOW_LOG_MAX = 29;

// Strict: nullopt on anything out of place (an unknown or misplaced line
// such as "executable" anywhere but right after its "file" line,
// bad digits, a name the updater refuses, two files whose names land on one
// file on Windows, two deltas of one file from the same base, a delta
// outside "deltas/", a method other than 0 or 8, a stored entry whose sizes
// differ, an entry that cannot lie in the package, text over
// MANIFEST_MAX_BYTES ...). What parses formats back to the same text.
std::optional<ReleaseManifest> parse_release_manifest(std::string_view text);
std::string format_release_manifest(const ReleaseManifest& manifest);

// The file served is the text compressed as one zstd frame; decompression
// is bounded by MANIFEST_MAX_BYTES and takes exactly one whole frame.
std::string compress_release_manifest(std::string_view text);
std::optional<std::string> decompress_release_manifest(std::string_view bytes);

// The remote name beside the list: "<list name>.manifest"
// ("Brindax.ver.manifest"); its signature adds ".minisig".
std::string manifest_name_for(std::string_view list_name);

// The file of the deltas from one earlier release to this one, named by the
// two lists' digests: "deltas/<first 32 hex of old>-<first 32 hex of new>.delta".
std::string delta_file_name(const Digest512& old_list, const Digest512& new_list);

// BLAKE2b-256 of content fed in pieces (libsodium is started on first use).
class ContentHash256 {
 public:
  ContentHash256();
  void update(const void* data, std::size_t size);
  Digest256 finish();

 private:
  alignas(64) unsigned char state_[384];
};
Digest256 content_digest(std::string_view content);

// Lowercase hex of a digest; the parse takes exactly that form.
std::string digest_hex(const std::uint8_t* bytes, std::size_t size);
template <std::size_t N>
std::string digest_hex(const std::array<std::uint8_t, N>& digest) {
  return digest_hex(digest.data(), N);
}

}  // namespace brindax
