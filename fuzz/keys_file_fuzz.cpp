// Keys files: the strict parser and the chain walk over any bytes. A parsed
// file is exactly its body as the publisher formats it, then its
// signatures; walking to it from its own roots ends at it or names a
// problem with it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "updater/keys_file.h"

using namespace brindax;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::optional<KeysFile> file = parse_keys_file(input);
  if (!file) {
    // Nothing to walk to: the walk names the current file as the problem.
    const KeysChain chain = walk_keys_chain(TrustedRoots{}, input, [](std::uint64_t) {
      return std::optional<std::string>();
    }, 0);
    FUZZ_CHECK(chain.problem == KeysProblem::malformed && !chain.newest);
    return 0;
  }
  FUZZ_CHECK(file->version >= 1);
  FUZZ_CHECK(file->threshold >= 1 && file->threshold <= file->roots.size());
  FUZZ_CHECK(!file->release_keys.empty() && !file->signatures.empty());
  FUZZ_CHECK(file->body == format_keys_body(file->version, file->expires, file->threshold, file->roots,
                                            file->release_keys));
  FUZZ_CHECK(input.compare(0, file->body.size(), file->body) == 0);
  FUZZ_CHECK(std::string_view(input).substr(file->body.size(), KEYS_SIGNATURES_LINE.size()) ==
             KEYS_SIGNATURES_LINE);
  FUZZ_CHECK(count_signers(*file, file->roots) <= file->roots.size());

  // From its own roots at the same version, and from version 0.
  const TrustedRoots same = roots_of(*file);
  const auto fetch = [&input](std::uint64_t) { return std::optional<std::string>(input); };
  const KeysChain again = walk_keys_chain(same, input, fetch, 0);
  FUZZ_CHECK(again.newest.has_value() == (again.problem == KeysProblem::none));
  if (again.newest) FUZZ_CHECK(again.newest->body == file->body);
  const KeysProblem step = check_keys_step(same, *file);
  FUZZ_CHECK((step == KeysProblem::none) == (count_signers(*file, file->roots) >= file->threshold));
  return 0;
}
