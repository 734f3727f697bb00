// Signed releases: with a publisher key built in (BRINDAX_RELEASE_PUBLIC_KEY),
// the server's list and the package are used only when minisign signatures
// made with that key hold. Without a key nothing is checked and nothing more
// is sent to the server.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "runtime/core/file_transaction.h"
#include "updater/release_binding.h"
#include "updater/release_signature.h"

namespace brindax {

// Whether this build checks signatures (a publisher key is built in).
bool release_signatures_checked();

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
// accepted list's sequence, in "LocalVersion.seq") in `transaction`, so that
// it is written with the install or not at all. False when it cannot be
// staged; true with nothing to do without a key.
bool stage_release_record(FileTransaction& transaction);

// Holds a parsed signature over `signed_bytes` (for a prehashed signature,
// the BLAKE2b-512 of the signed file) to the publisher key built in.
SignatureCheck check_with_release_keys(const ReleaseSignature& signature,
                                       std::string_view signed_bytes);

// What the list accepted in this run binds (its sequence, the package's
// size and digest); null without a key or before a list was accepted.
const ReleaseBinding* accepted_release_binding();

// Refuses the release after a failed check of something it binds: deletes
// what this run received of it, shows "Signature Error" with `text` and
// ends the process with exit code 0. Nothing of the installation changed.
[[noreturn]] void refuse_release(const char* text);

}  // namespace brindax
