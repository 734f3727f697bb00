// Releases for the tests of updates by pieces, made with brindax-publish:
// each of a large binary and a text that change a little from one release
// to the next (so each gets a delta), and a file that never changes.
#pragma once

#include <functional>
#include <random>

#include "updater/process_test_support.h"

namespace brindax::process_test {

using Files = std::map<std::string, std::string>;

inline std::string noise(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator() & 0xFF);
  return bytes;
}

inline std::string hex_text(const std::string& bytes) {
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    text += "0123456789abcdef"[static_cast<unsigned char>(bytes[i]) >> 4];
    if (i % 32 == 31) text += '\n';
  }
  return text;
}

// Releases of a large binary and a text that change a little each time
// (each gets a delta: the binary a difference delta, the text a zstd
// frame), and a file that never changes.
inline Files release_files(int number) {
  std::string binary = noise(400000, 7);
  std::string text = hex_text(noise(40000, 8));
  for (int r = 2; r <= number; ++r) {
    binary.replace(static_cast<std::size_t>(r) * 50000, 64, noise(64, r));
    // A rebuild moves code a little: one byte in 64 (an address) changes,
    // which a difference delta carries far better than a zstd frame.
    for (std::size_t at = 0; at < binary.size(); at += 64) binary[at] = static_cast<char>(binary[at] + r);
    text.replace(static_cast<std::size_t>(r) * 3000, 10, "level=" + std::to_string(r) + "   ");
  }
  return {{"Brindax.exe", kApp},
          {"lib/core.bin", binary},
          {"data/config.ini", text},
          {"docs/readme.txt", "Brindax\n"}};
}

// Writes release `number` with brindax-publish into base/r<number>;
// `adjust` may change the source folder before it is packed.
inline fs::path publish_release(const fs::path& base, int number, const std::vector<std::string>& options = {},
                                const std::function<void(const fs::path& source)>& adjust = {}) {
  const fs::path source = base / ("source" + std::to_string(number));
  const fs::path out = base / ("r" + std::to_string(number));
  fs::remove_all(source);
  for (const auto& [name, data] : release_files(number)) write_file(source / name, data);
  fs::permissions(source / "Brindax.exe", fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
  if (adjust) adjust(source);
  std::vector<std::string> args = {"make", source.string(), out.string()};
  args.insert(args.end(), options.begin(), options.end());
  const RunResult made = run_in(base, BRINDAX_PUBLISH_PROGRAM, args);
  EXPECT_EQ(made.exit_code, 0) << made.error_output;
  return out;
}

}  // namespace brindax::process_test
