// Keys that can be replaced: root keys, kept offline, name the release keys
// that may sign version lists, in a keys file that the roots sign. Every
// version of the keys file is kept on the update server beside the list
// ("<list>.keys.<N>"); the newest is also served as "<list>.keys". An
// updater trusts the roots of the newest version it accepted and walks
// forward from there one version at a time, each version signed by a
// threshold of the roots trusted at that step and by a threshold of its own.
//
// A keys file is text, LF line ends:
//
//   Brindax keys file
//   version: 3
//   expires: 1767225600
//   threshold: 2
//   root: RWQ...            (one line per root key, as minisign -G prints it)
//   release: RWQ...         (one line per release key)
//   signatures:
//   untrusted comment: ...  (then each signature as minisign writes it:
//   <signature>              four lines, prehashed, over every byte before
//   trusted comment: ...     the "signatures:" line)
//   <global signature>
//
// Pure functions over bytes: the updater and the publisher's tool fetch or
// read the files, this module decides.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "updater/release_signature.h"

namespace brindax {

inline constexpr std::size_t KEYS_FILE_LIMIT = 64 * 1024;

// The name of the keys file beside the list `list_name` ("Brindax.ver.keys"),
// or of its version `version` ("Brindax.ver.keys.3").
std::string keys_file_name(std::string_view list_name, std::uint64_t version = 0);
inline constexpr std::size_t KEYS_FILE_MAX_KEYS = 64;  // roots, and release keys, each
inline constexpr std::size_t KEYS_FILE_MAX_SIGNATURES = 64;

struct KeysFile {
  std::uint64_t version = 0;  // >= 1
  std::int64_t expires = 0;   // unix seconds
  std::uint32_t threshold = 0;  // 1 .. roots.size()
  std::vector<ReleaseKey> roots;
  std::vector<ReleaseKey> release_keys;
  std::string body;  // the signed bytes: everything before "signatures:"
  std::vector<ReleaseSignature> signatures;
};

// The roots trusted before a step of the walk: version 0 for the roots
// built into the updater.
struct TrustedRoots {
  std::uint64_t version = 0;
  std::uint32_t threshold = 0;
  std::vector<ReleaseKey> roots;
};

// minisign's one-line text of a public key ("RW...").
std::string format_public_key(const ReleaseKey& key);

// The signed part of a keys file, as the publisher writes it.
std::string format_keys_body(std::uint64_t version, std::int64_t expires, std::uint32_t threshold,
                             const std::vector<ReleaseKey>& roots,
                             const std::vector<ReleaseKey>& release_keys);
inline constexpr std::string_view KEYS_SIGNATURES_LINE = "signatures:\n";

// The keys file of these bytes; nullopt for anything but the exact form
// above (the body exactly as format_keys_body writes it, no CR, at most
// KEYS_FILE_LIMIT bytes, no key twice among the roots or among the release
// keys, a threshold no larger than the roots, at least one signature, each
// in minisign's format).
std::optional<KeysFile> parse_keys_file(std::string_view bytes);

// How many distinct keys of `keys` made a signature of `file` that holds.
std::size_t count_signers(const KeysFile& file, const std::vector<ReleaseKey>& keys);

TrustedRoots roots_of(const KeysFile& file);

enum class KeysProblem {
  none,
  missing,          // the file is not there
  malformed,        // not a keys file
  misnamed,         // a version file holding another version
  older,            // older than the version trusted now
  too_few_trusted,  // too few signatures of the roots trusted at that step
  too_few_own,      // too few signatures of its own roots
  expired,          // the newest version's expiry has passed
};

// Whether `candidate` follows `trusted`: its version is the next one (or,
// past version 0, the same one), it is signed by at least the threshold of
// the trusted roots and by at least its own threshold of its own roots.
KeysProblem check_keys_step(const TrustedRoots& trusted, const KeysFile& candidate);

struct KeysChain {
  KeysProblem problem = KeysProblem::none;
  std::uint64_t at_version = 0;  // the version the problem is with
  std::optional<KeysFile> newest;  // set when problem is none
};

// Fetches version N of the keys file; nullopt when it is not there.
using FetchKeysVersion = std::function<std::optional<std::string>(std::uint64_t version)>;

// Walks from `trusted` to the `current` keys file (nullopt: none is there),
// fetching each version between with `fetch`. Versions on the way may have
// expired; the newest may not have at `now`.
KeysChain walk_keys_chain(const TrustedRoots& trusted, const std::optional<std::string>& current,
                          const FetchKeysVersion& fetch, std::int64_t now);

// A short English reason, e.g. "version 3 has expired".
std::string describe(const KeysChain& chain, std::uint64_t trusted_version);

// The newest file's release key that made `signature`, if any.
const ReleaseKey* release_key_for(const KeysFile& file, const ReleaseSignature& signature);

}  // namespace brindax
