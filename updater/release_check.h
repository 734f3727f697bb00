// Signed releases: with a publisher key built in (BRINDAX_RELEASE_PUBLIC_KEY),
// the server's list and the package are used only when minisign signatures
// made with that key hold. With root keys built in (BRINDAX_ROOT_PUBLIC_KEYS)
// instead, the release keys are those of the newest keys file that the
// roots accept (updater/keys_file.h). Without a key nothing is checked and
// nothing more is sent to the server.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "runtime/core/file_transaction.h"
#include "updater/release_binding.h"
#include "updater/release_signature.h"

namespace brindax {

// Whether this build checks signatures (a publisher key or root keys are
// built in).
bool release_signatures_checked();

// Every release signature is checked here: against the built-in release
// key, or with root keys against the release keys of the newest keys file
// accepted (the first call of a run fetches the keys files and walks their
// chain from LocalVersion.keys, or from the built-in roots; when that fails,
// it reports it and ends the process with exit code 0, deleting what
// require_signed_list accepted). `signed_bytes` is the BLAKE2b-512 hash of
// the signed file.
SignatureCheck check_with_release_keys(const ReleaseSignature& signature,
                                       std::string_view signed_bytes);

// Call right after the server's list was fetched into `local_copy`: fetches
// "<remote list name>.minisig" and verifies the copy. The signature's trusted
// comment must name the release (its sequence, the package's size and
// digest, perhaps an expiry); a release that has expired, or whose sequence
// is lower than the installed one's ("LocalVersion.seq"), is refused. When
// the signature is missing, malformed, does not hold or refuses the release,
// deletes the copy and the signature, reports it and ends the process with
// exit code 0.
void require_signed_list(const char* local_copy);

// The same for a list kept in memory instead of a copy on disk: `digest`
// is the BLAKE2b-512 of the bytes that arrived.
void require_signed_list_digest(const std::array<std::uint8_t, 64>& digest);

// Fetches the package `remote_name` into `local_path` and answers 1
// received, 0 not. With a key it hashes the data on a second thread while it
// arrives and holds its size and BLAKE2b-512 digest to what the accepted
// list's signature names, before anyone opens it; when they differ, deletes
// the package and the list copy that require_signed_list accepted in this
// run, reports it and ends the process with exit code 0.
std::int32_t receive_signed_package(const char* remote_name, const char* local_path);

// With a key, stages the record of the release being installed (the
// accepted list's sequence, in "LocalVersion.seq"; with root keys, the
// newest keys file accepted too, in "LocalVersion.keys") in `transaction`,
// so that it is written with the install or not at all. False when it
// cannot be staged; true with nothing to do without a key.
bool stage_release_record(FileTransaction& transaction);

// What the list accepted in this run binds (its sequence, the package's
// size and digest); null without a key or before a list was accepted.
const ReleaseBinding* accepted_release_binding();

// Refuses the release after a failed check of something it binds: deletes
// what this run received of it, shows "Signature Error" with `text` and
// ends the process with exit code 0. Nothing of the installation changed.
[[noreturn]] void refuse_release(const char* text);

}  // namespace brindax
