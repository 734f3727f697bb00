// Platform part of start-up and exit.
#pragma once

#include <cstdint>

namespace brindax::os {

// GetModuleHandleA(NULL) on Windows; 0 elsewhere.
std::intptr_t module_handle();
// Ends the process at once with the code (ExitProcess / _exit after flushing
// the standard streams).
[[noreturn]] void exit_process(std::uint32_t exit_code);

}  // namespace brindax::os
