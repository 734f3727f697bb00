// Signed releases: with a publisher key built in (BRINDAX_RELEASE_PUBLIC_KEY),
// the server's list and the package are used only when minisign signatures
// made with that key hold. Without a key both calls do nothing and send
// nothing to the server.
#pragma once

namespace brindax {

// Call right after the server's list was fetched into `local_copy`: fetches
// "<remote list name>.minisig" and verifies the copy. When the signature is
// missing, malformed or does not hold, deletes the copy and the signature,
// reports it and ends the process with exit code 0.
void require_signed_list(const char* local_copy);

// Call right after the package `remote_name` was fetched into `local_path`,
// before it is opened: fetches "<remote_name>.minisig" and verifies the
// package. On failure deletes the package, its signature and the list copy
// that require_signed_list accepted in this run, reports it and ends the
// process with exit code 0.
void require_signed_package(const char* remote_name, const char* local_path);

}  // namespace brindax
