// The keys file's side of the publisher's tool (updater/keys_file.h): adds
// a version to a folder of keys files, and reads and checks such a chain
// for make --keys and verify --root.
//
//   brindax-publish keys KEYS_DIR --version N --expires DAYS --root PUBLIC_KEY_FILE...
//                        --threshold K --release PUBLIC_KEY_FILE... --sign SECRET_KEY_FILE...
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "updater/keys_file.h"
#include "updater/release_signature.h"

namespace brindax::publish {

// A public key: minisign's one-line base64 text, or a file holding it (as
// minisign -G writes it).
std::optional<ReleaseKey> read_public_key(const std::string& argument);

// The `keys` command; argv[1] is "keys". Exit code as publish_main's.
int keys_command(int argc, char** argv);

// The chain of keys files in `folder` ("<list>.keys" and every version
// "<list>.keys.<N>" up to its own), walked from `roots`, or from version
// 1's own roots when null.
struct KeysFolder {
  std::optional<KeysFile> newest;  // set when the chain holds
  std::vector<std::string> problems;
  std::vector<std::filesystem::path> files;  // every version, then the current one
};
KeysFolder read_keys_folder(const std::filesystem::path& folder, const TrustedRoots* roots);

}  // namespace brindax::publish
