// Test entry of the network layer and the FTP client: the runtime is brought
// up the way the start-up does, with the network layer started.
#include <gtest/gtest.h>

#include "net/ftp.h"
#include "net/network.h"
#include "runtime/core/file.h"
#include "runtime/core/heap.h"
#include "runtime/core/strings.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  brindax::main_heap_create();
  brindax::string_library_init();
  brindax::file_library_init();
  brindax::ftp_library_init();
  brindax::network_start();
  const int result = RUN_ALL_TESTS();
  brindax::ftp_library_end();
  brindax::network_end();
  brindax::file_library_end();
  brindax::string_library_end();
  brindax::main_heap_destroy();
  return result;
}
