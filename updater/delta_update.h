// Updates that move only what changed, with the release manifest beside the
// server's list: for each file the cheapest verified path — a delta from the
// installed file, else the entry's bytes from the package by range — and
// only what neither brings comes from the whole package. Every piece is
// checked against the manifest before anything is made of it, and every file
// written against the manifest's digest before it is staged.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/transport.h"
#include "updater/release_manifest.h"

namespace brindax {

// The manifest of the release whose list was just fetched to `list_copy`,
// when the server has one that describes that very list and the package it
// names (`package`, the list's first line): one request for "<list name>.manifest", nullopt (and nothing more
// asked) when there is none. With a publisher key built in, the manifest
// also needs its signature, bound to the accepted list and release; without
// one it is not used, and a signature that fails or binds something else
// refuses the run ("Signature Error", nothing changed).
std::optional<ReleaseManifest> fetch_release_manifest(Transport& server, const char* remote_list,
                                                      const char* list_copy, std::string_view package);

// One file an update writes: the manifest's description of it, the staged
// temporary it goes to and the digest of the installed file, if any.
struct PieceWork {
  const ManifestFile* file = nullptr;
  std::string destination;
  std::optional<Digest256> installed;
  bool done = false;  // written to `destination`, with the manifest's content
  // In a full install (where `installed` may be assumed, not read): should
  // its delta fail, the installed file is read, and left as it is when it
  // already has the release's content.
  bool may_already_be_the_releases = false;
  bool already_the_releases = false;  // found so: nothing written, done
};

// The delta that rebuilds `file` from the installed content (a delta from
// nothing when no delta fits it), or null when the entry's bytes are the
// way.
const ManifestDelta* delta_for(const ManifestFile& file, const std::optional<Digest256>& installed);

// The delta file that holds the deltas from the installed release, whose
// list is `installed_list` (a runtime path), to the manifest's; empty when
// there is no such list.
std::string deltas_from_installed_release(const ReleaseManifest& manifest, const char* installed_list);

// The delta that is the only one offered for `file` (no other base, no file
// alone) when it lies in `installed_deltas`, the deltas from the installed
// release; else null. An update may take it without reading the installed
// file: its base is that release's file, and the digest check of the file
// it rebuilds catches an installed file the user changed, which then comes
// by its entry as it would have.
const ManifestDelta* only_delta_from_installed_release(const ManifestFile& file, std::string_view installed_deltas);
// Installed files smaller than this are read all the same: hashing them
// costs little, and a file the user changed then takes its right way at
// once instead of fetching a delta it cannot use and then its entry.
inline constexpr std::int64_t UNREAD_INSTALLED_FILE_BYTES = std::int64_t{4} << 20;

// Whether the way taken for `file` depends on the installed file's digest
// at all: only when a delta from some base is offered.
bool way_depends_on_installed(const ManifestFile& file);

// The bytes the pieces of `work` would take, counted as what the downloads
// carry (near pieces joined).
std::uint64_t piece_bytes(const ReleaseManifest& manifest, const std::vector<PieceWork>& work);

// What bringing the files by pieces cost: requests made and bytes asked for.
struct PieceTally {
  int downloads = 0;
  std::uint64_t bytes = 0;
};

// Brings the files: deltas first, then the entries' bytes by range for those
// the deltas did not bring (missing, cut short, larger than announced,
// damaged, another result) and that are not found already the release's;
// each path once, so that nothing loops. The files left not `done` need the
// whole package.
PieceTally bring_by_pieces(Transport& server, const ReleaseManifest& manifest,
                           std::vector<PieceWork>& work);

}  // namespace brindax
