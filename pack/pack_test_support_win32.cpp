#include "pack/pack_test_support.h"

namespace brindax::testing_support {

// The Windows test programs run under Wine on the build machine, where the
// host's zip cannot be started; archives come from the backend's writer only.
bool info_zip_available() { return false; }

int run_zip(const std::filesystem::path&, const std::string&) { return -1; }

}  // namespace brindax::testing_support
