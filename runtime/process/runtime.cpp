#include "runtime/process/runtime.h"

#include "net/ftp.h"
#include "net/network.h"
#include "pack/pack.h"
#include "runtime/core/file.h"
#include "runtime/core/heap.h"
#include "runtime/core/strings.h"
#include "runtime/process/launcher.h"
#include "runtime/process/message.h"
#include "runtime/process/params.h"
#include "runtime/process/runtime_os.h"

namespace brindax {
namespace {

std::intptr_t g_instance = 0;

}  // namespace

void runtime_start() {
  g_instance = 0;
  g_instance = os::module_handle();
  main_heap_create();
  string_library_init();
  file_library_init();
  ftp_library_init();
  pack_library_init();
  process_library_init();
  ui_library_init();
}

void process_library_init() {
  parameter_library_init();
  launch_library_init();
}

std::intptr_t instance_handle() { return g_instance; }

void end_program(std::uint32_t exit_code) {
  pack_library_end();
  ftp_library_end();
  network_end();
  file_library_end();
  string_library_end();
  main_heap_destroy();
  os::exit_process(exit_code);
}

}  // namespace brindax
