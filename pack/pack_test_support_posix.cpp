#include <cstdlib>

#include "pack/pack_test_support.h"

namespace brindax::testing_support {

// A tool of every build machine (scripts/install-deps.sh): a missing zip
// fails the tests that need it.
int run_zip(const std::filesystem::path& folder, const std::string& arguments) {
  const std::string command = "cd '" + folder.string() + "' && zip -q " + arguments;
  return std::system(command.c_str());
}

}  // namespace brindax::testing_support
