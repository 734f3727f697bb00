#include <unistd.h>

#include <cstdio>

#include "runtime/process/runtime_os.h"

namespace brindax::os {

std::intptr_t module_handle() { return 0; }

void exit_process(std::uint32_t exit_code) {
  std::fflush(nullptr);
  _exit(static_cast<int>(exit_code & 0xFF));
}

}  // namespace brindax::os
