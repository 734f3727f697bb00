// The two procedures that change the installation.
#pragma once

namespace brindax {

// Mode "MajAll", and the first install: fetches the server's list and the
// package, unpacks every entry into the current folder, makes the server's
// list the local one and starts the application. Returns after success; ends
// the process with exit code 0 after reporting any failure.
void full_install();

// Mode "MajLocal": unpacks from the package only the entries whose version on
// the server differs from the local one. Never returns (exit code 0); does not
// rewrite the local list and does not start the application.
[[noreturn]] void partial_update();

}  // namespace brindax
