// Start-up and the one orderly exit of the process.
#pragma once

#include <cstdint>

namespace brindax {

// Brings the process-wide state up in its fixed order: main heap, string
// services, file / FTP / pack registries, parameter cursor and launch lock,
// user-interface services. The network layer starts later, on first use.
void runtime_start();

// The only way out: closes every pack, every FTP session (sending "QUIT"),
// every network server, ends the socket library, closes every file, frees the
// string heap and the main heap, and ends the process with `exit_code`.
[[noreturn]] void end_program(std::uint32_t exit_code);

// Part of start-up: the record holding the parameter cursor, and the launch lock.
void process_library_init();

// The instance handle of the program (Windows: GetModuleHandleA(NULL); 0 elsewhere).
std::intptr_t instance_handle();

}  // namespace brindax
