// Difference deltas over any bytes: the input is a base and a delta
// ([2-byte little-endian base length][base][4-byte little-endian new size]
// [delta]). Whatever the control stream says, the applier stays inside the
// base and the streams, never makes more than the size asked for, and
// reports a rebuilt file only when it made exactly that size.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "updater/difference_delta.h"

using namespace brindax;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t base_size = std::min<std::size_t>(data[0] | (data[1] << 8), size - 2);
  const std::uint8_t* base = data + 2;
  std::size_t at = 2 + base_size;
  if (size - at < 4) return 0;
  // New sizes up to 1 MiB keep the runs quick.
  const std::uint64_t new_size =
      (data[at] | (data[at + 1] << 8) | (std::uint64_t{data[at + 2]} << 16) | (std::uint64_t{data[at + 3]} << 24)) &
      0xFFFFF;
  at += 4;
  const std::string_view delta(reinterpret_cast<const char*>(data + at), size - at);
  std::uint64_t made = 0;
  const DifferenceResult result = apply_difference(base, base_size, delta, new_size,
                                                   [&](const unsigned char*, std::size_t n) {
                                                     made += n;
                                                     FUZZ_CHECK(made <= new_size);
                                                     return true;
                                                   });
  FUZZ_CHECK(result != DifferenceResult::sink_refused);
  if (result == DifferenceResult::rebuilt) FUZZ_CHECK(made == new_size);
  return 0;
}
