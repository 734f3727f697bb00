// Test entry of the runtime core: the heaps, strings and file registry are
// brought up the way the start-up does before any test runs.
#include <gtest/gtest.h>

#include "runtime/core/file.h"
#include "runtime/core/heap.h"
#include "runtime/core/strings.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  brindax::main_heap_create();
  brindax::string_library_init();
  brindax::file_library_init();
  return RUN_ALL_TESTS();
}
