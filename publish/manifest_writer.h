// The release manifest of a release that make writes, with the deltas from
// earlier releases, and the check of a manifest that verify runs: every
// entry where the manifest places it with the mode the package records,
// every digest the content's, every delta rebuilding its file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "updater/release_binding.h"
#include "updater/release_manifest.h"
#include "updater/release_signature.h"

namespace brindax::publish {

// Where an entry lies in a package, read from the package's own directory
// and local headers.
struct PackagePlace {
  std::string name;  // the name libzip looks the entry up by (UTF-8)
  std::uint64_t header_offset = 0;
  std::uint64_t compressed_size = 0;
  std::uint64_t size = 0;
  std::uint16_t method = 0;
};
std::optional<std::vector<PackagePlace>> read_package_places(const std::filesystem::path& package);

// A release folder written by make that deltas start from.
struct EarlierRelease {
  std::filesystem::path folder;
  std::string list;                // its version list
  std::filesystem::path package;   // the package the list names
};

struct ManifestRequest {
  std::string list;                 // the new release's version list
  std::filesystem::path package;    // its package, written: what the manifest describes
  std::vector<EarlierRelease> earlier;  // in the order their deltas are offered
};

struct DeltaFile {
  std::filesystem::path from;  // the earlier release's folder
  std::string name;             // "deltas/....delta"
  std::string bytes;
  std::size_t frames = 0;
  std::size_t from_nothing = 0;
};

struct ManifestResult {
  std::string error;  // empty: done
  ReleaseManifest manifest;
  std::vector<DeltaFile> delta_files;  // one per earlier release that has frames
};

// Reads every entry of the package (on every core, up to 8), and makes the
// deltas from the earlier releases; files larger than DELTA_MAX_FILE_BYTES
// get none. Needs sodium_init() to have run.
ManifestResult make_manifest(const ManifestRequest& request);

// The problems of the manifest beside the list in `folder`, one line each,
// and a line saying what was checked. A release without a manifest has
// none. Deltas are applied to the files of `earlier` that they name as their
// base; a base found in none of them is counted, not reported.
std::vector<std::string> manifest_problems(const std::filesystem::path& folder,
                                           const std::string& list_name, const std::string& list,
                                           const std::filesystem::path& package,
                                           const std::vector<EarlierRelease>& earlier,
                                           std::string* summary);

// With a key: the manifest's own signature must bind the release's sequence
// (`release`, the list signature's binding) and the list's digest.
std::vector<std::string> manifest_binding_problems(const std::filesystem::path& folder,
                                                   const std::string& list_name,
                                                   const std::string& list, const ReleaseKey& key,
                                                   const ReleaseBinding& release);

}  // namespace brindax::publish
