// Release manifests: the strict parser over any bytes, and the bounded
// decompression of the served file. What parses formats back to the very
// same text, and every parsed manifest keeps the rules the updater relies on.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "updater/release_manifest.h"

using namespace brindax;

namespace {

void check_text(std::string_view text) {
  const std::optional<ReleaseManifest> manifest = parse_release_manifest(text);
  if (!manifest) return;
  FUZZ_CHECK(format_release_manifest(*manifest) == text);
  for (const ManifestFile& file : manifest->files) {
    FUZZ_CHECK(!file.name.empty());
    FUZZ_CHECK(file.method == 0 || file.method == 8);
    FUZZ_CHECK(file.header_offset <= manifest->package_size);
    FUZZ_CHECK(file.compressed_size <= manifest->package_size - file.header_offset);
    for (const ManifestDelta& delta : file.deltas) {
      FUZZ_CHECK(delta.size > 0 && delta.offset + delta.size > delta.offset);
      FUZZ_CHECK(!delta.from_nothing || delta.kind == DeltaKind::zstd_frame);
      FUZZ_CHECK(delta.file.rfind("deltas/", 0) == 0);
      FUZZ_CHECK(delta.file.find_first_of("/\\", 7) == std::string::npos);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  check_text(input);
  if (const std::optional<std::string> text = decompress_release_manifest(input)) {
    FUZZ_CHECK(text->size() <= MANIFEST_MAX_BYTES);
    check_text(*text);
  }
  return 0;
}
