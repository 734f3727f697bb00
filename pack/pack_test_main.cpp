#include <gtest/gtest.h>

#include "pack/pack.h"
#include "runtime/core/file.h"
#include "runtime/core/heap.h"
#include "runtime/core/strings.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  brindax::main_heap_create();
  brindax::string_library_init();
  brindax::file_library_init();
  brindax::pack_library_init();
  const int result = RUN_ALL_TESTS();
  brindax::pack_library_end();
  brindax::file_library_end();
  brindax::string_library_end();
  brindax::main_heap_destroy();
  return result;
}
