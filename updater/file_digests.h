// BLAKE2b-256 digests of files in the installation folder, read from the
// files themselves (nothing about them is recorded between runs), so that a
// file the user changed is seen as what it now is.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "updater/release_manifest.h"

namespace brindax {

// The digest of one file (a runtime path); nullopt when it is not a plain
// file that can be read to its end.
std::optional<Digest256> digest_file(const char* path);

// The digests of `paths`, in their order, read on one worker per core
// (at most 8): the files are independent and hashing is most of the work.
std::vector<std::optional<Digest256>> digest_files(const std::vector<std::string>& paths);

}  // namespace brindax
