#include <gtest/gtest.h>

#include "runtime/process/runtime.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  brindax::runtime_start();
  return RUN_ALL_TESTS();
}
