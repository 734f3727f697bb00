#include <windows.h>

#include "runtime/process/params.h"

namespace brindax {

void set_program_arguments(int, char**) {}

const char* command_line() { return GetCommandLineA(); }

}  // namespace brindax
