#include <windows.h>

#include "runtime/process/runtime_os.h"

namespace brindax::os {

std::intptr_t module_handle() {
  return reinterpret_cast<std::intptr_t>(GetModuleHandleA(nullptr));
}

void exit_process(std::uint32_t exit_code) { ExitProcess(exit_code); }

}  // namespace brindax::os
