// Signed releases: with a publisher key built in (BRINDAX_RELEASE_PUBLIC_KEY),
// the server's list and the package are used only when minisign signatures
// made with that key hold. Without a key nothing is checked and nothing more
// is sent to the server.
#pragma once

#include <cstdint>

namespace brindax {

// Whether this build checks signatures (a publisher key is built in).
bool release_signatures_checked();

// Call right after the server's list was fetched into `local_copy`: fetches
// "<remote list name>.minisig" and verifies the copy. When the signature is
// missing, malformed or does not hold, deletes the copy and the signature,
// reports it and ends the process with exit code 0.
void require_signed_list(const char* local_copy);

// Fetches the package `remote_name` into `local_path` in place of
// ftp_receive_file, and answers like it (1 received, 0 not). With a key it
// hashes the data on a second thread while it arrives, then fetches
// "<remote_name>.minisig" and verifies the package before anyone opens it;
// when that fails, deletes the package, its signature and the list copy that
// require_signed_list accepted in this run, reports it and ends the process
// with exit code 0.
std::int32_t receive_signed_package(const char* remote_name, const char* local_path);

}  // namespace brindax
